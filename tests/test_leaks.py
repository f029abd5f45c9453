"""Reference and memory leaks: every bound callable, thousands of times, with
good arguments and with each kind of bad one.

Three measures, per family of callables:
  * live Python blocks (sys.getallocatedblocks) after warm-up: fewer than
    BLOCKS_PER_10K per 10,000 calls (one leaked object per call would show
    as 10,000);
  * the reference counts of every argument and of every class: unchanged;
  * the process's resident memory with large inputs: under RSS_BUDGET_MB,
    which catches native buffers that never reach Python's allocator.

Run with -s to see the measured growth of each family. Under the sanitizer
build Python's allocator steps aside (no blocks are counted) and freed memory
is quarantined, so there only the reference counts are meaningful.
"""

import array
import gc
import os
import sys
import warnings
import copy
import pickle
import weakref
from datetime import datetime, timedelta, timezone

import pytest
from conftest import HOUR, allocated_growth

import pelmora

try:
    import numpy as np
except ImportError:  # Debian packages numpy for the GIL build only: buffers come from array there
    np = None

CTS = pelmora.utils.ContinuousTimeSeries
ITS = pelmora.utils.IncrementalTimeSeries
ru = pelmora.reservoir.reservoir_utils
LR = pelmora.baseflow.LinearReservoir
kge = pelmora.metrics.calculate_kge
loss = pelmora.rainfall_loss.run_deficit_and_constant
clark = pelmora.rainfall_transform.run_clark_uh
route = pelmora.reach.run_muskingum_routing
pool = pelmora.reservoir.run_level_pool_routing
baseflow = pelmora.baseflow.run_linear_reservoir

BLOCKS_PER_10K = 100
RSS_BUDGET_MB = 4
EXPECTED = (TypeError, ValueError, OverflowError, RuntimeError, AttributeError, UserWarning)


class Hostile(Exception):
    pass


class Raises:
    def __init__(self, make_error):
        self.make_error = make_error  # a fresh error each time: re-raising one grows its traceback

    def __float__(self):
        raise self.make_error()

    __index__ = __float__


class LyingLength:
    def __len__(self):
        return 10**6

    def __getitem__(self, i):
        return [1.0, 2.0][i]


class Clears:
    """Empties `target` when converted: a list in conversion, or a dict
    converted after it."""

    def __init__(self, target):
        self.target = target

    def __float__(self):
        self.target.clear()
        return 1.0


def clearing_list():
    items = [1.0, 2.0, 3.0]
    items.insert(1, Clears(items))
    return items


def caused_type_error():
    error = TypeError("inner")
    error.__cause__ = KeyError("root")
    return error


SubCTS = type("SubCTS", (CTS,), {})
SubES = type("SubES", (ru.ElevationStorage,), {})
SubConst = type("SubConst", (ru.ConstantDischargeInfo,), {})

