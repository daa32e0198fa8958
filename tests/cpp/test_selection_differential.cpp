// The selectors against a literal evaluation of their algorithms: every symbol of the alphabet
// looked up in the count list, every child list walked and summed in list order, every child of
// a split node asked for with get_or_create_child. Results must agree bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <optional>
#include <random>
#include <vector>

#include "selection/bct.hpp"
#include "selection/bic.hpp"
#include "selection/ln_gamma.hpp"
#include "selection/peres_shield.hpp"
#include "selection/run_scorer.hpp"
#include "selection/run_selection.hpp"
#include "selection/select_tree.hpp"
#include "test_selection_support.hpp"
#include "test_trie_support.hpp"
#include "trie/build/code_build.hpp"

namespace tesk {
namespace {

struct LiteralScores {
  SplitPlan plan;
  std::vector<double> values;
};

LiteralScores literal_bic(const CountTrie& trie, double penalty) {
  const std::uint64_t a = trie.alphabet_size();
  const std::uint64_t d = trie.storage_depth();
  const double w = std::log(static_cast<double>(std::max<std::uint64_t>(trie.sample_size(), 1))) *
                   (static_cast<double>(a - 1) * (penalty * 0.5));
  LiteralScores out{SplitPlan{std::vector<std::uint8_t>(trie.node_count(), 0),
                              std::vector<std::uint8_t>(d + 1, 0)},
                    std::vector<double>(trie.node_count(), 0.0)};
  for (NodeId v = static_cast<NodeId>(trie.node_count()); v-- > 0;) {
    const double n = static_cast<double>(trie.node(v).total);
    double ll = 0.0;
    for (std::uint64_t k = 0; k < a && trie.node(v).total > 0; ++k) {
      const std::uint64_t c = trie_test::symbol_count(trie, v, k);
      if (c > 0) {
        ll += std::log(static_cast<double>(c) / n) * static_cast<double>(c);
      }
    }
    out.values[v] = ll - w;
    const std::vector<ChildLink> children = trie_test::children(trie, v);
    if (trie.node(v).depth == d || children.empty()) {
      continue;
    }
    double sum = 0.0;
    for (const ChildLink& link : children) {
      sum += out.values[link.child];
    }
    const double split = sum - static_cast<double>(a - children.size()) * w;
    if (split > out.values[v]) {
      out.values[v] = split;
      out.plan.node_split[v] = 1;
    }
  }
  return out;
}

LiteralScores literal_bct(const CountTrie& trie, double beta) {
  const std::uint64_t a = trie.alphabet_size();
  const std::uint64_t d = trie.storage_depth();
  const double log_leaf = std::log(beta);
  const double log_split = std::log1p(-beta);
  const double half_a = static_cast<double>(a) * 0.5;
  LiteralScores out{SplitPlan{std::vector<std::uint8_t>(trie.node_count(), 0),
                              std::vector<std::uint8_t>(d + 1, 0)},
                    std::vector<double>(trie.node_count(), 0.0)};
  std::vector<double> unseen(d + 1, 0.0);
  for (std::uint64_t depth = d; depth-- > 0;) {
    const double candidate = unseen[depth + 1] * static_cast<double>(a) + log_split;
    out.plan.depth_split[depth] = candidate > log_leaf ? 1 : 0;
    unseen[depth] = candidate > log_leaf ? candidate : log_leaf;
  }
  for (NodeId v = static_cast<NodeId>(trie.node_count()); v-- > 0;) {
    const TrieNode& node = trie.node(v);
    double log_kt = ln_gamma(half_a) - ln_gamma(static_cast<double>(node.total) + half_a);
    for (std::uint64_t k = 0; k < a; ++k) {
      log_kt += ln_gamma(static_cast<double>(trie_test::symbol_count(trie, v, k)) + 0.5) +
                -0.5723649429246995;
    }
    if (node.depth == d) {
      out.values[v] = log_kt;
      continue;
    }
    double split = log_split;
    std::uint64_t m = 0;
    for (const ChildLink& link : trie_test::children(trie, v)) {
      split += out.values[link.child];
      ++m;
    }
    split += static_cast<double>(a - m) * unseen[node.depth + 1];
    const double leaf = log_kt + log_leaf;
    out.values[v] = split > leaf ? split : leaf;
    out.plan.node_split[v] = split > leaf ? 1 : 0;
  }
  return out;
}

PeresShieldBounds literal_peres_shield_bounds(const CountTrie& trie) {
  const std::uint64_t n = trie.sample_size();
  const std::uint64_t cap =
      n < 3 ? 0
            : std::min(static_cast<std::uint64_t>(std::floor(std::log(std::log(double(n))))),
                       trie.storage_depth());
  return PeresShieldBounds{cap, std::pow(static_cast<double>(n), 0.75)};
}

// Every (node within the cap, its ancestor-or-self c, deviation of the node from c's parent).
struct Deviation {
  NodeId kept;
  double value;
};
std::vector<Deviation> literal_deviations(const CountTrie& trie, std::uint64_t cap) {
  std::vector<Deviation> out;
  for (NodeId u = 1; u < trie.node_count(); ++u) {
    if (trie.node(u).depth > cap) {
      continue;
    }
    for (NodeId c = u, b = trie.node(u).parent;; c = b, b = trie.node(b).parent) {
      double deviation = 0.0;
      for (std::uint64_t k = 0; k < trie.alphabet_size() && trie.node(b).total != 0; ++k) {
        const double value = std::fabs(static_cast<double>(trie_test::symbol_count(trie, u, k)) -
                                       (static_cast<double>(trie_test::symbol_count(trie, b, k)) *
                                        static_cast<double>(trie.node(u).total)) /
                                           static_cast<double>(trie.node(b).total));
        if (!std::isnan(value) && value > deviation) {
          deviation = value;
        }
      }
      out.push_back(Deviation{c, deviation});
      if (b == kRoot) {
        break;
      }
    }
  }
  return out;
}

std::vector<std::uint8_t> literal_peres_shield_keep(const CountTrie& trie,
                                                    const PeresShieldBounds& bounds) {
  std::vector<std::uint8_t> keep(trie.node_count(), 0);
  for (const Deviation& deviation : literal_deviations(trie, bounds.cap)) {
    if (deviation.value >= bounds.threshold) {
      keep[deviation.kept] = 1;
    }
  }
  return keep;
}

std::vector<std::uint8_t> literal_peres_shield_keep(const CountTrie& trie) {
  return literal_peres_shield_keep(trie, literal_peres_shield_bounds(trie));
}

// The selected tree from the kept flags, by its definition rather than by a walk: a node is
// active when it is the root or kept under an active parent, terminal when active with fewer
// kept children than symbols.
void expect_peres_shield_tree(const CountTrie& trie, const std::vector<std::uint8_t>& keep,
                              const SelectedTree& tree) {
  std::vector<std::uint8_t> active(trie.node_count(), 0);
  std::vector<std::uint64_t> kept_children(trie.node_count(), 0);
  active[kRoot] = 1;
  for (NodeId v = 1; v < trie.node_count(); ++v) {
    const NodeId parent = trie.node(v).parent;
    active[v] = keep[v] == 1 && active[parent] == 1 ? 1 : 0;
    kept_children[parent] += keep[v];
  }
  std::vector<std::uint8_t> terminal(trie.node_count(), 0);
  for (NodeId v = 0; v < trie.node_count(); ++v) {
    terminal[v] = active[v] == 1 && kept_children[v] < trie.alphabet_size() ? 1 : 0;
  }
  EXPECT_EQ(tree.active, active);
  EXPECT_EQ(tree.terminal, terminal);
}

SelectedTree literal_expand(CountTrie& trie, const SplitPlan& plan) {
  SelectedTree tree{std::vector<std::uint8_t>(trie.node_count(), 0),
                    std::vector<std::uint8_t>(trie.node_count(), 0)};
  std::vector<NodeId> stack{kRoot};
  while (!stack.empty()) {
    const NodeId v = stack.back();
    stack.pop_back();
    tree.active.resize(trie.node_count(), 0);
    tree.terminal.resize(trie.node_count(), 0);
    tree.active[v] = 1;
    const bool split = v < plan.node_split.size() ? plan.node_split[v] != 0
                                                  : plan.depth_split[trie.node(v).depth] != 0;
    if (!split) {
      tree.terminal[v] = 1;
      continue;
    }
    for (std::uint64_t s = 0; s < trie.alphabet_size(); ++s) {
      auto child = trie_test::get_or_create_child(trie, v, static_cast<std::uint32_t>(s));
      EXPECT_TRUE(child.has_value());
      tree.active.resize(trie.node_count(), 0);
      tree.terminal.resize(trie.node_count(), 0);
      stack.push_back(*child);
    }
  }
  return tree;
}

std::vector<std::uint64_t> bits(const std::vector<double>& values) {
  std::vector<std::uint64_t> out;
  for (double value : values) {
    out.push_back(std::bit_cast<std::uint64_t>(value));
  }
  return out;
}

void expect_same_growth(const CountTrie& fast, const CountTrie& literal) {
  ASSERT_EQ(fast.node_count(), literal.node_count());
  for (NodeId v = 0; v < fast.node_count(); ++v) {
    EXPECT_EQ(fast.node(v).parent, literal.node(v).parent);
    EXPECT_EQ(fast.node(v).symbol, literal.node(v).symbol);
    EXPECT_EQ(fast.node(v).first_child, literal.node(v).first_child);
  }
  ASSERT_EQ(fast.links().size(), literal.links().size());
  for (std::size_t i = 0; i < fast.links().size(); ++i) {
    EXPECT_EQ(fast.links()[i].child, literal.links()[i].child);
    EXPECT_EQ(fast.links()[i].next, literal.links()[i].next);
  }
}

void compare_expansions(const CountTrie& trie, const SplitPlan& plan) {
  CountTrie fast = trie;
  CountTrie literal = trie;
  auto tree = expand_split_plan(fast, plan, kMaxNodeCount);
  ASSERT_TRUE(tree.has_value());
  const SelectedTree expected = literal_expand(literal, plan);
  EXPECT_EQ(tree->active, expected.active);
  EXPECT_EQ(tree->terminal, expected.terminal);
  expect_same_growth(fast, literal);
}

// Rows from a source that leans on the last one or two symbols (for some rounds strongly, and
// only after even symbols), so that some contexts pay off and others do not; then a few
// count-free nodes grown as selection would.
CountTrie random_trie(std::mt19937_64& rng, std::uint64_t alphabet, std::uint64_t depth,
                      int round) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::uniform_int_distribution<std::uint64_t> any(0, alphabet - 1);
  const bool strong = round % 4 >= 2;
  const bool order_one = round % 2 == 1;
  const double strength = strong ? 0.8 + 0.2 * unit(rng) : unit(rng);
  const std::uint64_t salt = any(rng);
  const std::size_t longest_row = round % 4 == 0 ? 300 : 1500;
  SymbolRows rows(1 + rng() % 3);
  for (SymbolSequence& row : rows) {
    const std::size_t length = rng() % (longest_row + 1);
    for (std::size_t i = 0; i < length; ++i) {
      const std::uint64_t p1 = i > 0 ? row[i - 1] : 0;
      const std::uint64_t p2 = i > 1 && !order_one ? row[i - 2] : 0;
      const double draw = (strong && p1 % 2 == 1) ? 1.0 : unit(rng);
      row.push_back(draw < strength         ? (p1 * 3 + p2 * 5 + salt) % alphabet
                    : draw < strength + 0.1 ? rng() % 2
                                            : any(rng));
    }
  }
  auto built = trie_test::full_trie(rows, alphabet, depth, depth);
  EXPECT_TRUE(built.has_value());
  CountTrie trie = std::move(built).value();
  for (std::uint64_t grown = rng() % 4; grown > 0 && depth > 0; --grown) {
    const NodeId parent = static_cast<NodeId>(rng() % trie.node_count());
    if (trie.node(parent).depth < depth) {
      EXPECT_TRUE(
          trie_test::get_or_create_child(trie, parent, static_cast<std::uint32_t>(any(rng))));
    }
  }
  return trie;
}

TEST(SelectorsMatchLiteralEvaluation, RandomTries) {
  std::mt19937_64 rng(20261208);
  for (std::uint64_t alphabet : {2u, 3u, 4u, 7u, 300u}) {
    for (std::uint64_t depth = 0; depth <= 6; ++depth) {
      const int rounds = alphabet == 300 ? 2 : 8;
      for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE(testing::Message() << "alphabet " << alphabet << " depth " << depth
                                        << " round " << round);
        const CountTrie trie = random_trie(rng, alphabet, depth, round);

        const double penalty = round % 3 == 0 ? 1.0 : 0.25 + std::uniform_real_distribution<>(0, 3)(rng);
        const BicScores bic = bic_scores(trie, penalty);
        const LiteralScores literal_bic_scores = literal_bic(trie, penalty);
        EXPECT_EQ(bic.plan.node_split, literal_bic_scores.plan.node_split);
        EXPECT_EQ(bic.plan.depth_split, literal_bic_scores.plan.depth_split);
        EXPECT_EQ(bits(bic.score), bits(literal_bic_scores.values));
        compare_expansions(trie, bic.plan);

        std::vector<double> betas = {0.5, 1.0 - std::ldexp(1.0, -static_cast<int>(alphabet - 1)),
                                     std::uniform_real_distribution<>(0.5, 1.0)(rng)};
        if (alphabet <= 4 && depth <= 3) {
          betas.push_back(0.05 + 0.4 * std::uniform_real_distribution<>(0, 1)(rng));
        }
        for (double beta : betas) {
          SCOPED_TRACE(testing::Message() << "beta " << beta);
          const BctScores bct = bct_scores(trie, beta);
          const LiteralScores literal_bct_scores = literal_bct(trie, beta);
          EXPECT_EQ(bct.plan.node_split, literal_bct_scores.plan.node_split);
          EXPECT_EQ(bct.plan.depth_split, literal_bct_scores.plan.depth_split);
          EXPECT_EQ(bits(bct.log_pm), bits(literal_bct_scores.values));
          compare_expansions(trie, bct.plan);
        }

        const std::vector<std::uint8_t> keep = literal_peres_shield_keep(trie);
        EXPECT_EQ(peres_shield_keep(trie, peres_shield_bounds(trie)), keep);
        expect_peres_shield_tree(trie, keep, peres_shield_select(trie));
        // Thresholds at the nodes' own deviations: a deviation computed in another order of
        // operations lands an ulp off and flips the keep decision there.
        const PeresShieldBounds bounds = literal_peres_shield_bounds(trie);
        const std::vector<Deviation> deviations = literal_deviations(trie, bounds.cap);
        for (int tie = 0; tie < 4 && !deviations.empty(); ++tie) {
          const PeresShieldBounds at{bounds.cap, deviations[rng() % deviations.size()].value};
          EXPECT_EQ(peres_shield_keep(trie, at), literal_peres_shield_keep(trie, at))
              << "threshold " << at.threshold;
        }
      }
    }
  }
}

