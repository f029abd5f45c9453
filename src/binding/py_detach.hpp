// Running a numeric kernel away from the interpreter. One helper owns both
// halves of that: whether to detach (from the kernel's own estimate of its
// cost), and, while detached, polling for signals so that Ctrl-C stops the
// kernel part-way.
//
//   Detached detached(route_reach_cost(n, sub_reaches));
//   return route_reach(..., detached.cancel());
//
// Below kDetachWork units the thread state stays attached (detaching would
// cost more than it frees) and the token never stops the kernel. From there
// on the thread detaches, so other threads run (and the collector can stop
// the world) meanwhile, and on the main thread the token's check re-attaches
// briefly and runs the signal handlers. A handler that raises (the
// KeyboardInterrupt of SIGINT) stops the kernel: its partial results are
// dropped and the call raises that exception. Off the main thread no handler
// ever runs, so the token there never stops the kernel.
//
// Nothing the kernel reads may be a Python object; the handlers may run any
// Python code, so it must work on data no Python code can change.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "core/cancel.hpp"

namespace pelmora::bind {

// The work, in a kernel's units, from which a call detaches: a few tens of
// microseconds for the cheapest units. It is below the poll interval, so a
// kernel that stays attached never gets to poll.
inline constexpr std::uint64_t kDetachWork = std::uint64_t{1} << 16;
static_assert(kDetachWork < Cancel::kPollInterval);

class Detached {
 public:
  explicit Detached(std::uint64_t cost) noexcept;
  ~Detached();
  Detached(const Detached&) = delete;
  Detached& operator=(const Detached&) = delete;

  // The token for the kernel run inside this scope, lent to it.
  Cancel& cancel() noexcept { return cancel_; }

 private:
  static void check_signals(void* self);

  PyThreadState* state_ = nullptr;  // set while detached
  bool polls_;                      // whether the token runs check_signals
  Cancel cancel_;
};

}  // namespace pelmora::bind
