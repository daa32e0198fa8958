#include "trie/build/context_runs.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <type_traits>
#include <utility>

#include "common/internal_failure.hpp"
#include "common/interruption.hpp"
#include "common/portability.hpp"
#include "trie/build/context_code_sort.hpp"
#include "trie/build/suffix_array.hpp"
#include "trie/count_trie.hpp"

namespace tesk {

namespace {

// Bits that hold any rank below `ranks`.
unsigned rank_bits(std::uint64_t ranks) {
  return ranks <= 1 ? 1u : static_cast<unsigned>(std::bit_width(ranks - 1));
}

bool is_counted(const detail::ContextCodes& codes, std::uint64_t index) {
  return ((codes.counted[index >> 6] >> (index & 63)) & 1) != 0;
}

// Calls visit(context, code) for every counted context: its leading code_symbols packed into 64
// bits, most recent symbol highest, so that sorting the codes sorts the contexts on those
// symbols. Within a row contexts run downward through the text, each one symbol further along,
// so the code rolls from the one before.
template <class Rank, class Visit>
void for_each_code(const detail::ContextCodes& codes, const PageVector<Rank>& text, Visit&& visit) {
  const unsigned bits = codes.symbol_bits;
  const std::uint32_t symbols = codes.code_symbols;
  std::uint64_t code = 0;
  std::uint64_t previous = 0;  // the last context visited, or 0 for none
  for (std::uint64_t i = text.size(); i > 1;) {
    for (const std::uint64_t stop = poll_chunk_down(i, 1, 1); i > stop;) {
      --i;
      if (!is_counted(codes, i)) {
        continue;
      }
      if (previous != i + 1) {
        code = 0;
        for (std::uint32_t d = 0; d < symbols; ++d) {
          code = (code << bits) | text[i + d];
        }
      } else {
        code = (code >> bits) | (std::uint64_t{text[i]} << (bits * (symbols - 1)));
      }
      visit(i, code);
      previous = i;
    }
  }
}

// Counts the contexts of each bucket: where each starts in sorted order.
template <class Rank>
void count_buckets(detail::ContextCodes& codes, const PageVector<Rank>& text) {
  const unsigned rest_bits = codes.rest_bits();
  const std::size_t buckets = std::size_t{1} << codes.bucket_bits;
  std::vector<std::uint64_t>& start = codes.bucket_start;
  start.assign(buckets + 1, 0);
  for_each_code(codes, text, [&](std::uint64_t /*context*/, std::uint64_t code) {
    ++start[(code >> rest_bits) + 1];
  });
  for (std::size_t b = 0; b < buckets; ++b) {
    start[b + 1] += start[b];
  }
}

// Gathers the buckets into groups of about `group_size` contexts (each at least one bucket), for
// sorting a group at a time.
void group_buckets(detail::ContextCodes& codes, std::uint64_t group_size) {
  const std::vector<std::uint64_t>& start = codes.bucket_start;
  const std::size_t buckets = start.size() - 1;
  codes.group_start.assign(1, 0);
  codes.largest_group = 0;
  for (std::size_t first = 0; first < buckets;) {
    std::size_t last = first + 1;
    while (last < buckets && start[last + 1] - start[first] <= group_size) {
      ++last;
    }
    codes.largest_group = std::max(codes.largest_group, start[last] - start[first]);
    codes.group_start.push_back(last);
    first = last;
  }
}

// Sorts the contexts of one group by their codes and calls emit(k, context, code) for each in
// sorted order, k counting from the first context of all. One scatter puts every context of the
// group, with the rest of its code, in its bucket, each bucket small enough for the cache; each
// is then sorted by radix on the rest. `coded` holds at least the group.
template <class Rest, class Index, class Rank, class Emit>
void sort_group_codes(const detail::ContextCodes& codes, const PageVector<Rank>& text,
                      std::size_t group, PageVector<CodedContext<Rest, Index>>& coded,
                      std::vector<CodedContext<Rest, Index>>& buffer, Emit&& emit) {
  const unsigned rest_bits = codes.rest_bits();
  const std::uint64_t rest_mask = (std::uint64_t{1} << rest_bits) - 1;
  const std::vector<std::uint64_t>& start = codes.bucket_start;
  const std::size_t first = codes.group_start[group];
  const std::size_t last = codes.group_start[group + 1];
  const std::uint64_t offset = start[first];
  std::vector<std::uint64_t> next(start.begin() + static_cast<std::ptrdiff_t>(first),
                                  start.begin() + static_cast<std::ptrdiff_t>(last));
  for_each_code(codes, text, [&](std::uint64_t context, std::uint64_t code) {
    const std::uint64_t bucket = code >> rest_bits;
    if (bucket >= first && bucket < last) {
      coded[next[bucket - first]++ - offset] =
          CodedContext<Rest, Index>::of(static_cast<Rest>(code & rest_mask), context);
    }
  });
  for (std::size_t b = first; b < last; ++b) {
    const std::uint64_t begin = start[b];
    const std::uint64_t end = start[b + 1];
    poll_interruption(end - begin + 1);
    sort_on_low_bits(
        std::span<CodedContext<Rest, Index>>(coded.data() + (begin - offset), end - begin),
        rest_bits, buffer);
    for (std::uint64_t k = begin; k < end; ++k) {
      const CodedContext<Rest, Index>& item = coded[k - offset];
      emit(k, item.context, (std::uint64_t{b} << rest_bits) | item.rest);
    }
  }
}

// How many leading symbols two codes share, given their exclusive or.
std::uint32_t common_symbols(const detail::ContextCodes& codes, std::uint64_t differ) {
  return static_cast<std::uint32_t>(
      (static_cast<unsigned>(std::countl_zero(differ)) - (64 - codes.code_bits())) /
      codes.symbol_bits);
}

}  // namespace

// Builds one ContextRuns with its text in ranks of type Rank.
template <class Rank>
class ContextSorter {
 public:
  ContextSorter(ContextRuns& runs, std::uint64_t conditioning_depth, std::uint32_t storage_depth)
      : runs_(runs), conditioning_(conditioning_depth), depth_(storage_depth) {}

