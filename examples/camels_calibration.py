"""Real gauges: calibrate loss, Clark and baseflow on CAMELS-US daily records, validate on an unseen year.

For every gauge found in a folder with the CAMELS-US layout (Newman et al.
2015; Addor et al. 2017), basin-mean daily precipitation (Daymet) drives

    daily rain -> deficit-and-constant loss -> excess -> Clark UH (direct runoff)
                                           \\-> loss   -> one linear reservoir (baseflow)
    direct runoff + baseflow -> flow at the gauge, compared with the USGS record

Seven parameters per gauge are fitted by scipy's differential evolution
(seeded, no gradient polish) to the Kling-Gupta efficiency of 2001, after
2000 as warm-up; 2002, which the fit never sees, is the validation year.
Days the gauge did not record (-999) stay missing: they are left out of every
score, never read as zero flow.

What the model lacks, honestly: there is no snow (winter precipitation runs
off the day it falls), and evapotranspiration enters only through the
deficit's recovery between storms (and the share of the loss that the
baseflow layer does not take); no temperature or radiation is used.  The
fit is judged against the inherent benchmark of Knoben et al. (2019): the
mean flow scores KGE = 1 - sqrt(2), about -0.41, so a model below that is
worse than no model.

The same task function runs serially (--workers 0), on threads (--threads N),
on a LocalCluster (--workers N, default: one process per core, at most one
per gauge) or on an existing Dask cluster (--scheduler ADDRESS), with
bit-identical results; the plumbing lives in scaleout.py beside this file.

Usage:  python examples/camels_calibration.py [--data DIR] [--basins ID ...]
            [--workers N | --threads N | --scheduler ADDRESS] [--out PATH] [--json PATH]

The data are read where they are, never copied; the figure
(build/camels_calibration.png) and the optional JSON summary are the only
files written.
"""

from __future__ import annotations

if __name__ == "__main__":
    # As in the regional example: hand over to this file imported under its
    # own name, so that tasks refer to camels_calibration.calibrate_gauge.
    import sys
    from pathlib import Path

    sys.path.insert(0, str(Path(__file__).resolve().parent))
    try:
        import camels_calibration
    except KeyboardInterrupt:  # Ctrl-C while the libraries load
        sys.exit(130)
    sys.exit(camels_calibration.main())

import argparse
import functools
import hashlib
import json
import math
import struct
import sys
import time
from datetime import timedelta
from pathlib import Path

import numpy as np
import pandas as pd
from scipy.optimize import differential_evolution

import pelmora
import scaleout  # the cluster plumbing, beside this file

ITS = pelmora.utils.IncrementalTimeSeries
HERE = Path(__file__).resolve()
REPO = HERE.parent.parent
DEFAULT_OUT = REPO / "build" / "camels_calibration.png"

MM_PER_INCH = 25.4
ACRES_PER_KM2 = 247.105
# Knoben et al. (2019): the mean observed flow as the simulation scores
# KGE = 1 - sqrt(2) (no correlation, no variability, no bias).
BENCHMARK_KGE = 1.0 - math.sqrt(2.0)

# Whole calendar years: the first warms the stores up, the second is scored
# for the fit, the third is the validation the fit never sees.
WARMUP, CALIBRATION, VALIDATION = 2000, 2001, 2002

# The calibrated parameters, in the optimiser's order: name, label, unit, search range.
# tc reaches below one day: a small basin's runoff arrives within the day.
PARAMETERS = (
    ("max_deficit", "max deficit", "in", (0.25, 12.0)),
    ("constant_loss", "loss rate", "in/h", (0.0005, 0.08)),
    ("time_to_dry", "time to dry", "d", (1.0, 365.0)),
    ("tc", "Clark tc", "d", (0.25, 8.0)),
    ("storage_r", "Clark R", "d", (0.25, 30.0)),
    ("base_k", "base k", "d", (1.0, 365.0)),
    ("gw_fraction", "to base", "-", (0.05, 1.0)),
)
NAMES = tuple(p[0] for p in PARAMETERS)

# A default run takes well under a minute serially for two gauges.
DEFAULTS = {"generations": 200, "popsize": 12, "seed": 2026}

