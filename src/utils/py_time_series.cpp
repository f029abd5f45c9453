// ContinuousTimeSeries and IncrementalTimeSeries as Python classes.
#include "utils/py_time_series.hpp"

#include <string>

#include "binding/py_args.hpp"
#include "binding/py_class.hpp"
#include "binding/py_class_pickle.hpp"
#include "binding/py_convert.hpp"
#include "binding/py_detach.hpp"
#include "binding/py_module.hpp"
#include "binding/py_pickle.hpp"
#include "binding/py_property.hpp"
#include "utils/py_series_pandas.hpp"

namespace pelmora {

using namespace bind;

namespace {

// `start` is keyword-only in a call; a pickle's payload, which is positional,
// carries it fourth.
constexpr const char* kSeriesParams[] = {"data", "time_step", "kind", "start"};
constexpr Signature kContinuousNew{"__new__", "ContinuousTimeSeries", kSeriesParams, 3, 3};
constexpr Signature kIncrementalNew{"__new__", "IncrementalTimeSeries", kSeriesParams, 3, 3};
constexpr Signature kContinuousRebuild{"__new__", "ContinuousTimeSeries", kSeriesParams, 3, 4};
constexpr Signature kIncrementalRebuild{"__new__", "IncrementalTimeSeries", kSeriesParams, 3, 4};

constexpr const char* kParamsDisaggregate[] = {"target_step"};
constexpr Signature kDisaggregate{"disaggregate", "IncrementalTimeSeries", kParamsDisaggregate, 1};

// A constructor's values: any sequence of numbers, converted to a vector.
SeriesValues values_from_sequence(PyObject* obj) { return to_vector(obj); }

// The constructor steps shared by both classes: convert in order, validate the
// kind, then read the step from the timedelta. A pickle's payload takes the
// same steps, its values read by `to_data` from their payload form.
template <class Series>
Dated<Series> series_from_args(const Signature& sig, PyObject* args, PyObject* kwargs,
                               SeriesValues (*to_data)(PyObject*) = values_from_sequence) {
  Args a(sig, args, kwargs);
  Series series;
  series.data = a.get(0, to_data);
  const Timedelta step = a.get(1, to_timedelta);
  series.kind = a.get(2, to_string);
  Ref start = a.get_or(3, to_optional_datetime, Ref());
  validate_kind(series.kind);
  series.time_step = time_step_from_seconds(step.duration().seconds());
  return {std::move(series), std::move(start)};
}

template <class Series>
Ref create_dated(PyTypeObject* type, Dated<Series> made) {
  return create_instance(type, std::move(made.value), made.start.get());
}

PyObject* continuous_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&] { return create_dated(type, series_from_args<ContinuousSeries>(kContinuousNew, args, kwargs)); });
}

PyObject* incremental_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard(
      [&] { return create_dated(type, series_from_args<IncrementalSeries>(kIncrementalNew, args, kwargs)); });
}

// A pickle: the constructor's arguments, the values lent as a buffer, and
// the start when there is one.
template <class Series>
Ref series_payload(PyObject* self, const Series& s, int protocol) {
  PyObject* start = start_of<Series>(self);
  Ref data = doubles_payload(s.data, protocol, self);
  if (!start) return make_tuple(data, timedelta_from_seconds(s.time_step), from_string(s.kind));
  return make_tuple(data, timedelta_from_seconds(s.time_step), from_string(s.kind), Ref::borrow(start));
}

template <class Series, const Signature& Sig>
Dated<Series> series_rebuild(PyObject* args) {
  return series_from_args<Series>(Sig, args, nullptr, values_from_payload);
}

template <class Series>
std::span<const double> series_values(const Series& s) { return s.data; }

template <class Series>
Ref read_data(const Series& s) { return from_vector(s.data); }
template <class Series>
Ref read_kind(const Series& s) { return from_string(s.kind); }
template <class Series>
Ref read_time_step(const Series& s) { return timedelta_from_seconds(s.time_step); }
template <class Series>
Ref read_start(const Series&, PyObject* start) { return Ref::borrow(start ? start : Py_None); }

template <class Series>
PyObject* total_duration(PyObject* self, PyObject*) {
  // A series never changes after construction: nothing to borrow.
  return guard([&] { return from_i64(value_of<Series>(self).total_duration()); });
}