TEST(SelectorsMatchLiteralEvaluation, PeresShieldsKeepIgnoresTheAlphabetSize) {
  // Symbols never seen contribute nothing, so the same data over a far wider alphabet keeps the
  // same nodes; there the counts of a suffix are looked up by search, not in a dense row.
  std::mt19937_64 rng(7);
  long kept = 0;
  for (int round = 0; round < 6; ++round) {
    SymbolRows rows(2);
    for (SymbolSequence& row : rows) {
      for (int i = 0; i < 4000; ++i) {
        const std::uint64_t previous = row.empty() ? 0 : row.back();
        row.push_back(rng() % 5 == 0 ? rng() % 300 : (previous * 3 + round) % 4);
      }
    }
    const std::uint64_t depth = 1 + round % 3;
    auto narrow = trie_test::full_trie(rows, 300, depth, depth);
    auto wide = trie_test::full_trie(rows, 5000000, depth, depth);
    ASSERT_TRUE(narrow.has_value() && wide.has_value());
    const std::vector<std::uint8_t> keep = peres_shield_keep(*narrow, peres_shield_bounds(*narrow));
    EXPECT_EQ(keep, literal_peres_shield_keep(*narrow));
    EXPECT_EQ(peres_shield_keep(*wide, peres_shield_bounds(*wide)), keep);
    kept += std::count(keep.begin(), keep.end(), 1);
  }
  EXPECT_GT(kept, 6);  // the comparisons decided something
}

