"""Sequences of numbers in buffers convert in one pass, to exactly what item-by-item
conversion gives; a sequence's claimed length sizes no more than it holds."""

import array
import json
import struct
import subprocess
import sys
import textwrap
import warnings

import pytest

import pelmora
from conftest import HOUR, child_env

CTS = pelmora.utils.ContinuousTimeSeries


class Items:
    """The same items behind a plain sequence, which is converted item by item."""

    def __init__(self, seq):
        self.seq = seq

    def __len__(self):
        return len(self.seq)

    def __getitem__(self, i):
        return self.seq[i]


def outcome(data):
    """Bit patterns of the converted values (or the error), and the warnings raised."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            got = ("ok", [struct.pack("<d", v) for v in CTS(data, HOUR, "volume").data])
        except Exception as e:
            got = ("error", type(e), str(e))
    return got, [(w.category, str(w.message)) for w in caught]


NUMBER_DTYPES = ["f4", "f8", "i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8"]


def extreme_values(np, dtype):
    rng = np.random.default_rng(11)
    d = np.dtype(dtype)
    if d.kind in "iu":
        info = np.iinfo(d)
        edges = np.array([info.min, info.min + 1, -1 if d.kind == "i" else 2, 0, 1, info.max - 1, info.max], dtype=d)
        values = np.concatenate([edges, rng.integers(info.min, info.max, 300, dtype=d, endpoint=True)])
        if d == np.uint64:
            # Above 2**53 float() rounds to nearest, ties to even.
            values = np.concatenate([values, np.array(
                [2**53 + 1, 2**53 + 3, 2**63 + 2**10, 2**63 + 2**10 + 1, 2**63 + 3 * 2**10, 2**64 - 2**10, 2**64 - 1],
                dtype=d)])
        if d == np.int64:
            values = np.concatenate([values, np.array([2**53 + 1, -(2**53) - 1, 2**62 + 2**9], dtype=d)])
        return values
    info = np.finfo(d)
    edges = np.array([0.0, -0.0, np.inf, -np.inf, np.nan, info.max, info.min, info.tiny,
                      info.smallest_subnormal, -info.smallest_subnormal], dtype=d)
    values = np.concatenate([edges, (rng.standard_normal(300) * 1e3).astype(d)])
    bits = np.uint32 if d.itemsize == 4 else np.uint64
    payloads = [0x7FA00001, 0xFFC12345, 0x7F800001, 0xFF800002] if d.itemsize == 4 else \
        [0x7FF4000000000001, 0xFFF8000000012345]  # quiet and signalling NaNs with payloads
    return np.concatenate([values, np.array(payloads, dtype=bits).view(d)])


LAYOUTS = ["contiguous", "strided", "reversed", "byteswapped", "unaligned"]


def layout(np, values, name):
    if name == "contiguous":
        return values
    if name == "strided":
        return values[::3]
    if name == "reversed":
        return values[::-1]
    if name == "byteswapped":
        return values.astype(values.dtype.newbyteorder("S"))
    raw = b"\0" + values.tobytes()
    out = np.frombuffer(raw, dtype=values.dtype, offset=1, count=values.size)
    assert out.dtype.itemsize == 1 or not out.flags.aligned
    return out


@pytest.mark.parametrize("name", LAYOUTS)
@pytest.mark.parametrize("dtype", NUMBER_DTYPES)
def test_numeric_arrays_match_item_conversion(dtype, name, np):
    data = layout(np, extreme_values(np, dtype), name)
    fast = outcome(data)
    assert fast[0][0] == "ok"
    assert fast == outcome(Items(data))
    assert fast == outcome(data.tolist()) or np.dtype(dtype).kind == "f"  # tolist loses NaN payloads


def test_uint64_above_2_53_rounds_like_float(np):
    values = [2**53 + 1, 2**63 + 2**10, 2**63 + 2**10 + 1, 2**64 - 1]
    assert CTS(np.array(values, dtype=np.uint64), HOUR, "volume").data == [float(v) for v in values]


@pytest.mark.parametrize("dtype", ["?", "f2", "c16", "g", "O", "U3", "M8[s]"])
def test_other_dtypes_keep_the_item_path(dtype, np):
    data = np.array([1, 0, 1] if dtype != "U3" else ["1.5", "x", "2"]).astype(dtype)
    assert outcome(data) == outcome(Items(data))


@pytest.mark.parametrize("make", [
    lambda np: np.array(5.0),
    lambda np: np.zeros((2, 2)),
    lambda np: np.zeros((2, 1), dtype=np.float32),
    lambda np: memoryview(np.zeros((2, 2))),
    lambda np: memoryview(np.arange(3.0).astype(">f8")),  # memoryview iterates native formats only
    lambda np: memoryview(np.arange(3).astype("<i4")).cast("B").cast("c"),
])
def test_shapes_and_formats_the_item_path_refuses(make, np):
    got, caught = outcome(make(np))
    assert got[0] == "error" and caught == []
    if got[1] is TypeError:
        assert got[2].startswith("argument 'data': ")


def test_zero_dimensional_array_message(np):
    got, _ = outcome(np.array(5.0, dtype=np.float32))
    assert got == ("error", TypeError, "argument 'data': iteration over a 0-d array")


@pytest.mark.parametrize("code", list("bBhHiIlLqQfd"))
def test_array_module_and_memoryviews(code):
    values = [1.5, float("nan"), -0.0, float("inf"), 3.25e38] if code in "fd" else [0, 1, 2, 100, 127]
    if code == "d":
        values.append(1e300)
    arr = array.array(code, values)
    want = outcome(list(arr))
    assert want[0][0] == "ok"
    for source in (arr, memoryview(arr), memoryview(arr)[::-2], memoryview(arr)[::-1]):
        assert outcome(source) == outcome(Items(source))
    assert outcome(arr) == want


@pytest.mark.parametrize("data", [b"\x00\xff\x10\x80", bytearray(b"\x01\x02\xfe"), memoryview(b"\x05\x06").cast("B"),
                                  memoryview(bytes(range(24))).cast("q"), memoryview(bytes(range(24))).cast("N"),
                                  memoryview(bytes(8)).cast("?"), b""])
def test_bytes_sources(data):
    assert outcome(data) == outcome(Items(data))


def test_every_sequence_argument_uses_the_same_conversion(np):
    ITS = pelmora.utils.IncrementalTimeSeries
    RU = pelmora.reservoir.reservoir_utils
    ints = np.array([1, 2, 4], dtype=np.int16)
    assert ITS(ints, HOUR, "rainfall").data == [1.0, 2.0, 4.0]
    curve = RU.ElevationStorage(np.array([1, 2, 3], dtype=np.uint8), np.array([0.5, 1.5, 2.5], dtype=np.float32))
    assert curve.get_storage(2.5) == 2.0
    assert pelmora.metrics.calculate_kge(ints, np.array([1, 2, 4], dtype=np.float32)) == 1.0


# ---------------------------------------------------------------------------
# A claimed length reserves nothing beyond what is read. Measured in a child
# process: the address space it keeps after building many such series.

LYING_PROBE = textwrap.dedent("""
    import gc, json
    from datetime import timedelta
    import pelmora

    class Lying:
        def __init__(self, length, items):
            self.length, self.items = length, items
        def __len__(self):
            return self.length
        def __getitem__(self, i):
            return self.items[i]

    def status(field):
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024

    CTS = pelmora.utils.ContinuousTimeSeries
    before = status("VmSize")
    kept = [CTS(Lying(2**31, [1.0, 2.0, 3.0]), timedelta(hours=1), "volume") for _ in range(64)]
    gc.collect()
    grown = status("VmSize") - before
    under = CTS(Lying(2, list(range(200_000))), timedelta(hours=1), "volume").data  # says less than it has
    huge = CTS(Lying(2**62, [4.0]), timedelta(hours=1), "volume").data  # more than memory could hold
    print(json.dumps({"grown": grown, "data": kept[-1].data, "under": under == list(map(float, range(200_000))),
                      "huge": huge}))
