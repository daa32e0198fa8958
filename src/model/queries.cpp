#include "model/queries.hpp"

#include <string>

#include "common/internal_failure.hpp"
#include "common/symbol_message.hpp"

namespace tesk {

Status check_symbols(std::span<const std::uint64_t> sequence, std::uint64_t alphabet_size) {
  for (std::size_t index = 0; index < sequence.size(); ++index) {
    if (sequence[index] >= alphabet_size) [[unlikely]] {
      return fail(ErrorKind::value_error,
                  symbol_outside_message(sequence[index],
                                         "sequence[" + std::to_string(index) + "]",
                                         alphabet_size));
    }
  }
  return {};
}

Status check_fitted(const FittedModel* fitted) {
  if (fitted == nullptr) {
    return fail(ErrorKind::runtime_error, kNotFittedMessage);
  }
  return {};
}

namespace {

Status check_query(const ModelConfig& config, const FittedModel* fitted,
                   std::span<const std::uint64_t> sequence) {
  if (auto symbols = check_symbols(sequence, config.alphabet_size); !symbols) {
    return symbols;
  }
  return check_fitted(fitted);
}

// The node of exactly this context; every stored node belongs to the fitted tree.
Result<NodeId> find_fitted_node(const ModelConfig& config, const FittedModel* fitted,
                                std::span<const std::uint64_t> sequence) {
  if (auto checked = check_query(config, fitted, sequence); !checked) {
    return std::move(checked).failure();
  }
  const std::optional<NodeId> node = fitted->trie.find_context(sequence);
  if (!node) {
    return fail(ErrorKind::key_error, kContextMissingMessage);
  }
  return *node;
}

}  // namespace

Result<NodeId> select_context(const ModelConfig& config, const FittedModel* fitted,
                              std::span<const std::uint64_t> history) {
  if (auto checked = check_query(config, fitted, history); !checked) {
    return std::move(checked).failure();
  }
  return fitted->trie.longest_suffix(history, fitted->terminal);
}

Result<std::uint64_t> query_counts(const ModelConfig& config, const FittedModel* fitted,
                                   std::span<const std::uint64_t> sequence) {
  return find_fitted_node(config, fitted, sequence).transform([&](NodeId node) {
    return fitted->trie.node(node).total;
  });
}

Result<std::vector<std::uint64_t>> query_transition_counts(
    const ModelConfig& config, const FittedModel* fitted,
    std::span<const std::uint64_t> sequence) {
  return find_fitted_node(config, fitted, sequence).transform([&](NodeId node) {
    return fitted->trie.transition_counts(node);
  });
}

Result<std::vector<double>> query_distribution(const ModelConfig& config,
                                               const FittedModel* fitted,
                                               std::span<const std::uint64_t> sequence) {
  return find_fitted_node(config, fitted, sequence).transform([&](NodeId node) {
    return fitted->trie.jeffreys_probabilities(node);
  });
}

Result<std::vector<double>> query_predict_proba(const ModelConfig& config,
                                                const FittedModel* fitted,
                                                std::span<const std::uint64_t> history) {
  return select_context(config, fitted, history).transform([&](NodeId node) {
    return fitted->trie.jeffreys_probabilities(node);
  });
}

}  // namespace tesk
