"""The clustering stages over the boxes: what the single machine does in one
process (clustering.py: peaks, then the merges across saddles and the
user's controls), done by the boxes' workers, with only centres and
clusters on the client.

    foreign values  a box reads densities and labels of the neighbours its
                    rows list in other boxes; each box asks the boxes its
                    rows asked during the search which of those they hold
                    (`routes`, once) and fetches values along the routes
    peaks           per row, from the row's first columns and the foreign
                    densities; the diagonal is one reduction
    chains          each point's first centre up its chain of denser
                    neighbours: pointer jumping inside a box; the client
                    follows the few points where chains cross walls
    labels          a point's label is the last centre, in centre order,
                    above it on its chain; the client computes each centre's
                    label and the boxes map their points
    merges          per-box borders (pairs of touching clusters and their
                    saddles) and cluster sizes; the joins (threshold, least
                    size, n_clusters) are taken on the client on centres
                    only, with the functions of controls.py, and the boxes
                    map their labels; the noise label from per-box border
                    densities
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import _quarnel_cluster as native
import numpy as np
from dask import delayed
from distributed import wait

from .. import controls
from ..borders import Borders, highest_saddles
from . import boxwork as bw

class Sparse:
    """Values at a few points by global index, read like the full array."""

    def __init__(self, ids: np.ndarray, values: np.ndarray) -> None:
        order = np.argsort(ids)
        self.ids, self.values = ids[order], values[order]

    def __getitem__(self, key: Any) -> Any:
        return self.values[np.searchsorted(self.ids, np.asarray(key))]


def gather(client: Any, things: Any) -> Any:
    """The computed values of delayed objects, on the client."""
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


def _close_chains(client: Any, bx: Boxes, chains: list[Any]) -> tuple[np.ndarray, np.ndarray]:
    """Where the chains leaving boxes end: (exit points, their first
    centres), sorted. Only the few points where a chain enters a box travel,
    and the client follows them from box to box."""
    exits = np.unique(np.concatenate(gather(client, [delayed(bw.exits_of)(c)
                                                      for c in chains])))
    if not len(exits):
        return exits, exits.copy()
    answers = gather(client, [delayed(bw.chain_answers)(b, c, exits)
                               for b, c in zip(bx.boxes, chains)])
    ids = np.concatenate([a["id"] for a in answers])
    first = np.concatenate([a["first"] for a in answers])
    leave = np.concatenate([a["exit"] for a in answers])
    step = dict(zip(ids.tolist(), zip(first.tolist(), leave.tolist())))
    end: dict[int, int] = {}
    for e in exits.tolist():
        path = []
        while e not in end:
            f, nxt = step[e]
            if f != bw.OPEN:
                end[e] = f
                break
            path.append(e)
            e = nxt
        for p in path:
            end[p] = end[e]
    return exits, np.array([end[e] for e in exits.tolist()], dtype=np.int64)


def run(client: Any, persisted_boxes: list[Any], asks: list[dict[int, int]], width: int,
        diagonal: float, threshold: float, search_size: int, list_width: int,
        min_size: int, n_clusters: int | None, noise: bool) -> Merged:
    bx = Boxes(client, persisted_boxes, asks)
    boxes = bx.boxes
    rho = persist(client, [delayed(bw.column_of)(b, "rho") for b in boxes])
    f_rho = bx.fetch(rho, np.float64)
    pk = persist(client, [delayed(bw.peaks)(b, fr, width, diagonal)
                         for b, fr in zip(boxes, f_rho)])

    chains = persist(client, [delayed(bw.chain_start)(b, p) for b, p in zip(boxes, pk)])
    ends = _close_chains(client, bx, chains)
    first = persist(client, [delayed(bw.chain_end)(c, ends) for c in chains])
    del chains
    f_first = bx.fetch(first, np.int64)

    # The initial centres ("specials"): their rows, and the next centre up,
    # in one trip.
    rows = gather(client, [delayed(bw.centre_rows)(b, p, f, ff)
                            for b, p, f, ff in zip(boxes, pk, first, f_first)])
    ids = np.concatenate([r["id"] for r in rows])
    order = np.argsort(ids)
    specials = ids[order]
    s_x = Sparse(ids, np.concatenate([r["x"] for r in rows]))
    s_rho = Sparse(ids, np.concatenate([r["rho"] for r in rows]))
    up_id = np.concatenate([r["up"] for r in rows])[order]
    changed: dict[int, tuple[int, float]] = {}
    # A special's label is the largest position of a special up its chain
    # of specials (itself included): the single machine's forest labelling
    # on the specials' links.
    parent = np.full(len(specials), -1, dtype=np.int64)
    has = up_id >= 0
    parent[has] = np.searchsorted(specials, up_id[has])
    up = native.forest_labels(np.arange(len(specials), dtype=np.int64), parent)
    labels = persist(client, [delayed(bw.labels_from)(f, specials, up) for f in first])
    labels, final_centres = _controls(client, bx, labels, f_rho, rho, specials, s_rho, s_x,
                                      min(search_size, list_width),
                                      threshold if n_clusters is None else None, min_size,
                                      n_clusters, noise, changed)
    ch = (np.array(list(changed), dtype=np.int64),
          np.array([v[0] for v in changed.values()], dtype=np.int64),
          np.array([v[1] for v in changed.values()], dtype=np.float64))
    parts = persist(client, [delayed(bw.final)(b, p, lab, ch)
                            for b, p, lab in zip(boxes, pk, labels)])
    return Merged(parts, final_centres)


def _borders(client: Any, bx: Boxes, labels: list[Any], f_rho: list[Any], width: int,
             n_clusters: int, levels: bool, sizes: bool = False
             ) -> tuple[Borders, np.ndarray, np.ndarray]:
    """The touching clusters; with `levels` each cluster's densest border
    point's density; with `sizes` the clusters' sizes (in the same trip)."""
    f_labels = bx.fetch(labels, np.int64)
    parts = gather(client, [delayed(bw.borders)(b, lab, fl, fr, width, n_clusters, levels,
                                                sizes)
                             for b, lab, fl, fr in zip(bx.boxes, labels, f_labels, f_rho)])
    level = np.full(n_clusters, -np.inf)
    for p in parts if levels else []:
        np.maximum.at(level, p["border_label"], p["border_rho"])
    touching = highest_saddles([p["a"] * n_clusters + p["b"] for p in parts],
                               [p["saddle"] for p in parts], n_clusters)
    counts = np.sum([p["sizes"] for p in parts], axis=0) if sizes else None
    return touching, level, counts


def _controls(client: Any, bx: Boxes, labels: list[Any], f_rho: list[Any], rho: list[Any],
              centres: np.ndarray, s_rho: Sparse, s_x: Sparse, width: int,
              threshold: float | None, min_size: int, n_clusters: int | None, noise: bool,
              changed: dict[int, tuple[int, float]]) -> tuple[list[Any], np.ndarray]:
    """controls.refine over the boxes: (per-box labels, centres); the links
    it adds go to `changed` (centre: (new parent, distance))."""
    count = len(centres)
    touching, _, counts = _borders(client, bx, labels, f_rho, width, max(count, 1), False,
                                   True)
    counts = counts[:count]
    to_final = np.arange(count, dtype=np.int64)

    def join(joins: controls.Joins) -> None:
        nonlocal counts, centres, touching, to_final
        new_label, new_centres = controls.new_labels(joins)
        if joins.links:
            child, parent = np.array(joins.links, np.int64).T
            for c, p, g in zip(child.tolist(), parent.tolist(),
                               controls.gaps(s_x, child, parent).tolist()):
                changed[c] = (p, g)
        counts = np.bincount(new_label, weights=counts, minlength=len(new_centres)).astype(
            np.int64)
        to_final = new_label[to_final]
        touching = controls.relabel(touching, new_label)
        centres = new_centres

    if threshold is not None and count > 1:
        join(controls.merge_shallow_peaks(centres, s_rho, touching, threshold))
    if min_size > 1 and len(centres) > 1:
        join(controls.merge_small(counts, centres, s_rho, s_x, touching, min_size))
    if n_clusters is not None:
        join(controls.keep_heaviest_peaks(counts, centres, s_rho, s_x, touching, n_clusters))
    labels = persist(client, [delayed(bw.relabelled)(lab, to_final) for lab in labels])
    if noise:
        _, level, _ = _borders(client, bx, labels, f_rho, width, max(len(centres), 1), True)
        labels = persist(client, [delayed(bw.with_halo)(lab, r, level)
                                 for lab, r in zip(labels, rho)])
    wait(labels)
    return labels, centres
