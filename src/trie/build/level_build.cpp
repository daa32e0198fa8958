// Counting the rows into a trie, one depth at a time: the build for contexts too deep or
// alphabets too wide to count by codes in dense tables (code_build.cpp, used where it applies).
//
// Counting position by position from the root is a chain of dependent list walks, one cache miss
// after another. Here cur[p] holds the node of counted position p's context at the current
// depth, and one pass over all positions per depth adds each position's symbol to its node and
// moves it to the child for the next older symbol. Both lookups key on (node, symbol) in one table
// that exists for that depth only, so for small alphabets they share a cache line; and the lookups
// of different positions do not depend on each other, so their misses overlap (and are prefetched a
// few positions ahead).
//
// While counting, nodes carry temporary ids, contiguous per depth in order of first position.
// The NodeIds of the position-by-position build (by first position, then depth) are recovered at
// the end: once a position meets a new context, all its longer contexts are new as well, so a
// position creates exactly the nodes at depths d0..D, and one pass over positions numbers them.
//
// A node seen by one position only has below it just that position's chain of longer contexts,
// each seen once. Such a position retires: it skips the deeper passes, and its chain is written
// straight into the result at the end. With random data over a large alphabet nearly every
// position retires after two or three depths.

#include "trie/build/level_build.hpp"

#include <algorithm>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/internal_failure.hpp"
#include "common/interruption.hpp"
#include "common/portability.hpp"

namespace tesk::detail {

namespace {

// What a depth's table keeps per (node, symbol): for the symbol as the next older context
// symbol, the child and how many positions moved to it (up to 2); for the symbol as an outcome,
// its count entry and the observations not yet added to that entry (the entries are brought up
// to date once per depth). Sixteen bytes: for small alphabets a node's row is one cache line.
struct Cell {
  std::uint32_t child;
  std::uint32_t visits;
  std::uint32_t entry;
  std::uint32_t pending;
};

inline constexpr Cell kNewCell{kNoIndex, 0, kNoIndex, 0};

// Maps keys below a known bound to cells. The cells live in storage that outlives the table, so
// that the next depth reuses memory that is already mapped.
class DenseTable {
 public:
  DenseTable(std::vector<Cell>& storage, std::uint64_t key_space) : slots_(storage) {
    slots_.assign(key_space, kNewCell);
  }

  static std::uint64_t hash(std::uint64_t key) noexcept { return key; }
  void prefetch(std::uint64_t hash) const noexcept {
    prefetch_for_write(slots_.data() + hash);
  }
  // The key's cell; a key not seen before has kNewCell.
  Cell& slot(std::uint64_t key, std::uint64_t /*hash*/) {
    ensure(key < slots_.size(), "table key outside its key space");
    return slots_[key];
  }
  template <class Visit>
  void for_each(Visit&& visit) {
    for (Cell& cell : slots_) {
      visit(cell);
    }
  }
  // Row n holds node n's cells, one per symbol.
  const Cell* row(std::uint64_t node, std::uint64_t alphabet_size) const {
    return slots_.data() + node * alphabet_size;
  }

 private:
  std::vector<Cell>& slots_;
};

// Keys are below (temporary ids) * alphabet_size < 2^64 - 1, so the all-ones key is free.
inline constexpr std::uint64_t kEmptyKey = ~std::uint64_t{0};

struct HashSlot {
  std::uint64_t key;
  Cell cell;
};

// Open addressing with linear probing, kept at most half full; storage as for DenseTable.
class HashTable {
 public:
  using Slot = HashSlot;

  HashTable(std::vector<Slot>& storage, std::uint64_t expected_keys) : slots_(storage) {
    unsigned bits = kLeastBits;
    while (bits < kMostBits && (std::uint64_t{1} << bits) < 2 * expected_keys) {
      ++bits;
    }
    resize(bits);
  }

