#!/usr/bin/env python3
"""pelmora benchmark suite.

Every row times a pelmora call against the code a user would otherwise write
with numpy/scipy (its "anchor"), in the same process, alternating the two
(which one goes first alternates too), and reports both medians and their
ratio, pelmora / anchor: lower is better. Three rows are read differently:

- level-pool has no anchor: its figure is nanoseconds per simulated second;
- threads: the same two routing calls on two threads and on one thread; the
  figure is the throughput gain (one-thread time / two-thread time), with a
  probe of what the machine gives two threads at the time;
- memory: peak resident set of a child process routing 1e7 values, as a
  fraction of a budget of input + output + one working vector (3 x 8 bytes
  per value). The baseline is taken once the input series exists, so the
  figure is (8n + peak growth over the baseline) / 24n.

The C++ routing micro-benchmark (bench/cpp), when it has been built next to
the extension, is run too and reported in its own table. It also measures the
machine's latency of one dependent addition, which the kge-arrays row's note
compares against: the efficiency's sums run in index order, so each of its two
passes costs at least one addition latency per value.

    PYTHONPATH=build python3.14 bench/run.py [--json build/bench.json]
        [--rows muskingum,kge-arrays] [--repeats-scale 0.5] [--clock cpu]
        [--no-cpp] [--strict]

Results that pelmora and the anchors compute are checked against each other
before timing (outside the timed region); a mismatch stops the run.

This file is the command line only. Beside it: harness.py (timing, the clock,
row results, tables, the JSON report and the C++ runner), anchors.py (the
reference implementations), workloads.py (the inputs) and rows.py (the rows).
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

import harness
from rows import ROWS, memory_child


def main(argv=None):
    names = [name for name, _ in ROWS]
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--json", default=str(harness.REPO / "build" / "bench.json"),
                    help="where to write the figures (default: build/bench.json)")
    ap.add_argument("--rows", default="", help="comma-separated subset of rows: " + ", ".join(names))
    ap.add_argument("--repeats-scale", type=float, default=1.0,
                    help="multiply every row's repeat count (e.g. 0.3 for a quick look)")
    ap.add_argument("--clock", choices=("wall", "cpu"), default="wall",
                    help="clock of the single-threaded rows (cpu: this thread's CPU time)")
    ap.add_argument("--no-cpp", action="store_true", help="skip the C++ micro-benchmark table (the kge-arrays row still asks it for the addition latency)")
    ap.add_argument("--cpp-binary", default="", help="path of pelmora_bench_routing (default: next to the module)")
    ap.add_argument("--strict", action="store_true", help="exit with status 1 when a target is missed")
    ap.add_argument("--memory-child", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)

    if args.memory_child:
        memory_child()
        return 0

    harness.configure(args.clock, args.cpp_binary)
    selected = [r.strip() for r in args.rows.split(",") if r.strip()] or names
    unknown = [r for r in selected if r not in names]
    if unknown:
        ap.error("unknown rows: " + ", ".join(unknown))

    harness.print_header(args.clock)
    rows = harness.run_rows(ROWS, selected, args.repeats_scale)
    harness.print_table(rows)

    cpp = None
    if not args.no_cpp:
        binary = Path(args.cpp_binary) if args.cpp_binary else harness.find_cpp_bench()
        if binary is None:
            print("\n(C++ micro-benchmark not built: `cmake --build <build> --target pelmora_bench_routing`)")
        else:
            cpp = harness.run_cpp(binary)
            harness.print_cpp(cpp)

    path = harness.write_report(args.json, args.clock, rows, cpp)
    print(f"\nwrote {path}")
    if args.strict and not all(r["pass"] for r in rows):
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
