// Muskingum routing. The sub-reach driver does not run its passes one after
// another: pass j at index i needs only pass j-1 at i-1 and i, so a block of
// passes sweeps the series once, in place, each pass keeping its previous
// inflow and outflow in registers. The passes' recurrences are independent
// chains, which lets the CPU overlap them instead of waiting on one
// multiply-add latency chain at a time.
#include "reach_routing/muskingum.hpp"

#include <cstddef>
#include <utility>

#include "core/errors.hpp"

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

// Values swept between two reports of progress: small enough that a report
// comes every few microseconds, large enough that it costs nothing.
constexpr std::size_t kRowsPerReport = std::size_t{1} << 14;

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
  const std::size_t n = v.size();
  for (std::size_t begin = 1; begin < n;) {
    const std::size_t end = n - begin > kRowsPerReport ? begin + kRowsPerReport : n;
    sweep_rows<B>(v.data(), begin, end, c, s);
    cancel.progress((end - begin) * B);
    begin = end;
  }
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
  for (std::size_t begin = 1; begin < n;) {
    const std::size_t end = n - begin > kRowsPerReport ? begin + kRowsPerReport : n;
    for (std::size_t i = begin; i < end; ++i) out[i] = step(c, out[i - 1], inflow[i], inflow[i - 1]);
    cancel.progress(end - begin);
    begin = end;
  }
  return out;
}

std::uint64_t route_reach_cost(std::size_t values, std::int64_t sub_reaches) {
  if (sub_reaches < 1) return 0;
  if (values <= 1) return values;
  return work_mul(values, static_cast<std::uint64_t>(sub_reaches));
}

std::vector<double> route_reach(std::vector<double> inflow, double dt, double k_seconds, double x,
                                std::int64_t sub_reaches, double initial_outflow, Cancel cancel) {
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
