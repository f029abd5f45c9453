// Python face of this area: its registration routine.
#pragma once

#include "binding/py_object.hpp"

namespace pelmora {
// Fills `module` with this area's classes and functions, in order.
// Returns 0, or -1 with a Python exception set.
int init_metrics(PyObject* module) noexcept;
}  // namespace pelmora
