"""Density estimation: epanechnikov_kde, find_optimal_bandwidth,
bandwidth_estimate, round_float.

Results are defined to the bit, so values are compared with ==. The Python
references below repeat the operation order of the native code (Python floats
are IEEE doubles and math.* calls the same C library), which makes them an
independent check of that order.
"""

import inspect
import math
import shutil
import subprocess
import textwrap
from pathlib import Path

import numpy as np
import pytest

import quarnel
from conftest import panic_exception, run_python

FLOOR = -690.7755278982137  # ln(1e-300)
INF = math.inf
NAN = math.nan
SRC = Path(__file__).resolve().parent.parent / "src"

# Brent example table: 4 test rows, 3 distances each.
BRENT_TABLE = [[0.1, 0.3, 0.7], [0.2, 0.25, 0.9], [0.05, 0.6, 1.2], [0.4, 0.5, 0.8]]

LANCZOS = [0.9999999999998099, 676.5203681218851, -1259.1392167224028,
           771.3234287776531, -176.6150291621406, 12.507343278686905,
           -0.13857109526572012, 9.984369578019572e-06, 1.5056327351493116e-07]


# ---------------------------------------------------------------- references

def ref_gamma(x):
    if x < 0.5:
        s = math.sin(x * math.pi)
        return math.pi / (s * ref_gamma(1 - x))
    z = x - 1
    a = LANCZOS[1] / (z + 1) + LANCZOS[0]
    for i in range(2, 9):
        a = a + LANCZOS[i] / (z + i)
    t = (z + 7) + 0.5
    return (math.exp(-t) * (math.pow(t, z + 0.5) * 2.5066282746310002)) * a


def ref_c(d):
    table = {1: 4.0, 2: 6.283185307179586, 3: 8.377580409572781}
    if d in table:
        two_v = table[d]
    else:
        q = math.pow(math.pi, d / 2) / ref_gamma(d / 2 + 1)
        two_v = q + q
    return (d + 2.0) / two_v


def ref_power(h, d):
    result, base = 1.0, h
    while True:
        if d & 1:
            result *= base
        d >>= 1
        if d == 0:
            return result
        base *= base


def ref_rho(row, h, d, n_total, *, reciprocal=False, factor_c=False, libm_pow=False):
    """Log-density of one row; the keyword switches give plausible but wrong
    operation orders, used to show that the tests can tell them apart."""
    c = ref_c(d)
    denom = (math.pow(h, d) if libm_pow else ref_power(h, d)) * float(n_total)
    inv_h = 1.0 / h
    s = 0.0
    for v in row:
        u = v * inv_h if reciprocal else v / h
        if u <= 1:
            s = s + (1 - u * u) * (1.0 if factor_c else c)
    if factor_c:
        s = s * c
    r = s / denom
    return math.log(r if r >= 1e-300 else 1e-300)


def ref_search(table, h_min, h_max, d, n_train, xtol):
    """Brent's search as the module defines it, driving epanechnikov_kde."""
    n = table.shape[0]

    def f(h):
        total = -0.0
        for v in quarnel.epanechnikov_kde(table, h, d, n_train).tolist():
            total = total + v
        return (-total) / float(n)

    g = 0.3819660112501051
    a, b = h_min, h_max * 0.2
    x = w = v = a + (b - a) * g
    fx = fw = fv = f(x)
    e = d_step = 0.0
    count = 1
    while True:
        tol1 = xtol * abs(x) + 1e-10
        xm = (a + b) * 0.5
        tol2 = tol1 + tol1
        if abs(x - xm) <= tol2 - (b - a) * 0.5:
            break
        parabolic = False
        if abs(e) > tol1:
            r = (x - w) * (fx - fv)
            q = (x - v) * (fx - fw)
            p = (x - v) * q - (x - w) * r
            q = (q - r) + (q - r)
            if q > 0:
                p = -p
            q = q if q > 0 else -q
            if abs(p) < abs(e * (q * 0.5)) and p > (a - x) * q and p < (b - x) * q:
                parabolic = True
                d_step = p / q
                u = x + d_step
                if u - a < tol2 or b - u < tol2:
                    d_step = tol1 if x < xm else -tol1
        if not parabolic:
            e = b - x if x < xm else a - x
            d_step = e * g
        if abs(d_step) >= tol1:
            u = x + d_step
        else:
            u = x + tol1 if d_step > 0 else x - tol1
        fu = f(u)
        if fu <= fx:
            if u < x:
                b = x
            else:
                a = x
            v, fv, w, fw, x, fx = w, fw, x, fx, u, fu
        else:
            if u < x:
                a = u
            else:
                b = u
            if fu <= fw or abs(w - x) < 1e-15:
                v, fv, w, fw = w, fw, u, fu
            elif fu <= fv or abs(v - x) < 1e-15 or abs(v - w) < 1e-15:
                v, fv = u, fu
        count += 1
        if count == 101:
            break
    return x, count


