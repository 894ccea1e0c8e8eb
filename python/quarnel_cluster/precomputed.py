"""Neighbour graphs users bring: DensityPeakClustering(metric="precomputed").

The graph is a SciPy sparse matrix in scikit-learn's format, as
NearestNeighbors.kneighbors_graph(mode="distance") and
radius_neighbors_graph(mode="distance") return it: row i stores distances
from point i to some of the others (its nearest ones); the point itself is
not stored, or stored as 0. Nothing else is read, so any metric, or an
approximate index's neighbours, can be clustered.

    rows         every row sorted by (distance, column); a point's own
                 entry dropped; each row must keep n_neighbors - 1 others,
                 as n_neighbors counts the point itself (the estimator's
                 default 30 needs 29, so NearestNeighbors(n_neighbors=30),
                 the same number, gives enough)
    copies       points at stored distance 0 from each other are copies of
                 one point, as exact copies are among coordinates: the one
                 of smallest index stands for them all, with the union of
                 their rows, and the others join its cluster
    dimension    the density needs the dimension of the space the points
                 fill; without coordinates it is estimated from the
                 neighbour distances (intrinsic_dimension)
    bandwidth    the held-out points' training neighbours are read off
                 their rows (held_out_rows)
    centres      the merging's distances between density peaks are path
                 lengths along the graph (CentreDistances)
"""

from __future__ import annotations

import math
from dataclasses import dataclass, replace
from typing import Any

import numpy as np
import numpy.typing as npt

from . import pipeline, validation
from .records import F64, I64, Clusters, Duplicates, HeldOut


def _entries(X: Any, owner: str) -> tuple[tuple[int, int], I64, I64, F64]:
    """(shape, row, column, distance) of every stored entry of the sparse
    matrix X, as new arrays (X is never written), after the checks that do
    not depend on the shape: numbers, finite, not negative."""
    if not validation.is_sparse(X):
        raise TypeError(f"{owner} with metric='precomputed' takes a sparse neighbour graph "
                        "(a scipy.sparse matrix of distances, as "
                        "NearestNeighbors.kneighbors_graph(mode='distance') returns it), "
                        f"not {type(X).__name__}.")
    if len(X.shape) != 2:
        raise ValueError(f"Expected a 2D neighbour graph, got shape {X.shape} instead.")
    dtype = np.dtype(X.dtype)
    if dtype.kind not in "biuf":
        raise TypeError(f"The precomputed neighbour graph must hold distances, not {dtype}.")
    coo = X.tocoo()
    row = np.asarray(coo.row, dtype=np.int64)
    col = np.asarray(coo.col, dtype=np.int64)
    dist = np.array(coo.data, dtype=np.float64)   # a copy
    if not np.isfinite(dist).all():
        bad = ~np.isfinite(dist)
        first = int(np.argmax(bad))
        what = "NaN" if np.isnan(dist[first]) else \
            "infinity or a value too large for dtype('float64')"
        count = int(bad.sum())
        where = "" if count == 1 else "the first "
        raise ValueError(f"Input X contains {what} (the precomputed neighbour graph stores "
                         f"{validation.counted(count, 'such distance')}, {where}in row "
                         f"{row[first]}, column {col[first]}).")
    if (dist < 0).any():
        first = int(np.argmax(dist < 0))
        raise ValueError("Negative values in data passed to precomputed distance matrix "
                         f"({float(dist[first])!r} in row {row[first]}, column {col[first]}).")
    return (int(X.shape[0]), int(X.shape[1])), row, col, dist


def _sorted_rows(row: I64, col: I64, dist: F64) -> tuple[I64, I64, F64]:
    """The entries by (row, distance, column). Graphs come mostly with their
    rows in place and each row by distance (kneighbors_graph's do): only
    the rows out of order are sorted then."""
    if len(row) < 2:
        return row, col, dist
    step_row, step_dist = np.diff(row), np.diff(dist)
    in_order = (step_row > 0) | ((step_row == 0) & (
        (step_dist > 0) | ((step_dist == 0) & (np.diff(col) > 0))))
    if in_order.all():
        return row, col, dist
    if (step_row >= 0).all():
        # Each row's entries together: sort the rows out of order among them.
        sub = np.flatnonzero(np.isin(row, row[1:][~in_order]))
        order = np.arange(len(row))
        order[sub] = sub[np.lexsort((col[sub], dist[sub], row[sub]))]
    else:
        order = np.lexsort((col, dist, row))
    return row[order], col[order], dist[order]


