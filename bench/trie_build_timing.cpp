// Times CountTrie::build against counting position by position from the root, on seeded uniform
// random symbols. Not part of the build; compile by hand from the repository root:
//
//   g++ -std=c++20 -O2 -Isrc bench/trie_build_timing.cpp src/trie/*.cpp
//       src/common/internal_failure.cpp -o /tmp/trie_build_timing      (one line)
//   /tmp/trie_build_timing SYMBOLS ALPHABET DEPTH [fast|literal|both]
//
// Prints the wall and CPU time of each build (the CPU time is the steadier figure on a shared
// machine), the trie's size and the process's peak resident memory (which includes the input
// rows and, with "both", both tries).

#include <sys/resource.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "trie/count_trie.hpp"

namespace {

using tesk::CountTrie;

struct Clock {
  std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
  std::clock_t cpu = std::clock();
};

double wall_since(const Clock& start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start.wall).count();
}

double cpu_since(const Clock& start) {
  return static_cast<double>(std::clock() - start.cpu) / CLOCKS_PER_SEC;
}

long peak_rss_mib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024;
}

CountTrie literal_build(const tesk::SymbolRows& rows, std::uint64_t alphabet_size,
                        std::uint64_t depth) {
  CountTrie trie(alphabet_size, depth);
  for (const tesk::SymbolSequence& row : rows) {
    for (std::size_t h = depth; h < row.size(); ++h) {
      const auto symbol = static_cast<std::uint32_t>(row[h]);
      trie.add_observation(tesk::kRoot, symbol);
      trie.count_sample();
      tesk::NodeId node = tesk::kRoot;
      for (std::uint64_t k = 1; k <= depth; ++k) {
        node = *trie.get_or_create_child(node, static_cast<std::uint32_t>(row[h - k]));
        trie.add_observation(node, symbol);
      }
    }
  }
  return trie;
}

void report(const char* name, const Clock& start, const CountTrie& trie) {
  const double cpu = cpu_since(start);
  std::printf("%-8s wall %8.3f s  cpu %8.3f s  %8.1f cpu ns/position  nodes %llu  entries %zu  "
              "peak %ld MiB\n",
              name, wall_since(start), cpu, cpu * 1e9 / static_cast<double>(trie.sample_size()),
              static_cast<unsigned long long>(trie.node_count()), trie.counts().size(),
              peak_rss_mib());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s SYMBOLS ALPHABET DEPTH [fast|literal|both]\n", argv[0]);
    return 2;
  }
  const std::uint64_t symbols = std::strtoull(argv[1], nullptr, 10);
  const std::uint64_t alphabet_size = std::strtoull(argv[2], nullptr, 10);
  const std::uint64_t depth = std::strtoull(argv[3], nullptr, 10);
  const std::string mode = argc > 4 ? argv[4] : "fast";

  tesk::SymbolRows rows(1, tesk::SymbolSequence(symbols));
  std::mt19937_64 rng(12345);
  std::uniform_int_distribution<std::uint64_t> draw(0, alphabet_size - 1);
  for (std::uint64_t& s : rows[0]) {
    s = draw(rng);
  }

  if (mode == "fast" || mode == "both") {
    const Clock start;
    auto trie = CountTrie::build(rows, alphabet_size, depth, depth);
    if (!trie) {
      std::fprintf(stderr, "build failed: %s\n", trie.error().c_str());
      return 1;
    }
    report("fast", start, *trie);
    // Compaction of the whole trie, as after a selection that keeps every node.
    const std::vector<std::uint8_t> active(trie->node_count(), 1);
    const Clock compact_start;
    const tesk::CompactedTrie compacted =
        CountTrie::compact(std::move(trie).value(), active, std::vector<std::uint8_t>{});
    report("compact", compact_start, compacted.trie);
  }
  if (mode == "literal" || mode == "both") {
    const Clock start;
    const CountTrie trie = literal_build(rows, alphabet_size, depth);
    report("literal", start, trie);
  }
  return 0;
}
