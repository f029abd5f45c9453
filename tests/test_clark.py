"""Clark unit hydrograph: run_clark_uh, and the chain from the
loss model into it."""

import inspect
import math
import os
import subprocess
import sys
import threading
from datetime import timedelta

import pytest
from conftest import HOUR, allocated_growth, child_env, message, with_numpy
from hypothesis import example, given, settings
from hypothesis import strategies as st

import pelmora

CTS = pelmora.utils.ContinuousTimeSeries
ITS = pelmora.utils.IncrementalTimeSeries
clark = pelmora.rainfall_transform.run_clark_uh
loss_model = pelmora.rainfall_loss.run_deficit_and_constant
route = pelmora.reach.run_muskingum_routing

NEGATIVE = "cannot convert a negative timedelta to a duration"


# ---- reference -----------------------------------------------------------------
# Clark's scheme as HEC applies it, written out independently of the library's
# routing pass: the time-area translation I, the reservoir
# O[j] = C_A * I[j] + (1 - C_A) * O[j-1] with C_A = dt / (R + dt/2) starting
# empty, and the unit hydrograph as the mean of consecutive outflows, delayed
# one step so that it starts from rest. The library sums the same terms in
# another order, so the two agree to rounding, not bit for bit.

def seconds(td):
    return float(td.days * 86400 + td.seconds) + (td.microseconds * 1000) / 1000000000.0


def time_area(t):
    """HEC's default dimensionless time-area curve, as published:
    A* = 1.414 T*^1.5 below T* = 0.5, 1 - 1.414 (1 - T*)^1.5 from there on."""
    if t < 0.5:
        return 1.414 * t**1.5
    return 1.0 - 1.414 * (1.0 - t) ** 1.5


def ref_ordinates(dt, area, tc):
    n = math.ceil(tc / dt)
    cumulative = [time_area(min(i * dt / tc, 1.0)) for i in range(n + 1)]
    return [(cumulative[i + 1] - cumulative[i]) * area * 1.00833 / (dt / 3600.0) for i in range(n)]


def ref_unit(dt, area, tc, r, length):
    """The first `length` unit hydrograph ordinates, and the volume (cfs x s)
    of all those after them."""
    inflow = ref_ordinates(dt, area, tc)
    c_a = dt / (r + dt / 2.0)
    outflow, previous = [], 0.0
    for j in range(max(length - 1, 0)):
        previous = c_a * (inflow[j] if j < len(inflow) else 0.0) + (1.0 - c_a) * previous
        outflow.append(previous)
    o = [0.0, 0.0] + outflow
    unit = [(o[k + 1] + o[k]) / 2.0 for k in range(length)]
    # The inflow comes out in full over the infinite recession, so what the
    # first `length` ordinates miss is the rest.
    return unit, (math.fsum(inflow) - math.fsum(unit)) * dt


def ref_clark(data, dt, area, tc_td, r_td, length):
    """The library's result for a unit hydrograph of `length` ordinates."""
    tc, r = seconds(tc_td), seconds(r_td)
    if not (dt > 0 and tc > 0.0):
        return [0.0] * len(data)
    u, _ = ref_unit(dt, area, tc, r, length)
    out = [0.0] * (len(data) + len(u) - 1)
    for i, p in enumerate(data):
        if p == 0.0:
            continue
        for j, uj in enumerate(u):
            out[i + j] = uj * p + out[i + j]
    return out


def inch(area):
    """One inch over `area` acres, as cfs x s."""
    return area * 1.00833 * 3600.0


def unit_length(out, data):
    return len(out) - len(data) + 1


def close(a, b, rel=1e-12):
    """Equal up to rounding, NaN equal to NaN."""
    return len(a) == len(b) and all(
        (math.isnan(p) and math.isnan(q)) or p == pytest.approx(q, rel=rel, abs=1e-9)
        for p, q in zip(a, b)
    )


def matches_reference(out, data, step, area, tc, r, rel=1e-9):
    """`out` is the HEC scheme's result, cut where what is left is negligible."""
    dt = seconds(step)
    m = unit_length(out, data)
    expected = ref_clark(data, dt, area, tc, r, m)
    if not close(out, expected, rel):
        return False
    if seconds(tc) > 0.0 and area > 0.0:
        assert m >= math.ceil(seconds(tc) / dt) + 1
        _, left = ref_unit(dt, area, seconds(tc), seconds(r), m)
        # The reference's own sums among the subnormals (a basin of 1e-313
        # acres) round in absolute steps: the smallest normal double floors it.
        assert abs(left) <= 1e-11 * inch(area) + sys.float_info.min, left
    return True


def rain(data, step=HOUR, kind="rainfall"):
    return ITS(data, step, kind)


def truncated(v, decimals=2):
    return math.floor(v * 10**decimals) / 10**decimals


THREE_H = timedelta(hours=3)
TWO_H = timedelta(hours=2)
QUARTER = timedelta(minutes=15)


# ---- worked examples ----------------------------------------------------------------

