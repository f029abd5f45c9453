"""Water balance of the loss, baseflow and Muskingum models.

Each model must account for every drop: what comes out plus what is left in
store equals what went in. Inputs are random within physical ranges (depths,
flows, constants and steps a study could use); each check states its
tolerance and why.
"""

import math
import sys
import warnings
from datetime import timedelta

from hypothesis import given, settings
from hypothesis import strategies as st

import pelmora

ITS = pelmora.utils.IncrementalTimeSeries
CTS = pelmora.utils.ContinuousTimeSeries
LinearReservoir = pelmora.baseflow.LinearReservoir
loss_model = pelmora.rainfall_loss.run_deficit_and_constant
baseflow = pelmora.baseflow.run_linear_reservoir
route = pelmora.reach.run_muskingum_routing

STEPS = st.sampled_from([300, 900, 3600, 21600, 86400])  # seconds


# ---- deficit and constant loss ---------------------------------------------------------

depths = st.one_of(st.just(0.0), st.floats(0.0, 3.0))  # inches per step, dry steps common


@settings(max_examples=300, deadline=None)
@given(
    rain=st.lists(depths, min_size=1, max_size=60),
    step=STEPS,
    initial=st.floats(0.0, 4.0),
    maximum=st.floats(0.0, 4.0),
    rate=st.floats(0.0, 1.0),
    dry_hours=st.one_of(st.just(0.0), st.floats(0.5, 720.0)),
)
def test_loss_balance(rain, step, initial, maximum, rate, dry_hours):
    time_to_dry = timedelta(hours=dry_hours)  # whole microseconds
    r = loss_model(ITS(rain, timedelta(seconds=step), "rainfall"), initial, maximum, rate, time_to_dry)
    dt_h = step / 3600.0
    dry_h = time_to_dry / timedelta(hours=1)
    k = 1.0 - math.exp(-dt_h / dry_h) if dry_h > 0.0 else 0.0
    constant = rate * dt_h
    before = initial
    for p, excess, loss, after in zip(rain, r.excess.data, r.loss.data, r.deficit.data):
        assert excess >= 0.0 and loss >= 0.0 and 0.0 <= after <= maximum
        if p > 0.0:
            # excess + loss = rain: a handful of roundings of numbers no larger
            # than the rain itself, so a few units in its last place.
            assert abs(excess + loss - p) <= 4 * math.ulp(p)
            fill = loss - min(p, constant)
        else:
            assert excess == 0.0 and loss == 0.0
            fill = 0.0
        assert fill >= -4 * math.ulp(max(p, 1.0))
        # Deficit bookkeeping: change = recovery - fill. The recovery makes up
        # the fraction k of what is missing to the maximum, or cuts a deficit
        # above the maximum back to it. Depths are at most a few inches, and
        # each side carries a few roundings: 1e-14 inch is some 20 units in
        # the last place of 4 inches, and far below any real slip.
        recovery = (maximum - before) * k if before <= maximum else maximum - before
        assert abs((after - before) - (recovery - fill)) <= 1e-14
        before = after


# ---- linear-reservoir baseflow -----------------------------------------------------------
# Each reservoir of a chain computes Q[i] = C * I[i] + (1 - C) * Q[i-1] with
# C = dt / (K + dt/2), its inflow I[i] held over interval i: the layer's rate
# for the first, the previous reservoir's new outflow for the others. Written
# as dt * I[i] = (K - dt/2) * (Q[i] - Q[i-1]) + dt * Q[i], the step keeps the
# store (K - dt/2) * Q and passes dt * Q[i] on, so that over a run
#   dt * sum(Q of the last reservoir) + sum over reservoirs of (K - dt/2) * (Q_end - initial_q)
#   = gw_fraction * the layer's inflow volume.
# Q[i] is the flow at the end of interval i: for one reservoir the same
# balance reads, with the trapezoidal outflow volume from initial_q on and
# the store K * Q, trapezoid + K * (Q_end - initial_q) = inflow volume.


