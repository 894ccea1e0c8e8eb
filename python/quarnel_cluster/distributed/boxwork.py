"""Tasks of the clustering stages on one box: density peaks, the chains to
the centres, and the borders between clusters. Each box holds its distinct points in index order
(`ids`), their coordinates, densities and the leading columns of their
neighbour rows (`dist`; `code`: the neighbour's row here if >= 0, else
-1 - its position in `foreign`). Values at points of other boxes that a box
reads ("foreign" points: neighbours listed in its rows, sorted by index)
come as arrays aligned with `foreign`.

All functions take and return NumPy arrays and dicts of them.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from ..borders import highest_by_key, highest_saddles
from ..pipeline import F64, I64

# A neighbour counts as denser than a point only above this margin.
DENSITY_MARGIN = 1e-8
CENTRE_FACTOR = 0.999
NONE = -1          # a chain that ends at no centre
OPEN = -2          # a chain not yet followed to its end

Box = dict[str, Any]


# Rows of a box's table coded at once: the temporaries of a whole box's
# coding (several int64 arrays of its narrow table's size) set a worker's
# peak while the boxes' full tables are still held.
CODE_BLOCK_ROWS = 1 << 16


def make_box(points: tuple[I64, F64], table: tuple[I64, F64, I64], rho: F64, width: int,
             list_width: int) -> Box:
    ids, dist, nbr = table
    nbr = nbr[:, :list_width]
    blocks = range(0, len(ids), CODE_BLOCK_ROWS)
    foreign = np.unique(np.concatenate(
        [part[~find(ids, part)[0]] for part in (nbr[b:b + CODE_BLOCK_ROWS] for b in blocks)]
        or [np.empty(0, nbr.dtype)]))
    # 32-bit codes where both kinds fit (rows here, foreign points).
    small = max(len(ids), len(foreign)) < np.iinfo(np.int32).max
    code = np.empty(nbr.shape, np.int32 if small else np.int64)
    for b in blocks:
        part = nbr[b:b + CODE_BLOCK_ROWS]
        here, at = find(ids, part)
        code[b:b + CODE_BLOCK_ROWS] = np.where(here, at, -1 - np.searchsorted(foreign, part))
    return {"ids": ids, "x": points[1], "rho": rho,
            "dist": np.ascontiguousarray(dist[:, :width]), "code": code, "foreign": foreign}


def values(local: np.ndarray, foreign: np.ndarray, code: np.ndarray) -> np.ndarray:
    """Values at the points that `code` names."""
    here = code >= 0
    out = np.empty(code.shape, dtype=local.dtype)
    out[here] = local[code[here]]
    out[~here] = foreign[-1 - code[~here]]
    return out


def global_ids(box: Box, code: np.ndarray) -> np.ndarray:
    return values(box["ids"], box["foreign"], code)


def foreign_of(box: Box) -> I64:
    return box["foreign"]


def find(ids: I64, idx: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """For global indices idx: whether the sorted `ids` hold them, and where."""
    if len(ids) == 0:
        return np.zeros(idx.shape, bool), np.zeros(idx.shape, np.int64)
    at = np.minimum(np.searchsorted(ids, idx), len(ids) - 1)
    return ids[at] == idx, at


def owned(box: Box, wanted: I64) -> tuple[I64, I64]:
    """Of the ids `wanted`, those this box holds: (positions in wanted, rows
    here)."""
    here, at = find(box["ids"], wanted)
    return np.flatnonzero(here), at[here]


def values_at(values: np.ndarray, route: tuple[I64, I64]) -> tuple[I64, np.ndarray]:
    return route[0], values[route[1]]


def assemble(foreign: I64, dtype: Any, *parts: tuple[I64, np.ndarray]) -> np.ndarray:
    """Values at the foreign points, from the pieces their boxes sent."""
    out = np.zeros(len(foreign), dtype=dtype)
    for pos, vals in parts:
        out[pos] = vals
    return out


def column_of(box: Box, name: str) -> np.ndarray:
    return box[name]


def peaks(box: Box, f_rho: F64, width: int, diagonal: float) -> dict[str, np.ndarray]:
    """Nearest denser neighbour among the first `width` columns (the first
    qualifying column wins), its distance, and the centres: as the native
    peak search computes them."""
    rho = box["rho"]
    m = len(rho)
    delta = np.full(m, diagonal)
    nn_delta = np.full(m, -1, dtype=np.int64)
    parent = np.zeros(m, dtype=np.int64)     # code of nn_delta where it is >= 0
    if width >= 2 and m:
        nb = box["code"][:, 1:width]
        denser = values(rho, f_rho, nb) > (rho + DENSITY_MARGIN)[:, None]
        has = denser.any(axis=1)
        col = np.argmax(denser, axis=1)
        rows = np.flatnonzero(has)
        delta[rows] = box["dist"][rows, 1 + col[rows]]
        parent[rows] = nb[rows, col[rows]]
        nn_delta[rows] = global_ids(box, parent[rows])
    centre = delta > CENTRE_FACTOR * diagonal
    return {"delta": delta, "nn_delta": nn_delta, "parent": parent, "centre": centre}


def chain_start(box: Box, pk: dict[str, np.ndarray]) -> dict[str, I64]:
    """Per point, the first centre on its chain of nearest denser neighbours
    (itself included) as far as this box can follow it: `first` is a
    centre's index, NONE, or OPEN where the chain leaves the box, and then
    `exit` the point of another box it leaves for."""
    ids = box["ids"]
    m = len(ids)
    code = pk["parent"]
    first = np.full(m, OPEN, dtype=np.int64)
    first[pk["centre"]] = ids[pk["centre"]]
    todo = ~pk["centre"]
    first[todo & (pk["nn_delta"] < 0)] = NONE
    follow = todo & (pk["nn_delta"] >= 0)
    local = follow & (code >= 0)
    leave = np.full(m, -1, dtype=np.int64)
    remote = follow & ~local
    leave[remote] = box["foreign"][-1 - code[remote]]
    ptr = np.where(local, code, np.arange(m))
    pending = local.copy()
    # Pointer jumping: every round halves the distance to a resolved row.
    while pending.any():
        nxt = ptr[ptr]
        resolved = pending & ~pending[ptr]
        first[resolved] = first[ptr[resolved]]
        leave[resolved] = leave[ptr[resolved]]
        pending &= ~resolved
        ptr = np.where(pending, nxt, ptr)
    return {"first": first, "exit": leave}


def exits_of(chain: dict[str, I64]) -> I64:
    """The points of other boxes where this box's open chains go on."""
    return np.unique(chain["exit"][chain["first"] == OPEN])


