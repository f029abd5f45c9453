// Detaching around kernels, and the signal poll their tokens run.
#include "binding/py_detach.hpp"

#include "binding/py_object.hpp"

namespace pelmora::bind {

namespace {

// Whether this thread is the one the interpreter runs signal handlers on.
// Asked afresh on every detached call: a fork from another thread makes that
// thread the child's main one. If the question cannot be answered, every
// thread polls, which is slower under contention but still correct, since
// the handlers never run off the main thread.
bool handles_signals() noexcept {
  const Ref get = Ref::steal(PyImport_ImportModuleAttrString("_thread", "_get_main_thread_ident"));
  if (!get) {
    PyErr_Clear();
    return true;
  }
  const Ref ident = Ref::steal(PyObject_CallNoArgs(get.get()));
  if (!ident) {
    PyErr_Clear();
    return true;
  }
  const unsigned long main_ident = PyLong_AsUnsignedLong(ident.get());
  if (main_ident == static_cast<unsigned long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return true;
  }
  return main_ident == PyThread_get_thread_ident();
}

}  // namespace

Detached::Detached(std::uint64_t cost) noexcept
    : polls_(cost >= kDetachWork && handles_signals()), cancel_(polls_ ? check_signals : nullptr, this) {
  if (cost >= kDetachWork) state_ = PyEval_SaveThread();
}

Detached::~Detached() {
  if (state_) PyEval_RestoreThread(state_);
}

// Attached only for the handlers; the error they leave stays with the thread
// state, for the edge of the bound callable to raise.
void Detached::check_signals(void* self) {
  PyThreadState* state = static_cast<Detached*>(self)->state_;
  PyEval_RestoreThread(state);
  const int status = PyErr_CheckSignals();
  static_cast<Detached*>(self)->state_ = PyEval_SaveThread();
  if (status < 0) throw_error_set();
}

}  // namespace pelmora::bind