DOWNLOAD_HINT = """\
CAMELS-US (Newman et al. 2015; Addor et al. 2017) is published by NCAR:
  https://ral.ucar.edu/solutions/products/camels  (time series: doi:10.5065/D6MW2F4D)
Unpack "CAMELS time series meteorology, observed flow, meta data"
(basin_timeseries_v1p2_metForcing_obsFlow.zip) and, for the areas and names,
"CAMELS Attributes" (camels_attributes_v2.0.zip), then pass --data DIR where DIR holds
  basin_mean_forcing/daymet/[<huc>/]<gauge>_lump_cida_forcing_leap.txt
  usgs_streamflow/[<huc>/]<gauge>_streamflow_qc.txt
  camels_attributes_v2.0/camels_topo.txt, camels_name.txt   (optional)"""


# ---- reading a CAMELS-US folder -------------------------------------------------------

def default_data():
    """../shared/data/camels_us beside the repository, when it exists, else None.

    A linked git worktree also looks beside its main checkout.
    """
    roots = [REPO]
    git = REPO / ".git"
    if git.is_file():  # "gitdir: <main>/.git/worktrees/<name>"
        text = git.read_text().strip()
        if text.startswith("gitdir:"):
            roots.append(Path(text.split(":", 1)[1].strip()).resolve().parent.parent.parent)
    for root in roots:
        candidate = (root / ".." / "shared" / "data" / "camels_us").resolve()
        if candidate.is_dir():
            return candidate
    return None


def find_gauges(data):
    """{gauge id: (forcing file, streamflow file)} for every gauge with both, in id order.

    The files may sit directly in their folders or in one folder per region,
    as in the full download.
    """
    data = Path(data)
    forcing = {p.name.split("_", 1)[0]: p
               for p in data.glob("basin_mean_forcing/daymet/**/*_lump_cida_forcing_leap.txt")}
    flow = {p.name.split("_", 1)[0]: p for p in data.glob("usgs_streamflow/**/*_streamflow_qc.txt")}
    return {g: (forcing[g], flow[g]) for g in sorted(forcing.keys() & flow.keys())}


def _daily(values, dates, name):
    """A float64 series on a gap-free daily DatetimeIndex; days absent from the file are NaN."""
    s = pd.Series(np.asarray(values, dtype=np.float64), index=pd.DatetimeIndex(dates), name=name)
    s = s[~s.index.duplicated(keep="first")].sort_index()
    return s.reindex(pd.date_range(s.index[0], s.index[-1], freq="D"))


def read_streamflow(path):
    """A gauge's daily discharge (cfs) by date.

    -999 (any negative value) marks a day the gauge did not record: it
    becomes NaN, and stays out of every score.
    """
    table = pd.read_csv(path, sep=r"\s+", header=None, usecols=range(5),
                        names=["gauge", "year", "month", "day", "discharge"], dtype={"gauge": str})
    q = table["discharge"].astype(np.float64)
    return _daily(q.where(q >= 0.0), pd.to_datetime(table[["year", "month", "day"]]), "discharge")


def read_forcing(path):
    """(daily precipitation in inches per day by date, basin area in km² from the header)."""
    with open(path) as f:
        header = [next(f) for _ in range(4)]
    columns = header[3].split()
    table = pd.read_csv(path, sep=r"\s+", header=None, skiprows=4, names=columns)
    prcp = next(c for c in columns if c.lower().startswith("prcp"))
    dates = pd.to_datetime(pd.DataFrame({"year": table.iloc[:, 0], "month": table.iloc[:, 1],
                                         "day": table.iloc[:, 2]}))
    return _daily(table[prcp] / MM_PER_INCH, dates, "rainfall"), float(header[2]) / 1.0e6


@functools.lru_cache(maxsize=8)
def _attributes(path):
    # read once per table, not once per gauge: the full tables list 671 gauges
    return pd.read_csv(path, sep=";", dtype={"gauge_id": str}).set_index("gauge_id")


def read_attribute(data, table, gauge, column):
    """One gauge's entry in camels_attributes_v2.0/<table>.txt, or None."""
    path = Path(data) / "camels_attributes_v2.0" / f"{table}.txt"
    if not path.is_file():
        return None
    rows = _attributes(path)
    return rows.at[gauge, column] if gauge in rows.index and column in rows.columns else None


class GaugeSkipped(Exception):
    """A gauge whose records do not cover the study; the message says why."""


