// Library classes: what a class looks like to Python, its type object made
// once per process, and its instances.
//
// A face describes its class with a ClassSpec and makes it with a
// `BoundClass<T>`, whose type() defines ClassInfo<T>::type() (see
// py_instance.hpp for the instance layout and its flags). Then any face can
// convert arguments with `to_value<T>` or `lend<T>` (py_borrow.hpp) and
// results with `wrap<T>`.
//
// Pickling and copying: a face passes `pickled<T, Payload, Rebuild>()` to its
// BoundClass, and a class whose value is a vector of doubles passes
// `exported<T, Values>()` as well, to lend that memory through the buffer
// protocol (both in py_class_pickle.hpp). Attribute slots are in
// py_property.hpp.
#pragma once

#include <atomic>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "binding/py_errors.hpp"
#include "binding/py_instance.hpp"
#include "binding/py_object.hpp"
#include "binding/py_pickle.hpp"

namespace pelmora::bind {

// What a class looks like to Python.
// Filled with designated initialisers, in this order; a field left out is
// null (or false).
struct ClassSpec {
  const char* name = nullptr;  // bare class name; the type is "builtins.<name>"
  const char* doc = nullptr;   // "Name(params)\n--\n\nbody", or a plain docstring
  bool subclassable = false;
  newfunc tp_new = nullptr;  // nullptr: not constructible from Python
  PyGetSetDef* getset = nullptr;
  PyMethodDef* methods = nullptr;
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
  inst->borrow.~BorrowCounter();
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
  new (&inst->borrow) BorrowCounter<is_mutable<T>>();
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

}  // namespace pelmora::bind
