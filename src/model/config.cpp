#include "model/config.hpp"

#include <bit>
#include <cmath>

#include "common/limits.hpp"
#include "model/name_text.hpp"

namespace tesk {

const char* method_name(SelectionMethod method) noexcept {
  switch (method) {
    case SelectionMethod::bct:
      return "bct";
    case SelectionMethod::bic:
      return "bic";
    case SelectionMethod::peres_shield:
      return "peres_shield";
  }
  return "unknown";
}

const char* boundary_name(BoundaryMode boundary) noexcept {
  switch (boundary) {
    case BoundaryMode::condition:
      return "condition";
  }
  return "unknown";
}

namespace {

std::optional<SelectionMethod> parse_method(std::string_view normalized) {
  if (normalized == "bct") {
    return SelectionMethod::bct;
  }
  if (normalized == "bic") {
    return SelectionMethod::bic;
  }
  if (normalized == "peres_shield" || normalized == "peres-shield" || normalized == "ps") {
    return SelectionMethod::peres_shield;
  }
  return std::nullopt;
}

}  // namespace

double default_bct_beta(std::uint64_t alphabet_size) {
  // -ln 2 rounded to the nearest double, spelled by its bits so no parser can round differently.
  constexpr double kNegativeLn2 = std::bit_cast<double>(std::uint64_t{0xBFE62E42FEFA39EF});
  double exponent = static_cast<double>(alphabet_size);
  exponent = exponent + -1.0;
  exponent = exponent * kNegativeLn2;
  return 1.0 - std::exp(exponent);
}

Result<ModelConfig> validate_config(const ConstructorArgs& args) {
  if (args.alphabet_size < 2) {
    return fail(ErrorKind::value_error, "alphabet_size must be at least 2");
  }
  if (args.alphabet_size > kMaxAlphabetSize) {
    return fail(ErrorKind::value_error, "alphabet_size is too large");
  }
  if (args.max_depth > kMaxDepth) {
    return fail(ErrorKind::value_error, "max_depth must be no larger than 65535");
  }
  const std::optional<SelectionMethod> method = parse_method(normalize_name(args.method));
  if (!method) {
    return fail(ErrorKind::value_error, "unknown method " + quote_for_message(args.method) +
                                            "; expected 'bct', 'bic', or 'peres_shield'");
  }
  if (normalize_name(args.boundary) != "condition") {
    return fail(ErrorKind::value_error,
                "unknown boundary mode " + quote_for_message(args.boundary) +
                    "; currently only 'condition' is supported");
  }
  if (args.beta && *method != SelectionMethod::bct) {
    return fail(ErrorKind::value_error, "beta is only valid when method='bct'");
  }
  if (args.penalty && *method != SelectionMethod::bic) {
    return fail(ErrorKind::value_error, "penalty is only valid when method='bic'");
  }

  ModelConfig config;
  config.alphabet_size = args.alphabet_size;
  config.max_depth = args.max_depth;
  config.method = *method;
  config.boundary = BoundaryMode::condition;

  if (args.beta) {
    const double beta = *args.beta;
    if (!(std::isfinite(beta) && beta >= 0.5 && beta < 1.0)) {
      return fail(ErrorKind::value_error,
                  "beta must be finite, at least 0.5, and strictly below 1 for exact BCT MAP "
                  "selection");
    }
    config.beta = beta;
  } else if (*method == SelectionMethod::bct) {
    const double beta = default_bct_beta(args.alphabet_size);
    if (!(beta < 1.0)) {
      return fail(ErrorKind::value_error,
                  "the default BCT beta rounds to 1 for this alphabet; supply beta explicitly");
    }
    config.beta = beta;
  }

  if (args.penalty) {
    const double penalty = *args.penalty;
    if (!(std::isfinite(penalty) && penalty > 0.0)) {
      return fail(ErrorKind::value_error, "penalty must be finite and strictly positive");
    }
    config.penalty = penalty;
  } else {
    config.penalty = 1.0;
  }
  return config;
}

}  // namespace tesk
