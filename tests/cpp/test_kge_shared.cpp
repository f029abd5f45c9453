#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <tuple>
#include <vector>

#include "core/errors.hpp"
#include "metrics/kge.hpp"

namespace pelmora {
namespace {

using V = std::vector<double>;

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

V random_values(std::mt19937_64& rng, std::size_t n, double scale) {
  std::lognormal_distribution<double> dist(0.0, 1.0);
  V v(n);
  for (double& x : v) x = scale * dist(rng);
  return v;
}

// Shared inputs are copied while summed; the result must be the one the
// private path gives, to the bit, for every mix of shared and private.
TEST(KgeShared, EveryMixGivesThePrivateBits) {
  std::mt19937_64 rng(42);
  for (std::size_t n : {1u, 2u, 7u, 1000u, 65537u}) {
    V sim = random_values(rng, n, 30.0);
    V obs = random_values(rng, n, 25.0);
    if (n > 3) {
      sim[2] = -0.0;
      obs[3] = 1e-300;
    }
    for (bool use_log : {false, true}) {
      const double want = kge_rs(std::span<const double>(sim), std::span<const double>(obs), use_log);
      for (int mix = 0; mix < 4; ++mix) {
        const double got = kge_rs(KgeInput{sim, (mix & 1) != 0}, KgeInput{obs, (mix & 2) != 0}, use_log);
        EXPECT_TRUE(same_bits(got, want)) << "n=" << n << " log=" << use_log << " mix=" << mix;
      }
    }
  }
}

TEST(KgeShared, NaNAndErrorsAsForPrivateValues) {
  const V sim{1, NAN, 3};
  const V obs{1, 2, 3};
  EXPECT_TRUE(std::isnan(kge_rs(KgeInput{sim, true}, KgeInput{obs, true}, false)));
  EXPECT_TRUE(std::isnan(kge_rs(KgeInput{obs, true}, KgeInput{V{1, -1e-6, 3}, true}, true)));
  const V empty;
  for (const auto& [s, o, message] : {std::tuple{empty, empty, "Observed series is empty."},
                                      std::tuple{obs, empty, "Observed series is empty."},
                                      std::tuple{empty, obs, "Series length mismatch."}}) {
    try {
      kge_rs(KgeInput{s, true}, KgeInput{o, true}, true);
      ADD_FAILURE() << message;
    } catch (const DomainError& e) {
      EXPECT_EQ(e.message(), message);
    }
  }
}

}  // namespace
}  // namespace pelmora
