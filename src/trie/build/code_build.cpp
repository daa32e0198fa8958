// Counting by context codes: the full trie from the dense tables of trie/build/dense_tables.hpp.
//
// NodeIds go by first position and, at one position, by depth: a position meets new contexts
// from some depth on (every longer context is new there too), so each position that makes nodes
// makes a context of full depth. Sorting the contexts of full depth by first position and walking
// each one's new ancestors hands out the NodeIds in the order counting position by position does.

#include "trie/build/code_build.hpp"

#include <algorithm>
#include <bit>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/internal_failure.hpp"
#include "common/interruption.hpp"
#include "common/page_memory.hpp"
#include "common/radix_sort.hpp"
#include "trie/build/dense_tables.hpp"

namespace tesk::detail {

namespace {

// How many cells the deepest table may have: half the positions (about 4 bytes of tables per
// position with 32-bit cells), and for smaller fits up to 32 per position within 16 Mi cells,
// where the tables still beat sorting the contexts; never less than kDenseFloor.
inline constexpr std::uint64_t kDenseFloor = std::uint64_t{1} << 16;
inline constexpr std::uint64_t kSmallFitCells = std::uint64_t{1} << 24;

std::uint64_t deepest_table_cells(std::uint64_t positions) {
  const std::uint64_t small_fit = positions < kSmallFitCells / 32 ? 32 * positions : kSmallFitCells;
  return std::max({kDenseFloor, positions / 2, small_fit});
}

// A^length, or nothing above `limit`.
std::optional<std::uint64_t> bounded_power(std::uint64_t alphabet_size, std::uint64_t length,
                                           std::uint64_t limit) {
  std::uint64_t power = 1;
  for (std::uint64_t k = 0; k < length; ++k) {
    if (power > limit / alphabet_size) {
      return std::nullopt;
    }
    power *= alphabet_size;
  }
  return power;
}

// A context of full depth and its first position.
struct FullContext {
  std::uint64_t number;
  std::uint64_t first;
};

// A count entry of one node while its list is laid out.
struct Entry {
  std::uint64_t earliness;
  std::uint64_t count;
  std::uint32_t symbol;
};

template <class Position>
class TrieAssembler {
 public:
  explicit TrieAssembler(const DenseTables<Position>& tables)
      : tables_(tables), depth_(tables.storage_depth()) {}

  // Writes the nodes in NodeId order, each with its count list in one block right after the
  // previous node's, so that selection and compaction later read both front to back.
  CountTrie assemble(std::uint64_t node_count, std::uint64_t entry_count) {
    NodeVector nodes;
    nodes.reserve(growth_room(node_count));
    CountVector counts;
    counts.reserve(entry_count);
    add_node(TrieNode{0, kNoIndex, kNoIndex, kNoIndex, kNoIndex, 0}, 0, nodes, counts);
    if (depth_ > 0) {
      add_nodes_by_first_position(nodes, counts);
    }
    ensure(nodes.size() == node_count && counts.size() == entry_count,
           "the trie differs from its tally");
    LinkVector links = link_children(nodes);
    const std::uint64_t positions = tables_.sample_size();
    ensure(nodes[kRoot].total == positions, "root total differs from the positions");
    return CountTrie::from_parts(std::move(nodes), std::move(links), std::move(counts),
                                 tables_.alphabet_size(), depth_, positions);
  }