// The whole fit of bct or bic on the full trie: count position by position, select, compact;
// the node limit counts the full trie and the plan's count-free children.
MessageOr<CompactedTrie> literal_fit(const SymbolRows& rows, std::uint64_t alphabet,
                                     std::uint64_t depth, const SelectionSettings& config,
                                     std::uint64_t max_nodes) {
  auto built = trie_test::literal_build(rows, alphabet, depth, depth,
                                        TrieLimits{max_nodes, kMaxCountEntries});
  if (!built) {
    return fail_message(std::move(built).error());
  }
  CountTrie trie = std::move(built).value();
  const SplitPlan plan = config.method == SelectionMethod::bct
                             ? bct_split_plan(trie, config.beta)
                             : bic_split_plan(trie, config.penalty);
  auto tree = expand_split_plan(trie, plan, max_nodes);
  if (!tree) {
    return fail_message(std::move(tree).error());
  }
  return CountTrie::compact(std::move(trie), tree->active, tree->terminal);
}

// The same fit from the sorted contexts, runs of single-child nodes never written out; kept
// whole or, with context_runs_in_groups, sorted again a group at a time as the walk reads them.
MessageOr<CompactedTrie> fit_over_runs(const SymbolRows& rows, std::uint64_t alphabet,
                                       std::uint64_t depth, const SelectionSettings& config,
                                       std::uint64_t max_nodes,
                                       std::uint64_t max_entries = kMaxCountEntries,
                                       BuildPath path = BuildPath::context_runs) {
  auto counted = count_contexts(trie_test::packed(rows, alphabet), depth, depth, true,
                                TrieLimits{max_nodes, kMaxCountEntries}, path);
  if (!counted) {
    return fail_message(std::move(counted).error());
  }
  if (std::holds_alternative<CountTrie>(counted.value())) {
    // No position was counted: the root alone, as the full trie gives it.
    return literal_fit(rows, alphabet, depth, config, max_nodes);
  }
  return select_over_runs(std::get<ContextRuns>(counted.value()), config,
                          TrieLimits{max_nodes, max_entries});
}

