// The borrow refusals, out of line so that every borrow's fast path stays small.
#include "binding/py_borrow.hpp"

namespace pelmora::bind {

void raise_already_mutably_borrowed() { raise(PyExc_RuntimeError, "Already mutably borrowed"); }
void raise_already_borrowed() { raise(PyExc_RuntimeError, "Already borrowed"); }

}  // namespace pelmora::bind
