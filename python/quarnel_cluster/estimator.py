"""DensityPeakClustering: the scikit-learn style front end of quarnel."""

from __future__ import annotations

from typing import Any

import numpy as np

from . import controls, pipeline, validation
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
    Clusters of fewer than ``min_cluster_size`` points then join the
    neighbouring cluster they meet at the highest saddle. ``n_clusters=K``
    instead keeps the K heaviest peaks of the merge tree (prominence times
    points), and ``noise=True`` labels -1 each cluster's halo.

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
        Fraction of the points held out for the bandwidth search.
    xtol : float, default=1e-4
        Relative tolerance of the bandwidth search.
    threshold : float or None, default=None
        Depth, in log-density, of the valley that must separate a cluster
        from any denser one. None sets it from the noise of the estimate,
        ``threshold_scale * sqrt(2 ln(n / m) / m)`` with m the median number
        of neighbours within one bandwidth: the deepest of the n / m
        independent noise bumps, which grows slowly with n.
    threshold_scale : float, default=0.9
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
        ``max(n_neighbors, round(sqrt(n) / 2))`` for n distinct points.
    noise : bool, default=False
        Label -1 the halo of every cluster: its points less dense than the
        densest point on its border with another cluster (a point with one
        of its first search-width neighbours over there). A cluster that
        touches no other has no halo.
    random_state : int or None, default=0
        Seed of the train/test split of the bandwidth search. None draws a
        fresh split on every fit.
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
    timings_ : dict of str to float
        Seconds spent in each stage of the last fit.
    """

    def __init__(self, n_neighbors: int = 30, delta_neighbors: int = 10,
                 bandwidth: float | None = None, test_size: float = 0.2,
                 xtol: float = 1e-4, threshold: float | None = None,
                 threshold_scale: float = 0.9, alpha: float = 0.5,
                 min_search: int = 10, n_clusters: int | None = None,
                 min_cluster_size: int | None = None, noise: bool = False,
                 random_state: int | None = 0, verbose: bool = False) -> None:
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
        p["n_clusters"] = (None if self.n_clusters is None else
                           validation.check_int("n_clusters", self.n_clusters, 1))
        p["min_size"] = (pipeline.least_cluster_size(n, p["k"])
                         if self.min_cluster_size is None else
                         validation.check_int("min_cluster_size", self.min_cluster_size, 1))
        if not isinstance(self.noise, (bool, np.bool_)):
            raise ValueError(f"noise must be True or False, got {self.noise!r}")
        p["noise"] = bool(self.noise)
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
        # Exact copies of a point have equal densities, so none is denser than
        # another and each would become a centre of its own: the distinct
        # points are clustered, and every copy joins its first occurrence.
        copies = pipeline.Duplicates.of(x_all)
        x = copies.distinct(x_all)
        n, d = x.shape
        p = self._checked_params(n)
        timer = StageTimer(bool(self.verbose), n)

        with timer.stage("neighbours"):
            nn_dist, nn_list = pipeline.neighbour_table(x, p["k"])
        with timer.stage("bandwidth"):
            if p["bandwidth"] is None:
                search = pipeline.optimal_bandwidth(x, nn_dist, p["test_size"], p["seed"],
                                                    p["xtol"])
                bandwidth = search.bandwidth
            else:
                bandwidth = p["bandwidth"]
        with timer.stage("density"):
            rho = pipeline.density(nn_dist, bandwidth, d)
        with timer.stage("peaks"):
            found = pipeline.peaks(x, rho, nn_list, nn_dist, p["width"])
        with timer.stage("merging"):
            if p["threshold"] is None:
                threshold, _ = pipeline.noise_threshold(nn_dist, bandwidth, p["scale"])
            else:
                threshold = p["threshold"]
            search_size = pipeline.search_width(nn_dist, bandwidth, p["alpha"], p["min_search"])
            if p["n_clusters"] is None:
                result = pipeline.merge(x, rho, found, nn_list, threshold, search_size)
            else:   # every peak found; refine keeps the K heaviest
                result = pipeline.unmerged(found)
            result = controls.refine(result, x, rho, nn_list, search_size, p["min_size"],
                                     p["n_clusters"], p["noise"])

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

