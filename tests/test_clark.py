"""Clark unit hydrograph: run_clark_uh, and the chain from the
loss model into it."""

import inspect
import math
import subprocess
import sys
import threading
from datetime import timedelta

import pytest
from conftest import HOUR, allocated_growth, child_env, message, with_numpy
from hypothesis import given, settings
from hypothesis import strategies as st

import pelmora

CTS = pelmora.utils.ContinuousTimeSeries
ITS = pelmora.utils.IncrementalTimeSeries
clark = pelmora.rainfall_transform.run_clark_uh
loss_model = pelmora.rainfall_loss.run_deficit_and_constant
route = pelmora.reach.run_muskingum_routing

NEGATIVE = "cannot convert a negative timedelta to a duration"


# ---- reference -----------------------------------------------------------------
# The transform written out in Python: time-area translation, the Muskingum pass with
# x = 0 and initial outflow 0, and the convolution that skips zero rainfall.

def seconds(td):
    return float(td.days * 86400 + td.seconds) + (td.microseconds * 1000) / 1000000000.0


def time_area(t):
    if t < 0.5:
        return math.pow(t, 1.5) * 1.414
    return math.pow(1.0 - t, 1.5) * (-1.414) + 1.0


def ref_ordinates(dt, area, tc):
    n = math.ceil(tc / dt)
    q, a_prev = [], 0.0
    for i in range(1, n + 1):
        t = min((float(i) * dt) / tc, 1.0)
        a = time_area(t)
        q.append((a - a_prev) * area * 1.00833 / (dt / 3600.0))
        a_prev = a
    return q


def ref_reservoir(q, dt, r):
    u = [0.0]
    if len(q) == 1:
        return u
    t = r + r
    a = (1.0 - 0.0) * t
    d = dt + a
    b = t * 0.0
    c0, c1, c2 = (dt - b) / d, (b + dt) / d, (a - dt) / d
    for i in range(1, len(q)):
        u.append(c2 * u[i - 1] + (c0 * q[i] + c1 * q[i - 1]))
    return u


def ref_clark(rain, dt, area, tc_td, r_td):
    tc, r = seconds(tc_td), seconds(r_td)
    if not (dt > 0 and tc > 0.0):
        return [0.0] * len(rain)
    u = ref_reservoir(ref_ordinates(dt, area, tc), dt, r)
    out = [0.0] * (len(rain) + len(u) - 1)
    for i, p in enumerate(rain):
        if p == 0.0:
            continue
        for j, uj in enumerate(u):
            out[i + j] = uj * p + out[i + j]
    return out


def close(a, b, rel=1e-12):
    """Equal up to the last bits of pow, NaN equal to NaN."""
    return len(a) == len(b) and all(
        (math.isnan(p) and math.isnan(q)) or p == pytest.approx(q, rel=rel, abs=1e-9)
        for p, q in zip(a, b)
    )


def rain(data, step=HOUR, kind="rainfall"):
    return ITS(data, step, kind)


THREE_H = timedelta(hours=3)
TWO_H = timedelta(hours=2)


# ---- worked examples ----------------------------------------------------------------

def test_worked_example_single_inch():
    out = clark(rain([1.0]), 640.0, THREE_H, TWO_H)
    assert type(out) is CTS
    assert [round(v, 5) for v in out.data] == [0.0, 93.94416, 150.31066]
    assert out.data[0] == 0.0


def test_worked_example_internals():
    # The reference reproduces the documented q and u, so it can stand for the
    # library elsewhere.
    q = ref_ordinates(3600.0, 640.0, 10800.0)
    assert [round(v, 5) for v in q] == [175.61038, 294.11043, 175.61038]
    u = ref_reservoir(q, 3600.0, 7200.0)
    assert [round(v, 5) for v in u] == [0.0, 93.94416, 150.31066]
    assert close(clark(rain([1.0]), 640.0, THREE_H, TWO_H).data, u, rel=1e-14)


