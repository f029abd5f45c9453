// Building the module tree: submodules, and attaching classes, functions and
// submodules to a parent while keeping its __all__ in registration order.
#pragma once

#include <span>

#include "binding/py_object.hpp"

namespace pelmora::bind {

// One thing an area's module holds: a class, a function, or a submodule that
// its own routine fills (from a table of its own). Each area keeps one
// constant table of these, in registration order, and hands it to
// add_members; a new class or function is one more entry there.
struct Member {
  enum class Kind : unsigned char { type, function, submodule };
  Kind kind = Kind::type;
  PyTypeObject* (*type)() = nullptr;        // a class: returns its class object
  PyMethodDef* function = nullptr;          // a function, bound to the module
  const char* name = nullptr;               // a submodule: its bare name
  void (*fill)(PyObject* module) = nullptr;  // a submodule: adds its members
};

constexpr Member class_member(PyTypeObject* (*type)()) { return {.kind = Member::Kind::type, .type = type}; }
constexpr Member function_member(PyMethodDef& def) { return {.kind = Member::Kind::function, .function = &def}; }
constexpr Member submodule_member(const char* name, void (*fill)(PyObject*)) {
  return {.kind = Member::Kind::submodule, .name = name, .fill = fill};
}

// Adds every member to `module` in the table's order (which is the order of
// its __all__); a submodule is created, filled, then attached.
void add_members(PyObject* module, std::span<const Member> members);

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