def load_gauge(data, gauge, files):
    """One gauge as the task needs it: plain numbers and pandas series over the study years."""
    forcing, flow = files
    rain, header_km2 = read_forcing(forcing)
    observed = read_streamflow(flow)
    area = read_attribute(data, "camels_topo", gauge, "area_gages2")
    name = read_attribute(data, "camels_name", gauge, "gauge_name")
    days = pd.date_range(f"{WARMUP}-01-01", f"{VALIDATION}-12-31", freq="D")
    rain = rain.reindex(days)
    observed = observed.reindex(days)
    if rain.isna().any():
        raise GaugeSkipped(f"{rain.isna().sum()} days of {WARMUP}-{VALIDATION} have no precipitation")
    for year in (CALIBRATION, VALIDATION):
        if observed.loc[str(year)].isna().all():
            raise GaugeSkipped(f"no recorded flow in {year}")
    recorded = observed.dropna()
    return {
        "gauge": gauge,
        "name": str(name).strip() if name is not None else "",
        "area_km2": float(area) if area is not None else header_km2,
        "rain": rain,
        "observed": observed,
        # the baseflow store starts at the first recorded flow; the warm-up
        # year makes the choice matter little
        "initial_q": float(recorded.iloc[0]),
    }


# ---- the model ------------------------------------------------------------------------

def dated_series(cls, s, kind):
    """A pelmora series from a pandas series on a regular DatetimeIndex."""
    return cls.from_pandas(s, kind)


def points_after(series, origin, step):
    """How many steps after `origin` a result's first value sits."""
    offset = (series.start - origin) / step
    if offset != int(offset):
        raise ValueError(f"a result starts between two day boundaries: {series.start}")
    return int(offset)


def values(series):
    """A series' values as a new float64 array."""
    return np.array(series, dtype=np.float64)


class GaugeModel:
    """One gauge's chain on the daily grid; simulate() runs it for one parameter set."""

    def __init__(self, gauge, last_day):
        rain = gauge["rain"].loc[:last_day]
        self.rain = dated_series(ITS, rain, "rainfall")
        self.days = len(rain)
        self.area_ac = gauge["area_km2"] * ACRES_PER_KM2
        self.initial_q = gauge["initial_q"]

    def simulate(self, params):
        """Mean flow of each day (cfs) for one parameter set, in NAMES order."""
        p = dict(zip(NAMES, (float(v) for v in params)))
        days = self.days
        losses = pelmora.rainfall_loss.run_deficit_and_constant(
            self.rain, 0.5 * p["max_deficit"], p["max_deficit"], p["constant_loss"],
            timedelta(days=p["time_to_dry"]))
        runoff = pelmora.rainfall_transform.run_clark_uh(
            losses.excess, self.area_ac, timedelta(days=p["tc"]), timedelta(days=p["storage_r"]))
        layer = {"baseflow": pelmora.baseflow.LinearReservoir(
            timedelta(days=p["base_k"]), p["gw_fraction"], self.initial_q)}
        base, _ = pelmora.baseflow.run_linear_reservoir(self.area_ac, losses.loss, layer)
        # Instantaneous flow at the day boundaries, points 0..days (midnight
        # before day 0 up to midnight after the last day).  Each result says
        # where its grid starts: Clark's value i is the flow at point i (its
        # tail beyond the record is cut off, and where it ends sooner the flow
        # after it is zero); the baseflow's value i is the flow at the end of
        # day i, point i + 1, and point 0 holds the layer's starting flow.
        origin, step = self.rain.start, self.rain.time_step
        flow = np.zeros(days + 1)
        first = points_after(runoff, origin, step)
        clark = values(runoff)[: days + 1 - first]
        flow[first:first + len(clark)] += clark
        first = points_after(base, origin, step)
        flow[first:] += values(base)[: days + 1 - first]
        flow[:first] += self.initial_q
        # The gauge reports each day's mean flow: the mean of a flow that runs
        # linearly between the day's two boundary points.
        return 0.5 * (flow[:-1] + flow[1:])


def nse(sim, obs):
    """Nash-Sutcliffe efficiency."""
    return float(1.0 - np.sum((sim - obs) ** 2) / np.sum((obs - obs.mean()) ** 2))


def scores(sim, obs, mask):
    """KGE and NSE over the recorded days of `mask`."""
    keep = mask & ~np.isnan(obs)
    s, o = sim[keep], obs[keep]
    return {"kge": float(pelmora.metrics.calculate_kge(s, o)), "nse": nse(s, o), "days": int(keep.sum())}


