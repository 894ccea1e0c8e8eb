"""Tasks of the clustering stages on one box: density peaks, the chains to
the centres, the neighbourhood floods of the merging checks, and the
borders between clusters. Each box holds its distinct points in index order
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

from ..pipeline import F64, I64

# A neighbour counts as denser than a point only above this margin.
DENSITY_MARGIN = 1e-8
CENTRE_FACTOR = 0.999
NONE = -1          # a chain that ends at no centre
OPEN = -2          # a chain not yet followed to its end

Box = dict[str, Any]


def make_box(points: tuple[I64, F64], table: tuple[I64, F64, I64], rho: F64, width: int,
             list_width: int) -> Box:
    ids, dist, nbr = table
    nbr = nbr[:, :list_width]
    here, at = find(ids, nbr)
    foreign = np.unique(nbr[~here])
    code = np.where(here, at, -1 - np.searchsorted(foreign, nbr))
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


def chain_start(box: Box, pk: dict[str, np.ndarray]) -> I64:
    """Per point, the first centre on its chain of nearest denser neighbours
    (itself included) as far as this box can follow it: a centre's index,
    NONE, or OPEN where the chain leaves the box unresolved."""
    return chain_step(box, pk, None)


def chain_step(box: Box, pk: dict[str, np.ndarray], f_first: I64 | None) -> I64:
    """chain_start, with the foreign points' current answers f_first (None:
    all unknown)."""
    ids = box["ids"]
    m = len(ids)
    code = pk["parent"]
    first = np.full(m, OPEN, dtype=np.int64)
    first[pk["centre"]] = ids[pk["centre"]]
    todo = ~pk["centre"]
    first[todo & (pk["nn_delta"] < 0)] = NONE
    # Parents in this box point at rows; parents elsewhere take their answer.
    follow = todo & (pk["nn_delta"] >= 0)
    local = follow & (code >= 0)
    remote = follow & ~local
    if f_first is not None and remote.any():
        first[remote] = f_first[-1 - code[remote]]
    ptr = np.where(local, code, np.arange(m))
    pending = local.copy()
    # Pointer jumping: every round halves the distance to a resolved row.
    while pending.any():
        nxt = ptr[ptr]
        resolved = pending & ~pending[ptr]
        first[resolved] = first[ptr[resolved]]
        pending &= ~resolved
        ptr = np.where(pending, nxt, ptr)
    return first


def labels_from(first: I64, special: I64, up: I64) -> I64:
    """Labels of the points from their first centres: up[j] is the label of
    the points whose chain first meets special[j] (sorted ids)."""
    out = np.full(len(first), -1, dtype=np.int64)
    has = first >= 0
    out[has] = up[np.searchsorted(special, first[has])]
    return out


def flood(box: Box, labels: I64, f_labels: I64, f_rho: F64, state: dict[str, Any] | None,
          starts: dict[str, np.ndarray], inbox: list[dict[str, np.ndarray]],
          meta: dict[str, np.ndarray], s: int, plain: bool) -> dict[str, Any]:
    """One round of all floods in this box.

    A flood f starts at its centre with level eta[f] and label L[f]: its
    first ring (the centre's first s neighbours) is expanded whatever their
    density; after that a point is admitted when denser than eta[f], and an
    admitted point of label L[f] is expanded in turn (its first s
    neighbours). Only points of the flood's label are ever expanded, so a
    flood spreads within its cluster: each point records the floods that
    admitted it as bits (bit[f]: the flood's rank among the floods of its
    label). Admitted points of another box go out as messages. What the
    check reads is the labels of the admitted points: `own[f]` whether a
    point of the flood's own label was admitted, `met` the (flood, label)
    pairs of other labels.
    """
    ids, code, rho, foreign = box["ids"], box["code"], box["rho"], box["foreign"]
    m = len(ids)
    eta, lab, bit = meta["eta"], meta["label"], meta["bit"]
    if state is None:
        state = {"words": np.zeros(m, dtype=np.uint64), "met": np.empty((0, 2), np.int64),
                 "own": np.zeros(len(eta), bool)}
    words = state["words"].copy()
    own = state["own"].copy()
    met = [state["met"]]
    claim = np.empty(m, dtype=np.int64)
    out_f: list[I64] = []
    out_q: list[I64] = []
    out_ring: list[np.ndarray] = []

    def fresh(f: I64, r: I64) -> tuple[I64, I64]:
        """The (flood, row) pairs not yet admitted, each once; marks them."""
        if not len(f):
            return f, r
        # One entry per row wins the claim; the rare losers of another flood
        # than the winner's are sorted out exactly.
        order = np.arange(len(r))
        claim[r] = order
        win = claim[r] == order
        other = ~win & (f != f[claim[r]])
        keep = win
        if other.any():
            key = np.unique(f[other] * m + r[other])
            f = np.concatenate([f[keep], key // m])
            r = np.concatenate([r[keep], key % m])
            key = np.unique(f * m + r)
            f, r = key // m, key % m
        else:
            f, r = f[keep], r[keep]
        new = (words[r] & bit[f]) == 0
        f, r = f[new], r[new]
        np.bitwise_or.at(words, r, bit[f])
        return f, r

    def admit(f: I64, q: I64, ring: np.ndarray) -> tuple[I64, I64]:
        """Offers the points with codes q to floods f (ring: first-ring
        offers): records labels met, sends away other boxes' points, returns
        the new (flood, row) pairs to expand here."""
        here = q >= 0
        away = ~here
        at = np.where(here, q, 0)
        q_rho = values(rho, f_rho, q)
        q_lab = values(labels, f_labels, q)
        dense = q_rho > eta[f]
        same = q_lab == lab[f]
        own[f[dense & same]] = True
        other = dense & ~same
        if other.any():
            met.append(np.column_stack([f[other], q_lab[other]]))
        # Points of the flood's label elsewhere: their box goes on.
        send = away & same & (dense | ring)
        out_f.append(f[send])
        out_q.append(foreign[-1 - q[send]])
        out_ring.append(ring[send] & ~dense[send])
        # Here: a dense point is new to the flood unless its bit is set;
        # a first-ring point below the level is expanded once, never admitted.
        go = here & same
        new_f, new_r = fresh(f[go & dense], at[go & dense])
        low = go & ~dense & ring
        return np.concatenate([new_f, f[low]]), np.concatenate([new_r, at[low]])

    exp_f = [np.empty(0, np.int64)]
    exp_r = [np.empty(0, np.int64)]
    sf, sr = starts["flood"], starts["row"]
    if len(sf):
        if plain:
            # A threshold below the floor: the plain neighbours, no flood.
            q = code[sr, 1:s].ravel()
            f = np.repeat(sf, max(s - 1, 0))
            met.append(np.column_stack([f, values(labels, f_labels, q)]))
        else:
            q = code[sr, :s].ravel()
            f = np.repeat(sf, s)
            a, b = admit(f, q, np.ones(len(q), bool))
            exp_f.append(a)
            exp_r.append(b)
    for msg in inbox:
        if len(msg["flood"]):
            f, r, ring = msg["flood"], msg["row"], msg["ring"]
            # Dense offers are admitted here; first-ring points below the
            # level are only expanded.
            dense = rho[r] > eta[f]
            df, dr = fresh(f[dense], r[dense])
            low = ring & ~dense
            exp_f.append(np.concatenate([df, f[low]]))
            exp_r.append(np.concatenate([dr, r[low]]))
    frontier_f = np.concatenate(exp_f)
    frontier_r = np.concatenate(exp_r)
    while len(frontier_f):
        q = code[frontier_r, :s].ravel()
        f = np.repeat(frontier_f, s)
        frontier_f, frontier_r = admit(f, q, np.zeros(len(q), bool))
    met_all = np.concatenate(met)
    met_all = met_all[met_all[:, 1] >= 0]
    if len(met_all) > 1:
        met_all = np.unique(met_all, axis=0)
    of = np.concatenate(out_f) if out_f else np.empty(0, np.int64)
    oq = np.concatenate(out_q) if out_q else np.empty(0, np.int64)
    oring = np.concatenate(out_ring) if out_ring else np.empty(0, bool)
    return {"words": words, "met": met_all, "own": own, "out_flood": of, "out_point": oq,
            "out_ring": oring}


def outbox_for(state: dict[str, Any], other: Box) -> dict[str, np.ndarray]:
    """The messages of a flood round addressed to the box `other`: rows there."""
    q = state["out_point"]
    pos, rows = owned(other, q) if len(q) else (np.empty(0, np.int64), np.empty(0, np.int64))
    return {"flood": state["out_flood"][pos], "row": rows, "ring": state["out_ring"][pos]}


def outbox_size(state: dict[str, Any]) -> int:
    return len(state["out_point"])


def met_of(state: dict[str, Any], labels_of_floods: I64) -> np.ndarray:
    """(flood, label) pairs met, the floods' own labels included."""
    f = np.flatnonzero(state["own"])
    mine = np.column_stack([f, labels_of_floods[f]])
    return np.concatenate([state["met"], mine])


def borders(box: Box, labels: I64, f_labels: I64, f_rho: F64, width: int) -> dict[str, Any]:
    """This box's part of borders.borders and borders.border_density: the
    touching pairs' keys with their saddles, and the densest border point of
    each cluster."""
    nbr = box["code"][:, 1:max(1, min(width, box["code"].shape[1]))]
    rho = box["rho"]
    theirs = values(labels, f_labels, nbr)
    their_rho = values(rho, f_rho, nbr)
    mine = labels[:, None]
    cross = (mine != theirs) & (mine >= 0) & (theirs >= 0)
    here = np.broadcast_to(mine, nbr.shape)[cross]
    there = theirs[cross]
    low = np.minimum(np.broadcast_to(rho[:, None], nbr.shape)[cross], their_rho[cross])
    on_border = ((theirs != mine) & (theirs >= 0)).any(axis=1) & (labels >= 0)
    return {"lo": np.minimum(here, there), "hi": np.maximum(here, there), "saddle": low,
            "border_label": labels[on_border], "border_rho": rho[on_border]}


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


def start_rows(box: Box, centres: I64) -> dict[str, np.ndarray]:
    """The floods (positions in `centres`) that start in this box, and their
    rows."""
    pos, rows = owned(box, centres)
    return {"flood": pos.astype(np.int64), "row": rows.astype(np.int64)}


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
