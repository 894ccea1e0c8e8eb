"""Where clusters meet: the saddle between every two clusters that touch.

Two clusters touch where a point of one has, among its first `width`
neighbours, a point of the other. The saddle of such a pair of points is the
lower of their two log-densities, and the saddle of two clusters the highest
over all their touching pairs: the level down to which one must go to walk
from one cluster's peak to the other's. (Every point of a cluster hangs from
its centre by a chain of ever denser neighbours, so inside a cluster the
walk never has to go below the point it starts from.)
"""

from __future__ import annotations

from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from .brute_force import available_cores

F64 = npt.NDArray[np.float64]
I64 = npt.NDArray[np.int64]

# Rows handled at once, so that the temporaries stay near 10^7 entries.
BLOCK_ENTRIES = 1 << 23


@dataclass(frozen=True)
class Borders:
    """Every pair of touching clusters a < b once, by ascending (a, b)."""
    a: I64
    b: I64
    saddle: F64



def borders(labels: I64, rho: F64, nn_list: I64, width: int) -> Borders:
    """The saddles between clusters labelled 0 .. n_clusters - 1 (labels < 0
    are left out), through the first `width` columns of the neighbour table."""
    n = len(labels)
    width = max(1, min(width, nn_list.shape[1]))
    n_clusters = int(labels.max()) + 1 if n else 0
    rows = max(1, BLOCK_ENTRIES // width)
    unlabelled = n > 0 and int(labels.min()) < 0
    # Saddles as ranks among the distinct densities when a pair's key and a
    # rank fit in one int64: one sort of plain integers then finds each
    # pair's highest saddle (an argsort of the keys and gathers by it take
    # several times longer).
    level, values = dense_ranks(rho)
    shift = (len(values) - 1).bit_length()
    packed = shift + (n_clusters * n_clusters - 1).bit_length() <= 63
    saddle_of = level if packed else rho
    # Gathers from 32-bit labels move half the bytes.
    labels = labels.astype(np.int32) if n < 2**31 else labels

    def crossings(start: int) -> tuple[I64, F64 | I64] | None:
        """(keys, saddles) of the crossing pairs of rows start..start+rows;
        packed into the keys when they fit."""
        part = slice(start, min(n, start + rows))
        nbr = nn_list[part, 1:width]
        mine = labels[part]
        # take: faster than labels[nbr] on a strided nbr; the indices are
        # rows of the table, so clipping (no bounds check) changes nothing.
        theirs = np.take(labels, nbr, mode="clip")
        cross = mine[:, None] != theirs
        if unlabelled:
            cross &= (mine[:, None] >= 0) & (theirs >= 0)
        row, column = np.nonzero(cross)
        if not len(row):
            return None
        here = mine[row].astype(np.int64)
        there = theirs[row, column]
        low = np.minimum(saddle_of[part][row], saddle_of[nbr[row, column]])
        key = np.minimum(here, there) * n_clusters + np.maximum(here, there)
        return ((key << shift) | low, low[:0]) if packed else (key, low)

    starts = range(0, n, rows)
    workers = min(len(starts), available_cores())
    if workers > 1:
        # NumPy lets go of the interpreter lock in these array operations,
        # so row blocks run side by side; map keeps them in row order.
        with ThreadPoolExecutor(workers) as pool:
            found = [f for f in pool.map(crossings, starts) if f is not None]
    else:
        found = [f for f in map(crossings, starts) if f is not None]
    keys = [f[0] for f in found]
    saddles = [f[1] for f in found]
    del found
    if not packed:
        return highest_saddles(keys, saddles, n_clusters)
    if not keys:
        return highest_saddles([], [], n_clusters)
    both = np.concatenate(keys)
    del keys
    both.sort()
    key = both >> shift
    last = np.append(np.flatnonzero(key[1:] != key[:-1]), len(key) - 1)
    key = key[last]
    return Borders(key // n_clusters, key % n_clusters, values[both[last] & ((1 << shift) - 1)])


def dense_ranks(values: F64) -> tuple[npt.NDArray[np.integer], F64]:
    """Per entry its rank among the distinct values (equal values share one),
    and those values ascending."""
    order = ascending_order(values)
    ordered = values[order]
    new = np.r_[True, ordered[1:] != ordered[:-1]] if len(values) else np.empty(0, bool)
    rank = np.empty(len(values), np.int32 if len(values) < 2**31 else np.int64)
    rank[order] = np.cumsum(new, dtype=rank.dtype) - 1
    return rank, ordered[new]


def highest_saddles(keys: list[I64], saddles: list[F64], n_clusters: int) -> Borders:
    """Borders from the touching pairs' keys (a * n_clusters + b, a < b) and
    saddles, in any order: the highest saddle of each key."""
    if not keys or not sum(len(k) for k in keys):
        empty = np.empty(0, np.int64)
        return Borders(empty, empty.copy(), np.empty(0))
    key, highest = highest_by_key(np.concatenate(keys), np.concatenate(saddles))
    return Borders(key // n_clusters, key % n_clusters, highest)


def highest_by_key(key: I64, value: F64) -> tuple[I64, F64]:
    """The distinct keys, ascending, and the highest value of each."""
    if not len(key):
        return key, value[:0]
    order = np.argsort(key)
    key = key[order]
    start = np.flatnonzero(np.r_[True, key[1:] != key[:-1]])
    return key[start], np.maximum.reduceat(value[order], start)


def border_density(labels: I64, rho: F64, nn_list: I64, width: int) -> F64:
    """Per cluster, the highest log-density among its border points (those
    with one of their first `width` neighbours in another cluster); -inf for
    a cluster that touches none."""
    n = len(labels)
    width = max(1, min(width, nn_list.shape[1]))
    level = np.full(int(labels.max()) + 1 if n else 0, -np.inf)
    rows = max(1, BLOCK_ENTRIES // width)
    for start in range(0, n, rows):
        part = slice(start, min(n, start + rows))
        mine = labels[part]
        theirs = labels[nn_list[part, 1:width]]
        on_border = ((theirs != mine[:, None]) & (theirs >= 0)).any(axis=1) & (mine >= 0)
        np.maximum.at(level, mine[on_border], rho[part][on_border])
    return level


def ascending_order(values: F64) -> I64:
    """An order that sorts float64 values ascending (NaN-free; any order
    among equal values), as np.argsort's but several times faster on
    millions of values: one sort of plain integers, each value's bits mapped
    so that unsigned order is numeric order, their leading bits kept and the
    rest given to the row number. Values that share those leading bits can
    come out of order among themselves; only those runs are sorted again."""
    n = len(values)
    row_bits = max(1, (n - 1).bit_length())
    if n < 2 or row_bits > 40 or np.isnan(values).any():
        return np.argsort(values)
    bits = values.view(np.uint64)
    negative = (bits >> np.uint64(63)).astype(bool)
    monotone = np.where(negative, ~bits, bits | np.uint64(1 << 63))
    del negative
    row_mask = np.uint64((1 << row_bits) - 1)
    monotone &= ~row_mask
    monotone |= np.arange(n, dtype=np.uint64)
    monotone.sort()
    order = (monotone & row_mask).astype(np.int64)
    lead = monotone >> np.uint64(row_bits)
    del monotone
    ordered = values[order]
    # Runs of equal leading bits with a value out of order: sorted again.
    broken = np.flatnonzero(ordered[1:] < ordered[:-1])
    if len(broken):
        bad_lead = np.unique(lead[broken])
        edge = np.zeros(n + 1, np.int64)       # lead is sorted: each run is a slice
        np.add.at(edge, np.searchsorted(lead, bad_lead, "left"), 1)
        np.add.at(edge, np.searchsorted(lead, bad_lead, "right"), -1)
        rows = np.flatnonzero(np.cumsum(edge[:-1]) > 0)
        order[rows] = order[rows][np.lexsort((ordered[rows], lead[rows]))]
    return order
