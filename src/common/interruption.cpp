#include "common/interruption.hpp"

namespace tesk {

namespace detail {

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

}  // namespace detail

InterruptScope::InterruptScope(InterruptCheck check, void* context) noexcept {
  detail::State& current = detail::state();
  previous_check_ = current.check;
  previous_context_ = current.context;
  current.check = check;
  current.context = context;
  current.budget = detail::kWorkBetweenChecks;
}

InterruptScope::~InterruptScope() {
  detail::State& current = detail::state();
  current.check = previous_check_;
  current.context = previous_context_;
}

}  // namespace tesk
