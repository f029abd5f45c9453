// Level pool routing: the worked cases, every error in its order, and the
// stepping loop against a plain second-by-second formulation written here,
// which must agree with it to the last bit on random reservoirs.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "core/errors.hpp"
#include "core/format.hpp"
#include "reservoir_routing/level_pool.hpp"
#include "utils/general.hpp"

namespace pelmora {
namespace {

using Vec = std::vector<double>;
using Opt = std::optional<double>;
using Outlets = std::vector<std::pair<std::string, DischargeInfo>>;
constexpr Opt kNone = std::nullopt;

ContinuousSeries series(Vec data, std::int32_t step) {
  ContinuousSeries s;
  s.data = std::move(data);
  s.time_step = step;
  s.kind = "discharge";
  return s;
}

ElevationStorage curve_100_110() { return make_elevation_storage({100, 110}, {0, 1000000}); }

Outlets one(DischargeInfo outlet) {
  Outlets outlets;
  outlets.emplace_back("outlet", std::move(outlet));
  return outlets;
}

std::string error_of(const ContinuousSeries& inflow, double e0, const ElevationStorage& curve,
                     const Outlets& outlets) {
  try {
    level_pool_rs(inflow, e0, curve, outlets);
  } catch (const DomainError& e) {
    return "ValueError: " + e.message();
  } catch (const StateError& e) {
    return "RuntimeError: " + e.message();
  }
  return "no error";
}

TEST(LevelPool, StillReservoir) {
  const auto r = level_pool_rs(series({0, 0, 0}, 3600), 105, curve_100_110(),
                               one(ConstantDischargeInfo(0)));
  EXPECT_EQ(r.storage.data, Vec({500000, 500000, 500000}));
  EXPECT_EQ(r.elevation.data, Vec({105, 105, 105}));
  EXPECT_EQ(r.total_outflow.data, Vec({0, 0, 0}));
  ASSERT_EQ(r.individual.size(), 1u);
  EXPECT_EQ(r.individual[0].first, "outlet");
  EXPECT_EQ(r.individual[0].second.data, Vec({0, 0, 0}));
  const std::pair<const ContinuousSeries*, const char*> kinds[] = {
      {&r.storage, "volume"},
      {&r.elevation, "elevation"},
      {&r.total_outflow, "discharge"},
      {&r.individual[0].second, "discharge"}};
  for (const auto& [s, kind] : kinds) {
    EXPECT_EQ(s->kind, kind);
    EXPECT_EQ(s->time_step, 3600);
  }
}

// 3600 one-second updates of exactly 10 in each interval, from time zero.
TEST(LevelPool, SteadyInflowFills) {
  const auto r = level_pool_rs(series({10, 10, 10}, 3600), 105, curve_100_110(),
                               one(ConstantDischargeInfo(0)));
  EXPECT_EQ(r.storage.data, Vec({500000, 536000, 572000}));
  EXPECT_EQ(r.elevation.data[1], 105.36);
  EXPECT_DOUBLE_EQ(r.elevation.data[2], 105.72);
}

// 5,000 cfs for three hours into a pool with no outlet: 5.4e7 ft³, about
// 1,240 acre-feet, all of it, the first hour included.
TEST(LevelPool, EveryIntervalIsIntegrated) {
  const auto curve = make_elevation_storage({0, 100}, {0, 1e9});
  const auto r = level_pool_rs(series({5000, 5000, 5000, 5000}, 3600), 0, curve, {});
  EXPECT_EQ(r.storage.data, Vec({0, 1.8e7, 3.6e7, 5.4e7}));
  EXPECT_NEAR(r.storage.data.back() / 43560.0, 1239.67, 0.005);
  // A ramp from 0 at time zero: the first second pairs d[0] with the inflow
  // at 1 s, and one-second trapezoids integrate the line exactly.
  const auto ramp = level_pool_rs(series({0, 3600}, 3600), 0, curve, {});
  EXPECT_EQ(ramp.storage.data, Vec({0, 3600.0 * 3600.0 / 2}));
}

TEST(LevelPool, ConstantReleaseDrains) {
  const auto r = level_pool_rs(series({0, 0, 0}, 60), 105, curve_100_110(),
                               one(ConstantDischargeInfo(5)));
  EXPECT_EQ(r.storage.data, Vec({500000, 499700, 499400}));
  EXPECT_EQ(r.elevation.data[1], 104.997);
  EXPECT_EQ(r.total_outflow.data, Vec({5, 5, 5}));
}

// Record k of a specified outlet is read at k * dt; a series as long as the
// inflow lasts exactly, one a step shorter fails one second past its end.
TEST(LevelPool, SpecifiedOutletReadAtRecordTimes) {
  const auto r = level_pool_rs(series({0, 0, 0, 0}, 60), 105, curve_100_110(),
                               one(SpecifiedDischargeInfo(series({1, 2, 3, 4}, 60))));
  EXPECT_EQ(r.individual[0].second.data, Vec({1, 2, 3, 4}));
  // Seconds 0..59 release 1 + t / 60 each (89.5 in all), 60..119 149.5,
  // 120..179 209.5; the value at 180 s is recorded but never released.
  EXPECT_EQ(r.storage.data, Vec({500000, 499910.5, 499761, 499551.5}));
  EXPECT_EQ(error_of(series({0, 0, 0, 0}, 60), 105, curve_100_110(),
                     one(SpecifiedDischargeInfo(series({1, 2, 3}, 60)))),
            "ValueError: simulation duration 121s exceeds the specified discharge series length "
            "(120s).");
}

TEST(LevelPool, OneValueInflowRecordsTimeZero) {
  const auto r = level_pool_rs(series({7}, 3600), 105, curve_100_110(),
                               one(ConstantDischargeInfo(1)));
  EXPECT_EQ(r.storage.data, Vec({500000}));
  EXPECT_EQ(r.elevation.data, Vec({105}));
  EXPECT_EQ(r.total_outflow.data, Vec({1}));
  ASSERT_EQ(r.individual.size(), 1u);
  EXPECT_EQ(r.individual[0].second.data, Vec({1}));
}

TEST(LevelPool, WithoutOutletsNothingLeaves) {
  const auto r = level_pool_rs(series({1, 1, 1}, 10), 105, curve_100_110(), {});
  EXPECT_EQ(r.total_outflow.data, Vec({0, 0, 0}));
  EXPECT_EQ(r.storage.data, Vec({500000, 500010, 500020}));
  EXPECT_TRUE(r.individual.empty());
}

// The sum runs in the outlets' order: here one order loses the 1 to
// rounding and the other keeps it. Individual series keep that order too.
TEST(LevelPool, OutletsSummedAndReportedInTheirOrder) {
  const auto in = series({0, 0, 0}, 2);
  const auto curve = make_elevation_storage({100, 110}, {0, 1e17});
  Outlets outlets;
  outlets.emplace_back("big", ConstantDischargeInfo(1e16));
  outlets.emplace_back("minus big", ConstantDischargeInfo(-1e16));
  outlets.emplace_back("one", ConstantDischargeInfo(1));
  auto r = level_pool_rs(in, 105, curve, outlets);
  EXPECT_EQ(r.total_outflow.data, Vec({1, 1, 1}));
  ASSERT_EQ(r.individual.size(), 3u);
  EXPECT_EQ(r.individual[0].first, "big");
  EXPECT_EQ(r.individual[1].first, "minus big");
  EXPECT_EQ(r.individual[2].first, "one");
  EXPECT_EQ(r.individual[2].second.data, Vec({1, 1, 1}));

  std::rotate(outlets.begin(), outlets.begin() + 2, outlets.end());
  r = level_pool_rs(in, 105, curve, outlets);
  EXPECT_EQ(r.total_outflow.data, Vec({0, 0, 0}));
  EXPECT_EQ(r.individual[0].first, "one");
}

TEST(LevelPool, StorageClampedAtZero) {
  const auto r = level_pool_rs(series({0, 0, 0}, 10), 100.5, curve_100_110(),
                               one(ConstantDischargeInfo(1e6)));
  EXPECT_EQ(r.storage.data, Vec({50000, 0, 0}));
  EXPECT_EQ(r.elevation.data, Vec({100.5, 100, 100}));
}

// A NaN storage is an error naming the second it appeared at. A NaN inflow
// value is read from the point before it on: the interpolation there adds
// NaN x 0.
TEST(LevelPool, NanStorageIsAnError) {
  const auto curve = curve_100_110();
  const std::string tail = " seconds: check the inflow and the outlets";
  EXPECT_EQ(error_of(series({0, 0, NAN, 0}, 10), 105, curve, {}),
            "ValueError: storage became NaN at 10" + tail);
  EXPECT_EQ(error_of(series({0, 0}, 10), 105, curve, one(ConstantDischargeInfo(NAN))),
            "ValueError: storage became NaN at 1" + tail);
  EXPECT_EQ(error_of(series({0, 0, 0, NAN}, 3600), 105, curve, {}),
            "ValueError: storage became NaN at 7200" + tail);
  // A NaN first value spoils the first second; alone, it is never read.
  EXPECT_EQ(error_of(series({NAN, 0}, 3600), 105, curve, {}),
            "ValueError: storage became NaN at 1" + tail);
  EXPECT_EQ(level_pool_rs(series({NAN}, 3600), 105, curve, {}).storage.data, Vec({500000}));
}

TEST(LevelPool, ErrorsInTheirOrder) {
  const auto curve = curve_100_110();
  const auto empty = series({}, 3600);
  const auto flat = series({0, 0, 0}, 3600);
  const std::string storage_tail = " is outside the range of the elevation-storage curve.";
  // An outlet that fails as soon as it is asked.
  const auto failing = one(UnControlledDischargeInfo(make_elevation_discharge({0, 1}, {0, 1})));
  struct Case {
    const char* what;
    ContinuousSeries inflow;
    double e0;
    ElevationStorage curve;
    Outlets outlets;
    std::string expected;
  } cases[] = {
      {"initial elevation above the curve, before any outlet", flat, 111, curve, failing,
       "ValueError: `elevation` 111" + storage_tail},
      {"initial elevation NaN", flat, NAN, curve, failing,
       "ValueError: `elevation` NaN" + storage_tail},
      {"short storage curve", flat, 105, make_elevation_storage({100}, {0}), failing,
       "ValueError: x_values and y_values each must have at least 2 elements."},
      {"empty inflow, after the initial lookup", empty, 111, curve, {},
       "ValueError: `elevation` 111" + storage_tail},
      {"empty inflow", empty, 105, curve, failing, "ValueError: inflow must not be empty"},
      {"outlet above its curve", flat, 105, curve, failing,
       "ValueError: elevation 105 is above the maximum of the elevation-discharge curve (1)."},
      {"overfilled", series({1000, 1000, 1000}, 3600), 105, curve, {},
       "ValueError: `storage` 1001000" + storage_tail},
      {"drained below a curve that starts above 0", series({0, 0, 0}, 10), 100,
       make_elevation_storage({100, 110}, {10, 1000}), one(ConstantDischargeInfo(100)),
       "ValueError: `storage` 0" + storage_tail},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(error_of(c.inflow, c.e0, c.curve, c.outlets), c.expected);
  }
}

// An elevation curve running to -inf makes storage above 0 interpolate to
// NaN; the rating-curve outlet asked at that elevation refuses it.
TEST(LevelPool, NanElevationReachingARatingCurve) {
  const auto curve = make_elevation_storage({-INFINITY, 0}, {0, 10});
  const auto spill = one(UnControlledDischargeInfo(make_elevation_discharge({0, 1}, {0, 1})));
  EXPECT_EQ(error_of(series({5, 5, 5}, 2), -INFINITY, curve, spill),
            "ValueError: elevation NaN is outside the range of the elevation-discharge curve.");
}

// ---------------------------------------------------------------------------
// The plain formulation: every second in turn, every outlet through
// interp1d and get_value, every storage through the curve's own lookup.

double plain_discharge(const DischargeInfo& info, std::int64_t t, double e) {
  auto shut = [e](Opt lo, Opt hi) { return (lo && *lo > e) || (hi && e > *hi); };
  auto on_curve = [](const ElevationDischarge& c, double x) {
    const double last = c.elevation.back();
    if (x > last)
      throw DomainError("elevation " + format_double(x) +
                        " is above the maximum of the elevation-discharge curve (" +
                        format_double(last) + ").");
    return x;
  };
  if (const auto* o = std::get_if<ConstantDischargeInfo>(&info))
    return shut(o->minimum_elevation, o->maximum_elevation) ? 0.0 : o->discharge;
  if (const auto* o = std::get_if<SpecifiedDischargeInfo>(&info)) {
    if (shut(o->minimum_elevation, o->maximum_elevation)) return 0.0;
    const std::int64_t length = o->discharge.total_duration();
    if (static_cast<double>(t) > static_cast<double>(length))
      throw DomainError("simulation duration " + format_double(static_cast<double>(t)) +
                        "s exceeds the specified discharge series length (" +
                        format_int(length) + "s).");
    const double v = o->discharge.get_value(static_cast<double>(t));
    return o->maximum_release ? std::fmin(v, *o->maximum_release) : v;
  }
  const ElevationDischarge* c;
  double x = e;
  Opt cap;
  if (const auto* o = std::get_if<ControlledDischargeInfo>(&info)) {
    if (shut(o->minimum_elevation, o->maximum_elevation)) return 0.0;
    c = &o->elevation_discharge;
    cap = o->maximum_release.value_or(std::numeric_limits<double>::infinity());
  } else {
    const auto& u = std::get<UnControlledDischargeInfo>(info);
    c = &u.elevation_discharge;
    x = u.elevation_offset.value_or(0.0) + e;
  }
  on_curve(*c, x);
  if (c->elevation.front() > x) return 0.0;
  if (std::isnan(x))
    throw DomainError("elevation NaN is outside the range of the elevation-discharge curve.");
  const double q = *interp1d(c->elevation, c->discharge, x, 0.0, std::nullopt);
  return cap ? std::fmin(q, *cap) : q;
}

LevelPool plain_level_pool(const ContinuousSeries& inflow, double e0,
                           const ElevationStorage& curve, const Outlets& outlets) {
  const std::span<const double> d = inflow.data;
  const std::int64_t dt = inflow.time_step;
  const std::int64_t total = dt * (static_cast<std::int64_t>(d.size()) - 1);
  Vec storages, elevations, totals;
  std::vector<Vec> individual(outlets.size());
  double S = curve.get_storage(e0);
  double E = e0;
  if (d.empty()) throw DomainError("inflow must not be empty");
  double I_prev = d[0];
  for (std::int64_t t = 0; t <= total; ++t) {
    const bool report = t % dt == 0;
    if (report) {
      storages.push_back(S);
      elevations.push_back(E);
    }
    double Q = 0.0;
    for (std::size_t j = 0; j < outlets.size(); ++j) {
      const double q = plain_discharge(outlets[j].second, t, E);
      Q = Q + q;
      if (report) individual[j].push_back(q);
    }
    if (report) totals.push_back(Q);
    if (t == total) break;
    const double I = inflow.get_value(static_cast<double>(t + 1));
    S = S + ((I_prev + I) * 0.5) * 1.0 - Q * 1.0;
    if (S < 0.0) S = 0.0;
    if (std::isnan(S))
      throw DomainError("storage became NaN at " + format_int(t + 1) +
                        " seconds: check the inflow and the outlets");
    E = curve.get_elevation(S);
    I_prev = I;
  }
  LevelPool r;
  r.storage.data = storages;
  r.elevation.data = elevations;
  r.total_outflow.data = totals;
  for (std::size_t j = 0; j < outlets.size(); ++j)
    r.individual.emplace_back(outlets[j].first, series(individual[j], inflow.time_step));
  return r;
}

std::vector<std::uint64_t> bits(std::span<const double> v) {
  std::vector<std::uint64_t> out;
  for (double x : v) out.push_back(std::bit_cast<std::uint64_t>(x));
  return out;
}

// A reservoir drawn at random: a storage curve, an inflow that may overfill
// or drain it, and up to four outlets of every kind, whose curves and series
// may be too short for the run.
struct Scenario {
  ContinuousSeries inflow;
  double e0;
  ElevationStorage curve;
  Outlets outlets;
};

Scenario draw(std::mt19937_64& rng) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  auto pick = [&](std::initializer_list<double> v) { return *(v.begin() + rng() % v.size()); };
  auto maybe = [&](double v) { return rng() % 2 ? Opt(v) : kNone; };
  Scenario s;
  const std::size_t m = 2 + rng() % 10;
  Vec el{50 + unit(rng) * 100}, st{rng() % 4 ? 0.0 : unit(rng) * 1e4};
  for (std::size_t i = 1; i < m; ++i) {
    el.push_back(el.back() + 0.2 + unit(rng) * 5);
    st.push_back(st.back() + 1e3 + unit(rng) * 1e5);
  }
  s.curve = make_elevation_storage(el, st);
  const double lo = el.front(), hi = el.back();
  s.e0 = rng() % 5 ? lo + unit(rng) * (hi - lo) : el[rng() % m];

