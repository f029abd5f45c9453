// The prescribed-hydrograph outlet.
#include "reservoir_routing/reservoir_utils/specified_discharge.hpp"

#include "core/errors.hpp"
#include "core/format.hpp"

namespace pelmora {

double SpecifiedDischargeInfo::get_discharge(std::optional<std::int64_t> duration_secs,
                                             double elevation) const {
  // Only a caller that runs a clock can ask this outlet; that is checked
  // before the gate so the mistake shows even while the outlet is shut.
  if (!duration_secs)
    throw StateError("SpecifiedDischargeInfo requires duration_secs but none was provided.");
  if (elevation_gate_closed(minimum_elevation, maximum_elevation, elevation)) return 0.0;
  check_within_series(*duration_secs);
  // get_value also speaks for negative times, which the cursor cannot read.
  return capped(discharge.get_value(static_cast<double>(*duration_secs)));
}

void SpecifiedDischargeInfo::throw_past_series_end(std::int64_t duration_secs,
                                                   std::int64_t length) {
  throw DomainError("simulation duration " + format_double(static_cast<double>(duration_secs)) +
                    "s exceeds the specified discharge series length (" + format_int(length) +
                    "s).");
}

}  // namespace pelmora
