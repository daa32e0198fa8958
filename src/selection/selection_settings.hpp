#pragma once
// What selection reads of the model's configuration: the method and its one parameter.

#include <cstdint>

namespace tesk {

enum class SelectionMethod : std::uint8_t {
  bct = 0,
  bic = 1,
  peres_shield = 2,
};

struct SelectionSettings {
  SelectionMethod method = SelectionMethod::bct;
  double beta = 0.0;     // read by bct only
  double penalty = 1.0;  // read by bic only
};

}  // namespace tesk
