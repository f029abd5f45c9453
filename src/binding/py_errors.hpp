// The one translation point between C++ failures and Python exceptions, and
// the constructors of the library's common Python errors.
//
//   PyErrOccurred           -> the error already set
//   DomainError             -> ValueError
//   StateError              -> RuntimeError
//   std::bad_alloc,
//   std::length_error       -> MemoryError
//   InternalFault and any
//   other exception         -> the internal-fault exception, after a short
//                              report on standard error
#pragma once

#include <string>
#include <string_view>
#include <type_traits>

#include "core/errors.hpp"
#include "binding/py_object.hpp"

namespace pelmora::bind {

// True on the main interpreter, the only one the library runs in. The cached
// objects are shared by the whole process: the class objects (BoundClass),
// the internal-fault class (below), collections.abc.Sequence and the datetime
// C API (py_convert.cpp) and the warnings module (py_module.cpp). Each is made
// and handed out only by code behind this check: the modules' execution slots
// and `guard`, the edge of every bound callable and slot.
inline bool on_main_interpreter() noexcept { return PyInterpreterState_Get() == PyInterpreterState_Main(); }

// Sets RuntimeError for a library object reached from another interpreter
// (which could only have been smuggled there); touches no cached object.
void set_other_interpreter_error() noexcept;

// Sets the Python error for the exception currently being handled. Only call
// from inside a catch block.
void set_error_from_current_exception() noexcept;

// Runs `body` (returning a Ref or PyObject* new reference) and turns any
// failure into a set Python error and a NULL return. Outside the main
// interpreter nothing runs.
template <class F>
PyObject* guard(F&& body) noexcept {
  if (!on_main_interpreter()) {
    set_other_interpreter_error();
    return nullptr;
  }
  try {
    if constexpr (std::is_same_v<decltype(body()), Ref>) {
      return body().release();
    } else {
      return body();
    }
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

// The same for slots returning a status: 0 on success, -1 with an error set.
template <class F>
int guard_status(F&& body) noexcept {
  if (!on_main_interpreter()) {
    set_other_interpreter_error();
    return -1;
  }
  try {
    body();
    return 0;
  } catch (...) {
    set_error_from_current_exception();
    return -1;
  }
}

// A Python str from UTF-8 bytes, NULs kept.
Ref make_str(std::string_view text);

// Raise `type(message)` now.
[[noreturn]] void raise(PyObject* exc_type, std::string_view message);
[[noreturn]] void raise(PyObject* exc_type, Ref message);

// The cast error "'{type}' object is not an instance of '{target}'" ("'None'
// is not an instance of '{target}'" for None), as a TypeError.
[[noreturn]] void raise_cast_error(PyObject* obj, PyTypeObject* target);
[[noreturn]] void raise_cast_error(PyObject* obj, std::string_view target_qualname);
// Just the message of the cast error.
Ref cast_error_message(PyObject* obj, std::string_view target_qualname);

// The class "pyo3_runtime.PanicException", created once per process.
PyObject* internal_fault_type() noexcept;

}  // namespace pelmora::bind
