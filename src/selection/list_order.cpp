#include "selection/list_order.hpp"

#include "common/internal_failure.hpp"

namespace tesk {

void ensure_children_newest_first(const CountTrie& trie) {
  const NodeVector& nodes = trie.nodes();
  const LinkVector& links = trie.links();
  ensure(links.size() + 1 == nodes.size(), "every non-root node needs exactly one child link");
  for (std::size_t v = 1; v < nodes.size(); ++v) {
    ensure(nodes[v].parent < v, "a node must come after its parent");
  }

  // build and create_child append node i + 1 together with link i, and a new link points
  // to an older one. In that layout a sequential pass proves every list descending.
  bool appended_together = true;
  for (std::size_t i = 0; i < links.size() && appended_together; ++i) {
    appended_together = links[i].child == i + 1 && (links[i].next == kNoIndex || links[i].next < i);
  }
  if (appended_together) {
    return;
  }

  // Any other layout: follow every link.
  for (const ChildLink& link : links) {
    ensure(link.child != kRoot && link.child < nodes.size(), "child link outside the trie");
    if (link.next != kNoIndex) {
      ensure(link.next < links.size(), "child link outside the trie");
      const NodeId older = links[link.next].child;
      ensure(older < link.child, "child lists must run from the newest child to the oldest");
      ensure(older < nodes.size() && nodes[older].parent == nodes[link.child].parent,
             "a child list mixes the children of two nodes");
    }
  }
  for (std::size_t v = 0; v < nodes.size(); ++v) {
    const std::uint32_t head = nodes[v].first_child;
    if (head != kNoIndex) {
      ensure(head < links.size(), "child link outside the trie");
      ensure(nodes[links[head].child].parent == v, "a child list holds another node's child");
    }
  }
}

}  // namespace tesk
