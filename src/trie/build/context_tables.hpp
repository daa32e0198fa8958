#pragma once
// The dense tables of a fit kept for selection (trie/build/dense_tables.hpp): for bct and bic the
// tables are the full trie already, so selection walks them (trie/build/table_walk.hpp) instead
// of a CountTrie being laid out node by node first.

#include <cstdint>
#include <utility>
#include <variant>

#include "trie/build/dense_tables.hpp"

namespace tesk {

class ContextTables {
 public:
  // Tables already counted, whose full trie has `literal_nodes` nodes (root included).
  template <class Position>
  ContextTables(detail::DenseTables<Position>&& tables, std::uint64_t literal_nodes)
      : tables_(std::move(tables)), literal_nodes_(literal_nodes) {}

  // Calls visit with the tables, whose cells are 32 or 64 bits wide.
  template <class Visit>
  decltype(auto) visit(Visit&& visit) const {
    return std::visit([&](const auto& tables) -> decltype(auto) { return visit(tables); }, tables_);
  }

  std::uint64_t alphabet_size() const {
    return visit([](const auto& tables) { return tables.alphabet_size(); });
  }
  std::uint32_t storage_depth() const {
    return visit([](const auto& tables) { return tables.storage_depth(); });
  }
  std::uint64_t sample_size() const {
    return visit([](const auto& tables) { return tables.sample_size(); });
  }
  std::uint64_t literal_node_count() const noexcept { return literal_nodes_; }

 private:
  std::variant<detail::DenseTables<std::uint32_t>, detail::DenseTables<std::uint64_t>> tables_;
  std::uint64_t literal_nodes_;
};

}  // namespace tesk
