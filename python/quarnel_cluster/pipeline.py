"""The stages of a clustering run, each a few calls into the native module.

    neighbours   knn_query: the self neighbour table, n x k; exact copies
                 among the points (Duplicates) are read off it
    bandwidth    seeded train/test split holding out at most
                 MAX_TEST_POINTS; bandwidth_estimate and round_float bound
                 the search, knn_query_cross gives the held-out points their
                 training neighbours (on large sets they are read off a self
                 table one column wider instead), find_optimal_bandwidth
                 minimises their negative log-likelihood
    density      epanechnikov_kde: log-density rho of every point;
                 adaptive_trim_size for the noise level and the search width
    peaks        compute_delta on the first columns of the table: nearest
                 denser neighbour, delta, first centres, density graph
    merging      stability_loop removes centres that are not separated from a
                 denser cluster by a drop in log-density of `threshold`
"""

from __future__ import annotations

import math
from typing import Any
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

import quarnel

F64 = npt.NDArray[np.float64]
I64 = npt.NDArray[np.int64]


def _panic_to_value_error(e: BaseException) -> ValueError:
    return ValueError(f"the neighbour search refused these points: {e}")


def is_internal_stop(e: BaseException) -> bool:
    return type(e).__name__ == "PanicException"


def neighbour_table(x: F64, k: int) -> tuple[F64, I64]:
    """The k nearest points of every point (itself first), as n x k arrays."""
    n = len(x)
    try:
        dist, idx = quarnel.knn_query(x, k)
    except BaseException as e:
        # Inputs the checks let through but the search refuses end here.
        if is_internal_stop(e):
            raise _panic_to_value_error(e) from None
        raise
    return dist.reshape(n, k), idx.reshape(n, k)


# Held-out points of the bandwidth search, at most. The search minimises a
# mean over the held-out points, whose sampling error falls as 1/sqrt(n_test).
# Measured on 10^6 points (3-D, 300 blobs, four seeds): holding out 20000
# points chose bandwidths within 0.06% of each other and 0.1% below the
# choice from all 200000 of the default test_size (5000: 0.3%; 50000: 0.05%),
# a change of the log-densities far below the merging threshold, and the
# held-out part no longer grows with n. A run split over several machines
# holds out the same number.
MAX_TEST_POINTS = 20_000


def test_points(n: int, test_size: float) -> int:
    """Held-out points among n: test_size of them, at least 1 and at most
    MAX_TEST_POINTS."""
    return min(max(1, int(test_size * n)), MAX_TEST_POINTS)


def points_needed(k: int, test_size: float) -> int:
    """Fewest points whose training part (see split) still holds k points."""
    n = k + 1
    while n - test_points(n, test_size) < k:
        n += 1
    return n


def split(n: int, test_size: float, seed: int | None) -> tuple[I64, I64]:
    """Seeded random split of range(n) into sorted (train, test) indices.

    test_points(n, test_size) points are held out. While that is test_size
    of them, they are the head of a seeded permutation of range(n); above
    MAX_TEST_POINTS they are drawn without replacement from the same seeded
    generator, which costs time in n_test only. Either way every point is
    equally likely to be held out, and the training part is the rest.
    """
    rng = np.random.default_rng(seed)
    n_test = test_points(n, test_size)
    if n_test == max(1, int(test_size * n)):
        test = rng.permutation(n)[:n_test]
    else:
        test = rng.choice(n, size=n_test, replace=False)
    test = np.sort(test)
    held_out = np.zeros(n, dtype=bool)
    held_out[test] = True
    return np.flatnonzero(~held_out).astype(np.int64), test.astype(np.int64)


def reads_held_out_from_table(n: int, k: int, test_size: float) -> bool:
    """Whether the bandwidth search takes the held-out points' training
    neighbours from a self table of k + 1 columns (see held_out_in_table)
    instead of a cross query: when MAX_TEST_POINTS bounds the held-out part
    and held-out points are rare enough in the rows that few draws are
    rejected (k + 1 columns times 2 * MAX_TEST_POINTS at most n)."""
    return 2 * (k + 1) * test_points(n, test_size) <= n and \
        test_points(n, test_size) < int(test_size * n)


