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

// Exact floats in a list, read under the list's lock. Returns false, having
// read nothing into `out`, when any item is not an exact float.
bool read_float_list(PyObject* list, std::vector<double>& out) {
  CriticalSection lock(list);
  const Py_ssize_t n = PyList_GET_SIZE(list);
  for (Py_ssize_t i = 0; i < n; ++i)
    if (!PyFloat_CheckExact(PyList_GET_ITEM(list, i))) return false;
  out.resize(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) out[static_cast<std::size_t>(i)] = PyFloat_AS_DOUBLE(PyList_GET_ITEM(list, i));
  return true;
}

bool read_float_tuple(PyObject* tuple, std::vector<double>& out) {
  const Py_ssize_t n = PyTuple_GET_SIZE(tuple);
  for (Py_ssize_t i = 0; i < n; ++i)
    if (!PyFloat_CheckExact(PyTuple_GET_ITEM(tuple, i))) return false;
  out.resize(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) out[static_cast<std::size_t>(i)] = PyFloat_AS_DOUBLE(PyTuple_GET_ITEM(tuple, i));
  return true;
}

// Buffers read in one pass instead of item by item. Only exporters whose
// items are exactly the numbers in their buffer qualify: exact numpy arrays,
// array.array, memoryview, bytes and bytearray (any other type may define
// __getitem__ to mean something else).
bool exports_its_items(PyObject* obj) {
  return PyMemoryView_Check(obj) || PyBytes_CheckExact(obj) || PyByteArray_CheckExact(obj) ||
         type_named(obj, "numpy.ndarray") || type_named(obj, "array.array");
}

// The numbers whose items convert to a double by a plain cast, exactly as
// float() of each item would: floats widen exactly, and integers round to
// nearest, ties to even, as float(int) does. Booleans, half floats, chars,
// long doubles, complex and composite formats are left to the item path,
// which is what gives their values, warnings or errors.
enum class NumberKind { kSigned, kUnsigned, kFloat };

struct ItemFormat {
  NumberKind kind;
  std::size_t size;
  bool swapped;  // stored in the other byte order
};

// `memoryview`: the exporter is a memoryview, which iterates native formats
// only (any other fails there), except that doubles in native byte order
// have always been read from it whatever the prefix, as from any exporter.
std::optional<ItemFormat> item_format(const Py_buffer& view, bool memoryview) {
  const char* fmt = view.format ? view.format : "B";
  constexpr bool kLittle = std::endian::native == std::endian::little;
  bool swapped = false;
  switch (*fmt) {
    case '@':
      ++fmt;
      break;
    case '=':
    case '<':
    case '>':
    case '!':
      swapped = (*fmt == '<' && !kLittle) || ((*fmt == '>' || *fmt == '!') && kLittle);
      ++fmt;
      if (memoryview && (swapped || std::strcmp(fmt, "d") != 0)) return std::nullopt;
      break;
    default:
      break;
  }
  if (fmt[0] == '\0' || fmt[1] != '\0') return std::nullopt;
  const std::size_t size = static_cast<std::size_t>(view.itemsize);
  NumberKind kind;
  switch (fmt[0]) {
    case 'b': case 'h': case 'i': case 'l': case 'q': case 'n':
      kind = NumberKind::kSigned;
      break;
    case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N':
      kind = NumberKind::kUnsigned;
      break;
    case 'f':
      if (size != sizeof(float)) return std::nullopt;
      kind = NumberKind::kFloat;
      break;
    case 'd':
      if (size != sizeof(double)) return std::nullopt;
      kind = NumberKind::kFloat;
      break;
    default:
      return std::nullopt;
  }
  if (size != 1 && size != 2 && size != 4 && size != 8) return std::nullopt;
  return ItemFormat{kind, size, swapped && size > 1};
}

// The export of `obj` when it is a one-dimensional buffer of numbers of a
// common type, held in `view`, and the layout of its items; nothing (with no
// error set) for any other object or buffer, which the item path then takes.
std::optional<ItemFormat> number_buffer(PyObject* obj, BufferView& view) {
  if (!exports_its_items(obj)) return std::nullopt;
  // An object that refuses is converted item by item, which raises what it raises.
  if (!view.try_get(obj, PyBUF_RECORDS_RO)) return std::nullopt;
  if (view->ndim != 1 || view->suboffsets != nullptr || view->shape == nullptr) return std::nullopt;
  return item_format(*view, PyMemoryView_Check(obj));
}

template <class T>
T load(const char* p, bool swapped) {
  using Bits = std::conditional_t<sizeof(T) == 1, std::uint8_t,
               std::conditional_t<sizeof(T) == 2, std::uint16_t,
               std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>>;
  Bits bits;
  std::memcpy(&bits, p, sizeof bits);
  if (swapped) {
    if constexpr (sizeof bits == 2) bits = __builtin_bswap16(bits);
    if constexpr (sizeof bits == 4) bits = __builtin_bswap32(bits);
    if constexpr (sizeof bits == 8) bits = __builtin_bswap64(bits);
  }
  T value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// Contiguous, aligned, native items, converted by a loop of its own (inlined
// into its caller, the loop kept its counter on the stack).
template <class T>
[[gnu::noinline]] void convert_contiguous(const T* __restrict first, std::size_t n, double* __restrict out) {
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<double>(first[i]);
}

// Floats and 32-bit integers, the common case, eight at a time: the widest
// packed conversion the processor has is chosen when the module loads.
template <class T>
inline void convert_packed(const T* __restrict first, std::size_t n, double* __restrict out) {
  using Items [[gnu::vector_size(8 * sizeof(T))]] = T;
  using Doubles [[gnu::vector_size(8 * sizeof(double))]] = double;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    Items items;
    std::memcpy(&items, first + i, sizeof items);
    const Doubles values = __builtin_convertvector(items, Doubles);
    std::memcpy(out + i, &values, sizeof values);
  }
  for (; i < n; ++i) out[i] = static_cast<double>(first[i]);
}

