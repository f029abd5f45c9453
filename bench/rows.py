"""The bench rows. Each row is a function of the repeat scale that builds its
workload, checks pelmora against its anchor (outside the clock), times both
and returns ratio_row(), timed_ratio_row() or row_result() with the
workload's description and the target. ROWS at the end lists them in order,
each under its name: adding a row is one function and one entry there.
"""

from __future__ import annotations

import gc
import json
import os
import statistics
import subprocess
import sys
import time
from datetime import timedelta
from pathlib import Path

import numpy as np

import pelmora
from anchors import baseflow_anchor, kge_numpy, muskingum_anchor, pickle_in_band, pickle_round_trip
from harness import (REPO, add_latency_ns, check_close, compare, one_thread_seconds, ratio_row, reps,
                     row_result, spread, status_kib, timed_ratio_row, two_thread_seconds)
from workloads import (BASEFLOW_LAYERS, HOUR, MEMORY_N, MUSK_K, MUSK_N, MUSK_SUB, MUSK_X, QUARTER,
                       REGIONAL_BASINS, REGIONAL_SETTINGS, hydrograph, kge_inputs, level_pool_inputs,
                       rainfall)

CTS = pelmora.utils.ContinuousTimeSeries
ITS = pelmora.utils.IncrementalTimeSeries

# The memory row measures in a child process started through the entry point.
RUN_PY = Path(__file__).resolve().with_name("run.py")


def bench_convert_list(scale):
    values = hydrograph(MUSK_N, 1).tolist()
    return timed_ratio_row("ContinuousTimeSeries(list of 1e6 floats) vs numpy.array(list)",
                           lambda: CTS(values, HOUR, "discharge"), lambda: np.array(values), reps(15, scale), 1.0)


def bench_convert_array(scale):
    arr = hydrograph(MUSK_N, 1)
    return timed_ratio_row("ContinuousTimeSeries(float64 array of 1e6) vs numpy.array(arr)",
                           lambda: CTS(arr, HOUR, "discharge"), lambda: np.array(arr), reps(31, scale), 2.0)


def bench_convert_float32(scale):
    arr = hydrograph(MUSK_N, 1).astype(np.float32)
    if CTS(arr, HOUR, "discharge").data != arr.astype(np.float64).tolist():
        raise SystemExit("convert-float32: the series holds other values than astype(float64)")
    return timed_ratio_row("ContinuousTimeSeries(float32 array of 1e6) vs arr.astype(float64)",
                           lambda: CTS(arr, HOUR, "discharge"), lambda: arr.astype(np.float64), reps(31, scale),
                           2.0)


PICKLE_WORKLOAD = ("pickle round trip (protocol 5, out-of-band buffers carried as bytes) of a 1e6-value "
                   "series vs of a float64 array")


def pickle_row(row, workload, round_trip, scale):
    """A 1e6-value series against a float64 array, both through `round_trip` (checked first)."""
    arr = hydrograph(MUSK_N, 1)
    series = CTS(arr, HOUR, "discharge")
    back = round_trip(series)
    if type(back) is not CTS or back.data != series.data or back.time_step != series.time_step \
            or back.kind != series.kind:
        raise SystemExit(f"{row}: the series came back different")
    if not np.array_equal(round_trip(arr), arr):
        raise SystemExit(f"{row}: the array came back different")
    return timed_ratio_row(workload, lambda: round_trip(series), lambda: round_trip(arr), reps(31, scale), 1.5)


def bench_pickle_series(scale):
    return pickle_row("pickle-series", PICKLE_WORKLOAD, pickle_round_trip, scale)


def bench_pickle_series_inband(scale):
    return pickle_row("pickle-series-inband", "pickle round trip (protocol 5, in band) of a 1e6-value series "
                      "vs of a float64 array", pickle_in_band, scale)


VIEW_WORKLOAD = "numpy.asarray(series of 1e6 values) vs numpy.frombuffer(bytes of 1e6 float64), per call"
VIEW_CALLS = 1000  # both take constant time: each sample times this many calls


