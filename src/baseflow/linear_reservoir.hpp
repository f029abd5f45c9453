// Baseflow from infiltrated rainfall: each named layer takes a fixed share of
// the loss and routes it through a chain of identical linear reservoirs.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/cancel.hpp"
#include "utils/time_series.hpp"

namespace pelmora {

// One groundwater layer. The constructor guarantees k_duration >= 1,
// gw_fraction in [0, 1] or NaN and num_reservoir >= 1; the attribute setters
// may later store any fraction or a zero count, and routing copes with both.
struct LinearReservoir {
  std::int32_t k_duration;  // whole seconds, for the whole chain
  double gw_fraction;
  double initial_q;
  std::uint64_t num_reservoir;
};

// The most reservoirs one layer may chain: its state is one double each, so
// this bounds it at 128 MiB. Constructor, setter and routing all refuse more
// with "num_reservoir must be at most 16777216".
inline constexpr std::uint64_t kMaxReservoirs = std::uint64_t{1} << 24;
void check_reservoir_cap(std::uint64_t num_reservoir);

// `k_seconds` is the non-negative duration already read from the timedelta;
// its fraction of a second is dropped.
LinearReservoir make_linear_reservoir(double k_seconds, double gw_fraction, double initial_q,
                                      std::uint64_t num_reservoir);

struct Baseflow {
  ContinuousSeries total;
  std::vector<std::pair<std::string, ContinuousSeries>> layers;  // in the input's order
};

// Routes `rainfall` (inches per step) over a basin of `basin_area` acres
// through every layer, visited in the given order. All series are discharge
// in cfs, one value per rainfall value at the rainfall's step. `cancel`
// hears of one unit per reservoir set up and per value through a reservoir
// (or through a layer without any).
Baseflow linear_reservoir_rs(double basin_area, const IncrementalSeries& rainfall,
                             const std::vector<std::pair<std::string, LinearReservoir>>& reservoirs,
                             Cancel& cancel);

inline Baseflow linear_reservoir_rs(double basin_area, const IncrementalSeries& rainfall,
                                    const std::vector<std::pair<std::string, LinearReservoir>>& reservoirs) {
  Cancel none;
  return linear_reservoir_rs(basin_area, rainfall, reservoirs, none);
}

// The work of linear_reservoir_rs in those units, saturated: every
// reservoir set up, and every value through every reservoir of every layer
// (through a layer without any as through one).
std::uint64_t linear_reservoir_cost(std::size_t values,
                                    const std::vector<std::pair<std::string, LinearReservoir>>& reservoirs);

}  // namespace pelmora
