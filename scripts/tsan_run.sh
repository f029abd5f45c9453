#!/usr/bin/env bash
# Runs a command under ThreadSanitizer and judges what the runtime reported.
#
# Usage: scripts/tsan_run.sh LOG_PREFIX COMMAND [ARG ...]
#
# The command runs with the runtime's log_path set to LOG_PREFIX, so each
# process writes its reports to LOG_PREFIX.<pid>; they are printed after the
# run, last in the output, since a process the runtime kills leaves nothing
# else behind.
#
# - A finding ("WARNING: ThreadSanitizer: ..." - a data race, a lock-order
#   inversion, a misused mutex, ...) fails the run, whatever else happened.
# - A run in which the runtime failed by itself, with no finding (it could
#   not map its shadow memory, or one of its own checks failed), says so and
#   runs again, up to TSAN_ATTEMPTS times in all (default 3).  Such a fault
#   is no verdict on the code under test, which the AddressSanitizer run
#   checks for memory errors; it may have killed a child process and so
#   failed a test, which is why the tests' verdict waits for a clean run.
#   A fault on every attempt fails the run.
# - Otherwise the tests' verdict stands.
set -uo pipefail

[[ $# -ge 2 ]] || { echo "usage: $0 LOG_PREFIX COMMAND [ARG ...]" >&2; exit 2; }
log=$1
shift
attempts=${TSAN_ATTEMPTS:-3}

for ((attempt = 1; attempt <= attempts; attempt++)); do
    rm -f "$log".*
    rc=0
    "$@" || rc=$?
    reports=()
    for report in "$log".*; do
        [[ -f $report ]] && reports+=("$report")
    done
    for report in "${reports[@]}"; do
        echo "==== ThreadSanitizer report $report" >&2
        cat "$report" >&2
    done
    if ((${#reports[@]} == 0)); then
        exit "$rc"
    fi
    if grep -q "WARNING: ThreadSanitizer:" "${reports[@]}"; then
        echo "ThreadSanitizer reported the findings above: failing" >&2
        exit 66
    fi
    echo "attempt $attempt of $attempts: the ThreadSanitizer runtime failed by itself, with no finding (report above)" >&2
done
echo "the ThreadSanitizer runtime failed on every attempt: failing" >&2
((rc != 0)) || rc=66
exit "$rc"
