// Python face of the metrics: calculate_kge.
#include "metrics/py_metrics.hpp"

#include "binding/py_args.hpp"
#include "binding/py_convert.hpp"
#include "binding/py_detach.hpp"
#include "binding/py_errors.hpp"
#include "binding/py_module.hpp"
#include "metrics/kge.hpp"

namespace pelmora {

using namespace bind;

namespace {

constexpr const char* kParams[] = {"sim", "obs", "use_log"};
constexpr Signature kSig{"calculate_kge", nullptr, kParams, 2};

PyObject* calculate_kge(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    Args a(kSig, argv, nargs, kwnames);
    // Each argument is copied, and summed, as it is converted, so converting
    // a later one (which may run Python code, a __float__) cannot change an
    // earlier one. Two float64 arrays run no code and are read in one loop.
    Summed sim;
    Summed obs;
    if (!read_summed_buffers(a[0], a[1], sim, obs)) {
      sim = a.get(0, to_summed_vector);
      obs = a.get(1, to_summed_vector);
    }
    const bool use_log = a.get_or(2, to_bool, false);
    double kge;
    {
      Detached detached(obs.values.size());
      kge = use_log ? kge_rs(sim.values, obs.values, true)
                    : kge_rs_from_sums(sim.values, obs.values, sim.sum, obs.sum);
    }
    return from_double(kge);
  });
}

PyMethodDef calculate_kge_def = {
    "calculate_kge",
    fastcall_method(calculate_kge),
    METH_FASTCALL | METH_KEYWORDS,
    "calculate_kge(sim, obs, use_log=False)\n--\n\n"
    "Calculates the Kling-Gupta Efficiency (KGE) between simulated and observed series.\n\n"
    "KGE decomposes model performance into three components measured against\n"
    "a perfect score of 1: the Pearson correlation r (timing and shape), the\n"
    "bias ratio \u03b2 = mean_sim / mean_obs, and the variability ratio\n"
    "\u03b3 = std_sim / std_obs, with KGE = 1 - sqrt((r - 1)\u00b2 + (\u03b2 - 1)\u00b2 + (\u03b3 - 1)\u00b2).\n"
    "A KGE of 1 indicates a perfect match. Values above 0 are generally\n"
    "considered acceptable.\n\n"
    "Parameters\n"
    "----------\n"
    "sim : sequence of float\n"
    "    Simulated values (a list, tuple or float64 array, for example a\n"
    "    series' `data`).\n"
    "obs : sequence of float\n"
    "    Observed values, as many as `sim`.\n"
    "use_log : bool, default False\n"
    "    If True, both series are transformed with ln(value + 0.000001) first,\n"
    "    which emphasises low-flow performance. It must be a bool (a NumPy bool\n"
    "    works too); an int is refused.\n\n"
    "Returns\n"
    "-------\n"
    "float\n"
    "    The efficiency, at most 1. NaN in the data gives NaN.\n\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    When `obs` is empty, or when `sim` and `obs` have different lengths\n"
    "    (tested in that order).\n\n"
    "Notes\n"
    "-----\n"
    "Standard deviations divide by n, not n - 1. Where a denominator would be\n"
    "zero the guard 0.000001 stands in: a correlation whose denominator is\n"
    "below it counts as the worst term, (r - 1)\u00b2 = 1, and a mean or a\n"
    "standard deviation of `obs` below it in magnitude is replaced by 0.000001.",
};

}  // namespace

namespace {
// What the module holds, in the order of its __all__.
constexpr Member kMembers[] = {
    function_member(calculate_kge_def),
};
}  // namespace

int init_metrics(PyObject* module) noexcept {
  return guard_status([&] { add_members(module, kMembers); });
}

}  // namespace pelmora
