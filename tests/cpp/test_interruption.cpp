// Interruption: the host's check is asked once enough work has passed, stops the computation
// only while its scope lasts, and long sorts still give it a chance.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "common/interruptible_sort.hpp"
#include "common/interruption.hpp"
#include "selection/peres_shield.hpp"
#include "selection/run_scorer.hpp"
#include "selection/run_selection.hpp"
#include "selection/score_rules.hpp"
#include "selection/select_tree.hpp"
#include "test_trie_support.hpp"
#include "trie/build/build.hpp"
#include "trie/build/run_walk.hpp"
#include "trie/build/suffix_array.hpp"

namespace tesk {
namespace {

struct Asked {
  int times = 0;
  bool stop = false;
};

bool ask(void* context) {
  auto* asked = static_cast<Asked*>(context);
  ++asked->times;
  return asked->stop;
}

TEST(Interruption, TheInnermostScopeDecidesUntilItEnds) {
  Asked outer{0, true};
  Asked inner{0, false};
  const InterruptScope stop_outer(ask, &outer);
  {
    const InterruptScope go_on(ask, &inner);
    poll_interruption(std::uint64_t{1} << 40);
    EXPECT_EQ(inner.times, 1);
    poll_interruption(1);  // the budget was refilled: not asked again
    EXPECT_EQ(inner.times, 1);
  }
  EXPECT_THROW(poll_interruption(std::uint64_t{1} << 40), Interrupted);
  EXPECT_EQ(outer.times, 1);
}

TEST(Interruption, LongSortsAreSortedAndAsk) {
  std::mt19937_64 rng(5);
  std::vector<std::uint64_t> values(300'000);
  for (std::uint64_t& value : values) {
    value = rng() % 1000;
  }
  std::vector<std::uint64_t> expected = values;
  std::sort(expected.begin(), expected.end());
  Asked asked;
  const InterruptScope scope(ask, &asked);
  interruptible_sort(values.begin(), values.end(), std::less<>());
  EXPECT_EQ(values, expected);
  EXPECT_GT(asked.times, 0);
}

// Runs `phase` with a stop already pending: its first poll must end it. Each phase gets input
// longer than one polling chunk, so a phase that never polls runs to its end and fails here.
template <class Phase>
void expect_stops_at_once(const char* name, Phase&& phase) {
  Asked asked{0, true};
  const InterruptScope stop(ask, &asked);
  detail::state().budget = 0;
  EXPECT_THROW(phase(), Interrupted) << name;
  EXPECT_EQ(asked.times, 1) << name;
}

TEST(Interruption, APendingStopEndsEveryPhaseAtItsFirstPoll) {
  std::mt19937_64 rng(9);
  SymbolSequence row(200'000);
  for (std::uint64_t& s : row) {
    s = rng() % 4;
  }
  const SymbolRows rows = {row};
  const std::vector<std::uint8_t> text(row.begin(), row.end());
  std::vector<std::int32_t> suffixes(text.size());
  expect_stops_at_once("suffix array", [&] { suffix_array<std::uint8_t>(text, 4, suffixes); });
  for (const BuildPath path : {BuildPath::dense_codes, BuildPath::depth_by_depth,
                               BuildPath::context_runs, BuildPath::context_runs_in_groups}) {
    expect_stops_at_once("counting", [&] {
      (void)count_contexts(trie_test::packed(rows, 4), 8, 8, true, {}, path);
    });
  }
  auto counted =
      count_contexts(trie_test::packed(rows, 4), 20, 20, true, {}, BuildPath::context_runs);
  ASSERT_TRUE(counted.has_value());
  const ContextRuns& runs = std::get<ContextRuns>(counted.value());
  const BctRule rule(4, 20, 0.5);
  RunScorer<BctRule> scorer(rule, 20);
  expect_stops_at_once("walk over sorted contexts", [&] { (void)walk_runs(runs, scorer); });
  auto in_groups = count_contexts(trie_test::packed(rows, 4), 20, 20, true, {},
                                  BuildPath::context_runs_in_groups);
  ASSERT_TRUE(in_groups.has_value());
  expect_stops_at_once("walk over contexts sorted in groups",
                       [&] { (void)walk_runs(std::get<ContextRuns>(in_groups.value()), scorer); });
  const SelectionSettings bct{SelectionMethod::bct, 0.5, 1.0};
  expect_stops_at_once("selection over runs", [&] { (void)select_over_runs(runs, bct); });
  auto full = trie_test::full_trie(rows, 4, 8, 8);
  ASSERT_TRUE(full.has_value());
  expect_stops_at_once("selection", [&] {
    CountTrie trie = *full;
    (void)select_tree(trie, bct);
  });
  expect_stops_at_once("peres_shield", [&] { (void)peres_shield_select(*full); });
  std::vector<std::uint8_t> every(full->node_count(), 1);
  expect_stops_at_once("compaction", [&] { (void)CountTrie::compact(*full, every, every); });
}

}  // namespace
}  // namespace tesk