  // Writes the rows reversed into the text, in ranks, and notes which text indices are the
  // contexts of counted positions.
  void write_text(std::span<const RowView<Rank>> rows, std::span<const std::uint32_t> observed) {
    std::uint64_t size = 0;
    for (const RowView<Rank>& row : rows) {
      size += row.size > conditioning_ ? row.size : 0;
    }
    PageVector<Rank> text(size);
    std::vector<std::uint64_t>& counted = runs_.codes_.counted;
    counted.assign((size + 64) / 64, 0);
    const SymbolRanks<Rank> rank_of(observed);
    const auto rank = [&](Rank symbol) { return static_cast<Rank>(rank_of(symbol)); };
    std::uint64_t end = size;  // the text index one past where the row's reversal starts
    for (const RowView<Rank>& row : rows) {
      if (row.size <= conditioning_) {
        continue;
      }
      const std::uint64_t start = end - row.size;
      for (std::uint64_t p = 0; p < row.size;) {
        for (const std::uint64_t stop = poll_chunk_up(p, row.size, 1); p < stop; ++p) {
          text[end - 1 - p] = rank(row.data[p]);
        }
      }
      // Position p of the row has its context at text index end - p, counted from the
      // conditioning depth on.
      for (std::uint64_t i = start + 1; i + conditioning_ <= end; ++i) {
        counted[i >> 6] |= std::uint64_t{1} << (i & 63);
        ++positions_;
      }
      end = start;
    }
    runs_.text_size_ = size;
    runs_.text_ = std::move(text);
  }

