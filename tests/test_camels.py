"""The CAMELS-US study (examples/camels_calibration.py).

It runs on the shared gauges and writes its summary and figure; a folder
that is not there gives the download hint; missing days stay missing; any
folder of the same layout, with other gauges, runs unchanged; and the model
puts each flow on the right day.
"""

import json
import math
import subprocess
import sys
from datetime import timedelta

import pytest

import pelmora
from conftest import EXAMPLES, child_env, example_module

pytest.importorskip("numpy", exc_type=ImportError)
pytest.importorskip("scipy")
pd = pytest.importorskip("pandas")
np = pytest.importorskip("numpy")

REPO = EXAMPLES.parent
SCRIPT = EXAMPLES / "camels_calibration.py"
WAIT_S = 120
SHORT = ["--generations", "3", "--popsize", "2", "--seed", "7"]
GAUGE = "99999999"


@pytest.fixture(scope="module")
def cc():
    yield from example_module("camels_calibration")


@pytest.fixture(scope="module")
def shared(cc):
    data = cc.default_data()
    if data is None or not cc.find_gauges(data):
        pytest.skip("the shared CAMELS-US folder is absent")
    return data


def _run(*args):
    return subprocess.run([sys.executable, str(SCRIPT), *args], capture_output=True, text=True,
                          timeout=WAIT_S, env=child_env(MPLBACKEND="Agg"), cwd=REPO)


def test_runs_on_the_shared_gauges(cc, shared, tmp_path):
    out, summary = tmp_path / "camels.png", tmp_path / "camels.json"
    proc = _run("--data", str(shared), "--workers", "0", "--quiet", *SHORT, "--out", str(out),
                "--json", str(summary))
    assert proc.returncode == 0, proc.stderr
    assert out.read_bytes().startswith(b"\x89PNG\r\n\x1a\n")
    got = json.loads(summary.read_text())
    assert sorted(got["gauges"]) == sorted(cc.find_gauges(shared))
    assert got["benchmark_kge"] == pytest.approx(1.0 - math.sqrt(2.0), abs=1e-15)
    for gauge, entry in got["gauges"].items():
        for period in ("calibration", "validation"):
            assert set(entry[period]) == {"kge", "nse"}
            assert all(math.isfinite(v) and v <= 1.0 for v in entry[period].values())
        assert list(entry["parameters"]) == list(cc.NAMES)
        for name, _, _, (low, high) in cc.PARAMETERS:
            assert low <= entry["parameters"][name] <= high
        assert entry["beats_benchmark"] == (entry["validation"]["kge"] > got["benchmark_kge"])
        assert gauge in proc.stdout
    for text in ("KGE cal", "NSE val", "Knoben et al. 2019", "no snow", "results fingerprint",
                 f"summary: {summary}", f"figure: {out}"):
        assert text in proc.stdout


@pytest.mark.parametrize("args, first_line", [
    (["--data", "{tmp}/nowhere"], "error: no folder {tmp}/nowhere."),
    (["--data", "{tmp}"], "error: no CAMELS-US gauges in {tmp}."),
])
def test_no_data_gives_the_download_hint(tmp_path, args, first_line):
    proc = _run(*[a.format(tmp=tmp_path) for a in args], "--no-plot")
    assert proc.returncode == 2
    assert proc.stdout == ""
    lines = proc.stderr.splitlines()
    assert lines[0] == first_line.format(tmp=tmp_path)
    assert "Traceback" not in proc.stderr
    for text in ("https://ral.ucar.edu/solutions/products/camels", "--data DIR",
                 "basin_mean_forcing/daymet/[<huc>/]<gauge>_lump_cida_forcing_leap.txt",
                 "usgs_streamflow/[<huc>/]<gauge>_streamflow_qc.txt"):
        assert text in proc.stderr


# ---- a folder of the same layout, with a gauge of its own ---------------------------

MISSING = {"2001-03-04", "2002-07-19"}  # recorded as -999
ABSENT = "2002-02-02"  # no line at all


def _write_gauge(root, gauge=GAUGE, huc="01"):
    """Three years of made-up daily records in the CAMELS-US layout, one folder per region."""
    days = pd.date_range("2000-01-01", "2002-12-31", freq="D")
    rng = np.random.default_rng(5)
    rain_mm = np.where(rng.random(len(days)) < 0.3, rng.gamma(1.0, 12.0, len(days)), 0.0)
    flow = 20.0 + np.convolve(rain_mm, 40.0 * np.exp(-np.arange(10) / 2.0))[: len(days)]
    forcing = root / "basin_mean_forcing" / "daymet" / huc / f"{gauge}_lump_cida_forcing_leap.txt"
    streamflow = root / "usgs_streamflow" / huc / f"{gauge}_streamflow_qc.txt"
    forcing.parent.mkdir(parents=True)
    streamflow.parent.mkdir(parents=True)
    rows = [f"{d.year} {d.month:02d} {d.day:02d} 12\t36000.00\t{p:.2f}\t300.00\t0.00\t20.00\t5.00\t900.00"
            for d, p in zip(days, rain_mm)]
    forcing.write_text(" 40.00\n 300.00\n 52000000\n"
                       "Year Mnth Day Hr dayl(s) prcp(mm/day) srad(W/m2) swe(mm) tmax(C) tmin(C) vp(Pa)\n"
                       + "\n".join(rows) + "\n")
    lines = []
    for d, q in zip(days, flow):
        day = d.strftime("%Y-%m-%d")
        if day == ABSENT:
            continue
        value, flag = (-999.0, "M") if day in MISSING else (q, "A")
        lines.append(f"{gauge} {d.year} {d.month:02d} {d.day:02d} {value:8.2f} {flag}")
    streamflow.write_text("\n".join(lines) + "\n")
    return days, rain_mm, flow


