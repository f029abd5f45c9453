// The Kling-Gupta efficiency of a simulated series against an observed one.
#pragma once

#include <span>

namespace pelmora {

// 1 - sqrt((r-1)^2 + (beta-1)^2 + (gamma-1)^2), with population standard
// deviations; `use_log` scores ln(x + 1e-6) of both series instead.
// DomainError when `obs` is empty or the lengths differ.
double kge_rs(std::span<const double> sim, std::span<const double> obs, bool use_log);

// One series for the overload below: its values, and whether that memory is
// shared with an owner that may write to it while the kernel runs (another
// thread filling an array, say). Shared values are read exactly once each, by
// the first pass, which copies them into private storage as it sums them;
// every later pass reads only that copy, so all passes see the same values.
// Shared memory must be aligned for double.
struct KgeInput {
  std::span<const double> values;
  bool shared = false;
};

// The same efficiency, bit for bit, as for private copies of the values read.
double kge_rs(KgeInput sim, KgeInput obs, bool use_log);

}  // namespace pelmora
