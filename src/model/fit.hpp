#pragma once

#include <cstdint>
#include <span>

#include "common/error.hpp"
#include "common/model_config.hpp"
#include "common/symbols.hpp"
#include "model/fitted_model.hpp"
#include "trie/packed_rows.hpp"

namespace tesk {

// Sum over rows of max(0, len(row) - max_depth), saturating at 2^64 - 1.
std::uint64_t counted_positions(std::span<const SymbolSequence> rows, std::uint64_t max_depth);

// max_depth for bct and bic; for peres_shield 0 when n < 3, else min(max_depth, floor(ln ln n)).
std::uint64_t working_depth(SelectionMethod method, std::uint64_t max_depth, std::uint64_t n);

// floor(ln(ln(n))) as an unsigned value (0 for n < 3 or a non-positive logarithm), saturating.
std::uint64_t log_log_floor(std::uint64_t n);

// Builds, selects and compacts; trie and selection failures come back as ValueError.
Result<FittedModel> fit_model(const ModelConfig& config, std::span<const SymbolSequence> rows);

// The same from rows packed as they were converted; they are freed once the trie is built.
Result<FittedModel> fit_model(const ModelConfig& config, PackedRows&& rows);

}  // namespace tesk
