"""The driver's native helpers that decide a clustering, against plain
NumPy / Python references on small awkward inputs: ties in distance and
density, copies of points, a single point, long chains."""
import threading

import numpy as np
import pytest

import quarnel
from quarnel_cluster import _native as native

MARGIN = 1e-8        # a neighbour is denser only by more than this
CENTRE_CUT = 0.999   # a centre's delta exceeds this fraction of the diagonal


def lattice(n, d, seed, copies=0):
    """Points on a coarse integer lattice (many equal distances), with
    `copies` rows repeated verbatim."""
    rng = np.random.default_rng(seed)
    x = np.round(rng.uniform(0, 5, (n, d)))
    if copies:
        x[rng.integers(0, n, copies)] = x[rng.integers(0, n, copies)]
    return x


def squares(q, x):
    """(m, n) squared distances, the squares of the differences added in
    column order from zero."""
    s = np.zeros((len(q), len(x)))
    for j in range(x.shape[1]):
        e = x[None, :, j] - q[:, None, j]
        s = s + e * e
    return s


# ---- the neighbour search --------------------------------------------------------

def knn_reference(train, query, k):
    sq = squares(query[:, :train.shape[1]], train)
    r = min(k, len(train))
    idx = np.array([np.lexsort((np.arange(len(train)), row))[:r] for row in sq],
                   dtype=np.int64).reshape(len(query), r)
    return np.sqrt(np.take_along_axis(sq, idx, 1)).ravel(), idx.ravel()


@pytest.mark.parametrize("train, query, k", [
    (lattice(300, 3, 0, copies=60), lattice(200, 4, 1), 9),   # ties, copies, a 4th column unread
    (lattice(40, 2, 2, copies=20), lattice(50, 2, 3), 40),    # a heap of rows, k = n
    (np.array([[1.0, 2.0]]), lattice(20, 2, 4), 5),           # one point: k cut to 1
    (lattice(30, 5, 5), np.zeros((0, 5)), 3),                 # no query rows
])
def test_knn_cross_rows_are_the_nearest_by_distance_then_index(train, query, k):
    dist, idx = native.knn_cross(train, query, k)
    ref_dist, ref_idx = knn_reference(train, query, k)
    np.testing.assert_array_equal(idx, ref_idx)
    assert dist.tobytes() == ref_dist.tobytes()


def test_progress_counts_every_row_and_changes_nothing():
    x = lattice(40000, 3, 6, copies=4000)
    q = lattice(30000, 3, 7)
    for search, args, rows in ((native.knn_table, (x, 12), len(x)),
                               (native.knn_cross, (x[:5000], q, 12), len(q))):
        plain = search(*args)
        counter = np.array([7], dtype=np.int64)
        counted = search(*args, progress=counter)
        assert counter[0] == 7 + rows                  # added to, not overwritten
        for a, b in zip(plain, counted):
            assert a.tobytes() == b.tobytes()
    # Read by another thread while the search runs without the lock.
    counter = np.zeros(1, dtype=np.int64)
    search = threading.Thread(target=native.knn_table, args=(x, 30), kwargs={"progress": counter})
    seen = []
    search.start()
    while search.is_alive():
        seen.append(int(counter[0]))
    search.join()
    seen.append(int(counter[0]))
    assert seen == sorted(seen) and seen[-1] == len(x)


@pytest.mark.parametrize("progress", [np.zeros(2, np.int64), np.zeros((1, 1), np.int64),
                                      np.zeros(1, np.float64), [0]])
def test_progress_of_another_form_is_refused(progress):
    with pytest.raises(TypeError, match="^argument 'progress': expected a writable int64 array"):
        native.knn_table(lattice(10, 2, 0), 3, progress=progress)
    read_only = np.zeros(1, np.int64)
    read_only.flags.writeable = False
    with pytest.raises(TypeError, match="^argument 'progress'"):
        native.knn_cross(lattice(10, 2, 0), lattice(5, 2, 1), 3, progress=read_only)


# ---- peaks ---------------------------------------------------------------------------

def diagonal(x):
    s = 0.0
    for j in range(x.shape[1]):
        e = x[:, j].max() - x[:, j].min()
        s = s + e * e
    return np.sqrt(s)


