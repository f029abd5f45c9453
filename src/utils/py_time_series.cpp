// ContinuousTimeSeries and IncrementalTimeSeries as Python classes.
#include "utils/py_time_series.hpp"

#include "binding/py_args.hpp"
#include "binding/py_convert.hpp"
#include "binding/py_detach.hpp"
#include "binding/py_module.hpp"
#include "binding/py_pickle.hpp"

namespace pelmora {

using namespace bind;

namespace {

constexpr const char* kSeriesParams[] = {"data", "time_step", "kind"};
constexpr Signature kContinuousNew{"__new__", "ContinuousTimeSeries", kSeriesParams, 3};
constexpr Signature kIncrementalNew{"__new__", "IncrementalTimeSeries", kSeriesParams, 3};

constexpr const char* kParamsDisaggregate[] = {"target_step"};
constexpr Signature kDisaggregate{"disaggregate", "IncrementalTimeSeries", kParamsDisaggregate, 1};

// The constructor steps shared by both classes: convert in order, validate the
// kind, then read the step from the timedelta. A pickle's payload takes the
// same steps, its values read by `to_data` from their payload form.
template <class Series>
Series series_from_args(const Signature& sig, PyObject* args, PyObject* kwargs,
                        std::vector<double> (*to_data)(PyObject*) = to_vector) {
  Args a(sig, args, kwargs);
  Series series;
  series.data = a.get(0, to_data);
  const Timedelta step = a.get(1, to_timedelta);
  series.kind = a.get(2, to_string);
  validate_kind(series.kind);
  series.time_step = time_step_from_seconds(step.duration().seconds());
  return series;
}

PyObject* continuous_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    return create_instance(type, series_from_args<ContinuousSeries>(kContinuousNew, args, kwargs));
  });
}

PyObject* incremental_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    return create_instance(type, series_from_args<IncrementalSeries>(kIncrementalNew, args, kwargs));
  });
}

// A pickle: the constructor's arguments, the values lent as a buffer.
template <class Series>
Ref series_payload(PyObject* self, const Series& s, int protocol) {
  return make_tuple(doubles_payload(s.data, protocol, self), timedelta_from_seconds(s.time_step),
                    from_string(s.kind));
}

template <class Series, const Signature& Sig>
Series series_rebuild(PyObject* args) {
  return series_from_args<Series>(Sig, args, nullptr, doubles_from_payload);
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
PyObject* total_duration(PyObject* self, PyObject*) {
  return guard([&] {
    SharedBorrow<Series> borrow(self);
    return from_i64(value_of<Series>(self).total_duration());
  });
}

PyObject* disaggregate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    Args a(kDisaggregate, args, nargs, kwnames);
    IncrementalSeries result = [&] {
      SharedBorrow<IncrementalSeries> borrow(self);
      const std::int32_t target = a.get(0, to_i32);
      const IncrementalSeries& series = value_of<IncrementalSeries>(self);
      Detached detached(series.disaggregate_cost(target));
      return series.disaggregate(target, detached.cancel());
    }();
    return wrap(std::move(result));
  });
}

template <class Series>
PyGetSetDef series_getset[] = {
    {"data", getter<Series, read_data<Series>>, nullptr, nullptr, nullptr},
    {"kind", getter<Series, read_kind<Series>>, nullptr, nullptr, nullptr},
    {"time_step", getter<Series, read_time_step<Series>>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef continuous_methods[] = {
    {"total_duration", total_duration<ContinuousSeries>, METH_NOARGS,
     "total_duration($self)\n--\n\nTotal duration from first to last data point (seconds)."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef incremental_methods[] = {
    {"total_duration", total_duration<IncrementalSeries>, METH_NOARGS,
     "total_duration($self)\n--\n\nTotal duration spanning all time step intervals (seconds)."},
    {"disaggregate", fastcall_method(disaggregate),
     METH_FASTCALL | METH_KEYWORDS,
     "disaggregate($self, target_step)\n--\n\nDisaggregates to a finer `target_step` (seconds) by uniformly\n"
     "distributing each bucket's value. Total depth is preserved."},
    {nullptr, nullptr, 0, nullptr},
};

BoundClass<ContinuousSeries> continuous_class({
    "ContinuousTimeSeries",
    "ContinuousTimeSeries(data, time_step, kind)\n--\n\n"
    "A uniformly-spaced time series where each value represents a quantity at a\n"
    "discrete point in time (e.g. discharge, elevation, storage).\n\n"
    "Total duration spans first to last point: `time_step * (len(data) - 1)`.\n"
    "Supports linear interpolation between points.",
    true,
    continuous_new,
    series_getset<ContinuousSeries>,
    continuous_methods,
}, pickled<ContinuousSeries, series_payload<ContinuousSeries>, series_rebuild<ContinuousSeries, kContinuousNew>>(),
   exported<ContinuousSeries, series_values<ContinuousSeries>>());

BoundClass<IncrementalSeries> incremental_class({
    "IncrementalTimeSeries",
    "IncrementalTimeSeries(data, time_step, kind)\n--\n\n"
    "A uniformly-spaced time series where each value represents a quantity\n"
    "accumulated over one time step interval (e.g. rainfall depth, volume added).\n\n"
    "Total duration spans all intervals: `time_step * len(data)`.\n"
    "Supports disaggregation to a finer time step.",
    true,
    incremental_new,
    series_getset<IncrementalSeries>,
    incremental_methods,
}, pickled<IncrementalSeries, series_payload<IncrementalSeries>, series_rebuild<IncrementalSeries, kIncrementalNew>>(),
   exported<IncrementalSeries, series_values<IncrementalSeries>>());

}  // namespace

void register_time_series(PyObject* module) {
  add_class(module, continuous_class.type());
  add_class(module, incremental_class.type());
}

namespace bind {
PyTypeObject* ClassInfo<ContinuousSeries>::type() { return continuous_class.type(); }
PyTypeObject* ClassInfo<IncrementalSeries>::type() { return incremental_class.type(); }
}  // namespace bind

}  // namespace pelmora
