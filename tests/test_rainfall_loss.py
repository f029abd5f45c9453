"""Deficit-and-constant loss: run_deficit_and_constant and
DeficitConstantResult."""

import inspect
import math
import threading
from datetime import timedelta

import pytest
from conftest import HOUR, allocated_growth, message, with_numpy
from hypothesis import given, settings
from hypothesis import strategies as st

import pelmora

CTS = pelmora.utils.ContinuousTimeSeries
ITS = pelmora.utils.IncrementalTimeSeries
Result = pelmora.rainfall_loss.DeficitConstantResult
run = pelmora.rainfall_loss.run_deficit_and_constant

NEGATIVE = "cannot convert a negative timedelta to a duration"
FIELDS = ("excess", "loss", "deficit")


# ---- reference -----------------------------------------------------------------
# The loss model written out in Python. min and max return the other operand when one
# is NaN, like C's fmin and fmax.

def fmin(a, b):
    if math.isnan(a):
        return b
    if math.isnan(b):
        return a
    return min(a, b)


def fmax(a, b):
    if math.isnan(a):
        return b
    if math.isnan(b):
        return a
    return max(a, b)


def seconds(td):
    return float(td.days * 86400 + td.seconds) + (td.microseconds * 1000) / 1000000000.0


def ref_loss(rain, step, initial, maximum, rate, time_to_dry):
    dt_h = step / 3600.0
    t = seconds(time_to_dry)
    k = 1.0 - math.exp(dt_h / (t / -3600.0)) if t > 0.0 else 0.0
    step_loss = rate * dt_h
    d = initial
    excess, loss, deficit = [], [], []
    for p in rain:
        d = fmin(d + fmax(maximum - d, 0.0) * k, maximum)
        e = lo = 0.0
        if p > 0.0:
            f = fmin(p, step_loss)
            r = p - f
            g = fmin(r, d)
            d = d - g
            e = r - g
            lo = g + f
        excess.append(e)
        loss.append(lo)
        deficit.append(d)
    return excess, loss, deficit


def close(a, b):
    """Equal up to the last bits of exp, NaN equal to NaN."""
    return len(a) == len(b) and all(
        (math.isnan(p) and math.isnan(q)) or p == pytest.approx(q, rel=1e-12, abs=1e-15)
        for p, q in zip(a, b)
    )


def rain(data, step=HOUR, kind="rainfall"):
    return ITS(data, step, kind)


def values(result):
    return tuple(getattr(result, f).data for f in FIELDS)


# ---- worked examples ---------------------------------------------------------------

def test_worked_example():
    result = run(rain([0.5, 0.0, 1.0]), 0.3, 1.0, 0.1, timedelta(hours=10))
    excess, loss, deficit = values(result)
    assert [round(v, 7) for v in excess] == [0.0333862, 0.0, 0.7187308]
    assert [round(v, 7) for v in loss] == [0.4666138, 0.0, 0.2812692]
    assert [round(v, 7) for v in deficit] == [0.0, 0.0951626, 0.0]
    # k = 0.0951626: the dry second step recovers from 0 by max_deficit * k.
    assert round(1.0 - math.exp(-0.1), 7) == 0.0951626
    assert deficit[1] == pytest.approx(1.0 - math.exp(-0.1), rel=1e-14)
    assert close(excess, ref_loss([0.5, 0.0, 1.0], 3600, 0.3, 1.0, 0.1, timedelta(hours=10))[0])


def test_zero_time_to_dry_means_no_recovery():
    result = run(rain([0.05, 0.5], timedelta(seconds=1800)), 2.0, 1.0, 0.2, timedelta(0))
    excess, loss, deficit = values(result)
    assert excess == [0.0, 0.0]
    assert loss == pytest.approx([0.05, 0.5], abs=1e-15)
    assert deficit == pytest.approx([1.0, 0.6], abs=1e-15)
    assert deficit[0] == 1.0  # cut from 2.0 to max_deficit, never recovered


