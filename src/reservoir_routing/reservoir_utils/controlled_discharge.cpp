// The fitting of the gated outlet's gate to its curve.
#include "reservoir_routing/reservoir_utils/controlled_discharge.hpp"

#include "core/errors.hpp"

namespace pelmora {

ControlledDischargeInfo make_controlled_discharge(ElevationDischarge curve,
                                                  std::optional<double> minimum_elevation,
                                                  std::optional<double> maximum_elevation,
                                                  std::optional<double> maximum_release) {
  const std::vector<double>& e = curve.elevation;
  if (e.empty()) index_fault(0, 0);
  const double first = e.front();
  const double last = e.back();
  const double minimum = minimum_elevation ? max_ignoring_nan(*minimum_elevation, first) : first;
  std::optional<double> maximum;
  if (maximum_elevation) maximum = min_ignoring_nan(*maximum_elevation, last);
  return ControlledDischargeInfo(std::move(curve), minimum, maximum, maximum_release);
}

}  // namespace pelmora
