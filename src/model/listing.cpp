#include "model/listing.hpp"

#include <algorithm>

#include "model/queries.hpp"

namespace tesk {

bool context_order(const Context& x, const Context& y) noexcept {
  if (x.size() != y.size()) {
    return x.size() < y.size();
  }
  return std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end());
}

Result<std::vector<Context>> collect_contexts(const FittedModel* fitted) {
  if (auto checked = check_fitted(fitted); !checked) {
    return std::move(checked).failure();
  }
  const CountTrie& trie = fitted->trie;
  std::vector<Context> contexts;
  for (std::size_t id = 0; id < fitted->terminal.size(); ++id) {
    if (fitted->terminal[id] == 1) {
      contexts.push_back(trie.context_symbols(static_cast<NodeId>(id)));
    }
  }
  std::stable_sort(contexts.begin(), contexts.end(), context_order);
  return contexts;
}

}  // namespace tesk
