"""Design-storm study of a small basin draining to a flood-control reservoir.

A 24-hour NRCS Type II storm falls on a 4.5 square-mile basin.  The study
runs the whole pelmora chain at a 15-minute step:

    gross rain -> deficit-and-constant loss -> Clark UH (direct runoff)
                                          \\-> two linear-reservoir layers (baseflow)
    direct runoff + baseflow -> Muskingum reach (4 sub-reaches)
                             -> level pool reservoir (spillway, flood gate, minimum release)

The routed hydrograph at the reach outlet is scored with the Kling-Gupta
efficiency against an hourly gauge record shipped below, and a small grid
search over the Muskingum (k, x) pair runs on a thread pool, once on one
thread and once on all cores.

Usage:  python examples/design_storm.py [--grid N] [--out PATH] [--no-plot]

Nothing is read from disk or the network; the figure is the only file written.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time
from concurrent.futures import ThreadPoolExecutor, as_completed
from dataclasses import dataclass, field
from datetime import timedelta
from pathlib import Path

import numpy as np

import pelmora

ITS = pelmora.utils.IncrementalTimeSeries
CTS = pelmora.utils.ContinuousTimeSeries
outlets = pelmora.reservoir.reservoir_utils

ACRE_FT = 43560.0  # cubic feet per acre-foot
HOUR = timedelta(hours=1)
DEFAULT_OUT = Path(__file__).resolve().parent.parent / "build" / "design_storm.png"

# NRCS (SCS) 24-hour Type II distribution: cumulative fraction of the 24-hour
# depth at the end of each hour 0..24 (TR-55 tables).
TYPE_II_24H = [
    0.000, 0.011, 0.022, 0.035, 0.048, 0.063, 0.080, 0.098, 0.120, 0.147, 0.181, 0.235,
    0.663, 0.772, 0.820, 0.854, 0.880, 0.903, 0.922, 0.938, 0.952, 0.964, 0.976, 0.988,
    1.000,
]

# Gauge at the reach outlet (head of the reservoir): discharge on the hour, in
# cfs, value i at hour i after the start of the storm.  A synthetic but
# plausible record of this event (curve-number runoff through a Nash cascade,
# with 3 % noise), kept here as data: neither this script nor pelmora makes it.
OBSERVED_CFS = [
    15, 15, 15, 15, 15, 15, 15, 16, 15, 15, 15, 16, 20, 52, 198, 538, 895, 1193, 1187, 1078,
    858, 696, 518, 426, 346, 290, 238, 226, 200, 166, 121, 92, 67, 52, 45, 38, 36, 36, 33, 33,
    33, 32, 30, 31, 32, 28, 30, 29, 28, 30, 28, 26, 27, 27, 26, 26, 25, 25, 26, 24,
]


@dataclass(frozen=True)
class Parameters:
    """Everything that defines the study; the defaults are the design case."""

    # storm
    depth_in: float = 6.0
    dry_hours: int = 36  # dry tail after the 24-hour storm so the hydrographs recede
    step_s: int = 900
    # basin and loss model
    area_ac: float = 2880.0  # 4.5 mi²
    initial_deficit_in: float = 1.0
    max_deficit_in: float = 2.5
    constant_loss_in_per_hr: float = 0.12
    time_to_dry: timedelta = timedelta(hours=72)
    # Clark transform. tc from Kirpich, tc = 0.0078 L^0.77 S^-0.385 minutes,
    # for a 5-mile main channel (L = 26,400 ft) falling 0.5 % (S = 0.005):
    # 152 minutes, taken as 2.5 h. R from the ratio R / (tc + R) = 0.6, a
    # common regional value for rural basins: R = 1.5 tc.
    tc: timedelta = timedelta(hours=2, minutes=30)
    storage_r: timedelta = timedelta(hours=3, minutes=45)
    # baseflow layers: (time constant, share of the loss, initial cfs, chained reservoirs)
    layers: tuple = (
        ("interflow", timedelta(hours=18), 0.25, 3.0, 2),
        ("groundwater", timedelta(days=15), 0.35, 12.0, 1),
    )
    # Muskingum reach
    k: timedelta = timedelta(hours=2)
    x: float = 0.2
    sub_reaches: int = 4
    # reservoir
    pool_elev_ft: float = 810.0  # top of conservation pool, start of the run
    spillway_crest_ft: float = 814.0
    spillway_length_ft: float = 40.0
    gate_sill_ft: float = 810.0
    gate_width_ft: float = 10.0
    gate_cap_cfs: float = 250.0  # downstream channel capacity
    minimum_release_cfs: float = 10.0
    dead_pool_ft: float = 805.0  # minimum release stops below this


@dataclass
class Inputs:
    params: Parameters
    hourly_rain: object  # IncrementalTimeSeries, inches per hour
    rain: object  # IncrementalTimeSeries, inches per step
    layers: dict
    storage_curve: object
    outlets: dict
    observed: list


@dataclass
class Chain:
    """Every series of one run, as numpy arrays, with their time axes in hours."""

    rain: np.ndarray
    excess: np.ndarray
    loss: np.ndarray
    deficit: np.ndarray
    runoff: np.ndarray  # Clark direct runoff
    baseflow: np.ndarray  # total, aligned on the runoff's time points
    layer_flows: dict
    outflow: np.ndarray  # basin outflow = runoff + baseflow
    flow_series: object  # the same as a ContinuousTimeSeries, the reach inflow
    routed: np.ndarray
    storage: np.ndarray
    elevation: np.ndarray
    total_release: np.ndarray
    releases: dict
    kge: float
    t_rain: np.ndarray  # start of each rainfall interval
    t_flow: np.ndarray  # time of each point of runoff, outflow and routed
    t_pool: np.ndarray  # time of each reservoir record


@dataclass
class Calibration:
    k_hours: np.ndarray
    x_values: np.ndarray
    kge: np.ndarray  # [k, x]; NaN where the pair gives negative Muskingum coefficients
    default_kge: float
    best: tuple  # (k hours, x, KGE)
    wall_s: dict = field(default_factory=dict)  # threads -> seconds


# ---- inputs --------------------------------------------------------------------

def design_storm(depth_in, dry_hours, step_s):
    """Hourly Type II hyetograph with a dry tail, and its split to `step_s`."""
    hourly = list(np.diff(TYPE_II_24H) * depth_in) + [0.0] * dry_hours
    hourly_series = ITS(hourly, HOUR, "rainfall")
    return hourly_series, hourly_series.disaggregate(step_s)


def storage_curve():
    """Elevation (ft) against storage (ft³), from an elevation-area table."""
    elev = np.array([795.0, 800.0, 805.0, 810.0, 815.0, 820.0, 825.0])
    area = np.array([0.0, 15.0, 35.0, 60.0, 90.0, 125.0, 165.0])  # acres
    acre_ft = np.concatenate([[0.0], np.cumsum(0.5 * (area[1:] + area[:-1]) * np.diff(elev))])
    return outlets.ElevationStorage(elev.tolist(), (acre_ft * ACRE_FT).tolist())


def reservoir_outlets(p):
    top = 825.0
    # Uncontrolled ogee spillway, weir equation Q = C L H^1.5.
    head = np.array([0.0, 0.25, 0.5, 1.0, 1.5, 2.0, 3.0, 4.0, 5.0, 7.0, top - p.spillway_crest_ft])
    spill = outlets.ElevationDischarge((p.spillway_crest_ft + head).tolist(),
                                       (3.3 * p.spillway_length_ft * head ** 1.5).tolist())
    # Gated sluice on the flood pool, released up to the channel capacity.
    head = np.arange(0.0, top - p.gate_sill_ft + 0.5, 1.0)
    gate = outlets.ElevationDischarge((p.gate_sill_ft + head).tolist(),
                                      (3.0 * p.gate_width_ft * head ** 1.5).tolist())
    return {
        "spillway": outlets.UnControlledDischargeInfo(spill),
        "flood gate": outlets.ControlledDischargeInfo(gate, None, None, p.gate_cap_cfs),
        "minimum release": outlets.ConstantDischargeInfo(p.minimum_release_cfs, p.dead_pool_ft),
    }


def build_inputs(params=None):
    p = params or Parameters()
    hourly, rain = design_storm(p.depth_in, p.dry_hours, p.step_s)
    layers = {name: pelmora.baseflow.LinearReservoir(k, share, q0, count)
              for name, k, share, q0, count in p.layers}
    return Inputs(p, hourly, rain, layers, storage_curve(), reservoir_outlets(p),
                  [float(v) for v in OBSERVED_CFS])


# ---- the chain -----------------------------------------------------------------

def score(routed, step_s, observed):
    """KGE of the routed flow sampled on the gauge's hours."""
    every = 3600 // step_s
    return pelmora.metrics.calculate_kge(list(routed[::every][:len(observed)]), observed)