def chain_answers(box: Box, chain: dict[str, I64], wanted: I64) -> dict[str, I64]:
    """For the wanted points this box holds: their first centre, or where
    their chain goes on."""
    pos, rows = owned(box, wanted)
    return {"id": wanted[pos], "first": chain["first"][rows], "exit": chain["exit"][rows]}


def chain_end(chain: dict[str, I64], ends: tuple[I64, I64]) -> I64:
    """first, with every open chain closed from the ends of the exits
    (sorted exit points, their first centres)."""
    first = chain["first"].copy()
    open_ = first == OPEN
    first[open_] = ends[1][np.searchsorted(ends[0], chain["exit"][open_])]
    return first


def labels_from(first: I64, special: I64, up: I64) -> I64:
    """Labels of the points from their first centres: up[j] is the label of
    the points whose chain first meets special[j] (sorted ids)."""
    out = np.full(len(first), -1, dtype=np.int64)
    has = first >= 0
    out[has] = up[np.searchsorted(special, first[has])]
    return out


def borders(box: Box, labels: I64, f_labels: I64, f_rho: F64, width: int,
            n_clusters: int) -> dict[str, Any]:
    """This box's part of borders.borders and borders.border_density, each
    reduced to its highest value: per touching pair (a < b) the highest
    saddle seen here, per cluster its densest border point here."""
    nbr = box["code"][:, 1:max(1, min(width, box["code"].shape[1]))]
    rho = box["rho"]
    theirs = values(labels, f_labels, nbr)
    their_rho = values(rho, f_rho, nbr)
    mine = labels[:, None]
    cross = (mine != theirs) & (mine >= 0) & (theirs >= 0)
    here = np.broadcast_to(mine, nbr.shape)[cross]
    there = theirs[cross]
    low = np.minimum(np.broadcast_to(rho[:, None], nbr.shape)[cross], their_rho[cross])
    touching = highest_saddles([np.minimum(here, there) * n_clusters + np.maximum(here, there)],
                               [low], n_clusters)
    on_border = ((theirs != mine) & (theirs >= 0)).any(axis=1) & (labels >= 0)
    level_label, level = highest_by_key(labels[on_border], rho[on_border])
    return {"a": touching.a, "b": touching.b, "saddle": touching.saddle,
            "border_label": level_label, "border_rho": level}


def relabelled(labels: I64, new_label: I64) -> I64:
    return np.where(labels >= 0, new_label[np.maximum(labels, 0)], -1)


def with_halo(labels: I64, rho: F64, level: F64) -> I64:
    out = labels.copy()
    inside = labels >= 0
    out[inside & (rho < level[np.maximum(labels, 0)])] = -1
    return out


def sizes(labels: I64, n_clusters: int) -> I64:
    return np.bincount(labels[labels >= 0], minlength=n_clusters)


def rows_at(box: Box, pk: dict[str, np.ndarray], wanted: I64) -> dict[str, np.ndarray]:
    """Coordinates and densities of the wanted points held here."""
    pos, rows = owned(box, wanted)
    return {"id": wanted[pos], "x": box["x"][rows], "rho": box["rho"][rows]}


def centres_of(box: Box, pk: dict[str, np.ndarray]) -> I64:
    return box["ids"][pk["centre"]]


def centre_links(box: Box, pk: dict[str, np.ndarray], first: I64,
                 f_first: I64) -> dict[str, np.ndarray]:
    """For the centres of this box: their parent's first centre (NONE for a
    root), which is the next centre up their chain."""
    c = np.flatnonzero(pk["centre"])
    up = np.full(len(c), NONE, dtype=np.int64)
    has = pk["nn_delta"][c] >= 0
    up[has] = values(first, f_first, pk["parent"][c[has]])
    return {"id": box["ids"][c], "up": up}


def final(box: Box, pk: dict[str, np.ndarray], labels: I64,
          changed: tuple[I64, I64, F64]) -> dict[str, np.ndarray]:
    """Per point of the box: (ids, labels, rho, delta, nn_delta) with the
    changed centres' parent and distance."""
    delta, nn_delta = pk["delta"].copy(), pk["nn_delta"].copy()
    pos, rows = owned(box, changed[0])
    nn_delta[rows] = changed[1][pos]
    delta[rows] = changed[2][pos]
    return {"ids": box["ids"], "labels": labels, "rho": box["rho"], "delta": delta,
            "nn_delta": nn_delta}
