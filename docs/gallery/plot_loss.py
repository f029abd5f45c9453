"""
Deficit and constant: how much runs off
=======================================

The same 3-inch storm on the same soil, for constant loss rates from sandy
(0.4 in/h) to clay (0.02 in/h) and for a wet and a dry start. The runoff
coefficient is the share of the rain that becomes excess.
"""

from datetime import timedelta

import numpy as np
from matplotlib import pyplot as plt

import pelmora

hour = timedelta(hours=1)
storm = np.array([0.05, 0.1, 0.2, 0.5, 0.9, 0.6, 0.3, 0.2, 0.1, 0.05])
rain = pelmora.utils.IncrementalTimeSeries((storm * 3.0 / storm.sum()).tolist(), hour, "rainfall")

rates = np.linspace(0.02, 0.4, 20)
fig, ax = plt.subplots()
for start, label in ((0.0, "wet start (deficit 0)"), (1.5, "dry start (deficit 1.5 in)")):
    share = []
    for rate in rates:
        r = pelmora.rainfall_loss.run_deficit_and_constant(rain, start, 1.5, float(rate), timedelta(days=5))
        share.append(sum(r.excess.data) / 3.0)
    ax.plot(rates, share, marker="o", ms=3, label=label)
ax.set_xlabel("constant loss rate (in/h)")
ax.set_ylabel("runoff coefficient")
ax.set_ylim(0, 1)
ax.legend()

# %%
# Excess + loss adds up to the rain on every wet step:
r = pelmora.rainfall_loss.run_deficit_and_constant(rain, 1.5, 1.5, 0.1, timedelta(days=5))
print(max(abs(e + l - p) for e, l, p in zip(r.excess.data, r.loss.data, rain.data)))
