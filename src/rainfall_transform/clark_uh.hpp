// The Clark unit hydrograph: excess rain is translated through a fixed
// dimensionless time-area curve scaled by the time of concentration,
// attenuated by a linear reservoir, and the resulting unit hydrograph is
// convolved with the rainfall.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/cancel.hpp"

namespace pelmora {

// Excess rain in inches per step of `dt` seconds, the basin in acres, the
// time of concentration and the storage coefficient in seconds. Returns
// N + n - 1 discharges in cfs for N rainfall values and n = ceil(tc / dt)
// ordinates, or N zeros when tc is not positive. A tc so long that its
// ordinates cannot be held raises DomainError. `cancel` hears of one unit
// per ordinate built, routed or convolved and per output value.
std::vector<double> clark_uh_rs(std::span<const double> rainfall, double dt, double basin_area,
                                double tc_seconds, double storage_seconds, Cancel cancel = {});

// The work of clark_uh_rs in those units, saturated: the n ordinates, the
// n multiply-adds of each wet (non-zero) rainfall value, and the output.
std::uint64_t clark_uh_cost(std::span<const double> rainfall, double dt, double tc_seconds);

}  // namespace pelmora
