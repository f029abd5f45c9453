// Linear-reservoir layers and the baseflow they produce.
#include "baseflow/linear_reservoir.hpp"

#include <cmath>
#include <limits>

#include "core/errors.hpp"
#include "core/format.hpp"

namespace pelmora {

namespace {

ContinuousSeries discharge(std::vector<double> values, std::int32_t time_step) {
  return result_series<ContinuousSeries>(std::move(values), time_step, "discharge");
}

}  // namespace

LinearReservoir make_linear_reservoir(double k_seconds, double gw_fraction, double initial_q,
                                      std::uint64_t num_reservoir) {
  // A NaN or sub-second constant truncates to 0 and is refused as not positive.
  const std::int32_t k = whole_seconds_i32(k_seconds);
  if (k <= 0) throw DomainError("k_duration must be > 0");
  // Written as two comparisons so that a NaN fraction gets through.
  if (gw_fraction < 0.0 || gw_fraction > 1.0)
    throw DomainError("gw_fraction must be between 0 and 1");
  if (num_reservoir == 0) throw DomainError("num_reservoir must be at least 1");
  return {k, gw_fraction, initial_q, num_reservoir};
}

Baseflow linear_reservoir_rs(double basin_area, const IncrementalSeries& rainfall,
                             const std::vector<std::pair<std::string, LinearReservoir>>& reservoirs) {
  // The tolerance lets fractions that only miss 1.0 by rounding through; a
  // NaN total gets through as well.
  double total_fraction = 0.0;
  for (const auto& [name, layer] : reservoirs) total_fraction = total_fraction + layer.gw_fraction;
  if (total_fraction > 1.000001)
    throw DomainError("Total fraction " + format_double(total_fraction) + " > 1.0");

  const std::vector<double>& rain = rainfall.data;
  const std::size_t n = rain.size();
  Baseflow result;
  std::vector<double> total(n, 0.0);
  result.layers.reserve(reservoirs.size());

  if (!reservoirs.empty()) {
    const double dt_h = static_cast<double>(rainfall.time_step) / 3600.0;
    const double half_dt = 0.5 * dt_h;
    const double area_factor = basin_area * 1.00833;  // acre-inch per hour -> cfs

    for (const auto& [name, layer] : reservoirs) {
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

      std::vector<double> state(layer.num_reservoir, layer.initial_q);
      std::vector<double> values(n);
      for (std::size_t i = 0; i < n; ++i) {
        double q = ((rain[i] * layer.gw_fraction) / dt_h) * area_factor;
        // Each reservoir's new outflow is the next one's inflow; with no
        // reservoir at all the layer passes its inflow rate straight on.
        for (double& s : state) {
          q = q * c + s * keep;
          s = q;
        }
        values[i] = q;
      }
      for (std::size_t i = 0; i < n; ++i) total[i] = total[i] + values[i];
      result.layers.emplace_back(name, discharge(std::move(values), rainfall.time_step));
    }
  }
  result.total = discharge(std::move(total), rainfall.time_step);
  return result;
}

}  // namespace pelmora
