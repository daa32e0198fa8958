#pragma once

#include <cstdint>
#include <span>

#include "common/error.hpp"
#include "model/config.hpp"
#include "model/fitted_model.hpp"
#include "trie/packed_rows.hpp"

namespace tesk {

// max_depth for bct and bic; for peres_shield 0 when n < 3, else min(max_depth, floor(ln ln n)).
std::uint64_t working_depth(SelectionMethod method, std::uint64_t max_depth, std::uint64_t n);

// Counts, selects and compacts rows packed as they were converted (freed once counted); trie and
// selection failures come back as ValueError, an interruption as ErrorKind::interrupted.
Result<FittedModel> fit_model(const ModelConfig& config, PackedRows&& rows);

}  // namespace tesk
