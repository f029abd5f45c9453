// Python face of the rating curves and the four outlet classes.
#pragma once

#include "binding/py_class.hpp"
#include "reservoir_routing/level_pool.hpp"

namespace pelmora::bind {
template <>
struct ClassInfo<ElevationStorage> {
  static PyTypeObject* type();
};
template <>
struct ClassInfo<ElevationDischarge> {
  static PyTypeObject* type();
};
template <>
struct ClassInfo<ConstantDischargeInfo> {
  static PyTypeObject* type();
};
template <>
struct ClassInfo<SpecifiedDischargeInfo> {
  static PyTypeObject* type();
};
template <>
struct ClassInfo<ControlledDischargeInfo> {
  static PyTypeObject* type();
};
template <>
struct ClassInfo<UnControlledDischargeInfo> {
  static PyTypeObject* type();
};
}  // namespace pelmora::bind

namespace pelmora {
// Adds the six classes to `module` in their registration order.
void register_reservoir_utils(PyObject* module);

// An outlet object as the union, trying the variants in their order; the
// enum-extraction TypeError names all four when none matches.
DischargeInfo to_discharge_info(PyObject* obj);
}  // namespace pelmora
