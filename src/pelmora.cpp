// The extension module's entry points and the registration of the module tree.
#include "baseflow/py_baseflow.hpp"
#include "binding/py_errors.hpp"
#include "binding/py_module.hpp"
#include "binding/py_object.hpp"
#include "binding/py_pickle.hpp"
#include "metrics/py_metrics.hpp"
#include "rainfall_loss/py_loss.hpp"
#include "rainfall_transform/py_transform.hpp"
#include "reach_routing/py_reach.hpp"
#include "reservoir_routing/py_reservoir.hpp"
#include "utils/py_time_series.hpp"

namespace pelmora {

namespace {

using bind::Ref;

// Creates a submodule, lets `fill` populate it, then attaches it to `parent`.
template <class Fill>
void build_submodule(PyObject* parent, const char* name, Fill fill) {
  Ref module = bind::new_submodule(name);
  fill(module.get());
  bind::add_submodule(parent, module.get());
}

void call_init(int (*init)(PyObject*) noexcept, PyObject* module) { bind::require_ok(init(module)); }

int exec_pelmora(PyObject* top) noexcept {
  return bind::guard_status([&] {
    build_submodule(top, "utils", register_time_series);
    build_submodule(top, "reach", [](PyObject* m) { call_init(init_reach, m); });
    build_submodule(top, "reservoir", [](PyObject* m) { call_init(init_reservoir, m); });
    build_submodule(top, "rainfall_transform", [](PyObject* m) { call_init(init_transform, m); });
    build_submodule(top, "rainfall_loss", [](PyObject* m) { call_init(init_loss, m); });
    build_submodule(top, "baseflow", [](PyObject* m) { call_init(init_baseflow, m); });
    build_submodule(top, "metrics", [](PyObject* m) { call_init(init_metrics, m); });
    // What pickles of library objects call; private, so not in __all__.
    bind::add_reconstructor(top);
  });
}

// The execution slot: builds the module only on the main interpreter.
template <int (*Exec)(PyObject*) noexcept>
int exec_on_main(PyObject* module) noexcept {
  if (bind::require_main_interpreter(module) < 0) return -1;
  return Exec(module);
}

// Module definitions: empty doc, no state, no methods, an exec slot and the
// declaration that the module never needs the GIL.
template <int (*Exec)(PyObject*) noexcept>
struct ModuleDefinition {
  static inline PyModuleDef_Slot slots[] = {
      {Py_mod_exec, reinterpret_cast<void*>(&exec_on_main<Exec>)},
      {Py_mod_gil, Py_MOD_GIL_NOT_USED},
      {0, nullptr},
  };
  static PyModuleDef make(const char* name) {
    return PyModuleDef{PyModuleDef_HEAD_INIT, name, "", 0, nullptr, slots, nullptr, nullptr, nullptr};
  }
};

PyModuleDef pelmora_def = ModuleDefinition<exec_pelmora>::make("pelmora");
PyModuleDef loss_def = ModuleDefinition<init_loss>::make("init_loss");
PyModuleDef transform_def = ModuleDefinition<init_transform>::make("init_transform");
PyModuleDef baseflow_def = ModuleDefinition<init_baseflow>::make("init_baseflow");
PyModuleDef reach_def = ModuleDefinition<init_reach>::make("init_reach");
PyModuleDef reservoir_def = ModuleDefinition<init_reservoir>::make("init_reservoir");
PyModuleDef metrics_def = ModuleDefinition<init_metrics>::make("init_metrics");

}  // namespace

}  // namespace pelmora

PyMODINIT_FUNC PyInit_pelmora(void) { return PyModuleDef_Init(&pelmora::pelmora_def); }
PyMODINIT_FUNC PyInit_init_loss(void) { return PyModuleDef_Init(&pelmora::loss_def); }
PyMODINIT_FUNC PyInit_init_transform(void) { return PyModuleDef_Init(&pelmora::transform_def); }
PyMODINIT_FUNC PyInit_init_baseflow(void) { return PyModuleDef_Init(&pelmora::baseflow_def); }
PyMODINIT_FUNC PyInit_init_reach(void) { return PyModuleDef_Init(&pelmora::reach_def); }
PyMODINIT_FUNC PyInit_init_reservoir(void) { return PyModuleDef_Init(&pelmora::reservoir_def); }
PyMODINIT_FUNC PyInit_init_metrics(void) { return PyModuleDef_Init(&pelmora::metrics_def); }
