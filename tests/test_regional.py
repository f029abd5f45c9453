"""Regional calibration on Dask (examples/regional_calibration.py).

The same calibrated bits serially, on threads, on worker processes and on an
existing cluster, and after a worker dies mid-run; pelmora values travel to
workers and back by the library's own pickling; a bad scheduler and Ctrl-C
end a run cleanly, leaving no process behind.
"""

import importlib
import logging
import os
import queue
import signal
import socket
import subprocess
import sys
import threading
import time
from datetime import timedelta
from pathlib import Path

import pytest

import pelmora
from conftest import EXAMPLES, HOUR, child_env, example_module

distributed = pytest.importorskip("distributed")

REPO = EXAMPLES.parent
SCRIPT = EXAMPLES / "regional_calibration.py"

# A small region and a short search: 4 basins, 16 candidates x 4 generations.
BASINS = 4
MONTHS = 1
SETTINGS = {"generations": 3, "popsize": 4}
WAIT_S = 60  # no step of a test may take longer



@pytest.fixture(scope="module")
def rc():
    pytest.importorskip("numpy", exc_type=ImportError)
    pytest.importorskip("scipy")
    # Worker processes start with this process's sys.path, so they import the
    # example under the same name.
    yield from example_module("regional_calibration")


@pytest.fixture(scope="module")
def basins(rc):
    return rc.make_basins(BASINS, months=MONTHS)


@pytest.fixture(scope="module")
def serial(rc, basins):
    return rc.run_serial(basins, SETTINGS, progress=False)


@pytest.fixture(scope="module")
def cluster(rc):
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=":0", silence_logs=logging.ERROR)
    client = distributed.Client(cluster, timeout=WAIT_S)
    try:
        yield cluster, client
    finally:
        client.close(timeout=WAIT_S)
        cluster.close(timeout=WAIT_S)


def assert_same_bits(got, want):
    assert [r["basin"] for r in got] == [r["basin"] for r in want]
    for g, w in zip(got, want):
        assert (g["params"], g["kge"], g["kge_true_params"], g["runs"]) == \
               (w["params"], w["kge"], w["kge_true_params"], w["runs"])
        assert g["simulated"].tobytes() == w["simulated"].tobytes()


def test_serial_run_recovers_a_fit(rc, basins, serial):
    # 16 candidates x (3 + 1) generations of the model per basin, and a fit
    # that beats a poor first guess by far even after so short a search.
    assert [r["runs"] for r in serial] == [64] * BASINS
    assert all(0.5 < r["kge"] <= 1.0 for r in serial)
    assert all(r["kge_true_params"] > 0.95 for r in serial)


def test_main_reports_and_draws(rc, tmp_path, capsys):
    out = tmp_path / "regional.png"
    assert rc.main(["--basins", "3", "--threads", "2", "--months", "1", "--generations", "2",
                    "--popsize", "3", "--quiet", "--out", str(out)]) == 0
    text = capsys.readouterr().out
    for expected in ("median relative error", "model runs in", "runs/s", "speedup",
                     "bit-identical to the serial run", f"figure: {out}"):
        assert expected in text
    assert out.read_bytes().startswith(b"\x89PNG\r\n\x1a\n")


def test_threads_give_the_serial_bits(rc, basins, serial):
    assert_same_bits(rc.run_threads(basins, SETTINGS, 2, progress=False), serial)


def test_existing_cluster_gives_the_serial_bits(rc, basins, serial, cluster):
    local, client = cluster
    with rc.DaskRun(scheduler=local.scheduler_address, timeout=WAIT_S) as run:
        assert run.worker_count() == 2
        results = rc.run_dask(run.client, basins, SETTINGS, progress=False, timeout=WAIT_S)
    assert_same_bits(results, serial)
    assert rc.fingerprint(results) == rc.fingerprint(serial)
    # The tasks really ran in the worker processes, not here.
    assert {r["where"].rsplit(":", 1)[1] for r in results} <= {str(pid) for pid in _worker_pids(client)}


def _worker_pids(client):
    return set(client.run(os.getpid).values())


def calibrate_or_die(basin, settings, marker):
    """The example's task; the worker that finishes basin 1 first dies before answering."""
    rc = importlib.import_module("regional_calibration")
    result = rc.calibrate_basin(basin, settings)
    if basin["truth"]["basin"] == 1:
        try:
            fd = os.open(marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY)
        except FileExistsError:
            return result
        os.write(fd, str(os.getpid()).encode())
        os.close(fd)
        os._exit(1)
    return result


