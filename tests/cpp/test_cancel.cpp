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
  EXPECT_EQ(route_reach_cost(4, std::int64_t{1} << 62), kMax);  // 2**64 does not wrap to 0
  EXPECT_EQ(route_reach_cost(4, std::int64_t{1} << 40), std::uint64_t{1} << 42);
  EXPECT_EQ(route_reach_cost(1, std::int64_t{1} << 62), 1u);  // one value routes at no cost
  EXPECT_EQ(route_reach_cost(4, 0), 0u);                      // refused before any work

  // 400 values at a 1 s step and tc = 2**25 s: the ordinates dominate. With
  // R = 0 the unit hydrograph is at most the translation, its leading zero
  // and one recession ordinate.
  constexpr std::uint64_t n = std::uint64_t{1} << 25;
  constexpr std::uint64_t m = n + 2;
  EXPECT_EQ(clark_uh_cost(Vec(400, 1.0), 1.0, 33554432.0, 0.0), n + m + 400 * m + 400 + m);
  EXPECT_EQ(clark_uh_cost(Vec(400, 0.0), 1.0, 33554432.0, 0.0), n + m + 400 + m);  // dry values cost nothing
  EXPECT_EQ(clark_uh_cost(Vec(400, 1.0), 1.0, 0.0, 7200.0), 400u);                // zeros only
  EXPECT_EQ(clark_uh_cost(Vec(1, 1.0), 1.0, 1e300, 7200.0), 1u);                  // refused before any work
  // A long R: the recession's bound is counted, R / dt x ln(1e12 R / dt)
  // steps (39 x 1e5 here), routed and written out.
  const std::uint64_t drained = clark_uh_cost(Vec(1, 0.0), 1.0, 1.0, 100000.0);
  EXPECT_GT(drained, 2 * 100000u * 39);
  EXPECT_LT(drained, 2 * 100000u * 40);
  // One that cannot drain within the limit is counted at the limit.
  EXPECT_EQ(clark_uh_cost(Vec(1, 1.0), 1.0, 1.0, 1e300), 1 + 3 * (std::uint64_t{1} << 28) + 1);

  const auto layer = [](std::uint64_t reservoirs) { return LinearReservoir{3600, 0.5, 0.0, reservoirs}; };
  EXPECT_EQ(linear_reservoir_cost(200, {{"a", layer(100000000)}}), 200 * 100000001ull + 100000000ull);
  EXPECT_EQ(linear_reservoir_cost(200, {{"a", layer(3)}, {"b", layer(0)}}), 200u * 5 + 3);
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

  Cancel never;
  never.progress(kWorkUnbounded);
  never.progress(kWorkUnbounded);  // nothing to run, nothing to fail
}

// Each long kernel on a workload of about eight poll intervals.
struct Kernel {
  const char* name;
  std::uint64_t work;
  std::function<Vec(Cancel)> run;
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
       [=](Cancel c) { return route_reach(wave, 3600.0, 8192 * 3600.0, 0.2, 8192, 100.0, c); }},
      {"clark", clark_uh_cost(wet, 1.0, 8192.0, 7200.0),
       [=](Cancel c) { return clark_uh_rs(wet, 1.0, 640.0, 8192.0, 7200.0, c); }},
      {"baseflow", linear_reservoir_cost(wave.size(), layers),
       [=](Cancel c) { return linear_reservoir_rs(640.0, rainfall(wave, 1), layers, c).total.data; }},
      {"level pool", level_pool_cost(inflow, outlets.size()),
       [=](Cancel c) { return level_pool_rs(inflow, 105.0, curve, outlets, c).storage.data; }},
      {"disaggregate", coarse.disaggregate_cost(30), [=](Cancel c) { return coarse.disaggregate(30, c).data; }},
      {"deficit and constant", deficit_and_constant_cost(storm.data.size()),
       [=](Cancel c) { return deficit_and_constant_rs(storm, 0.3, 1.0, 0.1, 36000.0, c).excess.data; }},
  };
}

TEST(CancelToken, EveryLongKernelPollsAtABoundedInterval) {
  for (const Kernel& k : kernels()) {
    SCOPED_TRACE(k.name);
    ASSERT_GE(k.work, 6 * Cancel::kPollInterval);
    const Vec plain = k.run(Cancel{});
    Polls polls;
    const Vec polled = k.run(Cancel(count_poll, &polls));
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
    EXPECT_THROW(k.run(Cancel(count_poll, &polls)), Stop);
    EXPECT_EQ(polls.count, 2u);
  }
}

}  // namespace
}  // namespace pelmora
