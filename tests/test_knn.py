"""Exact k-NN search against a brute-force reference."""
import numpy as np
import pytest

import quarnel


def brute_force(train, query, k):
    """Rows sorted stably on (squared distance, index); distances summed in
    coordinate order, as the module does."""
    d = train.shape[1]
    sq = np.zeros((len(query), len(train)))
    for j in range(d):
        diff = query[:, j, None] - train[None, :, j]
        sq = sq + diff * diff
    r = min(k, len(train))
    order = np.lexsort((np.broadcast_to(np.arange(len(train)), sq.shape), sq), axis=1)[:, :r]
    rows = np.arange(len(query))[:, None]
    return np.sqrt(sq[rows, order]).ravel(), order.ravel().astype(np.int64)


def assert_same(got, expected):
    assert np.array_equal(got[0], expected[0])
    assert np.array_equal(got[1], expected[1])


def grid_points(n, d, rng):
    """Integer coordinates: many exact distance ties."""
    return rng.integers(0, 4, size=(n, d)).astype(np.float64)


@pytest.mark.parametrize("d", range(2, 9))
@pytest.mark.parametrize("kind", ["uniform", "grid"])
@pytest.mark.parametrize("k", [1, 7, 40])
def test_self_query_matches_brute_force(d, kind, k):
    rng = np.random.default_rng(d * 100 + k)
    n = 300
    x = rng.random((n, d)) if kind == "uniform" else grid_points(n, d, rng)
    assert_same(quarnel.knn_query(x, k), brute_force(x, x, k))


@pytest.mark.parametrize("d", [2, 5, 8])
def test_cross_query_matches_brute_force_with_extra_columns(d):
    rng = np.random.default_rng(d)
    train = grid_points(200, d, rng)
    query = np.hstack([grid_points(70, d, rng), rng.random((70, 2))])
    got = quarnel.knn_query_cross(train, query, 9)
    assert_same(got, brute_force(train, query[:, :d], 9))
    assert_same(got, quarnel.knn_query_cross(train, np.ascontiguousarray(query[:, :d]), 9))


def test_cross_query_on_itself_equals_self_query():
    x = np.random.default_rng(3).random((500, 4))
    assert_same(quarnel.knn_query_cross(x, x, 8), quarnel.knn_query(x, 8))


def test_distinct_points_find_themselves_first():
    x = np.random.default_rng(4).random((1000, 3))
    d, i = quarnel.knn_query(x, 5)
    assert np.array_equal(i[::5], np.arange(1000))
    assert np.all(d[::5] == 0.0)
    assert np.all(np.diff(d.reshape(-1, 5), axis=1) >= 0)


@pytest.mark.parametrize("n, k", [(5, 9), (1, 3), (33, 100)])
def test_k_above_n_gives_all_points(n, k):
    x = np.random.default_rng(n).random((n, 2))
    d, i = quarnel.knn_query(x, k)
    assert len(d) == n * n
    assert_same((d, i), brute_force(x, x, k))


@pytest.mark.parametrize("k", [0, 1, 2**63, 2**64 - 1])
def test_no_points(k):
    for d, i in (quarnel.knn_query(np.zeros((0, 3)), k),
                 quarnel.knn_query_cross(np.zeros((0, 3)), np.zeros((4, 3)), k),
                 quarnel.knn_query_cross(np.zeros((5, 3)), np.zeros((0, 1)), k)):
        assert d.shape == i.shape == (0,)
        assert d.dtype == np.float64 and i.dtype == np.int64


@pytest.mark.parametrize("cols", [0, 1, 9])
def test_unsupported_dimensionality(cols):
    message = rf"^Dimensionality {cols} not supported \(must be 2-8\)$"
    with pytest.raises(ValueError, match=message):
        quarnel.knn_query(np.zeros((0, cols)), 1)
    with pytest.raises(ValueError, match=message):
        quarnel.knn_query_cross(np.zeros((4, cols)), np.zeros((4, 3)), 1)


def test_query_with_too_few_columns_stops(PanicException):
    with pytest.raises(PanicException, match="^ndarray: index out of bounds$"):
        quarnel.knn_query_cross(np.zeros((4, 3)), np.zeros((2, 2)), 1)


# Faults mended: these inputs are valid and must not stop.

@pytest.mark.parametrize("copies", [33, 200, 5000])
def test_regression_many_duplicates(copies):
    rng = np.random.default_rng(copies)
    x = np.vstack([np.tile([[0.5, 0.5, 0.5]], (copies, 1)), rng.random((100, 3))])
    rng.shuffle(x)
    k = 40
    assert_same(quarnel.knn_query(x, k), brute_force(x, x, k))


