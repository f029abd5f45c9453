"""Ctrl-C during long kernels, and other threads running meanwhile.

Each case runs in a child process with a counter thread. The child starts a
kernel call that would run for minutes (or forever) on the main thread; the
counter thread reports once it has counted on while the call runs, which it
can only do if the call let go of the interpreter. The test then sends a
real SIGINT from outside, and the call must end with the handler's
exception and no result.
"""

import os
import select
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import pelmora
from conftest import child_env

# Each workload runs far longer than the test waits for it. The sizes are the
# ones the old detach rules got wrong (they stayed attached), kept small in
# memory.
WORKLOADS = {
    # 4 values x 2**62 sub-reaches: the old work estimate wrapped to 0.
    "muskingum": (
        "inflow = U.ContinuousTimeSeries([1.0, 5.0, 3.0, 2.0], timedelta(hours=1), 'discharge')\n"
        "call = lambda: pelmora.reach.run_muskingum_routing(inflow, timedelta(hours=1), 0.2, 2**62, 1.0)\n"
    ),
    # Few rainfall values, a million ordinates each: the old rule counted
    # only the rainfall.
    "clark": (
        "rain = U.IncrementalTimeSeries([0.5] * 10000, timedelta(seconds=1), 'rainfall')\n"
        "call = lambda: pelmora.rainfall_transform.run_clark_uh(rain, 640.0, timedelta(seconds=2**20),"
        " timedelta(hours=2))\n"
    ),
    # Ten million reservoirs in one layer: the old rule counted 64.
    "baseflow": (
        "rain = U.IncrementalTimeSeries([0.5] * 1000, timedelta(seconds=1), 'rainfall')\n"
        "layers = {'deep': pelmora.baseflow.LinearReservoir(timedelta(seconds=2**31 - 1), 1.0, 0.0, 10**7)}\n"
        "call = lambda: pelmora.baseflow.run_linear_reservoir(640.0, rain, layers)\n"
    ),
    # 4 values at a 2**31 - 1 s step: 6e9 one-second steps.
    "level pool": (
        "curve = RU.ElevationStorage([0.0, 1e12], [0.0, 1e12])\n"
        "inflow = U.ContinuousTimeSeries([1.0] * 4, timedelta(seconds=2**31 - 1), 'discharge')\n"
        "outlets = {'gate': RU.ConstantDischargeInfo(0.5)}\n"
        "call = lambda: pelmora.reservoir.run_level_pool_routing(inflow, 100.0, curve, outlets)\n"
    ),
}

PRELUDE = (
    "import os, signal, sys, threading, time\n"
    "from datetime import timedelta\n"
    "import pelmora\n"
    "U = pelmora.utils\n"
    "RU = pelmora.reservoir.reservoir_utils\n"
)

# The counter reports once it has counted 100000 times after the call began;
# a call that kept the interpreter would let it count almost nothing.
CHILD = PRELUDE + (
    "{workload}"
    "{handler}"
    "running = threading.Event()\n"
    "def count():\n"
    "    running.wait()\n"
    "    n = 0\n"
    "    while n < 100000:\n"
    "        n += 1\n"
    "    print('COUNTED', flush=True)\n"
    "threading.Thread(target=count, daemon=True).start()\n"
    "running.set()\n"
    "try:\n"
    "    result = call()\n"
    "except BaseException as e:\n"
    "    print('RAISED', type(e).__name__, flush=True)\n"
    "else:\n"
    "    print('RETURNED', flush=True)\n"
)

# Time for the child to get going, and for it to finish once signalled: both
# generous, as the machine may be busy; the calls themselves run for minutes.
START_TIMEOUT = 60.0
STOP_TIMEOUT = 10.0