def test_zero_time_to_dry_keeps_deficit_on_dry_steps():
    result = run(rain([0.0, 0.0, 0.0]), 0.25, 1.0, 0.1, timedelta(0))
    assert result.deficit.data == [0.25, 0.25, 0.25]


def test_rain_below_constant_loss_is_all_loss():
    # L = 0.4 per hour-long step; rain of 0.3 is all constant loss.
    result = run(rain([0.3, 0.1, 0.4]), 0.5, 1.0, 0.4, timedelta(0))
    excess, loss, deficit = values(result)
    assert excess == [0.0, 0.0, 0.0]
    assert loss == [0.3, 0.1, 0.4]
    assert deficit == [0.5, 0.5, 0.5]


@pytest.mark.parametrize("p", [0.0, -0.0, -1.0, math.nan, -math.inf])
def test_dry_negative_and_nan_steps_only_recover(p):
    ttd = timedelta(hours=5)
    result = run(rain([p, p]), 0.2, 1.0, 0.1, ttd)
    excess, loss, deficit = values(result)
    assert excess == [0.0, 0.0]
    assert loss == [0.0, 0.0]
    k = 1.0 - math.exp(-0.2)
    first = 0.2 + 0.8 * k
    assert deficit == pytest.approx([first, first + (1.0 - first) * k], rel=1e-14)


def test_recovery_happens_on_wet_first_step():
    ttd = timedelta(hours=10)
    k = 1.0 - math.exp(-0.1)
    # Rain larger than L + max*k: the deficit met is max*k, not 0.
    result = run(rain([2.0]), 0.0, 1.0, 0.1, ttd)
    assert result.loss.data[0] == pytest.approx(0.1 + k, rel=1e-14)
    assert result.excess.data[0] == pytest.approx(2.0 - 0.1 - k, rel=1e-14)
    assert result.deficit.data == [0.0]


def test_deficit_above_maximum_is_cut():
    result = run(rain([0.0]), 5.0, 1.0, 0.1, timedelta(hours=3))
    assert result.deficit.data == [1.0]


def test_excess_plus_loss_equals_rain():
    data = [0.05, 0.2, 0.7, 0.0, 1.3, 0.02, 0.6, 0.0, 0.0, 0.9]
    result = run(rain(data, timedelta(minutes=30)), 0.4, 1.5, 0.15, timedelta(hours=12))
    excess, loss, deficit = values(result)
    for p, e, lo, d in zip(data, excess, loss, deficit):
        if p > 0.0:
            assert e + lo == pytest.approx(p, rel=1e-14)
        assert e >= 0.0 and lo >= 0.0 and 0.0 <= d <= 1.5
    assert close(excess, ref_loss(data, 1800, 0.4, 1.5, 0.15, timedelta(hours=12))[0])


def test_empty_rainfall():
    step = timedelta(minutes=10)
    result = run(ITS([], step, "volume"), 0.3, 1.0, 0.1, HOUR)
    for f in FIELDS:
        s = getattr(result, f)
        assert type(s) is ITS
        assert s.data == []
        assert s.time_step == step
        assert s.kind == "rainfall"


@pytest.mark.parametrize("kind", ["discharge", "rainfall", "elevation", "volume"])
def test_any_kind_accepted_results_are_rainfall(kind):
    step = timedelta(minutes=15)
    result = run(ITS([0.1, 0.2, 0.0], step, kind), 0.1, 1.0, 0.2, timedelta(hours=6))
    for f in FIELDS:
        s = getattr(result, f)
        assert type(s) is ITS
        assert s.kind == "rainfall"
        assert s.time_step == step
        assert len(s.data) == 3


def test_daily_step():
    result = run(rain([1.0, 0.0], timedelta(days=1)), 0.5, 2.0, 0.01, timedelta(days=3))
    assert result.excess.time_step == timedelta(days=1)
    expected = ref_loss([1.0, 0.0], 86400, 0.5, 2.0, 0.01, timedelta(days=3))
    assert all(close(a, b) for a, b in zip(values(result), expected))


