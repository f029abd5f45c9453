// Conversions between Python values and the library's internal values.
//
// Each `to_*` converter takes a borrowed object and returns a C++ value or
// throws (with the Python error set). The callers in py_args.hpp add the
// "argument '{param}': " prefix to plain TypeErrors.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/py_object.hpp"

namespace pelmora::bind {

// A non-negative time span, as whole seconds plus nanoseconds.
struct Duration {
  std::uint64_t secs = 0;
  std::uint32_t nanos = 0;
  // Whole seconds + nanoseconds / 1e9: the one way models turn it into seconds.
  double seconds() const { return static_cast<double>(secs) + static_cast<double>(nanos) / 1000000000.0; }
};

// A timedelta whose type has been checked and whose fields have been read;
// its sign is judged only when a model asks for the duration.
struct Timedelta {
  std::int64_t days = 0;
  std::int32_t seconds = 0;
  std::int32_t microseconds = 0;
  // DomainError for a negative timedelta.
  Duration duration() const;
};

double to_double(PyObject* obj);
std::optional<double> to_optional_double(PyObject* obj);  // None means absent
bool to_bool(PyObject* obj);                                // bool or a numpy bool scalar
std::uint64_t to_count(PyObject* obj);                      // any __index__, not negative
std::int64_t to_i64(PyObject* obj);
std::int32_t to_i32(PyObject* obj);
std::string to_string(PyObject* obj);                       // str and subclasses
std::vector<double> to_vector(PyObject* obj);               // any non-str sequence (number buffers in one pass)
Timedelta to_timedelta(PyObject* obj);                      // datetime.timedelta and subclasses
// A start instant: a datetime.datetime (naive or aware, subclasses too),
// borrowed; None gives an empty Ref. Anything else is the cast error naming
// `datetime`.
Ref to_optional_datetime(PyObject* obj);

// A dict converted item by item in the dict's own order: keys as strings,
// values by `convert`. Each step runs under the dict's lock; a dict changed
// by another thread between steps raises RuntimeError, as iterating it in
// Python would.
template <class Convert>
auto to_map(PyObject* obj, Convert&& convert)
    -> std::vector<std::pair<std::string, decltype(convert(obj))>>;

Ref from_double(double value);
Ref from_i64(std::int64_t value);
Ref from_u64(std::uint64_t value);
Ref from_string(std::string_view value);
Ref from_vector(std::span<const double> values);  // a new list of floats
Ref from_optional_double(const std::optional<double>& value);
// A timedelta normalised into days and seconds, zero microseconds.
Ref timedelta_from_seconds(std::int64_t seconds);
// The instant `seconds` of elapsed time after `start` (a datetime, or null:
// gives an empty Ref). An aware instant moves in real time, across any
// change of its UTC offset, as pandas does; a naive one by plain addition.
Ref datetime_after(PyObject* start, std::int64_t seconds);

// The module `name`, imported on each call (sys.modules answers after the
// first). A module that cannot be imported raises ImportError `missing`,
// the import's own error as its cause.
Ref import_optional(const char* name, const char* missing);

namespace detail {
// Steps through a dict's items under its lock, checking it did not change.
class DictSteps {
 public:
  explicit DictSteps(PyObject* dict);  // raises the cast error for a non-dict
  std::size_t size() const { return static_cast<std::size_t>(size_); }
  // Calls visit(key, value) with borrowed references for the next item while
  // holding the dict's lock; returns false after the last item.
  template <class Visit>
  bool next(Visit&& visit) {
    CriticalSection lock(dict_);
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    if (!advance(&key, &value)) return false;
    visit(key, value);
    return true;
  }

 private:
  bool advance(PyObject** key, PyObject** value);
  PyObject* dict_;
  Py_ssize_t size_;
  Py_ssize_t remaining_;
  Py_ssize_t pos_ = 0;
};
}  // namespace detail

template <class Convert>
auto to_map(PyObject* obj, Convert&& convert)
    -> std::vector<std::pair<std::string, decltype(convert(obj))>> {
  detail::DictSteps steps(obj);
  std::vector<std::pair<std::string, decltype(convert(obj))>> out;
  out.reserve(steps.size());
  while (steps.next([&](PyObject* key, PyObject* value) {
    std::string name = to_string(key);
    out.emplace_back(std::move(name), convert(value));
  })) {
  }
  return out;
}

}  // namespace pelmora::bind
