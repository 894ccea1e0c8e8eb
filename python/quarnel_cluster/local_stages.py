"""The stages of stages.run on arrays in this process: PointStages on the
points, GraphStages on a neighbour graph (metric="precomputed"). Each
holds the neighbour table and lets it go as soon as the stages after it
read no more of it (the table is the run's largest memory)."""

from __future__ import annotations

from contextlib import nullcontext
from typing import Any, ContextManager

import numpy as np

from . import clustering, narrowing, pipeline, precomputed, records
from .progress import StageTimer


class AllOne(Exception):
    """The neighbour graph's points are all at distance 0: the fit is one
    cluster (the estimator's _fit_one_cluster)."""

    def __init__(self, n_points: int) -> None:
        super().__init__(f"all {n_points} points of X are at distance 0 from one another")
        self.n_points = n_points


class PointStages:
    """The stages on the points x_all (n x d), the density in `dim`
    dimensions; `s`: the parameters by name. After `neighbours`, x holds
    the distinct points and copies their records.Duplicates; after
    `density`, rho their log-densities; after `clusters`, tree what
    clustering.clusters leaves for relabel."""

    def __init__(self, x_all: np.ndarray, s: Any, timer: StageTimer, dim: int) -> None:
        self.x = x_all
        self.s = s
        self.timer = timer
        self.dim = dim
        self.n_points = len(x_all)
        self.n_features = x_all.shape[1]
        self.copies = records.Duplicates(None, None)
        self.table_dist: Any = None
        self.table_list: Any = None
        self.rho: Any = None
        self.tree: Any = None
        # The held-out query is made again on the distinct points if there
        # are copies, and left to the search if it fails, each time from the
        # same state of a RandomState seed, so that the split is the one of a
        # single draw.
        seed = s.random_state
        self.seed_state = seed.get_state() if isinstance(seed, np.random.RandomState) else None

    def restore_seed(self) -> None:
        if self.seed_state is not None:
            self.s.random_state.set_state(self.seed_state)

    def columns(self, n: int) -> tuple[int, int]:
        s = self.s
        return pipeline.table_columns(n, s.n_neighbors, s.bandwidth, s.test_size)

    def held_out(self, k: int, k_table: int) -> records.HeldOut | None:
        # The bandwidth search's cross query needs no table: made first, its
        # tree over the training points is gone before the table exists.
        s = self.s
        if s.bandwidth is not None or k_table > k:
            return None
        with self.timer.stage("bandwidth"):
            try:
                return pipeline.held_out_neighbours(self.x, k, s.test_size, s.random_state)
            except ValueError:  # the search refuses these points: as it will below
                self.restore_seed()
                return None

    def searching(self) -> ContextManager[Any]:
        # Each search is timed on its own, the held-out query between them.
        return nullcontext()

    def neighbours(self, k_table: int) -> tuple[int, bool]:
        # Exact copies of a point have equal densities, so none is denser
        # than another and each would become a centre of its own: the
        # distinct points are clustered, and every copy joins its first
        # occurrence. Copies are rare, and the table of all points shows
        # where they can be; only with copies is the table computed again,
        # on distinct points.
        x_all, timer = self.x, self.timer
        with timer.stage("neighbours", total=len(x_all)) as bar:
            try:
                nn_dist, nn_list = pipeline.neighbour_table(x_all, k_table, timer.timings,
                                                            bar.counter)
                copies = records.Duplicates.among_neighbours(x_all, nn_dist)
                searched_all = copies.first is None
            except ValueError:
                copies, searched_all = records.Duplicates.of(x_all), False
            self.copies, self.x = copies, copies.distinct(x_all)
            if searched_all:
                self.table_dist, self.table_list = nn_dist, nn_list
            else:
                nn_dist = nn_list = None
                self.restore_seed()
        return len(self.x), not searched_all

    def search_distinct(self, k_table: int) -> None:
        timer = self.timer
        with timer.stage("neighbours", total=len(self.x)) as bar:
            self.table_dist, self.table_list = pipeline.neighbour_table(
                self.x, k_table, timer.timings, bar.counter)

    def complete_table(self, k_table: int) -> None:
        pass    # one process's search makes every row whole

    def bandwidth(self, k: int, k_table: int, held_out: Any) -> float:
        # On large sets the search reads its held-out points' neighbours off
        # one more column of the table (see optimal_bandwidth).
        s = self.s
        wide = (self.table_dist, self.table_list) if k_table > k else None
        return pipeline.optimal_bandwidth(self.x, self.table_dist[:, :k], s.test_size,
                                          s.random_state, s.xtol, wide, held_out,
                                          dim=self.dim).bandwidth

    def density(self, k: int, bandwidth: float) -> tuple[int | None, int]:
        # The merging step's threshold and search width are the last readers
        # of every column of the distances.
        s = self.s
        nn_dist = self.table_dist[:, :k]
        self.rho = pipeline.density(nn_dist, bandwidth, self.dim)
        m = pipeline.neighbours_within(nn_dist, bandwidth) if s.threshold is None else None
        return m, pipeline.search_width(nn_dist, bandwidth, s.alpha, s.min_search)

    def clusters(self, k: int, rule: Any, width: int, list_width: int, search_size: int,
                 min_size: int) -> records.Clusters:
        # From here on only leading columns are read (narrow_widths); narrow
        # copies let the full tables go. Where one table's buffer can hold
        # both, the other table goes first and only then is the index copy
        # made, while the narrow distances keep that buffer until the peaks.
        s = self.s
        table_dist, table_list = self.table_dist, self.table_list
        self.table_dist = self.table_list = None
        nn_dist, nn_list = table_dist[:, :k], table_list[:, :k]
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
        tree: list[Any] = []
        result = clustering.clusters(self.x, self.rho, narrow_dist, nn_list, width, rule,
                                     search_size, min_size, s.n_clusters, s.noise,
                                     self.timer.stage, tree)
        self.tree = tree[0]
        return result