# Every argument lives here, so its reference count can be watched.
A = dict(
    rain=ITS([0.5, 0.0, 1.0, 0.2], HOUR, "rainfall"),
    inflow=CTS([10.0, 30.0, 20.0, 10.0], HOUR, "discharge"),
    short_inflow=SubCTS([1.0, 2.0, 3.0], timedelta(minutes=1), "discharge"),
    empty=CTS([], HOUR, "discharge"),
    storage=ru.ElevationStorage([100.0, 110.0], [0.0, 1e6]),
    sub_storage=SubES([100.0, 110.0], [0.0, 1e6]),
    tiny_storage=ru.ElevationStorage([1.0], [2.0]),
    curve=ru.ElevationDischarge([100.0, 110.0], [0.0, 50.0]),
    layer=LR(timedelta(hours=6), 0.4, 1.0, 2),
    values=[1.0, 2.0, 3.0, 4.0],
    mixed=(1, 2.5, np.float64(3.0) if np else 3, True),
    array=np.linspace(0.0, 1.0, 4) if np else array.array("d", [0.0, 0.25, 0.5, 1.0]),
    strided=np.arange(8.0)[::2] if np else memoryview(array.array("d", range(8)))[::2],
    bad_items=[1.0, "x"],
    hostile=Raises(lambda: Hostile("boom")),
    wrapped=Raises(caused_type_error),
    lying=LyingLength(),
    text="abc",
    mapping={1: 2},
    negative=timedelta(days=-1),
    zero=timedelta(0),
    tc=timedelta(hours=3),
    absurd_tc=timedelta(days=10**8),
)
A["outlets"] = {
    "spill": ru.UnControlledDischargeInfo(A["curve"], -1.0),
    "gate": ru.ControlledDischargeInfo(A["curve"], 101.0, None, 40.0),
    "fixed": SubConst(5.0, 100.0, 120.0),
    "plan": ru.SpecifiedDischargeInfo(CTS([1.0, 1.0, 1.0], timedelta(minutes=1), "discharge")),
}
A["short_plan"] = {"plan": ru.SpecifiedDischargeInfo(CTS([1.0], HOUR, "discharge"))}
A["layers"] = {"fast": A["layer"], "slow": LR(timedelta(days=5), 0.5, 2.0, 3)}
A["too_much"] = {"a": LR(HOUR, 0.6, 0.0), "b": LR(HOUR, 0.6, 0.0)}
A["unstable"] = {"a": LR(timedelta(minutes=30), 0.5, 0.0, 2)}
A["not_layers"] = {"a": 1.0}
A["not_outlets"] = {"a": 1.0}
A["naive"] = datetime(2024, 5, 1, 6)
A["aware"] = datetime(2024, 5, 1, 6, tzinfo=timezone(timedelta(hours=-5)))
A["dated_rain"] = ITS([0.5, 0.0, 1.0, 0.2], HOUR, "rainfall", start=A["aware"])
A["dated_inflow"] = SubCTS([1.0, 2.0, 3.0], timedelta(minutes=1), "discharge", start=A["naive"])
A["dated_dcr"] = loss(A["dated_rain"], 0.1, 1.0, 0.1, HOUR)
A["dated_lpr"] = pool(A["dated_inflow"], 105.0, A["storage"], A["outlets"])
try:
    import pandas as pd
except ImportError:
    pd = None
A["frame"] = A["dated_rain"].to_pandas() if pd else None
A["bad_frame"] = pd.Series([1.0, 2.0], index=pd.to_datetime(["2024-05-01", "2024-05-01"])) if pd else None
A["dcr"] = loss(A["rain"], 0.1, 1.0, 0.1, HOUR)
A["lpr"] = pool(A["short_inflow"], 105.0, A["storage"], A["outlets"])


def guarded(*calls):
    """One zero-argument function running every call, expecting only the
    documented exceptions (and the ones our hostile objects raise)."""

    def run():
        for call in calls:
            try:
                call()
            except (*EXPECTED, Hostile):
                pass

    run.count = len(calls)
    return run