def optimiser_seed(gauge, seed):
    """A seed of the optimiser that depends only on the gauge's id and the run's seed."""
    digest = hashlib.sha256(f"{seed}:{gauge}".encode()).digest()
    return int.from_bytes(digest[:8], "little")


def calibrate_gauge(gauge, settings, stop=None):
    """Calibrate one gauge and validate it: the task that every way of running sends out.

    `gauge` is a dict from load_gauge(), `settings` a dict with generations,
    popsize and seed.  Returns a dict of plain values and arrays; the result
    depends on nothing but these two arguments.  `stop`, a threading.Event,
    ends the calibration early when set (thread pools).
    """
    clock = scaleout.TaskClock()
    dates = gauge["observed"].index
    observed = gauge["observed"].to_numpy(dtype=np.float64)
    fit_days = dates.year <= CALIBRATION
    scored = (dates.year == CALIBRATION)[fit_days]
    fit_obs = observed[fit_days]
    # the fit sees the warm-up and calibration years only
    model = GaugeModel(gauge, f"{CALIBRATION}-12-31")
    kge = pelmora.metrics.calculate_kge
    keep = scored & ~np.isnan(fit_obs)
    target = fit_obs[keep]
    runs = 0

    def objective(params):
        nonlocal runs
        scaleout.check_stop(stop)
        runs += 1
        score = kge(model.simulate(params)[keep], target)
        return -score if math.isfinite(score) else 1.0e9

    fit = differential_evolution(
        objective, [p[3] for p in PARAMETERS], maxiter=settings["generations"], popsize=settings["popsize"],
        tol=0.0, rng=np.random.default_rng(optimiser_seed(gauge["gauge"], settings["seed"])),
        # the durations pass through timedelta (whole microseconds): a gradient
        # polish would only spend runs on a flat objective
        polish=False, init="latinhypercube", updating="immediate", workers=1)
    best = [float(v) for v in fit.x]
    # one continuous run over all three years: the validation year starts
    # from the stores the calibration years left behind
    simulated = GaugeModel(gauge, f"{VALIDATION}-12-31").simulate(best)
    calibration_mean = np.nanmean(observed[dates.year == CALIBRATION])
    validation = dates.year == VALIDATION
    return {
        "gauge": gauge["gauge"],
        "name": gauge["name"],
        "area_km2": gauge["area_km2"],
        "params": dict(zip(NAMES, best)),
        "calibration": scores(simulated, observed, dates.year == CALIBRATION),
        "validation": scores(simulated, observed, validation),
        # the calibration year's mean flow, held for the validation year
        "mean_flow_kge": scores(np.full(len(dates), calibration_mean), observed, validation)["kge"],
        "runs": runs,
        "simulated": simulated,
        **clock.figures(),
    }


def fingerprint(results):
    """SHA-256 over every bit of the calibrated numbers, gauge by gauge."""
    h = hashlib.sha256()
    for r in results:
        h.update(r["gauge"].encode())
        h.update(struct.pack(f"<{len(NAMES) + 4}d", *(r["params"][n] for n in NAMES),
                             r["calibration"]["kge"], r["calibration"]["nse"],
                             r["validation"]["kge"], r["validation"]["nse"]))
        h.update(struct.pack("<q", r["runs"]))
        h.update(np.ascontiguousarray(r["simulated"], dtype="<f8").tobytes())
    return h.hexdigest()


def _describe(result):
    return f"gauge {result['gauge']}, KGE {result['calibration']['kge']:.3f}"


def run_serial(gauges, settings, progress=True):
    return scaleout.run_serial(calibrate_gauge, gauges, settings, progress, _describe, unit="gauge")


def run_threads(gauges, settings, threads, progress=True):
    return scaleout.run_threads(calibrate_gauge, gauges, settings, threads, progress, _describe, unit="gauge")


# ---- report ---------------------------------------------------------------------------

