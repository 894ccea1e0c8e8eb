"""DensityPeakClustering: the scikit-learn style front end of quarnel."""

from __future__ import annotations

from numbers import Integral, Real
from types import SimpleNamespace
from typing import Any

import numpy as np

from . import (clustering, controls, local_stages, memory, neighbours, pipeline, precomputed,
               records, stages, validation)
from ._params import BASES, not_fitted_error
from ._params import Parameter, constraints_of, init_of
from .progress import StageTimer
from .validation import Interval, StrOptions

# A neighbour counts as denser than a point only above this margin, as in
# the native search for density peaks.
DENSITY_MARGIN = 1e-8


class DensityPeakClustering(*BASES):  # type: ignore[misc]
    """Density-peak clustering on a k-nearest-neighbour graph.

    Every point gets a log-density from an Epanechnikov kernel over its
    nearest neighbours and is linked to its nearest denser neighbour; points
    with no denser neighbour start a cluster. Walking down the saddles
    between touching clusters from the highest, a peak that stands less than
    ``threshold`` above the saddle where its group meets a higher peak's
    group joins that group, across its highest saddle: a cluster stays only
    when a valley deeper than the estimate's noise at its peak and at that
    saddle separates it from every denser one; by default, clusters that
    hold less excess of mass than a node of their merge tree then join
    there. Clusters of fewer than ``min_cluster_size`` points then join the
    neighbouring cluster they meet at the highest saddle. ``n_clusters=K``
    instead keeps the K heaviest peaks of the merge tree (prominence times
    points), and ``noise=True`` labels -1 each cluster's halo; `relabel`
    cuts a fitted model again for another ``n_clusters`` or threshold
    without a new neighbour search. `predict`
    gives new points the cluster they would join.

    The defaults need no tuning for data whose clusters hold a few dozen
    points or more. Coordinates should be on comparable scales (standardise
    them if not): the kernel is round. X may have any number of columns up
    to about 280 (where the kernel's normalisation overflows); from 9 columns
    on the neighbour search is a tree on the data's principal axes, falling
    back to brute force (O(n^2 d) in time) where the points fill every
    column and no tree can prune.

    Parameters
    ----------
    n_neighbors : int, default=30
        Neighbours per point (the point itself included) used for the
        density estimate, the bandwidth search and the merging of clusters.
        Clusters much smaller than this are absorbed by their neighbours.
    delta_neighbors : int, default=10
        How many of those neighbours (the nearest ones) are searched for a
        denser point. A point with no denser point among them starts a
        cluster; smaller values start more clusters that the merging step
        then tests.
    bandwidth : float or None, default=None
        Kernel bandwidth in the units of X. None chooses it by minimising
        the negative log-likelihood of a held-out part of the points.
    test_size : float, default=0.2
        Fraction of the points held out for the bandwidth search, at most
        20000 points (``pipeline.MAX_TEST_POINTS``): beyond that a larger
        sample no longer changes the chosen bandwidth, only the time.
    xtol : float, default=1e-4
        Relative tolerance of the bandwidth search.
    threshold : float or None, default=None
        Depth, in log-density, of the valley that must separate a cluster
        from any denser one. None sets it from the noise of the estimate
        where it is read: the depth ``threshold_scale * sqrt(2 ln(n / m) /
        m)``, with m the median number of neighbours within one bandwidth
        (the deepest of the n / m independent noise bumps, which grows
        slowly with n), holds where the peak and the saddle have m points
        in their kernel; where fewer points weigh in the estimate, as in a
        thin tail, the valley must be deeper, and where more weigh, it may
        be shallower. The test is a rise of ``threshold_ * sqrt(m) / 2`` on
        the square root of the number of points the kernel weighs, whose
        noise is the same at any density. With None, of the clusters that
        test keeps, those inside a node of their merge tree that holds more
        excess of mass than they do join (arcs of one ring or moon); the
        root is never such a node.
    threshold_scale : float, default=1.1
        Multiple of that noise depth used when threshold is None; larger
        values merge more.
    alpha : float, default=0.5
        Search width of the merging step: the median number of neighbours
        within ``alpha * bandwidth``, but at least min_search (and at most
        n_neighbors).
    min_search : int, default=10
        Smallest search width of the merging step.
    n_clusters : int or None, default=None
        Number of clusters to return. The peaks found are ranked by
        prominence (height above the saddle where they meet a higher peak)
        times the points they hold, and the K heaviest are kept; the
        threshold is then not used. Fewer come back, with a warning, when
        the data have fewer distinct peaks.
    min_cluster_size : int or None, default=None
        A cluster of fewer points joins the cluster it meets at its highest
        saddle (the one it would join first as the threshold rises), or,
        touching none, the nearest cluster with a denser peak. None:
        ``max(n_neighbors, round(sqrt(n) / 2))`` for n distinct points, but
        with n_clusters given at most ``n // (2 * n_clusters)``.
    noise : bool, default=False
        Label -1 the halo of every cluster: its points less dense than the
        densest point on its border with another cluster (a point with one
        of its first search-width neighbours over there). A cluster that
        touches no other has no halo.
    random_state : int, numpy.random.RandomState or None, default=0
        Seed of the train/test split of the bandwidth search. None (or a
        RandomState) draws a fresh split on every fit.
    verbose : bool, default=False
        Report stages that take more than a second on standard error.
    metric : {"euclidean", "cosine", "precomputed"}, default="euclidean"
        How points are compared.

        - "euclidean": straight-line distance between the rows of X.
        - "cosine": the angle between the rows: they are scaled to unit
          length and clustered by their Euclidean distance on the unit
          sphere (which orders pairs as cosine distance does), the density
          taken in the sphere's d - 1 dimensions. For text and image
          embeddings, whose length says little and whose direction carries
          the meaning. A row of zeros has no direction and is refused.
        - "precomputed": X is a neighbour graph, a SciPy sparse matrix of
          shape (n_samples, n_samples) as scikit-learn's
          ``NearestNeighbors(n_neighbors=30).fit(points)
          .kneighbors_graph(mode="distance")`` or ``radius_neighbors_graph``
          returns it: row i stores distances from point i to its nearest
          others, the point itself left out or stored as 0. Every row must
          store n_neighbors - 1 others (n_neighbors counts the point
          itself); only its nearest n_neighbors - 1 enter the density, by
          (distance, column). This clusters by any metric, or on neighbours
          from an approximate index. Points at a stored distance of 0 are
          copies of one point. Without coordinates, the density's
          dimension is estimated from the neighbour distances
          (``dimension_``), and distances between cluster centres are path
          lengths along the graph (see quarnel_cluster.precomputed).
          `predict` then takes the graph from the new points to the
          training points.

    Attributes
    ----------
    labels_ : ndarray of int64, shape (n_points,)
        Cluster of every point, 0 to n_clusters_ - 1; -1 for noise
        (noise=True only).
    centers_ : ndarray of int64, shape (n_clusters_,)
        Row index in X of each cluster's centre (its density peak);
        ``labels_[centers_[j]] == j``.
    cluster_centers_ : ndarray of float64, shape (n_clusters_, n_features_in_)
        The rows of X at centers_: each cluster's density peak, as given
        (not scaled to unit length with metric="cosine"). Absent with
        metric="precomputed", which has no coordinates.
    n_clusters_ : int
    rho_ : ndarray of float64, shape (n_points,)
        Log-density of every point.
    delta_ : ndarray of float64, shape (n_points,)
        Distance to the nearest denser neighbour (for a merged centre: to the
        centre it joined; for a remaining centre: the diagonal of the data's
        bounding box, or with metric="precomputed" the largest of the other
        values and of the graph's distances).
    nn_delta_ : ndarray of int64, shape (n_points,)
        Index of that neighbour, -1 for the density maxima.
    density_graph_ : list of lists of int
        For every point, the points whose nearest denser neighbour it is
        (merged centres are appended to the lists of the centres they joined).
    bandwidth_ : float
        Kernel bandwidth used.
    threshold_ : float
        Log-density drop used by the merging step where m points weigh in
        the estimate (with threshold=None), or everywhere (threshold given);
        not used when n_clusters is given.
    search_size_ : int
        Search width used by the merging step.
    min_cluster_size_ : int
        The least cluster size used: min_cluster_size, or the default rule's.
    dimension_ : int
        Dimension of the density estimate (the kernel's normalisation and
        the bandwidth search): n_features_in_; n_features_in_ - 1 with
        metric="cosine"; with metric="precomputed", the dimension of the
        space the points fill, estimated from their neighbour distances
        (Levina and Bickel's maximum likelihood estimate, rounded).
    n_features_in_ : int
        Number of columns of X (with metric="precomputed", of points).
    feature_names_in_ : ndarray of str objects, shape (n_features_in_,)
        The column names of X, when X is a data frame whose column names are
        all strings; `predict` then expects the same names, in the same
        order.
    n_neighbors_ : int
        Neighbours per point used: n_neighbors, or fewer for small sets.
    points_ : ndarray of float64, shape (n_distinct, n_features_in_)
        The distinct training points, in order of first appearance (scaled
        to unit length with metric="cosine"): a copy, never a view of X,
        kept for `predict`. Absent with metric="precomputed".
    timings_ : dict of str to float
        Seconds spent in each stage of the last fit.

    Notes
    -----
    Small sets: a parameter never asks for more points than there are.
    n_neighbors is lowered to the number of distinct points n (and
    delta_neighbors with it); the bandwidth search holds out
    ``max(1, int(test_size * n))`` points and gives each of them all the
    training points when there are fewer than n_neighbors of them. So any
    set of 2 or more distinct points can be clustered with the defaults.

    Points that all coincide (or, with metric="cosine", all point the
    same way) form one cluster, with a warning: labels_ all 0, centers_
    [0], delta_ 0, and every point hanging from the first. Their density
    is that of a point mass: the held-out likelihood grows without bound
    as the bandwidth shrinks, so bandwidth_ is 0.0 and rho_ is inf (with
    a bandwidth given, that bandwidth and the kernel's value at distance
    0); threshold_ is NaN (no merging; the one given, if any);
    n_neighbors_ and search_size_ are 1. `predict` gives every point 0.

    Memory: a fit needs about ``n * (16 * n_neighbors + 300 + 48 * d)``
    bytes besides X (20 per neighbour from 9 columns or 2^31 points on); a
    fit that cannot have them (MemAvailable, and the cgroup limit where
    there is one) is refused up front with a MemoryError.

    Examples
    --------
    >>> import numpy as np
    >>> from quarnel_cluster import DensityPeakClustering
    >>> rng = np.random.default_rng(0)
    >>> X = np.vstack([rng.normal(0, 1, (100, 2)), rng.normal(10, 1, (100, 2))])
    >>> model = DensityPeakClustering().fit(X)
    >>> model.n_clusters_
    2
    >>> model.predict([[0.5, -0.2], [9.0, 10.5]]).tolist() == model.labels_[[0, 100]].tolist()
    True
    """

    # Every parameter, declared here only: the signature of __init__, the
    # checks of fit, the distributed estimator's parameters and the command
    # line's options (with their --help from the Parameters above) come
    # from this table.
    _parameters = (
        Parameter("n_neighbors", 30, [Interval(Integral, 2, None, closed="left")],
                  flag="--n-neighbors"),
        Parameter("delta_neighbors", 10, [Interval(Integral, 2, None, closed="left")]),
        Parameter("bandwidth", None, [Interval(Real, 0, None, closed="neither"), None],
                  flag="--bandwidth"),
        Parameter("test_size", 0.2, [Interval(Real, 0, 1, closed="neither")]),
        Parameter("xtol", 1e-4, [Interval(Real, 0, None, closed="neither")]),
        Parameter("threshold", None, [Interval(Real, 0, None, closed="left"), None],
                  flag="--threshold"),
        Parameter("threshold_scale", 1.1, [Interval(Real, 0, None, closed="left")]),
        Parameter("alpha", 0.5, [Interval(Real, 0, None, closed="neither")]),
        Parameter("min_search", 10, [Interval(Integral, 1, None, closed="left")]),
        Parameter("n_clusters", None, [Interval(Integral, 1, None, closed="left"), None],
                  flag="--n-clusters", metavar="K"),
        Parameter("min_cluster_size", None, [Interval(Integral, 1, None, closed="left"), None],
                  flag="--min-cluster-size", metavar="M"),
        Parameter("noise", False, ["boolean"], flag="--noise"),
        Parameter("random_state", 0, ["random_state"], flag="--seed"),
        Parameter("verbose", False, ["verbose"]),
        Parameter("metric", "euclidean", [StrOptions({"cosine", "euclidean", "precomputed"})],
                  flag="--metric"),
    )
    _parameter_constraints: dict[str, list[Any]] = constraints_of(_parameters)
    __init__ = init_of(_parameters)

    def _checked_params(self) -> dict[str, Any]:
        params = self.get_params(deep=False)
        validation.check_params(self._parameter_constraints, params, type(self).__name__)
        if self.delta_neighbors > self.n_neighbors:
            raise ValueError(f"delta_neighbors={self.delta_neighbors} must not exceed "
                             f"n_neighbors={self.n_neighbors}")
        return params

    def fit(self, X: Any, y: Any = None) -> "DensityPeakClustering":
        """Cluster the points of X.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features), or sparse matrix of \
shape (n_samples, n_samples)
            At least 2 points with at least one coordinate each, all finite;
            with metric="precomputed", their neighbour graph (see `metric`).
        y : None
            Ignored; present for the scikit-learn API.

        Returns
        -------
        self : DensityPeakClustering
            The fitted estimator.
        """
        p = self._checked_params()
        for stale in ("cluster_centers_", "points_", "feature_names_in_", "_tree",
                      "_merge_rule", "_merge_tree"):
            self.__dict__.pop(stale, None)
        prepared = self._stages(X, p)
        if prepared is None:
            return self     # all points were one: one cluster
        way, x_input, names = prepared
        del prepared
        try:
            found = stages.run(way, way.s)
        except local_stages.AllOne as one:
            self._fit_one_cluster(p, one.n_points, one.n_points, 1, str(one), None)
            return self
        self._keep_fit(X, p, way, found, x_input, names)
        return self

    def _stages(self, X: Any, p: dict[str, Any]) -> tuple[Any, Any, Any] | None:
        """(the stages of X's run, the checked points or None for a graph,
        their feature names); None when all points coincide, and the fit
        is made (one cluster)."""
        owner = type(self).__name__
        # The run reads the parameters by name, as the distributed run does.
        run_settings = SimpleNamespace(**p)
        if p["metric"] == "precomputed":
            timer = StageTimer(bool(self.verbose), X.shape[0] if hasattr(X, "shape") else 0)
            return local_stages.GraphStages(X, run_settings, timer, owner), None, None
        names = validation.feature_names(X)
        x_input = validation.check_points(X, owner)
        n_all, d = x_input.shape
        dim = d
        x_all = x_input
        if p["metric"] == "cosine":
            x_all, dim = validation.unit_rows(x_input, owner), d - 1
        # Refused before any table is built (copies counted as points here).
        if not pipeline.kernel_fits(dim, min(p["n_neighbors"], n_all)):
            raise ValueError(f"X has {d} features: the kernel's normalisation overflows "
                             "in that many dimensions; reduce them first (e.g. with PCA)")
        if validation.all_equal(x_all):
            what = ("rows of X point the same way" if p["metric"] == "cosine"
                    else "points of X coincide")
            self._fit_one_cluster(p, n_all, d, dim, f"all {n_all} {what}", x_all[:1])
            self.cluster_centers_ = x_input[:1].copy()
            self._keep_names(names)
            return None
        memory.check_fits(n_all, min(p["n_neighbors"], n_all), d)
        timer = StageTimer(bool(self.verbose), n_all)
        return local_stages.PointStages(x_all, run_settings, timer, dim), x_input, names

    def _keep_fit(self, X: Any, p: dict[str, Any], done: Any, found: stages.Run,
                  x_input: np.ndarray | None, names: np.ndarray | None) -> None:
        """The attributes of the run `found`, whose stages were `done`."""
        x, copies, rho, k = done.x, done.copies, done.rho, found.k
        self.rho_ = copies.spread(rho)
        self.bandwidth_ = float(found.bandwidth)
        self.threshold_ = float(found.threshold)
        self.search_size_ = int(min(found.search_size, k))
        self.n_neighbors_ = k
        self.dimension_ = int(done.dim)
        self._fit_rho = rho
        self._fit_metric = p["metric"]
        self.timings_ = dict(done.timer.timings)
        self.n_features_in_ = done.n_features
        if x_input is None:
            self._fit_inverse = copies.inverse
        else:
            user_array = isinstance(X, np.ndarray) and np.may_share_memory(x, X)
            self.points_ = x.copy() if user_array else x
            self._fit_inverse = None
            self._keep_names(names)
        # Every peak's cluster and their saddles: relabel cuts them again.
        self._tree = (done.tree, found.rule, float(found.threshold), copies, k, x, x_input)
        self._set_clusters(found.clusters, found.min_size)

    def _set_clusters(self, result: Any, min_size: int) -> None:
        """The attributes of the clusters `result` (on the distinct points)."""
        _, _, _, copies, _, x, x_input = self._tree[:7]
        if pipeline.along_graph(x):
            result = precomputed.finish_delta(result, x.diagonal)
        expanded = copies.expand(result)
        self.labels_ = expanded.labels
        self.centers_ = expanded.centers
        self.n_clusters_ = int(len(expanded.centers))
        self.delta_ = expanded.delta
        self.nn_delta_ = expanded.nn_delta
        self._density_graph = expanded.graph
        self.min_cluster_size_ = int(min_size)
        self._fit_labels = result.labels
        if x_input is not None:
            self.cluster_centers_ = x_input[expanded.centers]

    def _keep_names(self, names: np.ndarray | None) -> None:
        if names is not None:
            self.feature_names_in_ = names

    def _fit_one_cluster(self, p: dict[str, Any], n: int, n_features: int, dim: int,
                         what: str, point: np.ndarray | None) -> None:
        """The fit when all n points are one: one cluster, centred on the
        first (see the class's Notes)."""
        bandwidth, rho, threshold = one_cluster(p, what, dim)
        first, inverse = np.zeros(1, np.int64), np.zeros(n, np.int64)
        self.labels_ = np.zeros(n, np.int64)
        self.centers_ = np.zeros(1, np.int64)
        self.n_clusters_ = 1
        self.rho_ = np.full(n, rho)
        self.delta_ = np.zeros(n)
        self.nn_delta_ = np.zeros(n, np.int64)
        self.nn_delta_[0] = -1
        self._density_graph = records.DensityGraph(np.full(1, -1, np.int64),
                                                    copies=(first, inverse))
        self.bandwidth_ = bandwidth
        self.threshold_ = threshold
        self.search_size_ = 1
        self.min_cluster_size_ = clustering.least_size(1, 1, p["n_clusters"],
                                                       p["min_cluster_size"])
        self.n_neighbors_ = 1
        self.dimension_ = int(dim)
        self.n_features_in_ = n_features
        self._fit_rho = np.full(1, rho)
        self._fit_labels = np.zeros(1, np.int64)
        self._fit_metric = p["metric"]
        self._fit_inverse = inverse if point is None else None
        if point is not None:
            self.points_ = point.copy()
        self.timings_ = {}

    def relabel(self, n_clusters: int | None = None, threshold: float | None = None,
                min_cluster_size: int | None = None) -> "DensityPeakClustering":
        """Cut the fitted clusters again, without a new neighbour search.

        The fit keeps every density peak it found and the saddles between
        them; this runs the merging again on them with other settings and
        replaces ``labels_``, ``centers_``, ``n_clusters_``, ``delta_``,
        ``nn_delta_`` and ``density_graph_``, exactly as a fit with those
        settings would set them. It takes a fraction of the fit's time.

        Parameters
        ----------
        n_clusters : int or None, default=None
            Keep this many clusters (the heaviest peaks of the merge tree),
            as ``n_clusters`` of a fit.
        threshold : float or None, default=None
            A depth in log-density for the merging (ignored when n_clusters
            is given); None: the fit's own test.
        min_cluster_size : int or None, default=None
            As in a fit; None: the default rule for n_clusters.

        Returns
        -------
        self : DensityPeakClustering
        """
        tree = self.__dict__.get("_tree")
        if tree is None and hasattr(self, "labels_"):
            return self     # all points were one: one cluster, whatever is asked
        check_relabel(self, tree, n_clusters, threshold, min_cluster_size)
        (initial, touching), rule, fit_threshold, _, k, x = tree[:6]
        rho = self._fit_rho
        rule, fit_threshold, min_size = relabel_settings(
            rule, fit_threshold, len(rho), k, n_clusters, threshold, min_cluster_size)
        result = controls.joined(initial, x, rho, touching, rule, min_size, n_clusters)
        self._set_clusters(result, min_size)
        self.threshold_ = fit_threshold
        self._merge_rule = tree[1] if threshold is None else float(threshold)
        return self

    def fit_predict(self, X: Any, y: Any = None, **kwargs: Any) -> np.ndarray:
        """Cluster X and return the cluster of every point.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            As for `fit`.
        y : None
            Ignored.
        **kwargs : dict
            Ignored; accepted for the scikit-learn API.

        Returns
        -------
        labels : ndarray of int64, shape (n_samples,)
            ``labels_`` after the fit.
        """
        return self.fit(X).labels_

    def predict(self, X: Any) -> np.ndarray:
        """The training cluster each new point would join.

        A point that coincides with a training point gets that point's
        cluster (as copies do in `fit`). Any other point gets its log-density
        from its n_neighbors_ nearest training points, with the fitted
        bandwidth, and joins the cluster of its nearest training neighbour
        that is denser than it (ties by the smaller index); with none denser
        among them, the cluster of its nearest training neighbour. The result
        depends on nothing but X and the fit.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features_in_), or sparse matrix \
of shape (n_samples, n_features_in_)
            Points with the columns the model was fitted on; with
            metric="precomputed", the graph of distances from the new points
            to the training points, at least n_neighbors_ of them per row
            (``NearestNeighbors(n_neighbors=30).fit(X_train)
            .kneighbors_graph(X_new, mode="distance")``).

        Returns
        -------
        labels : ndarray of int64, shape (n_samples,)
            A cluster of the fit (0 .. n_clusters_ - 1) for every point.
        """
        if not hasattr(self, "_fit_labels"):
            raise not_fitted(self)
        owner = type(self).__name__
        rho, labels = self._fit_rho, self._fit_labels
        if self._fit_metric == "precomputed":
            dist, idx = precomputed.query_table(X, self.n_neighbors_, self.n_features_in_,
                                                self._fit_inverse, owner)
        else:
            validation.check_feature_names(getattr(self, "feature_names_in_", None), X, owner)
            x = validation.check_points(X, owner, min_samples=1)
            validation.check_features(x.shape, self.n_features_in_, owner)
            if self._fit_metric == "cosine":
                x = validation.unit_rows(x, owner)
            if len(labels) == 1:
                return np.zeros(len(x), np.int64)
            dist, idx = neighbours.cross_table(self.points_, x, self.n_neighbors_)
        if len(labels) == 1:
            return np.zeros(len(dist), np.int64)
        new_rho = pipeline.density(dist, self.bandwidth_, self.dimension_, len(labels))
        denser = rho[idx] > (new_rho + DENSITY_MARGIN)[:, None]
        # The first denser column, or column 0 (the nearest neighbour) if none.
        column = np.where(denser.any(axis=1), denser.argmax(axis=1), 0)
        column[dist[:, 0] == 0.0] = 0
        return labels[idx[np.arange(len(dist)), column]]

    @property
    def density_graph_(self) -> list[list[int]]:
        """For every point, the points whose nearest denser neighbour it is
        (merged centres appended to the lists of the centres they joined).
        Built on first access: n Python lists take seconds at 10^7 points."""
        graph = self.__dict__.get("_density_graph")
        if graph is None:
            raise AttributeError(f"'{type(self).__name__}' object has no attribute "
                                 "'density_graph_'")
        if not isinstance(graph, list):
            graph = self._density_graph = graph.lists()
        return graph

    @property
    def merge_tree_(self) -> dict[str, np.ndarray]:
        """The merge tree of every density peak the fit found: walking down
        the saddles from the highest, each meeting of two groups of peaks,
        in the order they meet. Arrays of one entry per meeting: ``high``
        and ``low``, the rows of X of the two groups' peaks (the higher
        first); ``saddle``, the log-density where they meet; ``high_peak``
        and ``low_peak``, the peaks' log-densities; ``high_size`` and
        ``low_size``, the points each group holds by then; ``standing``,
        the lower group's height above the saddle as the merging test reads
        it, in units of the depth that test asks there: the number the
        merging compares, at least 1 where the test keeps the lower group
        apart (``plot_prominence`` draws it). With a ``threshold`` it is
        ``(low_peak - saddle) / threshold``; by default the height is read
        on the root of the neighbour count, from the group's top over its
        noise bumps (see ``threshold``), so ``low_peak - saddle`` alone does
        not decide. Where the merging decides a group at a lower saddle the
        other way, the row shows the standing compared there; a group it
        never compares (in rare tangles of saddles, reached only by way of
        groups that stayed apart) stays apart whatever its standing.
        Standings are read with the test of the clusters as they are (the
        fit's, or the threshold given to `relabel`), also when n_clusters
        ranks the peaks instead. Built on first access."""
        tree = self.__dict__.get("_tree")
        if tree is None:
            raise AttributeError(f"'{type(self).__name__}' object has no attribute "
                                 "'merge_tree_'")
        rule = self.__dict__.get("_merge_rule", tree[1])
        kept = self.__dict__.get("_merge_tree")
        if kept is not None and kept[0] is tree and kept[1] == rule:
            return kept[2]
        (initial, touching), copies = tree[0], tree[3]
        labels = copies.spread(initial.labels)
        counts = np.bincount(labels[labels >= 0], minlength=len(initial.centers))
        found = controls.merge_tree(counts, initial.centers, self._fit_rho, touching, rule)
        if copies.first is not None:
            found["high"], found["low"] = copies.first[found["high"]], copies.first[found["low"]]
        self._merge_tree = (tree, rule, found)
        return found

    def __sklearn_tags__(self) -> Any:
        """Tags for scikit-learn's tools: dense 2-D input without NaN (a
        sparse neighbour graph with metric="precomputed"); the result varies
        between fits only when the bandwidth search draws a fresh split
        (random_state None or a RandomState)."""
        tags = super().__sklearn_tags__()  # type: ignore[misc]
        graph = self.metric == "precomputed"
        tags.input_tags.sparse = graph
        tags.input_tags.pairwise = graph
        tags.input_tags.allow_nan = False
        tags.non_deterministic = (self.bandwidth is None
                                  and not isinstance(self.random_state, Integral))
        return tags