def interrupt(workload, handler=""):
    """Runs `workload` in a child, SIGINTs it once its counter thread has run
    during the call; returns the child's report lines and the seconds from the
    signal to the child's last report."""
    code = CHILD.format(workload=workload, handler=handler)
    proc = subprocess.Popen([sys.executable, "-c", code], env=child_env(), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        # The child writes whole lines, so a readable pipe holds one.
        ready, _, _ = select.select([proc.stdout], [], [], START_TIMEOUT)
        first = proc.stdout.readline() if ready else ""
        if first != "COUNTED\n":
            raise AssertionError(f"the counter thread did not run during the call: {first!r}")
        signalled = time.monotonic()
        os.kill(proc.pid, signal.SIGINT)
        out, err = proc.communicate(timeout=STOP_TIMEOUT)
        stopped = time.monotonic()
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    return (first + out).split(), err, stopped - signalled


@pytest.mark.parametrize("kernel", list(WORKLOADS))
def test_sigint_stops_a_long_call_while_other_threads_run(kernel):
    words, err, _seconds = interrupt(WORKLOADS[kernel])
    assert words == ["COUNTED", "RAISED", "KeyboardInterrupt"], err
    assert err == ""


def test_the_handlers_own_exception_ends_the_call():
    handler = (
        "class Stop(Exception): pass\n"
        "def stop(signum, frame): raise Stop\n"
        "signal.signal(signal.SIGINT, stop)\n"
    )
    words, err, _seconds = interrupt(WORKLOADS["level pool"], handler)
    assert words == ["COUNTED", "RAISED", "Stop"], err


def test_a_handler_that_returns_lets_the_call_go_on():
    # The handler runs during the call and returns: nothing is raised, and
    # the call continues until a second signal, whose default handler stops it.
    handler = (
        "def note(signum, frame):\n"
        "    print('HANDLED', flush=True)\n"
        "    signal.signal(signal.SIGINT, signal.default_int_handler)\n"
        "    threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()\n"
        "signal.signal(signal.SIGINT, note)\n"
    )
    words, err, _seconds = interrupt(WORKLOADS["muskingum"], handler)
    assert words == ["COUNTED", "HANDLED", "RAISED", "KeyboardInterrupt"], err


LEAK_CHECK = (
    "import ctypes\n"
    "class Mallinfo2(ctypes.Structure):\n"
    "    _fields_ = [(name, ctypes.c_size_t) for name in ('arena', 'ordblks', 'smblks', 'hblks', 'hblkhd',\n"
    "               'usmblks', 'fsmblks', 'uordblks', 'fordblks', 'keepcost')]\n"
    "libc = ctypes.CDLL(None)\n"
    "libc.mallinfo2.restype = Mallinfo2\n"
    "def in_use():  # bytes the C allocator has handed out and not got back\n"
    "    info = libc.mallinfo2()\n"
    "    return info.uordblks + info.hblkhd\n"
    "def interrupted(call):\n"
    "    timer = threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGINT))\n"
    "    timer.start()\n"
    "    try:\n"
    "        call()\n"
    "    except KeyboardInterrupt:\n"
    "        pass\n"
    "    else:\n"
    "        raise SystemExit('the call was not interrupted')\n"
    "    timer.join()\n"
    "for call in calls:\n"
    "    interrupted(call)\n"
    "blocks, allocated = sys.getallocatedblocks(), in_use()\n"
    "for _ in range(3):\n"
    "    for call in calls:\n"
    "        interrupted(call)\n"
    "print(sys.getallocatedblocks() - blocks, in_use() - allocated)\n"
)


def test_interrupted_calls_leak_nothing():
    # Every kernel interrupted repeatedly, from a timer thread in the child:
    # neither Python objects nor the kernels' working vectors may pile up.
    makers = "".join(f"def make_{i}():\n" + textwrap.indent(w, "    ") + "    return call\n"
                     for i, w in enumerate(WORKLOADS.values()))
    calls = "calls = [" + ", ".join(f"make_{i}()" for i in range(len(WORKLOADS))) + "]\n"
    proc = subprocess.run([sys.executable, "-c", PRELUDE + makers + calls + LEAK_CHECK], env=child_env(),
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    blocks, allocated = map(int, proc.stdout.split())
    assert blocks < 100, proc.stdout
    # One leaked working vector of the Clark or baseflow call is 8 MB or more.
    assert allocated < 1 << 20, proc.stdout


def test_calls_off_the_main_thread_run_to_the_end():
    # Signals are handled on the main thread only: a worker's call is never
    # interrupted, and returns its whole result.
    code = PRELUDE + (
        "inflow = U.ContinuousTimeSeries([1.0, 5.0, 3.0, 2.0] * 1000, timedelta(hours=1), 'discharge')\n"
        "route = lambda: pelmora.reach.run_muskingum_routing(inflow, timedelta(hours=4), 0.2, 100000, 1.0)\n"
        "expected = route().data\n"
        "got = []\n"
        "worker = threading.Thread(target=lambda: got.append(route().data))\n"
        "worker.start()\n"
        "try:\n"
        "    os.kill(os.getpid(), signal.SIGINT)\n"
        "    while worker.is_alive():\n"
        "        worker.join(0.01)\n"
        "except KeyboardInterrupt:\n"
        "    print('MAIN', worker.is_alive())\n"
        "worker.join()\n"
        "print(got == [expected])\n"
    )
    proc = subprocess.run([sys.executable, "-c", code], env=child_env(), capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["MAIN", "True", "True"], proc.stdout


# Calls that once held every other thread until they returned, and heard
# Ctrl-C only then. Each would run for seconds; the child's own ticker thread
# counts for a while during the call, then signals the process and notes the
# time. The call must end with KeyboardInterrupt soon after, and no result.
SHORT_WORKLOADS = {
    # 8 values of 2**30 s split into 32 s steps: 268 M values written.
    "disaggregate": (
        "rain = U.IncrementalTimeSeries([1.0] * 8, timedelta(seconds=2**30), 'rainfall')\n"
        "call = lambda: rain.disaggregate(32)\n"
    ),
    # 134 M rainfall values (8 bytes each, built without a list).
    "deficit and constant": (
        "import array\n"
        "rain = U.IncrementalTimeSeries(array.array('d', [0.5]) * 2**27, timedelta(hours=1), 'rainfall')\n"
        "call = lambda: pelmora.rainfall_loss.run_deficit_and_constant(rain, 0.3, 1.0, 0.1, timedelta(hours=10))\n"
    ),
}

TICKER_CHILD = PRELUDE + (
    "{workload}"
    "started = threading.Event()\n"
    "ticks, signalled = 0, []\n"
    "def tick():\n"
    "    global ticks\n"
    "    started.wait()\n"
    "    until = time.monotonic() + 0.1\n"
    "    while time.monotonic() < until:\n"
    "        ticks += 1\n"
    "    signalled.append(time.monotonic())\n"
    "    os.kill(os.getpid(), signal.SIGINT)\n"
    "threading.Thread(target=tick, daemon=True).start()\n"
    "started.set()\n"
    "try:\n"
    "    result = call()\n"
    "except KeyboardInterrupt:\n"
    "    print('RAISED', ticks, time.monotonic() - signalled[0], flush=True)\n"
    "else:\n"
    "    print('RETURNED', ticks, flush=True)\n"
)


# Under AddressSanitizer every write (and the output's allocation) is
# instrumented, so an interval of work between two polls takes seconds.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
PROMPT_S = 10.0 if UNDER_ASAN else 0.5


@pytest.mark.parametrize("kernel", list(SHORT_WORKLOADS))
def test_ticker_runs_and_sigint_stops_the_call_promptly(kernel):
    proc = subprocess.run([sys.executable, "-c", TICKER_CHILD.format(workload=SHORT_WORKLOADS[kernel])],
                          env=child_env(), capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    words = proc.stdout.split()
    # The ticker signalled while the call ran (else the call would have
    # returned first), having counted meanwhile.
    assert words[0] == "RAISED" and int(words[1]) > 0, proc.stdout
    assert float(words[2]) < PROMPT_S, proc.stdout