def test_time_to_dry_keeps_fraction_of_second():
    ttd = timedelta(seconds=1, microseconds=500000)
    result = run(rain([0.0], timedelta(seconds=1)), 0.0, 1.0, 0.0, ttd)
    assert result.deficit.data[0] == pytest.approx(1.0 - math.exp(-1.0 / 1.5), rel=1e-14)


def test_time_to_dry_below_a_second_is_positive():
    # One microsecond still counts as a positive drying time: near-full recovery.
    result = run(rain([0.0]), 0.0, 1.0, 0.0, timedelta(microseconds=1))
    assert result.deficit.data == [1.0]


def test_longest_time_to_dry():
    result = run(rain([0.0]), 0.0, 1.0, 0.0, timedelta.max)
    d = result.deficit.data[0]
    assert 0.0 < d < 1e-10
    assert d == pytest.approx(1.0 - math.exp(-1.0 / (seconds(timedelta.max) / 3600.0)), rel=1e-6)


INITIAL = "initial_deficit must be a number >= 0 (inches), got {}"
MAXIMUM = "max_deficit must be a finite number >= 0 (inches), got {}"
RATE = "constant_loss_per_hr must be a number >= 0 (inches per hour), got {}"


@pytest.mark.parametrize(
    "args, text",
    [
        # A negative rate hands rain back: 1.0 in of rain used to give 1.5 in of excess.
        ((0.0, 0.0, -0.5), RATE.format("-0.5")),
        ((0.2, 1.0, -0.0000001), RATE.format("-0.0000001")),
        ((0.2, 1.0, math.nan), RATE.format("NaN")),
        ((0.2, 1.0, -math.inf), RATE.format("-inf")),
        ((-0.5, 1.0, 0.1), INITIAL.format("-0.5")),
        ((math.nan, 1.0, 0.1), INITIAL.format("NaN")),
        ((-math.inf, 1.0, 0.1), INITIAL.format("-inf")),
        ((0.2, -1.0, 0.1), MAXIMUM.format("-1")),
        ((0.2, math.nan, 0.1), MAXIMUM.format("NaN")),
        ((0.2, math.inf, 0.1), MAXIMUM.format("inf")),
        # In parameter order: the first bad one is named.
        ((-1.0, -2.0, -3.0), INITIAL.format("-1")),
        ((1.0, math.nan, -3.0), MAXIMUM.format("NaN")),
    ],
)
def test_parameters_that_make_water_are_refused(args, text):
    # Refused before the negative drying time (the last parameter) is read.
    for ttd in (HOUR, timedelta(hours=-1)):
        with pytest.raises(ValueError) as excinfo:
            run(rain([1.0]), *args, ttd)
        assert type(excinfo.value) is ValueError
        assert message(excinfo) == text


def test_parameter_checks_come_after_every_conversion():
    with pytest.raises(TypeError) as excinfo:
        run(rain([1.0]), -1.0, 1.0, 0.1, 3600)
    assert message(excinfo).startswith("argument 'time_to_dry': ")


@pytest.mark.parametrize(
    "args, expected",
    [
        # An infinite initial deficit is cut to the maximum like any value above it.
        ((math.inf, 2.0, 0.5), ([0.0], [1.0], [1.5])),
        # An infinite loss rate takes all rain as loss and leaves the deficit alone.
        ((0.5, 1.0, math.inf), ([0.0], [1.0], [0.5])),
        # Zero and negative zero are allowed everywhere.
        ((-0.0, 0.0, 0.0), ([1.0], [0.0], [0.0])),
    ],
)
def test_edge_values_still_accepted(args, expected):
    assert values(run(rain([1.0]), *args, timedelta(0))) == expected


@settings(max_examples=150, deadline=None)
@given(
    data=st.lists(st.floats(-1.0, 5.0), max_size=30),
    step=st.integers(1, 86400),
    initial=st.floats(0.0, 5.0),
    maximum=st.floats(0.0, 5.0),
    rate=st.floats(0.0, 2.0),
    ttd_us=st.integers(0, 30 * 86400 * 10**6),
)
def test_property_matches_reference(data, step, initial, maximum, rate, ttd_us):
    ttd = timedelta(microseconds=ttd_us)
    result = run(rain(data, timedelta(seconds=step)), initial, maximum, rate, ttd)
    expected = ref_loss(data, step, initial, maximum, rate, ttd)
    assert all(close(a, b) for a, b in zip(values(result), expected))
    for p, e, lo in zip(data, result.excess.data, result.loss.data):
        if p > 0.0:
            assert e + lo == pytest.approx(p, rel=1e-12, abs=1e-15)
        else:
            assert e == 0.0 and lo == 0.0


