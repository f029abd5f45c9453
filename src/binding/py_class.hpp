// Library classes: one C++ value per Python instance, a borrow counter, and
// type objects created once per process.
//
// Every bound class wraps a plain C++ value type T. Its Python face declares
//
//   template <> struct pelmora::bind::ClassInfo<T> { static PyTypeObject* type(); };
//
// in its py_*.hpp header and defines type() with a `BoundClass<T>`. Then any
// face can convert arguments with `to_value<T>` and results with `wrap<T>`.
//
// Borrow rules: reads (attribute getters, copies taken for arguments) hold a
// shared borrow; setters hold an exclusive one. A conflict raises RuntimeError
// at once instead of waiting, and no borrow is held across a call into Python.
//
// Pickling and copying: a face passes `pickled<T, Payload, Rebuild>()` to its
// BoundClass, where Payload gives the constructor's arguments for a value and
// Rebuild makes a value from them through the constructor's own path (see
// py_pickle.hpp). A class whose value is a vector of doubles passes
// `exported<T, Values>()` as well, to lend that memory through the buffer
// protocol.
//
// Dated classes: a class whose values sit on a time grid (the series and the
// results made of series) declares `static constexpr bool dated = true;` in
// its ClassInfo. Its instances then hold, beside the plain value, an owned
// reference to the datetime.datetime the grid starts at (or none), and take
// part in the cycle collector, since that object (an instance of a user's
// datetime subclass, with attributes) may refer back to them. The value
// itself stays free of Python.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>
#include <span>
#include <string>
#include <type_traits>
#include <vector>
#include <utility>

#include "binding/py_args.hpp"
#include "binding/py_buffer.hpp"
#include "binding/py_errors.hpp"
#include "binding/py_object.hpp"
#include "binding/py_pickle.hpp"

namespace pelmora::bind {

template <class T>
struct ClassInfo;  // specialised by each bound class

template <class T>
inline constexpr bool is_dated = requires { requires ClassInfo<T>::dated; };

template <class T>
struct Instance {
  PyObject_HEAD
  // > 0: that many readers; -1: one writer; 0: free.
  std::atomic<std::int64_t> borrow;
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

template <class T>
std::atomic<std::int64_t>& borrow_flag(PyObject* self) noexcept {
  return reinterpret_cast<Instance<T>*>(self)->borrow;
}

[[noreturn]] void raise_already_mutably_borrowed();
[[noreturn]] void raise_already_borrowed();

template <class T>
class SharedBorrow {
 public:
  explicit SharedBorrow(PyObject* self) : flag_(borrow_flag<T>(self)) {
    std::int64_t cur = flag_.load(std::memory_order_relaxed);
    do {
      if (cur < 0) raise_already_mutably_borrowed();
    } while (!flag_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire, std::memory_order_relaxed));
  }
  ~SharedBorrow() { flag_.fetch_sub(1, std::memory_order_release); }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

 private:
  std::atomic<std::int64_t>& flag_;
};

template <class T>
class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(PyObject* self) : flag_(borrow_flag<T>(self)) {
    std::int64_t expected = 0;
    if (!flag_.compare_exchange_strong(expected, -1, std::memory_order_acquire, std::memory_order_relaxed))
      raise_already_borrowed();
  }
  ~ExclusiveBorrow() { flag_.store(0, std::memory_order_release); }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

 private:
  std::atomic<std::int64_t>& flag_;
};

// What a class looks like to Python.
struct ClassSpec {
  const char* name;  // bare class name; the type is "builtins.<name>"
  const char* doc;   // "Name(params)\n--\n\nbody", or a plain docstring
  bool subclassable;
  newfunc tp_new;  // nullptr: not constructible from Python
  PyGetSetDef* getset;
  PyMethodDef* methods;
};

// The pickling and copying methods of a class, and how the reconstructor
// rebuilds it (all null: the class does not pickle).
struct PickleHooks {
  PyCFunction reduce_ex = nullptr;  // METH_O
  PyCFunction reduce = nullptr;     // METH_NOARGS
  PyCFunction copy = nullptr;       // METH_NOARGS
  PyCFunction deepcopy = nullptr;   // METH_O
  Ref (*rebuild)(PyTypeObject* type, PyObject* args) = nullptr;
};

