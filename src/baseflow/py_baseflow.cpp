// Python face of baseflow.
#include "baseflow/py_baseflow.hpp"

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
     "Returns the storage time constant as a Python `timedelta`.", nullptr},
    {"gw_fraction", field_getter<LinearReservoir, double, &LinearReservoir::gw_fraction, from_double>,
     setter<LinearReservoir, double, to_double, store_gw_fraction>,
     "Fraction of rainfall loss that contributes to this reservoir's baseflow.\nMust be in [0.0, 1.0].",
     const_cast<char*>("gw_fraction")},
    {"initial_q", field_getter<LinearReservoir, double, &LinearReservoir::initial_q, from_double>,
     setter<LinearReservoir, double, to_double, store_initial_q>,
     "Initial discharge at the start of the simulation (e.g., cfs).", const_cast<char*>("initial_q")},
    {"num_reservoir", field_getter<LinearReservoir, std::uint64_t, &LinearReservoir::num_reservoir, from_u64>,
     setter<LinearReservoir, std::uint64_t, to_reservoir_count, store_num_reservoir>,
     "Number of linear reservoirs chained in series.", const_cast<char*>("num_reservoir")},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

BoundClass<LinearReservoir> reservoir_class({
    "LinearReservoir",
    "LinearReservoir(k_duration, gw_fraction, initial_q, num_reservoir=1)\n--\n\n"
    "Configuration for a single linear reservoir groundwater layer.\n\n"
    "A linear reservoir models groundwater storage with the recurrence relation:\n"
    "`Q[t] = C * I[t] + (1 - C) * Q[t-1]`, where `C = dt / (K + 0.5*dt)`.\n"
    "Chaining `num_reservoir` reservoirs in series produces a more peaked,\n"
    "delayed response.",
    false,
    reservoir_new,
    reservoir_getset,
    nullptr,
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

    Ref total = wrap(std::move(flow.total));
    Ref layers = wrap_map(std::move(flow.layers));
    return require(PyTuple_Pack(2, total.get(), layers.get()));
  });
}

PyMethodDef run_linear_reservoir_def = {
    "run_linear_reservoir",
    fastcall_method(run_linear_reservoir),
    METH_FASTCALL | METH_KEYWORDS,
    "run_linear_reservoir(basin_area, rainfall, reservoirs)\n--\n\n"
    "Routes infiltrated rainfall through multiple named linear reservoirs to produce baseflow.\n\n"
    "# Arguments\n\n"
    "* `basin_area` - Drainage area in acres.\n"
    "* `rainfall` - Infiltrated rainfall series (inches per time step).\n"
    "* `reservoirs` - Named linear reservoir configurations.\n\n"
    "# Errors\n\n"
    "Returns a `PyValueError` if sum of all fractions exceeds 1.0,\n"
    "or any reservoir fails its stability check.",
};

}  // namespace

namespace bind {
PyTypeObject* ClassInfo<LinearReservoir>::type() { return reservoir_class.type(); }
}  // namespace bind

int init_baseflow(PyObject* module) noexcept {
  return guard_status([&] {
    add_function(module, &run_linear_reservoir_def);
    add_class(module, reservoir_class.type());
  });
}

}  // namespace pelmora
