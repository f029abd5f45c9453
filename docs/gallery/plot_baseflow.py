"""
Baseflow under a month of storms
================================

Storms every few days; the loss model's infiltration feeds an interflow layer
and a groundwater layer. The slow layer builds up from storm to storm while
the fast one follows each event.
"""

from datetime import timedelta

import numpy as np
from matplotlib import pyplot as plt

import pelmora

hour = timedelta(hours=1)
rng = np.random.default_rng(7)
gross = np.zeros(30 * 24)
for start in (20, 150, 260, 400, 430, 600):
    gross[start:start + 8] = rng.uniform(0.05, 0.4, 8)
rain = pelmora.utils.IncrementalTimeSeries(gross.tolist(), hour, "rainfall")
losses = pelmora.rainfall_loss.run_deficit_and_constant(rain, 0.5, 2.0, 0.15, timedelta(days=4))

layers = {
    "interflow": pelmora.baseflow.LinearReservoir(timedelta(hours=30), 0.35, 2.0, 2),
    "groundwater": pelmora.baseflow.LinearReservoir(timedelta(days=20), 0.5, 8.0),
}
total, per_layer = pelmora.baseflow.run_linear_reservoir(3200.0, losses.loss, layers)

days = np.arange(1, len(gross) + 1) / 24  # value i: end of interval i
fig, (top, bottom) = plt.subplots(2, 1, sharex=True, height_ratios=[1, 2], figsize=(7.5, 4.5))
top.bar(np.arange(len(gross)) / 24, losses.loss.data, width=1 / 24, align="edge", color="#c9a66b")
top.set_ylabel("infiltration (in/h)")
for name, series in per_layer.items():
    bottom.plot(days, series.data, label=name)
bottom.plot(days, total.data, color="k", lw=2, label="total")
bottom.set_xlabel("days")
bottom.set_ylabel("baseflow (cfs)")
bottom.legend()