  void sort_contexts() {
    const PageVector<Rank>& text = std::get<PageVector<Rank>>(runs_.text_);
    if (positions_ == 0) {
      runs_.in_groups_ = false;
      runs_.codes_ = detail::ContextCodes();
      return;
    }
    // The leading symbols that fit one 64-bit code order most contexts; only contexts that
    // agree on all of them need more, and when too many do the suffix array does it all.
    detail::ContextCodes& codes = runs_.codes_;
    codes.symbol_bits = rank_bits(runs_.rank_count());
    codes.code_symbols = std::min<std::uint32_t>(depth_, 64 / codes.symbol_bits);
    codes.bucket_bits = std::min(
        codes.code_bits(), std::clamp<unsigned>(static_cast<unsigned>(std::bit_width(positions_)),
                                                kLeastBucketBits + kBucketBitsBelowCount,
                                                kMostBucketBits + kBucketBitsBelowCount) -
                               kBucketBitsBelowCount);
    runs_.shared_.resize(positions_);
    count_buckets(codes, text);
    if (runs_.in_groups_) {
      ensure(codes.code_symbols == depth_, "contexts sorted in groups need codes of full depth");
      // The shared lengths need only the codes, a few groups of 4 or 8 bytes each; the walk's
      // groups are smaller, holding contexts too.
      group_buckets(codes, (positions_ + kGroupsOfCodes - 1) / kGroupsOfCodes);
      sort_all<NoContext>(text);
      group_buckets(codes, (positions_ + kGroupsSortedAgain - 1) / kGroupsSortedAgain);
    } else {
      group_buckets(codes, std::max(kLeastGroup, (positions_ + kGroups - 1) / kGroups));
      runs_.order_.resize(positions_);
      sort_all<std::int32_t>(text);
      if (codes.code_symbols < depth_ && !break_ties(text)) {
        runs_.order_ = PageVector<std::int32_t>();
        runs_.shared_ = PageVector<std::uint16_t>();
        sort_by_suffixes(text);
      }
      runs_.codes_ = detail::ContextCodes();
    }
    std::uint64_t nodes = 1;
    for (const std::uint16_t shared : runs_.shared_) {
      nodes += depth_ - shared;
    }
    runs_.literal_nodes_ = nodes;
  }

 private:
  // Sorts every group, noting the shared lengths of neighbours from their codes and, with
  // Index std::int32_t, the order itself (NoContext: the codes alone). The groups' items take 4
  // to 16 bytes each while sorted.
  template <class Index>
  void sort_all(const PageVector<Rank>& text) {
    if (runs_.codes_.rest_bits() > 32) {
      sort_all_with_rests<std::uint64_t, Index>(text);
    } else {
      sort_all_with_rests<std::uint32_t, Index>(text);
    }
  }

  template <class Rest, class Index>
  void sort_all_with_rests(const PageVector<Rank>& text) {
    const detail::ContextCodes& codes = runs_.codes_;
    PageVector<CodedContext<Rest, Index>> coded(codes.largest_group);
    std::vector<CodedContext<Rest, Index>> buffer;
    std::uint64_t previous_code = 0;
    for (std::size_t group = 0; group + 1 < codes.group_start.size(); ++group) {
      sort_group_codes(codes, text, group, coded, buffer,
                       [&](std::uint64_t k, Index context, std::uint64_t code) {
                         if constexpr (std::is_same_v<Index, std::int32_t>) {
                           runs_.order_[k] = context;
                         }
                         runs_.shared_[k] = static_cast<std::uint16_t>(
                             k == 0 ? 0 : common_symbols(codes, previous_code ^ code));
                         previous_code = code;
                       });
    }
  }

