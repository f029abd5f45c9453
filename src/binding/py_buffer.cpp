// Buffer export of vectors of doubles.
#include "binding/py_buffer.hpp"

#include <atomic>

namespace pelmora::bind {

namespace {
// Where an empty export points: consumers expect a valid address.
constexpr double kNoValues = 0.0;
char kFormat[] = "d";
}  // namespace

int export_doubles(PyObject* exporter, std::span<const double> values, Py_buffer* view, int flags) noexcept {
  view->obj = nullptr;
  if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
    PyErr_SetString(PyExc_BufferError, "series values are read-only");
    return -1;
  }
  // The shape and the stride live as long as the view: released below.
  auto* layout = static_cast<Py_ssize_t*>(PyMem_Malloc(2 * sizeof(Py_ssize_t)));
  if (!layout) {
    PyErr_NoMemory();
    return -1;
  }
  layout[0] = static_cast<Py_ssize_t>(values.size());
  layout[1] = static_cast<Py_ssize_t>(sizeof(double));
  view->buf = const_cast<double*>(values.empty() ? &kNoValues : values.data());
  view->obj = Py_NewRef(exporter);
  view->len = static_cast<Py_ssize_t>(values.size_bytes());
  view->itemsize = static_cast<Py_ssize_t>(sizeof(double));
  view->readonly = 1;
  view->ndim = 1;
  view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? kFormat : nullptr;
  view->shape = (flags & PyBUF_ND) == PyBUF_ND ? &layout[0] : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &layout[1] : nullptr;
  view->suboffsets = nullptr;
  view->internal = layout;
  return 0;
}

void release_doubles(PyObject*, Py_buffer* view) noexcept { PyMem_Free(view->internal); }

namespace {

struct ValuesExporter {
  PyObject_HEAD
  PyObject* owner;
  const double* first;
  std::size_t size;
};

int values_getbuffer(PyObject* self, Py_buffer* view, int flags) noexcept {
  const auto* e = reinterpret_cast<ValuesExporter*>(self);
  return export_doubles(self, std::span<const double>(e->first, e->size), view, flags);
}

int values_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(reinterpret_cast<ValuesExporter*>(self)->owner);
  return 0;
}

// No tp_clear: the owner must outlive every export, so only the other
// members of a cycle (a PickleBuffer, an instance dict) break it.
void values_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Py_XDECREF(reinterpret_cast<ValuesExporter*>(self)->owner);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot values_slots[] = {
    {Py_tp_doc, const_cast<char*>("Read-only values of a pelmora series, as pickle carries them.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(values_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(values_traverse)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(values_getbuffer)},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(release_doubles)},
    {0, nullptr},
};

PyType_Spec values_spec{
    "pelmora._SeriesValues", static_cast<int>(sizeof(ValuesExporter)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC,
    values_slots};

// Created once per process; two threads may race to create it, the loser
// drops its copy.
std::atomic<PyObject*> cached_values_type{nullptr};

PyTypeObject* values_type() {
  std::atomic<PyObject*>& cached = cached_values_type;
  PyObject* type = cached.load(std::memory_order_acquire);
  if (type) return reinterpret_cast<PyTypeObject*>(type);
  Ref made = require(PyType_FromSpec(&values_spec));
  PyObject* expected = nullptr;
  if (cached.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel))
    return reinterpret_cast<PyTypeObject*>(made.release());
  return reinterpret_cast<PyTypeObject*>(expected);
}

}  // namespace

bool is_values_exporter(PyObject* obj) noexcept {
  // Before the class exists there is no instance of it.
  PyObject* type = cached_values_type.load(std::memory_order_acquire);
  return type && Py_IS_TYPE(obj, reinterpret_cast<PyTypeObject*>(type));
}

Ref values_exporter(PyObject* owner, std::span<const double> values) {
  PyTypeObject* type = values_type();
  Ref obj = require(type->tp_alloc(type, 0));
  auto* e = reinterpret_cast<ValuesExporter*>(obj.get());
  e->owner = Py_NewRef(owner);
  e->first = values.data();
  e->size = values.size();
  return obj;
}

}  // namespace pelmora::bind
