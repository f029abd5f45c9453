// The deficit-and-constant loss model: a constant loss is taken from each
// step's rain first, the rest fills the soil-moisture deficit, and what is
// left runs off. Between and during storms the deficit recovers toward its
// maximum with a drying time.
#pragma once

#include "core/cancel.hpp"
#include "utils/time_series.hpp"

namespace pelmora {

// All three series hold one value per rainfall value, the rainfall's step and
// the kind "rainfall".
struct DeficitConstant {
  IncrementalSeries excess;
  IncrementalSeries loss;
  IncrementalSeries deficit;  // at the end of each step
};

// Refuses, in this order, the parameters that would make water: a negative
// or NaN initial deficit, a negative, NaN or infinite maximum deficit, and a
// negative or NaN loss rate (DomainError naming the parameter and its value).
// An infinite initial deficit is cut to the maximum like any other value
// above it, and an infinite loss rate takes all rain as loss, so both stay.
void check_loss_parameters(double initial_deficit, double max_deficit, double constant_loss_per_hr);

// Depths in inches per step, the loss rate in inches per hour, the drying
// time in seconds (zero means the deficit never recovers). No value is
// checked here (check_loss_parameters does that for callers that take
// values from users); the rainfall's kind is not examined. `cancel` hears of
// one unit per value written, three per rainfall value.
DeficitConstant deficit_and_constant_rs(const IncrementalSeries& rainfall, double initial_deficit,
                                        double max_deficit, double constant_loss_per_hr,
                                        double time_to_dry_seconds, Cancel& cancel);

inline DeficitConstant deficit_and_constant_rs(const IncrementalSeries& rainfall, double initial_deficit,
                                               double max_deficit, double constant_loss_per_hr,
                                               double time_to_dry_seconds) {
  Cancel none;
  return deficit_and_constant_rs(rainfall, initial_deficit, max_deficit, constant_loss_per_hr, time_to_dry_seconds,
                                 none);
}

// The work of deficit_and_constant_rs in those units.
inline std::uint64_t deficit_and_constant_cost(std::size_t values) { return work_mul(values, 3); }

}  // namespace pelmora