  static std::uint64_t hash(std::uint64_t key) noexcept { return key * 0x9E3779B97F4A7C15ULL; }
  void prefetch(std::uint64_t hash) const noexcept {
    prefetch_for_write(slots_.data() + (hash >> shift_));
  }
  // The key's cell; a key not seen before is added with kNewCell.
  Cell& slot(std::uint64_t key, std::uint64_t hash) {
    if (2 * (size_ + 1) > slots_.size()) {
      grow();
    }
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash >> shift_;; i = (i + 1) & mask) {
      Slot& probe = slots_[i];
      if (probe.key == key) {
        return probe.cell;
      }
      if (probe.key == kEmptyKey) {
        probe.key = key;
        ++size_;
        return probe.cell;
      }
    }
  }
  template <class Visit>
  void for_each(Visit&& visit) {
    for (Slot& slot : slots_) {
      if (slot.key != kEmptyKey) {
        visit(slot.cell);
      }
    }
  }

 private:
  void resize(unsigned bits) {
    slots_.assign(std::size_t{1} << bits, Slot{kEmptyKey, kNewCell});
    shift_ = 64 - bits;
  }

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    resize(64 - shift_ + 1);
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& entry : old) {
      if (entry.key == kEmptyKey) {
        continue;
      }
      std::size_t i = hash(entry.key) >> shift_;
      while (slots_[i].key != kEmptyKey) {
        i = (i + 1) & mask;
      }
      slots_[i] = entry;
    }
  }

  static constexpr unsigned kLeastBits = 4;  // 16 slots
  static constexpr unsigned kMostBits = 62;

  std::vector<Slot>& slots_;
  unsigned shift_ = 64;
  std::uint64_t size_ = 0;
};

// A run of counted positions of one row; counted position p of the run has row index
// first_index + (p - first_position).
template <class Symbol>
struct RowSegment {
  const Symbol* row;
  std::uint64_t first_index;
  std::uint64_t first_position;
  std::uint64_t count;
};

// A node while counting, indexed by its temporary id within its depth. Each field serves twice,
// as its name says, so that the pass that writes the result needs no second array.
struct PassNode {
  std::uint64_t total;
  std::uint32_t parent_then_id;        // the parent's temporary id; once written, the NodeId
  std::uint32_t counts_then_children;  // the count list's head; once written, the child list's
};

struct Pending {
  std::uint64_t position;
  std::uint32_t node;
  bool goes_deeper;  // whether the position moves on to the next depth
  std::uint64_t outcome_key;
  std::uint64_t outcome_hash;
  std::uint64_t context_key;
  std::uint64_t context_hash;
};

// Retiring positions leave gaps in their segments; a gap shorter than this is stepped over rather
// than splitting the segment.
constexpr std::uint64_t kSegmentGap = 32;

template <class Symbol>
class LevelBuilder {
 public:
  using Segment = RowSegment<Symbol>;

  LevelBuilder(std::span<const RowView<Symbol>> rows, std::uint64_t alphabet_size,
               std::uint64_t conditioning_depth, std::uint16_t storage_depth, TrieLimits limits)
      : alphabet_size_(alphabet_size), depth_(storage_depth), limits_(limits) {
    for (const RowView<Symbol>& row : rows) {
      if (row.size > conditioning_depth) {
        const std::uint64_t count = row.size - conditioning_depth;
        segments_.push_back(Segment{row.data, conditioning_depth, positions_, count});
        positions_ += count;
      }
    }
  }

  MessageOr<CountTrie> run() {
    active_segments_ = segments_;
    active_ = positions_;
    cur_.assign(positions_, 0);
    first_new_.assign(positions_, 0);
    last_counted_.assign(positions_, depth_);
    levels_.resize(std::size_t{depth_} + 1);
    levels_[0].push_back(PassNode{0, kRoot, kNoIndex});
    keys_at_.assign(std::size_t{depth_} + 1, 0);
    sole_.assign(1, positions_ == 1 ? 1 : 0);
    any_sole_ = positions_ == 1;

    for (std::uint32_t depth = 0; depth <= depth_ && active_ > 0; ++depth) {
      if (!count_depth(static_cast<std::uint16_t>(depth))) {
        return fail_message(kNodeLimitMessage);
      }
    }
    if (entries_overflowed_) {
      return fail_message(kCountLimitMessage);
    }
    return assemble();
  }

