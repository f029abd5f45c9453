"""The bench harness: timing, interleaving and repeats, the clock, row
results and their table, the C++ micro-benchmark runner and the JSON report.

Rows (rows.py) call compare() with a pelmora callable and its anchor, and
return row_result() or ratio_row(); timed_ratio_row() does both for a row
that needs nothing else of the samples. The runner adds the row's name.
"""

from __future__ import annotations

import gc
import json
import os
import platform
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import scipy

import pelmora

REPO = Path(__file__).resolve().parent.parent
CPP_BINARY = None  # --cpp-binary, when given


# ---------------------------------------------------------------------------
# Timing


# The clock of the single-threaded rows: wall time by default; "cpu" (this
# thread's CPU time) discounts time slices lost to other processes on a busy
# machine. The threads row always uses wall time.
CLOCK = time.perf_counter_ns


def configure(clock="wall", cpp_binary=None):
    """Set the clock of the single-threaded rows and the C++ binary, if given."""
    global CLOCK, CPP_BINARY
    CLOCK = time.perf_counter_ns if clock == "wall" else time.thread_time_ns
    CPP_BINARY = Path(cpp_binary) if cpp_binary else None


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


def reps(n, scale):
    """A row's repeat count n times --repeats-scale, at least three."""
    return max(3, int(round(n * scale)))


def threaded_seconds(jobs, threads):
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


def two_thread_seconds(jobs):
    return threaded_seconds(jobs, 2)


def one_thread_seconds(jobs):
    return threaded_seconds(jobs, 1)


def status_kib(field):
    """A field of /proc/self/status, in KiB (for the memory row's child)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


# ---------------------------------------------------------------------------
# Row results


def row_result(workload, pel, anchor, figure, unit, target, better, note="", **extra):
    """A row's result; the runner puts the row's name in front."""
    ok = figure <= target if better == "lower" else figure >= target
    r = {
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


def ratio_row(workload, tp, ta, target, note="", **extra):
    """A row whose figure is pelmora's median / the anchor's, from the samples of compare()."""
    mp, ma = statistics.median(tp), statistics.median(ta)
    return row_result(workload, mp, ma, mp / ma, "ratio", target, "lower", note,
                      pelmora_spread=spread(tp), anchor_spread=spread(ta), repeats=len(tp),
                      pelmora_samples=tp, anchor_samples=ta, **extra)


def timed_ratio_row(workload, pel, anchor, repeats, target, note="", **extra):
    """compare() then ratio_row(): the row of a workload that needs nothing but the two medians."""
    tp, ta = compare(pel, anchor, repeats)
    return ratio_row(workload, tp, ta, target, note, **extra)


# ---------------------------------------------------------------------------
# C++ micro-benchmark


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
        if r["unit"] == "of budget":  # memory: bytes, not seconds
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


def print_header(clock):
    print(f"pelmora {pelmora.__file__}")
    print(f"python {platform.python_version()} ({'GIL' if sys._is_gil_enabled() else 'free-threaded'}), "
          f"numpy {np.__version__}, scipy {scipy.__version__}, {os.cpu_count()} CPUs, "
          f"load {os.getloadavg()[0]:.2f}")
    print(f"clock: {clock}; figure = pelmora median / anchor median unless stated; "
          "noise = interquartile half-width / median")
    print()


def run_rows(rows, selected, scale):
    """Run the selected rows, given as (name, function) pairs, in order."""
    results = []
    functions = dict(rows)
    progress = sys.stderr.isatty()
    for name in selected:
        if progress:
            print(f"\r{name}...".ljust(24), end="", file=sys.stderr, flush=True)
        results.append({"row": name, **functions[name](scale)})
    if progress:
        print("\r" + " " * 24 + "\r", end="", file=sys.stderr, flush=True)
    return results


def write_report(path, clock, rows, cpp):
    report = {
        "python": platform.python_version(),
        "gil_enabled": sys._is_gil_enabled(),
        "numpy": np.__version__,
        "scipy": scipy.__version__,
        "cpus": os.cpu_count(),
        "clock": clock,
        "load_before": os.getloadavg(),
        "time": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
        "rows": rows,
        "cpp": cpp,
    }
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps(report, indent=2) + "\n")
    return path