  // Sorts each run of contexts that agree on all the symbols of their codes on the symbols after
  // them, by comparing those symbols. Gives up (false) when such runs hold more than one context
  // in kMostTied, or one run more than kMostInOneTie: data that repeat that much are sorted
  // faster by the suffix array.
  bool break_ties(const PageVector<Rank>& text) {
    const std::uint64_t most_tied = positions_ / kMostTied;
    std::uint64_t tied = 0;
    const auto later_symbols_less = [&](std::int32_t a, std::int32_t b) {
      for (std::uint32_t d = runs_.codes_.code_symbols; d < depth_; ++d) {
        const Rank x = text[static_cast<std::uint64_t>(a) + d];
        const Rank y = text[static_cast<std::uint64_t>(b) + d];
        if (x != y) {
          return x < y;
        }
      }
      return false;
    };
    for (std::uint64_t begin = 0; begin < positions_;) {
      std::uint64_t end = begin + 1;
      while (end < positions_ && runs_.shared_[end] == runs_.codes_.code_symbols) {
        ++end;
      }
      if (end - begin > 1) {
        tied += end - begin;
        if (tied > most_tied || end - begin > kMostInOneTie) {
          return false;
        }
        poll_interruption(end - begin);
        std::sort(runs_.order_.begin() + static_cast<std::ptrdiff_t>(begin),
                  runs_.order_.begin() + static_cast<std::ptrdiff_t>(end), later_symbols_less);
        for (std::uint64_t k = begin + 1; k < end; ++k) {
          runs_.shared_[k] = static_cast<std::uint16_t>(
              shared_length(text, runs_.order_[k - 1], runs_.order_[k]));
        }
      }
      begin = end;
    }
    return true;
  }

  std::uint32_t shared_length(const PageVector<Rank>& text, std::int32_t a, std::int32_t b) const {
    std::uint32_t shared = 0;
    while (shared < depth_ && text[static_cast<std::uint64_t>(a) + shared] ==
                                  text[static_cast<std::uint64_t>(b) + shared]) {
      ++shared;
    }
    return shared;
  }

  // Any depth: the suffix array of the text orders every context, and the lengths shared by
  // neighbours in it (Kasai's pass in text order, stopped at the storage depth, written over the
  // array of each suffix's predecessor) give those of the counted ones. The counted contexts
  // then take the suffix array's place.
  void sort_by_suffixes(const PageVector<Rank>& text) {
    const std::uint64_t size = text.size();
    PageVector<std::int32_t> suffixes(size);
    suffix_array<Rank>(std::span<const Rank>(text.data(), size), runs_.rank_count(), suffixes);
    {
      // shared_before[i]: first the suffix before suffix i in sorted order (-1 for none), then
      // the symbols the two share.
      PageVector<std::int32_t> shared_before(size);
      shared_before[static_cast<std::uint64_t>(suffixes[0])] = -1;
      for (std::uint64_t k = 1; k < size;) {
        for (const std::uint64_t stop = poll_chunk_up(k, size, 2); k < stop; ++k) {
          shared_before[static_cast<std::uint64_t>(suffixes[k])] = suffixes[k - 1];
        }
      }
      std::uint64_t common = 0;
      for (std::uint64_t i = 0; i < size;) {
        for (const std::uint64_t stop = poll_chunk_up(i, size, 2); i < stop; ++i) {
          const std::int32_t before = shared_before[i];
          if (before < 0) {
            shared_before[i] = 0;
            common = 0;
            continue;
          }
          const auto j = static_cast<std::uint64_t>(before);
          while (common < depth_ && i + common < size && j + common < size &&
                 text[i + common] == text[j + common]) {
            ++common;
          }
          shared_before[i] = static_cast<std::int32_t>(common);
          // The next suffix shares at least one symbol fewer with its neighbour.
          common = common > 0 ? common - 1 : 0;
        }
      }
      runs_.shared_.reserve(positions_);
      std::uint64_t kept = 0;
      std::int32_t least = static_cast<std::int32_t>(depth_);  // since the last counted context
      for (std::uint64_t k = 0; k < size;) {
        for (const std::uint64_t stop = poll_chunk_up(k, size, 2); k < stop; ++k) {
          const std::int32_t context = suffixes[k];
          least = std::min(least, shared_before[static_cast<std::uint64_t>(context)]);
          if (is_counted(runs_.codes_, static_cast<std::uint64_t>(context))) {
            runs_.shared_.push_back(static_cast<std::uint16_t>(kept == 0 ? 0 : least));
            suffixes[kept++] = context;
            least = static_cast<std::int32_t>(depth_);
          }
        }
      }
    }
    suffixes.resize(positions_);
    suffixes.shrink_to_fit();
    runs_.order_ = std::move(suffixes);
  }

