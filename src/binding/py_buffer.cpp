// Buffer export of vectors of doubles.
#include "binding/py_buffer.hpp"

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

}  // namespace pelmora::bind
