"""Every class and callable of the module, found by walking it, and one valid
call of each.

The generic suites (fuzzing, pickling, leaks, threads, the module tree) take
their lists from MEMBERS rather than from lists of their own, so a new class
or function is covered by all of them once it has its entry in CALLS below;
test_module_tree fails while an entry is missing (or names nothing).
"""

import math
import types
from dataclasses import dataclass, field
from datetime import datetime, timedelta, timezone
from typing import Callable

import pelmora

HOUR = timedelta(hours=1)


@dataclass(frozen=True)
class Member:
    module: str  # the dotted path below pelmora, e.g. "reservoir.reservoir_utils"
    name: str
    obj: object

    @property
    def is_class(self):
        return isinstance(self.obj, type)


def walk(module=pelmora, path=()):
    """The members of every submodule, depth first, each module in the order
    of its __all__."""
    for name in module.__all__:
        obj = getattr(module, name)
        if isinstance(obj, types.ModuleType):
            yield from walk(obj, (*path, name))
        elif path:
            yield Member(".".join(path), name, obj)


MEMBERS = list(walk())
CLASSES = [m.obj for m in MEMBERS if m.is_class]
CALLABLES = [m.obj for m in MEMBERS if not m.is_class]
BY_NAME = {m.name: m.obj for m in MEMBERS}


@dataclass
class Call:
    """A valid call: `target(*args, **kwargs)`. For a class, the call makes
    an instance of it; a class Python cannot construct comes from the call
    that returns it."""

    target: Callable
    args: tuple = ()
    kwargs: dict = field(default_factory=dict)

    def __call__(self):
        return self.target(*self.args, **self.kwargs)

    def arguments(self):
        return [*self.args, *self.kwargs.values()]


def _rain():
    return pelmora.utils.IncrementalTimeSeries([0.2, 0.6, 0.1, 0.0, 0.4], HOUR, "rainfall",
                                               start=datetime(2024, 5, 1, tzinfo=timezone(timedelta(hours=-5))))


def _inflow():
    return pelmora.utils.ContinuousTimeSeries([10.0, 60.0, 35.0, 20.0, 12.0], timedelta(minutes=10), "discharge",
                                              start=datetime(2024, 5, 1, 6))


def _rating():
    return BY_NAME["ElevationDischarge"]([104.0, 106.0, 110.0], [0.0, 30.0, 200.0])


def _storage():
    return BY_NAME["ElevationStorage"]([100.0, 105.0, 110.0], [0.0, 2e6, 6e6])


def _outlets():
    ru = pelmora.reservoir.reservoir_utils
    return {
        "spillway": ru.UnControlledDischargeInfo(_rating(), 0.5),
        "gate": ru.ControlledDischargeInfo(_rating(), 101.0, None, 40.0),
        "minimum": ru.ConstantDischargeInfo(5.0),
        "plan": ru.SpecifiedDischargeInfo(_inflow(), None, 109.0, 20.0),
    }


def _layers():
    layer = BY_NAME["LinearReservoir"]
    return {"fast": layer(timedelta(hours=6), 0.3, 1.0, 2), "slow": layer(timedelta(days=5), 0.5, 2.0, 3)}


def _deficit_and_constant():
    return Call(BY_NAME["run_deficit_and_constant"], (_rain(), 0.2, 1.5, 0.1, timedelta(days=2)))


def _level_pool():
    return Call(BY_NAME["run_level_pool_routing"], (_inflow(), 104.0, _storage(), _outlets()))


# Name -> a factory of a fresh valid call, so that no two users share arguments.
CALLS = {
    "ContinuousTimeSeries": lambda: Call(BY_NAME["ContinuousTimeSeries"], ([1.0, 2.5, math.inf], HOUR, "discharge"),
                                         {"start": datetime(2024, 5, 1)}),
    "IncrementalTimeSeries": lambda: Call(BY_NAME["IncrementalTimeSeries"], ([0.5, 0.0, 1.0], HOUR, "rainfall")),
    "run_muskingum_routing": lambda: Call(BY_NAME["run_muskingum_routing"], (_inflow(), HOUR, 0.2, 3, 10.0)),
    "run_level_pool_routing": _level_pool,
    "LevelPoolResult": _level_pool,
    "run_clark_uh": lambda: Call(BY_NAME["run_clark_uh"], (_rain(), 640.0, timedelta(hours=3), timedelta(hours=2))),
    "DeficitConstantResult": _deficit_and_constant,
    "run_deficit_and_constant": _deficit_and_constant,
    "run_linear_reservoir": lambda: Call(BY_NAME["run_linear_reservoir"], (640.0, _rain(), _layers())),
    "LinearReservoir": lambda: Call(BY_NAME["LinearReservoir"], (timedelta(hours=6), 0.4, 1.0), {"num_reservoir": 2}),
    "calculate_kge": lambda: Call(BY_NAME["calculate_kge"], ([1.0, 2.0, 3.5, 2.0], [1.2, 1.8, 3.0, 2.5], True)),
    "ElevationDischarge": lambda: Call(BY_NAME["ElevationDischarge"], ([104.0, 106.0, 110.0], [0.0, 30.0, 200.0])),
    "ElevationStorage": lambda: Call(BY_NAME["ElevationStorage"], ([100.0, 105.0, 110.0], [0.0, 2e6, 6e6])),
    "ControlledDischargeInfo": lambda: Call(BY_NAME["ControlledDischargeInfo"], (_rating(), 101.0, None, 40.0)),
    "UnControlledDischargeInfo": lambda: Call(BY_NAME["UnControlledDischargeInfo"], (_rating(),),
                                              {"elevation_offset": -0.5}),
    "SpecifiedDischargeInfo": lambda: Call(BY_NAME["SpecifiedDischargeInfo"], (_inflow(),), {"maximum_release": 20.0}),
    "ConstantDischargeInfo": lambda: Call(BY_NAME["ConstantDischargeInfo"], (5.0, 100.0, 110.0)),
}


def call_of(member):
    """A fresh valid call for a member (a Member, an object or a name)."""
    name = member.name if isinstance(member, Member) else getattr(member, "__name__", member)
    return CALLS[name]()


def instance_of(cls):
    """A fresh instance of one of the module's classes."""
    made = call_of(cls)()
    assert isinstance(made, cls), f"the call listed for {cls.__name__} made a {type(made).__name__}"
    return made
