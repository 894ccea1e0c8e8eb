"""The clustering driver: DensityPeakClustering on small sets, its input
checks, its scikit-learn conventions, and the driver's own Rand index."""

import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import quarnel
import quarnel_cluster
from quarnel_cluster import (DensityPeakClustering, adjusted_rand_index, neighbours, pipeline,
                             progress, records)

PYTHON_DIR = Path(quarnel_cluster.__file__).resolve().parents[1]


def blobs(n_blobs, d, per_blob=60, seed=0, spread=0.5):
    """Gaussian blobs whose centres are at least 10 apart."""
    rng = np.random.default_rng(seed)
    centres = 10.0 * np.eye(max(n_blobs, d))[:n_blobs, :d] * np.arange(1, n_blobs + 1)[:, None]
    y = np.repeat(np.arange(n_blobs), per_blob)
    return centres[y] + rng.normal(0.0, spread, size=(len(y), d)), y


@pytest.mark.parametrize("n_blobs,d", [(2, 2), (3, 2), (4, 3), (3, 5), (2, 8)])
def test_separated_blobs_are_found(n_blobs, d):
    x, y = blobs(n_blobs, d)
    model = DensityPeakClustering().fit(x)
    assert model.n_clusters_ == n_blobs
    assert adjusted_rand_index(y, model.labels_) == 1.0


def test_bumps_in_thin_tails_do_not_become_clusters():
    # Two 2-D blobs 6 spreads apart, unequal in size and spread: at this n a
    # depth fixed in log-density left dozens of tail bumps as clusters.
    rng = np.random.default_rng(0)
    x = np.vstack([rng.normal(0.0, 1.0, (150_000, 2)), rng.normal((6.0, 0.0), 0.5, (50_000, 2))])
    assert DensityPeakClustering().fit(x).n_clusters_ == 2


def test_make_blobs_gives_no_sliver_clusters():
    from sklearn.datasets import make_blobs
    x, _ = make_blobs(2 * 10**5, centers=3, random_state=0)
    labels = DensityPeakClustering().fit(x).labels_
    assert np.bincount(labels).min() >= 0.01 * len(x)


def test_touching_blobs_of_unequal_density_stay_apart():
    rng = np.random.default_rng(1)
    x = np.vstack([rng.normal(0.0, 0.3, (5000, 2)), rng.normal((3.0, 0.0), 1.0, (5000, 2))])
    y = np.repeat([0, 1], 5000)
    model = DensityPeakClustering().fit(x)
    assert model.n_clusters_ == 2
    assert adjusted_rand_index(y, model.labels_) > 0.95


def test_relabel_equals_a_fresh_fit():
    x, _ = blobs(5, 2, per_blob=300, spread=2.0)
    x = np.vstack([x, x[:20]])                       # copies take the expanded path
    model = DensityPeakClustering().fit(x)
    first = model.labels_.copy()
    for settings in ({"n_clusters": 3}, {"n_clusters": 7}, {"threshold": 0.2}):
        model.relabel(**settings)
        fresh = DensityPeakClustering(**settings).fit(x)
        for name in ("labels_", "centers_", "delta_", "nn_delta_", "threshold_"):
            assert np.array_equal(getattr(model, name), getattr(fresh, name)), name
        assert model.density_graph_ == fresh.density_graph_
    np.testing.assert_array_equal(model.relabel().labels_, first)


def test_merge_tree_standing_is_the_test_the_merging_made():
    # min_cluster_size=1: the merging test alone decides which peaks stay.
    # Wide blobs leave noise bumps, read by default over their group's top.
    x, _ = blobs(4, 2, per_blob=2000, spread=2.5)
    model = DensityPeakClustering(min_cluster_size=1).fit(x)
    for settings in ({"min_cluster_size": 1}, {"threshold": 0.3, "min_cluster_size": 1}):
        model.relabel(**settings)
        tree = model.merge_tree_
        stayed = np.isin(tree["low"], model.centers_)
        assert 1 < stayed.sum() < len(stayed)
        np.testing.assert_array_equal(tree["standing"] >= 1.0, stayed)
    np.testing.assert_allclose(tree["standing"],
                               (tree["low_peak"] - tree["saddle"]) / 0.3, rtol=1e-12)