 private:
  // The contexts of full depth by first position, and before each the new contexts on its
  // path, shortest first: the order in which counting position by position creates them.
  void add_nodes_by_first_position(NodeVector& nodes, CountVector& counts) {
    const std::uint64_t alphabet_size = tables_.alphabet_size();
    // The NodeIds of the contexts shorter than D, for the parents of later new contexts.
    std::vector<ZeroedPages<NodeId>> node_ids(depth_);
    for (std::uint32_t length = 1; length < depth_; ++length) {
      node_ids[length] = ZeroedPages<NodeId>(tables_.power(length));
    }
    std::vector<std::uint64_t> path(depth_ + 1);  // the context's suffix of each length
    const PageVector<FullContext> full = full_contexts_by_first_position();
    for (std::size_t k = 0; k < full.size();) {
      for (const std::size_t stop = poll_chunk_up(k, full.size(), depth_ + 1); k < stop; ++k) {
        path[depth_] = full[k].number;
        const std::uint64_t earliness = tables_.sample_size() - full[k].first;
        std::uint32_t shallowest = depth_;
        while (shallowest > 1) {
          path[shallowest - 1] = path[shallowest] / alphabet_size;
          if (tables_.context_earliness(shallowest - 1, path[shallowest - 1]) != earliness) {
            break;
          }
          --shallowest;
        }
        NodeId parent = shallowest == 1 ? kRoot : node_ids[shallowest - 1][path[shallowest - 1]];
        ensure(parent != kRoot || shallowest == 1, "a new context without its parent");
        for (std::uint32_t length = shallowest; length <= depth_; ++length) {
          ensure(nodes.size() < kMaxNodeCount, "NodeId beyond the node limit");
          const auto id = static_cast<NodeId>(nodes.size());
          add_node(TrieNode{0, parent, kNoIndex, kNoIndex,
                            static_cast<std::uint32_t>(path[length] % alphabet_size),
                            static_cast<std::uint16_t>(length)},
                   path[length], nodes, counts);
          if (length < depth_) {
            node_ids[length][path[length]] = id;
          }
          parent = id;
        }
      }
    }
  }

  PageVector<FullContext> full_contexts_by_first_position() const {
    PageVector<FullContext> full;
    const std::uint64_t contexts = tables_.power(depth_);
    const std::uint64_t positions = tables_.sample_size();
    for (std::uint64_t c = 0; c < contexts;) {
      for (const std::uint64_t stop = poll_chunk_up(c, contexts, tables_.alphabet_size());
           c < stop; ++c) {
        if (const std::uint64_t earliness = tables_.context_earliness(depth_, c); earliness != 0) {
          full.push_back(FullContext{c, positions - earliness});
        }
      }
    }
    radix_sort(full, static_cast<unsigned>(std::bit_width(positions)),
               [](const FullContext& context) { return context.first; });
    return full;
  }

  // Appends the node of `context` and its count list in one block: the strings it precedes by
  // first position, the latest first (the order of a list whose new entries go to its head).
  void add_node(TrieNode node, std::uint64_t context, NodeVector& nodes, CountVector& counts) {
    entries_.clear();
    for (std::uint64_t s = 0; s < tables_.alphabet_size(); ++s) {
      const auto& cell = tables_.entry(node.depth, context, s);
      if (cell.count != 0) {
        entries_.push_back(Entry{cell.earliness, cell.count, static_cast<std::uint32_t>(s)});
      }
    }
    std::sort(entries_.begin(), entries_.end(),
              [](const Entry& a, const Entry& b) { return a.earliness < b.earliness; });
    const auto start = static_cast<std::uint32_t>(counts.size());
    node.first_count = entries_.empty() ? kNoIndex : start;
    for (std::size_t k = 0; k < entries_.size(); ++k) {
      node.total += entries_[k].count;
      const bool last = k + 1 == entries_.size();
      counts.push_back(SymbolCount{entries_[k].count, entries_[k].symbol,
                                   last ? kNoIndex : static_cast<std::uint32_t>(start + k + 1)});
    }
    nodes.push_back(node);
  }

  // Each child heads its parent's list when made, so the list runs newest first.
  static LinkVector link_children(NodeVector& nodes) {
    LinkVector links;
    links.reserve(growth_room(nodes.size()));
    for (std::size_t id = 1; id < nodes.size(); ++id) {
      std::uint32_t& head = nodes[nodes[id].parent].first_child;
      links.push_back(ChildLink{nodes[id].symbol, static_cast<NodeId>(id), head});
      head = static_cast<std::uint32_t>(id - 1);
    }
    return links;
  }