def test_worker_killed_mid_run_changes_nothing(rc, basins, serial, cluster, tmp_path):
    _, client = cluster
    marker = tmp_path / "died"
    before = _worker_pids(client)
    results = rc.run_dask(client, basins, SETTINGS, progress=False, task=calibrate_or_die,
                          timeout=WAIT_S, marker=str(marker))
    dead = int(marker.read_text())
    assert dead in before
    assert_same_bits(results, serial)
    # Basin 1 was computed again by a live worker, and the nanny replaced the dead one.
    assert results[1]["where"].rsplit(":", 1)[1] != str(dead)
    client.wait_for_workers(2, timeout=WAIT_S)
    assert dead not in _worker_pids(client)


def use_values_in_worker(values):
    """Runs models on pelmora values received from the client; returns values and results."""
    import pelmora as pm

    routed = pm.reach.run_muskingum_routing(values["inflow"], values["k"], 0.2, 2, 10.0)
    total, per_layer = pm.baseflow.run_linear_reservoir(640.0, values["rain"], values["layers"])
    pool = pm.reservoir.run_level_pool_routing(values["inflow"], 100.0, values["storage"], values["outlets"])
    loss = pm.rainfall_loss.run_deficit_and_constant(values["rain"], 0.2, 1.0, 0.1, values["k"])
    return {"values": values, "routed": routed, "baseflow": (total, per_layer), "pool": pool,
            "loss": loss, "types": {name: type(v).__name__ for name, v in values.items()}}


def _sample_values():
    ru = pelmora.reservoir.reservoir_utils
    rating = ru.ElevationDischarge([100.0, 101.0, 103.0], [0.0, 40.0, 300.0])
    return {
        "inflow": pelmora.utils.ContinuousTimeSeries([10.0, 60.0, 140.0, 90.0, 40.0, 20.0, 10.0],
                                                     HOUR, "discharge"),
        "rain": pelmora.utils.IncrementalTimeSeries([0.0, 0.4, 1.1, 0.2, 0.0, 0.0, 0.0], HOUR, "rainfall"),
        "k": timedelta(hours=2),
        "layers": {"fast": pelmora.baseflow.LinearReservoir(timedelta(hours=12), 0.3, 2.0, 2),
                   "slow": pelmora.baseflow.LinearReservoir(timedelta(days=20), 0.4, 8.0)},
        "storage": ru.ElevationStorage([95.0, 100.0, 105.0], [0.0, 2.0e6, 9.0e6]),
        "outlets": {"spillway": ru.UnControlledDischargeInfo(rating),
                    "gate": ru.ControlledDischargeInfo(rating, None, None, 120.0),
                    "minimum": ru.ConstantDischargeInfo(5.0, 96.0),
                    "scheduled": ru.SpecifiedDischargeInfo(
                        pelmora.utils.ContinuousTimeSeries([3.0] * 7, HOUR, "discharge"))},
    }


def _series_bits(s):
    return (type(s), s.data, s.time_step, s.kind)


def test_pelmora_values_travel_by_plain_pickle(monkeypatch):
    # Dask falls back to pickling by value with cloudpickle when plain pickle
    # fails; pelmora values must never need that.
    from distributed.protocol import deserialize, serialize
    from distributed.protocol import pickle as dask_pickle

    class NoCloudpickle:
        list_registry_pickle_by_value = staticmethod(dask_pickle.cloudpickle.list_registry_pickle_by_value)

        def dumps(self, *args, **kwargs):
            raise AssertionError("cloudpickle was used")

    monkeypatch.setattr(dask_pickle, "cloudpickle", NoCloudpickle())
    values = _sample_values()
    back = deserialize(*serialize(values, serializers=("pickle",)))
    assert _series_bits(back["inflow"]) == _series_bits(values["inflow"])
    assert back["layers"]["slow"].k_duration == values["layers"]["slow"].k_duration


