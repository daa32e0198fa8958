// Counting by context codes, one memory touch per position.
//
// The string of the L symbols that end at position i, newest first, has the base-A number
// x[i] + x[i-1]·A + ... + x[i-L+1]·A^(L-1). Every counted position has a full context of the
// storage depth D (the first conditioning_depth >= D symbols of a row only condition), so the
// table of the strings of length D + 1 (context and outcome) determines every shorter one: the
// cell of a string of length L sums the cells of length L + 1 that extend it by an older
// symbol, numbers m + a·A^L for every a. Counting touches only that deepest table, one cell per
// position, prefetched well ahead; the shorter tables are sums made in sequential passes.
//
// A cell keeps its first position beside its count, as an earliness (n - first position, 0 for
// an empty cell), so that the first of several cells is the largest.
//
// The trie follows from the tables. A context c of length L is a node when some string of
// length L + 1 has it before its outcome, and the node's count list holds those strings (the
// cells c·A + s of length L + 1). NodeIds go by first position and, at one position, by depth:
// a position meets new contexts from some depth on (every longer context is new there too), so
// each position that makes nodes makes a context of full depth. Sorting the contexts of full
// depth by first position and walking each one's new ancestors hands out the NodeIds in the
// order counting position by position does.

#include "trie/code_build.hpp"

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
#include "common/symbol_message.hpp"

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

// Tables beyond this size are prefetched ahead of their touches.
inline constexpr std::uint64_t kNearBytes = std::uint64_t{1} << 20;
inline constexpr std::size_t kLookahead = 32;
// Work units of one counted position (a touch that may miss every cache).
inline constexpr std::uint64_t kWorkPerPosition = 4;

// A string's count and first position. Position is 32 bits wide while the positions fit.
template <class Position>
struct Cell {
  Position count;
  Position earliness;  // n - first position; 0 when the cell is empty
};

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

template <class Symbol, class Position>
class CodeBuilder {
  using TableCell = Cell<Position>;

 public:
  CodeBuilder(std::uint64_t alphabet_size, std::uint64_t conditioning_depth,
              std::uint32_t storage_depth, std::uint64_t positions, BuildLimits limits)
      : alphabet_size_(alphabet_size),
        conditioning_(conditioning_depth),
        depth_(storage_depth),
        positions_(positions),
        limits_(limits),
        power_(storage_depth + 2, 1),
        tables_(storage_depth + 2),
        window_(kPollStride + storage_depth),
        numbers_(kPollStride) {
    for (std::uint32_t length = 1; length <= storage_depth + 1; ++length) {
      power_[length] = power_[length - 1] * alphabet_size;
    }
  }

  MessageOr<CountTrie> run(std::span<const RowView<Symbol>> rows,
                           const std::function<void()>& release_rows) {
    tables_[depth_ + 1] = ZeroedPages<TableCell>(power_[depth_ + 1]);
    std::uint64_t counted = 0;
    for (std::size_t r = 0; r < rows.size(); ++r) {
      if (std::optional<std::string> bad = count_row(rows[r], r, counted)) {
        return fail_message(std::move(*bad));
      }
    }
    ensure(counted == positions_, "counted positions differ from the rows' positions");
    release_rows();
    for (std::uint32_t length = depth_; length >= 1; --length) {
      derive_table(length);
    }
    const auto [node_count, entry_count] = tally_nodes_and_entries();
    if (node_count > limits_.max_nodes) {
      return fail_message(kNodeLimitMessage);
    }
    if (entry_count > limits_.max_count_entries) {
      return fail_message(kCountLimitMessage);
    }
    return assemble(node_count, entry_count);
  }

 private:
  TableCell* table(std::uint32_t length) { return tables_[length].get(); }

  // Counts a row's positions into the deepest table. Each chunk's symbols are copied and checked
  // before they are read: rows read where they lie may change while a signal handler runs
  // between chunks, and no number outside the table may ever come of them.
  std::optional<std::string> count_row(const RowView<Symbol>& row, std::size_t row_index,
                                       std::uint64_t& counted) {
    const bool far = power_[depth_ + 1] * sizeof(TableCell) > kNearBytes;
    for (std::uint64_t i = conditioning_; i < row.size;) {
      const std::uint64_t stop = poll_chunk_up(i, row.size, kWorkPerPosition);
      const auto count = static_cast<std::size_t>(stop - i);
      const Symbol* first = row.data + (i - depth_);
      std::copy(first, first + count + depth_, window_.begin());
      if (std::optional<std::size_t> bad = first_outside(count + depth_)) {
        return symbol_outside_message(
            window_[*bad],
            "data[" + std::to_string(row_index) + "][" + std::to_string(i - depth_ + *bad) + "]",
            alphabet_size_);
      }
      number_window(count);
      touch_cells(count, counted, far);
      counted += count;
      i = stop;
    }
    return std::nullopt;
  }

