"""Reference implementations: the numpy/scipy code a user would otherwise
write for each row's task. The rows time pelmora against these, after
checking that both compute the same results.
"""

from __future__ import annotations

import pickle

import numpy as np
import scipy.signal


def muskingum_coefficients(dt, kp, x):
    d = dt + 2.0 * kp * (1.0 - x)
    return (dt - 2.0 * kp * x) / d, (dt + 2.0 * kp * x) / d, (2.0 * kp * (1.0 - x) - dt) / d


def muskingum_anchor(values, dt, k_seconds, x, sub_reaches, initial):
    """Four chained IIR passes: O[i] = C0*I[i] + C1*I[i-1] + C2*O[i-1], O[0] = initial."""
    c0, c1, c2 = muskingum_coefficients(dt, k_seconds / sub_reaches, x)
    b = np.array([c0, c1])
    a = np.array([1.0, -c2])
    y = values
    for _ in range(sub_reaches):
        # Transposed direct form: y[0] = c0*x[0] + zi[0], so zi[0] sets y[0].
        y, _zf = scipy.signal.lfilter(b, a, y, zi=np.array([initial - c0 * y[0]]))
    return y


def baseflow_anchor(rain, dt_s, area, layers):
    """Each layer's reservoirs as chained first-order IIR passes; the total and each layer's flow."""
    dt_h = dt_s / 3600.0
    half = 0.5 * dt_h
    factor = area * 1.00833
    total = np.zeros(rain.size)
    per_layer = {}
    for name, (k, frac, q0, count) in layers.items():
        k_per_res = (k.total_seconds() / 3600.0) / count
        c = dt_h / (k_per_res + half)
        q = rain * frac / dt_h * factor
        b = np.array([c])
        a = np.array([1.0, -(1.0 - c)])
        for _ in range(count):
            # y[i] = c*x[i] + (1-c)*y[i-1] with y[-1] = q0.
            q, _zf = scipy.signal.lfilter(b, a, q, zi=np.array([(1.0 - c) * q0]))
        per_layer[name] = q
        total += q
    return total, per_layer


def kge_numpy(sim, obs, eps=1e-6):
    """The Kling-Gupta efficiency as a numpy user would write it."""
    sim = np.asarray(sim, dtype=float)
    obs = np.asarray(obs, dtype=float)
    ms, mo = sim.mean(), obs.mean()
    ds, do = sim - ms, obs - mo
    sss, soo, sso = ds @ ds, do @ do, do @ ds
    dr = np.sqrt(soo * sss)
    corr = 1.0 if dr < eps else (sso / dr - 1.0) ** 2
    beta = ms / (eps if abs(mo) < eps else mo)
    so = np.sqrt(soo / sim.size)
    gamma = np.sqrt(sss / sim.size) / (eps if so < eps else so)
    return 1.0 - np.sqrt((gamma - 1.0) ** 2 + (beta - 1.0) ** 2 + corr)


def pickle_round_trip(obj):
    """Protocol 5 with out-of-band buffers, each copied to bytes on the way, as
    a pipe, a queue or a socket between processes would carry it."""
    buffers = []
    payload = pickle.dumps(obj, protocol=5, buffer_callback=buffers.append)
    carried = [bytes(b.raw()) for b in buffers]
    return pickle.loads(payload, buffers=carried)


def pickle_in_band(obj):
    """Protocol 5 in band, as multiprocessing and concurrent.futures pools pickle."""
    return pickle.loads(pickle.dumps(obj, protocol=5))

