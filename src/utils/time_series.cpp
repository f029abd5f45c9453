// Validation, interpolation and disaggregation of the two series kinds.
#include "utils/time_series.hpp"

#include <array>
#include <cmath>
#include <limits>

#include "core/blocks.hpp"
#include "core/errors.hpp"
#include "core/format.hpp"

namespace pelmora {

namespace {
constexpr std::array<std::string_view, 4> kKinds = {"discharge", "rainfall", "elevation", "volume"};
}  // namespace

void validate_kind(std::string_view kind) {
  for (auto k : kKinds)
    if (k == kind) return;
  std::string message = "kind must be one of [";
  for (std::size_t i = 0; i < kKinds.size(); ++i) {
    if (i) message += ", ";
    message += '"';
    message += kKinds[i];
    message += '"';
  }
  message += "]; got '";
  message += kind;  // kept whole, NULs included
  message += "'";
  throw DomainError(std::move(message));
}

std::int32_t whole_seconds_i32(double seconds) {
  if (std::isnan(seconds)) return 0;
  if (seconds >= 2147483647.0) return std::numeric_limits<std::int32_t>::max();
  if (seconds <= -2147483648.0) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(seconds);
}

std::int32_t time_step_from_seconds(double seconds) {
  const std::int32_t step = whole_seconds_i32(seconds);
  if (step <= 0) throw DomainError("time_step must be > 0");
  return step;
}

std::int64_t ContinuousSeries::total_duration() const {
  return static_cast<std::int64_t>(time_step) * (static_cast<std::int64_t>(data.size()) - 1);
}

double ContinuousSeries::get_value(double t) const {
  const std::int64_t total = total_duration();
  if (t < -1e-6) throw DomainError("`duration` " + format_double(t) + " is less than 0.");
  if (t > static_cast<double>(total) + 1e-6)
    throw DomainError("`duration` " + format_double(t) + " is out of range (max " +
                      format_int(total) + ").");
  // Within the tolerance outside the range the end points are read. A NaN t
  // passes both tests and the clamp, and reads as NaN or the only value.
  double clamped = t;
  if (clamped < 0.0) clamped = 0.0;
  if (clamped > static_cast<double>(total)) clamped = static_cast<double>(total);
  const double p = clamped / static_cast<double>(time_step);
  const double fl = std::floor(p);
  std::size_t i = 0;
  if (fl > 0.0) i = fl >= 1.8446744073709552e19 ? std::numeric_limits<std::size_t>::max()
                                                 : static_cast<std::size_t>(fl);
  const std::size_t n = data.size();
  // Only a NaN time gets here on an empty series: no time lies inside it.
  if (n == 0)
    throw DomainError("`duration` " + format_double(t) + " is out of range (max " + format_int(total) + ").");
  if (i < n - 1) return data[i] + (data[i + 1] - data[i]) * (p - static_cast<double>(i));
  return data[n - 1];
}

std::int64_t IncrementalSeries::total_duration() const {
  return static_cast<std::int64_t>(time_step) * static_cast<std::int64_t>(data.size());
}

std::uint64_t IncrementalSeries::disaggregate_cost(std::int32_t target_step) const {
  if (target_step < 30 || time_step % target_step != 0) return 0;
  return work_mul(data.size(), static_cast<std::uint64_t>(time_step / target_step));
}

IncrementalSeries IncrementalSeries::disaggregate(std::int32_t target_step, Cancel& cancel) const {
  if (target_step < 30) throw DomainError("target_step must be >= 30 seconds.");
  const std::int32_t n = time_step / target_step;
  const std::int32_t r = time_step % target_step;
  if (r != 0)
    throw DomainError("Original time_step (" + format_int(time_step) +
                      ") must be a multiple of target_step (" + format_int(target_step) + ").");
  const double factor = static_cast<double>(target_step) / static_cast<double>(time_step);
  IncrementalSeries out;
  out.time_step = target_step;
  out.kind = kind;
  std::vector<double>& values = out.data.vector();
  values.reserve(data.size() * static_cast<std::size_t>(n));
  // A value may spread over millions of steps: it is written a block at a
  // time, each block reported.
  for (double v : data) {
    const double part = v * factor;
    for_blocks(cancel, std::size_t{0}, static_cast<std::size_t>(n), 1,
               [&](std::size_t begin, std::size_t end) { values.insert(values.end(), end - begin, part); });
  }
  return out;
}

}  // namespace pelmora
