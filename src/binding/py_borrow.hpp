// Borrows of library instances: who may read a value while another thread
// (or Python code run by this one) may write it.
//
// Only a class with setters (ClassInfo<T>::has_setters, py_instance.hpp)
// counts borrows. Reads hold a shared borrow and setters an exclusive one.
// A conflict raises RuntimeError at once instead of waiting: a read during a
// write raises "Already mutably borrowed", a write during any borrow "Already
// borrowed". Nothing ever blocks on a borrow, so no borrow can deadlock, not
// even one held while Python code runs. For a class without setters every
// borrow below is empty and compiles to nothing: its value never changes
// after the instance is made, and the caller's reference keeps it alive.
//
// Where a shared borrow is held while Python code runs:
// - Lent<T> holds it for the whole bound call that takes the argument. That
//   call converts its other arguments (__index__, __float__), may warn (the
//   warning filters and showwarning run) and polls for signals (handlers
//   run). Only series are lent today; they have no setters, so the borrow is
//   empty.
// - getter and dated_getter (py_property.hpp) hold it while they build the
//   result objects, which may run the cycle collector and with it any
//   finalizer. They refuse classes with setters at compile time, so theirs
//   is always empty; so is the one under which a class without setters
//   builds its pickle payload (py_class_pickle.hpp).
// Everywhere else (to_value, field_getter, the snapshots that pickle and
// copy a class with setters) the value is copied under the borrow and the
// borrow is released before any Python object is made. A setter converts the
// new value before it takes its exclusive borrow, and only stores under it.
//
// A new class with setters therefore declares `has_setters`, reads fields
// with field_getter (getter refuses it), stores through `setter`, and lends
// no buffer (exported refuses it); pickled then snapshots it by itself. If it
// is ever lent, a setter called while the loan lasts (from a callback in that
// call, or from another thread) raises "Already borrowed" rather than
// waiting; that is the intended behaviour, and it cannot deadlock.
#pragma once

#include <atomic>
#include <cstdint>

#include "binding/py_errors.hpp"
#include "binding/py_instance.hpp"
#include "binding/py_object.hpp"

namespace pelmora::bind {

[[noreturn]] void raise_already_mutably_borrowed();
[[noreturn]] void raise_already_borrowed();

template <class T>
  requires is_mutable<T>
std::atomic<std::int64_t>& borrow_flag(PyObject* self) noexcept {
  return reinterpret_cast<Instance<T>*>(self)->borrow.count;
}

// A class without setters: nothing to count.
template <class T, bool = is_mutable<T>>
class SharedBorrow {
 public:
  explicit SharedBorrow(PyObject*) noexcept {}
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
};

// What both kinds of borrow of a counted instance hold: its counter, for the
// length of one scope.
class CountedBorrow {
 public:
  CountedBorrow(const CountedBorrow&) = delete;
  CountedBorrow& operator=(const CountedBorrow&) = delete;

 protected:
  explicit CountedBorrow(std::atomic<std::int64_t>& flag) noexcept : flag_(flag) {}
  ~CountedBorrow() = default;
  std::atomic<std::int64_t>& flag_;
};

template <class T>
class SharedBorrow<T, true> : CountedBorrow {
 public:
  explicit SharedBorrow(PyObject* self) : CountedBorrow(borrow_flag<T>(self)) {
    std::int64_t cur = flag_.load(std::memory_order_relaxed);
    do {
      if (cur < 0) raise_already_mutably_borrowed();
    } while (!flag_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire, std::memory_order_relaxed));
  }
  ~SharedBorrow() { flag_.fetch_sub(1, std::memory_order_release); }
};

template <class T>
  requires is_mutable<T>
class ExclusiveBorrow : CountedBorrow {
 public:
  explicit ExclusiveBorrow(PyObject* self) : CountedBorrow(borrow_flag<T>(self)) {
    std::int64_t expected = 0;
    if (!flag_.compare_exchange_strong(expected, -1, std::memory_order_acquire, std::memory_order_relaxed))
      raise_already_borrowed();
  }
  ~ExclusiveBorrow() { flag_.store(0, std::memory_order_release); }
};

// A copy of the value of an instance (already type-checked), taken under a
// shared borrow that is released before the caller sees it.
template <class T>
T snapshot(PyObject* self) {
  SharedBorrow<T> borrow(self);
  return value_of<T>(self);
}

// A private copy of the value of a library instance, taken under a shared
// borrow; any other object raises the cast error naming the class.
template <class T>
T to_value(PyObject* obj) {
  PyTypeObject* type = ClassInfo<T>::type();
  if (!PyObject_TypeCheck(obj, type)) raise_cast_error(obj, type);
  return snapshot<T>(obj);
}

// A library instance lent to one call: type-checked like `to_value`, then
// read in place under a shared borrow held until the call ends (see above:
// Python code runs meanwhile). The call's own reference keeps the object
// alive and the borrow keeps it unchanged, so a large value (a series) is
// read or copied after the thread state is detached instead of being copied
// while attached. For a class without setters it is a plain reference.
template <class T>
class Lent {
 public:
  explicit Lent(PyObject* obj) : obj_(checked(obj)), borrow_(obj_) {}
  const T& operator*() const noexcept { return value_of<T>(obj_); }
  const T* operator->() const noexcept { return &value_of<T>(obj_); }
  // Its start instant (borrowed, kept alive by the call), or null.
  PyObject* start() const noexcept { return start_of<T>(obj_); }

 private:
  static PyObject* checked(PyObject* obj) {
    PyTypeObject* type = ClassInfo<T>::type();
    if (!PyObject_TypeCheck(obj, type)) raise_cast_error(obj, type);
    return obj;
  }
  PyObject* obj_;
  [[no_unique_address]] SharedBorrow<T> borrow_;
};

// Converter form of Lent for Args::get (returned in place, never moved).
template <class T>
Lent<T> lend(PyObject* obj) {
  return Lent<T>(obj);
}

}  // namespace pelmora::bind
