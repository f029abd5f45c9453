"""Muskingum reach routing: run_muskingum_routing."""

import inspect
import math
import re
import threading
import warnings
from datetime import timedelta
from fractions import Fraction

import pytest
from conftest import HOUR, allocated_growth, message, with_numpy
from hypothesis import given, settings
from hypothesis import strategies as st

import pelmora

CTS = pelmora.utils.ContinuousTimeSeries
ITS = pelmora.utils.IncrementalTimeSeries
route = pelmora.reach.run_muskingum_routing

WARNING = "`x` is outside the recommended range [0.0, 0.5]."
COEFFICIENTS = "Muskingum coefficients "  # how the warning about negative ones starts
NEGATIVE = "cannot convert a negative timedelta to a duration"
HYDROGRAPH = [10.0, 30.0, 68.0, 50.0, 40.0, 31.0, 23.0, 17.0, 13.0, 10.0]


# ---- reference -----------------------------------------------------------------
# The routing pass written out in Python, in its order of evaluation. Python
# floats are IEEE doubles without fused multiply-add, so it must agree with the
# library to the last bit.

def seconds(td):
    return float(td.days * 86400 + td.seconds) + (td.microseconds * 1000) / 1000000000.0


def ref_pass(inflow, dt, kp, x, initial=None):
    out = [inflow[0] if initial is None else initial]
    if len(inflow) == 1:
        return out
    t = kp + kp
    a = (1.0 - x) * t
    d = dt + a
    b = t * x
    c0 = (dt - b) / d
    c1 = (b + dt) / d
    c2 = (a - dt) / d
    for i in range(1, len(inflow)):
        out.append(c2 * out[i - 1] + (c0 * inflow[i] + c1 * inflow[i - 1]))
    return out


def ref_route(inflow, dt, k, x, sub_reaches, initial):
    kp = seconds(k) / float(sub_reaches)
    out = ref_pass(list(inflow), dt, kp, x, initial)
    for _ in range(sub_reaches - 1):
        out = ref_pass(out, dt, kp, x)
    return out


def same(a, b):
    """Equal to the last bit, NaN equal to NaN."""
    return len(a) == len(b) and all(
        (math.isnan(p) and math.isnan(q)) or p == q for p, q in zip(a, b)
    )


def series(data, step=HOUR, kind="discharge"):
    return CTS(data, step, kind)


def quiet(*args, **kwargs):
    """A call that must raise no warning but the one about negative coefficients:
    many cases here pick such parameters on purpose, to check the arithmetic
    (that warning has tests of its own below)."""
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        warnings.filterwarnings("ignore", message=COEFFICIENTS, category=UserWarning)
        return route(*args, **kwargs)


# ---- results ---------------------------------------------------------------------

def test_coefficients_worked_example():
    # K = 2.3 h, x = 0.15, dt = 1 h: C0 = 0.0631, C1 = 0.3442, C2 = 0.5927 (four
    # decimals). A unit impulse at step 1 exposes them: O1 = C0, O2 = C2*C0 + C1,
    # O3 = C2*O2.
    out = quiet(series([0.0, 1.0, 0.0, 0.0]), timedelta(hours=2.3), 0.15, 1, 0.0).data
    c0 = out[1]
    c2 = out[3] / out[2]
    c1 = out[2] - c2 * c0
    assert round(c0, 4) == 0.0631
    assert round(c1, 4) == 0.3442
    assert round(c2, 4) == 0.5927
    assert c0 + c1 + c2 == pytest.approx(1.0, abs=1e-12)


def test_hydrograph_matches_exact_rational_routing():
    # K = 2 h, x = 0.2, dt = 1 h: C0 = 1/21, C1 = 9/21, C2 = 11/21 (exactly, up to
    # the float 0.2). Rational arithmetic gives the true values.
    x = Fraction(0.2)
    dt, kp = Fraction(3600), Fraction(7200)
    d = dt + 2 * kp * (1 - x)
    c0, c1, c2 = (dt - 2 * kp * x) / d, (dt + 2 * kp * x) / d, (2 * kp * (1 - x) - dt) / d
    expected = [Fraction(HYDROGRAPH[0])]
    for i in range(1, len(HYDROGRAPH)):
        expected.append(c2 * expected[-1] + c0 * Fraction(HYDROGRAPH[i]) + c1 * Fraction(HYDROGRAPH[i - 1]))
    out = quiet(series(HYDROGRAPH), timedelta(hours=2), 0.2, 1, 10.0).data
    assert out == pytest.approx([float(v) for v in expected], rel=1e-13)
    # Attenuated and delayed: a lower, later peak.
    assert max(out) < max(HYDROGRAPH)
    assert out.index(max(out)) > HYDROGRAPH.index(max(HYDROGRAPH))


