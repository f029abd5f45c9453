// Python face of baseflow.
#include "baseflow/py_baseflow.hpp"

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

constexpr const char* kNewParams[] = {"k_duration", "gw_fraction", "initial_q", "num_reservoir"};
constexpr Signature kNew{"__new__", "LinearReservoir", kNewParams, 3};

constexpr const char* kRunParams[] = {"basin_area", "rainfall", "reservoirs"};
constexpr Signature kRun{"run_linear_reservoir", nullptr, kRunParams, 3};

LinearReservoir reservoir_from_args(PyObject* args, PyObject* kwargs) {
  Args a(kNew, args, kwargs);
  const Timedelta k = a.get(0, to_timedelta);
  const double gw_fraction = a.get(1, to_double);
  const double initial_q = a.get(2, to_double);
  const std::uint64_t num_reservoir = a.get_or(3, to_count, std::uint64_t{1});
  const double k_seconds = k.duration().seconds();
  return make_linear_reservoir(k_seconds, gw_fraction, initial_q, num_reservoir);
}

PyObject* reservoir_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&] { return create_instance(type, reservoir_from_args(args, kwargs)); });
}

// A snapshot taken under the shared borrow. The setters may have stored a
// fraction or a count the constructor refuses; such a layer is refused here,
// with the constructor's own message, rather than pickled into a payload that
// cannot be loaded. Copies (copy.copy, copy.deepcopy) are taken from the live
// value and keep it as it is.
Ref reservoir_payload(PyObject*, const LinearReservoir& r, int) {
  make_linear_reservoir(static_cast<double>(r.k_duration), r.gw_fraction, r.initial_q, r.num_reservoir);
  return make_tuple(timedelta_from_seconds(r.k_duration), from_double(r.gw_fraction), from_double(r.initial_q),
                    from_u64(r.num_reservoir));
}
LinearReservoir reservoir_rebuild(PyObject* args) { return reservoir_from_args(args, nullptr); }

Ref k_duration_to_py(std::int32_t seconds) { return timedelta_from_seconds(seconds); }

// Writes store any fraction and any count up to the cap (zero too), as
// documented for the attributes.
void store_gw_fraction(LinearReservoir& r, double v) { r.gw_fraction = v; }
void store_initial_q(LinearReservoir& r, double v) { r.initial_q = v; }
void store_num_reservoir(LinearReservoir& r, std::uint64_t v) { r.num_reservoir = v; }
// A count the routing can hold; zero stays allowed, as documented.
std::uint64_t to_reservoir_count(PyObject* obj) {
  const std::uint64_t n = to_count(obj);
  check_reservoir_cap(n);
  return n;
}

