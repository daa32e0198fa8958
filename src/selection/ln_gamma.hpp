#pragma once

namespace tesk {

// log Gamma(x) by the Lanczos approximation (g = 7, nine coefficients), reflected below 0.5.
double ln_gamma(double x);

}  // namespace tesk