def peaks_reference(rho, nn, dist, diag):
    delta = np.full(len(nn), diag)
    parent = np.full(len(nn), -1)
    for i in range(len(nn)):
        for j in range(1, nn.shape[1]):       # column 0 is the point itself
            if rho[nn[i, j]] > rho[i] + MARGIN:
                delta[i], parent[i] = dist[i, j], nn[i, j]
                break
    return delta, parent, np.flatnonzero(delta > CENTRE_CUT * diag)


def densities(x, seed):
    """Log-densities with many exact ties and near-ties within the margin."""
    rng = np.random.default_rng(seed)
    rho = np.round(rng.normal(size=len(x)), 1)
    rho[::5] += MARGIN / 2
    return rho


@pytest.mark.parametrize("width", [np.int32, np.int64])
def test_nearest_denser_takes_the_first_listed_neighbour_denser_by_the_margin(width):
    x = lattice(500, 2, 8, copies=100)
    rho = densities(x, 9)
    dist, idx = quarnel.knn_query(x, 10)
    nn, dist = idx.reshape(-1, 10).astype(width), dist.reshape(-1, 10)
    delta, parent, centres = native.nearest_denser(x, rho, nn, dist)
    ref = peaks_reference(rho, nn, dist, diagonal(x))
    for got, want in zip((delta, parent, centres), ref):
        np.testing.assert_array_equal(got, want)
    assert len(centres) > 1


def test_nearest_denser_along_a_chain_and_for_rows_of_more_points():
    # Densities rising along a line: every point's parent is the next one.
    x = np.column_stack([np.arange(30.0), np.zeros(30)])
    rho = np.arange(30.0) / 10
    dist, idx = quarnel.knn_query(x, 3)
    nn, dist = idx.reshape(-1, 3), dist.reshape(-1, 3)
    delta, parent, centres = native.nearest_denser(x, rho, nn, dist)
    np.testing.assert_array_equal(parent, [*range(1, 30), -1])
    np.testing.assert_array_equal(centres, [29])
    # The rows of the last 10 points only, their entries indexing all 30.
    got = native.nearest_denser_rows(rho, nn[20:], dist[20:], 50.0)
    ref = peaks_reference(rho, nn[20:], dist[20:], 50.0)
    for a, b in zip(got, ref):
        np.testing.assert_array_equal(a, b)


# ---- labels on the parent forest ------------------------------------------------------

def forest_reference(centres, parent):
    position = {int(c): p for p, c in enumerate(centres)}   # a repeated centre: its last place
    labels = []
    for i in range(len(parent)):
        best, v = -1, i
        while v >= 0:
            best = max(best, position.get(v, -1))
            v = parent[v]
        labels.append(best)
    return np.array(labels, dtype=np.int64)


@pytest.mark.parametrize("centres, parent", [
    # One chain 0 -> 1 -> ... -> 199, centres on it at both ends and inside.
    ([199, 120, 3], [*range(1, 200), -1]),
    # Two trees and a root that is no centre; a centre listed twice.
    ([0, 5, 0], [-1, 0, 1, 1, -1, 4, 5, -1, 7, 8]),
    ([0], [-1]),                 # one point
    ([], [-1, 0, 1]),            # no centre at all
])
def test_forest_labels_take_the_last_listed_centre_above(centres, parent):
    centres, parent = np.array(centres, np.int64), np.array(parent, np.int64)
    np.testing.assert_array_equal(native.forest_labels(centres, parent),
                                  forest_reference(centres, parent))


def test_forest_labels_stop_on_a_cycle_or_a_parent_outside(PanicException):
    with pytest.raises(PanicException, match="cycle"):
        native.forest_labels(np.array([0], np.int64), np.array([-1, 2, 1], np.int64))
    with pytest.raises(PanicException, match="index out of bounds"):
        native.forest_labels(np.array([0], np.int64), np.array([-1, 3, 1], np.int64))


# ---- saddles -------------------------------------------------------------------------

def saddles_reference(labels, rho, nn, width, rows):
    best = {}
    for i in range(rows):
        if labels[i] < 0:
            continue
        for j in range(1, max(1, min(width, nn.shape[1]))):
            e = nn[i, j]
            if labels[e] < 0 or labels[e] == labels[i]:
                continue
            key = (min(labels[i], labels[e]), max(labels[i], labels[e]))
            best[key] = max(best.get(key, -np.inf), min(rho[i], rho[e]))
    keys = sorted(best)
    return (np.array([a for a, _ in keys], np.int64), np.array([b for _, b in keys], np.int64),
            np.array([best[k] for k in keys]))


