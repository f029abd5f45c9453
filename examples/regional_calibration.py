"""Regional calibration on Dask: many basins, one task each, the same numbers everywhere.

A region of synthetic basins, each with known "true" parameters:

    hourly storms -> deficit-and-constant loss -> Clark UH (direct runoff)
                                           \\-> one or two linear-reservoir layers (baseflow)
    direct runoff + baseflow -> Muskingum reach -> gauge

Every basin gets months of seeded hourly storms; its observed record is the
chain run with the true parameters, plus seeded multiplicative noise.  Each
basin is then calibrated, as one task, by differential evolution on four
parameters (constant loss rate, Clark tc and R, Muskingum k) against the
Kling-Gupta efficiency.

The same task function runs

    --workers N              on a LocalCluster of N worker processes (default: every core)
    --scheduler tcp://h:p    on an existing Dask cluster, unchanged
    --workers 0              serially, in this process
    --threads N              on a thread pool in this process (in parallel on the
                             free-threaded build; on the default build only long
                             calls detach from the interpreter)

and gives bit-identical calibrated parameters and scores in every case: each
task depends only on its basin's arrays and seeds.  Unless --no-serial is
given, a serial reference run follows the parallel one; the report compares
the two bit for bit and gives the speedup.

The plumbing for all of these (the cluster, threads, progress, Ctrl-C and
shutdown) lives in scaleout.py beside this file.  An existing cluster gets
both files with client.upload_file, scaleout.py first, since this one
imports it.

Usage:  python examples/regional_calibration.py [--basins N] [--workers N | --threads N |
            --scheduler ADDRESS] [--months M] [--generations G] [--no-serial] [--out PATH]

Nothing is read from disk; the figure is the only file written (build/regional_calibration.png).
"""

from __future__ import annotations

if __name__ == "__main__":
    # Run as a script, this file is __main__, whose functions workers could
    # only receive by value.  Hand over to the same file imported under its
    # own name, so tasks refer to regional_calibration.calibrate_basin as they
    # would to a function in the user's own package.  (Worker processes load
    # this file as __mp_main__ and skip this block.)
    import sys
    from pathlib import Path

    sys.path.insert(0, str(Path(__file__).resolve().parent))
    try:
        import regional_calibration
    except KeyboardInterrupt:  # Ctrl-C while the libraries load
        sys.exit(130)
    sys.exit(regional_calibration.main())

import argparse
import hashlib
import math
import struct
import sys
import time
from datetime import timedelta
from pathlib import Path

import numpy as np
from scipy.optimize import differential_evolution

import pelmora
import scaleout  # the cluster plumbing, beside this file

ITS = pelmora.utils.IncrementalTimeSeries
CTS = pelmora.utils.ContinuousTimeSeries
HOUR = timedelta(hours=1)
DEFAULT_OUT = Path(__file__).resolve().parent.parent / "build" / "regional_calibration.png"
HERE = Path(__file__).resolve()

# The calibrated parameters, in the optimiser's order: name, label, unit.
PARAMETERS = (
    ("constant_loss", "constant loss", "in/h"),
    ("tc", "Clark tc", "h"),
    ("storage_r", "Clark R", "h"),
    ("musk_k", "Muskingum k", "h"),
)
NAMES = tuple(p[0] for p in PARAMETERS)

# Search ranges; Muskingum k is bounded per basin (see muskingum_k_bounds).
BOUNDS = {"constant_loss": (0.01, 0.40), "tc": (2.0, 30.0), "storage_r": (0.2, 12.0)}

# Sized so the default run (parallel, then the serial reference) takes about
# two minutes on two cores.
DEFAULTS = {"basins": 40, "months": 3, "generations": 60, "popsize": 10, "noise": 0.03, "seed": 2026}
MONTHS = (0.1, 1200.0)  # the record lengths --months accepts


# ---- basins ----------------------------------------------------------------------

def muskingum_k_bounds(x, sub_reaches):
    """k (hours) for which both C0 and C2 stay non-negative at an hourly step.

    With Kp = k / sub_reaches, C0 >= 0 needs 2 Kp x <= 1 h and C2 >= 0 needs
    2 Kp (1 - x) >= 1 h.
    """
    low = sub_reaches / (2.0 * (1.0 - x))
    high = sub_reaches / (2.0 * x) if x > 0.0 else math.inf
    return low, min(high, 3.0 * sub_reaches)


