// A gated or valved outlet: discharge from its rating curve, within an
// elevation gate, under an optional cap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>

#include "reservoir_routing/reservoir_utils/discharge_source.hpp"
#include "reservoir_routing/reservoir_utils/elevation_discharge.hpp"

namespace pelmora {

struct ControlledDischargeInfo {
  // What the outlet list (outlet_kinds.hpp) reads about this kind.
  static constexpr std::string_view name = "ControlledDischargeInfo";
  static constexpr std::string_view variant = "Controlled";
  static constexpr bool needs_clock = false;
  static constexpr bool has_rating_curve = true;
  using Search = std::size_t;  // the curve segment of the last lookup

  ElevationDischarge elevation_discharge;
  std::optional<double> minimum_elevation;  // set by make_controlled_discharge
  std::optional<double> maximum_elevation;
  std::optional<double> maximum_release;  // a NaN or absent cap caps nothing

  ControlledDischargeInfo() = default;
  // Stores the values as given; make_controlled_discharge fits the gate to
  // the curve first.
  explicit ControlledDischargeInfo(ElevationDischarge curve,
                                   std::optional<double> minimum = std::nullopt,
                                   std::optional<double> maximum = std::nullopt,
                                   std::optional<double> release = std::nullopt)
      : elevation_discharge(std::move(curve)),
        minimum_elevation(minimum),
        maximum_elevation(maximum),
        maximum_release(release) {}

  // The discharge from a curve known to be sound (check_interp_curve),
  // searching from `segment`. DomainError above the curve (reachable only
  // without a maximum elevation) and for a NaN elevation.
  double discharge_at(double elevation, std::size_t& segment) const {
    if (elevation_gate_closed(minimum_elevation, maximum_elevation, elevation)) return 0.0;
    return rating_curve_discharge(elevation_discharge, elevation, segment,
                                  [this](double q) { return capped(q); });
  }

 private:
  double capped(double q) const {
    return min_ignoring_nan(q, maximum_release.value_or(std::numeric_limits<double>::infinity()));
  }
};

// The outlet with its gate fitted to the curve: the minimum is raised to the
// curve's first elevation (and defaults to it), the maximum lowered to its
// last; a NaN bound becomes that end of the curve. So a lookup never starts
// below the curve and, with a maximum, never runs above it.
ControlledDischargeInfo make_controlled_discharge(ElevationDischarge curve,
                                                  std::optional<double> minimum_elevation,
                                                  std::optional<double> maximum_elevation,
                                                  std::optional<double> maximum_release);

}  // namespace pelmora
