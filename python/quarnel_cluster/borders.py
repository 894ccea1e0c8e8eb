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
    keys, saddles = [], []
    for start in range(0, n, rows):
        part = slice(start, min(n, start + rows))
        nbr = nn_list[part, 1:width]
        mine = labels[part, None]
        theirs = labels[nbr]
        cross = (mine != theirs) & (mine >= 0) & (theirs >= 0)
        if not cross.any():
            continue
        here = np.broadcast_to(mine, nbr.shape)[cross]
        there = theirs[cross]
        low = np.minimum(np.broadcast_to(rho[part, None], nbr.shape)[cross], rho[nbr[cross]])
        keys.append(np.minimum(here, there) * n_clusters + np.maximum(here, there))
        saddles.append(low)
    if not keys:
        empty = np.empty(0, np.int64)
        return Borders(empty, empty.copy(), np.empty(0))
    key = np.concatenate(keys)
    saddle = np.concatenate(saddles)
    # Sorted by key alone (one sort key: on all the peaks of a large set
    # there are millions of crossing pairs), then the highest saddle per key.
    order = np.argsort(key, kind="stable")
    key, saddle = key[order], saddle[order]
    first = np.flatnonzero(np.r_[True, key[1:] != key[:-1]])
    key = key[first]
    return Borders(key // n_clusters, key % n_clusters, np.maximum.reduceat(saddle, first))


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