def report(results, wall, how, file=None):
    """The table per gauge, the benchmark's verdict and the run's figures."""
    w = lambda *a: print(*a, file=file or sys.stdout)
    widths = [max(9, len(label)) for _, label, _, _ in PARAMETERS]
    scores_head = f" {'KGE cal':>7} {'NSE cal':>7} {'KGE val':>7} {'NSE val':>7}"
    head = f"{'gauge':<9} {'km²':>6}" + "".join(f" {label:>{n}}" for (_, label, _, _), n in zip(PARAMETERS, widths))
    w(head + scores_head)
    w((f"{'':<16}" + "".join(f" {'(' + unit + ')' if unit != '-' else '':>{n}}"
                             for (_, _, unit, _), n in zip(PARAMETERS, widths))).rstrip())
    w("-" * len(head + scores_head))
    for r in results:
        line = f"{r['gauge']:<9} {r['area_km2']:>6.1f}"
        line += "".join(f" {r['params'][name]:>{n}.4g}" for (name, _, _, _), n in zip(PARAMETERS, widths))
        line += (f" {r['calibration']['kge']:>7.3f} {r['calibration']['nse']:>7.3f}"
                 f" {r['validation']['kge']:>7.3f} {r['validation']['nse']:>7.3f}")
        w(line)
    w("-" * len(head + scores_head))
    for r in results:
        if r["name"]:
            w(f"{r['gauge']}: {r['name']}")
    beat = [r for r in results if r["validation"]["kge"] > BENCHMARK_KGE]
    shown = lambda key: ", ".join(f"{key(r):.3f}" for r in results[:8]) + (", ..." if len(results) > 8 else "")
    w(f"benchmark (Knoben et al. 2019): the mean flow scores KGE = 1 - sqrt(2) = {BENCHMARK_KGE:.3f}; "
      f"{len(beat)} of {len(results)} gauges beat it in validation (validation KGE "
      f"{shown(lambda r: r['validation']['kge'])}; the calibration year's mean flow held for {VALIDATION} "
      f"scores {shown(lambda r: r['mean_flow_kge'])})")
    w("the model has no snow (winter precipitation runs off the day it falls) and loses water to "
      "evapotranspiration only through the deficit's recovery and the loss that the baseflow layer does "
      "not take")
    runs = sum(r["runs"] for r in results)
    w(f"{how}: {len(results)} gauges, {runs:,} model runs in {wall:.2f} s wall, {runs / wall:,.0f} runs/s")
    w(f"results fingerprint (SHA-256 of every calibrated bit): {fingerprint(results)[:16]}")
    return beat


def summary(results, data, settings):
    """The JSON summary: per gauge its scores and parameters."""
    return {
        "data": str(data),
        "years": {"warmup": WARMUP, "calibration": CALIBRATION, "validation": VALIDATION},
        "settings": settings,
        "benchmark_kge": BENCHMARK_KGE,
        "units": {name: unit for name, _, unit, _ in PARAMETERS},
        "gauges": {r["gauge"]: {
            "name": r["name"],
            "area_km2": r["area_km2"],
            "calibration": {"kge": r["calibration"]["kge"], "nse": r["calibration"]["nse"]},
            "validation": {"kge": r["validation"]["kge"], "nse": r["validation"]["nse"]},
            "parameters": r["params"],
            "beats_benchmark": r["validation"]["kge"] > BENCHMARK_KGE,
        } for r in results},
        "fingerprint": fingerprint(results),
    }


# ---- figure ---------------------------------------------------------------------------

def plot(gauges, results, path, shown=6):
    """Observed and simulated daily flow per gauge (the first `shown`), validation year shaded."""
    from matplotlib.figure import Figure  # no pyplot: no global state, no window

    count = min(shown, len(results))
    fig = Figure(figsize=(12, 2.9 * count + 0.6), layout="constrained")
    fig.suptitle(f"CAMELS-US: calibrated on {CALIBRATION} (after {WARMUP} as warm-up), "
                 f"validated on {VALIDATION}", fontsize=13)
    axes = np.atleast_1d(fig.subplots(count, 1, squeeze=False)[:, 0])
    for ax, g, r in zip(axes, gauges, results):
        dates = g["observed"].index
        ax.axvspan(pd.Timestamp(f"{WARMUP}-01-01"), pd.Timestamp(f"{CALIBRATION}-01-01"), color="0.92",
                   label=f"warm-up {WARMUP}")
        ax.axvspan(pd.Timestamp(f"{VALIDATION}-01-01"), dates[-1] + pd.Timedelta(days=1), color="#fde9c9",
                   label=f"validation {VALIDATION}")
        ax.plot(dates, g["observed"].to_numpy(), color="k", lw=0.9, label="observed (USGS)")
        ax.plot(dates, r["simulated"], color="#d95f02", lw=0.9,
                label=f"simulated: KGE {r['calibration']['kge']:.2f} cal, {r['validation']['kge']:.2f} val")
        rain = ax.twinx()
        rain.bar(dates, g["rain"].to_numpy(), width=1.0, align="edge", color="#2b7bba", alpha=0.6)
        rain.set_ylim(4.0 * max(float(g["rain"].max()), 1e-3), 0)
        rain.set_ylabel("rain (in/day)")
        top = np.nanmax(g["observed"].to_numpy())
        ax.set_ylim(0, 1.6 * max(top, float(np.max(r["simulated"])), 1e-3))
        ax.set_xlim(dates[0], dates[-1] + pd.Timedelta(days=1))
        ax.set_ylabel("discharge (cfs)")
        ax.set_title(f"{r['gauge']} {r['name']} ({r['area_km2']:.0f} km²)", fontsize=10, loc="left")
        ax.legend(loc="upper left", fontsize=8, ncols=4)
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=100)
    return path


