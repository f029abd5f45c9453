// An uncontrolled spillway: discharge straight from its rating curve.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "reservoir_routing/reservoir_utils/discharge_source.hpp"
#include "reservoir_routing/reservoir_utils/elevation_discharge.hpp"

namespace pelmora {

struct UnControlledDischargeInfo {
  // What the outlet list (outlet_kinds.hpp) reads about this kind.
  static constexpr std::string_view name = "UnControlledDischargeInfo";
  static constexpr std::string_view variant = "Uncontrolled";
  static constexpr bool needs_clock = false;
  static constexpr bool has_rating_curve = true;
  using Search = std::size_t;  // the curve segment of the last lookup

  ElevationDischarge elevation_discharge;
  // Added to the reservoir elevation before the lookup, for a crest surveyed
  // on another datum than the storage curve.
  std::optional<double> elevation_offset;

  UnControlledDischargeInfo() = default;
  explicit UnControlledDischargeInfo(ElevationDischarge curve,
                                     std::optional<double> offset = std::nullopt)
      : elevation_discharge(std::move(curve)), elevation_offset(offset) {}

  // The discharge from a curve known to be sound (check_interp_curve),
  // searching from `segment`. No gate and no cap. DomainError above the curve
  // and for NaN.
  double discharge_at(double elevation, std::size_t& segment) const {
    if (elevation_offset)
      return rating_curve_discharge(elevation_discharge, *elevation_offset + elevation, segment);
    // Without an offset the lookup is of 0.0 + elevation. The sum differs
    // from the elevation only for -0, which every comparison and every
    // interpolation treats as +0, so only the error text could tell; the
    // addition is left to that path.
    const double last = elevation_discharge.elevation.back();
    if (elevation > last) throw_above_rating_curve(0.0 + elevation, last);
    return rating_curve_discharge(elevation_discharge, elevation, segment);
  }
};

}  // namespace pelmora
