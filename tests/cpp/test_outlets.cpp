// The four outlet kinds: gates, rating-curve lookups, caps and their errors,
// through get_discharge on a DischargeInfo, and through the stepping entry
// points the routing loop uses with its search state kept between calls.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "core/errors.hpp"
#include "reservoir_routing/level_pool.hpp"

namespace pelmora {
namespace {

using Vec = std::vector<double>;
using Opt = std::optional<double>;
constexpr Opt kNone = std::nullopt;

// The value to 17 digits, so that equal strings are equal doubles, or
// "ValueError: ..." / "RuntimeError: ...".
std::string outcome(const std::function<double()>& f) {
  try {
    const double v = f();
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
  } catch (const DomainError& e) {
    return "ValueError: " + e.message();
  } catch (const StateError& e) {
    return "RuntimeError: " + e.message();
  }
}

std::string at(const DischargeInfo& outlet, double elevation,
               std::optional<std::int64_t> t = std::nullopt) {
  return outcome([&] { return get_discharge(outlet, t, elevation); });
}

ElevationDischarge curve_100_110() { return make_elevation_discharge({100, 110}, {0, 50}); }

const std::string kAbove111 =
    "ValueError: elevation 111 is above the maximum of the elevation-discharge curve (110).";
const std::string kNanOnCurve =
    "ValueError: elevation NaN is outside the range of the elevation-discharge curve.";

TEST(ConstantOutlet, GatedByElevation) {
  const ConstantDischargeInfo low(10, 100.0, kNone);
  EXPECT_EQ(at(low, 99.9), "0");
  EXPECT_EQ(at(low, 100), "10");  // bounds release
  EXPECT_EQ(at(low, NAN), "10");  // NaN slips through the gate
  const ConstantDischargeInfo high(-3, kNone, 120.0);
  EXPECT_EQ(at(high, 120), "-3");  // any sign
  EXPECT_EQ(at(high, 120.5), "0");
  EXPECT_EQ(at(ConstantDischargeInfo(4), -1e300), "4");
}

TEST(ControlledOutlet, GateFittedToTheCurve) {
  struct Case {
    Opt minimum, maximum;
    double stored_minimum;
    Opt stored_maximum;
  } cases[] = {
      {kNone, kNone, 100, kNone}, {90.0, kNone, 100, kNone},  {105.0, kNone, 105, kNone},
      {NAN, kNone, 100, kNone},   {kNone, 108.0, 100, 108.0}, {kNone, 120.0, 100, 110.0},
      {kNone, NAN, 100, 110.0},
  };
  for (const auto& c : cases) {
    const auto o = make_controlled_discharge(curve_100_110(), c.minimum, c.maximum, 7.0);
    EXPECT_EQ(o.minimum_elevation, Opt(c.stored_minimum));
    EXPECT_EQ(o.maximum_elevation, c.stored_maximum);
    EXPECT_EQ(o.maximum_release, Opt(7.0));
    EXPECT_EQ(o.elevation_discharge.discharge, Vec({0, 50}));
  }
}

TEST(ControlledOutlet, Discharges) {
  struct Case {
    const char* what;
    Opt minimum, maximum, release;
    double elevation;
    std::string expected;
  } cases[] = {
      {"below the curve", kNone, kNone, kNone, 99, "0"},
      {"on the curve", kNone, kNone, kNone, 105, "25"},
      {"top of the curve", kNone, kNone, kNone, 110, "50"},
      {"above the curve", kNone, kNone, kNone, 111, kAbove111},
      {"NaN", kNone, kNone, kNone, NAN, kNanOnCurve},
      {"over its maximum", kNone, 108.0, kNone, 109, "0"},
      {"over its maximum and the curve", kNone, 108.0, kNone, 111, "0"},
      {"maximum lowered to the curve", kNone, 120.0, kNone, 111, "0"},
      {"under its minimum", 104.0, kNone, kNone, 103, "0"},
      {"capped", kNone, kNone, 20.0, 105, "20"},
      {"under the cap", kNone, kNone, 30.0, 105, "25"},
      {"NaN cap", kNone, kNone, NAN, 105, "25"},
      {"negative cap", kNone, kNone, -5.0, 105, "-5"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto o = make_controlled_discharge(curve_100_110(), c.minimum, c.maximum, c.release);
    EXPECT_EQ(at(o, c.elevation), c.expected);
  }
}

// Only an outlet built without make_controlled_discharge can be open below
// its curve; the zero it answers there is not capped.
TEST(ControlledOutlet, BelowTheCurveIsUncapped) {
  const ControlledDischargeInfo raw(curve_100_110(), kNone, kNone, -5.0);
  EXPECT_EQ(at(raw, 99), "0");
  EXPECT_EQ(at(raw, 105), "-5");
}

TEST(UncontrolledOutlet, Discharges) {
  const UnControlledDischargeInfo shifted(curve_100_110(), -2.0);
  EXPECT_EQ(at(shifted, 103), "5");
  EXPECT_EQ(at(shifted, 101.9), "0");
  EXPECT_EQ(at(shifted, 113), kAbove111);  // prints the shifted elevation
  EXPECT_EQ(at(shifted, NAN), kNanOnCurve);
  const UnControlledDischargeInfo plain(curve_100_110());
  EXPECT_EQ(at(plain, 110), "50");
  EXPECT_EQ(at(plain, 100), "0");
  EXPECT_EQ(at(plain, -INFINITY), "0");
  // Without an offset the lookup is of 0.0 + elevation, which prints -0 as 0.
  const UnControlledDischargeInfo below_zero(make_elevation_discharge({-10, -1}, {0, 1}));
  EXPECT_EQ(at(below_zero, -0.0),
            "ValueError: elevation 0 is above the maximum of the elevation-discharge curve (-1).");
}

TEST(SpecifiedOutlet, ReadsItsSeries) {
  ContinuousSeries s;
  s.data = {1, 2, 3};
  s.time_step = 3600;
  s.kind = "discharge";
  const SpecifiedDischargeInfo plain(s);
  EXPECT_EQ(at(plain, 0, 0), "1");  // routing asks from time zero
  EXPECT_EQ(at(plain, 0, 7200), "3");
  EXPECT_EQ(at(plain, 0, 1800), "1.5");
  EXPECT_EQ(at(plain, 0, 7201),
            "ValueError: simulation duration 7201s exceeds the specified discharge series length "
            "(7200s).");
  EXPECT_EQ(at(plain, 0, -1), "ValueError: `duration` -1 is less than 0.");
  EXPECT_EQ(at(plain, 0),
            "RuntimeError: SpecifiedDischargeInfo requires duration_secs but none was provided.");

  const SpecifiedDischargeInfo gated(s, 100.0, 110.0);
  EXPECT_EQ(at(gated, 99, 99999), "0");  // a shut gate answers past the series end
  EXPECT_EQ(at(gated, 111, 99999), "0");
  EXPECT_EQ(at(gated, 99),  // the missing time is reported even with the gate shut
            "RuntimeError: SpecifiedDischargeInfo requires duration_secs but none was provided.");

  EXPECT_EQ(at(SpecifiedDischargeInfo(s, kNone, kNone, 2.5), 0, 7200), "2.5");
  EXPECT_EQ(at(SpecifiedDischargeInfo(s, kNone, kNone, 2.5), 0, 1800), "1.5");
  EXPECT_EQ(at(SpecifiedDischargeInfo(s, kNone, kNone, NAN), 0, 7200), "3");

  ContinuousSeries empty = s;
  empty.data = SeriesValues();
  EXPECT_EQ(at(SpecifiedDischargeInfo(empty), 0, 0),
            "ValueError: simulation duration 0s exceeds the specified discharge series length "
            "(-3600s).");
}

TEST(DischargeInfoUnion, AlternativesInMatchingOrderAndForwarding) {
  using std::is_same_v, std::variant_alternative_t;
  static_assert(is_same_v<variant_alternative_t<0, DischargeInfo>, UnControlledDischargeInfo>);
  static_assert(is_same_v<variant_alternative_t<1, DischargeInfo>, ControlledDischargeInfo>);
  static_assert(is_same_v<variant_alternative_t<2, DischargeInfo>, SpecifiedDischargeInfo>);
  static_assert(is_same_v<variant_alternative_t<3, DischargeInfo>, ConstantDischargeInfo>);
  ContinuousSeries s;
  s.data = {4, 6};
  s.time_step = 10;
  s.kind = "discharge";
  EXPECT_EQ(get_discharge(DischargeInfo(UnControlledDischargeInfo(curve_100_110())), 0, 105), 25);
  EXPECT_EQ(get_discharge(make_controlled_discharge(curve_100_110(), kNone, kNone, 20.0), 0, 105),
            20);
  EXPECT_EQ(get_discharge(SpecifiedDischargeInfo(s), 5, 0), 5);
  EXPECT_EQ(get_discharge(ConstantDischargeInfo(8), std::nullopt, 0), 8);
  EXPECT_THROW(get_discharge(SpecifiedDischargeInfo(s), std::nullopt, 0), StateError);
}

// The stepping entry points, which keep a search hint or a series cursor
// between calls, answer what a fresh query answers, errors included.
TEST(OutletSteppingEntryPoints, MatchGetDischarge) {
  std::mt19937_64 rng(99);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int round = 0; round < 100; ++round) {
    const std::size_t n = 2 + rng() % 15;
    Vec e(n), q(n);
    e[0] = 100 + unit(rng) * 5;
    q[0] = unit(rng) * 3;
    for (std::size_t i = 1; i < n; ++i) {
      e[i] = e[i - 1] + 0.1 + unit(rng) * 3;
      q[i] = q[i - 1] + (rng() % 3 ? unit(rng) * 40 : 0.0);
    }
    const ElevationDischarge curve = make_elevation_discharge(e, q);
    // Drawn one by one: the order of evaluation of arguments is unspecified.
    auto maybe = [&](double v) { return rng() % 2 ? Opt(v) : kNone; };
    const Opt offset = maybe(unit(rng) * 4 - 2);
    const Opt low = maybe(e[0] + unit(rng) * 5);
    const Opt high = maybe(e[n - 1] - unit(rng) * 5);
    const Opt cap = maybe(unit(rng) * 60);
    const UnControlledDischargeInfo spill(curve, offset);
    const ControlledDischargeInfo gate = make_controlled_discharge(curve, low, high, cap);
    const DischargeInfo spill_info = spill, gate_info = gate;
    ContinuousSeries series;
    series.time_step = 1 + static_cast<std::int32_t>(rng() % 90);
    series.kind = "discharge";
    series.data.vector().resize(1 + rng() % 8);
    for (double& v : series.data.vector()) v = unit(rng) * 9;
    const SpecifiedDischargeInfo specified(series, maybe(e[0]), kNone, cap);
    const DischargeInfo specified_info = specified;

    std::size_t spill_segment = 1, gate_segment = 1;
    SeriesCursor cursor;
    double elevation = e[0] - 1;
    for (std::int64_t t = 0; t < 800; ++t) {
      elevation += (unit(rng) - 0.45) * 0.3;
      const double probe = rng() % 50 == 0 ? e[rng() % n] : rng() % 200 == 0 ? NAN : elevation;
      auto same = [&](const DischargeInfo& o, const std::function<double()>& fast) {
        ASSERT_EQ(outcome(fast), at(o, probe, t)) << "elevation " << probe << " t " << t;
      };
      same(spill_info, [&] { return spill.discharge_at(probe, spill_segment); });
      same(gate_info, [&] { return gate.discharge_at(probe, gate_segment); });
      same(specified_info, [&] { return specified.discharge_at(t, probe, cursor); });
    }
  }
}

}  // namespace
}  // namespace pelmora
