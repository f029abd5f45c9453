"""Workloads of the bench rows: synthetic hydrographs, rainfall, the
reservoir of the level-pool row, and the sizes the rows share.
"""

from __future__ import annotations

from datetime import timedelta

import numpy as np

import pelmora

CTS = pelmora.utils.ContinuousTimeSeries
RU = pelmora.reservoir.reservoir_utils

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

BASEFLOW_LAYERS = {
    # name: (k_duration, gw_fraction, initial_q, num_reservoir)
    "shallow": (timedelta(hours=12), 0.3, 5.0, 4),
    "intermediate": (timedelta(days=3), 0.2, 20.0, 4),
    "deep": (timedelta(days=30), 0.1, 50.0, 4),
}

REGIONAL_BASINS = 24
REGIONAL_SETTINGS = {"generations": 24, "popsize": 12}


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


def kge_inputs():
    """Observed flows and a simulation of them: 10 % multiplicative noise, 5 % and 3 cfs of bias."""
    obs = hydrograph(MUSK_N, 5)
    rng = np.random.default_rng(6)
    sim = obs * rng.normal(1.05, 0.1, obs.size) + 3.0
    return sim, obs


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

