"""One task per item, wherever it runs: serially, on threads, on a LocalCluster, on a Dask cluster.

The examples keep their hydrology in their own files and hand this module a
task function, a list of items (basins, gauges) and a dict of settings.  Each
way of running calls the same function on the same arguments, so the results
are the same bits everywhere; this module only sends the work out, collects
results as they finish, shows progress, and stops cleanly on Ctrl-C.

    task(item, settings)                serial and Dask runs
    task(item, settings, stop=event)    thread pools: the task stops early once
                                        the event is set (check_stop raises Cancelled)

The options --workers, --threads, --scheduler and --connect-timeout come from
add_options() and check_options(); run() does what they ask.  The optimiser's
--generations, --popsize and --seed come from add_search_options() and
check_search_options(); stop_status() and total_line() end a script's main().

On an existing cluster, the scheduler (which unpacks the tasks) and every
worker import the task's module by name, and that module imports this one.
Both files travel with client.upload_file, this one first:

    client.upload_file("examples/scaleout.py")
    client.upload_file("examples/regional_calibration.py")

DaskRun(scheduler=..., upload=[path]) does exactly that.  pelmora, numpy and
scipy (and pandas for the CAMELS example) must be installed there already.
"""

from __future__ import annotations

import logging
import math
import os
import signal
import sys
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve()
INTERRUPTED = "interrupted: the run and its workers are stopped"


class Cancelled(Exception):
    """The run was interrupted; a task raises it to stop early."""


class SchedulerError(Exception):
    """The scheduler given cannot be used; the message says why."""


# ---- options ---------------------------------------------------------------------

def add_options(parser, what="basin"):
    """The ways of running, as options of `parser`: --workers | --scheduler | --threads, --connect-timeout."""
    how = parser.add_mutually_exclusive_group()
    how.add_argument("--workers", type=int, default=None, metavar="N",
                     help=f"worker processes of a LocalCluster, one {what} per task; 0 runs serially "
                          "here (default: every core)")
    how.add_argument("--scheduler", default=None, metavar="ADDRESS",
                     help="run on the existing cluster whose scheduler is at ADDRESS (tcp://host:port)")
    how.add_argument("--threads", type=int, default=None, metavar="N",
                     help="run on N threads in this process instead of Dask")
    parser.add_argument("--connect-timeout", type=float, default=10.0, metavar="S",
                        help="seconds to wait for a scheduler and its workers (default 10)")


def scheduler_port(address):
    """The port written in a scheduler address, as text, or None when none is written.

    Accepts tcp://host:port, host:port and tcp://[v6 address]:port.
    """
    rest = address.split("://", 1)[-1]
    if rest.startswith("["):
        host_end = rest.find("]")
        if host_end < 0 or not rest[host_end + 1:].startswith(":"):
            return None
        return rest[host_end + 2:]
    return rest.rsplit(":", 1)[1] if ":" in rest else None


def check_options(parser, args):
    """Refuses bad values with one argparse error line; fills in the default worker count.

    Returns `args`; its `default_workers` says whether --workers was filled in.
    """
    if args.threads is not None and args.threads < 1:
        parser.error("--threads must be at least 1")
    if args.workers is not None and args.workers < 0:
        parser.error("--workers must be 0 or more")
    if not (math.isfinite(args.connect_timeout) and args.connect_timeout > 0.0):
        parser.error("--connect-timeout must be a number of seconds above 0")
    if args.scheduler is not None:
        port = scheduler_port(args.scheduler)
        # An address without a port is left to the scheduler check, which says so.
        if port is not None and not (port.isdigit() and 1 <= int(port) <= 65535):
            parser.error(f"--scheduler: invalid port {port!r} in {args.scheduler!r} "
                         "(a port is a whole number from 1 to 65535)")
    args.default_workers = args.workers is None and not args.threads and not args.scheduler
    if args.default_workers:
        args.workers = os.cpu_count() or 1
    return args


def add_search_options(parser, defaults, seed_help):
    """The optimiser's options: --generations, --popsize and --seed, defaults from the `defaults` dict."""
    parser.add_argument("--generations", type=int, default=defaults["generations"],
                        help=f"differential-evolution generations (default {defaults['generations']})")
    parser.add_argument("--popsize", type=int, default=defaults["popsize"],
                        help=f"population per parameter (default {defaults['popsize']})")
    parser.add_argument("--seed", type=int, default=defaults["seed"], help=seed_help)


