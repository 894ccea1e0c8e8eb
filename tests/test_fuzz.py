"""Fuzzing of all twelve functions (hypothesis, one child interpreter each).

The property (tests/fuzz_driver.py): a call returns a result of the right
form or raises TypeError, ValueError, OverflowError, MemoryError or
PanicException, and leaves its arguments byte-identical. Each function is
fuzzed in its own interpreter, so a crash or a hang is reported here with the
recipe of the example that caused it instead of ending the test run.

QUARNEL_FUZZ_EXAMPLES sets the examples per function (default 250, a couple
of minutes for all twelve); QUARNEL_FUZZ_SEED fixes hypothesis' seed.
"""
import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest

import quarnel

DRIVER = Path(__file__).with_name("fuzz_driver.py")
EXAMPLES = int(os.environ.get("QUARNEL_FUZZ_EXAMPLES", "250"))


def describe_death(proc, last):
    recipe = last.read_text() if last.exists() else "<none recorded>"
    how = (f"killed by {signal.Signals(-proc.returncode).name}" if proc.returncode < 0
           else f"exit status {proc.returncode}")
    return (f"fuzz child {how}\nlast example: {recipe}\n"
            f"replay: {sys.executable} {DRIVER} replay {recipe!r}\n"
            f"stdout tail:\n{proc.stdout[-4000:]}\nstderr tail:\n{proc.stderr[-4000:]}")


@pytest.mark.parametrize("function", quarnel.__all__)
def test_fuzz(function, tmp_path):
    last = tmp_path / "last_example"
    env = dict(os.environ, QUARNEL_FUZZ_LAST=str(last))
    timeout = 120 + EXAMPLES * 2
    try:
        proc = subprocess.run([sys.executable, str(DRIVER), "run", function, str(EXAMPLES)],
                              capture_output=True, text=True, env=env, timeout=timeout)
    except subprocess.TimeoutExpired as e:
        recipe = last.read_text() if last.exists() else "<none recorded>"
        pytest.fail(f"fuzz child hung for {timeout} s; last example: {recipe}\n"
                    f"stderr tail:\n{(e.stderr or b'')[-4000:]!r}")
    assert proc.returncode == 0, describe_death(proc, last)
    assert f"outcomes {function}" in proc.stdout
