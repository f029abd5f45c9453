"""Calling conventions shared by every bound callable: matching, conversion,
error wording, class behaviour and reference hygiene."""

import array
import weakref
from datetime import timedelta

import pytest
from conftest import HOUR, allocated_growth, message, with_numpy

import pelmora

CTS = pelmora.utils.ContinuousTimeSeries
ITS = pelmora.utils.IncrementalTimeSeries
LinearReservoir = pelmora.baseflow.LinearReservoir
ElevationStorage = pelmora.reservoir.reservoir_utils.ElevationStorage
kge = pelmora.metrics.calculate_kge


# ---- matching --------------------------------------------------------------

@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: kge([1.0], [1.0], False, 3),
         "calculate_kge() takes from 2 to 3 positional arguments but 4 were given"),
        (lambda: ITS([1.0], HOUR, "rainfall").disaggregate(900, 60),
         "IncrementalTimeSeries.disaggregate() takes 1 positional arguments but 2 were given"),
        (lambda: CTS([1.0], HOUR, "rainfall", 4),
         "ContinuousTimeSeries.__new__() takes 3 positional arguments but 4 were given"),
        (lambda: LinearReservoir(HOUR, 0.5, 0.0, 1, 2),
         "LinearReservoir.__new__() takes from 3 to 4 positional arguments but 5 were given"),
        (lambda: CTS([1.0, 2.0], HOUR),
         "ContinuousTimeSeries.__new__() missing 1 required positional argument: 'kind'"),
        (lambda: CTS(),
         "ContinuousTimeSeries.__new__() missing 3 required positional arguments: 'data', 'time_step', and 'kind'"),
        (lambda: CTS(time_step=HOUR),
         "ContinuousTimeSeries.__new__() missing 2 required positional arguments: 'data' and 'kind'"),
        (lambda: CTS(data=[1.0], time_step=HOUR, kind="rainfall", extra=1),
         "ContinuousTimeSeries.__new__() got an unexpected keyword argument 'extra'"),
        (lambda: CTS([1.0], HOUR, "rainfall", data=[2.0]),
         "ContinuousTimeSeries.__new__() got multiple values for argument 'data'"),
        (lambda: kge(obs=[1.0]), "calculate_kge() missing 1 required positional argument: 'sim'"),
        (lambda: kge([1.0], [1.0], use_logg=True),
         "calculate_kge() got an unexpected keyword argument 'use_logg'"),
        (lambda: ElevationStorage([0, 1], [0, 1]).get_storage(),
         "ElevationStorage.get_storage() missing 1 required positional argument: 'elevation'"),
    ],
)
def test_matching_errors(call, text):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert message(excinfo) == text


def test_keywords_and_positions_mix():
    s = CTS([1.0], kind="volume", time_step=HOUR)
    assert s.kind == "volume"
    assert kge(sim=[1.0, 2.0], obs=[1.0, 2.0], use_log=False) == pytest.approx(1.0)


def test_total_duration_takes_no_arguments():
    with pytest.raises(TypeError):
        CTS([1.0], HOUR, "volume").total_duration(1)


# ---- conversions -------------------------------------------------------------

class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Indexy:
    def __index__(self):
        return 7


@pytest.mark.parametrize(
    "data, expected",
    [
        ((1, 2, 3), [1.0, 2.0, 3.0]),
        (range(3), [0.0, 1.0, 2.0]),
        (b"\x01\x02", [1.0, 2.0]),
        ([True, Floaty(2.5), Indexy()], [1.0, 2.5, 7.0]),
        (with_numpy(lambda np: np.arange(4, dtype=np.float64)), [0.0, 1.0, 2.0, 3.0]),
        (with_numpy(lambda np: np.arange(4, dtype=np.int32)), [0.0, 1.0, 2.0, 3.0]),
        (with_numpy(lambda np: np.arange(4, dtype=np.float32)), [0.0, 1.0, 2.0, 3.0]),
        (with_numpy(lambda np: np.arange(8, dtype=np.float64)[::2]), [0.0, 2.0, 4.0, 6.0]),
        (with_numpy(lambda np: np.arange(4, dtype=">f8")), [0.0, 1.0, 2.0, 3.0]),
        (array.array("d", [0.5, -1.5]), [0.5, -1.5]),
        (memoryview(array.array("d", [0.5, -1.5])), [0.5, -1.5]),
        (with_numpy(lambda np: [1.0, 2, np.float64(3.0)]), [1.0, 2.0, 3.0]),
        ([], []),
    ],
)
def test_sequences_convert(data, expected):
    assert CTS(data, HOUR, "volume").data == expected


