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
#include "trie/packed_rows.hpp"

namespace tesk {

class ContextRuns {
 public:
  // Sorts the contexts of depth `storage_depth` of every position from index
  // `conditioning_depth` of each row before the first bad symbol. Fails as counting those rows
  // one position at a time would: with the node limit when their trie would need more than
  // `max_nodes` nodes, otherwise with the bad symbol, if any. Frees the rows.
  // Requires storage_depth <= conditioning_depth and fits_in_text(rows).
  static MessageOr<ContextRuns> sort(PackedRows&& rows, std::uint64_t conditioning_depth,
                                     std::uint64_t storage_depth, std::uint64_t max_nodes);

  // Whether the rows' symbols fit the text's 32-bit indices.
  static bool fits_in_text(const PackedRows& rows);

  std::uint64_t alphabet_size() const noexcept { return alphabet_size_; }
  std::uint32_t storage_depth() const noexcept { return depth_; }
  // The number of counted positions, and of nodes in their full trie (root included).
  std::uint64_t sample_size() const noexcept { return order_.size(); }
  std::uint64_t literal_node_count() const noexcept { return literal_nodes_; }
  // The number of distinct symbols; ranks run 0 .. rank_count() - 1 in symbol order.
  std::uint32_t rank_count() const noexcept {
    return static_cast<std::uint32_t>(symbol_of_.size());
  }
  std::uint32_t symbol_of(std::uint32_t rank) const { return symbol_of_[rank]; }

  // The k-th context in sorted order, as a text index, and the length it shares with the one
  // before it (0 for the first), at most storage_depth.
  const PageVector<std::int32_t>& order() const noexcept { return order_; }
  const PageVector<std::uint16_t>& shared() const noexcept { return shared_; }

  // Where a context comes in the rows (smaller is earlier: rows in order, positions ascending).
  std::uint64_t position_key(std::int32_t context) const noexcept {
    return text_size_ - static_cast<std::uint64_t>(context);
  }

  // Calls visit with the text (ranks) as a const PageVector of its width.
  template <class Visit>
  decltype(auto) visit_text(Visit&& visit) const {
    return std::visit([&](const auto& text) -> decltype(auto) { return visit(text); }, text_);
  }

 private:
  ContextRuns() = default;

  std::variant<PageVector<std::uint8_t>, PageVector<std::uint16_t>, PageVector<std::uint32_t>>
      text_;
  std::uint64_t text_size_ = 0;
  std::vector<std::uint32_t> symbol_of_;
  std::uint64_t alphabet_size_ = 0;
  std::uint32_t depth_ = 0;
  PageVector<std::int32_t> order_;
  PageVector<std::uint16_t> shared_;
  std::uint64_t literal_nodes_ = 1;

  template <class Rank>
  friend class ContextSorter;
};

}  // namespace tesk
