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
    // Each argument is copied as it is converted, so converting a later one
    // (which may run Python code, a __float__) cannot change an earlier one.
    const std::vector<double> sim = a.get(0, to_vector);
    const std::vector<double> obs = a.get(1, to_vector);
    const bool use_log = a.get_or(2, to_bool, false);
    double kge;
    {
      Detached detached(obs.size());
      kge = kge_rs(sim, obs, use_log);
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
    "a perfect score of 1:\n\n"
    "- **r** (Pearson correlation) \u2014 timing and shape agreement.\n"
    "- **\u03b2 = mean_sim / mean_obs** \u2014 bias ratio.\n"
    "- **\u03b3 = std_sim / std_obs** \u2014 variability ratio.\n\n"
    "The efficiency is computed as:\n"
    "```text\n"
    "KGE = 1 - sqrt((r-1)\u00b2 + (\u03b2-1)\u00b2 + (\u03b3-1)\u00b2)\n"
    "```\n"
    "\nA KGE of 1 indicates a perfect match. Values above 0 are generally\n"
    "considered acceptable. Setting `use_log = true` applies a log transform\n"
    "before computing statistics, which emphasises low-flow performance.\n\n"
    "# Arguments\n\n"
    "* `sim` - Simulated time series.\n"
    "* `obs` - Observed time series. Must have the same length as `sim`.\n"
    "* `use_log` - If `true`, transforms both series with `ln(x + \u03b5)` before\n"
    "  computing statistics.\n\n"
    "# Errors\n\n"
    "Returns a `PyValueError` if `obs` is empty or if `sim` and `obs` have\n"
    "different lengths.",
};

}  // namespace

int init_metrics(PyObject* module) noexcept {
  return guard_status([&] { add_function(module, &calculate_kge_def); });
}

}  // namespace pelmora
