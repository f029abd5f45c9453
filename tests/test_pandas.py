"""Series to and from pandas: round trips, naive and aware, the index each
direction builds or accepts, and every refusal with its message. pandas is
optional: pelmora never imports it on its own (test_dated checks that, and
the message when it is missing)."""

import math
import struct
from datetime import datetime, timedelta, timezone

import pytest
from conftest import HOUR, message, zone

import pelmora

CTS = pelmora.utils.ContinuousTimeSeries
ITS = pelmora.utils.IncrementalTimeSeries

NAIVE = datetime(2024, 5, 1, 6, 30)
AWARE = datetime(2024, 5, 1, 6, 30, tzinfo=timezone(timedelta(hours=-5)))
VALUES = [0.0, 1.5, math.nan, -0.0, 1e300, 2.25]


pd = pytest.importorskip("pandas", exc_type=ImportError)  # ImportError too: pandas without numpy


def bits(values):
    return [struct.pack("d", v) for v in values]


@pytest.mark.parametrize("cls", [CTS, ITS])
@pytest.mark.parametrize("start", [NAIVE, AWARE, None])
def test_to_pandas(cls, start):
    s = cls(VALUES, timedelta(minutes=15), "discharge", start=start)
    out = s.to_pandas()
    assert type(out) is pd.Series and out.dtype == "float64" and out.name == "discharge"
    assert bits(out.to_numpy()) == bits(VALUES)  # NaN and -0.0 kept
    assert out.index.freq == pd.Timedelta(minutes=15)
    if start is None:
        assert list(out.index) == [pd.Timedelta(minutes=15 * i) for i in range(6)]
    else:
        assert isinstance(out.index, pd.DatetimeIndex) and out.index.tz == start.tzinfo
        assert [t.to_pydatetime() for t in out.index] == [start + i * timedelta(minutes=15) for i in range(6)]
    out.iloc[0] = 9.0  # a copy: writable, and the series is unchanged
    assert s.data[0] == 0.0


def test_to_pandas_steps_in_elapsed_time_across_a_clock_change():
    new_york = zone("America/New_York")
    out = CTS([1.0, 2.0, 3.0], HOUR, "discharge", start=datetime(2024, 3, 10, 0, 30, tzinfo=new_york)).to_pandas()
    assert [str(t) for t in out.index] == ["2024-03-10 00:30:00-05:00", "2024-03-10 01:30:00-05:00",
                                           "2024-03-10 03:30:00-04:00"]


def test_to_pandas_of_an_empty_series():
    out = CTS([], HOUR, "volume", start=NAIVE).to_pandas()
    assert len(out) == 0 and out.dtype == "float64" and isinstance(out.index, pd.DatetimeIndex)


@pytest.mark.parametrize("cls", [CTS, ITS])
@pytest.mark.parametrize("start", [NAIVE, AWARE, None, datetime(2024, 5, 1, 6, 30, 15, 250000)])
def test_round_trip(cls, start):
    for step in (timedelta(seconds=1), timedelta(minutes=15), timedelta(days=1)):
        s = cls(VALUES, step, "rainfall", start=start)
        back = cls.from_pandas(s.to_pandas(), "rainfall")
        assert type(back) is cls
        assert bits(back.data) == bits(s.data)
        assert (back.time_step, back.kind, back.start) == (step, "rainfall", start)
        assert type(back.start) in (datetime, type(None))  # a plain datetime, not a pandas Timestamp
        assert back.start is None or back.start.utcoffset() == start.utcoffset()


def test_round_trip_from_pandas_first():
    index = pd.date_range("2024-05-01 06:00", periods=4, freq="15min", tz="Europe/Paris")
    frame = pd.Series([1, 2, None, 4], index=index, dtype="Int64")  # nullable integers: NA is missing
    s = ITS.from_pandas(frame, "rainfall")
    assert bits(s.data) == bits([1.0, 2.0, math.nan, 4.0])
    assert s.time_step == timedelta(minutes=15)
    assert s.start == index[0].to_pydatetime() and s.start.utcoffset() == timedelta(hours=2)
    again = s.to_pandas()
    assert (again.index == index).all() and str(again.index.tz) == "Europe/Paris"


def test_from_pandas_makes_the_class_it_is_called_on():
    class Gauge(CTS):
        pass

    s = Gauge.from_pandas(pd.Series([1.0, 2.0], index=pd.to_timedelta([0, 60], unit="s")), kind="discharge")
    assert type(s) is Gauge and s.start is None and s.time_step == timedelta(minutes=1)


@pytest.mark.parametrize(("index", "step"), [
    (pd.date_range("2024-05-01", periods=1, freq="h"), HOUR),
    (pd.date_range("2024-05-01", periods=0, freq="D"), timedelta(days=1)),
    (pd.timedelta_range(0, periods=1, freq="30s"), timedelta(seconds=30)),
])
def test_short_index_takes_its_step_from_freq(index, step):
    s = CTS.from_pandas(pd.Series([1.0] * len(index), index=index, dtype="float64"), "discharge")
    assert s.time_step == step and len(s.data) == len(index)


DAY = "2024-05-01 "


