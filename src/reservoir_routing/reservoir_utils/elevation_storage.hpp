// The reservoir's elevation-storage curve and its lookups in both directions.
#pragma once

#include <vector>

namespace pelmora {

// Paired elevations and storages. make_elevation_storage establishes that the
// lengths agree and both vectors strictly increase; any length is accepted,
// and a lookup on fewer than two points is refused when it happens.
struct ElevationStorage {
  std::vector<double> elevation;
  std::vector<double> storage;

  // DomainError outside the curve (NaN included) or on a curve of fewer
  // than two points.
  double get_storage(double elevation_value) const;
  double get_elevation(double storage_value) const;
};

ElevationStorage make_elevation_storage(std::vector<double> elevation, std::vector<double> storage);

}  // namespace pelmora
