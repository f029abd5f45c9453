"""Rating curves, outlets and level pool routing from Python."""

from datetime import timedelta

import pytest
from conftest import HOUR, message

import pelmora

CTS = pelmora.utils.ContinuousTimeSeries
ru = pelmora.reservoir.reservoir_utils
route = pelmora.reservoir.run_level_pool_routing
ES, ED = ru.ElevationStorage, ru.ElevationDischarge

CURVE = ED([100.0, 110.0], [0.0, 50.0])
STORAGE = ES([100.0, 110.0], [0.0, 1000000.0])


# ---- rating curves -------------------------------------------------------------

@pytest.mark.parametrize(
    "cls, args, text",
    [
        (ES, ([1, 2, 3], [1, 2]), "`elevation` and `storage` must have the same length"),
        (ES, ([1, 1], [1, 2]), "`elevation` must must be sorted and can't have duplicates"),
        (ES, ([1, 2], [5, 5]), "`storage` must must be sorted and can't have duplicates"),
        (ES, ([1, float("nan")], [1, 2]), "`elevation` must must be sorted and can't have duplicates"),
        (ED, ([1], [1, 2]), "`elevation` and `discharge` must have the same length"),
        (ED, ([1], [1]), "`elevation` and `discharge` each must have at least 2 elements."),
        (ED, ([2, 1], [1, 2]), "`elevation` must must be sorted and can't have duplicates"),
        (ED, ([1, 2], [2, 1]), "`discharge` must must be sorted"),
    ],
)
def test_curve_validation(cls, args, text):
    with pytest.raises(ValueError) as excinfo:
        cls(*args)
    assert message(excinfo) == text


def test_storage_lookups():
    assert STORAGE.get_storage(105.0) == 500000.0
    assert STORAGE.get_storage(elevation=110.0) == 1000000.0
    assert STORAGE.get_elevation(250000.0) == 102.5
    assert ED([1, 2], [5, 5]).discharge == [5.0, 5.0]
    with pytest.raises(ValueError) as excinfo:
        ES([100, 110], [0, 5000]).get_storage(110.5)
    assert message(excinfo) == "`elevation` 110.5 is outside the range of the elevation-storage curve."
    with pytest.raises(ValueError) as excinfo:
        ES([100, 110], [0, 5000]).get_elevation(-1)
    assert message(excinfo) == "`storage` -1 is outside the range of the elevation-storage curve."
    with pytest.raises(ValueError) as excinfo:
        STORAGE.get_elevation(float("nan"))
    assert message(excinfo) == "`storage` NaN is outside the range of the elevation-storage curve."


@pytest.mark.parametrize("points", [([], []), ([1.0], [2.0])])
def test_short_storage_curves_refuse_lookups(points):
    curve = ES(*points)
    for lookup in (curve.get_storage, curve.get_elevation):
        with pytest.raises(ValueError) as excinfo:
            lookup(1.0)
        assert message(excinfo) == "x_values and y_values each must have at least 2 elements."


def test_curve_attributes_are_fresh():
    e = STORAGE.elevation
    e.append(1.0)
    assert STORAGE.elevation == [100.0, 110.0] and STORAGE.storage == [0.0, 1000000.0]


# ---- outlets -------------------------------------------------------------------

def test_outlet_defaults_and_clamping():
    c = ru.ConstantDischargeInfo(10.0)
    assert (c.discharge, c.minimum_elevation, c.maximum_elevation) == (10.0, None, None)
    g = ru.ControlledDischargeInfo(CURVE)
    assert (g.minimum_elevation, g.maximum_elevation, g.maximum_release) == (100.0, None, None)
    assert ru.ControlledDischargeInfo(CURVE, 90.0, 120.0).minimum_elevation == 100.0
    assert ru.ControlledDischargeInfo(CURVE, 90.0, 120.0).maximum_elevation == 110.0
    assert ru.ControlledDischargeInfo(CURVE, float("nan"), float("nan")).maximum_elevation == 110.0
    u = ru.UnControlledDischargeInfo(CURVE, elevation_offset=-2.0)
    assert u.elevation_offset == -2.0
    assert u.elevation_discharge is not u.elevation_discharge
    assert u.elevation_discharge.discharge == [0.0, 50.0]
    s = ru.SpecifiedDischargeInfo(CTS([1, 2], HOUR, "discharge"), maximum_release=3.0)
    assert (s.discharge.data, s.maximum_release, s.minimum_elevation) == ([1.0, 2.0], 3.0, None)


@pytest.mark.parametrize("value", [1.5, CURVE, None, "gate"])
def test_outlet_dict_conversion_error(value):
    with pytest.raises(TypeError) as excinfo:
        route(CTS([0, 0], HOUR, "discharge"), 105.0, STORAGE, {"x": value})
    name = "None" if value is None else type(value).__qualname__
    lines = "".join(
        f"\n- variant {v} ({v}): TypeError: failed to extract field DischargeInfo::{v}.0, caused by TypeError: "
        + (f"'None' is not an instance of '{cls}'" if value is None else f"'{name}' object is not an instance of '{cls}'")
        for v, cls in [
            ("Uncontrolled", "UnControlledDischargeInfo"),
            ("Controlled", "ControlledDischargeInfo"),
            ("Specified", "SpecifiedDischargeInfo"),
            ("Constant", "ConstantDischargeInfo"),
        ]
    )
    assert message(excinfo) == (
        "argument 'discharge_info': failed to extract enum DischargeInfo "
        "('Uncontrolled | Controlled | Specified | Constant')" + lines
    )