def kde(rows, h, d, n_total):
    return quarnel.epanechnikov_kde(np.array(rows, dtype=np.float64).reshape(len(rows), -1),
                                    h, d, n_total)


def assert_panics(call, message):
    with pytest.raises(panic_exception()) as info:
        call()
    assert str(info.value) == message


def same(got, want):
    """== for floats, with NaN equal to NaN and the sign of zero checked."""
    if isinstance(want, float) and math.isnan(want):
        return math.isnan(got)
    return got == want and math.copysign(1, got) == math.copysign(1, want)


# ------------------------------------------------------------ quoted values

QUOTED = [
    # epanechnikov_kde rows
    ("kde d1 h1 N4", lambda: kde([[0, 0.5, 1, 2]], 1.0, 1, 4)[0], -1.114360645636249),
    ("kde d2 h2 N10", lambda: kde([[0, 1, 3]], 2.0, 2, 10)[0], -3.5808463714679686),
    ("kde d2 h2 N10 via S", lambda: kde([[0, 1, 3]], 2.0, 2, 10)[0],
     math.log(1.1140846016432673 / 40.0)),
    ("kde negative h", lambda: kde([[0, 0.5]], -1, 2, 10)[0], -2.194552010348078),
    ("kde negative h via S", lambda: kde([[0, 0.5]], -1.0, 2, 10)[0],
     math.log(1.1140846016432673 / 10.0)),
    ("kde negative h floored", lambda: kde([[0, 0.5, 2]], -1.0, 2, 10)[0], FLOOR),
    ("kde floor value", lambda: FLOOR, math.log(1e-300)),
    ("kde k=0", lambda: quarnel.epanechnikov_kde(np.zeros((3, 0)), 1.0, 2, 10).tolist(),
     [FLOOR] * 3),
    ("kde all beyond h", lambda: kde([[1.5, 2.0, 3.0]], 1.0, 2, 10)[0], FLOOR),
    ("kde h=0", lambda: kde([[0.0, 0.5], [1.0, 2.0]], 0.0, 2, 10).tolist(), [FLOOR, FLOOR]),
    ("kde N=0 S>0", lambda: kde([[0.0, 0.5]], 1.0, 2, 0)[0], INF),
    ("kde N=0 S=0", lambda: kde([[2.0, 3.0]], 1.0, 2, 0)[0], FLOOR),
    # kernel constants, seen through a single zero distance (S = c, D = 1)
    *[(f"c({d})", (lambda d=d: kde([[0.0]], 1.0, d, 1)[0]), math.log(c)) for d, c in [
        (0, 0.9999999999999998), (1, 0.75), (2, 0.6366197723675814),
        (3, 0.5968310365946076), (4, 0.6079271018540269), (5, 0.6649202676528417),
        (8, 1.2319178705621203)]],
    ("S = c + 0.75 c", lambda: (0.0 + 1.0 * 0.6366197723675814) + 0.75 * 0.6366197723675814,
     1.1140846016432673),
    # round_float
    *[(f"round_float({x!r})", (lambda x=x: quarnel.round_float(x)), want) for x, want in [
        (345.6, 100.0), (0.034, 0.01), (-7.2, 1.0), (1000.0, 1000.0),
        (999.9999999999999, 1000.0), (0.3, 0.1), (0.0, 0.0), (-0.0, 0.0),
        (5e-324, 0.0), (INF, INF), (-INF, INF), (NAN, NAN)]],
    # bandwidth_estimate
    ("bandwidth_estimate example",
     lambda: quarnel.bandwidth_estimate(np.array([[0.0, 2.0]]), np.array([[0.0, 0.0]]),
                                        np.array([[3.0, 4.0]])),
     (14.142135623730951, 1.4142135623730951, 3.5355339059327378)),
    # Brent search
    ("brent example count",
     lambda: quarnel.find_optimal_bandwidth(np.array(BRENT_TABLE), 0.1, 10, 2, 100, 1e-5)[1],
     15),
    ("brent example value prefix",
     lambda: repr(quarnel.find_optimal_bandwidth(np.array(BRENT_TABLE), 0.1, 10, 2, 100,
                                                 1e-5)[0])[:12],
     "0.4559056825"),
    ("brent evaluation limit count",
     lambda: quarnel.find_optimal_bandwidth(np.array(BRENT_TABLE[:2]), 0.1, 10, 2, 100, -1)[1],
     101),
    ("brent evaluation limit value prefix",
     lambda: repr(quarnel.find_optimal_bandwidth(np.array(BRENT_TABLE[:2]), 0.1, 10, 2, 100,
                                                 -1)[0])[:10],
     "0.28085706"),
    ("brent empty interval",
     lambda: quarnel.find_optimal_bandwidth(np.array(BRENT_TABLE), 1, 5, 2, 100, 1e-5),
     (1.0, 1)),
    ("brent empty table",
     lambda: quarnel.find_optimal_bandwidth(np.zeros((0, 3)), 0.1, 10, 2, 100, 1e-5),
     (0.8257354213751996, 25)),
    ("brent first point", lambda: 0.1 + (2.0 - 0.1) * 0.3819660112501051, 0.8257354213751996),
]


