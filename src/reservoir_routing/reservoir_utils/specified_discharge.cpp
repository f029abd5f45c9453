// The prescribed-hydrograph outlet.
#include "reservoir_routing/reservoir_utils/specified_discharge.hpp"

#include "core/errors.hpp"
#include "core/format.hpp"

namespace pelmora {

// The cursor cannot read before the series; get_value speaks for that time.
void SpecifiedDischargeInfo::refuse_negative_time(std::int64_t duration_secs) const {
  discharge.get_value(static_cast<double>(duration_secs));
  fault("a negative time was read from the series");
}

void SpecifiedDischargeInfo::throw_past_series_end(std::int64_t duration_secs,
                                                   std::int64_t length) {
  throw DomainError("simulation duration " + format_double(static_cast<double>(duration_secs)) +
                    "s exceeds the specified discharge series length (" + format_int(length) +
                    "s).");
}

}  // namespace pelmora
