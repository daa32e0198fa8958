// Counting by context codes.
//
// The string of the L symbols that end at position i, newest first, has the base-A number
// x[i] + x[i-1]·A + ... + x[i-L+1]·A^(L-1). Where A^(D+1) is small next to the number of
// positions, every length gets a dense table of 32-bit cells indexed by that number: the string's
// count as an outcome after its L - 1 older symbols, and in the top bit whether the string is a
// node (a context of depth L). A position's numbers follow from the previous position's (x[i] + A
// times the number one shorter), so its cells are found by arithmetic, with no walk from the root
// and no per-position state, and the far ones can be prefetched.
//
// The strings that end at i - 1 are the contexts of position i. Only when a position meets a
// string or a context for the first time does it make anything, and then it goes through its
// depths in order, as counting position by position from the root does; so NodeIds come out as
// that build numbers them. The node of an entry and the parent of a node follow from their
// strings and are looked up at the end, where the child and count lists are linked as that build
// leaves them (each node's count entries in one block).

#include "trie/code_build.hpp"

#include <algorithm>
#include <functional>
#include <optional>
#include <ranges>
#include <utility>
#include <vector>

#include "common/internal_failure.hpp"
#include "common/interruption.hpp"
#include "common/page_memory.hpp"

namespace tesk::detail {

namespace {

// A string's count and, in its top bit, whether it is a node (a context some position had).
inline constexpr std::uint32_t kNodeBit = 0x80000000u;
inline constexpr std::uint32_t kCountMask = 0x7FFFFFFFu;

// How many cells the deepest table may have: half the positions (about 3.5 bytes of tables per
// position in all), and for smaller fits up to 32 per position within 64 MiB, where the tables
// still beat counting depth by depth in time and in memory; and never less than kDenseFloor.
inline constexpr std::uint64_t kDenseFloor = std::uint64_t{1} << 16;
inline constexpr std::uint64_t kSmallFitCells = std::uint64_t{1} << 24;

std::uint64_t deepest_table_cells(std::uint64_t positions) {
  const std::uint64_t small_fit = positions < kSmallFitCells / 32 ? 32 * positions : kSmallFitCells;
  return std::max({kDenseFloor, positions / 2, small_fit});
}

// Tables beyond this size are prefetched ahead of their visits.
inline constexpr std::uint64_t kNearBytes = std::uint64_t{1} << 20;
inline constexpr std::uint64_t kLookahead = 16;

// While counting, a count entry's `count` holds where its cell is: length and number.
inline constexpr unsigned kLengthShift = 40;

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
        counts_by_length_(storage_depth + 2),
        node_ids_(storage_depth + 1),
        numbers_(storage_depth + 2, 0),
        previous_numbers_(storage_depth + 2, 0),
        tables_(storage_depth + 2, nullptr),
        top_power_(storage_depth + 2, 1),
        ahead_(storage_depth + 2, 0),
        first_far_(storage_depth + 2) {
    std::uint64_t space = 1;
    for (std::uint32_t length = 1; length <= storage_depth + 1; ++length) {
      top_power_[length] = space;
      space *= alphabet_size;
      counts_by_length_[length] = ZeroedPages<std::uint32_t>(space);
      tables_[length] = counts_by_length_[length].get();
      if (length <= storage_depth) {
        // Read only where the node bit is set, which is written together with the id.
        node_ids_[length] = ZeroedPages<NodeId>(space);
      }
      if (space * sizeof(std::uint32_t) > kNearBytes && first_far_ > length) {
        first_far_ = length;  // tables grow with the length: every longer one is far too
      }
    }
  }

  // `release_rows` is called once the rows are no longer read, before the trie is assembled.
  MessageOr<CountTrie> run(std::span<const RowView<Symbol>> rows,
                           const std::function<void()>& release_rows) {
    for (const RowView<Symbol>& row : rows) {
      if (row.size > conditioning_ && !count_row(row)) {
        return fail_message(kNodeLimitMessage);
      }
    }
    if (entries_overflowed_) {
      return fail_message(kCountLimitMessage);
    }
    release_rows();
    return assemble();
  }