# ---- input forms and caller objects -------------------------------------------------

DATA = [0.5, 0.0, 1.0, 0.25]


@pytest.mark.parametrize(
    "data",
    [tuple(DATA), with_numpy(lambda np: np.array(DATA)), with_numpy(lambda np: np.array(DATA, dtype=np.float32)), range(3)],
    ids=["tuple", "float64", "float32", "range"],
)
def test_numpy_and_tuple_data(data):
    expected = values(run(rain([float(v) for v in data]), 0.3, 1.0, 0.1, timedelta(hours=10)))
    assert values(run(rain(data), 0.3, 1.0, 0.1, timedelta(hours=10))) == expected


def test_number_forms_as_arguments(np):
    expected = values(run(rain(DATA), 0.0, 1.0, 0.0, HOUR))
    assert values(run(rain(DATA), np.float64(0.0), np.float32(1.0), np.int64(0), HOUR)) == expected
    assert values(run(rain(DATA), 0, 1, False, HOUR)) == expected


def test_keyword_arguments():
    r = rain(DATA)
    a = run(time_to_dry=HOUR, constant_loss_per_hr=0.1, max_deficit=1.0, initial_deficit=0.3, rainfall=r)
    assert values(a) == values(run(r, 0.3, 1.0, 0.1, HOUR))


def test_subclasses_accepted():
    class Rain(ITS):
        pass

    class Delta(timedelta):
        pass

    result = run(Rain(DATA, HOUR, "rainfall"), 0.3, 1.0, 0.1, Delta(hours=10))
    assert type(result) is Result
    assert type(result.excess) is ITS
    assert values(result) == values(run(rain(DATA), 0.3, 1.0, 0.1, timedelta(hours=10)))


def test_caller_objects_unchanged(np):
    source = list(DATA)
    array = np.array(DATA)
    for data in (source, array):
        r = ITS(data, timedelta(minutes=30), "volume")
        ttd = timedelta(hours=10)
        result = run(r, 0.3, 1.0, 0.1, ttd)
        assert r.data == DATA
        assert r.kind == "volume"
        assert r.time_step == timedelta(minutes=30)
        assert ttd == timedelta(hours=10)
        assert result.excess is not r
    assert source == DATA
    assert array.tolist() == DATA