def basin_truth(rng, index):
    """Seeded true parameters of one basin, as plain numbers."""
    area_ac = float(rng.uniform(4_000.0, 60_000.0))  # about 6 to 94 mi²
    tc = float(rng.uniform(4.0, 18.0))
    sub_reaches = int(rng.integers(2, 5))
    x = float(rng.uniform(0.1, 0.3))
    low, high = muskingum_k_bounds(x, sub_reaches)
    interflow_share = float(rng.uniform(0.2, 0.4))
    layers = [("interflow", float(rng.uniform(24.0, 96.0)), interflow_share, 2)]
    if rng.random() < 0.6:
        layers.append(("groundwater", float(rng.uniform(15.0, 45.0)) * 24.0,
                       float(rng.uniform(0.15, 0.7 - interflow_share)), 1))
    return {
        "basin": index,
        "area_ac": area_ac,
        "initial_deficit": float(rng.uniform(0.2, 1.0)),
        "max_deficit": float(rng.uniform(1.5, 3.5)),
        "constant_loss": float(rng.uniform(0.03, 0.25)),
        "time_to_dry_h": float(rng.uniform(72.0, 240.0)),
        "tc": tc,
        "storage_r": float(rng.uniform(0.1, 0.5) * tc),
        # baseflow layers: (name, k hours, share of the loss, chained reservoirs);
        # every layer starts at a flow proportional to the area
        "layers": layers,
        "initial_q_per_ac": float(rng.uniform(0.5e-3, 2.0e-3)),
        "musk_k": float(rng.uniform(low + 0.2 * (high - low), low + 0.7 * (high - low))),
        "musk_x": x,
        "sub_reaches": sub_reaches,
    }


# Storm lengths in hours: short storms show the unit hydrograph's shape, which
# keeps tc and R apart in the fit.
STORM_HOURS = (1, 12)


def storms(rng, hours):
    """Hourly rainfall (inches per hour): storms of STORM_HOURS, about four days apart."""
    rain = np.zeros(hours)
    t = int(rng.exponential(48.0))
    while t < hours:
        length = int(rng.integers(STORM_HOURS[0], STORM_HOURS[1] + 1))
        depth = float(rng.gamma(2.0, 0.6))  # storm total, inches
        # a skewed storm profile with hour-to-hour variation
        shape = rng.gamma(1.5, 1.0, length) * np.sin(np.linspace(0.2, 3.0, length)) ** 2
        rain[t:t + length] = (depth * shape / shape.sum())[: hours - t]
        t += length + int(rng.exponential(96.0))
    return rain


def make_basins(count, seed=DEFAULTS["seed"], months=DEFAULTS["months"], noise=DEFAULTS["noise"]):
    """`count` basins: true parameters, rain, observed flow, and the optimiser's seed.

    Everything is plain numbers and numpy arrays, so a basin travels to any
    worker as it is.  Basin i depends only on (seed, i): a larger region
    starts with the same basins.
    """
    hours = int(round(months * 30.44 * 24))
    basins = []
    for index in range(count):
        seq = np.random.SeedSequence([seed, index])
        truth_ss, storm_ss, noise_ss, fit_ss = seq.spawn(4)
        truth = basin_truth(np.random.default_rng(truth_ss), index)
        rain = storms(np.random.default_rng(storm_ss), hours)
        model = BasinModel(truth, rain)
        clean = model.simulate([truth[n] for n in NAMES])
        observed = clean * np.exp(noise * np.random.default_rng(noise_ss).standard_normal(hours))
        basins.append({"truth": truth, "rain": rain, "observed": observed,
                       "optimiser_seed": int(fit_ss.generate_state(1)[0])})
    return basins


# ---- the model chain -----------------------------------------------------------

def values(series):
    """A series' values as a new float64 array (one copy of its buffer)."""
    return np.array(series, dtype=np.float64)


