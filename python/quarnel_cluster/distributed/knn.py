"""Exact neighbour tables of points spread over boxes (boxes.py).

Each box searches its own points first. A point whose k-th neighbour in its
own box is nearer than every other box is done: no point elsewhere can come
before it. Any other point asks each box that lies within its k-th distance
for that box's k nearest, and its row is the first k of all the candidates
ordered by (squared distance, index) — the order the single-machine search
gives (two squared distances can share a root, so the order is taken before
the root), since a squared distance depends only on the two points (squares
summed in column order) and every box lists its points in index order, so
its local ties break as the global ones do.

A box's table numbers its neighbours as the clustering stages read them
(boxwork.py): a neighbour in the box by its row there, any other by the
box's size plus its position among the box's foreign points (the listed
points of other boxes, ascending). The own search gives the rows as they
are, so only the few rows that take candidates from other boxes are
renumbered; global indices are formed only where a few rows are read.

All functions here are tasks: they take and return NumPy arrays.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from .. import _native as native
from .. import neighbours
from .boxes import F64, I64, Boxes

# A box is asked about a point when it lies within the point's k-th distance
# times this: distances and box gaps are both rounded, by far less.
REACH = 1.0 + 1e-9
# Asking rows whose candidates are merged at once (see merged).
MERGE_BLOCK_ROWS = 1 << 15


def pieces(x: F64, offset: int, boxes: Boxes) -> list[tuple[I64, F64]]:
    """The rows of one chunk of the input (rows offset, offset + 1, ...)
    that fall in each box, with their indices."""
    x = np.asarray(x, dtype=np.float64)
    box = boxes.of(x)
    # Rows grouped by box in index order (a stable sort), then cut; on the
    # box numbers as bytes where they fit, which NumPy sorts by counting
    # (several times faster than its merge sort of 64-bit integers).
    order = np.argsort(box.astype(np.uint8) if len(boxes) <= 256 else box, kind="stable")
    cut = np.cumsum(np.bincount(box, minlength=len(boxes)))[:-1]
    ids = np.split(order + offset, cut)
    return list(zip(ids, np.split(x[order], cut)))


def piece(parts: list[tuple[I64, F64]], b: int) -> tuple[I64, F64]:
    return parts[b]


def points_of_box(*parts: tuple[I64, F64]) -> tuple[I64, F64]:
    """A box's points in index order, from its pieces in chunk order."""
    ids = np.concatenate([p[0] for p in parts])
    x = np.concatenate([p[1] for p in parts]) if parts else np.empty((0, 0))
    return ids, np.ascontiguousarray(x)


def copies(points: tuple[I64, F64], dist: F64) -> tuple[I64, I64]:
    """Exact copies in one box (all copies of a point share its box), from
    the distances of the box's own table over all its points: the indices
    of the copies and of the first occurrence each repeats.

    As in the single-machine run, only a row whose second distance is 0 can
    hold a point with a copy (itself and the copy, in either order); those
    few rows are compared by np.unique, as that run compares them."""
    ids, x = points
    none = np.empty(0, np.int64), np.empty(0, np.int64)
    if dist.shape[1] < 2:   # a box of one point
        return none
    candidates = np.flatnonzero(dist[:, 1] == 0.0)
    if len(candidates) < 2:
        return none
    _, first, inverse = np.unique(x[candidates], axis=0, return_index=True,
                                  return_inverse=True)
    if len(first) == len(candidates):
        return none
    occurrence = candidates[first[inverse.ravel()]]
    copy = occurrence != candidates
    return ids[candidates[copy]], ids[occurrence[copy]]


def all_copies(*found: tuple[I64, I64]) -> tuple[I64, I64]:
    """Every box's copies, ordered by the copy's index."""
    copy = np.concatenate([f[0] for f in found])
    first = np.concatenate([f[1] for f in found])
    order = np.argsort(copy, kind="stable")
    return copy[order], first[order]


def count(*found: tuple[I64, I64]) -> int:
    return sum(len(f[0]) for f in found)


def distinct_points(points: tuple[I64, F64], found: tuple[I64, I64]) -> tuple[I64, F64]:
    """A box's distinct points (first occurrences), numbered as the distinct
    points of the whole input in order of appearance."""
    ids, x = points
    copy = found[0]
    keep = ~np.isin(ids, copy, assume_unique=True) if len(copy) else np.ones(len(ids), bool)
    first = ids[keep]
    return first - np.searchsorted(copy, first), np.ascontiguousarray(x[keep])