class GraphStages(PointStages):
    """The stages on a neighbour graph X (metric="precomputed"): its copies
    are found as it is read, the table is made once, of the distinct
    points; x is the graph's precomputed.CentreDistances, made for the
    clusters. `neighbours` raises AllOne when all points are one."""

    def __init__(self, X: Any, s: Any, timer: StageTimer, owner: str) -> None:
        self.X, self.s, self.timer, self.owner = X, s, timer, owner
        self.n_points = X.shape[0] if hasattr(X, "shape") else 0
        self.graph: Any = None
        self.dim = 0
        self.seed_state = None      # the seed is drawn from once, by the bandwidth search
        self.copies = records.Duplicates(None, None)
        self.table_dist = self.table_list = self.rho = self.tree = self.x = None

    def columns(self, n: int) -> tuple[int, int]:
        k, k_table = super().columns(n)
        # A column more only where every row of the graph stores one more.
        if k_table > k and (self.graph is None or not bool((self.graph.counts >= k).all())):
            return k, k
        return k, k_table

    def held_out(self, k: int, k_table: int) -> None:
        return None     # made by the bandwidth search, where the table does not give it

    def neighbours(self, k_table: int) -> tuple[int, bool]:
        s = self.s
        with self.timer.stage("neighbours"):
            graph = precomputed.neighbour_graph(self.X, self.owner)
            n = graph.n
            if n < 2:
                raise AllOne(graph.n_points)
            self.graph, self.copies, self.n_features = graph, graph.copies, graph.n_points
            k = min(s.n_neighbors, n)
            graph.check_rows(k, s.n_neighbors)
            k, k_table = self.columns(n)
            self.table_dist, self.table_list = graph.table(k_table)
            self.dim = precomputed.density_dimension(self.table_dist[:, :k], k)
        return n, False

    def bandwidth(self, k: int, k_table: int, held_out: Any) -> float:
        s, graph, dim = self.s, self.graph, self.dim
        seed = s.random_state
        wide = (self.table_dist, self.table_list) if k_table > k else None
        return pipeline.optimal_bandwidth(
            None, self.table_dist[:, :k], s.test_size, seed, s.xtol, wide,
            lambda: precomputed.held_out_rows(graph, k, s.test_size, seed, dim),
            dim=dim).bandwidth

    def clusters(self, k: int, rule: Any, width: int, list_width: int, search_size: int,
                 min_size: int) -> records.Clusters:
        self.x = precomputed.CentreDistances(self.graph, float(self.graph.dist.max()))
        return super().clusters(k, rule, width, list_width, search_size, min_size)