@pytest.mark.parametrize("sub_reaches", [1, 2, 3, 4, 5, 7, 8, 9, 13])
@pytest.mark.parametrize("x", [0.0, 0.1, 0.25, 0.5])
def test_bit_exact_against_successive_passes(sub_reaches, x):
    k = timedelta(hours=5, minutes=17, seconds=3)
    out = quiet(series(HYDROGRAPH), k, x, sub_reaches, 12.5).data
    assert same(out, ref_route(HYDROGRAPH, 3600.0, k, x, sub_reaches, 12.5))


def test_three_sub_reaches_equal_three_chained_calls():
    inflow = series(HYDROGRAPH)
    whole = quiet(inflow, timedelta(hours=3), 0.2, 3, 10.0).data
    chained = inflow
    for _ in range(3):
        chained = quiet(chained, timedelta(hours=1), 0.2, 1, 10.0)
    assert whole == chained.data


def test_sub_reaches_with_own_initial_outflow_equal_chained_calls():
    inflow = series(HYDROGRAPH, timedelta(minutes=30))
    whole = quiet(inflow, timedelta(hours=3), 0.3, 3, 4.0).data
    chained = inflow
    for _ in range(3):
        chained = quiet(chained, HOUR, 0.3, 1, 4.0)
    assert whole == chained.data
    assert whole[0] == 4.0


@pytest.mark.parametrize("sub_reaches", range(1, 12))
def test_initial_outflow_is_first_value(sub_reaches):
    out = quiet(series(HYDROGRAPH), timedelta(hours=2), 0.25, sub_reaches, -7.25).data
    assert out[0] == -7.25
    assert len(out) == len(HYDROGRAPH)


@pytest.mark.parametrize("sub_reaches", [1, 2, 5])
def test_single_value_inflow_yields_initial_outflow(sub_reaches):
    out = quiet(series([42.0]), HOUR, 0.2, sub_reaches, 3.5)
    assert out.data == [3.5]


def test_zero_k_reproduces_inflow():
    out = quiet(series(HYDROGRAPH), timedelta(0), 0.2, 1, HYDROGRAPH[0]).data
    assert out == pytest.approx(HYDROGRAPH, rel=1e-12)
    assert same(out, ref_route(HYDROGRAPH, 3600.0, timedelta(0), 0.2, 1, HYDROGRAPH[0]))


def test_k_keeps_fraction_of_second():
    k = timedelta(seconds=1, microseconds=500000)
    data = [0.0, 5.0, 3.0, 1.0, 0.0]
    out = quiet(series(data, timedelta(seconds=1)), k, 0.1, 1, 0.0).data
    assert same(out, ref_pass(data, 1.0, 1.5, 0.1, 0.0))
    # Not the same as one or two whole seconds.
    assert out != ref_pass(data, 1.0, 1.0, 0.1, 0.0)
    assert out != ref_pass(data, 1.0, 2.0, 0.1, 0.0)


def test_negative_coefficients_are_used():
    # 2*K*x > dt gives a negative C0: warned about, then used.
    k = timedelta(hours=10)
    with pytest.warns(UserWarning, match=COEFFICIENTS):
        out = route(series(HYDROGRAPH), k, 0.5, 1, 10.0).data
    assert same(out, ref_route(HYDROGRAPH, 3600.0, k, 0.5, 1, 10.0))
    assert out[1] < 10.0


def test_nan_and_inf_values_propagate():
    data = [1.0, math.nan, 2.0, 3.0]
    out = quiet(series(data), HOUR, 0.2, 2, 1.0).data
    assert out[0] == 1.0
    assert all(math.isnan(v) for v in out[1:])
    out = quiet(series([1.0, 2.0]), HOUR, 0.2, 1, math.nan).data
    assert math.isnan(out[0]) and math.isnan(out[1])
    out = quiet(series([0.0, math.inf, 0.0]), HOUR, 0.2, 1, 0.0).data
    assert out[1] == math.inf


