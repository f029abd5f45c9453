// Argument conversions and result conversions.
#include "binding/py_convert.hpp"

#include <datetime.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <limits>
#include <type_traits>

#include "core/errors.hpp"
#include "binding/py_convert_buffer.hpp"
#include "binding/py_errors.hpp"

namespace pelmora::bind {

namespace {

// datetime.h declares a per-file API pointer; this file keeps its own cache
// instead, which is safe to publish across threads.
[[maybe_unused]] PyDateTime_CAPI** const kHeaderApiSlot = &PyDateTimeAPI;

// The datetime C API, imported once from its capsule.
PyDateTime_CAPI* datetime_api() {
  static std::atomic<PyDateTime_CAPI*> cached{nullptr};
  PyDateTime_CAPI* api = cached.load(std::memory_order_acquire);
  if (api) return api;
  api = static_cast<PyDateTime_CAPI*>(PyCapsule_Import("datetime.datetime_CAPI", 0));
  if (!api) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "failed to import `datetime` C API");
    throw_error_set();
  }
  // The capsule lives as long as the datetime module; every thread sees the same pointer.
  cached.store(api, std::memory_order_release);
  return api;
}

// collections.abc.Sequence, imported on first use, names the sequence cast error.
PyTypeObject* sequence_abc() {
  static std::atomic<PyObject*> cached{nullptr};
  PyObject* type = cached.load(std::memory_order_acquire);
  if (type) return reinterpret_cast<PyTypeObject*>(type);
  Ref module = require(PyImport_ImportModule("collections.abc"));
  Ref seq = require(PyObject_GetAttrString(module.get(), "Sequence"));
  if (!PyType_Check(seq.get())) raise_cast_error(seq.get(), "type");
  PyObject* expected = nullptr;
  if (cached.compare_exchange_strong(expected, seq.get(), std::memory_order_acq_rel)) {
    return reinterpret_cast<PyTypeObject*>(seq.release());  // kept for the process
  }
  return reinterpret_cast<PyTypeObject*>(expected);
}

bool type_named(PyObject* obj, const char* name) { return std::strcmp(Py_TYPE(obj)->tp_name, name) == 0; }

// Exact floats read from an array of items; false, having read nothing into
// `out`, when any item is not an exact float. `sum` (when given) gets their
// sum in index order from 0.0, taken in the same loop as the copy.
template <class Out>
bool read_floats(PyObject* const* items, Py_ssize_t n, Out& out, double* sum) {
  for (Py_ssize_t i = 0; i < n; ++i)
    if (!PyFloat_CheckExact(items[i])) return false;
  out.resize(static_cast<std::size_t>(n));
  double* to = out.data();
  if (!sum) {
    for (Py_ssize_t i = 0; i < n; ++i) to[i] = PyFloat_AS_DOUBLE(items[i]);
    return true;
  }
  double total = 0.0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    const double v = PyFloat_AS_DOUBLE(items[i]);
    to[i] = v;
    total = total + v;
  }
  *sum = total;
  return true;
}

// Exact floats in a list, read under the list's lock (nothing in it calls
// into Python, which would suspend the lock).
template <class Out>
bool read_float_list(PyObject* list, Out& out, double* sum) {
  CriticalSection lock(list);
  detail::NoPython no_python;
  return read_floats(reinterpret_cast<PyListObject*>(list)->ob_item, PyList_GET_SIZE(list), out, sum);
}

template <class Out>
bool read_float_tuple(PyObject* tuple, Out& out, double* sum) {
  detail::NoPython no_python;
  return read_floats(reinterpret_cast<PyTupleObject*>(tuple)->ob_item, PyTuple_GET_SIZE(tuple), out, sum);
}

// Sequences whose length is their real size: what they report is reserved.
// Any other length is a hint that may lie, so only a bounded part of it is.
bool length_is_exact(PyObject* obj) {
  return PyList_CheckExact(obj) || PyTuple_CheckExact(obj) || PyRange_Check(obj);
}

// The first reservation for a sequence whose length may lie (512 KiB).
constexpr std::size_t kFirstReserve = std::size_t{1} << 16;

}  // namespace