def bench_view_series(scale):
    arr = hydrograph(MUSK_N, 1)
    series = CTS(arr, HOUR, "discharge")
    raw = arr.tobytes()
    view = np.asarray(series)
    if view.dtype != np.float64 or view.shape != arr.shape or not np.array_equal(view, arr) \
            or view.flags.writeable:
        raise SystemExit("view-series: the view differs from the series or is writable")
    del view

    def views():
        for _ in range(VIEW_CALLS):
            np.asarray(series)

    def frombuffers():
        for _ in range(VIEW_CALLS):
            np.frombuffer(raw)

    tp, ta = compare(views, frombuffers, reps(21, scale))
    tp, ta = [t / VIEW_CALLS for t in tp], [t / VIEW_CALLS for t in ta]
    return ratio_row(VIEW_WORKLOAD, tp, ta, 3.0)


def bench_data_out(scale):
    arr = hydrograph(MUSK_N, 1)
    series = CTS(arr, HOUR, "discharge")
    assert series.data == arr.tolist()
    return timed_ratio_row("series.data (1e6 values) vs arr.tolist()", lambda: series.data, lambda: arr.tolist(),
                           reps(15, scale), 1.2)


def bench_muskingum(scale):
    arr = hydrograph(MUSK_N, 2)
    series = CTS(arr, HOUR, "discharge")
    initial = float(arr[0])
    route = pelmora.reach.run_muskingum_routing
    dt, k_s = 3600.0, MUSK_K.total_seconds()
    got = route(series, MUSK_K, MUSK_X, MUSK_SUB, initial).data
    err = check_close("muskingum", got, muskingum_anchor(arr, dt, k_s, MUSK_X, MUSK_SUB, initial))
    return timed_ratio_row("run_muskingum_routing, 1e6 values, 4 sub-reaches, x=0.2 vs 4 x scipy.signal.lfilter",
                           lambda: route(series, MUSK_K, MUSK_X, MUSK_SUB, initial),
                           lambda: muskingum_anchor(arr, dt, k_s, MUSK_X, MUSK_SUB, initial), reps(21, scale),
                           0.5, max_rel_diff=err)


def bench_clark(scale):
    n = int(10 * 365.25 * 96)  # ten years of 15-minute steps
    rain = rainfall(n, 3)
    series = ITS(rain, QUARTER, "rainfall")
    area, tc, r = 2560.0, timedelta(hours=6), timedelta(hours=4)
    clark = pelmora.rainfall_transform.run_clark_uh
    uh = np.array(clark(ITS([1.0], QUARTER, "rainfall"), area, tc, r).data)
    got = clark(series, area, tc, r).data
    err = check_close("clark", got, np.convolve(rain, uh))
    return timed_ratio_row(f"run_clark_uh, {n} 15-min steps (1 in 5 wet), tc 6 h, R 4 h "
                           f"({uh.size} ordinates) vs numpy.convolve",
                           lambda: clark(series, area, tc, r), lambda: np.convolve(rain, uh), reps(21, scale),
                           1.0, max_rel_diff=err)


def bench_baseflow(scale):
    n = MUSK_N
    rain = rainfall(n, 4, mean_depth=0.02)
    series = ITS(rain, HOUR, "rainfall")
    area = 2560.0
    layers = {name: pelmora.baseflow.LinearReservoir(*layer) for name, layer in BASEFLOW_LAYERS.items()}
    run = pelmora.baseflow.run_linear_reservoir
    total, per = run(area, series, layers)
    want_total, want_per = baseflow_anchor(rain, 3600.0, area, BASEFLOW_LAYERS)
    err = check_close("baseflow total", total.data, want_total)
    for name in BASEFLOW_LAYERS:
        err = max(err, check_close(f"baseflow {name}", per[name].data, want_per[name]))
    return timed_ratio_row("run_linear_reservoir, 1e6 steps, 3 layers x 4 reservoirs vs 12 x scipy.signal.lfilter",
                           lambda: run(area, series, layers),
                           lambda: baseflow_anchor(rain, 3600.0, area, BASEFLOW_LAYERS), reps(15, scale),
                           0.5, max_rel_diff=err)


