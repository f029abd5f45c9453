// Clark unit hydrograph: time-area translation, Muskingum routing with x = 0
// as the linear reservoir, then a convolution that skips dry steps.
#include "rainfall_transform/clark_uh.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/errors.hpp"
#include "core/format.hpp"
#include "reach_routing/muskingum.hpp"

namespace pelmora {

namespace {

// The most ordinates we agree to build: 2^28 doubles, 2 GiB per vector. The
// routing pass holds two such vectors at once and the convolution holds one
// next to the result, so the peak stays near 4 GiB plus the result. That is
// already more than eight years of one-second steps inside the time of
// concentration; anything longer is a units mistake, and allocating it would
// only succeed lazily and then take the machine down while zero-filling.
constexpr std::uint64_t kMaxOrdinates = std::uint64_t{1} << 28;

[[noreturn]] void too_long(double ordinates) {
  throw DomainError("tc is too long for the time step: " + format_double(ordinates) +
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

// Ordinates or output values between two reports of progress.
constexpr std::size_t kPerReport = std::size_t{1} << 14;

// The unit hydrograph's ordinates for tc at step dt (both positive), and
// whether they and the N + n - 1 output values can be allocated.
struct Ordinates {
  double exact;  // ceil(tc / dt), as the error message gives it
  std::uint64_t n;
  bool fits;
};

Ordinates ordinates_for(std::size_t big_n, double dt, double tc_seconds) {
  const double exact = std::ceil(tc_seconds / dt);
  const std::uint64_t n = ordinate_count(exact);
  // n is at least 1, so the sum cannot wrap unless N itself is near the top.
  const bool fits = n <= kMaxOrdinates && big_n <= std::numeric_limits<std::size_t>::max() - (n - 1);
  return {exact, n, fits};
}

// The ordinate count of a call that builds ordinates: none for the
// degenerate case, and none for a tc refused before anything is built.
std::uint64_t ordinates_built(std::size_t big_n, double dt, double tc_seconds) {
  if (!(dt > 0.0 && tc_seconds > 0.0)) return 0;
  const Ordinates o = ordinates_for(big_n, dt, tc_seconds);
  return o.fits ? o.n : 0;
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

std::uint64_t clark_uh_cost(std::span<const double> rainfall, double dt, double tc_seconds) {
  const std::uint64_t n = ordinates_built(rainfall.size(), dt, tc_seconds);
  std::uint64_t wet = 0;
  if (n > 1)
    for (const double p : rainfall) wet += p != 0.0;
  // The unit hydrograph is built and routed, then spread by every wet value.
  return work_add(work_add(work_mul(n, 2), work_mul(wet, n)), rainfall.size() + n);
}

std::vector<double> clark_uh_rs(std::span<const double> rainfall, double dt, double basin_area,
                                double tc_seconds, double storage_seconds, Cancel cancel) {
  const std::size_t big_n = rainfall.size();
  if (!(dt > 0.0 && tc_seconds > 0.0)) return std::vector<double>(big_n, 0.0);

  const Ordinates ordinates = ordinates_for(big_n, dt, tc_seconds);
  if (!ordinates.fits) too_long(ordinates.exact);
  const std::uint64_t n = ordinates.n;
  const std::size_t out_len = big_n + (n - 1);

  try {
    // Translation: the increments of the time-area curve, as cfs per inch of
    // excess (1.00833 cfs per acre-inch per hour). They sum to one inch over
    // the basin held for one step each.
    const double dt_hours = dt / 3600.0;
    std::vector<double> q;
    q.reserve(n);
    double a_prev = 0.0;
    for (std::uint64_t i = 1; i <= n; ++i) {
      const double t = std::fmin((static_cast<double>(i) * dt) / tc_seconds, 1.0);
      const double a = time_area(t);
      q.push_back((a - a_prev) * basin_area * 1.00833 / dt_hours);
      a_prev = a;
      if (i % kPerReport == 0) cancel.progress(kPerReport);
    }
    cancel.progress(n % kPerReport);

    // Attenuation by the linear reservoir. The unit hydrograph keeps exactly
    // n ordinates; the recession beyond them is not carried on.
    const std::vector<double> u =
        muskingum_routing_rs(std::move(q), dt, storage_seconds, 0.0, 0.0, cancel);

    // Zero-filled a block at a time: for the longest tc that is gigabytes.
    std::vector<double> out;
    out.reserve(out_len);
    while (out.size() < out_len) {
      const std::size_t block = std::min(out_len - out.size(), kPerReport * 16);
      out.resize(out.size() + block, 0.0);
      cancel.progress(block);
    }
    // Dry steps (either signed zero) cost nothing; NaN is not dry and
    // spreads over its n outputs.
    const std::size_t m = u.size();
    if (m <= kPerReport) {
      // A block of rainfall values per report, each dry one counted as one
      // unit so that a long dry spell is polled too.
      const std::size_t per_report = kPerReport * 4 / m;
      for (std::size_t begin = 0; begin < big_n;) {
        const std::size_t end = big_n - begin > per_report ? begin + per_report : big_n;
        const std::size_t wet = convolve(rainfall.data(), begin, end, u, out.data());
        cancel.progress(wet * m + (end - begin - wet));
        begin = end;
      }
    } else {
      // A stretch of the unit hydrograph per report.
      for (std::size_t i = 0; i < big_n; ++i) {
        const double p = rainfall[i];
        if (p == 0.0) continue;
        double* dst = out.data() + i;
        for (std::size_t begin = 0; begin < m;) {
          const std::size_t end = m - begin > kPerReport ? begin + kPerReport : m;
          for (std::size_t j = begin; j < end; ++j) dst[j] = u[j] * p + dst[j];
          cancel.progress(end - begin);
          begin = end;
        }
      }
    }
    return out;
  } catch (const std::bad_alloc&) {
    too_long(ordinates.exact);
  } catch (const std::length_error&) {
    too_long(ordinates.exact);
  }
}

}  // namespace pelmora