def _check_each_once(row: I64, col: I64, shape: tuple[int, int], what: str) -> None:
    """Refuses a graph that stores a (row, column) pair twice."""
    from scipy.sparse import csr_matrix
    # The conversion adds up repeated pairs, in compiled code.
    if csr_matrix((np.ones(len(row)), (row, col)), shape=shape).nnz == len(row):
        return
    twice = int(np.flatnonzero(~_first_of_each(row, col, shape[1]))[0])
    raise ValueError(f"The precomputed neighbour graph stores two distances from {what} "
                     f"{row[twice]} to point {col[twice]}: store each pair once in a row.")


def _first_of_each(row: I64, col: I64, n_cols: int) -> npt.NDArray[np.bool_]:
    """Entries that are the first of their (row, column) pair."""
    _, first = np.unique(row * n_cols + col, return_index=True)
    keep = np.zeros(len(row), dtype=bool)
    keep[first] = True
    return keep


@dataclass(frozen=True)
class Graph:
    """A neighbour graph on the distinct points: the entries of every row,
    sorted by (distance, index), none to the point itself, numbered as the
    distinct points are (in order of first appearance)."""
    n_points: int       # rows of the graph given (all points, copies included)
    row: I64
    col: I64
    dist: F64
    copies: Duplicates
    counts: I64         # entries per distinct point

    @property
    def n(self) -> int:
        return len(self.counts)

    def table(self, k: int) -> tuple[F64, I64]:
        """The self table of k columns: the point itself at distance 0, then
        its k - 1 nearest others (every row holds that many: check_rows)."""
        n = self.n
        nn_dist = np.zeros((n, k))
        nn_list = np.empty((n, k), dtype=np.int64)
        nn_list[:, 0] = np.arange(n)
        m = int(self.counts[0])
        if (self.counts == m).all():
            # The same count in every row (a k-nearest-neighbour graph's).
            nn_dist[:, 1:] = self.dist.reshape(n, m)[:, :k - 1]
            nn_list[:, 1:] = self.col.reshape(n, m)[:, :k - 1]
            return nn_dist, nn_list
        start = np.concatenate([[0], np.cumsum(self.counts)[:-1]])
        rank = np.arange(len(self.row)) - start[self.row]
        take = rank < k - 1
        nn_dist[self.row[take], 1 + rank[take]] = self.dist[take]
        nn_list[self.row[take], 1 + rank[take]] = self.col[take]
        return nn_dist, nn_list

    def check_rows(self, k: int, n_neighbors: int) -> None:
        """Every row must hold k - 1 neighbours besides the point itself."""
        short = np.flatnonzero(self.counts < k - 1)
        if not len(short):
            return
        i = int(short[0])
        point = i if self.copies.first is None else int(self.copies.first[i])
        merged = "" if self.copies.first is None else \
            " once the exact copies it lists (stored at distance 0) are merged"
        lowered = "" if k == n_neighbors else \
            f" (n_neighbors lowered to the {self.n} distinct points)"
        raise ValueError(
            f"The precomputed neighbour graph stores {int(self.counts[i])} neighbours of "
            f"point {point}{merged}, fewer than the {k - 1} that n_neighbors={k}{lowered} "
            f"needs besides the point itself ({len(short)} "
            f"{'point falls' if len(short) == 1 else 'points fall'} short): store at "
            f"least {k - 1} neighbours of every point, as "
            f"NearestNeighbors(n_neighbors={k - 1}).kneighbors_graph(mode='distance') does, "
            "or lower n_neighbors.")

    def edges(self) -> tuple[I64, I64, F64]:
        return self.row, self.col, self.dist


