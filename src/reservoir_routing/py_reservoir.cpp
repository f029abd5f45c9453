// Python face of level pool routing.
#include "reservoir_routing/py_reservoir.hpp"

#include "binding/py_args.hpp"
#include "binding/py_borrow.hpp"
#include "binding/py_class.hpp"
#include "binding/py_class_pickle.hpp"
#include "binding/py_convert.hpp"
#include "binding/py_detach.hpp"
#include "binding/py_errors.hpp"
#include "binding/py_module.hpp"
#include "binding/py_pickle.hpp"
#include "binding/py_property.hpp"
#include "reservoir_routing/reservoir_utils/py_reservoir_utils.hpp"
#include "utils/py_time_series.hpp"

namespace pelmora {

using namespace bind;

namespace {

constexpr const char* kParams[] = {"inflow", "initial_elevation", "elevation_storage", "discharge_info"};
constexpr Signature kSig{"run_level_pool_routing", nullptr, kParams, 4};

PyObject* run_level_pool_routing(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    Args a(kSig, argv, nargs, kwnames);
    const Lent<ContinuousSeries> inflow = a.get(0, lend<ContinuousSeries>);
    const double initial_elevation = a.get(1, to_double);
    const ElevationStorage curve = a.get(2, to_value<ElevationStorage>);
    const auto outlets = a.get(3, [](PyObject* obj) { return to_map(obj, to_discharge_info); });
    LevelPool result = [&] {
      Detached detached(level_pool_cost(*inflow, outlets.size()));
      return level_pool_rs(*inflow, initial_elevation, curve, outlets, detached.cancel());
    }();
    return wrap(std::move(result), inflow.start());
  });
}

// Every series of a result starts where the inflow did (record k at k * dt).
Ref read_storage(const LevelPool& r, PyObject* start) { return wrap(r.storage, start); }
Ref read_elevation(const LevelPool& r, PyObject* start) { return wrap(r.elevation, start); }
Ref read_total(const LevelPool& r, PyObject* start) { return wrap(r.total_outflow, start); }
Ref read_individual(const LevelPool& r, PyObject* start) { return wrap_map(r.individual, start); }

// A pickle holds the four fields; rebuilding takes only series of the class
// each field holds, each already checked by its own constructor's path.
constexpr const char* kResultFields[] = {"reservoir_storage", "reservoir_elevation", "reservoir_total_outflow",
                                         "reservoir_individual_outflows"};
constexpr Signature kResultRebuild{"_reconstruct", "LevelPoolResult", kResultFields, 4};

Ref result_payload(PyObject* self, const LevelPool& r, int) {
  PyObject* start = start_of<LevelPool>(self);
  return make_tuple(read_storage(r, start), read_elevation(r, start), read_total(r, start),
                    read_individual(r, start));
}

Dated<LevelPool> result_rebuild(PyObject* args) {
  Args a(kResultRebuild, args, nullptr);
  Dated<LevelPool> r;
  r.value.storage = a.get(0, to_value<ContinuousSeries>);
  r.value.elevation = a.get(1, to_value<ContinuousSeries>);
  r.value.total_outflow = a.get(2, to_value<ContinuousSeries>);
  PyObject* start = start_of<ContinuousSeries>(a[0]);
  r.value.individual = a.get(3, [start](PyObject* obj) {
    return to_map(obj, [start](PyObject* series) {
      ContinuousSeries value = to_value<ContinuousSeries>(series);
      require_start<ContinuousSeries>(series, start);
      return value;
    });
  });
  require_start<ContinuousSeries>(a[1], start);
  require_start<ContinuousSeries>(a[2], start);
  r.start = Ref::borrow(start);
  return r;
}

PyGetSetDef result_getset[] = {
    {"reservoir_storage", dated_getter<LevelPool, read_storage>, nullptr,
     "Reservoir storage volume at each output time step.", nullptr},
    {"reservoir_elevation", dated_getter<LevelPool, read_elevation>, nullptr,
     "Water surface elevation at each output time step.", nullptr},
    {"reservoir_total_outflow", dated_getter<LevelPool, read_total>, nullptr,
     "Combined outflow from all outlets at each output time step.", nullptr},
    {"reservoir_individual_outflows", dated_getter<LevelPool, read_individual>, nullptr,
     "Per-outlet outflow time series keyed by outlet name.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

BoundClass<LevelPool> result_class({
    .name = "LevelPoolResult",
    .doc = "Results from a level pool routing simulation.",
    .subclassable = true,
    .getset = result_getset,
}, pickled<LevelPool, result_payload, result_rebuild>());

PyMethodDef run_level_pool_routing_def = {
    "run_level_pool_routing",
    fastcall_method(run_level_pool_routing),
    METH_FASTCALL | METH_KEYWORDS,
    "run_level_pool_routing(inflow, initial_elevation, elevation_storage, discharge_info)\n--\n\n"
    "Performs level pool routing for a reservoir.\n\n"
    "Integrates the mass balance dS/dt = I - O explicitly, one second at a time,\n"
    "from time zero to the last inflow value. The second from t to t + 1 adds the\n"
    "inflow volume between t and t + 1 (the inflow is interpolated linearly\n"
    "between its values) and removes the total outflow at t, which every outlet\n"
    "gives for the elevation at t. Storage below zero is set to zero.\n\n"
    "Parameters\n"
    "----------\n"
    "inflow : ContinuousTimeSeries\n"
    "    Inflow in cfs; its kind is not examined.\n"
    "initial_elevation : float\n"
    "    Water surface elevation at time zero, on the elevation-storage curve.\n"
    "elevation_storage : ElevationStorage\n"
    "    The reservoir's elevation-storage curve, storage in cubic feet.\n"
    "discharge_info : dict of str to outlet\n"
    "    The outlets by name (ConstantDischargeInfo, SpecifiedDischargeInfo,\n"
    "    ControlledDischargeInfo or UnControlledDischargeInfo); may be empty.\n"
    "    A specified outlet's series is read at the simulation time in seconds.\n\n"
    "Returns\n"
    "-------\n"
    "LevelPoolResult\n"
    "    Storage (cubic feet), elevation, total outflow and each outlet's outflow\n"
    "    (cfs), each with as many values as the inflow and the inflow's time\n"
    "    step. Value k is the state at k * time_step: the storage and elevation\n"
    "    at that instant, and the outflows the outlets give at that instant,\n"
    "    which are the rates used over the second that starts there. Value 0 is\n"
    "    the initial elevation, its storage, and the outflows at that elevation.\n\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    When the inflow is empty; when the initial elevation, or a storage\n"
    "    reached during the run (overtopping, or an emptied pool whose curve\n"
    "    starts above zero storage), is outside the elevation-storage curve;\n"
    "    when the storage becomes NaN (a NaN inflow or outlet), naming the\n"
    "    second at which it did; when a rating-curve outlet is asked above its\n"
    "    curve; when a specified outlet's series ends before the inflow.\n"
    "RuntimeError\n"
    "    Passed on unchanged from an outlet that raises it.",
};

}  // namespace

namespace bind {
PyTypeObject* ClassInfo<LevelPool>::type() { return result_class.type(); }
}  // namespace bind

namespace {
// What the module holds, in the order of its __all__.
constexpr Member kMembers[] = {
    submodule_member("reservoir_utils", register_reservoir_utils),
    function_member(run_level_pool_routing_def),
    class_member(&ClassInfo<LevelPool>::type),
};
}  // namespace

int init_reservoir(PyObject* module) noexcept {
  return guard_status([&] { add_members(module, kMembers); });
}

}  // namespace pelmora
