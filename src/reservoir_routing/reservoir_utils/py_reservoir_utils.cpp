// Rating curves and outlets as Python classes.
#include "reservoir_routing/reservoir_utils/py_reservoir_utils.hpp"

#include <array>
#include <cstddef>
#include <optional>
#include <string>

#include "binding/py_args.hpp"
#include "binding/py_borrow.hpp"
#include "binding/py_class.hpp"
#include "binding/py_class_pickle.hpp"
#include "binding/py_convert.hpp"
#include "binding/py_errors.hpp"
#include "binding/py_module.hpp"
#include "binding/py_pickle.hpp"
#include "binding/py_property.hpp"
#include "utils/py_time_series.hpp"

namespace pelmora {

using namespace bind;

namespace {

// ---- ElevationStorage ---------------------------------------------------

constexpr const char* kStorageParams[] = {"elevation", "storage"};
constexpr Signature kStorageNew{"__new__", "ElevationStorage", kStorageParams, 2};
constexpr const char* kElevationParam[] = {"elevation"};
constexpr Signature kGetStorage{"get_storage", "ElevationStorage", kElevationParam, 1};
constexpr const char* kStorageParam[] = {"storage"};
constexpr Signature kGetElevation{"get_elevation", "ElevationStorage", kStorageParam, 1};

// The constructor's steps; a pickle's payload reads its vectors with
// doubles_from_payload.
ElevationStorage storage_from_args(PyObject* args, PyObject* kwargs,
                                   std::vector<double> (*to_values)(PyObject*) = to_vector) {
  Args a(kStorageNew, args, kwargs);
  std::vector<double> elevation = a.get(0, to_values);
  std::vector<double> storage = a.get(1, to_values);
  return make_elevation_storage(std::move(elevation), std::move(storage));
}

PyObject* storage_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&] { return create_instance(type, storage_from_args(args, kwargs)); });
}

Ref storage_payload(PyObject*, const ElevationStorage& c, int protocol) {
  return make_tuple(doubles_payload(c.elevation, protocol), doubles_payload(c.storage, protocol));
}
ElevationStorage storage_rebuild(PyObject* args) { return storage_from_args(args, nullptr, doubles_from_payload); }

template <const Signature& Sig, double (ElevationStorage::*Lookup)(double) const>
PyObject* storage_lookup(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    Args a(Sig, argv, nargs, kwnames);
    const double value = a.get(0, to_double);
    const ElevationStorage& curve = value_of<ElevationStorage>(self);  // never changes after construction
    return from_double((curve.*Lookup)(value));
  });
}

Ref read_storage_elevation(const ElevationStorage& c) { return from_vector(c.elevation); }
Ref read_storage_storage(const ElevationStorage& c) { return from_vector(c.storage); }