def test_fitted_attributes_are_consistent():
    x, _ = blobs(3, 2, seed=1)
    model = DensityPeakClustering()
    assert model.fit(x) is model
    n, k = len(x), model.n_clusters_
    assert model.labels_.dtype == np.int64 and model.labels_.shape == (n,)
    assert model.labels_.min() == 0 and model.labels_.max() == k - 1
    np.testing.assert_array_equal(model.labels_[model.centers_], np.arange(k))
    assert model.rho_.shape == model.delta_.shape == model.nn_delta_.shape == (n,)
    assert len(model.density_graph_) == n
    # Every centre is a density maximum: no denser neighbour recorded.
    assert np.all(model.nn_delta_[model.centers_] == -1)
    assert model.bandwidth_ > 0 and model.threshold_ > 0 and model.search_size_ >= 10
    assert model.n_features_in_ == 2
    assert set(model.timings_) == {"neighbours", "bandwidth", "density", "peaks", "merging"}


def test_seeded_fits_are_identical():
    x, _ = blobs(3, 3, seed=2, spread=2.0)
    a = DensityPeakClustering(random_state=7).fit(x)
    b = DensityPeakClustering(random_state=7).fit(x.copy())
    assert a.bandwidth_ == b.bandwidth_
    np.testing.assert_array_equal(a.labels_, b.labels_)
    np.testing.assert_array_equal(a.rho_, b.rho_)


def test_given_bandwidth_and_threshold_are_used():
    x, y = blobs(2, 2, seed=3)
    model = DensityPeakClustering(bandwidth=0.8, threshold=1.5).fit(x)
    assert model.bandwidth_ == 0.8 and model.threshold_ == 1.5
    assert adjusted_rand_index(y, model.labels_) == 1.0


def test_fit_predict_and_list_input():
    x, _ = blobs(2, 2, seed=4)
    labels = DensityPeakClustering().fit_predict(x.tolist())
    np.testing.assert_array_equal(labels, DensityPeakClustering().fit(x).labels_)


class Untouchable:
    """Stands in for the native module: any use fails the test."""

    def __getattr__(self, name):
        raise AssertionError(f"quarnel.{name} called on bad input")


def bad_points():
    sparse = pytest.importorskip("scipy.sparse")
    x, _ = blobs(2, 2)
    nan, inf = x.copy(), x.copy()
    nan[5, 1] = np.nan
    inf[7, 0] = -np.inf
    huge = x.copy()
    huge[3, 0] = 1e300
    with_dict = x.astype(object)
    with_dict[0, 0] = {"a": 1}
    return [
        (x[:, 0], ValueError, "Expected 2D array, got 1D array"),
        (x[None], ValueError, "Found array with dim 3"),
        (np.empty((0, 2)), ValueError, r"Found array with 0 sample\(s\) \(shape=\(0, 2\)\) "
                                       "while a minimum of 2 is required"),
        (x[:1], ValueError, r"1 sample\(s\)"),
        (np.empty((5, 0)), ValueError, r"0 feature\(s\)"),
        (nan, ValueError, r"^Input X contains NaN\.\nDensityPeakClustering does not accept "
                          r"missing values encoded as NaN natively \(1 missing entry, in row 5\)"),
        (inf, ValueError, r"^Input X contains infinity or a value too large for "
                          r"dtype\('float64'\) \(1 infinite entry, in row 7\)\.$"),
        (huge, ValueError, "beyond"),
        ([["a", "b"], ["c", "d"]], ValueError, "X must hold numbers"),
        (with_dict, TypeError, "real number"),
        (x + 1j, ValueError, "Complex data not supported"),
        (sparse.csr_matrix(x), TypeError, "Sparse data was passed"),
    ]


