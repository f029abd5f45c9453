"""Baseflow: LinearReservoir layers and run_linear_reservoir."""

import math
from collections import OrderedDict
from datetime import timedelta

import pytest
from conftest import HOUR, allocated_growth, message, with_numpy

import pelmora

LinearReservoir = pelmora.baseflow.LinearReservoir
run = pelmora.baseflow.run_linear_reservoir
ITS = pelmora.utils.IncrementalTimeSeries
CTS = pelmora.utils.ContinuousTimeSeries

ACRE_INCH_PER_HOUR = 1.00833


def routed(basin_area, rain, step, k_seconds, fraction, q0, count):
    """One layer, evaluated in the documented order of operations."""
    dt_h = step / 3600.0
    half_dt = 0.5 * dt_h
    area = basin_area * ACRE_INCH_PER_HOUR
    c = dt_h / ((k_seconds / 3600.0) / count + half_dt)
    state = [q0] * count
    out = []
    for p in rain:
        q = ((p * fraction) / dt_h) * area
        for j in range(count):
            q = q * c + state[j] * (1.0 - c)
            state[j] = q
        out.append(q)
    return out


def snapshot(r):
    return (r.k_duration, r.gw_fraction, r.initial_q, r.num_reservoir)


# ---- LinearReservoir ---------------------------------------------------------

def test_construction_and_defaults(np):
    r = LinearReservoir(2 * HOUR, 0.5, 10.0)
    assert snapshot(r) == (timedelta(hours=2), 0.5, 10.0, 1)
    assert type(r.gw_fraction) is float and type(r.num_reservoir) is int
    assert type(r.k_duration) is timedelta
    r = LinearReservoir(k_duration=HOUR, gw_fraction=1, initial_q=-2, num_reservoir=np.int64(4))
    assert snapshot(r) == (HOUR, 1.0, -2.0, 4)


@pytest.mark.parametrize(
    "k, stored",
    [
        (timedelta(seconds=1.7), timedelta(seconds=1)),
        (timedelta(seconds=90, microseconds=999999), timedelta(seconds=90)),
        (timedelta(days=30), timedelta(days=30)),
        (timedelta(days=100000), timedelta(seconds=2147483647)),
    ],
)
def test_k_duration_whole_seconds(k, stored):
    assert LinearReservoir(k, 0.5, 0.0).k_duration == stored


def test_fraction_bounds_accepted():
    assert [LinearReservoir(HOUR, f, 0.0).gw_fraction for f in (0.0, 1.0)] == [0.0, 1.0]
    assert math.isnan(LinearReservoir(HOUR, math.nan, 0.0).gw_fraction)


@pytest.mark.parametrize(
    "args, error, text",
    [
        # Conversions run first, in parameter order, before any value check.
        ((3600, "x", None, -1), TypeError, "argument 'k_duration': 'int' object is not an instance of 'timedelta'"),
        ((timedelta(days=-1), "x", 0.0), TypeError, "argument 'gw_fraction': must be real number, not str"),
        ((timedelta(0), 2.0, None), TypeError, "argument 'initial_q': must be real number, not NoneType"),
        ((timedelta(0), 2.0, 0.0, None), TypeError,
         "argument 'num_reservoir': 'NoneType' object cannot be interpreted as an integer"),
        ((HOUR, 0.5, 0.0, 1.0), TypeError,
         "argument 'num_reservoir': 'float' object cannot be interpreted as an integer"),
        ((timedelta(0), 2.0, 0.0, -1), OverflowError, "can't convert negative int to unsigned"),
        # Then the value checks: duration, k, fraction, count.
        ((timedelta(days=-1), 2.0, 0.0, 0), ValueError, "cannot convert a negative timedelta to a duration"),
        ((timedelta(seconds=0.9), 2.0, 0.0, 0), ValueError, "k_duration must be > 0"),
        ((timedelta(0), 0.5, 0.0), ValueError, "k_duration must be > 0"),
        ((HOUR, 1.001, 0.0, 0), ValueError, "gw_fraction must be between 0 and 1"),
        ((HOUR, -0.0001, 0.0), ValueError, "gw_fraction must be between 0 and 1"),
        ((HOUR, 0.5, 0.0, 0), ValueError, "num_reservoir must be at least 1"),
        # A chain's state is a double per reservoir: 2**24 of them at most.
        ((HOUR, 0.5, 0.0, 2**24 + 1), ValueError, "num_reservoir must be at most 16777216"),
        ((HOUR, 0.5, 0.0, 2**64 - 1), ValueError, "num_reservoir must be at most 16777216"),
        ((HOUR, 0.5), TypeError, "LinearReservoir.__new__() missing 1 required positional argument: 'initial_q'"),
    ],
)
def test_constructor_errors(args, error, text):
    with pytest.raises(error) as excinfo:
        LinearReservoir(*args)
    assert type(excinfo.value) is error
    assert message(excinfo) == text