 private:
  // Counts every active position at depth d and moves it to depth d + 1. The table's keys are
  // (temporary id) * alphabet_size + symbol: a dense table when that space is not much larger
  // than the number of positions, otherwise a hash table.
  bool count_depth(std::uint16_t d) {
    const std::uint64_t node_count = levels_[d].size();
    // As many keys per node as the depth above had (at least a few), and never more than two
    // per position.
    std::uint64_t per_node = kLeastKeysPerNode;
    if (d >= 1) {
      const std::uint64_t previous = std::max<std::uint64_t>(levels_[d - 1].size(), 1);
      per_node = std::max(per_node, keys_at_[d - 1] / previous + 1);
    }
    const std::uint64_t cap = 2 * active_;
    const std::uint64_t expected =
        per_node > cap / std::max<std::uint64_t>(node_count, 1) ? cap : node_count * per_node;
    const std::uint64_t key_space = node_count * alphabet_size_;
    // Room for this depth's new entries, growing geometrically.
    const std::uint64_t new_entries = std::min(key_space, active_);
    if (!entries_overflowed_ && counts_.size() + new_entries > counts_.capacity()) {
      counts_.reserve(std::max<std::uint64_t>(counts_.size() + new_entries,
                                              counts_.capacity() * 2));
    }
    if (key_space <= kCachedKeys) {
      DenseTable table(dense_storage_, key_space);
      return count_pass<false>(d, table);
    }
    if (key_space <= 2 * active_ + kDenseSlack) {
      DenseTable table(dense_storage_, key_space);
      return count_pass<true>(d, table);
    }
    HashTable table(hash_storage_,
                    std::max<std::uint64_t>(std::min(expected, key_space), kLeastHashKeys));
    return count_pass<true>(d, table);
  }

  static constexpr std::uint64_t kLeastKeysPerNode = 4;
  // A dense table up to this many keys beyond two per position is still smaller than a hash
  // table would be.
  static constexpr std::uint64_t kDenseSlack = 4096;
  static constexpr std::uint64_t kLeastHashKeys = 64;
  // A dense table this small stays in cache, and prefetching it only costs time.
  static constexpr std::uint64_t kCachedKeys = 16384;
  static constexpr std::size_t kRing = 16;  // positions between a prefetch and its use

