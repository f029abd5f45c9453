#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "core/errors.hpp"
#include "metrics/kge.hpp"

namespace pelmora {
namespace {

using V = std::vector<double>;

struct KgeCase {
  const char* name;
  V sim, obs;
  bool use_log;
  double want, tol;
};

class KgeValues : public ::testing::TestWithParam<KgeCase> {};

TEST_P(KgeValues, Matches) {
  const auto& c = GetParam();
  EXPECT_NEAR(kge_rs(c.sim, c.obs, c.use_log), c.want, c.tol);
}

INSTANTIATE_TEST_SUITE_P(
    Kge, KgeValues,
    ::testing::Values(
        KgeCase{"Worked", {1, 2, 3, 4}, {1.5, 2.5, 2.5, 4.5}, false, 0.8783041, 5e-8},
        KgeCase{"WorkedLog", {1, 2, 3, 4}, {1.5, 2.5, 2.5, 4.5}, true, 0.6228083, 5e-8},
        KgeCase{"Identical", {0.3, 1.7, 2.2, 9.0}, {0.3, 1.7, 2.2, 9.0}, false, 1.0, 1e-12},
        // Flat data: correlation term 1, gamma 0, beta 1.
        KgeCase{"SinglePair", {5}, {5}, false, 1.0 - std::sqrt(2.0), 1e-12},
        // gamma = 0.5 / 1e-6, beta = 0.5.
        KgeCase{"ConstantObs", {1, 2}, {3, 3}, false, 1.0 - std::sqrt(499999.0 * 499999.0 + 1.25), 1e-6},
        // beta = 0.5 / 1e-6, gamma = 0.5, r = 1.
        KgeCase{"ZeroMeanObs", {0, 1}, {-1, 1}, false, 1.0 - std::sqrt(0.25 + 499999.0 * 499999.0), 1e-6},
        KgeCase{"LogOfZeros", {0, 1}, {0, 1}, true, 1.0, 1e-12}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Kge, WorkedExampleComponents) {
  // r = 0.9233805, beta = 10/11, gamma = 1.0259784.
  const double r = 0.9233805, beta = 10.0 / 11.0, gamma = 1.0259784;
  const double ed = std::sqrt((r - 1) * (r - 1) + (beta - 1) * (beta - 1) + (gamma - 1) * (gamma - 1));
  EXPECT_NEAR(kge_rs(V{1, 2, 3, 4}, V{1.5, 2.5, 2.5, 4.5}, false), 1.0 - ed, 1e-7);
}

TEST(Kge, NaNAndMinusEpsilonGiveNaN) {
  EXPECT_TRUE(std::isnan(kge_rs(V{1, NAN, 3}, V{1, 2, 3}, false)));
  EXPECT_TRUE(std::isnan(kge_rs(V{1, 2, 3}, V{1, -0.5, 3}, true)));   // log of a negative
  EXPECT_TRUE(std::isnan(kge_rs(V{1, 2, 3}, V{1, -1e-6, 3}, true)));  // ln 0 = -inf
}

TEST(Kge, ErrorsEmptyObsFirstThenMismatch) {
  struct Case { V sim, obs; bool use_log; const char* message; };
  for (const auto& c : {Case{{}, {}, false, "Observed series is empty."},
                        Case{{1}, {}, true, "Observed series is empty."},
                        Case{{}, {1}, false, "Series length mismatch."},
                        Case{{1, 2}, {1, 2, 3}, true, "Series length mismatch."}}) {
    try {
      kge_rs(c.sim, c.obs, c.use_log);
      ADD_FAILURE() << c.message;
    } catch (const DomainError& e) {
      EXPECT_EQ(e.message(), c.message);
    }
  }
}

// Sums handed in by a caller that copied the series must give what the
// kernel's own first pass gives, bit for bit, including the guards and NaN.
TEST(Kge, FromSumsMatchesTheFirstPass) {
  const auto plain_sum = [](const V& v) {
    double total = 0.0;
    for (const double x : v) total = total + x;
    return total;
  };
  std::vector<std::pair<V, V>> cases = {{{1, 2, 3, 4}, {1.5, 2.5, 2.5, 4.5}},
                                        {{0.1, 0.7, 1e9, -3.0, 2.5}, {0.3, 0.3, 0.3, 0.3, 0.3}},
                                        {{1e-9, 2e-9}, {1e-8, -1e-8}},
                                        {{1, NAN, 3}, {1, 2, 3}}};
  V sim, obs;
  for (int i = 0; i < 1000; ++i) {
    sim.push_back(std::sin(i * 0.37) * 40.0 + 50.0);
    obs.push_back(std::cos(i * 0.11) * 30.0 + 55.0);
  }
  cases.emplace_back(sim, obs);
  for (const auto& [s, o] : cases) {
    const double want = kge_rs(s, o, false);
    const double got = kge_rs_from_sums(s, o, plain_sum(s), plain_sum(o));
    if (std::isnan(want)) {
      EXPECT_TRUE(std::isnan(got));
    } else {
      EXPECT_EQ(got, want);
    }
  }
  EXPECT_THROW(kge_rs_from_sums(V{}, V{}, 0.0, 0.0), DomainError);
  EXPECT_THROW(kge_rs_from_sums(V{1}, V{1, 2}, 1.0, 3.0), DomainError);
}

}  // namespace
}  // namespace pelmora
