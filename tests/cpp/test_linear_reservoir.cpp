#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "baseflow/linear_reservoir.hpp"
#include "core/errors.hpp"

namespace pelmora {
namespace {

using Layers = std::vector<std::pair<std::string, LinearReservoir>>;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

IncrementalSeries rain(std::vector<double> values, std::int32_t step = 3600) {
  IncrementalSeries s;
  s.data = std::move(values);
  s.time_step = step;
  s.kind = "rainfall";
  return s;
}

std::string error_of(auto&& call) {
  try {
    call();
  } catch (const DomainError& e) {
    return e.message();
  }
  return "(no error)";
}

TEST(LinearReservoirConfig, StoresWholeSeconds) {
  struct Case { double seconds; std::int32_t stored; };
  for (const Case c : {Case{7200.0, 7200}, Case{1.7, 1}, Case{30 * 86400.0, 2592000},
                       Case{1e12, 2147483647}}) {
    const auto r = make_linear_reservoir(c.seconds, 0.5, 10.0, 1);
    EXPECT_EQ(r.k_duration, c.stored);
    EXPECT_EQ(r.gw_fraction, 0.5);
    EXPECT_EQ(r.initial_q, 10.0);
    EXPECT_EQ(r.num_reservoir, 1u);
  }
}

TEST(LinearReservoirConfig, ChecksInOrder) {
  struct Case { double k; double fraction; std::uint64_t count; const char* message; };
  for (const Case c : {Case{0.9, 0.5, 1, "k_duration must be > 0"},
                       Case{0.0, 0.5, 1, "k_duration must be > 0"},
                       Case{kNaN, 0.5, 1, "k_duration must be > 0"},
                       Case{0.5, 2.0, 0, "k_duration must be > 0"},
                       Case{60.0, 1.001, 1, "gw_fraction must be between 0 and 1"},
                       Case{60.0, -0.0001, 0, "gw_fraction must be between 0 and 1"},
                       Case{60.0, 0.5, 0, "num_reservoir must be at least 1"},
                       Case{60.0, 0.5, kMaxReservoirs + 1, "num_reservoir must be at most 16777216"},
                       Case{60.0, 0.5, ~std::uint64_t{0}, "num_reservoir must be at most 16777216"}})
    EXPECT_EQ(error_of([&] { make_linear_reservoir(c.k, c.fraction, 0.0, c.count); }), c.message);
  for (double fraction : {0.0, 1.0, kNaN})
    EXPECT_EQ(error_of([&] { make_linear_reservoir(60.0, fraction, 0.0, 1); }), "(no error)");
  EXPECT_EQ(error_of([&] { make_linear_reservoir(60.0, 0.5, 0.0, kMaxReservoirs); }), "(no error)");
}

TEST(LinearReservoirRouting, ChainLengthCap) {
  // A layer built past the constructor is refused before its state exists
  // (2**64 - 1 reservoirs would be 128 EiB); the cap itself routes.
  for (std::uint64_t count : {kMaxReservoirs + 1, ~std::uint64_t{0}})
    EXPECT_EQ(error_of([&] {
                linear_reservoir_rs(1.0, rain({1.0}, 1), {{"a", {2147483647, 0.5, 0, count}}});
              }),
              "num_reservoir must be at most 16777216");
  const auto out = linear_reservoir_rs(1.0, rain({1.0}, 1), {{"a", {2147483647, 0.5, 0, kMaxReservoirs}}});
  EXPECT_EQ(out.layers.size(), 1u);
}

TEST(LinearReservoirRouting, OneHourSingleReservoir) {
  const auto out = linear_reservoir_rs(640.0, rain({1.0, 0.0}), {{"deep", {3600, 1.0, 0.0, 1}}});
  ASSERT_EQ(out.layers.size(), 1u);
  const auto& layer = out.layers[0].second.data;
  // Inflow 645.3312 cfs, C = 2/3.
  EXPECT_NEAR(layer[0], 430.2208, 5e-5);
  EXPECT_NEAR(layer[1], 430.2208 / 3.0, 5e-5);
  EXPECT_EQ(out.total.data, layer);
}

TEST(LinearReservoirRouting, FractionCheck) {
  EXPECT_EQ(error_of([] {
              linear_reservoir_rs(1.0, rain({1.0}), {{"a", {3600, 0.6, 0, 1}}, {"b", {3600, 0.5, 0, 1}}});
            }),
            "Total fraction 1.1 > 1.0");
  EXPECT_EQ(error_of([] { linear_reservoir_rs(1.0, rain({1.0}), {{"a", {3600, 2.0, 0, 1}}}); }),
            "Total fraction 2 > 1.0");
  for (double f : {1.0000005, kNaN})
    EXPECT_EQ(error_of([&] { linear_reservoir_rs(1.0, rain({1.0}), {{"a", {3600, f, 0, 1}}}); }),
              "(no error)");
}

TEST(LinearReservoirRouting, StabilityCheck) {
  EXPECT_EQ(error_of([] { linear_reservoir_rs(1.0, rain({1.0}), {{"a", {1800, 0.5, 0, 2}}}); }),
            "Stability Error: k_per_res (0.2500) < 0.5*dt (0.5000). Increase k_hr or num_reservoir.");
  // Equality passes, and so does the infinite constant of an empty chain.
  for (std::uint64_t count : {2u, 0u})
    EXPECT_EQ(error_of([&] { linear_reservoir_rs(1.0, rain({1.0}), {{"a", {3600, 0.5, 0, count}}}); }),
              "(no error)");
}

TEST(LinearReservoirRouting, EmptyChainPassesTheInflowRate) {
  const auto out = linear_reservoir_rs(640.0, rain({1.0, 0.5}), {{"a", {3600, 1.0, 99.0, 0}}});
  EXPECT_NEAR(out.layers[0].second.data[0], 645.3312, 1e-9);
  EXPECT_NEAR(out.layers[0].second.data[1], 322.6656, 1e-9);
}

TEST(LinearReservoirRouting, DryLayerRecedesFromInitialQ) {
  const auto out = linear_reservoir_rs(640.0, rain({0.0, 0.0}), {{"a", {3600, 0.3, 30.0, 1}}});
  EXPECT_NEAR(out.layers[0].second.data[0], 10.0, 1e-12);
  EXPECT_NEAR(out.layers[0].second.data[1], 10.0 / 3.0, 1e-12);
}

TEST(LinearReservoirRouting, ChainOfTwoFeedsForward) {
  // 2 h over 2 reservoirs, 1 h step: C = 2/3 each.
  const auto out = linear_reservoir_rs(1.0, rain({1.0, 0.0}), {{"a", {7200, 1.0, 0.0, 2}}});
  const double in = 1.00833, c = 2.0 / 3.0;
  const double s0 = in * c, s1 = s0 * c;
  EXPECT_NEAR(out.layers[0].second.data[0], s1, 1e-12);
  EXPECT_NEAR(out.layers[0].second.data[1], s0 * (1 - c) * c + s1 * (1 - c), 1e-12);
}

TEST(LinearReservoirRouting, LayersTotalsOrderKindAndStep) {
  const Layers layers{{"zeta", {3600, 0.25, 1.0, 1}}, {"alpha", {36000, 0.5, 2.0, 3}}};
  const auto out = linear_reservoir_rs(100.0, rain({0.2, 0.0, 0.4}, 1800), layers);
  ASSERT_EQ(out.layers.size(), 2u);
  EXPECT_EQ(out.layers[0].first, "zeta");
  EXPECT_EQ(out.layers[1].first, "alpha");
  for (std::size_t i = 0; i < 3; ++i)
    EXPECT_EQ(out.total.data[i], 0.0 + out.layers[0].second.data[i] + out.layers[1].second.data[i]);
  for (const auto* s : {&out.total, &out.layers[0].second, &out.layers[1].second}) {
    EXPECT_EQ(s->data.size(), 3u);
    EXPECT_EQ(s->time_step, 1800);
    EXPECT_EQ(s->kind, "discharge");
  }
}

TEST(LinearReservoirRouting, EmptyInputs) {
  auto out = linear_reservoir_rs(1.0, rain({1.0, 2.0}), {});
  EXPECT_EQ(out.total.data, std::vector<double>(2, 0.0));
  EXPECT_TRUE(out.layers.empty());
  out = linear_reservoir_rs(1.0, rain({}), {{"a", {3600, 0.5, 1.0, 1}}});
  EXPECT_TRUE(out.total.data.empty());
  EXPECT_TRUE(out.layers.at(0).second.data.empty());
}

}  // namespace
}  // namespace pelmora
