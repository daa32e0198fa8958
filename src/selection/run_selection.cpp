#include "selection/run_selection.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "common/child_blocks.hpp"
#include "common/internal_failure.hpp"
#include "common/interruptible_sort.hpp"
#include "common/interruption.hpp"
#include "selection/run_scorer.hpp"
#include "selection/score_rules.hpp"
#include "trie/build/run_walk.hpp"
#include "trie/build/table_walk.hpp"
#include "trie/compacted_writer.hpp"

namespace tesk {

namespace {

// A node of the selected tree from the full trie: one node of a record's run.
struct SelectedNode {
  std::uint64_t first;
  std::uint64_t record;
  std::uint32_t parent;  // index among the selected nodes; kNoIndex for the root
  std::uint32_t symbol;  // rank, kNoIndex for the root
  std::uint32_t depth;
  bool split;
};

// The nodes of the full trie that the split decisions reach, from the root down.
template <class Symbols>
std::vector<SelectedNode> reached_nodes(const std::vector<RunRecord>& records,
                                        const std::vector<std::uint64_t>& child_records,
                                        std::uint64_t root, const Symbols& symbols) {
  std::vector<SelectedNode> nodes;
  const RunRecord& top = records[root];
  nodes.push_back(SelectedNode{top.first, root, kNoIndex, kNoIndex, 0, top.split});
  std::vector<std::pair<std::uint64_t, std::uint32_t>> stack;  // record, parent
  if (top.split) {
    for (std::uint32_t c = 0; c < top.children_size; ++c) {
      stack.emplace_back(child_records[top.children_begin + c], 0);
    }
  }
  const auto add = [&](std::uint64_t r, std::uint32_t parent, std::uint32_t depth, bool split) {
    poll_interruption_every(nodes.size(), 2);
    const std::uint32_t symbol = symbols.rank_at(records[r], depth);
    nodes.push_back(SelectedNode{records[r].first, r, parent, symbol, depth, split});
    return static_cast<std::uint32_t>(nodes.size() - 1);
  };
  while (!stack.empty()) {
    const auto [r, parent] = stack.back();
    stack.pop_back();
    const RunRecord& record = records[r];
    if (!record.top_split) {
      add(r, parent, record.top_depth, false);
      continue;
    }
    std::uint32_t above = parent;
    for (std::uint32_t d = record.top_depth; d < record.depth; ++d) {
      above = add(r, above, d, true);
    }
    const std::uint32_t bottom = add(r, above, record.depth, record.split);
    if (record.split) {
      for (std::uint32_t c = 0; c < record.children_size; ++c) {
        stack.emplace_back(child_records[record.children_begin + c], bottom);
      }
    }
  }
  return nodes;
}

// The reached nodes' children, grouped by parent: node v's are children[begin[v] .. begin[v + 1]).
struct ChildLists {
  std::vector<std::uint32_t> begin;
  std::vector<std::uint32_t> children;

  explicit ChildLists(const std::vector<SelectedNode>& nodes)
      : begin(child_block_starts(nodes.size(), [&](std::size_t v) { return nodes[v].parent; })) {
    children.resize(nodes.size() - 1);
    std::vector<std::uint32_t> filled(begin.begin(), begin.end() - 1);
    for (std::size_t v = 1; v < nodes.size(); ++v) {
      children[filled[nodes[v].parent]++] = static_cast<std::uint32_t>(v);
    }
  }

