"""metric="cosine" and metric="precomputed": the clusters of the Euclidean
fit on what each stands for, and the graphs and rows each refuses."""

import math

import numpy as np
import pytest

from quarnel_cluster import DensityPeakClustering

sparse = pytest.importorskip("scipy.sparse")
neighbors = pytest.importorskip("sklearn.neighbors")


def blobs(centres, per_blob, spread, seed):
    rng = np.random.default_rng(seed)
    centres = np.asarray(centres, dtype=float)
    y = np.repeat(np.arange(len(centres)), per_blob)
    return centres[y] + rng.normal(0.0, spread, (len(y), centres.shape[1])), y


def log_unit_ball(d):
    return d / 2 * math.log(math.pi) - math.lgamma(d / 2 + 1)


def test_cosine_is_euclidean_on_rows_scaled_by_hand():
    # Three directions in 6 columns, rows of very different lengths.
    x, _ = blobs(4 * np.eye(6)[:3], 150, 1.0, seed=0)
    x *= np.random.default_rng(1).uniform(0.1, 50, (len(x), 1))
    unit = x / np.linalg.norm(x, axis=1, keepdims=True)
    h = DensityPeakClustering(metric="cosine").fit(x).bandwidth_
    cosine = DensityPeakClustering(metric="cosine", bandwidth=h).fit(x)
    euclid = DensityPeakClustering(bandwidth=h).fit(unit)
    assert cosine.n_clusters_ == 3 and cosine.dimension_ == 5 and euclid.dimension_ == 6
    np.testing.assert_array_equal(cosine.labels_, euclid.labels_)
    np.testing.assert_array_equal(cosine.nn_delta_, euclid.nn_delta_)
    # The density is taken on the 5-dimensional sphere: its log differs from
    # that in 6 dimensions by the kernel's constants and one power of h.
    d = 6
    shift = (math.log((d + 1) / (d + 2)) + log_unit_ball(d) - log_unit_ball(d - 1)
             + math.log(h))
    np.testing.assert_allclose(cosine.rho_ - euclid.rho_, shift, rtol=0, atol=1e-9)
    # Centres are rows of X as given; new rows are scaled as the fit's were
    # (doubling a row changes no bit of its direction).
    np.testing.assert_array_equal(cosine.cluster_centers_, x[cosine.centers_])
    np.testing.assert_array_equal(cosine.predict(2 * x), cosine.labels_)


@pytest.mark.parametrize("x,message", [
    (np.r_[np.ones((5, 3)), np.zeros((2, 3)), np.eye(3)],
     r"^X has 2 rows of zeros \(the first is row 5\), which have no direction for "
     r"metric='cosine': drop them, or use metric='euclidean'\.$"),
    (np.r_[np.ones((5, 3)), [[0.0, 0.0, 0.0]], np.eye(3)], r"X has 1 row of zeros \(row 5\)"),
    (np.arange(10.0)[:, None] + 1, r"^Found array with 1 feature\(s\) \(shape=\(10, 1\)\) "
                                   r"while a minimum of 2 is required by DensityPeakClustering "
                                   r"with metric='cosine'"),
])
def test_cosine_refuses_rows_without_a_direction(x, message):
    with pytest.raises(ValueError, match=message):
        DensityPeakClustering(metric="cosine").fit(x)


def test_tiny_rows_keep_their_direction():
    # Squares of these coordinates underflow to 0: the rows are not zero.
    x, _ = blobs(4 * np.eye(3)[:2], 60, 0.5, seed=2)
    model = DensityPeakClustering(metric="cosine").fit(x)
    tiny = DensityPeakClustering(metric="cosine").fit(x * 1e-200)
    np.testing.assert_array_equal(tiny.labels_, model.labels_)
    np.testing.assert_allclose(tiny.points_, model.points_, rtol=1e-14)


def test_unknown_metric_is_refused_in_scikit_learns_words():
    with pytest.raises(ValueError, match=r"^The 'metric' parameter of DensityPeakClustering "
                                         r"must be a str among \{'cosine', 'euclidean', "
                                         r"'precomputed'\}\. Got 'manhattan' instead\.$"):
        DensityPeakClustering(metric="manhattan").fit(np.eye(3))


def knn_graph(x, k, query=None):
    search = neighbors.NearestNeighbors(n_neighbors=k, algorithm="kd_tree").fit(x)
    return search.kneighbors_graph(query, mode="distance")