  const auto dt = static_cast<std::int32_t>(pick({1, 2, 5, 17, 60, 600}));
  const std::size_t n = rng() % 20 == 0 ? rng() % 2 : 2 + rng() % 10;
  const double span = static_cast<double>(dt) * static_cast<double>(n > 1 ? n - 1 : 1);
  const double flow = (st.back() - st.front()) / span;  // fills the curve in one run
  Vec in;
  for (std::size_t i = 0; i < n; ++i) in.push_back(unit(rng) * flow * pick({0.1, 0.5, 1, 2}));
  s.inflow = series(in, dt);

  // Drawn one by one: the order of evaluation of arguments is unspecified.
  auto level = [&] { return lo + unit(rng) * (hi - lo); };
  const std::size_t outlets = rng() % 5;
  for (std::size_t j = 0; j < outlets; ++j) {
    const std::string name = "outlet " + std::to_string(j);
    const double q = unit(rng) * flow;
    const Opt low = maybe(level());
    const Opt high = maybe(level());
    const Opt cap = maybe(unit(rng) * q);
    switch (rng() % 4) {
      case 0:
        s.outlets.emplace_back(name, ConstantDischargeInfo(q, low, high));
        break;
      case 1: {
        const auto step = static_cast<std::int32_t>(pick({1, 7, double(dt), 2.0 * dt}));
        Vec v(1 + rng() % (2 * n + 2));
        for (double& x : v) x = unit(rng) * q;
        s.outlets.emplace_back(name, SpecifiedDischargeInfo(series(v, step), low, kNone, cap));
        break;
      }
      default: {
        // Rating curves from somewhere in the lower part of the reservoir to
        // (usually) above its top.
        Vec ce{lo + unit(rng) * (hi - lo) * 0.5}, cq{0};
        const double top = rng() % 4 ? hi + 1 : level();
        for (std::size_t i = 1, k = 2 + rng() % 8; i < k; ++i) {
          ce.push_back(ce.back() + std::max((top - ce.back()) / double(k - i), 1e-3));
          cq.push_back(cq.back() + (rng() % 4 ? unit(rng) * q : 0.0));
        }
        const auto rating = make_elevation_discharge(ce, cq);
        if (rng() % 2) {
          s.outlets.emplace_back(name, UnControlledDischargeInfo(rating, maybe(unit(rng) - 0.5)));
        } else {
          const Opt gate_low = maybe(lo + unit(rng) * 5);
          const Opt gate_high = maybe(hi - unit(rng) * 5);
          s.outlets.emplace_back(name, make_controlled_discharge(rating, gate_low, gate_high, cap));
        }
      }
    }
  }
  return s;
}

template <class F>
std::string outcome(F&& f, LevelPool& result) {
  try {
    result = f();
  } catch (const DomainError& e) {
    return "ValueError: " + e.message();
  } catch (const StateError& e) {
    return "RuntimeError: " + e.message();
  }
  return "ok";
}

TEST(LevelPool, MatchesThePlainFormulationBitForBit) {
  std::mt19937_64 rng(314159);
  int completed = 0, failed = 0;
  for (int round = 0; round < 600; ++round) {
    const Scenario s = draw(rng);
    LevelPool fast, plain;
    const std::string got =
        outcome([&] { return level_pool_rs(s.inflow, s.e0, s.curve, s.outlets); }, fast);
    const std::string want =
        outcome([&] { return plain_level_pool(s.inflow, s.e0, s.curve, s.outlets); }, plain);
    ASSERT_EQ(got, want) << "round " << round;
    if (got != "ok") {
      ++failed;
      continue;
    }
    ++completed;
    ASSERT_EQ(bits(fast.storage.data), bits(plain.storage.data)) << "round " << round;
    ASSERT_EQ(bits(fast.elevation.data), bits(plain.elevation.data)) << "round " << round;
    ASSERT_EQ(bits(fast.total_outflow.data), bits(plain.total_outflow.data)) << "round " << round;
    ASSERT_EQ(fast.individual.size(), plain.individual.size());
    for (std::size_t j = 0; j < fast.individual.size(); ++j) {
      ASSERT_EQ(fast.individual[j].first, plain.individual[j].first);
      ASSERT_EQ(bits(fast.individual[j].second.data), bits(plain.individual[j].second.data));
    }
  }
  // Both outcomes are well represented.
  EXPECT_GT(completed, 200);
  EXPECT_GT(failed, 50);
}

}  // namespace
}  // namespace pelmora