@pytest.mark.parametrize("kind", ["discharge", "rainfall", "elevation", "volume"])
def test_result_kind_step_and_length(kind):
    step = timedelta(minutes=15)
    inflow = CTS(HYDROGRAPH, step, kind)
    out = quiet(inflow, HOUR, 0.2, 2, 10.0)
    assert type(out) is CTS
    assert out.kind == "discharge"
    assert out.time_step == step
    assert len(out.data) == len(HYDROGRAPH)
    assert same(out.data, ref_route(HYDROGRAPH, 900.0, HOUR, 0.2, 2, 10.0))


def test_daily_step():
    out = quiet(series(HYDROGRAPH, timedelta(days=1)), timedelta(days=2), 0.1, 1, 10.0)
    assert out.time_step == timedelta(days=1)
    assert same(out.data, ref_route(HYDROGRAPH, 86400.0, timedelta(days=2), 0.1, 1, 10.0))


def test_large_series_matches_reference(np):
    # Enough work for the computation to run detached from the interpreter.
    rng = np.random.default_rng(7)
    data = list(rng.uniform(0.0, 500.0, 20000))
    out = quiet(series(data, timedelta(minutes=5)), timedelta(hours=2), 0.2, 6, 100.0).data
    assert same(out, ref_route(data, 300.0, timedelta(hours=2), 0.2, 6, 100.0))


@settings(max_examples=150, deadline=None)
@given(
    data=st.lists(st.floats(-1e6, 1e6), min_size=1, max_size=40),
    step=st.integers(1, 86400),
    k_us=st.integers(0, 10 * 86400 * 10**6),
    x=st.floats(0.0, 0.5),
    sub_reaches=st.integers(1, 10),
    initial=st.floats(-1e6, 1e6),
)
def test_property_matches_successive_passes(data, step, k_us, x, sub_reaches, initial):
    k = timedelta(microseconds=k_us)
    out = quiet(series(data, timedelta(seconds=step)), k, x, sub_reaches, initial).data
    assert same(out, ref_route(data, float(step), k, x, sub_reaches, initial))


# ---- input forms and caller objects -------------------------------------------------

@pytest.mark.parametrize(
    "data",
    [tuple(HYDROGRAPH), with_numpy(lambda np: np.array(HYDROGRAPH)),
     with_numpy(lambda np: np.array(HYDROGRAPH, dtype=np.float32)),
     with_numpy(lambda np: np.array([int(v) for v in HYDROGRAPH]))],
    ids=["tuple", "float64", "float32", "int64"],
)
def test_numpy_and_tuple_data(data):
    expected = quiet(series([float(v) for v in data]), timedelta(hours=2), 0.2, 3, 10.0).data
    out = quiet(series(data), timedelta(hours=2), 0.2, 3, 10.0).data
    assert out == expected


def test_numpy_scalars_as_arguments(np):
    out = quiet(series(HYDROGRAPH), timedelta(hours=2), np.float64(0.2), np.int64(3), np.float64(10.0))
    assert out.data == quiet(series(HYDROGRAPH), timedelta(hours=2), 0.2, 3, 10.0).data


def test_keyword_arguments():
    inflow = series(HYDROGRAPH)
    out = quiet(initial_outflow=10.0, sub_reaches=2, x=0.2, k=HOUR, inflow=inflow)
    assert out.data == quiet(inflow, HOUR, 0.2, 2, 10.0).data


def test_subclasses_accepted():
    class Series(CTS):
        pass

    class Delta(timedelta):
        pass

    out = quiet(Series(HYDROGRAPH, HOUR, "discharge"), Delta(hours=2), 0.2, 1, 10.0)
    assert type(out) is CTS
    assert out.data == quiet(series(HYDROGRAPH), timedelta(hours=2), 0.2, 1, 10.0).data


def test_caller_objects_unchanged(np):
    values = list(HYDROGRAPH)
    array = np.array(HYDROGRAPH)
    for data in (values, array):
        inflow = CTS(data, timedelta(minutes=20), "elevation")
        k = timedelta(hours=2)
        out = quiet(inflow, k, 0.2, 4, 99.0)
        assert out is not inflow
        assert inflow.data == HYDROGRAPH
        assert inflow.kind == "elevation"
        assert inflow.time_step == timedelta(minutes=20)
        assert k == timedelta(hours=2)
    assert values == HYDROGRAPH
    assert array.tolist() == HYDROGRAPH


