// Counting by context codes.
//
// The string of the L symbols that end at position i, newest first, has the base-A number
// x[i] + x[i-1]·A + ... + x[i-L+1]·A^(L-1). Where A^(D+1) is small next to the number of
// positions, every length gets a dense table indexed by that number, whose cell holds the
// string's count as an outcome after its L - 1 older symbols, and the NodeId of the string as a
// context of depth L. A position's numbers follow from the previous position's (x[i] + A times
// the number one shorter), so the cells of all depths are found by arithmetic, with no walk from
// the root and no per-position state.
//
// The cells of the strings that end at i - 1 are those of the contexts of position i. Only when a
// position meets a string or a context for the first time does it make anything, and then it
// goes through its depths in order, as counting position by position from the root does; so
// NodeIds and child lists come out as that build leaves them. Count entries are made as they
// first occur, their counts are written from the cells at the end, and each node's list is then
// moved into one block.

#include "trie/code_build.hpp"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "common/internal_failure.hpp"

namespace tesk::trie_detail {

namespace {

struct CodeCell {
  std::uint32_t count;  // observations of the string's newest symbol after its older ones
  NodeId node;          // the string as a context, once some position has it
  std::uint32_t entry;  // its count entry, once made
};

inline constexpr CodeCell kFreshCell{0, kNoIndex, kNoIndex};

// Tables of up to this many cells are always dense; beyond it, A^(D+1) may reach a quarter of
// the positions (about 4 bytes of tables per position in all).
inline constexpr std::uint64_t kDenseFloor = std::uint64_t{1} << 16;

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

template <class Symbol>
class CodeBuilder {
 public:
  CodeBuilder(std::uint64_t alphabet_size, std::uint64_t conditioning_depth,
              std::uint32_t storage_depth, std::uint64_t positions, BuildLimits limits)
      : alphabet_size_(alphabet_size),
        conditioning_(conditioning_depth),
        depth_(storage_depth),
        positions_(positions),
        limits_(limits),
        tables_(storage_depth + 2),
        numbers_(storage_depth + 2, 0),
        previous_numbers_(storage_depth + 2, 0),
        cells_(storage_depth + 2, nullptr),
        previous_cells_(storage_depth + 2, nullptr) {
    std::uint64_t space = 1;
    for (std::uint32_t length = 1; length <= storage_depth + 1; ++length) {
      space *= alphabet_size;
      tables_[length].assign(space, kFreshCell);
    }
    nodes_.push_back(TrieNode{0, kNoIndex, kNoIndex, kNoIndex, kNoIndex, 0});
  }

  MessageOr<CountTrie> run(std::span<const RowView<Symbol>> rows) {
    for (const RowView<Symbol>& row : rows) {
      if (row.size > conditioning_ && !count_row(row)) {
        return fail_message(kNodeLimitMessage);
      }
    }
    if (entries_overflowed_) {
      return fail_message(kCountLimitMessage);
    }
    return assemble();
  }

 private:
  bool count_row(const RowView<Symbol>& row) {
    const Symbol* x = row.data;
    const std::uint32_t lengths = depth_ + 1;
    const std::uint64_t alphabet = alphabet_size_;
    std::uint64_t* numbers = numbers_.data();
    std::uint64_t* previous_numbers = previous_numbers_.data();
    CodeCell** cells = cells_.data();
    CodeCell** previous_cells = previous_cells_.data();
    std::vector<CodeCell*> bases(lengths + 1, nullptr);
    for (std::uint32_t length = 1; length <= lengths; ++length) {
      bases[length] = tables_[length].data();
    }
    // The strings ending just before the first counted position (at most D long: C >= D).
    std::uint64_t power = 1;
    for (std::uint32_t length = 1; length <= depth_; ++length) {
      previous_numbers[length] =
          previous_numbers[length - 1] + x[conditioning_ - length] * power;
      previous_cells[length] = bases[length] + previous_numbers[length];
      power *= alphabet;
    }
    for (std::uint64_t i = conditioning_; i < row.size; ++i) {
      const std::uint64_t outcome = x[i];
      bool meets_new = false;
      for (std::uint32_t length = 1; length <= lengths; ++length) {
        numbers[length] = outcome + alphabet * previous_numbers[length - 1];
        CodeCell* cell = bases[length] + numbers[length];
        cells[length] = cell;
        meets_new |= cell->count++ == 0;
      }
      for (std::uint32_t length = 1; length <= depth_; ++length) {
        meets_new |= previous_cells[length]->node == kNoIndex;
      }
      // Only a position that meets a new string or context makes anything.
      if (meets_new && !add_new(x, i, cells, previous_cells)) [[unlikely]] {
        return false;
      }
      std::swap(numbers, previous_numbers);
      std::swap(cells, previous_cells);
    }
    // Leave the buffers as the loop had them: previous_numbers[0] stays 0 either way.
    return true;
  }

  // The entries and nodes position i creates, in order of depth: the entry under each context,
  // then the context one symbol longer.
  [[gnu::noinline]] bool add_new(const Symbol* x, std::uint64_t i, CodeCell* const* cells,
                                 CodeCell* const* previous_cells) {
    const auto outcome = static_cast<std::uint32_t>(x[i]);
    NodeId node = kRoot;
    for (std::uint32_t depth = 0;; ++depth) {
      CodeCell& tally = *cells[depth + 1];
      if (tally.entry == kNoIndex) {
        add_entry(tally, node, outcome);
      }
      if (depth == depth_) {
        return true;
      }
      CodeCell& context = *previous_cells[depth + 1];
      if (context.node == kNoIndex &&
          !add_node(context, node, static_cast<std::uint32_t>(x[i - depth - 1]), depth + 1)) {
        return false;
      }
      node = context.node;
    }
  }

