"""Pickling and copying: every class and protocol round-trips bit for bit,
damaged payloads fail with the constructors' own errors, subclasses come back
as themselves, and a series travels as one out-of-band buffer."""

import copy
import gc
import math
import pickle
import struct
import subprocess
import sys
import textwrap
from datetime import datetime, timedelta, timezone

import pytest
from conftest import HOUR, allocated_growth, child_env, message
from members import CLASSES, instance_of

import pelmora

CTS = pelmora.utils.ContinuousTimeSeries
ITS = pelmora.utils.IncrementalTimeSeries
ru = pelmora.reservoir.reservoir_utils
LinearReservoir = pelmora.baseflow.LinearReservoir

NAIVE = datetime(2024, 5, 1, 6, 30)
AWARE = datetime(2024, 5, 1, 6, 30, tzinfo=timezone(timedelta(hours=-5)))
NEG_NAN = struct.unpack("d", struct.pack("Q", 0xFFF8_0000_0000_0001))[0]  # sign and payload set
EDGES = [1.5, math.nan, NEG_NAN, -0.0, 5e-324, -math.inf, math.inf, 1e308]


# Subclasses live at module level so that pickle finds them by reference.
class Hydrograph(CTS):
    pass


class Slotted(ITS):
    __slots__ = ("station",)


class Forwarding(CTS):
    def __buffer__(self, flags):
        return super().__buffer__(flags)


class Refusing(ITS):
    def __buffer__(self, flags):
        raise RuntimeError("not through me")


class Gate(ru.ControlledDischargeInfo):
    def __setstate__(self, state):
        self.__dict__.update(state, restored=True)


class PoolRun(pelmora.reservoir.LevelPoolResult):
    pass


def bits(x):
    """A double as its 8 bytes, so NaN payloads, signs and -0.0 compare."""
    return None if x is None else struct.pack("d", x).hex()


def fields(obj):
    """Everything an object carries, doubles bit for bit, nested objects by
    their own fields."""
    if isinstance(obj, dict):
        return {k: fields(v) for k, v in obj.items()}
    if isinstance(obj, (CTS, ITS)):
        return (type(obj), [bits(v) for v in obj.data], obj.time_step, obj.kind, repr(obj.start))
    if isinstance(obj, (ru.ElevationStorage, ru.ElevationDischarge)):
        other = obj.storage if isinstance(obj, ru.ElevationStorage) else obj.discharge
        return (type(obj), [bits(v) for v in obj.elevation], [bits(v) for v in other])
    if isinstance(obj, LinearReservoir):
        return (type(obj), obj.k_duration, bits(obj.gw_fraction), bits(obj.initial_q), obj.num_reservoir)
    names = [n for n, v in vars(type(obj).__mro__[-2]).items() if isinstance(v, type(CTS.data))]
    out = [type(obj)]
    for name in names:
        value = getattr(obj, name)
        out.append((name, bits(value) if isinstance(value, float) or value is None else fields(value)))
    return tuple(out)


