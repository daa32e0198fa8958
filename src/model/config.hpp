#pragma once
// Constructor parameters as converted from Python, and their validation into a ModelConfig.

#include <cstdint>
#include <optional>
#include <string>

#include "common/error.hpp"
#include "selection/selection_settings.hpp"

namespace tesk {

// The only boundary mode: the first max_depth symbols of every row only condition.
enum class BoundaryMode : std::uint8_t {
  condition = 0,
};

// The validated constructor parameters.
struct ModelConfig {
  std::uint64_t alphabet_size = 2;
  std::uint64_t max_depth = 10;
  double beta = 0.0;     // read by bct only
  double penalty = 1.0;  // read by bic only
  SelectionMethod method = SelectionMethod::bct;
  BoundaryMode boundary = BoundaryMode::condition;

  SelectionSettings selection() const noexcept { return {method, beta, penalty}; }
};

struct ConstructorArgs {
  std::uint64_t alphabet_size = 0;
  std::uint64_t max_depth = 10;
  std::string method = "bct";         // UTF-8, exactly as passed
  std::optional<double> beta;         // absent when omitted or None
  std::optional<double> penalty;      // absent when omitted or None
  std::string boundary = "condition";  // UTF-8, exactly as passed
};

// Checks in the fixed order and derives the default beta; ValueError on the first failure.
Result<ModelConfig> validate_config(const ConstructorArgs& args);

// 1 - 2^-(alphabet_size - 1), evaluated in the fixed order of operations.
double default_bct_beta(std::uint64_t alphabet_size);

// The canonical names the method and boundary properties report.
const char* method_name(SelectionMethod method) noexcept;
const char* boundary_name(BoundaryMode boundary) noexcept;

}  // namespace tesk
