// Randomised properties of the numeric kernels: a few thousand seeded cases
// per kernel, NaN, infinities, signed zeros, subnormals and huge magnitudes
// included. A kernel may return or throw DomainError / StateError; any other
// exception fails the case, and so does an InternalFault, except where a
// kernel documents it for a precondition the case really broke (interp1d's
// curve checks, a routing pass over nothing). On top of that each kernel
// keeps its documented sizes and a few simple invariants.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "baseflow/linear_reservoir.hpp"
#include "core/errors.hpp"
#include "core/format.hpp"
#include "metrics/kge.hpp"
#include "rainfall_loss/deficit_and_constant.hpp"
#include "rainfall_transform/clark_uh.hpp"
#include "reach_routing/muskingum.hpp"
#include "reservoir_routing/level_pool.hpp"
#include "utils/general.hpp"
#include "utils/time_series.hpp"

namespace pelmora {
namespace {

using Vec = std::vector<double>;
using Opt = std::optional<double>;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr int kCases = 3000;

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }
bool same_bits(std::span<const double> a, std::span<const double> b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

// Seeded values: mostly ordinary, sometimes special.
class Gen {
 public:
  explicit Gen(std::uint64_t seed) : rng_(seed) {}

  bool chance(double p) { return std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < p; }
  std::int64_t integer(std::int64_t lo, std::int64_t hi) {
    return std::uniform_int_distribution<std::int64_t>(lo, hi)(rng_);
  }
  double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng_); }
  template <class T>
  const T& pick(const std::vector<T>& from) {
    return from[static_cast<std::size_t>(integer(0, static_cast<std::int64_t>(from.size()) - 1))];
  }

  // Any double: ordinary, special, of any magnitude, or any bit pattern.
  double any() {
    switch (integer(0, 9)) {
      case 0:
        return pick(Vec{kNaN, kInf, -kInf, 0.0, -0.0, 5e-324, -5e-324, std::numeric_limits<double>::max(),
                        std::numeric_limits<double>::lowest(), std::numeric_limits<double>::min()});
      case 1: return std::ldexp(uniform(-1.0, 1.0), static_cast<int>(integer(-1074, 1023)));
      case 2: {
        std::uint64_t bits = rng_();
        double v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
      }
      default: return uniform(-1000.0, 1000.0);
    }
  }
  // Mostly in [lo, hi], occasionally anything.
  double mostly(double lo, double hi, double p_any = 0.1) { return chance(p_any) ? any() : uniform(lo, hi); }
  Vec values(std::size_t max_n, double lo, double hi, double p_any = 0.05) {
    Vec v(static_cast<std::size_t>(integer(0, static_cast<std::int64_t>(max_n))));
    for (double& x : v) x = mostly(lo, hi, p_any);
    return v;
  }
  // Strictly increasing (or non-decreasing) finite values, sometimes with
  // infinite ends.
  Vec increasing(std::size_t n, bool strict = true, bool infinite_ends = true) {
    Vec v(n);
    double x = uniform(-100.0, 100.0);
    for (double& y : v) {
      y = x;
      x += (strict || chance(0.7)) ? uniform(0.01, 50.0) : 0.0;
    }
    if (infinite_ends && n > 1 && chance(0.03)) v.front() = -kInf;
    if (infinite_ends && n > 1 && chance(0.03)) v.back() = kInf;
    return v;
  }
  std::int32_t step() { return static_cast<std::int32_t>(pick(std::vector<std::int64_t>{1, 7, 60, 900, 3600, 86400})); }

 private:
  std::mt19937_64 rng_;
};

// Runs `body`; true if it returned. DomainError and StateError are fine,
// anything else is a failure of the case.
template <class F>
bool survives(F&& body) {
  try {
    body();
    return true;
  } catch (const DomainError&) {
  } catch (const StateError&) {
  } catch (const InternalFault& e) {
    ADD_FAILURE() << "internal fault: " << e.message();
  } catch (const std::exception& e) {
    ADD_FAILURE() << "unexpected exception: " << e.what();
  } catch (...) {
    ADD_FAILURE() << "unexpected exception of unknown type";
  }
  return false;
}