  // The bucket pass's leading bits: about 2^kBucketBitsBelowCount contexts a bucket, and
  // between 2^kLeastBucketBits and 2^kMostBucketBits buckets.
  static constexpr unsigned kBucketBitsBelowCount = 12;
  static constexpr unsigned kLeastBucketBits = 8;
  static constexpr unsigned kMostBucketBits = 16;
  // Contexts scattered at once: about a quarter of them (2 or 4 bytes a position on top of the
  // order and shared lengths), or all of them when they are few.
  static constexpr std::uint64_t kGroups = 4;
  static constexpr std::uint64_t kLeastGroup = std::uint64_t{1} << 16;
  // Contexts sorted again as they are read: their codes alone are sorted in this many groups
  // for the shared lengths (at most 2 bytes a position), then the contexts in smaller groups
  // each time the walk reads them (24 bytes a context of the group: 3 bytes a position). Each
  // group costs a pass over the text.
  static constexpr std::uint64_t kGroupsOfCodes = 4;
  static constexpr std::uint64_t kGroupsSortedAgain = 8;
  static constexpr std::uint64_t kMostTied = 8;
  static constexpr std::uint64_t kMostInOneTie = std::uint64_t{1} << 16;

  ContextRuns& runs_;
  std::uint64_t conditioning_;
  std::uint32_t depth_;
  std::uint64_t positions_ = 0;
};

bool ContextRuns::fits_in_text(const PackedRows& rows) {
  std::uint64_t symbols = 0;
  for (std::size_t r = 0; r < rows.row_sizes().size(); ++r) {
    symbols += rows.row_sizes()[r];
    if (symbols > kMaxSuffixArrayText) {
      return false;
    }
  }
  return true;
}

bool ContextRuns::sorts_in_groups(std::uint64_t alphabet_size, std::uint64_t storage_depth) {
  return storage_depth >= 1 && storage_depth <= 64 / rank_bits(alphabet_size);
}

void ContextRuns::sort_group(std::size_t group, GroupScratch& scratch) const {
  const std::uint64_t offset = codes_.bucket_start[codes_.group_start[group]];
  scratch.order.resize(codes_.bucket_start[codes_.group_start[group + 1]] - offset);
  scratch.coded.resize(std::max(scratch.coded.size(), scratch.order.size()));
  visit_text([&](const auto& text) {
    sort_group_codes(codes_, text, group, scratch.coded, scratch.buffer,
                     [&](std::uint64_t k, std::int64_t context, std::uint64_t /*code*/) {
                       scratch.order[k - offset] = context;
                     });
  });
}

MessageOr<ContextRuns> ContextRuns::sort(PackedRows&& rows, std::uint64_t conditioning_depth,
                                         std::uint64_t storage_depth, std::uint64_t max_nodes,
                                         bool in_groups) {
  ensure(storage_depth <= conditioning_depth && storage_depth <= kMaxDepth,
         "context depth outside the trie's range");
  ensure(
      in_groups ? sorts_in_groups(rows.alphabet_size(), storage_depth) : fits_in_text(rows),
      in_groups ? "contexts longer than one code, sorted in groups" : "rows too long for one text");
  ContextRuns runs;
  runs.alphabet_size_ = rows.alphabet_size();
  runs.depth_ = static_cast<std::uint32_t>(storage_depth);
  runs.in_groups_ = in_groups;
  const auto depth = static_cast<std::uint32_t>(storage_depth);
  // The text's ranks take the rows' width: ranks are never wider than the symbols they replace.
  rows.visit([&](const auto& views) {
    using Symbol = typename std::decay_t<decltype(views)>::value_type::symbol_type;
    ContextSorter<Symbol> sorter(runs, conditioning_depth, depth);
    runs.symbol_of_ = rows.observed_symbols();
    sorter.write_text(std::span<const RowView<Symbol>>(views), runs.symbol_of_);
    rows.release();  // the views are not read again
    sorter.sort_contexts();
  });
  if (runs.literal_nodes_ > max_nodes) {
    return fail_message(kNodeLimitMessage);
  }
  return runs;
}

}  // namespace tesk