def samples():
    rating = ru.ElevationDischarge([100.0, 104.0, 110.0], [0.0, 5e-324, 500.0])
    curve = ru.ElevationStorage([-0.0, 5.0, 110.0], [0.0, 1.0e6, math.inf])
    flow = CTS(EDGES, timedelta(days=2, seconds=7), "discharge")
    inflow = CTS([0.0, 100.0, 50.0, 10.0], HOUR, "discharge")
    pool_curve = ru.ElevationStorage([100.0, 110.0], [0.0, 1.0e6])
    outlets = {
        "gate": ru.ControlledDischargeInfo(rating, 100.0, 109.0, 400.0),
        "spill": ru.UnControlledDischargeInfo(rating, 0.5),
        "fixed": ru.ConstantDischargeInfo(5.0, 100.0),
        "release": ru.SpecifiedDischargeInfo(inflow, None, None, 80.0),
    }
    rain = ITS([0.2, 0.6, 0.1, 0.0], HOUR, "rainfall")
    dated_rain = ITS([0.2, 0.6, 0.1, 0.0], HOUR, "rainfall", start=AWARE)
    dated_inflow = CTS([0.0, 100.0, 50.0, 10.0], HOUR, "discharge", start=NAIVE)
    return {
        "continuous": flow,
        "continuous-empty": CTS([], timedelta(seconds=1), "volume"),
        "incremental": ITS(EDGES, timedelta(seconds=2147483647), "rainfall"),
        "storage-curve": curve,
        "storage-curve-nan": ru.ElevationStorage([math.nan], [-0.0]),
        "discharge-curve": rating,
        "constant": ru.ConstantDischargeInfo(math.nan, -0.0, math.inf),
        "constant-bare": ru.ConstantDischargeInfo(-5e-324),
        "specified": ru.SpecifiedDischargeInfo(flow, -math.inf, 1e-310, math.nan),
        "specified-bare": ru.SpecifiedDischargeInfo(flow),
        "controlled": ru.ControlledDischargeInfo(rating, math.nan, 108.0, -0.0),
        "controlled-bare": ru.ControlledDischargeInfo(rating),
        "uncontrolled": ru.UnControlledDischargeInfo(rating, -0.0),
        "uncontrolled-bare": ru.UnControlledDischargeInfo(rating),
        "linear-reservoir": LinearReservoir(timedelta(days=30, seconds=1.7), math.nan, -0.0, 2**24),
        "deficit-result": pelmora.rainfall_loss.run_deficit_and_constant(rain, 0.5, 2.0, 0.05, 2 * HOUR),
        "level-pool-result": pelmora.reservoir.run_level_pool_routing(inflow, 101.0, pool_curve, outlets),
        "continuous-dated": CTS(EDGES, HOUR, "discharge", start=NAIVE),
        "incremental-dated": dated_rain,
        "deficit-result-dated": pelmora.rainfall_loss.run_deficit_and_constant(dated_rain, 0.5, 2.0, 0.05, HOUR),
        "level-pool-result-dated": pelmora.reservoir.run_level_pool_routing(dated_inflow, 101.0, pool_curve, outlets),
        "outlet-dict": outlets,
        "layer-dict": {"fast": LinearReservoir(HOUR, 0.3, 1.0), "slow": LinearReservoir(10 * HOUR, 0.5, 2.0, 3)},
    }


# The edge cases above, and every class of the module from its valid call in
# tests/members.py, so that a new class is pickled and copied as well.
SAMPLES = {**samples(), **{cls.__name__: instance_of(cls) for cls in CLASSES}}
IMMUTABLE = [k for k, v in SAMPLES.items() if not isinstance(v, (dict, LinearReservoir))]


def test_every_class_is_sampled():
    seen = set()
    for obj in SAMPLES.values():
        seen.update(type(v) for v in obj.values()) if isinstance(obj, dict) else seen.add(type(obj))
    assert seen == set(CLASSES)


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("name", SAMPLES)
def test_round_trip(name, protocol):
    obj = SAMPLES[name]
    back = pickle.loads(pickle.dumps(obj, protocol))
    assert fields(back) == fields(obj)


@pytest.mark.parametrize("how", [copy.copy, copy.deepcopy])
@pytest.mark.parametrize("name", SAMPLES)
def test_copies(name, how):
    obj = SAMPLES[name]
    assert fields(how(obj)) == fields(obj)
    if name in IMMUTABLE:
        assert how(obj) is obj  # a value that never changes is its own copy


@pytest.mark.parametrize("how", [copy.copy, copy.deepcopy, lambda r: pickle.loads(pickle.dumps(r))])
def test_reservoir_copies_are_independent(how):
    original = LinearReservoir(HOUR, 0.5, 1.0, 2)
    twin = how(original)
    assert twin is not original
    twin.gw_fraction, twin.num_reservoir = 0.25, 7
    assert (original.gw_fraction, original.num_reservoir) == (0.5, 2)


def test_reservoir_refused_by_its_constructor_does_not_pickle():
    layer = LinearReservoir(HOUR, 0.5, 1.0, 2)
    layer.gw_fraction = 1.5
    with pytest.raises(ValueError) as e:
        pickle.dumps(layer)
    assert message(e) == "gw_fraction must be between 0 and 1"
    layer.gw_fraction, layer.num_reservoir = 0.5, 0
    with pytest.raises(ValueError) as e:
        pickle.dumps(layer)
    assert message(e) == "num_reservoir must be at least 1"
    # Copies are of the live object and keep what the setters stored.
    assert copy.deepcopy(layer).num_reservoir == 0


