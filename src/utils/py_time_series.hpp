// Python face of the two series classes.
#pragma once

#include "binding/py_class.hpp"
#include "utils/time_series.hpp"

namespace pelmora::bind {
template <>
struct ClassInfo<ContinuousSeries> {
  static PyTypeObject* type();
};
template <>
struct ClassInfo<IncrementalSeries> {
  static PyTypeObject* type();
};
}  // namespace pelmora::bind

namespace pelmora {
// Adds ContinuousTimeSeries, then IncrementalTimeSeries, to `module`.
void register_time_series(PyObject* module);
}  // namespace pelmora