// The same fit from the dense tables, each node its own run, where the tables apply.
std::optional<MessageOr<CompactedTrie>> fit_over_tables(const SymbolRows& rows,
                                                        std::uint64_t alphabet, std::uint64_t depth,
                                                        const SelectionSettings& config,
                                                        std::uint64_t max_nodes) {
  std::uint64_t positions = 0;
  for (const SymbolSequence& row : rows) {
    positions += row.size() > depth ? row.size() - depth : 0;
  }
  if (!detail::code_build_applies(alphabet, depth, positions)) {
    return std::nullopt;
  }
  auto counted = count_contexts(trie_test::packed(rows, alphabet), depth, depth, true,
                                TrieLimits{max_nodes, kMaxCountEntries}, BuildPath::dense_codes);
  if (!counted) {
    return fail_message(std::move(counted).error());
  }
  if (std::holds_alternative<CountTrie>(counted.value())) {
    return literal_fit(rows, alphabet, depth, config, max_nodes);  // nothing counted
  }
  return select_over_tables(std::get<ContextTables>(counted.value()), config,
                            TrieLimits{max_nodes, kMaxCountEntries});
}

// Rows whose contexts run deep before they part: i.i.d. tails, one block repeated with a late
// change, periodic rows with rare noise, and rows around the depth's length.
SymbolRows deep_rows(std::mt19937_64& rng, std::uint64_t alphabet, std::uint64_t depth,
                     int style) {
  std::uniform_int_distribution<std::uint64_t> any(0, alphabet - 1);
  const auto few = [&] { return rng() % std::min<std::uint64_t>(alphabet, 3); };
  const auto length = [&](std::uint64_t extra) { return depth + rng() % (extra + 1); };
  SymbolRows rows(1 + rng() % 3);
  for (SymbolSequence& row : rows) {
    if (style == 0) {  // i.i.d.
      row.resize(length(200));
      for (std::uint64_t& s : row) {
        s = rng() % 2 == 0 ? any(rng) : few();
      }
    } else if (style == 1) {  // a block, then the block again with a change near its end
      SymbolSequence block(depth + rng() % 60 + 2);
      for (std::uint64_t& s : block) {
        s = few();
      }
      row = block;
      block[block.size() - 1 - rng() % 3] = any(rng);
      row.insert(row.end(), block.begin(), block.end());
      row.push_back(few());
    } else if (style == 2) {  // periodic, with rare noise
      const std::size_t period = 1 + rng() % 7;
      row.resize(length(150));
      for (std::size_t i = 0; i < row.size(); ++i) {
        row[i] = i >= period && rng() % 40 != 0 ? row[i - period] : few();
      }
    } else {  // around the depth: many rows count nothing
      row.resize(depth > 2 ? depth - 2 + rng() % 5 : rng() % 5);
      for (std::uint64_t& s : row) {
        s = few();
      }
    }
  }
  if (style == 1 && rows.size() > 1) {
    rows[1] = rows[0];  // a second row equal to the first: every context seen twice
    rows[1].back() = any(rng);
  }
  return rows;
}

