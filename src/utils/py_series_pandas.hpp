// The series classes to and from pandas. pandas is optional: it is imported
// when one of these is called, never when pelmora is.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "binding/py_object.hpp"

namespace pelmora {

// A pandas.Series of float64 named `kind`, on a DatetimeIndex of start +
// i * time_step when `start` (a datetime) is given, otherwise on a
// TimedeltaIndex from 0; either with its freq set.
bind::Ref series_to_pandas(std::span<const double> values, std::int32_t time_step, std::string_view kind,
                           PyObject* start);

// A pandas.Series whose type, index type and dtype have been checked.
struct PandasInput {
  PyObject* series;  // borrowed from the call
  bool dated;        // a DatetimeIndex (else a TimedeltaIndex)
};

// Converter for the `series` argument of from_pandas: a pandas.Series with a
// DatetimeIndex or a TimedeltaIndex and numbers for values; TypeError for
// anything else.
PandasInput to_pandas_input(PyObject* obj);

// What a series is built from: the values (NaN where pandas has a missing
// value), the step and the start (empty for a TimedeltaIndex).
struct PandasSeries {
  std::vector<double> data;
  std::int32_t time_step = 1;
  bind::Ref start;
};

// Reads a checked input; ValueError for an index that is not a regular grid
// of whole seconds, saying what is wrong with it.
PandasSeries read_pandas_input(const PandasInput& input);

}  // namespace pelmora
