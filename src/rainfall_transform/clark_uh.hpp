// The Clark unit hydrograph: excess rain is translated through a fixed
// dimensionless time-area curve scaled by the time of concentration,
// attenuated by a linear reservoir that starts from rest and is drained until
// what it still holds is negligible, and the resulting unit hydrograph is
// convolved with the rainfall.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/cancel.hpp"

namespace pelmora {

// Excess rain in inches per step of `dt` seconds, the basin in acres, the
// time of concentration and the storage coefficient in seconds. Returns
// N + m - 1 discharges in cfs for N rainfall values, value i being the flow
// at i * dt, or N zeros when tc is not positive. The unit hydrograph has
// m >= n + 1 ordinates for n = ceil(tc / dt): a leading zero, the routed
// translation, then the reservoir's recession until the volume still to
// come out is at most 1e-12 of one inch over the basin, so its ordinates
// carry the whole inch. A unit hydrograph longer than the allocation limit
// raises DomainError (naming tc when the translation alone is too long,
// storage_r when the recession is); an allocator that runs out throws
// std::bad_alloc. `cancel` hears of one unit per ordinate built, routed or
// convolved and per output value.
std::vector<double> clark_uh_rs(std::span<const double> rainfall, double dt, double basin_area,
                                double tc_seconds, double storage_seconds, Cancel& cancel);

inline std::vector<double> clark_uh_rs(std::span<const double> rainfall, double dt, double basin_area,
                                       double tc_seconds, double storage_seconds) {
  Cancel none;
  return clark_uh_rs(rainfall, dt, basin_area, tc_seconds, storage_seconds, none);
}

// The work of clark_uh_rs in those units, saturated and erring high: the
// work it reports, step for step, with the recession at the longest it can
// get (known only once built).
std::uint64_t clark_uh_cost(std::span<const double> rainfall, double dt, double tc_seconds,
                            double storage_seconds);

}  // namespace pelmora