def test_special_floats_survive(np):
    values = [float("inf"), float("-inf"), -0.0, 5e-324]
    out = CTS(values, HOUR, "volume").data
    assert out == values and str(out[2]) == "-0.0"
    assert np.isnan(CTS([float("nan")], HOUR, "volume").data[0])


@pytest.mark.parametrize(
    "data, text",
    [
        ("abc", "argument 'data': Can't extract `str` to `Vec`"),
        ({1: 2}, "argument 'data': 'dict' object is not an instance of 'Sequence'"),
        ({1.0}, "argument 'data': 'set' object is not an instance of 'Sequence'"),
        ((x for x in [1.0]), "argument 'data': 'generator' object is not an instance of 'Sequence'"),
        (3.0, "argument 'data': 'float' object is not an instance of 'Sequence'"),
        (None, "argument 'data': 'None' is not an instance of 'Sequence'"),
        ([1, "x"], "argument 'data': must be real number, not str"),
        (with_numpy(lambda np: np.zeros((2, 2))), "argument 'data': only 0-dimensional arrays can be converted to Python scalars"),
    ],
)
def test_sequence_errors(data, text):
    with pytest.raises(TypeError) as excinfo:
        CTS(data, HOUR, "volume")
    assert message(excinfo) == text


def test_only_exact_type_errors_are_prefixed():
    class Special(TypeError):
        pass

    class Raises:
        def __init__(self, exc):
            self.exc = exc

        def __float__(self):
            raise self.exc

    with pytest.raises(Special) as excinfo:
        CTS([Raises(Special("odd"))], HOUR, "volume")
    assert message(excinfo) == "odd"
    with pytest.raises(ValueError, match="^bad$"):
        CTS([Raises(ValueError("bad"))], HOUR, "volume")

    cause = KeyError("root")
    inner = TypeError("inner")
    inner.__cause__ = cause
    with pytest.raises(TypeError) as excinfo:
        CTS([Raises(inner)], HOUR, "volume")
    assert message(excinfo) == "argument 'data': inner"
    assert excinfo.value.__cause__ is cause


@pytest.mark.parametrize(
    "value, error, text",
    [
        (1, TypeError, "argument 'use_log': 'int' object is not an instance of 'bool'"),
        (None, TypeError, "argument 'use_log': 'None' is not an instance of 'bool'"),
        ("yes", TypeError, "argument 'use_log': 'str' object is not an instance of 'bool'"),
    ],
)
def test_bool_conversion(value, error, text):
    with pytest.raises(error) as excinfo:
        kge([1.0, 2.0], [1.0, 2.0], value)
    assert message(excinfo) == text


def test_numpy_bool_accepted(np):
    assert kge([1.0, 2.0], [1.0, 2.0], np.True_) == kge([1.0, 2.0], [1.0, 2.0], True)
    assert kge([1.0, 2.0], [2.0, 1.0], np.bool_(False)) == kge([1.0, 2.0], [2.0, 1.0])


