// The constant-rate outlet.
#include "reservoir_routing/reservoir_utils/constant_discharge.hpp"

namespace pelmora {

double ConstantDischargeInfo::get_discharge(std::optional<std::int64_t> /*duration_secs*/,
                                            double elevation) const {
  return discharge_at(elevation);
}

}  // namespace pelmora