R = pelmora._reconstruct
STEP = timedelta(hours=1)
START_ERROR = "argument 'start': 'str' object is not an instance of 'datetime'"
DIFFERENT = "the series of one result must all have the same start"
SORTED = "`elevation` must must be sorted and can't have duplicates"
KINDS = "kind must be one of [\"discharge\", \"rainfall\", \"elevation\", \"volume\"]; got 'snow'"
TAMPERED = [
    (("ContinuousTimeSeries", (b"\0" * 8, timedelta(0), "discharge")), ValueError, "time_step must be > 0"),
    (("IncrementalTimeSeries", (b"", STEP, "snow")), ValueError, KINDS),
    (("ContinuousTimeSeries", (b"\0" * 12, STEP, "discharge")), TypeError,
     "argument 'data': a buffer of 12 bytes does not hold whole float64 values"),
    (("ContinuousTimeSeries", ("abc", STEP, "discharge")), TypeError, "argument 'data': Can't extract `str` to `Vec`"),
    (("ContinuousTimeSeries", ([1.0], 3600, "discharge")), TypeError,
     "argument 'time_step': 'int' object is not an instance of 'timedelta'"),
    (("ContinuousTimeSeries", ([1.0], STEP)), TypeError,
     "ContinuousTimeSeries.__new__() missing 1 required positional argument: 'kind'"),
    (("IncrementalTimeSeries", ([1.0], STEP, "rainfall", 1)), TypeError,
     "argument 'start': 'int' object is not an instance of 'datetime'"),
    (("ContinuousTimeSeries", ([1.0], STEP, "discharge", "2024-05-01")), TypeError, START_ERROR),
    (("IncrementalTimeSeries", ([1.0], STEP, "rainfall", NAIVE, None)), TypeError,
     "IncrementalTimeSeries.__new__() takes from 3 to 4 positional arguments but 5 were given"),
    (("DeficitConstantResult", (ITS([], STEP, "rainfall", start=NAIVE),) * 2 + (ITS([], STEP, "rainfall"),)),
     ValueError, DIFFERENT),
    (("LevelPoolResult", (CTS([], STEP, "volume", start=NAIVE),) * 3 + ({"a": CTS([], STEP, "volume", start=AWARE)},)),
     ValueError, DIFFERENT),
    (("ElevationStorage", ([2.0, 1.0], [0.0, 1.0])), ValueError, SORTED),
    (("ElevationStorage", (struct.pack("2d", 1.0, math.nan), b"\0" * 16)), ValueError, SORTED),
    (("ElevationDischarge", ([1.0], [2.0])), ValueError,
     "`elevation` and `discharge` each must have at least 2 elements."),
    (("ElevationDischarge", ([1.0, 2.0], [2.0, 1.0])), ValueError, "`discharge` must must be sorted"),
    (("ConstantDischargeInfo", ("5",)), TypeError, "argument 'discharge': must be real number, not str"),
    (("SpecifiedDischargeInfo", (ITS([], STEP, "rainfall"),)), TypeError,
     "argument 'discharge': 'IncrementalTimeSeries' object is not an instance of 'ContinuousTimeSeries'"),
    (("ControlledDischargeInfo", ([1.0, 2.0],)), TypeError,
     "argument 'elevation_discharge': 'list' object is not an instance of 'ElevationDischarge'"),
    (("LinearReservoir", (timedelta(0), 0.5, 0.0, 1)), ValueError, "k_duration must be > 0"),
    (("LinearReservoir", (STEP, 1.5, 0.0, 1)), ValueError, "gw_fraction must be between 0 and 1"),
    (("LinearReservoir", (STEP, 0.5, 0.0, 1.0)), TypeError,
     "argument 'num_reservoir': 'float' object cannot be interpreted as an integer"),
    (("DeficitConstantResult", (ITS([], STEP, "rainfall"),) * 2 + (CTS([], STEP, "rainfall"),)), TypeError,
     "argument 'deficit': 'ContinuousTimeSeries' object is not an instance of 'IncrementalTimeSeries'"),
    (("DeficitConstantResult", ()), TypeError,
     "DeficitConstantResult._reconstruct() missing 3 required positional arguments: 'excess', 'loss', and 'deficit'"),
    (("LevelPoolResult", (CTS([], STEP, "volume"),) * 3 + ([],)), TypeError,
     "argument 'reservoir_individual_outflows': 'list' object is not an instance of 'dict'"),
    (("LevelPoolResult", (CTS([], STEP, "volume"),) * 3 + ({"a": ITS([], STEP, "volume")},)), TypeError,
     "argument 'reservoir_individual_outflows': 'IncrementalTimeSeries' object is not an instance of "
     "'ContinuousTimeSeries'"),
    (("Hydrograph", ()), ValueError, "'Hydrograph' names no pelmora class"),
    ((dict, ()), TypeError, "argument 'cls': 'dict' is not a subclass of a pelmora class"),
    ((None, ()), TypeError, "argument 'cls': 'None' is not an instance of 'str'"),
    (("ContinuousTimeSeries", [b"", STEP, "volume"]), TypeError,
     "argument 'args': 'list' object is not an instance of 'tuple'"),
    (("ContinuousTimeSeries",), TypeError, "_reconstruct() missing 1 required positional argument: 'args'"),
]