def test_worked_example_single_inch():
    # 1 in on 640 ac, tc 3 h, R 2 h, 1-h step, by Clark's scheme as HEC applies
    # it: 0, 35.12, 115.01, 162.95, 132.89, 79.73, ... (two decimals, cut
    # rather than rounded: 115.0174 and 79.7369 print as 115.01 and 79.73).
    out = clark(rain([1.0]), 640.0, THREE_H, TWO_H)
    assert type(out) is CTS
    assert out.data[0] == 0.0
    assert [truncated(v) for v in out.data[:6]] == [0.0, 35.12, 115.01, 162.95, 132.89, 79.73]
    assert out.data[:6] == pytest.approx([0.0, 35.1221, 115.0174, 162.9546, 132.8948, 79.7369], abs=5e-5)
    # Then the recession, until what is left is negligible: one inch comes out.
    assert sum(out.data) * 3600.0 == pytest.approx(inch(640.0), rel=1e-9)
    assert all(b < a for a, b in zip(out.data[3:], out.data[4:]))


def test_worked_example_internals():
    q = ref_ordinates(3600.0, 640.0, 10800.0)
    assert [round(v, 5) for v in q] == [175.61038, 294.11043, 175.61038]
    out = clark(rain([1.0]), 640.0, THREE_H, TWO_H).data
    u, left = ref_unit(3600.0, 640.0, 10800.0, 7200.0, len(out))
    assert close(out, u, rel=1e-12)
    assert abs(left) <= 1e-12 * inch(640.0)
    # One ordinate fewer would leave more than that behind.
    _, before = ref_unit(3600.0, 640.0, 10800.0, 7200.0, len(out) - 1)
    assert abs(before) > 1e-12 * inch(640.0)


def test_worked_example_three_values():
    one = clark(rain([1.0]), 640.0, THREE_H, TWO_H).data
    out = clark(rain([0.5, 0.0, 0.25]), 640.0, THREE_H, TWO_H).data
    assert len(out) == len(one) + 2
    assert [truncated(v) for v in out[:6]] == [0.0, 17.56, 57.50, 90.25, 95.20, 80.60]
    assert matches_reference(out, [0.5, 0.0, 0.25], HOUR, 640.0, THREE_H, TWO_H, rel=1e-12)


def test_half_step_storage_averages_the_translation():
    # With R = dt/2, C_A = 1: the unit hydrograph is the mean of two successive
    # translation ordinates, from rest, and nothing is held after them.
    area, dt = 1000.0, 3600.0
    out = clark(rain([1.0]), area, timedelta(hours=4), timedelta(minutes=30)).data
    scale = area * 1.00833 / (dt / 3600.0)
    q = [0.0] + ref_ordinates(dt, area, 4 * 3600.0) + [0.0]
    assert sum(q) == pytest.approx(scale, rel=1e-14)
    assert out == pytest.approx([0.0] + [(q[i] + q[i - 1]) / 2 for i in range(1, 6)], rel=1e-14)
    # At exactly T = 0.5 the upper branch applies: A(0.5) = 1 - 1.414 * 0.5**1.5
    # (0.50007), not the lower branch's 1.414 * 0.5**1.5 (0.49993).
    a_half = 1.0 - 1.414 * 0.5**1.5
    assert 2 * out[2] / scale == pytest.approx(a_half, rel=1e-14)
    assert 2 * out[2] / scale != pytest.approx(1.414 * 0.5**1.5, rel=1e-6)
    assert 2 * out[4] / scale == pytest.approx(1.0 - a_half, rel=1e-14)


# The HEC default time-area curve at published points (A* = 1.414 T*^1.5 below
# T* = 0.5, 1 - 1.414 (1 - T*)^1.5 above), recovered from the library through
# R = dt/2 so that each ordinate is the mean of two curve increments.
@pytest.mark.parametrize("t, area_fraction", [
    (0.1, 1.414 * 0.1**1.5), (0.2, 0.126472), (0.25, 0.176750), (0.4, 0.357717),
    (0.5, 1 - 1.414 * 0.5**1.5), (0.6, 0.642283), (0.75, 0.823250), (0.8, 0.873528), (1.0, 1.0),
])
def test_time_area_curve_as_published(t, area_fraction):
    steps = 20  # tc = 20 steps of 1 h
    i = round(t * steps)
    out = clark(rain([1.0]), 1000.0, timedelta(hours=steps), timedelta(minutes=30)).data
    scale = 1000.0 * 1.00833
    # out[k] = (q[k-1] + q[k-2]) / 2 with q[-1] = 0, so twice the running sum
    # of out is the curve at two successive steps: C[i] + C[i-1].
    cumulative, running = 0.0, 0.0
    for k in range(1, i + 1):
        running += out[k]
        cumulative = 2 * running / scale - cumulative
    assert cumulative == pytest.approx(area_fraction, abs=2e-6)


# ---- the three cases that used to lose water ----------------------------------------------

@pytest.mark.parametrize("tc, r, step, m_at_least", [
    (THREE_H, TWO_H, QUARTER, 13),                         # 4 in over 6 h on a 15-min step
    (HOUR, HOUR, QUARTER, 5),
    (QUARTER, TWO_H, QUARTER, 2),                          # a small urban basin: tc = step
])
def test_volume_kept_in_the_problem_cases(tc, r, step, m_at_least):
    data = [4.0 / 24] * 24
    out = clark(rain(data, step), 640.0, tc, r).data
    assert unit_length(out, data) >= m_at_least
    assert sum(out) * seconds(step) == pytest.approx(4.0 * inch(640.0), rel=1e-9)
    assert matches_reference(out, data, step, 640.0, tc, r)