def test_worked_example_three_values():
    out = clark(rain([0.5, 0.0, 0.25]), 640.0, THREE_H, TWO_H)
    assert len(out.data) == 5
    assert [round(v, 5) for v in out.data] == [0.0, 46.97208, 75.15533, 23.48604, 37.57767]


def test_ordinates_carry_one_inch():
    # With R = dt/2 the reservoir averages two ordinates (C0 = C1 = 1/2, C2 = 0),
    # so the translation ordinates show through.
    area, dt = 1000.0, 3600.0
    out = clark(rain([1.0]), area, timedelta(hours=4), timedelta(minutes=30)).data
    scale = area * 1.00833 / (dt / 3600.0)
    q = ref_ordinates(dt, area, 4 * 3600.0)
    assert sum(q) == pytest.approx(scale, rel=1e-14)
    assert out == pytest.approx([0.0] + [(q[i] + q[i - 1]) / 2 for i in range(1, 4)], rel=1e-14)
    # At exactly T = 0.5 the upper branch applies: A(0.5) = 1 - 1.414 * 0.5**1.5
    # (0.50007), not the lower branch's 1.414 * 0.5**1.5 (0.49993).
    a_half = 1.0 - 1.414 * 0.5**1.5
    assert 2 * out[1] / scale == pytest.approx(a_half, rel=1e-14)
    assert 2 * out[1] / scale != pytest.approx(1.414 * 0.5**1.5, rel=1e-6)
    # The curve's last step reaches A = 1 exactly: the last two ordinates hold 1 - A(0.5).
    assert 2 * out[3] / scale == pytest.approx(1.0 - a_half, rel=1e-14)


# ---- degenerate and unusual durations ------------------------------------------------------

@pytest.mark.parametrize("tc", [timedelta(minutes=30), HOUR, timedelta(seconds=1)])
def test_tc_within_one_step_gives_zeros(tc):
    out = clark(rain([1.0, 2.0, 0.5]), 640.0, tc, TWO_H)
    assert out.data == [0.0, 0.0, 0.0]
    assert out.kind == "discharge"


def test_tc_just_over_one_step_gives_two_ordinates():
    out = clark(rain([1.0]), 640.0, timedelta(hours=1, microseconds=1), TWO_H).data
    assert len(out) == 2
    assert out[1] > 0.0


@pytest.mark.parametrize("storage_r", [timedelta(0), TWO_H, timedelta(days=30)])
def test_zero_tc_gives_zeros(storage_r):
    out = clark(rain([1.0, 2.0, math.nan, 0.5]), 640.0, timedelta(0), storage_r)
    assert out.data == [0.0, 0.0, 0.0, 0.0]


def test_empty_rainfall():
    out = clark(rain([], timedelta(minutes=20)), 640.0, THREE_H, TWO_H)
    assert out.data == [0.0] * 8  # n = 9 ordinates of 20 minutes
    assert out.time_step == timedelta(minutes=20)
    out = clark(rain([]), 640.0, THREE_H, TWO_H)
    assert out.data == [0.0, 0.0]
    out = clark(rain([]), 640.0, timedelta(0), TWO_H)
    assert out.data == []
    assert out.kind == "discharge"


def test_zero_storage_r():
    # C0 = C1 = 1, C2 = -1: u[t] = q[t] + q[t-1] - u[t-1].
    data = [1.0, 0.5]
    out = clark(rain(data), 640.0, timedelta(hours=5), timedelta(0)).data
    q = ref_ordinates(3600.0, 640.0, 5 * 3600.0)
    u = [0.0]
    for t in range(1, len(q)):
        u.append(q[t] + q[t - 1] - u[t - 1])
    assert close(out, [u[0]] + [u[j] + 0.5 * u[j - 1] for j in range(1, len(u))] + [0.5 * u[-1]])


def test_short_storage_r_gives_negative_c2():
    # 2R < dt: C2 < 0, oscillating but not refused.
    data = [1.0]
    r = timedelta(minutes=10)
    out = clark(rain(data), 640.0, timedelta(hours=6), r).data
    assert close(out, ref_clark(data, 3600.0, 640.0, timedelta(hours=6), r))


