"""Series that know the instant their grid starts at: construction, copies,
the start of every model's result, and the repr."""

import copy
import pickle
import subprocess
import sys
import textwrap
from datetime import date, datetime, timedelta, timezone

import pytest
from conftest import HOUR, child_env, message, zone

import pelmora

CTS = pelmora.utils.ContinuousTimeSeries
ITS = pelmora.utils.IncrementalTimeSeries
ru = pelmora.reservoir.reservoir_utils
LR = pelmora.baseflow.LinearReservoir

NAIVE = datetime(2024, 5, 1, 6, 30)
EST = timezone(timedelta(hours=-5))
AWARE = datetime(2024, 5, 1, 6, 30, tzinfo=EST)


class Instant(datetime):
    """A user's datetime subclass: accepted, kept as it is."""


class Hydrograph(CTS):
    pass


@pytest.mark.parametrize("cls", [CTS, ITS, Hydrograph])
@pytest.mark.parametrize("start", [None, NAIVE, AWARE, Instant(2024, 1, 1)])
def test_start_is_kept_as_given(cls, start):
    s = cls([1.0, 2.0], HOUR, "rainfall", start=start)
    assert s.start is start
    assert type(s) is cls
    # Everything else is as without a start.
    assert (s.data, s.time_step, s.kind) == ([1.0, 2.0], HOUR, "rainfall")


@pytest.mark.parametrize("cls", [CTS, ITS])
@pytest.mark.parametrize(("start", "text"), [
    ("2024-05-01", "'str' object is not an instance of 'datetime'"),
    (date(2024, 5, 1), "'date' object is not an instance of 'datetime'"),
    (HOUR, "'timedelta' object is not an instance of 'datetime'"),
    (1714545000, "'int' object is not an instance of 'datetime'"),
])
def test_start_of_another_type_is_refused(cls, start, text):
    with pytest.raises(TypeError) as e:
        cls([1.0], HOUR, "rainfall", start=start)
    assert message(e) == f"argument 'start': {text}"


def test_start_is_keyword_only_and_checked_after_kind():
    with pytest.raises(TypeError) as e:
        CTS([1.0], HOUR, "discharge", NAIVE)
    assert message(e) == "ContinuousTimeSeries.__new__() takes 3 positional arguments but 4 were given"
    with pytest.raises(TypeError) as e:
        ITS([1.0], HOUR, 5, start="x")  # conversions run in parameter order
    assert message(e) == "argument 'kind': 'int' object is not an instance of 'str'"
    with pytest.raises(ValueError, match="; got 'snow'"):
        CTS([1.0], HOUR, "snow", start=NAIVE)
    with pytest.raises(TypeError) as e:
        CTS([1.0], HOUR, "discharge", begin=NAIVE)
    assert message(e) == "ContinuousTimeSeries.__new__() got an unexpected keyword argument 'begin'"


def test_start_is_read_only():
    s = CTS([1.0], HOUR, "discharge", start=NAIVE)
    with pytest.raises(AttributeError):
        s.start = AWARE
    assert s.start is NAIVE


@pytest.mark.parametrize("start", [None, AWARE])
def test_copies_and_disaggregate_keep_the_start(start):
    s = Hydrograph([1.0, 2.0], HOUR, "discharge", start=start)
    for twin in (copy.copy(s), copy.deepcopy(s), pickle.loads(pickle.dumps(s, 5))):
        assert type(twin) is Hydrograph and twin is not s and twin.start == start
    rain = ITS([1.2, 0.6], HOUR, "rainfall", start=start)
    fine = rain.disaggregate(900)
    assert fine.start is start  # the first interval still begins there
    assert fine.data == [0.3] * 4 + [0.15] * 4


# ---- results ---------------------------------------------------------------------------------