# ---- parity with Clark's scheme ---------------------------------------------------------------

@pytest.mark.parametrize("tc_h, r_h, dt_min", [
    (3, 2, 60), (3, 2, 15), (1, 1, 15), (0.25, 2, 15), (0.5, 2, 60), (1, 0.5, 60),
    (6, 0, 60), (0.25, 0, 15), (2, 0.2, 60), (5, 12, 30), (12, 3, 1440), (0.1, 0.1, 1),
])
def test_parity_with_hec_scheme(tc_h, r_h, dt_min):
    step = timedelta(minutes=dt_min)
    tc, r = timedelta(hours=tc_h), timedelta(hours=r_h)
    data = [0.0, 0.4, 1.1, 0.0, 0.25]
    out = clark(rain(data, step), 900.0, tc, r).data
    assert matches_reference(out, data, step, 900.0, tc, r)
    assert sum(out) * seconds(step) == pytest.approx(sum(data) * inch(900.0), rel=1e-9)


# ---- degenerate and unusual durations ------------------------------------------------------

@pytest.mark.parametrize("tc", [timedelta(minutes=30), HOUR, timedelta(seconds=1)])
def test_tc_within_one_step_gives_runoff(tc):
    # Its one translation ordinate holds the whole inch and is routed.
    data = [1.0, 2.0, 0.5]
    out = clark(rain(data), 640.0, tc, TWO_H)
    assert out.kind == "discharge"
    assert out.data[1] == pytest.approx(0.2 * 640.0 * 1.00833, rel=1e-12)  # C_A / 2 of it
    assert sum(out.data) * 3600.0 == pytest.approx(3.5 * inch(640.0), rel=1e-9)
    assert matches_reference(out.data, data, HOUR, 640.0, tc, TWO_H)


def test_tc_just_over_one_step_gives_two_ordinates():
    tc = timedelta(hours=1, microseconds=1)
    out = clark(rain([1.0]), 640.0, tc, timedelta(minutes=30)).data
    # The zero, then two averaged ordinates; the second translation ordinate
    # holds 7e-15 of the inch, so half of it left over is already negligible.
    assert len(out) == 3
    assert out[2] != out[1]
    assert matches_reference(out, [1.0], HOUR, 640.0, tc, timedelta(minutes=30), rel=1e-12)


@pytest.mark.parametrize("storage_r", [timedelta(0), TWO_H, timedelta(days=30)])
def test_zero_tc_gives_zeros(storage_r):
    out = clark(rain([1.0, 2.0, math.nan, 0.5]), 640.0, timedelta(0), storage_r)
    assert out.data == [0.0, 0.0, 0.0, 0.0]


def test_empty_rainfall():
    m = len(clark(rain([1.0], timedelta(minutes=20)), 640.0, THREE_H, TWO_H).data)
    out = clark(rain([], timedelta(minutes=20)), 640.0, THREE_H, TWO_H)
    assert m > 10
    assert out.data == [0.0] * (m - 1)
    assert out.time_step == timedelta(minutes=20)
    out = clark(rain([]), 640.0, timedelta(0), TWO_H)
    assert out.data == []
    assert out.kind == "discharge"


def test_zero_storage_r():
    # C_A = 2: nothing is stored, the hydrograph is the translation one step late.
    data = [1.0, 0.5]
    out = clark(rain(data), 640.0, timedelta(hours=5), timedelta(0)).data
    q = ref_ordinates(3600.0, 640.0, 5 * 3600.0)
    u = [0.0] + q
    expected = [0.0] + [u[j] + 0.5 * u[j - 1] for j in range(1, len(u))] + [0.5 * u[-1]]
    assert out[: len(expected)] == pytest.approx(expected, rel=1e-12, abs=1e-9)
    assert all(abs(v) < 1e-9 for v in out[len(expected):])  # a rounding residue at most
    assert len(out) <= len(expected) + 1


def test_short_storage_r_gives_negative_c2():
    # 2R < dt: C2 < 0, oscillating but not refused, and the water is kept.
    data = [1.0]
    r = timedelta(minutes=10)
    out = clark(rain(data), 640.0, timedelta(hours=6), r).data
    assert min(out) < 0.0
    assert matches_reference(out, data, HOUR, 640.0, timedelta(hours=6), r)
    assert sum(out) * 3600.0 == pytest.approx(inch(640.0), rel=1e-9)


def test_tc_keeps_fraction_of_second():
    step = timedelta(seconds=1)
    half = timedelta(microseconds=500000)  # R = dt/2: the unit hydrograph is n + 2 long
    tc = timedelta(seconds=1, microseconds=500000)
    out = clark(rain([1.0], step), 10.0, tc, half).data
    assert len(out) == 4  # n = ceil(1.5) = 2, not 1
    assert matches_reference(out, [1.0], step, 10.0, tc, half, rel=1e-14)
    tc = timedelta(seconds=2, microseconds=500000)
    out = clark(rain([1.0], step), 10.0, tc, half).data
    three = clark(rain([1.0], step), 10.0, timedelta(seconds=3), half).data
    assert len(out) == len(three) == 5
    assert out[3] != pytest.approx(three[3], rel=1e-6)
    assert matches_reference(out, [1.0], step, 10.0, tc, half, rel=1e-14)


