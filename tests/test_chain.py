"""One storm through the whole chain: loss, runoff, baseflow, reach, reservoir, score."""

import math
from datetime import timedelta

import pytest
from conftest import HOUR

import pelmora

utils = pelmora.utils
outlets = pelmora.reservoir.reservoir_utils

RAIN = [0.0, 0.2, 0.6, 1.1, 0.8, 0.3, 0.1, 0.0, 0.0, 0.05, 0.0, 0.0]
# On the hour from the start, like the reservoir's records.
OBSERVED = [170.0, 128.0, 100.0, 80.0, 66.0, 64.0, 80.0, 120.0, 210.0, 360.0, 450.0, 455.0, 405.0, 335.0, 270.0]
AREA = 1500.0  # acres
TC_STEPS = 4  # time of concentration in time steps: Clark adds its recession after them


def run_chain(rain):
    loss = pelmora.rainfall_loss.run_deficit_and_constant(rain, 0.4, 1.2, 0.08, timedelta(hours=36))
    runoff = pelmora.rainfall_transform.run_clark_uh(loss.excess, AREA, TC_STEPS * HOUR, 3 * HOUR)
    # Baseflow goes on receding after the rain: feed it the loss padded with
    # dry steps so that it covers the whole runoff hydrograph.
    tail = [0.0] * (len(runoff.data) - len(loss.loss.data))
    infiltrated = utils.IncrementalTimeSeries(loss.loss.data + tail, loss.loss.time_step, "rainfall")
    layers = {
        "shallow": pelmora.baseflow.LinearReservoir(timedelta(hours=12), 0.35, 4.0, 2),
        "deep": pelmora.baseflow.LinearReservoir(timedelta(days=10), 0.4, 20.0),
    }
    baseflow, per_layer = pelmora.baseflow.run_linear_reservoir(AREA, infiltrated, layers)
    flow = utils.ContinuousTimeSeries([q + b for q, b in zip(runoff.data, baseflow.data)], HOUR, "discharge")
    routed = pelmora.reach.run_muskingum_routing(flow, 2 * HOUR, 0.2, 2, flow.data[0])
    curve = outlets.ElevationStorage([100.0, 105.0, 110.0, 120.0], [0.0, 2e6, 6e6, 2e7])
    structures = {
        "spillway": outlets.UnControlledDischargeInfo(
            outlets.ElevationDischarge([104.0, 105.0, 108.0, 125.0], [0.0, 50.0, 800.0, 20000.0])),
        "gate": outlets.ControlledDischargeInfo(
            outlets.ElevationDischarge([100.0, 104.0, 120.0], [0.0, 150.0, 600.0]), 101.0, None, 180.0),
        "release": outlets.ConstantDischargeInfo(15.0, 100.5),
    }
    pool = pelmora.reservoir.run_level_pool_routing(routed, 104.0, curve, structures)
    score = pelmora.metrics.calculate_kge(pool.reservoir_total_outflow.data[:len(OBSERVED)], OBSERVED)
    return {
        "loss": loss, "runoff": runoff, "baseflow": baseflow, "per_layer": per_layer,
        "flow": flow, "routed": routed, "pool": pool, "score": score,
    }


def values(stages):
    """Every number the chain produced, for a bit-for-bit comparison."""
    pool = stages["pool"]
    return (
        [getattr(stages["loss"], f).data for f in ("excess", "loss", "deficit")],
        [stages[k].data for k in ("runoff", "baseflow", "flow", "routed")],
        [(name, s.data) for name, s in stages["per_layer"].items()],
        [pool.reservoir_storage.data, pool.reservoir_elevation.data, pool.reservoir_total_outflow.data],
        sorted((name, s.data) for name, s in pool.reservoir_individual_outflows.items()),
        stages["score"],
    )


def test_storm_through_the_chain(np):
    rain = utils.IncrementalTimeSeries(RAIN, HOUR, "rainfall")
    stages = run_chain(rain)
    n = len(RAIN)

    # Loss model: every wet step splits exactly into excess and loss.
    loss = stages["loss"]
    for field in ("excess", "loss", "deficit"):
        series = getattr(loss, field)
        assert (len(series.data), series.time_step, series.kind) == (n, HOUR, "rainfall")
    for p, e, q in zip(RAIN, loss.excess.data, loss.loss.data):
        if p > 0:
            assert e + q == pytest.approx(p, abs=1e-12)
            assert e >= 0.0 and q > 0.0
        else:
            assert e == q == 0.0
    assert sum(loss.excess.data) > 0.0

    # Runoff, baseflow, their sum and the routed reach flow share one length and step.
    unit = pelmora.rainfall_transform.run_clark_uh(utils.IncrementalTimeSeries([1.0], HOUR, "rainfall"),
                                                   AREA, TC_STEPS * HOUR, 3 * HOUR).data
    assert len(unit) > TC_STEPS + 1
    n_flow = n + len(unit) - 1
    for key in ("runoff", "baseflow", "flow", "routed"):
        series = stages[key]
        assert (len(series.data), series.time_step, series.kind) == (n_flow, HOUR, "discharge")
    assert list(stages["per_layer"]) == ["shallow", "deep"]
    layer_sum = [a + b for a, b in zip(*(s.data for s in stages["per_layer"].values()))]
    assert stages["baseflow"].data == layer_sum
    assert stages["routed"].data[0] == stages["flow"].data[0]
    assert max(stages["routed"].data) < max(stages["flow"].data)  # the reach attenuates the peak

    # Level pool: one value per inflow value, at the inflow's step.
    pool = stages["pool"]
    series = [pool.reservoir_storage, pool.reservoir_elevation, pool.reservoir_total_outflow,
              *pool.reservoir_individual_outflows.values()]
    assert [len(s.data) for s in series] == [n_flow] * 6
    assert all(s.time_step == HOUR for s in series)
    assert [s.kind for s in series[:3]] == ["volume", "elevation", "discharge"]
    individual = {name: s.data for name, s in pool.reservoir_individual_outflows.items()}
    assert sorted(individual) == ["gate", "release", "spillway"]
    assert pool.reservoir_elevation.data[0] == 104.0
    assert individual["release"] == [15.0] * n_flow
    assert max(individual["gate"]) == 180.0  # capped
    assert max(individual["spillway"]) > 0.0 and min(individual["spillway"]) == 0.0
    for k, total in enumerate(pool.reservoir_total_outflow.data):
        assert total == pytest.approx(sum(v[k] for v in individual.values()), rel=1e-14)

    # Score against the observed outflow.
    score = stages["score"]
    assert 0.9 < score < 1.0
    assert pelmora.metrics.calculate_kge(np.array(pool.reservoir_total_outflow.data[:len(OBSERVED)]), np.array(OBSERVED)) == score

    # The caller's rainfall is untouched, and a second run is bit-identical.
    assert (rain.data, rain.time_step, rain.kind) == (RAIN, HOUR, "rainfall")
    assert values(run_chain(rain)) == values(stages)