def test_many_duplicate_points_cluster():
    x, _ = blobs(2, 2)
    dup = np.vstack([x, np.repeat([[3.0, 4.0]], 500, axis=0)])
    model = DensityPeakClustering().fit(dup)
    assert len(set(model.labels_[len(x):].tolist())) == 1     # the copies share one cluster
    for attr in ("labels_", "rho_", "delta_", "nn_delta_", "density_graph_"):
        assert len(getattr(model, attr)) == len(dup)
    # every copy hangs at distance 0 under the first occurrence
    assert np.all(model.nn_delta_[len(x) + 1:] == len(x))
    assert model.density_graph_[len(x)] == list(range(len(x) + 1, len(dup)))
    # The graph is built on first access from the parent links, the merges
    # and the copies: every point with a parent sits in that parent's list.
    edges = sorted((p, c) for p, children in enumerate(model.density_graph_) for c in children)
    assert edges == [(int(p), i) for i, p in sorted(enumerate(model.nn_delta_.tolist()),
                                                     key=lambda e: (e[1], e[0])) if p >= 0]


def test_copies_from_the_neighbour_table_match_a_sort_of_all_rows():
    rng = np.random.default_rng(5)
    x = rng.normal(size=(400, 3))
    x[rng.integers(0, 400, 60)] = x[rng.integers(0, 400, 60)]   # copies, some of copies
    x[10:12] = [[1e-200, 0, 0], [2e-200, 0, 0]]   # distinct, yet at distance 0
    x[300:340] = x[7]                             # more copies than n_neighbors
    nn_dist, _ = pipeline.neighbour_table(x, 30)
    found, full = records.Duplicates.among_neighbours(x, nn_dist), records.Duplicates.of(x)
    assert 300 < len(full.first) < 360
    np.testing.assert_array_equal(found.first, full.first)
    np.testing.assert_array_equal(found.inverse, full.inverse)
    distinct = full.distinct(x)
    assert records.Duplicates.among_neighbours(distinct, pipeline.neighbour_table(
        distinct, 30)[0]).first is None


def test_held_out_points_are_bounded(monkeypatch):
    monkeypatch.setattr(pipeline, "MAX_TEST_POINTS", 50)
    for n, n_test in [(100, 20), (250, 50), (1000, 50)]:
        train, test = pipeline.split(n, 0.2, 3)
        assert len(test) == pipeline.test_points(n, 0.2) == n_test
        assert np.all(np.diff(test) > 0) and np.all(np.diff(train) > 0)
        np.testing.assert_array_equal(np.union1d(train, test), np.arange(n))
    # below the bound the held-out points are the head of the seeded permutation
    np.testing.assert_array_equal(pipeline.split(100, 0.2, 3)[1],
                                  np.sort(np.random.default_rng(3).permutation(100)[:20]))


def test_held_out_neighbours_read_off_the_table_are_those_of_a_cross_query(monkeypatch):
    monkeypatch.setattr(pipeline, "MAX_TEST_POINTS", 150)
    x, y = blobs(4, 3, per_blob=5000, seed=6, spread=2.0)
    x[:50] = np.round(x[:50], 1)   # some ties, no copies
    assert len(np.unique(x, axis=0)) == len(x)
    n, k = len(x), 30
    assert pipeline.reads_held_out_from_table(n, k, 0.2)
    wide_dist, wide_list = pipeline.neighbour_table(x, k + 1)
    test = pipeline.held_out_in_table(wide_list, 150, 4)
    held_out = np.zeros(n, dtype=bool)
    held_out[test] = True
    cross, _ = quarnel.knn_query_cross(x[~held_out], x[test], k)
    found = pipeline.optimal_bandwidth(x, wide_dist[:, :k], 0.2, 4, 1e-4, (wide_dist, wide_list))
    low, high = pipeline.search_interval(wide_dist[:, :k], x[~held_out], x[test])
    h, _ = quarnel.find_optimal_bandwidth(cross.reshape(-1, k), low, 5 * high, 3, n - 150, 1e-4)
    assert found.bandwidth == h
    model = DensityPeakClustering(random_state=4).fit(x)
    assert model.bandwidth_ == h and adjusted_rand_index(y, model.labels_) > 0.9