def check_search_options(parser, args):
    """Refuses a bad --generations, --popsize or --seed, then does check_options(); returns `args`."""
    if args.generations < 1:
        parser.error("--generations must be at least 1")
    if args.popsize < 1:
        parser.error("--popsize must be at least 1")
    if args.seed < 0:
        parser.error("--seed must be 0 or more")
    return check_options(parser, args)


# ---- progress --------------------------------------------------------------------

class Progress:
    """tqdm's bar when it is installed and the output is a terminal, else one line per task.

    `describe(result)` gives the short text shown for a finished task.
    """

    def __init__(self, total, label, enabled=True, describe=None, unit="basin"):
        self.bar, self.enabled, self.done, self.total, self.label = None, enabled, 0, total, label
        self.describe = describe or (lambda result: "")
        self.unit = unit
        if not enabled:
            return
        try:
            from tqdm import tqdm
        except ImportError:
            tqdm = None
        if tqdm is not None and sys.stderr.isatty():
            self.bar = tqdm(total=total, desc=label, unit=unit, leave=True, dynamic_ncols=True)

    def update(self, result):
        self.done += 1
        if self.bar is not None:
            self.bar.set_postfix_str(self.describe(result), refresh=False)
            self.bar.update(1)
        elif self.enabled:
            print(f"  {self.label}: {self.done}/{self.total} {self.unit}s ({self.describe(result)})", flush=True)

    def close(self):
        if self.bar is not None:
            self.bar.close()


# ---- inside a task ---------------------------------------------------------------

def check_stop(stop):
    """Raises Cancelled once `stop` (a thread pool run's threading.Event, or None) is set."""
    if stop is not None and stop.is_set():
        raise Cancelled()


class TaskClock:
    """Started with a task; figures() are its wall and CPU seconds so far and where it runs."""

    def __init__(self):
        self.start, self.cpu_start = time.perf_counter(), time.thread_time()

    def figures(self):
        return {
            "seconds": time.perf_counter() - self.start,
            "cpu_seconds": time.thread_time() - self.cpu_start,
            "where": f"{os.uname().nodename}:{os.getpid()}",
        }


# ---- ways of running -------------------------------------------------------------

def run_serial(task, items, settings, progress=True, describe=None, unit="basin"):
    """task(item, settings) for each item in turn, in this thread."""
    bar = Progress(len(items), "serial", progress, describe, unit)
    results = []
    try:
        for item in items:
            results.append(task(item, settings))
            bar.update(results[-1])
    finally:
        bar.close()
    return results


def run_threads(task, items, settings, threads, progress=True, describe=None, unit="basin"):
    """task(item, settings, stop) on a pool of `threads` threads; results in the items' order."""
    from concurrent.futures import ThreadPoolExecutor, as_completed

    stop = threading.Event()
    bar = Progress(len(items), f"{threads} threads", progress, describe, unit)
    results = [None] * len(items)
    pool = ThreadPoolExecutor(max_workers=threads, thread_name_prefix="task")
    try:
        futures = {pool.submit(task, item, settings, stop): i for i, item in enumerate(items)}
        for future in as_completed(futures):
            results[futures[future]] = future.result()
            bar.update(results[futures[future]])
    finally:
        # On Ctrl-C the running tasks stop at their next check of `stop`.
        stop.set()
        pool.shutdown(wait=True, cancel_futures=True)
        bar.close()
    return results


def run_dask(client, task, items, settings, progress=True, timeout=None, describe=None, unit="basin",
             names=None, **task_kwargs):
    """One task per item with client.map; results come back as they finish, in the items' order.

    `task` is a module-level function called as task(item, settings,
    **task_kwargs).  `names` (one string per item) label the tasks on the
    dashboard.  With a `timeout` (seconds), a run that has not finished by
    then raises TimeoutError.
    """
    from distributed import as_completed

    bar = Progress(len(items), f"dask, {len(client.scheduler_info()['workers'])} workers", progress,
                   describe, unit)
    run = os.urandom(4).hex()
    names = names if names is not None else [str(i) for i in range(len(items))]
    keys = [f"{task.__name__}-{name}-{run}" for name in names]
    futures = client.map(task, items, settings=settings, pure=False, key=keys, **task_kwargs)
    where = {future.key: i for i, future in enumerate(futures)}
    results = [None] * len(items)
    try:
        for future in as_completed(futures, timeout=timeout):
            results[where[future.key]] = future.result()
            bar.update(results[where[future.key]])
    finally:
        bar.close()
        client.cancel(futures)
    return results


