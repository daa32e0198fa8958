// Per-node cost of each selector on a trie counted from ~10^6 uniformly random symbols, in
// thread CPU time (the best of a few runs), so that a busy machine distorts it less.
//
//   cmake --build build/selection
//   g++ -O2 -std=c++20 -Isrc bench/selection_timing.cpp build/core/libtesk_model.a build/core/libtesk_selection.a build/core/libtesk_trie.a build/core/libtesk_common.a
//       -o build/selection/selection_timing
//   build/selection/selection_timing
#include <algorithm>
#include <ctime>
#include <cstdio>
#include <random>
#include <utility>

#include "selection/bct.hpp"
#include "selection/bic.hpp"
#include "selection/peres_shield.hpp"
#include "selection/select_tree.hpp"
#include "selection/selection_detail.hpp"
#include "trie/count_trie.hpp"

namespace {

double cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

template <class F>
double best_seconds(int repeats, F&& run) {
  double best = 1e300;
  for (int i = 0; i < repeats; ++i) {
    const double start = cpu_seconds();
    run();
    best = std::min(best, cpu_seconds() - start);
  }
  return best;
}

void time_selectors(std::uint64_t alphabet, std::uint64_t depth, std::size_t length) {
  std::mt19937_64 rng(42);
  tesk::SymbolRows rows(1);
  for (std::size_t i = 0; i < length; ++i) {
    rows[0].push_back(rng() % alphabet);
  }
  auto built = tesk::CountTrie::build(rows, alphabet, depth, depth);
  if (!built) {
    std::printf("build failed: %s\n", built.error().c_str());
    return;
  }
  const tesk::CountTrie trie = std::move(built).value();
  const double nodes = static_cast<double>(trie.node_count());
  std::printf("alphabet %llu, depth %llu, %zu symbols: %llu nodes, %zu count entries\n",
              static_cast<unsigned long long>(alphabet), static_cast<unsigned long long>(depth),
              length, static_cast<unsigned long long>(trie.node_count()), trie.counts().size());

  const auto report = [&](const char* what, double seconds) {
    std::printf("  %-34s %9.2f ms  %7.1f ns/node\n", what, seconds * 1e3, seconds * 1e9 / nodes);
  };
  report("child-order check",
         best_seconds(5, [&] { tesk::ensure_children_newest_first(trie); }));
  report("bct_split_plan (beta 0.75)",
         best_seconds(5, [&] { (void)tesk::bct_split_plan(trie, 0.75); }));
  report("bic_split_plan (penalty 1)",
         best_seconds(5, [&] { (void)tesk::bic_split_plan(trie, 1.0); }));
  report("peres_shield_select", best_seconds(5, [&] { (void)tesk::peres_shield_select(trie); }));
  for (auto method : {tesk::SelectionMethod::bct, tesk::SelectionMethod::bic}) {
    double best = 1e300;
    std::uint64_t grown = 0;
    for (int i = 0; i < 3; ++i) {
      tesk::CountTrie copy = trie;  // selection grows the trie; time it on a fresh copy
      const double start = cpu_seconds();
      auto tree = tesk::select_tree(copy, tesk::ModelConfig{.beta = 0.75, .penalty = 1.0,
                                                            .method = method});
      best = std::min(best, cpu_seconds() - start);
      grown = copy.node_count() - trie.node_count();
      if (!tree) {
        std::printf("select_tree failed: %s\n", tree.error().c_str());
      }
    }
    char label[64];
    std::snprintf(label, sizeof label, "select_tree %s (+%llu nodes)",
                  tesk::method_name(method), static_cast<unsigned long long>(grown));
    report(label, best);
  }
}

}  // namespace

int main() {
  time_selectors(4, 10, 1000000);
  time_selectors(256, 4, 1000000);
  time_selectors(4, 2, 1000000);  // the depth a peres_shield fit of 10^6 symbols works at
}