def own_table(points: tuple[I64, F64], k: int, boxes: Boxes, b: int) -> dict[str, Any]:
    """The box's own search: its points' nearest among themselves, for each
    other box the rows that must also ask it, and the box's exact copies
    (see copies)."""
    ids, x = points
    m = len(ids)
    if m == 0:
        return {"ids": ids, "x": x, "dist": np.empty((0, k)), "nbr": np.empty((0, k), np.int64),
                "asks": {}, "reaches": {}, "wall": np.empty(0),
                "found": (np.empty(0, np.int64), np.empty(0, np.int64))}
    # Rows here, as 32-bit integers when they fit: every box holds its whole
    # table until the density is known. Ties break by the smaller row, which
    # is the smaller index: a box lists its points in index order.
    dist, nbr = neighbours.self_table(x, k)
    if dist.shape[1] == k:
        reach = dist[:, -1] * REACH
    else:   # fewer than k points here: every box may hold some of them
        reach = np.full(m, np.inf)
    # Only rows that reach past their own box's nearest wall can reach
    # another box (a few in a hundred): the gaps to every box are computed
    # for those alone.
    wall = boxes.wall_distance(x, b)
    near = np.flatnonzero(wall <= reach)
    gaps = boxes.gaps(x[near])
    asks, reaches = {}, {}
    for c in range(len(boxes)):
        if c != b:
            rows = near[gaps[:, c] <= reach[near]]
            if len(rows):
                asks[c] = rows
                reaches[c] = float(reach[rows].max())
    return {"ids": ids, "x": x, "dist": dist, "nbr": nbr, "asks": asks, "reaches": reaches,
            "wall": wall, "found": copies(points, dist)}


def squared(q: F64, x: F64, idx: np.ndarray) -> F64:
    """Squared distances from each row of q to the rows of x that idx lists
    (an index table), as the native search sums them: in column order, one
    rounding per square and per addition; natively, with no (rows, k, d)
    gather of coordinates."""
    x, q = (np.require(a, np.float64, "A") for a in (x, q))
    return native.gathered_squares(q, x, idx).reshape(idx.shape)


def found_of(table: dict[str, Any]) -> tuple[I64, I64]:
    return table["found"]


def asks_of(table: dict[str, Any]) -> dict[int, int]:
    """How many rows of the box ask each other box."""
    return {c: len(rows) for c, rows in table["asks"].items()}


def request(asking: dict[str, Any], c: int) -> tuple[F64, float]:
    """The points of box `asking` that ask box c (a small task, so that only
    these rows travel to box c's worker), and the farthest any of them
    looks."""
    return np.ascontiguousarray(asking["x"][asking["asks"][c]]), asking["reaches"][c]


def answer_all(asked: dict[str, Any], k: int, boxes: Boxes, askers: list[int],
               *requests: tuple[F64, float]) -> list[tuple[np.ndarray, F64]]:
    """The asked box's nearest points to the rows of each asking box:
    indices (32-bit where they fit) and squared distances, one tree for all
    of them. The distances themselves are not sent: the search's distance
    is the square root of the squared distance summed as `squared` sums it,
    so the asking box takes the root itself. Answers wait for every box that
    asked, and at 12 bytes an entry instead of 24 they hold half the memory
    while they do.

    The tree holds only the asked box's points within reach of an asking
    box (the farthest any of its rows looks): a point farther from a row q
    than q's reach lies farther than q's own k-th neighbour and cannot enter
    its row, and a point within it lies within reach of q's box."""
    x, ids, wall = asked["x"], asked["ids"], asked["wall"]
    # A point's gap to another box is never below its distance to its own
    # box's nearest wall (Boxes.wall_distance): the gaps to an asking box are
    # computed only for the points within that box's own reach of a wall,
    # natively (NumPy would take a pass over those points per operation).
    # Arrays that came from another process may lie at unaligned offsets of
    # its message, which the native side refuses: copied then (the boxes'
    # walls arrived so on the test suite's cluster; a box's points only
    # where its table moved).
    x_a, wall_a = np.require(x, np.float64, "A"), np.require(wall, np.float64, "A")
    within = np.zeros(len(x), dtype=bool)
    for b, (_, reach) in zip(askers, requests):
        lo, hi = (np.require(w[b], np.float64, "A") for w in (boxes.lo, boxes.hi))
        within[native.within_reach(x_a, wall_a, lo, hi, reach)] = True
    near = np.flatnonzero(within)
    q = np.concatenate([r[0] for r in requests])
    if len(near):
        x = np.ascontiguousarray(x[near])
        _, local = neighbours.cross_table(x, q, k)
        nbr = _compact(ids[near], int(ids[-1]) + 1)[local]
    else:
        local = np.empty((len(q), 0), np.int64)
        nbr = _compact(ids[:0], 0)[local]
    sq = squared(q, x, local)
    bounds = np.cumsum([0, *[len(r[0]) for r in requests]])
    return [(nbr[a:b], sq[a:b]) for a, b in zip(bounds[:-1], bounds[1:])]


