// Muskingum routing. The sub-reach driver does not run its passes one after
// another: pass j at index i needs only pass j-1 at i-1 and i, so a block of
// passes sweeps the series once, in place, each pass keeping its previous
// inflow and outflow in registers. The passes' recurrences are independent
// chains, which lets the CPU overlap them instead of waiting on one
// multiply-add latency chain at a time.
#include "reach_routing/muskingum.hpp"

#include <cmath>
#include <cstddef>
#include <utility>

#include "core/blocks.hpp"
#include "core/errors.hpp"
#include "core/format.hpp"

namespace pelmora {

namespace {

struct Coefficients {
  double c0;  // current inflow
  double c1;  // previous inflow
  double c2;  // previous outflow
};

// Evaluated in this exact order so that every pass, wherever it runs, gets
// the same bits.
Coefficients coefficients(double dt, double kp, double x) {
  const double t = kp + kp;
  const double a = (1.0 - x) * t;
  const double d = dt + a;
  const double b = t * x;
  return {(dt - b) / d, (b + dt) / d, (a - dt) / d};
}

// The step shared by the plain pass and the interleaved sweep; the two inflow
// terms are summed before the outflow term is added.
inline double step(const Coefficients& c, double prev_out, double in, double prev_in) {
  return c.c2 * prev_out + (c.c0 * in + c.c1 * prev_in);
}

// What B interleaved passes carry from one value to the next: the previous
// input of the first pass, and every pass's previous outflow. A later pass's
// previous input is the previous outflow of the pass before it.
template <std::size_t B>
struct Sweep {
  double first_prev_in;
  double prev_out[B];
};

// Advances B consecutive passes over v[begin, end), leaving the last pass's
// outflow in place. Out of line, with the carried values in local copies and
// no call in the loop, so that they live in registers: in memory (as they
// would be next to the progress report's call) they add a load and a store
// to every recurrence.
template <std::size_t B>
[[gnu::noinline]] void sweep_rows(double* v, std::size_t begin, std::size_t end, const Coefficients& c,
                                  Sweep<B>& carried) {
  const Coefficients k = c;
  double first_prev_in = carried.first_prev_in;
  double prev_out[B];
  for (std::size_t j = 0; j < B; ++j) prev_out[j] = carried.prev_out[j];
  for (std::size_t i = begin; i < end; ++i) {
    double in = v[i];
    double prev_in = first_prev_in;
    first_prev_in = in;
#pragma GCC unroll 16
    for (std::size_t j = 0; j < B; ++j) {
      const double out = step(k, prev_out[j], in, prev_in);
      prev_in = prev_out[j];
      prev_out[j] = out;
      in = out;
    }
    v[i] = in;
  }
  carried.first_prev_in = first_prev_in;
  for (std::size_t j = 0; j < B; ++j) carried.prev_out[j] = prev_out[j];
}

// Runs B consecutive passes over `v` in one sweep, leaving the last pass's
// outflow in `v`. Every pass starts at `o0`: the first is given it, and each
// later one starts from its input's first value, which is the previous pass's
// first outflow, o0 again.
template <std::size_t B>
void route_block(std::vector<double>& v, const Coefficients& c, double o0, Cancel& cancel) {
  Sweep<B> s;
  s.first_prev_in = v[0];
  for (std::size_t j = 0; j < B; ++j) s.prev_out[j] = o0;
  v[0] = o0;
  for_blocks(cancel, std::size_t{1}, v.size(), B,
             [&](std::size_t begin, std::size_t end) { sweep_rows<B>(v.data(), begin, end, c, s); });
}

}  // namespace

std::vector<double> muskingum_routing_rs(std::vector<double> inflow, double dt, double kp,
                                         double x, std::optional<double> initial_outflow,
                                         Cancel& cancel) {
  const std::size_t n = inflow.size();
  if (n == 0) index_fault(0, 0);
  std::vector<double> out(n);
  out[0] = initial_outflow ? *initial_outflow : inflow[0];
  if (n == 1) return out;
  const Coefficients c = coefficients(dt, kp, x);
  for_blocks(cancel, std::size_t{1}, n, 1, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) out[i] = step(c, out[i - 1], inflow[i], inflow[i - 1]);
  });
  return out;
}