def models(rain_start, inflow_start):
    rain = ITS([0.5, 1.0, 0.2, 0.0], HOUR, "rainfall", start=rain_start)
    inflow = CTS([0.0, 100.0, 50.0, 10.0], HOUR, "discharge", start=inflow_start)
    loss = pelmora.rainfall_loss.run_deficit_and_constant(rain, 0.1, 1.0, 0.1, 5 * HOUR)
    total, layers = pelmora.baseflow.run_linear_reservoir(
        640.0, loss.loss, {"fast": LR(6 * HOUR, 0.3, 0.0), "slow": LR(48 * HOUR, 0.5, 0.0, 2)})
    pool = pelmora.reservoir.run_level_pool_routing(
        inflow, 101.0, ru.ElevationStorage([100.0, 110.0], [0.0, 1e7]), {"gate": ru.ConstantDischargeInfo(5.0)})
    return {
        "loss.excess": loss.excess, "loss.loss": loss.loss, "loss.deficit": loss.deficit,
        "clark": pelmora.rainfall_transform.run_clark_uh(loss.excess, 640.0, 2 * HOUR, HOUR),
        "baseflow.total": total, "baseflow.fast": layers["fast"], "baseflow.slow": layers["slow"],
        "muskingum": pelmora.reach.run_muskingum_routing(inflow, HOUR, 0.2, 1, 0.0),
        "pool.storage": pool.reservoir_storage, "pool.elevation": pool.reservoir_elevation,
        "pool.total": pool.reservoir_total_outflow, "pool.gate": pool.reservoir_individual_outflows["gate"],
    }


# Where each result's value 0 sits: the rainfall's or the inflow's start, or
# for baseflow the end of the first rainfall interval.
def expected_start(name, rain_start, inflow_start):
    if name.startswith("baseflow"):
        return rain_start + HOUR
    return inflow_start if name.startswith(("muskingum", "pool")) else rain_start


@pytest.mark.parametrize(("rain_start", "inflow_start"), [(NAIVE, AWARE), (AWARE, NAIVE)])
def test_every_result_carries_the_start_of_its_grid(rain_start, inflow_start):
    for name, series in models(rain_start, inflow_start).items():
        assert series.start == expected_start(name, rain_start, inflow_start), name
        assert series.start.tzinfo is expected_start(name, rain_start, inflow_start).tzinfo, name


def test_no_start_in_no_start_out():
    assert {name: s.start for name, s in models(None, None).items()} == dict.fromkeys(models(None, None))


def test_results_keep_their_start_through_pickles_and_copies():
    rain = ITS([0.5, 1.0], HOUR, "rainfall", start=AWARE)
    loss = pelmora.rainfall_loss.run_deficit_and_constant(rain, 0.1, 1.0, 0.1, 5 * HOUR)
    pool = pelmora.reservoir.run_level_pool_routing(
        CTS([5.0, 5.0, 5.0], HOUR, "discharge", start=NAIVE), 101.0,
        ru.ElevationStorage([100.0, 110.0], [0.0, 1e7]), {"a": ru.ConstantDischargeInfo(1.0)})
    for how in (copy.copy, copy.deepcopy, lambda r: pickle.loads(pickle.dumps(r, 2))):
        twin = how(loss)
        assert [s.start for s in (twin.excess, twin.loss, twin.deficit)] == [AWARE] * 3
        twin = how(pool)
        assert twin.reservoir_storage.start == twin.reservoir_individual_outflows["a"].start == NAIVE


def test_baseflow_steps_in_elapsed_time_across_a_clock_change():
    new_york = zone("America/New_York")
    # 01:30 EST; one hour later the clocks have jumped to 03:30 EDT.
    rain = ITS([0.5], HOUR, "rainfall", start=datetime(2024, 3, 10, 1, 30, tzinfo=new_york))
    total, _ = pelmora.baseflow.run_linear_reservoir(640.0, rain, {})
    assert total.start == datetime(2024, 3, 10, 3, 30, tzinfo=new_york)
    assert total.start.utcoffset() == timedelta(hours=-4)
    # Python subtracts two times of one zone on the wall clock; in UTC the
    # step is one hour of elapsed time.
    assert total.start.astimezone(timezone.utc) - rain.start.astimezone(timezone.utc) == HOUR