template <class Series>
Series series(Vec data, std::int32_t step, const char* kind = "discharge") {
  Series s;
  s.data = std::move(data);
  s.time_step = step;
  s.kind = kind;
  return s;
}

// ---- Muskingum ------------------------------------------------------------------

TEST(KernelProperties, MuskingumSubReachesEqualChainedPasses) {
  Gen g(1);
  for (int c = 0; c < kCases; ++c) {
    SCOPED_TRACE(c);
    const Vec in = g.values(40, 0.0, 500.0);
    const double dt = static_cast<double>(g.step());
    const double k = g.chance(0.9) ? g.uniform(0.0, 5.0 * dt) : g.any();
    const double x = g.mostly(0.0, 0.5, 0.2);
    const std::int64_t subs = g.chance(0.9) ? g.integer(1, 9) : g.integer(-3, 0);
    const double o0 = g.mostly(0.0, 500.0);
    Vec routed;
    if (!survives([&] { routed = route_reach(in, dt, k, x, subs, o0); })) {
      EXPECT_TRUE(in.empty() || subs < 1);
      continue;
    }
    ASSERT_EQ(routed.size(), in.size());
    EXPECT_TRUE(same_bits(routed[0], o0));
    const double kp = k / static_cast<double>(subs);
    Vec chained = muskingum_routing_rs(in, dt, kp, x, o0);
    for (std::int64_t j = 1; j < subs; ++j) chained = muskingum_routing_rs(std::move(chained), dt, kp, x, std::nullopt);
    EXPECT_TRUE(same_bits(routed, chained));

    // Non-negative coefficients summing to one keep the outflow within the
    // range of the inflow and the initial outflow.
    const double t = kp + kp;
    const bool convex = x >= 0.0 && x <= 0.5 && t * x <= dt && dt <= (1.0 - x) * t && std::isfinite(t);
    const bool finite = std::all_of(in.begin(), in.end(), [](double v) { return std::isfinite(v); });
    if (convex && finite && std::isfinite(o0) && std::abs(o0) < 1e6) {
      const double lo = std::min(*std::min_element(in.begin(), in.end()), o0);
      const double hi = std::max(*std::max_element(in.begin(), in.end()), o0);
      const double slack = 1e-9 * std::max({1.0, std::abs(lo), std::abs(hi)}) * static_cast<double>(subs);
      for (double v : routed) EXPECT_TRUE(v >= lo - slack && v <= hi + slack) << v << " outside " << lo << ".." << hi;
    }
  }
}

TEST(KernelProperties, MuskingumPassFaultsOnlyOnNothing) {
  Gen g(2);
  for (int c = 0; c < kCases; ++c) {
    SCOPED_TRACE(c);
    const Vec in = g.values(10, -10.0, 10.0, 0.3);
    const Opt o0 = g.chance(0.5) ? Opt(g.any()) : std::nullopt;
    try {
      const Vec out = muskingum_routing_rs(in, g.any(), g.any(), g.any(), o0);
      ASSERT_EQ(out.size(), in.size());
      EXPECT_TRUE(same_bits(out[0], o0 ? *o0 : in[0]));
    } catch (const InternalFault& e) {
      EXPECT_TRUE(in.empty()) << e.message();
    }
  }
}

// ---- deficit and constant ---------------------------------------------------------