def test_each_call_returns_a_new_series():
    inflow = series(HYDROGRAPH)
    a = quiet(inflow, HOUR, 0.2, 1, 10.0)
    b = quiet(inflow, HOUR, 0.2, 1, 10.0)
    assert a is not b
    assert a.data == b.data
    a.data.append(1.0)
    assert len(a.data) == len(HYDROGRAPH)


def test_concurrent_calls_agree():
    inflow = series(HYDROGRAPH * 50)
    expected = route(inflow, timedelta(hours=2), 0.2, 3, 10.0).data
    results = []
    lock = threading.Lock()

    def work():
        for _ in range(50):
            out = route(inflow, timedelta(hours=2), 0.2, 3, 10.0).data
            with lock:
                results.append(out == expected)

    threads = [threading.Thread(target=work) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 400 and all(results)


# ---- the range warning ----------------------------------------------------------------

@pytest.mark.parametrize("x", [0.0, -0.0, 0.5, 0.25, 5e-324, 0.49999999999999994])
def test_no_warning_inside_range(x):
    out = quiet(series(HYDROGRAPH), HOUR, x, 1, 10.0)
    assert same(out.data, ref_route(HYDROGRAPH, 3600.0, HOUR, x, 1, 10.0))


@pytest.mark.parametrize(
    "x", [-0.1, 0.6, math.nan, math.inf, -math.inf, -5e-324, 0.5000000000000001, 1.0, 2.0]
)
def test_warning_outside_range(x):
    inflow = series(HYDROGRAPH)
    with pytest.warns(UserWarning) as record:
        out = route(inflow, timedelta(hours=2), x, 2, 10.0)
    # The range warning comes first; some of these x also make a coefficient
    # negative, which is the one other warning.
    assert len(record) in (1, 2)
    assert all(str(w.message).startswith(COEFFICIENTS) for w in record[1:])
    assert type(record[0].message) is UserWarning
    assert str(record[0].message) == WARNING
    assert record[0].message.args == (WARNING,)
    # The default stack level points at the Python caller.
    assert record[0].filename == __file__
    # Routed all the same, with x unchanged.
    assert type(out) is CTS
    assert same(out.data, ref_route(HYDROGRAPH, 3600.0, timedelta(hours=2), x, 2, 10.0))


def test_warning_exact_text_with_pytest_warns_match():
    with pytest.warns(UserWarning, match=r"^`x` is outside the recommended range \[0\.0, 0\.5\]\.$"):
        route(series(HYDROGRAPH), HOUR, -0.2, 1, 10.0)


def test_one_warning_per_call():
    inflow = series(HYDROGRAPH)
    with warnings.catch_warnings(record=True) as record:
        warnings.simplefilter("always")
        for _ in range(3):
            route(inflow, 3 * HOUR, -0.5, 3, 10.0)
        route(inflow, 3 * HOUR, 0.3, 3, 10.0)
    assert [str(w.message) for w in record] == [WARNING] * 3
    assert all(w.category is UserWarning for w in record)


def test_warning_as_error_raises_and_returns_nothing():
    result = sentinel = object()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning) as excinfo:
            result = route(series(HYDROGRAPH), HOUR, 0.6, 1, 10.0)
    assert type(excinfo.value) is UserWarning
    assert message(excinfo) == WARNING
    assert result is sentinel


def test_warning_as_error_for_nan():
    with warnings.catch_warnings():
        warnings.simplefilter("error", UserWarning)
        with pytest.raises(UserWarning, match="recommended range"):
            route(series(HYDROGRAPH), HOUR, math.nan, 1, 10.0)


def test_warn_called_with_one_positional_argument(monkeypatch):
    calls = []
    monkeypatch.setattr(warnings, "warn", lambda *a, **kw: calls.append((a, kw)))
    out = route(series(HYDROGRAPH), HOUR, 0.9, 1, 10.0)
    # The coefficient warning goes the same way, after the range warning.
    assert calls[:1] == [((WARNING,), {})] and len(calls) == 2
    assert len(calls[1][0]) == 1 and calls[1][0][0].startswith(COEFFICIENTS) and calls[1][1] == {}
    assert same(out.data, ref_route(HYDROGRAPH, 3600.0, HOUR, 0.9, 1, 10.0))
    calls.clear()
    route(series(HYDROGRAPH), HOUR, 0.4, 1, 10.0)
    assert calls == []


