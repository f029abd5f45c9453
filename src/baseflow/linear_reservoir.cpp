// Linear-reservoir layers and the baseflow they produce.
#include "baseflow/linear_reservoir.hpp"

#include <cmath>
#include <cstddef>
#include <limits>

#include "core/blocks.hpp"
#include "core/errors.hpp"
#include "core/format.hpp"

namespace pelmora {

namespace {

// What one layer's routing reads.
struct Chain {
  double gw_fraction, dt_h, area_factor;  // the layer's inflow rate
  double c, keep;                         // each reservoir's weights
  double* state;                          // each reservoir's outflow
  std::size_t reservoirs;
};

// The layer's inflow rate at rainfall value p, in cfs.
inline double inflow_rate(const Chain& k, double p) {
  return ((p * k.gw_fraction) / k.dt_h) * k.area_factor;
}

// q through reservoirs [begin, end) of the chain: each reservoir's new
// outflow is the next one's inflow.
inline double through(const Chain& k, double q, std::size_t begin, std::size_t end) {
  for (std::size_t j = begin; j < end; ++j) {
    q = q * k.c + k.state[j] * k.keep;
    k.state[j] = q;
  }
  return q;
}

// Values [begin, end) through the whole chain: the plain loop, out of line
// so that no report of progress sits between its steps.
[[gnu::noinline]] void route_values(const Chain& k, const double* rain, std::size_t begin,
                                    std::size_t end, double* values) {
  const Chain local = k;
  for (std::size_t i = begin; i < end; ++i)
    values[i] = through(local, inflow_rate(local, rain[i]), 0, local.reservoirs);
}

// The units of one value through a layer of `reservoirs`: one per
// reservoir, or one for a layer without any.
constexpr std::uint64_t per_value(std::uint64_t reservoirs) { return reservoirs == 0 ? 1 : reservoirs; }

ContinuousSeries discharge(std::vector<double> values, std::int32_t time_step) {
  return result_series<ContinuousSeries>(std::move(values), time_step, "discharge");
}

}  // namespace

void check_reservoir_cap(std::uint64_t num_reservoir) {
  if (num_reservoir > kMaxReservoirs)
    throw DomainError("num_reservoir must be at most " + format_int(static_cast<std::int64_t>(kMaxReservoirs)));
}

LinearReservoir make_linear_reservoir(double k_seconds, double gw_fraction, double initial_q,
                                      std::uint64_t num_reservoir) {
  // A NaN or sub-second constant truncates to 0 and is refused as not positive.
  const std::int32_t k = whole_seconds_i32(k_seconds);
  if (k <= 0) throw DomainError("k_duration must be > 0");
  // Written as two comparisons so that a NaN fraction gets through.
  if (gw_fraction < 0.0 || gw_fraction > 1.0)
    throw DomainError("gw_fraction must be between 0 and 1");
  if (num_reservoir == 0) throw DomainError("num_reservoir must be at least 1");
  check_reservoir_cap(num_reservoir);
  return {k, gw_fraction, initial_q, num_reservoir};
}

std::uint64_t linear_reservoir_cost(std::size_t values,
                                    const std::vector<std::pair<std::string, LinearReservoir>>& reservoirs) {
  std::uint64_t chains = 0;  // reservoirs, counting a layer without any as one
  std::uint64_t states = 0;
  for (const auto& [name, layer] : reservoirs) {
    chains = work_add(chains, per_value(layer.num_reservoir));
    states = work_add(states, layer.num_reservoir);
  }
  return work_add(work_mul(values, chains), states);
}

Baseflow linear_reservoir_rs(double basin_area, const IncrementalSeries& rainfall,
                             const std::vector<std::pair<std::string, LinearReservoir>>& reservoirs,
                             Cancel& cancel) {
  // The tolerance lets fractions that only miss 1.0 by rounding through; a
  // NaN total gets through as well.
  double total_fraction = 0.0;
  for (const auto& [name, layer] : reservoirs) total_fraction = total_fraction + layer.gw_fraction;
  if (total_fraction > 1.000001)
    throw DomainError("Total fraction " + format_double(total_fraction) + " > 1.0");

  const std::span<const double> rain = rainfall.data;
  const std::size_t n = rain.size();
  Baseflow result;
  std::vector<double> total(n, 0.0);
  result.layers.reserve(reservoirs.size());

  if (!reservoirs.empty()) {
    const double dt_h = static_cast<double>(rainfall.time_step) / 3600.0;
    const double half_dt = 0.5 * dt_h;
    const double area_factor = basin_area * 1.00833;  // acre-inch per hour -> cfs

    for (const auto& [name, layer] : reservoirs) {
      check_reservoir_cap(layer.num_reservoir);
      // The layer's constant is shared among its chain. A zero count gives an
      // infinite constant: it passes the check and C = 0 below.
      const double k_per_res = (static_cast<double>(layer.k_duration) / 3600.0) /
                               static_cast<double>(layer.num_reservoir);
      if (k_per_res < half_dt)
        throw DomainError("Stability Error: k_per_res (" + format_fixed(k_per_res, 4) +
                          ") < 0.5*dt (" + format_fixed(half_dt, 4) +
                          "). Increase k_hr or num_reservoir.");
      const double c = dt_h / (k_per_res + half_dt);
      const double keep = 1.0 - c;

      // Filled a block at a time: a long chain is gigabytes.
      std::vector<double> state;
      state.reserve(layer.num_reservoir);
      for_blocks(cancel, std::uint64_t{0}, layer.num_reservoir, 1,
                 [&](std::uint64_t, std::uint64_t end) { state.resize(end, layer.initial_q); });
      std::vector<double> values(n);
      // With no reservoir at all the layer passes its inflow rate straight on.
      const Chain chain{layer.gw_fraction, dt_h, area_factor, c, keep, state.data(), state.size()};
      const std::size_t m = chain.reservoirs;
      if (m < kBlockWork) {
        // A block of values through the whole (short) chain.
        for_blocks(cancel, std::size_t{0}, n, per_value(m), [&](std::size_t begin, std::size_t end) {
          route_values(chain, rain.data(), begin, end, values.data());
        });
      } else {
        // A stretch of the (long) chain for one value.
        for (std::size_t i = 0; i < n; ++i) {
          double q = inflow_rate(chain, rain[i]);
          for_blocks(cancel, std::size_t{0}, m, 1,
                     [&](std::size_t begin, std::size_t end) { q = through(chain, q, begin, end); });
          values[i] = q;
        }
      }
      for (std::size_t i = 0; i < n; ++i) total[i] = total[i] + values[i];
      result.layers.emplace_back(name, discharge(std::move(values), rainfall.time_step));
    }
  }
  result.total = discharge(std::move(total), rainfall.time_step);
  return result;
}

}  // namespace pelmora
