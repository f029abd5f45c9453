"""pelmora as a Python package: build a wheel with pip and scikit-build-core,
install it into a private directory, and use it from there.

The wheel build compiles the whole extension (about 30 s on two cores).  Its
CMake build directory is kept in pytest's cache, one per source checkout and
wheel tag, so later runs only recompile what changed; a lock keeps two
concurrent runs out of each other's way.
"""

import fcntl
import hashlib
import importlib.machinery
import importlib.util
import json
import os
import subprocess
import sys
import sysconfig
import tomllib
import zipfile
from datetime import timedelta
from pathlib import Path

import pytest

import pelmora

pytestmark = pytest.mark.slow

REPO = Path(__file__).resolve().parents[1]
PROJECT = tomllib.loads((REPO / "pyproject.toml").read_text())["project"]
STUB_FILES = sorted(
    "pelmora-stubs/" + p.relative_to(REPO / "stubs" / "pelmora").as_posix()
    for p in (REPO / "stubs" / "pelmora").rglob("*.pyi")
)

for _module in ("pip", "scikit_build_core"):
    if importlib.util.find_spec(_module) is None:
        pytest.skip(
            f"{_module} is not installed for {sys.executable}: cannot build a wheel",
            allow_module_level=True,
        )


def _env(**extra):
    """The environment for a child process: nothing from the test run's
    PYTHONPATH (build/), and no sanitizer runtime preloaded into pip, CMake
    and the compiler (the wheel is an ordinary build)."""
    env = {
        k: v
        for k, v in os.environ.items()
        if k not in {"PYTHONPATH", "MYPYPATH", "LD_PRELOAD", "PYTHONMALLOC"}
        and not k.endswith("SAN_OPTIONS")
    }
    env.update(extra)
    return env


def _run(args, *, cwd, env=None, timeout=900):
    result = subprocess.run(
        [sys.executable, "-P", *args],
        cwd=cwd,
        env=env or _env(),
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    assert result.returncode == 0, (
        f"{' '.join(map(str, args))} failed:\n{result.stdout[-4000:]}\n{result.stderr[-4000:]}"
    )
    return result


def _cmake_cache(config, tmp_path_factory):
    cache = getattr(config, "cache", None)
    if cache is None:  # pytest -p no:cacheprovider
        return tmp_path_factory.mktemp("wheel-build")
    checkout = hashlib.sha256(str(REPO).encode()).hexdigest()[:12]
    return cache.mkdir(f"wheel-build-{checkout}")


@pytest.fixture(scope="module")
def wheel(request, tmp_path_factory):
    cache = _cmake_cache(request.config, tmp_path_factory)
    dist = tmp_path_factory.mktemp("dist")
    with open(cache / "lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        _run(
            [
                "-m", "pip", "wheel", ".",
                "--no-build-isolation", "--no-index", "--no-deps", "--no-cache-dir",
                "--wheel-dir", dist,
                f"--config-settings=build-dir={cache}/{{wheel_tag}}",
            ],
            cwd=REPO,
        )
    (built,) = dist.glob("pelmora-*.whl")
    return built


@pytest.fixture(scope="module")
def installed(wheel, tmp_path_factory):
    target = tmp_path_factory.mktemp("site")
    _run(
        ["-m", "pip", "install", "--no-index", "--no-deps", "--no-cache-dir",
         "--target", target, wheel],
        cwd=target,
    )
    return target


def test_wheel_contents(wheel):
    with zipfile.ZipFile(wheel) as zf:
        names = zf.namelist()
        dist_info = f"pelmora-{PROJECT['version']}.dist-info"
        metadata = zf.read(f"{dist_info}/METADATA").decode()
        tags = zf.read(f"{dist_info}/WHEEL").decode()

    suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
    assert sorted(n for n in names if not n.startswith(dist_info)) == sorted(
        ["pelmora" + suffix, *STUB_FILES]
    )
    assert "Name: pelmora\n" in metadata
    assert f"Version: {PROJECT['version']}\n" in metadata
    assert "Requires-Python: >=3.14\n" in metadata
    assert "Classifier: Programming Language :: Python :: Free Threading" in metadata
    assert "Root-Is-Purelib: false\n" in tags
    interpreter = "cp%d%d" % sys.version_info[:2]
    abi = interpreter + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")
    assert f"Tag: {interpreter}-{abi}-" in tags


SMOKE = """
import importlib.metadata
import json
from datetime import timedelta

import pelmora

inflow = pelmora.utils.ContinuousTimeSeries([0.0, 100.0, 60.0, 20.0, 0.0], timedelta(hours=1), "discharge")
outflow = pelmora.reach.run_muskingum_routing(inflow, timedelta(hours=2), 0.2, 2, 0.0)
print(json.dumps({
    "file": pelmora.__file__,
    "version": importlib.metadata.version("pelmora"),
    "kind": outflow.kind,
    "data": outflow.data,
}))
"""


def test_installed_wheel_runs(installed, tmp_path):
    result = _run(["-c", SMOKE], cwd=tmp_path, env=_env(PYTHONPATH=str(installed)))
    report = json.loads(result.stdout)

    assert Path(report["file"]).parent == installed
    assert report["version"] == PROJECT["version"]
    assert report["kind"] == "discharge"
    # The same sources as the module under test, so the same numbers.
    inflow = pelmora.utils.ContinuousTimeSeries(
        [0.0, 100.0, 60.0, 20.0, 0.0], timedelta(hours=1), "discharge"
    )
    expected = pelmora.reach.run_muskingum_routing(inflow, timedelta(hours=2), 0.2, 2, 0.0)
    assert report["data"] == expected.data


def test_installed_stubs_found_by_mypy(installed, tmp_path):
    if importlib.util.find_spec("mypy") is None:
        pytest.skip(f"mypy is not installed for {sys.executable}")
    assert sorted(
        "pelmora-stubs/" + p.relative_to(installed / "pelmora-stubs").as_posix()
        for p in (installed / "pelmora-stubs").rglob("*.pyi")
    ) == STUB_FILES

    # mypy finds pelmora-stubs on the path by itself (PEP 561): no MYPYPATH.
    (tmp_path / "use.py").write_text(
        "from pelmora import reach\n"
        "reveal_type(reach.run_muskingum_routing)\n"
        "reach.run_muskingum_routing(None, 1, 0.2, 1, 0.0)\n"
    )
    result = subprocess.run(
        [sys.executable, "-P", "-m", "mypy", "--no-incremental", "--config-file=", "use.py"],
        cwd=tmp_path,
        env=_env(PYTHONPATH=str(installed)),
        capture_output=True,
        text=True,
        timeout=300,
    )
    output = result.stdout
    # The stubs describe each area in a private module that `pelmora` re-exports.
    assert "def (inflow: pelmora._utils.ContinuousTimeSeries, k: datetime.timedelta," in output
    assert output.count("[arg-type]") == 2, output
    assert "Found 2 errors in 1 file" in output, output
