// The outlet kinds, listed once. Everything that enumerates them is derived
// from this list: the DischargeInfo union, the routing loop's dispatch, the
// preparation of an outlet, the conversion from Python with its error text
// and the registration of the Python classes. A new kind is its own header
// (with the traits below), its Python class in py_reservoir_utils.cpp and one
// entry here; a kind whose traits or Python class are missing does not
// compile.
#pragma once

#include <concepts>
#include <cstddef>
#include <string_view>
#include <type_traits>

#include "reservoir_routing/reservoir_utils/constant_discharge.hpp"
#include "reservoir_routing/reservoir_utils/controlled_discharge.hpp"
#include "reservoir_routing/reservoir_utils/elevation_discharge.hpp"
#include "reservoir_routing/reservoir_utils/specified_discharge.hpp"
#include "reservoir_routing/reservoir_utils/uncontrolled_discharge.hpp"

namespace pelmora {

template <class... T>
struct TypeList {
  static constexpr std::size_t size = sizeof...(T);
  template <template <class...> class F>
  using apply = F<T...>;
};

// What every kind states beside its definition:
// - `name`: its Python class, which a value that is none of the kinds is
//   told it is not an instance of;
// - `variant`: its name in the union, as the conversion error spells it;
// - `needs_clock`: its discharge_at takes the whole seconds since the start
//   first, and a query without them is refused;
// - `has_rating_curve`: its `elevation_discharge` is checked once before
//   the loop reads it without checks;
// - `Search`: the state carried from one query to the next and passed last
//   to discharge_at (void for none).
template <class K>
concept OutletKind =
    requires {
      { K::name } -> std::convertible_to<std::string_view>;
      { K::variant } -> std::convertible_to<std::string_view>;
      { K::needs_clock } -> std::convertible_to<bool>;
      { K::has_rating_curve } -> std::convertible_to<bool>;
      typename K::Search;
    } && (!K::has_rating_curve || requires(const K& k) {
      { k.elevation_discharge } -> std::convertible_to<const ElevationDischarge&>;
    });

// In the order a Python value is tried against them, which is also the
// order of the union's alternatives.
using OutletKinds = TypeList<UnControlledDischargeInfo, ControlledDischargeInfo,
                             SpecifiedDischargeInfo, ConstantDischargeInfo>;

// Where K stands in `list`, or the list's size when it is not there once.
template <class K, class... T>
constexpr std::size_t index_in(TypeList<T...>) {
  constexpr bool hits[] = {std::is_same_v<K, T>...};
  std::size_t found = sizeof...(T), count = 0;
  for (std::size_t i = 0; i < sizeof...(T); ++i)
    if (hits[i]) found = i, ++count;
  return count == 1 ? found : sizeof...(T);
}
template <class K>
inline constexpr bool is_outlet_kind = index_in<K>(OutletKinds{}) < OutletKinds::size;
template <class K>
inline constexpr std::size_t outlet_index = index_in<K>(OutletKinds{});

namespace outlet_kinds_detail {
template <class... K>
constexpr bool traits_stated(TypeList<K...>) {
  return (OutletKind<K> && ...);
}
template <class... K>
constexpr bool each_once(TypeList<K...> list) {
  constexpr std::string_view names[] = {K::name...};
  constexpr std::string_view variants[] = {K::variant...};
  for (std::size_t i = 0; i < sizeof...(K); ++i)
    for (std::size_t j = i + 1; j < sizeof...(K); ++j)
      if (names[i] == names[j] || variants[i] == variants[j]) return false;
  return ((index_in<K>(list) < sizeof...(K)) && ...);
}
}  // namespace outlet_kinds_detail
static_assert(outlet_kinds_detail::traits_stated(OutletKinds{}),
              "every outlet kind states the traits OutletKind asks for");
static_assert(outlet_kinds_detail::each_once(OutletKinds{}),
              "every outlet kind is listed once, with a name and a variant of its own");

}  // namespace pelmora
