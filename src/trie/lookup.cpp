#include <utility>

#include "common/internal_failure.hpp"
#include "trie/count_trie.hpp"

namespace tesk {

// Here, next to the query walks, so that they inline it.
NodeId CountTrie::find_child(NodeId node_id, std::uint64_t symbol) const {
  const TrieNode& parent = node(node_id);
  for (std::uint32_t link = parent.first_child; link != kNoIndex; link = links_[link].next) {
    ensure(link < links_.size(), "child link outside the trie");
    if (links_[link].symbol == symbol) {
      return links_[link].child;
    }
  }
  return kNoIndex;
}

std::optional<NodeId> CountTrie::find_context(std::span<const std::uint64_t> context) const {
  if (context.size() > storage_depth_) {
    return std::nullopt;
  }
  NodeId current = kRoot;
  for (auto it = context.rbegin(); it != context.rend(); ++it) {
    current = find_child(current, *it);
    if (current == kNoIndex) {
      return std::nullopt;
    }
  }
  return current;
}

NodeId CountTrie::longest_suffix(std::span<const std::uint64_t> history,
                                 std::span<const std::uint8_t> terminal) const {
  std::uint8_t seen = terminal.empty() ? 0 : terminal[0];
  NodeId best = kRoot;
  NodeId current = kRoot;
  std::uint64_t steps = storage_depth_;
  if (steps == 0) {
    return kRoot;
  }
  for (auto it = history.rbegin(); it != history.rend(); ++it) {
    --steps;
    const NodeId child = find_child(current, *it);
    if (child == kNoIndex) {
      break;
    }
    if (child < terminal.size()) {
      const std::uint8_t flag = terminal[child];
      seen |= flag;
      if (flag != 0) {
        best = child;
      }
    }
    current = child;
    if (steps == 0) {
      break;
    }
  }
  return (seen & 1U) != 0 ? best : current;
}

std::vector<std::uint64_t> CountTrie::transition_counts(NodeId node_id) const {
  const TrieNode& target = node(node_id);
  std::vector<std::uint64_t> result(alphabet_size_, 0);
  for (std::uint32_t entry = target.first_count; entry != kNoIndex; entry = counts_[entry].next) {
    ensure(entry < counts_.size(), "count entry outside the trie");
    ensure(counts_[entry].symbol < result.size(), "stored symbol outside the alphabet");
    result[counts_[entry].symbol] = counts_[entry].count;
  }
  return result;
}

std::vector<std::uint64_t> CountTrie::context_symbols(NodeId node_id) const {
  std::vector<std::uint64_t> result;
  result.reserve(node(node_id).depth);
  for (NodeId current = node_id; current != kRoot;) {
    const TrieNode& step = node(current);
    result.push_back(step.symbol);
    current = step.parent;
  }
  return result;
}

std::vector<double> CountTrie::jeffreys_probabilities(NodeId node_id) const {
  const TrieNode& target = node(node_id);
  const double denominator =
      static_cast<double>(alphabet_size_) * 0.5 + static_cast<double>(target.total);
  // Every symbol without an entry has numerator 0.5; the entries overwrite their own slots.
  std::vector<double> result(alphabet_size_, 0.5 / denominator);
  for (std::uint32_t entry = target.first_count; entry != kNoIndex; entry = counts_[entry].next) {
    ensure(entry < counts_.size(), "count entry outside the trie");
    ensure(counts_[entry].symbol < result.size(), "stored symbol outside the alphabet");
    result[counts_[entry].symbol] =
        (static_cast<double>(counts_[entry].count) + 0.5) / denominator;
  }
  return result;
}

}  // namespace tesk