def route_reach(flow_series, k, x, sub_reaches):
    first = flow_series.data[0]
    return np.array(pelmora.reach.run_muskingum_routing(flow_series, k, x, sub_reaches, first).data)


def run_chain(inputs, k=None, x=None):
    p = inputs.params
    k = p.k if k is None else k
    x = p.x if x is None else x
    step = timedelta(seconds=p.step_s)

    losses = pelmora.rainfall_loss.run_deficit_and_constant(
        inputs.rain, p.initial_deficit_in, p.max_deficit_in, p.constant_loss_in_per_hr, p.time_to_dry)
    runoff = np.array(pelmora.rainfall_transform.run_clark_uh(losses.excess, p.area_ac, p.tc, p.storage_r).data)
    loss = np.array(losses.loss.data)

    # Clark returns N + m - 1 points for N rain steps and a unit hydrograph of
    # m ordinates (a zero, the routed translation, then the recession until
    # the reservoir is drained), point i at i * step.  Baseflow value i is the
    # flow at the END of interval i, i.e. at point i + 1.  So: feed the
    # baseflow m - 1 extra dry intervals, put the layers' initial flow at
    # point 0 and drop the last value; both series then cover the same
    # N + m - 1 points.
    extra = len(runoff) - len(loss)
    infiltrated = ITS(loss.tolist() + [0.0] * extra, step, "rainfall")
    _, per_layer = pelmora.baseflow.run_linear_reservoir(p.area_ac, infiltrated, inputs.layers)
    layer_flows = {}
    for name, _k, _share, q0, _count in p.layers:
        values = np.array(per_layer[name].data)
        layer_flows[name] = np.concatenate([[q0], values[:-1]])
    baseflow = sum(layer_flows.values())
    outflow = runoff + baseflow
    flow_series = CTS(outflow.tolist(), step, "discharge")

    routed = route_reach(flow_series, k, x, p.sub_reaches)
    pool = pelmora.reservoir.run_level_pool_routing(
        CTS(routed.tolist(), step, "discharge"), p.pool_elev_ft, inputs.storage_curve, inputs.outlets)
    releases = {name: np.array(s.data) for name, s in pool.reservoir_individual_outflows.items()}

    hours = p.step_s / 3600.0
    return Chain(
        rain=np.array(inputs.rain.data), excess=np.array(losses.excess.data), loss=loss,
        deficit=np.array(losses.deficit.data), runoff=runoff, baseflow=baseflow,
        layer_flows=layer_flows, outflow=outflow, flow_series=flow_series, routed=routed,
        storage=np.array(pool.reservoir_storage.data),
        elevation=np.array(pool.reservoir_elevation.data),
        total_release=np.array(pool.reservoir_total_outflow.data),
        releases={name: releases[name] for name in inputs.outlets},  # the dict's own order
        kge=score(routed, p.step_s, inputs.observed),
        t_rain=np.arange(len(inputs.rain.data)) * hours,
        t_flow=np.arange(len(runoff)) * hours,
        # Level pool record j is the state at point j, record 0 the start.
        t_pool=np.arange(len(routed)) * hours,
    )