def neighbour_graph(X: Any, owner: str) -> Graph:
    """The checked graph of fit's X on its distinct points (see Graph)."""
    shape, row, col, dist = _entries(X, owner)
    if shape[0] != shape[1]:
        raise ValueError(f"Precomputed matrix must be square. Input is a {shape[0]}x{shape[1]} "
                         "matrix.")
    validation.check_shape(shape, owner)
    n = shape[0]
    _check_each_once(row, col, shape, "point")
    own = row == col
    if (dist[own] != 0).any():
        i = int(np.flatnonzero(own & (dist != 0))[0])
        raise ValueError("The precomputed neighbour graph stores a distance of "
                         f"{float(dist[i])!r} from point {row[i]} to itself: leave the point "
                         "itself out, or store it as 0.")
    row, col, dist = row[~own], col[~own], dist[~own]
    copies = _copies(n, row, col, dist)
    if copies.inverse is not None:
        row, col = copies.inverse[row], copies.inverse[col]
        other = row != col
        row, col, dist = row[other], col[other], dist[other]
        n_distinct = len(copies.first)   # type: ignore[arg-type]
    else:
        n_distinct = n
    row, col, dist = _sorted_rows(row, col, dist)
    if copies.inverse is not None:
        # A point listed by several copies counts once, at its least distance.
        keep = _first_of_each(row, col, n_distinct)
        row, col, dist = row[keep], col[keep], dist[keep]
    return Graph(n, row, col, dist, copies, np.bincount(row, minlength=n_distinct))


def _copies(n: int, row: I64, col: I64, dist: F64) -> Duplicates:
    """Points at stored distance 0 from each other, as Duplicates: linked
    in either direction, through any chain of such links."""
    zero = dist == 0.0
    if not zero.any():
        return Duplicates(None, None)
    from scipy.sparse import coo_matrix
    from scipy.sparse.csgraph import connected_components
    links = coo_matrix((np.ones(int(zero.sum())), (row[zero], col[zero])), shape=(n, n))
    _, group = connected_components(links, directed=True, connection="weak")
    least = np.full(group.max() + 1, n, dtype=np.int64)
    np.minimum.at(least, group, np.arange(n))
    first = np.sort(least)
    rank = np.empty(len(least), dtype=np.int64)
    rank[np.argsort(least)] = np.arange(len(least))
    return Duplicates(first.astype(np.int64), rank[group].astype(np.int64))


def query_table(X: Any, k: int, n_train: int, inverse: I64 | None, owner: str) -> tuple[F64, I64]:
    """predict's table: for every row of the graph X from new points to the
    n_train training points, its k nearest distinct training points."""
    shape, row, col, dist = _entries(X, owner)
    validation.check_features(shape, n_train, owner)
    validation.check_shape(shape, owner, min_samples=1)
    m = shape[0]
    _check_each_once(row, col, shape, "new point")
    row, col, dist = _sorted_rows(row, col, dist)
    if inverse is not None:
        # A training point listed with its copies counts once, at its least
        # distance.
        col = inverse[col]
        keep = _first_of_each(row, col, int(inverse.max()) + 1)
        row, col, dist = row[keep], col[keep], dist[keep]
    counts = np.bincount(row, minlength=m)
    if (counts < k).any():
        i = int(np.argmax(counts < k))
        merged = "" if inverse is None else " distinct"
        raise ValueError(f"The precomputed neighbour graph stores {int(counts[i])}{merged} "
                         f"training neighbours of new point {i}, fewer than the {k} that "
                         f"the fit's n_neighbors_={k} needs: store at least {k} neighbours "
                         "of every new point, as NearestNeighbors(n_neighbors="
                         f"{k}).fit(X_train).kneighbors_graph(X_new, mode='distance') does.")
    start = np.concatenate([[0], np.cumsum(counts)[:-1]])
    rank = np.arange(len(row)) - start[row]
    take = rank < k
    dist_table = np.empty((m, k))
    idx_table = np.empty((m, k), dtype=np.int64)
    dist_table[row[take], rank[take]] = dist[take]
    idx_table[row[take], rank[take]] = col[take]
    return dist_table, idx_table