PyGetSetDef storage_getset[] = {
    {"elevation", getter<ElevationStorage, read_storage_elevation>, nullptr,
     "The curve's elevations, a new list of floats on every read.", nullptr},
    {"storage", getter<ElevationStorage, read_storage_storage>, nullptr,
     "The storage at each elevation, a new list of floats on every read.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef storage_methods[] = {
    {"get_storage",
     fastcall_method(storage_lookup<kGetStorage, &ElevationStorage::get_storage>),
     METH_FASTCALL | METH_KEYWORDS,
     "get_storage($self, elevation)\n--\n\n"
     "Interpolates the storage corresponding to a given elevation.\n\n"
     "Parameters\n"
     "----------\n"
     "elevation : float\n"
     "    Water-surface elevation to look up, in the curve's elevation units.\n\n"
     "Returns\n"
     "-------\n"
     "float\n"
     "    The storage, interpolated linearly between the curve's points, in\n"
     "    the curve's storage units.\n\n"
     "Raises\n"
     "------\n"
     "ValueError\n"
     "    When `elevation` is outside the curve (below its first or above its\n"
     "    last elevation) or NaN, or when the curve has fewer than two points."},
    {"get_elevation",
     fastcall_method(storage_lookup<kGetElevation, &ElevationStorage::get_elevation>),
     METH_FASTCALL | METH_KEYWORDS,
     "get_elevation($self, storage)\n--\n\n"
     "Interpolates the elevation corresponding to a given storage value.\n\n"
     "Parameters\n"
     "----------\n"
     "storage : float\n"
     "    Storage to look up, in the curve's storage units.\n\n"
     "Returns\n"
     "-------\n"
     "float\n"
     "    The elevation, interpolated linearly between the curve's points.\n\n"
     "Raises\n"
     "------\n"
     "ValueError\n"
     "    When `storage` is outside the curve (below its first or above its\n"
     "    last storage) or NaN, or when the curve has fewer than two points."},
    {nullptr, nullptr, 0, nullptr},
};

BoundClass<ElevationStorage> storage_class({
    .name = "ElevationStorage",
    .doc = "ElevationStorage(elevation, storage)\n--\n\n"
    "Elevation-storage rating curve for a reservoir.\n\n"
    "Stores paired elevation and storage values and interpolates linearly in\n"
    "both directions. Level pool routing integrates flows in cfs over seconds,\n"
    "so there the storage must be in cubic feet.\n\n"
    "Parameters\n"
    "----------\n"
    "elevation : sequence of float\n"
    "    Elevations (for example feet), strictly increasing.\n"
    "storage : sequence of float\n"
    "    Storage at each elevation (cubic feet for level pool routing),\n"
    "    strictly increasing, as many values as `elevation`.\n\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    When the lengths differ, or when either sequence is not strictly\n"
    "    increasing (a repeat, a decrease or a NaN). A curve of fewer than two\n"
    "    points is accepted, but every lookup on it raises ValueError.",
    .subclassable = true,
    .tp_new = storage_new,
    .getset = storage_getset,
    .methods = storage_methods,
}, pickled<ElevationStorage, storage_payload, storage_rebuild>());

// ---- ElevationDischarge -------------------------------------------------

constexpr const char* kDischargeCurveParams[] = {"elevation", "discharge"};
constexpr Signature kDischargeCurveNew{"__new__", "ElevationDischarge", kDischargeCurveParams, 2};

ElevationDischarge discharge_curve_from_args(PyObject* args, PyObject* kwargs,
                                             std::vector<double> (*to_values)(PyObject*) = to_vector) {
  Args a(kDischargeCurveNew, args, kwargs);
  std::vector<double> elevation = a.get(0, to_values);
  std::vector<double> discharge = a.get(1, to_values);
  return make_elevation_discharge(std::move(elevation), std::move(discharge));
}

PyObject* discharge_curve_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&] { return create_instance(type, discharge_curve_from_args(args, kwargs)); });
}

Ref discharge_curve_payload(PyObject*, const ElevationDischarge& c, int protocol) {
  return make_tuple(doubles_payload(c.elevation, protocol), doubles_payload(c.discharge, protocol));
}
ElevationDischarge discharge_curve_rebuild(PyObject* args) {
  return discharge_curve_from_args(args, nullptr, doubles_from_payload);
}

Ref read_curve_elevation(const ElevationDischarge& c) { return from_vector(c.elevation); }
Ref read_curve_discharge(const ElevationDischarge& c) { return from_vector(c.discharge); }