def pick(answers: list[Any], i: int) -> Any:
    return answers[i]


def merged(table: dict[str, Any], k: int,
           *answers: tuple[int, tuple[np.ndarray, F64]]) -> tuple[I64, F64, np.ndarray, I64]:
    """The box's final rows: (point indices, distances, neighbour codes,
    foreign points; see the module's docstring). Rows that asked other
    boxes take the first k of all their candidates by (squared distance,
    index)."""
    ids, dist, code = table["ids"], table["dist"], table["nbr"]
    m = len(ids)
    if not answers:
        if dist.shape[1] < k:
            raise AssertionError("a box with fewer than k points asked no other box")
        return ids, dist, code, np.empty(0, np.int64)
    asking = np.unique(np.concatenate([table["asks"][c] for c, _ in answers]))
    # The own search's arrays are overwritten in place: nothing else reads
    # them (the other boxes' answers read only ids and coordinates), and a
    # copy would double the box's largest arrays.
    if dist.shape[1] != k:
        dist, code = np.empty((m, k)), np.empty((m, k), code.dtype)
    if not dist.flags.writeable:
        dist, code = dist.copy(), code.copy()
    own_dist, own_row, x = table["dist"], table["nbr"], table["x"]
    # Each answer's rows, as positions among the asking rows (ascending).
    asked = [(np.searchsorted(asking, table["asks"][c]), answer) for c, answer in answers]
    # Entries taken from other boxes: (flat position in code, global index),
    # numbered once the box's foreign points are all known.
    taken_at, taken = [], []
    # The candidates of a block of asking rows at a time: all of them at once
    # would be (1 + boxes asked) * k entries of five arrays per asking row,
    # more than the box's whole table where many rows lie near a wall.
    for lo in range(0, len(asking), MERGE_BLOCK_ROWS):
        hi = min(len(asking), lo + MERGE_BLOCK_ROWS)
        block = asking[lo:hi]
        rows = [np.repeat(np.arange(hi - lo, dtype=np.int64), own_dist.shape[1])]
        dists = [own_dist[block].ravel()]
        here = own_row[block].ravel().astype(np.int64)
        nbrs = [ids[here]]
        sqs = [squared(x[block], x, own_row[block]).ravel()]
        for at, (n_c, sq_c) in asked:
            a, b = np.searchsorted(at, [lo, hi])
            rows.append(np.repeat(at[a:b] - lo, sq_c.shape[1]))
            dists.append(np.sqrt(sq_c[a:b]).ravel())
            nbrs.append(n_c[a:b].ravel())
            sqs.append(sq_c[a:b].ravel())
        row, dd, nn, sq = (np.concatenate(rows), np.concatenate(dists), np.concatenate(nbrs),
                           np.concatenate(sqs))
        # Each row's first k by (squared distance, index): natively, where a
        # sort of all the block's candidates took seconds per box.
        take = native.first_candidates(row, sq, nn.astype(np.int64, copy=False), hi - lo, k)
        if len(take) and take.min() < 0:
            raise AssertionError("a row found fewer than k candidates")
        dist[block] = dd[take].reshape(-1, k)
        # Own candidates come first: their rows here are their codes.
        mine = take < len(here)
        chosen = np.where(mine, here[np.where(mine, take, 0)], -1)
        flat = (block[:, None] * k + np.arange(k)).ravel()
        taken_at.append(flat[~mine])
        taken.append(nn[take[~mine]].astype(np.int64, copy=False))
        code[block] = chosen.reshape(-1, k)
    at, g = np.concatenate(taken_at), np.concatenate(taken)
    foreign = np.unique(g)
    if code.dtype == np.int32 and m + len(foreign) > np.iinfo(np.int32).max:
        code = code.astype(np.int64)
    code.reshape(-1)[at] = m + np.searchsorted(foreign, g)
    return ids, dist, code, foreign


def _compact(nbr: I64, n_points: int) -> np.ndarray:
    """Indices as 32-bit integers when all n_points fit."""
    return nbr.astype(np.int32) if n_points <= np.iinfo(np.int32).max else nbr
