#pragma once
// The count trie: every context up to storage_depth that occurs in the training rows, stored
// backwards from the position it precedes (the root's child for x is the context whose most
// recent symbol is x). Three flat vectors linked by 32-bit indices; per-node lists are singly
// linked and a new element always goes to the head of its list.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "common/limits.hpp"
#include "common/page_memory.hpp"

namespace tesk {

using NodeId = std::uint32_t;

inline constexpr std::uint32_t kNoIndex = 0xFFFFFFFFu;
inline constexpr NodeId kRoot = 0;
// NodeIds 0 .. kMaxNodeCount - 1 are usable; kNoIndex is never a node. The same holds for count
// entry indices.
inline constexpr std::uint64_t kMaxNodeCount = 4294967295ULL;
inline constexpr std::uint64_t kMaxCountEntries = 4294967295ULL;

// The two size limits a count or a selection must stay within; parameters, so that tests reach
// them with small inputs.
struct TrieLimits {
  std::uint64_t max_nodes = kMaxNodeCount;             // root included; at most kMaxNodeCount
  std::uint64_t max_count_entries = kMaxCountEntries;  // at most kMaxCountEntries
};

// Room a built trie leaves for the nodes selection may add, so that adding a few does not copy
// the whole node and link vectors (capacity never written is never resident).
inline constexpr std::uint64_t growth_room(std::uint64_t nodes) { return nodes + nodes / 4 + 64; }

inline constexpr const char* kNodeLimitMessage = "count trie exceeded the u32 node limit";
inline constexpr const char* kDepthOverflowMessage = "count trie depth overflow";
inline constexpr const char* kStorageDepthMessage = "storage depth cannot exceed conditioning depth";
inline constexpr const char* kCountLimitMessage = "count trie exceeded the u32 count entry limit";

struct TrieNode {
  std::uint64_t total;
  NodeId parent;
  std::uint32_t first_child;
  std::uint32_t first_count;
  std::uint32_t symbol;
  std::uint16_t depth;
};

struct ChildLink {
  std::uint32_t symbol;
  NodeId child;
  std::uint32_t next;
};

struct SymbolCount {
  std::uint64_t count;
  std::uint32_t symbol;
  std::uint32_t next;
};

class CountTrie;

// The trie's storage. Its vectors grow to hundreds of megabytes in a large fit; mapped memory
// (with huge pages when large) keeps their page faults few and gives them back when freed.
using NodeVector = std::vector<TrieNode, PageAllocator<TrieNode>>;
using LinkVector = std::vector<ChildLink, PageAllocator<ChildLink>>;
using CountVector = std::vector<SymbolCount, PageAllocator<SymbolCount>>;

// What compaction hands back: the trie of the kept nodes and their terminal flags.
struct CompactedTrie;

class CountTrie {
 public:
  // A trie holding only the root (total 0, no links, no counts).
  CountTrie(std::uint64_t alphabet_size, std::uint64_t storage_depth);

  // Keeps the nodes whose active entry is non-zero (missing entries count as 0), renumbered in
  // ascending order; every list of the result runs in the reverse of the input's order.
  static CompactedTrie compact(CountTrie trie, std::span<const std::uint8_t> active,
                               std::span<const std::uint8_t> terminal);

  // The child for `symbol` (kNoIndex when there is none): a scan of the node's child list, which
  // is most of what a backoff query does.
  NodeId find_child(NodeId node, std::uint64_t symbol) const;
  // A new child for a symbol the caller knows has none yet, heading its parent's child list
  // (a split node gains up to A children). Fails at the node limit and below the deepest depth.
  MessageOr<NodeId> create_child(NodeId parent, std::uint32_t symbol);

  // Lookups on a trie (all read-only).
  std::optional<NodeId> find_context(std::span<const std::uint64_t> context) const;
  // The deepest terminal node (root included) on the history's path down to storage_depth, or
  // the deepest node the path reaches when none is terminal; a node beyond `terminal` is not
  // terminal. Every stored node belongs to the tree: the trie is a compacted one.
  NodeId longest_suffix(std::span<const std::uint64_t> history,
                        std::span<const std::uint8_t> terminal) const;
  std::vector<std::uint64_t> transition_counts(NodeId node) const;
  std::vector<std::uint64_t> context_symbols(NodeId node) const;
  std::vector<double> jeffreys_probabilities(NodeId node) const;

  // Read access. node() checks its argument; the vectors are exposed for bulk passes.
  const TrieNode& node(NodeId id) const;
  const NodeVector& nodes() const noexcept { return nodes_; }
  const LinkVector& links() const noexcept { return links_; }
  const CountVector& counts() const noexcept { return counts_; }
  std::uint64_t node_count() const noexcept { return nodes_.size(); }
  std::uint64_t alphabet_size() const noexcept { return alphabet_size_; }
  std::uint64_t storage_depth() const noexcept { return storage_depth_; }
  std::uint64_t sample_size() const noexcept { return sample_size_; }

  // Assembles a trie from finished vectors (used by the build and by compaction).
  static CountTrie from_parts(NodeVector nodes, LinkVector links, CountVector counts,
                              std::uint64_t alphabet_size,
                              std::uint64_t storage_depth, std::uint64_t sample_size);

  // Replaces every symbol r in nodes, links and count entries by symbol_of[r], and the alphabet
  // size: a trie built over ranks of symbols becomes the trie of the symbols themselves.
  void relabel_symbols(std::span<const std::uint32_t> symbol_of, std::uint64_t alphabet_size);

 private:
  CountTrie() = default;

  NodeVector nodes_;
  LinkVector links_;
  CountVector counts_;
  std::uint64_t alphabet_size_ = 0;
  std::uint64_t storage_depth_ = 0;
  std::uint64_t sample_size_ = 0;
};

struct CompactedTrie {
  CountTrie trie;
  std::vector<std::uint8_t> terminal;
};

}  // namespace tesk