 private:
  // Position i's strings of length L have numbers x[i] + A * (the number of the string of length
  // L - 1 ending at i - 1). Each cell is read and counted once per position; what was read also
  // says whether each string is already a node, which the next position needs for its contexts
  // (a string made a node in between only sends that position down the careful path for nothing).
  bool count_row(const RowView<Symbol>& row) {
    const Symbol* x = row.data;
    const std::uint64_t alphabet = alphabet_size_;
    std::uint64_t* numbers = numbers_.data();
    std::uint64_t* previous_numbers = previous_numbers_.data();
    std::uint32_t* const* counts = tables_.data();
    std::uint32_t* const deepest = tables_[depth_ + 1];
    const std::uint64_t* top_power = top_power_.data();
    std::uint64_t* ahead = ahead_.data();
    // The strings ending just before the first counted position (at most D long: C >= D).
    for (std::uint32_t length = 1; length <= depth_; ++length) {
      previous_numbers[length] =
          previous_numbers[length - 1] + x[conditioning_ - length] * top_power[length];
    }
    // The far cells are prefetched kLookahead positions ahead, with their numbers rolled along:
    // drop the oldest symbol, add the newest.
    const std::uint32_t first_far = first_far_;
    const bool prefetching = first_far <= depth_ + 1 && conditioning_ + kLookahead < row.size;
    if (prefetching) {
      const std::uint64_t j = conditioning_ + kLookahead - 1;
      for (std::uint32_t length = first_far; length <= depth_ + 1; ++length) {
        ahead[length] = 0;
        for (std::uint32_t k = length; k-- > 0;) {
          ahead[length] = ahead[length] * alphabet + x[j - k];
        }
      }
    }
    bool contexts_maybe_new = true;
    for (std::uint64_t i = conditioning_; i < row.size;) {
      for (const std::uint64_t stop = poll_chunk_up(i, row.size, depth_ + 1); i < stop; ++i) {
        if (prefetching && i + kLookahead < row.size) {
          const std::uint64_t j = i + kLookahead;
          for (std::uint32_t length = first_far; length <= depth_ + 1; ++length) {
            ahead[length] =
                x[j] + alphabet * (ahead[length] - x[j - length] * top_power[length]);
            __builtin_prefetch(counts[length] + ahead[length], 1);
          }
        }
        const std::uint64_t outcome = x[i];
        bool meets_new = contexts_maybe_new;
        bool not_nodes = false;
        for (std::uint32_t length = 1; length <= depth_; ++length) {
          const std::uint64_t number = outcome + alphabet * previous_numbers[length - 1];
          numbers[length] = number;
          const std::uint32_t old = counts[length][number]++;
          meets_new |= (old & kCountMask) == 0;
          not_nodes |= (old & kNodeBit) == 0;
        }
        const std::uint64_t last = outcome + alphabet * previous_numbers[depth_];
        numbers[depth_ + 1] = last;
        meets_new |= deepest[last]++ == 0;
        // Only a position that meets a new string or context makes anything.
        if (meets_new && !add_new(numbers, previous_numbers)) [[unlikely]] {
          return false;
        }
        contexts_maybe_new = not_nodes;
        std::swap(numbers, previous_numbers);
      }
    }
    return true;
  }

  // The entries and nodes a position creates, in order of depth: the entry under each context,
  // then the context one symbol longer. Nothing here waits on memory far away: the parent of a
  // node and the node of an entry follow from their strings and are looked up at the end.
  [[gnu::noinline]] bool add_new(const std::uint64_t* numbers,
                                 const std::uint64_t* previous_numbers) {
    for (std::uint32_t depth = 0;; ++depth) {
      const std::uint32_t length = depth + 1;
      // Counted once so far: this position made the string's first observation.
      if ((counts_by_length_[length][numbers[length]] & kCountMask) == 1) {
        add_entry(length, numbers[length]);
      }
      if (depth == depth_) {
        return true;
      }
      std::uint32_t& context = counts_by_length_[length][previous_numbers[length]];
      if ((context & kNodeBit) == 0) {
        if (1 + node_codes_.size() >= limits_.max_nodes) {
          return false;
        }
        const auto id = static_cast<NodeId>(1 + node_codes_.size());
        node_codes_.push_back(cell_code(length, previous_numbers[length]));
        context |= kNodeBit;
        node_ids_[length][previous_numbers[length]] = id;
      }
    }
  }