@pytest.mark.parametrize("call, want", [q[1:] for q in QUOTED], ids=[q[0] for q in QUOTED])
def test_quoted_values(call, want):
    got = call()
    if isinstance(want, float):
        assert same(got, want)
    else:
        assert got == want
        if isinstance(want, tuple):
            assert all(type(g) is type(w) for g, w in zip(got, want))


def test_brent_example_objective():
    """The minimum lies near 0.4559 with f about 3.64903; h = 0.377 floors a row."""
    table = np.array(BRENT_TABLE)
    h, _ = quarnel.find_optimal_bandwidth(table, 0.1, 10, 2, 100, 1e-5)
    f = lambda h: -float(np.sum(quarnel.epanechnikov_kde(table, h, 2, 100))) / 4
    assert round(f(h), 5) == 3.64903
    assert f(0.377) > 170
    grid = np.linspace(0.1, 2.0, 1901)
    assert abs(grid[np.argmin([f(g) for g in grid])] - h) < 2e-3


# ---------------------------------------------------- natively computed constants

DRIVER = r"""
#include <cstdio>
#include "kde/kernel.hpp"
int main() {
    for (double x : {1.0, 2.0, 3.0, 0.5, -0.5}) std::printf("%.17g\n", quarnel::kde::gamma(x));
    for (int d = 0; d <= 8; ++d) std::printf("%.17g\n", quarnel::kde::kernel_constant(d));
}
"""


