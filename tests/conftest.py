"""Shared fixtures and helpers for the pelmora test suite."""

import gc
import sys
from datetime import timedelta

import pytest

import pelmora

HOUR = timedelta(hours=1)


@pytest.fixture(scope="session")
def pm():
    return pelmora


def message(excinfo):
    """The exact text of a raised exception."""
    return str(excinfo.value)


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