def test_storage_r_keeps_fraction_of_second():
    step = timedelta(seconds=1)
    r = timedelta(seconds=2, microseconds=250000)
    out = clark(rain([1.0], step), 10.0, timedelta(seconds=4), r).data
    assert matches_reference(out, [1.0], step, 10.0, timedelta(seconds=4), r, rel=1e-12)


def test_zero_rainfall_is_skipped():
    # With an infinite area the ordinates are infinite; 0 * inf would be NaN,
    # so zeros of either sign must be skipped.
    out = clark(rain([0.0, -0.0, 0.0]), math.inf, THREE_H, TWO_H).data
    assert len(out) >= 3 + 4 - 1
    assert all(v == 0.0 and math.copysign(1.0, v) == 1.0 for v in out)


def test_nan_rainfall_spreads_over_its_ordinates():
    data = [1.0, 0.0, math.nan, 0.0, 0.0, 0.0]
    out = clark(rain(data), 640.0, THREE_H, TWO_H).data
    m = unit_length(out, data)
    assert [math.isnan(v) for v in out] == [False, False] + [True] * m + [False] * 3
    assert matches_reference(out, data, HOUR, 640.0, THREE_H, TWO_H, rel=1e-12)


def test_negative_rainfall_is_not_skipped():
    out = clark(rain([-1.0]), 640.0, THREE_H, TWO_H).data
    assert out == [-v for v in clark(rain([1.0]), 640.0, THREE_H, TWO_H).data]


@pytest.mark.parametrize("kind", ["discharge", "rainfall", "elevation", "volume"])
def test_any_kind_gives_discharge(kind):
    step = timedelta(minutes=15)
    data = [0.1, 0.3, 0.0, 0.2]
    out = clark(ITS(data, step, kind), 250.0, HOUR, timedelta(minutes=45))
    assert type(out) is CTS
    assert out.kind == "discharge"
    assert out.time_step == step
    assert matches_reference(out.data, data, step, 250.0, HOUR, timedelta(minutes=45))


def test_daily_step():
    out = clark(rain([1.0, 2.0], timedelta(days=1)), 5000.0, timedelta(days=3), timedelta(days=2))
    assert out.time_step == timedelta(days=1)
    assert matches_reference(out.data, [1.0, 2.0], timedelta(days=1), 5000.0, timedelta(days=3), timedelta(days=2))


def test_large_series_matches_reference(np):
    # Enough values for the computation to run detached from the interpreter.
    rng = np.random.default_rng(11)
    data = list(np.where(rng.uniform(size=20000) < 0.6, 0.0, rng.uniform(0.0, 0.3, 20000)))
    step = timedelta(minutes=5)
    out = clark(rain(data, step), 800.0, timedelta(minutes=25), timedelta(minutes=40)).data
    u, _ = ref_unit(300.0, 800.0, 1500.0, 2400.0, unit_length(out, data))
    np.testing.assert_allclose(out, np.convolve(data, u), rtol=1e-9, atol=1e-9)


