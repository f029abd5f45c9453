// The two uniformly spaced series that carry data between the models, as
// plain values. Construction from Python validates; construction from inside
// the library (model results) does not.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/cancel.hpp"
#include "core/series_values.hpp"

namespace pelmora {

// Fails with the kind DomainError unless `kind` is one of the four kinds.
void validate_kind(std::string_view kind);

// Seconds as a double -> whole seconds, truncated toward zero and saturated
// to the signed 32-bit range (NaN gives 0), as a float-to-int cast that
// never traps.
std::int32_t whole_seconds_i32(double seconds);

// The same, refused unless positive ("time_step must be > 0").
std::int32_t time_step_from_seconds(double seconds);

struct TimeSeries {
  SeriesValues data;
  std::int32_t time_step = 1;  // whole seconds, at least 1
  std::string kind;
};

// Values at instants spaced time_step apart, starting at elapsed time 0.
struct ContinuousSeries : TimeSeries {
  // time_step * (len - 1), in 64-bit arithmetic (negative when empty).
  std::int64_t total_duration() const;
  // The linearly interpolated value at elapsed time t (seconds); DomainError
  // outside [0, total_duration()] beyond a 1e-6 tolerance.
  double get_value(double t) const;
};

// Values accumulated over consecutive intervals of time_step.
struct IncrementalSeries : TimeSeries {
  // time_step * len, in 64-bit arithmetic.
  std::int64_t total_duration() const;
  // Splits every interval into intervals of target_step, spreading each value
  // uniformly. DomainError unless target_step >= 30 divides time_step.
  // `cancel` hears of one unit per value written.
  IncrementalSeries disaggregate(std::int32_t target_step, Cancel& cancel) const;
  IncrementalSeries disaggregate(std::int32_t target_step) const {
    Cancel none;
    return disaggregate(target_step, none);
  }
  // The values disaggregate(target_step) writes (0 when it refuses the step).
  std::uint64_t disaggregate_cost(std::int32_t target_step) const;
};

// A series built by the library itself (a model result): no checks, the
// producer guarantees a valid kind and a positive step.
template <class Series>
Series result_series(std::vector<double> data, std::int32_t time_step, std::string_view kind) {
  Series series;
  series.data = std::move(data);
  series.time_step = time_step;
  series.kind = kind;
  return series;
}

}  // namespace pelmora
