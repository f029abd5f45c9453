#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "core/errors.hpp"
#include "reach_routing/muskingum.hpp"

namespace pelmora {
namespace {

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// The passes one after another, the way the routing is defined.
std::vector<double> sequential(std::vector<double> in, double dt, double k, double x,
                               std::int64_t subs, double o0) {
  const double kp = k / static_cast<double>(subs);
  std::vector<double> out = muskingum_routing_rs(std::move(in), dt, kp, x, o0);
  for (std::int64_t j = 1; j < subs; ++j)
    out = muskingum_routing_rs(std::move(out), dt, kp, x, std::nullopt);
  return out;
}

TEST(MuskingumPass, SmallHandComputedCase) {
  // dt 3600, Kp 3600, x 0.2: C0 = C2 = 2160/9360, C1 = 5040/9360.
  const auto out = muskingum_routing_rs({10.0, 30.0, 20.0}, 3600.0, 3600.0, 0.2, std::nullopt);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0], 10.0);
  EXPECT_NEAR(out[1], 136800.0 / 9360.0, 1e-12);
  EXPECT_NEAR(out[2], (2160.0 * out[1] + 43200.0 + 151200.0) / 9360.0, 1e-12);
}

TEST(MuskingumPass, EmptyInflowIsAnIndexFaultEvenWithInitialOutflow) {
  for (auto init : {std::optional<double>{}, std::optional<double>{1.0}}) {
    try {
      muskingum_routing_rs({}, 60.0, 60.0, 0.2, init);
      FAIL() << "no fault";
    } catch (const InternalFault& e) {
      EXPECT_EQ(e.message(), "index out of bounds: the len is 0 but the index is 0");
    }
  }
}

TEST(MuskingumPass, ZeroKReproducesInflow) {
  const std::vector<double> in{3.0, 7.5, 12.25, 4.0, 0.5};
  const auto out = muskingum_routing_rs(in, 600.0, 0.0, 0.3, 3.0);
  for (std::size_t i = 0; i < in.size(); ++i) EXPECT_NEAR(out[i], in[i], 1e-12);
}

TEST(MuskingumPass, NaNPropagates) {
  // An infinite Kp (K over zero sub-reaches) makes every coefficient NaN.
  auto out = muskingum_routing_rs({1.0, 2.0, 3.0}, 60.0, std::numeric_limits<double>::infinity(),
                                  0.2, 5.0);
  EXPECT_EQ(out[0], 5.0);
  EXPECT_TRUE(std::isnan(out[1]) && std::isnan(out[2]));
  out = muskingum_routing_rs({1.0, NAN, 3.0, 4.0}, 60.0, 120.0, 0.2, std::nullopt);
  EXPECT_EQ(out[0], 1.0);
  for (std::size_t i = 1; i < out.size(); ++i) EXPECT_TRUE(std::isnan(out[i]));
}

TEST(RouteReach, RejectsBadSubReachesBeforeEmptyInflow) {
  for (std::int64_t subs : {std::int64_t{0}, std::int64_t{-3}}) {
    try {
      route_reach({}, 60.0, 60.0, 0.2, subs, 0.0);
      FAIL();
    } catch (const DomainError& e) {
      EXPECT_EQ(e.message(), "sub_reaches must be >= 1");
    }
  }
  try {
    route_reach({}, 60.0, 60.0, 0.2, 2, 0.0);
    FAIL();
  } catch (const DomainError& e) {
    EXPECT_EQ(e.message(), "inflow must not be empty");
  }
}

TEST(RouteReach, OneValueGivesInitialOutflow) {
  for (std::int64_t subs : {1, 3, 9}) EXPECT_EQ(route_reach({4.0}, 60.0, 600.0, 0.2, subs, 2.5),
                                                std::vector<double>{2.5});
}

TEST(RouteReach, ThreeSubReachesEqualThreeOneHourReaches) {
  const std::vector<double> in{10.0, 50.0, 120.0, 80.0, 40.0, 20.0, 10.0};
  const auto whole = route_reach(in, 3600.0, 3.0 * 3600.0, 0.25, 3, 7.0);
  auto chained = in;
  for (int j = 0; j < 3; ++j) chained = route_reach(chained, 3600.0, 3600.0, 0.25, 1, 7.0);
  EXPECT_TRUE(same_bits(whole, chained));
  EXPECT_EQ(whole[0], 7.0);  // every sub-reach starts at the initial outflow
}

// The interleaved sweep must give the plain passes' bits for every block split
// (4s, then a block of 1-3), any x, awkward values and a foreign first outflow.
class RouteReachBits : public ::testing::TestWithParam<std::int64_t> {};

TEST_P(RouteReachBits, InterleavedEqualsSequential) {
  std::mt19937_64 gen(static_cast<std::uint64_t>(GetParam()));
  std::uniform_real_distribution<double> dist(-5.0, 500.0);
  for (std::size_t n : {1u, 2u, 3u, 1000u}) {
    std::vector<double> in(n);
    for (auto& v : in) v = dist(gen);
    if (n > 2) in[n / 2] = 1e-300;
    for (double x : {0.0, 0.2, 0.5, -0.1, 0.7}) {
      for (double k : {0.0, 1.5, 5400.0, 86400.0 * 3}) {
        const auto a = route_reach(in, 900.0, k, x, GetParam(), 13.0);
        const auto b = sequential(in, 900.0, k, x, GetParam(), 13.0);
        ASSERT_TRUE(same_bits(a, b)) << "n=" << n << " x=" << x << " k=" << k;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(SubReaches, RouteReachBits, ::testing::Range<std::int64_t>(1, 11));

TEST(NegativeCoefficientWarning, OnlyWhereCoefficientsAreUsedAndNegative) {
  // k 6 h, x 0.4, one reach, 1-h step: C0 < 0.
  EXPECT_TRUE(negative_coefficient_warning(2, 3600.0, 21600.0, 0.4, 1).has_value());
  EXPECT_FALSE(negative_coefficient_warning(1, 3600.0, 21600.0, 0.4, 1).has_value());
  EXPECT_FALSE(negative_coefficient_warning(0, 3600.0, 21600.0, 0.4, 1).has_value());
  EXPECT_FALSE(negative_coefficient_warning(2, 3600.0, 21600.0, 0.4, 0).has_value());
  EXPECT_FALSE(negative_coefficient_warning(2, 3600.0, 21600.0, 0.4, 6).has_value());
  // NaN coefficients are not negative (a NaN x has its own warning).
  EXPECT_FALSE(negative_coefficient_warning(2, 3600.0, 21600.0, std::nan(""), 1).has_value());
}

TEST(NegativeCoefficientWarning, ExtremeValuesGiveAnAnswer) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  const double big_k = 999999999.0 * 86400.0;  // the longest timedelta
  for (const double k : {0.0, 1e-9, 1.5, 3600.0, big_k})
    for (const double x : {-inf, -1e300, -1.0, 0.0, 0.5, 0.75, 1.0, 2.0, 1e300, inf})
      for (const std::int64_t n : {std::int64_t{1}, std::int64_t{7}, std::numeric_limits<std::int64_t>::max()})
        for (const double dt : {1.0, 3600.0, 2147483647.0}) {
          const auto message = negative_coefficient_warning(10, dt, k, x, n);
          if (message) {
            EXPECT_EQ(message->rfind("Muskingum coefficients C0 = ", 0), 0u) << *message;
          }
        }
}

}  // namespace
}  // namespace pelmora
