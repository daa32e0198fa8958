#include "model/queries.hpp"

#include <string>

#include "common/internal_failure.hpp"

namespace tesk {

Status check_symbols(std::span<const std::uint64_t> sequence, std::uint64_t alphabet_size) {
  for (std::size_t index = 0; index < sequence.size(); ++index) {
    if (sequence[index] >= alphabet_size) [[unlikely]] {
      return fail(ErrorKind::value_error,
                  "symbol " + std::to_string(sequence[index]) + " at sequence[" +
                      std::to_string(index) + "] is outside 0.." + std::to_string(alphabet_size));
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

}  // namespace

Result<NodeId> find_active_node(const ModelConfig& config, const FittedModel* fitted,
                                std::span<const std::uint64_t> sequence) {
  if (auto checked = check_query(config, fitted, sequence); !checked) {
    return Unexpected<Error>{std::move(checked).error()};
  }
  const CountTrie& trie = fitted->trie;
  std::optional<NodeId> node;
  if (sequence.size() <= trie.storage_depth()) {
    node = trie.find_context(sequence);
  }
  if (!node || *node >= fitted->active.size() || fitted->active[*node] != 1) {
    return fail(ErrorKind::key_error, kContextMissingMessage);
  }
  return *node;
}

Result<NodeId> select_context(const ModelConfig& config, const FittedModel* fitted,
                              std::span<const std::uint64_t> history) {
  if (auto checked = check_query(config, fitted, history); !checked) {
    return Unexpected<Error>{std::move(checked).error()};
  }
  return fitted->trie.longest_suffix(history, fitted->active, fitted->terminal);
}

Result<std::uint64_t> query_counts(const ModelConfig& config, const FittedModel* fitted,
                                   std::span<const std::uint64_t> sequence) {
  auto node = find_active_node(config, fitted, sequence);
  if (!node) {
    return Unexpected<Error>{std::move(node).error()};
  }
  return fitted->trie.node(*node).total;
}

Result<std::vector<std::uint64_t>> query_transition_counts(
    const ModelConfig& config, const FittedModel* fitted,
    std::span<const std::uint64_t> sequence) {
  auto node = find_active_node(config, fitted, sequence);
  if (!node) {
    return Unexpected<Error>{std::move(node).error()};
  }
  return fitted->trie.transition_counts(*node);
}

Result<std::vector<double>> query_distribution(const ModelConfig& config,
                                               const FittedModel* fitted,
                                               std::span<const std::uint64_t> sequence) {
  auto node = find_active_node(config, fitted, sequence);
  if (!node) {
    return Unexpected<Error>{std::move(node).error()};
  }
  ensure(fitted != nullptr, "distribution requires a fitted model");
  return fitted->trie.jeffreys_probabilities(*node);
}

Result<std::vector<double>> query_predict_proba(const ModelConfig& config,
                                                const FittedModel* fitted,
                                                std::span<const std::uint64_t> history) {
  auto node = select_context(config, fitted, history);
  if (!node) {
    return Unexpected<Error>{std::move(node).error()};
  }
  return fitted->trie.jeffreys_probabilities(*node);
}

}  // namespace tesk