PyGetSetDef reservoir_getset[] = {
    {"k_duration", field_getter<LinearReservoir, std::int32_t, &LinearReservoir::k_duration, k_duration_to_py>, nullptr,
     "Storage time constant of the whole layer, as a datetime.timedelta of whole seconds.\n\n"
     "Each of the `num_reservoir` chained reservoirs gets an equal share. Read only.", nullptr},
    {"gw_fraction", field_getter<LinearReservoir, double, &LinearReservoir::gw_fraction, from_double>,
     setter<LinearReservoir, double, to_double, store_gw_fraction>,
     "Fraction of rainfall loss that contributes to this reservoir's baseflow.\n\n"
     "A float in [0.0, 1.0] at construction. A value set later is stored unchecked;\n"
     "run_linear_reservoir refuses layers whose fractions add up to more than 1.",
     const_cast<char*>("gw_fraction")},
    {"initial_q", field_getter<LinearReservoir, double, &LinearReservoir::initial_q, from_double>,
     setter<LinearReservoir, double, to_double, store_initial_q>,
     "Initial discharge at the start of the simulation (cfs).\n\n"
     "Every reservoir of the chain starts with this outflow.", const_cast<char*>("initial_q")},
    {"num_reservoir", field_getter<LinearReservoir, std::uint64_t, &LinearReservoir::num_reservoir, from_u64>,
     setter<LinearReservoir, std::uint64_t, to_reservoir_count, store_num_reservoir>,
     "Number of linear reservoirs chained in series.\n\n"
     "An int, at least 1 at construction and at most 16777216 (2**24).", const_cast<char*>("num_reservoir")},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

BoundClass<LinearReservoir> reservoir_class({
    .name = "LinearReservoir",
    .doc = "LinearReservoir(k_duration, gw_fraction, initial_q, num_reservoir=1)\n--\n\n"
    "Configuration for a single linear reservoir groundwater layer.\n\n"
    "The layer takes the share `gw_fraction` of the infiltrated rainfall and\n"
    "routes it through `num_reservoir` identical linear reservoirs in series,\n"
    "each with the storage constant K = k_duration / num_reservoir. Chaining\n"
    "reservoirs produces a more peaked, delayed response.\n\n"
    "Parameters\n"
    "----------\n"
    "k_duration : datetime.timedelta\n"
    "    Storage time constant of the whole layer, at least one second;\n"
    "    fractions of a second are dropped.\n"
    "gw_fraction : float\n"
    "    Fraction of the infiltrated rainfall that feeds this layer, in\n"
    "    [0.0, 1.0].\n"
    "initial_q : float\n"
    "    Outflow of every reservoir of the chain at the start (cfs).\n"
    "num_reservoir : int, default 1\n"
    "    Number of linear reservoirs chained in series, at least 1.\n\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    When `k_duration` is negative or shorter than one second, when\n"
    "    `gw_fraction` is outside [0.0, 1.0], or when `num_reservoir` is 0 or\n"
    "    above 16777216 (2**24).\n"
    "OverflowError\n"
    "    When `num_reservoir` is negative.\n\n"
    "Notes\n"
    "-----\n"
    "Each reservoir stores S = K * Q and, over a time step dt, computes\n"
    "Q[t] = C * I[t] + (1 - C) * Q[t-1] with C = dt / (K + 0.5 * dt), where I[t]\n"
    "is its inflow rate over the step: the layer's inflow for the first\n"
    "reservoir, the previous reservoir's new outflow for the others.",
    .subclassable = false,
    .tp_new = reservoir_new,
    .getset = reservoir_getset,
}, pickled<LinearReservoir, reservoir_payload, reservoir_rebuild, true>());

PyObject* run_linear_reservoir(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    Args a(kRun, argv, nargs, kwnames);
    const double basin_area = a.get(0, to_double);
    const Lent<IncrementalSeries> rainfall = a.get(1, lend<IncrementalSeries>);
    const auto reservoirs = a.get(2, [](PyObject* obj) { return to_map(obj, to_value<LinearReservoir>); });

    Baseflow flow = [&] {
      Detached detached(linear_reservoir_cost(rainfall->data.size(), reservoirs));
      return linear_reservoir_rs(basin_area, *rainfall, reservoirs, detached.cancel());
    }();

    // Value i is the flow at the end of rainfall interval i: one step after
    // the rainfall's start.
    Ref start = datetime_after(rainfall.start(), rainfall->time_step);
    Ref total = wrap(std::move(flow.total), start.get());
    Ref layers = wrap_map(std::move(flow.layers), start.get());
    return require(PyTuple_Pack(2, total.get(), layers.get()));
  });
}

PyMethodDef run_linear_reservoir_def = {
    "run_linear_reservoir",
    fastcall_method(run_linear_reservoir),
    METH_FASTCALL | METH_KEYWORDS,
    "run_linear_reservoir(basin_area, rainfall, reservoirs)\n--\n\n"
    "Routes infiltrated rainfall through multiple named linear reservoirs to produce baseflow.\n\n"
    "Each layer takes its `gw_fraction` of the rainfall as an inflow rate,\n"
    "rainfall * gw_fraction / time step (hours) * basin_area * 1.00833 cfs, held\n"
    "over each interval, and routes it through its chain of reservoirs. The\n"
    "call returns the tuple (total, layers).\n\n"
    "Parameters\n"
    "----------\n"
    "basin_area : float\n"
    "    Drainage area (acres).\n"
    "rainfall : IncrementalTimeSeries\n"
    "    Infiltrated rainfall (inches per time step), for example the `loss` of\n"
    "    run_deficit_and_constant. Its kind is not examined.\n"
    "reservoirs : dict of str to LinearReservoir\n"
    "    The named layers. Their order does not matter.\n\n"
    "Returns\n"
    "-------\n"
    "total : ContinuousTimeSeries\n"
    "    The total baseflow (cfs), kind \"discharge\", one value per rainfall\n"
    "    value at the rainfall's time step. Value i is the outflow at the end of\n"
    "    rainfall interval i, that is at start + (i + 1) * time_step; the\n"
    "    starting flow `initial_q` is not part of the series.\n"
    "layers : dict of str to ContinuousTimeSeries\n"
    "    Each layer's baseflow, under the layer's name, in the same form.\n\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    When the layers' fractions add up to more than 1.0 (beyond a rounding\n"
    "    tolerance of 0.000001), or when a layer fails its stability check: the\n"
    "    constant of one reservoir of its chain, k_duration / num_reservoir, is\n"
    "    shorter than half the time step.",
};

}  // namespace

namespace bind {
PyTypeObject* ClassInfo<LinearReservoir>::type() { return reservoir_class.type(); }
}  // namespace bind

namespace {
// What the module holds, in the order of its __all__.
constexpr Member kMembers[] = {
    function_member(run_linear_reservoir_def),
    class_member(&ClassInfo<LinearReservoir>::type),
};
}  // namespace

int init_baseflow(PyObject* module) noexcept {
  return guard_status([&] { add_members(module, kMembers); });
}

}  // namespace pelmora