@pytest.mark.parametrize(("args", "kind", "text"), TAMPERED, ids=lambda v: v[0] if isinstance(v, tuple) else None)
def test_tampered_payload_raises_the_constructors_error(args, kind, text):
    with pytest.raises(kind) as e:
        R(*args)
    assert type(e.value) is kind
    assert message(e) == text


def test_tampered_pickle_stream():
    # A pickle whose kind was edited on the wire, with and without a start.
    for start in (None, AWARE):
        data = pickle.dumps(CTS([1.0], STEP, "volume", start=start), 4).replace(b"volume", b"velume")
        with pytest.raises(ValueError, match="got 'velume'"):
            pickle.loads(data)


def test_reconstructor_is_private_and_found_by_name():
    assert "_reconstruct" not in pelmora.__all__
    assert (R.__module__, R.__name__) == ("pelmora", "_reconstruct")
    assert pickle.loads(pickle.dumps(R)) is R


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_subclasses_come_back_as_themselves(protocol):
    h = Hydrograph(EDGES, STEP, "discharge")
    h.station, h.gauges = "upstream", [1, 2]
    s = Slotted([1.0], STEP, "rainfall")
    s.station = "rain gauge"
    gate = Gate(ru.ElevationDischarge([1.0, 2.0], [0.0, 1.0]), 1.5)
    gate.note = "spill"
    outlets = {"gate": ru.ConstantDischargeInfo(1.0)}
    pool = pelmora.reservoir.run_level_pool_routing(
        CTS([5.0, 5.0, 5.0], timedelta(minutes=1), "discharge"), 0.5, ru.ElevationStorage([0.0, 1.0], [0.0, 1e6]),
        outlets,
    )
    run = R(PoolRun, pool.__reduce_ex__(2)[1][1])  # a result subclass, as a user could make one

    back = pickle.loads(pickle.dumps([h, s, gate, run], protocol))
    assert [type(b) for b in back] == [Hydrograph, Slotted, Gate, PoolRun]
    assert fields(back[0])[1:] == fields(h)[1:]
    assert (back[0].station, back[0].gauges) == ("upstream", [1, 2])
    assert back[1].station == "rain gauge"
    assert back[2].__dict__ == {"note": "spill", "restored": True}
    assert back[2].minimum_elevation == 1.5
    assert fields(back[3].reservoir_individual_outflows) == fields(pool.reservoir_individual_outflows)


def test_subclass_copies():
    h = Hydrograph([1.0, 2.0], STEP, "discharge")
    h.gauges = [[1], [2]]
    h.me = h
    shallow, deep = copy.copy(h), copy.deepcopy(h)
    assert type(shallow) is type(deep) is Hydrograph
    assert shallow is not h and deep is not h
    assert shallow.gauges is h.gauges
    assert deep.gauges == h.gauges and deep.gauges[0] is not h.gauges[0]
    assert deep.me is deep  # the memo maps the original to its copy
    assert deep.data == h.data
    s = Slotted([3.0], STEP, "rainfall")
    s.station = "x"
    assert copy.copy(s).station == "x"
    assert copy.copy(Slotted([3.0], STEP, "rainfall")).data == [3.0]