@settings(max_examples=150, deadline=None)
@given(
    data=st.lists(st.floats(-1.0, 5.0), max_size=25),
    step=st.sampled_from([1, 60, 300, 900, 3600, 86400]),
    area=st.floats(0.0, 1e5),
    tc_us=st.integers(0, 40 * 3600 * 10**6),
    r_us=st.integers(0, 40 * 3600 * 10**6),
)
@example(data=[], step=300, area=2.2250738585e-313, tc_us=1, r_us=460372)  # a basin among the subnormals
def test_property_matches_reference(data, step, area, tc_us, r_us):
    tc = timedelta(microseconds=tc_us)
    r = timedelta(microseconds=r_us)
    if step == 1:  # keep n and the recession short
        tc, r = timedelta(microseconds=tc_us // 3600), timedelta(microseconds=r_us // 3600)
    if 0 < r_us and seconds(r) < 1e-3 * step:
        r = timedelta(0)  # the oscillating recession of a tiny R is slow; refused below
    out = clark(rain(data, timedelta(seconds=step)), area, tc, r)
    assert matches_reference(out.data, data, timedelta(seconds=step), area, tc, r)


# Total volume on random storms and basins within physical ranges: rain 0-3 in
# per step, 1 ac to 100 mi^2, tc from a minute to two days, R from zero to
# twice tc plus a day, steps from a minute to a day. The tolerance is 1e-9
# relative: the recession leaves at most 1e-12 of each inch behind, and the
# rest is rounding of at most a few thousand ordinates summed in doubles
# (1e-16 each), both far below it, while dropping even the last tenth of a
# percent of the recession would fail it.
@settings(max_examples=200, deadline=None)
@given(
    data=st.lists(st.floats(0.0, 3.0), min_size=1, max_size=30),
    step_min=st.sampled_from([1, 5, 15, 60, 360, 1440]),
    area=st.floats(1.0, 64000.0),
    tc_min=st.integers(1, 2880),
    r_min=st.integers(0, 5760),
)
def test_property_total_volume(data, step_min, area, tc_min, r_min):
    step = timedelta(minutes=step_min)
    out = clark(rain(data, step), area, timedelta(minutes=tc_min), timedelta(minutes=r_min)).data
    total = math.fsum(out) * step_min * 60.0
    assert total == pytest.approx(math.fsum(data) * inch(area), rel=1e-9, abs=1e-300)


# ---- the longest tc and the longest recession ------------------------------------------------

def test_astronomical_tc_raises_value_error_without_abort():
    # Run in a child so that an abort would fail this test, not the session.
    code = (
        "import pelmora\n"
        "from datetime import timedelta\n"
        "ITS = pelmora.utils.IncrementalTimeSeries\n"
        "clark = pelmora.rainfall_transform.run_clark_uh\n"
        "cases = [([1.0], 1, timedelta(days=999999999)),\n"
        "         ([1.0, 0.0], 60, timedelta(days=999999999)),\n"
        "         ([], 1, timedelta.max),\n"
        "         ([0.5], 3600, timedelta.max),\n"
        "         ([0.5], 1, timedelta(days=365 * 1000))]\n"
        "for data, step, tc in cases:\n"
        "    try:\n"
        "        clark(ITS(data, timedelta(seconds=step), 'rainfall'), 640.0, tc, timedelta(hours=2))\n"
        "    except ValueError as e:\n"
        "        print(type(e).__name__, '|', e)\n"
        "    else:\n"
        "        print('no error')\n"
    )
    env = child_env()
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert len(lines) == 5, proc.stdout
    for line in lines:
        kind, _, text = line.partition(" | ")
        assert kind == "ValueError", line
        assert text.startswith("tc is too long for the time step: "), line
        assert text.endswith(" unit hydrograph ordinates cannot be allocated"), line
    assert proc.stderr == ""


def test_astronomical_tc_in_process():
    with pytest.raises(ValueError) as excinfo:
        clark(rain([1.0], timedelta(seconds=60)), 640.0, timedelta(days=999999999), TWO_H)
    assert type(excinfo.value) is ValueError
    assert message(excinfo) == ("tc is too long for the time step: 1439999998560 unit hydrograph "
                                "ordinates cannot be allocated")
    # Zero rainfall does not make it cheaper to refuse.
    with pytest.raises(ValueError):
        clark(rain([0.0], timedelta(seconds=1)), 640.0, timedelta.max, TWO_H)


def test_astronomical_tc_with_long_rainfall():
    # Long enough for the computation to run detached: the error still comes back.
    r = rain([0.1] * 20000, timedelta(seconds=1))
    for _ in range(3):
        with pytest.raises(ValueError) as excinfo:
            clark(r, 640.0, timedelta.max, TWO_H)
        assert message(excinfo).startswith("tc is too long")


@pytest.mark.parametrize("step, storage_r, text", [
    # Drains over some 10^12 steps; C2 rounds to 1 at timedelta.max.
    (timedelta(seconds=1), timedelta(days=10**5), "storage_r is too long for the time step: "),
    (timedelta(seconds=1), timedelta.max, "storage_r is too long for the time step: 2393061170017284 "),
    # C2 within 1e-9 of -1: the reservoir's sign flips for billions of steps.
    (HOUR, timedelta(microseconds=1), "storage_r is too short for the time step: "),
])
def test_endless_recession_is_refused(step, storage_r, text):
    with pytest.raises(ValueError) as excinfo:
        clark(rain([1.0], step), 640.0, THREE_H, storage_r)
    assert message(excinfo).startswith(text)
    assert message(excinfo).endswith(" unit hydrograph ordinates cannot be allocated")


def test_long_but_allocatable_tc():
    out = clark(rain([1.0, 0.0, 2.0], timedelta(seconds=1)), 640.0, timedelta(days=2), TWO_H).data
    assert len(out) > 3 + 2 * 86400 - 1
    assert out[0] == 0.0
    assert all(math.isfinite(v) and v >= 0.0 for v in out)
    assert sum(out) == pytest.approx(3.0 * inch(640.0), rel=1e-9)


EXHAUST = r"""
import resource, sys
from datetime import timedelta
import pelmora
ITS = pelmora.utils.IncrementalTimeSeries
clark = pelmora.rainfall_transform.run_clark_uh
small = ITS([1.0], timedelta(seconds=1), "rainfall")
many = ITS([0.1] * 4_000_000, timedelta(seconds=60), "rainfall")
def size():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024
cases = [(small, timedelta(days=1000)),  # 86.4 M ordinates, well inside the limit
         (many, timedelta(hours=30))]    # 4 M outputs
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (size() + 16 * 2**20, hard))
for series, tc in cases:
    try:
        clark(series, 640.0, tc, timedelta(hours=2))
    except BaseException as e:
        print(type(e).__name__)
    else:
        print("no error")
"""


def test_exhausted_allocator_gives_memory_error():
    # 16 MiB of address space left: the translation or the result cannot be
    # allocated. That is a MemoryError, not a tc the library refuses.
    if sys.platform != "linux":
        pytest.skip("needs /proc and RLIMIT_AS")
    if "san" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("sanitizers reserve terabytes of address space")
    proc = subprocess.run([sys.executable, "-c", EXHAUST], capture_output=True, text=True, env=child_env(),
                          timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["MemoryError", "MemoryError"], proc.stdout + proc.stderr


# ---- the chain: loss model -> excess -> Clark -> reach ----------------------------------------

def test_chain_loss_to_clark():
    gross = [0.0, 0.3, 0.9, 1.4, 0.6, 0.2, 0.0, 0.0]
    step = timedelta(minutes=30)
    loss = loss_model(rain(gross, step), 0.5, 1.2, 0.15, timedelta(hours=24))
    excess = loss.excess
    assert type(excess) is ITS
    assert excess.kind == "rainfall"
    assert excess.time_step == step
    hydrograph = clark(excess, 1280.0, timedelta(hours=2), timedelta(hours=1, minutes=30))
    assert type(hydrograph) is CTS
    assert hydrograph.kind == "discharge"
    assert hydrograph.time_step == step
    assert len(hydrograph.data) > len(gross) + 4  # the recession follows the translation
    assert matches_reference(hydrograph.data, excess.data, step, 1280.0, timedelta(hours=2),
                             timedelta(hours=1, minutes=30))
    assert sum(hydrograph.data) * 1800.0 == pytest.approx(sum(excess.data) * inch(1280.0), rel=1e-9)
    assert max(hydrograph.data) > 0.0
    # The same excess given as a fresh series gives the same hydrograph.
    again = clark(ITS(excess.data, step, "rainfall"), 1280.0, timedelta(hours=2), timedelta(hours=1, minutes=30))
    assert again.data == hydrograph.data
    # And the discharge routes on through a reach.
    routed = route(hydrograph, timedelta(hours=1), 0.2, 2, hydrograph.data[0])
    assert len(routed.data) == len(hydrograph.data)
    assert routed.time_step == step


def test_chain_worked_example_numbers():
    # Gross rain that the loss model turns into exactly the Clark worked example:
    # no constant loss, no deficit, so excess = gross.
    loss = loss_model(rain([0.5, 0.0, 0.25]), 0.0, 0.0, 0.0, timedelta(0))
    assert loss.excess.data == [0.5, 0.0, 0.25]
    out = clark(loss.excess, 640.0, THREE_H, TWO_H)
    assert [truncated(v) for v in out.data[:6]] == [0.0, 17.56, 57.50, 90.25, 95.20, 80.60]


# ---- input forms and caller objects ------------------------------------------------------

DATA = [0.5, 0.0, 0.25, 0.1]


@pytest.mark.parametrize(
    "data",
    [tuple(DATA), with_numpy(lambda np: np.array(DATA)), with_numpy(lambda np: np.array(DATA, dtype=np.float32)), range(3)],
    ids=["tuple", "float64", "float32", "range"],
)
def test_numpy_and_tuple_data(data):
    expected = clark(rain([float(v) for v in data]), 640.0, THREE_H, TWO_H).data
    assert clark(rain(data), 640.0, THREE_H, TWO_H).data == expected


def test_number_forms_as_arguments(np):
    expected = clark(rain(DATA), 640.0, THREE_H, TWO_H).data
    assert clark(rain(DATA), np.float64(640.0), THREE_H, TWO_H).data == expected
    assert clark(rain(DATA), 640, THREE_H, TWO_H).data == expected
    assert clark(rain(DATA), np.int32(640), THREE_H, TWO_H).data == expected


def test_keyword_arguments():
    r = rain(DATA)
    out = clark(storage_r=TWO_H, tc=THREE_H, basin_area=640.0, rainfall=r)
    assert out.data == clark(r, 640.0, THREE_H, TWO_H).data


def test_subclasses_accepted():
    class Rain(ITS):
        pass

    class Delta(timedelta):
        pass

    out = clark(Rain(DATA, HOUR, "rainfall"), 640.0, Delta(hours=3), Delta(hours=2))
    assert type(out) is CTS
    assert out.data == clark(rain(DATA), 640.0, THREE_H, TWO_H).data


def test_caller_objects_unchanged(np):
    source = list(DATA)
    array = np.array(DATA)
    for data in (source, array):
        r = ITS(data, timedelta(minutes=30), "volume")
        tc, sr = timedelta(hours=3), timedelta(hours=2)
        out = clark(r, 640.0, tc, sr)
        assert out is not r
        assert r.data == DATA
        assert r.kind == "volume"
        assert r.time_step == timedelta(minutes=30)
        assert (tc, sr) == (timedelta(hours=3), timedelta(hours=2))
    assert source == DATA
    assert array.tolist() == DATA


def test_each_call_returns_a_new_series():
    r = rain(DATA)
    a = clark(r, 640.0, THREE_H, TWO_H)
    b = clark(r, 640.0, THREE_H, TWO_H)
    assert a is not b
    assert a.data == b.data


def test_concurrent_calls_agree():
    r = rain(DATA * 100)
    expected = clark(r, 640.0, THREE_H, TWO_H).data
    results = []
    lock = threading.Lock()

    def work():
        for _ in range(30):
            out = clark(r, 640.0, THREE_H, TWO_H).data
            with lock:
                results.append(out == expected)

    threads = [threading.Thread(target=work) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 240 and all(results)


# ---- failures ---------------------------------------------------------------------------

@pytest.mark.parametrize(
    "tc, storage_r",
    [(timedelta(hours=-1), TWO_H), (THREE_H, timedelta(hours=-2)),
     (timedelta(microseconds=-1), TWO_H), (THREE_H, timedelta.min),
     (timedelta(hours=-1), timedelta(hours=-1))],
)
def test_negative_durations(tc, storage_r):
    with pytest.raises(ValueError) as excinfo:
        clark(rain(DATA), 640.0, tc, storage_r)
    assert type(excinfo.value) is ValueError
    assert message(excinfo) == NEGATIVE


def test_negative_durations_checked_even_when_nothing_is_computed():
    # A zero tc skips the transform, but storage_r is still converted first.
    with pytest.raises(ValueError) as excinfo:
        clark(rain([]), 640.0, timedelta(0), timedelta(seconds=-5))
    assert message(excinfo) == NEGATIVE


def test_negative_tc_comes_after_all_conversions():
    with pytest.raises(TypeError) as excinfo:
        clark(rain(DATA), 640.0, timedelta(hours=-1), 7200)
    assert message(excinfo) == "argument 'storage_r': 'int' object is not an instance of 'timedelta'"


def test_negative_tc_comes_before_too_long_storage():
    # tc converted first: its error, even if storage_r is fine and huge.
    with pytest.raises(ValueError) as excinfo:
        clark(rain(DATA), 640.0, timedelta(hours=-1), timedelta.max)
    assert message(excinfo) == NEGATIVE


@pytest.mark.parametrize(
    "args, name, text",
    [
        ((CTS(DATA, HOUR, "rainfall"), 640.0, THREE_H, TWO_H), "rainfall",
         "'ContinuousTimeSeries' object is not an instance of 'IncrementalTimeSeries'"),
        ((DATA, 640.0, THREE_H, TWO_H), "rainfall",
         "'list' object is not an instance of 'IncrementalTimeSeries'"),
        ((None, 640.0, THREE_H, TWO_H), "rainfall",
         "'None' is not an instance of 'IncrementalTimeSeries'"),
        ((rain(DATA), 640.0, 10800.0, TWO_H), "tc",
         "'float' object is not an instance of 'timedelta'"),
        ((rain(DATA), 640.0, None, TWO_H), "tc",
         "'None' is not an instance of 'timedelta'"),
        ((rain(DATA), 640.0, THREE_H, 7200), "storage_r",
         "'int' object is not an instance of 'timedelta'"),
        ((rain(DATA), 640.0, THREE_H, "2h"), "storage_r",
         "'str' object is not an instance of 'timedelta'"),
    ],
)
def test_cast_errors_name_the_argument(args, name, text):
    with pytest.raises(TypeError) as excinfo:
        clark(*args)
    assert type(excinfo.value) is TypeError
    assert message(excinfo) == f"argument '{name}': {text}"


@pytest.mark.parametrize("area, shown", [
    (-5.0, "-5"), (-5, "-5"), (-0.5, "-0.5"), (-2.5e-7, "-0.00000025"), (math.nan, "NaN"),
    (-math.inf, "-inf"), (-1e20, "-100000000000000000000"),
])
def test_negative_or_nan_basin_area_refused(area, shown):
    with pytest.raises(ValueError) as excinfo:
        clark(rain(DATA), area, THREE_H, TWO_H)
    assert type(excinfo.value) is ValueError
    assert message(excinfo) == f"basin_area must be a non-negative number of acres, not {shown}"


def test_basin_area_refused_after_conversion_before_any_work():
    text = "basin_area must be a non-negative number of acres, not -640"
    # Every argument is converted first ...
    with pytest.raises(TypeError) as excinfo:
        clark(rain(DATA), -640.0, THREE_H, 7200)
    assert message(excinfo).startswith("argument 'storage_r': ")
    # ... then the area is checked, before the durations' values and before
    # anything is built.
    for tc, r in [(timedelta(hours=-1), TWO_H), (timedelta.max, TWO_H), (THREE_H, timedelta(seconds=-1))]:
        with pytest.raises(ValueError) as excinfo:
            clark(rain(DATA), -640.0, tc, r)
        assert message(excinfo) == text


@pytest.mark.parametrize("area", [0.0, -0.0])
def test_zero_basin_area_gives_zero_flow(area):
    out = clark(rain(DATA), area, THREE_H, TWO_H).data
    assert len(out) >= len(DATA) + 3 and all(v == 0.0 for v in out)


@pytest.mark.parametrize("bad", ["640", None, [640.0]])
def test_basin_area_errors_name_the_argument(bad):
    with pytest.raises(TypeError) as excinfo:
        clark(rain(DATA), bad, THREE_H, TWO_H)
    assert type(excinfo.value) is TypeError
    assert message(excinfo).startswith("argument 'basin_area': ")


def test_first_failing_conversion_wins():
    with pytest.raises(TypeError) as excinfo:
        clark(CTS(DATA, HOUR, "rainfall"), "a", 1, 2)
    assert message(excinfo).startswith("argument 'rainfall': ")
    with pytest.raises(TypeError) as excinfo:
        clark(rain(DATA), "a", 1, 2)
    assert message(excinfo).startswith("argument 'basin_area': ")
    with pytest.raises(TypeError) as excinfo:
        clark(rain(DATA), 1.0, 1, 2)
    assert message(excinfo).startswith("argument 'tc': ")


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: clark(rain(DATA), 640.0, THREE_H),
         "run_clark_uh() missing 1 required positional argument: 'storage_r'"),
        (lambda: clark(),
         "run_clark_uh() missing 4 required positional arguments: "
         "'rainfall', 'basin_area', 'tc', and 'storage_r'"),
        (lambda: clark(rain(DATA), storage_r=TWO_H),
         "run_clark_uh() missing 2 required positional arguments: 'basin_area' and 'tc'"),
        (lambda: clark(rain(DATA), 640.0, THREE_H, TWO_H, TWO_H),
         "run_clark_uh() takes 4 positional arguments but 5 were given"),
        (lambda: clark(rain(DATA), 640.0, THREE_H, TWO_H, area=1.0),
         "run_clark_uh() got an unexpected keyword argument 'area'"),
        (lambda: clark(rain(DATA), 640.0, THREE_H, TWO_H, tc=THREE_H),
         "run_clark_uh() got multiple values for argument 'tc'"),
    ],
)
def test_matching_errors(call, text):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert message(excinfo) == text