def test_int32_table_fits_as_the_int64_table(monkeypatch):
    # Every reader of the self table (copies, held-out rows, packing of the
    # narrow columns into either buffer, peaks, saddles, halo) against the
    # same run on knn_query's int64 indices.
    monkeypatch.setattr(pipeline, "MAX_TEST_POINTS", 40)
    x, _ = blobs(4, 2, per_blob=700, seed=9, spread=2.5)
    x[:30] = x[30:60]   # copies: the table is made twice
    fits = []
    for wide in (False, True):
        if wide:
            monkeypatch.setattr(neighbours.native, "knn_table",
                                lambda x, k, progress=None: quarnel.knn_query(x, k))
        for params in [{}, {"min_search": 14, "noise": True}, {"n_clusters": 3}]:
            m = DensityPeakClustering(**params).fit(x)
            fits.append([m.labels_, m.centers_, m.rho_, m.delta_, m.nn_delta_,
                         m.bandwidth_, m.threshold_, m.density_graph_])
    for a, b in zip(fits[:3], fits[3:]):
        for u, v in zip(a, b):
            assert np.array_equal(u, v) if isinstance(u, np.ndarray) else u == v


def test_narrow_columns_pack_into_either_table():
    from quarnel_cluster.narrowing import pack_leading_columns
    rng = np.random.default_rng(1)
    n, k = 101, 12
    for dtype, width, list_width, host in [(np.int64, 4, 8, "index"), (np.int32, 3, 5, "index"),
                                           (np.int32, 4, 9, "dist"), (np.int64, 6, 9, None),
                                           (np.int32, 12, 12, None)]:
        dist = np.sort(rng.uniform(size=(n, k)), axis=1)
        table = rng.integers(0, n, (n, k)).astype(dtype)
        want = dist[:, :width].copy(), table[:, :list_width].copy()
        packed = pack_leading_columns(dist, table, width, list_width)
        if host is None:
            assert packed is None
            continue
        d, t = packed
        assert t.dtype == dtype and d.flags.c_contiguous and t.flags.c_contiguous
        assert d.flags.aligned   # an odd count of int32 indices ahead of them
        np.testing.assert_array_equal(d, want[0])
        np.testing.assert_array_equal(t, want[1])
        buffer = table if host == "index" else dist
        assert np.shares_memory(d, buffer) and np.shares_memory(t, buffer)


@pytest.mark.parametrize("X,error,message", bad_points())
def test_bad_points_are_rejected_before_the_module(monkeypatch, X, error, message):
    monkeypatch.setattr(pipeline, "quarnel", Untouchable())
    monkeypatch.setattr(neighbours, "quarnel", Untouchable())
    with pytest.raises(error, match=message):
        DensityPeakClustering().fit(X)


@pytest.mark.parametrize("params,message", [
    (dict(n_neighbors=1), r"The 'n_neighbors' parameter of DensityPeakClustering must be an int "
                          r"in the range \[2, inf\)\. Got 1 instead\."),
    (dict(n_neighbors=2.5), r"'n_neighbors' .* Got 2\.5 instead"),
    (dict(delta_neighbors=40), "delta_neighbors=40 must not exceed n_neighbors=30"),
    (dict(test_size=1.0), r"'test_size' .* a float in the range \(0\.0, 1\.0\)"),
    (dict(bandwidth=0.0), r"'bandwidth' .* a float in the range \(0\.0, inf\) or None"),
    (dict(bandwidth=float("nan")), "'bandwidth' .* Got nan instead"),
    (dict(threshold=-1.0), r"'threshold' .* \[0\.0, inf\) or None"),
    (dict(random_state=-3), r"'random_state' .* an int in the range \[0, 4294967295\], an "
                            "instance of 'numpy.random.mtrand.RandomState' or None"),
    (dict(verbose="yes"), "'verbose' .* an int in the range"),
    (dict(n_clusters=0), r"'n_clusters' .* an int in the range \[1, inf\) or None"),
    (dict(min_cluster_size=2.5), "'min_cluster_size' .* Got 2.5 instead"),
    (dict(noise="yes"), "'noise' .* an instance of 'bool'"),
])
def test_bad_parameters_are_rejected(monkeypatch, params, message):
    monkeypatch.setattr(pipeline, "quarnel", Untouchable())
    x, _ = blobs(2, 2)
    with pytest.raises(ValueError, match=message) as raised:
        DensityPeakClustering(**params).fit(x)
    # scikit-learn's InvalidParameterError is both a ValueError and a TypeError.
    assert isinstance(raised.value, TypeError) or "delta_neighbors" in params


