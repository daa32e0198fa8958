#include "selection/peres_shield.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "common/internal_failure.hpp"
#include "common/interruption.hpp"
#include "selection/count_list.hpp"

namespace tesk {

namespace {

std::uint64_t saturating_unsigned(double x) {
  if (!(x > 0.0)) {
    return 0;
  }
  if (x >= 18446744073709551616.0) {
    return std::numeric_limits<std::uint64_t>::max();
  }
  return static_cast<std::uint64_t>(x);
}

// The count entries of every node within the cap, gathered once: each node's run sorted by
// symbol (to look counts up) and, for possible suffixes, a second run sorted by count, largest
// first (to find the largest count among the symbols a longer context never saw). When the
// suffixes times the alphabet are few enough, each suffix also gets a dense row of counts by
// symbol, so that looking a count up costs one read.
class CountTables {
 public:
  CountTables(const CountTrie& trie, std::uint64_t cap)
      : begin_(trie.nodes().size() + 1, 0), alphabet_size_(trie.alphabet_size()) {
    const NodeVector& nodes = trie.nodes();
    std::uint64_t suffixes = 0;
    for (const TrieNode& node : nodes) {
      suffixes += node.depth < cap ? 1 : 0;
    }
    if (suffixes <= kDenseCounts / std::max<std::uint64_t>(alphabet_size_, 1)) {
      dense_row_.assign(nodes.size(), kNoRow);
      dense_.reserve(suffixes * alphabet_size_);
    }
    std::vector<SymbolTally> tallies;
    for (std::size_t v = 0; v < nodes.size(); ++v) {
      begin_[v] = by_symbol_.size();
      if (nodes[v].depth > cap) {
        continue;  // never compared: both runs stay empty
      }
      gather_counts_by_symbol(trie, nodes[v], tallies);
      by_symbol_.insert(by_symbol_.end(), tallies.begin(), tallies.end());
      if (nodes[v].depth < cap) {  // only these serve as suffixes
        if (!dense_row_.empty()) {
          dense_row_[v] = dense_.size() / alphabet_size_;
          dense_.resize(dense_.size() + alphabet_size_, 0);
          std::uint64_t* row = dense_.data() + dense_row_[v] * alphabet_size_;
          for (const SymbolTally& tally : tallies) {
            row[tally.symbol] = tally.count;
          }
        }
        std::sort(tallies.begin(), tallies.end(),
                  [](const SymbolTally& a, const SymbolTally& b) { return a.count > b.count; });
      }
      by_count_.insert(by_count_.end(), tallies.begin(), tallies.end());
    }
    begin_[nodes.size()] = by_symbol_.size();
  }

  const SymbolTally* symbols_begin(std::size_t v) const { return by_symbol_.data() + begin_[v]; }
  const SymbolTally* symbols_end(std::size_t v) const { return by_symbol_.data() + begin_[v + 1]; }
  const SymbolTally* counts_begin(std::size_t v) const { return by_count_.data() + begin_[v]; }
  const SymbolTally* counts_end(std::size_t v) const { return by_count_.data() + begin_[v + 1]; }
  // Suffix b's dense row of counts by symbol, or null.
  const std::uint64_t* dense_row(std::size_t b) const {
    if (dense_row_.empty() || dense_row_[b] == kNoRow) {
      return nullptr;
    }
    return dense_.data() + dense_row_[b] * alphabet_size_;
  }

 private:
  static constexpr std::uint64_t kDenseCounts = std::uint64_t{1} << 22;
  static constexpr std::uint64_t kNoRow = ~std::uint64_t{0};