PyGetSetDef discharge_curve_getset[] = {
    {"elevation", getter<ElevationDischarge, read_curve_elevation>, nullptr,
     "The curve's elevations, a new list of floats on every read.", nullptr},
    {"discharge", getter<ElevationDischarge, read_curve_discharge>, nullptr,
     "The discharge at each elevation (cfs), a new list of floats on every read.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

BoundClass<ElevationDischarge> discharge_curve_class({
    .name = "ElevationDischarge",
    .doc = "ElevationDischarge(elevation, discharge)\n--\n\n"
    "Elevation-discharge rating curve for a reservoir outlet.\n\n"
    "Stores paired elevation and discharge values; ControlledDischargeInfo and\n"
    "UnControlledDischargeInfo look up their flow in it by linear interpolation.\n"
    "It has no lookup method of its own.\n\n"
    "Parameters\n"
    "----------\n"
    "elevation : sequence of float\n"
    "    Elevations, strictly increasing, at least two, on the same datum as\n"
    "    the elevation-storage curve (or shifted by an outlet's offset).\n"
    "discharge : sequence of float\n"
    "    Discharge at each elevation (cfs), non-decreasing (repeats allowed),\n"
    "    as many values as `elevation`.\n\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    When the lengths differ, when there are fewer than two points, when\n"
    "    `elevation` is not strictly increasing, or when `discharge` decreases\n"
    "    (NaN counts as out of order), tested in that order.",
    .subclassable = true,
    .tp_new = discharge_curve_new,
    .getset = discharge_curve_getset,
}, pickled<ElevationDischarge, discharge_curve_payload, discharge_curve_rebuild>());

// ---- Outlets ------------------------------------------------------------

// The Python side of each outlet kind, stated below its class: the class, and
// its place among the outlets in the module (after the two curves), which is
// not the order the kinds are tried in. Conversion and registration are
// generated from these for every kind of the outlet list.
template <class K>
struct PyOutlet;

template <class Outlet, std::optional<double> Outlet::*Field>
Ref read_optional(const Outlet& o) {
  return from_optional_double(o.*Field);
}

constexpr const char* kConstantParams[] = {"discharge", "minimum_elevation", "maximum_elevation"};
constexpr Signature kConstantNew{"__new__", "ConstantDischargeInfo", kConstantParams, 1};

ConstantDischargeInfo constant_from_args(PyObject* args, PyObject* kwargs) {
  Args a(kConstantNew, args, kwargs);
  const double discharge = a.get(0, to_double);
  const auto minimum = a.get(1, to_optional_double);
  const auto maximum = a.get(2, to_optional_double);
  return ConstantDischargeInfo(discharge, minimum, maximum);
}

PyObject* constant_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&] { return create_instance(type, constant_from_args(args, kwargs)); });
}

Ref constant_payload(PyObject*, const ConstantDischargeInfo& o, int) {
  return make_tuple(from_double(o.discharge), from_optional_double(o.minimum_elevation),
                    from_optional_double(o.maximum_elevation));
}
ConstantDischargeInfo constant_rebuild(PyObject* args) { return constant_from_args(args, nullptr); }

Ref read_constant_discharge(const ConstantDischargeInfo& o) { return from_double(o.discharge); }

