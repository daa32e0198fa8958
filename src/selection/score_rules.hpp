#pragma once
// How bct and bic score one node, shared by every way of walking the trie: a node's measure from
// its counts (the log Krichevsky-Trofimov estimate, or the log-likelihood), its value as a leaf,
// and the decision between that and splitting it, given the sum of its children's values.
// The order of every floating-point operation here is fixed: results match to the bit however
// the nodes are visited, provided the children are summed in their list order (newest first),
// starting from sum_start().

#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "common/internal_failure.hpp"
#include "selection/ln_gamma.hpp"

namespace tesk {

struct SplitDecision {
  double value;
  bool split;
};

class BctRule {
 public:
  BctRule(std::uint64_t alphabet_size, std::uint64_t storage_depth, double beta)
      : alphabet_size_(alphabet_size),
        storage_depth_(storage_depth),
        log_leaf_(std::log(beta)),
        log_split_(std::log1p(-beta)),
        half_alphabet_(static_cast<double>(alphabet_size) * 0.5),
        ln_gamma_half_alphabet_(ln_gamma(half_alphabet_)) {
    const double alphabet = static_cast<double>(alphabet_size);
    unseen_log_pm_.assign(storage_depth + 1, 0.0);
    depth_split_.assign(storage_depth + 1, 0);
    for (std::uint64_t d = storage_depth; d-- > 0;) {
      const double candidate = unseen_log_pm_[d + 1] * alphabet + log_split_;
      if (candidate > log_leaf_) {
        unseen_log_pm_[d] = candidate;
        depth_split_[d] = 1;
      } else {
        unseen_log_pm_[d] = log_leaf_;
      }
    }
    for (std::uint64_t i = 0; i < kTabulated; ++i) {
      ln_gamma_count_[i] = ln_gamma(static_cast<double>(i) + 0.5);
      ln_gamma_total_[i] = ln_gamma(static_cast<double>(i) + half_alphabet_);
    }
  }

  // The log Krichevsky-Trofimov estimate; `tallies` ascending by symbol, each with a `count`.
  template <class Tallies>
  double measure(std::uint64_t total, const Tallies& tallies) const {
    double log_kt = ln_gamma_half_alphabet_ -
                    (total < kTabulated ? ln_gamma_total_[total]
                                        : ln_gamma(static_cast<double>(total) + half_alphabet_));
    for (const auto& tally : tallies) {
      const double ln_gamma_c = tally.count < kTabulated
                                    ? ln_gamma_count_[tally.count]
                                    : ln_gamma(static_cast<double>(tally.count) + 0.5);
      // -ln_gamma(0.5) to the bit: a symbol never seen would add exactly 0, so only the
      // observed ones are summed.
      log_kt += ln_gamma_c + kMinusLnGammaHalf;
    }
    return log_kt;
  }

  double sum_start() const noexcept { return log_split_; }

  double leaf_value(std::uint64_t depth, double log_kt) const noexcept {
    return depth == storage_depth_ ? log_kt : log_kt + log_leaf_;
  }

  SplitDecision decide(std::uint64_t depth, double log_kt, double children_sum,
                       std::uint64_t children) const {
    if (depth == storage_depth_) {
      return {log_kt, false};
    }
    const double missing = static_cast<double>(alphabet_size_ - children);
    const double split = children_sum + missing * unseen_log_pm_[depth + 1];
    const double leaf = log_kt + log_leaf_;
    return split > leaf ? SplitDecision{split, true} : SplitDecision{leaf, false};
  }

  const std::vector<double>& unseen_log_pm() const noexcept { return unseen_log_pm_; }
  const std::vector<std::uint8_t>& depth_split() const noexcept { return depth_split_; }

