"""DensityPeakClustering: the scikit-learn style front end of quarnel."""

from __future__ import annotations

from numbers import Integral, Real
from typing import Any

import numpy as np

from . import clustering, memory, narrowing, neighbours, pipeline, validation
from ._params import BASES, not_fitted_error
from .progress import StageTimer
from .validation import Interval

# A neighbour counts as denser than a point only above this margin, as in
# the native search for density peaks.
DENSITY_MARGIN = 1e-8


class DensityPeakClustering(*BASES):  # type: ignore[misc]
    """Density-peak clustering on a k-nearest-neighbour graph.

    Every point gets a log-density from an Epanechnikov kernel over its
    nearest neighbours and is linked to its nearest denser neighbour; points
    with no denser neighbour start a cluster. Walking down the saddles
    between touching clusters from the highest, a peak that stands less than
    ``threshold`` (in log-density) above the saddle where its group meets a
    higher peak's group joins that group, across its highest saddle: a
    cluster stays only when a valley deeper than ``threshold`` separates it
    from every denser one. Clusters of fewer than ``min_cluster_size`` points then join the
    neighbouring cluster they meet at the highest saddle. ``n_clusters=K``
    instead keeps the K heaviest peaks of the merge tree (prominence times
    points), and ``noise=True`` labels -1 each cluster's halo. `predict`
    gives new points the cluster they would join.

    The defaults need no tuning for data whose clusters hold a few dozen
    points or more. Coordinates should be on comparable scales (standardise
    them if not): the kernel is round. X may have any number of columns up
    to about 280 (where the kernel's normalisation overflows); from 9 columns
    on the neighbour search is a brute-force one, O(n^2 d) in time.

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
        from any denser one. None sets it from the noise of the estimate,
        ``threshold_scale * sqrt(2 ln(n / m) / m)`` with m the median number
        of neighbours within one bandwidth: the deepest of the n / m
        independent noise bumps, which grows slowly with n.
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

    Attributes
    ----------
    labels_ : ndarray of int64, shape (n_points,)
        Cluster of every point, 0 to n_clusters_ - 1; -1 for noise
        (noise=True only).
    centers_ : ndarray of int64, shape (n_clusters_,)
        Row index in X of each cluster's centre (its density peak);
        ``labels_[centers_[j]] == j``.
    n_clusters_ : int
    rho_ : ndarray of float64, shape (n_points,)
        Log-density of every point.
    delta_ : ndarray of float64, shape (n_points,)
        Distance to the nearest denser neighbour (for a merged centre: to the
        centre it joined; for a remaining centre: the diagonal of the data's
        bounding box).
    nn_delta_ : ndarray of int64, shape (n_points,)
        Index of that neighbour, -1 for the density maxima.
    density_graph_ : list of lists of int
        For every point, the points whose nearest denser neighbour it is
        (merged centres are appended to the lists of the centres they joined).
    bandwidth_ : float
        Kernel bandwidth used.
    threshold_ : float
        Log-density drop used by the merging step (not used when
        n_clusters is given).
    search_size_ : int
        Search width used by the merging step.
    n_features_in_ : int
        Number of columns of X.
    n_neighbors_ : int
        Neighbours per point used: n_neighbors, or fewer for small sets.
    points_ : ndarray of float64, shape (n_distinct, n_features_in_)
        The distinct training points, in order of first appearance: a copy,
        never a view of X, kept for `predict`.
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

    _parameter_constraints: dict[str, list[Any]] = {
        "n_neighbors": [Interval(Integral, 2, None, closed="left")],
        "delta_neighbors": [Interval(Integral, 2, None, closed="left")],
        "bandwidth": [Interval(Real, 0, None, closed="neither"), None],
        "test_size": [Interval(Real, 0, 1, closed="neither")],
        "xtol": [Interval(Real, 0, None, closed="neither")],
        "threshold": [Interval(Real, 0, None, closed="left"), None],
        "threshold_scale": [Interval(Real, 0, None, closed="left")],
        "alpha": [Interval(Real, 0, None, closed="neither")],
        "min_search": [Interval(Integral, 1, None, closed="left")],
        "n_clusters": [Interval(Integral, 1, None, closed="left"), None],
        "min_cluster_size": [Interval(Integral, 1, None, closed="left"), None],
        "noise": ["boolean"],
        "random_state": ["random_state"],
        "verbose": ["verbose"],
    }

    def __init__(self, n_neighbors: int = 30, delta_neighbors: int = 10,
                 bandwidth: float | None = None, test_size: float = 0.2,
                 xtol: float = 1e-4, threshold: float | None = None,
                 threshold_scale: float = 1.1, alpha: float = 0.5,
                 min_search: int = 10, n_clusters: int | None = None,
                 min_cluster_size: int | None = None, noise: bool = False,
                 random_state: int | None = 0,
                 verbose: bool = False) -> None:
        self.n_neighbors = n_neighbors
        self.delta_neighbors = delta_neighbors
        self.bandwidth = bandwidth
        self.test_size = test_size
        self.xtol = xtol
        self.threshold = threshold
        self.threshold_scale = threshold_scale
        self.alpha = alpha
        self.min_search = min_search
        self.n_clusters = n_clusters
        self.min_cluster_size = min_cluster_size
        self.noise = noise
        self.random_state = random_state
        self.verbose = verbose

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
        X : array-like of shape (n_samples, n_features)
            At least 2 points with at least one coordinate each, all finite.
        y : None
            Ignored; present for the scikit-learn API.

        Returns
        -------
        self : DensityPeakClustering
            The fitted estimator.
        """
        p = self._checked_params()
        x_all = validation.check_points(X, type(self).__name__)
        validation.check_not_all_equal(x_all)
        # Refused before any table is built (copies counted as points here).
        n_all, d = x_all.shape
        if not pipeline.kernel_fits(d, min(p["n_neighbors"], n_all)):
            raise ValueError(f"X has {d} features: the kernel's normalisation overflows in "
                             "that many dimensions; reduce them first (e.g. with PCA)")
        memory.check_fits(n_all, min(p["n_neighbors"], n_all), d)
        timer = StageTimer(bool(self.verbose), n_all)

        # Exact copies of a point have equal densities, so none is denser than
        # another and each would become a centre of its own: the distinct
        # points are clustered, and every copy joins its first occurrence.
        # Copies are rare, and the table of all points shows where they can
        # be; only with copies is the table computed again, on distinct points.
        # On large sets the bandwidth search reads its held-out points'
        # neighbours off one more column of the table (see optimal_bandwidth).
        def table_columns(n: int) -> tuple[int, int]:
            k = min(p["n_neighbors"], n)
            wider = (p["bandwidth"] is None and k < n and
                     pipeline.reads_held_out_from_table(n, k, p["test_size"]))
            return k, k + int(wider)

        # The bandwidth search's cross query needs no table: made first, its
        # tree over the training points is gone before the table exists. It
        # is made again on the distinct points if there are copies, and left
        # to the search if it fails, each time from the same state of a
        # RandomState seed, so that the split is the one of a single draw.
        seed = p["random_state"]
        seed_state = seed.get_state() if isinstance(seed, np.random.RandomState) else None

        def held_out(x: np.ndarray, k: int, k_table: int) -> pipeline.HeldOut | None:
            if p["bandwidth"] is not None or k_table > k:
                return None
            with timer.stage("bandwidth"):
                try:
                    return pipeline.held_out_neighbours(x, k, p["test_size"], seed)
                except ValueError:  # the search refuses these points: as it will below
                    if seed_state is not None:
                        seed.set_state(seed_state)
                    return None

        k, k_table = table_columns(n_all)
        early = held_out(x_all, k, k_table)
        with timer.stage("neighbours"):
            try:
                nn_dist, nn_list = pipeline.neighbour_table(x_all, k_table, timer.timings)
                copies = pipeline.Duplicates.among_neighbours(x_all, nn_dist)
                searched_all = copies.first is None
            except ValueError:
                copies, searched_all = pipeline.Duplicates.of(x_all), False
            x = copies.distinct(x_all)
            if len(x) < 2:
                raise ValueError("all points of X coincide; there is nothing to cluster")
            if not searched_all:
                nn_dist = nn_list = early = None   # type: ignore[assignment]
                if seed_state is not None:
                    seed.set_state(seed_state)
                k, k_table = table_columns(len(x))
        if not searched_all:
            early = held_out(x, k, k_table)
            with timer.stage("neighbours"):
                nn_dist, nn_list = pipeline.neighbour_table(x, k_table, timer.timings)
        n, d = x.shape
        wide = (nn_dist, nn_list) if k_table > k else None
        table_dist, table_list = nn_dist, nn_list
        nn_dist, nn_list = nn_dist[:, :k], nn_list[:, :k]
        with timer.stage("bandwidth"):
            if p["bandwidth"] is None:
                search = pipeline.optimal_bandwidth(x, nn_dist, p["test_size"],
                                                    p["random_state"], p["xtol"], wide, early)
                del wide, early
                bandwidth = search.bandwidth
            else:
                bandwidth = float(p["bandwidth"])
        with timer.stage("density"):
            rho = pipeline.density(nn_dist, bandwidth, d)
            # The merging step's threshold and search width are the last
            # readers of every column of the distances.
            if p["threshold"] is None:
                threshold, _ = pipeline.noise_threshold(nn_dist, bandwidth,
                                                        p["threshold_scale"])
            else:
                threshold = float(p["threshold"])
            search_size = pipeline.search_width(nn_dist, bandwidth, p["alpha"],
                                                p["min_search"])
        # From here on only leading columns are read (narrow_widths); narrow
        # copies let the full tables go. Where one table's buffer can hold
        # both, the other table goes first and only then is the index copy
        # made, while the narrow distances keep that buffer until the peaks.
        width, list_width = clustering.narrow_widths(k, p["delta_neighbors"], search_size)
        packed = narrowing.pack_leading_columns(table_dist, table_list, width, list_width)
        del table_dist, table_list
        if packed is None:
            nn_list = clustering.narrow(nn_list, list_width)
            narrow_dist = [clustering.narrow(nn_dist, width)]
            del nn_dist
        else:
            del nn_dist, nn_list
            nn_list = packed[1].copy()
            narrow_dist = [packed[0]]
            del packed
        min_size = clustering.least_size(n, k, p["n_clusters"], p["min_cluster_size"])
        result = clustering.clusters(x, rho, narrow_dist, nn_list, width, threshold,
                                     search_size, min_size, p["n_clusters"], p["noise"],
                                     timer.stage)
        del nn_list

        expanded = copies.expand(result)
        self.labels_ = expanded.labels
        self.centers_ = expanded.centers
        self.n_clusters_ = int(len(expanded.centers))
        self.rho_ = copies.spread(rho)
        self.delta_ = expanded.delta
        self.nn_delta_ = expanded.nn_delta
        self._density_graph = expanded.graph
        self.bandwidth_ = float(bandwidth)
        self.threshold_ = float(threshold)
        self.search_size_ = int(min(search_size, k))
        self.n_features_in_ = d
        self.n_neighbors_ = k
        user_array = isinstance(X, np.ndarray) and np.may_share_memory(x, X)
        self.points_ = x.copy() if user_array else x
        self._fit_rho = rho
        self._fit_labels = result.labels
        self.timings_ = dict(timer.timings)
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
        X : array-like of shape (n_samples, n_features_in_)
            Points with the columns the model was fitted on.

        Returns
        -------
        labels : ndarray of int64, shape (n_samples,)
            A cluster of the fit (0 .. n_clusters_ - 1) for every point.
        """
        if not hasattr(self, "points_"):
            raise not_fitted_error(f"This {type(self).__name__} instance is not fitted yet. "
                                 "Call 'fit' with appropriate arguments before using this "
                                 "estimator.")
        x = validation.check_points(X, type(self).__name__, min_samples=1)
        validation.check_features(x, self.n_features_in_, type(self).__name__)
        points, rho, labels = self.points_, self._fit_rho, self._fit_labels
        dist, idx = neighbours.cross_table(points, x, self.n_neighbors_)
        new_rho = pipeline.density(dist, self.bandwidth_, self.n_features_in_, len(points))
        denser = rho[idx] > (new_rho + DENSITY_MARGIN)[:, None]
        # The first denser column, or column 0 (the nearest neighbour) if none.
        column = np.where(denser.any(axis=1), denser.argmax(axis=1), 0)
        column[dist[:, 0] == 0.0] = 0
        return labels[idx[np.arange(len(x)), column]]

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

    def __sklearn_tags__(self) -> Any:
        """Tags for scikit-learn's tools: dense 2-D input without NaN; the
        result varies between fits only when the bandwidth search draws a
        fresh split (random_state None or a RandomState)."""
        tags = super().__sklearn_tags__()  # type: ignore[misc]
        tags.input_tags.sparse = False
        tags.input_tags.allow_nan = False
        tags.non_deterministic = (self.bandwidth is None
                                  and not isinstance(self.random_state, Integral))
        return tags
