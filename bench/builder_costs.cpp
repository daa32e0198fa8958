// The ways bct can count, forced, on the same rows: the time of counting and selecting, for the
// chooser's table, and what sorting the contexts in groups (the way past 32-bit indices) costs
// against sorting them whole. (Counting depth by depth is what bct never needs while the rows fit
// the sorted contexts.) Prints one JSON object per line.
//
//   builder_costs ALPHABET SYMBOLS SOURCE DEPTH...    (SOURCE: iid or markov)

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "model/config.hpp"
#include "selection/run_selection.hpp"
#include "selection/select_tree.hpp"
#include "trie/build/build.hpp"
#include "trie/build/code_build.hpp"

namespace {

using tesk::BuildPath;

// i.i.d. uniform symbols, or a skewed order-3 chain (most of its contexts never occur).
std::vector<std::uint64_t> make_row(std::uint64_t alphabet, std::uint64_t n, bool markov) {
  std::mt19937_64 rng(20261208);
  std::vector<std::uint64_t> row(n);
  for (std::uint64_t i = 0; i < n; ++i) {
    if (!markov || i < 3) {
      row[i] = rng() % alphabet;
      continue;
    }
    const std::uint64_t context = (row[i - 1] * 31 + row[i - 2] * 7 + row[i - 3]) % 1009;
    row[i] = rng() % 4 == 0 ? rng() % alphabet : (context * 13 + (rng() % 3)) % alphabet;
  }
  return row;
}

tesk::PackedRows pack(const std::vector<std::uint64_t>& row, std::uint64_t alphabet) {
  tesk::RowPacker packer(alphabet);
  packer.begin_row(row.size());
  packer.add(row);
  packer.end_row();
  return std::move(packer).finish();
}

std::optional<double> seconds_with(const std::vector<std::uint64_t>& row, std::uint64_t alphabet,
                                   std::uint64_t depth, BuildPath path) {
  const tesk::SelectionSettings bct{tesk::SelectionMethod::bct, tesk::default_bct_beta(alphabet),
                                    1.0};
  const auto started = std::chrono::steady_clock::now();
  // Dense codes leave their tables for bct to walk, as in a fit.
  auto counted = tesk::count_contexts(pack(row, alphabet), depth, depth, true, {}, path);
  if (!counted) {
    return std::nullopt;
  }
  if (auto* runs = std::get_if<tesk::ContextRuns>(&counted.value())) {
    if (!tesk::select_over_runs(*runs, bct)) {
      return std::nullopt;
    }
  } else if (auto* tables = std::get_if<tesk::ContextTables>(&counted.value())) {
    if (!tesk::select_over_tables(*tables, bct)) {
      return std::nullopt;
    }
  } else {
    tesk::CountTrie& trie = std::get<tesk::CountTrie>(counted.value());
    auto tree = tesk::select_tree(trie, bct);
    if (!tree) {
      return std::nullopt;
    }
    tesk::CountTrie::compact(std::move(trie), tree->active, tree->terminal);
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

const char* name(BuildPath path) {
  switch (path) {
    case BuildPath::dense_codes:
      return "dense_codes";
    case BuildPath::depth_by_depth:
      return "depth_by_depth";
    case BuildPath::context_runs:
      return "context_runs";
    case BuildPath::context_runs_in_groups:
      return "context_runs_in_groups";
  }
  return "?";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: builder_costs ALPHABET SYMBOLS iid|markov DEPTH...\n");
    return 2;
  }
  const std::uint64_t alphabet = std::strtoull(argv[1], nullptr, 10);
  const auto n = static_cast<std::uint64_t>(std::strtod(argv[2], nullptr));
  const std::string source = argv[3];
  const std::vector<std::uint64_t> row = make_row(alphabet, n, source == "markov");
  for (int i = 4; i < argc; ++i) {
    const std::uint64_t depth = std::strtoull(argv[i], nullptr, 10);
    const tesk::PackedRows packed = pack(row, alphabet);
    const std::uint64_t chosen_positions = n > depth ? n - depth : 0;
    const BuildPath chosen = tesk::choose_build_path(packed, depth, depth, true);
    for (const BuildPath path :
         {BuildPath::dense_codes, BuildPath::context_runs, BuildPath::context_runs_in_groups}) {
      if ((path == BuildPath::dense_codes &&
           !tesk::detail::code_build_applies(alphabet, depth, chosen_positions)) ||
          (path == BuildPath::context_runs_in_groups &&
           !tesk::ContextRuns::sorts_in_groups(alphabet, depth))) {
        continue;
      }
      const std::optional<double> seconds = seconds_with(row, alphabet, depth, path);
      std::printf(
          "{\"alphabet\": %llu, \"symbols\": %llu, \"source\": \"%s\", \"depth\": %llu, "
          "\"path\": \"%s\", \"chosen\": %s, \"seconds\": %s}\n",
          static_cast<unsigned long long>(alphabet), static_cast<unsigned long long>(n),
          source.c_str(), static_cast<unsigned long long>(depth), name(path),
          path == chosen ? "true" : "false",
          seconds ? std::to_string(*seconds).c_str() : "null");
      std::fflush(stdout);
    }
  }
  return 0;
}