# ---- calibration ---------------------------------------------------------------

def admissible(k_s, x, sub_reaches, step_s):
    """Muskingum coefficients C0 and C2 both non-negative for this pair."""
    kp2 = 2.0 * k_s / sub_reaches
    return kp2 * x <= step_s and kp2 * (1.0 - x) >= step_s


def calibration_grid(n):
    """n values of k from 1 to 5 h and of x from 0 to 0.4 (max(n, 2) each)."""
    n = max(n, 2)
    return np.linspace(1.0, 5.0, n), np.linspace(0.0, 0.4, n)


def _score_row(flow_series, k_hours, x_values, params, observed):
    k = timedelta(hours=float(k_hours))
    row = []
    for x in x_values:
        if admissible(k.total_seconds(), x, params.sub_reaches, params.step_s):
            routed = route_reach(flow_series, k, float(x), params.sub_reaches)
            row.append(score(routed, params.step_s, observed))
        else:
            row.append(math.nan)
    return row


def calibrate(inputs, chain, grid=24, workers=1, progress=True):
    """KGE over an n x n (k, x) grid, one task per k, on `workers` threads."""
    p = inputs.params
    k_hours, x_values = calibration_grid(grid)
    kge = np.full((len(k_hours), len(x_values)), math.nan)
    label = f"calibration, {workers} thread{'s' if workers > 1 else ''}"
    tty = progress and sys.stdout.isatty()
    start = time.perf_counter()
    with ThreadPoolExecutor(max_workers=workers) as pool:
        futures = {pool.submit(_score_row, chain.flow_series, kh, x_values, p, inputs.observed): i
                   for i, kh in enumerate(k_hours)}
        for done, future in enumerate(as_completed(futures), 1):
            kge[futures[future]] = future.result()
            if tty:
                print(f"\r  {label}: {done * len(x_values)}/{kge.size} pairs", end="", flush=True)
    wall = time.perf_counter() - start
    if progress:
        print(f"{chr(13) if tty else ''}  {label}: {kge.size}/{kge.size} pairs in {wall:.3f} s", flush=True)

    # The current parameters are always a candidate, so calibration never
    # makes the fit worse.
    best = (p.k.total_seconds() / 3600.0, p.x, chain.kge)
    if np.isfinite(kge).any():
        i, j = np.unravel_index(np.nanargmax(kge), kge.shape)
        if kge[i, j] > best[2]:
            best = (float(k_hours[i]), float(x_values[j]), float(kge[i, j]))
    return Calibration(k_hours, x_values, kge, chain.kge, best, {workers: wall})


