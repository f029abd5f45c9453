// Building the module tree: submodules, and attaching classes, functions and
// submodules to a parent while keeping its __all__ in registration order.
#pragma once

#include "binding/py_object.hpp"

namespace pelmora::bind {

// A plain module named `name` (bare, no dots), declared free of the GIL.
Ref new_submodule(const char* name);

void add_class(PyObject* module, PyTypeObject* type);
// The function is bound to `module`, and its __module__ is the module's name.
void add_function(PyObject* module, PyMethodDef* def);
void add_submodule(PyObject* parent, PyObject* child);

// Issues a UserWarning through the warnings module; a filter that turns it
// into an error makes this throw with that error set.
void warn(const char* message);

}  // namespace pelmora::bind