@pytest.mark.parametrize(
    "value, error, text",
    [
        (900.0, TypeError, "argument 'target_step': 'float' object cannot be interpreted as an integer"),
        (timedelta(seconds=900), TypeError,
         "argument 'target_step': 'datetime.timedelta' object cannot be interpreted as an integer"),
        (2**31, OverflowError, "out of range integral type conversion attempted"),
        (-(2**31) - 1, OverflowError, "out of range integral type conversion attempted"),
        (2**64, OverflowError, "Python int too large to convert to C long"),
    ],
)
def test_int32_conversion(value, error, text):
    with pytest.raises(error) as excinfo:
        ITS([1.0], HOUR, "rainfall").disaggregate(value)
    assert message(excinfo) == text


def test_count_conversion():
    r = LinearReservoir(HOUR, 0.5, 0.0, Indexy())
    assert r.num_reservoir == 7
    with pytest.raises(OverflowError):
        LinearReservoir(HOUR, 0.5, 0.0, -1)
    with pytest.raises(TypeError, match="^argument 'num_reservoir': 'float' object cannot be interpreted"):
        LinearReservoir(HOUR, 0.5, 0.0, 1.0)


def test_timedelta_conversion():
    class Span(timedelta):
        pass

    assert CTS([1.0], Span(minutes=5), "volume").time_step == timedelta(minutes=5)
    with pytest.raises(TypeError) as excinfo:
        CTS([1.0], 3600, "rainfall")
    assert message(excinfo) == "argument 'time_step': 'int' object is not an instance of 'timedelta'"
    with pytest.raises(ValueError) as excinfo:
        CTS([1.0], timedelta(days=-1), "rainfall")
    assert message(excinfo) == "cannot convert a negative timedelta to a duration"


def test_library_class_conversion():
    class Sub(CTS):
        pass

    sub = Sub([1.0, 3.0], HOUR, "discharge")
    assert type(sub) is Sub and sub.data == [1.0, 3.0]
    out = pelmora.reach.run_muskingum_routing(sub, HOUR, 0.2, 1, 1.0)
    assert type(out) is CTS
    rain = ITS([1.0], HOUR, "rainfall")
    with pytest.raises(TypeError) as excinfo:
        pelmora.reach.run_muskingum_routing(rain, HOUR, 0.2, 1, 1.0)
    assert message(excinfo) == "argument 'inflow': 'IncrementalTimeSeries' object is not an instance of 'ContinuousTimeSeries'"
    with pytest.raises(TypeError) as excinfo:
        pelmora.reach.run_muskingum_routing(None, HOUR, 0.2, 1, 1.0)
    assert message(excinfo) == "argument 'inflow': 'None' is not an instance of 'ContinuousTimeSeries'"


@pytest.mark.parametrize(
    "reservoirs, text",
    [
        ([("a", None)], "argument 'reservoirs': 'list' object is not an instance of 'dict'"),
        ({1: None}, "argument 'reservoirs': 'int' object is not an instance of 'str'"),
        ({"a": 1}, "argument 'reservoirs': 'int' object is not an instance of 'LinearReservoir'"),
    ],
)
def test_map_conversion_errors(reservoirs, text):
    with pytest.raises(TypeError) as excinfo:
        pelmora.baseflow.run_linear_reservoir(1.0, ITS([1.0], HOUR, "rainfall"), reservoirs)
    assert message(excinfo) == text


def test_user_text_kept_whole():
    with pytest.raises(ValueError) as excinfo:
        CTS([], HOUR, "dis\0charge\u00e9")
    assert message(excinfo) == (
        'kind must be one of ["discharge", "rainfall", "elevation", "volume"]; got \'dis\0charge\u00e9\''
    )


# ---- numbers in messages -----------------------------------------------------