def test_scikit_learn_conventions():
    base = pytest.importorskip("sklearn.base")
    model = DensityPeakClustering(n_neighbors=20, threshold=2.0)
    params = model.get_params()
    assert params["n_neighbors"] == 20 and params["bandwidth"] is None
    copy = base.clone(model)
    assert copy.get_params() == params and copy is not model
    assert model.set_params(n_neighbors=25) is model and model.n_neighbors == 25
    assert "n_neighbors=25" in repr(model)
    x, _ = blobs(2, 2)
    assert not hasattr(copy, "labels_")
    np.testing.assert_array_equal(copy.fit_predict(x), copy.labels_)


def test_scikit_learn_is_imported_by_its_user_only():
    pytest.importorskip("sklearn")
    code = """
import sys
from quarnel_cluster import DensityPeakClustering
assert 'sklearn' not in sys.modules
m = DensityPeakClustering()
from sklearn.base import BaseEstimator, ClusterMixin, clone
from sklearn.exceptions import NotFittedError
assert isinstance(m, BaseEstimator) and isinstance(clone(m), ClusterMixin)
try:
    m.predict([[0.0, 0.0]])
except NotFittedError:
    pass
"""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(PYTHON_DIR), *filter(None, [os.environ.get("PYTHONPATH")])]))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
    assert out.returncode == 0, out.stderr


def test_copies_leave_a_random_state_split_as_on_distinct_points():
    x, _ = blobs(3, 2, per_blob=200)
    with_copies = np.vstack([x, x[:40]])
    a = DensityPeakClustering(random_state=np.random.RandomState(7)).fit(with_copies)
    b = DensityPeakClustering(random_state=np.random.RandomState(7)).fit(x)
    assert a.bandwidth_ == b.bandwidth_
    np.testing.assert_array_equal(a.labels_[:len(x)], b.labels_)


def test_works_without_scikit_learn():
    code = """
import sys
sys.modules['sklearn'] = None  # import fails as if not installed
import numpy as np
from quarnel_cluster import DensityPeakClustering
m = DensityPeakClustering(threshold=2.0)
assert m.get_params()['threshold'] == 2.0 and m.set_params(n_neighbors=12) is m
try:
    m.set_params(colour=1)
except ValueError as e:
    assert 'colour' in str(e)
x = np.random.default_rng(0).normal(size=(200, 2)) + np.repeat([[0, 0], [20, 0]], 100, axis=0)
print(len(set(m.fit_predict(x).tolist())), repr(m))
assert (m.predict(x[:5]) == m.labels_[:5]).all()
try:
    DensityPeakClustering(n_neighbors=1).fit(x)
except ValueError as e:
    assert isinstance(e, TypeError) and "must be an int in the range [2, inf)" in str(e)
"""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(PYTHON_DIR), *filter(None, [os.environ.get("PYTHONPATH")])]))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split()[0] == "2"
    assert "n_neighbors=12" in out.stdout and "threshold=2.0" in out.stdout


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_rand_index_matches_scikit_learn(seed):
    metrics = pytest.importorskip("sklearn.metrics")
    rng = np.random.default_rng(seed)
    a = rng.integers(-1, 4, 300)
    b = np.where(rng.random(300) < 0.7, a * 7 + 3, rng.integers(0, 9, 300))
    assert adjusted_rand_index(a, b) == pytest.approx(metrics.adjusted_rand_score(a, b),
                                                      abs=1e-12)


def test_rand_index_of_equal_partitions():
    assert adjusted_rand_index([1, 1, 2, 2, 3], [5, 5, 0, 0, 9]) == 1.0
    assert adjusted_rand_index([0, 0, 0], [4, 4, 4]) == 1.0