// The buffer slots of a class (null: no buffer).
struct BufferHooks {
  getbufferproc get = nullptr;
  releasebufferproc release = nullptr;
};

// The cycle collector's slots of a dated class (null for any other).
struct CollectorHooks {
  traverseproc traverse = nullptr;
  inquiry clear = nullptr;
};

// Creates type objects; shared by every BoundClass.
Ref create_type(const ClassSpec& spec, Py_ssize_t basicsize, destructor dealloc, const BufferHooks& buffer,
                const CollectorHooks& collector = {}, reprfunc repr = nullptr);

template <class T>
void dealloc_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* inst = reinterpret_cast<Instance<T>*>(self);
  if constexpr (is_dated<T>) {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(inst->start);
  }
  inst->value.~T();
  inst->borrow.~atomic();
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

template <class T>
int traverse_instance(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));  // instances of heap types own a reference to their type
  Py_VISIT(start_of<T>(self));
  return 0;
}

template <class T>
int clear_instance(PyObject* self) {
  Py_CLEAR(reinterpret_cast<Instance<T>*>(self)->start);
  return 0;
}

// A new instance of `type` (the class or a subclass) owning `value`, and for
// a dated class the start instant `start` (borrowed; null: none).
template <class T>
Ref create_instance(PyTypeObject* type, T&& value, PyObject* start = nullptr) {
  Ref obj = require(type->tp_alloc(type, 0));
  auto* inst = reinterpret_cast<Instance<T>*>(obj.get());
  new (&inst->borrow) std::atomic<std::int64_t>(0);
  new (&inst->value) T(std::move(value));
  if constexpr (is_dated<T>) {
    inst->start = Py_XNewRef(start);
    // An instance of the class itself with no start refers to nothing the
    // collector needs to see (a subclass instance may have a __dict__).
    if (!start && type == ClassInfo<T>::type()) PyObject_GC_UnTrack(obj.get());
  } else {
    inst->start = nullptr;
  }
  return obj;
}

// A new instance of exactly the library class (never a subclass), with the
// start instant `start` for a dated class.
template <class T>
Ref wrap(T value, PyObject* start = nullptr) {
  return create_instance<T>(ClassInfo<T>::type(), std::move(value), start);
}

template <class T>
bool is_instance(PyObject* obj) {
  return PyObject_TypeCheck(obj, ClassInfo<T>::type());
}

// A private copy of the value of a library instance, taken under a shared
// borrow; any other object raises the cast error naming the class.
template <class T>
T to_value(PyObject* obj) {
  PyTypeObject* type = ClassInfo<T>::type();
  if (!PyObject_TypeCheck(obj, type)) raise_cast_error(obj, type);
  SharedBorrow<T> borrow(obj);
  return value_of<T>(obj);
}

// A library instance lent to one call: type-checked like `to_value`, then
// read in place under a shared borrow held until the call ends. The call's
// own reference keeps the object alive and the borrow keeps it unchanged, so
// a large value (a series) is read or copied after the thread state is
// detached instead of being copied while attached.
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
  SharedBorrow<T> borrow_;
};

// Converter form of Lent for Args::get (returned in place, never moved).
template <class T>
Lent<T> lend(PyObject* obj) {
  return Lent<T>(obj);
}