# ---- main -----------------------------------------------------------------------------

def parse_args(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--data", type=Path, default=None, metavar="DIR",
                   help="a folder with the CAMELS-US layout (default: ../shared/data/camels_us "
                        "beside the repository)")
    p.add_argument("--basins", nargs="+", default=None, metavar="ID",
                   help="gauge ids to calibrate (default: every gauge found)")
    scaleout.add_options(p, what="gauge")
    scaleout.add_search_options(p, DEFAULTS, "seed of the optimiser")
    p.add_argument("--out", type=Path, default=DEFAULT_OUT, help=f"figure path (default {DEFAULT_OUT})")
    p.add_argument("--json", type=Path, default=None, metavar="PATH", help="write a JSON summary to PATH")
    p.add_argument("--no-plot", action="store_true", help="do not draw the figure")
    p.add_argument("--quiet", action="store_true", help="no progress display")
    return scaleout.check_search_options(p, p.parse_args(argv))


def select_gauges(data, wanted):
    """The gauges to run, loaded; (gauges, problem text or None)."""
    found = find_gauges(data)
    if not found:
        return None, f"no CAMELS-US gauges in {data}"
    if wanted:
        missing = [g for g in wanted if g not in found]
        if missing:
            listed = ", ".join(list(found)[:10]) + (", ..." if len(found) > 10 else "")
            return None, f"gauge {', '.join(missing)} not in {data} (it holds {listed})"
    gauges = []
    for gauge in wanted or found:
        try:
            gauges.append(load_gauge(data, gauge, found[gauge]))
        except GaugeSkipped as e:
            print(f"skipped gauge {gauge}: {e}", flush=True)
    if not gauges:
        return None, f"no gauge in {data} has records for {WARMUP}-{VALIDATION}"
    return gauges, None


def main(argv=None):
    args = parse_args(argv)
    data = args.data if args.data is not None else default_data()
    if data is None or not Path(data).is_dir():
        where = f"no folder {data}" if data is not None else "no CAMELS-US data beside the repository"
        print(f"error: {where}.\n{DOWNLOAD_HINT}", file=sys.stderr, flush=True)
        return 2
    data = Path(data).resolve()
    start = time.perf_counter()
    gauges, problem = select_gauges(data, args.basins)
    if problem:
        print(f"error: {problem}.\n{DOWNLOAD_HINT}", file=sys.stderr, flush=True)
        return 2
    if args.default_workers:
        args.workers = min(args.workers, len(gauges))  # no idle worker processes
    settings = {"generations": args.generations, "popsize": args.popsize, "seed": args.seed}
    print(f"{len(gauges)} gauges from {data}; daily steps {WARMUP}-{VALIDATION}; differential evolution on "
          f"{len(NAMES)} parameters, {args.generations} generations of {args.popsize * len(NAMES)}", flush=True)
    run, stopped = scaleout.stop_status(lambda: scaleout.run(
        args, calibrate_gauge, gauges, settings, _describe, unit="gauge", names=[g["gauge"] for g in gauges],
        upload=[HERE]))
    if stopped is not None:
        return stopped
    results, wall, how = run
    print()
    report(results, wall, how)
    if args.json is not None:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps(summary(results, data, settings), indent=2) + "\n")
        print(f"summary: {args.json}")
    if not args.no_plot:
        print(f"figure: {plot(gauges, results, args.out)}")
    print(scaleout.total_line(start))
    return 0
