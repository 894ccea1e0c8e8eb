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
from quarnel_cluster import DensityPeakClustering, adjusted_rand_index, pipeline, progress

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
    # No split is made, so fewer points suffice.
    DensityPeakClustering(n_neighbors=10, bandwidth=0.8).fit(x[:10])


def test_fit_predict_and_list_input():
    x, _ = blobs(2, 2, seed=4)
    labels = DensityPeakClustering().fit_predict(x.tolist())
    np.testing.assert_array_equal(labels, DensityPeakClustering().fit(x).labels_)


class Untouchable:
    """Stands in for the native module: any use fails the test."""

    def __getattr__(self, name):
        raise AssertionError(f"quarnel.{name} called on bad input")


def bad_points():
    x, _ = blobs(2, 2)
    nan, inf = x.copy(), x.copy()
    nan[5, 1] = np.nan
    inf[7, 0] = -np.inf
    huge = x.copy()
    huge[3, 0] = 1e300
    return [
        (x[:, 0], "2-D array"),
        (x[None], "2-D array"),
        (x[:, :1], "2 to 8 columns"),
        (np.hstack([x] * 5)[:, :9], "2 to 8 columns"),
        (nan, "NaN or infinite values .* first in row 5"),
        (inf, "NaN or infinite values .* first in row 7"),
        (x[:30], "n_neighbors=30 needs at least 37 points"),
        (np.zeros((50, 2)), "all points of X coincide"),
        (huge, "beyond"),
        ([["a", "b"], ["c", "d"]], "numeric"),
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


def test_copies_from_the_neighbour_table_match_a_sort_of_all_rows():
    rng = np.random.default_rng(5)
    x = rng.normal(size=(400, 3))
    x[rng.integers(0, 400, 60)] = x[rng.integers(0, 400, 60)]   # copies, some of copies
    x[10:12] = [[1e-200, 0, 0], [2e-200, 0, 0]]   # distinct, yet at distance 0
    x[300:340] = x[7]                             # more copies than n_neighbors
    nn_dist, _ = pipeline.neighbour_table(x, 30)
    found, full = pipeline.Duplicates.among_neighbours(x, nn_dist), pipeline.Duplicates.of(x)
    assert 300 < len(full.first) < 360
    np.testing.assert_array_equal(found.first, full.first)
    np.testing.assert_array_equal(found.inverse, full.inverse)
    distinct = full.distinct(x)
    assert pipeline.Duplicates.among_neighbours(distinct, pipeline.neighbour_table(
        distinct, 30)[0]).first is None


def test_too_few_distinct_points_are_counted_as_distinct():
    x, _ = blobs(1, 2, per_blob=30)
    with pytest.raises(ValueError, match="needs at least 37 points .*, got 30"):
        DensityPeakClustering().fit(np.vstack([x, x[:10]]))


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
    assert pipeline.points_needed(30, 0.2) == 37


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


@pytest.mark.parametrize("X,message", bad_points())
def test_bad_points_are_rejected_before_the_module(monkeypatch, X, message):
    monkeypatch.setattr(pipeline, "quarnel", Untouchable())
    with pytest.raises(ValueError, match=message):
        DensityPeakClustering().fit(X)


@pytest.mark.parametrize("params,message", [
    (dict(n_neighbors=1), "n_neighbors must be >= 2"),
    (dict(n_neighbors=2.5), "n_neighbors must be an integer"),
    (dict(delta_neighbors=40), "delta_neighbors must be between 2 and 30"),
    (dict(test_size=1.0), "test_size must lie strictly between 0 and 1"),
    (dict(bandwidth=0.0), "bandwidth must be positive"),
    (dict(bandwidth=float("nan")), "bandwidth must be finite"),
    (dict(threshold=-1.0), "threshold must not be negative"),
    (dict(random_state=-3), "random_state must be >= 0"),
])
def test_bad_parameters_are_rejected(monkeypatch, params, message):
    monkeypatch.setattr(pipeline, "quarnel", Untouchable())
    x, _ = blobs(2, 2)
    with pytest.raises(ValueError, match=message):
        DensityPeakClustering(**params).fit(x)


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
"""
    env = dict(os.environ, PYTHONPATH=str(PYTHON_DIR))
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