def check_scheduler(address, timeout):
    """Ask the scheduler at `address` who it is, within `timeout` seconds.

    Client() alone can wait forever on a server that accepts the connection
    and never answers, so the first exchange runs under a deadline of its own.
    Returns the number of workers.
    """
    import asyncio
    from concurrent.futures import ThreadPoolExecutor

    from distributed.core import rpc

    async def identity():
        async with rpc(address, timeout=timeout) as scheduler:
            return await scheduler.identity()

    try:
        # on a thread of its own, so that it also works under a running event loop
        with ThreadPoolExecutor(max_workers=1) as probe:
            ident = probe.submit(asyncio.run, asyncio.wait_for(identity(), timeout)).result()
    except (TimeoutError, asyncio.TimeoutError):
        raise SchedulerError(f"no Dask scheduler answered at {address} within {timeout:g} s") from None
    except ValueError as e:
        raise SchedulerError(f"bad scheduler address {address!r}: {e}") from None
    except MemoryError:
        # a frame length read from a server that speaks another protocol
        raise SchedulerError(f"the server at {address} is not a Dask scheduler (the dashboard's HTTP "
                             "port? schedulers listen on tcp, port 8786 by default)") from None
    except Exception as e:
        raise SchedulerError(f"cannot talk to a Dask scheduler at {address}: "
                             f"{type(e).__name__}: {e}") from None
    if not isinstance(ident, dict) or ident.get("type") != "Scheduler":
        raise SchedulerError(f"the server at {address} is not a Dask scheduler")
    return len(ident.get("workers", {}))


def _block_interrupts():
    """Block SIGINT on this thread; returns the mask to restore (None where there is none).

    Threads and processes started meanwhile inherit the block and keep it, so
    the worker processes of a LocalCluster never see the Ctrl-C that a
    terminal sends to the whole process group: stopping them is left to the
    process that owns the cluster.  An interrupt that arrives meanwhile is
    delivered here when the mask is restored.
    """
    if not hasattr(signal, "pthread_sigmask") or threading.current_thread() is not threading.main_thread():
        return None
    return signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})