@pytest.mark.parametrize("kind", [np.int32, np.int64])
@pytest.mark.parametrize("width", [1, 4, 12, 50])   # no column but the point's own ... all
def test_highest_saddles_keep_the_highest_crossing_of_each_pair(kind, width):
    x = lattice(600, 2, 10, copies=150)
    rng = np.random.default_rng(11)
    labels = rng.integers(-1, 9, len(x)).astype(np.int64)   # -1: left out
    rho = densities(x, 12)
    _, idx = quarnel.knn_query(x, 12)
    nn = idx.reshape(-1, 12).astype(kind)
    got = native.highest_saddles(labels, rho, nn, width)
    ref = saddles_reference(labels, rho, nn, width, len(x))
    for a, b in zip(got, ref):
        np.testing.assert_array_equal(a, b)
    # The rows of a part of the points, whose entries index them all.
    got = native.highest_saddles_rows(labels, rho, nn[:200], width)
    ref = saddles_reference(labels, rho, nn, width, 200)
    for a, b in zip(got, ref):
        np.testing.assert_array_equal(a, b)


def test_highest_saddles_of_one_cluster_one_point_or_noise_alone_are_none():
    nn = np.array([[0]], np.int64)
    for labels in ([0], [-1]):
        a, b, level = native.highest_saddles(np.array(labels, np.int64), np.zeros(1), nn, 5)
        assert len(a) == len(b) == len(level) == 0


# ---- the walk down the saddles --------------------------------------------------------

def merge_reference(a, b, saddle, peak, rank, threshold, spread=-1.0):
    """Groups as explicit sets; saddles highest first, ties in the given
    order; the group whose root has the larger rank joins the other when
    its top stands less than threshold above the saddle: its root's peak,
    or halfway between it and the highest saddle at which a peak within
    `spread` of it joined the group."""
    root = list(range(len(peak)))
    members = {c: {c} for c in range(len(peak))}
    bumps = {c: [] for c in range(len(peak))}     # (peak, saddle) of every peak that joined
    joins = []
    for s in sorted(range(len(a)), key=lambda s: -saddle[s]):   # stable
        ra, rb = root[a[s]], root[b[s]]
        if ra == rb:
            continue
        high, low = (ra, rb) if rank[ra] < rank[rb] else (rb, ra)
        near = [v for p, v in bumps[low] if p >= peak[low] - spread]
        top = 0.5 * (peak[low] + max(near)) if near else peak[low]
        if top - saddle[s] < threshold:
            for c in members[low]:
                root[c] = high
            members[high] |= members.pop(low)
            bumps[high] += bumps.pop(low) + [(peak[low], saddle[s])]
            joins.append((low, high))
    low, high = zip(*joins) if joins else ((), ())
    return (np.array(root, np.int64), np.array(low, np.int64), np.array(high, np.int64))


def check_merge(a, b, saddle, peak, threshold, rank=None, spread=-1.0):
    a, b = np.array(a, np.int64), np.array(b, np.int64)
    saddle, peak = np.array(saddle, float), np.array(peak, float)
    rank = np.argsort(np.argsort(-peak, kind="stable")) if rank is None else np.array(rank)
    rank = rank.astype(np.int64)
    got = native.merge_shallow(a, b, saddle, peak, rank, threshold, spread,
                               np.empty(0, np.int64))[:3]
    for x, y in zip(got, merge_reference(a, b, saddle, peak, rank, threshold, spread)):
        np.testing.assert_array_equal(x, y)
    return got