def test_not_subclassable():
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Layer", (LinearReservoir,), {})


@pytest.mark.parametrize(
    "attr, value, stored",
    [
        ("gw_fraction", 1.5, 1.5),  # no range check on a write
        ("gw_fraction", -3, -3.0),
        ("initial_q", math.inf, math.inf),
        ("num_reservoir", 0, 0),
        ("num_reservoir", with_numpy(lambda np: np.uint8(5)), 5),
        ("num_reservoir", 2**24, 2**24),  # the cap itself
    ],
)
def test_setters_store_unchecked(attr, value, stored):
    r = LinearReservoir(HOUR, 0.5, 1.0, 2)
    setattr(r, attr, value)
    assert getattr(r, attr) == stored
    assert type(getattr(r, attr)) is type(stored)


@pytest.mark.parametrize(
    "attr, value, error, text",
    [
        ("gw_fraction", "0.5", TypeError, "argument 'gw_fraction': must be real number, not str"),
        ("initial_q", None, TypeError, "argument 'initial_q': must be real number, not NoneType"),
        ("num_reservoir", 2.0, TypeError,
         "argument 'num_reservoir': 'float' object cannot be interpreted as an integer"),
        ("num_reservoir", -1, OverflowError, "can't convert negative int to unsigned"),
        ("num_reservoir", 2**64, OverflowError, "int too big to convert"),
        ("num_reservoir", 2**24 + 1, ValueError, "num_reservoir must be at most 16777216"),
        ("num_reservoir", 2**64 - 1, ValueError, "num_reservoir must be at most 16777216"),
    ],
)
def test_failed_write_keeps_value(attr, value, error, text):
    r = LinearReservoir(HOUR, 0.5, 1.0, 2)
    before = snapshot(r)
    with pytest.raises(error) as excinfo:
        setattr(r, attr, value)
    assert type(excinfo.value) is error
    assert message(excinfo) == text
    assert snapshot(r) == before


@pytest.mark.parametrize("attr", ["gw_fraction", "initial_q", "num_reservoir"])
def test_delete_and_read_only(attr):
    r = LinearReservoir(HOUR, 0.5, 1.0)
    with pytest.raises(AttributeError) as excinfo:
        delattr(r, attr)
    assert message(excinfo) == "property has no deleter"
    for action in (lambda: setattr(r, "k_duration", 2 * HOUR), lambda: delattr(r, "k_duration")):
        with pytest.raises(AttributeError):
            action()
    assert snapshot(r) == (HOUR, 0.5, 1.0, 1)


def test_documentation():
    # The form of every docstring is checked in test_docs.py; here, the facts
    # about this area that used to be wrong or missing.
    assert LinearReservoir.__text_signature__ == "(k_duration, gw_fraction, initial_q, num_reservoir=1)"
    doc = LinearReservoir.__doc__
    assert doc.startswith("Configuration for a single linear reservoir groundwater layer.\n\n")
    assert "k_duration : datetime.timedelta\n" in doc and "num_reservoir : int, default 1\n" in doc
    assert "K = k_duration / num_reservoir" in doc
    assert LinearReservoir.k_duration.__doc__.startswith("Storage time constant of the whole layer, as a datetime.timedelta")
    assert LinearReservoir.initial_q.__doc__.startswith("Initial discharge at the start of the simulation (cfs).")
    assert run.__text_signature__ == "(basin_area, rainfall, reservoirs)"
    assert run.__doc__.startswith(
        "Routes infiltrated rainfall through multiple named linear reservoirs to produce baseflow.\n\n")
    assert "at start + (i + 1) * time_step" in run.__doc__
    assert "PyValueError" not in run.__doc__


# ---- run_linear_reservoir ----------------------------------------------------

def test_worked_example():
    rain = ITS([1.0, 0.0, 0.0], HOUR, "rainfall")
    result = run(640.0, rain, {"only": LinearReservoir(HOUR, 1.0, 0.0)})
    assert type(result) is tuple and len(result) == 2
    total, layers = result
    assert list(layers) == ["only"]
    inflow = 640.0 * 1.00833  # 645.3312 cfs over one hour, C = 2/3
    assert total.data == pytest.approx([inflow * 2 / 3, inflow * 2 / 9, inflow * 2 / 27], abs=1e-9)
    assert total.data[0] == pytest.approx(430.2208, abs=5e-5)
    assert layers["only"].data == total.data
    assert type(total) is CTS and type(layers["only"]) is CTS


LAYERS = [
    ("fast", 3 * 3600, 0.3, 2.0, 3),
    ("slow", 2 * 86400 + 17, 0.45, 12.5, 1),
    ("mid", 5 * 3600, 0.2, 0.0, 2),
]


