// Read-only buffer export of a library value's doubles (the series classes):
// one dimension, C-contiguous, format "d", so memoryview, numpy and
// pickle.PickleBuffer see the instance's own memory without a copy.
#pragma once

#include <span>

#include "binding/py_object.hpp"

namespace pelmora::bind {

// Fills `view` over `values`, which `exporter` owns and never changes while
// it lives. A request for a writable buffer raises BufferError.
int export_doubles(PyObject* exporter, std::span<const double> values, Py_buffer* view, int flags) noexcept;
void release_doubles(PyObject* exporter, Py_buffer* view) noexcept;

}  // namespace pelmora::bind
