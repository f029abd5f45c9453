"""
Level pool: sizing a spillway
=============================

Route the same 100-year inflow through a pool with spillways of 20 to 120 ft
crest length and compare the peak pool elevations and releases.
"""

from datetime import timedelta

import numpy as np
from matplotlib import pyplot as plt

import pelmora

RU = pelmora.reservoir.reservoir_utils
hour = timedelta(hours=1)
t = np.arange(61)
flood = np.concatenate([[50.0], 50 + 4000 * (t[1:] / 12.0) ** 3 * np.exp(3 * (1 - t[1:] / 12.0))])
inflow = pelmora.utils.ContinuousTimeSeries(flood.tolist(), hour, "discharge")

elevation = np.arange(900.0, 931.0, 1.0)
storage = 43560.0 * 40.0 * (elevation - 900.0) ** 1.3  # ft³
curve = RU.ElevationStorage(elevation.tolist(), storage.tolist())
head = np.linspace(0.0, 15.0, 31)

fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(7.5, 5))
top.plot(t, flood, color="k", lw=2, label="inflow")
for length in (20, 40, 80, 120):
    spillway = RU.UnControlledDischargeInfo(
        RU.ElevationDischarge((912.0 + head).tolist(), (3.1 * length * head ** 1.5).tolist()))
    result = pelmora.reservoir.run_level_pool_routing(inflow, 912.0, curve, {"spillway": spillway})
    # Record k is the pool at hour k, the same instants as the inflow.
    top.plot(t, result.reservoir_total_outflow.data, label=f"{length} ft crest")
    bottom.plot(t, result.reservoir_elevation.data, label=f"{length} ft: peak "
                f"{max(result.reservoir_elevation.data):.1f} ft")
top.set_ylabel("discharge (cfs)")
top.legend()
bottom.set_ylabel("pool elevation (ft)")
bottom.set_xlabel("hours")
bottom.legend()