def intrinsic_dimension(nn_dist: F64) -> float:
    """The dimension of the space the points fill, from their neighbour
    distances (a self table: column 0 the point itself): the maximum
    likelihood estimate of Levina and Bickel, its inverse averaged over the
    points (MacKay and Ghahramani). With r_1 <= ... <= r_m the distances to
    a point's m nearest others, the point's estimate of 1/d is the mean of
    log(r_m / r_j), j < m. NaN with fewer than two others; inf when every
    row's others are equidistant."""
    others = nn_dist[:, 1:]
    if others.shape[1] < 2:
        return math.nan
    with np.errstate(divide="ignore"):
        logs = np.log(others[:, -1:]) - np.log(others[:, :-1])
    inverse = float(np.mean(logs))
    return 1.0 / inverse if inverse > 0 else math.inf


def density_dimension(nn_dist: F64, k: int) -> int:
    """intrinsic_dimension rounded, at least 1 and at most where the
    kernel's normalisation stays in range."""
    estimate = intrinsic_dimension(nn_dist)
    dim = 1 if math.isnan(estimate) else max(1, round(min(estimate, 1e6)))
    while dim > 1 and not pipeline.kernel_fits(dim, k):
        dim -= 1
    return int(dim)


def held_out_rows(graph: Graph, k: int, test_size: float, seed: Any, dim: int) -> HeldOut:
    """pipeline.held_out_neighbours on the graph: the seeded split's
    held-out points, each with its nearest training points as its row
    stores them (the first min(k, n_train)). A row that lists held-out
    points has fewer training points left than a cross query would find;
    the missing ones lie beyond the row's last stored distance and enter
    as infinitely far (the kernel gives them no weight)."""
    n = graph.n
    train, test = pipeline.split(n, test_size, seed)
    n_train = len(train)
    width = min(k, n_train)
    held = np.zeros(n, dtype=bool)
    held[test] = True
    e = np.flatnonzero(held[graph.row] & ~held[graph.col])
    rows = graph.row[e]
    start = np.searchsorted(rows, rows, side="left")
    rank = np.arange(len(e)) - start
    take = rank < width
    cross = np.full((len(test), width), np.inf)
    cross[np.searchsorted(test, rows[take]), rank[take]] = graph.dist[e[take]]
    blank = np.zeros((1, dim))     # bandwidth_estimate reads the dimension off them
    return HeldOut(cross, n_train, blank, blank)


