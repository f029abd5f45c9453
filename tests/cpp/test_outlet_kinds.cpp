// Every kind of the outlet list is held by DischargeInfo and asked through
// it as its traits say: the union picks the kind's own answer, a kind on a
// clock refuses a query without a time, and a rating curve is checked before
// it is read. A listed kind without a sample below does not compile.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "core/errors.hpp"
#include "reservoir_routing/level_pool.hpp"

namespace pelmora {
namespace {

// One outlet of each kind, whose answers differ from every other kind's at
// the elevations and times below.
template <class K>
struct Sample;
template <>
struct Sample<UnControlledDischargeInfo> {
  static UnControlledDischargeInfo make() {
    return UnControlledDischargeInfo(make_elevation_discharge({100.0, 110.0}, {0.0, 50.0}), 1.0);
  }
};
template <>
struct Sample<ControlledDischargeInfo> {
  static ControlledDischargeInfo make() {
    return make_controlled_discharge(make_elevation_discharge({100.0, 110.0}, {0.0, 40.0}),
                                     std::nullopt, std::nullopt, 12.0);
  }
};
template <>
struct Sample<SpecifiedDischargeInfo> {
  static SpecifiedDischargeInfo make() {
    ContinuousSeries s;
    s.data = {7.0, 9.0, 11.0};
    s.time_step = 3600;
    s.kind = "discharge";
    return SpecifiedDischargeInfo(s);
  }
};
template <>
struct Sample<ConstantDischargeInfo> {
  static ConstantDischargeInfo make() { return ConstantDischargeInfo(3.0, 101.0); }
};

// The kind's own answer, with a fresh search state, called as its traits say.
template <class K>
double direct(const K& o, std::int64_t t, double elevation) {
  std::size_t segment = 1;
  SeriesCursor cursor;
  if constexpr (std::is_same_v<typename K::Search, std::size_t>) {
    return o.discharge_at(elevation, segment);
  } else if constexpr (std::is_same_v<typename K::Search, SeriesCursor>) {
    if constexpr (K::needs_clock) return o.discharge_at(t, elevation, cursor);
    else return o.discharge_at(elevation, cursor);
  } else {
    static_assert(std::is_void_v<typename K::Search>, "a search state this test does not know");
    if constexpr (K::needs_clock) return o.discharge_at(t, elevation);
    else return o.discharge_at(elevation);
  }
}

template <class K>
class OutletKindTest : public ::testing::Test {};
using Kinds = OutletKinds::apply<::testing::Types>;
TYPED_TEST_SUITE(OutletKindTest, Kinds);

TYPED_TEST(OutletKindTest, TheUnionHoldsTheKindAtItsPlaceInTheList) {
  using K = TypeParam;
  const DischargeInfo info = Sample<K>::make();
  EXPECT_EQ(info.index(), outlet_index<K>);
  EXPECT_TRUE(std::holds_alternative<K>(info));
}

TYPED_TEST(OutletKindTest, TheUnionAnswersAsTheKindItself) {
  using K = TypeParam;
  const K outlet = Sample<K>::make();
  const DischargeInfo info = outlet;
  for (const std::int64_t t : {0, 1800, 7200})
    for (const double e : {100.5, 104.0, 108.0})
      EXPECT_EQ(get_discharge(info, t, e), direct(outlet, t, e)) << "t " << t << ", elevation " << e;
}

// The samples answer differently from one another, so the union cannot have
// asked another kind than the one it holds.
template <class... K>
std::vector<double> answers(TypeList<K...>) {
  return {get_discharge(DischargeInfo{Sample<K>::make()}, 1800, 104.0)...};
}
TEST(OutletKinds, TheSamplesTellTheKindsApart) {
  std::vector<double> all = answers(OutletKinds{});
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
}

TYPED_TEST(OutletKindTest, AQueryWithoutATimeIsRefusedOnlyOnAClock) {
  using K = TypeParam;
  const DischargeInfo info = Sample<K>::make();
  if constexpr (K::needs_clock) {
    try {
      get_discharge(info, std::nullopt, 104.0);
      ADD_FAILURE() << "no error";
    } catch (const StateError& e) {
      EXPECT_EQ(e.message(), std::string(K::name) + " requires duration_secs but none was provided.");
    }
    // Even while the gate is shut.
    EXPECT_THROW(get_discharge(info, std::nullopt, -1e300), StateError);
  } else {
    EXPECT_EQ(get_discharge(info, std::nullopt, 104.0), direct(Sample<K>::make(), 0, 104.0));
  }
}

TYPED_TEST(OutletKindTest, ARatingCurveIsCheckedBeforeItIsRead) {
  using K = TypeParam;
  if constexpr (K::has_rating_curve) {
    K outlet = Sample<K>::make();
    std::reverse(outlet.elevation_discharge.elevation.begin(), outlet.elevation_discharge.elevation.end());
    EXPECT_THROW(get_discharge(DischargeInfo{outlet}, 0, 104.0), InternalFault);
  } else {
    GTEST_SKIP() << "no rating curve";
  }
}

}  // namespace
}  // namespace pelmora
