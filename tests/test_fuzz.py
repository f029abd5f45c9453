"""Robustness fuzzing of every bound callable.

Hypothesis throws arguments of every shape at each model function,
constructor, method, attribute read and setter: mostly coherent values, so
that calls get deep into the models, with an occasional wild value, a missing,
extra or doubled argument, a hostile object or a subclass instance. A call may
return, or raise TypeError, ValueError, OverflowError, RuntimeError or
UserWarning (MemoryError for absurd sizes, and whatever our own hostile
objects raise on purpose). It must never crash, never raise the internal-fault
exception and never change an argument.

PELMORA_FUZZ_EXAMPLES sets the examples per callable: the default keeps
`make test` quick, `make fuzz` runs thousands.

Sizes are bounded where work is legitimately proportional to them: level pool
inflows span at most ~10^5 simulated seconds (it steps once per second),
Muskingum runs at most ~10^6 value-passes, Clark builds at most 2*10^5
ordinates and as many recession steps unless the time of concentration or
the storage coefficient is so absurd that it is refused.
"""

import array
import functools
import inspect
import math
import operator
import os
import struct
import types
import warnings
from dataclasses import dataclass
from datetime import datetime, timedelta, timezone
from decimal import Decimal
from fractions import Fraction
from typing import Callable

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import pelmora

try:
    import numpy as np
except ImportError:  # Debian packages numpy for the GIL build only: fuzz without arrays there
    np = None
try:
    import pandas as pd
except ImportError:
    pd = None
NUMPY_TYPES = (np.ndarray, np.generic) if np else ()

EXAMPLES = int(os.environ.get("PELMORA_FUZZ_EXAMPLES", "200"))
FUZZ = settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))
# AddressSanitizer aborts on any single allocation above 1 TiB instead of
# letting operator new throw, so absurd length hints only run natively.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

CTS = pelmora.utils.ContinuousTimeSeries
ITS = pelmora.utils.IncrementalTimeSeries
ru = pelmora.reservoir.reservoir_utils
ES, ED = ru.ElevationStorage, ru.ElevationDischarge
CONST, SPEC = ru.ConstantDischargeInfo, ru.SpecifiedDischargeInfo
CTRL, UNCTRL = ru.ControlledDischargeInfo, ru.UnControlledDischargeInfo
LR = pelmora.baseflow.LinearReservoir
DCR = pelmora.rainfall_loss.DeficitConstantResult
LPR = pelmora.reservoir.LevelPoolResult
CLASSES = (CTS, ITS, ES, ED, CONST, SPEC, CTRL, UNCTRL, LR, DCR, LPR)


def _refuse(self):
    raise HostileError("a subclass's own number protocol")


# Subclasses are accepted wherever their base is; as numbers they refuse.
SUB = {c: type("Sub" + c.__name__, (c,), {"__float__": _refuse, "__index__": _refuse})
       for c in CLASSES if c is not LR}
PROPS = {c: [n for n, v in vars(c).items() if isinstance(v, types.GetSetDescriptorType)] for c in CLASSES}
SETTABLE = {"gw_fraction", "initial_q", "num_reservoir"}
KINDS = ["discharge", "rainfall", "elevation", "volume"]

ALLOWED = (TypeError, ValueError, OverflowError, RuntimeError, UserWarning)
MISSING = object()
NAN, INF = float("nan"), float("inf")
SPECIAL_FLOATS = [0.0, -0.0, NAN, INF, -INF, 5e-324, -5e-324, 1.7976931348623157e308,
                  -1.7976931348623157e308, 1e-300, 2.0**53, 0.5, -1.0]
SPECIAL_INTS = [0, 1, -1, 29, 30, 2**31 - 1, 2**31, -(2**31) - 1, 2**63 - 1, 2**63, -(2**63),
                -(2**63) - 1, 2**64 - 1, 2**64, 10**100, -(10**100)]


def seconds(td):
    return td.days * 86400 + td.seconds + td.microseconds / 1e6


# ---- hostile objects ---------------------------------------------------------------

class HostileError(Exception):
    """Raised on purpose by the hostile objects below; it must pass through."""


class FloatSub(float):
    pass


class IntSub(int):
    pass


class StrSub(str):
    pass


class TdSub(timedelta):
    pass


class DictSub(dict):
    def items(self):
        raise HostileError("the library reads dicts directly")


class ListSub(list):
    def __iter__(self):
        return iter([1.0, 2.0])


class Hostile:
    causes = ()  # exceptions this object may legitimately lead to

    def __repr__(self):
        return f"{type(self).__name__}({vars(self)})"


class Unprintable:
    def __str__(self):
        raise HostileError("__str__")


class Raises(Hostile):
    causes = (HostileError,)

    def __init__(self, make_error):
        self.make_error = make_error  # a fresh error each time: re-raising one grows its traceback

    def __float__(self):
        raise self.make_error()

    __index__ = __float__


raised_errors = st.sampled_from([lambda: HostileError("plain"), lambda: TypeError(Unprintable()), TypeError,
                                 lambda: TypeError("a", "b"), lambda: ValueError("from __float__"),
                                 lambda: OverflowError("from __index__")])


