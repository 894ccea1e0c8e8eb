"""Fuzzing of all twelve functions (hypothesis, one child interpreter each).

The property (tests/fuzz_driver.py): a call returns a result of the right
form or raises TypeError, ValueError, OverflowError, MemoryError or
PanicException, and leaves its arguments byte-identical; a k-NN table it
returns is the exact one; arguments that differ from plain ones only in form
(memory layout, keyword or position, tuples for lists, NumPy scalars for
numbers) give the same outcome to the bit. Each function is fuzzed in its
own interpreter, so a crash or a hang is reported here with the recipe of
the example that caused it instead of ending the test run.

QUARNEL_FUZZ_EXAMPLES sets the examples per function (default 600, about a minute
or two for all twelve); QUARNEL_FUZZ_SEED fixes hypothesis' seed.
"""
import os
import signal
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import quarnel
from conftest import run_python
from fuzz_driver import check_knn

DRIVER = Path(__file__).with_name("fuzz_driver.py")
EXAMPLES = int(os.environ.get("QUARNEL_FUZZ_EXAMPLES", "600"))


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


# ---- faults the fuzzing found ------------------------------------------------------------

CROSS_ROLES = ["x", "x_train", "x_query"]


def knn_call(role, x, k=4):
    other = np.random.default_rng(1).random((10, x.shape[1]))
    if role == "x":
        return quarnel.knn_query(x, k)
    return quarnel.knn_query_cross(x, other, k) if role == "x_train" else \
        quarnel.knn_query_cross(other, x, k)


@pytest.mark.parametrize("role", CROSS_ROLES)
@pytest.mark.parametrize("huge", [1e200, -1e308, 2.0**508 * (1 + 2**-52)])
def test_knn_refuses_coordinates_whose_squared_distances_overflow(role, huge, PanicException):
    # A point at 1e200 is at an infinite squared distance from the others. The
    # tree takes a point into a row only below the row's worst distance, which
    # starts at infinity, so such rows came back short, their unfilled slots
    # reading "point 0 at distance 0".
    x = np.random.default_rng(0).random((20, 3))
    x[5, 1] = huge
    with pytest.raises(PanicException, match=rf"^{role}: row 5 has a coordinate beyond 2\^508"):
        knn_call(role, x)


@pytest.mark.parametrize("role", CROSS_ROLES)
def test_knn_exact_at_the_coordinate_limit(role):
    rng = np.random.default_rng(2)
    x = rng.choice([-2.0**508, 2.0**508, 0.0, 1.0], (40, 8))
    other = np.random.default_rng(1).random((10, 8))
    values = [x, 6] if role == "x" else [x, other, 6] if role == "x_train" else [other, x, 6]
    check_knn("knn_query" if role == "x" else "knn_query_cross", values, knn_call(role, x, 6))


HUGE_TREE = """
import numpy as np, quarnel
x = np.zeros((100_000, 2))
x[:, 0] = {top!r} * (1 - np.arange(len(x)) * 1e-12)
try:
    print(len(quarnel.knn_query(x, 2)[0]))
except BaseException as e:
    print(type(e).__name__)
"""


@pytest.mark.parametrize("top, expected", [(1e308, "PanicException"), (2.0**508, "200000")])
def test_knn_tree_over_huge_coordinates_is_not_built_one_point_per_level(top, expected):
    # Near 1e308 the tree's midpoint of two coordinates overflowed to
    # infinity, every split cut off one point, and the recursive build of
    # 10^5 points overflowed the stack of the main thread.
    proc = run_python(HUGE_TREE.format(top=top), timeout=300)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout.strip() == expected


def unaligned(a):
    """`a`'s content in a buffer one byte past an 8-byte boundary."""
    raw = np.zeros(a.nbytes + 8, np.uint8)
    out = raw[1:1 + a.nbytes].view(a.dtype).reshape(a.shape)
    out[...] = a
    return out


@pytest.mark.parametrize("call, name", [
    (lambda u: quarnel.knn_query(u(np.random.default_rng(0).random((30, 3))), 2), "x"),
    (lambda u: quarnel.compute_delta(np.ones((3, 2)), u(np.ones(3)), np.zeros((3, 1), np.int64),
                                     np.ones((3, 1))), "rho"),
    (lambda u: quarnel.compute_delta(np.ones((3, 2)), np.ones(3), u(np.zeros((3, 1), np.int64)),
                                     np.ones((3, 1))), "nn_list"),
    (lambda u: quarnel.assign_cluster(u(np.zeros(1, np.int64)), np.zeros(3, np.int64),
                                      [[1], [2], []]), "idx_centers"),
])
def test_unaligned_arrays_are_refused(call, name):
    # Their elements cannot be read through a double or int64 pointer without
    # undefined behaviour (misaligned loads; vector loads that assume 8-byte
    # alignment may fault), so they are refused like odd strides.
    call(lambda a: a)  # the aligned arrays are accepted
    with pytest.raises(TypeError) as info:
        call(unaligned)
    assert str(info.value) == f"argument '{name}': 'ndarray' object cannot be converted to 'PyArray<T, D>'"
