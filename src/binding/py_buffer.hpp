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

// A private read-only exporter of `values`, which `owner` holds and never
// changes while it lives; the exporter keeps `owner` alive. It exports
// through its own slots, never through the owner's type, so a subclass that
// redefines __buffer__ cannot change what is exported (pickle hands it out).
Ref values_exporter(PyObject* owner, std::span<const double> values);
// Whether `obj` is such an exporter, whose values never change.
bool is_values_exporter(PyObject* obj) noexcept;

}  // namespace pelmora::bind