class WrongType(Hostile):
    """__float__ / __index__ returning something of the wrong type."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __index__(self):
        return self.value


class SubclassResult(Hostile):
    causes = (DeprecationWarning,)  # with warnings as errors

    def __float__(self):
        return FloatSub(2.5)

    def __index__(self):
        return True


class Numberish(Hostile):
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class LyingLength(Hostile):
    causes = (HostileError, MemoryError)

    def __init__(self, length, items):
        self.length, self.items = length, items

    def __len__(self):
        if self.length is None:
            raise HostileError("__len__")
        return self.length

    def __getitem__(self, i):
        return self.items[i]


class Mutator(Hostile):
    """Changes `target`, a list or dict argument, the first time it is converted."""

    def __init__(self, how):
        self.how, self.target, self.fired = how, None, False

    def __repr__(self):
        return f"Mutator({self.how})"

    def __float__(self):
        t = self.target
        if not self.fired and isinstance(t, list):
            {"clear": t.clear, "grow": lambda: t.extend([1.0] * 9), "shrink": lambda: t and t.pop(),
             "swap": t.reverse}[self.how]()
        elif not self.fired and isinstance(t, dict):
            {"clear": t.clear, "grow": lambda: t.update({f"new{i}": CONST(1.0) for i in range(5)}),
             "shrink": lambda: t and t.popitem(), "swap": lambda: t.update(dict.fromkeys(t))}[self.how]()
        self.fired = True
        return 1.0

    def __index__(self):
        return int(self.__float__())


def extra_causes(obj, depth=0):
    """Exceptions an argument may cause beyond the documented ones."""
    if depth > 3:
        return ()
    if isinstance(obj, Hostile):
        return obj.causes
    if isinstance(obj, tuple(SUB.values())):
        return (HostileError,)
    if isinstance(obj, range):
        return (MemoryError,) if len(obj) > 10**7 else ()
    if isinstance(obj, NUMPY_TYPES):
        causes = (np.exceptions.ComplexWarning,) if obj.dtype.kind == "c" else ()
        if obj.dtype.kind == "O" and isinstance(obj, np.ndarray):
            causes += tuple(c for x in obj.flat for c in extra_causes(x, depth + 1))
        return causes
    if isinstance(obj, (list, tuple)):
        return tuple(c for x in items_of(obj) for c in extra_causes(x, depth + 1))
    if isinstance(obj, dict):
        return tuple(c for kv in dict.items(obj) for x in kv for c in extra_causes(x, depth + 1))
    return ()


def items_of(seq):
    """The items as stored, whatever a subclass's __iter__ says."""
    return list.__getitem__(seq, slice(None)) if isinstance(seq, list) else tuple(seq)


# ---- snapshots and verdicts ------------------------------------------------------------

def freeze(obj, depth=0):
    """A comparable picture of everything a call could change in `obj`."""
    if depth > 8:
        return ("deep", type(obj))
    if isinstance(obj, Hostile):
        return ("obj", id(obj))
    if isinstance(obj, float):
        return ("f", type(obj), struct.pack("<d", obj))
    if isinstance(obj, (list, tuple)):
        return (type(obj), tuple(freeze(x, depth + 1) for x in items_of(obj)))
    if isinstance(obj, dict):
        return (type(obj), tuple((freeze(k), freeze(v, depth + 1)) for k, v in dict.items(obj)))
    if np and isinstance(obj, np.ndarray):
        flat = tuple(freeze(x, depth + 1) for x in obj.flat) if obj.dtype.kind == "O" else obj.tobytes()
        return ("nd", obj.dtype.str, obj.shape, obj.strides, obj.flags.writeable, flat)
    if isinstance(obj, (bytearray, array.array)):
        return (type(obj), bytes(obj))
    for cls, names in PROPS.items():
        if isinstance(obj, cls):
            return (type(obj), tuple(freeze(getattr(obj, n), depth + 1) for n in names))
    if isinstance(obj, (type(None), int, str, bytes, complex, timedelta, Decimal, Fraction, range)):
        return (type(obj), repr(obj))
    return ("obj", type(obj), id(obj))


def touch(obj, depth=0):
    """Reads every attribute of a result, as a user would."""
    if depth > 3:
        return
    if isinstance(obj, (tuple, list)):
        for x in obj:
            touch(x, depth + 1)
    elif isinstance(obj, dict):
        for k, v in obj.items():
            assert type(k) is str
            touch(v, depth + 1)
    else:
        for cls, names in PROPS.items():
            if isinstance(obj, cls):
                for n in names:
                    touch(getattr(obj, n), depth + 1)
                if hasattr(obj, "total_duration"):
                    assert type(obj.total_duration()) is int


def verdict(exc, allowed):
    if type(exc).__name__ == "PanicException":
        pytest.fail(f"internal fault: {exc!r}")
    if isinstance(exc, (KeyboardInterrupt, SystemExit)):
        raise exc
    if not isinstance(exc, allowed):
        raise AssertionError(f"unexpected {type(exc).__name__}: {exc}") from exc
    str(exc)  # the message itself must be readable


def attempt(call, arguments, extra=(), strict_warnings=False):
    """call(), or MISSING if it raised; fails on any forbidden outcome and on
    any change to an argument other than the ones our Mutators changed."""
    allowed = ALLOWED + extra + tuple(c for a in arguments for c in extra_causes(a))
    before = [(a, freeze(a)) for a in arguments]
    hostile_mutators = list(mutators(arguments))  # before they take themselves out
    result = MISSING
    with warnings.catch_warnings():
        warnings.simplefilter("error" if strict_warnings else "ignore")
        try:
            result = call()
        except BaseException as exc:  # noqa: BLE001 - the whole point
            verdict(exc, allowed)
    mutated = {id(m.target) for m in hostile_mutators if m.fired}
    for a, frozen in before:
        if id(a) not in mutated:
            assert freeze(a) == frozen, f"argument changed by the call: {a!r}"
    if result is not MISSING:
        touch(result)
    return result