  const DenseTables<Position>& tables_;
  std::uint32_t depth_;
  std::vector<Entry> entries_;  // one node's count entries
};

// Counts the rows into tables of `Position` cells and hands them, with their full trie's node
// and count entry numbers, to `finish`, unless that trie is over the limits.
template <class Symbol, class Position, class Finish>
auto count_with(std::span<const RowView<Symbol>> rows, std::uint64_t alphabet_size,
                std::uint64_t conditioning_depth, std::uint64_t storage_depth,
                std::uint64_t positions, TrieLimits limits,
                const std::function<void()>& release_rows, Finish&& finish)
    -> decltype(finish(std::declval<DenseTables<Position>>(), 0, 0)) {
  DenseTables<Position> tables(alphabet_size, static_cast<std::uint32_t>(storage_depth),
                               positions);
  if (std::optional<std::string> bad = tables.count(rows, conditioning_depth)) {
    return fail_message(std::move(*bad));
  }
  release_rows();
  const auto [node_count, entry_count] = tables.nodes_and_entries();
  if (node_count > limits.max_nodes) {
    return fail_message(kNodeLimitMessage);
  }
  if (entry_count > limits.max_count_entries) {
    return fail_message(kCountLimitMessage);
  }
  return finish(std::move(tables), node_count, entry_count);
}

// count_with over cells of 32 bits while every count and position fits them, else 64.
template <class Symbol, class Finish>
auto count_by_codes(std::span<const RowView<Symbol>> rows, std::uint64_t alphabet_size,
                    std::uint64_t conditioning_depth, std::uint64_t storage_depth,
                    TrieLimits limits, const std::function<void()>& release_rows, Finish&& finish) {
  std::vector<std::uint64_t> lengths;
  lengths.reserve(rows.size());
  for (const RowView<Symbol>& row : rows) {
    lengths.push_back(row.size);
  }
  const std::uint64_t positions = counted_positions(lengths, conditioning_depth);
  ensure(storage_depth <= conditioning_depth &&
             code_build_applies(alphabet_size, storage_depth, positions),
         "counting by codes outside its range");
  if (positions <= std::numeric_limits<std::uint32_t>::max()) {
    return count_with<Symbol, std::uint32_t>(rows, alphabet_size, conditioning_depth, storage_depth,
                                             positions, limits, release_rows, finish);
  }
  return count_with<Symbol, std::uint64_t>(rows, alphabet_size, conditioning_depth, storage_depth,
                                           positions, limits, release_rows, finish);
}

}  // namespace

bool code_build_applies(std::uint64_t alphabet_size, std::uint64_t storage_depth,
                        std::uint64_t positions) {
  if (alphabet_size == 0 || storage_depth > kMaxDepth) {
    return false;
  }
  return deepest_table_within(alphabet_size, storage_depth, deepest_table_cells(positions));
}

bool deepest_table_within(std::uint64_t alphabet_size, std::uint64_t storage_depth,
                          std::uint64_t cells) {
  return bounded_power(alphabet_size, storage_depth + 1, cells).has_value();
}

template <class Symbol>
MessageOr<CountTrie> build_by_codes(std::span<const RowView<Symbol>> rows,
                                    std::uint64_t alphabet_size, std::uint64_t conditioning_depth,
                                    std::uint64_t storage_depth, TrieLimits limits,
                                    const std::function<void()>& release_rows) {
  return count_by_codes(
      rows, alphabet_size, conditioning_depth, storage_depth, limits, release_rows,
      [](const auto& tables, std::uint64_t nodes, std::uint64_t entries) -> MessageOr<CountTrie> {
        return TrieAssembler(tables).assemble(nodes, entries);
      });
}

template <class Symbol>
MessageOr<ContextTables> tables_by_codes(std::span<const RowView<Symbol>> rows,
                                         std::uint64_t alphabet_size,
                                         std::uint64_t conditioning_depth,
                                         std::uint64_t storage_depth, TrieLimits limits,
                                         const std::function<void()>& release_rows) {
  return count_by_codes(rows, alphabet_size, conditioning_depth, storage_depth, limits,
                        release_rows,
                        [](auto&& tables, std::uint64_t nodes,
                           std::uint64_t /*entries*/) -> MessageOr<ContextTables> {
                          return ContextTables(std::move(tables), nodes);
                        });
}

#define TESK_INSTANTIATE_CODE_BUILDS(Symbol)                                                     \
  template MessageOr<CountTrie> build_by_codes(std::span<const RowView<Symbol>>, std::uint64_t,  \
                                               std::uint64_t, std::uint64_t, TrieLimits,         \
                                               const std::function<void()>&);                    \
  template MessageOr<ContextTables> tables_by_codes(std::span<const RowView<Symbol>>,            \
                                                    std::uint64_t, std::uint64_t, std::uint64_t, \
                                                    TrieLimits, const std::function<void()>&);
TESK_INSTANTIATE_CODE_BUILDS(std::uint8_t)
TESK_INSTANTIATE_CODE_BUILDS(std::uint16_t)
TESK_INSTANTIATE_CODE_BUILDS(std::uint32_t)
#undef TESK_INSTANTIATE_CODE_BUILDS

}  // namespace tesk::detail