def timed_calibration(inputs, chain, grid, progress=True):
    """Run the grid on one thread, then on every core; the results must agree."""
    single = calibrate(inputs, chain, grid, 1, progress)
    cores = os.cpu_count() or 1
    if cores > 1:
        multi = calibrate(inputs, chain, grid, cores, progress)
        if not np.array_equal(single.kge, multi.kge, equal_nan=True):
            raise RuntimeError("threaded calibration differs from the single-thread run")
        single.wall_s.update(multi.wall_s)
    return single


# ---- report --------------------------------------------------------------------

def volume_acre_ft(flow_cfs, step_s):
    """Volume under a point-sampled hydrograph (trapezoidal rule)."""
    return float(np.trapezoid(flow_cfs, dx=step_s)) / ACRE_FT


def depth_acre_ft(depth_in, area_ac):
    return float(np.sum(depth_in)) * area_ac / 12.0


def summarise(inputs, chain, calib=None):
    """The study's key numbers, as a dict (the report prints these)."""
    p = inputs.params
    dt = p.step_s
    peak = lambda t, q: (float(np.max(q)), float(t[int(np.argmax(q))]))
    t_obs = np.arange(len(inputs.observed), dtype=float)
    rows = [
        ("direct runoff (Clark)", *peak(chain.t_flow, chain.runoff), volume_acre_ft(chain.runoff, dt)),
        *[(f"  baseflow: {name}", *peak(chain.t_flow, q), volume_acre_ft(q, dt))
          for name, q in chain.layer_flows.items()],
        ("basin outflow", *peak(chain.t_flow, chain.outflow), volume_acre_ft(chain.outflow, dt)),
        ("reach outlet (routed)", *peak(chain.t_flow, chain.routed), volume_acre_ft(chain.routed, dt)),
        ("  observed at the gauge", *peak(t_obs, inputs.observed),
         volume_acre_ft(inputs.observed, 3600)),
        ("reservoir outflow", *peak(chain.t_pool, chain.total_release),
         volume_acre_ft(chain.total_release, dt)),
        *[(f"  {name}", *peak(chain.t_pool, q), volume_acre_ft(q, dt)) for name, q in chain.releases.items()],
    ]
    rain_af = depth_acre_ft(chain.rain, p.area_ac)
    excess_af = depth_acre_ft(chain.excess, p.area_ac)
    loss_af = depth_acre_ft(chain.loss, p.area_ac)
    # The pool takes in the whole routed hydrograph, from its first point.
    inflow_af = volume_acre_ft(chain.routed, dt)
    storage_change_af = (chain.storage[-1] - chain.storage[0]) / ACRE_FT
    out = {
        "rows": rows,
        "rain_in": float(np.sum(chain.rain)), "rain_af": rain_af,
        "excess_in": float(np.sum(chain.excess)), "excess_af": excess_af,
        "loss_in": float(np.sum(chain.loss)), "loss_af": loss_af,
        "loss_fraction": loss_af / rain_af,
        "clark_to_excess": volume_acre_ft(chain.runoff, dt) / excess_af if excess_af > 0 else math.nan,
        "peak_elev": peak(chain.t_pool, chain.elevation),
        "max_storage_af": float(np.max(chain.storage)) / ACRE_FT,
        "pool_inflow_af": inflow_af,
        "pool_outflow_af": volume_acre_ft(chain.total_release, dt),
        "storage_change_af": storage_change_af,
        "kge": chain.kge,
    }
    out["pool_balance_af"] = inflow_af - out["pool_outflow_af"] - storage_change_af
    if calib is not None:
        out["best"] = calib.best
        out["wall_s"] = dict(calib.wall_s)
        out["pairs"] = int(calib.kge.size)
        out["skipped"] = int(np.isnan(calib.kge).sum())
    return out


