// The reservoir's two rating curves: construction checks and the
// elevation-storage lookups.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "core/errors.hpp"
#include "reservoir_routing/reservoir_utils/elevation_discharge.hpp"
#include "reservoir_routing/reservoir_utils/elevation_storage.hpp"

namespace pelmora {
namespace {

using Vec = std::vector<double>;

// "ValueError: message", or "ok".
std::string outcome(const std::function<void()>& f) {
  try {
    f();
  } catch (const DomainError& e) {
    return "ValueError: " + e.message();
  } catch (const InternalFault& e) {
    return "fault: " + e.message();
  }
  return "ok";
}

TEST(ElevationStorageCurve, LooksUpBothWays) {
  const auto c = make_elevation_storage({100, 110}, {0, 5000});
  EXPECT_EQ(c.get_storage(105), 2500);
  EXPECT_EQ(c.get_storage(110), 5000);
  EXPECT_EQ(c.get_storage(100), 0);
  EXPECT_EQ(c.get_elevation(2500), 105);
  EXPECT_EQ(c.get_elevation(5000), 110);
}

TEST(ElevationStorageCurve, LookupsOffTheCurve) {
  const auto c = make_elevation_storage({100, 110}, {0, 5000});
  const std::string tail = " is outside the range of the elevation-storage curve.";
  EXPECT_EQ(outcome([&] { c.get_storage(110.5); }), "ValueError: `elevation` 110.5" + tail);
  EXPECT_EQ(outcome([&] { c.get_storage(2); }), "ValueError: `elevation` 2" + tail);
  EXPECT_EQ(outcome([&] { c.get_storage(NAN); }), "ValueError: `elevation` NaN" + tail);
  EXPECT_EQ(outcome([&] { c.get_elevation(-1); }), "ValueError: `storage` -1" + tail);
  EXPECT_EQ(outcome([&] { c.get_elevation(0.1 + 5000); }), "ValueError: `storage` 5000.1" + tail);
  EXPECT_EQ(outcome([&] { c.get_elevation(NAN); }), "ValueError: `storage` NaN" + tail);
}

// Short curves are accepted, and every lookup on them is refused, NaN
// included: the point count is tested first.
TEST(ElevationStorageCurve, ShortCurvesRefuseLookups) {
  const std::string refused =
      "ValueError: x_values and y_values each must have at least 2 elements.";
  for (const auto& c : {make_elevation_storage({}, {}), make_elevation_storage({100}, {0})}) {
    for (double v : {100.0, 0.0, double(NAN)}) {
      EXPECT_EQ(outcome([&] { c.get_storage(v); }), refused);
      EXPECT_EQ(outcome([&] { c.get_elevation(v); }), refused);
    }
  }
}

struct Construction {
  Vec elevation, values;
  std::string expected;
};

TEST(ElevationStorageCurve, ConstructionChecksInOrder) {
  const std::string length = "ValueError: `elevation` and `storage` must have the same length";
  const std::string elevation =
      "ValueError: `elevation` must must be sorted and can't have duplicates";
  const std::string storage = "ValueError: `storage` must must be sorted and can't have duplicates";
  const Construction cases[] = {
      {{100, 110, 120}, {0, 5000}, length},
      {{110, 100, 120}, {5000, 0}, length},  // before any sorting test
      {{100, 100}, {0, 5000}, elevation},
      {{100, NAN}, {0, 5000}, elevation},
      {{110, 100}, {5000, 0}, elevation},  // elevations before storages
      {{100, 110}, {5, 5}, storage},
      {{100, 110}, {5, NAN}, storage},
      {{100, 110, 120}, {0, 10, 20}, "ok"},
      {{}, {}, "ok"},
      {{100}, {0}, "ok"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(outcome([&] { make_elevation_storage(c.elevation, c.values); }), c.expected);
}

TEST(ElevationDischargeCurve, ConstructionChecksInOrder) {
  const std::string length = "ValueError: `elevation` and `discharge` must have the same length";
  const std::string too_short =
      "ValueError: `elevation` and `discharge` each must have at least 2 elements.";
  const std::string elevation =
      "ValueError: `elevation` must must be sorted and can't have duplicates";
  const std::string discharge = "ValueError: `discharge` must must be sorted";
  const Construction cases[] = {
      {{100}, {0, 5}, length},  // not the point count
      {{100}, {0}, too_short},
      {{}, {}, too_short},
      {{100, 100}, {0, 5}, elevation},
      {{110, 100}, {5, 0}, elevation},
      {{100, 110}, {5, 4}, discharge},
      {{100, 110}, {NAN, 4}, discharge},
      {{100, 110}, {5, 5}, "ok"},  // flat runs are allowed
  };
  for (const auto& c : cases)
    EXPECT_EQ(outcome([&] { make_elevation_discharge(c.elevation, c.values); }), c.expected);
}

}  // namespace
}  // namespace pelmora