  bool add_node(CodeCell& cell, NodeId parent, std::uint32_t symbol, std::uint32_t depth) {
    if (nodes_.size() >= limits_.max_nodes) {
      return false;
    }
    const auto id = static_cast<NodeId>(nodes_.size());
    std::uint32_t& head = nodes_[parent].first_child;
    links_.push_back(ChildLink{symbol, id, head});
    head = id - 1;
    nodes_.push_back(TrieNode{0, parent, kNoIndex, kNoIndex, symbol,
                              static_cast<std::uint16_t>(depth)});
    cell.node = id;
    return true;
  }

  void add_entry(CodeCell& cell, NodeId node, std::uint32_t symbol) {
    if (entries_overflowed_) {
      return;
    }
    if (counts_.size() >= limits_.max_count_entries) {
      // Past the limit the build can only fail; it goes on for the node limit, reported first.
      entries_overflowed_ = true;
      counts_ = std::vector<SymbolCount>();
      return;
    }
    std::uint32_t& head = nodes_[node].first_count;
    cell.entry = static_cast<std::uint32_t>(counts_.size());
    counts_.push_back(SymbolCount{0, symbol, head});
    head = cell.entry;
  }

  CountTrie assemble() {
    for (const std::vector<CodeCell>& table : tables_) {
      for (const CodeCell& cell : table) {
        if (cell.entry != kNoIndex) {
          counts_[cell.entry].count = cell.count;
        }
      }
    }
    tables_ = std::vector<std::vector<CodeCell>>();
    // Each node's list moves into one block, in list order; the node's total is its entries' sum.
    std::vector<SymbolCount> laid_out(counts_.size());
    std::uint32_t place = 0;
    for (TrieNode& node : nodes_) {
      const std::uint32_t first = node.first_count;
      if (first == kNoIndex) {
        continue;
      }
      node.first_count = place;
      for (std::uint32_t entry = first; entry != kNoIndex; entry = counts_[entry].next) {
        const SymbolCount& old = counts_[entry];
        node.total += old.count;
        laid_out[place] = SymbolCount{old.count, old.symbol, place + 1};
        ++place;
      }
      laid_out[place - 1].next = kNoIndex;
    }
    ensure(place == laid_out.size(), "count entries left unplaced");
    ensure(nodes_[kRoot].total == positions_, "root total differs from the positions");
    return CountTrie::from_parts(std::move(nodes_), std::move(links_), std::move(laid_out),
                                 alphabet_size_, depth_, positions_);
  }

  std::uint64_t alphabet_size_;
  std::uint64_t conditioning_;
  std::uint32_t depth_;
  std::uint64_t positions_;
  BuildLimits limits_;
  std::vector<std::vector<CodeCell>> tables_;  // by length
  // By length: the numbers and cells of the strings ending at the position being counted and at
  // the one before ([0] is the empty string, number 0).
  std::vector<std::uint64_t> numbers_;
  std::vector<std::uint64_t> previous_numbers_;
  std::vector<CodeCell*> cells_;
  std::vector<CodeCell*> previous_cells_;
  std::vector<TrieNode> nodes_;
  std::vector<ChildLink> links_;
  std::vector<SymbolCount> counts_;
  bool entries_overflowed_ = false;
};

}  // namespace

bool code_build_applies(std::uint64_t alphabet_size, std::uint64_t storage_depth,
                        std::uint64_t positions) {
  if (alphabet_size == 0 || positions >= 0xFFFFFFFFULL || storage_depth > kMaxNodeDepth) {
    return false;
  }
  return bounded_power(alphabet_size, storage_depth + 1, std::max(kDenseFloor, positions / 4))
      .has_value();
}

template <class Symbol>
MessageOr<CountTrie> build_by_codes(std::span<const RowView<Symbol>> rows,
                                    std::uint64_t alphabet_size,
                                    std::uint64_t conditioning_depth, std::uint64_t storage_depth,
                                    BuildLimits limits) {
  std::uint64_t positions = 0;
  for (const RowView<Symbol>& row : rows) {
    positions += row.size > conditioning_depth ? row.size - conditioning_depth : 0;
  }
  ensure(storage_depth <= conditioning_depth &&
             code_build_applies(alphabet_size, storage_depth, positions),
         "counting by codes outside its range");
  CodeBuilder<Symbol> builder(alphabet_size, conditioning_depth,
                              static_cast<std::uint32_t>(storage_depth), positions, limits);
  return builder.run(rows);
}

template MessageOr<CountTrie> build_by_codes(std::span<const RowView<std::uint8_t>>,
                                             std::uint64_t, std::uint64_t, std::uint64_t,
                                             BuildLimits);
template MessageOr<CountTrie> build_by_codes(std::span<const RowView<std::uint16_t>>,
                                             std::uint64_t, std::uint64_t, std::uint64_t,
                                             BuildLimits);
template MessageOr<CountTrie> build_by_codes(std::span<const RowView<std::uint32_t>>,
                                             std::uint64_t, std::uint64_t, std::uint64_t,
                                             BuildLimits);
template MessageOr<CountTrie> build_by_codes(std::span<const RowView<std::uint64_t>>,
                                             std::uint64_t, std::uint64_t, std::uint64_t,
                                             BuildLimits);

}  // namespace tesk::trie_detail