  static std::uint64_t cell_code(std::uint32_t length, std::uint64_t number) {
    return (std::uint64_t{length} << kLengthShift) | number;
  }
  static std::uint32_t code_length(std::uint64_t code) {
    return static_cast<std::uint32_t>(code >> kLengthShift);
  }
  static std::uint64_t code_number(std::uint64_t code) {
    return code & ((std::uint64_t{1} << kLengthShift) - 1);
  }

  // While counting, entries and nodes are only the codes of their cells, in order of creation;
  // everything else follows from the code and the tables (an entry's symbol is its number's
  // lowest digit).
  void add_entry(std::uint32_t length, std::uint64_t number) {
    if (entries_overflowed_) {
      return;
    }
    if (entry_codes_.size() >= limits_.max_count_entries) {
      // Past the limit the build can only fail; it goes on for the node limit, reported first.
      entries_overflowed_ = true;
      entry_codes_ = PageVector<std::uint64_t>();
      return;
    }
    entry_codes_.push_back(cell_code(length, number));
  }

  // The NodeId of the context of `length` symbols with this number (the root for none).
  NodeId context_id(std::uint32_t length, std::uint64_t number) const {
    return length == 0 ? kRoot : node_ids_[length][number];
  }

  // Writes the trie from the codes and the tables, freeing each as soon as it is done with so
  // that the peak stays near the finished trie: first every node's parent (its string without
  // the oldest symbol, the highest digit) and every entry's node (its string without the
  // outcome, the lowest digit) and count are read, in place of the codes; then the tables go.
  CountTrie assemble() {
    std::vector<std::uint64_t> power(depth_ + 2, 1);  // A^k
    for (std::uint32_t k = 1; k <= depth_ + 1; ++k) {
      power[k] = power[k - 1] * alphabet_size_;
    }
    for (std::size_t k = 0; k < node_codes_.size();) {  // becomes parent << 32 | symbol
      for (const std::size_t stop = poll_chunk_up(k, node_codes_.size(), 1); k < stop; ++k) {
        std::uint64_t& code = node_codes_[k];
        const std::uint32_t length = code_length(code);
        const std::uint64_t number = code_number(code);
        const std::uint64_t parent = context_id(length - 1, number % power[length - 1]);
        code = (parent << 32) | (number / power[length - 1]);
      }
    }
    PageVector<NodeId> owners(entry_codes_.size());
    for (std::size_t k = 0; k < entry_codes_.size();) {  // becomes count << 32 | symbol
      for (const std::size_t stop = poll_chunk_up(k, entry_codes_.size(), 1); k < stop; ++k) {
        const std::uint32_t length = code_length(entry_codes_[k]);
        const std::uint64_t number = code_number(entry_codes_[k]);
        owners[k] = context_id(length - 1, number / alphabet_size_);
        const std::uint64_t count = counts_by_length_[length][number] & kCountMask;
        entry_codes_[k] = (count << 32) | (number % alphabet_size_);
      }
    }
    counts_by_length_.clear();
    node_ids_.clear();

    const std::size_t node_count = 1 + node_codes_.size();
    PageVector<std::uint32_t> starts;  // node n's entries are [starts[n], starts[n + 1])
    CountVector counts = lay_out_counts(node_count, owners, starts);
    NodeVector nodes;
    nodes.reserve(growth_room(node_count));
    nodes.push_back(TrieNode{0, kNoIndex, kNoIndex, kNoIndex, kNoIndex, 0});
    for (const std::uint64_t code : node_codes_) {
      const auto parent = static_cast<NodeId>(code >> 32);
      const auto depth = static_cast<std::uint16_t>(nodes[parent].depth + 1);
      nodes.push_back(TrieNode{0, parent, kNoIndex, kNoIndex, static_cast<std::uint32_t>(code),
                               depth});
    }
    node_codes_ = PageVector<std::uint64_t>();
    for (std::size_t id = 0; id < node_count; ++id) {
      if (starts[id] == starts[id + 1]) {
        continue;
      }
      TrieNode& node = nodes[id];
      node.first_count = starts[id];
      for (std::uint32_t place = starts[id]; place < starts[id + 1]; ++place) {
        node.total += counts[place].count;
      }
    }
    starts = PageVector<std::uint32_t>();
    LinkVector links = link_children(nodes);
    ensure(nodes[kRoot].total == positions_, "root total differs from the positions");
    return CountTrie::from_parts(std::move(nodes), std::move(links), std::move(counts),
                                 alphabet_size_, depth_, positions_);
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

  // Each node's entries go into one block, newest first (the order of its list had each new
  // entry gone to the head). Frees the entry codes and owners.
  CountVector lay_out_counts(std::size_t node_count, PageVector<NodeId>& owners,
                                          PageVector<std::uint32_t>& starts) {
    starts.assign(node_count + 1, 0);
    for (const NodeId owner : owners) {
      ensure(owner < node_count, "count entry of an unknown node");
      ++starts[owner + 1];
    }
    for (std::size_t id = 0; id < node_count; ++id) {
      starts[id + 1] += starts[id];
    }
    CountVector laid_out(entry_codes_.size());
    {
      PageVector<std::uint32_t> cursor(starts.begin(), starts.end() - 1);
      for (std::size_t k = entry_codes_.size(); k-- > 0;) {
        const std::uint32_t place = cursor[owners[k]]++;
        laid_out[place] = SymbolCount{entry_codes_[k] >> 32,
                                      static_cast<std::uint32_t>(entry_codes_[k]), place + 1};
      }
    }
    entry_codes_ = PageVector<std::uint64_t>();
    owners = PageVector<NodeId>();
    for (std::size_t id = 0; id < node_count; ++id) {
      if (starts[id] != starts[id + 1]) {
        laid_out[starts[id + 1] - 1].next = kNoIndex;
      }
    }
    return laid_out;
  }

  std::uint64_t alphabet_size_;
  std::uint64_t conditioning_;
  std::uint32_t depth_;
  std::uint64_t positions_;
  BuildLimits limits_;
  // By length: each string's count and node bit, and (up to D) its NodeId once it is a node.
  std::vector<ZeroedPages<std::uint32_t>> counts_by_length_;
  std::vector<ZeroedPages<NodeId>> node_ids_;
  // By length: the numbers of the strings ending at the position being counted and at the one
  // before ([0] is the empty string, number 0).
  std::vector<std::uint64_t> numbers_;
  std::vector<std::uint64_t> previous_numbers_;
  std::vector<std::uint32_t*> tables_;   // counts_by_length_'s arrays
  std::vector<std::uint64_t> top_power_;  // A^(L-1)
  std::vector<std::uint64_t> ahead_;      // numbers of the strings at the prefetched position
  std::uint32_t first_far_;               // lengths from here on are prefetched
  PageVector<std::uint64_t> node_codes_;   // by NodeId - 1
  PageVector<std::uint64_t> entry_codes_;  // in order of creation
  bool entries_overflowed_ = false;
};

}  // namespace

bool code_build_applies(std::uint64_t alphabet_size, std::uint64_t storage_depth,
                        std::uint64_t positions) {
  if (alphabet_size == 0 || positions > kCountMask || storage_depth > kMaxDepth) {
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
  const std::uint64_t positions = counted_positions(
      rows | std::views::transform([](const RowView<Symbol>& row) { return row.size; }),
      conditioning_depth);
  ensure(storage_depth <= conditioning_depth &&
             code_build_applies(alphabet_size, storage_depth, positions),
         "counting by codes outside its range");
  CodeBuilder<Symbol> builder(alphabet_size, conditioning_depth,
                              static_cast<std::uint32_t>(storage_depth), positions, limits);
  return builder.run(rows, release_rows);
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