  std::uint64_t count(std::size_t v) const { return begin[v + 1] - begin[v]; }
};

// The reached nodes in NodeId order: by first position, then depth.
std::vector<std::uint32_t> in_id_order(const std::vector<SelectedNode>& nodes) {
  std::vector<std::uint32_t> by_id(nodes.size());
  for (std::size_t v = 0; v < nodes.size(); ++v) {
    by_id[v] = static_cast<std::uint32_t>(v);
  }
  interruptible_sort(by_id.begin(), by_id.end(), [&](std::uint32_t a, std::uint32_t b) {
    return nodes[a].first != nodes[b].first ? nodes[a].first < nodes[b].first
                                            : nodes[a].depth < nodes[b].depth;
  });
  return by_id;
}

// The reached nodes in NodeId order, each with its record's counts in the order their symbols
// were first observed.
template <class Symbols>
void write_reached(CompactedTrieWriter& writer, const std::vector<SelectedNode>& nodes,
                   const std::vector<std::uint32_t>& by_id, const std::vector<NodeId>& id_of,
                   const std::vector<RunRecord>& records, std::vector<RunTally>& tallies,
                   const Symbols& symbols) {
  std::vector<std::uint8_t> in_first_order(records.size(), 0);
  for (const std::uint32_t v : by_id) {
    const SelectedNode& node = nodes[v];
    const RunRecord& record = records[node.record];
    writer.add_node(node.parent == kNoIndex ? kNoIndex : id_of[node.parent],
                    node.symbol == kNoIndex ? kNoIndex : symbols.symbol_of(node.symbol),
                    static_cast<std::uint16_t>(node.depth), !node.split);
    const auto begin = tallies.begin() + static_cast<std::ptrdiff_t>(record.tallies_begin);
    const auto end = begin + record.tallies_size;
    if (in_first_order[node.record] == 0) {
      std::sort(begin, end, [](const RunTally& a, const RunTally& b) { return a.first < b.first; });
      in_first_order[node.record] = 1;
    }
    for (auto tally = begin; tally != end; ++tally) {
      writer.add_count(symbols.symbol_of(tally->symbol), tally->count);
    }
  }
}

// The count-free children of split nodes, where the expansion would make them: depth first from
// the root, each split node making its missing children in ascending symbol order, then visiting
// its children from the highest symbol down.
template <class Symbols>
void write_count_free(CompactedTrieWriter& writer, const std::vector<SelectedNode>& nodes,
                      const ChildLists& lists, const std::vector<NodeId>& id_of,
                      std::uint64_t alphabet_size, const Symbols& symbols) {
  std::vector<std::uint32_t> stack{0};
  std::vector<std::uint32_t> sorted_children;
  std::uint64_t symbols_seen = 0;  // over all split nodes, for polling
  while (!stack.empty()) {
    const std::uint32_t v = stack.back();
    stack.pop_back();
    if (!nodes[v].split) {
      continue;
    }
    sorted_children.assign(lists.children.begin() + lists.begin[v],
                           lists.children.begin() + lists.begin[v + 1]);
    std::sort(sorted_children.begin(), sorted_children.end(),
              [&](std::uint32_t a, std::uint32_t b) { return nodes[a].symbol < nodes[b].symbol; });
    std::size_t next_present = 0;
    const auto depth = static_cast<std::uint16_t>(nodes[v].depth + 1);
    for (std::uint64_t s = 0; s < alphabet_size; ++s) {
      poll_interruption_every(++symbols_seen, 1);
      if (next_present < sorted_children.size() &&
          symbols.symbol_of(nodes[sorted_children[next_present]].symbol) == s) {
        ++next_present;
        continue;
      }
      writer.add_node(id_of[v], static_cast<std::uint32_t>(s), depth, true);
    }
    stack.insert(stack.end(), sorted_children.begin(), sorted_children.end());
  }
}

// Writes the selected tree: the reached nodes, then the count-free children of split nodes.
// The node limit counts the full trie and those children.
template <class Scorer, class Counted, class Symbols>
MessageOr<CompactedTrie> write_selected(Scorer& scorer, std::uint64_t root, const Counted& counted,
                                        const Symbols& symbols, TrieLimits limits) {
  const std::vector<RunRecord>& records = scorer.records();
  const std::vector<SelectedNode> nodes =
      reached_nodes(records, scorer.child_records(), root, symbols);
  const ChildLists lists(nodes);
  std::uint64_t count_free = 0;
  std::uint64_t entries = 0;
  for (std::size_t v = 0; v < nodes.size(); ++v) {
    count_free += nodes[v].split ? counted.alphabet_size() - lists.count(v) : 0;
    entries += records[nodes[v].record].tallies_size;
  }
  if (count_free > limits.max_nodes - std::min(limits.max_nodes, counted.literal_node_count())) {
    return fail_message(kNodeLimitMessage);
  }
  if (entries > limits.max_count_entries) {
    return fail_message(kCountLimitMessage);
  }
  const std::vector<std::uint32_t> by_id = in_id_order(nodes);
  std::vector<NodeId> id_of(nodes.size());
  for (std::size_t id = 0; id < by_id.size(); ++id) {
    id_of[by_id[id]] = static_cast<NodeId>(id);
  }
  CompactedTrieWriter writer(counted.alphabet_size(), counted.storage_depth(),
                             counted.sample_size(), nodes.size() + count_free, entries);
  write_reached(writer, nodes, by_id, id_of, records, scorer.tallies(), symbols);
  write_count_free(writer, nodes, lists, id_of, counted.alphabet_size(), symbols);
  return std::move(writer).finish();
}

// The symbols of the nodes of sorted contexts: the text names them, by rank.
template <class Text>
class RunSymbols {
 public:
  RunSymbols(const ContextRuns& runs, const Text& text) : runs_(runs), text_(text) {}

