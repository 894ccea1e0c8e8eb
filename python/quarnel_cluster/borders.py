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

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from . import _native as native
from .neighbours import Indices

F64 = npt.NDArray[np.float64]
I64 = npt.NDArray[np.int64]

# Rows of border_density handled at once, so that the temporaries stay near
# 10^7 entries.
BLOCK_ENTRIES = 1 << 23


@dataclass(frozen=True)
class Borders:
    """Every pair of touching clusters a < b once, by ascending (a, b)."""
    a: I64
    b: I64
    saddle: F64


def borders(labels: I64, rho: F64, nn_list: Indices, width: int) -> Borders:
    """The saddles between clusters labelled 0 .. n_clusters - 1 (labels < 0
    are left out), through the first `width` columns of the neighbour table."""
    a, b, saddle = native.highest_saddles(np.ascontiguousarray(labels, np.int64),
                                          np.ascontiguousarray(rho, np.float64),
                                          nn_list, max(1, int(width)))
    return Borders(a, b, saddle)


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


def border_density(labels: I64, rho: F64, nn_list: Indices, width: int) -> F64:
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