class BasinModel:
    """One basin's chain, built from plain numbers; simulate() runs it for one parameter set.

    The pelmora objects that do not change during a calibration (the rain
    series and the baseflow layers) are built once, here, in whichever
    process runs the task.
    """

    def __init__(self, truth, rain):
        t = truth
        self.truth = t
        self.hours = len(rain)
        self.rain = ITS(np.asarray(rain, dtype=np.float64), HOUR, "rainfall")
        q0 = t["initial_q_per_ac"] * t["area_ac"]
        # Layers are added in the dict's order, the same in every process.
        self.layers = {name: pelmora.baseflow.LinearReservoir(timedelta(hours=k), share, q0, count)
                       for name, k, share, count in t["layers"]}
        self.q0_total = q0 * len(t["layers"])
        self.time_to_dry = timedelta(hours=t["time_to_dry_h"])

    def simulate(self, params):
        """Flow at the gauge (cfs), one value per hour, for (constant loss, tc, R, k)."""
        constant_loss, tc, storage_r, musk_k = (float(v) for v in params)
        t = self.truth
        losses = pelmora.rainfall_loss.run_deficit_and_constant(
            self.rain, t["initial_deficit"], t["max_deficit"], constant_loss, self.time_to_dry)
        runoff = pelmora.rainfall_transform.run_clark_uh(
            losses.excess, t["area_ac"], timedelta(hours=tc), timedelta(hours=storage_r))
        base, _ = pelmora.baseflow.run_linear_reservoir(t["area_ac"], losses.loss, self.layers)
        # Clark's value i is the flow at hour i; baseflow value i the flow at
        # the end of hour i, so it lands on point i + 1.  Keep one value per
        # observed hour.
        flow = values(runoff)[: self.hours].copy()
        flow[1:] += values(base)[:-1]
        flow[0] += self.q0_total
        inflow = CTS(flow, HOUR, "discharge")
        routed = pelmora.reach.run_muskingum_routing(
            inflow, timedelta(hours=musk_k), t["musk_x"], t["sub_reaches"], float(flow[0]))
        return values(routed)


def calibrate_basin(basin, settings, stop=None):
    """Calibrate one basin: the task that every way of running sends out.

    `basin` is a dict from make_basins(), `settings` a dict of optimiser
    settings (generations, popsize).  Returns a dict of plain values.  The
    result depends on nothing but these two arguments.  `stop`, a
    threading.Event, ends the calibration early when set (thread pools).
    """
    clock = scaleout.TaskClock()
    truth = basin["truth"]
    model = BasinModel(truth, basin["rain"])
    observed = np.asarray(basin["observed"], dtype=np.float64)
    kge = pelmora.metrics.calculate_kge
    runs = 0

    def objective(params):
        nonlocal runs
        scaleout.check_stop(stop)
        runs += 1
        return -kge(model.simulate(params), observed)

    bounds = [BOUNDS["constant_loss"], BOUNDS["tc"], BOUNDS["storage_r"],
              muskingum_k_bounds(truth["musk_x"], truth["sub_reaches"])]
    # No gradient polish: the durations pass through timedelta, which holds
    # whole microseconds, so the objective is flat at the scale of a finite
    # difference step and L-BFGS-B would only spend runs.
    fit = differential_evolution(
        objective, bounds, maxiter=settings["generations"], popsize=settings["popsize"],
        tol=settings.get("tol", 0.0), rng=np.random.default_rng(basin["optimiser_seed"]),
        polish=False, init="latinhypercube", updating="immediate", workers=1)
    best = [float(v) for v in fit.x]
    return {
        "basin": truth["basin"],
        "params": dict(zip(NAMES, best)),
        "kge": float(-fit.fun),
        "kge_true_params": float(kge(model.simulate([truth[n] for n in NAMES]), observed)),
        "runs": runs,
        "simulated": model.simulate(best),
        **clock.figures(),
    }


def fingerprint(results):
    """SHA-256 over every bit of the calibrated numbers, basin by basin."""
    h = hashlib.sha256()
    for r in results:
        h.update(struct.pack("<q", r["basin"]))
        h.update(struct.pack(f"<{len(NAMES) + 2}d", *(r["params"][n] for n in NAMES), r["kge"],
                             r["kge_true_params"]))
        h.update(struct.pack("<q", r["runs"]))
        h.update(np.ascontiguousarray(r["simulated"], dtype="<f8").tobytes())
    return h.hexdigest()


# ---- ways of running: the same task everywhere (scaleout.py) ----------------------

def _describe(result):
    return f"basin {result['basin']}, KGE {result['kge']:.3f}"


def run_serial(basins, settings, progress=True):
    return scaleout.run_serial(calibrate_basin, basins, settings, progress, _describe)


def run_threads(basins, settings, threads, progress=True):
    return scaleout.run_threads(calibrate_basin, basins, settings, threads, progress, _describe)


def run_dask(client, basins, settings, progress=True, task=calibrate_basin, timeout=None, **task_kwargs):
    """One task per basin on `client`; `task` is any module-level function
    called as task(basin, settings, **task_kwargs)."""
    return scaleout.run_dask(client, task, basins, settings, progress, timeout, _describe,
                             names=[str(b["truth"]["basin"]) for b in basins], **task_kwargs)