@settings(max_examples=150, deadline=None)
@given(
    rain=st.lists(st.one_of(st.just(0.0), st.floats(0.0, 0.5)), min_size=1, max_size=80),
    step=st.sampled_from([900, 3600, 21600, 86400]),
    k_extra=st.integers(0, 40 * 86400),
    chain=st.integers(1, 4),
    fraction=st.floats(0.0, 1.0),
    initial_q=st.floats(0.0, 500.0),
    area=st.floats(1.0, 1e5),
)
def test_baseflow_balance(rain, step, k_extra, chain, fraction, initial_q, area):
    # The constant of one reservoir, at least half a step (the stability limit).
    kp = (step + 1) // 2 + k_extra
    infiltration = ITS(rain, timedelta(seconds=step), "rainfall")
    dt_h = step / 3600.0
    kp_h = kp / 3600.0

    # The end flow of each reservoir of the chain: the same chain cut after j.
    ends, last = [], None
    for j in range(1, chain + 1):
        _, layers = baseflow(area, infiltration, {"g": LinearReservoir(timedelta(seconds=kp * j), fraction,
                                                                        initial_q, j)})
        last = layers["g"].data
        ends.append(last[-1])

    inflow = sum(fraction * p for p in rain) * area * 1.00833  # cfs-hours
    out = sum(last) * dt_h
    stored = sum((kp_h - dt_h / 2) * (end - initial_q) for end in ends)
    # Every step rounds at about 1e-16 of the flows, over at most 80 steps and
    # 4 reservoirs; a store of up to 40 days' constant multiplies a flow's
    # error. The scale counts all of it, and 1e-9 of it is still far below a
    # slip such as a lost interval or 1.008333 for 1.00833 (3e-6).
    # Flows among the subnormals (an initial_q of 5e-324 with no rain) round
    # in absolute steps, not relative ones: the smallest normal double is
    # the floor.
    scale = inflow + out + kp_h * chain * (max(map(abs, last)) + initial_q + max(map(abs, ends)))
    tolerance = 1e-9 * scale + sys.float_info.min
    assert abs(out + stored - inflow) <= tolerance
    if chain == 1:
        trapezoid = sum((a + b) / 2 for a, b in zip([initial_q, *last], last)) * dt_h
        assert abs(trapezoid + kp_h * (last[-1] - initial_q) - inflow) <= tolerance


# ---- Muskingum ---------------------------------------------------------------------------------
# Each sub-reach stores S = K' * (x * I + (1 - x) * O) and its step is the
# trapezoidal continuity (I[i-1] + I[i]) / 2 * dt - (O[i-1] + O[i]) / 2 * dt
# = S[i] - S[i-1], whatever the sign of its coefficients. Summed over the run
# and the sub-reaches: outflow volume + storage at the end = inflow volume +
# storage at the start.


def quiet_route(*args):
    # Negative coefficients are fair game for the balance; their warning is
    # tested elsewhere.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return route(*args).data


def trapezoid(values, dt):
    return sum((a + b) / 2 for a, b in zip(values, values[1:])) * dt


@settings(max_examples=150, deadline=None)
@given(
    inflow=st.lists(st.floats(0.0, 5e4), min_size=2, max_size=60),
    step=st.sampled_from([300, 900, 3600, 21600]),
    kp=st.integers(0, 3 * 86400),
    x=st.floats(0.0, 0.5),
    sub_reaches=st.integers(1, 5),
    initial_outflow=st.floats(0.0, 5e4),
)
def test_muskingum_balance(inflow, step, kp, x, sub_reaches, initial_outflow):
    series = CTS(inflow, timedelta(seconds=step), "discharge")
    # Every sub-reach's outflow: the reach cut after j sub-reaches of the same
    # constant (k / j is then exactly kp, as in the whole reach).
    flows = [inflow] + [quiet_route(series, timedelta(seconds=kp * j), x, j, initial_outflow)
                        for j in range(1, sub_reaches + 1)]

    def storage(i):
        return sum(kp * (x * up[i] + (1 - x) * down[i]) for up, down in zip(flows, flows[1:]))

    dt = float(step)
    v_in, v_out = trapezoid(inflow, dt), trapezoid(flows[-1], dt)
    # Rounding of about 1e-16 per operation on flows up to 5e4 cfs, with
    # stores of up to three days' constant; 1e-9 of the largest term leaves
    # room for that and still sees a lost step or a wrong weight.
    largest = max(abs(v) for f in flows for v in f)
    scale = v_in + abs(v_out) + kp * sub_reaches * largest + dt * len(inflow) * largest
    # The smallest normal double floors it for flows among the subnormals.
    assert abs(v_out + storage(-1) - storage(0) - v_in) <= 1e-9 * scale + sys.float_info.min