def test_pelmora_values_go_to_workers_and_come_back(cluster):
    _, client = cluster
    values = _sample_values()
    local = use_values_in_worker(values)
    remote = client.submit(use_values_in_worker, values, pure=False).result(timeout=WAIT_S)
    assert remote["types"] == local["types"]
    back = remote["values"]
    for name in ("inflow", "rain"):
        assert _series_bits(back[name]) == _series_bits(values[name])
    assert list(back["layers"]) == list(values["layers"])
    for name, layer in values["layers"].items():
        got = back["layers"][name]
        assert type(got) is type(layer)
        assert (got.k_duration, got.gw_fraction, got.initial_q, got.num_reservoir) == \
               (layer.k_duration, layer.gw_fraction, layer.initial_q, layer.num_reservoir)
    assert (back["storage"].elevation, back["storage"].storage) == \
           (values["storage"].elevation, values["storage"].storage)
    assert {n: type(o) for n, o in back["outlets"].items()} == {n: type(o) for n, o in values["outlets"].items()}
    # Results computed in the worker equal those computed here, bit for bit.
    assert _series_bits(remote["routed"]) == _series_bits(local["routed"])
    assert _series_bits(remote["baseflow"][0]) == _series_bits(local["baseflow"][0])
    assert {n: _series_bits(s) for n, s in remote["baseflow"][1].items()} == \
           {n: _series_bits(s) for n, s in local["baseflow"][1].items()}
    for field in ("excess", "loss", "deficit"):
        assert _series_bits(getattr(remote["loss"], field)) == _series_bits(getattr(local["loss"], field))
    for field in ("reservoir_storage", "reservoir_elevation", "reservoir_total_outflow"):
        assert _series_bits(getattr(remote["pool"], field)) == _series_bits(getattr(local["pool"], field))
    assert {n: _series_bits(s) for n, s in remote["pool"].reservoir_individual_outflows.items()} == \
           {n: _series_bits(s) for n, s in local["pool"].reservoir_individual_outflows.items()}


# ---- bad input: a scheduler that is not there, and Ctrl-C -----------------------------

def _env():
    return child_env(MPLBACKEND="Agg")