TEST(KernelProperties, DeficitAndConstant) {
  Gen g(3);
  for (int c = 0; c < kCases; ++c) {
    SCOPED_TRACE(c);
    const auto rain = series<IncrementalSeries>(g.values(30, -0.1, 2.0), g.step(), "volume");
    const double max_deficit = g.mostly(0.0, 3.0);
    const double initial = g.mostly(0.0, 3.0);
    const double rate = g.mostly(0.0, 1.0);
    const double dry = g.chance(0.1) ? 0.0 : g.mostly(1.0, 1e6);
    DeficitConstant r;
    ASSERT_TRUE(survives([&] { r = deficit_and_constant_rs(rain, initial, max_deficit, rate, dry); }));
    for (const IncrementalSeries* s : {&r.excess, &r.loss, &r.deficit}) {
      ASSERT_EQ(s->data.size(), rain.data.size());
      EXPECT_EQ(s->time_step, rain.time_step);
      EXPECT_EQ(s->kind, "rainfall");
    }
    const bool sane = std::isfinite(max_deficit) && max_deficit >= 0.0 && std::isfinite(initial) && initial >= 0.0 &&
                      initial <= max_deficit && std::isfinite(rate) && rate >= 0.0 && !std::isnan(dry);
    for (std::size_t i = 0; i < rain.data.size(); ++i) {
      const double p = rain.data[i];
      if (!(p > 0.0)) {
        EXPECT_EQ(r.excess.data[i], 0.0);
        EXPECT_EQ(r.loss.data[i], 0.0);
      } else if (sane && std::isfinite(p)) {
        EXPECT_GE(r.excess.data[i], 0.0);
        EXPECT_GE(r.loss.data[i], 0.0);
        EXPECT_NEAR(r.excess.data[i] + r.loss.data[i], p, 1e-12 * std::max(1.0, p));
      }
      if (sane) {
        EXPECT_TRUE(r.deficit.data[i] >= 0.0 && r.deficit.data[i] <= max_deficit) << r.deficit.data[i];
      }
    }
  }
}

// ---- Clark ---------------------------------------------------------------------

TEST(KernelProperties, ClarkSizesSignAndVolume) {
  Gen g(4);
  for (int c = 0; c < kCases; ++c) {
    SCOPED_TRACE(c);
    const Vec rain = g.values(30, 0.0, 2.0);
    const double dt = static_cast<double>(g.step());
    double tc = g.chance(0.85) ? g.uniform(0.0, 300.0) * dt : g.any();
    if (g.chance(0.02)) tc = 0.0;
    // Up to 2^28 ordinates are built (gigabytes at the top): keep them few,
    // or so many that they are refused before anything is allocated.
    if (tc / dt > 2e5 && tc / dt <= 268435456.0) tc = dt * 1e9;
    double r = g.chance(0.9) ? g.uniform(0.0, 10.0 * dt) : g.any();
    // The recession is some R / dt x 30 steps, and (dt / 4R) x 30 for R
    // below dt / 2: keep it short, or refused outright.
    if (r > 1e4 * dt) r = 1e300;
    if (r > 0.0 && r < 1e-3 * dt) r = 0.0;
    const double area = g.mostly(0.0, 5000.0);
    Vec out;
    if (!survives([&] { out = clark_uh_rs(rain, dt, area, tc, r); })) {
      EXPECT_TRUE(tc / dt > 268435454.0 || r == 1e300) << "refused tc " << tc << " R " << r;
      continue;
    }
    const std::size_t n = tc > 0.0 ? static_cast<std::size_t>(std::max(1.0, std::ceil(tc / dt))) : 0;
    if (n == 0) {
      ASSERT_EQ(out.size(), rain.size());
      continue;
    }
    ASSERT_GE(out.size(), rain.size() + n);  // m >= n + 1 ordinates
    const bool attenuating = 2.0 * r >= dt && r < 1e300 && area >= 0.0 && area < 1e200;
    const bool physical = std::all_of(rain.begin(), rain.end(), [](double p) { return p >= 0.0 && p < 1e6; });
    if (attenuating && physical) {
      for (double q : out) EXPECT_GE(q, 0.0);
    }
    if (physical && r >= 0.0 && r < 1e300 && area >= 0.0 && area < 1e200) {
      // Every drop comes out: 1e-12 left in the reservoir, plus rounding.
      const double rain_in = std::accumulate(rain.begin(), rain.end(), 0.0);
      const double got = std::accumulate(out.begin(), out.end(), 0.0) * dt;
      const double want = rain_in * area * 1.00833 * 3600.0;
      EXPECT_NEAR(got, want, 1e-9 * want + 1e-300) << "tc " << tc << " R " << r << " area " << area;
    }
  }
}

// ---- linear reservoirs ----------------------------------------------------------------