void expect_same_fit(const MessageOr<CompactedTrie>& expected,
                     const MessageOr<CompactedTrie>& actual) {
  ASSERT_EQ(expected.has_value(), actual.has_value())
      << (expected ? actual.error() : expected.error());
  if (!expected) {
    EXPECT_EQ(expected.error(), actual.error());
    return;
  }
  trie_test::expect_same_trie(expected->trie, actual->trie);
  EXPECT_EQ(expected->terminal, actual->terminal);
}

// The root's value sums every run's top in the children's list order; a slip in that order
// rarely changes a decision, but it changes the bits.
void expect_same_root_value(const SymbolRows& rows, std::uint64_t alphabet, std::uint64_t depth,
                            const SelectionSettings& config) {
  auto full = trie_test::literal_build(rows, alphabet, depth, depth);
  auto counted = count_contexts(trie_test::packed(rows, alphabet), depth, depth, true, TrieLimits{},
                                BuildPath::context_runs);
  ASSERT_TRUE(full.has_value() && counted.has_value());
  const ContextRuns* runs = std::get_if<ContextRuns>(&counted.value());
  if (runs == nullptr) {
    return;  // nothing counted
  }
  if (config.method == SelectionMethod::bct) {
    const BctRule rule(alphabet, depth, config.beta);
    RunScorer<BctRule> scorer(rule, static_cast<std::uint32_t>(depth));
    EXPECT_EQ(bits({walk_runs(*runs, scorer).top_value}),
              bits({bct_scores(*full, config.beta).log_pm[0]}));
  } else {
    const BicRule rule(alphabet, depth, runs->sample_size(), config.penalty);
    RunScorer<BicRule> scorer(rule, static_cast<std::uint32_t>(depth));
    EXPECT_EQ(bits({walk_runs(*runs, scorer).top_value}),
              bits({bic_scores(*full, config.penalty).score[0]}));
  }
}

