"""Every outlet class the module registers is a kind level pool routing takes
and asks, and the outlets the conversion error names are exactly those
classes, in the order a value is tried against them."""

import re
from datetime import timedelta

import pytest
from conftest import HOUR, message

import pelmora

CTS = pelmora.utils.ContinuousTimeSeries
ru = pelmora.reservoir.reservoir_utils
route = pelmora.reservoir.run_level_pool_routing

CURVE = ru.ElevationDischarge([100.0, 110.0], [0.0, 50.0])
STORAGE = ru.ElevationStorage([100.0, 110.0], [0.0, 1000000.0])
OUTLET_CLASSES = [name for name in ru.__all__ if name.endswith("DischargeInfo")]

# One outlet of each class and its release at 105 ft at time zero; no two
# answers agree, so an outlet asked as another kind shows. A new outlet class
# needs its sample here.
SAMPLES = {
    "UnControlledDischargeInfo": ((CURVE,), {"elevation_offset": 1.0}, 30.0),
    "ControlledDischargeInfo": ((CURVE,), {"maximum_release": 20.0}, 20.0),
    "SpecifiedDischargeInfo": ((CTS([7.0, 9.0], HOUR, "discharge"),), {}, 7.0),
    "ConstantDischargeInfo": ((3.0,), {}, 3.0),
}


def test_every_outlet_class_has_a_sample():
    assert sorted(OUTLET_CLASSES) == sorted(SAMPLES)


@pytest.mark.parametrize("name", OUTLET_CLASSES)
@pytest.mark.parametrize("subclassed", [False, True])
def test_every_outlet_class_is_taken_and_asked(name, subclassed):
    args, kwargs, expected = SAMPLES[name]
    cls = getattr(ru, name)
    if subclassed:
        cls = type("Sub" + name, (cls,), {})
    r = route(CTS([0.0, 0.0], timedelta(seconds=60), "discharge"), 105.0, STORAGE, {"x": cls(*args, **kwargs)})
    assert r.reservoir_individual_outflows["x"].data[0] == expected
    assert r.reservoir_total_outflow.data[0] == expected


def test_the_conversion_error_names_every_outlet_class_once():
    with pytest.raises(TypeError) as excinfo:
        route(CTS([0, 0], HOUR, "discharge"), 105.0, STORAGE, {"x": 1.5})
    text = message(excinfo)
    head = re.match(r"argument 'discharge_info': failed to extract enum DischargeInfo \('([^']*)'\)", text)
    variants = head.group(1).split(" | ")
    lines = re.findall(
        r"\n- variant (\w+) \((\w+)\): TypeError: failed to extract field DischargeInfo::(\w+)\.0, "
        r"caused by TypeError: 'float' object is not an instance of '(\w+)'",
        text,
    )
    assert [line[:3] for line in lines] == [(v, v, v) for v in variants]
    assert sorted(line[3] for line in lines) == sorted(OUTLET_CLASSES)
    assert "".join(m.group(0) for m in re.finditer(r"\n- variant [^\n]*", text)) == text[head.end():]
