// The pieces the outlet kinds share. Every kind answers one question, its
// discharge at a moment of the simulation and a water-surface elevation,
// with a `discharge_at` of its own, and states beside its definition the
// traits outlet_kinds.hpp reads. DischargeInfo (level_pool.hpp) holds any one
// kind and get_discharge asks it. Errors are thrown (DomainError,
// StateError).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "core/errors.hpp"
#include "core/format.hpp"
#include "reservoir_routing/reservoir_utils/elevation_discharge.hpp"
#include "utils/general.hpp"

namespace pelmora {

// An outlet is shut while the reservoir is below its minimum or above its
// maximum elevation; the bounds themselves still release. An absent bound is
// an infinite one, and a NaN elevation slips through, as comparisons with NaN
// are false.
inline bool elevation_gate_closed(const std::optional<double>& minimum_elevation,
                                  const std::optional<double>& maximum_elevation,
                                  double elevation) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  return minimum_elevation.value_or(-inf) > elevation ||
         elevation > maximum_elevation.value_or(inf);
}

// The error of a query without a time to an outlet of kind `name` that
// needs one: only a caller that runs a clock can ask it.
[[noreturn, gnu::cold, gnu::noinline]] inline void refuse_missing_time(std::string_view name) {
  throw StateError(std::string(name) + " requires duration_secs but none was provided.");
}

// Out of line and cold so that the per-second callers stay small.
[[noreturn, gnu::cold, gnu::noinline]] inline void throw_above_rating_curve(double elevation,
                                                                            double last) {
  throw DomainError("elevation " + format_double(elevation) +
                    " is above the maximum of the elevation-discharge curve (" +
                    format_double(last) + ").");
}
// NaN lies outside every curve.
[[noreturn, gnu::cold, gnu::noinline]] inline void throw_nan_on_rating_curve() {
  throw DomainError("elevation NaN is outside the range of the elevation-discharge curve.");
}

// The rating-curve lookup both curve-driven outlets make once their own
// rules have run: an error above the curve, nothing below it, otherwise the
// interpolated discharge passed through `finish` (the controlled outlet's
// cap; the answer below the curve is not capped). The curve must satisfy
// check_interp_curve; `segment` is the interp_within hint.
struct AsInterpolated {
  double operator()(double q) const { return q; }
};

template <class Finish = AsInterpolated>
[[gnu::always_inline]] inline double rating_curve_discharge(const ElevationDischarge& curve,
                                                            double elevation, std::size_t& segment,
                                                            Finish finish = {}) {
  const double* x = curve.elevation.data();
  const std::size_t n = curve.elevation.size();
  if (elevation > x[n - 1]) throw_above_rating_curve(elevation, x[n - 1]);
  if (x[0] > elevation) return 0.0;
  if (std::isnan(elevation)) throw_nan_on_rating_curve();
  return finish(interp_within(x, curve.discharge.data(), n, elevation, segment));
}

}  // namespace pelmora