class CentreDistances:
    """Distances between density peaks along the graph, for the merging
    (it reads them where a cluster that touches none joins the nearest
    denser one, and for a merged centre's delta_).

    Each peak's cell holds the points nearer to it along the graph than
    to any other peak (one Dijkstra search from all peaks); two cells that
    an edge links are as far apart as the shortest path from peak to peak
    across such an edge. Between peaks of cells that touch no edge, the
    distance is the shortest chain of such cell-to-cell paths: a path
    along the graph, at least as long as the graph's shortest one. The
    edges count in both directions. Peaks the graph does not connect are
    infinitely far apart; of those, the densest denser peak is taken.
    """

    along_graph = True      # see pipeline.along_graph
    # Dijkstra searches from this many peaks at once (rows of peaks' length).
    BATCH = 256

    def __init__(self, graph: Graph, diagonal: float) -> None:
        self.graph = graph
        # The stand-in of compute_delta's bounding-box diagonal: delta_ of a
        # remaining centre.
        self.diagonal = diagonal
        self._peaks: I64 | None = None
        self._cells: Any = None

    def set_peaks(self, peaks: I64) -> None:
        self._peaks = np.asarray(peaks, dtype=np.int64)
        self._cells = None

    def _centre_graph(self) -> tuple[Any, I64]:
        if self._cells is not None:
            return self._cells
        from scipy.sparse import coo_matrix, csr_matrix
        from scipy.sparse.csgraph import dijkstra
        assert self._peaks is not None
        n, peaks = self.graph.n, self._peaks
        a, b, w = self.graph.edges()
        # Undirected: an edge stored in either row counts, at the lesser
        # distance where both store it.
        edges = csr_matrix((w, (a, b)), shape=(n, n))
        reach, _, source = dijkstra(edges, directed=False, indices=peaks, min_only=True,
                                    return_predecessors=True)
        position = np.full(n, -1, dtype=np.int64)
        position[peaks] = np.arange(len(peaks))
        cell = np.where(source >= 0, position[np.maximum(source, 0)], -1)
        ca, cb = cell[a], cell[b]
        across = (ca != cb) & (ca >= 0) & (cb >= 0)
        ca, cb = ca[across], cb[across]
        path = reach[a[across]] + w[across] + reach[b[across]]
        p = len(peaks)
        pair, path = _least_by_key(np.minimum(ca, cb) * p + np.maximum(ca, cb), path)
        ca, cb = pair // p, pair % p
        centres = coo_matrix((np.r_[path, path], (np.r_[ca, cb], np.r_[cb, ca])),
                             shape=(p, p)).tocsr()
        self._cells = (centres, position)
        return self._cells

    def _from(self, sources: I64, limit: float) -> F64:
        from scipy.sparse.csgraph import dijkstra
        centres, _ = self._centre_graph()
        return np.atleast_2d(dijkstra(centres, directed=True, indices=sources, limit=limit))

    def gaps(self, child: I64, parent: I64) -> F64:
        """Distances from the peaks `child` to the peaks `parent` (point
        indices, pairwise); inf where the graph does not connect them."""
        centres, position = self._centre_graph()
        a, b = position[np.asarray(child)], position[np.asarray(parent)]
        out = np.full(len(a), np.inf)
        if not len(a) or not centres.nnz:
            return out
        # Searches reach as far as `limit`, raised until every pair is found:
        # a merge joins nearby peaks far more often than distant ones.
        total = float(centres.data.sum())
        limit = 4 * float(np.median(centres.data))
        pending = np.arange(len(a))
        while len(pending):
            sources, which = np.unique(a[pending], return_inverse=True)
            found = np.empty(len(pending))
            for s in range(0, len(sources), self.BATCH):
                reach = self._from(sources[s:s + self.BATCH], limit)
                mine = (which >= s) & (which < s + self.BATCH)
                found[mine] = reach[which[mine] - s, b[pending[mine]]]
            done = np.isfinite(found)
            out[pending[done]] = found[done]
            pending = pending[~done]
            if limit >= total:
                break
            limit = min(4 * limit, total)
        return out

    def nearest_denser(self, rho: F64, centre: int, others: list[int]) -> int:
        """controls._nearest_denser along the graph."""
        denser = [c for c in others if rho[c] > rho[centre] or
                  (rho[c] == rho[centre] and c < centre)] or others
        centres, position = self._centre_graph()
        reach = self._from(position[[centre]], np.inf)[0] if centres.nnz else \
            np.full(centres.shape[0], np.inf)
        gaps = reach[position[denser]]
        if np.isfinite(gaps).any():
            return denser[int(np.argmin(gaps))]
        return min(denser, key=lambda c: (-rho[c], c))


def finish_delta(c: Clusters, diagonal: float) -> Clusters:
    """delta_ of the remaining centres, and of centres the graph does not
    connect to the centre they joined: the largest of the stored distances
    (diagonal) and the other points' delta, in place of compute_delta's
    bounding-box diagonal, which is at least every distance."""
    delta = c.delta.copy()
    finite = np.isfinite(delta)
    finite[c.centers] = False
    top = max(diagonal, float(delta[finite].max()) if finite.any() else 0.0)
    delta[~finite] = top
    return replace(c, delta=delta)


def _least_by_key(key: I64, value: F64) -> tuple[I64, F64]:
    """The distinct keys, ascending, and the least value of each."""
    if not len(key):
        return key, value[:0]
    order = np.argsort(key, kind="stable")
    key = key[order]
    start = np.flatnonzero(np.r_[True, key[1:] != key[:-1]])
    return key[start], np.minimum.reduceat(value[order], start)
