// Level pool routing. The loop runs once per simulated second (31.5 million
// times for a year of hourly inflow), so whatever can be settled once is
// settled before it: curves are checked up front and then read without
// checks, every lookup starts from the segment where the previous second's
// fell, and the outlets are a flat array, each with its search state. The
// arithmetic is the plain formulation's, operation for operation, so the
// results match it bit for bit.
#include "reservoir_routing/level_pool.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <tuple>
#include <type_traits>

#include "core/blocks.hpp"
#include "core/errors.hpp"
#include "core/format.hpp"
#include "utils/general.hpp"

namespace pelmora {

namespace {

// An outlet with the search state it carries from one query to the next,
// one of each kind's `Search` type: where its rating curve (segment 1 to
// start with) or its series was last read.
struct Outlet {
  const DischargeInfo* info;
  std::tuple<std::size_t, SeriesCursor> search;
};

// One kind asked as its traits say: the time first when it runs on a clock,
// its search state last when it keeps one.
template <class K>
[[gnu::always_inline]] inline double ask(const K& o, Outlet& outlet, std::int64_t t, double elevation) {
  if constexpr (std::is_void_v<typename K::Search>) {
    if constexpr (K::needs_clock) return o.discharge_at(t, elevation);
    else return o.discharge_at(elevation);
  } else {
    auto& search = std::get<typename K::Search>(outlet.search);
    if constexpr (K::needs_clock) return o.discharge_at(t, elevation, search);
    else return o.discharge_at(elevation, search);
  }
}

// A chain of type tests over the kinds, the last one taken untested: it
// inlines, where std::visit here costs the routing loop half its speed.
template <class K, class... Rest>
[[gnu::always_inline]] inline double ask_among(const DischargeInfo& info, Outlet& outlet,
                                               std::int64_t t, double elevation) {
  if constexpr (sizeof...(Rest) == 0) {
    return ask(*std::get_if<K>(&info), outlet, t, elevation);
  } else {
    if (const K* o = std::get_if<K>(&info)) return ask(*o, outlet, t, elevation);
    return ask_among<Rest...>(info, outlet, t, elevation);
  }
}
template <class... K>
[[gnu::always_inline]] inline double ask_listed(TypeList<K...>, Outlet& outlet, std::int64_t t,
                                                double elevation) {
  return ask_among<K...>(*outlet.info, outlet, t, elevation);
}

// The one way an outlet is asked, by the routing loop and by get_discharge:
// at whole second t >= 0, its curve checked when the outlet was prepared.
[[gnu::always_inline]] inline double discharge(Outlet& outlet, std::int64_t t, double elevation) {
  return ask_listed(OutletKinds{}, outlet, t, elevation);
}

// Everything that carries from one second to the next.
struct RoutingState {
  double S;             // storage at the current second
  double E;             // elevation at the current second, which its outflow is found from
  double I_prev;        // inflow at the current second
  std::size_t segment;  // of the storage curve, where S last fell
  SeriesCursor inflow_cursor;
};

// What stays fixed during the loop, flattened for it.
struct Routing {
  const ContinuousSeries& inflow;
  const ElevationStorage& curve;
  const double* storages;    // the curve's storages...
  const double* elevations;  // ...and elevations
  std::size_t points;
  Outlet* outlets;
  Outlet* outlets_end;
};

struct Records {
  std::vector<double> storages, elevations, totals;
  std::vector<std::vector<double>> individual;  // one per outlet
};

// An outlet ready for its first query: a rating curve is checked once here
// and then read without checks.
Outlet prepare(const DischargeInfo& info) {
  std::visit(
      [](const auto& o) {
        if constexpr (std::decay_t<decltype(o)>::has_rating_curve)
          check_interp_curve(o.elevation_discharge.elevation, o.elevation_discharge.discharge);
      },
      info);
  return Outlet{&info, {1, SeriesCursor{}}};
}

// Why the storage left the curve at `second`: a NaN (from the inflow or an
// outlet), or a storage above the top or below the bottom, which the curve's
// own lookup reports. Nothing returns from here: a value live across a call
// that returns would be kept in memory for the whole loop.
[[noreturn, gnu::cold, gnu::noinline]] void storage_off_curve(const ElevationStorage& curve,
                                                              double storage, std::int64_t second) {
  if (std::isnan(storage))
    throw DomainError("storage became NaN at " + format_int(second) +
                      " seconds: check the inflow and the outlets");
  curve.get_elevation(storage);
  fault("storage inside the curve was taken for outside it");
}

// The outflow at second t from the elevation E of that instant: the outlets'
// sum in their order, each one's part recorded at a report.
template <bool Record>
[[gnu::always_inline]] inline double total_outflow(const Routing& r, std::int64_t t, double E,
                                                   Records* records) {
  double Q = 0.0;
  std::vector<double>* recorded = nullptr;
  if constexpr (Record) recorded = records->individual.data();
  for (Outlet* o = r.outlets; o != r.outlets_end; ++o) {
    const double q = discharge(*o, t, E);
    Q = Q + q;
    if constexpr (Record) (recorded++)->push_back(q);
  }
  if constexpr (Record) records->totals.push_back(Q);
  return Q;
}

// The state at second t, and at a report its record: storage, elevation and
// the outflows at that instant.
template <bool Record>
[[gnu::always_inline]] inline double outflow_at(const Routing& r, const RoutingState& st,
                                                std::int64_t t, Records* records) {
  if constexpr (Record) {
    records->storages.push_back(st.S);
    records->elevations.push_back(st.E);
  }
  return total_outflow<Record>(r, t, st.E, records);
}

// The second from t to t + 1 of the explicit mass balance: the outflow
// found at t from the elevation at t holds for the whole second, the inflow
// is the trapezoid between t and t + 1.
template <bool Record>
[[gnu::always_inline]] inline void route_second(const Routing& r, RoutingState& st, std::int64_t t,
                                                Records* records) {
  constexpr double s = 1.0;  // the computation step, seconds
  const double Q = outflow_at<Record>(r, st, t, records);
  const double I = series_value_at(r.inflow, t + 1, st.inflow_cursor);
  double S = st.S + ((st.I_prev + I) * 0.5) * s - Q * s;
  // Below empty the pool is empty; a NaN stays NaN for the test below.
  S = 0.0 > S ? 0.0 : S;
  if (!(S >= r.storages[0] && S <= r.storages[r.points - 1])) [[unlikely]]
    storage_off_curve(r.curve, S, t + 1);
  st.S = S;
  st.E = interp_within(r.storages, r.elevations, r.points, S, st.segment);
  st.I_prev = I;
}

// The seconds first..last, none of them a report: nearly the whole run.
// Out of line, with the state in a local copy and no call in the loop that
// returns, so that the running values stay in registers; held in memory,
// they would add a store and a load to every second's critical path.
[[gnu::noinline]] void route_quiet_seconds(const Routing& r, RoutingState& state,
                                           std::int64_t first, std::int64_t last) {
  RoutingState st = state;
  for (std::int64_t t = first; t <= last; ++t) route_second<false>(r, st, t, nullptr);
  state = st;
}

}  // namespace

double get_discharge(const DischargeInfo& info, std::optional<std::int64_t> duration_secs,
                     double elevation) {
  Outlet outlet = prepare(info);
  // Checked before the gate, so the mistake shows even while it is shut.
  if (!duration_secs)
    std::visit(
        [](const auto& o) {
          using K = std::decay_t<decltype(o)>;
          if constexpr (K::needs_clock) refuse_missing_time(K::name);
        },
        info);
  return discharge(outlet, duration_secs.value_or(0), elevation);
}

std::uint64_t level_pool_cost(const ContinuousSeries& inflow, std::size_t outlets) {
  const std::size_t n = inflow.data.size();
  if (n == 0) return 0;
  // The time points: every second from 0 to the end, both included.
  const std::uint64_t seconds =
      work_add(work_mul(n - 1, static_cast<std::uint64_t>(inflow.time_step)), 1);
  return work_mul(seconds, std::max<std::uint64_t>(outlets, 1));
}

LevelPool level_pool_rs(const ContinuousSeries& inflow, double initial_elevation,
                        const ElevationStorage& curve,
                        const std::vector<std::pair<std::string, DischargeInfo>>& outlets,
                        Cancel& cancel) {
  const std::span<const double> d = inflow.data;
  const std::size_t n = d.size();
  const std::int32_t dt = inflow.time_step;

  // Checked first, so an elevation off the curve is the error of any call.
  const double S0 = curve.get_storage(initial_elevation);
  if (n == 0) throw DomainError("inflow must not be empty");
  // get_storage has vouched for the curve one way round; the loop reads it
  // the other way.
  check_interp_curve(curve.storage, curve.elevation);

  Records records;
  records.storages.reserve(n);
  records.elevations.reserve(n);
  records.totals.reserve(n);
  std::vector<Outlet> plan;
  plan.reserve(outlets.size());
  for (const auto& named : outlets) plan.push_back(prepare(named.second));
  records.individual.resize(plan.size());
  for (auto& v : records.individual) v.reserve(n);

  const Routing r{inflow,
                  curve,
                  curve.storage.data(),
                  curve.elevation.data(),
                  curve.storage.size(),
                  plan.data(),
                  plan.data() + plan.size()};
  RoutingState st{S0, initial_elevation, d[0], 1, SeriesCursor{}};

  // Interval k runs from k * dt to (k + 1) * dt: its first second records
  // the state at its start, the others are quiet.
  const std::uint64_t per_second = std::max<std::uint64_t>(plan.size(), 1);
  for (std::size_t k = 0; k + 1 < n; ++k) {
    const std::int64_t start = static_cast<std::int64_t>(k) * dt;
    const std::int64_t end = start + dt;
    route_second<true>(r, st, start, &records);
    cancel.progress(per_second);
    for_blocks(cancel, start + 1, end, per_second,
               [&](std::int64_t first, std::int64_t stop) { route_quiet_seconds(r, st, first, stop - 1); });
  }
  // The last record: the state at the end, with the outflows of that
  // instant, which no second of the run uses.
  outflow_at<true>(r, st, static_cast<std::int64_t>(n - 1) * dt, &records);
  cancel.progress(per_second);

  LevelPool result;
  result.storage = result_series<ContinuousSeries>(std::move(records.storages), dt, "volume");
  result.elevation = result_series<ContinuousSeries>(std::move(records.elevations), dt, "elevation");
  result.total_outflow = result_series<ContinuousSeries>(std::move(records.totals), dt, "discharge");
  result.individual.reserve(records.individual.size());
  for (std::size_t j = 0; j < records.individual.size(); ++j)
    result.individual.emplace_back(outlets[j].first,
                                   result_series<ContinuousSeries>(std::move(records.individual[j]), dt, "discharge"));
  return result;
}

}  // namespace pelmora
