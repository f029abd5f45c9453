// Python face of reach routing: run_muskingum_routing.
#include "reach_routing/py_reach.hpp"

#include "binding/py_args.hpp"
#include "binding/py_borrow.hpp"
#include "binding/py_class.hpp"
#include "binding/py_convert.hpp"
#include "binding/py_detach.hpp"
#include "binding/py_errors.hpp"
#include "binding/py_module.hpp"
#include "reach_routing/muskingum.hpp"
#include "utils/py_time_series.hpp"

namespace pelmora {

using namespace bind;

namespace {

constexpr const char* kParams[] = {"inflow", "k", "x", "sub_reaches", "initial_outflow"};
constexpr Signature kSig{"run_muskingum_routing", nullptr, kParams, 5};

PyObject* run_muskingum_routing(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    Args a(kSig, argv, nargs, kwnames);
    const Lent<ContinuousSeries> inflow = a.get(0, lend<ContinuousSeries>);
    const Timedelta k = a.get(1, to_timedelta);
    const double x = a.get(2, to_double);
    const std::int64_t sub_reaches = a.get(3, to_i64);
    const double initial_outflow = a.get(4, to_double);

    // A soft limit: warned about, then routed with x as given.
    if (!(0.0 <= x && x <= 0.5)) warn("`x` is outside the recommended range [0.0, 0.5].");
    const double k_seconds = k.duration().seconds();
    // Also soft: negative coefficients give outflow below zero, but a caller
    // may want to see it.
    if (const auto message = negative_coefficient_warning(inflow->data.size(), static_cast<double>(inflow->time_step),
                                                          k_seconds, x, sub_reaches))
      warn(message->c_str());

    std::vector<double> routed = [&] {
      // The copy of the inflow that the passes route in place is made here,
      // detached too.
      Detached detached(route_reach_cost(inflow->data.size(), sub_reaches));
      return route_reach({inflow->data.begin(), inflow->data.end()}, static_cast<double>(inflow->time_step),
                         k_seconds, x, sub_reaches, initial_outflow, detached.cancel());
    }();
    return wrap(result_series<ContinuousSeries>(std::move(routed), inflow->time_step, "discharge"),
                inflow.start());
  });
}

PyMethodDef run_muskingum_routing_def = {
    "run_muskingum_routing",
    fastcall_method(run_muskingum_routing),
    METH_FASTCALL | METH_KEYWORDS,
    "run_muskingum_routing(inflow, k, x, sub_reaches, initial_outflow)\n--\n\n"
    "Routes an inflow hydrograph through a channel reach using the Muskingum method.\n\n"
    "The reach is divided into `sub_reaches` equal segments, each with the\n"
    "storage constant k / sub_reaches, routed one after another with the same\n"
    "coefficients. Every segment starts at `initial_outflow`.\n\n"
    "Parameters\n"
    "----------\n"
    "inflow : ContinuousTimeSeries\n"
    "    Inflow hydrograph at the upstream end of the reach (cfs; any flow unit\n"
    "    gives the outflow in the same unit). Its kind is not examined.\n"
    "k : datetime.timedelta\n"
    "    Storage time constant (travel time) of the whole reach; fractions of a\n"
    "    second count.\n"
    "x : float\n"
    "    Weighting factor, recommended within [0.0, 0.5]: 0.0 is pure reservoir\n"
    "    routing (most attenuation), 0.5 pure translation (no attenuation).\n"
    "sub_reaches : int\n"
    "    Number of equal sub-reaches, at least 1.\n"
    "initial_outflow : float\n"
    "    Outflow of every sub-reach at the first time point (cfs). Required:\n"
    "    there is no default.\n\n"
    "Returns\n"
    "-------\n"
    "ContinuousTimeSeries\n"
    "    Routed outflow (cfs) of kind \"discharge\", with as many values as\n"
    "    `inflow` at its time step: value i is the outflow at\n"
    "    start + i * time_step, value 0 being `initial_outflow`.\n\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    When `k` is negative, `sub_reaches` is below 1, or `inflow` is empty.\n\n"
    "Warns\n"
    "-----\n"
    "UserWarning\n"
    "    When `x` is outside [0.0, 0.5]. Then, when the inflow has two values or\n"
    "    more and a sub-reach's coefficient C0 or C2 is negative (2 * K' * x > dt or dt > 2 * K' * (1 - x), with\n"
    "    K' = k / sub_reaches and dt the time step), which lets the outflow dip\n"
    "    below zero or oscillate; this warning names both coefficients and the\n"
    "    numbers of sub-reaches, from ceil(2 * k * x / dt) to\n"
    "    floor(2 * k * (1 - x) / dt), that keep them non-negative, or says that\n"
    "    none does and the time step must change. Routing goes on either way;\n"
    "    under a warnings filter set to \"error\" the call raises instead.\n\n"
    "Notes\n"
    "-----\n"
    "With D = dt + 2 * K' * (1 - x), each sub-reach computes\n"
    "O[i] = C2 * O[i-1] + C0 * I[i] + C1 * I[i-1], where C0 = (dt - 2 * K' * x) / D,\n"
    "C1 = (dt + 2 * K' * x) / D and C2 = (2 * K' * (1 - x) - dt) / D. It keeps\n"
    "the storage K' * (x * I + (1 - x) * O) in balance with the trapezoidal\n"
    "inflow and outflow volumes.",
};

}  // namespace

namespace {
// What the module holds, in the order of its __all__.
constexpr Member kMembers[] = {
    function_member(run_muskingum_routing_def),
};
}  // namespace

int init_reach(PyObject* module) noexcept {
  return guard_status([&] { add_members(module, kMembers); });
}

}  // namespace pelmora
