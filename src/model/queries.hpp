#pragma once
// The context queries of a model. `fitted` is null while the model has never been fitted.

#include <cstdint>
#include <span>
#include <vector>

#include "common/error.hpp"
#include "model/config.hpp"
#include "model/fitted_model.hpp"

namespace tesk {

inline constexpr const char* kNotFittedMessage = "fit must be called before querying the model";
inline constexpr const char* kContextMissingMessage =
    "context is not in the fitted tree; use get_suffix(sequence) for model backoff";

Status check_symbols(std::span<const std::uint64_t> sequence, std::uint64_t alphabet_size);
Status check_fitted(const FittedModel* fitted);

Result<NodeId> select_context(const ModelConfig& config, const FittedModel* fitted,
                              std::span<const std::uint64_t> history);

Result<std::uint64_t> query_counts(const ModelConfig& config, const FittedModel* fitted,
                                   std::span<const std::uint64_t> sequence);
Result<std::vector<std::uint64_t>> query_transition_counts(const ModelConfig& config,
                                                           const FittedModel* fitted,
                                                           std::span<const std::uint64_t> sequence);
Result<std::vector<double>> query_distribution(const ModelConfig& config,
                                               const FittedModel* fitted,
                                               std::span<const std::uint64_t> sequence);
Result<std::vector<double>> query_predict_proba(const ModelConfig& config,
                                                const FittedModel* fitted,
                                                std::span<const std::uint64_t> history);

}  // namespace tesk
