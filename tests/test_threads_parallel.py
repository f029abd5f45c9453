"""Threads that really run at once: calls long enough to detach from the
interpreter, racing readers and setters of shared objects, and caches created
on first use by many threads together. Under `make test-tsan` these run with
ThreadSanitizer watching every access the library makes."""

import math
import subprocess
import sys
import threading
from datetime import timedelta

import pelmora
from conftest import HOUR, child_env

CTS = pelmora.utils.ContinuousTimeSeries
ITS = pelmora.utils.IncrementalTimeSeries
ru = pelmora.reservoir.reservoir_utils


def test_detached_calls_race_readers_and_setters():
    # Each call is long enough to run detached, so calls overlap each other
    # and the attribute reads and writes of the other threads.
    n = 70_000
    flow = [50 + 40 * math.sin(i / 500) for i in range(n)]
    inflow = CTS(flow, timedelta(minutes=1), "discharge")
    rain = ITS([0.01 if i % 7 else 0.0 for i in range(n)], timedelta(minutes=15), "rainfall")
    storage = ru.ElevationStorage([100.0, 105.0, 110.0, 120.0], [0.0, 2e6, 6e6, 2e7])
    spill = ru.ElevationDischarge([104.0, 106.0, 110.0, 120.0], [0.0, 30.0, 200.0, 900.0])
    outlets = {"spillway": ru.UnControlledDischargeInfo(spill), "minimum": ru.ConstantDischargeInfo(5.0)}
    layer = pelmora.baseflow.LinearReservoir(timedelta(days=5), 0.5, 2.0, 2)
    short = CTS(flow[:300], timedelta(minutes=10), "discharge")

    def calls():
        return (
            pelmora.metrics.calculate_kge(flow, flow[::-1]),
            pelmora.reach.run_muskingum_routing(inflow, HOUR, 0.0, 2, 50.0).data[-1],
            pelmora.baseflow.run_linear_reservoir(640.0, rain, {"slow": layer})[0].data[-1],
            pelmora.reservoir.run_level_pool_routing(short, 104.0, storage, outlets).reservoir_elevation.data[-1],
        )

    expected = calls()
    barrier = threading.Barrier(6)
    stop = threading.Event()
    failures = []

    def caller():
        barrier.wait()
        for _ in range(3):
            got = calls()
            if got != expected:
                failures.append(got)

    def toucher():
        barrier.wait()
        while not stop.is_set():
            try:
                layer.gw_fraction = 0.5  # leaves the value as it was
                assert len(inflow.data) == n and layer.num_reservoir == 2
            except RuntimeError as exc:
                if str(exc) not in ("Already borrowed", "Already mutably borrowed"):
                    failures.append(repr(exc))

    callers = [threading.Thread(target=caller) for _ in range(4)]
    touchers = [threading.Thread(target=toucher) for _ in range(2)]
    for t in callers + touchers:
        t.start()
    for t in callers:
        t.join()
    stop.set()
    for t in touchers:
        t.join()
    assert failures == []


# A fresh interpreter, so that every cache is still empty when eight threads
# ask for it at once: the Sequence type (cast error), the datetime C API, the
# warnings module.
COLD = """
import threading, warnings
from datetime import timedelta
import pelmora
barrier = threading.Barrier(8)
results = []

def first_use():
    barrier.wait()
    got = []
    try:
        pelmora.metrics.calculate_kge(1, [1.0])
    except TypeError as e:
        got.append(str(e))
    s = pelmora.utils.ContinuousTimeSeries([1.0, 2.0], timedelta(minutes=5), "discharge")
    got.append(str(s.time_step))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        got.append(pelmora.reach.run_muskingum_routing(s, timedelta(hours=1), 0.9, 1, 1.0).data)
    results.append(got)

threads = [threading.Thread(target=first_use) for _ in range(8)]
for t in threads:
    t.start()
for t in threads:
    t.join()
assert len(results) == 8 and all(r == results[0] for r in results), results
print(results[0])
"""


def test_caches_created_by_many_threads_at_once():
    env = child_env()
    run = subprocess.run([sys.executable, "-P", "-c", COLD], capture_output=True, text=True, timeout=300, env=env)
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith("[\"argument 'sim': 'int' object is not an instance of 'Sequence'\", '0:05:00', [")