TEST(SelectionOverRuns, MatchesTheFullTrieFit) {
  std::mt19937_64 rng(20261209);
  const std::uint64_t alphabets[] = {2, 3, 4, 7, 300, 70000};
  const std::uint64_t depths[] = {1, 2, 5, 12, 17, 40, 100, 300};
  int splits_below_the_root = 0;
  int over_tables_fitted = 0;
  int in_groups_fitted = 0;
  for (int round = 0; round < 480; ++round) {
    const std::uint64_t alphabet = alphabets[round % 6];
    const std::uint64_t depth = depths[(round / 6) % 8];
    const SymbolRows rows = deep_rows(rng, alphabet, depth, round % 4);
    SelectionSettings config;
    config.method = round % 2 == 0 ? SelectionMethod::bct : SelectionMethod::bic;
    const double unit = std::uniform_real_distribution<>(0, 1)(rng);
    config.beta = round % 3 == 0 ? 0.5 : 0.5 + 0.4999 * unit;
    config.penalty = round % 3 == 0 ? 1.0 : std::ldexp(1.0, -static_cast<int>(unit * 12));
    SCOPED_TRACE(testing::Message() << "round " << round << " alphabet " << alphabet << " depth "
                                    << depth << " style " << round % 4);
    const auto expected = literal_fit(rows, alphabet, depth, config, kMaxNodeCount);
    expect_same_fit(expected, fit_over_runs(rows, alphabet, depth, config, kMaxNodeCount));
    expect_same_root_value(rows, alphabet, depth, config);
    if (const auto over_tables = fit_over_tables(rows, alphabet, depth, config, kMaxNodeCount)) {
      expect_same_fit(expected, *over_tables);
      ++over_tables_fitted;
    }
    if (ContextRuns::sorts_in_groups(alphabet, depth)) {
      expect_same_fit(expected, fit_over_runs(rows, alphabet, depth, config, kMaxNodeCount,
                                              kMaxCountEntries, BuildPath::context_runs_in_groups));
      ++in_groups_fitted;
    }
    if (expected && expected->trie.node_count() > alphabet + 1) {
      ++splits_below_the_root;
    }
  }
  EXPECT_GT(splits_below_the_root, 60);  // the runs' split decisions were exercised
  EXPECT_GT(over_tables_fitted, 60);
  EXPECT_GT(in_groups_fitted, 150);
}