def test_exception_from_warn_propagates(monkeypatch):
    class Boom(Exception):
        pass

    def warn(*args, **kwargs):
        raise Boom("from warn")

    monkeypatch.setattr(warnings, "warn", warn)
    with pytest.raises(Boom, match="from warn"):
        route(series(HYDROGRAPH), HOUR, -1.0, 1, 10.0)


# ---- the negative-coefficient warning --------------------------------------------------------

def coefficient_warning(c0, c2, sub_reaches, advice):
    return (f"Muskingum coefficients C0 = {c0} and C2 = {c2} with sub_reaches = {sub_reaches}: "
            f"a negative coefficient can make negative or oscillating outflow. {advice}")


def ref_c0_c2(dt, kp, x):
    """C0 and C2 as the routing pass evaluates them."""
    t = kp + kp
    a = (1.0 - x) * t
    d = dt + a
    b = t * x
    return (dt - b) / d, (a - dt) / d


def warnings_of(*args):
    with warnings.catch_warnings(record=True) as record:
        warnings.simplefilter("always")
        out = route(*args)
    return [str(w.message) for w in record], out


NO_STEP = "No sub_reaches keeps both non-negative at this time step; the time step must change."


@pytest.mark.parametrize(
    "k, x, sub_reaches, step, c0, c2, advice",
    [
        # k 6 h, x 0.4, one reach, 1-h step: C0 < 0, outflow below zero.
        (timedelta(hours=6), 0.4, 1, HOUR, "-0.4634146341463415", "0.7560975609756098",
         "sub_reaches from 5 to 7 keeps both non-negative."),
        (timedelta(hours=6), 0.4, 8, HOUR, "0.21052631578947367", "-0.05263157894736842",
         "sub_reaches from 5 to 7 keeps both non-negative."),
        (timedelta(hours=6), 0.45, 3, HOUR, "-0.25", "0.37500000000000006",
         "sub_reaches = 6 keeps both non-negative."),
        # x = 0: the lower bound ceil(0) = 0 is not a count; 1 is.
        (HOUR, 0.0, 3, HOUR, "0.6", "-0.2", "sub_reaches from 1 to 2 keeps both non-negative."),
        # ceil(2.16) = 3 > floor(2.64) = 2 at a 1-h step; a 2.4-h step would do.
        (timedelta(hours=2.4), 0.45, 1, HOUR, "-0.31868131868131866", "0.45054945054945056", NO_STEP),
        # Nothing helps a zero k or an x above 0.5 (after its own warning).
        (timedelta(0), 0.2, 1, HOUR, "1", "-1",
         "No sub_reaches and no time step keeps both non-negative: k must be positive and x at most 0.5."),
    ],
)
def test_negative_coefficient_warning(k, x, sub_reaches, step, c0, c2, advice):
    inflow = series(HYDROGRAPH, step)
    texts, out = warnings_of(inflow, k, x, sub_reaches, 10.0)
    assert texts == [coefficient_warning(c0, c2, sub_reaches, advice)]
    # The numbers named are the pass's own coefficients.
    assert (float(c0), float(c2)) == ref_c0_c2(seconds(step), seconds(k) / sub_reaches, x)
    # Routed all the same.
    assert same(out.data, ref_route(HYDROGRAPH, seconds(step), k, x, sub_reaches, 10.0))


def test_flood_dips_below_zero_with_a_warning_and_not_within_the_range():
    inflow = series([100.0, 300.0, 700.0, 1000.0, 800.0, 500.0, 300.0, 200.0, 150.0, 100.0])
    texts, out = warnings_of(inflow, timedelta(hours=6), 0.4, 1, 100.0)
    assert len(texts) == 1 and min(out.data) < -100.0
    for sub_reaches in (5, 6, 7):
        texts, out = warnings_of(inflow, timedelta(hours=6), 0.4, sub_reaches, 100.0)
        assert texts == [] and min(out.data) >= 0.0
    for sub_reaches in (4, 8):
        assert len(warnings_of(inflow, timedelta(hours=6), 0.4, sub_reaches, 100.0)[0]) == 1