  std::optional<std::size_t> first_outside(std::size_t size) const {
    bool any = false;
    for (std::size_t k = 0; k < size; ++k) {
      any |= window_[k] >= alphabet_size_;
    }
    if (!any) {
      return std::nullopt;
    }
    for (std::size_t k = 0;; ++k) {
      if (window_[k] >= alphabet_size_) {
        return k;
      }
    }
  }

  // numbers_[j]: the string of D + 1 symbols ending at window_[D + j]. Each follows from the one
  // before: drop its oldest symbol, shift, add the newest.
  void number_window(std::size_t count) {
    const std::uint64_t alphabet = alphabet_size_;
    const std::uint64_t top = power_[depth_];
    std::uint64_t number = 0;
    for (std::uint32_t k = 0; k <= depth_; ++k) {
      number = number * alphabet + window_[k];
    }
    numbers_[0] = number;
    for (std::size_t j = 1; j < count; ++j) {
      number = window_[depth_ + j] + alphabet * (number - window_[j - 1] * top);
      numbers_[j] = number;
    }
  }

  void touch_cells(std::size_t count, std::uint64_t counted, bool far) {
    TableCell* cells = table(depth_ + 1);
    const std::uint64_t* numbers = numbers_.data();
    const auto n = static_cast<Position>(positions_ - counted);  // earliness of the first here
    if (far) {
      for (std::size_t j = 0; j < std::min(count, kLookahead); ++j) {
        __builtin_prefetch(cells + numbers[j], 1);
      }
    }
    for (std::size_t j = 0; j < count; ++j) {
      if (far && j + kLookahead < count) {
        __builtin_prefetch(cells + numbers[j + kLookahead], 1);
      }
      TableCell& cell = cells[numbers[j]];
      if (cell.count++ == 0) {
        cell.earliness = static_cast<Position>(n - j);
      }
    }
  }

  // The table of strings of `length` symbols from the one a symbol longer: block a of the longer
  // table holds the strings whose oldest symbol is a.
  void derive_table(std::uint32_t length) {
    const std::uint64_t size = power_[length];
    tables_[length] = ZeroedPages<TableCell>(size);
    TableCell* out = table(length);
    for (std::uint64_t oldest = 0; oldest < alphabet_size_; ++oldest) {
      const TableCell* in = table(length + 1) + oldest * size;
      for (std::uint64_t m = 0; m < size;) {
        for (const std::uint64_t stop = poll_chunk_up(m, size, 1); m < stop; ++m) {
          out[m].count += in[m].count;
          out[m].earliness = std::max(out[m].earliness, in[m].earliness);
        }
      }
    }
  }

  // The node of context `number` of `length` symbols: the earliness of its first position (0
  // when it is no node), from the strings it precedes.
  std::uint64_t context_earliness(std::uint32_t length, std::uint64_t number) {
    const TableCell* cells = table(length + 1) + number * alphabet_size_;
    Position earliness = 0;
    for (std::uint64_t s = 0; s < alphabet_size_; ++s) {
      earliness = std::max(earliness, cells[s].earliness);
    }
    return earliness;
  }

