"""The tree of 9 and more columns (knn_wide_table, knn_wide_cross) against
the blocked brute force, bit for bit, on sets that strain its pruning on
rotated coordinates and its tie-breaking; and the choice between the two."""

import numpy as np
import pytest

from quarnel_cluster import _native as native
from conftest import run_python
from quarnel_cluster import brute_force, neighbours

ALWAYS = float("inf")  # the tree never declines for lack of pruning


def tree_self(x, k):
    dist, index = native.knn_wide_table(x, k, ALWAYS)
    r = min(k, len(x))
    return dist.reshape(len(x), r), index.reshape(len(x), r)


def tree_cross(x, q, k):
    dist, index = native.knn_wide_cross(x, q, k, ALWAYS)
    r = min(k, len(x))
    return dist.reshape(len(q), r), index.reshape(len(q), r)


def assert_same(table, reference):
    (dist, index), (ref_dist, ref_index) = table, reference
    np.testing.assert_array_equal(index, ref_index)
    assert dist.tobytes() == ref_dist.tobytes()


def low_rank(rng, n, d, rank=6):
    q, _ = np.linalg.qr(rng.standard_normal((d, d)))
    return rng.standard_normal((n, rank)) @ q[:rank]


def awkward_set(name, d, rng):
    if name == "grid":  # equal distances everywhere, copies among them
        return rng.integers(0, 3, (6000, d)).astype(np.float64)
    if name == "copies":  # 20 distinct points, fewer than k
        return rng.random((20, d))[rng.integers(0, 20, 1500)]
    if name == "one point":
        return np.full((300, d), 7.25)
    if name == "fewer than k":
        return rng.random((20, d))
    if name == "tight and far apart":
        # rotated coordinates err by far more than the neighbours' distances
        # (rounding of coordinates of 1e6): the widening must cover it
        centres = 1e6 * rng.standard_normal((10, d))
        return centres[rng.integers(0, 10, 2000)] + 1e-8 * low_rank(rng, 2000, d)
    if name == "ulps":  # distances at the limit of rounding
        return 1.0 + rng.integers(0, 6, (1000, d)) * np.finfo(float).eps
    raise ValueError(name)


SETS = ["grid", "copies", "one point", "fewer than k", "tight and far apart", "ulps"]


@pytest.mark.parametrize("d", [9, 64])
@pytest.mark.parametrize("name", SETS)
def test_tree_matches_the_brute_force_on_awkward_sets(name, d):
    rng = np.random.default_rng(d)
    x = awkward_set(name, d, rng)
    for k in (1, 31):
        assert_same(tree_self(x, k), brute_force.self_table(x, k))
    # a batch's worth of queries on one spot, points outside the tree's box
    # and between its points
    lo, hi = x.min(axis=0), x.max(axis=0)
    query = np.vstack([np.repeat(x[:2], 90, axis=0),
                       lo - (hi - lo + 1) * rng.random((20, d)),
                       hi + (hi - lo + 1) * rng.random((20, d)),
                       x[::7] + (hi - lo + 1e-9) * 1e-3 * rng.standard_normal((len(x[::7]), d))])
    assert_same(tree_cross(x, query, 31), brute_force.cross_table(x, query, 31))


EVERY_THREAD_COUNT = """
import hashlib, numpy as np; from quarnel_cluster import _native as native
rng = np.random.default_rng(0)
q, _ = np.linalg.qr(rng.standard_normal((24, 24)))
x = np.vstack([rng.standard_normal((9000, 6)) @ q[:6], rng.integers(0, 3, (2000, 24)).astype(float)])
h = hashlib.sha256()
for k in (1, 31, 40):  # sorted rows and a heap
    for a in native.knn_wide_table(x, k, float("inf")) + native.knn_wide_cross(x, x[::5] + 0.01, k, float("inf")):
        h.update(a.tobytes())
print(h.hexdigest())
"""


def test_every_thread_count_and_kernel_gives_the_same_bits():
    digests = set()
    for env in ({"RAYON_NUM_THREADS": "1"}, {"RAYON_NUM_THREADS": "3"},
                {"QUARNEL_KNN_KERNEL": "baseline"}, {"QUARNEL_KNN_KERNEL": "avx2"}, {}):
        proc = run_python(EVERY_THREAD_COUNT, env=env)
        assert proc.returncode == 0, proc.stderr[-2000:]
        digests.add(proc.stdout.strip())
    assert len(digests) == 1


def test_points_spread_in_every_column_go_to_the_brute_force():
    rng = np.random.default_rng(3)
    n, d = 4000, 300
    timings = {}
    wide = rng.random((n, d))
    table = neighbours.self_table(wide, 31, timings)
    assert set(timings) == {"neighbours (brute force)"}
    assert_same(table, brute_force.self_table(wide, 31))
    timings = {}
    flat = low_rank(rng, n, d)
    assert_same(neighbours.self_table(flat, 31, timings), tree_self(flat, 31))
    assert set(timings) == {"neighbours (tree)"}
    # the cross search decides the same way
    assert native.knn_wide_cross(wide, wide[:2500], 31, neighbours.wide_share(d)) is None
    assert native.knn_wide_cross(flat, flat[:2500], 31, neighbours.wide_share(d)) is not None


def test_coordinates_it_cannot_square_are_left_to_the_brute_force():
    x = np.random.default_rng(4).random((100, 12))
    for bad in (np.nan, np.inf, 1e300):
        y = x.copy()
        y[17, 5] = bad
        assert native.knn_wide_table(y, 5, ALWAYS) is None
        assert native.knn_wide_cross(x, y, 5, ALWAYS) is None
        assert native.knn_wide_cross(y, x, 5, ALWAYS) is None