def test_tc_keeps_fraction_of_second():
    step = timedelta(seconds=1)
    tc = timedelta(seconds=1, microseconds=500000)
    out = clark(rain([1.0], step), 10.0, tc, timedelta(seconds=3)).data
    assert len(out) == 2  # n = ceil(1.5) = 2, not 1
    assert close(out, ref_clark([1.0], 1.0, 10.0, tc, timedelta(seconds=3)), rel=1e-14)
    # Tc = 2.5 gives three ordinates split differently from Tc = 3.
    tc = timedelta(seconds=2, microseconds=500000)
    out = clark(rain([1.0], step), 10.0, tc, timedelta(seconds=3)).data
    assert close(out, ref_clark([1.0], 1.0, 10.0, tc, timedelta(seconds=3)), rel=1e-14)
    three = clark(rain([1.0], step), 10.0, timedelta(seconds=3), timedelta(seconds=3)).data
    assert len(out) == len(three) == 3
    assert out[2] != pytest.approx(three[2], rel=1e-6)


def test_storage_r_keeps_fraction_of_second():
    step = timedelta(seconds=1)
    r = timedelta(seconds=2, microseconds=250000)
    out = clark(rain([1.0], step), 10.0, timedelta(seconds=4), r).data
    assert close(out, ref_clark([1.0], 1.0, 10.0, timedelta(seconds=4), r), rel=1e-14)


def test_negative_basin_area_gives_negated_flows():
    pos = clark(rain([0.5, 0.0, 0.25]), 640.0, THREE_H, TWO_H).data
    neg = clark(rain([0.5, 0.0, 0.25]), -640.0, THREE_H, TWO_H).data
    assert neg == [-v for v in pos]


def test_zero_rainfall_is_skipped():
    # With an infinite area u = [0, inf, inf]; 0 * inf would be NaN, so zeros
    # of either sign must be skipped.
    out = clark(rain([0.0, -0.0, 0.0]), math.inf, THREE_H, TWO_H).data
    assert out == [0.0] * 5
    assert all(math.copysign(1.0, v) == 1.0 for v in out)


def test_nan_rainfall_spreads_over_its_ordinates():
    out = clark(rain([1.0, 0.0, math.nan, 0.0, 0.0, 0.0]), 640.0, THREE_H, TWO_H).data
    assert len(out) == 8
    assert [math.isnan(v) for v in out] == [False, False, True, True, True, False, False, False]
    assert close(out, ref_clark([1.0, 0.0, math.nan, 0.0, 0.0, 0.0], 3600.0, 640.0, THREE_H, TWO_H))


def test_negative_rainfall_is_not_skipped():
    out = clark(rain([-1.0]), 640.0, THREE_H, TWO_H).data
    assert [round(v, 5) for v in out] == [0.0, -93.94416, -150.31066]


@pytest.mark.parametrize("kind", ["discharge", "rainfall", "elevation", "volume"])
def test_any_kind_gives_discharge(kind):
    step = timedelta(minutes=15)
    out = clark(ITS([0.1, 0.3, 0.0, 0.2], step, kind), 250.0, HOUR, timedelta(minutes=45))
    assert type(out) is CTS
    assert out.kind == "discharge"
    assert out.time_step == step
    assert len(out.data) == 4 + 4 - 1
    assert close(out.data, ref_clark([0.1, 0.3, 0.0, 0.2], 900.0, 250.0, HOUR, timedelta(minutes=45)))


def test_daily_step():
    out = clark(rain([1.0, 2.0], timedelta(days=1)), 5000.0, timedelta(days=3), timedelta(days=2))
    assert out.time_step == timedelta(days=1)
    assert close(out.data, ref_clark([1.0, 2.0], 86400.0, 5000.0, timedelta(days=3), timedelta(days=2)))


