// Python face of rainfall loss: DeficitConstantResult and run_deficit_and_constant.
#pragma once

#include "binding/py_instance.hpp"
#include "rainfall_loss/deficit_and_constant.hpp"

namespace pelmora::bind {
template <>
struct ClassInfo<DeficitConstant> {
  static constexpr bool dated = true;  // at the rainfall's start
  static PyTypeObject* type();
};
}  // namespace pelmora::bind

namespace pelmora {
// Adds DeficitConstantResult, then run_deficit_and_constant.
// Returns 0, or -1 with a Python exception set.
int init_loss(PyObject* module) noexcept;
}  // namespace pelmora