@pytest.mark.parametrize(
    "value, printed",
    [
        (110.5, "110.5"),
        (2.0, "2"),
        (-1.0, "-1"),
        (1e-7, "0.0000001"),
        (-0.0, "-0"),
        (2.0**60, "1152921504606847000"),
        (1e23, "100000000000000000000000"),
        (5e-324, "0." + "0" * 323 + "5"),
        (0.1, "0.1"),
        (-7200.25, "-7200.25"),
        (float("inf"), "inf"),
        (float("-inf"), "-inf"),
        (float("nan"), "NaN"),
    ],
)
def test_number_formatting(value, printed):
    curve = ElevationStorage([1.0, 2.0], [10.0, 20.0]) if not 1.0 <= abs(value) <= 2.0 else ElevationStorage([3.0, 4.0], [10.0, 20.0])
    with pytest.raises(ValueError) as excinfo:
        curve.get_storage(value)
    assert message(excinfo) == f"`elevation` {printed} is outside the range of the elevation-storage curve."


# ---- classes -----------------------------------------------------------------

def test_instances_have_no_dict_or_weakref():
    s = CTS([1.0], HOUR, "volume")
    with pytest.raises(AttributeError):
        s.foo = 1
    with pytest.raises(TypeError):
        weakref.ref(s)
    assert not hasattr(s, "__dict__")


@pytest.mark.parametrize("attr", ["data", "kind", "time_step"])
def test_read_only_attributes(attr):
    s = CTS([1.0], HOUR, "volume")
    with pytest.raises(AttributeError):
        setattr(s, attr, [])
    with pytest.raises(AttributeError):
        delattr(s, attr)


def test_attribute_reads_are_fresh():
    s = CTS([1.0, 2.0], HOUR, "volume")
    assert s.data is not s.data
    s.data.append(0.0)
    assert s.data == [1.0, 2.0]


def test_class_flags():
    with pytest.raises(TypeError):
        pelmora.rainfall_loss.DeficitConstantResult()
    with pytest.raises(TypeError):
        pelmora.reservoir.LevelPoolResult()
    with pytest.raises(TypeError):
        class L(LinearReservoir):  # noqa: F841
            pass

    class R(pelmora.reservoir.LevelPoolResult):  # subclassable, still not constructible
        pass

    with pytest.raises(TypeError):
        R()


def test_docstrings_and_signatures():
    assert CTS.__text_signature__ == "(data, time_step, kind, *, start=None)"
    assert CTS.__doc__.startswith("A uniformly-spaced time series where each value represents a quantity at a\n")
    assert ITS.disaggregate.__text_signature__ == "($self, target_step)"
    assert LinearReservoir.__text_signature__ == "(k_duration, gw_fraction, initial_q, num_reservoir=1)"
    assert pelmora.reservoir.LevelPoolResult.__doc__ == "Results from a level pool routing simulation."
    assert kge.__text_signature__ == "(sim, obs, use_log=False)"


# ---- references --------------------------------------------------------------

def _good_and_bad_calls():
    s = CTS([1.0, 2.0, 3.0], HOUR, "discharge")
    rain = ITS([0.5, 0.0, 1.0], HOUR, "rainfall")
    res = LinearReservoir(HOUR, 0.5, 1.0, 2)

    def run():
        s.data, s.time_step, s.kind, s.total_duration()
        rain.disaggregate(900)
        kge([1.0, 2.0, 4.0], [1.0, 2.5, 3.0], True)
        pelmora.baseflow.run_linear_reservoir(10.0, rain, {"a": res})
        res.gw_fraction = 0.25
        for bad in (
            lambda: CTS("abc", HOUR, "discharge"),
            lambda: CTS([1, "x"], HOUR, "discharge"),
            lambda: CTS([1.0], HOUR, "snow"),
            lambda: kge([1.0], [1.0], 1),
            lambda: kge([], []),
            lambda: rain.disaggregate(7),
            lambda: pelmora.baseflow.run_linear_reservoir(1.0, rain, {"a": 1}),
        ):
            try:
                bad()
            except (TypeError, ValueError):
                pass
        try:
            res.num_reservoir = -1
        except OverflowError:
            pass

    return run


def test_no_reference_growth():
    assert allocated_growth(_good_and_bad_calls(), calls=500) < 50
