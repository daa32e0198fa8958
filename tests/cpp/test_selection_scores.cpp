// The bct and bic scores on hand-checkable tries, and the ln_gamma they rest on.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "selection/bct.hpp"
#include "selection/bic.hpp"
#include "selection/ln_gamma.hpp"
#include "selection/select_tree.hpp"
#include "test_selection_support.hpp"
#include "test_trie_support.hpp"

namespace tesk {
namespace {

CountTrie make_trie(const SymbolRows& rows, std::uint64_t alphabet_size,
                    std::uint64_t conditioning_depth, std::uint64_t storage_depth) {
  auto trie = trie_test::full_trie(rows, alphabet_size, conditioning_depth, storage_depth);
  EXPECT_TRUE(trie.has_value());
  return std::move(trie).value();
}

using Flags = std::vector<std::uint8_t>;
const SymbolRows kAlternating = {{0, 1, 0, 1, 0, 1}};  // root {0: 2, 1: 3}, [0] {1: 3}, [1] {0: 2}

TEST(LnGamma, LanczosValuesAndReflection) {
  EXPECT_NEAR(ln_gamma(1.0), 0.0, 1e-15);
  EXPECT_NEAR(ln_gamma(2.0), 0.0, 1e-15);
  EXPECT_NEAR(ln_gamma(10.0), std::log(362880.0), 1e-12);
  // Exactly the constant bct subtracts, so an unseen symbol adds exactly +0.0.
  EXPECT_EQ(ln_gamma(0.5), 0.5723649429246995);
  EXPECT_FALSE(std::signbit(ln_gamma(0.5) + (-0.5723649429246995)));
  EXPECT_EQ(ln_gamma(0.5) + (-0.5723649429246995), 0.0);

  for (double x : {0.25, 0.1, -1.5}) {
    EXPECT_NEAR(ln_gamma(x), std::lgamma(x), 1e-12) << x;
    EXPECT_EQ(ln_gamma(x),
              (1.1447298858494002 - std::log(std::sin(3.141592653589793 * x))) - ln_gamma(1 - x));
  }
}

TEST(Bic, WorkedExample) {
  CountTrie trie = make_trie(kAlternating, 2, 1, 1);
  const BicScores scores = bic_scores(trie, 1.0);
  EXPECT_EQ(scores.leaf_penalty, 0.8047189562170501);
  EXPECT_EQ(scores.score[1], -0.8047189562170501);
  EXPECT_EQ(scores.score[2], -0.8047189562170501);
  EXPECT_EQ(scores.score[0], -1.6094379124341003);  // the split value won
  EXPECT_EQ(scores.plan.node_split, (Flags{1, 0, 0}));
  EXPECT_EQ(scores.plan.depth_split, (Flags{0, 0}));

  // The same root as a leaf at storage depth 0: LL - w.
  const BicScores root_only = bic_scores(make_trie(kAlternating, 2, 1, 0), 1.0);
  EXPECT_EQ(root_only.score[0], -4.169777291263332);
  EXPECT_NEAR(root_only.score[0] + root_only.leaf_penalty, -3.365058335046282, 1e-15);

  auto tree = select_tree(trie, SelectionSettings{.method = SelectionMethod::bic});
  ASSERT_TRUE(tree.has_value());
  EXPECT_EQ(tree->active, (Flags{1, 1, 1}));
  EXPECT_EQ(tree->terminal, (Flags{0, 1, 1}));
}

TEST(Bic, TiesKeepLeaves) {
  // n = 1: w = 0, every log-likelihood is 0, the split value equals the leaf value.
  const BicScores single = bic_scores(make_trie({{0, 1, 1, 0}}, 2, 3, 3), 1.0);
  EXPECT_EQ(single.leaf_penalty, 0.0);
  EXPECT_EQ(single.plan.node_split, Flags(4, 0));

  // Children with the parent's own proportions gain nothing: [0] and [1] both see {0: 1, 1: 1}.
  const BicScores same = bic_scores(make_trie({{0, 0, 1, 1, 0}}, 2, 1, 1), 1.0);
  EXPECT_EQ(same.plan.node_split[0], 0);
}

TEST(Bct, WorkedExample) {
  CountTrie trie = make_trie(kAlternating, 2, 1, 1);
  const BctScores scores = bct_scores(trie, 0.5);
  EXPECT_EQ(scores.unseen_log_pm, (std::vector<double>{std::log(0.5), 0.0}));
  EXPECT_EQ(scores.plan.depth_split, (Flags{0, 0}));
  EXPECT_NEAR(scores.log_pm[2], std::log(3.0 / 8.0), 1e-14);
  EXPECT_NEAR(scores.log_pm[1], std::log(5.0 / 16.0), 1e-14);
  // Split value: log_split, then the children in list order (node 2 first), nothing missing.
  EXPECT_EQ(scores.log_pm[0], (std::log1p(-0.5) + scores.log_pm[2]) + scores.log_pm[1]);
  EXPECT_NEAR(scores.log_pm[0], -2.8371272434, 1e-10);
  EXPECT_EQ(scores.plan.node_split, (Flags{1, 0, 0}));

  const BctScores root_only = bct_scores(make_trie(kAlternating, 2, 1, 0), 0.5);
  EXPECT_NEAR(root_only.log_pm[0], std::log(3.0 / 256.0), 1e-14);
}

TEST(Bct, CountFreeSubtreesStayLeavesForValidBeta) {
  const CountTrie trie = make_trie({{0, 2, 1, 0, 0, 2, 1, 1, 2, 0}}, 3, 5, 5);
  for (double beta : {0.5, 0.6, 0.75, 0.9, 0.999999}) {
    const BctScores scores = bct_scores(trie, beta);
    EXPECT_EQ(scores.plan.depth_split, Flags(6, 0)) << beta;
    EXPECT_EQ(scores.unseen_log_pm[5], 0.0);
    for (int d = 0; d < 5; ++d) {
      EXPECT_EQ(scores.unseen_log_pm[d], std::log(beta)) << beta << " depth " << d;
    }
  }
  // Below 0.5 (never admitted by validation) a count-free node near the storage depth splits;
  // higher up the charge for three unfolded subtrees outweighs it again.
  const BctScores low = bct_scores(trie, 0.1);
  EXPECT_EQ(low.plan.depth_split, (Flags{0, 0, 1, 1, 1, 0}));
}

TEST(Bct, MissingChildrenAreCharged) {
  // Alphabet 3, contexts end in 0 or 2 only: the root's split value pays for symbol 1 at depth
  // 1 (a count-free leaf, log_leaf) and its depth-1 children pay unseen_log_pm[2] = 0.
  const CountTrie trie = make_trie({{0, 2, 0, 2, 0, 2, 0, 2, 0, 2, 0, 2, 0, 2, 0, 2}}, 3, 2, 2);
  const double beta = 0.75;
  const BctScores scores = bct_scores(trie, beta);
  ASSERT_EQ(scores.plan.node_split[0], 1);
  const std::vector<ChildLink> children = trie_test::children(trie, 0);
  ASSERT_EQ(children.size(), 2u);
  const double expected = ((std::log1p(-beta) + scores.log_pm[children[0].child]) +
                           scores.log_pm[children[1].child]) +
                          1.0 * std::log(beta);
  EXPECT_EQ(scores.log_pm[0], expected);
}

TEST(Selectors, RefuseTriesWhoseChildListsAreNotNewestFirst) {
  CountTrie trie = make_trie(kAlternating, 2, 1, 1);
  CompactedTrie compacted = CountTrie::compact(std::move(trie), Flags{1, 1, 1}, Flags{});
  EXPECT_THROW(bct_scores(compacted.trie, 0.5), InternalFailure);
  EXPECT_THROW(bic_scores(compacted.trie, 1.0), InternalFailure);
}

}  // namespace
}  // namespace tesk