Duration Timedelta::duration() const {
  if (days < 0) throw DomainError("cannot convert a negative timedelta to a duration");
  Duration d;
  d.secs = static_cast<std::uint64_t>(days) * 86400u + static_cast<std::uint64_t>(seconds);
  d.nanos = static_cast<std::uint32_t>(microseconds) * 1000u;
  return d;
}

double to_double(PyObject* obj) {
  if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
  detail::expect_python_allowed();
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) throw_error_set();
  return v;
}

std::optional<double> to_optional_double(PyObject* obj) {
  if (obj == nullptr || obj == Py_None) return std::nullopt;
  return to_double(obj);
}

bool to_bool(PyObject* obj) {
  if (PyBool_Check(obj)) return obj == Py_True;
  if (type_named(obj, "numpy.bool") || type_named(obj, "numpy.bool_")) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) throw_error_set();
    return truth != 0;
  }
  raise_cast_error(obj, "bool");
}

std::uint64_t to_count(PyObject* obj) {
  detail::expect_python_allowed();
  Ref index = require(PyNumber_Index(obj));
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_error_set();
  return static_cast<std::uint64_t>(v);
}

std::int64_t to_i64(PyObject* obj) {
  const long v = PyLong_AsLong(obj);
  if (v == -1 && PyErr_Occurred()) throw_error_set();
  return static_cast<std::int64_t>(v);
}

std::int32_t to_i32(PyObject* obj) {
  const std::int64_t v = to_i64(obj);
  if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max())
    raise(PyExc_OverflowError, "out of range integral type conversion attempted");
  return static_cast<std::int32_t>(v);
}

std::string to_string(PyObject* obj) {
  if (!PyUnicode_Check(obj)) raise_cast_error(obj, "str");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (!utf8) throw_error_set();
  return std::string(utf8, static_cast<std::size_t>(size));
}

namespace {

// Every value of a sequence as a double; `sum` (when given) gets their sum in
// index order from 0.0, added as each value is stored.
template <class Out>
Out convert_sequence(PyObject* obj, double* sum) {
  if (PyUnicode_Check(obj)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(obj)) raise_cast_error(obj, sequence_abc());

  Out out;
  // Fast paths read the same values the general path would, or decline.
  if (PyList_CheckExact(obj) && read_float_list(obj, out, sum)) return out;
  if (PyTuple_CheckExact(obj) && read_float_tuple(obj, out, sum)) return out;
  if (detail::read_number_buffer(obj, out, sum)) return out;

  // General path: the length (when known) sizes the vector, then every item
  // is converted as a double. Items may run Python code (__float__), which may
  // change the very sequence; the iterator keeps that safe. As for list(), a
  // sequence without a length is iterated, but one whose length fails in
  // another way (range(2**63) overflows) is refused, not iterated until
  // memory runs out. A length that is only a claim (a user's __len__) sizes
  // at most the first reservation, and the vector is trimmed to what was
  // read, so a sequence that overstates its length pins no memory.
  out.clear();
  detail::expect_python_allowed();
  double total = 0.0;
  const Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_error_set();
    PyErr_Clear();
  } else {
    const std::size_t claimed = static_cast<std::size_t>(hint);
    out.reserve(length_is_exact(obj) ? claimed : std::min(claimed, kFirstReserve));
  }
  for_each_item(obj, [&](PyObject* item) {
    const double v = to_double(item);
    out.push_back(v);
    total = total + v;
  });
  if (sum) *sum = total;
  if (out.capacity() > out.size()) out.shrink_to_fit();
  return out;
}

}  // namespace

std::vector<double> to_vector(PyObject* obj) { return convert_sequence<std::vector<double>>(obj, nullptr); }

Summed to_summed_vector(PyObject* obj) {
  Summed out;
  out.values = convert_sequence<Values>(obj, &out.sum);
  return out;
}

bool read_summed_buffers(PyObject* first, PyObject* second, Summed& first_out, Summed& second_out) {
  return detail::read_double_buffer_pair(first, second, first_out.values, first_out.sum, second_out.values,
                                         second_out.sum);
}