  std::vector<std::size_t> begin_;
  std::vector<SymbolTally> by_symbol_;
  std::vector<SymbolTally> by_count_;
  std::uint64_t alphabet_size_;
  std::vector<std::uint64_t> dense_row_;  // per node: its row in dense_, if a suffix
  std::vector<std::uint64_t> dense_;
};

const SymbolTally* find_symbol(const SymbolTally* first, const SymbolTally* last,
                               std::uint32_t symbol) {
  const SymbolTally* found = std::lower_bound(
      first, last, symbol, [](const SymbolTally& t, std::uint32_t s) { return t.symbol < s; });
  return (found != last && found->symbol == symbol) ? found : nullptr;
}

// max over every symbol k of |c_k(u) - c_k(b) * N(u) / N(b)|. Only symbols seen at u or at b can
// exceed the starting 0.0. For a symbol u never saw the term grows with c_k(b) (rounding is
// monotone), so among those only b's largest count outside u's entries matters. The cost thus
// follows u's entries, not the alphabet or b's entries.
double deviation(const CountTables& tables, std::size_t u, std::uint64_t u_total, std::size_t b,
                 std::uint64_t b_total) {
  if (b_total == 0) {
    return 0.0;
  }
  const double n_u = static_cast<double>(u_total);
  const double n_b = static_cast<double>(b_total);
  double largest = 0.0;
  const auto consider = [&](std::uint64_t c_u, std::uint64_t c_b) {
    const double value =
        std::fabs(static_cast<double>(c_u) - (static_cast<double>(c_b) * n_u) / n_b);
    if (value > largest) {  // false for NaN, which is ignored
      largest = value;
    }
  };
  const SymbolTally* u_first = tables.symbols_begin(u);
  const SymbolTally* u_last = tables.symbols_end(u);
  if (const std::uint64_t* b_counts = tables.dense_row(b)) {
    for (const SymbolTally* seen = u_first; seen != u_last; ++seen) {
      consider(seen->count, b_counts[seen->symbol]);
    }
  } else {
    for (const SymbolTally* seen = u_first; seen != u_last; ++seen) {
      const SymbolTally* at_b = find_symbol(tables.symbols_begin(b), tables.symbols_end(b),
                                            seen->symbol);
      consider(seen->count, at_b != nullptr ? at_b->count : 0);
    }
  }
  for (const SymbolTally* top = tables.counts_begin(b); top != tables.counts_end(b); ++top) {
    if (find_symbol(u_first, u_last, top->symbol) == nullptr) {
      consider(0, top->count);
      break;
    }
  }
  return largest;
}

}  // namespace

std::uint64_t peres_shield_depth(std::uint64_t n) {
  return n < 3 ? 0 : saturating_unsigned(std::floor(std::log(std::log(static_cast<double>(n)))));
}

PeresShieldBounds peres_shield_bounds(const CountTrie& trie) {
  const std::uint64_t n = trie.sample_size();
  return PeresShieldBounds{std::min(peres_shield_depth(n), trie.storage_depth()),
                           std::pow(static_cast<double>(n), 0.75)};
}

std::vector<std::uint8_t> peres_shield_keep(const CountTrie& trie,
                                            const PeresShieldBounds& bounds) {
  const NodeVector& nodes = trie.nodes();
  std::vector<std::uint8_t> keep(nodes.size(), 0);
  const CountTables tables(trie, bounds.cap);
  for (std::size_t u = 1; u < nodes.size();) {
    for (const std::size_t stop = poll_chunk_up(u, nodes.size(), 8); u < stop; ++u) {
      const TrieNode& node = nodes[u];
      if (node.depth > bounds.cap) {
        continue;
      }
      std::size_t c = u;
      std::size_t b = node.parent;
      while (true) {
        ensure(b < c, "a node must come after its parent");
        // A kept node stays kept; a further test could not change anything.
        if (keep[c] == 0 &&
            deviation(tables, u, node.total, b, nodes[b].total) >= bounds.threshold) {
          keep[c] = 1;
        }
        if (b == kRoot) {
          break;
        }
        c = b;
        b = nodes[b].parent;
      }
    }
  }
  return keep;
}

SelectedTree peres_shield_select(const CountTrie& trie) {
  const std::vector<std::uint8_t> keep = peres_shield_keep(trie, peres_shield_bounds(trie));
  const LinkVector& links = trie.links();
  const std::uint64_t alphabet_size = trie.alphabet_size();
  SelectedTree tree;
  tree.active.assign(keep.size(), 0);
  tree.terminal.assign(keep.size(), 0);
  std::vector<NodeId> stack{kRoot};
  std::uint64_t visited = 0;
  while (!stack.empty()) {
    const NodeId v = stack.back();
    stack.pop_back();
    poll_interruption_every(++visited, 2);
    tree.active[v] = 1;
    std::uint64_t kept_children = 0;
    for (std::uint32_t link = trie.node(v).first_child; link != kNoIndex;
         link = links[link].next) {
      ensure(link < links.size(), "child link outside the trie");
      const NodeId child = links[link].child;
      ensure(child > v && child < keep.size(), "child link outside the trie");
      if (keep[child] == 1) {
        stack.push_back(child);
        ++kept_children;
      }
    }
    tree.terminal[v] = kept_children < alphabet_size ? 1 : 0;
  }
  return tree;
}

}  // namespace tesk
