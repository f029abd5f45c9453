// Python face of the rating curves and the outlet classes.
#pragma once

#include <cstddef>

#include "binding/py_instance.hpp"
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

// The Python class of the outlet kind at `index` in the outlet list.
PyTypeObject* outlet_type(std::size_t index);

// Every kind of the outlet list has its class; py_reservoir_utils.cpp pairs
// each kind with it.
template <class K>
  requires is_outlet_kind<K>
struct ClassInfo<K> {
  static PyTypeObject* type() { return outlet_type(outlet_index<K>); }
};
}  // namespace pelmora::bind

namespace pelmora {
// Adds the two curves and the outlet classes to `module` in their
// registration order.
void register_reservoir_utils(PyObject* module);

// An outlet object as the union, trying the variants in their order; the
// enum-extraction TypeError names them all when none matches.
DischargeInfo to_discharge_info(PyObject* obj);
}  // namespace pelmora
