// interp1d, and the unchecked readers the routing loop uses in its place:
// interp_within for curves and series_value_at for series, which must agree
// with interp1d and ContinuousSeries::get_value to the last bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/errors.hpp"
#include "utils/general.hpp"
#include "utils/time_series.hpp"

namespace pelmora {
namespace {

using Vec = std::vector<double>;
constexpr double kInf = std::numeric_limits<double>::infinity();

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

std::string fault_of(const Vec& xs, const Vec& ys, double x) {
  try {
    interp1d(xs, ys, x, 0.0, 0.0);
  } catch (const InternalFault& e) {
    return e.message();
  }
  return "no fault";
}

struct Lookup {
  const char* what;
  Vec xs, ys;
  double x;
  std::optional<double> left, right, expected;
};

TEST(Interp1d, Lookups) {
  const Lookup cases[] = {
      {"first abscissa: its ordinate, not left", {1, 2, 3}, {10, 20, 30}, 1.0, 5.0, 7.0, 10.0},
      {"last abscissa: its ordinate, right absent", {1, 2, 3}, {10, 20, 30}, 3.0, 5.0, {}, 30.0},
      {"flat segment", {1, 2, 3}, {10, 20, 20}, 2.5, {}, {}, 20.0},
      {"midpoint", {1, 2}, {10, 30}, 1.5, {}, {}, 20.0},
      {"just below: left", {1, 2}, {10, 30}, std::nextafter(1.0, 0.0), 0.0, {}, 0.0},
      {"just below, left absent", {1, 2}, {10, 30}, std::nextafter(1.0, 0.0), {}, 9.0, {}},
      {"just above: right", {1, 2}, {10, 30}, std::nextafter(2.0, 3.0), 0.0, 9.0, 9.0},
      {"just above, right absent", {1, 2}, {10, 30}, std::nextafter(2.0, 3.0), 0.0, {}, {}},
      {"+inf gives right", {1, 2}, {10, 30}, kInf, 0.0, 9.0, 9.0},
      {"-inf gives left", {1, 2}, {10, 30}, -kInf, 0.0, 9.0, 0.0},
      // Other groupings of the same operations give ...889 and ...895.
      {"difference, quotient, product, sum", {0.142, 0.515}, {1.238, 4.675}, 0.358, {}, {},
       3.2283270777479887},
      {"a hit copies the ordinate, sign of zero included", {-1, 0}, {-1, -0.0}, 0.0, {}, {}, -0.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto got = interp1d(c.xs, c.ys, c.x, c.left, c.right);
    ASSERT_EQ(got.has_value(), c.expected.has_value());
    if (got) {
      EXPECT_EQ(bits(*got), bits(*c.expected)) << *got;
    }
  }
}

TEST(Interp1d, BrokenCurvesAndNanAreFaults) {
  const std::string x_order = "`x_values` must must be sorted and can't have duplicates";
  const std::string y_order = "`y_values` must must be sorted";
  const std::string too_short = "x_values and y_values each must have at least 2 elements.";
  const std::string lengths = "length of `x_values` and `y_values` should be same.";
  struct Case {
    Vec xs, ys;
    double x;
    std::string message;
  } cases[] = {
      {{1, 2}, {10, 20}, NAN, "called `Option::unwrap()` on a `None` value"},
      {{1, 1, 2}, {1, 2, 3}, 1.5, x_order},
      {{1, NAN}, {1, 2}, 1.5, x_order},
      {{1, 2}, {3, 2}, 1.5, y_order},
      {{1, 2}, {3, NAN}, 1.5, y_order},
      {{1}, {1}, 1.0, too_short},
      {{}, {}, 1.0, too_short},
      {{1}, {1, 2}, 1.0, lengths},  // the length test comes first
      {{2, 1}, {2, 1}, 1.5, x_order},  // abscissae before ordinates
      {{2, 1}, {1, 2}, 100.0, x_order},  // checked even far off the curve
  };
  for (const auto& c : cases) EXPECT_EQ(fault_of(c.xs, c.ys, c.x), c.message);
}

// Random curves with flat runs, negative values and tiny steps, looked up
// along a random walk (as the routing loop does), at abscissae, next to them
// and anywhere between, with the hint carried over or reset at random.
TEST(InterpWithin, MatchesInterp1dBitForBit) {
  std::mt19937_64 rng(20240611);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int curve = 0; curve < 300; ++curve) {
    const std::size_t n = 2 + rng() % 40;
    Vec xs(n), ys(n);
    xs[0] = (unit(rng) - 0.5) * 1000.0;
    for (std::size_t i = 1; i < n; ++i) {
      const double dx = rng() % 5 == 0 ? 1e-9 : unit(rng) * 10.0 + 1e-12;
      xs[i] = xs[i - 1] + dx;
      if (!(xs[i] > xs[i - 1])) xs[i] = std::nextafter(xs[i - 1], kInf);
    }
    // Drawn independently and sorted, over several magnitudes, so that
    // y0 + (y1 - y0) is not always y1 and an abscissa hit must be a copy.
    for (double& y : ys)
      y = (unit(rng) - 0.5) * std::pow(10.0, static_cast<double>(rng() % 7) - 2.0);
    std::sort(ys.begin(), ys.end());
    for (std::size_t i = 1; i < n; ++i)
      if (rng() % 4 == 0) ys[i] = ys[i - 1];
    std::size_t segment = 1;
    double x = xs[0];
    for (int k = 0; k < 400; ++k) {
      switch (rng() % 4) {
        case 0: x = xs[rng() % n]; break;
        case 1: x = std::nextafter(xs[rng() % n], rng() % 2 ? kInf : -kInf); break;
        case 2: x = xs[0] + unit(rng) * (xs[n - 1] - xs[0]); break;
        default: x = x + (unit(rng) - 0.5) * 0.5; break;
      }
      x = std::fmin(std::fmax(x, xs[0]), xs[n - 1]);
      if (rng() % 10 == 0) segment = 1 + rng() % (n - 1);
      const double want = *interp1d(xs, ys, x, std::nullopt, std::nullopt);
      const double got = interp_within(xs.data(), ys.data(), n, x, segment);
      ASSERT_EQ(bits(got), bits(want)) << "x=" << x << " n=" << n;
      ASSERT_TRUE(segment >= 1 && segment < n);
    }
  }
}

// A hit at either end of the hinted segment copies the ordinate: the
// formula would turn a -0 ordinate into +0.
TEST(InterpWithin, HitsCopyTheOrdinate) {
  const Vec xs{-1.0, 0.0, 1.0}, ys{-1.0, -0.0, 2.0};
  for (std::size_t hint : {1, 2}) {
    std::size_t segment = hint;
    EXPECT_EQ(bits(interp_within(xs.data(), ys.data(), 3, 0.0, segment)), bits(-0.0));
    EXPECT_EQ(bits(interp_within(xs.data(), ys.data(), 3, -0.0, segment)), bits(-0.0));
  }
}

// Every whole second of short series, forwards one second at a time, and
// scattered seconds (backwards too) of long-stepped ones.
TEST(SeriesValueAt, MatchesGetValueBitForBit) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> value(-100.0, 100.0);
  const std::int32_t steps[] = {1, 2, 3, 7, 60, 3599, 86400, 2147483647};
  for (std::int32_t step : steps) {
    for (std::size_t n = 1; n < 12; ++n) {
      ContinuousSeries s;
      s.time_step = step;
      s.kind = "discharge";
      for (std::size_t i = 0; i < n; ++i) s.data.vector().push_back(value(rng));
      if (n > 3) s.data.vector()[2] = s.data[1];
      const std::int64_t total = s.total_duration();
      SeriesCursor cursor;
      if (total <= 5000) {
        for (std::int64_t t = 0; t <= total; ++t)
          ASSERT_EQ(bits(series_value_at(s, t, cursor)), bits(s.get_value(static_cast<double>(t))))
              << "step " << step << " t " << t;
      }
      for (int k = 0; k < 200; ++k) {
        const auto t = static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(total + 1));
        ASSERT_EQ(bits(series_value_at(s, t, cursor)), bits(s.get_value(static_cast<double>(t))))
            << "step " << step << " t " << t;
      }
    }
  }
}

TEST(NanAwareMinMax, NanYieldsTheOtherOperand) {
  EXPECT_EQ(min_ignoring_nan(NAN, 2.0), 2.0);
  EXPECT_EQ(min_ignoring_nan(2.0, NAN), 2.0);
  EXPECT_EQ(min_ignoring_nan(3.0, 2.0), 2.0);
  EXPECT_EQ(max_ignoring_nan(NAN, 0.0), 0.0);
  EXPECT_EQ(max_ignoring_nan(-5.0, 0.0), 0.0);
  EXPECT_EQ(max_ignoring_nan(5.0, NAN), 5.0);
}

}  // namespace
}  // namespace pelmora