// A new dict from names to new instances of the library class, each with
// the start instant `start`.
template <class T>
Ref wrap_map(std::vector<std::pair<std::string, T>> items, PyObject* start = nullptr) {
  Ref dict = require(PyDict_New());
  for (auto& [name, value] : items) {
    Ref key = require(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    Ref obj = wrap<T>(std::move(value), start);
    require_ok(PyDict_SetItem(dict.get(), key.get(), obj.get()));
  }
  return dict;
}

namespace detail {

template <class T>
T snapshot(PyObject* self) {
  SharedBorrow<T> borrow(self);
  return value_of<T>(self);
}

// The reduce value of an instance. A value with setters is copied under the
// shared borrow and converted after it is released, as field_getter does;
// any other value never changes and is converted in place.
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
// payload is taken from a snapshot.
template <class T, Ref (*Payload)(PyObject*, const T&, int), auto Rebuild, bool Mutable = false>
constexpr PickleHooks pickled() {
  return {detail::reduce_ex_method<T, Payload, Mutable>, detail::reduce_method<T, Payload, Mutable>,
          detail::copy_method<T, Mutable>, detail::deepcopy_method<T, Mutable>,
          detail::rebuild_instance<T, Rebuild>};
}

// A read-only buffer over the doubles Values(value) of an instance that
// never changes them.
template <class T, std::span<const double> (*Values)(const T&)>
constexpr BufferHooks exported() {
  return {detail::get_doubles_buffer<T, Values>, release_doubles};
}

template <class T>
class BoundClass {
 public:
  // `repr`: the class's own repr (null: the default one).
  explicit BoundClass(ClassSpec spec, PickleHooks pickle = {}, BufferHooks buffer = {}, reprfunc repr = nullptr)
      : spec_(spec), buffer_(buffer), repr_(repr), entry_{spec.name, &ClassInfo<T>::type, pickle.rebuild} {
    if (!pickle.rebuild) return;
    for (const PyMethodDef* m = spec.methods; m && m->ml_name; ++m) methods_.push_back(*m);
    methods_.push_back({"__reduce_ex__", pickle.reduce_ex, METH_O,
                        "__reduce_ex__($self, protocol, /)\n--\n\nHelper for pickle."});
    methods_.push_back({"__reduce__", pickle.reduce, METH_NOARGS,
                        "__reduce__($self, /)\n--\n\nHelper for pickle."});
    methods_.push_back({"__copy__", pickle.copy, METH_NOARGS, "__copy__($self, /)\n--\n\nHelper for copy."});
    methods_.push_back({"__deepcopy__", pickle.deepcopy, METH_O,
                        "__deepcopy__($self, memo, /)\n--\n\nHelper for copy."});
    methods_.push_back({nullptr, nullptr, 0, nullptr});
    spec_.methods = methods_.data();
    register_reconstructible(&entry_);
  }
  BoundClass(const BoundClass&) = delete;
  BoundClass& operator=(const BoundClass&) = delete;

  // The class object, created on first use and kept for the process. Two
  // threads may race to create it; the loser drops its copy.
  PyTypeObject* type() {
    PyObject* cached = cached_.load(std::memory_order_acquire);
    if (cached) return reinterpret_cast<PyTypeObject*>(cached);
    CollectorHooks collector;
    if constexpr (is_dated<T>) collector = {&traverse_instance<T>, &clear_instance<T>};
    Ref made = create_type(spec_, static_cast<Py_ssize_t>(sizeof(Instance<T>)), &dealloc_instance<T>, buffer_,
                           collector, repr_);
    PyObject* expected = nullptr;
    if (cached_.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel))
      return reinterpret_cast<PyTypeObject*>(made.release());
    return reinterpret_cast<PyTypeObject*>(expected);
  }

 private:
  ClassSpec spec_;
  BufferHooks buffer_;
  reprfunc repr_;
  ReconstructEntry entry_;
  std::vector<PyMethodDef> methods_;  // the face's methods and the pickling ones
  std::atomic<PyObject*> cached_{nullptr};
};

// Getter slot from a function of the value: reads under a shared borrow.
template <class T, Ref (*Read)(const T&)>
PyObject* getter(PyObject* self, void*) {
  return guard([&] {
    SharedBorrow<T> borrow(self);
    return Read(value_of<T>(self));
  });
}

// Getter slot of a dated class from a function of the value and the
// instance's start instant (borrowed, or null).
template <class T, Ref (*Read)(const T&, PyObject*)>
PyObject* dated_getter(PyObject* self, void*) {
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
