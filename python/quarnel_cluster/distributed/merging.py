"""The clustering stages over the boxes: what the single machine does in one
process (clustering.py: peaks, the merging checks, the user's controls),
done by the boxes' workers, with only centres and clusters on the client.

    foreign values  a box reads densities and labels of the neighbours its
                    rows list in other boxes; each box asks the boxes its
                    rows asked during the search which of those they hold
                    (`routes`, once) and fetches values along the routes
    peaks           per row, from the row's first columns and the foreign
                    densities; the diagonal is one reduction
    chains          each point's first centre up its chain of denser
                    neighbours: pointer jumping inside a box, then rounds in
                    which boxes read the foreign points' answers, until no
                    chain is open (as many rounds as a chain crosses walls)
    labels          a point's label is the last centre, in centre order,
                    that reaches it through the density graph; above a
                    point's first centre the graph holds only centres and
                    the links the checks added, so the client computes each
                    centre's label and the boxes map their points
    checks          every centre floods its neighbourhood; all floods of a
                    check run together, box by box, in rounds that pass the
                    floods across walls; the client gets the labels each
                    flood met and removes centres in order, as the single
                    machine does
    controls        per-box borders (pairs of touching clusters and their
                    saddles) and cluster sizes; the joins are taken on the
                    client on centres only (controls.py), and the boxes map
                    their labels
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
from dask import delayed
from distributed import wait

from .. import controls
from ..borders import Borders
from . import boxwork as bw

# A flood of a centre records itself on the points it reaches as one bit of
# a 64-bit word per point, one bit per centre of the point's cluster.
MAX_FLOODS_PER_LABEL = 64
THRESHOLD_FLOOR = 0.001
import os, time
TRACE = bool(os.environ.get('QUARNEL_TRACE'))
T0 = time.time()


class TooManyFloods(Exception):
    """More centres share one label than a point's word has bits."""


class Sparse:
    """Values at a few points by global index, read like the full array."""

    def __init__(self, ids: np.ndarray, values: np.ndarray) -> None:
        order = np.argsort(ids)
        self.ids, self.values = ids[order], values[order]

    def __getitem__(self, key: Any) -> Any:
        return self.values[np.searchsorted(self.ids, np.asarray(key))]


def _gather(client: Any, things: Any) -> Any:
    return client.gather(client.compute(things))


def persist(client: Any, things: list[Any]) -> list[Any]:
    """client.persist of a list, which may be empty."""
    return client.persist(things) if things else []


@dataclass
class Merged:
    parts: list[Any]          # per box, persisted dict of final per-point arrays
    centers: np.ndarray       # distinct-point indices


class Boxes:
    """The persisted boxes with their routes to foreign values."""

    def __init__(self, client: Any, boxes: list[Any], asks: list[dict[int, int]]) -> None:
        self.client = client
        self.boxes = boxes
        self.B = len(boxes)
        self.foreign = persist(client, [delayed(bw.foreign_of)(b) for b in boxes])
        # Box b's foreign points lie in the boxes b's rows asked.
        self.sources = [sorted(asks[b]) for b in range(self.B)]
        flat = persist(client, [delayed(bw.owned)(boxes[c], self.foreign[b])
                               for b in range(self.B) for c in self.sources[b]])
        self.routes = []
        for b in range(self.B):
            self.routes.append(flat[:len(self.sources[b])])
            flat = flat[len(self.sources[b]):]

    def fetch(self, values: list[Any], dtype: Any) -> list[Any]:
        """Per box, the foreign points' values from the per-box arrays."""
        return persist(self.client, [
            delayed(bw.assemble)(self.foreign[b], dtype,
                                 *[delayed(bw.values_at)(values[c], r)
                                   for c, r in zip(self.sources[b], self.routes[b])])
            for b in range(self.B)])


def _open_chains(client: Any, first: list[Any]) -> int:
    return int(sum(_gather(client, [delayed(np.count_nonzero)(delayed(np.equal)(f, bw.OPEN))
                                    for f in first])))