PyGetSetDef constant_getset[] = {
    {"discharge", getter<ConstantDischargeInfo, read_constant_discharge>, nullptr,
     "Constant discharge rate (cfs).", nullptr},
    {"minimum_elevation",
     getter<ConstantDischargeInfo, read_optional<ConstantDischargeInfo, &ConstantDischargeInfo::minimum_elevation>>,
     nullptr, "Elevation below which no discharge occurs.", nullptr},
    {"maximum_elevation",
     getter<ConstantDischargeInfo, read_optional<ConstantDischargeInfo, &ConstantDischargeInfo::maximum_elevation>>,
     nullptr, "Elevation above which no discharge occurs.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

BoundClass<ConstantDischargeInfo> constant_class({
    .name = "ConstantDischargeInfo",
    .doc = "ConstantDischargeInfo(discharge, minimum_elevation=None, maximum_elevation=None)\n--\n\n"
    "Constant-rate discharge outlet.\n\n"
    "Releases a fixed flow rate at every time step, optionally gated by\n"
    "elevation bounds. When the reservoir elevation is outside the specified\n"
    "range, the outlet releases zero flow.\n\n"
    "Parameters\n"
    "----------\n"
    "discharge : float\n"
    "    Release rate (cfs), used as given (its sign is not checked).\n"
    "minimum_elevation : float or None, default None\n"
    "    Below this elevation the outlet releases nothing.\n"
    "maximum_elevation : float or None, default None\n"
    "    Above this elevation the outlet releases nothing. Both bounds\n"
    "    themselves release.\n",
    .subclassable = true,
    .tp_new = constant_new,
    .getset = constant_getset,
}, pickled<ConstantDischargeInfo, constant_payload, constant_rebuild>());
template <>
struct PyOutlet<ConstantDischargeInfo> {
  static PyTypeObject* type() { return constant_class.type(); }
  static constexpr std::size_t module_position = 3;
};

constexpr const char* kSpecifiedParams[] = {"discharge", "minimum_elevation", "maximum_elevation",
                                            "maximum_release"};
constexpr Signature kSpecifiedNew{"__new__", "SpecifiedDischargeInfo", kSpecifiedParams, 1};

SpecifiedDischargeInfo specified_from_args(PyObject* args, PyObject* kwargs) {
  Args a(kSpecifiedNew, args, kwargs);
  ContinuousSeries discharge = a.get(0, to_value<ContinuousSeries>);
  const auto minimum = a.get(1, to_optional_double);
  const auto maximum = a.get(2, to_optional_double);
  const auto release = a.get(3, to_optional_double);
  return SpecifiedDischargeInfo(std::move(discharge), minimum, maximum, release);
}

PyObject* specified_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&] { return create_instance(type, specified_from_args(args, kwargs)); });
}

Ref specified_payload(PyObject*, const SpecifiedDischargeInfo& o, int) {
  return make_tuple(wrap(o.discharge), from_optional_double(o.minimum_elevation),
                    from_optional_double(o.maximum_elevation), from_optional_double(o.maximum_release));
}
SpecifiedDischargeInfo specified_rebuild(PyObject* args) { return specified_from_args(args, nullptr); }

Ref read_specified_discharge(const SpecifiedDischargeInfo& o) { return wrap(o.discharge); }

PyGetSetDef specified_getset[] = {
    {"discharge", getter<SpecifiedDischargeInfo, read_specified_discharge>, nullptr,
     "Time series of prescribed outflow values (cfs), a new copy on every read.", nullptr},
    {"minimum_elevation",
     getter<SpecifiedDischargeInfo, read_optional<SpecifiedDischargeInfo, &SpecifiedDischargeInfo::minimum_elevation>>,
     nullptr, "Elevation below which no discharge occurs, or None.", nullptr},
    {"maximum_elevation",
     getter<SpecifiedDischargeInfo, read_optional<SpecifiedDischargeInfo, &SpecifiedDischargeInfo::maximum_elevation>>,
     nullptr, "Elevation above which no discharge occurs, or None.", nullptr},
    {"maximum_release",
     getter<SpecifiedDischargeInfo, read_optional<SpecifiedDischargeInfo, &SpecifiedDischargeInfo::maximum_release>>,
     nullptr, "Cap on the released discharge (cfs), or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

BoundClass<SpecifiedDischargeInfo> specified_class({
    .name = "SpecifiedDischargeInfo",
    .doc = "SpecifiedDischargeInfo(discharge, minimum_elevation=None, maximum_elevation=None, maximum_release=None)\n--\n\n"
    "Time-varying specified discharge outlet.\n\n"
    "Discharge is read directly from a `ContinuousTimeSeries` at each simulation\n"
    "time step, optionally gated by elevation bounds and a maximum release cap.\n\n"
    "Parameters\n"
    "----------\n"
    "discharge : ContinuousTimeSeries\n"
    "    Prescribed release (cfs); its value i applies at i * time_step\n"
    "    seconds into the simulation, interpolated linearly in between. Its\n"
    "    kind is not examined.\n"
    "minimum_elevation : float or None, default None\n"
    "    Below this elevation the outlet releases nothing.\n"
    "maximum_elevation : float or None, default None\n"
    "    Above this elevation the outlet releases nothing. Both bounds\n"
    "    themselves release.\n"    "maximum_release : float or None, default None\n"
    "    Cap on the released discharge (cfs); None or NaN caps nothing.\n\n"
    "Notes\n"
    "-----\n"
    "Level pool routing raises ValueError when the simulation runs past the\n"
    "end of the series while the outlet is open.",
    .subclassable = true,
    .tp_new = specified_new,
    .getset = specified_getset,
}, pickled<SpecifiedDischargeInfo, specified_payload, specified_rebuild>());
template <>
struct PyOutlet<SpecifiedDischargeInfo> {
  static PyTypeObject* type() { return specified_class.type(); }
  static constexpr std::size_t module_position = 2;
};

constexpr const char* kControlledParams[] = {"elevation_discharge", "minimum_elevation", "maximum_elevation",
                                             "maximum_release"};
constexpr Signature kControlledNew{"__new__", "ControlledDischargeInfo", kControlledParams, 1};

ControlledDischargeInfo controlled_from_args(PyObject* args, PyObject* kwargs) {
  Args a(kControlledNew, args, kwargs);
  ElevationDischarge curve = a.get(0, to_value<ElevationDischarge>);
  const auto minimum = a.get(1, to_optional_double);
  const auto maximum = a.get(2, to_optional_double);
  const auto release = a.get(3, to_optional_double);
  return make_controlled_discharge(std::move(curve), minimum, maximum, release);
}

PyObject* controlled_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&] { return create_instance(type, controlled_from_args(args, kwargs)); });
}

