"""The stages of a distributed run (BoxStages, called in the order of
stages.run), as Dask graphs of the tasks in knn.py, tasks.py and
boxwork.py; each stage's intermediate results stay on the workers
(persisted), and only counts, medians, the bandwidth search's held-out
rows and per-centre summaries reach the client.

    input      row chunks of the points (a Dask array: from NumPy, Zarr,
               Parquet, ...); checks as reductions: shape, finite values,
               the bounding box
    boxes      a sample of about SAMPLE_POINTS rows cuts space into boxes;
               every chunk sends each box its rows (indices and coordinates)
    neighbours each box's own search, then the rows near a wall ask the
               boxes within their k-th distance (knn.py): an exact table,
               one part per box. Exact copies (which share a box) show in
               the own searches over all points, as in the single-machine
               run; where there are any, the boxes are searched again over
               the distinct points, numbered as the single machine numbers
               them, in order of first appearance
    bandwidth  the k-th distance's median by exact selection (rounds of
               16-bit counts, then the few values left), the nearest-
               neighbour scale from column 1 summed in index order through
               a chain of tasks, the held-out rows fetched by index (on
               smaller sets, the held-out points' query against all others,
               made in one task before the neighbours); the search itself
               on the client, on 20 000 rows
    density    log-density per box; the neighbourhood sizes' medians from
               per-box counts
    clusters   the boxes keep their rows' leading columns (merging.py):
               peaks per row, chains to the centres, merges from per-box
               borders; the client sees centres and clusters only. Results
               are mapped back over the copies and gathered into Dask arrays
               chunked like the input.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, fields
from typing import Any, ContextManager

import numpy as np
from dask import delayed
from distributed import wait

from .. import pipeline, stages
from ..progress import StageTimer
from . import boxwork, knn, merging, tasks
from .boxes import cut
from .dask_tools import at, gather, holders, placed as _placed, shared

SAMPLE_POINTS = 20_000
# exact_ranks fetches the values left to choose from once this few remain
# (one trip instead of the remaining rounds of counts).
FETCH_VALUES = 1 << 16


@dataclass
class Settings:
    n_neighbors: int
    delta_neighbors: int
    bandwidth: float | None
    test_size: float
    xtol: float
    threshold: float | None
    threshold_scale: float
    alpha: float
    min_search: int
    n_clusters: int | None
    min_cluster_size: int | None
    noise: bool
    random_state: Any

    @classmethod
    def of(cls, params: dict[str, Any]) -> "Settings":
        """The settings of a run from an estimator's checked parameters."""
        return cls(**{f.name: params[f.name] for f in fields(cls)})


def exact_ranks(client: Any, parts: list[Any], ranks: list[int],
                extra: list[Any] = (), workers: list[str] = ()) -> tuple[list[float], list[Any]]:
    """The values at positions `ranks` of the sorted concatenation of `parts`
    (persisted arrays of non-negative floats), exactly: the bit patterns are
    found 16 bits at a time from per-part counts, every rank in the same
    rounds, until at most FETCH_VALUES values share the prefixes found; those
    are then fetched and sorted (fewer client trips than counting every 16
    bits to the last). `extra`: delayed values computed in the first
    round's trip. `workers`: part b's counts are taken with box b."""
    prefixes, known, extras = [0] * len(ranks), 0, []
    ranks = list(ranks)
    while known < 64:
        asked = [at(list(workers), b, tasks.radix_counts, p, prefixes, known)
                 for b, p in enumerate(parts)]
        if not known:
            *counts, extras = gather(client, asked + [list(extra)])
        else:
            counts = gather(client, asked)
        total = np.sum(counts, axis=0)
        left = 0
        for i, row in enumerate(total):
            below = np.cumsum(row)
            digit = int(np.searchsorted(below, ranks[i], side="right"))
            ranks[i] -= int(below[digit - 1]) if digit else 0
            prefixes[i] = (prefixes[i] << 16) | digit
            left += int(row[digit])
        known += 16
        if known < 64 and left <= FETCH_VALUES:
            # Non-negative floats sort as their bit patterns: the value at
            # rank r among those sharing a prefix is the answer.
            found = gather(client, [at(list(workers), b, tasks.values_with_prefixes, p,
                                       prefixes, known) for b, p in enumerate(parts)])
            return ([float(np.sort(np.concatenate([f[i] for f in found]))[r])
                     for i, r in enumerate(ranks)], extras)
    return ([float(np.array([p], dtype=np.uint64).view(np.float64)[0]) for p in prefixes],
            extras)