def test_regression_shared_coordinate_in_a_bucket():
    rng = np.random.default_rng(1)
    x = rng.random((2000, 2))
    x[:1000, 0] = 0.25            # half the points on one vertical line
    assert_same(quarnel.knn_query(x, 6), brute_force(x, x, 6))


def test_regression_k_zero_returns_empty_rows(PanicException):
    x = np.random.default_rng(2).random((10, 3))
    for d, i in (quarnel.knn_query(x, 0), quarnel.knn_query_cross(x, x, 0)):
        assert d.shape == i.shape == (0,)
    with pytest.raises(PanicException, match="^ndarray: index out of bounds$"):
        quarnel.knn_query_cross(x, x[:, :2], 0)


@pytest.mark.parametrize("k", [2**59, 2**63, 2**64 - 1])
def test_regression_huge_k_reserves_only_what_exists(k):
    x = np.random.default_rng(3).random((20, 2))
    d, i = quarnel.knn_query(x, k)
    assert len(d) == 400
    assert_same((d, i), brute_force(x, x, 20))
    assert len(quarnel.knn_query_cross(x, x[:3], k)[0]) == 60


@pytest.mark.parametrize("n", [1, 5, 1000])
def test_regression_nan_in_tree_points(n, PanicException):
    x = np.random.default_rng(n).random((n, 3))
    x[n // 2, 1] = np.nan
    with pytest.raises(PanicException, match=r"^Leaf node sort failed\.$"):
        quarnel.knn_query(x, 3)
    with pytest.raises(PanicException, match=r"^Leaf node sort failed\.$"):
        quarnel.knn_query_cross(x, np.zeros((1, 3)), 3)


@pytest.mark.parametrize("bad", [np.inf, -np.inf])
def test_regression_infinite_tree_point(bad, PanicException):
    x = np.random.default_rng(0).random((50, 3))
    x[17, 2] = bad
    with pytest.raises(PanicException, match=r"^x: row 17 has an infinite coordinate"):
        quarnel.knn_query(x, 3)
    with pytest.raises(PanicException, match=r"^x_train: row 17 has an infinite coordinate"):
        quarnel.knn_query_cross(x, x, 3)


def test_bad_tree_points_far_apart_report_as_one_pass_would(PanicException):
    # the tree's points are checked in parallel, in blocks of rows: a NaN
    # anywhere is reported first, else the first row out of range
    x = np.random.default_rng(4).random((50000, 3))
    cases = [({40000: np.inf, 20000: 1e300}, r"^x: row 20000 has a coordinate beyond 2\^508"),
             ({10: np.inf, 45000: np.nan}, r"^Leaf node sort failed\.$"),
             ({49999: np.inf}, r"^x: row 49999 has an infinite coordinate")]
    for bad, message in cases:
        y = x.copy()
        for row, value in bad.items():
            y[row, 1] = value
        with pytest.raises(PanicException, match=message):
            quarnel.knn_query(y, 3)


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
def test_regression_non_finite_query_row(bad, PanicException):
    train = np.random.default_rng(0).random((50, 3))
    query = np.random.default_rng(1).random((30, 4))
    query[12, 1] = bad
    with pytest.raises(PanicException, match=r"^x_query: row 12 has a non-finite coordinate"):
        quarnel.knn_query_cross(train, query, 3)
    query[12, 1] = 0.5
    query[12, 3] = bad                 # beyond the tree's columns: not read
    assert_same(quarnel.knn_query_cross(train, query, 3), brute_force(train, query[:, :3], 3))


def test_inputs_never_modified():
    rng = np.random.default_rng(5)
    train, query = rng.random((100, 3)), rng.random((50, 3))
    copies = train.copy(), query.copy()
    quarnel.knn_query(train, 5)
    quarnel.knn_query_cross(train, query, 5)
    assert np.array_equal(train, copies[0]) and np.array_equal(query, copies[1])


DEEP_TREE_ON_SMALL_STACK = """
import threading, numpy as np, quarnel
# every power of two below 2^508 on both axes: a split at the middle of the
# box would cut off one point at a time (a tree as deep as there are points);
# the build must stay shallow, and its bucket splits, whose equal-width
# buckets hold nearly all these points in one, must still find the median
e = np.arange(-1074, 509)
x = np.column_stack([np.ldexp(1.0, e), np.ldexp(1.0, e[::-1])])
out = []
threading.stack_size(256 * 1024)
t = threading.Thread(target=lambda: out.append(quarnel.knn_query(x, 3)))
t.start(); t.join()
print(len(out[0][0]))
"""


def test_regression_deep_tree_built_from_a_thread_with_a_small_stack():
    from conftest import run_python
    proc = run_python(DEEP_TREE_ON_SMALL_STACK)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.strip() == str(3 * 1583)
