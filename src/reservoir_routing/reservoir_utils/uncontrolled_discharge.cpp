// The uncontrolled spillway.
#include "reservoir_routing/reservoir_utils/uncontrolled_discharge.hpp"

namespace pelmora {

double UnControlledDischargeInfo::get_discharge(std::optional<std::int64_t> /*duration_secs*/,
                                                double elevation) const {
  return checked_rating_curve_discharge(elevation_discharge,
                                        elevation_offset.value_or(0.0) + elevation);
}

}  // namespace pelmora