@pytest.mark.parametrize("step", [timedelta(minutes=30), HOUR, timedelta(seconds=90)])
@pytest.mark.parametrize("order", [[0, 1, 2], [2, 0, 1]])
def test_layers_match_recurrence_in_dict_order(step, order, np):
    rng = np.random.default_rng(7)
    values = list(np.round(rng.gamma(0.6, 0.4, 40), 3))
    rain = ITS(values, step, "volume")
    reservoirs = {
        name: LinearReservoir(timedelta(seconds=k), f, q0, n) for name, k, f, q0, n in (LAYERS[i] for i in order)
    }
    total, layers = run(1234.5, rain, reservoirs)
    assert list(layers) == list(reservoirs)
    seconds = step.total_seconds()
    expected_total = [0.0] * len(values)
    for name, k, f, q0, n in (LAYERS[i] for i in order):
        expected = routed(1234.5, values, seconds, k, f, q0, n)
        assert layers[name].data == expected
        expected_total = [t + v for t, v in zip(expected_total, expected)]
    assert total.data == expected_total
    for series in (total, *layers.values()):
        assert (series.kind, series.time_step, len(series.data)) == ("discharge", step, len(values))


@pytest.mark.parametrize(
    "fractions, text",
    [
        ([0.6, 0.5], "Total fraction 1.1 > 1.0"),
        ([1.0, 1.0], "Total fraction 2 > 1.0"),
        ([1.0, 0.000002], "Total fraction 1.000002 > 1.0"),
        ([1.0, 0.0000005], None),
        ([0.5, 0.25, 0.25], None),
    ],
)
def test_fraction_check(fractions, text):
    # The second layer is unstable: the fraction check must come first.
    reservoirs = {f"l{i}": LinearReservoir(timedelta(seconds=60) if i else HOUR, f, 0.0)
                  for i, f in enumerate(fractions)}
    rain = ITS([1.0], HOUR, "rainfall")
    with pytest.raises(ValueError) as excinfo:
        run(1.0, rain, reservoirs)
    if text is None:
        assert message(excinfo).startswith("Stability Error:")
    else:
        assert message(excinfo) == text


def test_fraction_written_after_construction_is_checked():
    layer = LinearReservoir(HOUR, 0.5, 0.0)
    layer.gw_fraction = 1.5
    with pytest.raises(ValueError) as excinfo:
        run(1.0, ITS([1.0], HOUR, "rainfall"), {"a": layer})
    assert message(excinfo) == "Total fraction 1.5 > 1.0"
    layer.gw_fraction = math.nan  # a NaN total passes
    total, _ = run(1.0, ITS([1.0], HOUR, "rainfall"), {"a": layer})
    assert math.isnan(total.data[0])


@pytest.mark.parametrize(
    "k_seconds, count, step, text",
    [
        (1800, 2, HOUR, "Stability Error: k_per_res (0.2500) < 0.5*dt (0.5000). Increase k_hr or num_reservoir."),
        (1000, 3, HOUR, "Stability Error: k_per_res (0.0926) < 0.5*dt (0.5000). Increase k_hr or num_reservoir."),
        (1, 1, timedelta(seconds=60),
         "Stability Error: k_per_res (0.0003) < 0.5*dt (0.0083). Increase k_hr or num_reservoir."),
        (3600, 1, timedelta(days=1),
         "Stability Error: k_per_res (1.0000) < 0.5*dt (12.0000). Increase k_hr or num_reservoir."),
        (3600, 2, HOUR, None),  # equality passes
    ],
)
def test_stability_check(k_seconds, count, step, text):
    layer = LinearReservoir(timedelta(seconds=k_seconds), 0.5, 0.0, count)
    rain = ITS([1.0, 2.0], step, "rainfall")
    if text is None:
        assert len(run(1.0, rain, {"a": layer})[0].data) == 2
        return
    with pytest.raises(ValueError) as excinfo:
        run(1.0, rain, {"a": layer})
    assert message(excinfo) == text


@pytest.mark.parametrize("names, named", [(["ok", "b1", "b2"], "0.2500"), (["b2", "ok", "b1"], "0.0083")])
def test_stability_error_names_first_failing_layer(names, named):
    layers = {
        "ok": LinearReservoir(HOUR, 0.1, 0.0),
        "b1": LinearReservoir(timedelta(seconds=1800), 0.1, 0.0, 2),
        "b2": LinearReservoir(timedelta(seconds=30), 0.1, 0.0),
    }
    with pytest.raises(ValueError) as excinfo:
        run(1.0, ITS([1.0], HOUR, "rainfall"), {n: layers[n] for n in names})
    assert message(excinfo).startswith(f"Stability Error: k_per_res ({named}) <")


