"""DensityPeakClustering: the scikit-learn style front end of quarnel."""

from __future__ import annotations

from typing import Any

import numpy as np

from . import pipeline, validation
from ._params import BASES
from .progress import StageTimer


class DensityPeakClustering(*BASES):  # type: ignore[misc]
    """Density-peak clustering on a k-nearest-neighbour graph.

    Every point gets a log-density from an Epanechnikov kernel over its
    nearest neighbours and is linked to its nearest denser neighbour; points
    with no denser neighbour start a cluster. A cluster centre is then
    dropped, and its cluster joins a denser one, when the region around it
    above ``rho[centre] - threshold`` reaches into that denser cluster, that
    is, when no valley of depth ``threshold`` (in log-density) separates them.
    Every point gets a cluster; there is no noise label.

    The defaults need no tuning for data whose clusters hold a few dozen
    points or more. Coordinates should be on comparable scales (standardise
    them if not): the kernel is round.

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
        ``threshold_scale / sqrt(m)`` with m the median number of
        neighbours within one bandwidth.
    threshold_scale : float, default=2.5
        Multiple of the estimate's noise level used when threshold is None;
        larger values merge more.
    alpha : float, default=0.5
        Search width of the merging step: the median number of neighbours
        within ``alpha * bandwidth``, but at least min_search (and at most
        n_neighbors).
    min_search : int, default=10
        Smallest search width of the merging step.
    random_state : int or None, default=0
        Seed of the train/test split of the bandwidth search. None draws a
        fresh split on every fit.
    verbose : bool, default=False
        Report stages that take more than a second on standard error.

    Attributes
    ----------
    labels_ : ndarray of int64, shape (n_points,)
        Cluster of every point, 0 to n_clusters_ - 1.
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
        Log-density drop used by the merging step.
    search_size_ : int
        Search width used by the merging step.
    n_features_in_ : int
    timings_ : dict of str to float
        Seconds spent in each stage of the last fit.
    """

    def __init__(self, n_neighbors: int = 30, delta_neighbors: int = 10,
                 bandwidth: float | None = None, test_size: float = 0.2,
                 xtol: float = 1e-4, threshold: float | None = None,
                 threshold_scale: float = 2.5, alpha: float = 0.5,
                 min_search: int = 10, random_state: int | None = 0,
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
        self.random_state = random_state
        self.verbose = verbose

    def _checked_params(self, n: int) -> dict[str, Any]:
        p: dict[str, Any] = {}
        p["k"] = validation.check_int("n_neighbors", self.n_neighbors, 2)
        p["width"] = validation.check_int("delta_neighbors", self.delta_neighbors, 2, p["k"])
        p["bandwidth"] = (None if self.bandwidth is None else
                          validation.check_float("bandwidth", self.bandwidth, positive=True))
        p["test_size"] = validation.check_float("test_size", self.test_size, open_unit=True)
        p["xtol"] = validation.check_float("xtol", self.xtol, positive=True)
        p["threshold"] = (None if self.threshold is None else
                          validation.check_float("threshold", self.threshold))
        p["scale"] = validation.check_float("threshold_scale", self.threshold_scale)
        p["alpha"] = validation.check_float("alpha", self.alpha, positive=True)
        p["min_search"] = validation.check_int("min_search", self.min_search, 1)
        seed = self.random_state
        if seed is not None:
            seed = validation.check_int("random_state", seed, 0)
        p["seed"] = seed
        need = p["k"]
        if p["bandwidth"] is None:
            need = pipeline.points_needed(p["k"], p["test_size"])
        if n < need:
            why = ("" if p["bandwidth"] is not None else
                   f" (the bandwidth search holds out test_size={p['test_size']} of them)")
            raise ValueError(f"n_neighbors={p['k']} needs at least {need} points{why}, "
                             f"got {n}")
        return p

    def fit(self, X: Any, y: Any = None) -> "DensityPeakClustering":
        """Clusters X, an array of shape (n_points, n_features) with 2 to 8
        features. y is ignored. Returns self."""
        x_all = validation.check_points(X)
        try:
            p = self._checked_params(len(x_all))
        except ValueError:
            # Too few points (or a bad parameter): the message counts the
            # distinct points, as the run would.
            self._checked_params(len(pipeline.Duplicates.of(x_all).distinct(x_all)))
            raise
        timer = StageTimer(bool(self.verbose), len(x_all))

        # Exact copies of a point have equal densities, so none is denser than
        # another and each would become a centre of its own: the distinct
        # points are clustered, and every copy joins its first occurrence.
        # Copies are rare, and the table of all points shows where they can
        # be; only with copies is the table computed again, on distinct points.
        # On large sets the bandwidth search reads its held-out points'
        # neighbours off one more column of the table (see optimal_bandwidth).
        k = p["k"]
        k_table = k + int(p["bandwidth"] is None and
                          pipeline.reads_held_out_from_table(len(x_all), k, p["test_size"]))
        with timer.stage("neighbours"):
            try:
                nn_dist, nn_list = pipeline.neighbour_table(x_all, k_table)
                copies = pipeline.Duplicates.among_neighbours(x_all, nn_dist)
                searched_all = copies.first is None
            except ValueError:
                copies, searched_all = pipeline.Duplicates.of(x_all), False
            x = copies.distinct(x_all)
            if not searched_all:
                nn_dist = nn_list = None   # type: ignore[assignment]
                p = self._checked_params(len(x))
                nn_dist, nn_list = pipeline.neighbour_table(x, k_table)
        n, d = x.shape
        wide = (nn_dist, nn_list) if k_table > k else None
        nn_dist, nn_list = nn_dist[:, :k], nn_list[:, :k]
        with timer.stage("bandwidth"):
            if p["bandwidth"] is None:
                search = pipeline.optimal_bandwidth(x, nn_dist, p["test_size"], p["seed"],
                                                    p["xtol"], wide)
                del wide
                bandwidth = search.bandwidth
            else:
                bandwidth = p["bandwidth"]
        with timer.stage("density"):
            rho = pipeline.density(nn_dist, bandwidth, d)
            # The merging step's threshold and search width are the last
            # readers of every column of the distances.
            if p["threshold"] is None:
                threshold, _ = pipeline.noise_threshold(nn_dist, bandwidth, p["scale"])
            else:
                threshold = p["threshold"]
            search_size = pipeline.search_width(nn_dist, bandwidth, p["alpha"], p["min_search"])
        with timer.stage("peaks"):
            # From here on only leading columns are read: `width` of both
            # tables by the peaks, `search_size` (at most k) of the indices
            # by the merging. Narrow copies let the full tables go.
            nn_dist = np.ascontiguousarray(nn_dist[:, :p["width"]])
            nn_list = np.ascontiguousarray(nn_list[:, :max(p["width"], min(search_size, p["k"]))])
            found = pipeline.peaks(x, rho, nn_list, nn_dist, p["width"])
            del nn_dist
        with timer.stage("merging"):
            result = pipeline.merge(x, rho, found, nn_list, threshold, search_size)
            del found, nn_list

        result = copies.expand(result)
        self.labels_ = result.labels
        self.centers_ = result.centers
        self.n_clusters_ = int(len(result.centers))
        self.rho_ = copies.spread(rho)
        self.delta_ = result.delta
        self.nn_delta_ = result.nn_delta
        self.density_graph_ = result.graph
        self.bandwidth_ = float(bandwidth)
        self.threshold_ = float(threshold)
        self.search_size_ = int(min(search_size, p["k"]))
        self.n_features_in_ = d
        self.timings_ = dict(timer.timings)
        return self

    def fit_predict(self, X: Any, y: Any = None, **kwargs: Any) -> np.ndarray:
        """Clusters X and returns labels_."""
        return self.fit(X).labels_

