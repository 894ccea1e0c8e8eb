"""Tasks of the clustering stages on one box: density peaks, the chains to
the centres, and the borders between clusters. Each box holds its distinct
points in index order (`ids`), their coordinates, densities and the leading
columns of their neighbour rows (`dist`; `code`: the neighbour's row here if
below the box's size m, else m + its position in `foreign`). Values at
points of other boxes that a box reads ("foreign" points: neighbours listed
in its rows, sorted by index) come as arrays aligned with `foreign`, so that
the box's values followed by the foreign ones are indexed by `code` (which
is how the native helpers of the single machine read them).

All functions take and return NumPy arrays and dicts of them.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from .. import _native as native
from ..borders import highest_by_key
from ..controls import sizes
from ..records import F64, I64

CENTRE_FACTOR = 0.999
NONE = -1          # a chain that ends at no centre
OPEN = -2          # a chain not yet followed to its end

Box = dict[str, Any]


# Rows of a box read at once where the whole box would need large
# temporaries (the neighbours' labels: eight bytes an entry).
CODE_BLOCK_ROWS = 1 << 16


def make_box(points: tuple[I64, F64], table: tuple[I64, F64, np.ndarray, I64], rho: F64,
             f_rho: F64, width: int, list_width: int, diagonal: float) -> Box:
    """A box of the clustering stages from its points, table (already in
    codes: knn.merged), densities and its foreign points' densities, with
    its peaks (see peaks)."""
    ids, dist, code, foreign = table
    # The codes cut to the columns the stages read, as a contiguous copy, so
    # that the rest of the table goes (read in place, strided over all k
    # columns, every row of the box's chains and saddles would touch a new
    # cache line). The distances are read once, by the peaks, in place: a
    # copy of their leading columns would cost a pass of its own.
    box = {"ids": ids, "x": points[1], "rho": rho,
           "code": np.ascontiguousarray(code[:, :list_width]), "foreign": foreign}
    box.update(peaks(box, dist, f_rho, width, diagonal))
    return box


def keys_of(table: tuple[I64, F64, np.ndarray, I64]) -> Box:
    """A box's indices and foreign points, what the routes to foreign values
    are found from, before the box is made."""
    return {"ids": table[0], "foreign": table[3]}


def aligned(a: np.ndarray) -> np.ndarray:
    """a as the native helpers take it: arrays rebuilt from the bytes sent
    between workers may be unaligned (a copy then)."""
    return np.require(a, None, ["A"])


def values(local: np.ndarray, foreign: np.ndarray, code: np.ndarray) -> np.ndarray:
    """Values at the points that `code` names."""
    return np.concatenate((local, foreign))[code]


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


def peaks(box: Box, dist: F64, f_rho: F64, width: int, diagonal: float) -> dict[str, np.ndarray]:
    """Nearest denser neighbour among the first `width` columns (the first
    qualifying column wins), its distance, and the centres: the native peak
    search of the single machine, on the box's rows (dist: the box's
    distances, at least `width` columns)."""
    rho = box["rho"]
    m = len(rho)
    w = max(1, min(width, box["code"].shape[1]))
    delta, parent, _ = native.nearest_denser_rows(
        np.concatenate((rho, f_rho)), aligned(box["code"])[:, :w], aligned(dist)[:, :w],
        diagonal)
    has = parent >= 0
    nn_delta = np.full(m, -1, dtype=np.int64)
    nn_delta[has] = global_ids(box, parent[has])
    parent[~has] = 0
    centre = delta > CENTRE_FACTOR * diagonal
    return {"delta": delta, "nn_delta": nn_delta, "parent": parent, "centre": centre}


def chain_start(box: Box) -> dict[str, I64]:
    """Per point, the first centre on its chain of nearest denser neighbours
    (itself included) as far as this box can follow it: `first` is a
    centre's index, NONE, or OPEN where the chain leaves the box, and then
    `exit` the point of another box it leaves for."""
    ids = box["ids"]
    m = len(ids)
    code = box["parent"]
    first = np.full(m, OPEN, dtype=np.int64)
    first[box["centre"]] = ids[box["centre"]]
    todo = ~box["centre"]
    first[todo & (box["nn_delta"] < 0)] = NONE
    follow = todo & (box["nn_delta"] >= 0)
    local = follow & (code < m)
    leave = np.full(m, -1, dtype=np.int64)
    remote = follow & ~local
    leave[remote] = box["foreign"][code[remote] - m]
    # The chains inside the box, cut at the rows where they stop here: each
    # row takes the values of its chain's last row here, the only one of the
    # cut rows among its ancestors-or-self, which the native labelling of
    # the single machine names (NumPy would need log rounds of pointer
    # jumping over the whole box).
    up = np.where(local, code, -1).astype(np.int64)
    ends = np.flatnonzero(~local)
    last = ends[native.forest_labels(ends, up)]
    return {"first": first[last], "exit": leave[last]}


def exits_of(chain: dict[str, I64]) -> I64:
    """The points of other boxes where this box's open chains go on."""
    return np.unique(chain["exit"][chain["first"] == OPEN])


def all_exits(*exits: I64) -> I64:
    """Every box's exits, sorted."""
    return np.unique(np.concatenate(exits))


def chain_ends(exits: I64, *answers: dict[str, I64]) -> tuple[I64, I64]:
    """Where the chains leaving boxes end: (exit points, their first
    centres), followed from box to box through the boxes' answers about the
    exits they hold (chain_answers). Only these few points travel: the
    walk runs on a worker, in the graph of the chains, with no trip to the
    client."""
    if not len(exits):
        return exits, exits.copy()
    ids = np.concatenate([a["id"] for a in answers])
    first = np.concatenate([a["first"] for a in answers])
    leave = np.concatenate([a["exit"] for a in answers])
    step = dict(zip(ids.tolist(), zip(first.tolist(), leave.tolist())))
    end: dict[int, int] = {}
    for e in exits.tolist():
        path = []
        while e not in end:
            f, nxt = step[e]
            if f != OPEN:
                end[e] = f
                break
            path.append(e)
            e = nxt
        for p in path:
            end[p] = end[e]
    return exits, np.array([end[e] for e in exits.tolist()], dtype=np.int64)


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


