"""The ThreadSanitizer step's judge: a finding always fails, a run in which
the runtime failed by itself with no finding is run again, and otherwise the
tests' verdict stands."""

import pathlib
import subprocess

import pytest

SCRIPT = pathlib.Path(__file__).resolve().parent.parent / "scripts" / "tsan_run.sh"
FINDING = "WARNING: ThreadSanitizer: data race (pid=1)\n"
FAULT = "==1==ERROR: ThreadSanitizer failed to allocate 0x10 (16) bytes at address 100000000000 (errno: 12)\n"

# A stand-in for the test command: attempt k (counted in a file) writes
# report k, if any, to the log and exits with code k.
FAKE = """
n=$(( $(cat "$1/count" 2>/dev/null || echo 0) + 1 )); echo $n > "$1/count"
set -- "$1" $2
shift $n
spec=${1:-0:}
[ -n "${spec#*:}" ] && printf '%b' "${spec#*:}" > "$LOG.$n"
exit ${spec%%:*}
"""


@pytest.mark.parametrize(
    "attempts, rc, runs, said",
    [
        # clean run
        (["0:"], 0, 1, None),
        # a finding fails at once, even when the tests passed
        ([f"66:{FINDING}", "0:"], 66, 1, "reported the findings above: failing"),
        ([f"1:{FINDING}"], 66, 1, "reported the findings above: failing"),
        # a failing test is the verdict of a run without reports
        (["1:"], 1, 1, None),
        # a runtime fault is run again: it may have failed a test by killing
        # a child process
        ([f"66:{FAULT}", "0:"], 0, 2, "attempt 1 of 3: the ThreadSanitizer runtime failed by itself"),
        ([f"1:{FAULT}", "0:"], 0, 2, "attempt 1 of 3: the ThreadSanitizer runtime failed by itself"),
        ([f"1:{FAULT}", "1:"], 1, 2, None),
        ([f"66:{FAULT}", f"66:{FINDING}"], 66, 2, "reported the findings above: failing"),
        ([f"66:{FAULT}"] * 3, 66, 3, "the ThreadSanitizer runtime failed on every attempt: failing"),
        ([f"1:{FAULT}"] * 3, 1, 3, "the ThreadSanitizer runtime failed on every attempt: failing"),
        # the runtime died and left nothing: fail, nothing to judge
        (["66:"], 66, 1, None),
    ],
)
def test_judges_reports(tmp_path, attempts, rc, runs, said):
    log = tmp_path / "tsan-report"
    specs = " ".join(a.replace(" ", "\\x20").replace("\n", "\\n") for a in attempts)
    run = subprocess.run(
        ["bash", str(SCRIPT), str(log), "bash", "-c", FAKE, "fake", str(tmp_path), specs],
        capture_output=True, text=True, timeout=60, env={"LOG": str(log), "PATH": "/usr/bin:/bin"},
    )
    assert run.returncode == rc, run.stderr
    assert int((tmp_path / "count").read_text()) == runs
    if said:
        assert said in run.stderr
    # every report written is shown, last attempt's included
    for spec in attempts[:runs]:
        body = spec.split(":", 1)[1]
        if body:
            assert body.strip() in run.stderr
