// Python face of baseflow: run_linear_reservoir and LinearReservoir.
#pragma once

#include "baseflow/linear_reservoir.hpp"
#include "binding/py_instance.hpp"

namespace pelmora::bind {
template <>
struct ClassInfo<LinearReservoir> {
  static constexpr bool has_setters = true;  // its instances count borrows
  static PyTypeObject* type();
};
}  // namespace pelmora::bind

namespace pelmora {
// Adds run_linear_reservoir, then LinearReservoir.
// Returns 0, or -1 with a Python exception set.
int init_baseflow(PyObject* module) noexcept;
}  // namespace pelmora
