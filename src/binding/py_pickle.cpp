// The reconstructor, reduce values, copied instance state and the payload
// form of vectors of doubles.
#include "binding/py_pickle.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <tuple>
#include <utility>

#include "binding/py_args.hpp"
#include "binding/py_buffer.hpp"
#include "binding/py_convert.hpp"
#include "binding/py_errors.hpp"

namespace pelmora::bind {

namespace {

// Written during static initialisation only (see register_reconstructible).
constinit const ReconstructEntry* registered = nullptr;

const ReconstructEntry* entry_named(PyObject* key) {
  for (const ReconstructEntry* e = registered; e; e = e->next)
    if (PyUnicode_EqualToUTF8(key, e->key)) return e;
  return nullptr;
}

const ReconstructEntry* entry_for_type(PyTypeObject* type) {
  for (const ReconstructEntry* e = registered; e; e = e->next)
    if (PyType_IsSubtype(type, e->type())) return e;
  return nullptr;
}

constexpr const char* kReconstructParams[] = {"cls", "args"};
constexpr Signature kReconstruct{"_reconstruct", nullptr, kReconstructParams, 2};

PyObject* reconstruct(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    Args a(kReconstruct, argv, nargs, kwnames);
    struct Target {
      const ReconstructEntry* entry;
      PyTypeObject* type;
    };
    const Target target = a.get(0, [](PyObject* cls) -> Target {
      if (PyUnicode_Check(cls)) {
        const ReconstructEntry* entry = entry_named(cls);
        if (!entry) raise(PyExc_ValueError, require(PyUnicode_FromFormat("'%U' names no pelmora class", cls)));
        return {entry, entry->type()};
      }
      if (PyType_Check(cls)) {
        PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
        const ReconstructEntry* entry = entry_for_type(type);
        if (!entry)
          raise(PyExc_TypeError,
                require(PyUnicode_FromFormat("'%N' is not a subclass of a pelmora class", cls)));
        return {entry, type};
      }
      raise_cast_error(cls, "str");
    });
    PyObject* args = a.get(1, [](PyObject* obj) {
      if (!PyTuple_Check(obj)) raise_cast_error(obj, "tuple");
      return obj;
    });
    return target.entry->rebuild(target.type, args);
  });
}

PyMethodDef reconstruct_def = {
    "_reconstruct",
    fastcall_method(reconstruct),
    METH_FASTCALL | METH_KEYWORDS,
    "_reconstruct(cls, args)\n--\n\n"
    "Rebuilds a pickled pelmora object: `cls` is the name of a pelmora class or a\n"
    "subclass of one, `args` the constructor's arguments. Private: pickle calls it.",
};

// pelmora._reconstruct as pickle will find it by name.
Ref reconstructor() {
  Ref name = require(PyUnicode_FromString("pelmora"));
  Ref module = Ref::steal(PyImport_GetModule(name.get()));
  if (!module) {
    if (PyErr_Occurred()) throw_error_set();
    module = require(PyImport_Import(name.get()));
  }
  return require(PyObject_GetAttrString(module.get(), "_reconstruct"));
}

bool is_native_double(const char* format) {
  if (format[0] == '@' || format[0] == '=' || (format[0] == '<' && std::endian::native == std::endian::little))
    ++format;
  return std::strcmp(format, "d") == 0;
}

bool is_byte(const char* format) {
  if (format[0] == '@' || format[0] == '=' || format[0] == '<' || format[0] == '>' || format[0] == '!')
    ++format;
  return std::strcmp(format, "B") == 0 || std::strcmp(format, "b") == 0 || std::strcmp(format, "c") == 0;
}

// `a, b = obj` as the interpreter does it, with its errors: a non-iterable
// raises TypeError, too few or too many items ValueError.
std::pair<Ref, Ref> unpack_pair(PyObject* obj) {
  Ref iter = Ref::steal(PyObject_GetIter(obj));
  if (!iter) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(obj)->tp_iter && !PySequence_Check(obj)) {
      PyErr_Clear();
      raise(PyExc_TypeError,
            require(PyUnicode_FromFormat("cannot unpack non-iterable %.200s object", Py_TYPE(obj)->tp_name)));
    }
    throw_error_set();
  }
  Ref items[2];
  for (int i = 0; i < 2; ++i) {
    items[i] = next_item(iter.get());
    if (!items[i])
      raise(PyExc_ValueError,
            require(PyUnicode_FromFormat("not enough values to unpack (expected 2, got %d)", i)));
  }
  if (next_item(iter.get())) {
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj) || PyDict_CheckExact(obj)) {
      const Py_ssize_t size = PyObject_Size(obj);
      if (size < 0) throw_error_set();
      raise(PyExc_ValueError,
            require(PyUnicode_FromFormat("too many values to unpack (expected 2, got %zd)", size)));
    }
    raise(PyExc_ValueError, "too many values to unpack (expected 2)");
  }
  return {std::move(items[0]), std::move(items[1])};
}

}  // namespace

void register_reconstructible(ReconstructEntry* entry) noexcept {
  entry->next = registered;
  registered = entry;
}

