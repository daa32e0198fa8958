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
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "common/internal_failure.hpp"

namespace tesk::trie_detail {

namespace {

// A string's count and, in its top bit, whether it is a node (a context some position had).
inline constexpr std::uint32_t kNodeBit = 0x80000000u;
inline constexpr std::uint32_t kCountMask = 0x7FFFFFFFu;

// Tables of up to this many cells are always dense; beyond it, A^(D+1) may reach half the
// positions (about 3.5 bytes of tables per position in all).
inline constexpr std::uint64_t kDenseFloor = std::uint64_t{1} << 16;

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

// A zeroed array that the kernel maps lazily: cells never visited cost no memory.
struct FreeDeleter {
  void operator()(void* block) const noexcept { std::free(block); }
};
template <class T>
using LazyArray = std::unique_ptr<T[], FreeDeleter>;

template <class T>
LazyArray<T> zeroed_array(std::uint64_t size) {
  void* block = std::calloc(static_cast<std::size_t>(size), sizeof(T));
  if (block == nullptr) {
    throw std::bad_alloc();
  }
  return LazyArray<T>(static_cast<T*>(block));
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
        previous_numbers_(storage_depth + 2, 0) {
    std::uint64_t space = 1;
    for (std::uint32_t length = 1; length <= storage_depth + 1; ++length) {
      space *= alphabet_size;
      counts_by_length_[length] = zeroed_array<std::uint32_t>(space);
      if (length <= storage_depth) {
        // Read only where the node bit is set, which is written together with the id.
        node_ids_[length] = zeroed_array<NodeId>(space);
      }
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
  // Position i's strings of length L have numbers x[i] + A * (the number of the string of length
  // L - 1 ending at i - 1). Each cell is read and counted once per position; what was read also
  // says whether each string is already a node, which the next position needs for its contexts
  // (a string made a node in between only sends that position down the careful path for nothing).
  bool count_row(const RowView<Symbol>& row) {
    const Symbol* x = row.data;
    const std::uint64_t alphabet = alphabet_size_;
    std::uint64_t* numbers = numbers_.data();
    std::uint64_t* previous_numbers = previous_numbers_.data();
    std::vector<std::uint32_t*> tables(depth_ + 2, nullptr);
    for (std::uint32_t length = 1; length <= depth_ + 1; ++length) {
      tables[length] = counts_by_length_[length].get();
    }
    std::uint32_t* const* counts = tables.data();
    std::uint32_t* const deepest = tables[depth_ + 1];
    // The strings ending just before the first counted position (at most D long: C >= D).
    std::uint64_t power = 1;
    for (std::uint32_t length = 1; length <= depth_; ++length) {
      previous_numbers[length] = previous_numbers[length - 1] + x[conditioning_ - length] * power;
      power *= alphabet;
    }
    // The cells of the lengths whose tables outgrow the caches are prefetched kLookahead
    // positions ahead, with their numbers rolled along: drop the oldest symbol, add the newest.
    std::uint32_t first_far = depth_ + 2;
    while (first_far > 1 && table_bytes(first_far - 1) > kNearBytes) {
      --first_far;
    }
    std::vector<std::uint64_t> ahead(depth_ + 2, 0);
    std::vector<std::uint64_t> top_power(depth_ + 2, 1);  // A^(L-1)
    for (std::uint32_t length = 2; length <= depth_ + 1; ++length) {
      top_power[length] = top_power[length - 1] * alphabet;
    }
    const bool prefetching = first_far <= depth_ + 1 && conditioning_ + kLookahead < row.size;
    if (prefetching) {
      const std::uint64_t j = conditioning_ + kLookahead - 1;
      for (std::uint32_t length = first_far; length <= depth_ + 1; ++length) {
        for (std::uint32_t k = length; k-- > 0;) {
          ahead[length] = ahead[length] * alphabet + x[j - k];
        }
      }
    }
    bool contexts_maybe_new = true;
    for (std::uint64_t i = conditioning_; i < row.size; ++i) {
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
      if (meets_new && !add_new(x, i, numbers, previous_numbers)) [[unlikely]] {
        return false;
      }
      contexts_maybe_new = not_nodes;
      std::swap(numbers, previous_numbers);
    }
    return true;
  }

  std::uint64_t table_bytes(std::uint32_t length) const {
    std::uint64_t cells = 1;
    for (std::uint32_t k = 0; k < length; ++k) {
      cells *= alphabet_size_;
    }
    return cells * sizeof(std::uint32_t);
  }

  // The entries and nodes position i creates, in order of depth: the entry under each context,
  // then the context one symbol longer. Nothing here waits on memory far away: the parent of a
  // node and the node of an entry follow from their strings and are looked up at the end.
  [[gnu::noinline]] bool add_new(const Symbol* x, std::uint64_t i, const std::uint64_t* numbers,
                                 const std::uint64_t* previous_numbers) {
    const auto outcome = static_cast<std::uint32_t>(x[i]);
    for (std::uint32_t depth = 0;; ++depth) {
      const std::uint32_t length = depth + 1;
      // Counted once so far: this position made the string's first observation.
      if ((counts_by_length_[length][numbers[length]] & kCountMask) == 1) {
        add_entry(length, numbers[length], outcome);
      }
      if (depth == depth_) {
        return true;
      }
      std::uint32_t& context = counts_by_length_[length][previous_numbers[length]];
      if ((context & kNodeBit) == 0) {
        if (nodes_.size() >= limits_.max_nodes) {
          return false;
        }
        const auto id = static_cast<NodeId>(nodes_.size());
        const auto symbol = static_cast<std::uint32_t>(x[i - length]);
        links_.push_back(ChildLink{symbol, id, kNoIndex});
        // Until linked, `total` holds the node's string number and `parent` is unknown.
        nodes_.push_back(TrieNode{previous_numbers[length], kNoIndex, kNoIndex, kNoIndex, symbol,
                                  static_cast<std::uint16_t>(length)});
        context |= kNodeBit;
        node_ids_[length][previous_numbers[length]] = id;
      }
    }
  }

  // Until assembled, an entry's `count` says where its cell is (length and number).
  void add_entry(std::uint32_t length, std::uint64_t number, std::uint32_t symbol) {
    if (entries_overflowed_) {
      return;
    }
    if (counts_.size() >= limits_.max_count_entries) {
      // Past the limit the build can only fail; it goes on for the node limit, reported first.
      entries_overflowed_ = true;
      counts_ = std::vector<SymbolCount>();
      return;
    }
    counts_.push_back(
        SymbolCount{(std::uint64_t{length} << kLengthShift) | number, symbol, kNoIndex});
  }

  // The NodeId of the context of `length` symbols with this number (the root for none).
  NodeId context_id(std::uint32_t length, std::uint64_t number) const {
    return length == 0 ? kRoot : node_ids_[length][number];
  }

  // Reads each entry's count and node, and each node's parent, from the tables; then links the
  // lists. An entry's node is its string without the outcome (the lowest digit); a node's parent
  // is its string without the oldest symbol (the highest digit).
  CountTrie assemble() {
    for (SymbolCount& entry : counts_) {
      const auto length = static_cast<std::uint32_t>(entry.count >> kLengthShift);
      const std::uint64_t number = entry.count & ((std::uint64_t{1} << kLengthShift) - 1);
      entry.count = counts_by_length_[length][number] & kCountMask;
      entry.next = context_id(length - 1, number / alphabet_size_);
    }
    std::vector<std::uint64_t> top_power(depth_ + 1, 1);  // A^(L-1)
    for (std::uint32_t length = 2; length <= depth_; ++length) {
      top_power[length] = top_power[length - 1] * alphabet_size_;
    }
    for (std::size_t id = 1; id < nodes_.size(); ++id) {
      TrieNode& node = nodes_[id];
      node.parent = context_id(node.depth - 1u, node.total % top_power[node.depth]);
      node.total = 0;
    }
    counts_by_length_.clear();
    node_ids_.clear();
    link_children();
    lay_out_counts();
    ensure(nodes_[kRoot].total == positions_, "root total differs from the positions");
    return CountTrie::from_parts(std::move(nodes_), std::move(links_), std::move(counts_),
                                 alphabet_size_, depth_, positions_);
  }

  // Each child heads its parent's list when made, so the list runs newest first.
  void link_children() {
    std::vector<std::uint32_t> heads(nodes_.size(), kNoIndex);
    for (std::size_t id = 1; id < nodes_.size(); ++id) {
      std::uint32_t& head = heads[nodes_[id].parent];
      links_[id - 1].next = head;
      head = static_cast<std::uint32_t>(id - 1);
    }
    for (std::size_t id = 0; id < nodes_.size(); ++id) {
      nodes_[id].first_child = heads[id];
    }
  }

  // Each node's entries go into one block, newest first (the order of its list had each new
  // entry gone to the head), and the node's total is their sum.
  void lay_out_counts() {
    std::vector<std::uint32_t> starts(nodes_.size() + 1, 0);
    for (const SymbolCount& entry : counts_) {
      ++starts[entry.next + 1];
    }
    for (std::size_t id = 0; id < nodes_.size(); ++id) {
      starts[id + 1] += starts[id];
    }
    std::vector<SymbolCount> laid_out(counts_.size());
    std::vector<std::uint32_t> cursor(starts.begin(), starts.end() - 1);
    for (std::size_t k = counts_.size(); k-- > 0;) {
      const SymbolCount& entry = counts_[k];
      const std::uint32_t place = cursor[entry.next]++;
      laid_out[place] = SymbolCount{entry.count, entry.symbol, place + 1};
    }
    for (std::size_t id = 0; id < nodes_.size(); ++id) {
      const std::uint32_t first = starts[id];
      const std::uint32_t end = starts[id + 1];
      if (first == end) {
        continue;
      }
      TrieNode& node = nodes_[id];
      node.first_count = first;
      for (std::uint32_t place = first; place < end; ++place) {
        node.total += laid_out[place].count;
      }
      laid_out[end - 1].next = kNoIndex;
    }
    counts_ = std::move(laid_out);
  }

  std::uint64_t alphabet_size_;
  std::uint64_t conditioning_;
  std::uint32_t depth_;
  std::uint64_t positions_;
  BuildLimits limits_;
  // By length: each string's count and node bit, and (up to D) its NodeId once it is a node.
  std::vector<LazyArray<std::uint32_t>> counts_by_length_;
  std::vector<LazyArray<NodeId>> node_ids_;
  // By length: the numbers of the strings ending at the position being counted and at the one
  // before ([0] is the empty string, number 0).
  std::vector<std::uint64_t> numbers_;
  std::vector<std::uint64_t> previous_numbers_;
  std::vector<TrieNode> nodes_;
  std::vector<ChildLink> links_;
  std::vector<SymbolCount> counts_;
  bool entries_overflowed_ = false;
};

}  // namespace

bool code_build_applies(std::uint64_t alphabet_size, std::uint64_t storage_depth,
                        std::uint64_t positions) {
  if (alphabet_size == 0 || positions > kCountMask || storage_depth > kMaxNodeDepth) {
    return false;
  }
  return bounded_power(alphabet_size, storage_depth + 1, std::max(kDenseFloor, positions / 2))
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
