// Python face of reservoir routing: reservoir_utils, run_level_pool_routing
// and LevelPoolResult.
#pragma once

#include "binding/py_instance.hpp"
#include "reservoir_routing/level_pool.hpp"

namespace pelmora::bind {
template <>
struct ClassInfo<LevelPool> {
  static constexpr bool dated = true;  // at the inflow's start
  static PyTypeObject* type();
};
}  // namespace pelmora::bind

namespace pelmora {
// Creates and attaches reservoir_utils, then adds run_level_pool_routing and
// LevelPoolResult. Returns 0, or -1 with a Python exception set.
int init_reservoir(PyObject* module) noexcept;
}  // namespace pelmora
