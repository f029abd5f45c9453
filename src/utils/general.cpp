// interp1d: every call re-checks its curve, then a binary search.
#include "utils/general.hpp"

#include "core/errors.hpp"

namespace pelmora {

void check_interp_curve(std::span<const double> x_values, std::span<const double> y_values) {
  const std::size_t n = x_values.size();
  if (n != y_values.size()) fault("length of `x_values` and `y_values` should be same.");
  if (n < 2) fault("x_values and y_values each must have at least 2 elements.");
  // Negated tests so that a NaN anywhere fails them.
  for (std::size_t i = 1; i < n; ++i)
    if (!(x_values[i] > x_values[i - 1]))
      fault("`x_values` must must be sorted and can't have duplicates");
  for (std::size_t i = 1; i < n; ++i)
    if (!(y_values[i] >= y_values[i - 1])) fault("`y_values` must must be sorted");
}

std::optional<double> interp1d(std::span<const double> x_values, std::span<const double> y_values,
                               double x, std::optional<double> left, std::optional<double> right) {
  check_interp_curve(x_values, y_values);
  // A NaN x has no place in the order the search relies on.
  if (std::isnan(x)) fault("called `Option::unwrap()` on a `None` value");

  const std::size_t n = x_values.size();
  const std::size_t i = static_cast<std::size_t>(
      std::lower_bound(x_values.begin(), x_values.end(), x) - x_values.begin());
  if (i < n && x_values[i] == x) return y_values[i];
  if (i == 0) return left;
  if (i == n) return right;
  const double x0 = x_values[i - 1];
  const double x1 = x_values[i];
  const double y0 = y_values[i - 1];
  const double y1 = y_values[i];
  return ((x - x0) / (x1 - x0)) * (y1 - y0) + y0;
}

}  // namespace pelmora
