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

inline constexpr std::uint64_t kPollStride = 4096;

// For loops whose steps are not cheap: polls on every 4,096th step, counting the work of the
// steps in between.
inline void poll_interruption_every(std::uint64_t step, std::uint64_t work_per_step) {
  if (step % kPollStride == 0) {
    poll_interruption(work_per_step * kPollStride);
  }
}

// For loops over many cheap steps: one poll before each chunk of up to 4,096 steps, so that the
// steps themselves run free of any call.
//   for (std::uint64_t i = begin; i < end;) {
//     for (const std::uint64_t stop = poll_chunk_up(i, end, work); i < stop; ++i) { ... }
//   }
inline std::uint64_t poll_chunk_up(std::uint64_t from, std::uint64_t end,
                                   std::uint64_t work_per_step) {
  const std::uint64_t stop = end - from > kPollStride ? from + kPollStride : end;
  poll_interruption((stop - from) * work_per_step);
  return stop;
}

// The same for loops counting down from `from` to `begin`.
inline std::uint64_t poll_chunk_down(std::uint64_t from, std::uint64_t begin,
                                     std::uint64_t work_per_step) {
  const std::uint64_t stop = from - begin > kPollStride ? from - kPollStride : begin;
  poll_interruption((from - stop) * work_per_step);
  return stop;
}

}  // namespace tesk
