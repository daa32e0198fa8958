#pragma once
// The validated constructor parameters, read by the fit and by the selectors. Validation and
// the parameters' names live in model/config.

#include <cstdint>

namespace tesk {

enum class SelectionMethod : std::uint8_t {
  bct = 0,
  bic = 1,
  peres_shield = 2,
};

// The only boundary mode: the first max_depth symbols of every row only condition.
enum class BoundaryMode : std::uint8_t {
  condition = 0,
};

struct ModelConfig {
  std::uint64_t alphabet_size = 2;
  std::uint64_t max_depth = 10;
  double beta = 0.0;  // read by bct only
  double penalty = 1.0;  // read by bic only
  SelectionMethod method = SelectionMethod::bct;
  BoundaryMode boundary = BoundaryMode::condition;
};


}  // namespace tesk