def report(inputs, chain, calib=None, file=None):
    p = inputs.params
    s = summarise(inputs, chain, calib)
    w = lambda *a: print(*a, file=file or sys.stdout)
    w(f"Design storm: {p.depth_in:g} in, 24-h SCS Type II, {p.step_s // 60}-min step, "
      f"{p.dry_hours} h dry tail; basin {p.area_ac:g} ac ({p.area_ac / 640:g} mi²)")
    w()
    w(f"{'hydrograph':<28}{'peak (cfs)':>12}{'at (h)':>9}{'volume (ac-ft)':>16}")
    w("-" * 65)
    for name, q, t, v in s["rows"]:
        w(f"{name:<28}{q:>12,.1f}{t:>9.2f}{v:>16,.1f}")
    w("-" * 65)
    w(f"{'rainfall':<28}{s['rain_in']:>8.3f} in {s['rain_af']:>12,.1f} ac-ft")
    w(f"{'  excess':<28}{s['excess_in']:>8.3f} in {s['excess_af']:>12,.1f} ac-ft")
    w(f"{'  loss':<28}{s['loss_in']:>8.3f} in {s['loss_af']:>12,.1f} ac-ft"
      f"   (loss fraction {s['loss_fraction']:.1%})")
    w(f"{'Clark runoff / excess':<28}{s['clark_to_excess']:>8.4f}"
      f"      (the unit hydrograph carries the whole inch)")
    e, t = s["peak_elev"]
    w(f"{'peak pool elevation':<28}{e:>8.2f} ft at {t:.2f} h  (start {p.pool_elev_ft:g} ft, "
      f"spillway crest {p.spillway_crest_ft:g} ft)")
    w(f"{'peak storage':<28}{s['max_storage_af']:>8,.1f} ac-ft"
      f"  ({s['max_storage_af'] - chain.storage[0] / ACRE_FT:,.1f} ac-ft of flood storage used)")
    w(f"{'reservoir balance':<28}in {s['pool_inflow_af']:,.1f} - out {s['pool_outflow_af']:,.1f}"
      f" - change {s['storage_change_af']:,.1f} = {s['pool_balance_af']:+.2f} ac-ft")
    hours = p.k.total_seconds() / 3600
    w(f"{'KGE, reach outlet':<28}{s['kge']:>8.4f}      (k = {hours:g} h, x = {p.x:g}, "
      f"{p.sub_reaches} sub-reaches)")
    if calib is not None:
        k, x, kge = s["best"]
        w(f"{'KGE, calibrated':<28}{kge:>8.4f}      (k = {k:.2f} h, x = {x:.3f}; "
          f"{s['pairs']} pairs, {s['skipped']} with negative coefficients skipped)")
        times = ", ".join(f"{n} thread{'s' if n > 1 else ''} {sec:.3f} s"
                          for n, sec in sorted(s["wall_s"].items()))
        w(f"{'calibration wall time':<28}{times}")
    return s


