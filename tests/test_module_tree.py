"""The shape of the module tree: names, order, documentation."""

import os
import subprocess
import sys

import pytest

import pelmora

TREE = {
    "utils": ["ContinuousTimeSeries", "IncrementalTimeSeries"],
    "reach": ["run_muskingum_routing"],
    "reservoir": ["reservoir_utils", "run_level_pool_routing", "LevelPoolResult"],
    "rainfall_transform": ["run_clark_uh"],
    "rainfall_loss": ["DeficitConstantResult", "run_deficit_and_constant"],
    "baseflow": ["run_linear_reservoir", "LinearReservoir"],
    "metrics": ["calculate_kge"],
}
RESERVOIR_UTILS = [
    "ElevationDischarge",
    "ElevationStorage",
    "ControlledDischargeInfo",
    "UnControlledDischargeInfo",
    "SpecifiedDischargeInfo",
    "ConstantDischargeInfo",
]


def test_top_module():
    assert pelmora.__all__ == list(TREE)
    assert pelmora.__doc__ == ""


@pytest.mark.parametrize("name, members", TREE.items())
def test_submodule(name, members):
    module = getattr(pelmora, name)
    assert module.__name__ == name
    assert module.__doc__ is None
    assert module.__all__ == members
    for member in members:
        assert hasattr(module, member)
        assert f"pelmora.{name}" not in sys.modules


def test_reservoir_utils():
    utils = pelmora.reservoir.reservoir_utils
    assert utils.__name__ == "reservoir_utils"
    assert utils.__all__ == RESERVOIR_UTILS


def test_members_module_names():
    assert pelmora.reach.run_muskingum_routing.__module__ == "reach"
    assert pelmora.metrics.calculate_kge.__module__ == "metrics"
    classes = [
        pelmora.utils.ContinuousTimeSeries,
        pelmora.baseflow.LinearReservoir,
        pelmora.reservoir.LevelPoolResult,
        *(getattr(pelmora.reservoir.reservoir_utils, n) for n in RESERVOIR_UTILS),
    ]
    for cls in classes:
        assert cls.__module__ == "builtins"
        assert cls.__qualname__ == cls.__name__


def test_submodules_are_not_importable_by_path():
    from pelmora import utils  # noqa: F401

    with pytest.raises(ModuleNotFoundError):
        import pelmora.utils  # noqa: F401


def test_reimport_reuses_classes():
    code = (
        "import sys, pelmora\n"
        "cls = pelmora.utils.ContinuousTimeSeries\n"
        "del sys.modules['pelmora']\n"
        "import pelmora as again\n"
        "assert again is not pelmora\n"
        "assert again.utils.ContinuousTimeSeries is cls\n"
        "assert again.__all__ == pelmora.__all__\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


def test_import_keeps_gil_disabled_on_free_threaded_build():
    if not hasattr(sys, "_is_gil_enabled"):
        pytest.skip("interpreter without the GIL switch")
    code = "import sys, warnings\nwarnings.simplefilter('error')\nimport pelmora\nprint(sys._is_gil_enabled())"
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
    import sysconfig

    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        assert out.stdout.strip() == "False"
    assert out.stderr == ""


AREA_ENTRY_POINTS = {
    "init_loss": ["DeficitConstantResult", "run_deficit_and_constant"],
    "init_transform": ["run_clark_uh"],
    "init_baseflow": ["run_linear_reservoir", "LinearReservoir"],
    "init_reach": ["run_muskingum_routing"],
    "init_reservoir": ["reservoir_utils", "run_level_pool_routing", "LevelPoolResult"],
    "init_metrics": ["calculate_kge"],
}


def test_area_entry_points(tmp_path):
    # The same file installed under an area's name builds that area alone.
    import shutil
    import sysconfig

    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    for name in AREA_ENTRY_POINTS:
        shutil.copy(pelmora.__file__, tmp_path / f"{name}{suffix}")
    code = (
        "import importlib, json, sys\n"
        "out = {}\n"
        "for name in sys.argv[1:]:\n"
        "    m = importlib.import_module(name)\n"
        "    out[name] = [m.__name__, m.__doc__, m.__all__]\n"
        "print(json.dumps(out))\n"
    )
    import json

    run = subprocess.run([sys.executable, "-P", "-c", code, *AREA_ENTRY_POINTS], cwd=tmp_path,
                         check=True, capture_output=True, text=True,
                         env={**os.environ, "PYTHONPATH": str(tmp_path)})
    got = json.loads(run.stdout)
    for name, members in AREA_ENTRY_POINTS.items():
        assert got[name] == [name, "", members]
