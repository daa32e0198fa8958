// Times CountTrie::build against counting position by position from the root, on seeded uniform
// random symbols. Not part of the build; compile by hand from the repository root:
//
//   g++ -std=c++20 -O2 -Isrc bench/trie_build_timing.cpp src/trie/*.cpp
//       src/common/internal_failure.cpp -o /tmp/trie_build_timing      (one line)
//   /tmp/trie_build_timing SYMBOLS ALPHABET DEPTH [fast|literal|both]
//
// Prints the time of each build, the trie's size and the process's peak resident memory (which
// includes the input rows and, with "both", both tries).

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "trie/count_trie.hpp"

namespace {

using tesk::CountTrie;

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
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

void report(const char* name, double seconds, const CountTrie& trie) {
  std::printf("%-8s %8.3f s  %10.1f ns/position  nodes %llu  entries %zu  peak %ld MiB\n", name,
              seconds, seconds * 1e9 / static_cast<double>(trie.sample_size()),
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
    const auto start = std::chrono::steady_clock::now();
    auto trie = CountTrie::build(rows, alphabet_size, depth, depth);
    const double seconds = seconds_since(start);
    if (!trie) {
      std::fprintf(stderr, "build failed: %s\n", trie.error().c_str());
      return 1;
    }
    report("fast", seconds, *trie);
  }
  if (mode == "literal" || mode == "both") {
    const auto start = std::chrono::steady_clock::now();
    const CountTrie trie = literal_build(rows, alphabet_size, depth);
    report("literal", seconds_since(start), trie);
  }
  return 0;
}