def held_out_in_table(nn_list: I64, n_test: int, seed: int | None) -> I64 | None:
    """n_test held-out points, sorted, none of which lists another held-out
    point in its row of the self table nn_list (k + 1 columns); None when
    the draws run out first.

    Points are drawn in seeded random order and a draw is kept unless its
    row holds a kept point, or it lies in a kept point's row, or its row
    lacks the point itself. A kept point's row minus the point itself is
    then its k nearest points among all the others, none held out: exactly
    its k nearest training points, as a cross query against the training
    points would find them, without building a tree over them. A row holds
    k + 1 points whatever the local density, so a draw is rejected about
    equally often everywhere. Measured on 10^7 points (3-D blobs), the
    bandwidths of three seeds spread by 0.4% (0.3022 to 0.3053), those of a
    cross query on a plain random sample of the same size by 0.06%, with
    means 0.5% apart: the rule costs some of the sample's precision, not its
    exactness.
    """
    n = len(nn_list)
    order = np.random.default_rng(seed).choice(n, size=min(n, 4 * n_test), replace=False)
    held = np.zeros(n, dtype=bool)
    near_held = np.zeros(n, dtype=bool)
    kept: list[int] = []
    for c, row in zip(order.tolist(), nn_list[order]):
        if near_held[c] or held[row].any() or not (row == c).any():
            continue
        held[c] = True
        near_held[row] = True
        kept.append(c)
        if len(kept) == n_test:
            return np.sort(np.array(kept, dtype=np.int64))
    return None


@dataclass(frozen=True)
class BandwidthSearch:
    bandwidth: float
    low: float          # lower end of the searched interval
    high: float         # upper end
    evaluations: int    # likelihood evaluations made by the search


def search_interval(nn_dist: F64, x_train: F64, x_test: F64) -> tuple[float, float]:
    """Interval for the bandwidth search.

    Low end: the nearest-neighbour length scale rounded down to a power of
    ten. High end: the median distance to the k-th neighbour. The density of
    a point sums its k listed neighbours only, so a bandwidth beyond that
    distance no longer adds points to the kernel and merely flattens the
    density towards a constant.
    """
    _, nn_scale, _ = quarnel.bandwidth_estimate(nn_dist, x_train, x_test)
    kth = nn_dist[:, -1]
    high = float(np.median(kth))
    if not high > 0:
        high = float(kth.max())
    if not high > 0:
        raise ValueError("cannot choose a bandwidth: every point has all its "
                         "n_neighbors neighbours at distance 0; pass bandwidth= "
                         "or raise n_neighbors")
    low = quarnel.round_float(nn_scale)
    if not 0 < low < high:
        low = high / 10
    return low, high


def optimal_bandwidth(x: F64, nn_dist: F64, test_size: float, seed: int | None,
                      xtol: float, wide: tuple[F64, I64] | None = None) -> BandwidthSearch:
    """Bandwidth minimising the negative log-likelihood of held-out points.

    test_points(n, test_size) points are held out (see split), at most
    MAX_TEST_POINTS; each gets its k nearest training points, and the
    density is that of a kernel estimate from all training points. With
    `wide`, the self table with k + 1 columns, and when
    reads_held_out_from_table says so, those neighbours are read off the
    table (held_out_in_table); otherwise a cross query finds them.
    """
    n, d = x.shape
    k = nn_dist.shape[1]
    n_test = test_points(n, test_size)
    test = None
    if wide is not None and reads_held_out_from_table(n, k, test_size):
        test = held_out_in_table(wide[1], n_test, seed)
    if test is not None:
        assert wide is not None
        held_out = np.zeros(n, dtype=bool)
        held_out[test] = True
        # bandwidth_estimate reads at most 1000 rows of each
        train_head = np.flatnonzero(~held_out)[:1000]
        low, high = search_interval(nn_dist, x[train_head], x[test[:1000]])
        rows_dist, rows_list = wide[0][test], wide[1][test]
        cross = rows_dist[rows_list != test[:, None]].reshape(n_test, k)
        n_train = n - n_test
    else:
        train, test = split(n, test_size, seed)
        x_train, x_test = x[train], x[test]
        low, high = search_interval(nn_dist, x_train, x_test)
        try:
            cross, _ = quarnel.knn_query_cross(x_train, x_test, k)
        except BaseException as e:
            if is_internal_stop(e):
                raise _panic_to_value_error(e) from None
            raise
        cross = cross.reshape(len(test), k)
        n_train = len(train)
    # The search's upper end is one fifth of the value passed as h_max.
    h, evaluations = quarnel.find_optimal_bandwidth(cross, low, 5 * high, d, n_train, xtol)
    return BandwidthSearch(h, low, high, evaluations)


def density(nn_dist: F64, bandwidth: float, dim: int) -> F64:
    return quarnel.epanechnikov_kde(nn_dist, bandwidth, dim, len(nn_dist))


def noise_threshold(nn_dist: F64, bandwidth: float, scale: float) -> tuple[float, int]:
    """Log-density drop that separates clusters, from the estimate's noise.

    A kernel estimate from m points has a relative error of about 1/sqrt(m),
    so random bumps of the log-density are of that size; `scale` of them
    make a real valley. m is the median number of neighbours within one
    bandwidth. Returns (threshold, m).
    """
    m = quarnel.adaptive_trim_size(nn_dist, bandwidth, 1.0, 1)
    return scale / math.sqrt(m), m