def test_precomputed_graph_gives_the_euclidean_clusters():
    x, y = blobs([[0, 0], [9, 0], [0, 9], [9, 9]], 150, 1.5, seed=3)
    euclid = DensityPeakClustering().fit(x)
    # n_neighbors=30 counts the point itself; 30 stored others are plenty.
    graph = knn_graph(x, 30)
    before = graph.copy()
    # With the Euclidean fit's bandwidth, every stage sees the same numbers:
    # the table is the same, and so is the dimension estimated from it.
    fixed = DensityPeakClustering(metric="precomputed", bandwidth=euclid.bandwidth_).fit(graph)
    assert fixed.dimension_ == 2 and fixed.n_features_in_ == len(x)
    for attr in ("labels_", "rho_", "centers_", "threshold_", "search_size_"):
        np.testing.assert_array_equal(getattr(fixed, attr), getattr(euclid, attr))
    assert not hasattr(fixed, "cluster_centers_") and not hasattr(fixed, "points_")
    # A point linked to a denser one among its nearest is as far from it;
    # a centre that joined another is at least as far along the graph as
    # in a straight line.
    np.testing.assert_array_equal(fixed.nn_delta_, euclid.nn_delta_)
    near = neighbors.NearestNeighbors(n_neighbors=9).fit(x).kneighbors(return_distance=False)
    direct = (near == euclid.nn_delta_[:, None]).any(axis=1)
    np.testing.assert_array_equal(fixed.delta_[direct], euclid.delta_[direct])
    joined = ~direct & (euclid.nn_delta_ >= 0)
    assert joined.sum() > 5 and np.all(fixed.delta_[joined] >= euclid.delta_[joined])
    # Its own bandwidth search differs: a held-out point whose row lists
    # other held-out points sees fewer training neighbours than a search
    # over all training points finds. With rows long enough that each keeps
    # n_neighbors of them, it is the search over all training points.
    own = DensityPeakClustering(metric="precomputed").fit(graph)
    assert own.bandwidth_ == pytest.approx(euclid.bandwidth_, rel=0.02)
    np.testing.assert_array_equal(own.labels_, euclid.labels_)
    wide = DensityPeakClustering(metric="precomputed").fit(knn_graph(x, 80))
    assert wide.bandwidth_ == euclid.bandwidth_
    np.testing.assert_array_equal(wide.rho_, euclid.rho_)
    # predict takes the graph from new points to the training points.
    fresh, _ = blobs([[0, 0], [9, 0], [0, 9], [9, 9]], 20, 1.5, seed=4)
    np.testing.assert_array_equal(fixed.predict(knn_graph(x, 30, fresh)), euclid.predict(fresh))
    # Rows in any order, the point itself stored as 0, a COO matrix: the same.
    coo = sparse.coo_matrix(knn_graph(x, 31, x))
    order = np.random.default_rng(5).permutation(coo.nnz)
    shuffled = sparse.coo_matrix((coo.data[order], (coo.row[order], coo.col[order])),
                                 shape=coo.shape)
    again = DensityPeakClustering(metric="precomputed", bandwidth=euclid.bandwidth_)
    np.testing.assert_array_equal(again.fit(shuffled).labels_, euclid.labels_)
    for a, b in [(graph.data, before.data), (graph.indices, before.indices),
                 (graph.indptr, before.indptr)]:
        np.testing.assert_array_equal(a, b)


def test_copies_in_a_graph_are_one_point():
    x, _ = blobs([[0, 0, 0], [12, 0, 0], [0, 12, 0]], 300, 2.0, seed=6)
    x[100:140] = x[:40]
    x[500:510] = x[7]
    euclid = DensityPeakClustering(bandwidth=1.2).fit(x)
    # Enough neighbours that every point keeps 29 distinct ones.
    graph = DensityPeakClustering(metric="precomputed", bandwidth=1.2).fit(knn_graph(x, 60))
    for attr in ("labels_", "rho_", "nn_delta_", "centers_"):
        np.testing.assert_array_equal(getattr(graph, attr), getattr(euclid, attr))
    # A new point on a copy joins that copy's cluster.
    np.testing.assert_array_equal(graph.predict(knn_graph(x, 60, x[100:140])),
                                  euclid.labels_[:40])
    with pytest.raises(ValueError, match=r"stores 24 neighbours of point 0 once the exact "
                                         r"copies it lists \(stored at distance 0\) are merged"):
        DensityPeakClustering(metric="precomputed").fit(knn_graph(x, 30, x))
    with pytest.warns(UserWarning, match=r"^all 6 points of X are at distance 0 from one "
                                         r"another: they form 1 cluster$"):
        one = DensityPeakClustering(metric="precomputed").fit(
            sparse.csr_matrix((np.zeros(5), ([0, 1, 2, 3, 4], [1, 2, 3, 4, 5])), shape=(6, 6)))
    np.testing.assert_array_equal(one.labels_, np.zeros(6))


