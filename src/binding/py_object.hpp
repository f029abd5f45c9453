// Owning references and the "a Python error is already set" exception.
//
// Ownership rules, for every file that touches Python:
//  * A raw `PyObject*` in a signature is a borrowed reference, nothing else.
//  * A function that returns a new reference returns a `Ref`.
//  * `Ref::steal(p)` takes over a new reference; `Ref::borrow(p)` adds one.
//  * `release()` hands the reference back to CPython (the return of a slot).
//  * `Ref` is move-only, so ownership is always visible at the call site.
//
// Errors: C API failures become `PyErrOccurred` through `require()`, and the
// edge of every bound callable (`guard` in py_errors.hpp) turns them back into
// a NULL / -1 return. No C++ exception ever reaches CPython.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace pelmora::bind {

// Thrown when a Python exception is already set and must propagate as is.
struct PyErrOccurred {};

[[noreturn]] inline void throw_error_set() { throw PyErrOccurred{}; }

class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// A new reference from the C API, or a throw if it failed.
inline Ref require(PyObject* p) {
  if (!p) throw_error_set();
  return Ref::steal(p);
}

// A C API status (negative on failure).
inline void require_ok(int status) {
  if (status < 0) throw_error_set();
}

// The next item of an iterator, or an empty Ref once it is exhausted.
inline Ref next_item(PyObject* iter) {
  PyObject* item = nullptr;
  if (PyIter_NextItem(iter, &item) < 0) throw_error_set();
  return Ref::steal(item);
}

// Calls `f(item)` for every item of `iterable` (an iterator goes on from
// where it is). Each item is owned only for its call; an error from the
// iteration, or one thrown by `f`, stops it.
template <class F>
void for_each_item(PyObject* iterable, F&& f) {
  Ref iter = require(PyObject_GetIter(iterable));
  while (Ref item = next_item(iter.get())) f(item.get());
}

// One buffer export of an object, released when the view goes. Move-only,
// like Ref; empty until `get` or `try_get` succeeds. It keeps the exporter's
// memory in place but does not stop other threads writing to it.
class BufferView {
 public:
  BufferView() noexcept = default;
  BufferView(BufferView&& other) noexcept : view_(other.view_), held_(std::exchange(other.held_, false)) {}
  BufferView& operator=(BufferView&&) = delete;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (held_) PyBuffer_Release(&view_);
  }

  // The export of `obj`, or a throw with the exporter's error set.
  void get(PyObject* obj, int flags) {
    require_ok(PyObject_GetBuffer(obj, &view_, flags));
    held_ = true;
  }
  // The export of `obj`; false, with no error set, when it gives none.
  bool try_get(PyObject* obj, int flags) {
    if (PyObject_GetBuffer(obj, &view_, flags) < 0) {
      PyErr_Clear();
      return false;
    }
    held_ = true;
    return true;
  }

  const Py_buffer& operator*() const noexcept { return view_; }
  const Py_buffer* operator->() const noexcept { return &view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// Holds the interpreter's per-object lock while alive (a no-op with the GIL).
#ifdef Py_GIL_DISABLED
class CriticalSection {
 public:
  explicit CriticalSection(PyObject* op) noexcept { PyCriticalSection_Begin(&cs_, op); }
  ~CriticalSection() { PyCriticalSection_End(&cs_); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

 private:
  PyCriticalSection cs_;
};
#else
// With the GIL, holding it is already exclusive access.
class CriticalSection {
 public:
  explicit CriticalSection(PyObject*) noexcept {}
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;
};
#endif

}  // namespace pelmora::bind
