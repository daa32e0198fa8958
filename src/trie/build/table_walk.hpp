#pragma once
// The full trie held in dense tables (trie/build/dense_tables.hpp), bottom-up: a depth-first walk
// that closes every node after its children and tells the visitor what the walk over sorted
// contexts tells it (trie/build/run_walk.hpp states the visitor's requirements), each node a run
// of its own. A node's `context` is its number; a context's children are numbered next to each
// other, so the walk reads every table front to back, and the selected tree comes out without
// the full trie ever being laid out.

#include <cstdint>
#include <span>
#include <vector>

#include "common/internal_failure.hpp"
#include "common/interruption.hpp"
#include "trie/build/dense_tables.hpp"
#include "trie/build/run_walk.hpp"

namespace tesk {

namespace detail {

template <class Visitor, class Position>
class TableWalk {
 public:
  using Node = typename Visitor::Node;

  TableWalk(const DenseTables<Position>& tables, Visitor& visitor)
      : tables_(tables),
        visitor_(visitor),
        depth_(tables.storage_depth()),
        alphabet_size_(tables.alphabet_size()),
        levels_(tables.storage_depth()) {}

  Node run() {
    ensure(depth_ >= 1, "a walk over the tables needs contexts of at least one symbol");
    std::uint32_t depth = 0;  // of the open node whose children are visited next
    open(levels_[0], 0);
    for (;;) {
      Level& level = levels_[depth];
      if (level.next_symbol < alphabet_size_) {
        const std::uint64_t child = level.context * alphabet_size_ + level.next_symbol++;
        if (depth + 1 == depth_) {
          // Most nodes are leaves: their tallies, gathered straight into the parent's, tell
          // whether they exist.
          const std::size_t begin = level.child_tallies.size();
          gather(depth_, child, level.child_tallies);
          if (level.child_tallies.size() != begin) {
            poll_interruption_every(++visited_, alphabet_size_ * alphabet_size_);
            const std::span<const RunTally> tallies(level.child_tallies.data() + begin,
                                                    level.child_tallies.size() - begin);
            level.children.push_back(visitor_.leaf(depth_ - 1, tallies, child));
            level.begins.push_back(begin);
          }
        } else if (tables_.context_earliness(depth + 1, child) != 0) {
          poll_interruption_every(++visited_, alphabet_size_ * alphabet_size_);
          open(levels_[++depth], child);
        }
        continue;
      }
      own_.clear();
      gather(depth, level.context, own_);
      const ChildTallies child_tallies(level.child_tallies, level.begins);
      if (depth == 0) {
        return visitor_.root(std::span<const Node>(level.children), child_tallies, own_);
      }
      Node closed = visitor_.branch(depth, depth - 1, std::span<const Node>(level.children),
                                    child_tallies, own_, level.context);
      add_child(levels_[--depth], std::move(closed));
    }
  }

 private:
  // An open node: its context, the next child to look for, and its closed children.
  struct Level {
    std::uint64_t context = 0;
    std::uint64_t next_symbol = 0;  // the oldest symbol of the next child
    std::vector<Node> children;
    std::vector<RunTally> child_tallies;
    std::vector<std::size_t> begins;  // where each child's tallies start
  };

  static void open(Level& level, std::uint64_t context) {
    level.context = context;
    level.next_symbol = 0;
    level.children.clear();
    level.child_tallies.clear();
    level.begins.clear();
  }

  // A closed child and its tallies (in own_) to its parent.
  void add_child(Level& parent, Node child) {
    parent.begins.push_back(parent.child_tallies.size());
    parent.child_tallies.insert(parent.child_tallies.end(), own_.begin(), own_.end());
    parent.children.push_back(std::move(child));
  }

  // Appends the tallies of context `context` of `length` to `out`, ascending by symbol.
  void gather(std::uint32_t length, std::uint64_t context, std::vector<RunTally>& out) const {
    const std::uint64_t positions = tables_.sample_size();
    for (std::uint64_t s = 0; s < alphabet_size_; ++s) {
      const auto& cell = tables_.entry(length, context, s);
      if (cell.count != 0) {
        out.push_back(
            RunTally{cell.count, positions - cell.earliness, static_cast<std::uint32_t>(s)});
      }
    }
  }

  const DenseTables<Position>& tables_;
  Visitor& visitor_;
  std::uint32_t depth_;
  std::uint64_t alphabet_size_;
  std::vector<Level> levels_;  // by depth, 0 .. D - 1
  std::vector<RunTally> own_;
  std::uint64_t visited_ = 0;
};

}  // namespace detail

// Walks the full trie of `tables` bottom-up; returns what the visitor made of the root.
template <class Visitor, class Position>
typename Visitor::Node walk_tables(const detail::DenseTables<Position>& tables, Visitor& visitor) {
  detail::TableWalk<Visitor, Position> walk(tables, visitor);
  return walk.run();
}

}  // namespace tesk