@pytest.fixture(scope="module")
def native_constants(tmp_path_factory):
    """gamma and the kernel constant straight from the native code (gamma is
    not exported), compiled with the module's floating-point flags."""
    cxx = shutil.which("g++") or shutil.which("c++")
    if cxx is None:
        pytest.skip("no C++ compiler")
    tmp = tmp_path_factory.mktemp("kernel")
    (tmp / "driver.cpp").write_text(DRIVER)
    exe = tmp / "driver"
    subprocess.run([cxx, "-std=c++20", "-O3", "-ffp-contract=off", f"-I{SRC}",
                    str(tmp / "driver.cpp"), str(SRC / "kde" / "kernel_constant.cpp"), "-o", str(exe)],
                   check=True)
    values = [float(v) for v in subprocess.run([str(exe)], check=True, capture_output=True,
                                               text=True).stdout.split()]
    return dict(zip([("gamma", x) for x in (1.0, 2.0, 3.0, 0.5, -0.5)], values[:5])) | {
        ("c", d): values[5 + d] for d in range(9)}


@pytest.mark.parametrize("key, want", [
    (("gamma", 1.0), 0.9999999999999998), (("gamma", 2.0), 1.0000000000000002),
    (("gamma", 3.0), 2.000000000000001), (("gamma", 0.5), 1.7724538509055159),
    (("gamma", -0.5), -3.5449077018110295),
    (("c", 0), 0.9999999999999998), (("c", 1), 0.75), (("c", 2), 0.6366197723675814),
    (("c", 3), 0.5968310365946076), (("c", 4), 0.6079271018540269),
    (("c", 5), 0.6649202676528417), (("c", 8), 1.2319178705621203),
])
def test_native_quoted_constants(native_constants, key, want):
    assert native_constants[key] == want


@pytest.mark.parametrize("d", range(9))
def test_kernel_constant_every_dim(native_constants, d):
    exact = (d + 2) / (2 * math.pi ** (d / 2) / math.gamma(d / 2 + 1))
    assert ref_c(d) == pytest.approx(exact, rel=1e-14)
    assert native_constants[("c", d)] == ref_c(d)
    assert kde([[0.0]], 1.0, d, 1)[0] == math.log(ref_c(d))


# ---------------------------------------------------------- operation order

@pytest.mark.parametrize("d", [1, 2, 3, 4, 5, 7, 8])
def test_log_density_operation_order(d):
    rng = np.random.default_rng(d)
    table = rng.random((200, 16)) * 1.3
    h = 0.7 + rng.random() * 0.2
    got = quarnel.epanechnikov_kde(table, h, d, 997).tolist()
    assert got == [ref_rho(row, h, d, 997) for row in table.tolist()]
    # Each plausible reordering changes some bits, so the == above has teeth.
    for variant in ({"reciprocal": True}, {"factor_c": True}):
        assert got != [ref_rho(row, h, d, 997, **variant) for row in table.tolist()]


@pytest.mark.parametrize("h, d", [(0.9, 5), (0.9, 7), (2.3, 7), (0.55, 8)])
def test_integer_power_differs_from_pow(h, d):
    assert kde([[0.0]], h, d, 3)[0] == ref_rho([0.0], h, d, 3)
    assert kde([[0.0]], h, d, 3)[0] != ref_rho([0.0], h, d, 3, libm_pow=True)


@pytest.mark.parametrize("n, k, d, h_min, h_max, xtol, messy", [
    (50, 8, 2, 0.01, 5.0, 1e-5, False),
    (51, 7, 2, 0.01, 5.0, 0.0, True),     # unsorted rows, NaN and infinite entries
    (80, 5, 3, 0.05, 3.0, 1e-8, False),
    (30, 12, 5, 0.1, 10.0, 1e-3, False),
    (20, 4, 1, 0.01, 2.0, -1.0, False),   # never converges: 101 evaluations
    (40, 6, 2, 2.0, 1.0, 1e-5, False),    # h_min above 0.2 * h_max
    (25, 6, 4, -0.5, 4.0, 1e-5, False),   # interval reaching negative bandwidths
])
def test_brent_matches_reference(n, k, d, h_min, h_max, xtol, messy):
    rng = np.random.default_rng(n * k + d)
    table = rng.random((n, k))
    if messy:
        table[::5, 2] = NAN
        table[::7, 0] = INF
    else:
        table.sort(axis=1)
    assert quarnel.find_optimal_bandwidth(table, h_min, h_max, d, 500, xtol) == \
        ref_search(table, h_min, h_max, d, 500, xtol)