Timedelta to_timedelta(PyObject* obj) {
  PyDateTime_CAPI* api = datetime_api();
  if (!PyObject_TypeCheck(obj, api->DeltaType)) raise_cast_error(obj, "timedelta");
  Timedelta td;
  td.days = PyDateTime_DELTA_GET_DAYS(obj);
  td.seconds = PyDateTime_DELTA_GET_SECONDS(obj);
  td.microseconds = PyDateTime_DELTA_GET_MICROSECONDS(obj);
  return td;
}

Ref to_optional_datetime(PyObject* obj) {
  if (obj == nullptr || obj == Py_None) return Ref();
  PyDateTime_CAPI* api = datetime_api();
  if (!PyObject_TypeCheck(obj, api->DateTimeType)) raise_cast_error(obj, "datetime");
  return Ref::borrow(obj);
}

namespace detail {

DictSteps::DictSteps(PyObject* dict) : dict_(dict) {
  if (!PyDict_Check(dict)) raise_cast_error(dict, "dict");
  size_ = PyDict_Size(dict);
  remaining_ = size_;
}

bool DictSteps::advance(PyObject** key, PyObject** value) {
  if (PyDict_Size(dict_) != size_) raise(PyExc_RuntimeError, "dictionary changed size during iteration");
  if (!PyDict_Next(dict_, &pos_, key, value)) return false;
  if (remaining_ == 0) raise(PyExc_RuntimeError, "dictionary keys changed during iteration");
  --remaining_;
  return true;
}

}  // namespace detail

Ref from_double(double value) { return require(PyFloat_FromDouble(value)); }
Ref from_i64(std::int64_t value) { return require(PyLong_FromLongLong(value)); }
Ref from_u64(std::uint64_t value) { return require(PyLong_FromUnsignedLongLong(value)); }
Ref from_string(std::string_view value) {
  return require(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}

Ref from_vector(std::span<const double> values) {
  Ref list = require(PyList_New(static_cast<Py_ssize_t>(values.size())));
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = PyFloat_FromDouble(values[i]);
    if (!item) throw_error_set();  // the list frees what it holds
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

Ref from_optional_double(const std::optional<double>& value) {
  if (!value) return Ref::borrow(Py_None);
  return from_double(*value);
}

Ref timedelta_from_seconds(std::int64_t seconds) {
  PyDateTime_CAPI* api = datetime_api();
  // Floor division keeps the seconds part in [0, 86400).
  std::int64_t days = seconds / 86400;
  std::int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    days -= 1;
  }
  return require(api->Delta_FromDelta(static_cast<int>(days), static_cast<int>(rest), 0, 1, api->DeltaType));
}

Ref datetime_after(PyObject* start, std::int64_t seconds) {
  if (!start) return Ref();
  Ref delta = timedelta_from_seconds(seconds);
  PyDateTime_CAPI* api = datetime_api();
  Ref offset = require(PyObject_CallMethod(start, "utcoffset", nullptr));
  Ref later;
  if (offset.get() == Py_None) {
    later = require(PyNumber_Add(start, delta.get()));
  } else {
    // Aware: step in UTC, then back to the start's own zone, so a step is
    // always `seconds` long whatever the zone's clock does meanwhile.
    Ref tzinfo = require(PyObject_GetAttrString(start, "tzinfo"));
    Ref utc = require(PyObject_CallMethod(start, "astimezone", "O", api->TimeZone_UTC));
    Ref moved = require(PyNumber_Add(utc.get(), delta.get()));
    later = require(PyObject_CallMethod(moved.get(), "astimezone", "O", tzinfo.get()));
  }
  // A subclass may answer with anything; a start must stay a datetime.
  if (!PyObject_TypeCheck(later.get(), api->DateTimeType)) raise_cast_error(later.get(), "datetime");
  return later;
}

Ref import_optional(const char* name, const char* missing) {
  PyObject* module = PyImport_ImportModule(name);
  if (module) return Ref::steal(module);
  if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw_error_set();
  PyObject* cause = PyErr_GetRaisedException();
  PyObject* error = PyObject_CallFunction(PyExc_ImportError, "s", missing);
  if (!error) {
    Py_DECREF(cause);
    throw_error_set();
  }
  PyException_SetCause(error, cause);  // steals `cause`
  PyErr_SetRaisedException(error);
  throw_error_set();
}

}  // namespace pelmora::bind
