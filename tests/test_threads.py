"""Many threads on shared inputs: no crash, results equal to the
single-threaded ones, and only the documented RuntimeErrors."""

import math
import pickle
import random
import threading
from datetime import datetime, timedelta, timezone

import pytest
from conftest import HOUR

import pelmora

CTS = pelmora.utils.ContinuousTimeSeries
ITS = pelmora.utils.IncrementalTimeSeries
ru = pelmora.reservoir.reservoir_utils

ALLOWED = {
    "Already borrowed",
    "Already mutably borrowed",
    "dictionary changed size during iteration",
    "dictionary keys changed during iteration",
}


def shared_inputs():
    # Plain lists, so the stress runs on interpreters without numpy too.
    rng = random.Random(7)
    rain = ITS([rng.random() if rng.random() < 0.3 else 0.0 for _ in range(96)], timedelta(minutes=15), "rainfall",
               start=datetime(2024, 5, 1, tzinfo=timezone(timedelta(hours=-5))))
    inflow = CTS([50 + 40 * math.sin(3 * i / 47) for i in range(48)], timedelta(minutes=10), "discharge",
                 start=datetime(2024, 5, 1, 6))
    storage = ru.ElevationStorage([100.0, 105.0, 110.0, 120.0], [0.0, 2e6, 6e6, 2e7])
    spill = ru.ElevationDischarge([104.0, 106.0, 110.0, 120.0], [0.0, 30.0, 200.0, 900.0])
    outlets = {
        "spillway": ru.UnControlledDischargeInfo(spill),
        "gate": ru.ControlledDischargeInfo(spill, 101.0, None, 40.0),
        "minimum": ru.ConstantDischargeInfo(5.0),
    }
    layers = {
        "fast": pelmora.baseflow.LinearReservoir(timedelta(hours=6), 0.3, 1.0, 2),
        "slow": pelmora.baseflow.LinearReservoir(timedelta(days=5), 0.5, 2.0, 3),
    }
    extra = pelmora.baseflow.LinearReservoir(timedelta(days=1), 0.1, 0.0)
    return rain, inflow, storage, outlets, layers, extra


def run_models(rain, inflow, storage, outlets, layers):
    loss = pelmora.rainfall_loss.run_deficit_and_constant(rain, 0.2, 1.5, 0.1, timedelta(days=2))
    runoff = pelmora.rainfall_transform.run_clark_uh(loss.excess, 640.0, timedelta(hours=3), timedelta(hours=2))
    total, per_layer = pelmora.baseflow.run_linear_reservoir(640.0, loss.loss, layers)
    routed = pelmora.reach.run_muskingum_routing(inflow, HOUR, 0.2, 3, 50.0)
    pool = pelmora.reservoir.run_level_pool_routing(routed, 104.0, storage, outlets)
    score = pelmora.metrics.calculate_kge(routed.data, inflow.data, True)
    # Views of shared and of fresh series, read while other threads use them.
    views = memoryview(inflow).tolist(), memoryview(pool.reservoir_storage).tolist()
    # Every result's start, and shared dated series read, printed and pickled.
    starts = [s.start for s in (loss.deficit, runoff, total, *per_layer.values(), routed, pool.reservoir_storage)]
    copies = repr(rain), pickle.loads(pickle.dumps(loss)).excess.start, rain.disaggregate(300).start
    return (
        starts, copies,
        loss.excess.data, runoff.data, total.data, sorted((k, v.data) for k, v in per_layer.items()),
        routed.data, pool.reservoir_elevation.data, pool.reservoir_total_outflow.data, score, views,
    )


@pytest.mark.parametrize("rounds", [25])
def test_models_under_contention(rounds):
    rain, inflow, storage, outlets, layers, extra = shared_inputs()
    expected = run_models(rain, inflow, storage, outlets, dict(layers))
    with_extra = run_models(rain, inflow, storage, outlets, {**layers, "extra": extra})
    shared_layers = dict(layers)
    stop = threading.Event()
    failures, refusals = [], []
    barrier = threading.Barrier(8 + 2)

    def worker():
        barrier.wait()
        for _ in range(rounds):
            try:
                got = run_models(rain, inflow, storage, outlets, shared_layers)
            except RuntimeError as exc:
                (refusals if str(exc) in ALLOWED else failures).append(repr(exc))
                continue
            except BaseException as exc:  # noqa: BLE001 - anything else is a failure
                failures.append(repr(exc))
                continue
            if got != expected and got != with_extra:
                failures.append("result differs from the single-threaded one")

    def writer():
        # Writes that leave every value as it was, so results stay comparable.
        barrier.wait()
        fast = layers["fast"]
        while not stop.is_set():
            for name, value in (("gw_fraction", 0.3), ("initial_q", 1.0), ("num_reservoir", 2)):
                try:
                    setattr(fast, name, value)
                except RuntimeError as exc:
                    (refusals if str(exc) in ALLOWED else failures).append(repr(exc))

    def dict_churn():
        barrier.wait()
        while not stop.is_set():
            shared_layers["extra"] = extra
            shared_layers.pop("extra", None)

    workers = [threading.Thread(target=worker) for _ in range(8)]
    others = [threading.Thread(target=writer), threading.Thread(target=dict_churn)]
    for t in workers + others:
        t.start()
    for t in workers:
        t.join()
    stop.set()
    for t in others:
        t.join()
    assert failures == []
    # The shared objects are intact afterwards.
    assert run_models(rain, inflow, storage, outlets, dict(layers)) == expected


def test_reads_race_setters():
    r = pelmora.baseflow.LinearReservoir(HOUR, 0.5, 1.0, 2)
    stop = threading.Event()
    seen, bad = set(), []

    def reader():
        while not stop.is_set():
            try:
                seen.add((r.gw_fraction, r.num_reservoir))
            except RuntimeError as exc:
                if str(exc) != "Already mutably borrowed":
                    bad.append(repr(exc))

    def setter():
        for i in range(2000):
            try:
                r.gw_fraction = 0.25 if i % 2 else 0.5
                r.num_reservoir = 3 if i % 2 else 2
            except RuntimeError as exc:
                if str(exc) != "Already borrowed":
                    bad.append(repr(exc))
        stop.set()

    def pickler():
        # A pickle is a snapshot taken under the shared borrow.
        while not stop.is_set():
            try:
                copy = pickle.loads(pickle.dumps(r))
                seen.add((copy.gw_fraction, copy.num_reservoir))
            except RuntimeError as exc:
                if str(exc) != "Already mutably borrowed":
                    bad.append(repr(exc))

    threads = [threading.Thread(target=reader) for _ in range(3)]
    threads += [threading.Thread(target=pickler), threading.Thread(target=setter)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert bad == []
    assert {g for g, _ in seen} <= {0.25, 0.5}