def mutators(arguments):
    for a in arguments:
        if isinstance(a, Mutator):
            yield a
        elif type(a) is list:
            yield from (x for x in a if isinstance(x, Mutator))


# ---- wild values -----------------------------------------------------------------------

def _array(values, dtype, layout):
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        a = np.array(values, dtype=float).astype(dtype)
    if layout == "none" and dtype == "O" and len(a):
        a[0] = None
    elif layout == "strided":
        a = a[::2]
    elif layout == "reversed":
        a = a[::-1]
    elif layout == "2d" and len(a) % 2 == 0:
        a = a.reshape(2, -1)
    elif layout == "column":
        a = a.reshape(-1, 1)
    elif layout == "0d":
        a = np.array(a[0] if len(a) else 1.0, dtype=dtype)
    elif layout == "readonly":
        a.flags.writeable = False
    return a


def _memoryview(layout):
    if layout == "released":
        view = memoryview(b"ab")
        view.release()
        return view
    doubles = memoryview(array.array("d", [0.0, 1.0, 2.0, 3.0, 4.0, 5.0]))
    return {"2d": doubles.cast("B").cast("d", (2, 3)), "strided": doubles[::2], "cast": doubles.cast("B"),
            "0d": doubles[:1].cast("B").cast("d", ())}[layout]


any_float = st.one_of(st.floats(), st.sampled_from(SPECIAL_FLOATS))
any_int = st.one_of(st.integers(), st.sampled_from(SPECIAL_INTS))
timedeltas = st.one_of(
    st.timedeltas(),
    st.sampled_from([timedelta(0), timedelta(microseconds=1), timedelta(microseconds=999999), timedelta(seconds=1),
                     timedelta(seconds=-1), timedelta(microseconds=-1), timedelta.max, timedelta.min,
                     timedelta(seconds=2**31 - 1), timedelta(seconds=2**31), timedelta(seconds=90.7),
                     TdSub(hours=1), TdSub(days=-2)]),
)
numbers = st.one_of(
    any_float, any_int, st.booleans(), st.complex_numbers(allow_nan=True),
    st.sampled_from([Decimal("1.5"), Decimal("NaN"), Decimal("sNaN"), Decimal("-Infinity"), Fraction(1, 3),
                     FloatSub(0.25), IntSub(7)]),
    *([st.sampled_from([np.float64(NAN), np.float32(1.5), np.float16(-0.0), np.int64(-3), np.uint64(2**64 - 1),
                        np.bool_(True), np.complex128(1j)])] if np else []),
)
lengths = [None, 0, 1, 10**6, 2**62] + ([] if UNDER_ASAN else [2**40])
hostile = st.one_of(
    st.builds(Raises, raised_errors),
    st.builds(WrongType, st.sampled_from(["1.0", None, 3, 1.5, b"x"])),
    st.builds(SubclassResult),
    st.builds(Numberish, any_int),
    st.builds(LyingLength, st.sampled_from(lengths), st.lists(any_float, max_size=4)),
)
sequences = st.one_of(
    *([st.builds(_array, st.lists(st.one_of(st.floats(-1e6, 1e6), st.sampled_from(SPECIAL_FLOATS)), max_size=8),
                 st.sampled_from(["f8", "f4", "f2", ">f8", "i8", "i1", "u8", "?", "c16", "O"]),
                 st.sampled_from(["1d", "1d", "strided", "reversed", "2d", "column", "0d", "readonly", "none"]))]
      if np else []),
    st.sampled_from([range(0), range(5), range(-3, 3), range(10, 0, -3), range(2**60)]),
    st.binary(max_size=6), st.binary(max_size=6).map(bytearray), st.binary(max_size=6).map(memoryview),
    st.sampled_from(["2d", "released", "cast", "strided", "0d"]).map(_memoryview),
    st.lists(st.floats(), max_size=6).map(lambda v: array.array("d", v)),
    st.lists(any_float, max_size=6).map(ListSub),
)
hashables = st.one_of(st.text(max_size=4), st.sampled_from([StrSub("k"), "\ud800", ""]), any_int, any_float,
                      st.none(), st.tuples(st.integers()))


def _library_object(kind):
    """Fresh small instances of every class (inflow spans stay short)."""
    hour, minute = timedelta(hours=1), timedelta(minutes=1)
    curve = ED([100.0, 110.0], [0.0, 50.0])
    return {
        "cts": lambda: CTS([1.0, 2.0, 3.0], minute, "discharge"),
        "cts_sub": lambda: SUB[CTS]([5.0, NAN], hour, "volume"),
        "cts_empty": lambda: CTS([], hour, "discharge"),
        "cts_dated": lambda: CTS([1.0, 2.0], hour, "discharge", start=datetime(2024, 5, 1, tzinfo=timezone.utc)),
        "its": lambda: ITS([0.5, 0.0, 1.0], hour, "rainfall"),
        "its_sub": lambda: SUB[ITS]([INF], minute, "discharge"),
        "es": lambda: ES([100.0, 110.0], [0.0, 1e6]),
        "es_short": lambda: ES([1.0], [2.0]),
        "es_empty": lambda: SUB[ES]([], []),
        "ed": lambda: SUB[ED]([100.0, 105.0, 110.0], [0.0, 0.0, 9.0]),
        "const": lambda: CONST(5.0, 100.0, None),
        "spec": lambda: SUB[SPEC](CTS([1.0, 2.0], hour, "discharge"), None, 120.0, 1.0),
        "ctrl": lambda: CTRL(curve, 90.0, 108.0, 20.0),
        "unctrl": lambda: SUB[UNCTRL](curve, -2.0),
        "lr": lambda: LR(hour, 0.5, 1.0, 2),
        "dcr": lambda: pelmora.rainfall_loss.run_deficit_and_constant(
            ITS([1.0, 0.0], hour, "rainfall"), 0.1, 1.0, 0.1, hour),
        "lpr": lambda: pelmora.reservoir.run_level_pool_routing(
            CTS([0.0, 10.0, 0.0], minute, "discharge"), 105.0, ES([100.0, 110.0], [0.0, 1e6]),
            {"c": CONST(1.0), "u": UNCTRL(curve)}),
        "class": lambda: CTS,
        "object": object,
    }[kind]()