def bench_kge_arrays(scale):
    sim, obs = kge_inputs()
    kge = pelmora.metrics.calculate_kge
    if kge(sim, obs) != kge(sim.tolist(), obs.tolist()):
        raise SystemExit("kge-arrays: arrays and lists give different bits")
    err = check_close("kge", [kge(sim, obs)], [kge_numpy(sim, obs)])
    tp, ta = compare(lambda: kge(sim, obs), lambda: kge_numpy(sim, obs), reps(31, scale))
    ns = statistics.median(tp) / sim.size * 1e9
    add = add_latency_ns()
    if add is None:
        bound = "the dependent-addition bound needs the C++ micro-benchmark"
    else:
        bound = (f"two passes of dependent additions bound it at {2 * add:.2f} ns "
                 f"(one addition {add:.2f} ns): {ns / (2 * add):.2f}x the bound")
    return ratio_row("calculate_kge, 1e6 pairs from float64 arrays vs the numpy formula "
                     "(sums as ds @ ds, do @ do, do @ ds)", tp, ta, 0.5, max_rel_diff=err,
                     note=f"{ns:.2f} ns per value pair; {bound}", ns_per_pair=ns, add_latency_ns=add)


def bench_kge_list(scale):
    sim, obs = kge_inputs()
    sim_l, obs_l = sim.tolist(), obs.tolist()
    kge = pelmora.metrics.calculate_kge
    err = check_close("kge lists", [kge(sim_l, obs_l)], [kge_numpy(sim_l, obs_l)])
    return timed_ratio_row("calculate_kge, 1e6 pairs from lists vs numpy formula (numpy.asarray included)",
                           lambda: kge(sim_l, obs_l), lambda: kge_numpy(sim_l, obs_l), reps(15, scale),
                           1.0, max_rel_diff=err)


def bench_level_pool(scale):
    series, e0, curve, outlets = level_pool_inputs()
    run = pelmora.reservoir.run_level_pool_routing
    n = len(series.data)
    points = (n - 1) * 3600 + 1
    result = run(series, e0, curve, outlets)
    elev = result.reservoir_elevation.data
    if len(elev) != n or not all(np.isfinite(elev)):
        raise SystemExit("level-pool: unexpected result")
    spill = max(result.reservoir_individual_outflows["spillway"].data)
    if not spill > 0.0:
        raise SystemExit("level-pool: the workload should exercise the spillway")
    tp, _ = compare(lambda: run(series, e0, curve, outlets), lambda: None, reps(7, scale))
    mp = statistics.median(tp)
    ns = mp / points * 1e9
    return row_result(f"run_level_pool_routing, 1 year hourly ({points} one-second points), "
                      "50-point storage curve, spillway + gate (20-point curves) + constant",
                      mp, None, ns, "ns/point", 20.0, "lower",
                      note=f"{mp:.3f} s per simulated year; elevation {min(elev):.2f}..{max(elev):.2f}",
                      pelmora_spread=spread(tp), repeats=len(tp))


