// Construction checks and the two lookups of the elevation-storage curve.
#include "reservoir_routing/reservoir_utils/elevation_storage.hpp"

#include <cmath>
#include <optional>
#include <string>
#include <utility>

#include "core/errors.hpp"
#include "core/format.hpp"
#include "utils/general.hpp"

namespace pelmora {

namespace {

bool strictly_increasing(const std::vector<double>& v) {
  // Negated so that a NaN breaks the order.
  for (std::size_t i = 1; i < v.size(); ++i)
    if (!(v[i] > v[i - 1])) return false;
  return true;
}

// A curve of fewer than two points and a NaN value would reach interp1d as
// broken invariants. Here both are things a caller can ask (the constructor
// accepts any length; NaN lies outside every curve), so they are ordinary
// errors.
double lookup(const std::vector<double>& from, const std::vector<double>& to, double value,
              const char* name) {
  if (from.size() == to.size() && from.size() < 2)
    throw DomainError("x_values and y_values each must have at least 2 elements.");
  std::optional<double> found;
  if (!std::isnan(value)) found = interp1d(from, to, value, std::nullopt, std::nullopt);
  if (!found)
    throw DomainError(std::string("`") + name + "` " + format_double(value) +
                      " is outside the range of the elevation-storage curve.");
  return *found;
}

}  // namespace

double ElevationStorage::get_storage(double elevation_value) const {
  return lookup(elevation, storage, elevation_value, "elevation");
}

double ElevationStorage::get_elevation(double storage_value) const {
  return lookup(storage, elevation, storage_value, "storage");
}

ElevationStorage make_elevation_storage(std::vector<double> elevation,
                                        std::vector<double> storage) {
  if (elevation.size() != storage.size())
    throw DomainError("`elevation` and `storage` must have the same length");
  if (!strictly_increasing(elevation))
    throw DomainError("`elevation` must must be sorted and can't have duplicates");
  if (!strictly_increasing(storage))
    throw DomainError("`storage` must must be sorted and can't have duplicates");
  return ElevationStorage{std::move(elevation), std::move(storage)};
}

}  // namespace pelmora