TEST(KernelProperties, LinearReservoirTotalIsTheSumOfItsLayers) {
  Gen g(5);
  for (int c = 0; c < kCases; ++c) {
    SCOPED_TRACE(c);
    const auto rain = series<IncrementalSeries>(g.values(30, 0.0, 1.0), g.step(), "rainfall");
    std::vector<std::pair<std::string, LinearReservoir>> layers;
    for (std::int64_t i = g.integer(0, 3); i > 0; --i) {
      LinearReservoir layer{};
      const double k = g.chance(0.9) ? g.uniform(1.0, 30.0 * 86400.0) : g.any();
      if (!survives([&] { layer = make_linear_reservoir(std::abs(k), g.mostly(0.0, 0.5), g.mostly(0.0, 10.0),
                                                        static_cast<std::uint64_t>(g.integer(1, 6))); }))
        continue;
      if (g.chance(0.05)) layer.num_reservoir = 0;  // the setters check nothing
      if (g.chance(0.05)) layer.gw_fraction = g.any();
      layers.emplace_back("layer" + std::to_string(i), layer);
    }
    Baseflow flow;
    if (!survives([&] { flow = linear_reservoir_rs(g.mostly(0.0, 5000.0), rain, layers); })) continue;
    ASSERT_EQ(flow.total.data.size(), rain.data.size());
    ASSERT_EQ(flow.layers.size(), layers.size());
    Vec sum(rain.data.size(), 0.0);
    for (std::size_t j = 0; j < layers.size(); ++j) {
      EXPECT_EQ(flow.layers[j].first, layers[j].first);
      ASSERT_EQ(flow.layers[j].second.data.size(), rain.data.size());
      for (std::size_t i = 0; i < sum.size(); ++i) sum[i] = sum[i] + flow.layers[j].second.data[i];
    }
    EXPECT_TRUE(same_bits(flow.total.data, sum));
  }
}

// ---- KGE -----------------------------------------------------------------------

TEST(KernelProperties, KgeAtMostOne) {
  Gen g(6);
  for (int c = 0; c < kCases; ++c) {
    SCOPED_TRACE(c);
    Vec sim = g.values(30, -10.0, 100.0);
    Vec obs = g.chance(0.9) ? Vec(sim.size()) : g.values(30, -10.0, 100.0);
    if (obs.size() == sim.size())
      for (double& o : obs) o = g.mostly(-10.0, 100.0, 0.05);
    const bool use_log = g.chance(0.3);
    double kge = 0.0;
    if (!survives([&] { kge = kge_rs(sim, obs, use_log); })) {
      EXPECT_TRUE(obs.empty() || obs.size() != sim.size());
      continue;
    }
    EXPECT_TRUE(std::isnan(kge) || kge <= 1.0) << kge;

    // A series scored against itself: perfect, when it varies and its mean
    // clears the guards.
    Vec same = g.values(30, 1.0, 100.0, 0.0);
    if (same.size() >= 2 && same.front() != same.back()) {
      EXPECT_NEAR(kge_rs(same, same, false), 1.0, 1e-9);
    }
  }
}

// ---- interpolation ---------------------------------------------------------------------

// Which documented precondition, if any, a curve or lookup breaks.
bool breaks_interp_preconditions(const Vec& x, const Vec& y, double at) {
  if (x.size() != y.size() || x.size() < 2 || std::isnan(at)) return true;
  for (std::size_t i = 1; i < x.size(); ++i)
    if (!(x[i] > x[i - 1]) || !(y[i] >= y[i - 1])) return true;
  return false;
}

