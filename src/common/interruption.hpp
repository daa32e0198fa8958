#pragma once
// Long computations stop when their host asks (Ctrl-C in Python). A loop that can run for long
// calls poll_interruption(work) every few thousand steps; that costs a thread-local subtraction,
// and once enough work has passed it asks the check the host installed, which may end the
// computation by throwing Interrupted. The fit driver turns that into its error value, so
// nothing above it sees the exception and nothing below it needs to handle it: every owner
// on the way releases what it holds as the stack unwinds.

#include <cstdint>

namespace tesk {

// Thrown by poll_interruption when the host's check asks to stop; not an error of the
// computation itself (the host has already recorded why, e.g. a pending KeyboardInterrupt).
struct Interrupted {};

// Returns true to stop the computation. Called on the thread that installed it.
using InterruptCheck = bool (*)(void* context);

// Installs a check for the current thread for the scope's lifetime (scopes nest; the inner one
// wins until it ends). Without one, poll_interruption never stops anything.
class InterruptScope {
 public:
  InterruptScope(InterruptCheck check, void* context) noexcept;
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

 private:
  InterruptCheck previous_check_;
  void* previous_context_;
};

namespace detail {

// Units of work between two checks. A unit is about one step over one position or one node
// (a few to a few tens of nanoseconds), so the host is asked every few milliseconds.
inline constexpr std::int64_t kWorkBetweenChecks = std::int64_t{1} << 18;

struct State {
  InterruptCheck check = nullptr;
  void* context = nullptr;
  std::int64_t budget = kWorkBetweenChecks;
};

State& state() noexcept;
// Refills the budget and asks the check; throws Interrupted when it says stop.
void check_now();

}  // namespace detail

inline void poll_interruption(std::uint64_t work) {
  detail::State& state = detail::state();
  state.budget -= static_cast<std::int64_t>(work);
  if (state.budget <= 0) [[unlikely]] {
    detail::check_now();
  }
}

// For loops: polls on every 4,096th step, counting the work of the steps in between.
inline void poll_interruption_every(std::uint64_t step, std::uint64_t work_per_step) {
  constexpr unsigned kStrideBits = 12;
  if ((step & ((std::uint64_t{1} << kStrideBits) - 1)) == 0) {
    poll_interruption(work_per_step << kStrideBits);
  }
}

}  // namespace tesk