def test_both_warnings_in_order_and_each_can_raise():
    texts, _ = warnings_of(series(HYDROGRAPH), HOUR, 0.9, 1, 10.0)
    assert texts[0] == WARNING and texts[1].startswith(COEFFICIENTS) and len(texts) == 2
    assert texts[1].endswith("k must be positive and x at most 0.5.")
    result = sentinel = object()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning) as excinfo:
            result = route(series(HYDROGRAPH), timedelta(hours=6), 0.4, 1, 10.0)
    assert type(excinfo.value) is UserWarning
    assert message(excinfo) == coefficient_warning("-0.4634146341463415", "0.7560975609756098", 1,
                                                   "sub_reaches from 5 to 7 keeps both non-negative.")
    assert result is sentinel


@pytest.mark.parametrize(
    "data, sub_reaches, error",
    [([42.0], 1, None), ([], 1, "inflow must not be empty"), (HYDROGRAPH, 0, "sub_reaches must be >= 1")],
)
def test_no_coefficient_warning_where_none_is_used(data, sub_reaches, error):
    # A single value is the initial outflow; the errors say what is wrong.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        if error is None:
            assert route(series(data), timedelta(0), 0.2, sub_reaches, 1.0).data == [1.0]
        else:
            with pytest.raises(ValueError, match=error):
                route(series(data), timedelta(0), 0.2, sub_reaches, 1.0)


HEAD = re.compile(r"Muskingum coefficients C0 = (\S+) and C2 = (\S+) with sub_reaches = (\d+): "
                  r"a negative coefficient can make negative or oscillating outflow\. (.*)$")
ADVICE = re.compile(r"(?:sub_reaches from (\d+) to (\d+)|sub_reaches = (\d+)) keeps both non-negative\.$")


@settings(max_examples=300, deadline=None)
@given(
    k_s=st.one_of(st.integers(0, 20 * 86400), st.sampled_from([3600, 7200, 18000, 36000])),
    x=st.one_of(st.floats(0.0, 0.5), st.sampled_from([0.0, 0.1, 0.2, 0.25, 0.3, 0.5])),
    step=st.sampled_from([60, 300, 900, 3600, 7200, 86400]),
    sub_reaches=st.integers(1, 40),
)
def test_property_warning_names_exactly_the_counts_that_work(k_s, x, step, sub_reaches):
    # Checked against the coefficients the passes compute, so bounds that land
    # on a whole number (C0 or C2 exactly 0) must come out right despite rounding.
    def works(n):
        c0, c2 = ref_c0_c2(float(step), k_s / float(n), x)
        return c0 >= 0.0 and c2 >= 0.0

    texts, _ = warnings_of(series([1.0, 2.0], timedelta(seconds=step)), timedelta(seconds=k_s), x, sub_reaches, 0.0)
    if works(sub_reaches):
        assert texts == []
        return
    assert len(texts) == 1
    head = HEAD.match(texts[0])
    assert head is not None, texts[0]
    assert (float(head[1]), float(head[2])) == ref_c0_c2(float(step), k_s / float(sub_reaches), x)
    assert int(head[3]) == sub_reaches
    advice = head[4]
    match = ADVICE.match(advice)
    if match is None:
        assert advice in (NO_STEP, "No sub_reaches and no time step keeps both non-negative: "
                                   "k must be positive and x at most 0.5.")
        # Near the bounds nothing works (far from them neither C0 nor C2 can be).
        lo = max(1, math.ceil(2 * k_s * x / step))
        assert not any(works(n) for n in range(max(1, lo - 2), lo + 3))
        return
    lo, hi = (int(match[3]), int(match[3])) if match[3] else (int(match[1]), int(match[2]))
    assert 1 <= lo <= hi
    assert works(lo) and works(hi)
    assert lo == 1 or not works(lo - 1)
    assert not works(hi + 1)


# ---- order of failures ---------------------------------------------------------------------

def test_negative_k_raises_without_prefix():
    with pytest.raises(ValueError) as excinfo:
        quiet(series(HYDROGRAPH), timedelta(seconds=-1), 0.2, 1, 10.0)
    assert type(excinfo.value) is ValueError
    assert message(excinfo) == NEGATIVE


def test_negative_microsecond_k_raises():
    with pytest.raises(ValueError) as excinfo:
        quiet(series(HYDROGRAPH), timedelta(microseconds=-1), 0.2, 1, 10.0)
    assert message(excinfo) == NEGATIVE


def test_warning_comes_before_negative_k_error():
    with pytest.warns(UserWarning) as record:
        with pytest.raises(ValueError) as excinfo:
            route(series(HYDROGRAPH), timedelta(hours=-1), 0.6, 1, 10.0)
    assert message(excinfo) == NEGATIVE
    assert [str(w.message) for w in record] == [WARNING]
    # With warnings as errors the warning wins.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning):
            route(series(HYDROGRAPH), timedelta(hours=-1), 0.6, 1, 10.0)


