// An outlet releasing a prescribed hydrograph while the reservoir is within
// its gate.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "reservoir_routing/reservoir_utils/discharge_source.hpp"
#include "utils/time_series.hpp"

namespace pelmora {

struct SpecifiedDischargeInfo {
  // What the outlet list (outlet_kinds.hpp) reads about this kind.
  static constexpr std::string_view name = "SpecifiedDischargeInfo";
  static constexpr std::string_view variant = "Specified";
  static constexpr bool needs_clock = true;  // a query without a time is refused
  static constexpr bool has_rating_curve = false;
  using Search = SeriesCursor;  // where the series was last read

  ContinuousSeries discharge;  // its kind is not examined
  std::optional<double> minimum_elevation;
  std::optional<double> maximum_elevation;
  // A cap on the prescribed value; NaN caps nothing.
  std::optional<double> maximum_release;

  SpecifiedDischargeInfo() = default;
  explicit SpecifiedDischargeInfo(ContinuousSeries series,
                                  std::optional<double> minimum = std::nullopt,
                                  std::optional<double> maximum = std::nullopt,
                                  std::optional<double> release = std::nullopt)
      : discharge(std::move(series)),
        minimum_elevation(minimum),
        maximum_elevation(maximum),
        maximum_release(release) {}

  // The discharge at whole second `duration_secs` of the simulation,
  // reading the series from where the previous call left `cursor` (a fresh
  // cursor for a first or a single query). DomainError once the time passes
  // the end of the series, or for a negative time, unless the gate is shut.
  double discharge_at(std::int64_t duration_secs, double elevation, SeriesCursor& cursor) const {
    if (elevation_gate_closed(minimum_elevation, maximum_elevation, elevation)) return 0.0;
    check_within_series(duration_secs);
    if (duration_secs < 0) [[unlikely]]
      refuse_negative_time(duration_secs);
    return capped(series_value_at(discharge, duration_secs, cursor));
  }

 private:
  void check_within_series(std::int64_t duration_secs) const {
    // discharge.total_duration(), spelled out so that it inlines: an
    // out-of-line call in the routing loop would force its running values
    // out of registers.
    const std::int64_t length = static_cast<std::int64_t>(discharge.time_step) *
                                (static_cast<std::int64_t>(discharge.data.size()) - 1);
    if (static_cast<double>(duration_secs) > static_cast<double>(length))
      throw_past_series_end(duration_secs, length);
  }
  [[noreturn, gnu::cold, gnu::noinline]] static void throw_past_series_end(
      std::int64_t duration_secs, std::int64_t length);
  [[noreturn, gnu::cold, gnu::noinline]] void refuse_negative_time(std::int64_t duration_secs) const;
  double capped(double value) const {
    return maximum_release ? min_ignoring_nan(value, *maximum_release) : value;
  }
};

}  // namespace pelmora
