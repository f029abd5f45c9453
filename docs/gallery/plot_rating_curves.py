"""
Storage curve from an area survey
=================================

Build an ``ElevationStorage`` from surveyed surface areas (average-end-area
rule), then read it both ways.
"""

import numpy as np
from matplotlib import pyplot as plt

import pelmora

RU = pelmora.reservoir.reservoir_utils
elevation = np.array([790.0, 795.0, 800.0, 805.0, 810.0, 815.0, 820.0])
area_ac = np.array([0.0, 12.0, 30.0, 55.0, 85.0, 120.0, 160.0])
acre_ft = np.concatenate([[0.0], np.cumsum(0.5 * (area_ac[1:] + area_ac[:-1]) * np.diff(elevation))])
curve = RU.ElevationStorage(elevation.tolist(), (acre_ft * 43560.0).tolist())

print("storage at 807.5 ft:", round(curve.get_storage(807.5) / 43560.0, 1), "ac-ft")
print("elevation holding 1000 ac-ft:", round(curve.get_elevation(1000 * 43560.0), 2), "ft")

fig, ax = plt.subplots()
ax.plot(np.array(curve.storage) / 43560.0, curve.elevation, "o-")
e = np.linspace(790.0, 820.0, 61)
ax.plot([curve.get_storage(float(v)) / 43560.0 for v in e], e, lw=0.8, color="k", label="get_storage")
ax.set_xlabel("storage (ac-ft)")
ax.set_ylabel("elevation (ft)")
ax.legend()