def test_empty_inflow_raises():
    with pytest.raises(ValueError) as excinfo:
        quiet(series([]), HOUR, 0.2, 1, 0.0)
    assert type(excinfo.value) is ValueError
    assert message(excinfo) == "inflow must not be empty"


def test_empty_inflow_error_comes_after_warning_and_k():
    with pytest.warns(UserWarning) as record:
        with pytest.raises(ValueError) as excinfo:
            route(series([]), HOUR, 0.6, 1, 0.0)
    assert message(excinfo) == "inflow must not be empty"
    assert len(record) == 1
    with pytest.raises(ValueError) as excinfo:
        quiet(series([]), timedelta(days=-1), 0.2, 1, 0.0)
    assert message(excinfo) == NEGATIVE


@pytest.mark.parametrize("sub_reaches", [0, -1, -(2**63)])
def test_sub_reaches_below_one_raises(sub_reaches):
    with pytest.raises(ValueError) as excinfo:
        quiet(series(HYDROGRAPH), HOUR, 0.2, sub_reaches, 10.0)
    assert type(excinfo.value) is ValueError
    assert message(excinfo) == "sub_reaches must be >= 1"


def test_errors_from_long_inflow():
    # Long enough for the routing to run detached: errors still come back.
    inflow = series([1.0] * 70000, timedelta(seconds=1))
    for _ in range(3):
        with pytest.raises(ValueError) as excinfo:
            quiet(inflow, HOUR, 0.2, 0, 1.0)
        assert message(excinfo) == "sub_reaches must be >= 1"
    assert len(quiet(inflow, HOUR, 0.2, 1, 1.0).data) == 70000


def test_sub_reaches_error_order():
    # After the warning ...
    with pytest.warns(UserWarning) as record:
        with pytest.raises(ValueError) as excinfo:
            route(series(HYDROGRAPH), HOUR, 0.6, 0, 10.0)
    assert message(excinfo) == "sub_reaches must be >= 1"
    assert len(record) == 1
    # ... after the conversion of k ...
    with pytest.raises(ValueError) as excinfo:
        quiet(series(HYDROGRAPH), timedelta(hours=-1), 0.2, 0, 10.0)
    assert message(excinfo) == NEGATIVE
    # ... and before the empty-inflow check.
    with pytest.raises(ValueError) as excinfo:
        quiet(series([]), HOUR, 0.2, 0, 10.0)
    assert message(excinfo) == "sub_reaches must be >= 1"


@pytest.mark.parametrize(
    "args, name, text",
    [
        ((ITS([1.0], HOUR, "discharge"), HOUR, 0.2, 1, 0.0), "inflow",
         "'IncrementalTimeSeries' object is not an instance of 'ContinuousTimeSeries'"),
        (([1.0, 2.0], HOUR, 0.2, 1, 0.0), "inflow",
         "'list' object is not an instance of 'ContinuousTimeSeries'"),
        ((None, HOUR, 0.2, 1, 0.0), "inflow",
         "'None' is not an instance of 'ContinuousTimeSeries'"),
        ((series([1.0]), 3600.0, 0.2, 1, 0.0), "k",
         "'float' object is not an instance of 'timedelta'"),
        ((series([1.0]), 3600, 0.2, 1, 0.0), "k",
         "'int' object is not an instance of 'timedelta'"),
        ((series([1.0]), None, 0.2, 1, 0.0), "k",
         "'None' is not an instance of 'timedelta'"),
    ],
)
def test_cast_errors_name_the_argument(args, name, text):
    with pytest.raises(TypeError) as excinfo:
        quiet(*args)
    assert type(excinfo.value) is TypeError
    assert message(excinfo) == f"argument '{name}': {text}"


@pytest.mark.parametrize(
    "args, name",
    [
        ((series([1.0]), HOUR, "0.2", 1, 0.0), "x"),
        ((series([1.0]), HOUR, None, 1, 0.0), "x"),
        ((series([1.0]), HOUR, 0.2, 1.0, 0.0), "sub_reaches"),
        ((series([1.0]), HOUR, 0.2, "1", 0.0), "sub_reaches"),
        ((series([1.0]), HOUR, 0.2, None, 0.0), "sub_reaches"),
        ((series([1.0]), HOUR, 0.2, 1, None), "initial_outflow"),
        ((series([1.0]), HOUR, 0.2, 1, "0"), "initial_outflow"),
    ],
)
def test_number_errors_name_the_argument(args, name):
    with pytest.raises(TypeError) as excinfo:
        quiet(*args)
    assert type(excinfo.value) is TypeError
    assert message(excinfo).startswith(f"argument '{name}': ")


