// Clark unit hydrograph: time-area translation, then Muskingum routing with
// x = 0 as the linear reservoir, started from rest and carried on through the
// recession until the water it still has to release is negligible, then a
// convolution that skips dry steps.
//
// Why the recession stops where it does. With x = 0 the routing pass is the
// trapezoidal balance of a reservoir whose storage is R times its outflow, so
// summing it gives, at any ordinate j once the translation has ended,
//
//   dt * (u[0] + ... + u[j]) = one inch over the basin - u[j] * (R - dt/2).
//
// u[j] * (R - dt/2) is the volume the unit hydrograph has yet to deliver
// (the ordinates after j form a geometric series of ratio C2). It is also
// the volume still stored in the reservoir: in HEC's form of the same scheme,
// O[j] = C_A I[j] + (1 - C_A) O[j-1] with u[j] the mean of O[j-1] and O[j-2],
// it equals R * O[j-1]. The recession ends at the first ordinate where it is
// at most 1e-12 of the inch, so the kept ordinates carry the inch to 1e-12
// plus rounding. At the last
// translation ordinate half of that ordinate's inflow is also still to come,
// and the same test, with that half added, lets a reservoir with nothing
// left (R = 0) stop there.
//
// A reservoir whose ratio C2 is -1 (R = 0) never decays in floating point,
// it only flips the sign of its rounding residue: it stores nothing, so its
// unit hydrograph ends at the last translation ordinate or the one after it,
// whatever the residue. One whose ratio rounds to 1 (R astronomically longer
// than the step) cannot be drained within the allocation limit and is
// refused, as is any recession longer than that limit.
#include "rainfall_transform/clark_uh.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "core/blocks.hpp"
#include "core/errors.hpp"
#include "core/format.hpp"
#include "reach_routing/muskingum.hpp"