def bench_threads(scale):
    route = pelmora.reach.run_muskingum_routing
    arrays = [hydrograph(MUSK_N, 10 + i) for i in range(2)]
    series = [CTS(a, HOUR, "discharge") for a in arrays]
    inits = [float(a[0]) for a in arrays]
    jobs = [lambda i=i: route(series[i], MUSK_K, MUSK_X, MUSK_SUB, inits[i]) for i in range(2)]

    # What the machine gives two threads right now: numpy sorting 1e6
    # doubles in place (refilled first, so nothing is allocated), which runs
    # without the interpreter lock, takes about as long as one routing call,
    # and is measured interleaved with it.
    unsorted = [np.random.default_rng(20 + i).random(MUSK_N) for i in range(2)]
    scratch = [np.empty(MUSK_N) for _ in range(2)]

    def sort_job(i):
        np.copyto(scratch[i], unsorted[i])
        scratch[i].sort()

    probe = [lambda i=i: sort_job(i) for i in range(2)]

    _, single = one_thread_seconds(jobs)
    _, double = two_thread_seconds(jobs)
    if [r.data for r in double] != [r.data for r in single]:
        raise SystemExit("threads: results differ from the single-threaded ones")
    del single, double

    tpar, tseq, ppar, pseq = [], [], [], []
    busy = 0.0  # process CPU seconds spent in pelmora's two-thread runs
    gc.disable()
    try:
        for i in range(reps(21, scale)):
            gc.collect()
            order = [(tpar, two_thread_seconds, jobs), (tseq, one_thread_seconds, jobs),
                     (ppar, two_thread_seconds, probe), (pseq, one_thread_seconds, probe)]
            if i % 2:
                order.reverse()
            for samples, fn, work in order:
                cpu0 = time.process_time()
                samples.append(fn(work)[0])
                if samples is tpar:
                    busy += time.process_time() - cpu0
    finally:
        gc.enable()
    mpar, mseq = statistics.median(tpar), statistics.median(tseq)
    # About 2 when both calls really ran at once, about 1 when they took
    # turns (thread start-up counts too, so it reads a little high).
    cpus_used = busy / sum(tpar)
    machine = statistics.median(pseq) / statistics.median(ppar)
    gil = "GIL enabled" if getattr(sys, "_is_gil_enabled", lambda: True)() else "free-threaded"
    return row_result("2 threads x run_muskingum_routing(1e6 values, 4 sub-reaches) "
                      "vs the same two calls on one thread", mpar, mseq, mseq / mpar, "x throughput",
                      1.7, "higher",
                      note=f"interpreter: {gil}; the machine gave a lock-free C probe (numpy.sort) "
                           f"{machine:.2f}x on two threads meanwhile; CPUs busy during pelmora's "
                           f"two-thread runs: {cpus_used:.2f}",
                      machine_scaling=machine, cpus_busy=cpus_used,
                      pelmora_spread=spread(tpar), anchor_spread=spread(tseq), repeats=len(tpar))


# Memory: measured in a child process so that nothing else of this run is in
# its resident set.


def memory_child():
    arr = hydrograph(MEMORY_N, 8)
    initial = float(arr[0])
    series = CTS(arr, HOUR, "discharge")
    del arr
    gc.collect()
    route = pelmora.reach.run_muskingum_routing
    baseline = status_kib("VmRSS")
    try:
        # Writing 5 resets the peak resident set (VmHWM) to the current one.
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        method = "VmHWM after clear_refs"
    except OSError:
        baseline = status_kib("VmHWM")
        method = "VmHWM (not reset; baseline is the setup peak)"
    result = route(series, MUSK_K, MUSK_X, MUSK_SUB, initial)
    peak = status_kib("VmHWM")
    print(json.dumps({"baseline_kib": baseline, "peak_kib": peak, "n": len(result.data), "method": method}))


def bench_memory(scale):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in [str(Path(pelmora.__file__).parent),
                                                     env.get("PYTHONPATH", "")] if p)
    out = subprocess.run([sys.executable, str(RUN_PY), "--memory-child"], capture_output=True, text=True,
                         env=env, check=True).stdout
    m = json.loads(out.strip().splitlines()[-1])
    vector = 8 * MEMORY_N
    growth = (m["peak_kib"] - m["baseline_kib"]) * 1024
    # The input series is already resident in the baseline; the routing may
    # add at most an output and one working vector.
    used = vector + growth
    budget = 3 * vector
    return row_result("peak RSS routing 1e7 values (4 sub-reaches) vs input + output + "
                      "one working vector", used, budget, used / budget, "of budget", 1.10, "lower",
                      note=f"growth over baseline {growth / 2**20:.1f} MiB; vector {vector / 2**20:.1f} MiB; "
                           f"{m['method']}",
                      growth_bytes=growth, vector_bytes=vector)


