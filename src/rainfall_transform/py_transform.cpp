// Python face of the rainfall transform: run_clark_uh.
#include "rainfall_transform/py_transform.hpp"

#include "binding/py_args.hpp"
#include "binding/py_borrow.hpp"
#include "binding/py_class.hpp"
#include "binding/py_convert.hpp"
#include "binding/py_detach.hpp"
#include "binding/py_errors.hpp"
#include "binding/py_module.hpp"
#include "core/errors.hpp"
#include "core/format.hpp"
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
    // Refused before the durations are converted, in parameter order: a
    // negative area would give negative flows, and NaN ones everywhere.
    if (!(basin_area >= 0.0))
      throw DomainError("basin_area must be a non-negative number of acres, not " + format_double(basin_area));
    const double tc_seconds = tc.duration().seconds();
    const double r_seconds = storage_r.duration().seconds();

    std::vector<double> runoff = [&] {
      const double dt = static_cast<double>(rainfall->time_step);
      Detached detached(clark_uh_cost(rainfall->data, dt, tc_seconds, r_seconds));
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
    "The excess is translated through the HEC dimensionless time-area curve\n"
    "scaled by `tc`, then attenuated by a linear reservoir of storage\n"
    "coefficient `storage_r` that starts from rest. The reservoir is drained\n"
    "until what it still has to release is negligible, so the hydrograph\n"
    "carries all of the excess.\n\n"
    "Parameters\n"
    "----------\n"
    "rainfall : IncrementalTimeSeries\n"
    "    Excess rainfall, inches per time step (the ``excess`` of\n"
    "    ``run_deficit_and_constant`` fits unchanged). Its kind is not examined.\n"
    "basin_area : float\n"
    "    Drainage area, acres.\n"
    "tc : datetime.timedelta\n"
    "    Time of concentration. It scales the time-area curve and sets the\n"
    "    number of translation ordinates, n = ceil(tc / time step).\n"
    "storage_r : datetime.timedelta\n"
    "    Storage coefficient R of the linear reservoir. It controls the\n"
    "    attenuation and the length of the recession.\n\n"
    "Returns\n"
    "-------\n"
    "ContinuousTimeSeries\n"
    "    Discharge, cfs (kind \"discharge\"), at the time step of `rainfall`.\n"
    "    For N rainfall values and a unit hydrograph of m ordinates it holds\n"
    "    N + m - 1 values; value i is the flow at i * time step from the start\n"
    "    of the first rainfall interval. The unit hydrograph has m >= n + 1\n"
    "    ordinates: a zero at the start, the n routed translation ordinates,\n"
    "    then the recession. A zero `tc` gives N zeros.\n\n"
    "Raises\n"
    "------\n"
    "TypeError\n"
    "    If `rainfall` is not an IncrementalTimeSeries, `basin_area` is not a\n"
    "    number, or `tc` or `storage_r` is not a datetime.timedelta.\n"
    "ValueError\n"
    "    If `basin_area` is negative or NaN, if `tc` or `storage_r` is\n"
    "    negative, or if the unit hydrograph would need more than 2**28\n"
    "    ordinates (`tc` or `storage_r` far too long for the time step, or\n"
    "    `storage_r` far too short).\n"
    "MemoryError\n"
    "    If the unit hydrograph or the result cannot be allocated.\n\n"
    "Notes\n"
    "-----\n"
    "The recession stops at the first ordinate after which the volume still\n"
    "to come is at most 1e-12 of one inch over the basin, so the sum of the\n"
    "result times the time step (cubic feet) equals the excess volume,\n"
    "excess inches x basin_area x 1.00833 x 3600, to 1e-12 plus rounding.",
};

}  // namespace

namespace {
// What the module holds, in the order of its __all__.
constexpr Member kMembers[] = {
    function_member(run_clark_uh_def),
};
}  // namespace

int init_transform(PyObject* module) noexcept {
  return guard_status([&] { add_members(module, kMembers); });
}

}  // namespace pelmora