TEST(SelectionOverRuns, NodeLimitCountsTheFullTrieAndTheCountFreeChildren) {
  // Limits at, just below and just above the full trie's node count and that count with the
  // plan's count-free children: the fit must fail exactly where the full trie's would.
  std::mt19937_64 rng(41);
  int failures = 0;
  int tables_failures = 0;
  int in_groups_failures = 0;
  for (int round = 0; round < 160; ++round) {
    const std::uint64_t alphabet = round % 2 == 0 ? 2 : 5;
    const std::uint64_t depth = 3 + rng() % 30;
    const SymbolRows rows = deep_rows(rng, alphabet, depth, round % 3);
    SelectionSettings config;
    config.method = round % 4 < 2 ? SelectionMethod::bct : SelectionMethod::bic;
    config.beta = 0.5;
    config.penalty = 0.05;
    auto full = trie_test::literal_build(rows, alphabet, depth, depth);
    ASSERT_TRUE(full.has_value());
    const auto fitted = literal_fit(rows, alphabet, depth, config, kMaxNodeCount);
    ASSERT_TRUE(fitted.has_value());
    // The count-free nodes of the fitted tree are the plan's children made while expanding.
    std::uint64_t grown = full->node_count();
    for (const TrieNode& node : fitted->trie.nodes()) {
      grown += node.total == 0 ? 1 : 0;
    }
    for (const std::uint64_t limit : {full->node_count() - 1, full->node_count(), grown - 1,
                                      grown, grown + 1}) {
      if (limit == 0) {
        continue;
      }
      SCOPED_TRACE(testing::Message() << "round " << round << " limit " << limit);
      const auto expected = literal_fit(rows, alphabet, depth, config, limit);
      expect_same_fit(expected, fit_over_runs(rows, alphabet, depth, config, limit));
      if (const auto over_tables = fit_over_tables(rows, alphabet, depth, config, limit)) {
        expect_same_fit(expected, *over_tables);
        tables_failures += expected ? 0 : 1;
      }
      if (ContextRuns::sorts_in_groups(alphabet, depth)) {
        expect_same_fit(expected,
                        fit_over_runs(rows, alphabet, depth, config, limit, kMaxCountEntries,
                                      BuildPath::context_runs_in_groups));
        in_groups_failures += expected ? 0 : 1;
      }
      failures += expected ? 0 : 1;
    }
  }
  EXPECT_GT(failures, 100);
  EXPECT_GT(tables_failures, 20);
  EXPECT_GT(in_groups_failures, 50);
}