def DaskRun(workers=None, scheduler=None, timeout=10.0, quiet=True):
    """A LocalCluster of `workers` processes, or the cluster at `scheduler` with this file uploaded."""
    return scaleout.DaskRun(workers, scheduler, timeout, quiet, upload=[HERE])


# ---- report ----------------------------------------------------------------------

def summary(results, wall):
    runs = sum(r["runs"] for r in results)
    return {"basins": len(results), "runs": runs, "wall_s": wall, "runs_per_s": runs / wall,
            "kge_median": float(np.median([r["kge"] for r in results])),
            "fingerprint": fingerprint(results)}


def report(basins, results, wall, how, serial=None, file=None):
    """The table of true and recovered parameters, and the run's figures."""
    w = lambda *a: print(*a, file=file or sys.stdout)
    s = summary(results, wall)
    head = f"{'basin':>5} {'mi²':>6} {'lay':>3}"
    for _, label, unit in PARAMETERS:
        head += f" {label + ' (' + unit + ')':>21}"
    head += f" {'KGE':>7} {'at true':>7} {'runs':>6}"
    w(head)
    w(f"{'':>16}" + "".join(f" {'true':>10}{'fit':>11}" for _ in PARAMETERS))
    w("-" * len(head))
    for basin, r in zip(basins, results):
        t = basin["truth"]
        line = f"{t['basin']:>5} {t['area_ac'] / 640.0:>6.1f} {len(t['layers']):>3}"
        for n in NAMES:
            line += f" {t[n]:>10.3f}{r['params'][n]:>11.3f}"
        line += f" {r['kge']:>7.4f} {r['kge_true_params']:>7.4f} {r['runs']:>6}"
        w(line)
    w("-" * len(head))
    errors = {n: np.array([abs(r["params"][n] / b["truth"][n] - 1.0) for b, r in zip(basins, results)])
              for n in NAMES}
    w("median relative error: " + ", ".join(f"{label} {100 * np.median(errors[n]):.1f} %"
                                            for n, label, _ in PARAMETERS))
    w(f"KGE: median {s['kge_median']:.4f}, lowest {min(r['kge'] for r in results):.4f} "
      f"(the true parameters score {np.median([r['kge_true_params'] for r in results]):.4f} "
      "against the noisy record)")
    w(f"{how}: {s['basins']} basins, {s['runs']:,} model runs in {wall:.2f} s wall, "
      f"{s['runs_per_s']:,.0f} runs/s")
    w(f"results fingerprint (SHA-256 of every calibrated bit): {s['fingerprint'][:16]}")
    if serial is not None:
        serial_results, serial_wall = serial
        same = fingerprint(serial_results) == s["fingerprint"]
        w(f"serial reference: {serial_wall:.2f} s wall, {s['runs'] / serial_wall:,.0f} runs/s; "
          f"speedup {serial_wall / wall:.2f}x; "
          f"{'bit-identical to' if same else 'DIFFERENT FROM'} the serial run")
        s["speedup"] = serial_wall / wall
        s["identical"] = same
    return s


# ---- figure ----------------------------------------------------------------------

