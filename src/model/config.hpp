#pragma once
// Constructor parameters as converted from Python, and their validation into a ModelConfig.

#include <cstdint>
#include <optional>
#include <string>

#include "common/error.hpp"
#include "common/model_config.hpp"

namespace tesk {

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
