"""
KGE and log-KGE for a timing error
==================================

Shift a simulated hydrograph earlier and later against the observed one and
score it with KGE and with the log-transformed KGE (``use_log=True``), which
weighs the recession and low flows more.
"""

import numpy as np
from matplotlib import pyplot as plt

import pelmora

t = np.arange(240, dtype=float)
obs = 5 + 300 * np.exp(-0.5 * ((t - 50) / 8.0) ** 2) + 80 * np.exp(-t / 60.0)
shifts = np.arange(-24, 25)
plain, logged = [], []
for s in shifts:
    sim = np.interp(t - s, t, obs)
    plain.append(pelmora.metrics.calculate_kge(sim, obs))
    logged.append(pelmora.metrics.calculate_kge(sim, obs, use_log=True))

fig, ax = plt.subplots()
ax.plot(shifts, plain, label="KGE")
ax.plot(shifts, logged, label="KGE of ln(Q)")
ax.set_xlabel("timing error (h, positive = late)")
ax.set_ylabel("score")
ax.legend()