  // Whether a node with one child that is a leaf is a leaf too, whatever the counts: splitting
  // it adds log_split (no more than log_leaf) and the missing symbols' values, none positive.
  bool single_child_of_leaf_is_leaf() const {
    for (std::uint64_t d = 0; d < storage_depth_; ++d) {
      if (unseen_log_pm_[d + 1] > 0.0 || depth_split_[d] != 0) {
        return false;
      }
    }
    // A node at depth D - 1 compares log_split + log_kt with log_leaf + log_kt.
    return log_split_ < 0.0 && log_split_ <= log_leaf_;
  }

 private:
  static constexpr double kMinusLnGammaHalf = -0.5723649429246995;
  // Counts and totals this small recur at most nodes; their ln_gamma values are tabulated once
  // (the same arguments, so the same bits).
  static constexpr std::uint64_t kTabulated = 64;

  std::uint64_t alphabet_size_;
  std::uint64_t storage_depth_;
  double log_leaf_;
  double log_split_;
  double half_alphabet_;
  double ln_gamma_half_alphabet_;
  std::vector<double> unseen_log_pm_;
  std::vector<std::uint8_t> depth_split_;
  std::array<double, kTabulated> ln_gamma_count_{};  // ln_gamma(c + 0.5)
  std::array<double, kTabulated> ln_gamma_total_{};  // ln_gamma(N + A / 2)
};

class BicRule {
 public:
  BicRule(std::uint64_t alphabet_size, std::uint64_t storage_depth, std::uint64_t sample_size,
          double penalty)
      : alphabet_size_(alphabet_size), storage_depth_(storage_depth) {
    const double h = penalty * 0.5;
    const double q = static_cast<double>(alphabet_size - 1) * h;
    leaf_penalty_ = std::log(static_cast<double>(sample_size > 1 ? sample_size : 1)) * q;
    for (std::uint64_t n = 1; n < kTabulated; ++n) {
      for (std::uint64_t c = 1; c <= n; ++c) {
        log_ratio_[n * kTabulated + c] = std::log(static_cast<double>(c) / static_cast<double>(n));
      }
    }
  }

  // The log-likelihood of the counts; `tallies` ascending by symbol, each with a `count`.
  template <class Tallies>
  double measure(std::uint64_t total, const Tallies& tallies) const {
    double log_likelihood = 0.0;
    if (total == 0) {
      return log_likelihood;
    }
    const double total_double = static_cast<double>(total);
    const bool small = total < kTabulated;
    for (const auto& tally : tallies) {
      if (tally.count > 0) {
        const double count = static_cast<double>(tally.count);
        const double log_share = small ? log_ratio_[total * kTabulated + tally.count]
                                       : std::log(count / total_double);
        log_likelihood += log_share * count;
      }
    }
    return log_likelihood;
  }

  double sum_start() const noexcept { return 0.0; }

  double leaf_value(std::uint64_t /*depth*/, double log_likelihood) const noexcept {
    return log_likelihood - leaf_penalty_;
  }

  SplitDecision decide(std::uint64_t depth, double log_likelihood, double children_sum,
                       std::uint64_t children) const {
    const double leaf = log_likelihood - leaf_penalty_;
    if (depth == storage_depth_ || children == 0) {
      return {leaf, false};
    }
    const double split =
        children_sum - static_cast<double>(alphabet_size_ - children) * leaf_penalty_;
    return split > leaf ? SplitDecision{split, true} : SplitDecision{leaf, false};
  }

  double leaf_penalty() const noexcept { return leaf_penalty_; }

  // Whether a node with one child that is a leaf is a leaf too: splitting it charges the
  // missing symbols' penalties on top of the child's value, which equals the node's own.
  bool single_child_of_leaf_is_leaf() const { return leaf_penalty_ >= 0.0; }

 private:
  // Most nodes have a small total; ln(c / N) for those is tabulated once (the same arguments,
  // so the same bits).
  static constexpr std::uint64_t kTabulated = 32;

  std::uint64_t alphabet_size_;
  std::uint64_t storage_depth_;
  double leaf_penalty_ = 0.0;
  std::array<double, kTabulated * kTabulated> log_ratio_{};
};

}  // namespace tesk