def test_bad_graphs_get_their_message():
    x, _ = blobs([[0, 0], [9, 0]], 40, 1.0, seed=7)
    graph = knn_graph(x, 30).tocsr()

    def edited(value, row=3, entry=0):
        g = graph.copy()
        g.data[g.indptr[row] + entry] = value
        return g

    self_entry = graph.copy().tolil()
    self_entry[4, 4] = 0.5
    twice = sparse.coo_matrix(graph)
    twice = sparse.coo_matrix((np.r_[twice.data, 1.0], (np.r_[twice.row, 2], np.r_[twice.col, 9])),
                              shape=graph.shape)
    cases = [
        (graph[:, :70], ValueError, r"^Precomputed matrix must be square\. Input is a 80x70 "
                                    r"matrix\.$"),
        (edited(-1.0), ValueError, r"^Negative values in data passed to precomputed distance "
                                   r"matrix \(-1\.0 in row 3, column \d+\)\.$"),
        (edited(np.nan), ValueError, r"^Input X contains NaN \(the precomputed neighbour graph "
                                     r"stores 1 such distance, in row 3, column \d+\)\.$"),
        (edited(np.inf), ValueError, r"^Input X contains infinity or a value too large"),
        (knn_graph(x, 20), ValueError,
         r"^The precomputed neighbour graph stores 20 neighbours of point 0, fewer than the 29 "
         r"that n_neighbors=30 needs besides the point itself \(80 points fall short\): "
         r"store "
         r"at least 29 neighbours of every point, as NearestNeighbors\(n_neighbors=29\)"
         r"\.kneighbors_graph\(mode='distance'\) does, or lower n_neighbors\.$"),
        (self_entry.tocsr(), ValueError, r"stores a distance of 0\.5 from point 4 to itself: "
                                         r"leave the point itself out, or store it as 0\."),
        (twice, ValueError, r"stores two distances from point 2 to point 9"),
        (graph.toarray(), TypeError, r"with metric='precomputed' takes a sparse neighbour graph"),
        (sparse.csr_matrix(np.ones((1, 1))), ValueError, r"Found array with 1 sample\(s\)"),
    ]
    for X, error, message in cases:
        with pytest.raises(error, match=message):
            DensityPeakClustering(metric="precomputed").fit(X)
    model = DensityPeakClustering(metric="precomputed").fit(graph)
    with pytest.raises(ValueError, match=r"^X has 70 features, but DensityPeakClustering is "
                                         r"expecting 80 features as input\.$"):
        model.predict(graph[:5, :70])
    with pytest.raises(ValueError, match=r"stores 20 training neighbours of new point 0, fewer "
                                         r"than the 30 that the fit's n_neighbors_=30 needs"):
        model.predict(knn_graph(x, 20, x[:5] + 0.1))



def test_large_graphs_hold_out_points_as_the_point_table_does(monkeypatch):
    # Above 2 (k + 1) MAX_TEST_POINTS points the held-out points are drawn
    # so that no held-out point's row lists another (pipeline.held_out_in_table):
    # from a graph's rows as from the table of points, the same bandwidth.
    from quarnel_cluster import pipeline
    monkeypatch.setattr(pipeline, "MAX_TEST_POINTS", 50)
    x, _ = blobs([[0, 0], [9, 0], [0, 9]], 1200, 1.5, seed=9)
    assert pipeline.reads_held_out_from_table(len(x), 30, 0.2)
    euclid = DensityPeakClustering().fit(x)
    graph = DensityPeakClustering(metric="precomputed").fit(knn_graph(x, 30))
    assert graph.bandwidth_ == euclid.bandwidth_
    np.testing.assert_array_equal(graph.labels_, euclid.labels_)


def test_distributed_cosine_is_the_single_machine_fit():
    distributed = pytest.importorskip("distributed")
    from quarnel_cluster.distributed import DensityPeakClustering as OnDask
    x, _ = blobs(4 * np.eye(5)[:4], 500, 1.0, seed=10)
    x *= np.random.default_rng(11).uniform(0.5, 20, (len(x), 1))
    x[:30] = 3 * x[30:60]                       # same directions: copies on the sphere
    single = DensityPeakClustering(metric="cosine").fit(x)
    with distributed.LocalCluster(n_workers=1, processes=False, dashboard_address=":0") as lc, \
            distributed.Client(lc) as c:
        model = OnDask(metric="cosine", client=c, n_partitions=3).fit(x)
        assert model.bandwidth_ == single.bandwidth_
        for name in ("labels_", "rho_", "delta_", "nn_delta_"):
            np.testing.assert_array_equal(getattr(model, name).compute(), getattr(single, name))
        zero = x.copy()
        zero[[7, 9]] = 0
        with pytest.raises(ValueError, match=r"X has 2 rows of zeros \(the first is row 7\)"):
            OnDask(metric="cosine", client=c).fit(zero)
    with pytest.raises(ValueError, match=r"does not take metric='precomputed': it cuts space "
                                         r"into boxes by the points' coordinates"):
        OnDask(metric="precomputed").fit(knn_graph(x, 30))
