#include <string>

#include "trie/count_trie.hpp"

namespace tesk {

namespace {

std::string symbol_error(std::uint64_t symbol, std::size_t row, std::size_t position,
                         std::uint64_t alphabet_size) {
  return "symbol " + std::to_string(symbol) + " at data[" + std::to_string(row) + "][" +
         std::to_string(position) + "] is outside 0.." + std::to_string(alphabet_size);
}

}  // namespace

MessageOr<CountTrie> CountTrie::build(std::span<const SymbolSequence> rows,
                                      std::uint64_t alphabet_size,
                                      std::uint64_t conditioning_depth,
                                      std::uint64_t storage_depth) {
  if (storage_depth > conditioning_depth) {
    return fail_message(kStorageDepthMessage);
  }
  CountTrie trie(alphabet_size, storage_depth);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const SymbolSequence& row = rows[r];
    for (std::size_t p = 0; p < row.size(); ++p) {
      if (row[p] >= alphabet_size) {
        return fail_message(symbol_error(row[p], r, p, alphabet_size));
      }
    }
    for (std::size_t h = conditioning_depth; h < row.size(); ++h) {
      const auto symbol = static_cast<std::uint32_t>(row[h]);
      trie.add_observation(kRoot, symbol);
      trie.count_sample();
      NodeId node = kRoot;
      for (std::uint64_t k = 1; k <= storage_depth; ++k) {
        auto child = trie.get_or_create_child(node, static_cast<std::uint32_t>(row[h - k]));
        if (!child) {
          return fail_message(std::move(child).error());
        }
        node = *child;
        trie.add_observation(node, symbol);
      }
    }
  }
  return trie;
}

}  // namespace tesk