def test_doubling_n_total_lowers_by_ln2():
    table = np.sort(np.random.default_rng(3).random((50, 8)), axis=1)
    once = quarnel.epanechnikov_kde(table, 0.8, 3, 100)
    twice = quarnel.epanechnikov_kde(table, 0.8, 3, 200)
    finite = once > FLOOR
    assert finite.any()
    np.testing.assert_allclose(once[finite] - twice[finite], math.log(2), rtol=1e-12)


# ----------------------------------------------------------- degenerate input

@pytest.mark.parametrize("rows, h, want", [
    ([[0.0, NAN, 0.5]], 1.0, ref_rho([0.0, 0.5], 1.0, 2, 10)),  # NaN distance adds nothing
    ([[0.0, 0.5]], NAN, FLOOR),
    ([[0.0, 0.5]], INF, FLOOR),          # every term counted, D infinite: ratio 0
    ([[0.0, INF]], 1.0, ref_rho([0.0], 1.0, 2, 10)),
])
def test_kde_degenerate_values(rows, h, want):
    assert kde(rows, h, 2, 10)[0] == want


def test_kde_empty_table():
    out = quarnel.epanechnikov_kde(np.zeros((0, 4)), 1.0, 2, 10)
    assert out.dtype == np.float64 and out.shape == (0,)


@pytest.mark.parametrize("nn_dist, x_train, x_test, want", [
    (np.zeros((0, 2)), np.ones((2, 2)), np.zeros((2, 2)), (NAN, NAN, 1.0)),
    (np.zeros((0, 0)), np.ones((2, 2)), np.zeros((2, 2)), (NAN, NAN, 1.0)),
    (np.full((2, 2), 3.0), np.zeros((0, 2)), np.zeros((4, 2)),
     (10 * math.sqrt(4.5), math.sqrt(4.5), NAN)),
    (np.full((2, 2), 3.0), np.zeros((3, 0)), np.zeros((4, 2)), (INF, INF, NAN)),
    (np.zeros((2, 2)), np.zeros((3, 0)), np.zeros((4, 2)), (NAN, NAN, NAN)),
    # one column: column 0 is used; more columns: column 1
    (np.array([[2.0], [4.0]]), np.zeros((1, 1)), np.zeros((1, 1)),
     (10 * math.sqrt(10.0), math.sqrt(10.0), 0.0)),
    (np.array([[0.0, 2.0, 9.0], [0.0, 4.0, 9.0]]), np.zeros((1, 1)), np.zeros((1, 1)),
     (10 * math.sqrt(10.0), math.sqrt(10.0), 0.0)),
    # x_test may have more columns than x_train; the extra ones are ignored
    (np.array([[0.0, 2.0]]), np.array([[0.0, 0.0]]), np.array([[3.0, 4.0, 99.0]]),
     (14.142135623730951, 1.4142135623730951, 3.5355339059327378)),
])
def test_bandwidth_estimate_edges(nn_dist, x_train, x_test, want):
    got = quarnel.bandwidth_estimate(nn_dist, x_train, x_test)
    assert all(same(g, w) for g, w in zip(got, want)), got


def test_bandwidth_estimate_pair_limit():
    rng = np.random.default_rng(7)
    x_train = rng.random((5000, 3))
    x_test = rng.random((3000, 3))
    x_test[1000:] += 1e6  # would dominate t if any pair past the limit entered
    total = 0.0
    for a, b in zip(x_train[:1000].tolist(), x_test[:1000].tolist()):
        row = 0.0
        for p, q in zip(a, b):
            row = row + (p - q) * (p - q)
        total = total + row
    _, _, t = quarnel.bandwidth_estimate(np.ones((5, 2)), x_train, x_test)
    assert t == math.sqrt(total / 1000 / 3)