# ---- figure --------------------------------------------------------------------

def plot(inputs, chain, calib, path):
    from matplotlib.figure import Figure  # no pyplot: no global state, no window

    p = inputs.params
    hours = p.step_s / 3600.0
    fig = Figure(figsize=(13, 13), layout="constrained")
    left, right = fig.subfigures(1, 2, width_ratios=[2, 1])
    ax_rain, ax_flow, ax_elev, ax_out = left.subplots(4, 1, sharex=True, height_ratios=[2, 3, 2, 2])
    fig.suptitle(f"{p.depth_in:g}-in 24-h SCS Type II storm on a {p.area_ac / 640:g} mi² basin", fontsize=14)

    # hyetograph: loss and excess stacked per step, soil deficit on the right
    per_hr = 1.0 / hours
    ax_rain.bar(chain.t_rain, chain.loss * per_hr, width=hours, align="edge", color="#c9a66b", label="loss")
    ax_rain.bar(chain.t_rain, chain.excess * per_hr, width=hours, align="edge", bottom=chain.loss * per_hr,
                color="#2b7bba", label="excess")
    ax_rain.set_ylabel("rainfall intensity (in/h)")
    ax_rain.set_ylim(0, 1.1 * np.max(chain.rain) * per_hr)
    ax_rain.set_title("Hyetograph, loss and excess")
    deficit = ax_rain.twinx()
    deficit.plot(chain.t_rain + hours, chain.deficit, color="k", lw=1.2, label="soil deficit")
    deficit.set_ylabel("soil deficit (in)")
    deficit.set_ylim(0, p.max_deficit_in * 1.1)
    handles = ax_rain.get_legend_handles_labels()
    more = deficit.get_legend_handles_labels()
    ax_rain.legend(handles[0] + more[0], handles[1] + more[1], loc="upper right")

    # hydrographs
    t_obs = np.arange(len(inputs.observed))
    ax_flow.plot(chain.t_flow, chain.runoff, color="#2b7bba", lw=1.2, label="direct runoff (Clark)")
    ax_flow.plot(chain.t_flow, chain.baseflow, color="#7f5b2a", lw=1.2, label="baseflow")
    ax_flow.plot(chain.t_flow, chain.outflow, color="k", lw=1.6, label="basin outflow")
    ax_flow.plot(chain.t_flow, chain.routed, color="#d95f02", lw=1.8, label="reach outlet, routed")
    if calib is not None:
        k, x, kge = calib.best
        best = route_reach(chain.flow_series, timedelta(hours=k), x, p.sub_reaches)
        ax_flow.plot(chain.t_flow, best, color="#d95f02", lw=1.2, ls="--",
                     label=f"reach outlet, calibrated (k={k:.2f} h, x={x:.3f})")
    ax_flow.plot(t_obs, inputs.observed, "o", ms=3.5, mfc="none", color="#1b9e77",
                 label=f"observed at gauge (KGE {chain.kge:.3f})")
    ax_flow.plot(chain.t_pool, chain.total_release, color="#7570b3", lw=1.8, label="reservoir outflow")
    ax_flow.set_ylabel("discharge (cfs)")
    ax_flow.set_title("Hydrographs")
    ax_flow.legend(loc="upper right", fontsize=9)

    # pool elevation
    ax_elev.plot(chain.t_pool, chain.elevation, color="#1f78b4", lw=1.8, label="pool elevation")
    ax_elev.axhline(p.spillway_crest_ft, color="#e31a1c", ls="--", lw=1, label="spillway crest")
    ax_elev.axhline(p.gate_sill_ft, color="#6a3d9a", ls=":", lw=1, label="flood-gate sill")
    ax_elev.set_ylabel("elevation (ft)")
    ax_elev.set_title("Reservoir")
    ax_elev.legend(loc="upper right")

    # releases per outlet
    colours = {"spillway": "#e31a1c", "flood gate": "#6a3d9a", "minimum release": "#33a02c"}
    for name, q in chain.releases.items():
        ax_out.plot(chain.t_pool, q, lw=1.5, color=colours.get(name), label=name)
    ax_out.plot(chain.t_pool, chain.total_release, color="k", lw=1, ls="--", label="total")
    ax_out.set_ylabel("discharge (cfs)")
    ax_out.set_xlabel("time since start of storm (h)")
    ax_out.set_title("Reservoir releases per outlet")
    ax_out.legend(loc="upper right")
    ax_out.set_xlim(0, chain.t_flow[-1])
    for ax in (ax_rain, ax_flow, ax_elev, ax_out):
        ax.grid(alpha=0.3)

    # calibration surface
    if calib is not None:
        ax_cal = right.add_subplot(2, 1, 1)
        shown = np.where(calib.kge > 0, calib.kge, np.nan)
        image = ax_cal.pcolormesh(calib.x_values, calib.k_hours, shown, cmap="viridis", shading="nearest")
        right.colorbar(image, ax=ax_cal, location="bottom", label="KGE at the gauge (values ≤ 0 blank)")
        ax_cal.plot(p.x, p.k.total_seconds() / 3600, "w^", ms=9, mec="k", label="design")
        ax_cal.plot(calib.best[1], calib.best[0], "r*", ms=14, mec="k", label="best")
        ax_cal.set_xlabel("Muskingum x (–)")
        ax_cal.set_ylabel("Muskingum k (h)")
        ax_cal.set_title("Calibration grid\n(blank top right: negative coefficients)")
        ax_cal.legend(loc="upper right")

    # rating curves of the reservoir
    ax_curve = right.add_subplot(2, 1, 2)
    for name, outlet in inputs.outlets.items():
        if isinstance(outlet, outlets.ConstantDischargeInfo):
            elev = np.array([outlet.minimum_elevation, inputs.storage_curve.elevation[-1]])
            q = np.full(2, outlet.discharge)
        else:
            curve = outlet.elevation_discharge
            elev = np.linspace(curve.elevation[0], curve.elevation[-1], 400)
            q = np.interp(elev, curve.elevation, curve.discharge)
            if getattr(outlet, "maximum_release", None) is not None:
                q = np.minimum(q, outlet.maximum_release)
        ax_curve.plot(q, elev, lw=1.5, color=colours.get(name), label=name)
    ax_curve.axhline(np.max(chain.elevation), color="#1f78b4", lw=1, ls="-.", label="peak pool")
    ax_curve.set_ylim(p.dead_pool_ft - 1.0, p.spillway_crest_ft + 6.0)
    ax_curve.set_xlim(0, 2.0 * np.max(chain.total_release))
    ax_curve.set_xlabel("discharge (cfs)")
    ax_curve.set_ylabel("elevation (ft)")
    ax_curve.set_title("Outlet ratings and storage")
    ax_curve.grid(alpha=0.3)
    ax_storage = ax_curve.twiny()
    ax_storage.plot(np.array(inputs.storage_curve.storage) / ACRE_FT, inputs.storage_curve.elevation,
                    color="0.4", lw=1.2, ls="--", label="storage")
    ax_storage.set_xlabel("storage (ac-ft)", color="0.3")
    handles = ax_curve.get_legend_handles_labels()
    more = ax_storage.get_legend_handles_labels()
    ax_curve.legend(handles[0] + more[0], handles[1] + more[1], loc="lower right")

    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    return path


# ---- main ----------------------------------------------------------------------

def parse_args(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--grid", type=int, default=24, metavar="N",
                        help="calibrate on an N x N grid of Muskingum (k, x); 0 skips it (default 24)")
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT, help=f"figure path (default {DEFAULT_OUT})")
    parser.add_argument("--no-plot", action="store_true", help="do not draw the figure")
    return parser.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    start = time.perf_counter()
    inputs = build_inputs()
    chain = run_chain(inputs)
    calib = timed_calibration(inputs, chain, args.grid) if args.grid > 0 else None
    print()
    report(inputs, chain, calib)
    if not args.no_plot:
        print(f"\nfigure: {plot(inputs, chain, calib, args.out)}")
    print(f"total wall time {time.perf_counter() - start:.2f} s "
          f"(Python {sys.version.split()[0]}, GIL {'on' if getattr(sys, '_is_gil_enabled', lambda: True)() else 'off'}, "
          f"{os.cpu_count()} cores)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