  template <bool kPrefetch, class Table>
  bool count_pass(std::uint16_t d, Table& table) {
    const bool deeper = d < depth_;
    const std::uint64_t first_entry = counts_.size();
    Pending ring[kRing];
    std::size_t ring_head = 0;
    std::size_t ring_size = 0;

    // Positions at nodes seen once retire. That only saves work and changes no result, and the
    // flags are not kept up to date once counts are no longer kept.
    const bool count_sole = any_sole_ && !entries_overflowed_;
    std::vector<Segment> kept_segments;
    std::uint64_t kept = 0;
    for (const Segment& segment : active_segments_) {
      const Symbol* outcomes = segment.row + segment.first_index;
      for (std::uint64_t j = 0; j < segment.count;) {
        for (const std::uint64_t stop = poll_chunk_up(j, segment.count, 2); j < stop; ++j) {
          const std::uint64_t position = segment.first_position + j;
          const std::uint32_t node = cur_[position];
          if (node == kNoIndex) {
            continue;
          }
          Pending item{position, node, deeper, 0, 0, 0, 0};
          if (count_sole && sole_[node] != 0) {
            // The node's only observation: no other position needs its table slot, and nothing
            // deeper needs counting.
            count_once(node, static_cast<std::uint32_t>(outcomes[j]));
            if (deeper && !retire(position, d)) {
              return false;
            }
            continue;
          }
          const std::uint64_t row_key = std::uint64_t{node} * alphabet_size_;
          item.outcome_key = row_key + outcomes[j];
          item.outcome_hash = table.hash(item.outcome_key);
          if (deeper) {
            item.context_key = row_key + segment.row[segment.first_index + j - d - 1];
            item.context_hash = table.hash(item.context_key);
            if (count_sole) {
              keep(kept_segments, segment, j);
            }
            ++kept;
          }
          if constexpr (kPrefetch) {
            table.prefetch(item.outcome_hash);
            if (item.goes_deeper) {
              table.prefetch(item.context_hash);
            }
            if (ring_size < kRing) {
              ring[(ring_head + ring_size++) % kRing] = item;
              continue;
            }
            std::swap(item, ring[ring_head]);
            ring_head = (ring_head + 1) % kRing;
          }
          if (!count_position(d, table, item)) {
            return false;
          }
        }
      }
    }
    for (; ring_size > 0; --ring_size, ring_head = (ring_head + 1) % kRing) {
      if (!count_position(d, table, ring[ring_head])) {
        return false;
      }
    }
    if (count_sole) {
      active_segments_ = std::move(kept_segments);
    }
    active_ = deeper ? kept : 0;
    keys_at_[d] = counts_.size() - first_entry + (deeper ? levels_[d + 1].size() : 0);
    if (!entries_overflowed_) {
      // A cell gains at most one observation per position, so below this many positions no
      // pending count has been moved into its entry early.
      if constexpr (std::is_same_v<Table, DenseTable>) {
        if (positions_ < 0xFFFFFFFFu) {
          settle_rows(d, first_entry, table);
          return true;
        }
      }
      settle_entries(d, first_entry, table);
    }
    return true;
  }

  template <class Table>
  TESK_ALWAYS_INLINE bool count_position(std::uint16_t d, Table& table, const Pending& item) {
    if (!entries_overflowed_) {
      count(table.slot(item.outcome_key, item.outcome_hash), item);
    }
    if (!item.goes_deeper) {
      return true;
    }
    Cell& cell = table.slot(item.context_key, item.context_hash);
    cell.visits += cell.visits < 2 ? 1 : 0;
    if (cell.child == kNoIndex) {
      if (node_total_ >= limits_.max_nodes) {
        return false;
      }
      ++node_total_;
      std::vector<PassNode>& children = levels_[d + 1];
      cell.child = static_cast<std::uint32_t>(children.size());
      children.push_back(PassNode{0, item.node, kNoIndex});
      if (first_new_[item.position] == 0) {
        first_new_[item.position] = static_cast<std::uint16_t>(d + 1);
      }
    }
    cur_[item.position] = cell.child;
    return true;
  }

  void count_once(std::uint32_t node, std::uint32_t symbol) {
    if (entries_overflowed_) {
      return;
    }
    if (counts_.size() + chain_nodes_ >= limits_.max_count_entries) {
      overflow_entries();
      return;
    }
    counts_.push_back(SymbolCount{1, symbol, node});
  }

  TESK_ALWAYS_INLINE void count(Cell& cell, const Pending& item) {
    if (cell.entry != kNoIndex) [[likely]] {
      if (++cell.pending == 0xFFFFFFFFu) [[unlikely]] {
        counts_[cell.entry].count += cell.pending;
        cell.pending = 0;
      }
      return;
    }
    if (counts_.size() + chain_nodes_ >= limits_.max_count_entries) {
      overflow_entries();
      return;
    }
    cell.entry = static_cast<std::uint32_t>(counts_.size());
    cell.pending = 1;
    const auto symbol =
        static_cast<std::uint32_t>(item.outcome_key - std::uint64_t{item.node} * alphabet_size_);
    // Until the depth is settled, `next` holds the entry's node.
    counts_.push_back(SymbolCount{0, symbol, item.node});
  }

