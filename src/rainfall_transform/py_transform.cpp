// Python face of the rainfall transform: run_clark_uh.
#include "rainfall_transform/py_transform.hpp"

#include "binding/py_args.hpp"
#include "binding/py_convert.hpp"
#include "binding/py_detach.hpp"
#include "binding/py_errors.hpp"
#include "binding/py_module.hpp"
#include "rainfall_transform/clark_uh.hpp"
#include "utils/py_time_series.hpp"

namespace pelmora {

using namespace bind;

namespace {

constexpr const char* kParams[] = {"rainfall", "basin_area", "tc", "storage_r"};
constexpr Signature kSig{"run_clark_uh", nullptr, kParams, 4};

PyObject* run_clark_uh(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    Args a(kSig, argv, nargs, kwnames);
    const Lent<IncrementalSeries> rainfall = a.get(0, lend<IncrementalSeries>);
    const double basin_area = a.get(1, to_double);
    const Timedelta tc = a.get(2, to_timedelta);
    const Timedelta storage_r = a.get(3, to_timedelta);
    const double tc_seconds = tc.duration().seconds();
    const double r_seconds = storage_r.duration().seconds();

    std::vector<double> runoff = [&] {
      const double dt = static_cast<double>(rainfall->time_step);
      Detached detached(clark_uh_cost(rainfall->data, dt, tc_seconds));
      return clark_uh_rs(rainfall->data, dt, basin_area, tc_seconds, r_seconds, detached.cancel());
    }();
    // Value i is the flow at i * dt from the rainfall's start.
    return wrap(result_series<ContinuousSeries>(std::move(runoff), rainfall->time_step, "discharge"),
                rainfall.start());
  });
}

PyMethodDef run_clark_uh_def = {
    "run_clark_uh",
    fastcall_method(run_clark_uh),
    METH_FASTCALL | METH_KEYWORDS,
    "run_clark_uh(rainfall, basin_area, tc, storage_r)\n--\n\n"
    "Transforms excess rainfall into a runoff hydrograph using the Clark unit hydrograph.\n\n"
    "# Arguments\n\n"
    "* `rainfall` - Excess rainfall series (inches per time step).\n"
    "* `basin_area` - Drainage area in acres.\n"
    "* `tc` - Time of concentration. Controls the duration and shape of the\n"
    "  translation hydrograph.\n"
    "* `storage_r` - Linear reservoir storage coefficient. Controls attenuation.\n\n"
    "# Returns\n\n"
    "A `ContinuousTimeSeries` (kind=discharge, cfs) at the same time step as `rainfall`.",
};

}  // namespace

int init_transform(PyObject* module) noexcept {
  return guard_status([&] { add_function(module, &run_clark_uh_def); });
}

}  // namespace pelmora