class _Server:
    """A TCP server on a free local port: "silent" accepts and never answers, "http" answers HTTP."""

    def __init__(self, mode):
        self.sock = socket.create_server(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        self.mode = mode
        self.conns = []
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.conns.append(conn)
            if self.mode == "http":
                conn.recv(1024)
                conn.sendall(b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n")
                conn.close()

    def close(self):
        self.sock.close()
        for c in self.conns:
            c.close()


def _closed_port():
    with socket.create_server(("127.0.0.1", 0)) as s:
        return s.getsockname()[1]


@pytest.mark.parametrize("server, message", [
    ("refused", "no Dask scheduler answered at tcp://127.0.0.1:{port} within 1 s"),
    ("http", "the server at tcp://127.0.0.1:{port} is not a Dask scheduler (the dashboard's HTTP port? "
             "schedulers listen on tcp, port 8786 by default)"),
    ("malformed", "bad scheduler address 'localhost': missing port number in address 'localhost'"),
])
def test_bad_scheduler_is_a_clear_error(rc, capsys, server, message):
    srv = _Server("http") if server == "http" else None
    port = srv.port if srv else _closed_port()
    address = "localhost" if server == "malformed" else f"tcp://127.0.0.1:{port}"
    start = time.monotonic()
    try:
        code = rc.main(["--basins", "1", "--scheduler", address, "--connect-timeout", "1", "--no-plot"])
    finally:
        if srv:
            srv.close()
    assert code == 2
    assert capsys.readouterr().err == f"error: {message.format(port=port)}\n"
    assert time.monotonic() - start < 10


def test_scheduler_without_workers_is_a_clear_error(rc, capsys):
    with distributed.LocalCluster(n_workers=0, processes=False, dashboard_address=":0") as empty:
        code = rc.main(["--basins", "1", "--scheduler", empty.scheduler_address, "--connect-timeout", "1",
                        "--no-plot"])
        assert code == 2
        assert capsys.readouterr().err == \
            f"error: the scheduler at {empty.scheduler_address} has no workers (waited 1 s)\n"


def test_silent_server_times_out_without_traceback(rc):
    # A server that accepts and never answers would keep a bare Client waiting forever.
    srv = _Server("silent")
    try:
        start = time.monotonic()
        proc = subprocess.run([sys.executable, str(SCRIPT), "--basins", "1", "--no-plot", "--scheduler",
                               f"tcp://127.0.0.1:{srv.port}", "--connect-timeout", "1"],
                              capture_output=True, text=True, timeout=WAIT_S, env=_env(), cwd=REPO)
        elapsed = time.monotonic() - start
    finally:
        srv.close()
    assert proc.returncode == 2, proc.stderr
    assert proc.stderr == f"error: no Dask scheduler answered at tcp://127.0.0.1:{srv.port} within 1 s\n"
    assert elapsed < 20


def _session_members(sid):
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[3]) == sid and fields[0] != "Z":
                found.append(int(entry))
    return found


@pytest.mark.skipif(not Path("/proc/self/stat").exists(), reason="needs /proc to find the processes")
def test_ctrl_c_stops_the_run_and_its_workers(rc):
    # As a terminal does, the interrupt goes to the whole process group:
    # the script and its worker processes.
    proc = subprocess.Popen([sys.executable, str(SCRIPT), "--basins", "6", "--workers", "2", "--months", "1",
                             "--generations", "400", "--popsize", "4", "--no-plot"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=_env(), cwd=REPO,
                            start_new_session=True)
    lines, errors = queue.Queue(), []
    threading.Thread(target=lambda: [lines.put(x) for x in iter(proc.stdout.readline, "")] + [lines.put("")],
                     daemon=True).start()
    err_reader = threading.Thread(target=lambda: errors.append(proc.stderr.read()), daemon=True)
    err_reader.start()
    try:
        deadline = time.monotonic() + WAIT_S
        line = ""
        while "workers ready" not in line:
            line = lines.get(timeout=max(0.0, deadline - time.monotonic()))
            assert line, "the script ended before its cluster was up"
        members = _session_members(proc.pid)
        assert len(members) >= 3  # the script and two worker processes at least
        time.sleep(1.0)
        os.killpg(proc.pid, signal.SIGINT)
        proc.wait(timeout=WAIT_S)
        out = "".join(iter(lambda: lines.get(timeout=WAIT_S), ""))
        err_reader.join(timeout=WAIT_S)
        err = "".join(errors)
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
    assert proc.returncode == 130, err
    assert "Traceback" not in err and "Traceback" not in out
    assert err.strip().endswith("interrupted: the run and its workers are stopped")
    deadline = time.monotonic() + 10
    while _session_members(proc.pid) and time.monotonic() < deadline:
        time.sleep(0.2)
    assert _session_members(proc.pid) == []


# ---- bad option values, and a cluster that is slow to shut down ------------------------

@pytest.mark.parametrize("option, message", [
    (["--months", "0"], "--months must be a number from 0.1 to 1200"),
    (["--months", "-1"], "--months must be a number from 0.1 to 1200"),
    (["--months", "nan"], "--months must be a number from 0.1 to 1200"),
    (["--seed", "-1"], "--seed must be 0 or more"),
    (["--generations", "-1"], "--generations must be at least 1"),
    (["--popsize", "-3"], "--popsize must be at least 1"),
    (["--connect-timeout", "-1"], "--connect-timeout must be a number of seconds above 0"),
    (["--scheduler", "tcp://127.0.0.1:99999"],
     "--scheduler: invalid port '99999' in 'tcp://127.0.0.1:99999' (a port is a whole number from 1 to 65535)"),
], ids=lambda v: " ".join(v) if isinstance(v, list) else None)
def test_bad_option_is_one_argparse_line(rc, option, message):
    start = time.monotonic()
    proc = subprocess.run([sys.executable, str(SCRIPT), "--no-plot", *option], capture_output=True, text=True,
                          timeout=WAIT_S, env=_env(), cwd=REPO)
    assert proc.returncode == 2, proc.stderr
    assert proc.stdout == ""
    # argparse's usage, then one error line; nothing ran, so no scheduler was asked
    assert proc.stderr.startswith("usage: ")
    assert proc.stderr.splitlines()[-1] == f"regional_calibration.py: error: {message}"
    assert "Traceback" not in proc.stderr
    assert time.monotonic() - start < 30


SLOW_SHUTDOWN = """
import runpy, sys
from distributed.deploy.cluster import Cluster

closing = Cluster.close

def overrun(self, timeout=None):
    # closes, then reports what a nanny still restarting a killed worker makes it report
    closing(self, timeout=timeout)
    raise TimeoutError("the cluster took too long")

Cluster.close = overrun
sys.argv = sys.argv[1:]
runpy.run_path(sys.argv[0], run_name="__main__")
"""


def test_slow_shutdown_after_the_run_is_a_warning(rc):
    proc = subprocess.run([sys.executable, "-c", SLOW_SHUTDOWN, str(SCRIPT), "--basins", "2", "--workers", "1",
                           "--months", "0.5", "--generations", "2", "--popsize", "2", "--no-plot", "--no-serial",
                           "--quiet"],
                          capture_output=True, text=True, timeout=2 * WAIT_S, env=_env(), cwd=REPO)
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ("warning: the Dask shutdown did not finish within 10 s: the cluster (TimeoutError: "
                           "the cluster took too long); every task had finished, so the results stand\n")
    # the table and the fingerprint are still reported
    assert "LocalCluster of 1 worker processes: 2 basins" in proc.stdout
    assert "results fingerprint (SHA-256 of every calibrated bit): " in proc.stdout
