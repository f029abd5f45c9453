#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "core/errors.hpp"
#include "rainfall_transform/clark_uh.hpp"

namespace pelmora {
namespace {

constexpr double kHour = 3600.0;

void expect_near(const std::vector<double>& got, const std::vector<double>& want, double tol) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) EXPECT_NEAR(got[i], want[i], tol) << "index " << i;
}

std::vector<double> clark(std::vector<double> rain, double tc_h, double r_h, double area = 640.0) {
  return clark_uh_rs(rain, kHour, area, tc_h * kHour, r_h * kHour);
}

TEST(ClarkUh, WorkedExamples) {
  // q = [175.61038, 294.11043, 175.61038], C0 = C1 = 0.2, C2 = 0.6.
  expect_near(clark({1.0}, 3.0, 2.0), {0.0, 93.94416, 150.31066}, 5e-6);
  expect_near(clark({0.5, 0.0, 0.25}, 3.0, 2.0),
              {0.0, 46.97208, 75.15533, 23.48604, 37.57767}, 5e-6);
}

TEST(ClarkUh, ZeroStorageGivesUnitCoefficients) {
  // u[t] = q[t] + q[t-1] - u[t-1]; the symmetric q makes u[2] vanish.
  expect_near(clark({1.0}, 3.0, 0.0), {0.0, 469.72082, 0.0}, 5e-6);
}

TEST(ClarkUh, ShortStorageGivesNegativeC2Unchecked) {
  // R = 0.25 h: C0 = C1 = 2/3, C2 = -1/3.
  const auto out = clark({1.0}, 3.0, 0.25);
  EXPECT_NEAR(out[1], (175.61038 + 294.11043) * 2.0 / 3.0, 1e-4);
  EXPECT_NEAR(out[2], -out[1] / 3.0 + (294.11043 + 175.61038) * 2.0 / 3.0, 1e-4);
}

TEST(ClarkUh, DegenerateAndShortTcGiveZeros) {
  struct Case { double tc_h; std::size_t rain_len; std::size_t want_len; };
  for (const Case c : {Case{0.0, 3, 3}, Case{0.5, 3, 3}, Case{1.0, 2, 2}, Case{0.0, 0, 0},
                       Case{3.0, 0, 2}, Case{NAN, 2, 2}}) {
    const auto out = clark(std::vector<double>(c.rain_len, 0.7), c.tc_h, 2.0);
    EXPECT_EQ(out, std::vector<double>(c.want_len, 0.0)) << "tc " << c.tc_h;
  }
}

TEST(ClarkUh, FractionalTcKeepsItsFraction) {
  EXPECT_EQ(clark_uh_rs(std::vector<double>{1.0}, 1.0, 640.0, 1.5, 10.0).size(), 2u);
  EXPECT_EQ(clark_uh_rs(std::vector<double>{1.0}, 1.0, 640.0, 1.0, 10.0).size(), 1u);
}

TEST(ClarkUh, ZeroRainIsSkippedAndNaNIsNot) {
  // An infinite area makes u = [0, inf, inf]: a zero rain multiplied in would
  // leave NaN behind, so exact zeros of either sign must be skipped.
  const double inf = std::numeric_limits<double>::infinity();
  const auto out = clark_uh_rs(std::vector<double>{0.0, -0.0, 1.0}, kHour, inf, 3 * kHour, 2 * kHour);
  ASSERT_EQ(out.size(), 5u);
  EXPECT_EQ(out[0], 0.0);
  EXPECT_EQ(out[1], 0.0);
  EXPECT_EQ(out[2], 0.0);
  EXPECT_EQ(out[3], inf);
  EXPECT_EQ(out[4], inf);

  const auto with_nan = clark({1.0, NAN}, 3.0, 2.0);
  ASSERT_EQ(with_nan.size(), 4u);
  EXPECT_EQ(with_nan[0], 0.0);
  for (std::size_t i = 1; i < 4; ++i) EXPECT_TRUE(std::isnan(with_nan[i])) << i;
}

TEST(ClarkUh, AbsurdTcIsRefusedNotAllocated) {
  struct Case { double tc; const char* count; };
  for (const Case c : {Case{268435457.0 * kHour, "268435457"},
                       Case{1e12 * kHour, "1000000000000"},
                       Case{std::numeric_limits<double>::infinity(), "inf"}}) {
    try {
      clark_uh_rs(std::vector<double>{1.0}, kHour, 640.0, c.tc, kHour);
      FAIL() << c.count;
    } catch (const DomainError& e) {
      EXPECT_EQ(e.message(), std::string("tc is too long for the time step: ") + c.count +
                                 " unit hydrograph ordinates cannot be allocated");
    }
  }
}

}  // namespace
}  // namespace pelmora