TEST(KernelProperties, Interp1dStaysOnTheCurve) {
  Gen g(7);
  for (int c = 0; c < kCases; ++c) {
    SCOPED_TRACE(c);
    const std::size_t n = static_cast<std::size_t>(g.integer(0, 8));
    Vec x = g.increasing(n);
    Vec y = g.increasing(g.chance(0.95) ? n : static_cast<std::size_t>(g.integer(0, 8)), false);
    if (g.chance(0.05) && n > 1) std::swap(x[0], x[1]);
    if (g.chance(0.05) && !y.empty()) y[0] = kNaN;
    const bool finite_curve = std::all_of(x.begin(), x.end(), [](double v) { return std::isfinite(v); }) &&
                              std::all_of(y.begin(), y.end(), [](double v) { return std::isfinite(v); });
    const double lo = std::max(-200.0, std::min(x.empty() ? 0.0 : x.front(), x.empty() ? 0.0 : x.back()) - 5.0);
    const double hi = std::min(500.0, std::max(x.empty() ? 0.0 : x.front(), x.empty() ? 0.0 : x.back()) + 5.0);
    const double at = g.chance(0.8) && n ? g.uniform(lo, hi) : g.any();
    const Opt left = g.chance(0.5) ? Opt(g.any()) : std::nullopt;
    const Opt right = g.chance(0.5) ? Opt(g.any()) : std::nullopt;
    Opt got;
    try {
      got = interp1d(x, y, at, left, right);
    } catch (const InternalFault& e) {
      EXPECT_TRUE(breaks_interp_preconditions(x, y, at)) << e.message();
      continue;
    }
    ASSERT_FALSE(breaks_interp_preconditions(x, y, at));
    const auto hit = std::find(x.begin(), x.end(), at);
    if (hit != x.end()) {
      ASSERT_TRUE(got.has_value());
      EXPECT_TRUE(same_bits(*got, y[static_cast<std::size_t>(hit - x.begin())]));
    } else if (at < x.front()) {
      EXPECT_EQ(got.has_value(), left.has_value());
      if (got) {
        EXPECT_TRUE(same_bits(*got, *left));
      }
    } else if (at > x.back()) {
      EXPECT_EQ(got.has_value(), right.has_value());
      if (got) {
        EXPECT_TRUE(same_bits(*got, *right));
      }
    } else {
      ASSERT_TRUE(got.has_value());
      const double slack = 1e-12 * std::max({1.0, std::abs(y.front()), std::abs(y.back())});
      if (finite_curve) {
        EXPECT_TRUE(*got >= y.front() - slack && *got <= y.back() + slack) << *got;
      }
      // The stepping models' unchecked lookup agrees to the bit, from any hint.
      std::size_t segment = static_cast<std::size_t>(g.integer(1, static_cast<std::int64_t>(n) - 1));
      EXPECT_TRUE(same_bits(interp_within(x.data(), y.data(), n, at, segment), *got));
    }
  }
}

TEST(KernelProperties, StorageCurveLookups) {
  Gen g(8);
  for (int c = 0; c < kCases; ++c) {
    SCOPED_TRACE(c);
    const std::size_t n = static_cast<std::size_t>(g.integer(0, 6));
    Vec elevation = g.increasing(n);
    Vec storage = g.increasing(g.chance(0.95) ? n : static_cast<std::size_t>(g.integer(0, 6)));
    if (g.chance(0.05) && n) elevation[0] = kNaN;
    ElevationStorage curve;
    if (!survives([&] { curve = make_elevation_storage(elevation, storage); })) continue;
    const double e = g.chance(0.8) && n ? g.uniform(-150.0, 450.0) : g.any();
    double s = 0.0;
    if (!survives([&] { s = curve.get_storage(e); })) continue;
    double back = 0.0;
    if (std::isnan(s)) continue;  // an infinite end of the curve: NaN is refused on the way back
    ASSERT_TRUE(survives([&] { back = curve.get_elevation(s); })) << "storage " << s << " of elevation " << e;
    if (std::isfinite(elevation.front()) && std::isfinite(elevation.back()) && std::isfinite(storage.front()) &&
        std::isfinite(storage.back())) {
      EXPECT_NEAR(back, e, 1e-6 * std::max(1.0, std::abs(e)));
    }
  }
}

// ---- outlets ----------------------------------------------------------------------

DischargeInfo random_outlet(Gen& g, const Vec& near) {
  const Opt low = g.chance(0.5) ? Opt(g.mostly(near.front() - 5.0, near.back())) : std::nullopt;
  const Opt high = g.chance(0.5) ? Opt(g.mostly(near.front(), near.back() + 5.0)) : std::nullopt;
  const Opt cap = g.chance(0.5) ? Opt(g.mostly(0.0, 100.0)) : std::nullopt;
  for (;;) {
    try {
      switch (g.integer(0, 3)) {
        case 0: return ConstantDischargeInfo(g.mostly(0.0, 20.0), low, high);
        case 1:
          return SpecifiedDischargeInfo(
              series<ContinuousSeries>(g.values(12, 0.0, 20.0), static_cast<std::int32_t>(g.pick(
                  std::vector<std::int64_t>{1, 60, 3600}))), low, high, cap);
        case 2: {
          const std::size_t n = static_cast<std::size_t>(g.integer(2, 5));
          Vec e = g.increasing(n);
          for (double& v : e) v = near.front() - 5.0 + (v + 100.0) / 400.0 * (near.back() - near.front() + 10.0);
          return make_controlled_discharge(make_elevation_discharge(e, g.increasing(n, false)), low, high, cap);
        }
        default: {
          const std::size_t n = static_cast<std::size_t>(g.integer(2, 5));
          return UnControlledDischargeInfo(make_elevation_discharge(g.increasing(n), g.increasing(n, false)),
                                           g.chance(0.5) ? Opt(g.mostly(-5.0, 5.0)) : std::nullopt);
        }
      }
    } catch (const DomainError&) {
      // an unlucky curve: draw another
    }
  }
}

