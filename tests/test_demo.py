"""The design-storm example (examples/design_storm.py): it runs end to end, and
the numbers it reports hold together (mass balances, scores, calibration)."""

import math
from datetime import timedelta

import pytest

import pelmora
from conftest import example_module



@pytest.fixture(scope="module")
def demo():
    pytest.importorskip("numpy", exc_type=ImportError)  # and matplotlib, which needs it
    yield from example_module("design_storm")


@pytest.fixture(scope="module")
def study(demo):
    inputs = demo.build_inputs()
    return inputs, demo.run_chain(inputs)


def test_main_writes_report_and_figure(demo, tmp_path, capsys):
    out = tmp_path / "figures" / "storm.png"
    assert demo.main(["--grid", "4", "--out", str(out)]) == 0
    text = capsys.readouterr().out
    for expected in ("reservoir outflow", "loss fraction", "peak pool elevation", "KGE, calibrated",
                     "calibration wall time", f"figure: {out}"):
        assert expected in text
    data = out.read_bytes()
    assert data.startswith(b"\x89PNG\r\n\x1a\n") and len(data) > 50_000


def test_loss_split_conserves_rain(study, np):
    _, chain = study
    wet = chain.rain > 0.0
    assert wet.sum() == 96  # 24 hours of rain at 15 minutes, then the dry tail
    np.testing.assert_allclose(chain.excess[wet] + chain.loss[wet], chain.rain[wet], rtol=0, atol=1e-9)
    assert not chain.excess[~wet].any() and not chain.loss[~wet].any()


def test_clark_volume_matches_excess(study, np):
    # The unit hydrograph carries the whole inch: the runoff volume is the
    # excess volume, up to the library's 1.00833 cfs per acre-inch per hour
    # (3629.988 ft³ per acre-inch against 43,560 / 12 = 3630).  Runoff is
    # zero at its start and drained to nothing at its end, so its sum is its
    # trapezoid.
    inputs, chain = study
    p = inputs.params
    step = p.step_s
    runoff_ft3 = float(np.sum(chain.runoff)) * step
    excess_ft3 = float(np.sum(chain.excess)) * p.area_ac * 43560.0 / 12.0
    assert runoff_ft3 / excess_ft3 == pytest.approx(1.00833 * 3600.0 / 3630.0, rel=1e-9)


def test_reservoir_mass_balance(demo, study, np):
    # Level pool record k is the state at point k of its inflow, record 0 the
    # start, so the whole inflow enters the balance.  The outflow volume comes
    # from 15-min samples of a 1-s integration (trapezoidal rule): the
    # residual is 6e-5 of the inflow here; 1e-3 leaves room for the sampling.
    inputs, chain = study
    step = inputs.params.step_s
    assert len(chain.storage) == len(chain.routed)
    inflow = np.trapezoid(chain.routed, dx=step)
    outflow = np.trapezoid(chain.total_release, dx=step)
    change = chain.storage[-1] - chain.storage[0]
    assert abs(inflow - outflow - change) <= 1e-3 * inflow
    summary = demo.summarise(inputs, chain)
    assert abs(summary["pool_balance_af"]) <= 1e-3 * summary["pool_inflow_af"]
    # the spillway runs and the gate holds its cap
    assert chain.releases["spillway"].max() > 0.0
    assert chain.releases["flood gate"].max() == pytest.approx(inputs.params.gate_cap_cfs)


def test_kge_and_calibration(demo, study):
    inputs, chain = study
    assert math.isfinite(chain.kge) and chain.kge <= 1.0
    calib = demo.timed_calibration(inputs, chain, grid=5, progress=False)  # 1 thread, then all cores
    k, x, best = calib.best
    assert math.isfinite(best) and chain.kge <= best <= 1.0
    assert best == pytest.approx(demo.run_chain(inputs, timedelta(hours=k), x).kge, abs=1e-12)
