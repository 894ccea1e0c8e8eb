"""The driver's neighbour tables for column counts the k-d tree does not
serve (1, and more than 8), against a brute-force reference."""

import numpy as np
import pytest

from quarnel_cluster import brute_force, neighbours


def reference(x_train, x_query, k):
    """All distances the native way (squares summed in column order, then
    the root), rows ordered by (distance, index)."""
    sq = np.zeros((len(x_query), len(x_train)))
    for j in range(x_train.shape[1]):
        diff = x_query[:, j, None] - x_train[None, :, j]
        sq += diff * diff
    cols = np.arange(len(x_train))
    order = np.array([np.lexsort((cols, row))[:k] for row in sq])
    return np.sqrt(np.take_along_axis(sq, order, axis=1)), order


def test_one_column_is_served_exactly():
    rng = np.random.default_rng(0)
    # Integer-valued points: many equal distances, ordered by index.
    x = np.unique(rng.integers(0, 400, 300)).astype(np.float64)[:, None] * 0.1 + 1e4
    dist, idx = neighbours.self_table(x, 12)
    ref_dist, ref_idx = reference(x, x, 12)
    np.testing.assert_array_equal(idx, ref_idx)
    assert np.array_equal(dist, np.abs(x[:, 0, None] - x[idx, 0]))  # |a - b|, bit for bit
    np.testing.assert_array_equal(dist, ref_dist)
    q = rng.uniform(1e4, 1e4 + 40, (50, 1))
    np.testing.assert_array_equal(neighbours.cross_table(x, q, 7)[1], reference(x, q, 7)[1])


@pytest.mark.parametrize("d", [9, 23])
def test_many_columns_match_the_reference_with_ties(d):
    rng = np.random.default_rng(d)
    # A small integer lattice far from the origin: ties everywhere, and
    # |a|^2 + |b|^2 - 2ab cancels badly without centring and error bounds.
    x = 1e6 + rng.integers(0, 3, (400, d)).astype(np.float64)
    x = np.unique(x, axis=0)
    for k in (1, 10, 40):
        got = brute_force.self_table(x, k, block_bytes=1 << 16)   # many blocks
        ref = reference(x, x, k)
        np.testing.assert_array_equal(got[1], ref[1])
        np.testing.assert_array_equal(got[0], ref[0])
    q = 1e6 + rng.integers(0, 3, (30, d)) + rng.normal(0, 1e-7, (30, d))
    got = neighbours.cross_table(x[:25], q, 40)      # fewer training points than k
    assert got[0].shape == (30, 25)
    np.testing.assert_array_equal(got[1], reference(x[:25], q, 40)[1])
    np.testing.assert_array_equal(got[0], reference(x[:25], q, 40)[0])


@pytest.mark.parametrize("k", [7, 40])   # a sorted row store, then a heap
def test_int32_table_has_the_rows_of_knn_query(k):
    from quarnel_cluster import _native as native
    import quarnel
    rng = np.random.default_rng(k)
    # A coarse lattice with copies: ties in distance, ordered by index.
    x = np.round(rng.uniform(0, 6, (3000, 3)))
    x[::7] = x[1::7]
    dist, idx = native.knn_table(x, k)
    ref_dist, ref_idx = quarnel.knn_query(x, k)
    assert idx.dtype == np.int32 and dist.dtype == np.float64
    np.testing.assert_array_equal(idx, ref_idx)
    assert dist.tobytes() == ref_dist.tobytes()
    # The driver's self table on the k-d tree's road: int32, also for 1 column.
    assert neighbours.self_table(x, k)[1].dtype == np.int32
    assert neighbours.self_table(x[:, :1], k)[1].dtype == np.int32
    with pytest.raises(ValueError, match="not supported"):
        native.knn_table(np.zeros((5, 9)), 2)


def test_box_helpers_sum_and_count_as_numpy():
    """The distributed run's native helpers: squared distances to listed rows
    summed as the search sums them (int32 and int64 lists, strided rows,
    scales far apart), per-radius counts of the rows' distances within
    reach; lists naming rows outside x refused."""
    from quarnel_cluster import _native as native
    rng = np.random.default_rng(4)
    x = rng.normal(size=(50, 3)) * 10.0 ** rng.integers(-3, 4, (50, 1))
    q = rng.normal(size=(20, 6))[:, ::2]
    idx = rng.integers(0, 50, (20, 7))
    expect = np.zeros(idx.shape)
    for j in range(3):
        e = x[idx][:, :, j] - q[:, j, None]
        expect = expect + e * e
    for kind in (np.int32, np.int64):
        got = native.gathered_squares(q, x, idx.astype(kind)).reshape(idx.shape)
        np.testing.assert_array_equal(got, expect)
    for bad in (50, -1):
        idx[3, 2] = bad
        with pytest.raises(ValueError, match="outside x"):
            native.gathered_squares(q, x, idx)

    dist = np.sort(np.round(rng.random((40, 9)), 1), axis=1)
    radii = np.array([0.0, 0.3, 0.5, 1.1])
    expect = [np.bincount(np.count_nonzero(dist[:, :7] <= r, axis=1), minlength=8)
              for r in radii]
    np.testing.assert_array_equal(native.radius_counts(dist, 7, radii).reshape(4, 8), expect)
    with pytest.raises(ValueError, match="at most the number of columns"):
        native.radius_counts(dist, 10, radii)