int reduce_protocol(PyObject* arg) {
  const std::int64_t protocol = to_i64(arg);
  if (protocol > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
  if (protocol < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
  return static_cast<int>(protocol);
}

Ref reduce_instance(PyObject* self, PyTypeObject* library_type, Ref args) {
  Ref function = reconstructor();
  PyTypeObject* type = Py_TYPE(self);
  if (type == library_type) {
    Ref key = require(PyType_GetName(library_type));
    return make_tuple(function, make_tuple(key, args));
  }
  Ref cls = Ref::borrow(reinterpret_cast<PyObject*>(type));
  Ref call = make_tuple(cls, args);
  Ref state = require(PyObject_CallMethod(self, "__getstate__", nullptr));
  if (state.get() == Py_None) return make_tuple(function, call);
  return make_tuple(function, call, state);
}

void copy_instance_state(PyObject* original, PyObject* copy, PyObject* memo) {
  Ref state = require(PyObject_CallMethod(original, "__getstate__", nullptr));
  if (state.get() == Py_None) return;
  if (memo) {
    // The copy stands for the original from now on, as in copy.deepcopy, so
    // state that refers back to the original refers to the copy.
    if (memo != Py_None) {
      Ref id = require(PyLong_FromVoidPtr(original));
      require_ok(PyObject_SetItem(memo, id.get(), copy));
    }
    Ref module = require(PyImport_ImportModule("copy"));
    Ref deepcopy = require(PyObject_GetAttrString(module.get(), "deepcopy"));
    state = require(PyObject_CallFunctionObjArgs(deepcopy.get(), state.get(), memo, nullptr));
  }
  // As pickle and copy restore state: __setstate__ when the class has one,
  // otherwise the instance dict, then the slots.
  PyObject* found = nullptr;
  if (PyObject_GetOptionalAttrString(copy, "__setstate__", &found) < 0) throw_error_set();
  if (found) {
    Ref setstate = Ref::steal(found);
    require(PyObject_CallOneArg(setstate.get(), state.get()));
    return;
  }
  // Unpacked as copy does it: any tuple of length 2 is (dict state, slot
  // state), and every slot item must unpack to a name and a value.
  Ref dict_state = Ref::borrow(state.get());
  Ref slot_state;
  if (PyTuple_Check(state.get())) {
    const Py_ssize_t size = PyObject_Size(state.get());
    if (size < 0) throw_error_set();
    if (size == 2) std::tie(dict_state, slot_state) = unpack_pair(state.get());
  }
  if (dict_state.get() != Py_None) {
    Ref dict = require(PyObject_GetAttrString(copy, "__dict__"));
    require(PyObject_CallMethod(dict.get(), "update", "O", dict_state.get()));
  }
  if (slot_state && slot_state.get() != Py_None) {
    Ref items = require(PyObject_CallMethod(slot_state.get(), "items", nullptr));
    for_each_item(items.get(), [&](PyObject* item) {
      const auto [name, value] = unpack_pair(item);
      require_ok(PyObject_SetAttr(copy, name.get(), value.get()));
    });
  }
}

Ref doubles_payload(std::span<const double> values, int protocol, PyObject* owner) {
  if (owner && protocol >= 5) {
    // The values themselves, not whatever the owner's class (a subclass with
    // a __buffer__ of its own) would export.
    Ref exporter = values_exporter(owner, values);
    return require(PyPickleBuffer_FromObject(exporter.get()));
  }
  return require(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                           static_cast<Py_ssize_t>(values.size_bytes())));
}

namespace {

// A payload's values. Those of an immutable exporter (bytes, or a series'
// own values handed back by a PickleBuffer) are lent to the result when
// `may_lend` and they are aligned; every other buffer, writable or not, is
// copied, since its owner may still change it.
SeriesValues payload_values(PyObject* obj, bool may_lend) {
  if (PyObject_CheckBuffer(obj)) {
    // On the heap from the start: a lent view is released by its last owner.
    auto view = std::make_shared<BufferView>();
    view->get(obj, PyBUF_FULL_RO);
    const Py_buffer& v = **view;
    const char* format = v.format ? v.format : "B";
    const bool contiguous = PyBuffer_IsContiguous(&v, 'C');
    const bool doubles =
        v.ndim == 1 && v.itemsize == static_cast<Py_ssize_t>(sizeof(double)) && is_native_double(format);
    if (contiguous && (doubles || is_byte(format))) {
      const std::size_t bytes = static_cast<std::size_t>(v.len);
      if (bytes % sizeof(double) != 0)
        raise(PyExc_TypeError, require(PyUnicode_FromFormat(
                                   "a buffer of %zd bytes does not hold whole float64 values", v.len)));
      const std::size_t n = bytes / sizeof(double);
      const bool aligned = reinterpret_cast<std::uintptr_t>(v.buf) % alignof(double) == 0;
      const auto* first = static_cast<const double*>(v.buf);
      if (aligned && may_lend && v.obj && (PyBytes_CheckExact(v.obj) || is_values_exporter(v.obj)))
        return SeriesValues::lent(std::span<const double>(first, n), std::move(view));
      // An aligned buffer is copied in one pass; building the vector from
      // the range skips zero-filling it first, which costs as much again.
      if (aligned) return std::vector<double>(first, first + n);
      std::vector<double> out(n);
      if (bytes) std::memcpy(out.data(), v.buf, bytes);
      return out;
    }
  }
  // Lists, tuples and arrays of other types: the constructors' conversion.
  return to_vector(obj);
}

}  // namespace

std::vector<double> doubles_from_payload(PyObject* obj) { return std::move(payload_values(obj, false).vector()); }

SeriesValues values_from_payload(PyObject* obj) { return payload_values(obj, true); }

void add_reconstructor(PyObject* module) {
  Ref module_name = require(PyModule_GetNameObject(module));
  Ref function = require(PyCMethod_New(&reconstruct_def, module, module_name.get(), nullptr));
  require_ok(PyObject_SetAttrString(module, "_reconstruct", function.get()));
}

}  // namespace pelmora::bind
