// Attribute slots of library classes: getters that read the value, and
// setters for the one kind of class that has them (see py_borrow.hpp for
// which borrow each holds, and for how long).
#pragma once

#include <utility>

#include "binding/py_args.hpp"
#include "binding/py_borrow.hpp"
#include "binding/py_errors.hpp"
#include "binding/py_instance.hpp"
#include "binding/py_object.hpp"

namespace pelmora::bind {

// Getter slot from a function of the value, for a class without setters:
// the value is read in place while the result is built (its borrow is empty).
template <class T, Ref (*Read)(const T&)>
PyObject* getter(PyObject* self, void*) {
  static_assert(!is_mutable<T>, "a class with setters reads its fields with field_getter");
  return guard([&] {
    SharedBorrow<T> borrow(self);
    return Read(value_of<T>(self));
  });
}

// Getter slot of a dated class from a function of the value and the
// instance's start instant (borrowed, or null); like getter, for a class
// without setters.
template <class T, Ref (*Read)(const T&, PyObject*)>
PyObject* dated_getter(PyObject* self, void*) {
  static_assert(!is_mutable<T>, "a class with setters reads its fields with field_getter");
  return guard([&] {
    SharedBorrow<T> borrow(self);
    return Read(value_of<T>(self), start_of<T>(self));
  });
}

// Getter slot for one field of a class with setters: the field is copied
// under the shared borrow and converted after it is released, so building
// the result (which may run the collector, and with it any Python code)
// never happens while the borrow is held.
template <class T, class F, F T::*Field, Ref (*Convert)(F)>
PyObject* field_getter(PyObject* self, void*) {
  return guard([&] {
    const F copy = [&] {
      SharedBorrow<T> borrow(self);
      return value_of<T>(self).*Field;
    }();
    return Convert(copy);
  });
}

// Setter slot: converts first (that may run Python code), then stores under
// an exclusive borrow. Deleting raises "property has no deleter".
template <class T, class V, V (*Convert)(PyObject*), void (*Store)(T&, V)>
  requires is_mutable<T>
int setter(PyObject* self, PyObject* value, void* closure) {
  return guard_status([&] {
    if (!value) raise(PyExc_AttributeError, "property has no deleter");
    const char* name = static_cast<const char*>(closure);
    V converted = [&] {
      try {
        return Convert(value);
      } catch (const PyErrOccurred&) {
        prefix_argument_error(name);
        throw;
      }
    }();
    ExclusiveBorrow<T> borrow(self);
    Store(value_of<T>(self), std::move(converted));
  });
}

}  // namespace pelmora::bind