a = A  # short alias for the tables below
FAMILIES = {
    "series": guarded(
        lambda: CTS(a["values"], HOUR, "discharge"), lambda: ITS(a["mixed"], HOUR, "rainfall"),
        lambda: SubCTS(a["array"], HOUR, "volume"), lambda: CTS(a["strided"], HOUR, "volume"),
        lambda: CTS(range(3), HOUR, "elevation"),
        lambda: CTS(a["text"], HOUR, "volume"), lambda: CTS(a["mapping"], HOUR, "volume"),
        lambda: CTS(a["bad_items"], HOUR, "volume"), lambda: CTS([a["hostile"]], HOUR, "volume"),
        lambda: CTS([a["wrapped"]], HOUR, "volume"), lambda: ITS(a["lying"], HOUR, "volume"),
        lambda: CTS(clearing_list(), HOUR, "volume"),
        lambda: CTS(a["values"], 3600, "volume"), lambda: CTS(a["values"], a["negative"], "volume"),
        lambda: CTS(a["values"], a["zero"], "volume"), lambda: CTS(a["values"], HOUR, "snow"),
        lambda: CTS(a["values"], HOUR, 5), lambda: CTS(a["values"], HOUR),
        lambda: CTS(a["values"], HOUR, "volume", extra=1), lambda: CTS(a["values"], HOUR, "volume", data=1),
        lambda: a["inflow"].data, lambda: a["inflow"].kind, lambda: a["inflow"].time_step,
        lambda: a["inflow"].total_duration(), lambda: a["rain"].total_duration(),
        lambda: a["rain"].disaggregate(900), lambda: a["rain"].disaggregate(target_step=29),
        lambda: a["rain"].disaggregate(7200), lambda: a["rain"].disaggregate(900.0),
        lambda: a["rain"].disaggregate(2**40), lambda: a["rain"].disaggregate(),
        lambda: setattr(a["inflow"], "data", a["values"]), lambda: setattr(a["inflow"], "foo", 1),
    ),
    "curves": guarded(
        lambda: ru.ElevationStorage(a["values"], a["array"]), lambda: SubES(a["values"], a["values"]),
        lambda: ru.ElevationStorage(a["values"], [1.0]), lambda: ru.ElevationStorage([2.0, 1.0], [1.0, 2.0]),
        lambda: ru.ElevationStorage([1.0, 2.0], [1.0, 1.0]), lambda: ru.ElevationStorage(a["text"], a["values"]),
        lambda: ru.ElevationDischarge(a["values"], a["values"]), lambda: ru.ElevationDischarge([1.0], [1.0]),
        lambda: ru.ElevationDischarge([1.0, 2.0], [2.0, 1.0]),
        lambda: a["storage"].get_storage(105.0), lambda: a["sub_storage"].get_elevation(storage=5e5),
        lambda: a["storage"].get_storage(120.0), lambda: a["storage"].get_elevation(-1.0),
        lambda: a["storage"].get_storage(float("nan")), lambda: a["tiny_storage"].get_storage(1.0),
        lambda: a["storage"].get_storage(a["hostile"]), lambda: a["storage"].get_storage("1"),
        lambda: a["storage"].elevation, lambda: a["storage"].storage, lambda: a["curve"].discharge,
    ),
    "outlets": guarded(
        lambda: ru.ConstantDischargeInfo(5.0), lambda: SubConst(5.0, 1.0, maximum_elevation=2.0),
        lambda: ru.ConstantDischargeInfo(a["wrapped"]), lambda: ru.ConstantDischargeInfo(5.0, "1"),
        lambda: ru.SpecifiedDischargeInfo(a["inflow"], None, None, 3.0), lambda: ru.SpecifiedDischargeInfo(a["rain"]),
        lambda: ru.ControlledDischargeInfo(a["curve"], 90.0, 120.0, 20.0), lambda: ru.ControlledDischargeInfo(None),
        lambda: ru.UnControlledDischargeInfo(a["curve"], -2.0), lambda: ru.UnControlledDischargeInfo(a["storage"]),
        *(lambda o=o, n=n: getattr(o, n) for o in a["outlets"].values()
          for n in ("discharge", "minimum_elevation", "maximum_elevation", "maximum_release",
                    "elevation_discharge", "elevation_offset")),
    ),
    "linear reservoir": guarded(
        lambda: LR(HOUR, 0.5, 1.0), lambda: LR(k_duration=HOUR, gw_fraction=0.5, initial_q=1.0, num_reservoir=3),
        lambda: LR(a["zero"], 0.5, 1.0), lambda: LR(HOUR, 1.5, 1.0), lambda: LR(HOUR, 0.5, 1.0, 0),
        lambda: LR(HOUR, 0.5, 1.0, -1), lambda: LR(HOUR, 0.5, 1.0, 1.5), lambda: LR(a["negative"], 0.5, 1.0),
        lambda: LR(3600, 0.5, 1.0), lambda: LR(HOUR, a["hostile"], 1.0),
        lambda: a["layer"].k_duration, lambda: a["layer"].gw_fraction, lambda: a["layer"].initial_q,
        lambda: a["layer"].num_reservoir,
        lambda: setattr(a["layer"], "gw_fraction", 0.4), lambda: setattr(a["layer"], "initial_q", 1.0),
        lambda: setattr(a["layer"], "num_reservoir", 2), lambda: setattr(a["layer"], "num_reservoir", -1),
        lambda: setattr(a["layer"], "gw_fraction", "x"), lambda: setattr(a["layer"], "initial_q", a["wrapped"]),
        lambda: setattr(a["layer"], "k_duration", HOUR), lambda: delattr(a["layer"], "initial_q"),
    ),
    "models": guarded(
        lambda: kge(a["values"], a["array"]), lambda: kge(a["mixed"], a["values"], True),
        lambda: kge(a["values"], []), lambda: kge(a["values"], [1.0]), lambda: kge(a["values"], a["values"], 1),
        lambda: kge(a["values"], a["bad_items"]),
        lambda: loss(a["rain"], 0.1, 1.0, 0.1, HOUR), lambda: loss(a["rain"], 0.1, 1.0, 0.1, a["negative"]),
        lambda: loss(a["inflow"], 0.1, 1.0, 0.1, HOUR), lambda: loss(a["rain"], a["hostile"], 1.0, 0.1, HOUR),
        lambda: clark(a["rain"], 640.0, a["tc"], HOUR), lambda: clark(a["rain"], 640.0, a["negative"], HOUR),
        lambda: clark(a["rain"], 640.0, a["absurd_tc"], HOUR), lambda: clark(a["rain"], "640", a["tc"], HOUR),
        lambda: route(a["inflow"], HOUR, 0.2, 3, 10.0), lambda: route(a["inflow"], HOUR, 0.7, 1, 10.0),
        lambda: route(a["inflow"], a["negative"], 0.2, 1, 10.0), lambda: route(a["empty"], HOUR, 0.2, 1, 0.0),
        lambda: route(a["inflow"], HOUR, 0.2, 0, 10.0), lambda: route(a["inflow"], HOUR, 0.2, 2**64, 10.0),
        lambda: pool(a["short_inflow"], 105.0, a["storage"], a["outlets"]),
        lambda: pool(a["short_inflow"], 120.0, a["storage"], a["outlets"]),
        lambda: pool(a["inflow"], 105.0, a["storage"], a["short_plan"]),
        lambda: pool(a["short_inflow"], 105.0, a["tiny_storage"], {}),
        lambda: pool(a["short_inflow"], 105.0, a["storage"], a["not_outlets"]),
        lambda: pool(a["empty"], 105.0, a["storage"], {}),
        lambda: baseflow(640.0, a["rain"], a["layers"]), lambda: baseflow(640.0, a["rain"], a["too_much"]),
        lambda: baseflow(640.0, a["rain"], a["unstable"]), lambda: baseflow(640.0, a["rain"], a["not_layers"]),
        lambda: baseflow(640.0, a["rain"], list(a["layers"].items())),
        lambda: (layers := dict(a["layers"])) and baseflow(Clears(layers), a["rain"], layers),
    ),
    "dated": guarded(
        lambda: CTS(a["values"], HOUR, "discharge", start=a["naive"]),
        lambda: ITS(a["values"], HOUR, "rainfall", start=a["aware"]),
        lambda: CTS(a["values"], HOUR, "discharge", start=a["text"]),
        lambda: CTS(a["values"], HOUR, "discharge", a["naive"]),
        lambda: a["dated_rain"].start, lambda: repr(a["dated_rain"]), lambda: repr(a["dated_inflow"]),
        lambda: a["dated_rain"].disaggregate(900), lambda: loss(a["dated_rain"], 0.1, 1.0, 0.1, HOUR).excess,
        lambda: clark(a["dated_rain"], 640.0, a["tc"], HOUR), lambda: route(a["dated_inflow"], HOUR, 0.2, 1, 1.0),
        lambda: baseflow(640.0, a["dated_rain"], a["layers"]),
        lambda: pool(a["dated_inflow"], 105.0, a["storage"], a["outlets"]).reservoir_individual_outflows,
        lambda: a["dated_dcr"].deficit, lambda: a["dated_lpr"].reservoir_storage,
        lambda: pickle.loads(pickle.dumps(a["dated_lpr"])), lambda: copy.deepcopy(a["dated_inflow"]),
        lambda: pickle.loads(pickle.dumps(a["dated_dcr"], 5)),
        *((lambda: a["dated_inflow"].to_pandas(), lambda: ITS.from_pandas(a["frame"], "rainfall"),
           lambda: CTS.from_pandas(a["bad_frame"], "discharge"), lambda: CTS.from_pandas(a["values"], "discharge"))
          if pd else ()),
    ),
    "results": guarded(
        lambda: a["dcr"].excess, lambda: a["dcr"].loss, lambda: a["dcr"].deficit,
        lambda: a["lpr"].reservoir_storage, lambda: a["lpr"].reservoir_elevation,
        lambda: a["lpr"].reservoir_total_outflow, lambda: a["lpr"].reservoir_individual_outflows,
        lambda: pelmora.rainfall_loss.DeficitConstantResult(), lambda: pelmora.reservoir.LevelPoolResult(),
        lambda: setattr(a["dcr"], "excess", None),
    ),
}