def test_concurrent_calls_agree():
    r = rain(DATA * 200)
    expected = values(run(r, 0.3, 1.0, 0.1, timedelta(hours=10)))
    results = []
    lock = threading.Lock()

    def work():
        for _ in range(30):
            out = values(run(r, 0.3, 1.0, 0.1, timedelta(hours=10)))
            with lock:
                results.append(out == expected)

    threads = [threading.Thread(target=work) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 240 and all(results)


# ---- failures ---------------------------------------------------------------------------

@pytest.mark.parametrize("ttd", [timedelta(seconds=-1), timedelta(microseconds=-1), timedelta.min])
def test_negative_time_to_dry(ttd):
    with pytest.raises(ValueError) as excinfo:
        run(rain(DATA), 0.3, 1.0, 0.1, ttd)
    assert type(excinfo.value) is ValueError
    assert message(excinfo) == NEGATIVE


def test_negative_time_to_dry_comes_after_all_conversions():
    with pytest.raises(TypeError) as excinfo:
        run(rain(DATA), 0.3, "1.0", 0.1, timedelta(hours=-1))
    assert message(excinfo).startswith("argument 'max_deficit': ")
    # Empty rainfall changes nothing: the value is still converted.
    with pytest.raises(ValueError) as excinfo:
        run(rain([]), 0.3, 1.0, 0.1, timedelta(hours=-1))
    assert message(excinfo) == NEGATIVE


@pytest.mark.parametrize(
    "args, name, text",
    [
        ((CTS(DATA, HOUR, "rainfall"), 0.3, 1.0, 0.1, HOUR), "rainfall",
         "'ContinuousTimeSeries' object is not an instance of 'IncrementalTimeSeries'"),
        ((DATA, 0.3, 1.0, 0.1, HOUR), "rainfall",
         "'list' object is not an instance of 'IncrementalTimeSeries'"),
        ((None, 0.3, 1.0, 0.1, HOUR), "rainfall",
         "'None' is not an instance of 'IncrementalTimeSeries'"),
        ((rain(DATA), 0.3, 1.0, 0.1, 36000.0), "time_to_dry",
         "'float' object is not an instance of 'timedelta'"),
        ((rain(DATA), 0.3, 1.0, 0.1, 36000), "time_to_dry",
         "'int' object is not an instance of 'timedelta'"),
        ((rain(DATA), 0.3, 1.0, 0.1, None), "time_to_dry",
         "'None' is not an instance of 'timedelta'"),
    ],
)
def test_cast_errors_name_the_argument(args, name, text):
    with pytest.raises(TypeError) as excinfo:
        run(*args)
    assert type(excinfo.value) is TypeError
    assert message(excinfo) == f"argument '{name}': {text}"


@pytest.mark.parametrize("position, name", [(1, "initial_deficit"), (2, "max_deficit"),
                                            (3, "constant_loss_per_hr")])
@pytest.mark.parametrize("bad", ["0.1", None, [0.1]])
def test_number_errors_name_the_argument(position, name, bad):
    args = [rain(DATA), 0.3, 1.0, 0.1, HOUR]
    args[position] = bad
    with pytest.raises(TypeError) as excinfo:
        run(*args)
    assert type(excinfo.value) is TypeError
    assert message(excinfo).startswith(f"argument '{name}': ")


def test_first_failing_conversion_wins():
    with pytest.raises(TypeError) as excinfo:
        run(CTS(DATA, HOUR, "rainfall"), "a", "b", "c", 1.0)
    assert message(excinfo).startswith("argument 'rainfall': ")
    with pytest.raises(TypeError) as excinfo:
        run(rain(DATA), 0.3, 1.0, "c", 1.0)
    assert message(excinfo).startswith("argument 'constant_loss_per_hr': ")


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: run(rain(DATA), 0.3, 1.0, 0.1),
         "run_deficit_and_constant() missing 1 required positional argument: 'time_to_dry'"),
        (lambda: run(),
         "run_deficit_and_constant() missing 5 required positional arguments: 'rainfall', "
         "'initial_deficit', 'max_deficit', 'constant_loss_per_hr', and 'time_to_dry'"),
        (lambda: run(rain(DATA), 0.3, 1.0, 0.1, HOUR, 1),
         "run_deficit_and_constant() takes 5 positional arguments but 6 were given"),
        (lambda: run(rain(DATA), 0.3, 1.0, 0.1, HOUR, dry=1),
         "run_deficit_and_constant() got an unexpected keyword argument 'dry'"),
        (lambda: run(rain(DATA), 0.3, 1.0, 0.1, HOUR, max_deficit=1.0),
         "run_deficit_and_constant() got multiple values for argument 'max_deficit'"),
    ],
)
def test_matching_errors(call, text):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert message(excinfo) == text


# ---- DeficitConstantResult -------------------------------------------------------------------

@pytest.fixture
def result():
    return run(rain([0.5, 0.0, 1.0], timedelta(minutes=30)), 0.3, 1.0, 0.1, timedelta(hours=10))


def test_result_class_identity(result):
    assert type(result) is Result
    assert Result.__name__ == "DeficitConstantResult"
    assert Result.__qualname__ == "DeficitConstantResult"
    assert Result.__module__ == "builtins"
    assert Result.__bases__ == (object,)
    assert pelmora.rainfall_loss.__all__ == ["DeficitConstantResult", "run_deficit_and_constant"]