# A slotted subclass whose state lists slot items that are not pairs: copy
# must raise what pure Python's copy raises for a plain class of the same
# shape (it once read them as tuples unchecked, and crashed). Each case runs
# in a child, as a regression would crash the interpreter.
BAD_SLOT_ITEMS = ["[42]", "[('a',)]", "[('a', 1, 2)]", "[['a', 1, 2]]", "[iter(['a', 1, 2])]", "[None]",
                  "['ab']", "[{'a': 1}]"]
BAD_SLOTS_CHILD = """
import copy, sys
from datetime import timedelta
import pelmora

class Items:
    def items(self):
        return {items}

class Plain:
    __slots__ = ("a", "b")
    def __getstate__(self):
        return (None, Items())

class Series(pelmora.utils.ContinuousTimeSeries):
    __slots__ = ("a", "b")
    def __getstate__(self):
        return (None, Items())

def outcome(how, obj):
    try:
        copied = how(obj)
    except Exception as e:
        return type(e).__name__, str(e)
    return "copied", {{name: getattr(copied, name, None) for name in ("a", "b")}}

for how in (copy.copy, copy.deepcopy):
    expected = outcome(how, Plain())
    got = outcome(how, Series([1.0], timedelta(hours=1), "discharge"))
    print(expected == got, expected, got)
"""


