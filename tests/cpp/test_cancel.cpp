// The kernels' work estimates and their cancellation tokens: estimates
// saturate instead of wrapping, every long kernel runs its check at a bounded
// interval of work, a check that throws stops the kernel with its exception,
// and a polled run gives the bits of an unpolled one.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "baseflow/linear_reservoir.hpp"
#include "core/cancel.hpp"
#include "rainfall_loss/deficit_and_constant.hpp"
#include "rainfall_transform/clark_uh.hpp"
#include "reach_routing/muskingum.hpp"
#include "reservoir_routing/level_pool.hpp"

namespace pelmora {
namespace {

using Vec = std::vector<double>;
using Layers = std::vector<std::pair<std::string, LinearReservoir>>;
using Outlets = std::vector<std::pair<std::string, DischargeInfo>>;

struct Stop {};

struct Polls {
  std::uint64_t count = 0;
  std::uint64_t stop_at = std::numeric_limits<std::uint64_t>::max();
};

void count_poll(void* context) {
  Polls& polls = *static_cast<Polls*>(context);
  if (++polls.count >= polls.stop_at) throw Stop{};
}

ContinuousSeries continuous(Vec data, std::int32_t step) {
  ContinuousSeries s;
  s.data = std::move(data);
  s.time_step = step;
  s.kind = "discharge";
  return s;
}

IncrementalSeries rainfall(Vec data, std::int32_t step) {
  IncrementalSeries s;
  s.data = std::move(data);
  s.time_step = step;
  s.kind = "rainfall";
  return s;
}

TEST(WorkEstimates, CountTheRealWorkAndSaturate) {
  constexpr std::uint64_t kMax = kWorkUnbounded;
  EXPECT_EQ(route_reach_cost(5, std::int64_t{1} << 62), kMax);  // 2**64 does not wrap to 0
  EXPECT_EQ(route_reach_cost(5, std::int64_t{1} << 40), std::uint64_t{1} << 42);
  EXPECT_EQ(route_reach_cost(1, std::int64_t{1} << 62), 0u);  // one value routes at no cost
  EXPECT_EQ(route_reach_cost(4, 0), 0u);                      // refused before any work

  // 400 values at a 1 s step and tc = 2**25 s: the ordinates dominate. With
  // R = 0 the unit hydrograph is at most the translation, its leading zero
  // and one recession ordinate.
  constexpr std::uint64_t n = std::uint64_t{1} << 25;
  constexpr std::uint64_t m = n + 2;
  // Built, routed, zero-filled, then spread by every value.
  EXPECT_EQ(clark_uh_cost(Vec(400, 1.0), 1.0, 33554432.0, 0.0), n + (n + 1) + (400 + m - 1) + 400 * m);
  EXPECT_EQ(clark_uh_cost(Vec(400, 0.0), 1.0, 33554432.0, 0.0), n + (n + 1) + (400 + m - 1) + 400);  // dry: skipped
  EXPECT_EQ(clark_uh_cost(Vec(400, 1.0), 1.0, 0.0, 7200.0), 400u);                // zeros only
  EXPECT_EQ(clark_uh_cost(Vec(1, 1.0), 1.0, 1e300, 7200.0), 1u);                  // refused before any work
  // A long R: the recession's bound is counted, R / dt x ln(1e12 R / dt)
  // steps (39 x 1e5 here), routed, searched and written out.
  const std::uint64_t drained = clark_uh_cost(Vec(1, 0.0), 1.0, 1.0, 100000.0);
  EXPECT_GT(drained, 3 * 100000u * 39);
  EXPECT_LT(drained, 3 * 100000u * 40);
  // One that cannot drain within the limit is counted at the limit: one
  // ordinate, and a unit hydrograph of the most ordinates we build.
  constexpr std::uint64_t most = std::uint64_t{1} << 28;
  EXPECT_EQ(clark_uh_cost(Vec(1, 1.0), 1.0, 1.0, 1e300), 1 + 2 + 2 * (most - 3) + (1 + most - 1) + most);

  const auto layer = [](std::uint64_t reservoirs) { return LinearReservoir{3600, 0.5, 0.0, reservoirs}; };
  EXPECT_EQ(linear_reservoir_cost(200, {{"a", layer(100000000)}}), 200 * 100000000ull + 100000000ull);
  EXPECT_EQ(linear_reservoir_cost(200, {{"a", layer(3)}, {"b", layer(0)}}), 200u * 4 + 3);
  EXPECT_EQ(linear_reservoir_cost(2, {{"a", layer(kMax)}, {"b", layer(kMax)}}), kMax);

  // 4 values at a 2**31 - 1 s step: every second of the three intervals,
  // and the instant at the end.
  const ContinuousSeries probe = continuous(Vec(4, 1.0), 2147483647);
  EXPECT_EQ(level_pool_cost(probe, 1), 3ull * 2147483647 + 1);
  EXPECT_EQ(level_pool_cost(probe, 0), 3ull * 2147483647 + 1);  // the mass balance still steps
  EXPECT_EQ(level_pool_cost(probe, 5), 5 * (3ull * 2147483647 + 1));
  EXPECT_EQ(level_pool_cost(continuous(Vec(2, 1.0), 60), 3), 3u * 61);
  EXPECT_EQ(level_pool_cost(continuous(Vec(1, 1.0), 60), 5), 5u);  // time zero's record
  EXPECT_EQ(level_pool_cost(continuous(Vec{}, 60), 5), 0u);
  // Every value written: three per rainfall value, the target's share of
  // each interval when disaggregating; a refused step costs nothing.
  EXPECT_EQ(deficit_and_constant_cost(1000), 3000u);
  EXPECT_EQ(rainfall(Vec(16, 1.0), 1 << 30).disaggregate_cost(32), 16u << 25);
  EXPECT_EQ(rainfall(Vec(16, 1.0), 3600).disaggregate_cost(29), 0u);
  EXPECT_EQ(rainfall(Vec(16, 1.0), 3600).disaggregate_cost(7200), 0u);
  EXPECT_EQ(rainfall(Vec(16, 1.0), 3600).disaggregate_cost(1000), 0u);
}

TEST(CancelToken, PollsOncePerIntervalOfWork) {
  Polls polls;
  Cancel cancel(count_poll, &polls);
  cancel.progress(Cancel::kPollInterval - 1);
  EXPECT_EQ(polls.count, 0u);
  cancel.progress(1);
  EXPECT_EQ(polls.count, 1u);
  for (int i = 0; i < 4; ++i) cancel.progress(Cancel::kPollInterval / 2);
  EXPECT_EQ(polls.count, 3u);

  Cancel none;
  none.progress(kWorkUnbounded);
  none.progress(kWorkUnbounded);  // nothing to run, nothing to fail
  EXPECT_EQ(none.reported(), kWorkUnbounded);  // saturated, not wrapped
}

TEST(CancelToken, CountsEveryUnitReported) {
  Polls polls;
  Cancel cancel(count_poll, &polls);
  cancel.progress(3);
  cancel.progress(Cancel::kPollInterval * 3);  // one report past the interval: one poll
  cancel.progress(5);
  EXPECT_EQ(polls.count, 1u);
  EXPECT_EQ(cancel.reported(), Cancel::kPollInterval * 3 + 8);
  cancel.poll();
  EXPECT_EQ(cancel.reported(), Cancel::kPollInterval * 3 + 8);
  cancel.progress(Cancel::kPollInterval - 1);
  EXPECT_EQ(cancel.reported(), Cancel::kPollInterval * 4 + 7);
}

// Each long kernel on a workload of about eight poll intervals.
struct Kernel {
  const char* name;
  std::uint64_t work;
  std::function<SeriesValues(Cancel&)> run;
};

std::vector<Kernel> kernels() {
  const Vec wave = [] {
    Vec v(1000);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = 100.0 + static_cast<double>(i % 37) * 3.5;
    return v;
  }();
  Vec wet(2000, 0.0);
  for (std::size_t i = 0; i < wet.size(); i += 2) wet[i] = 0.25;
  const Layers layers{{"deep", LinearReservoir{86400 * 20, 0.6, 1.5, 8192}}};
  const ElevationStorage curve = make_elevation_storage({100, 110}, {0, 1e9});
  const Outlets outlets{{"gate", DischargeInfo(ConstantDischargeInfo(0.25))}};
  const ContinuousSeries inflow = continuous({1.0, 2.0, 3.0, 2.0}, 1 << 22);
  const IncrementalSeries coarse = rainfall({1.0, 2.0, 3.0, 4.0}, 30 << 21);
  const IncrementalSeries storm = rainfall(Vec(1 << 22, 0.25), 3600);
  return {
      {"muskingum", route_reach_cost(wave.size(), 8192),
       [=](Cancel& c) { return route_reach(wave, 3600.0, 8192 * 3600.0, 0.2, 8192, 100.0, c); }},
      {"clark", clark_uh_cost(wet, 1.0, 8192.0, 7200.0),
       [=](Cancel& c) { return clark_uh_rs(wet, 1.0, 640.0, 8192.0, 7200.0, c); }},
      {"baseflow", linear_reservoir_cost(wave.size(), layers),
       [=](Cancel& c) { return linear_reservoir_rs(640.0, rainfall(wave, 1), layers, c).total.data; }},
      {"level pool", level_pool_cost(inflow, outlets.size()),
       [=](Cancel& c) { return level_pool_rs(inflow, 105.0, curve, outlets, c).storage.data; }},
      {"disaggregate", coarse.disaggregate_cost(30), [=](Cancel& c) { return coarse.disaggregate(30, c).data; }},
      {"deficit and constant", deficit_and_constant_cost(storm.data.size()),
       [=](Cancel& c) { return deficit_and_constant_rs(storm, 0.3, 1.0, 0.1, 36000.0, c).excess.data; }},
  };
}

TEST(CancelToken, EveryLongKernelPollsAtABoundedInterval) {
  for (const Kernel& k : kernels()) {
    SCOPED_TRACE(k.name);
    ASSERT_GE(k.work, 6 * Cancel::kPollInterval);
    Cancel none;
    const SeriesValues plain = k.run(none);
    Polls polls;
    Cancel counting(count_poll, &polls);
    const SeriesValues polled = k.run(counting);
    // Bit for bit: the token only counts.
    ASSERT_EQ(plain.size(), polled.size());
    for (std::size_t i = 0; i < plain.size(); ++i) ASSERT_EQ(std::bit_cast<std::uint64_t>(plain[i]),
                                                             std::bit_cast<std::uint64_t>(polled[i])) << i;
    // Reports come at most a tenth of an interval apart, so no stretch of
    // work goes much past an interval without a poll.
    EXPECT_GE(polls.count, k.work * 10 / (Cancel::kPollInterval * 11)) << polls.count;
    EXPECT_LE(polls.count, k.work / Cancel::kPollInterval + 2) << polls.count;
  }
}

TEST(CancelToken, AThrowingCheckStopsEveryKernel) {
  for (const Kernel& k : kernels()) {
    SCOPED_TRACE(k.name);
    Polls polls;
    polls.stop_at = 2;
    Cancel cancel(count_poll, &polls);
    EXPECT_THROW(k.run(cancel), Stop);
    EXPECT_EQ(polls.count, 2u);
  }
}

// The estimates against the work the kernels report, unit for unit: exact
// where everything is known up front, and for the Clark transform, whose
// recession is only known once built, never below it.
TEST(WorkEstimates, MatchTheWorkTheKernelsReport) {
  const auto wave = [](std::size_t n) {
    Vec v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = 100.0 + static_cast<double>(i % 37) * 3.5;
    return v;
  };
  for (const std::size_t n : {1, 2, 5, 70000})
    for (const std::int64_t sub : {1, 2, 3, 4, 5, 7, 8, 9}) {
      SCOPED_TRACE("muskingum " + std::to_string(n) + " values, " + std::to_string(sub) + " sub-reaches");
      Cancel cancel;
      route_reach(wave(n), 3600.0, 7200.0, 0.2, sub, 100.0, cancel);
      EXPECT_EQ(cancel.reported(), route_reach_cost(n, sub));
    }

  const auto layer = [](std::uint64_t reservoirs) { return LinearReservoir{86400 * 20, 0.3, 1.5, reservoirs}; };
  const std::vector<Layers> stacks{{},
                                   {{"a", layer(0)}},
                                   {{"a", layer(1)}},
                                   {{"a", layer(3)}, {"b", layer(0)}, {"c", layer(40)}},
                                   {{"long", layer(70000)}, {"short", layer(2)}}};
  for (const std::size_t n : {0, 1, 7, 300})
    for (const Layers& layers : stacks) {
      SCOPED_TRACE("baseflow " + std::to_string(n) + " values, " + std::to_string(layers.size()) + " layers");
      Cancel cancel;
      linear_reservoir_rs(640.0, rainfall(wave(n), 1), layers, cancel);
      EXPECT_EQ(cancel.reported(), linear_reservoir_cost(n, layers));
    }

  const ElevationStorage curve = make_elevation_storage({100, 110}, {0, 1e9});
  const DischargeInfo gate(ConstantDischargeInfo(0.25));
  for (const std::size_t n : {1, 2, 5})
    for (const std::int32_t step : {1, 60, 3600, 200000})
      for (const std::size_t outlets : {0, 1, 3}) {
        SCOPED_TRACE("level pool " + std::to_string(n) + " values at " + std::to_string(step) + " s, " +
                     std::to_string(outlets) + " outlets");
        const ContinuousSeries inflow = continuous(Vec(n, 1.0), step);
        Cancel cancel;
        level_pool_rs(inflow, 105.0, curve, Outlets(outlets, {"gate", gate}), cancel);
        EXPECT_EQ(cancel.reported(), level_pool_cost(inflow, outlets));
      }

  for (const std::size_t n : {0, 1, 70000})
    for (const std::int32_t step : {3600, 30 << 17}) {
      SCOPED_TRACE("loss and disaggregate " + std::to_string(n) + " values at " + std::to_string(step) + " s");
      const IncrementalSeries rain = rainfall(wave(n), step);
      Cancel loss;
      deficit_and_constant_rs(rain, 0.3, 1.0, 0.1, 36000.0, loss);
      EXPECT_EQ(loss.reported(), deficit_and_constant_cost(n));
      if (n > 100) continue;  // 2**17 values each is enough
      Cancel split;
      rain.disaggregate(30, split);
      EXPECT_EQ(split.reported(), rain.disaggregate_cost(30));
    }

  // Rainfall wet, dry and mixed; a reservoir that stores nothing, short and
  // long ones; a time of concentration below, at and well above the step.
  Vec mixed(500, 0.0);
  for (std::size_t i = 0; i < mixed.size(); i += 3) mixed[i] = 0.4;
  for (const Vec& rain : {Vec(1, 0.0), Vec(200, 1.0), mixed})
    for (const double tc : {600.0, 3600.0, 1e6})
      for (const double r : {0.0, 1800.0, 7200.0, 1e6}) {
        SCOPED_TRACE("clark " + std::to_string(rain.size()) + " values, tc " + std::to_string(tc) + " s, R " +
                     std::to_string(r) + " s");
        Cancel cancel;
        clark_uh_rs(rain, 3600.0, 640.0, tc, r, cancel);
        const std::uint64_t estimate = clark_uh_cost(rain, 3600.0, tc, r);
        EXPECT_LE(cancel.reported(), estimate);
        EXPECT_GE(cancel.reported(), estimate / 2);  // and not so high as to detach for nothing
      }
}

}  // namespace
}  // namespace pelmora
