"""Borrows while Python code runs inside a call.

A LinearReservoir setter converts its value before it takes the exclusive
borrow, and a lent series (no setters) holds nothing a callback could trip
over, so Python code run from inside those calls may use the same objects
freely. Each case would raise "Already borrowed" or "Already mutably
borrowed" if a borrow were held at the wrong time.
"""

import copy
import pickle

import pytest
from conftest import HOUR

import pelmora

LinearReservoir = pelmora.baseflow.LinearReservoir
ITS = pelmora.utils.IncrementalTimeSeries


class Hook:
    """A number whose conversion first runs `action`."""

    def __init__(self, action, value):
        self.action, self.value = action, value

    def __float__(self):
        self.action()
        return float(self.value)

    def __index__(self):
        self.action()
        return int(self.value)


def layer():
    return LinearReservoir(4 * HOUR, 0.5, 1.0, 2)


ON_THE_SAME_LAYER = {
    "read": lambda r: (r.gw_fraction, r.initial_q, r.num_reservoir, r.k_duration),
    "set another attribute": lambda r: setattr(r, "initial_q", 3.0),
    "set the same attribute": lambda r: setattr(r, "gw_fraction", 0.125),
    "pickle": lambda r: pickle.loads(pickle.dumps(r)),
    "copy": lambda r: (copy.copy(r), copy.deepcopy(r)),
    "run": lambda r: pelmora.baseflow.run_linear_reservoir(1.0, ITS([1.0, 0.5], HOUR, "volume"), {"a": r}),
}


@pytest.mark.parametrize("action", ON_THE_SAME_LAYER.values(), ids=ON_THE_SAME_LAYER.keys())
@pytest.mark.parametrize("name, value", [("gw_fraction", 0.25), ("initial_q", 7.5), ("num_reservoir", 3)])
def test_setter_converts_before_it_borrows(action, name, value):
    r = layer()
    setattr(r, name, Hook(lambda: action(r), value))
    # The setter's own store comes last and wins over the callback's.
    assert getattr(r, name) == value


NESTED_ON_THE_LENT_SERIES = {
    "read": lambda s: (s.data, s.time_step, s.kind, s.start),
    "pickle": lambda s: pickle.loads(pickle.dumps(s)),
    "copy": lambda s: (copy.copy(s), copy.deepcopy(s)),
    "buffer": lambda s: memoryview(s).tolist(),
    "nested call": lambda s: pelmora.rainfall_transform.run_clark_uh(s, 1.0, HOUR, HOUR),
}


@pytest.mark.parametrize("action", NESTED_ON_THE_LENT_SERIES.values(), ids=NESTED_ON_THE_LENT_SERIES.keys())
def test_lent_series_is_usable_while_the_call_runs_python(action):
    rain = ITS([1.0, 2.0, 0.5], HOUR, "volume")
    run = pelmora.rainfall_transform.run_clark_uh
    expected = run(rain, 1.0, HOUR, HOUR).data
    # The rainfall is lent before basin_area is converted, so the hook runs
    # while the loan lasts.
    assert run(rain, Hook(lambda: action(rain), 1.0), HOUR, HOUR).data == expected


@pytest.mark.parametrize("name, value", [("gw_fraction", 0.25), ("initial_q", 2.0), ("num_reservoir", 3)])
def test_layer_set_while_a_run_converts_its_arguments(name, value):
    # basin_area is converted before the layers are copied, so the run is
    # neither refused nor blind to the change: it routes the layer as set.
    r = layer()
    rain = ITS([1.0, 0.5], HOUR, "volume")
    run = pelmora.baseflow.run_linear_reservoir
    before, _ = run(1.0, rain, {"a": r})
    during, _ = run(Hook(lambda: setattr(r, name, value), 1.0), rain, {"a": r})
    after, _ = run(1.0, rain, {"a": r})
    assert getattr(r, name) == value
    assert during.data == after.data != before.data