library_objects = st.sampled_from(
    ["cts", "cts_sub", "cts_empty", "cts_dated", "its", "its_sub", "es", "es_short", "es_empty", "ed", "const", "spec",
     "ctrl", "unctrl", "lr", "dcr", "lpr", "class", "object"]).map(_library_object)
scalars = st.one_of(st.none(), numbers, st.text(max_size=6), st.binary(max_size=4), timedeltas, hostile,
                    library_objects, sequences)
wild = st.recursive(
    scalars,
    lambda inner: st.one_of(st.lists(inner, max_size=4), st.lists(inner, max_size=3).map(tuple),
                            st.dictionaries(hashables, inner, max_size=3),
                            st.dictionaries(st.text(max_size=3), inner, max_size=3).map(DictSub)),
    max_leaves=6,
)


# ---- coherent values ---------------------------------------------------------------------

# Hypothesis draws small integers far more often than others; a percentage
# drawn with sampled_from stays close to uniform.
percent = st.sampled_from(range(100))


def mostly(good, bad, percent_bad=10):
    return percent.flatmap(lambda r: bad if r < percent_bad else good)


floats = mostly(st.floats(-1e4, 1e4), any_float, 15)
optional = st.one_of(st.none(), floats)
small_values = mostly(st.lists(mostly(st.floats(0.0, 100.0), any_float, 8), min_size=1, max_size=30), st.just([]), 5)
kinds = mostly(st.sampled_from(KINDS), st.one_of(st.text(max_size=8), st.just(StrSub("volume")),
                                                 st.just("Discharge"), st.just("\ud800")), 5)
# Series starts: none, naive or aware, in this century or at the edges of datetime.
instants = st.one_of(st.none(), st.datetimes(datetime(1900, 1, 1), datetime(2100, 1, 1)),
                     st.datetimes(timezones=st.sampled_from([timezone.utc, timezone(timedelta(hours=-5))])),
                     st.sampled_from([datetime.min, datetime.max]))
steps = st.one_of(st.sampled_from([1, 30, 60, 300, 900, 3600, 86400]).map(lambda s: timedelta(seconds=s)),
                  st.timedeltas(timedelta(seconds=1), timedelta(days=3)))


def _f4(values):
    with np.errstate(all="ignore"):
        return np.array(values, dtype="f4")


def as_sequence(values):
    """The same values as a list, tuple, array (several layouts) or array.array."""
    arrays = [np.array, _f4, lambda v: np.repeat(np.array(v, dtype=float), 2)[::2]] if np else []
    return st.sampled_from([list, tuple, lambda v: array.array("d", v), lambda v: memoryview(array.array("d", v)),
                            lambda v: [Numberish(round(x)) if math.isfinite(x) else x for x in v], *arrays]).map(
        lambda f: f(values))


def sequence_of(values=small_values):
    return values.flatmap(as_sequence)


def series(cls, values=small_values, step=steps, start=None):
    return st.builds(lambda c, d, s, k, t: c(d, s, k, start=t), st.sampled_from([cls, SUB[cls]]), values, step,
                     st.sampled_from(KINDS), instants if start is None else start)


@st.composite
def increasing(draw, n, start=(-100.0, 100.0), gap=(0.01, 50.0), allow_flat=False):
    if n == 0:
        return []
    out = [draw(st.floats(*start))]
    for g in draw(st.lists(st.floats(0.0 if allow_flat else gap[0], gap[1]), min_size=n - 1, max_size=n - 1)):
        out.append(out[-1] + g)
    if n > 1 and draw(percent) < 4:  # curves may reach out to infinity
        out[0] = -INF
    if n > 1 and draw(percent) < 4:
        out[-1] = INF
    return out


@st.composite
def storage_curve(draw):
    if draw(percent) < 5:
        return ES(*draw(st.sampled_from([([], []), ([1.0], [2.0])])))
    n = draw(st.integers(2, 6))
    return draw(st.sampled_from([ES, SUB[ES]]))(
        draw(increasing(n)), draw(increasing(n, start=(0.0, 1e3), gap=(1.0, 1e6))))


@st.composite
def discharge_curve(draw, near=(-100.0, 100.0)):
    n = draw(st.integers(2, 5))
    return draw(st.sampled_from([ED, SUB[ED]]))(
        draw(increasing(n, start=near)), draw(increasing(n, start=(0.0, 10.0), gap=(0.0, 100.0), allow_flat=True)))


def construct(cls, *args):
    return st.builds(lambda c, *a: c(*a), st.sampled_from([cls, SUB[cls]]), *args)