@pytest.mark.parametrize(
    "call",
    [lambda: Result(), lambda: Result(1, 2, 3), lambda: Result(excess=None),
     lambda: Result.__new__(Result)],
)
def test_result_not_constructible(call):
    with pytest.raises(TypeError):
        call()


def test_result_subclassable_but_not_constructible():
    class Sub(Result):
        pass

    assert issubclass(Sub, Result)
    with pytest.raises(TypeError):
        Sub()


@pytest.mark.parametrize("field", FIELDS)
def test_result_attributes_read_only(result, field):
    before = getattr(result, field).data
    with pytest.raises(AttributeError):
        setattr(result, field, getattr(result, field))
    with pytest.raises(AttributeError):
        delattr(result, field)
    assert getattr(result, field).data == before


def test_result_has_no_other_attributes(result):
    with pytest.raises(AttributeError):
        result.foo = 1
    with pytest.raises(AttributeError):
        result.__dict__  # noqa: B018
    public = sorted(n for n in dir(Result) if not n.startswith("_"))
    assert public == ["deficit", "excess", "loss"]


@pytest.mark.parametrize("field", FIELDS)
def test_each_read_is_a_new_equal_series(result, field):
    a = getattr(result, field)
    b = getattr(result, field)
    assert type(a) is ITS and type(b) is ITS
    assert a is not b
    assert a.data == b.data
    assert a.time_step == b.time_step == timedelta(minutes=30)
    assert a.kind == b.kind == "rainfall"
    assert len(a.data) == 3
    # Changing what a read gave changes nothing inside.
    a.data.append(9.0)
    assert getattr(result, field).data == b.data


def test_result_outlives_its_inputs():
    r = rain(DATA)
    result = run(r, 0.3, 1.0, 0.1, HOUR)
    expected = values(result)
    del r
    assert values(result) == expected


def test_result_series_feed_other_functions(result):
    # The loss series goes to the baseflow model, the excess to disaggregate.
    assert result.excess.disaggregate(900).data == pytest.approx(
        [v / 2 for v in result.excess.data for _ in range(2)], rel=1e-15
    )


DOCS = {
    "excess": "Excess rainfall that becomes surface runoff (inches per time step).\n\n",
    "loss": "Total infiltrated depth per time step (constant loss + deficit fill, inches).\n\n",
    "deficit": "Running soil moisture deficit at the end of each time step (inches).\n\n",
}


def test_result_docstrings():
    assert Result.__doc__.startswith("Results from the deficit-and-constant rainfall loss model.\n\n")
    assert Result.__text_signature__ is None
    for field, doc in DOCS.items():
        assert getattr(Result, field).__doc__.startswith(doc)


def test_function_documentation():
    assert run.__name__ == "run_deficit_and_constant"
    assert run.__text_signature__ == (
        "(rainfall, initial_deficit, max_deficit, constant_loss_per_hr, time_to_dry)"
    )
    assert run.__doc__.startswith(
        "Separates gross rainfall into excess runoff and infiltration losses using the\n"
        "deficit-and-constant model.\n\n")
    assert "time_to_dry : datetime.timedelta\n" in run.__doc__
    assert "Raises\n------\nValueError\n" in run.__doc__
    parameters = inspect.signature(run).parameters
    assert list(parameters) == [
        "rainfall", "initial_deficit", "max_deficit", "constant_loss_per_hr", "time_to_dry"
    ]
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in parameters.values())


# ---- reference hygiene --------------------------------------------------------------------------

def test_no_growth_over_good_and_bad_calls():
    r = rain(DATA)

    def calls():
        res = run(r, 0.3, 1.0, 0.1, HOUR)
        res.excess, res.loss, res.deficit  # noqa: B018
        with pytest.raises(ValueError):
            run(r, 0.3, 1.0, 0.1, timedelta(hours=-1))
        with pytest.raises(TypeError):
            run(r, 0.3, 1.0, 0.1, 1.0)
        with pytest.raises(TypeError):
            run(r, 0.3, None, 0.1, HOUR)

    assert allocated_growth(calls, calls=500) < 50
