// The number-buffer fast path of the sequence converters.
//
// Only exporters whose items are exactly the numbers in their buffer are read
// this way; the common layouts get loops of their own, float32 and int32 the
// widest packed conversion the processor has.
#include "binding/py_convert_buffer.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>

namespace pelmora::bind::detail {

namespace {

bool type_named(PyObject* obj, const char* name) { return std::strcmp(Py_TYPE(obj)->tp_name, name) == 0; }

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

// Each value is read whole, by one 8-byte load: the buffer's owner may be
// writing to it from another thread meanwhile, and a copy that moves bytes (a
// sanitizer's memcpy does) could mix two of its values.
template <class Out>
void copy_doubles(const double* first, std::size_t n, Out& out) {
  out.resize(n);
  double* to = out.data();
  for (std::size_t i = 0; i < n; ++i) __atomic_load(first + i, to + i, __ATOMIC_RELAXED);
}

// Every item of a one-dimensional buffer as a double.
template <class T, class Out>
void read_items(const Py_buffer& view, bool swapped, Out& out) {
  const std::size_t n = static_cast<std::size_t>(view.shape[0]);
  const char* base = static_cast<const char*>(view.buf);
  const Py_ssize_t stride = view.strides ? view.strides[0] : view.itemsize;
  const bool plain = !swapped && stride == static_cast<Py_ssize_t>(sizeof(T)) &&
                     reinterpret_cast<std::uintptr_t>(base) % alignof(T) == 0;
  if constexpr (std::is_same_v<T, double>) {
    if (plain) return copy_doubles(reinterpret_cast<const double*>(base), n, out);
  }
  out.resize(n);
  if (plain) return convert_contiguous(reinterpret_cast<const T*>(base), n, out.data());
  for (std::size_t i = 0; i < n; ++i)
    out[i] = static_cast<double>(load<T>(base + static_cast<Py_ssize_t>(i) * stride, swapped));
}

template <class T1, class T2, class T4, class T8, class Out>
void read_sized(const ItemFormat& f, const Py_buffer& view, Out& out) {
  switch (f.size) {
    case 1: return read_items<T1>(view, f.swapped, out);
    case 2: return read_items<T2>(view, f.swapped, out);
    case 4: return read_items<T4>(view, f.swapped, out);
    default: return read_items<T8>(view, f.swapped, out);
  }
}


// The items of `view` when they are doubles as this machine stores them,
// aligned and one after another; null for any other layout.
const double* plain_doubles(const ItemFormat& f, const Py_buffer& view) {
  if (f.kind != NumberKind::kFloat || f.size != sizeof(double) || f.swapped) return nullptr;
  if (view.strides && view.strides[0] != static_cast<Py_ssize_t>(sizeof(double))) return nullptr;
  if (reinterpret_cast<std::uintptr_t>(view.buf) % alignof(double) != 0) return nullptr;
  return static_cast<const double*>(view.buf);
}

}  // namespace

// A one-dimensional buffer of numbers of a common type, read in one pass.
// Any other buffer, or none, declines and leaves the item path to it.
template <class Out>
bool read_number_buffer(PyObject* obj, Out& out, double* sum) {
  BufferView view;
  const std::optional<ItemFormat> format = number_buffer(obj, view);
  if (!format) return false;
  if (sum) {
    if (const double* first = plain_doubles(*format, *view)) {
      // Summed as copied: the addition chain hides the copy.
      const std::size_t n = static_cast<std::size_t>(view->shape[0]);
      out.resize(n);
      double* to = out.data();
      double total = 0.0;
      for (std::size_t i = 0; i < n; ++i) {
        double v;
        __atomic_load(first + i, &v, __ATOMIC_RELAXED);
        to[i] = v;
        total = total + v;
      }
      *sum = total;
      return true;
    }
  }
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
    if (sum) {
    double total = 0.0;
    for (const double v : out) total = total + v;
    *sum = total;
  }
  return true;
}

template bool read_number_buffer(PyObject*, std::vector<double>&, double*);
template bool read_number_buffer(PyObject*, Values&, double*);

bool read_double_buffer_pair(PyObject* first, PyObject* second, Values& first_out, double& first_sum,
                             Values& second_out, double& second_sum) {
  BufferView first_view;
  BufferView second_view;
  const std::optional<ItemFormat> first_format = number_buffer(first, first_view);
  if (!first_format) return false;
  const std::optional<ItemFormat> second_format = number_buffer(second, second_view);
  if (!second_format) return false;
  const double* a = plain_doubles(*first_format, *first_view);
  const double* b = plain_doubles(*second_format, *second_view);
  if (!a || !b || first_view->shape[0] != second_view->shape[0]) return false;
  const std::size_t n = static_cast<std::size_t>(first_view->shape[0]);
  first_out.resize(n);
  second_out.resize(n);
  double* to_a = first_out.data();
  double* to_b = second_out.data();
  // The two sums are the two lanes of one vector, which stays in a register;
  // each lane adds exactly as a scalar sum in index order would.
  using Pair [[gnu::vector_size(2 * sizeof(double))]] = double;
  Pair sums = {0.0, 0.0};
  for (std::size_t i = 0; i < n; ++i) {
    double x;
    double y;
    __atomic_load(a + i, &x, __ATOMIC_RELAXED);
    __atomic_load(b + i, &y, __ATOMIC_RELAXED);
    to_a[i] = x;
    to_b[i] = y;
    const Pair values = {x, y};
    sums = sums + values;
  }
  first_sum = sums[0];
  second_sum = sums[1];
  return true;
}

}  // namespace pelmora::bind::detail
