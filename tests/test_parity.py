"""What scikit-learn's estimators and pandas users expect: feature names,
pandas' missing values, cluster_centers_, points that all coincide, and
warnings that name the caller's line."""

import warnings

import numpy as np
import pytest

from quarnel_cluster import DensityPeakClustering

pd = pytest.importorskip("pandas")


def blobs(per_blob=80, seed=0):
    rng = np.random.default_rng(seed)
    centres = np.array([[0.0, 0.0, 0.0], [10.0, 0.0, 0.0], [0.0, 10.0, 0.0]])
    return np.repeat(centres, per_blob, axis=0) + rng.normal(0, 1, (3 * per_blob, 3))


def recorded(call):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = call()
    return result, caught


def test_feature_names_follow_scikit_learn():
    checks = pytest.importorskip("sklearn.utils.estimator_checks")
    # scikit-learn's own check: names kept as an object array, and the
    # errors for names reordered, unseen or missing at predict.
    checks.check_dataframe_column_names_consistency("DensityPeakClustering",
                                                    DensityPeakClustering())
    x = blobs()
    frame = pd.DataFrame(x, columns=["a", "b", "c"])
    model = DensityPeakClustering().fit(frame)
    np.testing.assert_array_equal(model.feature_names_in_, ["a", "b", "c"])
    labels, caught = recorded(lambda: model.predict(x))
    np.testing.assert_array_equal(labels, model.labels_)
    assert [str(w.message) for w in caught] == [
        "X does not have valid feature names, but DensityPeakClustering was fitted with "
        "feature names"]
    assert caught[0].filename == __file__
    plain = DensityPeakClustering().fit(x)
    _, caught = recorded(lambda: plain.predict(frame))
    assert [str(w.message) for w in caught] == [
        "X has feature names, but DensityPeakClustering was fitted without feature names"]
    # Names that are not all strings are no names; a refit forgets old ones.
    assert not hasattr(model.fit(pd.DataFrame(x)), "feature_names_in_")
    with pytest.raises(TypeError, match=r"Feature names are only supported if all input "
                                        r"features have string names, but your input has "
                                        r"\['int', 'str'\] as feature name"):
        DensityPeakClustering().fit(pd.DataFrame(x, columns=["a", 1, "c"]))


@pytest.mark.parametrize("column", [
    pd.array([1, None, 3] * 80, dtype="Int64"),
    pd.array([1.5, None, 2.0] * 80, dtype="Float64"),
    pd.array([True, None, False] * 80, dtype="boolean"),
    pd.Series([1.0, pd.NA, 2.0] * 80, dtype=object),
])
def test_pandas_missing_values_are_nan(column):
    frame = pd.DataFrame(blobs(), columns=["a", "b", "c"])
    frame["c"] = column
    with pytest.raises(ValueError, match=r"^Input X contains NaN\.\nDensityPeakClustering does "
                                         r"not accept missing values encoded as NaN natively "
                                         r"\(80 missing entries, the first in row 1\)"):
        DensityPeakClustering().fit(frame)
    # Without the missing cells, nullable columns are numbers like any other.
    full = frame.dropna()
    model = DensityPeakClustering().fit(full)
    np.testing.assert_array_equal(
        model.labels_, DensityPeakClustering().fit(full.to_numpy(np.float64)).labels_)


def test_cluster_centers_and_min_cluster_size_as_fitted():
    x = blobs()
    x = np.vstack([x[:5], x])        # copies: centers_ index rows of X as given
    model = DensityPeakClustering().fit(x)
    assert model.n_clusters_ == 3 and model.cluster_centers_.shape == (3, 3)
    np.testing.assert_array_equal(model.cluster_centers_, x[model.centers_])
    assert not np.shares_memory(model.cluster_centers_, x)
    assert model.min_cluster_size_ == 30      # n_neighbors over sqrt(n) / 2
    assert DensityPeakClustering(min_cluster_size=12).fit(x).min_cluster_size_ == 12


@pytest.mark.parametrize("metric,x,what", [
    ("euclidean", np.tile([[1.0, 2.0, 3.0]], (50, 1)), "all 50 points of X coincide"),
    # Scaled by powers of two: their unit rows are equal to the last bit.
    ("cosine", 2.0 ** (np.arange(50) % 9)[:, None] * [[1.0, 2.0, 3.0]],
     "all 50 rows of X point the same way"),
])
def test_points_that_all_coincide_form_one_cluster(metric, x, what):
    model, caught = recorded(lambda: DensityPeakClustering(metric=metric, n_clusters=2).fit(x))
    assert [str(w.message) for w in caught] == [
        f"{what}: they form 1 cluster (n_clusters=2 asked for)"]
    assert caught[0].filename == __file__
    assert model.n_clusters_ == 1 and model.centers_.tolist() == [0]
    np.testing.assert_array_equal(model.labels_, np.zeros(50))
    np.testing.assert_array_equal(model.cluster_centers_, x[:1])
    assert model.bandwidth_ == 0.0 and np.isnan(model.threshold_)
    assert np.all(model.rho_ == np.inf) and np.all(model.delta_ == 0)
    assert model.nn_delta_.tolist() == [-1] + [0] * 49
    assert model.density_graph_[0] == list(range(1, 50))
    np.testing.assert_array_equal(model.predict(np.eye(3) + 1), [0, 0, 0])
    # With a bandwidth given, the kernel's value at distance 0 (in 3-D:
    # 5 / (2 * 4/3 pi) at h = 1).
    given, _ = recorded(lambda: DensityPeakClustering(metric=metric, bandwidth=1.0).fit(x))
    expected = np.log(5 / (8 * np.pi / 3)) if metric == "euclidean" else np.log(4 / (2 * np.pi))
    np.testing.assert_allclose(given.rho_, expected, rtol=1e-12)


def test_warnings_name_the_callers_line():
    x = blobs()[:80]           # one blob: one density peak
    model = DensityPeakClustering(n_clusters=2)
    for call in (lambda: model.fit(x), lambda: model.fit_predict(x)):
        _, caught = recorded(call)
        assert [str(w.message) for w in caught] == [
            "n_clusters=2 asked for, but the data have only 1 distinct density peak with at "
            "least min_cluster_size points: returning 1 cluster"]
        assert caught[0].filename == __file__
