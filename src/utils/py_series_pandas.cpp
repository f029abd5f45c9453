// The series classes to and from pandas, through pandas' own Python API.
// The index is judged on its int64 nanoseconds (pandas' asi8), read as a
// buffer: regular, sorted, no duplicates, whole seconds.
#include "utils/py_series_pandas.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "binding/py_convert.hpp"
#include "binding/py_errors.hpp"
#include "binding/py_pickle.hpp"
#include "core/format.hpp"

namespace pelmora {

using namespace bind;

namespace {

constexpr std::int64_t kNanosPerSecond = 1000000000;

Ref pandas() {
  return import_optional("pandas",
                         "to_pandas and from_pandas need pandas, which could not be imported: install it "
                         "(pip install pandas, or the python3-pandas package of your system)");
}

Ref attr(PyObject* obj, const char* name) { return require(PyObject_GetAttrString(obj, name)); }

// True when `obj` is an instance of pandas.<name>.
bool is_pandas(PyObject* pd, PyObject* obj, const char* name) {
  Ref type = attr(pd, name);
  const int found = PyObject_IsInstance(obj, type.get());
  if (found < 0) throw_error_set();
  return found == 1;
}

// str() of the index entry at `i`, for messages.
std::string label(PyObject* index, Py_ssize_t i) {
  Ref item = require(PySequence_GetItem(index, i));
  Ref text = require(PyObject_Str(item.get()));
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (!utf8) throw_error_set();
  return std::string(utf8, static_cast<std::size_t>(size));
}

std::string seconds_of(std::int64_t nanos) {
  return format_double(static_cast<double>(nanos) / static_cast<double>(kNanosPerSecond));
}

// The instants of a DatetimeIndex or TimedeltaIndex as int64 nanoseconds
// (UTC for an aware index, so steps are elapsed time).
std::vector<std::int64_t> index_nanos(PyObject* index) {
  Ref ns = require(PyObject_CallMethod(index, "as_unit", "s", "ns"));
  Ref asi8 = attr(ns.get(), "asi8");
  BufferView view;
  view.get(asi8.get(), PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
  if (view->itemsize != static_cast<Py_ssize_t>(sizeof(std::int64_t)))
    raise(PyExc_TypeError, "the index did not give 64-bit instants");
  std::vector<std::int64_t> out(static_cast<std::size_t>(view->len) / sizeof(std::int64_t));
  if (!out.empty()) std::memcpy(out.data(), view->buf, out.size() * sizeof(std::int64_t));
  return out;
}

// The step of an index of fewer than two instants, from its freq.
std::int64_t step_from_freq(PyObject* index, std::size_t n) {
  Ref freq = attr(index, "freq");
  if (freq.get() == Py_None)
    raise(PyExc_ValueError, "an index of " + format_int(static_cast<std::int64_t>(n)) +
                                (n == 1 ? " instant" : " instants") +
                                " gives no step: set its freq (for example "
                                "pandas.date_range(start, periods=1, freq='15min'))");
  PyObject* nanos = PyObject_GetAttrString(freq.get(), "nanos");
  if (!nanos) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw_error_set();
    PyErr_Clear();
    Ref text = require(PyObject_Str(freq.get()));
    raise(PyExc_ValueError, require(PyUnicode_FromFormat("the index freq %S is not a fixed step", text.get())));
  }
  Ref held = Ref::steal(nanos);
  return to_i64(held.get());
}

}  // namespace

Ref series_to_pandas(std::span<const double> values, std::int32_t time_step, std::string_view kind,
                     PyObject* start) {
  Ref pd = pandas();
  Ref np = require(PyImport_ImportModule("numpy"));  // pandas depends on it
  const Py_ssize_t n = static_cast<Py_ssize_t>(values.size());

  // A new writable float64 array, filled in one copy.
  Ref array = require(PyObject_CallMethod(np.get(), "empty", "ns", n, "float64"));
  {
    BufferView view;
    view.get(array.get(), PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
    if (!values.empty()) std::memcpy(view->buf, values.data(), values.size_bytes());
  }

  // pandas.Timedelta(value, unit): the step in seconds.
  Ref step = require(PyObject_CallMethod(pd.get(), "Timedelta", "Ls", static_cast<long long>(time_step), "s"));
  Ref kwargs = require(PyDict_New());
  require_ok(PyDict_SetItemString(kwargs.get(), "periods", require(PyLong_FromSsize_t(n)).get()));
  require_ok(PyDict_SetItemString(kwargs.get(), "freq", step.get()));
  Ref range;
  if (start) {
    require_ok(PyDict_SetItemString(kwargs.get(), "start", start));
    Ref date_range = attr(pd.get(), "date_range");
    range = require(PyObject_Call(date_range.get(), require(PyTuple_New(0)).get(), kwargs.get()));
  } else {
    Ref zero = require(PyObject_CallMethod(pd.get(), "Timedelta", "i", 0));
    require_ok(PyDict_SetItemString(kwargs.get(), "start", zero.get()));
    Ref timedelta_range = attr(pd.get(), "timedelta_range");
    range = require(PyObject_Call(timedelta_range.get(), require(PyTuple_New(0)).get(), kwargs.get()));
  }

  Ref series_kwargs = require(PyDict_New());
  require_ok(PyDict_SetItemString(series_kwargs.get(), "index", range.get()));
  require_ok(PyDict_SetItemString(series_kwargs.get(), "name", from_string(kind).get()));
  Ref series_type = attr(pd.get(), "Series");
  Ref args = make_tuple(array);
  return require(PyObject_Call(series_type.get(), args.get(), series_kwargs.get()));
}

PandasInput to_pandas_input(PyObject* obj) {
  Ref pd = pandas();
  Ref series_type = attr(pd.get(), "Series");
  if (!PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(series_type.get())))
    raise_cast_error(obj, reinterpret_cast<PyTypeObject*>(series_type.get()));

  Ref index = attr(obj, "index");
  PandasInput input{obj, false};
  if (is_pandas(pd.get(), index.get(), "DatetimeIndex")) {
    input.dated = true;
  } else if (!is_pandas(pd.get(), index.get(), "TimedeltaIndex")) {
    Ref name = require(PyType_GetName(Py_TYPE(index.get())));
    raise(PyExc_TypeError,
          require(PyUnicode_FromFormat("its index is a %U, not a DatetimeIndex or a TimedeltaIndex", name.get())));
  }

  // Numbers only: integers and floats, numpy's or pandas' nullable ones.
  // Booleans, complex numbers, text and objects are refused.
  Ref dtype = attr(obj, "dtype");
  Ref api = attr(pd.get(), "api");
  Ref types = attr(api.get(), "types");
  auto test = [&](const char* name) {
    Ref result = require(PyObject_CallMethod(types.get(), name, "O", dtype.get()));
    const int truth = PyObject_IsTrue(result.get());
    if (truth < 0) throw_error_set();
    return truth == 1;
  };
  if (!test("is_numeric_dtype") || test("is_bool_dtype") || test("is_complex_dtype")) {
    Ref text = require(PyObject_Str(dtype.get()));
    raise(PyExc_TypeError, require(PyUnicode_FromFormat("values of dtype '%U' are not real numbers", text.get())));
  }
  return input;
}

PandasSeries read_pandas_input(const PandasInput& input) {
  Ref index = attr(input.series, "index");
  const std::vector<std::int64_t> at = index_nanos(index.get());
  const std::size_t n = at.size();
  constexpr std::int64_t kNaT = std::numeric_limits<std::int64_t>::min();

  for (std::size_t i = 0; i < n; ++i)
    if (at[i] == kNaT)
      raise(PyExc_ValueError, "the index has a missing instant (NaT) at position " +
                                  format_int(static_cast<std::int64_t>(i)));

  std::int64_t step = 0;
  if (n < 2) {
    step = step_from_freq(index.get(), n);
  } else {
    // First pass: order. Second: one step throughout.
    for (std::size_t i = 1; i < n; ++i) {
      const auto pos = static_cast<Py_ssize_t>(i);
      if (at[i] == at[i - 1])
        raise(PyExc_ValueError, "the index has a duplicate instant at position " + format_int(pos) + " (" +
                                    label(index.get(), pos) + ")");
      if (at[i] < at[i - 1])
        raise(PyExc_ValueError, "the index is not sorted: position " + format_int(pos) + " (" +
                                    label(index.get(), pos) + ") comes before position " + format_int(pos - 1) +
                                    " (" + label(index.get(), pos - 1) + ")");
    }
    step = at[1] - at[0];
    for (std::size_t i = 2; i < n; ++i) {
      std::int64_t d = 0;
      if (__builtin_sub_overflow(at[i], at[i - 1], &d) || d != step) {
        const auto pos = static_cast<Py_ssize_t>(i);
        raise(PyExc_ValueError, "the index is irregular: its step changes from " + seconds_of(step) + " to " +
                                    seconds_of(d) + " seconds at position " + format_int(pos) + " (" +
                                    label(index.get(), pos) + ")");
      }
    }
  }
  if (step < kNanosPerSecond)
    raise(PyExc_ValueError, "the index step of " + seconds_of(step) + " seconds is finer than one second");
  if (step % kNanosPerSecond != 0)
    raise(PyExc_ValueError, "the index step of " + seconds_of(step) + " seconds is not a whole number of seconds");
  const std::int64_t step_seconds = step / kNanosPerSecond;
  if (step_seconds > std::numeric_limits<std::int32_t>::max())
    raise(PyExc_ValueError, "the index step of " + format_int(step_seconds) +
                                " seconds is longer than a series can hold (2147483647 seconds)");

  PandasSeries out;
  out.time_step = static_cast<std::int32_t>(step_seconds);
  if (n > 0 && input.dated) {
    if (at[0] % 1000 != 0)
      raise(PyExc_ValueError, "the index starts at " + label(index.get(), 0) +
                                  ", between microseconds: a datetime cannot hold that instant");
    Ref first = require(PySequence_GetItem(index.get(), 0));
    Ref instant = require(PyObject_CallMethod(first.get(), "to_pydatetime", nullptr));
    out.start = to_optional_datetime(instant.get());
  } else if (n > 0 && at[0] != 0) {
    raise(PyExc_ValueError, "a TimedeltaIndex must start at 0, not at " + label(index.get(), 0) +
                                ": a series without a start begins at elapsed time 0");
  }

  // Missing values (NaN, None, pandas.NA) all become NaN.
  Ref kwargs = require(PyDict_New());
  require_ok(PyDict_SetItemString(kwargs.get(), "dtype", from_string("float64").get()));
  require_ok(PyDict_SetItemString(kwargs.get(), "na_value", from_double(std::nan("")).get()));
  Ref to_numpy = attr(input.series, "to_numpy");
  Ref values = require(PyObject_Call(to_numpy.get(), require(PyTuple_New(0)).get(), kwargs.get()));
  out.data = to_vector(values.get());
  return out;
}

}  // namespace pelmora