# ---- level pool ----------------------------------------------------------------

def pool(inflow, outlets, step=HOUR, e0=105.0, curve=STORAGE):
    return route(CTS(inflow, step, "discharge"), e0, curve, outlets)


def test_still_reservoir():
    r = pool([0, 0, 0], {"c": ru.ConstantDischargeInfo(0.0)})
    assert r.reservoir_storage.data == [500000.0, 500000.0]
    assert r.reservoir_elevation.data == [105.0, 105.0]
    assert r.reservoir_total_outflow.data == [0.0, 0.0]
    assert {k: v.data for k, v in r.reservoir_individual_outflows.items()} == {"c": [0.0, 0.0]}
    for series, kind in [(r.reservoir_storage, "volume"), (r.reservoir_elevation, "elevation"),
                         (r.reservoir_total_outflow, "discharge")]:
        assert (series.kind, series.time_step) == (kind, HOUR)


def test_steady_inflow_and_constant_release():
    assert pool([10, 10, 10], {"c": ru.ConstantDischargeInfo(0.0)}).reservoir_storage.data == [500000.0, 536000.0]
    r = pool([0, 0, 0], {"c": ru.ConstantDischargeInfo(5.0)}, step=timedelta(seconds=60))
    assert r.reservoir_storage.data == [500000.0, 499700.0]
    assert r.reservoir_total_outflow.data == [5.0, 5.0]


def test_specified_outlet_reads_at_step_end_and_caps():
    series = CTS([1.0, 2.0, 3.0, 4.0], HOUR, "discharge")
    r = pool([0, 0, 0, 0], {"s": ru.SpecifiedDischargeInfo(series)})
    assert r.reservoir_total_outflow.data == [2.0, 3.0, 4.0]
    capped = pool([0, 0, 0, 0], {"s": ru.SpecifiedDischargeInfo(series, maximum_release=2.5)})
    assert capped.reservoir_total_outflow.data == [2.0, 2.5, 2.5]
    short = ru.SpecifiedDischargeInfo(CTS([1.0, 2.0, 3.0], HOUR, "discharge"))
    with pytest.raises(ValueError) as excinfo:
        pool([0, 0, 0, 0], {"s": short})
    assert message(excinfo) == "simulation duration 7201s exceeds the specified discharge series length (7200s)."


def test_outlet_order_follows_the_dict():
    outlets = {"b": ru.ConstantDischargeInfo(1.0), "a": ru.UnControlledDischargeInfo(CURVE)}
    r = pool([0, 0, 0], outlets)
    assert list(r.reservoir_individual_outflows) == ["b", "a"]
    assert r.reservoir_individual_outflows["a"].data[0] == 25.0
    assert r.reservoir_total_outflow.data[0] == 26.0


@pytest.mark.parametrize(
    "inflow, e0, outlets, text",
    [
        ([0, 0], 99.0, {}, "`elevation` 99 is outside the range of the elevation-storage curve."),
        ([0, 1e6, 1e6], 105.0, {}, None),  # overfills: storage message
        ([], 105.0, {}, "inflow must not be empty"),
        ([0, 0, 0], 105.0, {"u": ru.UnControlledDischargeInfo(CURVE, 6.0)},
         "elevation 111 is above the maximum of the elevation-discharge curve (110)."),
    ],
)
def test_routing_errors(inflow, e0, outlets, text):
    with pytest.raises(ValueError) as excinfo:
        pool(inflow, outlets, e0=e0)
    if text is None:
        assert message(excinfo).startswith("`storage` ") and message(excinfo).endswith(
            " is outside the range of the elevation-storage curve.")
    else:
        assert message(excinfo) == text


def test_single_value_and_no_outlets():
    r = pool([5.0], {"c": ru.ConstantDischargeInfo(1.0)})
    assert r.reservoir_storage.data == [500000.0] and r.reservoir_elevation.data == [105.0]
    assert r.reservoir_total_outflow.data == [] and r.reservoir_individual_outflows == {}
    assert pool([0, 0, 0], {}).reservoir_total_outflow.data == [0.0, 0.0]


def test_inputs_untouched_and_results_fresh():
    outlets = {"g": ru.ControlledDischargeInfo(CURVE, maximum_release=20.0)}
    inflow = CTS([30.0, 60.0, 30.0], HOUR, "discharge")
    r = route(inflow, 105.0, STORAGE, outlets)
    assert r.reservoir_storage is not r.reservoir_storage
    assert r.reservoir_individual_outflows["g"].data == [20.0, 20.0]
    assert inflow.data == [30.0, 60.0, 30.0] and list(outlets) == ["g"]
    assert STORAGE.storage == [0.0, 1000000.0]
