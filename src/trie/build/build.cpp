// Counting the rows: the limits and the bad symbol's precedence shared by every build, and the
// choice of builder.

#include "trie/build/build.hpp"

#include <functional>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/internal_failure.hpp"
#include "common/symbol_message.hpp"
#include "trie/build/code_build.hpp"
#include "trie/count_trie.hpp"
#include "trie/build/level_build.hpp"
#include "trie/build/node_count_bound.hpp"

namespace tesk {

namespace {

std::string symbol_error(std::uint64_t symbol, std::size_t row, std::size_t position,
                         std::uint64_t alphabet_size) {
  return symbol_outside_message(
      symbol, "data[" + std::to_string(row) + "][" + std::to_string(position) + "]",
      alphabet_size);
}

// The chooser's cost rule for bct and bic: dense tables while their deepest table has at most
// this many cells per counted position, sorted contexts beyond. Counting in the tables costs one
// memory touch a position and walking them one visit a cell, while sorted contexts cost what the
// data's branching costs. Measured with bench/builder_costs.cpp (i.i.d. and Markov rows of 10^6
// to 5*10^7 symbols over 2, 4, 16, 40 and 256 symbols), the two cost the same at two to three
// cells a position whatever the alphabet, and the path this rule picks took at most 1.11 times
// the other's time in every case.
constexpr std::uint64_t kTableCellsPerPosition = 2;

// Whether counting this many positions could need more nodes or count entries than allowed:
// each position adds at most storage_depth nodes and storage_depth + 1 entries.
bool limits_reachable(std::uint64_t positions, std::uint64_t storage_depth, TrieLimits limits) {
  const bool nodes = storage_depth != 0 && positions > (limits.max_nodes - 1) / storage_depth;
  const bool entries = positions > limits.max_count_entries / (storage_depth + 1);
  return nodes || entries;
}

// Counts `rows` into a full trie with a builder of the full trie.
template <class Symbol>
MessageOr<CountTrie> build_full(std::span<const RowView<Symbol>> rows, BuildPath path,
                                std::uint64_t alphabet_size, std::uint64_t conditioning_depth,
                                std::uint64_t storage_depth, TrieLimits limits,
                                const std::function<void()>& release_rows) {
  if (path == BuildPath::dense_codes) {
    return detail::build_by_codes<Symbol>(rows, alphabet_size, conditioning_depth,
                                               storage_depth, limits, release_rows);
  }
  return detail::build_by_levels<Symbol>(rows, alphabet_size, conditioning_depth,
                                              storage_depth, limits);
}

// Symbols that never occur change nothing in the trie but the size of every table keyed by
// symbol: counting depth by depth runs over the ranks of the symbols that do occur, and the
// symbols are put back after. Symbols of 4 bytes are left as they are: finding those that occur
// takes a sort, which costs more than their ranks would save.
MessageOr<CountTrie> build_full(PackedRows& rows, BuildPath path, std::uint64_t conditioning_depth,
                                std::uint64_t storage_depth, TrieLimits limits) {
  const std::uint64_t alphabet_size = rows.alphabet_size();
  const auto build = [&] {
    return rows.visit([&](const auto& views) {
      using Symbol = typename std::decay_t<decltype(views)>::value_type::symbol_type;
      return build_full<Symbol>(std::span<const RowView<Symbol>>(views), path,
                                rows.alphabet_size(), conditioning_depth, storage_depth, limits,
                                [&rows] { rows.release(); });
    });
  };
  if (path != BuildPath::depth_by_depth || rows.symbol_bytes() > 2) {
    return build();
  }
  const std::vector<std::uint32_t> observed = rows.observed_symbols();
  if (observed.empty() || observed.size() == alphabet_size) {
    return build();
  }
  rows.relabel_to_ranks(observed);
  MessageOr<CountTrie> built = build();
  if (built) {
    built->relabel_symbols(observed, alphabet_size);
  }
  return built;
}

// Counts `rows` into dense tables for selection to walk.
MessageOr<ContextTables> build_tables(PackedRows& rows, std::uint64_t conditioning_depth,
                                      std::uint64_t storage_depth, TrieLimits limits) {
  return rows.visit([&](const auto& views) {
    using Symbol = typename std::decay_t<decltype(views)>::value_type::symbol_type;
    return detail::tables_by_codes<Symbol>(std::span<const RowView<Symbol>>(views),
                                           rows.alphabet_size(), conditioning_depth, storage_depth,
                                           limits, [&rows] { rows.release(); });
  });
}

void check_arguments(std::uint64_t alphabet_size, TrieLimits limits) {
  ensure(alphabet_size <= kMaxAlphabetSize, "alphabet_size above 32 bits");
  ensure(limits.max_nodes >= 1 && limits.max_nodes <= kMaxNodeCount &&
             limits.max_count_entries <= kMaxCountEntries,
         "build limits outside the index space");
}

}  // namespace

// Dense tables where they apply and either nothing else does or the cost rule says so; depth by
// depth for the full trie where dense tables do not apply; sorted contexts otherwise, whole while
// the text fits 32-bit indices and in groups past them, where contexts fit one code.
BuildPath choose_build_path(const PackedRows& rows, std::uint64_t conditioning_depth,
                            std::uint64_t storage_depth, bool runs_wanted) {
  const std::uint64_t positions = rows.kept_positions(conditioning_depth);
  const std::uint64_t alphabet_size = rows.alphabet_size();
  const bool codes = detail::code_build_applies(alphabet_size, storage_depth, positions);
  const bool whole = ContextRuns::fits_in_text(rows);
  if (!runs_wanted || storage_depth == 0 ||
      (!whole && !ContextRuns::sorts_in_groups(alphabet_size, storage_depth))) {
    return codes ? BuildPath::dense_codes : BuildPath::depth_by_depth;
  }
  const bool tables_small = detail::deepest_table_within(alphabet_size, storage_depth,
                                                         positions * kTableCellsPerPosition);
  if (codes && tables_small) {
    return BuildPath::dense_codes;
  }
  return whole ? BuildPath::context_runs : BuildPath::context_runs_in_groups;
}

MessageOr<CountedContexts> count_contexts(PackedRows&& rows, std::uint64_t conditioning_depth,
                                          std::uint64_t storage_depth, bool runs_wanted,
                                          TrieLimits limits, std::optional<BuildPath> forced_path) {
  if (storage_depth > conditioning_depth) {
    return fail_message(kStorageDepthMessage);
  }
  const std::uint64_t alphabet_size = rows.alphabet_size();
  check_arguments(alphabet_size, limits);
  const BuildPath path =
      forced_path.value_or(choose_build_path(rows, conditioning_depth, storage_depth, runs_wanted));
  if (path != BuildPath::dense_codes) {
    // These builders take each symbol as they read it; the dense one checks each chunk itself.
    rows.pack_rows_in_place();
  }
  std::optional<std::string> symbol_failure;
  if (const std::optional<BadSymbol>& bad = rows.first_bad()) {
    symbol_failure = symbol_error(bad->value, bad->row, bad->position, alphabet_size);
  }
  const std::uint64_t positions = rows.kept_positions(conditioning_depth);
  if (positions == 0) {
    if (symbol_failure) {
      return fail_message(std::move(*symbol_failure));
    }
    return CountedContexts(CountTrie(alphabet_size, storage_depth));
  }
  if (storage_depth > kMaxDepth) {
    // The first counted position creates one node per depth and fails on the first node below
    // the deepest allowed depth, unless the node limit comes first.
    return fail_message(limits.max_nodes <= std::uint64_t{kMaxDepth} + 1
                            ? kNodeLimitMessage
                            : kDepthOverflowMessage);
  }
  // The kept rows are all counted before a bad symbol is reported, so a trie too large for the
  // limit fails on it first, whichever builder would have found out.
  if (bound_node_count(rows, conditioning_depth, storage_depth, limits.max_nodes) ==
      NodeCountBound::over_limit) {
    return fail_message(kNodeLimitMessage);
  }
  ensure(path != BuildPath::dense_codes ||
             detail::code_build_applies(alphabet_size, storage_depth, positions),
         "counting by codes outside its range");
  // Sorted contexts store no count entries while counting.
  const bool folded = path == BuildPath::context_runs || path == BuildPath::context_runs_in_groups;
  if (symbol_failure &&
      !limits_reachable(positions, storage_depth,
                        folded ? TrieLimits{limits.max_nodes, kMaxCountEntries} : limits)) {
    return fail_message(std::move(*symbol_failure));
  }
  MessageOr<CountedContexts> counted = [&]() -> MessageOr<CountedContexts> {
    if (folded) {
      auto sorted = ContextRuns::sort(std::move(rows), conditioning_depth, storage_depth,
                                      limits.max_nodes, path == BuildPath::context_runs_in_groups);
      if (!sorted) {
        return fail_message(std::move(sorted).error());
      }
      return CountedContexts(std::move(sorted).value());
    }
    if (path == BuildPath::dense_codes && runs_wanted && storage_depth > 0) {
      auto tables = build_tables(rows, conditioning_depth, storage_depth, limits);
      if (!tables) {
        return fail_message(std::move(tables).error());
      }
      return CountedContexts(std::move(tables).value());
    }
    auto built = build_full(rows, path, conditioning_depth, storage_depth, limits);
    if (!built) {
      return fail_message(std::move(built).error());
    }
    return CountedContexts(std::move(built).value());
  }();
  if (!counted || !symbol_failure) {
    return counted;
  }
  return fail_message(std::move(*symbol_failure));
}

}  // namespace tesk
