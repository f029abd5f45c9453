// Python face of rainfall loss.
#include "rainfall_loss/py_loss.hpp"

#include "binding/py_args.hpp"
#include "binding/py_convert.hpp"
#include "binding/py_detach.hpp"
#include "binding/py_errors.hpp"
#include "binding/py_module.hpp"
#include "binding/py_pickle.hpp"
#include "utils/py_time_series.hpp"

namespace pelmora {

using namespace bind;

namespace {

constexpr const char* kParams[] = {"rainfall", "initial_deficit", "max_deficit", "constant_loss_per_hr",
                                   "time_to_dry"};
constexpr Signature kSig{"run_deficit_and_constant", nullptr, kParams, 5};

PyObject* run_deficit_and_constant(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    Args a(kSig, argv, nargs, kwnames);
    const Lent<IncrementalSeries> rainfall = a.get(0, lend<IncrementalSeries>);
    const double initial_deficit = a.get(1, to_double);
    const double max_deficit = a.get(2, to_double);
    const double constant_loss_per_hr = a.get(3, to_double);
    const Timedelta time_to_dry = a.get(4, to_timedelta);
    const double dry_seconds = time_to_dry.duration().seconds();
    DeficitConstant result = [&] {
      Detached detached(deficit_and_constant_cost(rainfall->data.size()));
      return deficit_and_constant_rs(*rainfall, initial_deficit, max_deficit, constant_loss_per_hr, dry_seconds,
                                     detached.cancel());
    }();
    return wrap(std::move(result));
  });
}

Ref read_excess(const DeficitConstant& r) { return wrap(r.excess); }
Ref read_loss(const DeficitConstant& r) { return wrap(r.loss); }
Ref read_deficit(const DeficitConstant& r) { return wrap(r.deficit); }

// A pickle holds the three fields; rebuilding takes only incremental series,
// each already checked by its own constructor's path.
constexpr const char* kResultFields[] = {"excess", "loss", "deficit"};
constexpr Signature kResultRebuild{"_reconstruct", "DeficitConstantResult", kResultFields, 3};

Ref result_payload(PyObject*, const DeficitConstant& r, int) {
  return make_tuple(read_excess(r), read_loss(r), read_deficit(r));
}

DeficitConstant result_rebuild(PyObject* args) {
  Args a(kResultRebuild, args, nullptr);
  DeficitConstant r;
  r.excess = a.get(0, to_value<IncrementalSeries>);
  r.loss = a.get(1, to_value<IncrementalSeries>);
  r.deficit = a.get(2, to_value<IncrementalSeries>);
  return r;
}

PyGetSetDef result_getset[] = {
    {"excess", getter<DeficitConstant, read_excess>, nullptr,
     "Excess rainfall that becomes surface runoff (inches per time step).", nullptr},
    {"loss", getter<DeficitConstant, read_loss>, nullptr,
     "Total infiltrated depth per time step (constant loss + deficit fill, inches).", nullptr},
    {"deficit", getter<DeficitConstant, read_deficit>, nullptr,
     "Running soil moisture deficit at the end of each time step (inches).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

BoundClass<DeficitConstant> result_class({
    "DeficitConstantResult",
    "Results from the deficit-and-constant rainfall loss model.",
    true,
    nullptr,
    result_getset,
    nullptr,
}, pickled<DeficitConstant, result_payload, result_rebuild>());

PyMethodDef run_deficit_and_constant_def = {
    "run_deficit_and_constant",
    fastcall_method(run_deficit_and_constant),
    METH_FASTCALL | METH_KEYWORDS,
    "run_deficit_and_constant(rainfall, initial_deficit, max_deficit, constant_loss_per_hr, time_to_dry)\n--\n\n"
    "Separates gross rainfall into excess runoff and infiltration losses using the\n"
    "deficit-and-constant model.\n\n"
    "# Arguments\n\n"
    "* `rainfall` - Gross rainfall time series (inches per time step).\n"
    "* `initial_deficit` - Starting soil moisture deficit (inches).\n"
    "* `max_deficit` - Maximum soil moisture storage capacity (inches).\n"
    "* `constant_loss_per_hr` - Constant infiltration rate (inches/hour).\n"
    "* `time_to_dry` - Characteristic drying time for deficit recovery.\n\n"
    "# Returns\n\n"
    "A `DeficitConstantResult` with `excess`, `loss`, and `deficit` series.",
};

}  // namespace

namespace bind {
PyTypeObject* ClassInfo<DeficitConstant>::type() { return result_class.type(); }
}  // namespace bind

int init_loss(PyObject* module) noexcept {
  return guard_status([&] {
    add_class(module, result_class.type());
    add_function(module, &run_deficit_and_constant_def);
  });
}

}  // namespace pelmora
