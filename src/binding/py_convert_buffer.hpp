// The number-buffer fast path of the sequence converters: one-dimensional
// buffers of numbers read in one pass instead of item by item.
//
// Nothing here calls into Python beyond asking an exporter of a known type
// (numpy arrays, array.array, memoryview, bytes, bytearray) for its buffer,
// which runs no user code; the read loops hold no lock and call nothing.
#pragma once

#include <vector>

#include "binding/py_convert.hpp"
#include "binding/py_object.hpp"

namespace pelmora::bind::detail {

// Reads `obj` into `out` when it is a one-dimensional buffer of numbers of a
// common type, and adds its values, in index order from 0.0, to `*sum` when
// `sum` is given. Returns false, having read nothing and with no error set,
// for any other object or buffer, which the item path then takes.
// Instantiated for std::vector<double> and Values.
template <class Out>
bool read_number_buffer(PyObject* obj, Out& out, double* sum);

// Reads two float64 buffers of one length, native, aligned and contiguous, in
// one loop, adding each into its own sum in index order from 0.0: the two
// chains of additions overlap, and the copies ride along with them. Reading
// them together is the same as reading one after the other, since neither
// read runs Python code. Returns false, having read nothing and with no error
// set, for any other pair.
bool read_double_buffer_pair(PyObject* first, PyObject* second, Values& first_out, double& first_sum,
                             Values& second_out, double& second_sum);

}  // namespace pelmora::bind::detail
