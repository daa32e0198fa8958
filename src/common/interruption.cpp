#include "common/interruption.hpp"

namespace tesk {

namespace interruption_detail {

State& state() noexcept {
  thread_local State current;
  return current;
}

void check_now() {
  State& current = state();
  current.budget = kWorkBetweenChecks;
  if (current.check != nullptr && current.check(current.context)) {
    throw Interrupted{};
  }
}

}  // namespace interruption_detail

InterruptScope::InterruptScope(InterruptCheck check, void* context) noexcept {
  interruption_detail::State& current = interruption_detail::state();
  previous_check_ = current.check;
  previous_context_ = current.context;
  current.check = check;
  current.context = context;
  current.budget = interruption_detail::kWorkBetweenChecks;
}

InterruptScope::~InterruptScope() {
  interruption_detail::State& current = interruption_detail::state();
  current.check = previous_check_;
  current.context = previous_context_;
}

}  // namespace tesk