  // The rank of the symbol of the node at `depth` on the record's path: the depth-th most
  // recent symbol of its context.
  std::uint32_t rank_at(const RunRecord& record, std::uint32_t depth) const {
    return static_cast<std::uint32_t>(text_[record.context + depth - 1]);
  }
  std::uint32_t symbol_of(std::uint32_t rank) const { return runs_.symbol_of(rank); }

 private:
  const ContextRuns& runs_;
  const Text& text_;
};

// The symbols of the nodes of dense tables: a node's number names them, and ranks are symbols.
class TableSymbols {
 public:
  explicit TableSymbols(const ContextTables& tables) : alphabet_size_(tables.alphabet_size()) {
    power_.assign(tables.storage_depth() + 1, 1);
    for (std::size_t length = 1; length < power_.size(); ++length) {
      power_[length] = power_[length - 1] * alphabet_size_;
    }
  }

  std::uint32_t rank_at(const RunRecord& record, std::uint32_t depth) const {
    // The context at `depth` on the path drops the record's depth - depth oldest symbols; its
    // own symbol is then its oldest, the lowest digit.
    return static_cast<std::uint32_t>(record.context / power_[record.depth - depth] %
                                      alphabet_size_);
  }
  std::uint32_t symbol_of(std::uint32_t rank) const { return rank; }

 private:
  std::uint64_t alphabet_size_;
  std::vector<std::uint64_t> power_;  // A^length
};

template <class Rule>
MessageOr<CompactedTrie> select_with(const ContextRuns& runs, const Rule& rule, TrieLimits limits) {
  RunScorer<Rule> scorer(rule, runs.storage_depth());
  const typename RunScorer<Rule>::Node root = walk_runs(runs, scorer);
  return runs.visit_text([&](const auto& text) {
    return write_selected(scorer, root.record, runs, RunSymbols(runs, text), limits);
  });
}

template <class Rule>
MessageOr<CompactedTrie> select_with(const ContextTables& tables, const Rule& rule,
                                     TrieLimits limits) {
  RunScorer<Rule> scorer(rule, tables.storage_depth());
  const typename RunScorer<Rule>::Node root =
      tables.visit([&](const auto& dense) { return walk_tables(dense, scorer); });
  return write_selected(scorer, root.record, tables, TableSymbols(tables), limits);
}

// bct or bic over the counted contexts.
template <class Counted>
MessageOr<CompactedTrie> select_counted(const Counted& counted, const SelectionSettings& settings,
                                        TrieLimits limits) {
  ensure(counted.storage_depth() >= 1, "run selection needs contexts of at least one symbol");
  const std::uint64_t alphabet_size = counted.alphabet_size();
  const std::uint64_t depth = counted.storage_depth();
  const auto select = [&](const auto& rule) {
    ensure(rule.single_child_of_leaf_is_leaf(), "run selection needs leaves to stay leaves upward");
    return select_with(counted, rule, limits);
  };
  switch (settings.method) {
    case SelectionMethod::bct:
      return select(BctRule(alphabet_size, depth, settings.beta));
    case SelectionMethod::bic:
      return select(BicRule(alphabet_size, depth, counted.sample_size(), settings.penalty));
    case SelectionMethod::peres_shield:
      break;
  }
  fail_internal("run selection runs bct and bic only");
}

}  // namespace

MessageOr<CompactedTrie> select_over_runs(const ContextRuns& runs,
                                          const SelectionSettings& settings, TrieLimits limits) {
  return select_counted(runs, settings, limits);
}

MessageOr<CompactedTrie> select_over_tables(const ContextTables& tables,
                                            const SelectionSettings& settings, TrieLimits limits) {
  return select_counted(tables, settings, limits);
}

}  // namespace tesk