  // Brings this depth's entries up to date and marks the children that one position moved to.
  // Then lays the entries out node by node, each node's list in one block that runs from the
  // most recently first-observed symbol to the first, so that every later walk of a count list
  // (selection, compaction, queries) reads adjacent memory.
  template <class Table>
  void settle_entries(std::uint16_t d, std::uint64_t first_entry, Table& table) {
    const bool deeper = d < depth_;
    sole_.assign(deeper ? levels_[d + 1].size() : 0, 0);
    any_sole_ = false;
    table.for_each([this, deeper](Cell& cell) {
      if (cell.entry != kNoIndex) {
        counts_[cell.entry].count += cell.pending;
      }
      if (deeper && cell.visits == 1) {
        sole_[cell.child] = 1;
        any_sole_ = true;
      }
    });

    std::vector<PassNode>& level = levels_[d];
    const std::vector<SymbolCount> created(counts_.begin() + static_cast<std::ptrdiff_t>(first_entry),
                                           counts_.end());
    // Until placed, `next` holds the entry's node; block_end[node] ends up at its block's start.
    std::vector<std::uint32_t> block_end(level.size(), 0);
    for (const SymbolCount& entry : created) {
      ensure(entry.next < level.size(), "count entry of an unknown node");
      ++block_end[entry.next];
    }
    std::uint64_t offset = first_entry;
    for (std::uint32_t& end : block_end) {
      offset += end;
      end = static_cast<std::uint32_t>(offset);
    }
    // In order of creation, which is the order of first observation: each entry goes just before
    // the one placed before it, and heads the list.
    for (const SymbolCount& entry : created) {
      PassNode& node = level[entry.next];
      const std::uint32_t place = --block_end[entry.next];
      counts_[place] = SymbolCount{entry.count, entry.symbol, node.counts_then_children};
      node.counts_then_children = place;
      node.total += entry.count;
    }
  }

  // settle_entries for a dense table, in one sequential sweep: a node's row holds its entries,
  // so each block is written in place from the row, newest entry first.
  void settle_rows(std::uint16_t d, std::uint64_t first_entry, const DenseTable& table) {
    const bool deeper = d < depth_;
    sole_.assign(deeper ? levels_[d + 1].size() : 0, 0);
    any_sole_ = false;
    // Entries of nodes seen once were made without a cell; they alone already count 1. Nodes
    // are numbered in order of their first position, so these come in node order.
    std::vector<SymbolCount> once;
    for (std::uint64_t index = first_entry; index < counts_.size(); ++index) {
      if (counts_[index].count == 1) {
        once.push_back(counts_[index]);
      }
    }
    std::size_t next_once = 0;
    std::vector<PassNode>& level = levels_[d];
    std::vector<std::pair<std::uint32_t, std::uint32_t>> found;  // (entry, symbol)
    std::uint64_t place = first_entry;
    for (std::uint64_t n = 0; n < level.size(); ++n) {
      const Cell* row = table.row(n, alphabet_size_);
      found.clear();
      for (std::uint64_t s = 0; s < alphabet_size_; ++s) {
        if (row[s].entry != kNoIndex) {
          found.emplace_back(row[s].entry, static_cast<std::uint32_t>(s));
        }
        if (deeper && row[s].visits == 1) {
          sole_[row[s].child] = 1;
          any_sole_ = true;
        }
      }
      PassNode& node = level[n];
      if (found.empty()) {
        if (next_once < once.size() && once[next_once].next == n) {
          ensure(place < counts_.size(), "more count entries than were made");
          counts_[place] = SymbolCount{1, once[next_once++].symbol, kNoIndex};
          node.counts_then_children = static_cast<std::uint32_t>(place++);
          node.total = 1;
        }
        continue;
      }
      std::sort(found.begin(), found.end(), std::greater<>());
      node.counts_then_children = static_cast<std::uint32_t>(place);
      for (std::size_t k = 0; k < found.size(); ++k) {
        ensure(place < counts_.size(), "more count entries than were made");
        const std::uint32_t pending = row[found[k].second].pending;
        const std::uint32_t next = k + 1 < found.size() ? static_cast<std::uint32_t>(place + 1)
                                                        : kNoIndex;
        counts_[place++] = SymbolCount{pending, found[k].second, next};
        node.total += pending;
      }
    }
    ensure(place == counts_.size() && next_once == once.size(), "count entries left unplaced");
  }

