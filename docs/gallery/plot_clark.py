"""
Clark: the time of concentration shapes the hydrograph
======================================================

One hour of 1-inch excess on a 10 mi² basin, for times of concentration of
2 to 12 hours, with the storage coefficient kept at a quarter of ``tc``.
Longer ``tc`` means a later, lower and wider hydrograph; each one carries
the whole inch (the legend gives the share), since the reservoir's recession
is carried on until it is drained.
"""

from datetime import timedelta

import numpy as np
from matplotlib import pyplot as plt

import pelmora

step = timedelta(minutes=15)
area = 6400.0  # acres
excess = pelmora.utils.IncrementalTimeSeries([0.25] * 4, step, "rainfall")

fig, ax = plt.subplots()
for hours in (2, 4, 6, 9, 12):
    tc = timedelta(hours=hours)
    q = pelmora.rainfall_transform.run_clark_uh(excess, area, tc, tc / 4)
    t = np.arange(len(q.data)) * 0.25
    carried = sum(q.data) * 0.25 / (area * 1.00833)
    ax.plot(t, q.data, label=f"tc = {hours} h ({carried:.0%} of the inch)")
ax.set_xlim(0, 30)
ax.set_xlabel("hours")
ax.set_ylabel("discharge (cfs)")
ax.legend()
