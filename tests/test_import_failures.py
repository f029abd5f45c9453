"""Failures while the module tree is built: out of memory is a MemoryError,
never the internal-fault exception."""

import subprocess
import sys

import pytest

import pelmora
from conftest import child_env

# Fails exactly one allocation of a fresh import, for each allocation in turn.
PROBE = """
import collections, importlib, sys, _testcapi
import pelmora
outcomes = collections.Counter()
for k in range(400):
    sys.modules.pop("pelmora", None)
    _testcapi.set_nomemory(k, k + 1)
    try:
        importlib.import_module("pelmora")
        outcome = "ok"
    except MemoryError:
        outcome = "MemoryError"
    except BaseException as e:
        outcome = type(e).__qualname__ + ": " + str(e)
    finally:
        _testcapi.remove_mem_hooks()
    outcomes[outcome] += 1
print(sorted(outcomes))
"""


def test_out_of_memory_during_registration_is_memory_error():
    pytest.importorskip("_testcapi")
    env = child_env()
    run = subprocess.run([sys.executable, "-P", "-c", PROBE], capture_output=True, text=True, timeout=120,
                         env=env)
    assert run.returncode == 0, run.stderr
    assert run.stdout == "['MemoryError', 'ok']\n"
    assert "panicked" not in run.stderr