def test_sub_reaches_beyond_64_bits_overflows():
    with pytest.raises(OverflowError):
        quiet(series([1.0]), HOUR, 0.2, 2**63, 0.0)


def test_first_failing_conversion_wins_and_nothing_warns():
    # Every argument bad: the first is reported; conversion failures come
    # before the warning, so nothing is warned.
    with warnings.catch_warnings(record=True) as record:
        warnings.simplefilter("always")
        with pytest.raises(TypeError) as excinfo:
            route([1.0], 1.0, 0.9, 1.5, None)
        assert message(excinfo).startswith("argument 'inflow': ")
        with pytest.raises(TypeError) as excinfo:
            route(series([1.0]), timedelta(hours=-1), 0.9, 1, None)
        assert message(excinfo).startswith("argument 'initial_outflow': ")
        with pytest.raises(TypeError) as excinfo:
            route(series([]), timedelta(hours=-1), 0.9, 1.5, 0.0)
        assert message(excinfo).startswith("argument 'sub_reaches': ")
    assert record == []


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: route(series([1.0]), HOUR, 0.2, 1),
         "run_muskingum_routing() missing 1 required positional argument: 'initial_outflow'"),
        (lambda: route(),
         "run_muskingum_routing() missing 5 required positional arguments: "
         "'inflow', 'k', 'x', 'sub_reaches', and 'initial_outflow'"),
        (lambda: route(series([1.0]), x=0.2, initial_outflow=0.0),
         "run_muskingum_routing() missing 2 required positional arguments: 'k' and 'sub_reaches'"),
        (lambda: route(series([1.0]), HOUR, 0.2, 1, 0.0, 0.0),
         "run_muskingum_routing() takes 5 positional arguments but 6 were given"),
        (lambda: route(series([1.0]), HOUR, 0.2, 1, 0.0, K=1),
         "run_muskingum_routing() got an unexpected keyword argument 'K'"),
        (lambda: route(series([1.0]), HOUR, 0.2, 1, 0.0, inflow=1),
         "run_muskingum_routing() got multiple values for argument 'inflow'"),
    ],
)
def test_matching_errors(call, text):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert message(excinfo) == text


# ---- documentation ---------------------------------------------------------------------------

def test_documentation():
    assert route.__name__ == "run_muskingum_routing"
    assert route.__text_signature__ == "(inflow, k, x, sub_reaches, initial_outflow)"
    doc = route.__doc__
    assert doc.startswith("Routes an inflow hydrograph through a channel reach using the Muskingum method.\n\n")
    # k was documented in seconds and initial_outflow as defaulting to the
    # first inflow: it is a timedelta, and it is required.
    assert "k : datetime.timedelta\n" in doc
    assert "(seconds)" not in doc and "Defaults to" not in doc
    assert "initial_outflow : float\n    Outflow of every sub-reach at the first time point (cfs). Required" in doc
    assert "Warns\n-----\nUserWarning\n" in doc
    parameters = inspect.signature(route).parameters
    assert list(parameters) == ["inflow", "k", "x", "sub_reaches", "initial_outflow"]
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in parameters.values())


# ---- reference hygiene --------------------------------------------------------------------------

def test_no_growth_over_good_and_bad_calls():
    inflow = series(HYDROGRAPH)
    empty = series([])

    def calls():
        route(inflow, 3 * HOUR, 0.2, 3, 10.0)
        with pytest.raises(ValueError):
            route(inflow, timedelta(hours=-1), 0.2, 1, 10.0)
        with pytest.raises(ValueError):
            route(empty, HOUR, 0.2, 1, 10.0)
        with pytest.raises(ValueError):
            route(inflow, HOUR, 0.2, 0, 10.0)
        with pytest.raises(TypeError):
            route(inflow, HOUR, 0.2, 1, None)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with pytest.raises(UserWarning):
                route(inflow, HOUR, 0.7, 1, 10.0)

    assert allocated_growth(calls, calls=500) < 50