@pytest.mark.parametrize("items", BAD_SLOT_ITEMS)
def test_copy_unpacks_slot_state_as_pure_python_does(items):
    proc = subprocess.run([sys.executable, "-c", BAD_SLOTS_CHILD.format(items=items)], env=child_env(),
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert len(lines) == 2 and all(line.startswith("True ") for line in lines), proc.stdout


def test_protocol_5_sends_values_out_of_band():
    series = CTS([float(i) for i in range(100_000)], STEP, "discharge")
    buffers = []
    data = pickle.dumps(series, 5, buffer_callback=buffers.append)
    assert len(buffers) == 1 and type(buffers[0]) is pickle.PickleBuffer
    assert buffers[0].raw().tobytes() == struct.pack("100000d", *series.data)
    assert len(data) < 200
    back = pickle.loads(data, buffers=[bytearray(b.raw()) for b in buffers])
    assert fields(back) == fields(series)
    # In band, the values are bytes, not a list of floats.
    assert len(pickle.dumps(series, 5)) < 800_200


@pytest.mark.parametrize("cls", [Forwarding, Refusing])
@pytest.mark.parametrize("band", ["in", "out"])
def test_subclass_with_its_own_buffer_pickles_its_values(cls, band):
    series = cls(EDGES, STEP, "rainfall")
    buffers = []
    data = pickle.dumps(series, 5, buffer_callback=buffers.append if band == "out" else None)
    assert len(buffers) == (band == "out")
    back = pickle.loads(data, buffers=buffers)
    assert type(back) is cls and fields(back) == fields(series)
    if buffers:
        view = buffers[0].raw()
        assert view.readonly and view.tobytes() == struct.pack(f"{len(EDGES)}d", *EDGES)
        with pytest.raises(TypeError, match="read-only"):
            view.cast("B")[0:1] = b"x"


def refs(obj):
    return sys.getrefcount(obj)


def sent_out_of_band(series):
    buffers = []
    data = pickle.dumps(series, 5, buffer_callback=buffers.append)
    return data, buffers[0]


def check_copies_outlive_the_rest(copies, expected):
    gc.collect()
    for c in copies:
        with memoryview(c) as view:
            readonly = view.readonly
        assert readonly and fields(c) == expected


def test_load_keeps_bytes_instead_of_a_copy():
    # bytes, as a pipe delivers them, are kept, not copied: the series and
    # its copies hold them as long as one of them lives, and no longer.
    series = ITS([float(i) for i in range(1000)] + EDGES, STEP, "rainfall", start=datetime(2020, 1, 1))
    data, buffer = sent_out_of_band(series)
    carried = bytes(buffer.raw())
    before = refs(carried)
    back = pickle.loads(data, buffers=[carried])
    assert refs(carried) == before + 1
    copies = [copy.copy(back), copy.deepcopy(back), back]
    expected = fields(series)
    del series, buffer, back
    check_copies_outlive_the_rest(copies, expected)
    copies.clear()
    gc.collect()
    assert refs(carried) == before


@pytest.mark.parametrize("band", ["in", "out"])
def test_loaded_values_outlive_their_payload(band):
    # In band the load keeps the bytes it read; out of band, handed the
    # series' own buffer, it keeps the series' values alive.
    series = ITS([float(i) for i in range(1000)] + EDGES, STEP, "rainfall", start=datetime(2020, 1, 1))
    expected = fields(series)
    data, buffer = sent_out_of_band(series)
    back = pickle.loads(data, buffers=[buffer]) if band == "out" else pickle.loads(pickle.dumps(series, 5))
    copies = [copy.copy(back), copy.deepcopy(back), back]
    del series, buffer, back, data
    check_copies_outlive_the_rest(copies, expected)


@pytest.mark.parametrize("carrier", [bytearray, lambda raw: memoryview(bytearray(raw)).toreadonly()],
                         ids=["bytearray", "read-only-view-of-bytearray"])
def test_load_copies_a_payload_its_owner_may_change(carrier):
    series = CTS([1.0, 2.0, 3.0], STEP, "discharge")
    data, buffer = sent_out_of_band(series)
    carried = carrier(buffer.raw())
    back = pickle.loads(data, buffers=[carried])
    memory = carried.obj if isinstance(carried, memoryview) else carried
    memory[:8] = struct.pack("d", 99.0)
    assert back.data == [1.0, 2.0, 3.0]


def test_every_series_of_a_result_is_one_buffer():
    result = SAMPLES["level-pool-result"]
    buffers = []
    back = pickle.loads(pickle.dumps(result, 5, buffer_callback=buffers.append), buffers=buffers)
    assert len(buffers) == 3 + len(result.reservoir_individual_outflows)
    assert fields(back) == fields(result)


def test_bound_functions_stay_unpicklable():
    with pytest.raises((pickle.PicklingError, AttributeError, TypeError)):
        pickle.dumps(pelmora.reach.run_muskingum_routing)


def out_of_band(obj):
    buffers = []
    data = pickle.dumps(obj, 5, buffer_callback=buffers.append)
    return pickle.loads(data, buffers=buffers)


@pytest.mark.parametrize(
    "step",
    [lambda o: pickle.loads(pickle.dumps(o, 4)), lambda o: pickle.loads(pickle.dumps(o, 5)), out_of_band,
     copy.deepcopy],
    ids=["protocol-4", "protocol-5", "out-of-band", "deepcopy"],
)
def test_round_trips_do_not_leak(step):
    objs = [SAMPLES["level-pool-result"], SAMPLES["specified"], SAMPLES["linear-reservoir"], Hydrograph([1.0], STEP, "volume")]
    assert allocated_growth(lambda: [step(o) for o in objs], calls=300) < 100


def test_failed_reconstruction_does_not_leak():
    def fail():
        for args, kind, _ in TAMPERED[:12]:
            try:
                R(*args)
            except kind:
                pass
    assert allocated_growth(fail, calls=300) < 100


def test_process_pool_pattern(tmp_path):
    # The README's pattern: a function of the user's own module calls pelmora
    # in the workers; series go there and back by pickle.
    (tmp_path / "study.py").write_text(textwrap.dedent("""
        from datetime import timedelta
        import pelmora

        def route(args):
            inflow, k = args
            return pelmora.reach.run_muskingum_routing(inflow, timedelta(hours=k), 0.2, 2, inflow.data[0])
    """))
    (tmp_path / "main.py").write_text(textwrap.dedent("""
        from concurrent.futures import ProcessPoolExecutor
        from datetime import timedelta
        import pelmora, study

        inflow = pelmora.utils.ContinuousTimeSeries([10.0, 50.0, 30.0, 12.0], timedelta(hours=1), "discharge")
        if __name__ == "__main__":
            with ProcessPoolExecutor(2) as pool:
                got = list(pool.map(study.route, [(inflow, k) for k in (1, 2, 3)]))
            assert [g.data for g in got] == [study.route((inflow, k)).data for k in (1, 2, 3)]
            print("ok")
    """))
    env = child_env(tmp_path)
    result = subprocess.run([sys.executable, "main.py"], cwd=tmp_path, env=env, capture_output=True,
                            text=True, timeout=120)
    assert result.stdout.strip() == "ok", result.stderr