def test_baseflow_start_keeps_a_subclass_and_refuses_a_non_datetime():
    rain = ITS([0.5], HOUR, "rainfall", start=Instant(2024, 5, 1))
    total, _ = pelmora.baseflow.run_linear_reservoir(640.0, rain, {})
    assert type(total.start) is Instant and total.start == datetime(2024, 5, 1, 1)

    class Odd(datetime):
        def __add__(self, other):
            return "later"

    rain = ITS([0.5], HOUR, "rainfall", start=Odd(2024, 5, 1))
    with pytest.raises(TypeError) as e:
        pelmora.baseflow.run_linear_reservoir(640.0, rain, {})
    assert message(e) == "'str' object is not an instance of 'datetime'"


# ---- repr ------------------------------------------------------------------------------------

@pytest.mark.parametrize(("series", "text"), [
    (CTS([0.0, 35.125, 115.0, 162.5, 1.0, 0.5, 0.25], timedelta(minutes=15), "discharge", start=NAIVE),
     "<ContinuousTimeSeries kind='discharge', len=7, time_step=15 min, start=2024-05-01T06:30:00, "
     "data=[0.0, 35.125, 115.0, ..., 1.0, 0.5, 0.25]>"),
    (ITS([1.0, float("nan"), -0.0, float("inf"), 2.0, 0.1], timedelta(days=1, seconds=5430), "rainfall", start=AWARE),
     "<IncrementalTimeSeries kind='rainfall', len=6, time_step=1 d 1 h 30 min 30 s, "
     "start=2024-05-01T06:30:00-05:00, data=[1.0, nan, -0.0, inf, 2.0, 0.1]>"),
    (Hydrograph([], HOUR, "volume"),
     "<Hydrograph kind='volume', len=0, time_step=1 h, start=None, data=[]>"),
])
def test_repr(series, text):
    assert repr(series) == text


def test_repr_is_bounded():
    values = [i + 0.1 for i in range(10**5)]
    short = repr(CTS(values[:7], HOUR, "discharge", start=AWARE))
    long = repr(CTS(values, HOUR, "discharge", start=AWARE))
    assert long.endswith("data=[0.1, 1.1, 2.1, ..., 99997.1, 99998.1, 99999.1]>")
    assert len(long) - len(short) < 20  # only the length and the last values grow
    assert "0x" not in long


# ---- pandas stays optional -----------------------------------------------------------------

def run_child(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=120, env=child_env())


def test_import_does_not_import_pandas():
    done = run_child("""
        import sys
        import pelmora
        from datetime import timedelta
        s = pelmora.utils.ContinuousTimeSeries([1.0], timedelta(hours=1), "discharge")
        repr(s), s.start, s.data
        print(sorted(m for m in ("pandas", "numpy") if m in sys.modules))
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[]"


def test_missing_pandas_says_what_to_install():
    done = run_child("""
        import sys
        sys.modules["pandas"] = None  # as if it were not installed
        import pelmora
        from datetime import timedelta
        cls = pelmora.utils.IncrementalTimeSeries
        for call in (lambda: cls([1.0], timedelta(hours=1), "rainfall").to_pandas(),
                     lambda: cls.from_pandas([1.0], "rainfall")):
            try:
                call()
            except ImportError as e:
                print(type(e).__name__, e, "|", type(e.__cause__).__name__)
    """)
    assert done.returncode == 0, done.stderr
    text = ("ImportError to_pandas and from_pandas need pandas, which could not be imported: install it "
            "(pip install pandas, or the python3-pandas package of your system) | ModuleNotFoundError")
    assert done.stdout.splitlines() == [text, text]