""")


def test_lying_length_pins_no_memory():
    env = child_env()
    out = subprocess.run([sys.executable, "-c", LYING_PROBE], capture_output=True, text=True, env=env, timeout=120)
    assert out.returncode == 0, out.stderr
    got = json.loads(out.stdout)
    assert got["data"] == [1.0, 2.0, 3.0]
    assert got["under"] and got["huge"] == [4.0]
    # 64 series each reserving what __len__ claims would keep 1 TiB; a few MiB is noise.
    assert got["grown"] < 64 * 2**20


@pytest.mark.parametrize("ctype, works", [("c_double", True), ("c_float", False), ("c_int32", False),
                                          ("c_int64", False), ("c_uint8", False)])
def test_memoryviews_with_standard_size_formats(ctype, works):
    # ctypes exports "<d", "<f", ...: a memoryview iterates none of those but
    # "<d" has always converted, as doubles in native order.
    import ctypes

    values = (getattr(ctypes, ctype) * 3)(1, 2, 3)
    view = memoryview(values)
    got, caught = outcome(view)
    if works:
        assert got[0] == "ok" and outcome(list(values)) == (got, caught)
        assert pelmora.metrics.calculate_kge(view, [1.0, 2.0, 3.0]) == 1.0
    else:
        assert got == ("error", NotImplementedError, f"memoryview: unsupported format {view.format}")
    assert outcome(values) == outcome(list(values))  # the ctypes array itself goes item by item
