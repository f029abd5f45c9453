// Work estimates and the cancellation token that long kernels poll. Free of
// Python: the binding layer decides from an estimate whether to run a kernel
// detached, and hands it a token whose check looks for pending signals.
#pragma once

#include <cstdint>
#include <limits>

namespace pelmora {

// Work is counted in units of the kernel's innermost step (a value through
// one routing pass, one multiply-add of a convolution, one simulated second
// of one outlet). Estimates saturate: a count beyond the 64-bit range is
// simply "more than can ever finish".
inline constexpr std::uint64_t kWorkUnbounded = std::numeric_limits<std::uint64_t>::max();

constexpr std::uint64_t work_add(std::uint64_t a, std::uint64_t b) noexcept {
  return a > kWorkUnbounded - b ? kWorkUnbounded : a + b;
}

constexpr std::uint64_t work_mul(std::uint64_t a, std::uint64_t b) noexcept {
  return b != 0 && a > kWorkUnbounded / b ? kWorkUnbounded : a * b;
}

// Handed to a kernel so that it can be stopped part-way. The kernel reports
// its progress in its work units; after every kPollInterval units the token
// runs its check. A check that wants the kernel stopped throws, and whatever
// it throws leaves the kernel unchanged: kernels keep their partial results
// in objects whose destructors release them, so nothing is returned and
// nothing leaks.
//
// Counting keeps the poll off the kernels' inner loops: a kernel reports
// once per block of steps (see core/blocks.hpp), never reads a clock, and
// the check runs about every millisecond of work (a few milliseconds for the
// slowest units).
//
// One token per run, lent by reference: it can be neither copied nor moved,
// since a copy would count on its own and the run's token would never poll.
// A caller without a check declares a plain `Cancel none;` and lends it.
class Cancel {
 public:
  using Check = void (*)(void* context);

  static constexpr std::uint64_t kPollInterval = std::uint64_t{1} << 20;

  // A token that never stops its kernel (and never runs a check).
  constexpr Cancel() noexcept = default;
  // A null check makes the same token as the default.
  constexpr Cancel(Check check, void* context) noexcept
      : check_(check), context_(context), budget_(check ? kPollInterval : kWorkUnbounded), left_(budget_) {}

  Cancel(const Cancel&) = delete;
  Cancel& operator=(const Cancel&) = delete;

  // `units` more units of work are done.
  void progress(std::uint64_t units) {
    if (units < left_) [[likely]] {
      left_ -= units;
      return;
    }
    overdue(units);
  }

  // Runs the check now (the token's count starts afresh). Out of line, so
  // that the kernels' loops carry only the count.
  [[gnu::cold, gnu::noinline]] void poll() {
    reported_ = work_add(reported_, budget_ - left_);
    budget_ = check_ ? kPollInterval : kWorkUnbounded;
    left_ = budget_;
    if (check_) check_(context_);
  }

  // The units reported so far, saturated: what a test holds a kernel's cost
  // estimate against.
  std::uint64_t reported() const noexcept { return work_add(reported_, budget_ - left_); }

 private:
  // The report that used up the budget: counted, then the check runs.
  [[gnu::cold, gnu::noinline]] void overdue(std::uint64_t units) {
    reported_ = work_add(reported_, work_add(budget_ - left_, units));
    left_ = budget_;  // all counted: poll() adds nothing more
    poll();
  }

  Check check_ = nullptr;
  void* context_ = nullptr;
  std::uint64_t budget_ = kWorkUnbounded;  // left_ when the count last started
  std::uint64_t left_ = kWorkUnbounded;
  std::uint64_t reported_ = 0;  // units reported before the count last started
};

}  // namespace pelmora
