// Conversions between Python values and the library's internal values.
//
// Each `to_*` converter takes a borrowed object and returns a C++ value or
// throws (with the Python error set). The callers in py_args.hpp add the
// "argument '{param}': " prefix to plain TypeErrors.
//
// What each converter may do, which its callers rely on:
//  * No Python code: to_bool, to_string, to_i32 and to_i64 of an int,
//    to_optional_datetime after the first datetime use, from_* (beyond
//    allocating), and the fast paths of the sequence converters (lists and
//    tuples of exact floats, number buffers). These never run user code, so
//    nothing they were given can change while they run.
//  * May call into Python (a __float__, __index__, __len__, __iter__, an
//    import): to_double and to_optional_double of anything but an exact
//    float, to_count, to_i64/to_i32 of a non-int, to_timedelta and
//    to_optional_datetime on first use (they import datetime), and the item
//    path of to_vector/to_summed_vector. User code may then change any object,
//    including earlier arguments that are still borrowed: copy what must not
//    change before converting the next argument.
//  * Under a dict's critical section: any converter given to to_map. A call
//    into Python there suspends the lock and lets other threads in, so to_map
//    holds its own references to the key and value it converts and checks the
//    dict between steps.
// Builds without NDEBUG (the default) check the first rule: a stretch marked
// detail::NoPython that reaches a call into Python through these converters
// fails an assertion.
#pragma once

#include <cassert>
#include <cstdint>
#include <memory>
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
// The values of a sequence, as to_vector gives them, and their sum, added in
// index order from 0.0 as each value is copied, as a plain loop would add them.
// Its vector leaves new doubles uninitialised, since every one is written next.
template <class T>
struct Uninitialised : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = Uninitialised<U>;
  };
  Uninitialised() noexcept = default;
  template <class U>
  Uninitialised(const Uninitialised<U>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... A>
  void construct(U* p, A&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<A>(args)...);
  }
};
using Values = std::vector<double, Uninitialised<double>>;
struct Summed {
  Values values;
  double sum = 0.0;
};
Summed to_summed_vector(PyObject* obj);
// Two arguments read together when both are float64 buffers of one length
// (native, aligned, contiguous), with each sum taken in the same loop as the
// copies. Neither read runs Python code, so this is the same as converting
// them one after the other with to_summed_vector. Returns false, having read
// nothing, for any other pair: the caller converts them one at a time.
bool read_summed_buffers(PyObject* first, PyObject* second, Summed& first_out, Summed& second_out);
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

#ifndef NDEBUG
inline thread_local int no_python_depth = 0;
// Marks a stretch that must not call into Python: it holds a lock that a call
// would suspend, or borrows items that a call could free.
class NoPython {
 public:
  NoPython() noexcept { ++no_python_depth; }
  ~NoPython() { --no_python_depth; }
  NoPython(const NoPython&) = delete;
  NoPython& operator=(const NoPython&) = delete;
};
// Placed where a converter is about to call into Python.
inline void expect_python_allowed() noexcept { assert(no_python_depth == 0 && "Python called in a NoPython stretch"); }
#else
class NoPython {
 public:
  NoPython() noexcept {}
  NoPython(const NoPython&) = delete;
  NoPython& operator=(const NoPython&) = delete;
};
inline void expect_python_allowed() noexcept {}
#endif

// Steps through a dict's items under its lock, checking it did not change.
class DictSteps {
 public:
  explicit DictSteps(PyObject* dict);  // raises the cast error for a non-dict
  std::size_t size() const { return static_cast<std::size_t>(size_); }
  // Calls visit(key, value) for the next item while holding the dict's lock;
  // returns false after the last item. Key and value are held by references
  // of their own: a visit that calls into Python suspends the lock, and the
  // item may leave the dict meanwhile.
  template <class Visit>
  bool next(Visit&& visit) {
    CriticalSection lock(dict_);
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    if (!advance(&key, &value)) return false;
    const Ref held_key = Ref::borrow(key);
    const Ref held_value = Ref::borrow(value);
    visit(held_key.get(), held_value.get());
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