// The intervals split in place keep their start: the first begins where the
// first original interval began.
PyObject* disaggregate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    Args a(kDisaggregate, args, nargs, kwnames);
    IncrementalSeries result = [&] {
      const std::int32_t target = a.get(0, to_i32);
      const IncrementalSeries& series = value_of<IncrementalSeries>(self);
      Detached detached(series.disaggregate_cost(target));
      return series.disaggregate(target, detached.cancel());
    }();
    return wrap(std::move(result), start_of<IncrementalSeries>(self));
  });
}

// ---- repr ------------------------------------------------------------------

// "15 min", "1 h 30 min", "1 d", "90 s" -> "1 min 30 s".
std::string step_text(std::int64_t seconds) {
  static constexpr struct {
    std::int64_t size;
    const char* unit;
  } kUnits[] = {{86400, "d"}, {3600, "h"}, {60, "min"}, {1, "s"}};
  std::string out;
  for (const auto& u : kUnits) {
    const std::int64_t count = seconds / u.size;
    seconds %= u.size;
    if (count == 0) continue;
    if (!out.empty()) out += ' ';
    out += std::to_string(count) + ' ' + u.unit;
  }
  return out.empty() ? "0 s" : out;
}

std::string utf8_of(const Ref& text) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (!utf8) throw_error_set();
  return std::string(utf8, static_cast<std::size_t>(size));
}

std::string float_text(double v) {
  char* text = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
  if (!text) throw_error_set();
  std::string out(text);
  PyMem_Free(text);
  return out;
}

// The first and last few values, so a long series prints in one short line.
constexpr std::size_t kReprEnds = 3;

// <ContinuousTimeSeries kind='discharge', len=97, time_step=15 min,
//  start=2024-05-01T00:00:00, data=[0.0, 35.12, 115.0, ..., 1.2, 0.3, 0.0]>
template <class Series>
PyObject* series_repr(PyObject* self) {
  return guard([&] {
    const Series& s = value_of<Series>(self);  // never changes after construction
    PyObject* start = start_of<Series>(self);
    std::string out = "<" + utf8_of(require(PyType_GetName(Py_TYPE(self))));
    out += " kind='" + s.kind + "', len=" + std::to_string(s.data.size());
    out += ", time_step=" + step_text(s.time_step) + ", start=";
    out += start ? utf8_of(require(PyObject_CallMethod(start, "isoformat", nullptr))) : std::string("None");
    out += ", data=[";
    const std::size_t n = s.data.size();
    for (std::size_t i = 0; i < n; ++i) {
      if (n > 2 * kReprEnds && i == kReprEnds) {
        out += "..., ";
        i = n - kReprEnds;
      }
      out += float_text(s.data[i]);
      if (i + 1 < n) out += ", ";
    }
    out += "]>";
    return make_str(out);
  });
}

// ---- pandas ----------------------------------------------------------------

template <class Series>
PyObject* to_pandas(PyObject* self, PyObject*) {
  return guard([&] {
    const Series& s = value_of<Series>(self);  // never changes after construction
    return series_to_pandas(s.data, s.time_step, s.kind, start_of<Series>(self));
  });
}

constexpr const char* kFromPandasParams[] = {"series", "kind"};
constexpr Signature kContinuousFromPandas{"from_pandas", "ContinuousTimeSeries", kFromPandasParams, 2};
constexpr Signature kIncrementalFromPandas{"from_pandas", "IncrementalTimeSeries", kFromPandasParams, 2};

// A classmethod: builds an instance of the class it is called on.
template <class Series, const Signature& Sig>
PyObject* from_pandas(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    Args a(Sig, args, nargs, kwnames);
    const PandasInput input = a.get(0, to_pandas_input);
    Series series;
    series.kind = a.get(1, to_string);
    validate_kind(series.kind);
    PandasSeries read = read_pandas_input(input);
    series.data = std::move(read.data);
    series.time_step = read.time_step;
    return create_instance(reinterpret_cast<PyTypeObject*>(cls), std::move(series), read.start.get());
  });
}

// ---- docstrings ------------------------------------------------------------