# ---- documentation ---------------------------------------------------------------------------

DOC = (
    "Transforms excess rainfall into a runoff hydrograph using the Clark unit hydrograph.\n"
    "\n"
    "The excess is translated through the HEC dimensionless time-area curve\n"
    "scaled by `tc`, then attenuated by a linear reservoir of storage\n"
    "coefficient `storage_r` that starts from rest. The reservoir is drained\n"
    "until what it still has to release is negligible, so the hydrograph\n"
    "carries all of the excess.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "rainfall : IncrementalTimeSeries\n"
    "    Excess rainfall, inches per time step (the ``excess`` of\n"
    "    ``run_deficit_and_constant`` fits unchanged). Its kind is not examined.\n"
    "basin_area : float\n"
    "    Drainage area, acres.\n"
    "tc : datetime.timedelta\n"
    "    Time of concentration. It scales the time-area curve and sets the\n"
    "    number of translation ordinates, n = ceil(tc / time step).\n"
    "storage_r : datetime.timedelta\n"
    "    Storage coefficient R of the linear reservoir. It controls the\n"
    "    attenuation and the length of the recession.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "ContinuousTimeSeries\n"
    "    Discharge, cfs (kind \"discharge\"), at the time step of `rainfall`.\n"
    "    For N rainfall values and a unit hydrograph of m ordinates it holds\n"
    "    N + m - 1 values; value i is the flow at i * time step from the start\n"
    "    of the first rainfall interval. The unit hydrograph has m >= n + 1\n"
    "    ordinates: a zero at the start, the n routed translation ordinates,\n"
    "    then the recession. A zero `tc` gives N zeros.\n"
    "\n"
    "Raises\n"
    "------\n"
    "TypeError\n"
    "    If `rainfall` is not an IncrementalTimeSeries, `basin_area` is not a\n"
    "    number, or `tc` or `storage_r` is not a datetime.timedelta.\n"
    "ValueError\n"
    "    If `basin_area` is negative or NaN, if `tc` or `storage_r` is\n"
    "    negative, or if the unit hydrograph would need more than 2**28\n"
    "    ordinates (`tc` or `storage_r` far too long for the time step, or\n"
    "    `storage_r` far too short).\n"
    "MemoryError\n"
    "    If the unit hydrograph or the result cannot be allocated.\n"
    "\n"
    "Notes\n"
    "-----\n"
    "The recession stops at the first ordinate after which the volume still\n"
    "to come is at most 1e-12 of one inch over the basin, so the sum of the\n"
    "result times the time step (cubic feet) equals the excess volume,\n"
    "excess inches x basin_area x 1.00833 x 3600, to 1e-12 plus rounding."
)