@pytest.mark.parametrize(("index", "text"), [
    (pd.DatetimeIndex([DAY + "00:00", DAY + "01:00", DAY + "03:00"]),
     "the index is irregular: its step changes from 3600 to 7200 seconds at position 2 (2024-05-01 03:00:00)"),
    (pd.DatetimeIndex([DAY + "00:00", DAY + "02:00", DAY + "01:00"]),
     "the index is not sorted: position 2 (2024-05-01 01:00:00) comes before position 1 (2024-05-01 02:00:00)"),
    (pd.DatetimeIndex([DAY + "00:00", DAY + "01:00", DAY + "01:00"]),
     "the index has a duplicate instant at position 2 (2024-05-01 01:00:00)"),
    (pd.DatetimeIndex([DAY + "00:00:00", DAY + "00:00:00.5"]),
     "the index step of 0.5 seconds is finer than one second"),
    (pd.DatetimeIndex([DAY + "00:00:00", DAY + "00:00:01.5"]),
     "the index step of 1.5 seconds is not a whole number of seconds"),
    (pd.DatetimeIndex([DAY + "00:00", None]), "the index has a missing instant (NaT) at position 1"),
    (pd.DatetimeIndex([DAY + "00:00"]),
     "an index of 1 instant gives no step: set its freq (for example "
     "pandas.date_range(start, periods=1, freq='15min'))"),
    (pd.date_range("2024-05-01", periods=1, freq="MS"), "the index freq <MonthBegin> is not a fixed step"),
    (pd.date_range("2024-01-01", periods=3, freq="MS"),
     "the index is irregular: its step changes from 2678400 to 2505600 seconds at position 2 (2024-03-01 00:00:00)"),
    (pd.to_timedelta([3600, 7200], unit="s"),
     "a TimedeltaIndex must start at 0, not at 0 days 01:00:00: a series without a start begins at elapsed time 0"),
    (pd.DatetimeIndex(["2024-05-01 00:00:00.000000001", "2024-05-01 00:00:01.000000001"]),
     "the index starts at 2024-05-01 00:00:00.000000001, between microseconds: a datetime cannot hold that instant"),
])
def test_index_refusals(index, text):
    frame = pd.Series([1.0] * len(index), index=index, dtype="float64")
    with pytest.raises(ValueError) as e:
        ITS.from_pandas(frame, "rainfall")
    assert type(e.value) is ValueError and message(e) == text


@pytest.mark.parametrize(("series", "text"), [
    ([1.0, 2.0], "'list' object is not an instance of 'Series'"),
    (pd.DataFrame({"a": [1.0]}), "'DataFrame' object is not an instance of 'Series'"),
    (pd.Series([1.0, 2.0]), "its index is a RangeIndex, not a DatetimeIndex or a TimedeltaIndex"),
    (pd.Series(["1", "2"], index=pd.date_range("2024", periods=2, freq="h")),
     "values of dtype 'object' are not real numbers"),
    (pd.Series([True, False], index=pd.date_range("2024", periods=2, freq="h")),
     "values of dtype 'bool' are not real numbers"),
    (pd.Series([1j, 2j], index=pd.date_range("2024", periods=2, freq="h")),
     "values of dtype 'complex128' are not real numbers"),
    (pd.Series(["a", "b"], index=pd.date_range("2024", periods=2, freq="h"), dtype="string"),
     "values of dtype 'string' are not real numbers"),
])
def test_type_refusals(series, text):
    with pytest.raises(TypeError) as e:
        CTS.from_pandas(series, "discharge")
    assert message(e) == f"argument 'series': {text}"


def test_kind_is_checked_before_the_index():
    frame = pd.Series([1.0, 2.0], index=pd.DatetimeIndex([DAY + "01:00", DAY + "00:00"]))
    with pytest.raises(ValueError, match="; got 'flow'$"):
        CTS.from_pandas(frame, "flow")
    with pytest.raises(TypeError) as e:
        CTS.from_pandas(frame)
    assert message(e) == "ContinuousTimeSeries.from_pandas() missing 1 required positional argument: 'kind'"


def test_instants_pandas_cannot_hold_are_pandas_own_error():
    with pytest.raises(pd.errors.OutOfBoundsDatetime):
        CTS([1.0], HOUR, "discharge", start=datetime(2300, 1, 1)).to_pandas()


def test_clark_and_baseflow_add_up_on_their_own_grids():
    # The point of dated results: aligned by instant, baseflow value i sits
    # one step after Clark's value i.
    rain = ITS([0.5, 1.0, 0.2], HOUR, "rainfall", start=NAIVE)
    direct = pelmora.rainfall_transform.run_clark_uh(rain, 640.0, 2 * HOUR, HOUR)
    base, _ = pelmora.baseflow.run_linear_reservoir(640.0, rain, {"g": pelmora.baseflow.LinearReservoir(
        10 * HOUR, 0.5, 0.0)})
    total = (direct.to_pandas() + base.to_pandas()).dropna()
    assert total.index[0] == pd.Timestamp(NAIVE + HOUR)
    assert total.iloc[0] == direct.data[1] + base.data[0]
