"""pelmora runs in the main interpreter only.

Its class objects and cached objects (collections.abc.Sequence, the datetime
C API, the warnings module, the internal-fault class) are shared by the whole
process, so an import from any other interpreter fails with ImportError and
leaves nothing behind. Every probe runs in a child process under a debug
allocator, where a dead interpreter's object, once touched, crashes it.
"""

import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap

import pytest

import pelmora

# The debug allocators the probes run under. A free-threaded interpreter has
# only the mimalloc ones (pymalloc and plain malloc stop it at start-up); the
# default build has pymalloc's and the C library's.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
DEBUG_ALLOCATORS = ["mimalloc", "mimalloc_debug"] if FREE_THREADED else ["pymalloc_debug", "malloc_debug"]

MESSAGE = "module '{}' can only be imported in the main interpreter, not in a subinterpreter"

# How each kind of interpreter is made. An interpreter with its own GIL (as
# concurrent.interpreters makes them) refuses the module itself, before it
# runs; the others reach the module's own check.
CONFIGS = {
    "legacy": 'new_config("legacy")',
    "isolated-shared-gil": 'new_config("isolated", gil="shared", check_multi_interp_extensions=True)',
    "own-gil": 'new_config("isolated")',
}

# Warms (or first creates) every cache of the library in the main interpreter.
USE_EVERYTHING = """
import gc, warnings
from datetime import timedelta
try:
    pelmora.metrics.calculate_kge(1, [1.0])
except TypeError as e:
    assert str(e) == "argument 'sim': 'int' object is not an instance of 'Sequence'", e
s = pelmora.utils.ContinuousTimeSeries([1.0, 2.0, 3.0], timedelta(hours=1), "discharge")
assert s.time_step == timedelta(hours=1)
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    pelmora.reach.run_muskingum_routing(s, timedelta(hours=1), -0.1, 1, 1.0)
assert [str(w.message) for w in caught] == ["`x` is outside the recommended range [0.0, 0.5]."], caught
gc.collect()
"""

CHILD = """
import sys, _interpreters
from _interpreters import new_config
name, first = sys.argv[1], sys.argv[2]

def import_in_subinterpreter():
    interp = _interpreters.create({config})
    try:
        for _ in range(2):  # a second attempt fails the same way
            failure = _interpreters.exec(interp, "import " + name)
            assert failure is not None, "imported in a subinterpreter"
            print(failure.type.__name__ + ": " + failure.msg)
    finally:
        _interpreters.destroy(interp)

if first == "sub":
    import_in_subinterpreter()
    import importlib
    pelmora = importlib.import_module(name)
else:
    import importlib
    pelmora = importlib.import_module(name)
    if name == "pelmora":
{use}
    import_in_subinterpreter()
if name == "pelmora":
{use}
print("main ok")
"""


@pytest.mark.parametrize("malloc", DEBUG_ALLOCATORS)
def test_chosen_allocator_starts_this_interpreter(malloc):
    # Each allocator the probes use must exist in this build of CPython:
    # an unknown one fails before any probe runs, for every probe alike.
    run = subprocess.run([sys.executable, "-c", "import sys; print(sys._is_gil_enabled())"],
                         env={**os.environ, "PYTHONMALLOC": malloc}, capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == str(not FREE_THREADED)


def test_default_build_probes_under_pymalloc_and_malloc_debug():
    if FREE_THREADED:
        pytest.skip("the default build's choice")
    assert DEBUG_ALLOCATORS == ["pymalloc_debug", "malloc_debug"]


def run_child(code, *args, malloc, path):
    env = {**os.environ, "PYTHONMALLOC": malloc, "PYTHONPATH": str(path)}
    return subprocess.run([sys.executable, "-P", "-c", code, *args], capture_output=True, text=True,
                          timeout=120, env=env)


def child_code(config):
    use = textwrap.indent(USE_EVERYTHING, "        ")
    return CHILD.format(config=CONFIGS[config], use=use)


@pytest.mark.parametrize("malloc", DEBUG_ALLOCATORS)
@pytest.mark.parametrize("first", ["sub", "main"])
@pytest.mark.parametrize("config", list(CONFIGS))
def test_import_refused_outside_main_interpreter(config, first, malloc):
    path = os.path.dirname(pelmora.__file__)
    run = run_child(child_code(config), "pelmora", first, malloc=malloc, path=path)
    assert run.returncode == 0, run.stderr
    if config == "own-gil":
        refusal = "ImportError: module pelmora does not support loading in subinterpreters"
    else:
        refusal = "ImportError: " + MESSAGE.format("pelmora")
    assert run.stdout.splitlines() == [refusal, refusal, "main ok"]
    assert run.stderr == ""


@pytest.mark.parametrize("first", ["sub", "main"])
def test_area_entry_points_refused_outside_main_interpreter(tmp_path, first):
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    names = ["init_loss", "init_transform", "init_baseflow", "init_reach", "init_reservoir", "init_metrics"]
    for name in names:
        shutil.copy(pelmora.__file__, tmp_path / f"{name}{suffix}")
    for name in names:
        run = run_child(child_code("legacy"), name, first, malloc=DEBUG_ALLOCATORS[0], path=tmp_path)
        assert run.returncode == 0, run.stderr
        refusal = "ImportError: " + MESSAGE.format(name)
        assert run.stdout.splitlines() == [refusal, refusal, "main ok"], name


# A function smuggled into a legacy subinterpreter (same GIL) by its address:
# calling it there must not create or hand out any cached object. Nothing has
# been cached in the main interpreter yet, so a cache made in the
# subinterpreter would dangle once it is destroyed.
SMUGGLED = """
import _interpreters, gc
import pelmora
interp = _interpreters.create("legacy")
_interpreters.set___main___attrs(interp, {"address": id(pelmora.metrics.calculate_kge),
                                          "cls": id(pelmora.utils.ContinuousTimeSeries)})
failure = _interpreters.exec(interp, '''
import ctypes
kge = ctypes.cast(address, ctypes.py_object).value
cls = ctypes.cast(cls, ctypes.py_object).value
for call in (lambda: kge(1, [1.0]), lambda: cls([1.0], None, "discharge")):
    try:
        call()
    except RuntimeError as e:
        assert str(e) == "pelmora objects can only be used in the main interpreter", e
    else:
        raise AssertionError("ran in a subinterpreter")
del kge, cls
''')
assert failure is None, failure
_interpreters.destroy(interp)
gc.collect()
""" + USE_EVERYTHING + """
print("main ok")
"""


@pytest.mark.parametrize("malloc", DEBUG_ALLOCATORS)
def test_smuggled_object_does_not_run_in_subinterpreter(malloc):
    pytest.importorskip("ctypes")
    path = os.path.dirname(pelmora.__file__)
    run = run_child(SMUGGLED, malloc=malloc, path=path)
    assert run.returncode == 0, run.stderr
    assert run.stdout == "main ok\n"