  static void keep(std::vector<Segment>& kept, const Segment& segment, std::uint64_t j) {
    const std::uint64_t position = segment.first_position + j;
    if (!kept.empty()) {
      Segment& last = kept.back();
      if (last.row == segment.row && position - (last.first_position + last.count) < kSegmentGap) {
        last.count = position - last.first_position + 1;
        return;
      }
    }
    kept.push_back(Segment{segment.row, segment.first_index + j, position, 1});
  }

  // A position's node at depth r is seen by that position alone, so it alone reaches every
  // longer context: its nodes at depths r + 1 .. D form a chain, written at the end.
  bool retire(std::uint64_t position, std::uint16_t r) {
    cur_[position] = kNoIndex;
    last_counted_[position] = r;
    if (first_new_[position] == 0) {
      ensure(r == 0, "a retired position met no new context");
      first_new_[position] = 1;
    }
    const std::uint64_t chain = depth_ - r;
    chain_nodes_ += chain;
    node_total_ += chain;
    if (node_total_ > limits_.max_nodes) {
      return false;
    }
    if (!entries_overflowed_ && counts_.size() + chain_nodes_ > limits_.max_count_entries) {
      overflow_entries();
    }
    return true;
  }

  // Past the count entry limit the build can only fail; it goes on counting nodes alone, since
  // the node limit is reported first.
  void overflow_entries() {
    entries_overflowed_ = true;
    counts_ = CountVector();
  }

  // Numbers the nodes as the position-by-position build does and writes the three vectors.
  CountTrie assemble() {
    cur_ = std::vector<std::uint32_t>();
    dense_storage_ = std::vector<Cell>();
    hash_storage_ = std::vector<HashSlot>();
    sole_ = std::vector<std::uint8_t>();
    NodeVector nodes;
    nodes.reserve(growth_room(node_total_));
    LinkVector links;
    links.reserve(growth_room(node_total_));
    counts_.reserve(counts_.size() + chain_nodes_);
    nodes.push_back(
        TrieNode{positions_, kNoIndex, kNoIndex, levels_[0][0].counts_then_children, kNoIndex, 0});
    // From here on a counted node's PassNode holds its NodeId and the head of its child list, so
    // that linking a child never reads the node array at random; the heads are copied into the
    // nodes at the end.
    levels_[0][0].counts_then_children = kNoIndex;

    std::vector<std::uint32_t> next_temporary(std::size_t{depth_} + 1, 0);
    for (const Segment& segment : segments_) {
      for (std::uint64_t j = 0; j < segment.count;) {
        for (const std::uint64_t stop = poll_chunk_up(j, segment.count, depth_); j < stop; ++j) {
          const std::uint64_t position = segment.first_position + j;
          const std::uint16_t first = first_new_[position];
          if (first == 0) {
            continue;
          }
          const std::uint16_t last_counted = last_counted_[position];
          const std::uint64_t index = segment.first_index + j;
          const auto outcome = static_cast<std::uint32_t>(segment.row[index]);
          PassNode* previous = nullptr;  // this position's node one depth up, if it was counted
          for (std::uint32_t d = first; d <= depth_; ++d) {
            const auto id = static_cast<NodeId>(nodes.size());
            NodeId parent = id - 1;
            PassNode* parent_head = previous;
            std::uint64_t total = 1;
            std::uint32_t first_count = kNoIndex;
            if (d <= last_counted) {
              std::vector<PassNode>& level = levels_[d];
              ensure(next_temporary[d] < level.size(), "counted node missing at its depth");
              PassNode& counted = level[next_temporary[d]++];
              if (d == first) {
                ensure(counted.parent_then_id < levels_[d - 1].size(), "parent outside its depth");
                parent_head = &levels_[d - 1][counted.parent_then_id];
                parent = parent_head->parent_then_id;
              }
              total = counted.total;
              first_count = counted.counts_then_children;
              counted.parent_then_id = id;
              counted.counts_then_children = kNoIndex;
              previous = &counted;
            } else {
              if (d == first) {
                // Only a position that retired at the root starts its chain there.
                parent = kRoot;
                parent_head = &levels_[0][0];
              }
              first_count = static_cast<std::uint32_t>(counts_.size());
              counts_.push_back(SymbolCount{1, outcome, kNoIndex});
              previous = nullptr;
            }
            const auto symbol = static_cast<std::uint32_t>(segment.row[index - d]);
            nodes.push_back(TrieNode{total, parent, kNoIndex, first_count, symbol,
                                     static_cast<std::uint16_t>(d)});
            std::uint32_t& head = parent_head != nullptr ? parent_head->counts_then_children
                                                         : nodes[parent].first_child;
            links.push_back(ChildLink{symbol, id, head});
            head = id - 1;
          }
        }
      }
    }
    ensure(nodes.size() == node_total_, "node count differs from the counted total");
    for (const std::vector<PassNode>& level : levels_) {
      for (const PassNode& counted : level) {
        ensure(counted.parent_then_id < nodes.size(), "counted node never written");
        nodes[counted.parent_then_id].first_child = counted.counts_then_children;
      }
    }
    levels_.clear();
    first_new_ = std::vector<std::uint16_t>();
    last_counted_ = std::vector<std::uint16_t>();
    return CountTrie::from_parts(std::move(nodes), std::move(links), std::move(counts_),
                                 alphabet_size_, depth_, positions_);
  }

