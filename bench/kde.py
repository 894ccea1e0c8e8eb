"""Speed of the density functions against peers measured in the same run.

    epanechnikov_kde, 10^6 x 32:  vs numpy summing the same array (memory floor)
                                  vs the same formula in vectorised numpy
    find_optimal_bandwidth, 10^5 x 32 test rows:
                                  vs scipy.optimize.minimize_scalar(method="brent")
                                  on the same objective in vectorised numpy

Ratios are peer time / quarnel time unless stated; run with the project's
python (python bench/kde.py). The machine should be otherwise idle: the
native side uses every core, the peers one.
"""

import math
import time

import numpy as np
import scipy.optimize

import quarnel


def best_of(fn, repeat):
    best = math.inf
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def kernel_constant(d):
    return (d + 2) / (2 * math.pi ** (d / 2) / math.gamma(d / 2 + 1))


def numpy_kde(nn_dist, h, d, n_total):
    """The log-density formula, vectorised over the whole table."""
    u = nn_dist / h
    terms = np.where(u <= 1.0, (1.0 - u * u) * kernel_constant(d), 0.0)
    ratio = terms.sum(axis=1) / (h ** d * n_total)
    return np.log(np.fmax(ratio, 1e-300))


def bench_kde():
    rng = np.random.default_rng(0)
    n, k, h, d = 10**6, 32, 0.5, 3
    nn_dist = np.sort(rng.random((n, k)), axis=1)

    ours = best_of(lambda: quarnel.epanechnikov_kde(nn_dist, h, d, n), 5)
    floor = best_of(lambda: nn_dist.sum(), 5)
    formula = best_of(lambda: numpy_kde(nn_dist, h, d, n), 2)
    np.testing.assert_allclose(quarnel.epanechnikov_kde(nn_dist, h, d, n),
                               numpy_kde(nn_dist, h, d, n), rtol=1e-12)

    print(f"epanechnikov_kde {n} x {k}: {ours * 1e3:.1f} ms")
    print(f"  numpy sum (memory floor): {floor * 1e3:.1f} ms; "
          f"quarnel / floor = {ours / floor:.2f} (target <= 2)")
    print(f"  numpy formula: {formula * 1e3:.1f} ms; "
          f"numpy formula / quarnel = {formula / ours:.1f} (target >= 5)")


def bench_bandwidth():
    rng = np.random.default_rng(1)
    n, k, d, n_train = 10**5, 32, 3, 4 * 10**5
    table = np.sort(rng.random((n, k)), axis=1) * 0.6
    h_min, h_max, xtol = 0.02, 10.0, 1e-5

    def objective(h):
        return -float(np.mean(numpy_kde(table, h, d, n_train)))

    found = {}

    def ours():
        found["quarnel"] = quarnel.find_optimal_bandwidth(table, h_min, h_max, d, n_train, xtol)

    def scipy_brent():
        found["scipy"] = scipy.optimize.minimize_scalar(
            objective, bracket=(h_min, 0.2 * h_max), method="brent", tol=xtol)

    t_ours = best_of(ours, 5)
    t_scipy = best_of(scipy_brent, 2)
    h, count = found["quarnel"]
    res = found["scipy"]
    print(f"find_optimal_bandwidth {n} x {k}: {t_ours * 1e3:.1f} ms, "
          f"h = {h:.6f}, {count} evaluations")
    print(f"  scipy brent: {t_scipy * 1e3:.1f} ms, h = {res.x:.6f}, {res.nfev} evaluations; "
          f"scipy / quarnel = {t_scipy / t_ours:.1f} (target >= 10)")
    print(f"  per evaluation: scipy / quarnel = "
          f"{(t_scipy / res.nfev) / (t_ours / count):.1f}")


if __name__ == "__main__":
    bench_kde()
    bench_bandwidth()
