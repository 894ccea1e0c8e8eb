"""The tree search against brute force on data that strains its pruning and
tie-breaking (boxes of zero extent, equal distances, queries far outside the
tree), with every distance kernel."""
import numpy as np
import pytest

import quarnel
from conftest import run_python
from test_knn import assert_same, brute_force


def awkward_sets(d, rng):
    n = 500
    yield "duplicates", np.repeat(rng.random((12, d)), rng.integers(1, 80, 12), axis=0)
    centres = rng.random((4, d))
    clustered = centres[rng.integers(0, 4, n)] + 1e-4 * rng.standard_normal((n, d))
    yield "clustered", np.vstack([clustered, 50 * rng.random((5, d))])
    yield "line", np.outer(rng.integers(0, 60, n), rng.random(d))
    yield "grid", rng.integers(0, 3, (n, d)).astype(np.float64)
    # neighbouring doubles: distances at the limit of rounding
    yield "ulps", 1.0 + rng.integers(0, 6, (n, d)) * np.finfo(float).eps


@pytest.mark.parametrize("d", range(2, 9))
def test_awkward_sets_match_brute_force(d):
    rng = np.random.default_rng(d)
    for name, x in awkward_sets(d, rng):
        for k in (1, 16, 33, len(x) + 1):
            assert_same(quarnel.knn_query(x, k), brute_force(x, x, k))
        # a leaf's worth of queries and more on one spot, points outside the
        # tree's box, and points between the tree's points
        lo, hi = x.min(axis=0), x.max(axis=0)
        query = np.vstack([np.repeat(x[:2], 45, axis=0),
                           lo - (hi - lo + 1) * rng.random((20, d)),
                           hi + (hi - lo + 1) * rng.random((20, d)),
                           x[::5] + (hi - lo) * 1e-3 * rng.standard_normal((len(x[::5]), d))])
        for k in (16, len(x) + 1):
            assert_same(quarnel.knn_query_cross(x, query, k), brute_force(x, query, k)), name


EVERY_KERNEL = """
import hashlib, numpy as np, quarnel
h = hashlib.sha256()
rng = np.random.default_rng(0)
for d in range(2, 9):
    x = np.vstack([rng.random((3000, d)), rng.integers(0, 3, (500, d)).astype(float)])
    # every row length the AVX-512 kernel stores differently: 1 to 4 blocks of eight, and a heap
    for k in (1, 8, 9, 16, 17, 24, 31, 32, 33):
        for a in quarnel.knn_query(x, k) + quarnel.knn_query_cross(x, x[::3] + 0.01, k):
            h.update(a.tobytes())
print(h.hexdigest())
"""


def test_every_kernel_gives_the_same_bits():
    # a kernel the processor lacks falls back to a narrower one: still the same bits
    digests = []
    for kernel in ("baseline", "avx2", "default"):
        proc = run_python(EVERY_KERNEL, env={"QUARNEL_KNN_KERNEL": kernel})
        assert proc.returncode == 0, proc.stderr[-2000:]
        digests.append(proc.stdout.strip())
    assert digests[0] == digests[1] == digests[2]


@pytest.mark.parametrize("d", [2, 8])
def test_trees_built_as_many_subtrees_match_brute_force(d):
    # enough leaves for the tree to be built as side-by-side subtrees several
    # levels deep, from an odd point count (halves of unequal sizes)
    rng = np.random.default_rng(d)
    x = np.vstack([rng.random((6001, d)), rng.integers(0, 4, (2000, d)).astype(np.float64)])
    sample = rng.choice(len(x), 300, replace=False)
    for k in (16, 40):
        dist, index = (a.reshape(len(x), k)[sample].ravel() for a in quarnel.knn_query(x, k))
        assert_same((dist, index), brute_force(x, x[sample], k))