def test_documentation():
    assert clark.__name__ == "run_clark_uh"
    assert clark.__text_signature__ == "(rainfall, basin_area, tc, storage_r)"
    assert clark.__doc__ == DOC
    parameters = inspect.signature(clark).parameters
    assert list(parameters) == ["rainfall", "basin_area", "tc", "storage_r"]
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in parameters.values())
    assert pelmora.rainfall_transform.__all__ == ["run_clark_uh"]
    # numpydoc: every parameter documented with its Python type, and sections
    # in order.
    for line in ("rainfall : IncrementalTimeSeries", "basin_area : float", "tc : datetime.timedelta",
                 "storage_r : datetime.timedelta"):
        assert "\n" + line + "\n" in clark.__doc__
    heads = [DOC.index(h + "\n" + "-" * len(h) + "\n") for h in ("Parameters", "Returns", "Raises", "Notes")]
    assert heads == sorted(heads)
    assert "# Arguments" not in DOC and "PyValueError" not in DOC


# ---- reference hygiene --------------------------------------------------------------------------

def test_no_growth_over_good_and_bad_calls():
    r = rain(DATA)
    one = rain([1.0], timedelta(seconds=1))

    def calls():
        clark(r, 640.0, THREE_H, TWO_H)
        with pytest.raises(ValueError):
            clark(r, 640.0, timedelta(hours=-1), TWO_H)
        with pytest.raises(ValueError):
            clark(one, 640.0, timedelta.max, TWO_H)
        with pytest.raises(TypeError):
            clark(r, 640.0, THREE_H, 1.0)

    assert allocated_growth(calls, calls=500) < 50
