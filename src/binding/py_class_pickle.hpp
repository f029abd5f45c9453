// Pickle and copy glue for library classes, and the read-only buffer of a
// class whose value is a vector of doubles.
//
// Payload(self, value, protocol) gives the tuple of the constructor's
// arguments for a value and Rebuild(args) makes a value from them through the
// constructor's own path (see py_pickle.hpp for the reconstructor).
#pragma once

#include <span>
#include <type_traits>
#include <utility>

#include "binding/py_borrow.hpp"
#include "binding/py_buffer.hpp"
#include "binding/py_class.hpp"
#include "binding/py_errors.hpp"
#include "binding/py_instance.hpp"
#include "binding/py_object.hpp"
#include "binding/py_pickle.hpp"

namespace pelmora::bind {

namespace detail {

// The reduce value of an instance. A value with setters is copied under the
// shared borrow and converted after it is released, as field_getter does;
// any other value never changes and is converted in place (its borrow is
// empty).
template <class T, Ref (*Payload)(PyObject*, const T&, int), bool Mutable>
Ref reduce_value(PyObject* self, int protocol) {
  Ref args = [&] {
    if constexpr (Mutable) {
      const T copy = snapshot<T>(self);
      return Payload(self, copy, protocol);
    } else {
      SharedBorrow<T> borrow(self);
      return Payload(self, value_of<T>(self), protocol);
    }
  }();
  return reduce_instance(self, ClassInfo<T>::type(), std::move(args));
}

template <class T, Ref (*Payload)(PyObject*, const T&, int), bool Mutable>
PyObject* reduce_ex_method(PyObject* self, PyObject* protocol) {
  return guard([&] { return reduce_value<T, Payload, Mutable>(self, reduce_protocol(protocol)); });
}

template <class T, Ref (*Payload)(PyObject*, const T&, int), bool Mutable>
PyObject* reduce_method(PyObject* self, PyObject*) {
  return guard([&] { return reduce_value<T, Payload, Mutable>(self, 0); });
}

// A copy made from the live value, not from a payload: an instance of the
// library class that never changes is its own copy; any other gets a new
// instance of its own class with its own copy of the value, and a subclass
// instance its instance state too (deep copied when `memo` is given).
template <class T, bool Mutable>
Ref copy_of(PyObject* self, PyObject* memo) {
  PyTypeObject* type = Py_TYPE(self);
  const bool exact = type == ClassInfo<T>::type();
  if (!Mutable && exact) return Ref::borrow(self);
  Ref copy = create_instance<T>(type, snapshot<T>(self), start_of<T>(self));
  if (!exact) copy_instance_state(self, copy.get(), memo);
  return copy;
}

template <class T, bool Mutable>
PyObject* copy_method(PyObject* self, PyObject*) {
  return guard([&] { return copy_of<T, Mutable>(self, nullptr); });
}

template <class T, bool Mutable>
PyObject* deepcopy_method(PyObject* self, PyObject* memo) {
  return guard([&] { return copy_of<T, Mutable>(self, memo); });
}

template <class T, auto Rebuild>
Ref rebuild_instance(PyTypeObject* type, PyObject* args) {
  if constexpr (std::is_same_v<decltype(Rebuild(args)), Dated<T>>) {
    Dated<T> rebuilt = Rebuild(args);
    return create_instance<T>(type, std::move(rebuilt.value), rebuilt.start.get());
  } else {
    return create_instance<T>(type, Rebuild(args));
  }
}

template <class T, std::span<const double> (*Values)(const T&)>
int get_doubles_buffer(PyObject* self, Py_buffer* view, int flags) {
  // The values of a series never change after construction, so an export
  // takes no borrow: nothing can write to that memory, and the view's
  // reference to the instance keeps it alive until the view is released.
  return export_doubles(self, Values(value_of<T>(self)), view, flags);
}

}  // namespace detail

// Pickling and copying for T. Payload(self, value, protocol) gives the tuple
// of the constructor's arguments (a result class: its fields); Rebuild(args)
// makes a value from such a tuple through the constructor's own conversions
// and checks (a dated class's Rebuild gives a Dated<T>, the start with the
// value). Mutable: the class has setters, so copies are new objects and the
// payload is taken from a snapshot; it must agree with ClassInfo<T>.
template <class T, Ref (*Payload)(PyObject*, const T&, int), auto Rebuild, bool Mutable = is_mutable<T>>
constexpr PickleHooks pickled() {
  static_assert(Mutable == is_mutable<T>, "pickled<..., Mutable> must match ClassInfo<T>::has_setters");
  return {detail::reduce_ex_method<T, Payload, Mutable>, detail::reduce_method<T, Payload, Mutable>,
          detail::copy_method<T, Mutable>, detail::deepcopy_method<T, Mutable>,
          detail::rebuild_instance<T, Rebuild>};
}

// A read-only buffer over the doubles Values(value) of an instance that
// never changes them.
template <class T, std::span<const double> (*Values)(const T&)>
constexpr BufferHooks exported() {
  static_assert(!is_mutable<T>, "an exported buffer takes no borrow: its values must never change");
  return {detail::get_doubles_buffer<T, Values>, release_doubles};
}

}  // namespace pelmora::bind
