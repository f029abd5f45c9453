// Argument matching: one static description per bound callable drives one
// matching routine, then each parameter is converted by a typed converter.
//
//   static constexpr const char* kParams[] = {"inflow", "k", "x"};
//   static constexpr Signature kSig{"run_x", nullptr, kParams, 2};
//   Args args(kSig, argv, nargs, kwnames);        // METH_FASTCALL | METH_KEYWORDS
//   auto inflow = args.get(0, to_vector);          // "argument 'inflow': ..." on TypeError
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <type_traits>
#include <utility>

#include "binding/py_object.hpp"

namespace pelmora::bind {

// The most parameters any bound callable has: Args keeps one slot for each.
inline constexpr std::size_t kMaxParams = 8;

struct Signature {
  // Built at compile time only, so a callable with more than kMaxParams
  // parameters, or more required ones than parameters, does not compile.
  template <std::size_t N>
  consteval Signature(const char* name_, const char* owner_, const char* const (&params_)[N],
                      std::size_t required_)
      : Signature(name_, owner_, params_, required_, N) {}
  // The same, with only the first `positional_` parameters taking positions:
  // the rest are keyword-only (after `*` in the text signature).
  template <std::size_t N>
  consteval Signature(const char* name_, const char* owner_, const char* const (&params_)[N],
                      std::size_t required_, std::size_t positional_)
      : name(name_), owner(owner_), params(params_), required(required_), positional(positional_) {
    static_assert(N <= kMaxParams, "raise kMaxParams: a signature has more parameters than Args holds");
    if (required_ > N) throw "a signature requires more parameters than it has";
    if (positional_ < required_ || positional_ > N) throw "required parameters must take positions";
  }

  const char* name;   // Python name: "run_clark_uh", "__new__", "disaggregate"
  const char* owner;  // class name for methods and constructors, else nullptr
  std::span<const char* const> params;
  std::size_t required;  // the leading parameters without a default
  std::size_t positional;  // the leading parameters that take positions
};

// A METH_FASTCALL | METH_KEYWORDS function in the slot type of PyMethodDef.
inline PyCFunction fastcall_method(PyCFunctionFastWithKeywords fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

// Replaces a pending exact TypeError by "argument '{param}': {message}",
// keeping its __cause__; any other pending error is left as it is.
void prefix_argument_error(const char* param) noexcept;

// Converts `obj` with `conv`, naming `param` in a TypeError.
template <class Conv>
auto convert_argument(const char* param, PyObject* obj, Conv&& conv) -> decltype(conv(obj)) {
  try {
    return conv(obj);
  } catch (const PyErrOccurred&) {
    prefix_argument_error(param);
    throw;
  }
}

class Args {
 public:
  // Fast call with keywords: positional values, then values named by kwnames.
  Args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
  // tp_new protocol: an argument tuple and an optional keyword dict.
  Args(const Signature& sig, PyObject* args, PyObject* kwargs);

  // The matched object (borrowed), or nullptr when an optional one is absent.
  PyObject* operator[](std::size_t i) const { return slots_[i].get(); }
  bool has(std::size_t i) const { return static_cast<bool>(slots_[i]); }

  // Converted value of parameter i.
  template <class Conv>
  auto get(std::size_t i, Conv&& conv) const -> decltype(conv(std::declval<PyObject*>())) {
    return convert_argument(sig_.params[i], slots_[i].get(), std::forward<Conv>(conv));
  }
  // Converted value of optional parameter i, or `fallback` when it is absent.
  template <class Conv, class T>
  auto get_or(std::size_t i, Conv&& conv, T fallback) const
      -> decltype(conv(std::declval<PyObject*>())) {
    if (!has(i)) return fallback;
    return get(i, std::forward<Conv>(conv));
  }

 private:
  void fill_keyword(PyObject* name, PyObject* value, std::size_t nargs);
  void check_positional(std::size_t nargs) const;
  void check_missing() const;

  const Signature& sig_;
  std::array<Ref, bind::kMaxParams> slots_;
};

}  // namespace pelmora::bind
