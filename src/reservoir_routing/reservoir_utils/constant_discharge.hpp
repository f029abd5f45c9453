// An outlet releasing a fixed rate while the reservoir is within its gate.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "reservoir_routing/reservoir_utils/discharge_source.hpp"

namespace pelmora {

struct ConstantDischargeInfo {
  // What the outlet list (outlet_kinds.hpp) reads about this kind.
  static constexpr std::string_view name = "ConstantDischargeInfo";
  static constexpr std::string_view variant = "Constant";
  static constexpr bool needs_clock = false;
  static constexpr bool has_rating_curve = false;
  using Search = void;  // nothing is carried between queries

  double discharge = 0.0;  // any sign; not checked
  std::optional<double> minimum_elevation;
  std::optional<double> maximum_elevation;

  ConstantDischargeInfo() = default;
  explicit ConstantDischargeInfo(double discharge_value,
                                 std::optional<double> minimum = std::nullopt,
                                 std::optional<double> maximum = std::nullopt)
      : discharge(discharge_value), minimum_elevation(minimum), maximum_elevation(maximum) {}

  // The time is not needed.
  double discharge_at(double elevation) const {
    return elevation_gate_closed(minimum_elevation, maximum_elevation, elevation) ? 0.0 : discharge;
  }
};

}  // namespace pelmora
