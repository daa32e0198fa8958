// Interruption: the host's check is asked once enough work has passed, stops the computation
// only while its scope lasts, and long sorts still give it a chance.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "common/interruptible_sort.hpp"
#include "common/interruption.hpp"

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

}  // namespace
}  // namespace tesk