WATCHED = list(A.values()) + [v for d in (A["outlets"], A["layers"]) for v in d.values()] + [
    CTS, ITS, LR, SubCTS, SubES, SubConst, ru.ElevationStorage, ru.ElevationDischarge, ru.ConstantDischargeInfo,
    ru.SpecifiedDischargeInfo, ru.ControlledDischargeInfo, ru.UnControlledDischargeInfo,
    pelmora.rainfall_loss.DeficitConstantResult, pelmora.reservoir.LevelPoolResult, Hostile]


def blocks_per_10k(run, rounds=3, loops=1000):
    """Smallest live-block growth over `rounds` rounds, scaled to 10,000 calls."""
    return allocated_growth(run, rounds=rounds, calls=loops) * 10_000 / (loops * run.count)


@pytest.mark.parametrize("family, strict", [(f, False) for f in FAMILIES] + [("models", True)],
                         ids=list(FAMILIES) + ["models with warnings as errors"])
def test_no_growth(family, strict):
    run = FAMILIES[family]
    with warnings.catch_warnings():
        warnings.simplefilter("error" if strict else "ignore")
        run()  # the first call of a family may create lasting state, and
        gc.collect()  # garbage left by earlier tests may still hold references
        counts = [sys.getrefcount(x) for x in WATCHED]
        growth = blocks_per_10k(run)
        gc.collect()
        after = [sys.getrefcount(x) for x in WATCHED]
    print(f"\n{family} ({run.count} callables, warnings {'as errors' if strict else 'ignored'}): "
          f"{growth:+.1f} blocks per 10,000 calls")
    assert growth < BLOCKS_PER_10K
    changed = [(x, c, d) for x, c, d in zip(WATCHED, counts, after) if c != d]
    assert not changed, f"reference counts changed: {changed}"