def search_width(nn_dist: F64, bandwidth: float, alpha: float, min_nh: int) -> int:
    """Columns of the neighbour table searched when testing a centre: the
    median number of neighbours within alpha * bandwidth, at least min_nh."""
    return int(quarnel.adaptive_trim_size(nn_dist, bandwidth, alpha, min_nh))


@dataclass(frozen=True)
class Peaks:
    delta: F64
    nn_delta: I64
    centers: I64
    graph: list[list[int]]


def peaks(x: F64, rho: F64, nn_list: I64, nn_dist: F64, width: int) -> Peaks:
    """Density peaks from the first `width` columns of the neighbour table."""
    delta, nn_delta, centers, graph = quarnel.compute_delta(
        x, rho, nn_list[:, :width], nn_dist[:, :width])
    return Peaks(delta, nn_delta, centers, graph)


@dataclass(frozen=True)
class Clusters:
    centers: I64
    labels: I64
    nn_delta: I64
    delta: F64
    graph: list[list[int]]


def merge(x: F64, rho: F64, found: Peaks, nn_list: I64, threshold: float,
          search_size: int) -> Clusters:
    """Removes false centres until every remaining one stands on its own."""
    centers, labels, nn_delta, delta, graph = quarnel.stability_loop(
        x, rho, found.centers, found.nn_delta, found.delta, nn_list, found.graph,
        threshold, search_size)
    return Clusters(centers, labels, nn_delta, delta, graph)


@dataclass(frozen=True)
class Duplicates:
    """Exact copies among the points: the distinct points are clustered and
    each copy joins its first occurrence (its parent at distance 0)."""
    first: I64 | None     # per distinct point, the index of its first occurrence
    inverse: I64 | None   # per point, its distinct point

    @staticmethod
    def of(x: F64) -> "Duplicates":
        _, first, inverse = np.unique(x, axis=0, return_index=True, return_inverse=True)
        if len(first) == len(x):
            return Duplicates(None, None)
        order = np.argsort(first, kind="stable")    # distinct points in order of appearance
        rank = np.empty_like(order)
        rank[order] = np.arange(len(order))
        return Duplicates(first[order].astype(np.int64), rank[inverse.ravel()].astype(np.int64))

    @staticmethod
    def among_neighbours(x: F64, nn_dist: F64) -> "Duplicates":
        """Duplicates.of(x), from the self neighbour table of all of x
        (at least 2 columns) without sorting every row.

        A point with a copy has two points at distance 0 in its row (itself
        and the copy, in either order), so only rows whose second distance
        is 0 can hold copies; those few rows are sorted. A distance of 0
        between different points (a squared difference below the smallest
        float) makes a candidate that the sort then finds unique.
        """
        candidates = np.flatnonzero(nn_dist[:, 1] == 0.0)
        if len(candidates) == 0:
            return Duplicates(None, None)
        _, first_local, inverse_local = np.unique(x[candidates], axis=0, return_index=True,
                                                  return_inverse=True)
        if len(first_local) == len(candidates):
            return Duplicates(None, None)
        # np.unique's index is that of the first occurrence; candidates are
        # in ascending order, so it is the first occurrence in x too.
        occurrence = candidates[first_local][inverse_local.ravel()]
        is_first = np.ones(len(x), dtype=bool)
        is_first[candidates] = occurrence == candidates
        inverse = np.cumsum(is_first) - 1       # of a first occurrence: its rank
        inverse[candidates] = inverse[occurrence]
        return Duplicates(np.flatnonzero(is_first).astype(np.int64), inverse.astype(np.int64))

    def distinct(self, x: F64) -> F64:
        return x if self.first is None else np.ascontiguousarray(x[self.first])

    def spread(self, values: npt.NDArray[Any]) -> npt.NDArray[Any]:
        """Per-distinct-point values, repeated for every copy."""
        return values if self.inverse is None else values[self.inverse]

    def expand(self, c: Clusters) -> Clusters:
        if self.first is None or self.inverse is None:
            return c
        first, inverse = self.first, self.inverse
        n = len(inverse)
        is_copy = np.ones(n, dtype=bool)
        is_copy[first] = False
        parent = np.where(c.nn_delta >= 0, first[np.maximum(c.nn_delta, 0)], -1)
        nn_delta = np.where(is_copy, first[inverse], parent[inverse]).astype(np.int64)
        delta = np.where(is_copy, 0.0, c.delta[inverse])
        graph: list[list[int]] = [[] for _ in range(n)]
        for u, children in enumerate(c.graph):
            graph[int(first[u])] = [int(first[v]) for v in children]
        for i in np.flatnonzero(is_copy).tolist():
            graph[int(first[inverse[i]])].append(i)
        return Clusters(centers=first[c.centers], labels=c.labels[inverse], nn_delta=nn_delta,
                        delta=delta, graph=graph)
