"""The shape of the module tree: names, order, documentation."""

import os
import subprocess
import sys

import pytest
from members import CALLABLES, CALLS, CLASSES, MEMBERS, call_of, instance_of

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
    for member in MEMBERS:
        if member.is_class:
            assert member.obj.__module__ == "builtins"
            assert member.obj.__qualname__ == member.obj.__name__
        else:
            assert member.obj.__module__ == member.module.rsplit(".", 1)[-1]
        assert member.obj.__name__ == member.name


def test_walk_finds_every_member():
    # The generic suites see exactly what the tree above lists.
    listed = [(n, m) for n, members in TREE.items() for m in members if m != "reservoir_utils"]
    listed += [("reservoir.reservoir_utils", m) for m in RESERVOIR_UTILS]
    assert sorted((m.module, m.name) for m in MEMBERS) == sorted(listed)
    assert len(CLASSES) + len(CALLABLES) == len(MEMBERS)


@pytest.mark.parametrize("member", MEMBERS, ids=lambda m: m.name)
def test_every_member_has_a_valid_call(member):
    # Without its entry in tests/members.py a class or callable would escape
    # fuzzing, pickling, leak and thread checks.
    assert member.name in CALLS, f"tests/members.py has no call for {member.module}.{member.name}"
    if member.is_class:
        instance_of(member.obj)
    else:
        call = call_of(member)
        assert call.target is member.obj
        call()


def test_every_call_names_a_member():
    assert set(CALLS) - {m.name for m in MEMBERS} == set()


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