namespace {

// NaN coefficients (from a NaN x, already warned about) are not negative.
bool negative(const Coefficients& c) { return c.c0 < 0.0 || c.c2 < 0.0; }

// Whether n sub-reaches give a non-negative C0 (or C2), as the passes would
// compute it.
bool c0_ok(double dt, double k_seconds, double x, double n) {
  return coefficients(dt, k_seconds / n, x).c0 >= 0.0;
}
bool c2_ok(double dt, double k_seconds, double x, double n) {
  return coefficients(dt, k_seconds / n, x).c2 >= 0.0;
}

}  // namespace

std::optional<std::string> negative_coefficient_warning(std::size_t values, double dt, double k_seconds,
                                                        double x, std::int64_t sub_reaches) {
  if (sub_reaches < 1 || values < 2) return std::nullopt;
  const Coefficients c = coefficients(dt, k_seconds / static_cast<double>(sub_reaches), x);
  if (!negative(c)) return std::nullopt;

  // C0 >= 0 needs n >= 2kx/dt and C2 >= 0 needs n <= 2k(1-x)/dt. The bounds
  // are moved by one where rounding puts them on the wrong side of what the
  // passes compute, so that the range named is the one that works. Kept as
  // doubles: they are whole numbers well inside 2^53 whenever the range is
  // not empty (k is at most about 10^14 seconds).
  double lo = std::fmax(std::ceil(2.0 * k_seconds * x / dt), 1.0);
  double hi = std::floor(2.0 * k_seconds * (1.0 - x) / dt);
  bool empty = !(lo <= hi);
  if (!empty && lo < 9.0e15) {
    if (lo > 1.0 && c0_ok(dt, k_seconds, x, lo - 1.0)) lo -= 1.0;
    else if (!c0_ok(dt, k_seconds, x, lo)) lo += 1.0;
    if (c2_ok(dt, k_seconds, x, hi + 1.0)) hi += 1.0;
    else if (hi >= 1.0 && !c2_ok(dt, k_seconds, x, hi)) hi -= 1.0;
    empty = !(lo <= hi);
  }
  std::string message = "Muskingum coefficients C0 = " + format_double(c.c0) + " and C2 = " + format_double(c.c2) +
                        " with sub_reaches = " + format_int(sub_reaches) +
                        ": a negative coefficient can make negative or oscillating outflow. ";
  if (!empty && lo == hi)
    message += "sub_reaches = " + format_double(lo) + " keeps both non-negative.";
  else if (!empty)
    message += "sub_reaches from " + format_double(lo) + " to " + format_double(hi) + " keeps both non-negative.";
  else if (k_seconds > 0.0 && x <= 0.5)  // one sub-reach over a step from 2kx to 2k(1-x) would do
    message += "No sub_reaches keeps both non-negative at this time step; the time step must change.";
  else
    message += "No sub_reaches and no time step keeps both non-negative: k must be positive and x at most 0.5.";
  return message;
}

std::uint64_t route_reach_cost(std::size_t values, std::int64_t sub_reaches) {
  if (sub_reaches < 1 || values <= 1) return 0;
  return work_mul(values - 1, static_cast<std::uint64_t>(sub_reaches));
}

std::vector<double> route_reach(std::vector<double> inflow, double dt, double k_seconds, double x,
                                std::int64_t sub_reaches, double initial_outflow, Cancel& cancel) {
  if (sub_reaches < 1) throw DomainError("sub_reaches must be >= 1");
  if (inflow.empty()) throw DomainError("inflow must not be empty");
  const double kp = k_seconds / static_cast<double>(sub_reaches);
  const Coefficients c = coefficients(dt, kp, x);

  // Four passes per sweep keep the floating-point units busy on current x86
  // cores (the throughput of four steps roughly matches one step's latency);
  // wider blocks gain nothing measurable.
  std::vector<double> v = std::move(inflow);
  // A single value is the starting outflow after any number of passes, so a
  // huge sub_reaches costs nothing here.
  if (v.size() == 1) {
    v[0] = initial_outflow;
    return v;
  }
  std::int64_t remaining = sub_reaches;
  for (; remaining >= 4; remaining -= 4) route_block<4>(v, c, initial_outflow, cancel);
  switch (remaining) {
    case 3: route_block<3>(v, c, initial_outflow, cancel); break;
    case 2: route_block<2>(v, c, initial_outflow, cancel); break;
    case 1: route_block<1>(v, c, initial_outflow, cancel); break;
    default: break;
  }
  return v;
}

}  // namespace pelmora