def test_large_series_matches_reference(np):
    # Enough values for the computation to run detached from the interpreter.
    rng = np.random.default_rng(11)
    data = list(np.where(rng.uniform(size=20000) < 0.6, 0.0, rng.uniform(0.0, 0.3, 20000)))
    out = clark(rain(data, timedelta(minutes=5)), 800.0, timedelta(minutes=25), timedelta(minutes=40)).data
    assert len(out) == 20000 + 5 - 1
    assert close(out, ref_clark(data, 300.0, 800.0, timedelta(minutes=25), timedelta(minutes=40)))


@settings(max_examples=150, deadline=None)
@given(
    data=st.lists(st.floats(-1.0, 5.0), max_size=25),
    step=st.sampled_from([1, 60, 300, 900, 3600, 86400]),
    area=st.floats(-1e5, 1e5),
    tc_us=st.integers(0, 40 * 3600 * 10**6),
    r_us=st.integers(0, 40 * 3600 * 10**6),
)
def test_property_matches_reference(data, step, area, tc_us, r_us):
    tc = timedelta(microseconds=tc_us)
    if step == 1:
        tc = timedelta(microseconds=tc_us // 3600)  # keep n small
    r = timedelta(microseconds=r_us)
    out = clark(rain(data, timedelta(seconds=step)), area, tc, r)
    expected = ref_clark(data, float(step), area, tc, r)
    assert len(out.data) == len(expected)
    assert close(out.data, expected, rel=1e-9)


# ---- the longest tc ----------------------------------------------------------------------

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
        assert "tc" in text, line
    assert proc.stderr == ""


def test_astronomical_tc_in_process():
    with pytest.raises(ValueError) as excinfo:
        clark(rain([1.0], timedelta(seconds=60)), 640.0, timedelta(days=999999999), TWO_H)
    assert type(excinfo.value) is ValueError
    assert "tc" in message(excinfo)
    # Zero rainfall does not make it cheaper to refuse.
    with pytest.raises(ValueError):
        clark(rain([0.0], timedelta(seconds=1)), 640.0, timedelta.max, TWO_H)


def test_astronomical_tc_with_long_rainfall():
    # Long enough for the computation to run detached: the error still comes back.
    r = rain([0.1] * 20000, timedelta(seconds=1))
    for _ in range(3):
        with pytest.raises(ValueError) as excinfo:
            clark(r, 640.0, timedelta.max, TWO_H)
        assert "tc" in message(excinfo)


def test_long_but_allocatable_tc():
    out = clark(rain([1.0, 0.0, 2.0], timedelta(seconds=1)), 640.0, timedelta(days=2), TWO_H).data
    assert len(out) == 3 + 2 * 86400 - 1
    assert out[0] == 0.0
    assert all(math.isfinite(v) and v >= 0.0 for v in out)


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
    assert len(hydrograph.data) == len(gross) + 4 - 1
    assert close(hydrograph.data,
                 ref_clark(excess.data, 1800.0, 1280.0, timedelta(hours=2), timedelta(hours=1, minutes=30)))
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
    assert [round(v, 5) for v in out.data] == [0.0, 46.97208, 75.15533, 23.48604, 37.57767]


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
    "Transforms excess rainfall into a runoff hydrograph using the Clark unit hydrograph.\n\n"
    "# Arguments\n\n"
    "* `rainfall` - Excess rainfall series (inches per time step).\n"
    "* `basin_area` - Drainage area in acres.\n"
    "* `tc` - Time of concentration. Controls the duration and shape of the\n"
    "  translation hydrograph.\n"
    "* `storage_r` - Linear reservoir storage coefficient. Controls attenuation.\n\n"
    "# Returns\n\n"
    "A `ContinuousTimeSeries` (kind=discharge, cfs) at the same time step as `rainfall`."
)


def test_documentation():
    assert clark.__name__ == "run_clark_uh"
    assert clark.__text_signature__ == "(rainfall, basin_area, tc, storage_r)"
    assert clark.__doc__ == DOC
    parameters = inspect.signature(clark).parameters
    assert list(parameters) == ["rainfall", "basin_area", "tc", "storage_r"]
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in parameters.values())
    assert pelmora.rainfall_transform.__all__ == ["run_clark_uh"]


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