#define PELMORA_SERIES_PARAMETERS(DATA_UNITS)                                                     \
  "Parameters\n"                                                                                  \
  "----------\n"                                                                                  \
  "data : sequence of float\n"                                                                    \
  "    The values in time order, " DATA_UNITS ". Any sequence of numbers\n"                       \
  "    (a list, a tuple, a float64 array); it may be empty, and NaN and\n"                        \
  "    infinities are kept as they are.\n"                                                        \
  "time_step : datetime.timedelta\n"                                                              \
  "    Spacing of the values, in whole seconds: fractions of a second are\n"                      \
  "    dropped, and a step shorter than one second is refused.\n"                                 \
  "kind : str\n"                                                                                  \
  "    What the values are: \"discharge\" (cfs), \"rainfall\" (inches),\n"                         \
  "    \"elevation\" (feet) or \"volume\" (cubic feet). Models accept any kind\n"                  \
  "    and label their results themselves.\n"

#define PELMORA_SERIES_RAISES                                                       \
    "Raises\n"                                                                      \
    "------\n"                                                                      \
    "TypeError\n"                                                                   \
    "    When an argument has the wrong type: `data` not a sequence of numbers,\n"  \
    "    `time_step` not a timedelta, `kind` not a str, `start` neither a\n"        \
    "    datetime nor None (\"argument 'start': ...\").\n"                          \
    "ValueError\n"                                                                  \
    "    When `kind` is not one of the four kinds, or `time_step` is negative\n"    \
    "    or shorter than one second.\n"

constexpr const char kContinuousDoc[] =
    "ContinuousTimeSeries(data, time_step, kind, *, start=None)\n--\n\n"
    "A uniformly-spaced time series where each value represents a quantity at a\n"
    "discrete point in time (e.g. discharge, elevation, storage).\n\n"
    "Value i is the quantity at the instant start + i * time_step. Total\n"
    "duration spans first to last point: `time_step * (len(data) - 1)`.\n"
    "Models read between points by linear interpolation.\n\n"
    PELMORA_SERIES_PARAMETERS("each the quantity at one instant")
    "start : datetime.datetime or None, optional, keyword-only\n"
    "    The instant of the first value, naive or timezone-aware. None (the\n"
    "    default) leaves the series undated: its values sit at elapsed times\n"
    "    0, time_step, 2 * time_step, ...\n\n"
    PELMORA_SERIES_RAISES
    "\nSee Also\n"
    "--------\n"
    "IncrementalTimeSeries : values accumulated over intervals.\n\n"
    "Notes\n"
    "-----\n"
    "A series is an immutable value. Every attribute read returns a new copy;\n"
    "models copy their inputs, and the results carry the start of their own\n"
    "grid. The values can be viewed without a copy through the buffer\n"
    "protocol (`memoryview(series)`, `numpy.asarray(series)`).";

constexpr const char kIncrementalDoc[] =
    "IncrementalTimeSeries(data, time_step, kind, *, start=None)\n--\n\n"
    "A uniformly-spaced time series where each value represents a quantity\n"
    "accumulated over one time step interval (e.g. rainfall depth, volume added).\n\n"
    "Value i is the amount gathered over the interval that begins at the\n"
    "instant start + i * time_step and ends one step later. Total duration\n"
    "spans all intervals: `time_step * len(data)`. Supports disaggregation to\n"
    "a finer time step.\n\n"
    PELMORA_SERIES_PARAMETERS("each the amount of one interval (inches per time step for\n    rainfall)")
    "start : datetime.datetime or None, optional, keyword-only\n"
    "    The instant the first interval begins, naive or timezone-aware. None\n"
    "    (the default) leaves the series undated: interval i begins at elapsed\n"
    "    time i * time_step.\n\n"
    PELMORA_SERIES_RAISES
    "\nSee Also\n"
    "--------\n"
    "ContinuousTimeSeries : values at instants.\n\n"
    "Notes\n"
    "-----\n"
    "A series is an immutable value. Every attribute read returns a new copy;\n"
    "models copy their inputs, and the results carry the start of their own\n"
    "grid. The values can be viewed without a copy through the buffer\n"
    "protocol (`memoryview(series)`, `numpy.asarray(series)`).";

#undef PELMORA_SERIES_PARAMETERS
#undef PELMORA_SERIES_RAISES

constexpr const char kDataDoc[] =
    "The values in time order, as a new list of floats on every read (changing\n"
    "the list changes nothing in the series).";
