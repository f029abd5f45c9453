"""Series lend their values through the buffer protocol: read-only, one
dimension, format "d", the series' own memory; nothing else about a series
changes (still not a Sequence, no len(), .data a new list)."""

import gc
import pickle
import struct
import threading

import pytest
from conftest import HOUR, allocated_growth, message

import pelmora

CTS = pelmora.utils.ContinuousTimeSeries
ITS = pelmora.utils.IncrementalTimeSeries
VALUES = [0.0, -0.0, 1.5, float("inf"), 5e-324, 3.0]


class Hydrograph(CTS):
    pass


def make(kind):
    if kind == "model-result":
        rain = ITS([0.5, 0.0, 1.0], HOUR, "rainfall")
        return pelmora.rainfall_loss.run_deficit_and_constant(rain, 0.3, 1.0, 0.1, 10 * HOUR).loss
    if kind == "empty":
        return CTS([], HOUR, "volume")
    cls = {"continuous": CTS, "incremental": ITS, "subclass": Hydrograph}[kind]
    return cls(VALUES, HOUR, "discharge")


KINDS = ["continuous", "incremental", "subclass", "model-result", "empty"]


@pytest.mark.parametrize("kind", KINDS)
def test_memoryview(kind):
    series = make(kind)
    view = memoryview(series)
    assert (view.format, view.itemsize, view.ndim, view.shape, view.strides) == ("d", 8, 1, (len(series.data),), (8,))
    assert view.readonly and view.c_contiguous and view.obj is series
    assert view.tobytes() == struct.pack(f"{len(series.data)}d", *series.data)
    assert pickle.PickleBuffer(series).raw().tobytes() == view.tobytes()
    with pytest.raises(TypeError):
        struct.pack_into("d", series, 0, 1.0)  # asks for a writable buffer


@pytest.mark.parametrize("kind", KINDS)
def test_numpy_view_is_the_series_memory(kind, np):
    series = make(kind)
    a, b = np.asarray(series), np.asarray(series)
    assert a.dtype == np.float64 and a.shape == (len(series.data),)
    assert not a.flags.writeable
    assert a.tobytes() == struct.pack(f"{len(series.data)}d", *series.data)
    assert a.ctypes.data == b.ctypes.data  # no copy: both read the series itself
    with pytest.raises(ValueError):
        a[0] = 1.0
    # Views go back in wherever a sequence of numbers is taken.
    assert CTS(a, HOUR, "discharge").data == series.data
    assert ITS(memoryview(series), HOUR, "rainfall").data == series.data


def test_view_keeps_the_series_alive(np):
    view = np.asarray(CTS(VALUES, HOUR, "discharge"))
    gc.collect()
    assert view.tolist() == VALUES


def test_series_is_still_no_sequence():
    series = make("continuous")
    with pytest.raises(TypeError) as e:
        pelmora.metrics.calculate_kge(series, VALUES)
    assert message(e) == "argument 'sim': 'ContinuousTimeSeries' object is not an instance of 'Sequence'"
    with pytest.raises(TypeError) as e:
        ITS(series, HOUR, "rainfall")
    assert message(e) == "argument 'data': 'ContinuousTimeSeries' object is not an instance of 'Sequence'"
    with pytest.raises(TypeError):
        len(series)
    assert series.data is not series.data and series.data == VALUES


def test_views_from_many_threads():
    series = CTS([float(i) for i in range(10_000)], HOUR, "discharge")
    expected = memoryview(series).tobytes()
    bad = []
    barrier = threading.Barrier(6)

    def reader():
        barrier.wait()
        for _ in range(300):
            with memoryview(series) as view:
                if view.tobytes() != expected:
                    bad.append("values differ")

    threads = [threading.Thread(target=reader) for _ in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert bad == []


def test_views_do_not_leak():
    series = make("continuous")

    def views():
        memoryview(series).release()
        pickle.PickleBuffer(series).release()

    assert allocated_growth(views) < 50
    np = pytest.importorskip("numpy")
    assert allocated_growth(lambda: np.asarray(series)) < 50