# Regional calibration (examples/regional_calibration.py): one Dask task per
# basin on a LocalCluster of two worker processes, against the same basins
# calibrated serially in this process. The serial runs happen while no cluster
# exists, so nothing of Dask shares the machine with them: half before it
# starts and half after it closes. The cluster is started, and warmed up with
# one small run, outside the clock.

def bench_regional(scale):
    try:
        import distributed  # noqa: F401
    except ImportError:
        r = row_result("dask/distributed not installed", 0.0, 0.0, 0.0, "x throughput",
                       1.7, "higher", note="skipped: no dask/distributed")
        r["pass"] = True
        return r
    sys.path.insert(0, str(REPO / "examples"))  # worker processes start with this sys.path
    import regional_calibration as rc

    basins = rc.make_basins(REGIONAL_BASINS, months=3)
    runs = REGIONAL_BASINS * REGIONAL_SETTINGS["popsize"] * 4 * (REGIONAL_SETTINGS["generations"] + 1)
    fingerprints = set()

    share = []  # per Dask run: CPU seconds of the tasks / their wall seconds

    def timed(samples, fn):
        start = time.perf_counter()
        results = fn()
        samples.append(time.perf_counter() - start)
        fingerprints.add(rc.fingerprint(results))
        return results

    n = reps(4, scale)
    tpar, tseq = [], []
    serial = lambda: rc.run_serial(basins, REGIONAL_SETTINGS, progress=False)
    for _ in range((n + 1) // 2):
        timed(tseq, serial)
    t0 = time.perf_counter()
    with rc.DaskRun(workers=2) as run:
        startup = time.perf_counter() - t0
        rc.run_dask(run.client, basins[:2], {"generations": 1, "popsize": 2}, progress=False)
        for _ in range(n):
            results = timed(tpar, lambda: rc.run_dask(run.client, basins, REGIONAL_SETTINGS, progress=False))
            share.append(sum(r["cpu_seconds"] for r in results) / sum(r["seconds"] for r in results))
    for _ in range(n // 2):
        timed(tseq, serial)
    if len(fingerprints) != 1:
        raise SystemExit("regional: results differ between the serial and the Dask runs")
    mpar, mseq = statistics.median(tpar), statistics.median(tseq)
    return row_result(f"calibrate {REGIONAL_BASINS} basins ({runs} model runs), LocalCluster "
                      "of 2 worker processes vs serial", mpar, mseq, mseq / mpar, "x throughput", 1.7, "higher",
                      note=f"{runs / mpar:,.0f} runs/s on 2 workers, {runs / mseq:,.0f} serial; results "
                           f"bit-identical; each worker had {statistics.median(share):.0%} of a core while "
                           f"calibrating; cluster start-up {startup:.1f} s (not timed)",
                      core_share=statistics.median(share),
                      pelmora_spread=spread(tpar), anchor_spread=spread(tseq), repeats=len(tpar))


ROWS = [
    ("convert-list", bench_convert_list),
    ("convert-array", bench_convert_array),
    ("convert-float32", bench_convert_float32),
    ("data-out", bench_data_out),
    ("pickle-series", bench_pickle_series),
    ("pickle-series-inband", bench_pickle_series_inband),
    ("view-series", bench_view_series),
    ("muskingum", bench_muskingum),
    ("clark", bench_clark),
    ("baseflow", bench_baseflow),
    ("kge-arrays", bench_kge_arrays),
    ("kge-list", bench_kge_list),
    ("level-pool", bench_level_pool),
    ("threads", bench_threads),
    ("memory", bench_memory),
    ("regional", bench_regional),
]
