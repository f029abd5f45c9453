// Python face of the two series classes.
#pragma once

#include "binding/py_errors.hpp"
#include "binding/py_instance.hpp"
#include "utils/time_series.hpp"

namespace pelmora::bind {
template <>
struct ClassInfo<ContinuousSeries> {
  static constexpr bool dated = true;
  static PyTypeObject* type();
};
template <>
struct ClassInfo<IncrementalSeries> {
  static constexpr bool dated = true;
  static PyTypeObject* type();
};
}  // namespace pelmora::bind

namespace pelmora::bind {
// For results rebuilt from their series: ValueError unless `series` (an
// instance already type-checked) starts at `start` (null: no start), as every
// series of one result does.
template <class Series>
void require_start(PyObject* series, PyObject* start) {
  PyObject* own = start_of<Series>(series);
  if (own == start) return;
  const int same = own && start ? PyObject_RichCompareBool(own, start, Py_EQ) : 0;
  if (same < 0) throw_error_set();
  if (!same) raise(PyExc_ValueError, "the series of one result must all have the same start");
}
}  // namespace pelmora::bind

namespace pelmora {
// Adds ContinuousTimeSeries, then IncrementalTimeSeries, to `module`.
void register_time_series(PyObject* module);
}  // namespace pelmora
