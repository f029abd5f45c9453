// Muskingum channel routing: the single routing pass (also the linear
// reservoir of the Clark transform) and the sub-reach driver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/cancel.hpp"

namespace pelmora {

// One pass through a reach of storage constant `kp` seconds. The first
// outflow is `initial_outflow`, or the first inflow when none is given.
// An empty inflow is an internal fault: every caller has values to route.
// `cancel` hears of one unit per value; a kernel that routes as one of its
// steps passes its own token, which so counts this work too.
std::vector<double> muskingum_routing_rs(std::vector<double> inflow, double dt, double kp,
                                         double x, std::optional<double> initial_outflow,
                                         Cancel& cancel);

inline std::vector<double> muskingum_routing_rs(std::vector<double> inflow, double dt, double kp,
                                                double x, std::optional<double> initial_outflow) {
  Cancel none;
  return muskingum_routing_rs(std::move(inflow), dt, kp, x, initial_outflow, none);
}

// Routes through `sub_reaches` equal sub-reaches of k_seconds / sub_reaches
// each, every one starting at `initial_outflow`. The result is bit-for-bit
// what successive calls of muskingum_routing_rs give. `cancel` hears of one
// unit per value per pass.
std::vector<double> route_reach(std::vector<double> inflow, double dt, double k_seconds, double x,
                                std::int64_t sub_reaches, double initial_outflow, Cancel& cancel);

inline std::vector<double> route_reach(std::vector<double> inflow, double dt, double k_seconds, double x,
                                       std::int64_t sub_reaches, double initial_outflow) {
  Cancel none;
  return route_reach(std::move(inflow), dt, k_seconds, x, sub_reaches, initial_outflow, none);
}

// The warning for a reach whose per-sub-reach coefficients C0 (current
// inflow) or C2 (previous outflow) are negative, which makes outflow dip
// below zero or oscillate; nothing when both are non-negative, or when
// route_reach would use no coefficient (fewer than two values, or a refused
// sub-reach count). It names both coefficients and the sub-reach counts
// that keep them non-negative, or says that none does.
std::optional<std::string> negative_coefficient_warning(std::size_t values, double dt, double k_seconds,
                                                        double x, std::int64_t sub_reaches);

// The work of route_reach in those units, saturated: (values - 1) x
// sub_reaches, since each pass is given its first value; so a single value
// is routed at no cost, and a refused count not at all.
std::uint64_t route_reach_cost(std::size_t values, std::int64_t sub_reaches);

}  // namespace pelmora
