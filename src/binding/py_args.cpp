// Matching positional and keyword arguments to parameters, with the messages
// users see for every mismatch.
#include "binding/py_args.hpp"

#include <cstring>
#include <string>

#include "core/errors.hpp"
#include "binding/py_errors.hpp"

namespace pelmora::bind {

namespace {

// "name()" for functions, "Owner.name()" for methods and constructors.
std::string display_name(const Signature& sig) {
  std::string name;
  if (sig.owner) {
    name += sig.owner;
    name += '.';
  }
  name += sig.name;
  name += "()";
  return name;
}

}  // namespace

void prefix_argument_error(const char* param) noexcept {
  PyObject* raised = PyErr_GetRaisedException();
  if (!raised) return;
  // Only a TypeError proper is reworded; subclasses and other classes pass.
  if (Py_TYPE(raised) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(raised);
    return;
  }
  PyObject* message = PyUnicode_FromFormat("argument '%s': %S", param, raised);
  PyObject* replaced = message ? PyObject_CallOneArg(PyExc_TypeError, message) : nullptr;
  Py_XDECREF(message);
  if (!replaced) {
    Py_DECREF(raised);
    return;  // the failure to build it is the error now
  }
  PyException_SetCause(replaced, PyException_GetCause(raised));  // steals the new reference
  Py_DECREF(raised);
  PyErr_SetRaisedException(replaced);
}

Args::Args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs_signed, PyObject* kwnames)
    : sig_(sig) {
  const std::size_t nargs = static_cast<std::size_t>(PyVectorcall_NARGS(nargs_signed));
  check_positional(nargs);
  for (std::size_t i = 0; i < nargs; ++i) slots_[i] = Ref::borrow(args[i]);
  if (kwnames) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k)
      fill_keyword(PyTuple_GET_ITEM(kwnames, k), args[nargs + static_cast<std::size_t>(k)], nargs);
  }
  check_missing();
}

Args::Args(const Signature& sig, PyObject* args, PyObject* kwargs) : sig_(sig) {
  const std::size_t nargs = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
  check_positional(nargs);
  for (std::size_t i = 0; i < nargs; ++i) slots_[i] = Ref::borrow(PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i)));
  if (kwargs) {
    // The keyword dict is the call's own; the lock keeps each step consistent anyway.
    CriticalSection lock(kwargs);
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) fill_keyword(key, value, nargs);
  }
  check_missing();
}

void Args::check_positional(std::size_t given) const {
  const std::size_t max = sig_.positional;
  if (given <= max) return;
  const std::string name = display_name(sig_);
  const char* verb = given == 1 ? "was" : "were";
  if (sig_.required == max)
    raise(PyExc_TypeError, require(PyUnicode_FromFormat("%s takes %zu positional arguments but %zu %s given",
                                                        name.c_str(), max, given, verb)));
  raise(PyExc_TypeError,
        require(PyUnicode_FromFormat("%s takes from %zu to %zu positional arguments but %zu %s given",
                                     name.c_str(), sig_.required, max, given, verb)));
}

void Args::fill_keyword(PyObject* key, PyObject* value, std::size_t nargs) {
  for (std::size_t i = 0; i < sig_.params.size(); ++i) {
    const char* param = sig_.params[i];
    if (!PyUnicode_Check(key) || !PyUnicode_EqualToUTF8AndSize(key, param, static_cast<Py_ssize_t>(std::strlen(param))))
      continue;
    if (i < nargs || slots_[i])
      raise(PyExc_TypeError, require(PyUnicode_FromFormat("%s got multiple values for argument '%s'",
                                                          display_name(sig_).c_str(), param)));
    slots_[i] = Ref::borrow(value);
    return;
  }
  raise(PyExc_TypeError, require(PyUnicode_FromFormat("%s got an unexpected keyword argument '%S'",
                                                      display_name(sig_).c_str(), key)));
}

void Args::check_missing() const {
  std::size_t count = 0;
  for (std::size_t i = 0; i < sig_.required; ++i)
    if (!slots_[i]) ++count;
  if (count == 0) return;
  // 'a'; 'a' and 'b'; 'a', 'b', and 'c'
  std::string list;
  std::size_t seen = 0;
  for (std::size_t i = 0; i < sig_.required; ++i) {
    if (slots_[i]) continue;
    if (seen > 0) {
      if (count == 2) list += " and ";
      else if (seen == count - 1) list += ", and ";
      else list += ", ";
    }
    list += '\'';
    list += sig_.params[i];
    list += '\'';
    ++seen;
  }
  raise(PyExc_TypeError, require(PyUnicode_FromFormat("%s missing %zu required positional %s: %s",
                                                      display_name(sig_).c_str(), count,
                                                      count == 1 ? "argument" : "arguments", list.c_str())));
}

}  // namespace pelmora::bind
