"""ContinuousTimeSeries and IncrementalTimeSeries from Python."""

import inspect
from datetime import timedelta

import pytest
from conftest import HOUR, message

import pelmora

CTS = pelmora.utils.ContinuousTimeSeries
ITS = pelmora.utils.IncrementalTimeSeries
KINDS = '["discharge", "rainfall", "elevation", "volume"]'


@pytest.mark.parametrize("cls", [CTS, ITS])
@pytest.mark.parametrize("kind", ["discharge", "rainfall", "elevation", "volume"])
def test_kinds_accepted(cls, kind):
    s = cls([1, 2], timedelta(days=2), kind)
    assert (s.kind, s.data, s.time_step) == (kind, [1.0, 2.0], timedelta(days=2))


@pytest.mark.parametrize("cls", [CTS, ITS])
@pytest.mark.parametrize(
    "args, error, text",
    [
        (("x", 5, 5), TypeError, "argument 'data': Can't extract `str` to `Vec`"),
        (([1.0], 5, 5), TypeError, "argument 'time_step': 'int' object is not an instance of 'timedelta'"),
        (([1.0], HOUR, 5), TypeError, "argument 'kind': 'int' object is not an instance of 'str'"),
        (([1.0], HOUR, "snow"), ValueError, f"kind must be one of {KINDS}; got 'snow'"),
        (([1.0], HOUR, "Discharge"), ValueError, f"kind must be one of {KINDS}; got 'Discharge'"),
        # the kind is judged before the step's value
        (([1.0], timedelta(days=-1), "snow"), ValueError, f"kind must be one of {KINDS}; got 'snow'"),
        (([1.0], timedelta(days=-1), "volume"), ValueError, "cannot convert a negative timedelta to a duration"),
        (([1.0], timedelta(0), "volume"), ValueError, "time_step must be > 0"),
        (([1.0], timedelta(milliseconds=500), "volume"), ValueError, "time_step must be > 0"),
    ],
)
def test_constructor_errors_in_order(cls, args, error, text):
    with pytest.raises(error) as excinfo:
        cls(*args)
    assert message(excinfo) == text


@pytest.mark.parametrize(
    "step, stored",
    [
        (timedelta(seconds=90, microseconds=700000), timedelta(seconds=90)),
        (timedelta(days=1), timedelta(days=1)),
        (timedelta(days=1, seconds=1, microseconds=999999), timedelta(days=1, seconds=1)),
        (timedelta(days=30000), timedelta(seconds=2147483647)),  # saturates at the 32-bit limit
    ],
)
def test_time_step_normalised(step, stored):
    assert CTS([1.0], step, "volume").time_step == stored


@pytest.mark.parametrize(
    "data, continuous, incremental",
    [([], -3600, 0), ([1.0], 0, 3600), ([1.0, 2.0, 3.0], 7200, 10800)],
)
def test_total_duration(data, continuous, incremental):
    assert CTS(data, HOUR, "volume").total_duration() == continuous
    assert ITS(data, HOUR, "volume").total_duration() == incremental


def test_total_duration_is_64_bit():
    big = CTS([0.0] * 3, timedelta(seconds=2**31 - 1), "volume")
    assert big.total_duration() == 2 * (2**31 - 1)


def test_disaggregate_spreads_evenly():
    s = ITS([1.2, 0.6], HOUR, "rainfall")
    out = s.disaggregate(900)
    assert type(out) is ITS
    assert out.data == pytest.approx([0.3] * 4 + [0.15] * 4, abs=1e-15)
    assert out.time_step == timedelta(seconds=900)
    assert out.kind == "rainfall"
    assert out.total_duration() == s.total_duration() == 7200
    assert s.data == [1.2, 0.6]


def test_disaggregate_edge_cases():
    s = ITS([1.0, 2.0], HOUR, "volume")
    assert s.disaggregate(3600).data == [1.0, 2.0]
    assert s.disaggregate(target_step=1800).data == [0.5, 0.5, 1.0, 1.0]
    assert len(ITS([1.0], timedelta(seconds=60), "rainfall").disaggregate(30).data) == 2
    empty = ITS([], HOUR, "rainfall").disaggregate(60)
    assert empty.data == [] and empty.total_duration() == 0 and empty.time_step == timedelta(minutes=1)

    class Sub(ITS):
        pass

    assert type(Sub([1.0], HOUR, "rainfall").disaggregate(600)) is ITS


@pytest.mark.parametrize(
    "target, text",
    [
        (29, "target_step must be >= 30 seconds."),
        (0, "target_step must be >= 30 seconds."),
        (-3600, "target_step must be >= 30 seconds."),
        (7200, "Original time_step (3600) must be a multiple of target_step (7200)."),
        (1000, "Original time_step (3600) must be a multiple of target_step (1000)."),
    ],
)
def test_disaggregate_errors(target, text):
    with pytest.raises(ValueError) as excinfo:
        ITS([1.0], HOUR, "rainfall").disaggregate(target)
    assert message(excinfo) == text


def test_docstrings():
    # The first sentences stay; the rest is numpydoc, sections and all.
    assert ITS.__doc__.startswith(
        "A uniformly-spaced time series where each value represents a quantity\n"
        "accumulated over one time step interval (e.g. rainfall depth, volume added).\n\n")
    assert CTS.__doc__.startswith(
        "A uniformly-spaced time series where each value represents a quantity at a\n"
        "discrete point in time (e.g. discharge, elevation, storage).\n\n")
    for cls in (CTS, ITS):
        assert cls.__text_signature__ == "(data, time_step, kind, *, start=None)"
        for text in ("Parameters\n----------\ndata : sequence of float\n", "\ntime_step : datetime.timedelta\n",
                     "\nkind : str\n", "\nstart : datetime.datetime or None, optional, keyword-only\n",
                     "\nRaises\n------\nTypeError\n", "\nValueError\n", "\nNotes\n-----\n"):
            assert text in cls.__doc__, (cls, text)
        assert cls.to_pandas.__text_signature__ == "($self)"
        assert str(inspect.signature(cls.from_pandas)) == "(series, kind)"
        assert "\nReturns\n-------\npandas.Series\n" in cls.to_pandas.__doc__
        for name in ("data", "kind", "time_step", "start"):
            assert getattr(cls, name).__doc__
    assert CTS.total_duration.__doc__.startswith("Total duration from first to last data point (seconds).\n\n")
    assert ITS.total_duration.__doc__.startswith("Total duration spanning all time step intervals (seconds).\n\n")
    assert ITS.disaggregate.__doc__.startswith(
        "Disaggregates to a finer `target_step` (seconds) by uniformly\n"
        "distributing each bucket's value. Total depth is preserved.\n\n"
    )
