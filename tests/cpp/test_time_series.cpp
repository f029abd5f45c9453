// Interpolation in ContinuousSeries and the shared number formatter.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "core/errors.hpp"
#include "core/format.hpp"
#include "utils/time_series.hpp"

namespace pelmora {
namespace {

ContinuousSeries series(std::vector<double> data, std::int32_t step) {
  ContinuousSeries s;
  s.data = std::move(data);
  s.time_step = step;
  s.kind = "discharge";
  return s;
}

std::string error_of(const ContinuousSeries& s, double t) {
  try {
    s.get_value(t);
  } catch (const DomainError& e) {
    return e.message();
  }
  return "no error";
}

TEST(GetValue, InterpolatesAndClampsWithinTolerance) {
  const auto s = series({0, 10, 20}, 3600);
  EXPECT_EQ(s.get_value(1800.0), 5.0);
  EXPECT_EQ(s.get_value(3600.0), 10.0);
  EXPECT_EQ(s.get_value(7200.0), 20.0);
  EXPECT_EQ(s.get_value(-0.0000005), 0.0);
  EXPECT_EQ(s.get_value(-1e-6), 0.0);
  EXPECT_EQ(s.get_value(7200.0 + 1e-6), 20.0);
  EXPECT_EQ(error_of(s, -1.0), "`duration` -1 is less than 0.");
  EXPECT_EQ(error_of(s, 7200.5), "`duration` 7200.5 is out of range (max 7200).");
  EXPECT_EQ(error_of(s, INFINITY), "`duration` inf is out of range (max 7200).");
  EXPECT_TRUE(std::isnan(s.get_value(NAN)));
}

TEST(GetValue, ShortSeries) {
  const auto one = series({4.5}, 3600);
  EXPECT_EQ(one.get_value(0.0), 4.5);
  EXPECT_EQ(one.get_value(0.0000005), 4.5);
  EXPECT_EQ(one.get_value(NAN), 4.5);
  EXPECT_EQ(error_of(one, 1.0), "`duration` 1 is out of range (max 0).");
  EXPECT_EQ(error_of(series({}, 3600), 0.0), "`duration` 0 is out of range (max -3600).");
}

TEST(TimeStep, TruncatesAndSaturates) {
  EXPECT_EQ(time_step_from_seconds(90.7), 90);
  EXPECT_EQ(time_step_from_seconds(1e300), std::numeric_limits<std::int32_t>::max());
  for (double bad : {0.0, 0.5, -5.0, double(NAN)}) EXPECT_THROW(time_step_from_seconds(bad), DomainError);
}

TEST(Format, PositionalShortestDigits) {
  EXPECT_EQ(format_double(0.5), "0.5");
  EXPECT_EQ(format_double(2.0), "2");
  EXPECT_EQ(format_double(7200.25), "7200.25");
  EXPECT_EQ(format_double(1e-7), "0.0000001");
  EXPECT_EQ(format_double(-0.0), "-0");
  EXPECT_EQ(format_double(std::ldexp(1.0, 60)), "1152921504606847000");
  EXPECT_EQ(format_double(1e23), "100000000000000000000000");
  EXPECT_EQ(format_double(NAN), "NaN");
  EXPECT_EQ(format_double(-INFINITY), "-inf");
  EXPECT_EQ(format_fixed(0.25, 4), "0.2500");
  EXPECT_EQ(format_fixed(1.0 / 3.0, 4), "0.3333");
  EXPECT_EQ(format_fixed(NAN, 4), "NaN");
  EXPECT_EQ(format_fixed(INFINITY, 4), "inf");
}

// Every printed double reads back to itself: a property loop over random bit
// patterns, which covers subnormals, huge exponents and both signs.
TEST(Format, RoundTripsRandomDoubles) {
  std::mt19937_64 rng(20261208);
  for (int i = 0; i < 200000; ++i) {
    const std::uint64_t bits = rng();
    double v;
    std::memcpy(&v, &bits, sizeof v);
    if (std::isnan(v)) continue;
    const std::string text = format_double(v);
    ASSERT_EQ(text.find('e'), std::string::npos) << text;
    const double back = std::strtod(text.c_str(), nullptr);
    ASSERT_EQ(std::memcmp(&back, &v, sizeof v), 0) << text;
  }
}

}  // namespace
}  // namespace pelmora