class DaskRun:
    """The client for a run: on a new LocalCluster, or on the cluster at `scheduler`.

    `upload` lists the files that the cluster at `scheduler` must import to
    run the tasks (the task's module); this module goes first, since they
    import it.  Closing the run closes the client and, when this run started
    it, the cluster and its worker processes.
    """

    def __init__(self, workers=None, scheduler=None, timeout=10.0, quiet=True, upload=()):
        from distributed import Client, LocalCluster

        self.cluster = None
        self.client = None
        level = logging.ERROR if quiet else logging.WARNING
        # Worker restarts and lost connections are reported here as results
        # or errors, not as log noise.
        for name in ("distributed", "tornado"):
            logging.getLogger(name).setLevel(level)
        if scheduler:
            workers_there = check_scheduler(scheduler, timeout)
            try:
                self.client = Client(scheduler, timeout=timeout)
            except (OSError, TimeoutError) as e:
                raise SchedulerError(f"cannot connect to the Dask scheduler at {scheduler}: {e}") from None
            try:
                if workers_there == 0:
                    self.client.wait_for_workers(1, timeout=timeout)
            except (TimeoutError, OSError):
                self.close()
                raise SchedulerError(f"the scheduler at {scheduler} has no workers "
                                     f"(waited {timeout:g} s)") from None
            try:
                for path in (HERE, *upload):
                    self.client.upload_file(str(path))
            except Exception as e:
                self.close()
                raise SchedulerError(f"the cluster at {scheduler} cannot import this example "
                                     f"({type(e).__name__}: {e}); install pelmora, numpy and scipy "
                                     "into the scheduler's and each worker's environment (pip install .)") from None
            self.description = f"cluster at {scheduler}"
        else:
            import dask

            mask = _block_interrupts()
            try:
                # Workers that sample their own stacks every few milliseconds
                # take the interpreter from the task each time: the tasks
                # are the work here, so the profiler stays off.
                with dask.config.set({"distributed.worker.profile.enabled": False}):
                    self.cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                                dashboard_address=":0",
                                                # a task's error reaches this process as its
                                                # future's exception; the workers' own reports
                                                # of it, and of lost heartbeats while the
                                                # cluster closes, would only repeat it
                                                silence_logs=logging.CRITICAL if quiet else level)
                self.client = Client(self.cluster, timeout=timeout)
            except BaseException:
                self.close()
                raise
            finally:
                if mask is not None:
                    try:
                        signal.pthread_sigmask(signal.SIG_SETMASK, mask)
                    except KeyboardInterrupt:
                        self.close()  # Ctrl-C during start-up: stop what has started
                        raise
            self.description = f"LocalCluster of {workers} worker processes"

    def worker_count(self):
        return len(self.client.scheduler_info()["workers"])

    def close(self, timeout=10.0):
        """Closes the client, then the cluster this run started.

        By now every result is in: a shutdown that fails or overruns its
        timeout (a nanny still restarting a worker that was killed, say) is
        reported in one line and does not lose the run.
        """
        # What the scheduler and the nannies say while they shut down is noise.
        logging.getLogger("distributed").setLevel(logging.CRITICAL)
        failed = []
        for what in ("client", "cluster"):
            part = getattr(self, what)
            setattr(self, what, None)
            if part is None:
                continue
            try:
                part.close(timeout=timeout)
            except Exception as e:
                failed.append(f"the {what} ({type(e).__name__}{': ' + str(e) if str(e) else ''})")
        if failed:
            print(f"warning: the Dask shutdown did not finish within {timeout:g} s: {' and '.join(failed)}; "
                  "every task had finished, so the results stand", file=sys.stderr, flush=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def run(args, task, items, settings, describe=None, unit="basin", names=None, upload=()):
    """The run the options ask for: (results, wall seconds, description).

    The wall time counts the tasks only, not starting a cluster.
    """
    progress = not getattr(args, "quiet", False)
    if args.threads:
        start = time.perf_counter()
        results = run_threads(task, items, settings, args.threads, progress, describe, unit)
        return results, time.perf_counter() - start, f"{args.threads} threads in one process"
    if not args.scheduler and args.workers == 0:
        start = time.perf_counter()
        results = run_serial(task, items, settings, progress, describe, unit)
        return results, time.perf_counter() - start, "serial, in this process"
    up = time.perf_counter()
    with DaskRun(args.workers, args.scheduler, args.connect_timeout, upload=upload) as dask_run:
        if progress:
            print(f"{dask_run.description}: {dask_run.worker_count()} workers ready in "
                  f"{time.perf_counter() - up:.1f} s", flush=True)
        start = time.perf_counter()
        results = run_dask(dask_run.client, task, items, settings, progress, describe=describe, unit=unit,
                           names=names)
        wall = time.perf_counter() - start
    return results, wall, dask_run.description


# ---- a script's end --------------------------------------------------------------

def stop_status(work):
    """work() as (its result, None), or (None, exit status) when the run stopped early.

    Ctrl-C is status 130 and a scheduler that cannot be used status 2; either
    way the reason is one line on stderr.
    """
    try:
        return work(), None
    except KeyboardInterrupt:
        print(f"\n{INTERRUPTED}", file=sys.stderr, flush=True)
        return None, 130
    except SchedulerError as e:
        print(f"error: {e}", file=sys.stderr, flush=True)
        return None, 2


def total_line(start):
    """The last line of a script: wall seconds since `start` (perf_counter), and what it ran on."""
    return (f"total wall time {time.perf_counter() - start:.1f} s (Python {sys.version.split()[0]}, "
            f"GIL {'on' if getattr(sys, '_is_gil_enabled', lambda: True)() else 'off'}, "
            f"{os.cpu_count()} cores)")
