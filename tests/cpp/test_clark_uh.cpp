#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "core/errors.hpp"
#include "rainfall_transform/clark_uh.hpp"

namespace pelmora {
namespace {

constexpr double kHour = 3600.0;
constexpr double kInf = std::numeric_limits<double>::infinity();

void expect_near(const std::vector<double>& got, const std::vector<double>& want, double tol) {
  ASSERT_GE(got.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(got[i], want[i], tol) << "index " << i;
}

std::vector<double> clark(std::vector<double> rain, double tc_h, double r_h, double area = 640.0,
                          double dt = kHour) {
  return clark_uh_rs(rain, dt, area, tc_h * kHour, r_h * kHour);
}

// Cubic feet per second times seconds, over one inch on `area` acres.
double inch(double area) { return area * 1.00833 * 3600.0; }

double volume(const std::vector<double>& out, double dt) {
  return std::accumulate(out.begin(), out.end(), 0.0) * dt;
}

TEST(ClarkUh, WorkedExampleStartsFromRestAndKeepsTheInch) {
  // q = [175.61038, 294.11043, 175.61038] entering one step after rest,
  // C0 = C1 = 0.2, C2 = 0.6: Clark's scheme as HEC applies it.
  const auto one = clark({1.0}, 3.0, 2.0);
  expect_near(one, {0.0, 35.12208, 115.01742, 162.95462, 132.89484, 79.73690}, 5e-5);
  EXPECT_EQ(one[0], 0.0);
  EXPECT_NEAR(volume(one, kHour), inch(640.0), 1e-9 * inch(640.0));
  // Linear in the rain: three values give N + m - 1 outputs.
  const auto three = clark({0.5, 0.0, 0.25}, 3.0, 2.0);
  ASSERT_EQ(three.size(), one.size() + 2);
  for (std::size_t i = 0; i < three.size(); ++i) {
    const double want = (i < one.size() ? 0.5 * one[i] : 0.0) + (i >= 2 ? 0.25 * one[i - 2] : 0.0);
    EXPECT_NEAR(three[i], want, 1e-12 * 200.0) << i;
  }
}

TEST(ClarkUh, EveryReservoirKeepsTheInch) {
  struct Case { double tc_h, r_h, dt_h; };
  for (const Case c : {Case{3.0, 2.0, 0.25}, Case{1.0, 1.0, 0.25}, Case{0.25, 2.0, 0.25},
                       Case{0.5, 2.0, 1.0}, Case{6.0, 0.1, 1.0}, Case{2.0, 0.0, 0.5},
                       Case{24.0, 30.0, 1.0}, Case{3.0, 2.0, 24.0}, Case{1.0, 400.0, 1.0}}) {
    SCOPED_TRACE(::testing::Message() << "tc " << c.tc_h << " R " << c.r_h << " dt " << c.dt_h);
    const double dt = c.dt_h * kHour;
    const auto out = clark({1.0}, c.tc_h, c.r_h, 2880.0, dt);
    const std::size_t n = static_cast<std::size_t>(std::ceil(c.tc_h / c.dt_h));
    EXPECT_GE(out.size(), n + 1);
    EXPECT_EQ(out[0], 0.0);
    EXPECT_NEAR(volume(out, dt), inch(2880.0), 1e-9 * inch(2880.0));
    // What is cut off is negligible: the last ordinate is tiny next to the peak.
    if (out.size() > n + 2) {
      EXPECT_LT(std::fabs(out.back()) * dt, 1e-11 * inch(2880.0));
    }
  }
}

TEST(ClarkUh, HalfStepStorageAveragesTheTranslation) {
  // R = dt/2: C0 = C1 = 1/2 and C2 = 0, so u = [0, q0/2, (q0+q1)/2, ...,
  // q[n-1]/2] and nothing is left after it.
  const auto out = clark({1.0}, 3.0, 0.5);
  expect_near(out, {0.0, 175.61038 / 2, (175.61038 + 294.11043) / 2, (294.11043 + 175.61038) / 2,
                    175.61038 / 2}, 5e-6);
  EXPECT_EQ(out.size(), 5u);
}

TEST(ClarkUh, ZeroStorageIsTheTranslationOneStepLate) {
  // C0 = C1 = 1, C2 = -1: nothing is stored, and a reservoir that never decays
  // still stops.
  const auto out = clark({1.0}, 3.0, 0.0);
  ASSERT_GE(out.size(), 4u);
  ASSERT_LE(out.size(), 5u);
  expect_near(out, {0.0, 175.61038, 294.11043, 175.61038}, 5e-6);
  if (out.size() == 5) {
    EXPECT_NEAR(out[4], 0.0, 1e-9);  // a rounding residue, if any
  }
  EXPECT_NEAR(volume(out, kHour), inch(640.0), 1e-12 * inch(640.0));
}

TEST(ClarkUh, ShortStorageOscillatesAndStillKeepsTheInch) {
  // R = 0.25 h: C0 = C1 = 2/3, C2 = -1/3.
  const auto out = clark({1.0}, 3.0, 0.25);
  EXPECT_NEAR(out[1], 175.61038 * 2.0 / 3.0, 1e-4);
  EXPECT_NEAR(out[2], -out[1] / 3.0 + (294.11043 + 175.61038) * 2.0 / 3.0, 1e-4);
  EXPECT_NEAR(volume(out, kHour), inch(640.0), 1e-9 * inch(640.0));
}

TEST(ClarkUh, TcWithinOneStepGivesRunoff) {
  // One translation ordinate holding the whole inch, routed: C0 = C1 = 0.2.
  for (const double tc_h : {0.5, 1.0}) {
    const auto out = clark({1.0}, tc_h, 2.0);
    ASSERT_GT(out.size(), 3u);
    EXPECT_NEAR(out[1], 0.2 * 640.0 * 1.00833, 1e-9);
    EXPECT_NEAR(out[2], 0.6 * out[1] + 0.2 * 640.0 * 1.00833, 1e-9);
    EXPECT_NEAR(volume(out, kHour), inch(640.0), 1e-9 * inch(640.0));
  }
}

TEST(ClarkUh, DegenerateTcGivesZeros) {
  for (const double tc : {0.0, -1.0, std::nan("")}) {
    for (const std::size_t len : {0u, 3u}) {
      const auto out = clark_uh_rs(std::vector<double>(len, 0.7), kHour, 640.0, tc, 2 * kHour);
      EXPECT_EQ(out, std::vector<double>(len, 0.0)) << "tc " << tc;
    }
  }
}

TEST(ClarkUh, EmptyRainGivesTheUnitHydrographLessOne) {
  const auto unit = clark({1.0}, 3.0, 2.0);
  EXPECT_EQ(clark({}, 3.0, 2.0), std::vector<double>(unit.size() - 1, 0.0));
}

TEST(ClarkUh, FractionalTcKeepsItsFraction) {
  // R = dt/2 ends the unit hydrograph right after the translation: n + 2.
  EXPECT_EQ(clark_uh_rs(std::vector<double>{1.0}, 1.0, 640.0, 1.5, 0.5).size(), 4u);
  EXPECT_EQ(clark_uh_rs(std::vector<double>{1.0}, 1.0, 640.0, 1.0, 0.5).size(), 3u);
}

TEST(ClarkUh, ZeroRainIsSkippedAndNaNIsNot) {
  // An infinite area makes every ordinate but the first infinite: a zero rain
  // multiplied in would leave NaN behind, so exact zeros of either sign must
  // be skipped.
  const auto out = clark_uh_rs(std::vector<double>{0.0, -0.0, 1.0}, kHour, kInf, 3 * kHour, 2 * kHour);
  ASSERT_GT(out.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(out[i], 0.0) << i;
  EXPECT_EQ(out[3], kInf);

  const auto unit = clark({1.0}, 3.0, 2.0);
  const auto with_nan = clark({1.0, NAN}, 3.0, 2.0);
  ASSERT_EQ(with_nan.size(), unit.size() + 1);
  EXPECT_EQ(with_nan[0], 0.0);
  for (std::size_t i = 1; i < with_nan.size(); ++i) EXPECT_TRUE(std::isnan(with_nan[i])) << i;
}

std::string refusal(double tc, double r, double dt = kHour) {
  try {
    clark_uh_rs(std::vector<double>{1.0}, dt, 640.0, tc, r);
  } catch (const DomainError& e) {
    return e.message();
  }
  return "no error";
}

TEST(ClarkUh, AbsurdTcIsRefusedNotAllocated) {
  struct Case { double tc; const char* count; };
  for (const Case c : {Case{268435457.0 * kHour, "268435457"}, Case{268435455.0 * kHour, "268435455"},
                       Case{1e12 * kHour, "1000000000000"}, Case{kInf, "inf"}}) {
    EXPECT_EQ(refusal(c.tc, kHour), std::string("tc is too long for the time step: ") + c.count +
                                        " unit hydrograph ordinates cannot be allocated");
  }
}

TEST(ClarkUh, RecessionBeyondTheLimitIsRefused) {
  // C2 rounds to 1: the reservoir would never drain.
  EXPECT_EQ(refusal(3 * kHour, 1e300), "storage_r is too long for the time step: inf unit hydrograph "
                                       "ordinates cannot be allocated");
  // Drains, but over some 10^9 steps.
  const std::string slow = refusal(3.0, 1e8, 1.0);
  EXPECT_EQ(slow.rfind("storage_r is too long for the time step: ", 0), 0u) << slow;
  // C2 within 1e-9 of -1: the residue flips sign for billions of steps.
  const std::string flipping = refusal(3 * kHour, 1e-6);
  EXPECT_EQ(flipping.rfind("storage_r is too short for the time step: ", 0), 0u) << flipping;
  // A day-long R on a minute step is fine.
  EXPECT_EQ(refusal(3 * kHour, 24 * kHour, 60.0), "no error");
}

}  // namespace
}  // namespace pelmora