  std::uint64_t alphabet_size_;
  std::uint16_t depth_;
  TrieLimits limits_;

  std::vector<Segment> segments_;         // every counted position, in order
  std::vector<Segment> active_segments_;  // covers every position not yet retired
  std::uint64_t positions_ = 0;
  std::uint64_t active_ = 0;

  // Per position: its node at the depth being counted (kNoIndex once retired), the shallowest
  // depth at which it created a node (0: none), and the deepest depth at which it was counted
  // in a pass (deeper nodes are its chain).
  std::vector<std::uint32_t> cur_;
  std::vector<std::uint16_t> first_new_;
  std::vector<std::uint16_t> last_counted_;

  std::vector<std::vector<PassNode>> levels_;
  std::vector<std::uint64_t> keys_at_;  // table keys used per depth, for sizing the next table
  std::vector<std::uint8_t> sole_;      // per node at the depth being counted: seen once
  bool any_sole_ = false;
  std::vector<Cell> dense_storage_;
  std::vector<HashSlot> hash_storage_;
  CountVector counts_;
  std::uint64_t node_total_ = 1;
  std::uint64_t chain_nodes_ = 0;
  bool entries_overflowed_ = false;
};

}  // namespace

template <class Symbol>
MessageOr<CountTrie> build_by_levels(std::span<const RowView<Symbol>> rows,
                                     std::uint64_t alphabet_size, std::uint64_t conditioning_depth,
                                     std::uint64_t storage_depth, TrieLimits limits) {
  ensure(storage_depth <= conditioning_depth && storage_depth <= kMaxDepth,
         "counting depth by depth outside its range");
  LevelBuilder<Symbol> builder(rows, alphabet_size, conditioning_depth,
                               static_cast<std::uint16_t>(storage_depth), limits);
  return builder.run();
}

template MessageOr<CountTrie> build_by_levels(std::span<const RowView<std::uint8_t>>, std::uint64_t,
                                              std::uint64_t, std::uint64_t, TrieLimits);
template MessageOr<CountTrie> build_by_levels(std::span<const RowView<std::uint16_t>>,
                                              std::uint64_t, std::uint64_t, std::uint64_t,
                                              TrieLimits);
template MessageOr<CountTrie> build_by_levels(std::span<const RowView<std::uint32_t>>,
                                              std::uint64_t, std::uint64_t, std::uint64_t,
                                              TrieLimits);

}  // namespace tesk::detail