// The stored gate, already fitted to the curve, fits it again unchanged.
Ref controlled_payload(PyObject*, const ControlledDischargeInfo& o, int) {
  return make_tuple(wrap(o.elevation_discharge), from_optional_double(o.minimum_elevation),
                    from_optional_double(o.maximum_elevation), from_optional_double(o.maximum_release));
}
ControlledDischargeInfo controlled_rebuild(PyObject* args) { return controlled_from_args(args, nullptr); }

Ref read_controlled_curve(const ControlledDischargeInfo& o) { return wrap(o.elevation_discharge); }

PyGetSetDef controlled_getset[] = {
    {"elevation_discharge", getter<ControlledDischargeInfo, read_controlled_curve>, nullptr,
     "Rating curve mapping elevation to discharge.", nullptr},
    {"minimum_elevation",
     getter<ControlledDischargeInfo,
            read_optional<ControlledDischargeInfo, &ControlledDischargeInfo::minimum_elevation>>,
     nullptr, "Elevation below which no discharge occurs.", nullptr},
    {"maximum_elevation",
     getter<ControlledDischargeInfo,
            read_optional<ControlledDischargeInfo, &ControlledDischargeInfo::maximum_elevation>>,
     nullptr, "Elevation above which no discharge occurs.", nullptr},
    {"maximum_release",
     getter<ControlledDischargeInfo, read_optional<ControlledDischargeInfo, &ControlledDischargeInfo::maximum_release>>,
     nullptr, "Cap on the released discharge (cfs), or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

BoundClass<ControlledDischargeInfo> controlled_class({
    .name = "ControlledDischargeInfo",
    .doc = "ControlledDischargeInfo(elevation_discharge, minimum_elevation=None, maximum_elevation=None, "
    "maximum_release=None)\n--\n\n"
    "Controlled release outlet (e.g., gate, valve, conduit).\n\n"
    "Discharge is determined by an elevation-discharge rating curve and can be\n"
    "bounded by minimum/maximum elevation gates and a maximum release cap.\n"
    "When the reservoir elevation is below `minimum_elevation` or above\n"
    "`maximum_elevation`, the outlet releases zero flow.\n\n"
    "Parameters\n"
    "----------\n"
    "elevation_discharge : ElevationDischarge\n"
    "    Rating curve of the structure (discharge in cfs); a copy is kept.\n"
    "minimum_elevation : float or None, default None\n"
    "    Below this elevation the outlet releases nothing. It is stored as the\n"
    "    curve's lowest elevation when None, NaN or below it, so it never reads\n"
    "    None.\n"
    "maximum_elevation : float or None, default None\n"
    "    Above this elevation the outlet releases nothing. A value above the\n"
    "    curve's highest elevation (or NaN) is stored as that elevation. Both\n"
    "    bounds themselves release.\n"
    "maximum_release : float or None, default None\n"
    "    Cap on the released discharge (cfs); None or NaN caps nothing.\n\n"
    "Notes\n"
    "-----\n"
    "Without `maximum_elevation`, level pool routing raises ValueError when the\n"
    "reservoir rises above the curve's highest elevation.",
    .subclassable = true,
    .tp_new = controlled_new,
    .getset = controlled_getset,
}, pickled<ControlledDischargeInfo, controlled_payload, controlled_rebuild>());
template <>
struct PyOutlet<ControlledDischargeInfo> {
  static PyTypeObject* type() { return controlled_class.type(); }
  static constexpr std::size_t module_position = 0;
};

constexpr const char* kUncontrolledParams[] = {"elevation_discharge", "elevation_offset"};
constexpr Signature kUncontrolledNew{"__new__", "UnControlledDischargeInfo", kUncontrolledParams, 1};

UnControlledDischargeInfo uncontrolled_from_args(PyObject* args, PyObject* kwargs) {
  Args a(kUncontrolledNew, args, kwargs);
  ElevationDischarge curve = a.get(0, to_value<ElevationDischarge>);
  const auto offset = a.get(1, to_optional_double);
  return UnControlledDischargeInfo(std::move(curve), offset);
}

PyObject* uncontrolled_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&] { return create_instance(type, uncontrolled_from_args(args, kwargs)); });
}