def test_merge_shallow_on_a_chain_ties_and_the_threshold_exactly():
    # A chain of ten peaks falling to the right, each saddle lower than the
    # last: the shallow ones join leftwards in a cascade.
    peak = [10.0, 9.5, 9.0, 7.0, 6.8, 6.7, 3.0, 2.9, 2.8, 1.0]
    saddle = [9.0, 8.9, 6.5, 6.4, 6.3, 2.0, 1.9, 1.8, 0.5]
    root, low, high = check_merge(range(9), range(1, 10), saddle, peak, 1.0)
    assert len(set(root)) > 1
    # Two saddles of one level: the order given decides which meeting comes first.
    for order in ([0, 1], [1, 0]):
        check_merge(np.array([0, 1])[order], [2, 2], [5.0, 5.0], [9.0, 8.0, 5.5], 3.5)
    # A peak exactly threshold above the saddle stays.
    root, low, high = check_merge([0], [1], [4.0], [9.0, 5.0], 1.0)
    np.testing.assert_array_equal(root, [0, 1])
    # One cluster, no saddle.
    check_merge([], [], [], [3.0], 1.0)


@pytest.mark.parametrize("seed", range(6))
def test_merge_shallow_as_explicit_groups_on_random_saddles(seed):
    rng = np.random.default_rng(seed)
    count = 12
    pairs = rng.integers(0, count, (30, 2))
    pairs = pairs[pairs[:, 0] != pairs[:, 1]]
    peak = np.round(rng.uniform(0, 10, count))                   # equal peaks
    saddle = np.round(np.minimum(peak[pairs[:, 0]], peak[pairs[:, 1]]) - rng.uniform(0, 3, len(pairs)))
    check_merge(pairs[:, 0], pairs[:, 1], saddle, peak, 1.5)
    # Tops read over the bumps that joined: many peaks within reach of
    # each other, and groups that swallow larger groups' bumps.
    many = 300
    pairs = rng.integers(0, many, (3 * many, 2))
    pairs = pairs[pairs[:, 0] != pairs[:, 1]]
    peak = rng.uniform(5, 8, many)
    saddle = np.minimum(peak[pairs[:, 0]], peak[pairs[:, 1]]) - rng.exponential(1.0, len(pairs))
    for spread in (0.0, 0.5, 2.0):
        root, _, _ = check_merge(pairs[:, 0], pairs[:, 1], saddle, peak, 1.5, spread=spread)
        assert 1 < len(set(root.tolist())) < many


def test_merge_shallow_reads_a_top_with_bumps_in_reach_halfway_down():
    # Peak 1 (9.8) joined peak 0 (10) at 8; the group meets peak 2 (14) at
    # 6.5: read at 10 it stands 3.5 above, at (10 + 8) / 2 only 2.5.
    a, b, saddle, peak = [0, 0], [1, 2], [8.0, 6.5], [10.0, 9.8, 14.0]
    root, _, _ = check_merge(a, b, saddle, peak, 3.0, spread=0.5)
    assert root.tolist() == [2, 2, 2]
    root, _, _ = check_merge(a, b, saddle, peak, 3.0, spread=0.1)   # 9.8 out of reach
    assert root.tolist() == [0, 0, 2]
    root, _, _ = check_merge(a, b, saddle, peak, 3.0)
    assert root.tolist() == [0, 0, 2]


def test_merge_shallow_stops_on_a_cluster_beyond_the_peaks(PanicException):
    with pytest.raises(PanicException, match="index out of bounds"):
        check_merge([0], [3], [1.0], [2.0, 3.0], 1.0)


# ---- candidates from several boxes ------------------------------------------------------

def candidates_reference(row, sq, index, rows, k):
    out = np.full((rows, k), -1, np.int64)
    for r in range(rows):
        e = np.flatnonzero(row == r)
        order = e[np.lexsort((e, index[e], sq[e]))][:k]
        out[r, :len(order)] = order
    return out.ravel()


@pytest.mark.parametrize("k", [1, 3, 8])
def test_first_candidates_by_distance_then_index_then_position(k):
    rng = np.random.default_rng(k)
    m = 400
    row = rng.integers(0, 30, m).astype(np.int64)     # row 30 .. 34 have none
    sq = rng.integers(0, 4, m).astype(float)          # ties in distance
    index = rng.integers(0, 20, m).astype(np.int64)   # and in index: copies of a candidate
    got = native.first_candidates(row, sq, index, 35, k)
    np.testing.assert_array_equal(got, candidates_reference(row, sq, index, 35, k))


def test_first_candidates_stop_on_a_row_out_of_range(PanicException):
    with pytest.raises(PanicException, match="index out of bounds"):
        native.first_candidates(np.array([0, 2], np.int64), np.zeros(2), np.zeros(2, np.int64), 2, 1)
