#pragma once
// The trie of sorted contexts, bottom-up, with every run of single-child nodes folded into one
// step: its leaves are the distinct contexts of full depth, and its inner nodes the places where
// contexts part (where two sorted neighbours stop sharing symbols). A walk over the sorted
// contexts with a stack of open nodes closes every node after all of its children, children in
// sorted order, and tells the visitor each node's depth, the depth of its parent (where its run
// starts), the visitor's results for its children, and its symbol tallies.
//
// Visitor requirements:
//   using Node = ...;   // what the visitor keeps of a closed node
//   Node leaf(std::uint32_t parent_depth, std::span<const RunTally> tallies, std::uint64_t
//   context); Node branch(std::uint32_t depth, std::uint32_t parent_depth, std::span<const Node>
//   children,
//               const ChildTallies& child_tallies, std::span<const RunTally> tallies,
//               std::uint64_t context);
//   Node root(std::span<const Node> children, const ChildTallies& child_tallies,
//             std::span<const RunTally> tallies);
// A leaf lies at the storage depth. `context` is one of the node's contexts (a text index); the
// tallies are ascending by symbol rank, and child_tallies(i) gives child i's own. Every position
// under a node has a context of full depth, so each node of a folded run has the tallies of the
// node at its bottom.

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "common/internal_failure.hpp"
#include "common/interruption.hpp"
#include "common/portability.hpp"
#include "common/short_sort.hpp"
#include "trie/build/context_runs.hpp"

namespace tesk {

// One symbol's observations under a node: how many, and the key of the first (smaller keys are
// earlier in the rows).
struct RunTally {
  std::uint64_t count;
  std::uint64_t first;
  std::uint32_t symbol;  // rank
};

namespace detail {

// Sorts tallies by symbol and merges those of one symbol.
inline void merge_tallies(std::vector<RunTally>& tallies, std::size_t begin) {
  const auto first = tallies.begin() + static_cast<std::ptrdiff_t>(begin);
  const auto by_symbol = [](const RunTally& a, const RunTally& b) { return a.symbol < b.symbol; };
  sort_short(first, tallies.end(), by_symbol);
  auto out = first;
  for (auto in = first; in < tallies.end(); ++in) {
    if (out != first && (out - 1)->symbol == in->symbol) {
      (out - 1)->count += in->count;
      (out - 1)->first = std::min((out - 1)->first, in->first);
    } else {
      *out++ = *in;
    }
  }
  tallies.erase(out, tallies.end());
}

// Adds tallies up by symbol: in a table indexed by symbol for alphabets of up to kDenseRanks
// ranks, by sorting for wider ones.
class TallyCounter {
 public:
  explicit TallyCounter(std::uint32_t ranks) : dense_(ranks <= kDenseRanks) {
    if (dense_) {
      count_.assign(ranks, 0);
      first_.assign(ranks, ~std::uint64_t{0});
    }
  }

  void add(const RunTally& tally) {
    if (!dense_) {
      pending_.push_back(tally);
      return;
    }
    if (count_[tally.symbol] == 0) {
      touched_.push_back(tally.symbol);
    }
    count_[tally.symbol] += tally.count;
    first_[tally.symbol] = std::min(first_[tally.symbol], tally.first);
  }

  // Appends the sums to `out`, ascending by symbol, and starts afresh.
  void drain(std::vector<RunTally>& out) {
    if (!dense_) {
      merge_tallies(pending_, 0);
      out.insert(out.end(), pending_.begin(), pending_.end());
      pending_.clear();
      return;
    }
    std::sort(touched_.begin(), touched_.end());
    for (const std::uint32_t symbol : touched_) {
      out.push_back(RunTally{count_[symbol], first_[symbol], symbol});
      count_[symbol] = 0;
      first_[symbol] = ~std::uint64_t{0};
    }
    touched_.clear();
  }

 private:
  static constexpr std::uint32_t kDenseRanks = 4096;

  bool dense_;
  std::vector<std::uint64_t> count_;
  std::vector<std::uint64_t> first_;
  std::vector<std::uint32_t> touched_;
  std::vector<RunTally> pending_;
};

}  // namespace detail

// The tallies of each child of the node being closed, by the child's place among them.
class ChildTallies {
 public:
  ChildTallies(const std::vector<RunTally>& tallies, std::span<const std::size_t> begins)
      : tallies_(tallies), begins_(begins) {}

  std::span<const RunTally> operator()(std::size_t child) const {
    const std::size_t begin = begins_[child];
    const std::size_t end = child + 1 < begins_.size() ? begins_[child + 1] : tallies_.size();
    return std::span<const RunTally>(tallies_).subspan(begin, end - begin);
  }

 private:
  const std::vector<RunTally>& tallies_;
  std::span<const std::size_t> begins_;
};

namespace detail {

template <class Visitor, class Rank>
class RunWalk {
 public:
  using Node = typename Visitor::Node;

  RunWalk(const ContextRuns& runs, const PageVector<Rank>& text, Visitor& visitor)
      : runs_(runs),
        text_(text),
        visitor_(visitor),
        depth_(runs.storage_depth()),
        counter_(runs.rank_count()) {}

  Node run() {
    stack_.push_back(Open{0, 0});
    runs_.visit_order([&](std::uint64_t first, auto order) { walk_block(first, order); });
    ensure(stack_.size() == 1, "open nodes left after the last context");
    const std::size_t first = stack_.back().first_child;
    merge_children_tallies(first);
    return visitor_.root(std::span<const Node>(children_).subspan(first), child_tallies(first),
                         std::span<const RunTally>(merged_));
  }

