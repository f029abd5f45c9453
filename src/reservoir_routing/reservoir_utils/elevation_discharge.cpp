// Construction checks of the elevation-discharge curve.
#include "reservoir_routing/reservoir_utils/elevation_discharge.hpp"

#include <utility>

#include "core/errors.hpp"

namespace pelmora {

ElevationDischarge make_elevation_discharge(std::vector<double> elevation,
                                            std::vector<double> discharge) {
  if (elevation.size() != discharge.size())
    throw DomainError("`elevation` and `discharge` must have the same length");
  if (elevation.size() < 2)
    throw DomainError("`elevation` and `discharge` each must have at least 2 elements.");
  // Negated tests so that a NaN breaks the order. Flat discharge runs are
  // fine: a spillway can hold its flow over a range of elevations.
  for (std::size_t i = 1; i < elevation.size(); ++i)
    if (!(elevation[i] > elevation[i - 1]))
      throw DomainError("`elevation` must must be sorted and can't have duplicates");
  for (std::size_t i = 1; i < discharge.size(); ++i)
    if (!(discharge[i] >= discharge[i - 1])) throw DomainError("`discharge` must must be sorted");
  return ElevationDischarge{std::move(elevation), std::move(discharge)};
}

}  // namespace pelmora
