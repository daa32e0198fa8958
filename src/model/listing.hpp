#pragma once

#include <cstdint>
#include <vector>

#include "common/error.hpp"
#include "model/fitted_model.hpp"

namespace tesk {

using Context = std::vector<std::uint64_t>;

// Shorter first; equal lengths compare lexicographically from the oldest symbol.
bool context_order(const Context& x, const Context& y) noexcept;

// Every terminal context of the fitted tree, sorted by context_order.
Result<std::vector<Context>> collect_contexts(const FittedModel* fitted);

}  // namespace tesk