Ref uncontrolled_payload(PyObject*, const UnControlledDischargeInfo& o, int) {
  return make_tuple(wrap(o.elevation_discharge), from_optional_double(o.elevation_offset));
}
UnControlledDischargeInfo uncontrolled_rebuild(PyObject* args) { return uncontrolled_from_args(args, nullptr); }

Ref read_uncontrolled_curve(const UnControlledDischargeInfo& o) { return wrap(o.elevation_discharge); }

PyGetSetDef uncontrolled_getset[] = {
    {"elevation_discharge", getter<UnControlledDischargeInfo, read_uncontrolled_curve>, nullptr,
     "Rating curve mapping elevation to discharge.", nullptr},
    {"elevation_offset",
     getter<UnControlledDischargeInfo,
            read_optional<UnControlledDischargeInfo, &UnControlledDischargeInfo::elevation_offset>>,
     nullptr, "Additive offset applied to the reservoir elevation before curve lookup, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

BoundClass<UnControlledDischargeInfo> uncontrolled_class({
    .name = "UnControlledDischargeInfo",
    .doc = "UnControlledDischargeInfo(elevation_discharge, elevation_offset=None)\n--\n\n"
    "Uncontrolled spillway outlet.\n\n"
    "Discharge follows an elevation-discharge rating curve without operator\n"
    "control. An optional `elevation_offset` shifts the effective reservoir\n"
    "elevation before the rating-curve lookup \u2014 useful for modeling a weir crest\n"
    "that sits at a different datum than the storage curve.\n\n"
    "Zero discharge is returned when the (offset-adjusted) elevation is below\n"
    "the first entry in the rating curve.\n\n"
    "Parameters\n"
    "----------\n"
    "elevation_discharge : ElevationDischarge\n"
    "    Rating curve of the spillway (discharge in cfs); a copy is kept.\n"
    "elevation_offset : float or None, default None\n"
    "    Added to the reservoir elevation before the lookup; None adds nothing.\n\n"
    "Notes\n"
    "-----\n"
    "Level pool routing raises ValueError when the offset-adjusted elevation\n"
    "rises above the curve's highest elevation.",
    .subclassable = true,
    .tp_new = uncontrolled_new,
    .getset = uncontrolled_getset,
}, pickled<UnControlledDischargeInfo, uncontrolled_payload, uncontrolled_rebuild>());
template <>
struct PyOutlet<UnControlledDischargeInfo> {
  static PyTypeObject* type() { return uncontrolled_class.type(); }
  static constexpr std::size_t module_position = 1;
};

// One line of the enum-extraction error, for a variant that did not match.
void append_variant_failure(Ref& message, PyObject* obj, const char* variant, const char* class_name) {
  Ref cast = cast_error_message(obj, class_name);
  Ref line = require(PyUnicode_FromFormat(
      "\n- variant %s (%s): TypeError: failed to extract field DischargeInfo::%s.0, caused by TypeError: %U",
      variant, variant, variant, cast.get()));
  message = require(PyUnicode_Concat(message.get(), line.get()));
}

// The outlet classes in the list's order, and in the module's.
using OutletTypes = std::array<PyTypeObject* (*)(), OutletKinds::size>;
template <class... K>
constexpr OutletTypes listed_types(TypeList<K...>) {
  return {&PyOutlet<K>::type...};
}
template <class... K>
constexpr std::optional<OutletTypes> module_types(TypeList<K...>) {
  OutletTypes types{};
  for (auto [position, type] : {std::pair{PyOutlet<K>::module_position, &PyOutlet<K>::type}...}) {
    if (position >= types.size() || types[position]) return std::nullopt;
    types[position] = type;
  }
  return types;
}
constexpr OutletTypes kListedTypes = listed_types(OutletKinds{});
static_assert(module_types(OutletKinds{}), "each outlet class has a module position of its own");
constexpr OutletTypes kModuleTypes = *module_types(OutletKinds{});

// The first kind `obj` is an instance of, in the list's order.
template <class... K>
std::optional<DischargeInfo> first_matching(PyObject* obj, TypeList<K...>) {
  std::optional<DischargeInfo> found;
  (void)((is_instance<K>(obj) && (found.emplace(to_value<K>(obj)), true)) || ...);
  return found;
}

template <class... K>
[[noreturn]] void refuse_outlet(PyObject* obj, TypeList<K...>) {
  std::string head = "failed to extract enum DischargeInfo ('";
  const char* separator = "";
  ((head += separator, head += K::variant, separator = " | "), ...);
  head += "')";
  Ref message = require(PyUnicode_FromStringAndSize(head.data(), static_cast<Py_ssize_t>(head.size())));
  (append_variant_failure(message, obj, K::variant.data(), K::name.data()), ...);
  raise(PyExc_TypeError, std::move(message));
}

}  // namespace

DischargeInfo to_discharge_info(PyObject* obj) {
  if (std::optional<DischargeInfo> info = first_matching(obj, OutletKinds{})) return std::move(*info);
  refuse_outlet(obj, OutletKinds{});
}

namespace {
// What the module holds, in the order of its __all__: the two curves, then
// the outlet classes at their module positions.
constexpr auto kMembers = [] {
  std::array<Member, 2 + kModuleTypes.size()> members{
      class_member(&ClassInfo<ElevationDischarge>::type),
      class_member(&ClassInfo<ElevationStorage>::type),
  };
  for (std::size_t i = 0; i < kModuleTypes.size(); ++i) members[2 + i] = class_member(kModuleTypes[i]);
  return members;
}();
}  // namespace

void register_reservoir_utils(PyObject* module) { add_members(module, kMembers); }

namespace bind {
PyTypeObject* ClassInfo<ElevationStorage>::type() { return storage_class.type(); }
PyTypeObject* ClassInfo<ElevationDischarge>::type() { return discharge_curve_class.type(); }
PyTypeObject* outlet_type(std::size_t index) { return kListedTypes[index](); }
}  // namespace bind

}  // namespace pelmora