def test_missing_days_are_nan_never_zero(cc, tmp_path):
    days, rain_mm, flow = _write_gauge(tmp_path)
    files = cc.find_gauges(tmp_path)
    assert list(files) == [GAUGE]
    q = cc.read_streamflow(files[GAUGE][1])
    # one value per calendar day, the line that is not there included
    assert q.index.equals(days) and q.index.freq == "D"
    gaps = {d.strftime("%Y-%m-%d") for d in q.index[q.isna()]}
    assert gaps == MISSING | {ABSENT}
    assert (q.dropna() > 0.0).all()
    kept = q.notna().to_numpy()
    np.testing.assert_allclose(q.to_numpy()[kept], flow[kept], atol=0.005)
    rain, area_km2 = cc.read_forcing(files[GAUGE][0])
    np.testing.assert_allclose(rain.to_numpy(), np.array([float(f"{p:.2f}") for p in rain_mm]) / 25.4, rtol=1e-15)
    # no attribute tables here: the area comes from the forcing header (m²)
    assert area_km2 == 52.0
    gauge = cc.load_gauge(tmp_path, GAUGE, files[GAUGE])
    assert gauge["area_km2"] == 52.0 and gauge["name"] == ""
    assert gauge["observed"].isna().sum() == 3


def test_scores_leave_missing_days_out(cc):
    obs = np.array([1.0, np.nan, 3.0, 2.0, np.nan, 5.0])
    sim = np.array([1.5, 0.0, 2.5, 2.0, 9.0, 4.0])
    mask = np.array([True, True, True, True, True, False])
    got = cc.scores(sim, obs, mask)
    keep = [0, 2, 3]
    assert got["days"] == 3
    assert got["kge"] == pelmora.metrics.calculate_kge(sim[keep], obs[keep])
    o, s = obs[keep], sim[keep]
    assert got["nse"] == pytest.approx(1.0 - ((s - o) ** 2).sum() / ((o - o.mean()) ** 2).sum(), rel=1e-12)


def test_another_folder_runs_unchanged_and_threads_give_the_serial_bits(cc, tmp_path, capsys):
    _write_gauge(tmp_path, GAUGE, "01")
    _write_gauge(tmp_path, "88888888", "17")
    summary = tmp_path / "out.json"
    assert cc.main(["--data", str(tmp_path), "--threads", "2", "--quiet", "--no-plot", *SHORT,
                    "--json", str(summary)]) == 0
    got = json.loads(summary.read_text())
    assert sorted(got["gauges"]) == ["88888888", GAUGE]
    gauges = [cc.load_gauge(tmp_path, g, f) for g, f in cc.find_gauges(tmp_path).items()]
    settings = {"generations": 3, "popsize": 2, "seed": 7}
    serial = cc.run_serial(gauges, settings, progress=False)
    assert got["fingerprint"] == cc.fingerprint(serial)
    assert cc.fingerprint(cc.run_threads(gauges, settings, 2, progress=False)) == got["fingerprint"]
    assert "2 gauges" in capsys.readouterr().out


def test_unknown_gauge_is_an_error(cc, tmp_path, capsys):
    _write_gauge(tmp_path)
    assert cc.main(["--data", str(tmp_path), "--basins", "12345678", "--workers", "0", "--no-plot"]) == 2
    assert capsys.readouterr().err.splitlines()[0] == f"error: gauge 12345678 not in {tmp_path} (it holds {GAUGE})."


@pytest.mark.parametrize("tc_days", [0.0, 2.0])
def test_each_flow_lands_on_its_day(cc, tmp_path, tc_days):
    # Rain on day 5 only, no starting baseflow: nothing flows before day 5,
    # and day 5's mean already carries a share of its own runoff and baseflow.
    days = pd.date_range("2000-01-01", periods=40, freq="D")
    rain = pd.Series(0.0, index=days)
    rain.iloc[5] = 2.0
    gauge = {"rain": rain, "area_km2": 100.0, "initial_q": 0.0}
    model = cc.GaugeModel(gauge, days[-1])
    params = dict(max_deficit=0.25, constant_loss=0.01, time_to_dry=10.0, tc=tc_days, storage_r=1.0,
                  base_k=4.0, gw_fraction=0.5)
    flow = model.simulate([params[n] for n in cc.NAMES])
    assert len(flow) == len(days)
    assert (flow[:5] == 0.0).all()
    assert flow[5] > 0.0 and (flow[6:] > 0.0).all()
    # the baseflow alone (tc 0: no direct runoff) is the mean of the layer's
    # flows at the day's two ends, the first of them at the end of day 5
    if tc_days == 0.0:
        ac = 100.0 * cc.ACRES_PER_KM2
        loss = pelmora.rainfall_loss.run_deficit_and_constant(
            model.rain, 0.125, 0.25, 0.01, timedelta(days=10.0)).loss
        layer = {"b": pelmora.baseflow.LinearReservoir(timedelta(days=4.0), 0.5, 0.0)}
        base = np.asarray(pelmora.baseflow.run_linear_reservoir(ac, loss, layer)[0])
        assert flow[5] == 0.5 * base[5]
        np.testing.assert_allclose(flow[6:], 0.5 * (base[5:-1] + base[6:]), rtol=1e-15)