def plot(basins, results, path, shown=3):
    from matplotlib.figure import Figure  # no pyplot: no global state, no window

    fig = Figure(figsize=(15, 10), layout="constrained")
    top, bottom = fig.subfigures(2, 1, height_ratios=[1, 1.25])
    fig.suptitle(f"Regional calibration of {len(basins)} synthetic basins "
                 "(differential evolution on KGE)", fontsize=14)
    axes = top.subplots(1, len(PARAMETERS) + 1)
    kges = np.array([r["kge"] for r in results])
    for ax, (name, label, unit) in zip(axes, PARAMETERS):
        true = np.array([b["truth"][name] for b in basins])
        fit = np.array([r["params"][name] for r in results])
        span = [min(true.min(), fit.min()), max(true.max(), fit.max())]
        ax.plot(span, span, color="0.6", lw=1, ls="--", label="1:1")
        points = ax.scatter(true, fit, c=kges, cmap="viridis", s=28, edgecolors="k", linewidths=0.4)
        ax.set_xlabel(f"true {label} ({unit})")
        ax.set_ylabel(f"recovered ({unit})")
        ax.set_title(label)
        ax.grid(alpha=0.3)
    top.colorbar(points, ax=axes[: len(PARAMETERS)], location="right", label="KGE", shrink=0.8)
    ax = axes[-1]
    at_truth = np.array([r["kge_true_params"] for r in results])
    edges = np.histogram_bin_edges(np.concatenate([kges, at_truth]), bins=min(25, max(6, len(kges) // 2)))
    ax.hist(kges, bins=edges, color="#2b7bba", edgecolor="k", label="calibrated")
    ax.hist(at_truth, bins=edges, histtype="step", color="#d95f02", lw=1.5, label="true parameters")
    ax.set_xlabel("KGE")
    ax.set_ylabel("basins")
    ax.set_title("KGE distribution")
    ax.legend(loc="upper left", fontsize=9)

    # a few basins: the twelve days around each one's largest observed peak
    picks = np.linspace(0, len(basins) - 1, min(shown, len(basins))).round().astype(int)
    for ax, i in zip(np.atleast_1d(bottom.subplots(1, len(picks), squeeze=False)[0]), picks):
        b, r = basins[i], results[i]
        obs, sim = b["observed"], r["simulated"]
        peak = int(np.argmax(obs))
        lo, hi = max(0, peak - 72), min(len(obs), peak + 216)
        days = np.arange(lo, hi) / 24.0
        ax.plot(days, obs[lo:hi], ".", ms=2.5, color="#1b9e77", label="observed")
        ax.plot(days, sim[lo:hi], color="#d95f02", lw=1.3, label=f"calibrated (KGE {r['kge']:.3f})")
        rain = ax.twinx()
        rain.bar(days, b["rain"][lo:hi], width=1 / 24, align="edge", color="#2b7bba", alpha=0.8)
        rain.set_ylim(3.0 * max(b["rain"][lo:hi].max(), 1e-3), 0)
        rain.set_ylabel("rain (in/h)")
        ax.set_ylim(0, 1.5 * max(obs[lo:hi].max(), 1e-3))
        ax.set_xlabel("day")
        ax.set_ylabel("discharge (cfs)")
        ax.set_title(f"basin {b['truth']['basin']}: {b['truth']['area_ac'] / 640:.0f} mi², "
                     f"{len(b['truth']['layers'])} baseflow layer{'s' if len(b['truth']['layers']) > 1 else ''}")
        ax.legend(loc="upper right", fontsize=9)
        ax.grid(alpha=0.3)
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=100)
    return path


# ---- main ------------------------------------------------------------------------

def parse_args(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--basins", type=int, default=DEFAULTS["basins"], metavar="N",
                   help=f"number of basins (default {DEFAULTS['basins']})")
    scaleout.add_options(p)
    p.add_argument("--months", type=float, default=DEFAULTS["months"],
                   help=f"record length per basin (default {DEFAULTS['months']})")
    scaleout.add_search_options(p, DEFAULTS, "seed of the region")
    p.add_argument("--no-serial", action="store_true", help="skip the serial reference run")
    p.add_argument("--out", type=Path, default=DEFAULT_OUT, help=f"figure path (default {DEFAULT_OUT})")
    p.add_argument("--no-plot", action="store_true", help="do not draw the figure")
    p.add_argument("--quiet", action="store_true", help="no progress display")
    args = p.parse_args(argv)
    if args.basins < 1:
        p.error("--basins must be at least 1")
    # At least a few days of hourly record, at most a century of it.
    if not (math.isfinite(args.months) and MONTHS[0] <= args.months <= MONTHS[1]):
        p.error(f"--months must be a number from {MONTHS[0]:g} to {MONTHS[1]:g}")
    return scaleout.check_search_options(p, args)


def main(argv=None):
    args = parse_args(argv)
    settings = {"generations": args.generations, "popsize": args.popsize}
    start = time.perf_counter()

    def work():
        basins = make_basins(args.basins, args.seed, args.months)
        hours = len(basins[0]["rain"])
        print(f"{args.basins} basins, {hours} hourly steps each ({args.months:g} months); "
              f"differential evolution on {len(NAMES)} parameters, {args.generations} generations "
              f"of {args.popsize * len(NAMES)}", flush=True)
        results, wall, how = scaleout.run(args, calibrate_basin, basins, settings, _describe,
                                          names=[str(b["truth"]["basin"]) for b in basins], upload=[HERE])
        serial = None
        if not args.no_serial and (args.threads or args.scheduler or args.workers):
            t0 = time.perf_counter()
            serial_results = run_serial(basins, settings, not args.quiet)
            serial = (serial_results, time.perf_counter() - t0)
        return basins, results, wall, how, serial

    run, stopped = scaleout.stop_status(work)
    if stopped is not None:
        return stopped
    basins, results, wall, how, serial = run
    print()
    s = report(basins, results, wall, how, serial)
    if not args.no_plot:
        print(f"figure: {plot(basins, results, args.out)}")
    print(scaleout.total_line(start))
    return 0 if s.get("identical", True) else 1
