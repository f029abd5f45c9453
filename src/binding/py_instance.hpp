// The memory of a library instance: the Python header, a borrow counter for
// a class that can change, the plain C++ value, and a dated class's start.
//
// Every bound class wraps a plain C++ value type T. Its Python face declares
//
//   template <> struct pelmora::bind::ClassInfo<T> { static PyTypeObject* type(); };
//
// in its py_*.hpp header and defines type() with a `BoundClass<T>`
// (py_class.hpp). Two optional flags in ClassInfo<T> change the layout:
//
//   static constexpr bool dated = true;        // values sit on a time grid
//   static constexpr bool has_setters = true;  // values change in place
//
// Dated classes (the series and the results made of series) hold, beside the
// plain value, an owned reference to the datetime.datetime the grid starts at
// (or none), and take part in the cycle collector, since that object (an
// instance of a user's datetime subclass, with attributes) may refer back to
// them. The value itself stays free of Python.
//
// Only a class with setters carries a borrow counter (py_borrow.hpp); the
// value of any other class never changes after the instance is made.
#pragma once

#include <atomic>
#include <cstdint>

#include "binding/py_object.hpp"

namespace pelmora::bind {

template <class T>
struct ClassInfo;  // specialised by each bound class

template <class T>
inline constexpr bool is_dated = requires { requires ClassInfo<T>::dated; };

template <class T>
inline constexpr bool is_mutable = requires { requires ClassInfo<T>::has_setters; };

// The borrow counter of an instance: > 0, that many readers; -1, one writer;
// 0, free. A class without setters has an empty one that takes no room.
template <bool Mutable>
struct BorrowCounter {};

template <>
struct BorrowCounter<true> {
  std::atomic<std::int64_t> count{0};
};

template <class T>
struct Instance {
  PyObject_HEAD
  [[no_unique_address]] BorrowCounter<is_mutable<T>> borrow;
  T value;
  // Dated classes: the start instant (owned), or null. Set when the instance
  // is made and never changed after, except by tp_clear on garbage.
  PyObject* start;
};

// A value with the start instant of its grid, as a dated class's pickle
// rebuilds it (`start` empty: none).
template <class T>
struct Dated {
  T value;
  Ref start;
};

// The value inside a library instance (self, or an argument already type-checked).
template <class T>
T& value_of(PyObject* self) noexcept {
  return reinterpret_cast<Instance<T>*>(self)->value;
}

// The start instant of an instance (borrowed), or null when it has none.
template <class T>
PyObject* start_of(PyObject* self) noexcept {
  return reinterpret_cast<Instance<T>*>(self)->start;
}

}  // namespace pelmora::bind
