#include <array>
#include <cmath>

#include "selection/ln_gamma.hpp"

namespace tesk {

namespace {

// Lanczos coefficients for g = 7; p[0] is the constant term of the series.
constexpr std::array<double, 9> kLanczos = {
    0.9999999999998099,     676.5203681218851,     -1259.1392167224028,
    771.3234287776531,      -176.6150291621406,    12.507343278686905,
    -0.13857109526572012,   9.984369578019572e-06, 1.5056327351493116e-07,
};

constexpr double kLnPi = 1.1447298858494002;
constexpr double kPi = 3.141592653589793;
constexpr double kHalfLnTwoPi = 0.9189385332046727;

}  // namespace

double ln_gamma(double x) {
  if (x < 0.5) {
    // Reflection; 1 - x >= 0.5 here, so this recurses exactly once.
    return (kLnPi - std::log(std::sin(kPi * x))) - ln_gamma(1.0 - x);
  }
  const double z = x - 1.0;
  double a = kLanczos[0];
  for (int i = 1; i < 9; ++i) {
    a += kLanczos[i] / (z + static_cast<double>(i));
  }
  const double t = z + 7.5;
  return std::log(a) + ((std::log(t) * (z + 0.5) + kHalfLnTwoPi) - t);
}

}  // namespace tesk