constexpr const char kKindDoc[] =
    "What the values are: \"discharge\", \"rainfall\", \"elevation\" or \"volume\".";
constexpr const char kTimeStepDoc[] =
    "Spacing of the values, a datetime.timedelta of whole seconds (at least one).";
constexpr const char kContinuousStartDoc[] =
    "The instant of the first value (datetime.datetime, naive or aware), or\n"
    "None for an undated series. Value i sits at start + i * time_step.";
constexpr const char kIncrementalStartDoc[] =
    "The instant the first interval begins (datetime.datetime, naive or aware),\n"
    "or None for an undated series. Value i covers the interval that begins at\n"
    "start + i * time_step.";

constexpr const char kToPandasDoc[] =
    "to_pandas($self)\n--\n\n"
    "The series as a pandas.Series.\n\n"
    "Returns\n"
    "-------\n"
    "pandas.Series\n"
    "    The values as float64, named after `kind`. A dated series gets a\n"
    "    DatetimeIndex of start + i * time_step, with its freq set and the\n"
    "    timezone of `start` kept (steps are elapsed time, also across a change\n"
    "    of clock time); an undated one a TimedeltaIndex from 0.\n\n"
    "Raises\n"
    "------\n"
    "ImportError\n"
    "    When pandas is not installed. pelmora needs it only here and in\n"
    "    `from_pandas`.";

#define PELMORA_FROM_PANDAS_DOC(CLASS, WHERE)                                                     \
  "from_pandas($type, series, kind)\n--\n\n"                                                      \
  "A new " CLASS " from a pandas.Series on a regular time index.\n\n"                             \
  "Parameters\n"                                                                                  \
  "----------\n"                                                                                  \
  "series : pandas.Series\n"                                                                      \
  "    Numbers (integers or floats; missing values become NaN and stay\n"                         \
  "    missing) on a DatetimeIndex or a TimedeltaIndex. A DatetimeIndex gives\n"                  \
  "    the step and the start, " WHERE "; a TimedeltaIndex gives the step\n"                      \
  "    only, and must start at 0. An index of fewer than two instants needs\n"                    \
  "    its freq set.\n"                                                                           \
  "kind : str\n"                                                                                  \
  "    What the values are: \"discharge\", \"rainfall\", \"elevation\" or \"volume\".\n\n"         \
  "Returns\n"                                                                                     \
  "-------\n"                                                                                     \
  CLASS "\n"                                                                                      \
  "    (or the subclass it is called on) with the values, the step and, from\n"                   \
  "    a DatetimeIndex, the start as a datetime.datetime with its timezone.\n\n"                  \
  "Raises\n"                                                                                      \
  "------\n"                                                                                      \
  "ImportError\n"                                                                                 \
  "    When pandas is not installed.\n"                                                           \
  "TypeError\n"                                                                                   \
  "    When `series` is not a pandas.Series, its index is neither a\n"                            \
  "    DatetimeIndex nor a TimedeltaIndex, or its values are not real numbers\n"                  \
  "    (booleans, text and objects are refused).\n"                                               \
  "ValueError\n"                                                                                  \
  "    When `kind` is not one of the four kinds, or the index is not a regular\n"                 \
  "    grid of whole seconds: it has a missing instant, a duplicate, is not\n"                    \
  "    sorted, is irregular, steps by less than one second or by a fraction of\n"                 \
  "    a second. The message says which, and where."

