#!/usr/bin/env python3
"""pelmora benchmark suite.

Every row times a pelmora call against the code a user would otherwise write
with numpy/scipy (its "anchor"), in the same process, alternating the two
(which one goes first alternates too), and reports both medians and their
ratio, pelmora / anchor: lower is better. Three rows are read differently:

- level-pool has no anchor: its figure is nanoseconds per simulated second;
- threads: the same two routing calls on two threads and on one thread; the
  figure is the throughput gain (one-thread time / two-thread time), with a
  probe of what the machine gives two threads at the time;
- memory: peak resident set of a child process routing 1e7 values, as a
  fraction of a budget of input + output + one working vector (3 x 8 bytes
  per value). The baseline is taken once the input series exists, so the
  figure is (8n + peak growth over the baseline) / 24n.

The C++ routing micro-benchmark (bench/cpp), when it has been built next to
the extension, is run too and reported in its own table. It also measures the
machine's latency of one dependent addition, which the kge-arrays row's note
compares against: the efficiency's sums run in index order, so each of its two
passes costs at least one addition latency per value.

    PYTHONPATH=build python3.14 bench/run.py [--json build/bench.json]
        [--rows muskingum,kge-arrays] [--repeats-scale 0.5] [--clock cpu]
        [--no-cpp] [--strict]

Results that pelmora and the anchors compute are checked against each other
before timing (outside the timed region); a mismatch stops the run.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import pickle
import platform
import statistics
import subprocess
import sys
import threading
import time
from datetime import timedelta
from pathlib import Path

import numpy as np
import scipy
import scipy.signal

import pelmora

CTS = pelmora.utils.ContinuousTimeSeries
ITS = pelmora.utils.IncrementalTimeSeries
RU = pelmora.reservoir.reservoir_utils

REPO = Path(__file__).resolve().parent.parent
HOUR = timedelta(hours=1)
QUARTER = timedelta(minutes=15)

# Muskingum workload, shared by the muskingum, threads and memory rows. With
# an hourly step, k = 8 h over 4 sub-reaches (2 h each) and x = 0.2 keep every
# coefficient positive (2*Kp*x = 0.8 h <= dt).
MUSK_N = 1_000_000
MUSK_K = timedelta(hours=8)
MUSK_X = 0.2
MUSK_SUB = 4
MEMORY_N = 10_000_000


# ---------------------------------------------------------------------------
# Timing


# The clock of the single-threaded rows: wall time by default; "cpu" (this
# thread's CPU time) discounts time slices lost to other processes on a busy
# machine. The threads row always uses wall time.
CLOCK = time.perf_counter_ns


def _time_once(fn):
    """Seconds of one call on CLOCK; the result is freed outside the clock."""
    gc.collect()
    t0 = CLOCK()
    result = fn()
    t1 = CLOCK()
    del result
    return (t1 - t0) * 1e-9


def compare(pel, anchor, repeats, warmup=1):
    """Median seconds of `pel` and `anchor`, interleaved call by call."""
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(warmup):
            _time_once(pel)
            _time_once(anchor)
        tp, ta = [], []
        for i in range(repeats):
            if i % 2 == 0:
                tp.append(_time_once(pel))
                ta.append(_time_once(anchor))
            else:
                ta.append(_time_once(anchor))
                tp.append(_time_once(pel))
    finally:
        if gc_was_enabled:
            gc.enable()
    return tp, ta


def spread(samples):
    """Relative half-width of the middle half of the samples (noise indicator)."""
    if len(samples) < 4:
        return (max(samples) - min(samples)) / (2 * statistics.median(samples))
    q = statistics.quantiles(samples, n=4)
    return (q[2] - q[0]) / (2 * statistics.median(samples))


def check_close(name, got, want, rtol=1e-9):
    got = np.asarray(got, dtype=float)
    want = np.asarray(want, dtype=float)
    if got.shape != want.shape:
        raise SystemExit(f"{name}: shapes differ, pelmora {got.shape} vs anchor {want.shape}")
    scale = max(float(np.max(np.abs(want))), 1e-300) if want.size else 1.0
    err = float(np.max(np.abs(got - want))) / scale if want.size else 0.0
    if not err <= rtol:
        raise SystemExit(f"{name}: pelmora and anchor differ by {err:.3g} (relative), limit {rtol:g}")
    return err


# ---------------------------------------------------------------------------
# Workloads


def hydrograph(n, seed):
    """An hourly discharge record: seasonal base flow plus random storm waves."""
    rng = np.random.default_rng(seed)
    t = np.arange(n, dtype=float)
    base = 120.0 + 60.0 * np.sin(2.0 * np.pi * t / 8766.0)
    pulses = np.zeros(n)
    events = rng.random(n) < 0.004
    pulses[events] = rng.gamma(2.0, 1500.0, events.sum())
    k = np.arange(240, dtype=float)
    wave = (k / 18.0) ** 3 * np.exp(-k / 6.0)
    wave /= wave.sum()
    return base + np.convolve(pulses, wave)[:n]


def rainfall(n, seed, nonzero_every=5, mean_depth=0.05):
    """Excess rainfall depths: exactly n // nonzero_every random steps are wet."""
    rng = np.random.default_rng(seed)
    out = np.zeros(n)
    wet = rng.choice(n, n // nonzero_every, replace=False)
    out[wet] = rng.exponential(mean_depth, wet.size)
    return out


def muskingum_coefficients(dt, kp, x):
    d = dt + 2.0 * kp * (1.0 - x)
    return (dt - 2.0 * kp * x) / d, (dt + 2.0 * kp * x) / d, (2.0 * kp * (1.0 - x) - dt) / d


def muskingum_anchor(values, dt, k_seconds, x, sub_reaches, initial):
    """Four chained IIR passes: O[i] = C0*I[i] + C1*I[i-1] + C2*O[i-1], O[0] = initial."""
    c0, c1, c2 = muskingum_coefficients(dt, k_seconds / sub_reaches, x)
    b = np.array([c0, c1])
    a = np.array([1.0, -c2])
    y = values
    for _ in range(sub_reaches):
        # Transposed direct form: y[0] = c0*x[0] + zi[0], so zi[0] sets y[0].
        y, _zf = scipy.signal.lfilter(b, a, y, zi=np.array([initial - c0 * y[0]]))
    return y


# ---------------------------------------------------------------------------
# Rows. Each returns a dict; "figure" is the quantity the target applies to.


def row_result(name, workload, pel, anchor, figure, unit, target, better, note="", **extra):
    ok = figure <= target if better == "lower" else figure >= target
    r = {
        "row": name,
        "workload": workload,
        "pelmora_s": pel,
        "anchor_s": anchor,
        "figure": figure,
        "unit": unit,
        "target": target,
        "better": better,
        "pass": bool(ok),
        "note": note,
    }
    r.update(extra)
    return r


def ratio_row(name, workload, tp, ta, target, note="", **extra):
    mp, ma = statistics.median(tp), statistics.median(ta)
    return row_result(name, workload, mp, ma, mp / ma, "ratio", target, "lower", note,
                      pelmora_spread=spread(tp), anchor_spread=spread(ta), repeats=len(tp),
                      pelmora_samples=tp, anchor_samples=ta, **extra)


def bench_convert_list(scale):
    values = hydrograph(MUSK_N, 1).tolist()
    tp, ta = compare(lambda: CTS(values, HOUR, "discharge"), lambda: np.array(values), reps(15, scale))
    return ratio_row("convert-list", "ContinuousTimeSeries(list of 1e6 floats) vs numpy.array(list)",
                     tp, ta, 1.0)


def bench_convert_array(scale):
    arr = hydrograph(MUSK_N, 1)
    tp, ta = compare(lambda: CTS(arr, HOUR, "discharge"), lambda: np.array(arr), reps(31, scale))
    return ratio_row("convert-array", "ContinuousTimeSeries(float64 array of 1e6) vs numpy.array(arr)",
                     tp, ta, 2.0)


def bench_convert_float32(scale):
    arr = hydrograph(MUSK_N, 1).astype(np.float32)
    if CTS(arr, HOUR, "discharge").data != arr.astype(np.float64).tolist():
        raise SystemExit("convert-float32: the series holds other values than astype(float64)")
    tp, ta = compare(lambda: CTS(arr, HOUR, "discharge"), lambda: arr.astype(np.float64), reps(31, scale))
    return ratio_row("convert-float32", "ContinuousTimeSeries(float32 array of 1e6) vs arr.astype(float64)",
                     tp, ta, 2.0)


def pickle_round_trip(obj):
    """Protocol 5 with out-of-band buffers, each copied to bytes on the way, as
    a pipe, a queue or a socket between processes would carry it."""
    buffers = []
    payload = pickle.dumps(obj, protocol=5, buffer_callback=buffers.append)
    carried = [bytes(b.raw()) for b in buffers]
    return pickle.loads(payload, buffers=carried)


PICKLE_WORKLOAD = ("pickle round trip (protocol 5, out-of-band buffers carried as bytes) of a 1e6-value "
                   "series vs of a float64 array")


def bench_pickle_series(scale):
    arr = hydrograph(MUSK_N, 1)
    series = CTS(arr, HOUR, "discharge")
    back = pickle_round_trip(series)
    if type(back) is not CTS or back.data != series.data or back.time_step != series.time_step \
            or back.kind != series.kind:
        raise SystemExit("pickle-series: the series came back different")
    if not np.array_equal(pickle_round_trip(arr), arr):
        raise SystemExit("pickle-series: the array came back different")
    tp, ta = compare(lambda: pickle_round_trip(series), lambda: pickle_round_trip(arr), reps(31, scale))
    return ratio_row("pickle-series", PICKLE_WORKLOAD, tp, ta, 1.5)


def pickle_in_band(obj):
    """Protocol 5 in band, as multiprocessing and concurrent.futures pools pickle."""
    return pickle.loads(pickle.dumps(obj, protocol=5))


def bench_pickle_series_inband(scale):
    arr = hydrograph(MUSK_N, 1)
    series = CTS(arr, HOUR, "discharge")
    back = pickle_in_band(series)
    if type(back) is not CTS or back.data != series.data or back.time_step != series.time_step \
            or back.kind != series.kind:
        raise SystemExit("pickle-series-inband: the series came back different")
    if not np.array_equal(pickle_in_band(arr), arr):
        raise SystemExit("pickle-series-inband: the array came back different")
    tp, ta = compare(lambda: pickle_in_band(series), lambda: pickle_in_band(arr), reps(31, scale))
    return ratio_row("pickle-series-inband", "pickle round trip (protocol 5, in band) of a 1e6-value series "
                     "vs of a float64 array", tp, ta, 1.5)


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
    return ratio_row("view-series", VIEW_WORKLOAD, tp, ta, 3.0)


def bench_data_out(scale):
    arr = hydrograph(MUSK_N, 1)
    series = CTS(arr, HOUR, "discharge")
    assert series.data == arr.tolist()
    tp, ta = compare(lambda: series.data, lambda: arr.tolist(), reps(15, scale))
    return ratio_row("data-out", "series.data (1e6 values) vs arr.tolist()", tp, ta, 1.2)


def bench_muskingum(scale):
    arr = hydrograph(MUSK_N, 2)
    series = CTS(arr, HOUR, "discharge")
    initial = float(arr[0])
    route = pelmora.reach.run_muskingum_routing
    dt, k_s = 3600.0, MUSK_K.total_seconds()
    got = route(series, MUSK_K, MUSK_X, MUSK_SUB, initial).data
    err = check_close("muskingum", got, muskingum_anchor(arr, dt, k_s, MUSK_X, MUSK_SUB, initial))
    tp, ta = compare(lambda: route(series, MUSK_K, MUSK_X, MUSK_SUB, initial),
                     lambda: muskingum_anchor(arr, dt, k_s, MUSK_X, MUSK_SUB, initial), reps(21, scale))
    return ratio_row("muskingum", "run_muskingum_routing, 1e6 values, 4 sub-reaches, x=0.2 "
                     "vs 4 x scipy.signal.lfilter", tp, ta, 0.5, max_rel_diff=err)


def bench_clark(scale):
    n = int(10 * 365.25 * 96)  # ten years of 15-minute steps
    rain = rainfall(n, 3)
    series = ITS(rain, QUARTER, "rainfall")
    area, tc, r = 2560.0, timedelta(hours=6), timedelta(hours=4)
    clark = pelmora.rainfall_transform.run_clark_uh
    uh = np.array(clark(ITS([1.0], QUARTER, "rainfall"), area, tc, r).data)
    got = clark(series, area, tc, r).data
    err = check_close("clark", got, np.convolve(rain, uh))
    tp, ta = compare(lambda: clark(series, area, tc, r), lambda: np.convolve(rain, uh), reps(21, scale))
    return ratio_row("clark", f"run_clark_uh, {n} 15-min steps (1 in 5 wet), tc 6 h, R 4 h "
                     f"({uh.size} ordinates) vs numpy.convolve", tp, ta, 1.0, max_rel_diff=err)


BASEFLOW_LAYERS = {
    # name: (k_duration, gw_fraction, initial_q, num_reservoir)
    "shallow": (timedelta(hours=12), 0.3, 5.0, 4),
    "intermediate": (timedelta(days=3), 0.2, 20.0, 4),
    "deep": (timedelta(days=30), 0.1, 50.0, 4),
}


def baseflow_anchor(rain, dt_s, area, layers):
    dt_h = dt_s / 3600.0
    half = 0.5 * dt_h
    factor = area * 1.00833
    total = np.zeros(rain.size)
    per_layer = {}
    for name, (k, frac, q0, count) in layers.items():
        k_per_res = (k.total_seconds() / 3600.0) / count
        c = dt_h / (k_per_res + half)
        q = rain * frac / dt_h * factor
        b = np.array([c])
        a = np.array([1.0, -(1.0 - c)])
        for _ in range(count):
            # y[i] = c*x[i] + (1-c)*y[i-1] with y[-1] = q0.
            q, _zf = scipy.signal.lfilter(b, a, q, zi=np.array([(1.0 - c) * q0]))
        per_layer[name] = q
        total += q
    return total, per_layer


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
    tp, ta = compare(lambda: run(area, series, layers),
                     lambda: baseflow_anchor(rain, 3600.0, area, BASEFLOW_LAYERS), reps(15, scale))
    return ratio_row("baseflow", "run_linear_reservoir, 1e6 steps, 3 layers x 4 reservoirs "
                     "vs 12 x scipy.signal.lfilter", tp, ta, 0.5, max_rel_diff=err)


def kge_numpy(sim, obs, eps=1e-6):
    """The Kling-Gupta efficiency as a numpy user would write it."""
    sim = np.asarray(sim, dtype=float)
    obs = np.asarray(obs, dtype=float)
    ms, mo = sim.mean(), obs.mean()
    ds, do = sim - ms, obs - mo
    sss, soo, sso = ds @ ds, do @ do, do @ ds
    dr = np.sqrt(soo * sss)
    corr = 1.0 if dr < eps else (sso / dr - 1.0) ** 2
    beta = ms / (eps if abs(mo) < eps else mo)
    so = np.sqrt(soo / sim.size)
    gamma = np.sqrt(sss / sim.size) / (eps if so < eps else so)
    return 1.0 - np.sqrt((gamma - 1.0) ** 2 + (beta - 1.0) ** 2 + corr)


def _kge_inputs():
    obs = hydrograph(MUSK_N, 5)
    rng = np.random.default_rng(6)
    sim = obs * rng.normal(1.05, 0.1, obs.size) + 3.0
    return sim, obs


def bench_kge_arrays(scale):
    sim, obs = _kge_inputs()
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
    return ratio_row("kge-arrays", "calculate_kge, 1e6 pairs from float64 arrays vs the numpy formula "
                     "(sums as ds @ ds, do @ do, do @ ds)", tp, ta, 0.5, max_rel_diff=err,
                     note=f"{ns:.2f} ns per value pair; {bound}", ns_per_pair=ns, add_latency_ns=add)


def bench_kge_list(scale):
    sim, obs = _kge_inputs()
    sim_l, obs_l = sim.tolist(), obs.tolist()
    kge = pelmora.metrics.calculate_kge
    err = check_close("kge lists", [kge(sim_l, obs_l)], [kge_numpy(sim_l, obs_l)])
    tp, ta = compare(lambda: kge(sim_l, obs_l), lambda: kge_numpy(sim_l, obs_l), reps(15, scale))
    return ratio_row("kge-list", "calculate_kge, 1e6 pairs from lists vs numpy formula "
                     "(numpy.asarray included)", tp, ta, 1.0, max_rel_diff=err)


def level_pool_inputs():
    """One year of hourly inflow into a ~1000-acre reservoir with three outlets."""
    n = 8761
    t = np.arange(n, dtype=float)
    rng = np.random.default_rng(7)
    inflow = 400.0 + 250.0 * np.sin(2.0 * np.pi * (t / 8760.0 - 0.2))
    k = np.arange(200, dtype=float)
    for start in rng.choice(n - 200, 25, replace=False):
        peak, duration = rng.uniform(2000.0, 9000.0), rng.uniform(24.0, 96.0)
        inflow[start:start + 200] += peak * (k / (duration / 3.0)) ** 2 * np.exp(-k / (duration / 6.0)) \
            / (36.0 * np.exp(-6.0))
    h = np.linspace(0.0, 49.0, 50)
    curve = RU.ElevationStorage((100.0 + h).tolist(), (2.0e7 * h + 6.0e5 * h * h).tolist())
    gate_e = np.linspace(100.0, 149.0, 20)
    gate = RU.ControlledDischargeInfo(
        RU.ElevationDischarge(gate_e.tolist(), (1800.0 * np.sqrt((gate_e - 100.0) / 49.0)).tolist()),
        minimum_elevation=105.0, maximum_release=1200.0)
    spill_e = np.linspace(130.0, 149.0, 20)
    spillway = RU.UnControlledDischargeInfo(
        RU.ElevationDischarge(spill_e.tolist(), (450.0 * (spill_e - 130.0) ** 1.5).tolist()))
    release = RU.ConstantDischargeInfo(150.0, minimum_elevation=102.0)
    outlets = {"spillway": spillway, "gate": gate, "release": release}
    return CTS(inflow, HOUR, "discharge"), 120.0, curve, outlets


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
    return row_result("level-pool", f"run_level_pool_routing, 1 year hourly ({points} one-second points), "
                      "50-point storage curve, spillway + gate (20-point curves) + constant",
                      mp, None, ns, "ns/point", 20.0, "lower",
                      note=f"{mp:.3f} s per simulated year; elevation {min(elev):.2f}..{max(elev):.2f}",
                      pelmora_spread=spread(tp), repeats=len(tp))


def _threaded_seconds(jobs, threads):
    """Wall time of running every job, spread over `threads` fresh threads.

    The threads are started first and released together by a barrier, so
    thread start-up stays outside the clock. Both the one-thread and the
    two-thread case run on fresh threads, so they allocate alike.
    """
    barrier = threading.Barrier(threads + 1)
    results = [None] * len(jobs)

    def worker(k):
        barrier.wait()
        for i in range(k, len(jobs), threads):
            results[i] = jobs[i]()

    pool = [threading.Thread(target=worker, args=(k,)) for k in range(threads)]
    for t in pool:
        t.start()
    barrier.wait()
    t0 = time.perf_counter_ns()
    for t in pool:
        t.join()
    t1 = time.perf_counter_ns()
    return (t1 - t0) * 1e-9, results


def _two_thread_seconds(jobs):
    return _threaded_seconds(jobs, 2)


def _one_thread_seconds(jobs):
    return _threaded_seconds(jobs, 1)


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

    _, single = _one_thread_seconds(jobs)
    _, double = _two_thread_seconds(jobs)
    if [r.data for r in double] != [r.data for r in single]:
        raise SystemExit("threads: results differ from the single-threaded ones")
    del single, double

    tpar, tseq, ppar, pseq = [], [], [], []
    busy = 0.0  # process CPU seconds spent in pelmora's two-thread runs
    gc.disable()
    try:
        for i in range(reps(21, scale)):
            gc.collect()
            order = [(tpar, _two_thread_seconds, jobs), (tseq, _one_thread_seconds, jobs),
                     (ppar, _two_thread_seconds, probe), (pseq, _one_thread_seconds, probe)]
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
    return row_result("threads", "2 threads x run_muskingum_routing(1e6 values, 4 sub-reaches) "
                      "vs the same two calls on one thread", mpar, mseq, mseq / mpar, "x throughput",
                      1.7, "higher",
                      note=f"interpreter: {gil}; the machine gave a lock-free C probe (numpy.sort) "
                           f"{machine:.2f}x on two threads meanwhile; CPUs busy during pelmora's "
                           f"two-thread runs: {cpus_used:.2f}",
                      machine_scaling=machine, cpus_busy=cpus_used,
                      pelmora_spread=spread(tpar), anchor_spread=spread(tseq), repeats=len(tpar))


# Memory: measured in a child process so that nothing else of this run is in
# its resident set.

def _status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def memory_child():
    arr = hydrograph(MEMORY_N, 8)
    initial = float(arr[0])
    series = CTS(arr, HOUR, "discharge")
    del arr
    gc.collect()
    route = pelmora.reach.run_muskingum_routing
    baseline = _status_kib("VmRSS")
    try:
        # Writing 5 resets the peak resident set (VmHWM) to the current one.
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        method = "VmHWM after clear_refs"
    except OSError:
        baseline = _status_kib("VmHWM")
        method = "VmHWM (not reset; baseline is the setup peak)"
    result = route(series, MUSK_K, MUSK_X, MUSK_SUB, initial)
    peak = _status_kib("VmHWM")
    print(json.dumps({"baseline_kib": baseline, "peak_kib": peak, "n": len(result.data), "method": method}))


def bench_memory(scale):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in [str(Path(pelmora.__file__).parent),
                                                     env.get("PYTHONPATH", "")] if p)
    out = subprocess.run([sys.executable, __file__, "--memory-child"], capture_output=True, text=True,
                         env=env, check=True).stdout
    m = json.loads(out.strip().splitlines()[-1])
    vector = 8 * MEMORY_N
    growth = (m["peak_kib"] - m["baseline_kib"]) * 1024
    # The input series is already resident in the baseline; the routing may
    # add at most an output and one working vector.
    used = vector + growth
    budget = 3 * vector
    return row_result("memory", "peak RSS routing 1e7 values (4 sub-reaches) vs input + output + "
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

REGIONAL_BASINS = 24
REGIONAL_SETTINGS = {"generations": 24, "popsize": 12}


def bench_regional(scale):
    try:
        import distributed  # noqa: F401
    except ImportError:
        r = row_result("regional", "dask/distributed not installed", 0.0, 0.0, 0.0, "x throughput",
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
    return row_result("regional", f"calibrate {REGIONAL_BASINS} basins ({runs} model runs), LocalCluster "
                      "of 2 worker processes vs serial", mpar, mseq, mseq / mpar, "x throughput", 1.7, "higher",
                      note=f"{runs / mpar:,.0f} runs/s on 2 workers, {runs / mseq:,.0f} serial; results "
                           f"bit-identical; each worker had {statistics.median(share):.0%} of a core while "
                           f"calibrating; cluster start-up {startup:.1f} s (not timed)",
                      core_share=statistics.median(share),
                      pelmora_spread=spread(tpar), anchor_spread=spread(tseq), repeats=len(tpar))


ROWS = {
    "convert-list": bench_convert_list,
    "convert-array": bench_convert_array,
    "convert-float32": bench_convert_float32,
    "data-out": bench_data_out,
    "pickle-series": bench_pickle_series,
    "pickle-series-inband": bench_pickle_series_inband,
    "view-series": bench_view_series,
    "muskingum": bench_muskingum,
    "clark": bench_clark,
    "baseflow": bench_baseflow,
    "kge-arrays": bench_kge_arrays,
    "kge-list": bench_kge_list,
    "level-pool": bench_level_pool,
    "threads": bench_threads,
    "memory": bench_memory,
    "regional": bench_regional,
}

def reps(n, scale):
    return max(3, int(round(n * scale)))


# ---------------------------------------------------------------------------
# C++ micro-benchmark


CPP_BINARY = None  # --cpp-binary, when given
_ADD_LATENCY = {}


def add_latency_ns():
    """Nanoseconds of one dependent addition here: the C++ micro-benchmark's
    add_latency_bound over 1 Mi values (median of 5), or None without it."""
    if "ns" not in _ADD_LATENCY:
        binary = CPP_BINARY or find_cpp_bench()
        ns = None
        if binary is not None:
            out = subprocess.run([str(binary), "--benchmark_filter=^add_latency_bound/1048576$",
                                  "--benchmark_format=json", "--benchmark_repetitions=5",
                                  "--benchmark_report_aggregates_only=true"], capture_output=True, text=True)
            if out.returncode == 0:
                for b in json.loads(out.stdout).get("benchmarks", []):
                    if b.get("aggregate_name") == "median":
                        ns = b["ns_per_value_pass"]
        _ADD_LATENCY["ns"] = ns
    return _ADD_LATENCY["ns"]


def find_cpp_bench():
    candidates = [Path(pelmora.__file__).parent / "pelmora_bench_routing", REPO / "build" / "pelmora_bench_routing"]
    for c in candidates:
        if c.is_file() and os.access(c, os.X_OK):
            return c
    return None


def run_cpp(binary):
    out = subprocess.run([str(binary), "--benchmark_format=json", "--benchmark_repetitions=5",
                          "--benchmark_report_aggregates_only=true"], capture_output=True, text=True,
                         check=True).stdout
    data = json.loads(out)
    medians = {}
    for b in data["benchmarks"]:
        if b.get("aggregate_name") == "median":
            medians[b["run_name"]] = b
    rows = []
    # Per-benchmark "ns per value-pass" counter, set by the benchmark itself.
    # Routing passes are read against the multiply-add recurrence, the sums
    # of the efficiency against the plain dependent addition.
    bound, add_bound = {}, {}
    for name, b in medians.items():
        if name.startswith("latency_bound/"):
            bound[name.split("/", 1)[1]] = b["ns_per_value_pass"]
        if name.startswith("add_latency_bound/"):
            add_bound[name.split("/", 1)[1]] = b["ns_per_value_pass"]
    for name, b in medians.items():
        size = name.split("/", 1)[1] if "/" in name else ""
        ns = b["ns_per_value_pass"]
        ref = (add_bound if name.startswith(("add_", "kge")) else bound).get(size)
        rows.append({"benchmark": name, "ns_per_value_pass": ns,
                     "fraction_of_latency_bound": ns / ref if ref else None,
                     "real_time_ns": b["real_time"]})
    return {"binary": str(binary), "context": data.get("context", {}), "rows": rows}


# ---------------------------------------------------------------------------
# Output


def fmt_time(s):
    if s is None:
        return "-"
    if s >= 1.0:
        return f"{s:.3f} s"
    if s >= 1e-3:
        return f"{s * 1e3:.2f} ms"
    return f"{s * 1e6:.1f} us"


def fmt_figure(r):
    if r["row"] == "memory":
        return f"{r['figure']:.3f}"
    if r["unit"] == "ns/point":
        return f"{r['figure']:.2f} ns/pt"
    if r["unit"] == "x throughput":
        return f"{r['figure']:.2f}x"
    return f"{r['figure']:.3f}"


def fmt_target(r):
    op = "<=" if r["better"] == "lower" else ">="
    unit = {"ns/point": " ns/pt", "x throughput": "x"}.get(r["unit"], "")
    return f"{op} {r['target']:g}{unit}"


def print_table(rows):
    head = ("row", "pelmora", "anchor", "figure", "target", "result", "noise p/a")
    lines = []
    for r in rows:
        if r["row"] == "memory":
            p, a = f"{r['pelmora_s'] / 2**20:.0f} MiB", f"{r['anchor_s'] / 2**20:.0f} MiB"
        else:
            p, a = fmt_time(r["pelmora_s"]), fmt_time(r["anchor_s"])
        noise = ""
        if "pelmora_spread" in r:
            noise = f"{100 * r['pelmora_spread']:.0f}%"
            if r.get("anchor_spread") is not None:
                noise += f"/{100 * r['anchor_spread']:.0f}%"
        result = "pass" if r["pass"] else "MISS"
        lines.append((r["row"], p, a, fmt_figure(r), fmt_target(r), result, noise))
    widths = [max(len(x) for x in col) for col in zip(head, *lines)]
    sep = "  "
    print(sep.join(h.ljust(w) for h, w in zip(head, widths)))
    print(sep.join("-" * w for w in widths))
    for line in lines:
        print(sep.join(x.ljust(w) for x, w in zip(line, widths)))
    notes = [(r["row"], r["note"]) for r in rows if r.get("note")]
    for name, note in notes:
        print(f"  {name}: {note}")


def print_cpp(cpp):
    print()
    print("C++ kernels vs their latency bounds (routing: y = c*y + v[i]; kge: y = y + v[i], "
          "two passes), median of 5 repetitions")
    head = ("benchmark", "ns/value-pass", "x latency bound")
    lines = [(r["benchmark"], f"{r['ns_per_value_pass']:.3f}",
              "-" if r["fraction_of_latency_bound"] is None else f"{r['fraction_of_latency_bound']:.2f}")
             for r in cpp["rows"]]
    widths = [max(len(x) for x in col) for col in zip(head, *lines)]
    print("  ".join(h.ljust(w) for h, w in zip(head, widths)))
    print("  ".join("-" * w for w in widths))
    for line in lines:
        print("  ".join(x.ljust(w) for x, w in zip(line, widths)))


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--json", default=str(REPO / "build" / "bench.json"),
                    help="where to write the figures (default: build/bench.json)")
    ap.add_argument("--rows", default="", help="comma-separated subset of rows: " + ", ".join(ROWS))
    ap.add_argument("--repeats-scale", type=float, default=1.0,
                    help="multiply every row's repeat count (e.g. 0.3 for a quick look)")
    ap.add_argument("--clock", choices=("wall", "cpu"), default="wall",
                    help="clock of the single-threaded rows (cpu: this thread's CPU time)")
    ap.add_argument("--no-cpp", action="store_true", help="skip the C++ micro-benchmark table (the kge-arrays row still asks it for the addition latency)")
    ap.add_argument("--cpp-binary", default="", help="path of pelmora_bench_routing (default: next to the module)")
    ap.add_argument("--strict", action="store_true", help="exit with status 1 when a target is missed")
    ap.add_argument("--memory-child", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)

    if args.memory_child:
        memory_child()
        return 0

    global CLOCK, CPP_BINARY
    CPP_BINARY = Path(args.cpp_binary) if args.cpp_binary else None
    CLOCK = time.perf_counter_ns if args.clock == "wall" else time.thread_time_ns
    selected = [r.strip() for r in args.rows.split(",") if r.strip()] or list(ROWS)
    unknown = [r for r in selected if r not in ROWS]
    if unknown:
        ap.error("unknown rows: " + ", ".join(unknown))

    print(f"pelmora {pelmora.__file__}")
    print(f"python {platform.python_version()} ({'GIL' if sys._is_gil_enabled() else 'free-threaded'}), "
          f"numpy {np.__version__}, scipy {scipy.__version__}, {os.cpu_count()} CPUs, "
          f"load {os.getloadavg()[0]:.2f}")
    print(f"clock: {args.clock}; figure = pelmora median / anchor median unless stated; "
          "noise = interquartile half-width / median")
    print()

    rows = []
    progress = sys.stderr.isatty()
    for name in selected:
        if progress:
            print(f"\r{name}...".ljust(24), end="", file=sys.stderr, flush=True)
        rows.append(ROWS[name](args.repeats_scale))
    if progress:
        print("\r" + " " * 24 + "\r", end="", file=sys.stderr, flush=True)
    print_table(rows)

    cpp = None
    if not args.no_cpp:
        binary = Path(args.cpp_binary) if args.cpp_binary else find_cpp_bench()
        if binary is None:
            print("\n(C++ micro-benchmark not built: `cmake --build <build> --target pelmora_bench_routing`)")
        else:
            cpp = run_cpp(binary)
            print_cpp(cpp)

    report = {
        "python": platform.python_version(),
        "gil_enabled": sys._is_gil_enabled(),
        "numpy": np.__version__,
        "scipy": scipy.__version__,
        "cpus": os.cpu_count(),
        "clock": args.clock,
        "load_before": os.getloadavg(),
        "time": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
        "rows": rows,
        "cpp": cpp,
    }
    path = Path(args.json)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps(report, indent=2) + "\n")
    print(f"\nwrote {path}")
    if args.strict and not all(r["pass"] for r in rows):
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
