"""The stages of a clustering run, each a few calls into the native module
(stages.py calls them in order; records.py has what they pass).

    neighbours   the self neighbour table, n x k: knn_query, or for one
                 column or more than eight the searches of neighbours.py;
                 exact copies among the points (records.Duplicates) are read off it
    bandwidth    seeded train/test split holding out at most
                 MAX_TEST_POINTS; bandwidth_estimate and round_float bound
                 the search, the cross search of neighbours.py gives the
                 held-out points their training neighbours (on large sets
                 they are read off a self table one column wider instead),
                 find_optimal_bandwidth minimises their negative
                 log-likelihood
    density      epanechnikov_kde: log-density rho of every point;
                 adaptive_trim_size for the noise level and the search width
    peaks        compute_delta on the first columns of the table: nearest
                 denser neighbour, delta, first centres (its density graph
                 is built only when asked for: records.DensityGraph)
    merging      every peak whose group meets a higher peak's at a saddle
                 less than `threshold` below it joins that group, across
                 its highest saddle (controls.merge_shallow_peaks); by
                 default the depth is read in the estimate's noise at the
                 peak and at the saddle, a group's top over its noise
                 bumps (local_noise)

Only the neighbour searches are limited to 2-8 columns. The other calls take
the points of any column count as they are: bandwidth_estimate reads them
for a length scale per dimension, compute_delta for the diagonal of their
bounding box; both sum over however many columns there are.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, Callable

import numpy as np

import quarnel

from . import _native as native
from . import neighbours
from .neighbours import Indices
from .records import F64, I64, BandwidthSearch, Clusters, DensityGraph, HeldOut, Peaks

if TYPE_CHECKING:
    from .controls import LocalNoise


def neighbour_table(x: F64, k: int, timings: dict[str, float] | None = None,
                    progress: np.ndarray | None = None) -> tuple[F64, Indices]:
    """The min(k, n) nearest points of every point (itself first), as n-row
    arrays; any number of columns (see neighbours.py, which records the
    road taken beyond 8 columns in `timings`). The indices are int32 below
    2^31 points on the trees' roads: every reader of the table takes them as
    they are (NumPy indexing, the native helpers)."""
    return neighbours.self_table(x, k, timings, progress)


# Held-out points of the bandwidth search, at most. The search minimises a
# mean over the held-out points, whose sampling error falls as 1/sqrt(n_test):
# at 20000 points the bandwidth's error changes the log-densities far less
# than the merging threshold, and the held-out part no longer grows with n. A run split over several machines
# holds out the same number.
MAX_TEST_POINTS = 20_000


def test_points(n: int, test_size: float) -> int:
    """Held-out points among n: test_size of them, at least 1 and at most
    MAX_TEST_POINTS."""
    return min(max(1, int(test_size * n)), MAX_TEST_POINTS)


def generator(seed: Any) -> Any:
    """A random generator from an int or None; a numpy RandomState is used
    as it is (and advanced)."""
    return seed if isinstance(seed, np.random.RandomState) else np.random.default_rng(seed)


def split(n: int, test_size: float, seed: Any) -> tuple[I64, I64]:
    """Seeded random split of range(n) into sorted (train, test) indices;
    seed: an int, None or a numpy RandomState.

    test_points(n, test_size) points are held out. While that is test_size
    of them, they are the head of a seeded permutation of range(n); above
    MAX_TEST_POINTS they are drawn without replacement from the same seeded
    generator, which costs time in n_test only. Either way every point is
    equally likely to be held out, and the training part is the rest.
    """
    rng = generator(seed)
    n_test = test_points(n, test_size)
    if n_test == max(1, int(test_size * n)):
        test = rng.permutation(n)[:n_test]
    else:
        test = rng.choice(n, size=n_test, replace=False)
    test = np.sort(test)
    held_out = np.zeros(n, dtype=bool)
    held_out[test] = True
    return np.flatnonzero(~held_out).astype(np.int64, copy=False), test.astype(np.int64)


def reads_held_out_from_table(n: int, k: int, test_size: float) -> bool:
    """Whether the bandwidth search takes the held-out points' training
    neighbours from a self table of k + 1 columns (see held_out_in_table)
    instead of a cross query: when MAX_TEST_POINTS bounds the held-out part
    and held-out points are rare enough in the rows that few draws are
    rejected (k + 1 columns times 2 * MAX_TEST_POINTS at most n)."""
    return 2 * (k + 1) * test_points(n, test_size) <= n and \
        test_points(n, test_size) < int(test_size * n)


def table_columns(n: int, n_neighbors: int, bandwidth: float | None,
                  test_size: float) -> tuple[int, int]:
    """(k, the self table's columns) for n distinct points: k = n_neighbors,
    at most n, and one column more where the bandwidth search reads its
    held-out points' neighbours off the table (reads_held_out_from_table)."""
    k = min(n_neighbors, n)
    wider = bandwidth is None and k < n and reads_held_out_from_table(n, k, test_size)
    return k, k + int(wider)


def held_out_order(n: int, n_test: int, seed: Any) -> I64:
    """The seeded order in which held_out_in_table draws its candidates."""
    return generator(seed).choice(n, size=min(n, 4 * n_test), replace=False)


def held_out_in_table(nn_list: Indices, n_test: int, seed: Any) -> I64 | None:
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
    equally often everywhere. The rule costs some of the sample's precision
    (the held-out points are not a plain random sample), not its
    exactness.
    """
    order = held_out_order(len(nn_list), n_test, seed)
    return held_out_from_rows(order, nn_list[order], n_test)


def held_out_from_rows(order: I64, rows: Indices, n_test: int) -> I64 | None:
    """held_out_in_table's choice from the candidates `order` and their rows
    of the table: all it reads, so a caller holding the table in pieces
    (the distributed run) fetches just these rows."""
    kept: list[int] = []
    held: set[int] = set()
    near_held: set[int] = set()
    for c, row in zip(order.tolist(), rows.tolist()):
        if c in near_held or not held.isdisjoint(row) or c not in row:
            continue
        held.add(c)
        near_held.update(row)
        kept.append(c)
        if len(kept) == n_test:
            return np.sort(np.array(kept, dtype=np.int64))
    return None


def search_interval(nn_dist: F64, x_train: F64, x_test: F64) -> tuple[float, float]:
    """Interval for the bandwidth search (see interval_from)."""
    _, nn_scale, _ = quarnel.bandwidth_estimate(nn_dist, x_train, x_test)
    kth = nn_dist[:, -1]
    return interval_from(nn_scale, float(np.median(kth)), float(kth.max()))


def interval_from(nn_scale: float, kth_median: float, kth_max: float) -> tuple[float, float]:
    """Interval for the bandwidth search, from the root-mean-square distance
    to the nearest other point and the median and largest distance to the
    k-th neighbour.

    Low end: the nearest-neighbour length scale rounded down to a power of
    ten. High end: the median distance to the k-th neighbour. The density of
    a point sums its k listed neighbours only, so a bandwidth beyond that
    distance no longer adds points to the kernel and merely flattens the
    density towards a constant.
    """
    high = kth_median
    if not high > 0:
        high = kth_max
    if not high > 0:
        raise ValueError("cannot choose a bandwidth: every point has all its "
                         "n_neighbors neighbours at distance 0; pass bandwidth= "
                         "or raise n_neighbors")
    low = quarnel.round_float(nn_scale)
    if not 0 < low < high:
        low = high / 10
    return low, high


def held_out_neighbours(x: F64, k: int, test_size: float, seed: Any) -> HeldOut:
    """The split of optimal_bandwidth's cross query, and its answer: the
    min(k, n_train) nearest training points of every held-out point. It
    needs no self table, so a run can make it before the table exists,
    when its tree and copies of the points do not add to the table's
    memory."""
    train, test = split(len(x), test_size, seed)
    n_train, x_train, x_test = len(train), x[train], x[test]
    del train   # gone before the tree is built
    # With fewer training points than k (tiny sets), the held-out points
    # get all of them.
    cross, _ = neighbours.cross_table(x_train, x_test, k)
    # Copies: a view would keep all of x_train.
    return HeldOut(cross, n_train, x_train[:1000].copy(), x_test[:1000].copy())


def optimal_bandwidth(x: F64 | None, nn_dist: F64, test_size: float, seed: Any,
                      xtol: float, wide: tuple[F64, Indices] | None = None,
                      held_out: HeldOut | Callable[[], HeldOut] | None = None,
                      dim: int | None = None) -> BandwidthSearch:
    """Bandwidth minimising the negative log-likelihood of held-out points.

    test_points(n, test_size) points are held out (see split), at most
    MAX_TEST_POINTS; each gets its k nearest training points, and the
    density is that of a kernel estimate from all training points. With
    `wide`, the self table with k + 1 columns, and when
    reads_held_out_from_table says so, those neighbours are read off the
    table (held_out_in_table); otherwise a cross query finds them, or
    `held_out`, the answer of held_out_neighbours(x, k, test_size, seed)
    made beforehand, gives them.

    dim: the density's dimension, if not x's column count (the sphere of
    metric="cosine"). Without coordinates (x None: a neighbour graph),
    `held_out` must be given, as a function that makes it if the table
    does not give the neighbours (called only then, so that a RandomState
    seed draws as for points), and dim is also the dimension that
    bandwidth_estimate divides by.
    """
    n = len(nn_dist)
    d = x.shape[1] if x is not None else int(dim)   # type: ignore[arg-type]
    dim = d if dim is None else dim
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
        if x is not None:
            train_head = np.flatnonzero(~held_out)[:1000]
            low, high = search_interval(nn_dist, x[train_head], x[test[:1000]])
        else:
            blank = np.zeros((1, d))
            low, high = search_interval(nn_dist, blank, blank)
        rows_dist, rows_list = wide[0][test], wide[1][test]
        cross = rows_dist[rows_list != test[:, None]].reshape(n_test, k)
        n_train = n - n_test
    else:
        if held_out is None:
            assert x is not None
            held_out = held_out_neighbours(x, k, test_size, seed)
        elif callable(held_out):
            held_out = held_out()
        low, high = search_interval(nn_dist, held_out.train_head, held_out.test_head)
        cross, n_train = held_out.cross, held_out.n_train
    return likeliest_bandwidth(cross, low, high, dim, n_train, xtol)


def likeliest_bandwidth(cross: F64, low: float, high: float, d: int, n_train: int,
                        xtol: float) -> BandwidthSearch:
    """The bandwidth in [low, high] minimising the negative log-likelihood of
    the held-out points whose training-neighbour distances are `cross`."""
    # Units in which h^d stays a normal number (see unit_exponent).
    m = unit_exponent(math.sqrt(low * high), d)
    # The search's upper end is one fifth of the value passed as h_max.
    h, evaluations = quarnel.find_optimal_bandwidth(
        np.ldexp(cross, -m), math.ldexp(low, -m), math.ldexp(5 * high, -m), d, n_train, xtol)
    return BandwidthSearch(math.ldexp(h, m), low, high, evaluations)


def unit_exponent(length: float, dim: int) -> int:
    """Power of two m such that lengths divided by 2^m keep h^dim and the
    kernel's normalisation within float64 range; 0 (no change at all) unless
    |dim * log2(length)| exceeds 600, which takes many columns."""
    if not length > 0 or abs(dim * math.log2(length)) <= 600:
        return 0
    return math.floor(math.log2(length))


def density(nn_dist: F64, bandwidth: float, dim: int, n_total: int | None = None) -> F64:
    """Log-density from neighbour distances; n_total defaults to the row count.

    In many dimensions h^dim can overflow or underflow: then distances and
    bandwidth are divided by a power of two (exactly: the kernel sees the
    same ratios) and the log-density moved back by dim * m * ln 2.
    """
    n_total = len(nn_dist) if n_total is None else n_total
    nn_dist = np.require(nn_dist, np.float64, ["A"])   # the native call needs aligned rows
    m = unit_exponent(bandwidth, dim)
    if m == 0:
        return quarnel.epanechnikov_kde(nn_dist, bandwidth, dim, n_total)
    rho = quarnel.epanechnikov_kde(np.ldexp(nn_dist, -m), math.ldexp(bandwidth, -m), dim,
                                   n_total)
    return rho - dim * m * math.log(2.0)


def kernel_fits(dim: int, k: int) -> bool:
    """Whether the kernel's constant (d + 2) / (2 V_d) for `dim` dimensions,
    summed over k neighbours, stays well inside float64 range, and so does
    the power t^(d/2 + 1/2) inside the native gamma function (Lanczos,
    t = d/2 + 7.5) that computes V_d: both overflow near 285 dimensions."""
    half = dim / 2
    gamma_power = (half + 0.5) * math.log(half + 7.5)
    log_constant = (math.log(dim + 2) - math.log(2.0) - half * math.log(math.pi)
                    + math.lgamma(half + 1))
    return gamma_power < 700.0 and math.log(k) + log_constant < 650.0


def neighbours_within(nn_dist: F64, bandwidth: float) -> int:
    """m, the median number of neighbours within one bandwidth: the points
    a kernel estimate is made from, which set its noise (threshold_from)."""
    return quarnel.adaptive_trim_size(nn_dist, bandwidth, 1.0, 1)


def threshold_from(n: int, m: int, scale: float) -> float:
    """Log-density drop that separates clusters, from the estimate's noise,
    for n points and m neighbours within one bandwidth (neighbours_within).

    A kernel estimate from m points has a relative error of about 1/sqrt(m),
    so the log-density carries random bumps of that size, one per m points
    or so: n / m independent bumps. The deepest of N such bumps grows like
    sqrt(2 ln N) (the extreme-value law of Gaussian noise), so a valley is
    real only when it is deeper than

        scale * sqrt(2 ln(n / m)) / sqrt(m).

    With n_neighbors fixed the bandwidth stops shrinking to its optimum as n
    grows, m stays put, and without the logarithm the number of bumps that
    pass a fixed threshold would grow with n.
    """
    bumps = max(n / m, math.e)
    return scale * math.sqrt(2.0 * math.log(bumps)) / math.sqrt(m)


def log_count_unit(n: int, bandwidth: float, dim: int) -> float:
    """log(n V_d h^d): added to a log-density, the log of the number of
    points the kernel weighs there (V_d the unit ball's volume)."""
    log_ball = 0.5 * dim * math.log(math.pi) - math.lgamma(0.5 * dim + 1.0)
    return math.log(n) + log_ball + dim * math.log(bandwidth)


def local_noise(n: int, bandwidth: float, dim: int, threshold: float, m: int,
                k: int) -> LocalNoise:
    """The default merging test (controls.LocalNoise): threshold_from's
    depth, read in the estimate's noise at the peak and at the saddle.

    Where k points weigh in the estimate, the log-density and twice the
    root of that count differ by the same small steps times sqrt(k) (d log k
    = 2 d sqrt(k) / sqrt(k)); so at the median count m, a depth `threshold`
    in log-density is a rise of threshold * sqrt(m) / 2 in the root, and on
    that scale (the root of the other points' count, the point's own
    kernel weight (d + 2) / 2 left out) the noise is the same everywhere. Where fewer points weigh
    (a thin tail) the same rise asks a deeper valley in log-density, where
    more weigh a shallower one, down to the fixed depth where the kernel
    holds more than its k neighbours. The root's standard error,
    sqrt(c_K) / 2 with c_K = 2 (d + 2) / (d + 4), is the spread within
    which a group's bumps count as readings of its top.
    """
    from .controls import LocalNoise   # controls reads this module
    spread = 0.5 * math.sqrt(2.0 * (dim + 2) / (dim + 4))
    return LocalNoise(log_count_unit(n, bandwidth, dim), 0.5 * threshold * math.sqrt(m), k,
                      spread, 0.5 * (dim + 2))


def least_cluster_size(n: int, k: int, n_clusters: int | None = None) -> int:
    """Default min_cluster_size: sqrt(n) / 2 points, and at least k; with
    n_clusters=K asked for, at most n / (2 K) (half the mean share of a
    cluster: a larger least size would contradict the request on small sets).

    A cluster smaller than the k neighbours its density is estimated from
    has no peak of its own in that estimate. Beyond that, with k fixed the
    estimate's bumps shrink in extent as n grows while the valleys they
    leave stay as deep, so the pieces they cut off stay numerous; a least
    size growing like sqrt(n) (room for up to 2 sqrt(n) clusters) absorbs
    them while staying below any cluster that holds a fair share of the
    data (1/(2 sqrt(n)) of it: 0.16% at 10^5 points, 0.05% at 10^6).
    """
    size = max(k, int(round(0.5 * math.sqrt(n))))
    if n_clusters is not None:
        size = min(size, max(1, n // (2 * n_clusters)))
    return size


def search_width(nn_dist: F64, bandwidth: float, alpha: float, min_nh: int) -> int:
    """Columns of the neighbour table searched when testing a centre: the
    median number of neighbours within alpha * bandwidth, at least min_nh."""
    return int(quarnel.adaptive_trim_size(nn_dist, bandwidth, alpha, min_nh))


def along_graph(x: Any) -> bool:
    """Whether x, where the stages take the points, is a neighbour graph's
    precomputed.CentreDistances (the graph's distances between peaks)."""
    return getattr(x, "along_graph", False) is True


def peaks(x: Any, rho: F64, nn_list: Indices, nn_dist: F64, width: int) -> Peaks:
    """Density peaks from the first `width` columns of the neighbour table:
    compute_delta's delta, nn_delta and centres, without its density graph
    (n Python lists: seconds at 10^7 points; see DensityGraph). x: the
    points, or for a neighbour graph its precomputed.CentreDistances (whose
    diagonal stands in for that of the points' bounding box)."""
    if along_graph(x):
        delta, nn_delta, centers = native.nearest_denser_rows(
            rho, nn_list[:, :width], nn_dist[:, :width], x.diagonal)
    else:
        delta, nn_delta, centers = native.nearest_denser(x, rho, nn_list[:, :width],
                                                         nn_dist[:, :width])
    return Peaks(delta, nn_delta, centers)


def unmerged(found: Peaks) -> Clusters:
    """The clusters of all peaks found, none merged."""
    labels = forest_labels(found.centers, found.nn_delta)
    return Clusters(found.centers, labels, found.nn_delta, found.delta,
                    DensityGraph(found.nn_delta))


def forest_labels(centers: I64, nn_delta: I64) -> I64:
    """assign_cluster's labels on the forest of nearest denser neighbours:
    every point gets the position of the last centre, in `centers` order,
    among its ancestors-or-self (-1 with none). Computed on the parent links
    in one pass, without the density graph's lists (at 10^7 points their
    conversion alone takes seconds)."""
    return native.forest_labels(np.ascontiguousarray(centers, np.int64),
                                np.ascontiguousarray(nn_delta, np.int64))
