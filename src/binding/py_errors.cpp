// Exception mapping and the internal-fault exception class.
#include "binding/py_errors.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <stdexcept>

namespace pelmora::bind {

namespace {

constexpr const char* kFaultDoc =
    "The exception raised when native code called from Python hits an internal fault.\n\n"
    "Like SystemExit, this exception derives from BaseException so that it will\n"
    "typically propagate all the way up the stack and cause the Python interpreter\n"
    "to exit.";

constexpr const char* kGenericFault = "internal error: unexpected native exception";

// Shorten a compile path to the part under src/ for the report.
const char* short_path(const char* file) {
  std::string_view path(file);
  auto pos = path.rfind("src/");
  return pos == std::string_view::npos ? file : file + pos;
}

void raise_internal_fault(std::string_view message, const char* file, unsigned line,
                          unsigned column) noexcept {
  // The report comes first, at the moment of the fault.
  std::fprintf(stderr, "pelmora panicked at %s:%u:%u:\n%.*s\n", short_path(file), line, column,
               static_cast<int>(message.size()), message.data());
  std::fflush(stderr);
  PyObject* type = internal_fault_type();
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                        "replace");
  if (!text) return;  // MemoryError is set
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

void set_str_error(PyObject* type, const std::string& message) noexcept {
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                        "replace");
  if (!text) return;
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

}  // namespace

void set_other_interpreter_error() noexcept {
  // A static exception type and a fresh string of that interpreter's own.
  PyErr_SetString(PyExc_RuntimeError, "pelmora objects can only be used in the main interpreter");
}

void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const PyErrOccurred&) {
    if (!PyErr_Occurred())
      raise_internal_fault("error return without exception set", __FILE__, __LINE__, 0);
  } catch (const DomainError& e) {
    set_str_error(PyExc_ValueError, e.message());
  } catch (const StateError& e) {
    set_str_error(PyExc_RuntimeError, e.message());
  } catch (const InternalFault& e) {
    raise_internal_fault(e.message(), e.where().file_name(), e.where().line(),
                         e.where().column());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_internal_fault(e.what(), __FILE__, __LINE__, 0);
  } catch (...) {
    raise_internal_fault(kGenericFault, __FILE__, __LINE__, 0);
  }
}

Ref make_str(std::string_view text) {
  return require(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

void raise(PyObject* exc_type, std::string_view message) { raise(exc_type, make_str(message)); }

void raise(PyObject* exc_type, Ref message) {
  PyErr_SetObject(exc_type, message.get());
  throw_error_set();
}

Ref cast_error_message(PyObject* obj, std::string_view target_qualname) {
  Ref target = make_str(target_qualname);
  if (obj == Py_None)
    return require(PyUnicode_FromFormat("'None' is not an instance of '%U'", target.get()));
  Ref qualname = require(PyType_GetQualName(Py_TYPE(obj)));
  return require(PyUnicode_FromFormat("'%U' object is not an instance of '%U'", qualname.get(),
                                      target.get()));
}

void raise_cast_error(PyObject* obj, std::string_view target_qualname) {
  raise(PyExc_TypeError, cast_error_message(obj, target_qualname));
}

void raise_cast_error(PyObject* obj, PyTypeObject* target) {
  Ref qualname = require(PyType_GetQualName(target));
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(qualname.get(), &size);
  if (!utf8) throw_error_set();
  raise_cast_error(obj, std::string_view(utf8, static_cast<std::size_t>(size)));
}

PyObject* internal_fault_type() noexcept {
  // Created once; a thread that loses the race drops its own copy.
  static std::atomic<PyObject*> cached{nullptr};
  PyObject* type = cached.load(std::memory_order_acquire);
  if (type) return type;
  // Creating the class must not disturb an error that is being raised.
  PyObject* pending = PyErr_GetRaisedException();
  PyObject* made =
      PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kFaultDoc, PyExc_BaseException, nullptr);
  if (!made) {
    // Without the class no fault could ever be reported: stop here.
    PyErr_Print();
    std::fprintf(stderr, "Failed to initialize new exception type.\n");
    std::abort();
  }
  PyErr_SetRaisedException(pending);
  PyObject* expected = nullptr;
  if (!cached.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
    Py_DECREF(made);
    return expected;
  }
  return made;
}

}  // namespace pelmora::bind