def run(client: Any, persisted_boxes: list[Any], asks: list[dict[int, int]], width: int,
        diagonal: float, threshold: float, search_size: int, list_width: int,
        min_size: int, n_clusters: int | None, noise: bool) -> Merged:
    bx = Boxes(client, persisted_boxes, asks)
    boxes = bx.boxes
    rho = persist(client, [delayed(bw.column_of)(b, "rho") for b in boxes])
    f_rho = bx.fetch(rho, np.float64)
    pk = persist(client, [delayed(bw.peaks)(b, fr, width, diagonal)
                         for b, fr in zip(boxes, f_rho)])

    first = persist(client, [delayed(bw.chain_start)(b, p) for b, p in zip(boxes, pk)])
    while _open_chains(client, first):
        if TRACE:
            print("chain round", time.time() - T0, flush=True)
        f_first = bx.fetch(first, np.int64)
        first = persist(client, [delayed(bw.chain_step)(b, p, ff)
                                for b, p, ff in zip(boxes, pk, f_first)])
    f_first = bx.fetch(first, np.int64)

    # The initial centres ("specials"): their rows, and the next centre up.
    specials = np.sort(np.concatenate(_gather(client, [delayed(bw.centres_of)(b, p)
                                                       for b, p in zip(boxes, pk)])))
    rows = _gather(client, [delayed(bw.rows_at)(b, p, specials) for b, p in zip(boxes, pk)])
    links = _gather(client, [delayed(bw.centre_links)(b, p, f, ff)
                             for b, p, f, ff in zip(boxes, pk, first, f_first)])
    s_x = Sparse(np.concatenate([r["id"] for r in rows]), np.concatenate([r["x"] for r in rows]))
    s_rho = Sparse(np.concatenate([r["id"] for r in rows]),
                   np.concatenate([r["rho"] for r in rows]))
    up_of = dict(zip(np.concatenate([ln["id"] for ln in links]).tolist(),
                     np.concatenate([ln["up"] for ln in links]).tolist()))
    rho_spec = s_rho[specials]
    # Denser first: every link goes from a denser centre to a less dense one.
    by_height = [int(c) for c in specials[np.argsort(-rho_spec, kind="stable")]]
    extra: dict[int, list[int]] = {}
    changed: dict[int, tuple[int, float]] = {}

    def labels_of(centres: list[int]) -> tuple[list[Any], np.ndarray]:
        pos = {c: i for i, c in enumerate(centres)}
        label: dict[int, int] = {}
        for c in by_height:
            best = pos.get(c, -1)
            above = up_of[c]
            if above >= 0:
                best = max(best, label[above])
            for t in extra.get(c, ()):
                best = max(best, label[t])
            label[c] = best
        up = np.array([label[int(c)] for c in specials], dtype=np.int64)
        return persist(client, [delayed(bw.labels_from)(f, specials, up) for f in first]), up

    centres = [int(c) for c in specials]
    s = min(search_size, list_width)
    labels, up = labels_of(centres)
    if n_clusters is None:
        while True:
            removed = _check(client, bx, labels, f_rho, centres, up, specials, s_rho, s_x,
                             threshold, s, extra, changed)
            if not removed:
                break
            centres = [c for c in centres if c not in removed]
            labels, up = labels_of(centres)

    centres_arr = np.array(centres, dtype=np.int64)
    labels = _controls(client, bx, labels, f_rho, rho, centres_arr, s_rho, s_x, s, min_size,
                       n_clusters, noise, changed)
    final_centres = labels[1]
    labels = labels[0]
    ch = (np.array(list(changed), dtype=np.int64),
          np.array([v[0] for v in changed.values()], dtype=np.int64),
          np.array([v[1] for v in changed.values()], dtype=np.float64))
    parts = persist(client, [delayed(bw.final)(b, p, lab, ch)
                            for b, p, lab in zip(boxes, pk, labels)])
    return Merged(parts, final_centres)


def _check(client: Any, bx: Boxes, labels: list[Any], f_rho: list[Any], centres: list[int],
           up: np.ndarray, specials: np.ndarray, s_rho: Sparse, s_x: Sparse,
           threshold: float, s: int, extra: dict[int, list[int]],
           changed: dict[int, tuple[int, float]]) -> set[int]:
    """One merging check over all centres; returns the removed ones and
    records their new parents."""
    if not centres:
        return set()
    boxes = bx.boxes
    f_labels = bx.fetch(labels, np.int64)
    c_arr = np.array(centres, dtype=np.int64)
    c_label = up[np.searchsorted(specials, c_arr)]
    eta = s_rho[c_arr] - threshold
    rank = np.zeros(len(c_arr), dtype=np.int64)
    seen: dict[int, int] = {}
    for i, lab in enumerate(c_label.tolist()):
        rank[i] = seen.get(lab, 0)
        seen[lab] = rank[i] + 1
    if len(rank) and rank.max() >= MAX_FLOODS_PER_LABEL:
        raise TooManyFloods()
    meta = {"eta": eta, "label": c_label,
            "bit": np.left_shift(np.uint64(1), rank.astype(np.uint64))}
    plain = threshold < THRESHOLD_FLOOR
    starts = persist(client, [delayed(bw.start_rows)(b, c_arr) for b in boxes])
    state = persist(client, [delayed(bw.flood)(b, lab, fl, fr, None, st, [], meta, s, plain)
                            for b, lab, fl, fr, st in zip(boxes, labels, f_labels, f_rho,
                                                          starts)])
    empty = {"flood": np.empty(0, np.int64), "row": np.empty(0, np.int64)}
    rounds = 0
    while True:
        sizes = _gather(client, [delayed(bw.outbox_size)(st) for st in state])
        rounds += 1
        if TRACE:
            print("flood round", rounds, sizes, time.time() - T0, flush=True)
        if not any(sizes):
            break
        nxt = []
        for b in range(bx.B):
            senders = [c for c in range(bx.B) if sizes[c] and b in bx.sources[c]]
            inbox = [delayed(bw.outbox_for)(state[c], boxes[b]) for c in senders]
            nxt.append(delayed(bw.flood)(boxes[b], labels[b], f_labels[b], f_rho[b],
                                         state[b], empty, inbox, meta, s, plain))
        state = persist(client, nxt)
    met = np.concatenate(_gather(client, [delayed(bw.met_of)(st, c_label) for st in state]))
    met = np.unique(met, axis=0) if len(met) else met.reshape(0, 2)
    count = len(centres)
    removed: set[int] = set()
    bounds = np.searchsorted(met[:, 0], np.arange(count + 1))
    centre_rho = s_rho[c_arr]
    for i, c in enumerate(centres):
        best, t = centre_rho[i], c
        for lab in met[bounds[i]:bounds[i + 1], 1].tolist():
            if 0 <= lab < count:
                k = centres[lab]
                if centre_rho[lab] > best:
                    best, t = centre_rho[lab], k
        if centre_rho[i] < best and t != c:
            removed.add(c)
            extra.setdefault(c, []).append(t)
            changed[c] = (t, _distance(s_x, t, c))
    return removed


