"""Speed of the clustering stage against the k-NN query it follows.

A realistic pipeline input: 10^6 points drawn from a mixture of 300 Gaussian
blobs (2-D and 3-D), the neighbour table from knn_query with k = 32 and rho
from epanechnikov_kde. The times of compute_delta, stability_loop and
adaptive_trim_size are printed as ratios of the knn_query time on the same
data. Target: all of clustering together <= 0.25 x knn_query.

The ratios want an otherwise idle machine: the native side uses every core.
Run with the project's python (python bench/cluster.py).

Where the time goes: compute_delta and stability_loop each hand back the
density graph as a million Python lists, and stability_loop reads one in;
the line "graph conversion" (the loop called with no centres) shows that
cost alone, and compute_delta pays it again. The rest is the scan for denser neighbours, one labelling
walk and one round of neighbourhood searches per loop iteration.
"""

import math
import time

import numpy as np

import quarnel

N = 10**6
K = 32
BLOBS = 300
THRESHOLD = 1.0   # log-density drop that defines a centre's neighbourhood
ALPHA = 0.5       # trim radius = ALPHA * bandwidth
MIN_NH = 8


def timed(fn, repeat):
    best, result = math.inf, None
    for _ in range(repeat):
        result = None  # freeing the last result is not part of the call
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def blobs(d, seed):
    rng = np.random.default_rng(seed)
    centres = rng.uniform(0.0, 100.0, size=(BLOBS, d))
    scales = rng.uniform(0.5, 2.5, size=BLOBS)
    weights = rng.dirichlet(np.full(BLOBS, 2.0))
    which = rng.choice(BLOBS, size=N, p=weights)
    return centres[which] + rng.normal(size=(N, d)) * scales[which, None]


def loop_iterations(x, rho, centres, nn_delta, delta, nn_list, graph, size):
    """Counts the checks of the loop by running it through the Python functions,
    and confirms that the loop's result is the same."""
    checks = 0
    while True:
        labels = quarnel.assign_cluster(centres, nn_delta, graph)
        centres, removed, nn_delta, delta, graph = quarnel.check_cluster_stability(
            x, rho, centres, nn_delta, delta, nn_list, labels, graph, THRESHOLD, size)
        checks += 1
        if removed == 0:
            return checks, centres


def bench(d):
    x = blobs(d, seed=d)
    t_knn, (flat_dist, flat_idx) = timed(lambda: quarnel.knn_query(x, K), 2)
    nn_dist = flat_dist.reshape(N, K)
    nn_list = flat_idx.reshape(N, K)
    # Rule-of-thumb bandwidth: a typical point has its k neighbours within h.
    h = float(np.median(nn_dist[:, -1]))
    rho = quarnel.epanechnikov_kde(nn_dist, h, d, N)

    t_delta, (delta, nn_delta, centres, graph) = timed(
        lambda: quarnel.compute_delta(x, rho, nn_list, nn_dist), 3)
    t_trim, size = timed(lambda: quarnel.adaptive_trim_size(nn_dist, h, ALPHA, MIN_NH), 3)
    t_loop, final = timed(lambda: quarnel.stability_loop(
        x, rho, centres, nn_delta, delta, nn_list, graph, THRESHOLD, size), 3)
    # The same call with no centres: only the conversion of the density graph
    # to native lists and back (and one empty labelling) remains.
    t_convert, _ = timed(lambda: quarnel.stability_loop(
        x, rho, centres[:0], nn_delta, delta, nn_list, graph, THRESHOLD, size), 3)
    checks, check_centres = loop_iterations(x, rho, centres, nn_delta, delta, nn_list,
                                            graph, size)
    assert np.array_equal(check_centres, final[0])

    total = t_delta + t_loop + t_trim
    print(f"{d}-D, {N} points, {BLOBS} blobs, k = {K}, bandwidth {h:.4g}")
    print(f"  knn_query:          {t_knn * 1e3:8.1f} ms")
    print(f"  compute_delta:      {t_delta * 1e3:8.1f} ms  = {t_delta / t_knn:.3f} x knn")
    print(f"  stability_loop:     {t_loop * 1e3:8.1f} ms  = {t_loop / t_knn:.3f} x knn  "
          f"({checks} iterations, {len(centres)} -> {len(final[0])} centres, "
          f"search_size {size}, threshold {THRESHOLD})")
    print(f"    graph conversion: {t_convert * 1e3:8.1f} ms  = {t_convert / t_knn:.3f} x knn "
          "(the same call with no centres)")
    print(f"  adaptive_trim_size: {t_trim * 1e3:8.1f} ms  = {t_trim / t_knn:.3f} x knn")
    print(f"  clustering total:   {total * 1e3:8.1f} ms  = {total / t_knn:.3f} x knn "
          f"(target <= 0.25)")


if __name__ == "__main__":
    for dim in (2, 3):
        bench(dim)