def centre_links(*rows: dict[str, np.ndarray]) -> tuple[I64, I64]:
    """The initial centres ("specials", sorted ids) and each one's label: the
    largest position of a special up its chain of specials (itself
    included), the single machine's forest labelling on the specials'
    links; from the boxes' centre_rows."""
    ids = np.concatenate([r["id"] for r in rows])
    order = np.argsort(ids)
    specials = ids[order]
    up_id = np.concatenate([r["up"] for r in rows])[order]
    parent = np.full(len(specials), -1, dtype=np.int64)
    has = up_id >= 0
    parent[has] = np.searchsorted(specials, up_id[has])
    up = native.forest_labels(np.arange(len(specials), dtype=np.int64), parent)
    return specials, up


def link_count(links: tuple[I64, I64]) -> int:
    """The clusters' count to size per-cluster arrays with (one at least)."""
    return max(len(links[0]), 1)


def labels_from(first: I64, links: tuple[I64, I64]) -> I64:
    """Labels of the points from their first centres: up[j] is the label of
    the points whose chain first meets special[j] (links: sorted ids of
    the specials, up)."""
    special, up = links
    out = np.full(len(first), -1, dtype=np.int64)
    has = first >= 0
    out[has] = up[np.searchsorted(special, first[has])]
    return out


def borders(box: Box, labels: I64, f_labels: I64, f_rho: F64, width: int,
            n_clusters: int, levels: bool = True, with_sizes: bool = False) -> dict[str, Any]:
    """This box's part of borders.borders and borders.border_density, each
    reduced to its highest value: per touching pair (a < b) the highest
    saddle seen here (the native search of the single machine, on the
    box's rows), per cluster its densest border point here (with `levels`),
    and the clusters' sizes here (with `with_sizes`)."""
    w = max(1, min(width, box["code"].shape[1]))
    nbr = aligned(box["code"])[:, :w]
    rho = box["rho"]
    all_labels = np.concatenate((labels, f_labels)).astype(np.int64, copy=False)
    a, b, saddle = native.highest_saddles_rows(all_labels, np.concatenate((rho, f_rho)), nbr, w)
    out = {"a": a, "b": b, "saddle": saddle}
    if with_sizes:
        out["sizes"] = sizes(labels, n_clusters)
    if levels:
        level_label, level = border_levels(labels, rho, all_labels, nbr)
        out.update(border_label=level_label, border_rho=level)
    return out


def border_levels(labels: I64, rho: F64, all_labels: I64, nbr: np.ndarray) -> tuple[I64, F64]:
    """Per cluster with border points here, its densest one's density; a
    block of rows at a time (the neighbours' labels of a whole box take
    eight bytes an entry)."""
    keys, levels = [], []
    for lo in range(0, len(labels), CODE_BLOCK_ROWS):
        hi = lo + CODE_BLOCK_ROWS
        mine = labels[lo:hi]
        theirs = all_labels[nbr[lo:hi, 1:]]
        on_border = ((theirs != mine[:, None]) & (theirs >= 0)).any(axis=1) & (mine >= 0)
        key, level = highest_by_key(mine[on_border], rho[lo:hi][on_border])
        keys.append(key)
        levels.append(level)
    if not keys:
        return np.empty(0, np.int64), np.empty(0)
    return highest_by_key(np.concatenate(keys), np.concatenate(levels))


def relabelled(labels: I64, new_label: I64) -> I64:
    """Labels mapped by new_label; -1 (none yet) stays."""
    return np.where(labels >= 0, new_label[np.maximum(labels, 0)], -1)


def centre_rows(box: Box, first: I64, f_first: I64) -> dict[str, np.ndarray]:
    """The centres of this box: coordinates, densities, and their parent's
    first centre (NONE for a root), which is the next centre up their
    chain; and their own delta and nearest denser point, which relabel
    restores where the fit's joins changed them."""
    c = np.flatnonzero(box["centre"])
    up = np.full(len(c), NONE, dtype=np.int64)
    has = box["nn_delta"][c] >= 0
    up[has] = values(first, f_first, box["parent"][c[has]])
    return {"id": box["ids"][c], "x": box["x"][c], "rho": box["rho"][c], "up": up,
            "delta": box["delta"][c], "nn_delta": box["nn_delta"][c]}


def final(box: Box, labels: I64, changed: tuple[I64, I64, F64]) -> dict[str, np.ndarray]:
    """Per point of the box: (ids, labels, rho, delta, nn_delta) with the
    changed centres' parent and distance."""
    delta, nn_delta = box["delta"].copy(), box["nn_delta"].copy()
    pos, rows = owned(box, changed[0])
    nn_delta[rows] = changed[1][pos]
    delta[rows] = changed[2][pos]
    out = {"ids": box["ids"], "labels": labels, "rho": box["rho"], "delta": delta,
           "nn_delta": nn_delta}
    if "initial" in box:
        out["initial"] = box["initial"]
    return out


def with_initial(box: Box, labels: I64) -> Box:
    """The box with its points' labels before any join (`initial`), which
    the fit's results keep so that relabel can map them again: 32-bit
    where they fit, as every point keeps one."""
    small = len(labels) == 0 or int(labels.max()) < np.iinfo(np.int32).max
    return {**box, "initial": labels.astype(np.int32) if small else labels}