PyGetSetDef continuous_getset[] = {
    {"data", getter<ContinuousSeries, read_data<ContinuousSeries>>, nullptr, kDataDoc, nullptr},
    {"kind", getter<ContinuousSeries, read_kind<ContinuousSeries>>, nullptr, kKindDoc, nullptr},
    {"time_step", getter<ContinuousSeries, read_time_step<ContinuousSeries>>, nullptr, kTimeStepDoc, nullptr},
    {"start", dated_getter<ContinuousSeries, read_start<ContinuousSeries>>, nullptr, kContinuousStartDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef incremental_getset[] = {
    {"data", getter<IncrementalSeries, read_data<IncrementalSeries>>, nullptr, kDataDoc, nullptr},
    {"kind", getter<IncrementalSeries, read_kind<IncrementalSeries>>, nullptr, kKindDoc, nullptr},
    {"time_step", getter<IncrementalSeries, read_time_step<IncrementalSeries>>, nullptr, kTimeStepDoc, nullptr},
    {"start", dated_getter<IncrementalSeries, read_start<IncrementalSeries>>, nullptr, kIncrementalStartDoc,
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef continuous_methods[] = {
    {"total_duration", total_duration<ContinuousSeries>, METH_NOARGS,
     "total_duration($self)\n--\n\n"
     "Total duration from first to last data point (seconds).\n\n"
     "Returns\n"
     "-------\n"
     "int\n"
     "    `time_step * (len(data) - 1)` in seconds; -time_step for an empty\n"
     "    series."},
    {"to_pandas", to_pandas<ContinuousSeries>, METH_NOARGS, kToPandasDoc},
    {"from_pandas", fastcall_method(from_pandas<ContinuousSeries, kContinuousFromPandas>),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     PELMORA_FROM_PANDAS_DOC("ContinuousTimeSeries", "the instant of the first value")},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef incremental_methods[] = {
    {"total_duration", total_duration<IncrementalSeries>, METH_NOARGS,
     "total_duration($self)\n--\n\n"
     "Total duration spanning all time step intervals (seconds).\n\n"
     "Returns\n"
     "-------\n"
     "int\n"
     "    `time_step * len(data)` in seconds."},
    {"disaggregate", fastcall_method(disaggregate),
     METH_FASTCALL | METH_KEYWORDS,
     "disaggregate($self, target_step)\n--\n\n"
     "Disaggregates to a finer `target_step` (seconds) by uniformly\n"
     "distributing each bucket's value. Total depth is preserved.\n\n"
     "Parameters\n"
     "----------\n"
     "target_step : int\n"
     "    The new step in whole seconds: at least 30, and a divisor of the\n"
     "    series' own step.\n\n"
     "Returns\n"
     "-------\n"
     "IncrementalTimeSeries\n"
     "    Each value split into `time_step / target_step` equal parts, with the\n"
     "    same kind and the same start (the first interval still begins there).\n\n"
     "Raises\n"
     "------\n"
     "TypeError\n"
     "    When `target_step` is not an integer (a timedelta is refused).\n"
     "ValueError\n"
     "    When `target_step` is below 30 or does not divide the step."},
    {"to_pandas", to_pandas<IncrementalSeries>, METH_NOARGS, kToPandasDoc},
    {"from_pandas", fastcall_method(from_pandas<IncrementalSeries, kIncrementalFromPandas>),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     PELMORA_FROM_PANDAS_DOC("IncrementalTimeSeries", "the instant the first interval begins")},
    {nullptr, nullptr, 0, nullptr},
};

#undef PELMORA_FROM_PANDAS_DOC

// The two classes differ in their names, constructors and members only.
template <class Series, const Signature& Rebuild>
struct SeriesClass : BoundClass<Series> {
  SeriesClass(const char* name, const char* doc, newfunc tp_new, PyGetSetDef* getset, PyMethodDef* methods)
      : BoundClass<Series>({.name = name, .doc = doc, .subclassable = true, .tp_new = tp_new, .getset = getset,
                            .methods = methods},
                           pickled<Series, series_payload<Series>, series_rebuild<Series, Rebuild>>(),
                           exported<Series, series_values<Series>>(), &series_repr<Series>) {}
};

SeriesClass<ContinuousSeries, kContinuousRebuild> continuous_class("ContinuousTimeSeries", kContinuousDoc,
                                                                   continuous_new, continuous_getset,
                                                                   continuous_methods);
SeriesClass<IncrementalSeries, kIncrementalRebuild> incremental_class("IncrementalTimeSeries", kIncrementalDoc,
                                                                      incremental_new, incremental_getset,
                                                                      incremental_methods);

}  // namespace

namespace {
// What the module holds, in the order of its __all__.
constexpr Member kMembers[] = {
    class_member(&ClassInfo<ContinuousSeries>::type),
    class_member(&ClassInfo<IncrementalSeries>::type),
};
}  // namespace

void register_time_series(PyObject* module) { add_members(module, kMembers); }

namespace bind {
PyTypeObject* ClassInfo<ContinuousSeries>::type() { return continuous_class.type(); }
PyTypeObject* ClassInfo<IncrementalSeries>::type() { return incremental_class.type(); }
}  // namespace bind

}  // namespace pelmora
