#include <algorithm>
#include <utility>
#include <vector>

#include "common/internal_failure.hpp"
#include "common/interruption.hpp"
#include "selection/select_tree.hpp"

namespace tesk {

namespace {

void cover_new_nodes(SelectedTree& tree, std::uint64_t node_count) {
  if (tree.active.size() < node_count) {
    tree.active.resize(node_count, 0);
    tree.terminal.resize(node_count, 0);
  }
}

}  // namespace

MessageOr<SelectedTree> expand_split_plan(CountTrie& trie, const SplitPlan& plan,
                                          std::uint64_t node_limit) {
  const std::uint64_t alphabet_size = trie.alphabet_size();
  SelectedTree tree;
  cover_new_nodes(tree, trie.node_count());
  std::vector<NodeId> stack;
  stack.reserve(1);
  stack.push_back(kRoot);
  std::vector<ChildLink> existing;  // reused: the children a split node already has
  std::uint64_t visited = 0;

  while (!stack.empty()) {
    const NodeId v = stack.back();
    stack.pop_back();
    poll_interruption_every(++visited, 2);
    cover_new_nodes(tree, trie.node_count());
    tree.active[v] = 1;

    // Copied out: creating children may move the node vector.
    const TrieNode node = trie.node(v);
    bool split = false;
    if (v < plan.node_split.size()) {
      split = plan.node_split[v] != 0;
    } else {
      ensure(node.depth < plan.depth_split.size(), "created node deeper than the plan");
      split = plan.depth_split[node.depth] != 0;
    }
    if (!split) {
      tree.terminal[v] = 1;
      continue;
    }

    // Gather the existing children once rather than looking each symbol up in the list.
    existing.clear();
    for (std::uint32_t link = node.first_child; link != kNoIndex;
         link = trie.links()[link].next) {
      ensure(link < trie.links().size(), "child link outside the trie");
      existing.push_back(trie.links()[link]);
    }
    std::sort(existing.begin(), existing.end(),
              [](const ChildLink& a, const ChildLink& b) { return a.symbol < b.symbol; });
    ensure(existing.size() <= alphabet_size, "more children than symbols");
    const std::uint64_t missing = alphabet_size - existing.size();

    // Creating the missing children one by one would fail on the first one over the limit.
    // Deciding up front gives the same message without first growing the trie by up to 2^32
    // nodes. At the depth limit the first creation reports the depth instead, as it would.
    if (missing > 0 && (trie.node_count() >= node_limit ||
                        (node.depth != kMaxDepth &&
                         missing > node_limit - trie.node_count()))) {
      return fail_message(kNodeLimitMessage);
    }

    std::size_t next_existing = 0;
    for (std::uint64_t s = 0; s < alphabet_size; ++s) {
      NodeId child = kNoIndex;
      if (next_existing < existing.size() && existing[next_existing].symbol == s) {
        child = existing[next_existing++].child;
      } else {
        auto created = trie.create_child(v, static_cast<std::uint32_t>(s));
        if (!created) {
          return fail_message(std::move(created).error());
        }
        child = *created;
      }
      stack.push_back(child);
    }
    ensure(next_existing == existing.size(), "child symbol outside the alphabet");
    cover_new_nodes(tree, trie.node_count());
  }
  return tree;
}

}  // namespace tesk