def median(client: Any, parts: list[Any], n: int,
           extra: list[Any] = (), workers: list[str] = ()) -> tuple[float, list[Any]]:
    """np.median of the n values in `parts`, exactly as NumPy takes it (the
    mean of the two middle values for even n); and the `extra` values."""
    if n % 2:
        (upper,), extras = exact_ranks(client, parts, [n // 2], extra, workers)
        return upper, extras
    (lower, upper), extras = exact_ranks(client, parts, [n // 2 - 1, n // 2], extra, workers)
    return (lower + upper) / 2, extras


def median_count(counts: np.ndarray, n: int) -> int:
    """The element at position n // 2 of the sorted counts, from their
    histogram (adaptive_trim_size's median)."""
    return int(np.searchsorted(np.cumsum(counts), n // 2, side="right"))


@dataclass
class Fitted:
    parts: list[Any]       # per input chunk, persisted dict of per-point arrays
    centers: np.ndarray
    bandwidth: float
    threshold: float
    search_size: int
    n_neighbors: int
    n_distinct: int
    tree: merging.Tree | None = None   # what relabel cuts again (merging.relabelled)
    copies: Any = None                 # persisted (copies, their first occurrences)


def fit(client: Any, X: Any, s: Settings, n_boxes: int, timer: StageTimer,
        diagonal: float, dim: int | None = None) -> Fitted:
    """Cluster the Dask array X (n x d, float64, one column chunk) in about
    n_boxes boxes; the stages are timed by `timer`. `diagonal`: of the
    points' bounding box; `dim`: the density's dimension, if not d (d - 1
    for unit rows)."""
    way = BoxStages(client, X, s, timer, diagonal, X.shape[1] if dim is None else dim)
    way.cut(n_boxes)
    found = stages.run(way, s)
    parts, centers = found.clusters
    return Fitted(parts, centers, found.bandwidth, found.threshold,
                  int(min(found.search_size, found.k)), found.k, found.n, way.tree, way.copies)


class BoxStages:
    """The stages of stages.run per box on a Dask cluster: what each stage
    makes stays on the workers, persisted, as the module's docstring says;
    `placed` is, per box, the worker its next tasks go to."""

    def __init__(self, client: Any, X: Any, s: Settings, timer: StageTimer, diagonal: float,
                 dim: int) -> None:
        self.client, self.s, self.timer = client, s, timer
        self.diagonal, self.dim = diagonal, dim
        self.n_points, self.d = X.shape
        self.chunks = X.to_delayed().ravel().tolist()
        self.offsets = np.concatenate([[0], np.cumsum(X.chunks[0])]).astype(int).tolist()
        self.copies_found = False
        self.tree = self.copies = None

    def cut(self, n_boxes: int) -> None:
        """The boxes, and each box's points gathered on a worker."""
        client, chunks, offsets = self.client, self.chunks, self.offsets
        with self.timer.stage("boxes"):
            step = max(1, self.n_points // SAMPLE_POINTS)
            sample = np.concatenate(gather(client, [delayed(tasks.sample)(c, step)
                                                    for c in chunks]))
            self.boxes = boxes = cut(sample, n_boxes)
            B = len(boxes)
            parts = [delayed(knn.pieces)(c, offsets[i], boxes) for i, c in enumerate(chunks)]
            pieces = [[delayed(knn.piece)(p, b) for p in parts] for b in range(B)]
            # Each box's points gathered on a worker of its own, the same
            # number of boxes on every worker: the tasks of a box then run
            # where its points are (where Dask would put them all on the
            # worker holding most input rows, e.g. the only one when the
            # input is one chunk).
            self.placed = placed = list(client.scheduler_info().get("workers", {}))
            points = []
            for b in range(B):
                with _placed(placed, b):
                    points.append(delayed(knn.points_of_box)(*pieces[b]))
            self.points = client.persist(points)
            wait(self.points)
            del parts, pieces

    def columns(self, n: int) -> tuple[int, int]:
        s = self.s
        return pipeline.table_columns(n, s.n_neighbors, s.bandwidth, s.test_size)

    def held_out(self, k: int, k_table: int) -> tuple[np.ndarray, int] | None:
        # Where the table has no column for the held-out points (below 1.24
        # million points with the defaults), the bandwidth search queries
        # them against the other points, in one task over all points. As on
        # one machine, that query is made before any table exists: made
        # later, its gathered points and tree came on top of a worker's
        # tables (at 10^6 points on two workers, one worker then peaked
        # above the single fit). With copies the bandwidth search makes it
        # again, on the distinct points.
        s = self.s
        if self.copies_found or s.bandwidth is not None or k_table != k:
            return None
        with self.timer.stage("bandwidth"):
            try:
                return gather(self.client, delayed(tasks.held_out_cross)(
                    self.points, self.n_points, s.test_size, s.random_state, k))
            except ValueError:   # the search refuses these points: as it will below
                return None

    def searching(self) -> ContextManager[Any]:
        return self.timer.stage("neighbours")

    def neighbours(self, k_table: int) -> tuple[int, bool]:
        # As in the single-machine run, the boxes are searched over all
        # their points first: exact copies show in their own tables (and
        # share a box), and only when there are any is each box searched
        # again over its distinct points, numbered as those of the whole
        # input in order of appearance.
        client, placed = self.client, self.placed
        self.own = client.persist([at(placed, b, knn.own_table, p, k_table, self.boxes, b)
                                   for b, p in enumerate(self.points)])
        # What the client reads off the own tables is read where they lie,
        # not placed with the box: Dask may have moved an own search to the
        # other worker (its input is small), and a task placed by the first
        # plan then fetched the whole table.
        self.found = client.persist([delayed(knn.found_of)(t) for t in self.own])
        *self.asks, n_copies = gather(client, [delayed(knn.asks_of)(t) for t in self.own]
                                      + [delayed(knn.count)(*self.found)])
        self.n = self.n_points - n_copies
        if self.n >= 2:
            self.copies = client.persist(delayed(knn.all_copies)(*self.found))
        self.copies_found = n_copies > 0
        return self.n, self.copies_found

    def search_distinct(self, k_table: int) -> None:
        client, placed = self.client, self.placed
        self.own = None
        self.distinct = client.persist([at(placed, b, knn.distinct_points, p, self.copies)
                                        for b, p in enumerate(self.points)])
        self.own = client.persist([at(placed, b, knn.own_table, p, k_table, self.boxes, b)
                                   for b, p in enumerate(self.distinct)])
        self.asks = gather(client, [delayed(knn.asks_of)(t) for t in self.own])

    def complete_table(self, k_table: int) -> None:
        """The rows near a wall take their neighbours from the boxes they
        asked."""
        client, own, asks, B = self.client, self.own, self.asks, len(self.boxes)
        if not self.copies_found:
            self.distinct = self.points
        self.points = self.own = None
        # From here on a box's tasks follow its table.
        placed = holders(client, own, self.placed)
        # Each box answers all the rows that ask it at once.
        askers = [[b for b in range(B) if c in asks[b]] for c in range(B)]
        answers = [at(placed, c, knn.answer_all, own[c], k_table, self.boxes, askers[c],
                      *[at(placed, b, knn.request, own[b], c) for b in askers[c]])
                   for c in range(B)]
        tables = []
        for b in range(B):
            mine = [(c, at(placed, c, knn.pick, answers[c], askers[c].index(b)))
                    for c in asks[b]]
            tables.append(at(placed, b, knn.merged, own[b], k_table, *mine))
        tables = client.persist(tables)
        # The graphs of the answers hold the own tables' futures: while any
        # of them lives, Dask keeps every own table (the box tables' arrays,
        # which merged writes in place) until the end of the fit.
        del own, answers, mine
        wait(tables)
        self.tables, self.placed = tables, holders(client, tables, placed)

    def bandwidth(self, k: int, k_table: int, held_out: Any) -> float:
        return _bandwidth(self.client, self.tables, self.distinct, self.n, self.d, k, k_table,
                          self.s, self.placed, held_out, self.dim)

    def density(self, k: int, bandwidth: float) -> tuple[int | None, int]:
        client, placed, s, N = self.client, self.placed, self.s, self.n
        self.rho = client.persist([at(placed, b, tasks.density, t, k, bandwidth, self.dim, N)
                                   for b, t in enumerate(self.tables)])
        # Both neighbourhood counts in one pass over each table and one trip.
        radii = [bandwidth * s.alpha] + ([bandwidth * 1.0] if s.threshold is None else [])
        counts = np.sum(gather(client, [at(placed, b, tasks.trim_counts, t, k, radii)
                                         for b, t in enumerate(self.tables)]), axis=0)
        m = max(median_count(counts[1], N), 1) if s.threshold is None else None
        search_size = max(median_count(counts[0], N), s.min_search)
        wait(self.rho)
        return m, search_size

    def clusters(self, k: int, rule: Any, width: int, list_width: int, search_size: int,
                 min_size: int) -> tuple[list[Any], np.ndarray]:
        """(per input chunk, the persisted results; the centres)."""
        client, placed, s, offsets = self.client, self.placed, self.s, self.offsets
        with self.timer.stage("clusters"):
            # The foreign densities travel before the boxes are made, so
            # that each box's peaks are found from its table in place.
            bx = merging.PersistedBoxes(client, [at(placed, b, boxwork.keys_of, t)
                                                 for b, t in enumerate(self.tables)],
                                        self.asks, placed)
            f_rho = bx.fetch(self.rho, np.float64)
            bx.boxes = client.persist([at(placed, b, boxwork.make_box, p, t, r, f, width,
                                          list_width, self.diagonal)
                                       for b, (p, t, r, f) in enumerate(zip(
                                           self.distinct, self.tables, self.rho, f_rho))])
            self.tables = self.rho = self.distinct = None
            merged = merging.clusters(bx, f_rho, rule, search_size, list_width, min_size,
                                      s.n_clusters, s.noise)
            # Each box's results, split by the input's chunks in one task.
            split = [at(placed, b, tasks.output_pieces, box, lab, merged.changed, fnd,
                        self.copies, offsets)
                     for b, (box, lab, fnd) in enumerate(zip(bx.boxes, merged.labels,
                                                             self.found))]
            parts = client.persist([delayed(tasks.chunk_of)(
                offsets[i], offsets[i + 1], *[delayed(knn.piece)(p, i) for p in split])
                for i in range(len(self.chunks))])
            self.tree = merged.tree     # what relabel cuts again
            centers = gather(client, delayed(tasks.original)(self.copies, merged.centers))
            wait(parts)
        return parts, np.asarray(centers, dtype=np.int64)


def _bandwidth(client: Any, tables: list[Any], distinct: list[Any], N: int, d: int, k: int,
               k_table: int, s: Settings, placed: list[str],
               early: tuple[np.ndarray, int] | None = None, dim: int | None = None) -> float:
    """pipeline.optimal_bandwidth's choice, from the table in parts. `early`:
    tasks.held_out_cross of the distinct points, if made already; `dim`: the
    density's dimension, if not d."""
    n_test = pipeline.test_points(N, s.test_size)
    order = pipeline.held_out_order(N, n_test, s.random_state) if k_table > k else None
    kth = client.persist([at(placed, b, tasks.column, t, k - 1) for b, t in enumerate(tables)])
    # The median's first round brings the maxima, the nearest-neighbour
    # scale's sum and the held-out candidates' rows in the same trip.
    # bandwidth_estimate's nearest-neighbour scale: column 1 squared and
    # summed in index order, then divided by n and by d.
    # The sum runs in index order through a chain of tasks, each over
    # SUM_SPAN indices and carrying the sum so far: one task over all
    # points' squares would hold 16 bytes per point on one worker.
    squares = client.persist([at(placed, b, tasks.ids_and_squares, t, 1)
                              for b, t in enumerate(tables)])
    total: Any = 0.0
    for lo in range(0, N, tasks.SUM_SPAN):
        hi = min(N, lo + tasks.SUM_SPAN)
        total = delayed(tasks.ordered_sum)(lo, hi, total,
                                           *[at(placed, b, tasks.index_range, p, lo, hi)
                                             for b, p in enumerate(squares)])
    extra = [total]
    if order is not None:
        # The candidates (4 x 20 000 indices) go to the workers once, not in
        # every box's task: at 52 boxes they made a graph of 50 MiB.
        wanted = shared(client, order)
        extra.append([at(placed, b, tasks.rows_of, t, wanted) for b, t in enumerate(tables)])
    extra.extend(at(placed, b, np.max, v) for b, v in enumerate(kth))
    high, extras = median(client, kth, N, extra, placed)
    total, found = extras[0], (extras[1] if order is not None else None)
    kth_max = float(max(extras[1 + (order is not None):]))
    del kth, squares
    nn_scale = math.sqrt((total / N) / d)
    low, high = pipeline.interval_from(nn_scale, high, kth_max)

    test = None
    if order is not None:
        ids = np.concatenate([f[0] for f in found])
        dist = np.concatenate([f[1] for f in found])
        nbr = np.concatenate([f[2] for f in found])
        sorted_ids = np.argsort(ids)

        def position(wanted: np.ndarray) -> np.ndarray:
            return sorted_ids[np.searchsorted(ids, wanted, sorter=sorted_ids)]

        test = pipeline.held_out_from_rows(order, nbr[position(order)], n_test)
    if test is not None:
        rows_dist, rows_list = dist[position(test)], nbr[position(test)]
        cross = rows_dist[rows_list != test[:, None]].reshape(n_test, k)
        n_train = N - n_test
    elif early is not None:
        cross, n_train = early
    else:
        cross, n_train = gather(client, delayed(tasks.held_out_cross)(
            distinct, N, s.test_size, s.random_state, k))
    return pipeline.likeliest_bandwidth(cross, low, high, d if dim is None else dim, n_train,
                                        s.xtol).bandwidth


def output(fitted: Fitted, name: str, chunks: tuple[int, ...], dtype: Any) -> Any:
    """One per-point result as a Dask array chunked like the input rows."""
    import dask.array as da
    pieces = [da.from_delayed(delayed(tasks.field)(part, name), shape=(size,), dtype=dtype)
              for part, size in zip(fitted.parts, chunks)]
    return da.concatenate(pieces) if pieces else da.zeros((0,), dtype=dtype)