def test_slow_stages_are_reported(monkeypatch, capsys):
    monkeypatch.setattr(progress, "SLOW_SECONDS", -1.0)
    x, _ = blobs(2, 2)
    DensityPeakClustering(verbose=True).fit(x)
    err = capsys.readouterr().err
    assert "quarnel_cluster: neighbours done in" in err and "merging done in" in err
    DensityPeakClustering().fit(x)
    assert "quarnel_cluster:" not in capsys.readouterr().err


@pytest.mark.parametrize("n", [2, 3, 36])
def test_small_sets_fit_with_defaults(n):
    x, _ = blobs(2, 2, per_blob=18)
    model = DensityPeakClustering().fit(x[np.random.default_rng(n).permutation(36)[:n]])
    assert model.labels_.shape == (n,) and 1 <= model.n_clusters_ <= n
    assert model.n_neighbors_ == min(30, n) and np.isfinite(model.rho_).all()


def test_one_and_fifty_columns():
    x1, y1 = blobs(2, 1)
    assert adjusted_rand_index(y1, DensityPeakClustering().fit_predict(x1)) == 1.0
    x50, y50 = blobs(3, 50, per_blob=40)
    model = DensityPeakClustering().fit(x50)
    # The density is that of 50 dimensions, and finite.
    assert np.isfinite(model.rho_).all() and model.rho_.max() > -600
    assert adjusted_rand_index(y50, model.labels_) == 1.0
    # In large units h^50 overflows float64: the driver rescales lengths.
    far = DensityPeakClustering().fit(x50 * 2.0**30)
    np.testing.assert_array_equal(far.labels_, model.labels_)
    np.testing.assert_allclose(far.rho_ + 50 * 30 * np.log(2.0), model.rho_, atol=1e-3)


def test_predict_gives_the_cluster_a_point_would_join():
    x, y = blobs(3, 2, seed=5)
    model = DensityPeakClustering().fit(x)
    np.testing.assert_array_equal(model.predict(x), model.labels_)
    # Off the training points (no copy to inherit from), away from borders.
    np.testing.assert_array_equal(model.predict(x + 1e-9), model.labels_)
    fresh, y_fresh = blobs(3, 2, seed=6)
    assert adjusted_rand_index(y_fresh, model.predict(fresh)) == 1.0
    assert model.points_.base is None and not np.shares_memory(model.points_, x)
    with pytest.raises(ValueError, match="X has 3 features, but DensityPeakClustering "
                                         "is expecting 2 features as input."):
        model.predict(np.zeros((4, 3)))
    with pytest.raises(ValueError, match="Expected 2D array"):
        model.predict(x[0])
    with pytest.raises(AttributeError, match="not fitted yet"):
        DensityPeakClustering().predict(x)


def test_a_run_too_large_for_memory_is_refused(monkeypatch):
    from quarnel_cluster import memory
    monkeypatch.setattr(memory, "available_bytes", lambda: 10_000)
    monkeypatch.setattr(pipeline, "quarnel", Untouchable())
    monkeypatch.setattr(neighbours, "quarnel", Untouchable())
    monkeypatch.setattr(pipeline, "kernel_fits", lambda d, k: True)
    with pytest.raises(MemoryError, match="needs about .* GiB, but 0.0 GiB are available: "
                                          ".*use fewer n_neighbors, or cluster a sample"):
        DensityPeakClustering().fit(blobs(2, 2)[0])


def test_scikit_learn_check_estimator_passes():
    checks = pytest.importorskip("sklearn.utils.estimator_checks")
    results = checks.check_estimator(DensityPeakClustering(), on_fail=None)
    failed = [(r["check_name"], str(r["exception"])[:300]) for r in results
              if r["status"] == "failed"]
    assert not failed
    assert len(results) >= 40


def test_docstring_example_runs():
    import doctest
    from quarnel_cluster import estimator
    result = doctest.testmod(estimator)
    assert result.attempted > 0 and result.failed == 0
