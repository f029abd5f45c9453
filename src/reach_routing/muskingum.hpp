// Muskingum channel routing: the single routing pass (also the linear
// reservoir of the Clark transform) and the sub-reach driver.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace pelmora {

// One pass through a reach of storage constant `kp` seconds. The first
// outflow is `initial_outflow`, or the first inflow when none is given.
// An empty inflow is an internal fault: every caller has values to route.
std::vector<double> muskingum_routing_rs(std::vector<double> inflow, double dt, double kp,
                                         double x, std::optional<double> initial_outflow);

// Routes through `sub_reaches` equal sub-reaches of k_seconds / sub_reaches
// each, every one starting at `initial_outflow`. The result is bit-for-bit
// what successive calls of muskingum_routing_rs give.
std::vector<double> route_reach(std::vector<double> inflow, double dt, double k_seconds, double x,
                                std::int64_t sub_reaches, double initial_outflow);

}  // namespace pelmora