TEST(KernelProperties, OutletsAnswerOrRefuse) {
  Gen g(9);
  for (int c = 0; c < kCases; ++c) {
    SCOPED_TRACE(c);
    const DischargeInfo outlet = random_outlet(g, {g.uniform(-50.0, 50.0), g.uniform(60.0, 150.0)});
    for (int q = 0; q < 10; ++q) {
      const std::optional<std::int64_t> t =
          g.chance(0.9) ? std::optional<std::int64_t>(g.integer(-5, 50000)) : std::nullopt;
      const double e = g.mostly(-100.0, 200.0, 0.2);
      double answer = 0.0;
      if (!survives([&] { answer = get_discharge(outlet, t, e); })) continue;
      if (const auto* k = std::get_if<ConstantDischargeInfo>(&outlet)) {
        EXPECT_TRUE(same_bits(answer, elevation_gate_closed(k->minimum_elevation, k->maximum_elevation, e)
                                          ? 0.0 : k->discharge));
      } else if (const auto* u = std::get_if<UnControlledDischargeInfo>(&outlet)) {
        const Vec& d = u->elevation_discharge.discharge;
        EXPECT_TRUE(answer == 0.0 || (answer >= d.front() && answer <= d.back()) || std::isnan(answer)) << answer;
      }
    }
  }
}

// ---- level pool -------------------------------------------------------------------

TEST(KernelProperties, LevelPoolShortSpans) {
  Gen g(10);
  for (int c = 0; c < kCases; ++c) {
    SCOPED_TRACE(c);
    const std::size_t points = static_cast<std::size_t>(g.chance(0.95) ? g.integer(2, 6) : g.integer(0, 1));
    ElevationStorage curve;
    if (!survives([&] { curve = make_elevation_storage(g.increasing(points), g.increasing(points)); })) continue;
    for (double& s : curve.storage) s = s * 1000.0 + 1e5;  // keeps order and infinities
    const std::int32_t dt = static_cast<std::int32_t>(g.pick(std::vector<std::int64_t>{1, 7, 60, 600}));
    const std::size_t n = static_cast<std::size_t>(g.integer(0, std::min<std::int64_t>(15, 10000 / dt + 1)));
    auto inflow = series<ContinuousSeries>(Vec(n), dt);
    for (double& d : inflow.data.vector()) d = g.mostly(0.0, 50.0, 0.05);
    const Vec finite = [&] {
      Vec f;
      for (double e : curve.elevation)
        if (std::isfinite(e)) f.push_back(e);
      return f.size() >= 2 ? f : Vec{0.0, 1.0};
    }();
    std::vector<std::pair<std::string, DischargeInfo>> outlets;
    for (std::int64_t k = g.integer(0, 3); k > 0; --k)
      outlets.emplace_back("outlet" + std::to_string(k), random_outlet(g, finite));
    const double e0 = g.mostly(finite.front(), finite.back());
    LevelPool r;
    if (!survives([&] { r = level_pool_rs(inflow, e0, curve, outlets); })) continue;
    ASSERT_GE(n, 1u);
    // One record per inflow value, every series alike.
    ASSERT_EQ(r.storage.data.size(), n);
    ASSERT_EQ(r.elevation.data.size(), n);
    ASSERT_EQ(r.total_outflow.data.size(), n);
    ASSERT_EQ(r.individual.size(), outlets.size());
    for (const auto& [name, s] : r.individual) ASSERT_EQ(s.data.size(), n);
    EXPECT_EQ(r.storage.kind, "volume");
    EXPECT_EQ(r.elevation.kind, "elevation");
    EXPECT_TRUE(same_bits(r.elevation.data[0], e0));
    for (std::size_t i = 1; i < n; ++i) {
      EXPECT_GE(r.storage.data[i], 0.0);
      EXPECT_TRUE(r.storage.data[i] >= curve.storage.front() && r.storage.data[i] <= curve.storage.back());
    }
    for (std::size_t i = 0; i < n; ++i) {
      double total = 0.0;
      for (const auto& [name, s] : r.individual) total = total + s.data.span()[i];
      EXPECT_TRUE(same_bits(total, r.total_outflow.data[i]));
    }
  }
}

