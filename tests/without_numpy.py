"""Runs pytest as an interpreter without numpy would (the free-threaded build
on Debian has none): `import numpy`, and with it scipy and matplotlib, raises
ModuleNotFoundError. Then checks that at least --min-share of the tests that
the full suite collects still ran and passed rather than skipped.

    python tests/without_numpy.py [--min-share 0.8] [pytest arguments...]

The count of the full suite comes from a collection run with numpy present,
so a module that skipped whole without numpy would count against the share.
"""

import argparse
import importlib.abc
import os
import subprocess
import sys

BLOCKED = ("numpy",)


class NoNumpy(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path=None, target=None):
        if name.split(".")[0] in BLOCKED:
            raise ModuleNotFoundError(f"No module named '{name}'", name=name)
        return None


class Outcomes:
    def __init__(self):
        self.passed = self.skipped = self.failed = 0

    def pytest_runtest_logreport(self, report):
        if report.when == "call" and report.passed:
            self.passed += 1
        elif report.skipped:
            self.skipped += 1
        elif report.failed:
            self.failed += 1


def collected_with_numpy(pytest_args):
    # A fresh interpreter, numpy importable: how many tests the suite has.
    run = subprocess.run([sys.executable, "-m", "pytest", "--collect-only", "-q", "-p", "no:cacheprovider",
                          *pytest_args], capture_output=True, text=True, timeout=600)
    if run.returncode != 0:
        sys.exit("collecting the suite failed:\n" + run.stdout + run.stderr)
    return sum(1 for line in run.stdout.splitlines() if "::" in line)


def main():
    parser = argparse.ArgumentParser(allow_abbrev=False)
    parser.add_argument("--min-share", type=float, default=0.8)
    args, pytest_args = parser.parse_known_args()
    pytest_args = pytest_args or [os.path.dirname(os.path.abspath(__file__))]
    total = collected_with_numpy(pytest_args)

    sys.meta_path.insert(0, NoNumpy())
    for name in list(sys.modules):
        if name.split(".")[0] in BLOCKED:
            del sys.modules[name]
    import pytest

    outcomes = Outcomes()
    status = pytest.main(["-q", "-p", "no:cacheprovider", *pytest_args], plugins=[outcomes])
    share = outcomes.passed / total if total else 0.0
    print(f"without numpy: {outcomes.passed} of {total} tests ran ({share:.0%}), "
          f"{outcomes.skipped} skipped, {outcomes.failed} failed")
    if status not in (0,):
        return int(status)
    if share < args.min_share:
        print(f"fewer than {args.min_share:.0%} of the tests run without numpy", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