namespace pelmora {

namespace {

// The most ordinates we agree to build: 2^28 doubles, 2 GiB per vector. The
// routing pass holds two such vectors at once and the convolution holds one
// next to the result, so the peak stays near 4 GiB plus the result. That is
// already more than eight years of one-second steps inside the unit
// hydrograph; anything longer is a units mistake, and allocating it would
// only succeed lazily and then take the machine down while zero-filling.
constexpr std::uint64_t kMaxOrdinates = std::uint64_t{1} << 28;

// The share of one inch over the basin that the recession may leave behind.
constexpr double kNegligible = 1e-12;

[[noreturn]] void too_long(const char* what, double ordinates) {
  throw DomainError(std::string(what) + " for the time step: " + format_double(ordinates) +
                    " unit hydrograph ordinates cannot be allocated");
}

// ceil(tc / dt) saturated to the unsigned 64-bit range. Whole-second steps
// and timedelta lengths always give at least one ordinate; only a quotient
// that underflows (or an infinite step) could give none, and one is what the
// time-area curve needs to reach 1.
std::uint64_t ordinate_count(double ordinates) {
  if (!(ordinates < 18446744073709551616.0)) return std::numeric_limits<std::uint64_t>::max();
  if (ordinates < 1.0) return 1;
  return static_cast<std::uint64_t>(ordinates);
}

// The translation ordinates for tc at step dt (both positive), and whether
// they fit with the leading zero and the first recession ordinate that every
// unit hydrograph has.
struct Ordinates {
  double exact;  // ceil(tc / dt), as the error message gives it
  std::uint64_t n;
  bool fits;
};

Ordinates ordinates_for(std::size_t big_n, double dt, double tc_seconds) {
  const double exact = std::ceil(tc_seconds / dt);
  const std::uint64_t n = ordinate_count(exact);
  // A vector of N values already exists, so N + kMaxOrdinates cannot wrap
  // unless N itself is near the top.
  const bool fits = n <= kMaxOrdinates - 2 && big_n <= std::numeric_limits<std::size_t>::max() - kMaxOrdinates;
  return {exact, n, fits};
}

// The ordinate count of a call that builds ordinates: none for the
// degenerate case, and none for a tc refused before anything is built.
std::uint64_t ordinates_built(std::size_t big_n, double dt, double tc_seconds) {
  if (!(dt > 0.0 && tc_seconds > 0.0)) return 0;
  const Ordinates o = ordinates_for(big_n, dt, tc_seconds);
  return o.fits ? o.n : 0;
}

// C2 of the routing pass with x = 0, the ratio of successive recession
// ordinates. Only counts are sized from it; the ordinates themselves come
// from the pass.
double recession_ratio(double dt, double r) { return (r + r - dt) / (r + r + dt); }

// How many steps of ratio `decay` (below 1) bring `ratio` down to 1 or
// less, erring high: a few ulps of rounding in the ordinates and in the
// logarithms must not leave the last step short. Infinite when no count
// will do.
double steps_to_settle(double ratio, double decay) {
  if (!(ratio > 1.0)) return 0.0;
  const double per_step = -std::log(decay);
  if (!(per_step > 0.0)) return std::numeric_limits<double>::infinity();
  return std::ceil(std::log(ratio) / per_step * (1.0 + 1e-6)) + 2.0;
}

// An upper bound on the recession ordinates after the first one, known before
// anything is built. The first recession ordinate is at most (1 - C2) /
// (1 - |C2|) times the largest translation ordinate (the pass mixes two
// inflows with weights summing to 1 - C2). That one is at most the inch over
// the basin in one step, and at most the curve's steepest rise over one step
// (slope 1.414 x 1.5 x 0.5^0.5 < 1.5 at T = 0.5, plus the 1.4e-4 by which the
// upper branch starts above the lower one).
double recession_bound(double dt, double tc, double r) {
  const double c2 = recession_ratio(dt, r);
  const double decay = std::fabs(c2);
  if (!(decay < 1.0)) return r > dt / 2.0 ? std::numeric_limits<double>::infinity() : 0.0;
  const double largest = std::fmin(1.0, 1.5 * dt / tc + 2e-4);
  const double first = (1.0 - c2) / (1.0 - decay) * largest;
  return steps_to_settle(first * std::fabs(r - dt / 2.0) / dt / kNegligible, decay);
}

// Carries the recession of the routed translation `u` (n + 2 ordinates: the
// leading zero, the n routed ordinates and the first recession ordinate) on
// until the volume still to come is negligible, and cuts `u` there. `q_last`
// is the last translation ordinate.
void drain(std::vector<double>& u, std::uint64_t n, double q_last, double dt, double basin_area,
           double r, Cancel& cancel) {
  const double unit = std::fabs(basin_area * 1.00833 * 3600.0);  // cfs x s in one inch
  const double allowed = kNegligible * unit;  // zero only for a zero basin, whose ordinates are zero
  const double half = dt / 2.0;
  const double held = r - half;  // volume per cfs of outflow not yet delivered
  if (std::fabs(q_last * half + u[n] * held) <= allowed) {
    u.resize(n + 1);
    return;
  }
  const double first = u[n + 1];
  const double left = std::fabs(first * held);
  if (left <= allowed) return;
  const double decay = std::fabs(recession_ratio(dt, r));
  if (!(decay < 1.0)) {
    // R = 0 stores nothing; a NaN one has nothing to gain from more steps.
    if (!(r > half)) return;
    too_long("storage_r is too long", std::numeric_limits<double>::infinity());
  }
  const double steps = steps_to_settle(left / unit / kNegligible, decay);
  const double total = static_cast<double>(n) + 2.0 + steps;
  if (!(total <= static_cast<double>(kMaxOrdinates)))
    too_long(r > half ? "storage_r is too long" : "storage_r is too short", total);

  // The pass carries on from the first recession ordinate with no inflow.
  const auto k = static_cast<std::size_t>(steps);
  std::vector<double> tail = muskingum_routing_rs(std::vector<double>(k + 1, 0.0), dt, r, 0.0, first, cancel);
  std::size_t end = k + 1;
  for_blocks(cancel, std::size_t{1}, k + 1, 1, [&](std::size_t begin, std::size_t stop) {
    for (std::size_t j = begin; j < stop; ++j)
      if (std::fabs(tail[j] * held) <= allowed) {
        end = j + 1;
        return false;
      }
    return true;
  });
  u.insert(u.end(), tail.begin() + 1, tail.begin() + static_cast<std::ptrdiff_t>(end));
}

// Adds rainfall values [begin, end) spread by the unit hydrograph `u` into
// `out`; returns how many of them were wet. Out of line, so that no report
// of progress sits in the loop.
[[gnu::noinline]] std::size_t convolve(const double* rainfall, std::size_t begin, std::size_t end,
                                       const std::vector<double>& u, double* out) {
  std::size_t wet = 0;
  for (std::size_t i = begin; i < end; ++i) {
    const double p = rainfall[i];
    if (p == 0.0) continue;
    ++wet;
    double* dst = out + i;
    for (std::size_t j = 0; j < u.size(); ++j) dst[j] = u[j] * p + dst[j];
  }
  return wet;
}

// The cumulative fraction of the basin area contributing by dimensionless
// time t. Both branches use 1.414 rather than sqrt(2); the upper branch
// already applies at exactly 0.5.
double time_area(double t) {
  if (t < 0.5) return std::pow(t, 1.5) * 1.414;
  const double rest = std::pow(1.0 - t, 1.5);
  return rest * (-1.414) + 1.0;
}

}  // namespace

std::uint64_t clark_uh_cost(std::span<const double> rainfall, double dt, double tc_seconds,
                            double storage_seconds) {
  const std::uint64_t n = ordinates_built(rainfall.size(), dt, tc_seconds);
  if (n == 0) return rainfall.size();
  // The longest recession there can be, within the limit, and with it the
  // longest unit hydrograph.
  const double bound = recession_bound(dt, tc_seconds, storage_seconds);
  const std::uint64_t k = static_cast<double>(n) + 2.0 + bound < static_cast<double>(kMaxOrdinates)
                              ? static_cast<std::uint64_t>(bound)
                              : kMaxOrdinates - 2 - n;
  const std::uint64_t m = n + 2 + k;
  std::uint64_t wet = 0;
  for (const double p : rainfall) wet += p != 0.0;
  const std::uint64_t big_n = rainfall.size();
  // What clark_uh_rs reports, step by step: the translation built (n) and
  // routed (n + 1, the first value being given), the recession routed and
  // searched for its end (k each), the output zero-filled (N + m - 1), and
  // every rainfall value spread over it (m for a wet one, one for a dry).
  const std::uint64_t ordinates = n + (n + 1) + 2 * k;
  return work_add(work_add(ordinates, big_n + m - 1), work_add(work_mul(wet, m), big_n - wet));
}

std::vector<double> clark_uh_rs(std::span<const double> rainfall, double dt, double basin_area,
                                double tc_seconds, double storage_seconds, Cancel& cancel) {
  const std::size_t big_n = rainfall.size();
  if (!(dt > 0.0 && tc_seconds > 0.0)) return std::vector<double>(big_n, 0.0);

  const Ordinates ordinates = ordinates_for(big_n, dt, tc_seconds);
  if (!ordinates.fits) too_long("tc is too long", ordinates.exact);
  const std::uint64_t n = ordinates.n;

  // Translation: the increments of the time-area curve, as cfs per inch of
  // excess (1.00833 cfs per acre-inch per hour). They sum to one inch over
  // the basin held for one step each. The reservoir starts from rest one
  // step before the first of them, and the zero after them is the first
  // step of its recession.
  const double dt_hours = dt / 3600.0;
  std::vector<double> inflow;
  inflow.reserve(n + 2);
  inflow.push_back(0.0);
  double a_prev = 0.0;
  for_blocks(cancel, std::uint64_t{1}, n + 1, 1, [&](std::uint64_t begin, std::uint64_t end) {
    for (std::uint64_t i = begin; i < end; ++i) {
      const double t = std::fmin((static_cast<double>(i) * dt) / tc_seconds, 1.0);
      const double a = time_area(t);
      inflow.push_back((a - a_prev) * basin_area * 1.00833 / dt_hours);
      a_prev = a;
    }
  });
  const double q_last = inflow.back();
  inflow.push_back(0.0);

  // Attenuation by the linear reservoir, then its recession.
  std::vector<double> u = muskingum_routing_rs(std::move(inflow), dt, storage_seconds, 0.0, 0.0, cancel);
  drain(u, n, q_last, dt, basin_area, storage_seconds, cancel);

  // Zero-filled a block at a time: for the longest unit hydrograph that is
  // gigabytes.
  const std::size_t m = u.size();
  const std::size_t out_len = big_n + (m - 1);
  std::vector<double> out;
  out.reserve(out_len);
  for_blocks(cancel, std::size_t{0}, out_len, 1, [&](std::size_t, std::size_t end) { out.resize(end, 0.0); });
  // Dry steps (either signed zero) cost nothing; NaN is not dry and
  // spreads over its m outputs.
  if (m < kBlockWork) {
    // A block of rainfall values per report, each dry one counted as one
    // unit so that a long dry spell is polled too.
    for_blocks(cancel, std::size_t{0}, big_n, m, [&](std::size_t begin, std::size_t end) -> std::uint64_t {
      const std::size_t wet = convolve(rainfall.data(), begin, end, u, out.data());
      return wet * m + (end - begin - wet);
    });
  } else {
    // A stretch of the unit hydrograph per report.
    for (std::size_t i = 0; i < big_n; ++i) {
      const double p = rainfall[i];
      if (p == 0.0) continue;
      double* dst = out.data() + i;
      for_blocks(cancel, std::size_t{0}, m, 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t j = begin; j < end; ++j) dst[j] = u[j] * p + dst[j];
      });
    }
  }
  return out;
}

}  // namespace pelmora
