// Python face of rainfall loss.
#include "rainfall_loss/py_loss.hpp"

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
    check_loss_parameters(initial_deficit, max_deficit, constant_loss_per_hr);
    const double dry_seconds = time_to_dry.duration().seconds();
    DeficitConstant result = [&] {
      Detached detached(deficit_and_constant_cost(rainfall->data.size()));
      return deficit_and_constant_rs(*rainfall, initial_deficit, max_deficit, constant_loss_per_hr, dry_seconds,
                                     detached.cancel());
    }();
    return wrap(std::move(result), rainfall.start());
  });
}

// Every series of a result starts where the rainfall did.
Ref read_excess(const DeficitConstant& r, PyObject* start) { return wrap(r.excess, start); }
Ref read_loss(const DeficitConstant& r, PyObject* start) { return wrap(r.loss, start); }
Ref read_deficit(const DeficitConstant& r, PyObject* start) { return wrap(r.deficit, start); }

// A pickle holds the three fields; rebuilding takes only incremental series,
// each already checked by its own constructor's path.
constexpr const char* kResultFields[] = {"excess", "loss", "deficit"};
constexpr Signature kResultRebuild{"_reconstruct", "DeficitConstantResult", kResultFields, 3};

Ref result_payload(PyObject* self, const DeficitConstant& r, int) {
  PyObject* start = start_of<DeficitConstant>(self);
  return make_tuple(read_excess(r, start), read_loss(r, start), read_deficit(r, start));
}

Dated<DeficitConstant> result_rebuild(PyObject* args) {
  Args a(kResultRebuild, args, nullptr);
  Dated<DeficitConstant> r;
  r.value.excess = a.get(0, to_value<IncrementalSeries>);
  r.value.loss = a.get(1, to_value<IncrementalSeries>);
  r.value.deficit = a.get(2, to_value<IncrementalSeries>);
  PyObject* start = start_of<IncrementalSeries>(a[0]);
  require_start<IncrementalSeries>(a[1], start);
  require_start<IncrementalSeries>(a[2], start);
  r.start = Ref::borrow(start);
  return r;
}

PyGetSetDef result_getset[] = {
    {"excess", dated_getter<DeficitConstant, read_excess>, nullptr,
     "Excess rainfall that becomes surface runoff (inches per time step).\n\n"
     "Value i covers interval i, from start + i * time_step to start + (i + 1) * time_step.", nullptr},
    {"loss", dated_getter<DeficitConstant, read_loss>, nullptr,
     "Total infiltrated depth per time step (constant loss + deficit fill, inches).\n\n"
     "Value i covers interval i; it is what run_linear_reservoir takes as rainfall.", nullptr},
    {"deficit", dated_getter<DeficitConstant, read_deficit>, nullptr,
     "Running soil moisture deficit at the end of each time step (inches).\n\n"
     "Value i is the deficit at start + (i + 1) * time_step.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

BoundClass<DeficitConstant> result_class({
    .name = "DeficitConstantResult",
    .doc = "Results from the deficit-and-constant rainfall loss model.\n\n"
    "Returned by run_deficit_and_constant. Each attribute is an\n"
    "IncrementalTimeSeries of kind \"rainfall\" with one value per rainfall value,\n"
    "at the rainfall's time step; every read returns a new copy.",
    .subclassable = true,
    .getset = result_getset,
}, pickled<DeficitConstant, result_payload, result_rebuild>());

PyMethodDef run_deficit_and_constant_def = {
    "run_deficit_and_constant",
    fastcall_method(run_deficit_and_constant),
    METH_FASTCALL | METH_KEYWORDS,
    "run_deficit_and_constant(rainfall, initial_deficit, max_deficit, constant_loss_per_hr, time_to_dry)\n--\n\n"
    "Separates gross rainfall into excess runoff and infiltration losses using the\n"
    "deficit-and-constant model.\n\n"
    "On every step the deficit first recovers toward `max_deficit`; then, if it\n"
    "rains, the constant loss is taken, the rest fills the deficit, and what is\n"
    "left runs off.\n\n"
    "Parameters\n"
    "----------\n"
    "rainfall : IncrementalTimeSeries\n"
    "    Gross rainfall (inches per time step). Its kind is not examined. A\n"
    "    step of zero, negative or NaN rain gives no excess and no loss; the\n"
    "    deficit only recovers.\n"
    "initial_deficit : float\n"
    "    Soil moisture deficit before the first step (inches), at least 0. A\n"
    "    value above `max_deficit` (even inf) is cut to `max_deficit` on the\n"
    "    first step.\n"
    "max_deficit : float\n"
    "    Soil moisture storage capacity (inches), finite and at least 0.\n"
    "constant_loss_per_hr : float\n"
    "    Constant infiltration rate (inches per hour), at least 0; inf takes\n"
    "    all rain as loss.\n"
    "time_to_dry : datetime.timedelta\n"
    "    Drying time of the deficit's exponential recovery: each step recovers\n"
    "    the fraction 1 - exp(-time_step / time_to_dry) of what is missing to\n"
    "    `max_deficit`. Zero means no recovery at all.\n\n"
    "Returns\n"
    "-------\n"
    "DeficitConstantResult\n"
    "    Three IncrementalTimeSeries of kind \"rainfall\", each with one value per\n"
    "    rainfall value at the rainfall's time step: `excess` and `loss`\n"
    "    (inches per time step; value i covers interval i) and `deficit`\n"
    "    (inches, at the end of interval i). On every step with rain,\n"
    "    excess + loss equals the rain.\n\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    When `initial_deficit`, `max_deficit` or `constant_loss_per_hr` is\n"
    "    negative or NaN, or `max_deficit` is infinite (checked in that order,\n"
    "    the message naming the parameter and its value), or when\n"
    "    `time_to_dry` is negative.",
};

}  // namespace

namespace bind {
PyTypeObject* ClassInfo<DeficitConstant>::type() { return result_class.type(); }
}  // namespace bind

namespace {
// What the module holds, in the order of its __all__.
constexpr Member kMembers[] = {
    class_member(&ClassInfo<DeficitConstant>::type),
    function_member(run_deficit_and_constant_def),
};
}  // namespace

int init_loss(PyObject* module) noexcept {
  return guard_status([&] { add_members(module, kMembers); });
}

}  // namespace pelmora