def test_cycle_through_a_start_is_collected():
    # A datetime subclass whose instance refers back to the series it dates:
    # only the collector can free the pair, and only if the series shows it
    # its start.
    class Instant(datetime):
        pass

    for make in (lambda t: CTS([1.0], HOUR, "discharge", start=t),
                 lambda t: loss(ITS([1.0], HOUR, "rainfall", start=t), 0.1, 1.0, 0.1, HOUR)):
        instant = Instant(2024, 5, 1)
        instant.series = make(instant)
        gone = weakref.ref(instant)
        del instant
        gc.collect()
        assert gone() is None


def rss_mb():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096 / 2**20


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer quarantines freed memory, so resident memory grows by design")
def test_resident_memory_stays_flat():
    # Large inputs, so that a native buffer lost per call would add up to
    # hundreds of megabytes; none of it goes through Python's allocator.
    n = 5000
    values = [i / (n - 1) for i in range(n)]
    rain = ITS(values, timedelta(minutes=15), "rainfall")
    inflow = CTS([10.0 + v for v in values], timedelta(seconds=1), "discharge")
    storage = ru.ElevationStorage(list(range(100, 100 + n)), [float(i * i) for i in range(n)])
    calls = guarded(
        lambda: kge(values, values, True), lambda: CTS(values, HOUR, "volume").data,
        lambda: rain.disaggregate(300), lambda: loss(rain, 0.1, 1.0, 0.1, HOUR).excess,
        lambda: clark(rain, 640.0, timedelta(hours=3), HOUR), lambda: route(inflow, HOUR, 0.2, 2, 10.0),
        lambda: pool(inflow, 150.0, storage, {"c": ru.ConstantDischargeInfo(1.0)}).reservoir_storage,
        lambda: baseflow(640.0, rain, A["layers"]), lambda: storage.get_elevation(1e6),
        lambda: ru.ElevationStorage(values, values),  # refused after converting both
        lambda: route(inflow, A["negative"], 0.2, 1, 0.0),  # refused after converting the inflow
    )
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for _ in range(50):
            calls()
        gc.collect()
        before = rss_mb()
        for _ in range(300):
            calls()
        gc.collect()
        growth = rss_mb() - before
    print(f"\nresident memory: {growth:+.2f} MB over {300 * calls.count} calls with {n}-value inputs")
    assert growth < RSS_BUDGET_MB
