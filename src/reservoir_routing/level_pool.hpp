// Level pool routing: a reservoir with a flat water surface, integrated one
// second at a time from time zero, reporting at every inflow instant.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "core/cancel.hpp"
#include "reservoir_routing/reservoir_utils/elevation_storage.hpp"
#include "reservoir_routing/reservoir_utils/outlet_kinds.hpp"
#include "utils/time_series.hpp"

namespace pelmora {

// Any one outlet: one alternative per kind of the outlet list, in its order,
// the order a Python value is tried against them.
using DischargeInfo = OutletKinds::apply<std::variant>;

// One query of an outlet: its discharge at `duration_secs` whole seconds
// into the simulation (absent for a caller without a clock) from the
// reservoir's `elevation`. It takes the road the routing loop takes, with a
// fresh search state. Errors: DomainError and StateError from the outlet, an
// internal fault for an unsound rating curve.
double get_discharge(const DischargeInfo& info, std::optional<std::int64_t> duration_secs,
                     double elevation);

struct LevelPool {
  ContinuousSeries storage;        // kind "volume"
  ContinuousSeries elevation;      // kind "elevation"
  ContinuousSeries total_outflow;  // kind "discharge"
  // One series per outlet, in the outlets' order.
  std::vector<std::pair<std::string, ContinuousSeries>> individual;
};

// Routes `inflow` through the reservoir from `initial_elevation`, one
// explicit second at a time from 0 to the end of the inflow: the second from
// t to t + 1 adds the inflow's trapezoid between t and t + 1 and removes the
// outflow at t, the outlets asked at `duration_secs` t with the elevation at
// t. Every series has the inflow's step and its number of values: record k
// is the state at k * step, its storage, its elevation, and the outflows at
// that instant (the rate the second starting there uses). Record 0 is the
// initial state. Outlets are summed in the given order. Errors: DomainError
// (elevation or storage off the curve, a storage turned NaN, an empty
// inflow, an outlet's own errors), StateError from an outlet. `cancel` hears
// of one unit per time point (every second, both ends included) per outlet
// (per time point when there is no outlet).
LevelPool level_pool_rs(const ContinuousSeries& inflow, double initial_elevation,
                        const ElevationStorage& curve,
                        const std::vector<std::pair<std::string, DischargeInfo>>& outlets,
                        Cancel& cancel);

inline LevelPool level_pool_rs(const ContinuousSeries& inflow, double initial_elevation,
                               const ElevationStorage& curve,
                               const std::vector<std::pair<std::string, DischargeInfo>>& outlets) {
  Cancel none;
  return level_pool_rs(inflow, initial_elevation, curve, outlets, none);
}

// The work of level_pool_rs in those units, saturated: the time points
// ((n - 1) x step + 1 for n inflow values) times the outlets.
std::uint64_t level_pool_cost(const ContinuousSeries& inflow, std::size_t outlets);

}  // namespace pelmora
