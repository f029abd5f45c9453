"""calculate_kge on arrays: bit for bit what lists give, and one consistent set of
values even while another thread writes to the array."""

import array
import json
import math
import subprocess
import sys
import textwrap

import pytest

import pelmora
from conftest import child_env, with_numpy

kge = pelmora.metrics.calculate_kge


def same(a, b):
    return a == b or (math.isnan(a) and math.isnan(b))


def random_pairs(np, n, seed, kind):
    rng = np.random.default_rng(seed)
    obs = rng.gamma(2.0, 50.0, n)
    sim = obs * rng.normal(1.05, 0.2, n) + rng.normal(0.0, 5.0, n)
    if kind == "nan":
        sim[n // 3] = np.nan
    elif kind == "negative":  # logs of negatives give NaN, of -1e-6 give -inf
        sim[-1] = -1e-6
        obs[0] = -3.0
    elif kind == "flat":
        obs[:] = 7.25
    return sim, obs


# Below and above the size at which the call detaches from the interpreter.
@pytest.mark.parametrize("n", [1, 5, 1000, 70_001])
@pytest.mark.parametrize("kind", ["plain", "nan", "negative", "flat"])
@pytest.mark.parametrize("use_log", [False, True])
def test_arrays_give_the_bits_lists_give(n, kind, use_log, np):
    sim, obs = random_pairs(np, n, n, kind)
    want = kge(sim.tolist(), obs.tolist(), use_log)
    sim_t, obs_t = tuple(sim.tolist()), tuple(obs.tolist())
    for s, o in [(sim, obs), (sim, obs.tolist()), (sim.tolist(), obs), (sim_t, obs_t), (memoryview(sim), obs),
                 (array.array("d", sim.tolist()), array.array("d", obs.tolist())),
                 (sim.copy()[::-1][::-1], obs[::1]), (np.repeat(sim, 2)[::2], obs)]:
        assert same(kge(s, o, use_log), want)


class Overwriter:
    """An observed value whose conversion overwrites the simulated buffer."""

    def __init__(self, value, target):
        self.value, self.target = value, target

    def __float__(self):
        new = [9.0, -3.0, 0.5, 7.0]
        self.target[:] = array.array("d", new) if isinstance(self.target, array.array) else new
        return self.value


@pytest.mark.parametrize("make", [
    lambda: array.array("d", [1.0, 2.0, 3.0, 4.0]),
    with_numpy(lambda np: lambda: np.array([1.0, 2.0, 3.0, 4.0])),
    with_numpy(lambda np: lambda: np.arange(1.0, 40_001.0)[:4]),  # a view of a larger array
], ids=["array.array", "numpy", "numpy-view"])
@pytest.mark.parametrize("use_log", [False, True])
def test_sim_is_read_when_converted_before_obs_runs_code(make, use_log):
    # The documented worked example: sim is taken as it was when converted,
    # whatever converting obs (a __float__) then does to its buffer.
    sim = make()
    obs = [Overwriter(v, sim) for v in [1.5, 2.5, 2.5, 4.5]]
    got = kge(sim, obs, use_log)
    assert list(sim) == [9.0, -3.0, 0.5, 7.0]  # the overwrite did happen
    assert got == kge([1.0, 2.0, 3.0, 4.0], [1.5, 2.5, 2.5, 4.5], use_log)


def test_unaligned_and_swapped_arrays_give_the_same_bits(np):
    sim, obs = random_pairs(np, 999, 3, "plain")
    want = kge(sim.tolist(), obs.tolist())
    unaligned = np.frombuffer(b"\0" + sim.tobytes(), dtype=np.float64, offset=1, count=sim.size)
    assert not unaligned.flags.aligned
    assert kge(unaligned, obs) == want
    assert kge(sim.astype(">f8"), obs.astype(">f8")) == want
    assert kge(sim, sim) == kge(sim.tolist(), sim.tolist())


def test_errors_and_their_order_are_unchanged(np):
    empty, one = np.zeros(0), np.ones(1)
    for sim, obs, text in [(empty, empty, "Observed series is empty."), (one, empty, "Observed series is empty."),
                           (empty, one, "Series length mismatch."), (np.ones(3), np.ones(2), "Series length mismatch.")]:
        with pytest.raises(ValueError) as e:
            kge(sim, obs, True)
        assert str(e.value) == text
    with pytest.raises(TypeError) as e:
        kge(np.ones(2), np.ones(2), 1)
    assert str(e.value) == "argument 'use_log': 'int' object is not an instance of 'bool'"
    with pytest.raises(TypeError) as e:
        kge(np.ones(2), "ab")
    assert str(e.value) == "argument 'obs': Can't extract `str` to `Vec`"


def test_the_buffers_are_released_after_the_call(np):
    arr = np.arange(100_000, dtype=np.float64)
    refs = sys.getrefcount(arr)
    kge(arr, arr + 1.0)
    with pytest.raises(ValueError):
        kge(arr, np.ones(3))
    assert sys.getrefcount(arr) == refs
    mv = memoryview(np.ones(70_000))
    kge(mv, mv, True)
    mv.release()  # a BufferError while an export is still open


# A writer thread toggles the simulated array between all 1.0 and all 2.0
# while the main thread scores it against a constant observation. Whatever
# mix of the two a call reads, its result is that of some count k of 2.0s: the
# mean gives beta, and the deviations from that same mean give gamma. A second
# pass that read different values than the first would give a gamma no count
# gives.
WRITER_PROBE = textwrap.dedent("""
    import json, math, threading
    import numpy as np
    import pelmora

    n = 1 << 17
    sim = np.ones(n)
    obs = OBS
    stop = threading.Event()

    def writer():
        while not stop.is_set():
            sim[:] = 2.0
            sim[:] = 1.0

    t = threading.Thread(target=writer)
    t.start()
    try:
        results = [pelmora.metrics.calculate_kge(sim, obs) for _ in range(300)]
    finally:
        stop.set()
        t.join()

    # Every result a consistent read can give: k of the n values read as 2.0.
    p = np.arange(n + 1) / n
    beta = (1.0 + p) / 3.0
    gamma = np.sqrt(p * (1.0 - p)) / 1e-6
    expected = 1.0 - np.sqrt((gamma - 1.0) ** 2 + ((beta - 1.0) ** 2 + 1.0))
    bad = [r for r in results if not math.isfinite(r) or np.min(np.abs(expected - r)) > 1e-3]
    print(json.dumps({"bad": bad, "distinct": len(set(results))}))
""")


# A list takes one argument at a time; an array beside the array is read with
# it in one loop.
@pytest.mark.parametrize("obs", ["[3.0] * n", "np.full(n, 3.0)"], ids=["list", "array"])
def test_a_writer_thread_cannot_make_the_passes_disagree(obs):
    pytest.importorskip("numpy")
    env = child_env()
    probe = WRITER_PROBE.replace("OBS", obs)
    out = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, env=env, timeout=300)
    assert out.returncode == 0, out.stderr
    got = json.loads(out.stdout)
    assert got["bad"] == []
