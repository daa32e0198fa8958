#include "model/fit.hpp"

#include <cmath>
#include <limits>
#include <utility>
#include <variant>

#include "common/internal_failure.hpp"
#include "common/interruption.hpp"
#include "selection/peres_shield.hpp"
#include "selection/run_selection.hpp"
#include "selection/select_tree.hpp"
#include "trie/build/build.hpp"
#include "trie/packed_rows.hpp"

namespace tesk {

std::uint64_t working_depth(SelectionMethod method, std::uint64_t max_depth, std::uint64_t n) {
  if (method != SelectionMethod::peres_shield) {
    return max_depth;
  }
  const std::uint64_t capped = peres_shield_depth(n);
  return capped < max_depth ? capped : max_depth;
}

namespace {

// The selectors that work on sorted contexts with their single-child runs folded, and on dense
// tables; every selector works on the full trie. A selector added to the enumeration must be placed
// here (the switch has no default, so the compiler asks).
bool selects_over_runs(SelectionMethod method) {
  switch (method) {
    case SelectionMethod::bct:
    case SelectionMethod::bic:
      return true;
    case SelectionMethod::peres_shield:
      return false;
  }
  return false;
}

// Selects and compacts a full trie.
MessageOr<CompactedTrie> select_and_compact(CountTrie trie, const SelectionSettings& settings) {
  auto selected = select_tree(trie, settings);
  if (!selected) {
    return fail_message(std::move(selected).error());
  }
  SelectedTree tree = std::move(selected).value();
  return CountTrie::compact(std::move(trie), tree.active, tree.terminal);
}

MessageOr<CompactedTrie> count_and_select(const ModelConfig& config, PackedRows&& rows,
                                          std::uint64_t depth) {
  // Counting frees the rows once they are counted, and at the latest they go here, before
  // selection allocates.
  auto counted = [&] {
    PackedRows packed = std::move(rows);
    return count_contexts(std::move(packed), config.max_depth, depth,
                          selects_over_runs(config.method));
  }();
  if (!counted) {
    return fail_message(std::move(counted).error());
  }
  if (ContextRuns* runs = std::get_if<ContextRuns>(&counted.value())) {
    ensure(selects_over_runs(config.method), "sorted contexts counted for a full-trie selector");
    return select_over_runs(*runs, config.selection());
  }
  if (const ContextTables* tables = std::get_if<ContextTables>(&counted.value())) {
    ensure(selects_over_runs(config.method), "dense tables kept for a full-trie selector");
    return select_over_tables(*tables, config.selection());
  }
  return select_and_compact(std::get<CountTrie>(std::move(counted).value()), config.selection());
}

}  // namespace

Result<FittedModel> fit_model(const ModelConfig& config, PackedRows&& rows) {
  const std::uint64_t n = counted_positions(rows.row_sizes(), config.max_depth);
  const std::uint64_t depth = working_depth(config.method, config.max_depth, n);
  try {
    MessageOr<CompactedTrie> compacted = count_and_select(config, std::move(rows), depth);
    if (!compacted) {
      return fail(ErrorKind::value_error, std::move(compacted).error());
    }
    return FittedModel{std::move(compacted->trie), std::move(compacted->terminal)};
  } catch (const Interrupted&) {
    return fail(ErrorKind::interrupted, "");
  }
}

}  // namespace tesk