  // Nodes (root included) and count entries of the full trie.
  std::pair<std::uint64_t, std::uint64_t> tally_nodes_and_entries() {
    std::uint64_t nodes = 1;
    std::uint64_t entries = 0;
    for (std::uint32_t length = 1; length <= depth_ + 1; ++length) {
      const TableCell* cells = table(length);
      const std::uint64_t groups = power_[length - 1];
      for (std::uint64_t c = 0; c < groups;) {
        for (const std::uint64_t stop = poll_chunk_up(c, groups, alphabet_size_); c < stop; ++c) {
          std::uint64_t seen = 0;
          for (std::uint64_t s = 0; s < alphabet_size_; ++s) {
            seen += cells[c * alphabet_size_ + s].count != 0;
          }
          entries += seen;
          nodes += length > 1 && seen != 0;
        }
      }
    }
    return {nodes, entries};
  }

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
    tables_.clear();
    LinkVector links = link_children(nodes);
    ensure(nodes[kRoot].total == positions_, "root total differs from the positions");
    return CountTrie::from_parts(std::move(nodes), std::move(links), std::move(counts),
                                 alphabet_size_, depth_, positions_);
  }

  // The contexts of full depth by first position, and before each the new contexts on its
  // path, shortest first: the order in which counting position by position creates them.
  void add_nodes_by_first_position(NodeVector& nodes, CountVector& counts) {
    // The NodeIds of the contexts shorter than D, for the parents of later new contexts.
    std::vector<ZeroedPages<NodeId>> node_ids(depth_);
    for (std::uint32_t length = 1; length < depth_; ++length) {
      node_ids[length] = ZeroedPages<NodeId>(power_[length]);
    }
    const PageVector<FullContext> full = full_contexts_by_first_position();
    for (std::size_t k = 0; k < full.size();) {
      for (const std::size_t stop = poll_chunk_up(k, full.size(), depth_ + 1); k < stop; ++k) {
        if (k + kLookahead < full.size()) {
          prefetch_strings(full[k + kLookahead].number);
        }
        const std::uint64_t number = full[k].number;
        const std::uint64_t earliness = positions_ - full[k].first;
        std::uint32_t shallowest = depth_;
        while (shallowest > 1 && context_earliness(shallowest - 1,
                                                   number % power_[shallowest - 1]) == earliness) {
          --shallowest;
        }
        NodeId parent =
            shallowest == 1 ? kRoot : node_ids[shallowest - 1][number % power_[shallowest - 1]];
        ensure(parent != kRoot || shallowest == 1, "a new context without its parent");
        for (std::uint32_t length = shallowest; length <= depth_; ++length) {
          const std::uint64_t context = number % power_[length];
          ensure(nodes.size() < kMaxNodeCount, "NodeId beyond the node limit");
          const auto id = static_cast<NodeId>(nodes.size());
          add_node(TrieNode{0, parent, kNoIndex, kNoIndex,
                            static_cast<std::uint32_t>(context / power_[length - 1]),
                            static_cast<std::uint16_t>(length)},
                   context, nodes, counts);
          if (length < depth_) {
            node_ids[length][context] = id;
          }
          parent = id;
        }
      }
    }
  }

  // The strings a context of full depth and its parent precede lie anywhere in their tables.
  void prefetch_strings(std::uint64_t number) {
    __builtin_prefetch(table(depth_ + 1) + number * alphabet_size_);
    if (depth_ > 1) {
      __builtin_prefetch(table(depth_) + (number % power_[depth_ - 1]) * alphabet_size_);
    }
  }

  PageVector<FullContext> full_contexts_by_first_position() {
    PageVector<FullContext> full;
    const std::uint64_t contexts = power_[depth_];
    for (std::uint64_t c = 0; c < contexts;) {
      for (const std::uint64_t stop = poll_chunk_up(c, contexts, alphabet_size_); c < stop; ++c) {
        if (const std::uint64_t earliness = context_earliness(depth_, c); earliness != 0) {
          full.push_back(FullContext{c, positions_ - earliness});
        }
      }
    }
    radix_sort(full, static_cast<unsigned>(std::bit_width(positions_)),
               [](const FullContext& context) { return context.first; });
    return full;
  }

  // Appends the node of context `number` and its count list, in one block: the strings of
  // length + 1 it precedes by first position, the latest first (the order of a list whose new
  // entries go to its head).
  void add_node(TrieNode node, std::uint64_t number, NodeVector& nodes, CountVector& counts) {
    const TableCell* cells = table(node.depth + 1u) + number * alphabet_size_;
    entries_.clear();
    for (std::uint64_t s = 0; s < alphabet_size_; ++s) {
      if (cells[s].count != 0) {
        entries_.push_back(Entry{cells[s].earliness, cells[s].count, static_cast<std::uint32_t>(s)});
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

  std::uint64_t alphabet_size_;
  std::uint64_t conditioning_;
  std::uint32_t depth_;
  std::uint64_t positions_;
  BuildLimits limits_;
  std::vector<std::uint64_t> power_;                // A^length
  std::vector<ZeroedPages<TableCell>> tables_;      // by length, 1 .. D + 1
  std::vector<Symbol> window_;                      // a chunk's symbols and the D before them
  std::vector<std::uint64_t> numbers_;              // the chunk's strings of D + 1 symbols
  std::vector<Entry> entries_;                      // one node's count entries
};

template <class Symbol, class Position>
MessageOr<CountTrie> build_with(std::span<const RowView<Symbol>> rows, std::uint64_t alphabet_size,
                                std::uint64_t conditioning_depth, std::uint64_t storage_depth,
                                std::uint64_t positions, BuildLimits limits,
                                const std::function<void()>& release_rows) {
  CodeBuilder<Symbol, Position> builder(alphabet_size, conditioning_depth,
                                        static_cast<std::uint32_t>(storage_depth), positions,
                                        limits);
  return builder.run(rows, release_rows);
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
                                    std::uint64_t alphabet_size,
                                    std::uint64_t conditioning_depth, std::uint64_t storage_depth,
                                    BuildLimits limits, const std::function<void()>& release_rows) {
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
    return build_with<Symbol, std::uint32_t>(rows, alphabet_size, conditioning_depth,
                                             storage_depth, positions, limits, release_rows);
  }
  return build_with<Symbol, std::uint64_t>(rows, alphabet_size, conditioning_depth, storage_depth,
                                           positions, limits, release_rows);
}

template MessageOr<CountTrie> build_by_codes(std::span<const RowView<std::uint8_t>>,
                                             std::uint64_t, std::uint64_t, std::uint64_t,
                                             BuildLimits, const std::function<void()>&);
template MessageOr<CountTrie> build_by_codes(std::span<const RowView<std::uint16_t>>,
                                             std::uint64_t, std::uint64_t, std::uint64_t,
                                             BuildLimits, const std::function<void()>&);
template MessageOr<CountTrie> build_by_codes(std::span<const RowView<std::uint32_t>>,
                                             std::uint64_t, std::uint64_t, std::uint64_t,
                                             BuildLimits, const std::function<void()>&);

}  // namespace tesk::detail