def _distance(x: Sparse, t: int, c: int) -> float:
    """As the merging check measures it: squares summed in column order."""
    a, b = x[t], x[c]
    total = 0.0
    for j in range(len(a)):
        e = float(a[j]) - float(b[j])
        total = total + e * e
    return float(np.sqrt(total))


def _borders(client: Any, bx: Boxes, labels: list[Any], f_rho: list[Any], width: int,
             n_clusters: int) -> tuple[Borders, np.ndarray]:
    f_labels = bx.fetch(labels, np.int64)
    parts = _gather(client, [delayed(bw.borders)(b, lab, fl, fr, width)
                             for b, lab, fl, fr in zip(bx.boxes, labels, f_labels, f_rho)])
    lo = np.concatenate([p["lo"] for p in parts])
    hi = np.concatenate([p["hi"] for p in parts])
    saddle = np.concatenate([p["saddle"] for p in parts])
    level = np.full(n_clusters, -np.inf)
    for p in parts:
        np.maximum.at(level, p["border_label"], p["border_rho"])
    if not len(lo):
        empty = np.empty(0, np.int64)
        return Borders(empty, empty.copy(), np.empty(0)), level
    key = lo * n_clusters + hi
    order = np.lexsort((saddle, key))
    key, saddle = key[order], saddle[order]
    last = np.flatnonzero(np.r_[key[1:] != key[:-1], True])
    key = key[last]
    return Borders(key // n_clusters, key % n_clusters, saddle[last]), level


def _controls(client: Any, bx: Boxes, labels: list[Any], f_rho: list[Any], rho: list[Any],
              centres: np.ndarray, s_rho: Sparse, s_x: Sparse, width: int, min_size: int,
              n_clusters: int | None, noise: bool,
              changed: dict[int, tuple[int, float]]) -> tuple[list[Any], np.ndarray]:
    """controls.refine over the boxes: (per-box labels, centres)."""
    count = len(centres)
    touching, _ = _borders(client, bx, labels, f_rho, width, max(count, 1))
    counts = np.sum(_gather(client, [delayed(bw.sizes)(lab, count) for lab in labels]),
                    axis=0) if count else np.zeros(0, np.int64)
    to_final = np.arange(count, dtype=np.int64)

    def join(joins: controls.Joins) -> None:
        nonlocal counts, centres, touching, to_final
        new_label, new_centres = controls.new_labels(joins)
        for child, parent in joins.links:
            changed[child] = (parent, controls.gap(s_x, child, parent))
        counts = np.bincount(new_label, weights=counts, minlength=len(new_centres)).astype(
            np.int64)
        to_final = new_label[to_final]
        touching = controls.relabel(touching, new_label)
        centres = new_centres

    if min_size > 1 and count > 1:
        join(controls.merge_small(counts, centres, s_rho, s_x, touching, min_size))
    if n_clusters is not None:
        join(controls.keep_heaviest_peaks(counts, centres, s_rho, s_x, touching, n_clusters))
    labels = persist(client, [delayed(bw.relabelled)(lab, to_final) for lab in labels])
    if noise:
        _, level = _borders(client, bx, labels, f_rho, width, max(len(centres), 1))
        labels = persist(client, [delayed(bw.with_halo)(lab, r, level)
                                 for lab, r in zip(labels, rho)])
    wait(labels)
    return labels, centres