def outlet(near):
    curve = discharge_curve(near)
    return st.one_of(
        construct(CONST, floats, optional, optional),
        construct(SPEC, series(CTS, step=st.sampled_from([timedelta(seconds=s) for s in (1, 60, 3600)])),
                  optional, optional, optional),
        construct(CTRL, curve, optional, optional, optional),
        construct(UNCTRL, curve, optional),
    )


@st.composite
def reservoir(draw):
    r = LR(draw(st.timedeltas(timedelta(seconds=1), timedelta(days=30))), draw(st.floats(0.0, 0.5)),
           draw(floats), draw(st.integers(1, 6)))
    if draw(percent) < 10:  # the setters store without any range check
        setattr(r, *draw(st.sampled_from([("num_reservoir", 0), ("gw_fraction", 1.5), ("gw_fraction", NAN),
                                           ("initial_q", INF), ("gw_fraction", -0.5)])))
    return r


@st.composite
def level_pool_args(draw):
    curve = draw(storage_curve())
    elevation = [e for e in curve.elevation if math.isfinite(e)] or [0.0, 1.0]
    dt = draw(st.sampled_from([1, 7, 60, 600, 3600]))
    n = draw(st.integers(0, min(20, 100_000 // dt + 1)))
    inflow = draw(st.sampled_from([CTS, SUB[CTS]]))(
        draw(st.lists(mostly(st.floats(0.0, 50.0), any_float, 5), min_size=n, max_size=n)),
        timedelta(seconds=dt), "discharge")
    outlets = draw(st.dictionaries(st.text(max_size=4), outlet((elevation[0] - 5, elevation[-1])), max_size=3))
    low, high = elevation[0], elevation[-1]
    return dict(inflow=inflow,
                initial_elevation=draw(mostly(st.floats(0.0, 1.0).map(lambda f: low + f * (high - low)), any_float)),
                elevation_storage=curve,
                discharge_info=DictSub(outlets) if draw(percent) < 5 else outlets)


@st.composite
def curve_args(draw, second, min_points, allow_flat=False):
    n = draw(st.integers(min_points, 6))
    m = n if draw(percent) >= 10 else draw(st.integers(0, 6))
    return {"elevation": draw(sequence_of(increasing(n))),
            second: draw(sequence_of(increasing(m, allow_flat=allow_flat)))}


@st.composite
def lookup_args(draw, axis):
    curve = draw(mostly(storage_curve(), library_objects))
    points = [p for p in getattr(curve, axis, []) if math.isfinite(p)] or [0.0, 1.0]
    low, high = min(points), max(points)
    at = draw(mostly(st.floats(-0.05, 1.05).map(lambda f: low + f * (high - low)), any_float, 15))
    return {"self": curve, axis: at}


@st.composite
def kge_args(draw):
    n = draw(st.integers(0, 30))
    values = st.lists(mostly(st.floats(-10.0, 100.0), any_float, 5), min_size=n, max_size=n)
    return dict(sim=draw(sequence_of(values)),
                obs=draw(sequence_of(values if draw(percent) >= 10 else small_values)),
                use_log=draw(st.sampled_from([True, False, *((np.True_, np.False_) if np else ())])))


@st.composite
def clark_args(draw):
    rain = draw(series(ITS))
    dt = seconds(rain.time_step)
    tc = draw(st.one_of(st.floats(0.0, 200.0).map(lambda r: timedelta(seconds=r * dt)),
                        st.sampled_from([timedelta(0), timedelta(microseconds=1500000), timedelta(days=-1),
                                         timedelta.max, timedelta(days=10**8)])))
    return dict(rainfall=rain, basin_area=draw(floats), tc=tc,
                storage_r=draw(mostly(st.timedeltas(timedelta(0), timedelta(days=2)), timedeltas)))


# ---- what a successful call returns -------------------------------------------------------

def check_series(result, cls, length, step, kind):
    assert type(result) is cls and len(result.data) == length
    assert result.time_step == step and result.kind == kind


def check_kge(v, r):
    assert type(r) is float and (math.isnan(r) or r <= 1.0)


def check_muskingum(v, r):
    check_series(r, CTS, len(v["inflow"].data), v["inflow"].time_step, "discharge")
    if type(v["initial_outflow"]) is float:  # every sub-reach starts there
        assert freeze(r.data[0]) == freeze(v["initial_outflow"])


def check_deficit(v, r):
    assert type(r) is DCR
    for s in (r.excess, r.loss, r.deficit):
        check_series(s, ITS, len(v["rainfall"].data), v["rainfall"].time_step, "rainfall")


def check_clark(v, r):
    rain, tc = v["rainfall"], seconds(v["tc"])
    # A zero, n routed translation ordinates, then at least part of the recession.
    m = math.ceil(tc / seconds(rain.time_step)) + 1 if tc > 0 else 1
    assert type(r) is CTS and len(r.data) >= len(rain.data) + m - 1
    assert (m == 1) == (len(r.data) == len(rain.data))
    assert r.time_step == rain.time_step and r.kind == "discharge"


def check_level_pool(v, r):
    n, step = len(v["inflow"].data), v["inflow"].time_step
    assert type(r) is LPR
    check_series(r.reservoir_storage, CTS, n, step, "volume")
    check_series(r.reservoir_elevation, CTS, n, step, "elevation")
    check_series(r.reservoir_total_outflow, CTS, n, step, "discharge")
    outflows = r.reservoir_individual_outflows
    assert type(outflows) is dict and sorted(outflows) == sorted(dict.keys(v["discharge_info"]))
    for s in outflows.values():
        check_series(s, CTS, n, step, "discharge")


def check_layers(v, r):
    rain = v["rainfall"]
    total, layers = r
    check_series(total, CTS, len(rain.data), rain.time_step, "discharge")
    assert type(layers) is dict and sorted(layers) == sorted(dict.keys(v["reservoirs"]))
    for s in layers.values():
        check_series(s, CTS, len(rain.data), rain.time_step, "discharge")


def check_disaggregate(v, r):
    self, target = v["self"], operator.index(v["target_step"])
    n = int(seconds(self.time_step)) // target
    check_series(r, ITS, len(self.data) * n, timedelta(seconds=target), self.kind)


def check_to_pandas(v, r):
    s = v["self"]
    assert type(r) is pd.Series and r.dtype == "float64" and len(r) == len(s.data) and r.name == s.kind


def check_from_pandas(cls):
    def check(v, r):
        assert isinstance(r, cls) and len(r.data) == len(v["series"])
    return check


@st.composite
def from_pandas_args(draw, cls):
    """pandas series as to_pandas makes them, sometimes reindexed, retyped or sliced."""
    # pandas holds instants from 1677 to 2262 only.
    made = draw(series(cls, start=st.one_of(st.none(), st.datetimes(datetime(1900, 1, 1), datetime(2100, 1, 1))))).to_pandas()
    change = draw(st.sampled_from(["none"] * 6 + ["reverse", "repeat", "drop", "int", "object", "bool", "range",
                                                  "one", "empty"]))
    made = {"none": made, "reverse": made[::-1], "repeat": made.iloc[[0, 0] if len(made) else []],
            "drop": made.drop(made.index[1:2]), "int": made.fillna(0).clip(-1e9, 1e9).astype("int64"),
            "object": made.astype(object), "bool": made > 0, "range": made.reset_index(drop=True),
            "one": made.iloc[:1], "empty": made.iloc[:0]}[change]
    return {"series": made, "kind": draw(kinds)}


# ---- what a call may cost -------------------------------------------------------------------

def plain_int(x):
    """x as an int if it is one without running Python code, else None."""
    if isinstance(x, Numberish):
        x = x.value
    return int(x) if isinstance(x, (int, np.integer) if np else int) else None


def muskingum_affordable(v):
    inflow, reaches = v["inflow"], plain_int(v["sub_reaches"])
    return not isinstance(inflow, CTS) or reaches is None or reaches < 1 or len(inflow.data) * reaches <= 10**6


def clark_affordable(v):
    rain, tc = v["rainfall"], v["tc"]
    if not (isinstance(rain, ITS) and isinstance(tc, timedelta)):
        return True
    dt = seconds(rain.time_step)
    ordinates = math.ceil(seconds(tc) / dt)
    if ordinates > 2**28:
        return True  # refused before anything is built
    if ordinates > 200_000:
        return False
    # The recession: about R / dt x ln(1e12 R / dt) steps for R above dt / 2,
    # (dt / 4R) x ln(1e12 R / dt) below it, refused when it passes 2**28.
    r = v["storage_r"]
    x = seconds(r) / dt if isinstance(r, timedelta) else 0.0
    if x <= 0.0 or x == 0.5:
        return True
    per_step = x if x > 0.5 else 1.0 / (4.0 * x)
    log = math.log(1e12 * x)
    return per_step * (log + 5.0) <= 200_000 or per_step * (log - 10.0) > 2**29


def layers_affordable(v):
    rain, layers = v["rainfall"], v["reservoirs"]
    if not (isinstance(rain, ITS) and isinstance(layers, dict)):
        return True
    half_dt = seconds(rain.time_step) / 7200.0
    # A stable chain of n reservoirs holds n doubles of state: legitimately big.
    return not any(isinstance(r, LR) and r.num_reservoir > 10**5
                   and seconds(r.k_duration) / 3600.0 / r.num_reservoir >= half_dt for r in dict.values(layers))


def disaggregate_affordable(v):
    self, target = v["self"], plain_int(v["target_step"])
    if not isinstance(self, ITS) or target is None or not 30 <= target < 2**31:
        return True
    step = int(seconds(self.time_step))
    return step % target or len(self.data) * (step // target) <= 10**6


# ---- the table of callables -------------------------------------------------------------------

@dataclass
class Callee:
    name: str
    target: st.SearchStrategy  # draws the callable: a class may come as its subclass
    params: tuple
    valid: st.SearchStrategy  # draws a dict with a coherent value for every parameter
    affordable: Callable = lambda v: True
    check: Callable = lambda v, result: None
    keyword_only: tuple = ()  # the trailing parameters that take no position


def constructor(cls, valid=None, **params):
    def check(v, r):
        assert isinstance(r, cls)

    signature = tuple(inspect.signature(cls).parameters) if valid is not None else tuple(params)
    keyword_only = tuple(n for n, p in inspect.signature(cls).parameters.items() if p.kind is p.KEYWORD_ONLY)
    through_new = [functools.partial(cls.__new__, t) for t in (cls, SUB.get(cls, cls), ITS, LR, int)]
    return Callee(cls.__name__, mostly(st.sampled_from([cls, SUB.get(cls, cls)]), st.sampled_from(through_new)),
                  signature,
                  st.fixed_dictionaries(params) if valid is None else valid, check=check,
                  keyword_only=keyword_only)


def method(cls, name, self, affordable=lambda v: True, check=lambda v, r: None, valid=None, **params):
    signature = tuple(inspect.signature(getattr(cls, name)).parameters)
    return Callee(f"{cls.__name__}.{name}", st.just(getattr(cls, name)), signature,
                  st.fixed_dictionaries(dict(self=mostly(self, library_objects), **params)) if valid is None else valid,
                  affordable, check)


def function(fn, valid, **kw):
    return Callee(fn.__name__, st.just(fn), tuple(inspect.signature(fn).parameters), valid, **kw)


td_or_wild = mostly(st.timedeltas(timedelta(0), timedelta(days=30)), timedeltas)
CALLEES = [
    function(pelmora.metrics.calculate_kge, kge_args(), check=check_kge),
    function(pelmora.rainfall_loss.run_deficit_and_constant,
             st.fixed_dictionaries(dict(rainfall=series(ITS), initial_deficit=floats, max_deficit=floats,
                                        constant_loss_per_hr=floats, time_to_dry=td_or_wild)),
             check=check_deficit),
    function(pelmora.reach.run_muskingum_routing,
             st.fixed_dictionaries(dict(inflow=series(CTS), k=td_or_wild, x=mostly(st.floats(0.0, 0.5), any_float, 20),
                                        sub_reaches=mostly(st.integers(1, 6), any_int), initial_outflow=floats)),
             affordable=muskingum_affordable,
             check=check_muskingum),
    function(pelmora.rainfall_transform.run_clark_uh, clark_args(), affordable=clark_affordable, check=check_clark),
    function(pelmora.reservoir.run_level_pool_routing, level_pool_args(), check=check_level_pool),
    function(pelmora.baseflow.run_linear_reservoir,
             st.fixed_dictionaries(dict(basin_area=floats, rainfall=series(ITS),
                                        reservoirs=st.dictionaries(st.text(max_size=4), reservoir(), max_size=3))),
             affordable=layers_affordable, check=check_layers),
    constructor(CTS, data=sequence_of(), time_step=mostly(steps, timedeltas, 15), kind=kinds,
                start=mostly(instants, wild, 15)),
    constructor(ITS, data=sequence_of(), time_step=mostly(steps, timedeltas, 15), kind=kinds,
                start=mostly(instants, wild, 15)),
    constructor(ES, valid=curve_args("storage", 0)),
    constructor(ED, valid=curve_args("discharge", 1, allow_flat=True)),
    constructor(CONST, discharge=floats, minimum_elevation=optional, maximum_elevation=optional),
    constructor(SPEC, discharge=series(CTS), minimum_elevation=optional, maximum_elevation=optional,
                maximum_release=optional),
    constructor(CTRL, elevation_discharge=discharge_curve(), minimum_elevation=optional,
                maximum_elevation=optional, maximum_release=optional),
    constructor(UNCTRL, elevation_discharge=discharge_curve(), elevation_offset=optional),
    constructor(LR, k_duration=mostly(st.timedeltas(timedelta(0), timedelta(days=300)), timedeltas, 15),
                gw_fraction=mostly(st.floats(-0.1, 1.1), any_float), initial_q=floats,
                num_reservoir=mostly(st.integers(0, 10), any_int)),
    constructor(DCR),
    constructor(LPR),
    method(ITS, "disaggregate",
           series(ITS, step=st.sampled_from([timedelta(seconds=s) for s in (60, 900, 3600, 86400, 2**31 - 1)])),
           target_step=mostly(st.sampled_from([30, 60, 90, 300, 900, 1800, 3600, 7200, 86400]), any_int, 20),
           affordable=disaggregate_affordable, check=check_disaggregate),
    method(CTS, "total_duration", series(CTS)),
    method(ITS, "total_duration", series(ITS)),
    *([method(CTS, "to_pandas", series(CTS), check=check_to_pandas),
       method(ITS, "to_pandas", series(ITS), check=check_to_pandas),
       Callee("ContinuousTimeSeries.from_pandas", st.just(CTS.from_pandas), ("series", "kind"),
              from_pandas_args(CTS), check=check_from_pandas(CTS)),
       Callee("IncrementalTimeSeries.from_pandas", st.just(ITS.from_pandas), ("series", "kind"),
              from_pandas_args(ITS), check=check_from_pandas(ITS))] if pd else []),
    method(ES, "get_storage", st.nothing(), valid=lookup_args("elevation")),
    method(ES, "get_elevation", st.nothing(), valid=lookup_args("storage")),
]


@st.composite
def call_of(draw, callee):
    """Coherent values with an occasional wild one, split between positions and
    keywords, sometimes with an argument missing, extra or given twice, and
    sometimes with a hostile object that changes another argument."""
    # The plan comes first: Hypothesis favours simple choices once an example
    # has grown large, and these should stay close to their stated odds.
    params = callee.params
    wild_params = [p for p in params if draw(percent) < 5]
    mutate = draw(percent) < 10
    self_first = params[:1] == ("self",) and draw(percent) >= 5
    split = draw(st.sampled_from(range(int(self_first), len(params) - len(callee.keyword_only) + 1)))
    flaw = draw(percent) // 2  # each kind of flaw in 2% of the calls
    values = dict(draw(callee.valid))
    for p in wild_params:
        values[p] = draw(wild)
    targets = [v for v in values.values() if type(v) in (list, dict)]
    if targets and mutate:
        mutator = Mutator(draw(st.sampled_from(["clear", "grow", "shrink", "swap"])))
        mutator.target = draw(st.sampled_from(targets))
        if type(mutator.target) is list and draw(st.booleans()):
            mutator.target.insert(draw(st.integers(0, len(mutator.target))), mutator)
        else:
            values[draw(st.sampled_from(params))] = mutator
    assume(callee.affordable(values))
    positional = [values[p] for p in params[:split]]
    keywords = {p: values[p] for p in params[split:]}
    if flaw == 0 and keywords:
        del keywords[draw(st.sampled_from(sorted(keywords)))]
    elif flaw == 1 and positional:
        positional.pop()
    elif flaw == 2:
        positional.append(draw(wild))
    elif flaw == 3:
        keywords[draw(st.sampled_from(["extra", "Data", "self", "k_duration", "x", "\ud800", StrSub(params[-1])
                                        if params else "x"]))] = draw(wild)
    elif flaw == 4 and positional:
        keywords[params[0]] = draw(wild)
    return values, positional, keywords


@pytest.mark.parametrize("callee", CALLEES, ids=lambda c: c.name)
@FUZZ
@given(data=st.data())
def test_fuzz_callable(callee, data):
    target = data.draw(callee.target, label="target")
    values, positional, keywords = data.draw(call_of(callee), label="call")
    strict = data.draw(st.booleans(), label="warnings as errors")
    call = lambda: target(*positional, **keywords)  # noqa: E731
    if callee.params[:1] == ("self",) and positional and isinstance(positional[0], target.__objclass__) \
            and data.draw(st.booleans(), label="bound"):
        bound = getattr(positional[0], target.__name__)
        call = lambda: bound(*positional[1:], **keywords)  # noqa: E731
    result = attempt(call, positional + list(keywords.values()), strict_warnings=strict)
    if result is not MISSING and not any(mutators(values.values())):
        callee.check(values, result)


# ---- attributes -----------------------------------------------------------------------------

ALL_PROPS = sorted({n for names in PROPS.values() for n in names} | {"foo", "value"})
instances = st.one_of(library_objects, series(CTS), series(ITS), storage_curve(), discharge_curve(),
                      reservoir(), outlet((0.0, 1.0)))


@FUZZ
@given(obj=mostly(instances, wild), data=st.data(), via_descriptor=st.booleans(), owner=st.sampled_from(CLASSES))
def test_fuzz_attribute_read(obj, data, via_descriptor, owner):
    own = [n for c in CLASSES if isinstance(obj, c) for n in PROPS[c]]
    name = data.draw(mostly(st.sampled_from(own), st.sampled_from(ALL_PROPS), 20) if own else
                     st.sampled_from(ALL_PROPS), label="name")
    if via_descriptor and name in PROPS[owner]:
        descriptor = vars(owner)[name]
        attempt(lambda: descriptor.__get__(obj, type(obj)), [obj])
        return
    documented = any(isinstance(obj, c) and name in PROPS[c] for c in CLASSES)
    result = attempt(lambda: getattr(obj, name), [obj], extra=() if documented else (AttributeError,))
    assert result is not MISSING or not documented, "reading a documented attribute failed"


@FUZZ
@given(obj=mostly(st.one_of(reservoir(), library_objects), wild), name=st.sampled_from(ALL_PROPS),
       value=mostly(st.one_of(floats, st.integers(0, 10), st.sampled_from(SPECIAL_INTS)), wild, 40),
       how=st.sampled_from(["set", "set", "delete", "descriptor"]), owner=st.sampled_from([LR, LR, CTS, ES]))
def test_fuzz_attribute_write(obj, name, value, how, owner):
    settable = isinstance(obj, LR) and name in SETTABLE
    if how == "descriptor":
        if name not in PROPS[owner]:
            return
        write = lambda: vars(owner)[name].__set__(obj, value)  # noqa: E731
        settable = settable and owner is LR
    elif how == "delete":
        write, settable = (lambda: delattr(obj, name)), False
    else:
        write = lambda: setattr(obj, name, value)  # noqa: E731
    before, value_before = freeze(obj), freeze(value)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            write()
    except BaseException as exc:  # noqa: BLE001
        verdict(exc, ALLOWED + extra_causes(value) + ((AttributeError,) if not settable else ()))
        assert freeze(obj) == before, "a failed write changed the object"
        assert freeze(value) == value_before
        return
    assert freeze(value) == value_before
    if not settable:  # only a Python-level attribute of a subclass instance or a wild object
        assert not isinstance(getattr(type(obj), name, None), types.GetSetDescriptorType)
    elif type(value) in (int, float, bool):
        stored = getattr(obj, name)
        assert freeze(stored) == freeze(type(stored)(value))


def test_linear_reservoir_is_final():
    with pytest.raises(TypeError):
        type("Sub", (LR,), {})


class EndlessBehindBrokenLength:
    """A sequence whose len() fails the way range(2**63)'s does; unlike that
    range, it gives up after 10,000 items if iterated anyway."""

    def __len__(self):
        raise OverflowError("Python int too large to convert to C ssize_t")

    def __getitem__(self, i):
        if i >= 10_000:
            raise HostileError("iterated on past a length that could not be taken")
        return 0.0


def test_sequence_whose_length_fails_is_refused():
    # list(range(2**63)) fails at once with OverflowError; iterating the range
    # item by item instead runs until memory is exhausted.
    with pytest.raises(OverflowError):
        CTS(EndlessBehindBrokenLength(), timedelta(hours=1), "discharge")
