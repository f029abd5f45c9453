// Piecewise-linear lookup on tabulated curves, and the unchecked variants
// the time-stepping models use once a curve and a series have been
// validated. Free of Python.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "utils/time_series.hpp"

namespace pelmora {

// y at x on the curve through (x_values[i], y_values[i]). Below the first
// abscissa the answer is `left`, above the last one `right`, exactly as
// given; an abscissa hit exactly answers its ordinate without arithmetic.
//
// The curve is checked on every call (equal lengths, at least two points,
// strictly increasing x, non-decreasing y) and a NaN x is refused. These are
// internal faults: callers guarantee them, so they signal a broken invariant.
std::optional<double> interp1d(std::span<const double> x_values, std::span<const double> y_values,
                               double x, std::optional<double> left, std::optional<double> right);

// The curve checks of interp1d on their own, with the same faults.
void check_interp_curve(std::span<const double> x_values, std::span<const double> y_values);

// interp1d for a curve that passed check_interp_curve and an x known to lie
// in [xs[0], xs[n - 1]] (so not NaN), bit for bit. `segment` (in [1, n - 1])
// names the interval where the previous lookup landed: models that step
// through time look up slowly moving values, so the hint almost always holds
// and the search is skipped.
inline double interp_within(const double* xs, const double* ys, std::size_t n, double x,
                            std::size_t& segment) {
  std::size_t i = segment;
  if (!(x <= xs[i] && x >= xs[i - 1])) {
    // The first abscissa not below x; x <= xs[n - 1] keeps it inside.
    i = static_cast<std::size_t>(std::lower_bound(xs + 1, xs + (n - 1), x) - xs);
    segment = i;
  }
  // xs[i - 1] <= x <= xs[i]. An end of the interval hit exactly must answer
  // its ordinate untouched, as interp1d's search would find it.
  if (x == xs[i]) return ys[i];
  if (x == xs[i - 1]) return ys[i - 1];
  const double x0 = xs[i - 1];
  const double x1 = xs[i];
  const double y0 = ys[i - 1];
  const double y1 = ys[i];
  return ((x - x0) / (x1 - x0)) * (y1 - y0) + y0;
}

// Where a whole-second reader of a series stands: the interval starting at
// point `index`, which begins at `start` = index * time_step seconds.
struct SeriesCursor {
  std::size_t index = 0;
  std::int64_t start = 0;
};

// ContinuousSeries::get_value at whole second t, bit for bit, for
// 0 <= t <= total_duration() and t < 2^53. The cursor replaces the floor of
// the quotient: with t and the step whole, t / step correctly rounded could
// only reach the next whole number from t >= 2^53 on, so below that its
// floor is the index of the interval holding t.
inline double series_value_at(const ContinuousSeries& series, std::int64_t t,
                              SeriesCursor& cursor) {
  const std::int64_t step = series.time_step;
  while (t >= cursor.start + step) {
    ++cursor.index;
    cursor.start += step;
  }
  while (t < cursor.start) {
    --cursor.index;
    cursor.start -= step;
  }
  const double p = static_cast<double>(t) / static_cast<double>(step);
  const std::size_t i = cursor.index;
  const double* d = series.data.data();
  const std::size_t n = series.data.size();
  if (i < n - 1) return d[i] + (d[i + 1] - d[i]) * (p - static_cast<double>(i));
  return d[n - 1];
}

// min and max as the models use them: a NaN operand yields the other one,
// and between equal values (signed zeros) the first operand is kept.
inline double min_ignoring_nan(double a, double b) {
  if (std::isnan(a)) return b;
  return b < a ? b : a;
}
inline double max_ignoring_nan(double a, double b) {
  if (std::isnan(a)) return b;
  return b > a ? b : a;
}

}  // namespace pelmora
