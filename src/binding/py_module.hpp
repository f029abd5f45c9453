// Building the module tree: submodules, and attaching classes, functions and
// submodules to a parent while keeping its __all__ in registration order.
#pragma once

#include "binding/py_object.hpp"

namespace pelmora::bind {

// The first step of every execution slot: the library's classes and cached
// objects belong to the main interpreter, so a module being built in any other
// interpreter (legacy, isolated, own GIL) fails its import with ImportError:
// returns -1 with that error set, or 0 on the main interpreter.
int require_main_interpreter(PyObject* module) noexcept;

// A plain module named `name` (bare, no dots), declared free of the GIL.
Ref new_submodule(const char* name);

void add_class(PyObject* module, PyTypeObject* type);
// The function is bound to `module`, and its __module__ is the module's name.
void add_function(PyObject* module, PyMethodDef* def);
void add_submodule(PyObject* parent, PyObject* child);

// Issues a UserWarning through warnings.warn, looked up on the warnings
// module at each call (so a replaced warn is honoured; the module itself is
// imported once); a filter that turns it into an error makes this throw with
// that error set.
void warn(const char* message);

}  // namespace pelmora::bind