 private:
  struct Open {
    std::uint32_t depth;
    std::size_t first_child;  // index in children_
  };

  // Walks the sorted contexts first .. first + order.size() - 1.
  template <class Index>
  void walk_block(std::uint64_t first, std::span<const Index> order) {
    const PageVector<std::uint16_t>& shared = runs_.shared();
    const std::uint64_t count = shared.size();
    const std::uint64_t block_end = first + order.size();
    for (std::uint64_t k = first; k < block_end;) {
      // A leaf: the contexts that share all D symbols.
      std::uint64_t end = k + 1;
      while (end < count && shared[end] == depth_) {
        ++end;
      }
      ensure(end <= block_end, "a leaf split between blocks of sorted contexts");
      const std::uint32_t next_shared = end < count ? shared[end] : 0;
      unpolled_ += end - k;
      if (unpolled_ >= kPollStride) {
        poll_interruption(unpolled_ * kWorkPerContext);
        unpolled_ = 0;
      }
      add_leaf(order, k - first, end - first, std::max(stack_.back().depth, next_shared));
      // Close every open node deeper than where this leaf and the next part; the last one
      // closed becomes the first child of a node at that depth when there is none yet.
      while (stack_.back().depth > next_shared) {
        const Open closing = stack_.back();
        stack_.pop_back();
        close(closing, std::max(stack_.back().depth, next_shared));
      }
      if (stack_.back().depth < next_shared) {
        stack_.push_back(Open{next_shared, children_.size() - 1});
      }
      k = end;
    }
  }

  template <class Index>
  void add_leaf(std::span<const Index> order, std::size_t begin, std::size_t end,
                std::uint32_t parent_depth) {
    const std::size_t tally_begin = tallies_.size();
    for (std::size_t k = begin; k < end; ++k) {
      // The outcomes lie all over the text: fetch them well ahead.
      if (k + kAhead < order.size()) {
        prefetch_for_read(text_.data() + order[k + kAhead] - 1);
      }
      const auto context = static_cast<std::uint64_t>(order[k]);
      const RunTally tally{1, runs_.position_key(context),
                           static_cast<std::uint32_t>(text_[context - 1])};
      if (end - begin == 1) {
        tallies_.push_back(tally);
      } else {
        counter_.add(tally);
      }
    }
    if (end - begin > 1) {
      counter_.drain(tallies_);
    }
    const std::span<const RunTally> tallies(tallies_.data() + tally_begin,
                                            tallies_.size() - tally_begin);
    const auto context = static_cast<std::uint64_t>(order[begin]);
    children_.push_back(visitor_.leaf(parent_depth, tallies, context));
    tally_begin_.push_back(tally_begin);
    context_.push_back(context);
  }

  // The node's tallies, from its children's, into merged_.
  void merge_children_tallies(std::size_t first_child) {
    const std::size_t begin = first_child < tally_begin_.size() ? tally_begin_[first_child]
                                                                 : tallies_.size();
    for (std::size_t k = begin; k < tallies_.size(); ++k) {
      counter_.add(tallies_[k]);
    }
    merged_.clear();
    counter_.drain(merged_);
  }

  ChildTallies child_tallies(std::size_t first_child) const {
    return ChildTallies(tallies_, std::span<const std::size_t>(tally_begin_).subspan(first_child));
  }

  void close(const Open& node, std::uint32_t parent_depth) {
    const std::size_t first = node.first_child;
    ensure(first < children_.size(), "a closed node without children");
    const std::size_t tally_begin = tally_begin_[first];
    const std::uint64_t context = context_[first];
    merge_children_tallies(first);
    Node closed =
        visitor_.branch(node.depth, parent_depth, std::span<const Node>(children_).subspan(first),
                        child_tallies(first), std::span<const RunTally>(merged_), context);
    tallies_.resize(tally_begin);
    children_.resize(first);
    tally_begin_.resize(first);
    context_.resize(first);
    children_.push_back(std::move(closed));
    tally_begin_.push_back(tally_begin);
    context_.push_back(context);
    tallies_.insert(tallies_.end(), merged_.begin(), merged_.end());
  }

  static constexpr std::size_t kAhead = 16;
  static constexpr std::uint64_t kWorkPerContext = 8;

  const ContextRuns& runs_;
  const PageVector<Rank>& text_;
  Visitor& visitor_;
  std::uint32_t depth_;
  std::vector<Open> stack_;
  // Closed nodes whose parent is still open, in sorted order; with each, where its tallies
  // start in tallies_ and one of its contexts.
  std::vector<Node> children_;
  std::vector<std::size_t> tally_begin_;
  std::vector<std::uint64_t> context_;
  std::vector<RunTally> tallies_;
  std::vector<RunTally> merged_;
  TallyCounter counter_;
  std::uint64_t unpolled_ = 0;  // contexts walked since the last poll
};

}  // namespace detail

// Walks the folded trie of `runs` bottom-up; returns what the visitor made of the root.
template <class Visitor>
typename Visitor::Node walk_runs(const ContextRuns& runs, Visitor& visitor) {
  return runs.visit_text([&](const auto& text) {
    using Rank = typename std::decay_t<decltype(text)>::value_type;
    detail::RunWalk<Visitor, Rank> walk(runs, text, visitor);
    return walk.run();
  });
}

}  // namespace tesk