// ---- series and formatting -------------------------------------------------------------

TEST(KernelProperties, SeriesOperations) {
  Gen g(11);
  for (int c = 0; c < kCases; ++c) {
    SCOPED_TRACE(c);
    auto s = series<ContinuousSeries>(g.values(10, 0.0, 100.0), g.step());
    if (s.data.empty()) s.data.vector().push_back(g.any());  // see EmptySeriesAtNaNTime
    const double t = g.chance(0.8)
                         ? g.uniform(-10.0, static_cast<double>(s.total_duration()) + 10.0) : g.any();
    double v = 0.0;
    if (survives([&] { v = s.get_value(t); })) {
      ASSERT_FALSE(s.data.empty());
      const bool finite = std::all_of(s.data.begin(), s.data.end(), [](double d) { return std::isfinite(d); });
      const double lo = *std::min_element(s.data.begin(), s.data.end());
      const double hi = *std::max_element(s.data.begin(), s.data.end());
      const double slack = 1e-12 * std::max({1.0, std::abs(lo), std::abs(hi)});
      if (finite && !std::isnan(t)) {
        EXPECT_TRUE(v >= lo - slack && v <= hi + slack) << v;
      }
    }

    std::int32_t step = 0;
    const double seconds = g.chance(0.5) ? g.any() : g.uniform(-5.0, 1e10);
    if (survives([&] { step = time_step_from_seconds(seconds); })) {
      EXPECT_GE(step, 1);
    }

    const auto rain = series<IncrementalSeries>(g.values(10, 0.0, 1.0), g.step(), "rainfall");
    const std::int32_t target = static_cast<std::int32_t>(
        g.chance(0.8) ? g.pick(std::vector<std::int64_t>{30, 60, 90, 300, 900, 3600, 7200}) : g.integer(-100, 100000));
    IncrementalSeries fine;
    if (!survives([&] { fine = rain.disaggregate(target); })) continue;
    ASSERT_EQ(fine.data.size(), rain.data.size() * static_cast<std::size_t>(rain.time_step / target));
    EXPECT_EQ(fine.total_duration(), rain.total_duration());
    double before = 0.0, after = 0.0;
    for (double d : rain.data) before += d;
    for (double d : fine.data) after += d;
    if (std::isfinite(before) && std::abs(before) < 1e6) {
      EXPECT_NEAR(before, after, 1e-9 * std::max(1.0, before));
    }
  }
}

// Every time is outside an empty series, a NaN one included.
TEST(KernelProperties, EmptySeriesAtNaNTime) {
  const auto empty = series<ContinuousSeries>({}, 3600);
  for (double t : {0.0, -1.0, 1e9, kInf, -kInf, kNaN}) {
    SCOPED_TRACE(t);
    EXPECT_THROW(empty.get_value(t), DomainError);
  }
}

TEST(KernelProperties, NumbersFormatAndReadBack) {
  Gen g(12);
  for (int c = 0; c < 20 * kCases; ++c) {
    const double v = g.any();
    std::string text;
    ASSERT_TRUE(survives([&] { text = format_double(v); }));
    ASSERT_TRUE(survives([&] { (void)format_fixed(v, 4); }));
    if (std::isnan(v)) {
      EXPECT_EQ(text, "NaN");
    } else {
      EXPECT_EQ(text.find_first_of("eE"), std::string::npos) << text;
      const double back = std::strtod(text.c_str(), nullptr);
      EXPECT_TRUE(same_bits(back, v)) << text;
    }
  }
}

}  // namespace
}  // namespace pelmora
