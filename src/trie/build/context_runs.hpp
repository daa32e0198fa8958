#pragma once
// Every counted position's context, sorted: the deep-context build's view of the rows.
//
// The trie of all contexts up to depth D has a node for every distinct string of up to D symbols
// that ends just before a counted position. Sorted, the contexts of one node are neighbours, and
// the length two neighbours share says where their paths part; so the sorted contexts with those
// shared lengths are the trie with every run of single-child nodes folded into one step (about
// the size of a suffix tree of the data cut at depth D), and the trie's node count follows by
// arithmetic. Nothing here is per depth: the cost is the same at depth 100 as at 10,000.
//
// The rows are kept reversed in one text, so that a context is a suffix of the text read forward:
// position c of the rows (counting all rows as one) has its context at text index N - c and its
// outcome at N - c - 1. Symbols are relabelled to the ranks of those that occur.

#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "common/error.hpp"
#include "common/page_memory.hpp"
#include "trie/build/context_code_sort.hpp"
#include "trie/packed_rows.hpp"

namespace tesk {

namespace detail {

// How contexts are coded and bucketed for sorting. Kept after the sort only when the order is
// sorted again a group of buckets at a time, as it is read.
struct ContextCodes {
  unsigned symbol_bits = 0;                 // the bits of one rank
  std::uint32_t code_symbols = 0;           // the leading symbols of a context its code holds
  unsigned bucket_bits = 0;                 // the code's leading bits that number its bucket
  std::vector<std::uint64_t> counted;       // a bit per text index: a counted position's context
  std::vector<std::uint64_t> bucket_start;  // where each bucket starts in sorted order, then n
  std::vector<std::size_t> group_start;     // each group's first bucket, then the bucket count
  std::uint64_t largest_group = 0;          // contexts in the largest group

  unsigned code_bits() const noexcept { return symbol_bits * code_symbols; }
  // The code's bits below its bucket's number.
  unsigned rest_bits() const noexcept { return code_bits() - bucket_bits; }
};

}  // namespace detail

class ContextRuns {
 public:
  // Sorts the contexts of depth `storage_depth` of every position from index
  // `conditioning_depth` of each row before the first bad symbol. Fails as counting those rows
  // one position at a time would: with the node limit when their trie would need more than
  // `max_nodes` nodes, otherwise with the bad symbol, if any. Frees the rows.
  // `in_groups` keeps only the shared lengths and sorts the order again, a group of buckets at a
  // time, each time it is read: about 6 bytes a position over one-byte symbols instead of 9, with
  // 64-bit indices.
  // Requires fits_in_text(rows) without in_groups, sorts_in_groups(rows.alphabet_size(),
  // storage_depth) with it, and storage_depth <= conditioning_depth.
  static MessageOr<ContextRuns> sort(PackedRows&& rows, std::uint64_t conditioning_depth,
                                     std::uint64_t storage_depth, std::uint64_t max_nodes,
                                     bool in_groups);

  // Whether the rows' symbols fit the text's 32-bit indices.
  static bool fits_in_text(const PackedRows& rows);
  // Whether contexts of this depth over this alphabet fit one 64-bit code, so that sorting the
  // codes orders them fully, as sorting in groups needs.
  static bool sorts_in_groups(std::uint64_t alphabet_size, std::uint64_t storage_depth);

  std::uint64_t alphabet_size() const noexcept { return alphabet_size_; }
  std::uint32_t storage_depth() const noexcept { return depth_; }
  // The number of counted positions, and of nodes in their full trie (root included).
  std::uint64_t sample_size() const noexcept { return shared_.size(); }
  std::uint64_t literal_node_count() const noexcept { return literal_nodes_; }
  // The number of distinct symbols; ranks run 0 .. rank_count() - 1 in symbol order.
  std::uint32_t rank_count() const noexcept {
    return static_cast<std::uint32_t>(symbol_of_.size());
  }
  std::uint32_t symbol_of(std::uint32_t rank) const { return symbol_of_[rank]; }

  // The length each context in sorted order shares with the one before it (0 for the first), at
  // most storage_depth.
  const PageVector<std::uint16_t>& shared() const noexcept { return shared_; }

  // Calls visit(first, order) for each block of the sorted contexts in turn, as text indices:
  // order is a span of std::int32_t, or of std::int64_t past 32-bit indices, holding contexts
  // first .. first + order.size() - 1. Contexts that share all storage_depth symbols are never
  // split between blocks.
  template <class Visit>
  void visit_order(Visit&& visit) const {
    if (!in_groups_) {
      visit(std::uint64_t{0}, std::span<const std::int32_t>(order_.data(), order_.size()));
      return;
    }
    GroupScratch scratch;
    for (std::size_t group = 0; group + 1 < codes_.group_start.size(); ++group) {
      sort_group(group, scratch);
      visit(codes_.bucket_start[codes_.group_start[group]],
            std::span<const std::int64_t>(scratch.order.data(), scratch.order.size()));
    }
  }

  // Where a context comes in the rows (smaller is earlier: rows in order, positions ascending).
  std::uint64_t position_key(std::uint64_t context) const noexcept { return text_size_ - context; }

  // Calls visit with the text (ranks) as a const PageVector of its width.
  template <class Visit>
  decltype(auto) visit_text(Visit&& visit) const {
    return std::visit([&](const auto& text) -> decltype(auto) { return visit(text); }, text_);
  }

 private:
  ContextRuns() = default;

  // One group's sorted contexts, and the room for sorting them, kept from group to group.
  struct GroupScratch {
    PageVector<std::int64_t> order;
    PageVector<CodedContext<std::uint64_t, std::int64_t>> coded;
    std::vector<CodedContext<std::uint64_t, std::int64_t>> buffer;
  };

  // The sorted contexts of one group of buckets, into scratch.order.
  void sort_group(std::size_t group, GroupScratch& scratch) const;

  std::variant<PageVector<std::uint8_t>, PageVector<std::uint16_t>, PageVector<std::uint32_t>>
      text_;
  std::uint64_t text_size_ = 0;
  std::vector<std::uint32_t> symbol_of_;
  std::uint64_t alphabet_size_ = 0;
  std::uint32_t depth_ = 0;
  bool in_groups_ = false;
  PageVector<std::int32_t> order_;  // the whole order, unless in groups
  PageVector<std::uint16_t> shared_;
  detail::ContextCodes codes_;  // kept in groups only
  std::uint64_t literal_nodes_ = 1;

  template <class Rank>
  friend class ContextSorter;
};

}  // namespace tesk
