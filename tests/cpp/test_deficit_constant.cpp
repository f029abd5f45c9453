#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "core/errors.hpp"
#include "rainfall_loss/deficit_and_constant.hpp"

namespace pelmora {
namespace {

IncrementalSeries rain(std::vector<double> values, std::int32_t step, std::string kind = "rainfall") {
  IncrementalSeries s;
  s.data = std::move(values);
  s.time_step = step;
  s.kind = std::move(kind);
  return s;
}

void expect_near(std::span<const double> got, const std::vector<double>& want, double tol) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) EXPECT_NEAR(got[i], want[i], tol) << "index " << i;
}

TEST(DeficitConstant, WorkedExample) {
  // k = 1 - e^-0.1 = 0.0951626, L = 0.1.
  const auto r = deficit_and_constant_rs(rain({0.5, 0.0, 1.0}, 3600), 0.3, 1.0, 0.1, 36000.0);
  expect_near(r.excess.data, {0.0333862, 0.0, 0.7187308}, 5e-8);
  expect_near(r.loss.data, {0.4666138, 0.0, 0.2812692}, 5e-8);
  expect_near(r.deficit.data, {0.0, 0.0951626, 0.0}, 5e-8);
}

TEST(DeficitConstant, ZeroDryingTimeNeverRecoversButCutsToMax) {
  const auto r = deficit_and_constant_rs(rain({0.05, 0.5}, 1800), 2.0, 1.0, 0.2, 0.0);
  expect_near(r.excess.data, {0.0, 0.0}, 1e-15);
  expect_near(r.loss.data, {0.05, 0.5}, 1e-15);
  expect_near(r.deficit.data, {1.0, 0.6}, 1e-15);
}

TEST(DeficitConstant, RainBelowConstantLossIsAllLoss) {
  const auto r = deficit_and_constant_rs(rain({0.03}, 3600), 0.4, 1.0, 0.1, 0.0);
  EXPECT_EQ(r.excess.data[0], 0.0);
  EXPECT_EQ(r.loss.data[0], 0.03);
  EXPECT_EQ(r.deficit.data[0], 0.4);
}

TEST(DeficitConstant, DryZeroNegativeAndNaNStepsOnlyRecover) {
  const double k = 1.0 - std::exp(-0.5);  // 1-hour step, 2-hour drying time
  const auto r = deficit_and_constant_rs(rain({0.0, -0.3, NAN}, 3600), 0.0, 1.0, 0.1, 7200.0);
  double d = 0.0;
  for (std::size_t i = 0; i < 3; ++i) {
    d = d + (1.0 - d) * k;
    EXPECT_EQ(r.excess.data[i], 0.0);
    EXPECT_EQ(r.loss.data[i], 0.0);
    EXPECT_NEAR(r.deficit.data[i], d, 1e-15);
  }
}

TEST(DeficitConstant, WetStepMeetsTheAlreadyRecoveredDeficit) {
  const double k = 1.0 - std::exp(-0.5);
  const auto r = deficit_and_constant_rs(rain({2.0}, 3600), 0.0, 1.0, 0.1, 7200.0);
  EXPECT_NEAR(r.loss.data[0], 0.1 + k, 1e-15);
  EXPECT_NEAR(r.excess.data[0], 1.9 - k, 1e-15);
  EXPECT_EQ(r.deficit.data[0], 0.0);
}

TEST(DeficitConstant, ExcessPlusLossIsRain) {
  const std::vector<double> p{0.2, 0.01, 0.0, 1.3, 0.7, 0.05, 2.2};
  const auto r = deficit_and_constant_rs(rain(p, 900), 0.5, 1.5, 0.3, 5400.0);
  for (std::size_t i = 0; i < p.size(); ++i)
    EXPECT_NEAR(r.excess.data[i] + r.loss.data[i], p[i], 1e-15);
}

TEST(DeficitConstant, NaNLimitsFallBackOnTheOtherOperand) {
  // A NaN maximum leaves the deficit where it was; a NaN loss rate takes the
  // whole rain as constant loss.
  auto r = deficit_and_constant_rs(rain({0.0}, 3600), 0.4, NAN, 0.1, 3600.0);
  EXPECT_EQ(r.deficit.data[0], 0.4);
  r = deficit_and_constant_rs(rain({0.5}, 3600), 0.4, 1.0, NAN, 0.0);
  EXPECT_EQ(r.loss.data[0], 0.5);
  EXPECT_EQ(r.excess.data[0], 0.0);
  EXPECT_EQ(r.deficit.data[0], 0.4);
}

TEST(DeficitConstant, ShapeStepAndKindOfResults) {
  for (const auto& input : {rain({}, 600), rain({0.1, 0.2}, 600, "discharge")}) {
    const auto r = deficit_and_constant_rs(input, 0.1, 1.0, 0.1, 3600.0);
    for (const auto* s : {&r.excess, &r.loss, &r.deficit}) {
      EXPECT_EQ(s->data.size(), input.data.size());
      EXPECT_EQ(s->time_step, 600);
      EXPECT_EQ(s->kind, "rainfall");
    }
  }
}

TEST(DeficitConstant, ParametersThatMakeWaterAreRefusedInOrder) {
  const auto message = [](double initial, double maximum, double rate) -> std::string {
    try {
      check_loss_parameters(initial, maximum, rate);
    } catch (const DomainError& e) {
      return e.message();
    }
    return "";
  };
  EXPECT_EQ(message(0.0, 0.0, -0.5), "constant_loss_per_hr must be a number >= 0 (inches per hour), got -0.5");
  EXPECT_EQ(message(NAN, -1.0, -0.5), "initial_deficit must be a number >= 0 (inches), got NaN");
  EXPECT_EQ(message(1.0, INFINITY, -0.5), "max_deficit must be a finite number >= 0 (inches), got inf");
  EXPECT_EQ(message(INFINITY, 0.0, INFINITY), "");
  EXPECT_EQ(message(-0.0, -0.0, -0.0), "");
}

}  // namespace
}  // namespace pelmora
