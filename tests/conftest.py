"""Shared fixtures and helpers for the pelmora test suite."""

import gc
import importlib
import os
import sys
from datetime import timedelta
from pathlib import Path

import pytest

import pelmora

HOUR = timedelta(hours=1)


@pytest.fixture(scope="session")
def pm():
    return pelmora


# numpy is optional (Debian packages it for the GIL build only): it is
# imported by the tests that use it, which skip where it is missing.
@pytest.fixture
def np():
    return pytest.importorskip("numpy", exc_type=ImportError)


class with_numpy:
    """A parametrized value built with numpy when its test runs:
    `with_numpy(lambda np: np.arange(4))`. Where numpy is missing, that case skips."""

    def __init__(self, make):
        self.make = make


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_call(item):
    funcargs = getattr(item, "funcargs", {})
    for name, value in funcargs.items():
        if isinstance(value, with_numpy):
            funcargs[name] = value.make(pytest.importorskip("numpy", exc_type=ImportError))


def message(excinfo):
    """The exact text of a raised exception."""
    return str(excinfo.value)


def zone(name):
    """The IANA time zone `name`, or a skip where the system has no database."""
    zoneinfo = pytest.importorskip("zoneinfo")
    try:
        return zoneinfo.ZoneInfo(name)
    except zoneinfo.ZoneInfoNotFoundError:
        pytest.skip("no time zone database")


def allocated_growth(fn, rounds=3, calls=2000):
    """Live-block growth per round of `calls` calls, after a warm-up round.

    A leak of one reference per call shows up as thousands of blocks; noise
    from caches stays within a few dozen.
    """
    fn()
    for _ in range(calls):
        fn()
    gc.collect()
    growth = []
    for _ in range(rounds):
        before = sys.getallocatedblocks()
        for _ in range(calls):
            fn()
        gc.collect()
        growth.append(sys.getallocatedblocks() - before)
    return min(growth)


EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def example_module(name):
    """Imports examples/<name>.py for the length of a fixture (use with
    `yield from`), then forgets it again."""
    sys.path.insert(0, str(EXAMPLES))
    try:
        yield importlib.import_module(name)
    finally:
        sys.path.remove(str(EXAMPLES))
        sys.modules.pop(name, None)


def child_env(*paths, **extra):
    """The environment of a child Python: this one's, with `paths` and the
    built module's folder first on its PYTHONPATH, and `extra` set."""
    path = [str(p) for p in paths] + [os.path.dirname(pelmora.__file__), os.environ.get("PYTHONPATH", "")]
    return {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in path if p), **extra}