def test_zero_count_passes_inflow_rate_through():
    layer = LinearReservoir(timedelta(seconds=1), 0.4, 99.0, 3)
    layer.num_reservoir = 0  # would fail the stability check with any count
    values = [0.5, 0.0, 2.25]
    total, layers = run(80.0, ITS(values, timedelta(minutes=15), "rainfall"), {"z": layer})
    area = 80.0 * 1.00833
    assert layers["z"].data == [((p * 0.4) / 0.25) * area for p in values]
    assert total.data == layers["z"].data


def test_recession_from_initial_q():
    total, _ = run(500.0, ITS([0.0] * 3, HOUR, "rainfall"), {"a": LinearReservoir(2 * HOUR, 0.5, 10.0)})
    # C = 1 / (2 + 0.5) = 0.4
    assert total.data == pytest.approx([6.0, 3.6, 2.16], abs=1e-12)


def test_empty_inputs():
    total, layers = run(10.0, ITS([1.0, 2.0, 3.0], timedelta(days=1), "rainfall"), {})
    assert (total.data, layers, total.kind, total.time_step) == ([0.0, 0.0, 0.0], {}, "discharge", timedelta(days=1))
    reservoirs = {"a": LinearReservoir(HOUR, 0.5, 3.0), "b": LinearReservoir(HOUR, 0.5, 3.0, 2)}
    total, layers = run(10.0, ITS([], HOUR, "rainfall"), reservoirs)
    assert total.data == [] and list(layers) == ["a", "b"]
    assert all(s.data == [] and s.time_step == HOUR and s.kind == "discharge" for s in layers.values())


def test_arguments_untouched_and_copied_at_call():
    values = [0.4, 0.0, 1.2]
    rain = ITS(values, HOUR, "rainfall")
    layer = LinearReservoir(3 * HOUR, 0.5, 1.0, 2)
    reservoirs = OrderedDict([("a", layer), ("b", layer)])  # dict subclass, one object twice
    before = snapshot(layer)
    total, layers = run(10.0, rain, reservoirs)
    assert rain.data == values and rain.time_step == HOUR and rain.kind == "rainfall"
    assert list(reservoirs.items()) == [("a", layer), ("b", layer)]
    assert snapshot(layer) == before
    assert layers["a"].data == layers["b"].data
    layer.initial_q = 50.0  # results already returned keep their values
    assert layers["a"].data == run(10.0, rain, {"a": LinearReservoir(3 * HOUR, 0.5, 1.0, 2)})[0].data
    assert run(10.0, rain, {"a": layer})[0].data != layers["a"].data


@pytest.mark.parametrize(
    "args, text",
    [
        (("1", ITS([1.0], HOUR, "rainfall"), []), "argument 'basin_area': must be real number, not str"),
        ((1.0, CTS([1.0], HOUR, "rainfall"), []),
         "argument 'rainfall': 'ContinuousTimeSeries' object is not an instance of 'IncrementalTimeSeries'"),
        ((1.0, ITS([1.0], HOUR, "rainfall"), [("a", LinearReservoir(HOUR, 0.5, 0.0))]),
         "argument 'reservoirs': 'list' object is not an instance of 'dict'"),
        ((1.0, ITS([1.0], HOUR, "rainfall"), {"a": LinearReservoir(HOUR, 0.5, 0.0), 1: None}),
         "argument 'reservoirs': 'int' object is not an instance of 'str'"),
        ((1.0, ITS([1.0], HOUR, "rainfall"), {"a": 1, 2: None}),
         "argument 'reservoirs': 'int' object is not an instance of 'LinearReservoir'"),
        ((1.0, ITS([1.0], HOUR, "rainfall")),
         "run_linear_reservoir() missing 1 required positional argument: 'reservoirs'"),
    ],
)
def test_argument_errors(args, text):
    with pytest.raises(TypeError) as excinfo:
        run(*args)
    assert message(excinfo) == text


def test_no_reference_growth_on_error_paths():
    rain = ITS([0.5, 1.0], HOUR, "rainfall")
    layer = LinearReservoir(HOUR, 0.5, 1.0)
    unstable = {"u": LinearReservoir(timedelta(seconds=60), 0.1, 0.0)}
    too_much = {"a": layer, "b": layer, "c": layer}

    def calls():
        snapshot(layer)
        for bad in (
            lambda: run(1.0, rain, unstable),
            lambda: run(1.0, rain, too_much),
            lambda: run(1.0, rain, {"a": layer, 3: layer}),
            lambda: LinearReservoir(timedelta(seconds=0.5), 0.5, 0.0),
            lambda: setattr(layer, "gw_fraction", "x"),
            lambda: setattr(layer, "num_reservoir", -1),
        ):
            try:
                bad()
            except (TypeError, ValueError, OverflowError):
                pass

    assert allocated_growth(calls, calls=300) < 50