TEST(SelectionOverRuns, DeepestDepthWithTinyData) {
  // Contexts of 65,535 symbols: a few counted positions, a repeat that parts late, and a row
  // with nothing counted.
  std::mt19937_64 rng(3);
  for (int round = 0; round < 4; ++round) {
    SymbolSequence row(65535 + 20 + rng() % 20);
    for (std::size_t i = 0; i < row.size(); ++i) {
      row[i] = round % 2 == 0 ? rng() % 3 : (i % 5 == 0 ? rng() % 2 : 0);
    }
    const SymbolRows rows = {row, SymbolSequence(100, 1), row};
    SelectionSettings config;
    config.method = round < 2 ? SelectionMethod::bct : SelectionMethod::bic;
    config.beta = 0.5;
    SCOPED_TRACE(testing::Message() << "round " << round);
    expect_same_fit(literal_fit(rows, 3, 65535, config, kMaxNodeCount),
                    fit_over_runs(rows, 3, 65535, config, kMaxNodeCount));
  }
}

TEST(SelectionOverRuns, CountEntryLimitAtItsExactEdge) {
  // Over sorted contexts the limit counts the entries of the selected tree, which are the
  // fitted trie's: one under refuses, at and over fit the same tree.
  std::mt19937_64 rng(17);
  for (int round = 0; round < 24; ++round) {
    const std::uint64_t alphabet = round % 2 == 0 ? 3 : 7;
    const std::uint64_t depth = 2 + rng() % 12;
    const SymbolRows rows = deep_rows(rng, alphabet, depth, round % 3);
    SelectionSettings config;
    config.method = round % 4 < 2 ? SelectionMethod::bct : SelectionMethod::bic;
    config.beta = 0.5;
    config.penalty = 0.05;
    const auto unlimited = fit_over_runs(rows, alphabet, depth, config, kMaxNodeCount);
    ASSERT_TRUE(unlimited.has_value());
    const std::uint64_t entries = unlimited->trie.counts().size();
    if (entries == 0) {
      continue;
    }
    SCOPED_TRACE(testing::Message() << "round " << round << " entries " << entries);
    const auto under = fit_over_runs(rows, alphabet, depth, config, kMaxNodeCount, entries - 1);
    ASSERT_FALSE(under.has_value());
    EXPECT_EQ(under.error(), kCountLimitMessage);
    for (const std::uint64_t limit : {entries, entries + 1}) {
      expect_same_fit(unlimited, fit_over_runs(rows, alphabet, depth, config, kMaxNodeCount, limit));
    }
  }
}

TEST(SelectionOverRuns, WideAlphabetsMergeTalliesKeepingTheEarlierFirstPosition) {
  // More distinct symbols than a table of tallies takes: a node's tallies are merged by sorting,
  // and a symbol met under two children keeps the earlier first position, whichever child comes
  // first in the merge (it decides the count lists' order).
  std::mt19937_64 rng(23);
  for (int round = 0; round < 3; ++round) {
    const std::uint64_t alphabet = 70000;
    const std::uint64_t depth = 3 + round;
    SymbolSequence row(30000);
    for (std::uint64_t& s : row) {
      s = rng() % 3 == 0 ? rng() % 6000 : rng() % 4;
    }
    SelectionSettings config;
    config.method = round % 2 == 0 ? SelectionMethod::bct : SelectionMethod::bic;
    config.beta = 0.5;
    config.penalty = 0.01;
    SCOPED_TRACE(testing::Message() << "round " << round);
    expect_same_fit(literal_fit({row}, alphabet, depth, config, kMaxNodeCount),
                    fit_over_runs({row}, alphabet, depth, config, kMaxNodeCount));
  }
}

}  // namespace
}  // namespace tesk
