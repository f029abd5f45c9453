"""The examples' shared ways of running (examples/scaleout.py), without numpy or Dask.

Option checks refuse bad values with one argparse line, the default worker
count is filled in, a failed shutdown is one warning line, and the serial
and thread runners give results in the items' order.
"""

import argparse
import logging
import threading

import pytest

from conftest import example_module


@pytest.fixture(scope="module")
def so():
    yield from example_module("scaleout")


def _parse(so, argv):
    parser = argparse.ArgumentParser(prog="study.py")
    so.add_options(parser)
    return so.check_options(parser, parser.parse_args(argv))


@pytest.mark.parametrize("argv, message", [
    (["--connect-timeout", "0"], "--connect-timeout must be a number of seconds above 0"),
    (["--connect-timeout", "nan"], "--connect-timeout must be a number of seconds above 0"),
    (["--connect-timeout", "inf"], "--connect-timeout must be a number of seconds above 0"),
    (["--threads", "0"], "--threads must be at least 1"),
    (["--workers", "-1"], "--workers must be 0 or more"),
    (["--scheduler", "tcp://h:abc"], "--scheduler: invalid port 'abc' in 'tcp://h:abc' "
                                     "(a port is a whole number from 1 to 65535)"),
    (["--scheduler", "h:65536"], "--scheduler: invalid port '65536' in 'h:65536' "
                                 "(a port is a whole number from 1 to 65535)"),
    (["--scheduler", "tcp://[::1]:0"], "--scheduler: invalid port '0' in 'tcp://[::1]:0' "
                                       "(a port is a whole number from 1 to 65535)"),
    (["--scheduler", "tcp://h:-5"], "--scheduler: invalid port '-5' in 'tcp://h:-5' "
                                    "(a port is a whole number from 1 to 65535)"),
])
def test_bad_values_are_one_argparse_line(so, capsys, argv, message):
    with pytest.raises(SystemExit) as exit_:
        _parse(so, argv)
    assert exit_.value.code == 2
    assert capsys.readouterr().err.splitlines()[-1] == f"study.py: error: {message}"


@pytest.mark.parametrize("argv, workers, default", [
    ([], None, True),  # every core
    (["--workers", "0"], 0, False),
    (["--threads", "3"], None, False),
    (["--scheduler", "tcp://[::1]:8786", "--connect-timeout", "0.5"], None, False),
    # no port written: the scheduler check names what is missing
    (["--scheduler", "localhost"], None, False),
    (["--scheduler", "tls://head:8786"], None, False),
])
def test_good_values_pass(so, argv, workers, default):
    args = _parse(so, argv)
    assert args.default_workers is default
    if default:
        assert args.workers >= 1
    else:
        assert args.workers == workers


class _Part:
    def __init__(self, error=None):
        self.error, self.closed = error, False

    def close(self, timeout):
        self.closed = True
        if self.error:
            raise self.error


@pytest.mark.parametrize("client_error, cluster_error, warning", [
    (None, None, None),
    (None, TimeoutError("slow"), "the cluster (TimeoutError: slow)"),
    (OSError(), TimeoutError(), "the client (OSError) and the cluster (TimeoutError)"),
])
def test_shutdown_failure_is_one_warning(so, capsys, client_error, cluster_error, warning):
    run = so.DaskRun.__new__(so.DaskRun)
    run.client, run.cluster = _Part(client_error), _Part(cluster_error)
    client, cluster = run.client, run.cluster
    quiet = logging.getLogger("distributed")
    level = quiet.level
    try:
        run.close(timeout=3)
    finally:
        quiet.setLevel(level)  # close() silences Dask's shutdown chatter for good
    # both parts were asked to close, whatever the first one did
    assert client.closed and cluster.closed
    assert run.client is None and run.cluster is None
    err = capsys.readouterr().err
    if warning is None:
        assert err == ""
    else:
        assert err == (f"warning: the Dask shutdown did not finish within 3 s: {warning}; "
                       "every task had finished, so the results stand\n")


def _task(item, settings, stop=None):
    if stop is not None and stop.is_set():
        raise RuntimeError("stopped")
    return {"item": item, "scaled": item * settings["scale"], "thread": threading.get_ident()}


def test_runners_keep_the_items_order(so):
    items = list(range(12))
    serial = so.run_serial(_task, items, {"scale": 3}, progress=False)
    threaded = so.run_threads(_task, items, {"scale": 3}, 4, progress=False)
    assert [r["scaled"] for r in serial] == [3 * i for i in items]
    assert [(r["item"], r["scaled"]) for r in threaded] == [(r["item"], r["scaled"]) for r in serial]