def not_fitted(model: Any) -> Exception:
    """The error of a method that needs a fit, called before one."""
    return not_fitted_error(f"This {type(model).__name__} instance is not fitted yet. Call "
                            "'fit' with appropriate arguments before using this estimator.")


def one_cluster(p: dict[str, Any], what: str, dim: int) -> tuple[float, float, float]:
    """The fit of points that are all one, on either estimator: the warning
    (`what` names the points), then bandwidth_, every point's rho_ and
    threshold_ (see the Notes of DensityPeakClustering)."""
    asked = p["n_clusters"]
    validation.warn(f"{what}: they form 1 cluster"
                    + (f" (n_clusters={asked} asked for)" if asked and asked > 1 else ""))
    if p["bandwidth"] is None:
        bandwidth, rho = 0.0, np.inf
    else:
        bandwidth = float(p["bandwidth"])
        rho = float(pipeline.density(np.zeros((1, 1)), bandwidth, dim)[0])
    threshold = float(p["threshold"]) if p["threshold"] is not None else np.nan
    return bandwidth, rho, threshold


def check_relabel(model: Any, kept: Any, n_clusters: Any, threshold: Any,
                  min_cluster_size: Any) -> None:
    """relabel's refusals on either estimator: no fit (`kept`, what the fit
    keeps for relabel, is None), noise=True, whose halo needs the neighbour
    table, and arguments outside the constraints of the fit's parameters of
    the same names."""
    if kept is None:
        raise not_fitted(model)
    if model.noise:
        raise ValueError("relabel cannot redraw the halo of noise=True without the "
                         "neighbour table; fit again with the new settings")
    validation.check_params(DensityPeakClustering._parameter_constraints,
                            {"n_clusters": n_clusters, "threshold": threshold,
                             "min_cluster_size": min_cluster_size}, type(model).__name__)


def relabel_settings(rule: Any, fit_threshold: float, n_distinct: int, k: int,
                     n_clusters: int | None, threshold: float | None,
                     min_cluster_size: int | None) -> tuple[Any, float, int]:
    """The merging's settings for relabel's arguments, as a fit with them
    would have them, from the fit's test `rule` and threshold_: the test
    (None with n_clusters, which ranks the peaks instead), threshold_ and the
    least cluster size."""
    if threshold is not None:
        rule = fit_threshold = float(threshold)
    min_size = clustering.least_size(n_distinct, k, n_clusters, min_cluster_size)
    return (rule if n_clusters is None else None), fit_threshold, min_size