#if defined(__x86_64__) && defined(__GNUC__)
#define PELMORA_PACKED_CLONES [[gnu::target_clones("avx512f", "avx2", "default")]]
#else
#define PELMORA_PACKED_CLONES
#endif

template <>
PELMORA_PACKED_CLONES [[gnu::noinline]] void convert_contiguous<float>(const float* __restrict first, std::size_t n,
                                                                      double* __restrict out) {
  convert_packed(first, n, out);
}

template <>
PELMORA_PACKED_CLONES [[gnu::noinline]] void convert_contiguous<std::int32_t>(const std::int32_t* __restrict first,
                                                                             std::size_t n, double* __restrict out) {
  convert_packed(first, n, out);
}

// Every item of a one-dimensional buffer as a double.
template <class T>
void read_items(const Py_buffer& view, bool swapped, std::vector<double>& out) {
  const std::size_t n = static_cast<std::size_t>(view.shape[0]);
  const char* base = static_cast<const char*>(view.buf);
  const Py_ssize_t stride = view.strides ? view.strides[0] : view.itemsize;
  const bool plain = !swapped && stride == static_cast<Py_ssize_t>(sizeof(T)) &&
                     reinterpret_cast<std::uintptr_t>(base) % alignof(T) == 0;
  if constexpr (std::is_same_v<T, double>) {
    if (plain) {
      // Each value is read whole, by one 8-byte load: the buffer's owner may
      // be writing to it from another thread meanwhile, and a copy that moves
      // bytes (a sanitizer's memcpy does) could mix two of its values.
      const double* first = reinterpret_cast<const double*>(base);
      out.resize(n);
      double* to = out.data();
      for (std::size_t i = 0; i < n; ++i) __atomic_load(first + i, to + i, __ATOMIC_RELAXED);
      return;
    }
  }
  out.resize(n);
  if (plain) return convert_contiguous(reinterpret_cast<const T*>(base), n, out.data());
  for (std::size_t i = 0; i < n; ++i)
    out[i] = static_cast<double>(load<T>(base + static_cast<Py_ssize_t>(i) * stride, swapped));
}

template <class T1, class T2, class T4, class T8>
void read_sized(const ItemFormat& f, const Py_buffer& view, std::vector<double>& out) {
  switch (f.size) {
    case 1: return read_items<T1>(view, f.swapped, out);
    case 2: return read_items<T2>(view, f.swapped, out);
    case 4: return read_items<T4>(view, f.swapped, out);
    default: return read_items<T8>(view, f.swapped, out);
  }
}

// A one-dimensional buffer of numbers of a common type, read in one pass.
// Any other buffer, or none, declines and leaves the item path to it.
bool read_number_buffer(PyObject* obj, std::vector<double>& out) {
  BufferView view;
  const std::optional<ItemFormat> format = number_buffer(obj, view);
  if (!format) return false;
  switch (format->kind) {
    case NumberKind::kSigned:
      read_sized<std::int8_t, std::int16_t, std::int32_t, std::int64_t>(*format, *view, out);
      break;
    case NumberKind::kUnsigned:
      read_sized<std::uint8_t, std::uint16_t, std::uint32_t, std::uint64_t>(*format, *view, out);
      break;
    case NumberKind::kFloat:
      // item_format admits only the two sizes of 'f' and 'd'.
      if (format->size == sizeof(float)) {
        read_items<float>(*view, format->swapped, out);
      } else {
        read_items<double>(*view, format->swapped, out);
      }
      break;
  }
  return true;
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

std::vector<double> to_vector(PyObject* obj) {
  if (PyUnicode_Check(obj)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(obj)) raise_cast_error(obj, sequence_abc());

  std::vector<double> out;
  // Fast paths read the same values the general path would, or decline.
  if (PyList_CheckExact(obj) && read_float_list(obj, out)) return out;
  if (PyTuple_CheckExact(obj) && read_float_tuple(obj, out)) return out;
  if (read_number_buffer(obj, out)) return out;

  // General path: the length (when known) sizes the vector, then every item
  // is converted as a double. Items may run Python code (__float__), which may
  // change the very sequence; the iterator keeps that safe. As for list(), a
  // sequence without a length is iterated, but one whose length fails in
  // another way (range(2**63) overflows) is refused, not iterated until
  // memory runs out. A length that is only a claim (a user's __len__) sizes
  // at most the first reservation, and the vector is trimmed to what was
  // read, so a sequence that overstates its length pins no memory.
  out.clear();
  const Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_error_set();
    PyErr_Clear();
  } else {
    const std::size_t claimed = static_cast<std::size_t>(hint);
    out.reserve(length_is_exact(obj) ? claimed : std::min(claimed, kFirstReserve));
  }
  Ref iter = require(PyObject_GetIter(obj));
  for (;;) {
    PyObject* raw = nullptr;
    const int status = PyIter_NextItem(iter.get(), &raw);
    if (status < 0) throw_error_set();
    if (status == 0) break;
    Ref item = Ref::steal(raw);
    out.push_back(to_double(item.get()));
  }
  if (out.capacity() > out.size()) out.shrink_to_fit();
  return out;
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