@pytest.mark.parametrize("call, message", [
    (lambda: quarnel.bandwidth_estimate(np.zeros((3, 0)), np.ones((2, 2)), np.ones((2, 2))),
     "ndarray: index out of bounds"),
    (lambda: quarnel.bandwidth_estimate(np.ones((3, 2)), np.ones((2, 3)), np.ones((2, 2))),
     "ndarray: index out of bounds"),
    (lambda: quarnel.find_optimal_bandwidth(np.zeros((4, 0)), 0.1, 10, 2, 100, 1e-5),
     "attempt to divide by zero"),
    (lambda: quarnel.find_optimal_bandwidth(np.zeros((0, 0)), 0.1, 10, 2, 100, 1e-5),
     "attempt to divide by zero"),
])
def test_internal_stops(call, message):
    assert_panics(call, message)


def test_scalar_kinds():
    """bandwidth is a float scalar (an int converts), dim a size scalar."""
    assert quarnel.epanechnikov_kde(np.array([[0.0, 0.5]]), -1, np.uint8(2), 10)[0] == \
        -2.194552010348078
    with pytest.raises(TypeError, match="^argument 'dim': "):
        quarnel.epanechnikov_kde(np.zeros((1, 1)), 1.0, 2.0, 10)


@pytest.mark.parametrize("name, params, doc", [
    ("epanechnikov_kde", ["nn_dist", "bandwidth", "dim", "n_total"],
     "Compute log-density using Epanechnikov kernel from pre-computed k-NN distances."),
    ("find_optimal_bandwidth", ["nn_dist_test", "h_min", "h_max", "dim", "n_train", "xtol"],
     "Find optimal bandwidth using Brent's method on test-set negative log-likelihood."),
    ("bandwidth_estimate", ["nn_dist", "x_train", "x_test"],
     "Estimate bandwidth bounds from k-NN distances."),
    ("round_float", ["x"], "Round a float to its first significant digit."),
])
def test_signatures(name, params, doc):
    fn = getattr(quarnel, name)
    assert list(inspect.signature(fn).parameters) == params
    assert fn.__doc__ == doc


# ------------------------------------------------------------ strided input

def _strided_views():
    base = np.random.default_rng(11).random((30, 16)) * 1.2
    return {
        "column slice": base[:, ::2],
        "reversed rows": base[::-1],
        "reversed columns": base[:, ::-1],
        "transposed": base[:8].T,
        "fortran": np.asfortranarray(base),
    }


@pytest.mark.parametrize("name", list(_strided_views()))
def test_strided_inputs(name):
    view = _strided_views()[name]
    copy = np.ascontiguousarray(view)
    assert np.array_equal(quarnel.epanechnikov_kde(view, 0.9, 3, 40),
                          quarnel.epanechnikov_kde(copy, 0.9, 3, 40))
    assert quarnel.find_optimal_bandwidth(view, 0.05, 5.0, 3, 40, 1e-6) == \
        quarnel.find_optimal_bandwidth(copy, 0.05, 5.0, 3, 40, 1e-6)
    half = view.shape[1] // 2
    assert quarnel.bandwidth_estimate(view, view[:, :half], view[::-1]) == \
        quarnel.bandwidth_estimate(copy, np.ascontiguousarray(view[:, :half]),
                                   np.ascontiguousarray(view[::-1]))


# ------------------------------------------------------ thread-count invariance

THREAD_SCRIPT = textwrap.dedent("""
    import hashlib
    import numpy as np
    import quarnel
    rng = np.random.default_rng(5)
    table = np.sort(rng.random((40000, 16)), axis=1)
    print(repr(quarnel.find_optimal_bandwidth(table, 0.01, 5.0, 4, 123456, 1e-9)))
    print(hashlib.sha256(quarnel.epanechnikov_kde(table, 0.3, 4, 40000).tobytes()).hexdigest())
""")


def test_thread_count_invariance():
    runs = [run_python(THREAD_SCRIPT, env={"RAYON_NUM_THREADS": t}) for t in ("1", "2")]
    assert [r.returncode for r in runs] == [0, 0], runs[0].stderr + runs[1].stderr
    assert runs[0].stdout == runs[1].stdout
    assert runs[0].stdout.count("\n") == 2
