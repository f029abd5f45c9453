// Registration helpers shared by every area's init routine.
#include "binding/py_module.hpp"

#include <atomic>

#include "core/errors.hpp"
#include "binding/py_convert.hpp"
#include "binding/py_errors.hpp"

namespace pelmora::bind {

namespace {

// The module's __all__, created empty when missing.
Ref all_list(PyObject* module) {
  PyObject* found = nullptr;
  if (PyObject_GetOptionalAttrString(module, "__all__", &found) < 0) throw_error_set();
  Ref all = Ref::steal(found);
  if (!all) {
    all = require(PyList_New(0));
    require_ok(PyObject_SetAttrString(module, "__all__", all.get()));
  }
  if (!PyList_Check(all.get())) raise_cast_error(all.get(), "list");
  return all;
}

// Appends the name to __all__, then sets the attribute.
void attach(PyObject* parent, PyObject* name, PyObject* value) {
  Ref all = all_list(parent);
  if (PyList_Append(all.get(), name) < 0) {
    // Running out of memory is not a broken invariant: it stays a MemoryError.
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw_error_set();
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    PyObject* text = raised ? PyObject_Str(raised.get()) : nullptr;
    Py_ssize_t size = 0;
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text, &size) : nullptr;
    std::string description = utf8 ? std::string(utf8, static_cast<std::size_t>(size)) : "unknown error";
    Py_XDECREF(text);
    PyErr_Clear();
    fault("could not append __name__ to __all__: " + description);
  }
  require_ok(PyObject_SetAttr(parent, name, value));
}

// The warnings module, imported on first use by the main interpreter and kept
// for the process. Two threads may race to import it; the loser drops its
// reference (both got the same module from sys.modules anyway).
PyObject* warnings_module() {
  static std::atomic<PyObject*> cached{nullptr};
  PyObject* module = cached.load(std::memory_order_acquire);
  if (module) return module;
  Ref imported = require(PyImport_ImportModule("warnings"));
  PyObject* expected = nullptr;
  if (cached.compare_exchange_strong(expected, imported.get(), std::memory_order_acq_rel))
    return imported.release();
  return expected;
}

}  // namespace

int require_main_interpreter(PyObject* module) noexcept {
  if (on_main_interpreter()) return 0;
  // Only objects of the importing interpreter are made here.
  PyObject* name = PyModule_GetNameObject(module);
  if (!name) return -1;
  PyObject* message = PyUnicode_FromFormat(
      "module %R can only be imported in the main interpreter, not in a subinterpreter", name);
  if (message) {
    PyErr_SetImportError(message, name, nullptr);
    Py_DECREF(message);
  }
  Py_DECREF(name);
  return -1;
}

Ref new_submodule(const char* name) {
  Ref module_name = require(PyUnicode_FromString(name));
  Ref module = require(PyModule_NewObject(module_name.get()));
#ifdef Py_GIL_DISABLED
  require_ok(PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED));
#endif
  return module;
}

void add_class(PyObject* module, PyTypeObject* type) {
  PyObject* type_obj = reinterpret_cast<PyObject*>(type);
  Ref name = require(PyObject_GetAttrString(type_obj, "__name__"));
  attach(module, name.get(), type_obj);
}

void add_function(PyObject* module, PyMethodDef* def) {
  Ref module_name = require(PyModule_GetNameObject(module));
  Ref function = require(PyCMethod_New(def, module, module_name.get(), nullptr));
  Ref name = require(PyObject_GetAttrString(function.get(), "__name__"));
  if (!PyUnicode_Check(name.get())) raise_cast_error(name.get(), "str");
  attach(module, name.get(), function.get());
}

void add_submodule(PyObject* parent, PyObject* child) {
  Ref full = require(PyModule_GetNameObject(child));
  // Everything up to and including the last dot is dropped.
  const Py_ssize_t length = PyUnicode_GetLength(full.get());
  const Py_ssize_t dot = PyUnicode_FindChar(full.get(), '.', 0, length, -1);
  if (dot == -2) throw_error_set();
  Ref name = dot < 0 ? std::move(full) : require(PyUnicode_Substring(full.get(), dot + 1, length));
  attach(parent, name.get(), child);
}

void add_members(PyObject* module, std::span<const Member> members) {
  for (const Member& member : members) {
    switch (member.kind) {
      case Member::Kind::type:
        add_class(module, member.type());
        break;
      case Member::Kind::function:
        add_function(module, member.function);
        break;
      case Member::Kind::submodule: {
        Ref child = new_submodule(member.name);
        member.fill(child.get());
        add_submodule(module, child.get());
        break;
      }
    }
  }
}

void warn(const char* message) {
  Ref function = require(PyObject_GetAttrString(warnings_module(), "warn"));
  Ref text = require(PyUnicode_FromString(message));
  require(PyObject_CallOneArg(function.get(), text.get()));
}

}  // namespace pelmora::bind
