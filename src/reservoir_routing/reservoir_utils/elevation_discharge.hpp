// The rating curve of an outlet: discharge against reservoir elevation.
#pragma once

#include <vector>

namespace pelmora {

// Paired elevations and discharges. make_elevation_discharge establishes at
// least two points, equal lengths, strictly increasing elevations and
// non-decreasing discharges; the outlets rely on it.
struct ElevationDischarge {
  std::vector<double> elevation;
  std::vector<double> discharge;
};

ElevationDischarge make_elevation_discharge(std::vector<double> elevation,
                                            std::vector<double> discharge);

}  // namespace pelmora
