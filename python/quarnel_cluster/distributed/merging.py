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
from itertools import chain
from typing import Any

import numpy as np
from dask import delayed

from .. import controls
from .. import excess_of_mass as eom
from ..borders import Borders, highest_saddles
from ..records import F64, I64
from . import boxwork as bw
from . import tasks
from .dask_tools import at, gather, persist, shared


class Sparse:
    """Values at a few points by global index, read like the full array."""

    def __init__(self, ids: np.ndarray, values: np.ndarray) -> None:
        order = np.argsort(ids)
        self.ids, self.values = ids[order], values[order]

    def __getitem__(self, key: Any) -> Any:
        return self.values[np.searchsorted(self.ids, np.asarray(key))]


@dataclass
class Tree:
    """What the joins read, kept on the client after the fit so that
    `rejoined` can take them again with other settings: the initial
    clusters (labelled by their centres' order) and their saddles."""
    centres: I64              # the initial centres, distinct-point indices ascending
    rho: Sparse               # densities and coordinates at those centres
    x: Sparse
    touching: Borders         # the saddles between the initial clusters
    counts: I64               # the initial clusters' distinct points
    delta: F64                # the centres' own delta and nn_delta, before any join
    nn_delta: I64
    rule: "float | controls.LocalNoise"   # the fit's merging test
    changed: tuple[I64, I64, F64]         # the fit's joins' last_changes
    # With the default test, the points' band masses over the tree of the
    # clusters it keeps (excess_of_mass.band_mass, summed over the boxes):
    # that tree is the same for every cut with that test.
    mass: tuple[I64, I64] | None = None

    def stored_mass(self, to_leaf: I64, leaves: eom.LeafTree) -> tuple[I64, I64]:
        assert self.mass is not None and len(self.mass[0]) == leaves.nodes
        return self.mass


@dataclass
class Merged:
    labels: list[Any]         # per box, persisted final labels
    changed: Any              # the centres' new parents (last_changes), on every worker
    centers: np.ndarray       # distinct-point indices
    tree: Tree | None = None


class PersistedBoxes:
    """The persisted boxes with their routes to foreign values. The routes
    are found from the boxes' ids and foreign points alone (bw.keys_of a
    table will do), so that values can travel before the boxes are made;
    `boxes` is then set to the made boxes."""

    def __init__(self, client: Any, boxes: list[Any], asks: list[dict[int, int]],
                 workers: list[str]) -> None:
        self.client = client
        self.boxes = boxes
        self.B = len(boxes)
        self.workers = workers
        self.foreign = persist(client, [self.at(i, bw.foreign_of, b) for i, b in enumerate(boxes)])
        # Box b's foreign points lie in the boxes b's rows asked.
        self.sources = [sorted(asks[b]) for b in range(self.B)]
        flat = persist(client, [self.at(c, bw.owned, boxes[c], self.foreign[b])
                               for b in range(self.B) for c in self.sources[b]])
        self.routes = []
        for b in range(self.B):
            self.routes.append(flat[:len(self.sources[b])])
            flat = flat[len(self.sources[b]):]

    def at(self, b: int, fn: Any, *args: Any) -> Any:
        """delayed(fn)(*args), placed with box b."""
        return at(self.workers, b, fn, *args)

    def each(self, fn: Any, *columns: list[Any], extra: tuple[Any, ...] = ()) -> list[Any]:
        """Per box b, delayed(fn)(columns[0][b], columns[1][b], ..., *extra),
        placed with box b."""
        return [self.at(b, fn, *args, *extra) for b, args in enumerate(zip(*columns))]

    def fetch(self, values: list[Any], dtype: Any) -> list[Any]:
        """Per box, the foreign points' values from the per-box arrays."""
        return persist(self.client, [
            self.at(b, bw.assemble, self.foreign[b], dtype,
                    *[self.at(c, bw.values_at, values[c], r)
                      for c, r in zip(self.sources[b], self.routes[b])])
            for b in range(self.B)])


def clusters(bx: PersistedBoxes, f_rho: list[Any], threshold: "float | controls.LocalNoise",
        search_size: int, list_width: int,
        min_size: int, n_clusters: int | None, noise: bool) -> Merged:
    """The clusters of the made boxes (bx.boxes: make_box, peaks included;
    f_rho: their foreign points' densities), on bx's client."""
    client = bx.client
    boxes = bx.boxes
    rho = persist(client, bx.each(bw.column_of, boxes, extra=("rho",)))
    chains = persist(client, bx.each(bw.chain_start, boxes))
    # The chains that leave their box are closed on a worker, from the few
    # points where they enter another (chain_ends): no trip to the client.
    exits = delayed(bw.all_exits)(*bx.each(bw.exits_of, chains))
    ends = delayed(bw.chain_ends)(exits, *bx.each(bw.chain_answers, boxes, chains,
                                                  extra=(exits,)))
    first = persist(client, bx.each(bw.chain_end, chains, extra=(ends,)))
    del chains
    f_first = bx.fetch(first, np.int64)

    # The initial centres ("specials"): their rows and the next centre up
    # come to the client in the trip that brings the first borders (the
    # specials' labels are taken on a worker, as the client takes them).
    rows = persist(client, bx.each(bw.centre_rows, boxes, first, f_first))
    links = client.persist(delayed(bw.centre_links)(*rows))
    labels = persist(client, bx.each(bw.labels_from, first, extra=(links,)))
    # The boxes keep these labels for the fit's results (relabel maps them).
    # Nothing holds the boxes without them (the same arrays under another
    # key, which Dask would count and spill as a box of its own).
    bx.boxes = persist(client, bx.each(bw.with_initial, bx.boxes, labels))
    del boxes, exits, ends
    width_c = min(search_size, list_width)
    rows, borders = gather(client, [rows, _border_tasks(bx, labels, f_rho, width_c,
                                                        delayed(bw.link_count)(links), False,
                                                        True)])
    ids = np.concatenate([r["id"] for r in rows])
    specials = np.sort(ids)
    order = np.argsort(ids)
    count = len(specials)
    touching, _, counts = _border_summary(borders, max(count, 1), False, True)
    tree = Tree(specials, Sparse(ids, np.concatenate([r["rho"] for r in rows])),
                Sparse(ids, np.concatenate([r["x"] for r in rows])), touching, counts[:count],
                np.concatenate([r["delta"] for r in rows])[order],
                np.concatenate([r["nn_delta"] for r in rows])[order], threshold,
                last_changes([]))

    def box_mass(to_leaf: I64, leaves: eom.LeafTree) -> tuple[I64, I64]:
        # One more trip: the leaf tree out, per node two integers back.
        found = gather(client, bx.each(eom.band_mass, labels, rho, extra=(to_leaf, leaves)))
        tree.mass = (sum(f[0] for f in found), sum(f[1] for f in found))
        return tree.mass

    # The fit's joins are the tree's first cut; relabel cuts it again.
    to_final, final_centres, tree.changed = rejoined(
        tree, threshold if n_clusters is None else None, min_size, n_clusters, box_mass)
    if tree.mass is None and isinstance(threshold, controls.LocalNoise):
        # A fit given n_clusters takes no default test, but relabel's
        # default cut reads the sums: the test's joins alone make them.
        rejoined(tree, threshold, 1, None, box_mass)
    labels = _final_labels(client, bx, labels, f_rho, rho, to_final, width_c,
                           len(final_centres), noise)
    return Merged(labels, shared(client, tree.changed), final_centres, tree)


def rejoined(tree: Tree, threshold: "float | controls.LocalNoise | None", min_size: int,
             n_clusters: int | None, mass_of: "eom.MassOf | None" = None
             ) -> tuple[I64, I64, tuple[I64, I64, F64]]:
    """The joins of the merging (threshold unless None, least size,
    n_clusters, as controls.refine takes them) on the kept tree: (per
    initial cluster its final label, the final centres, the centres' new
    parents and distances as last_changes gives them). The fit takes them
    with its settings and sums the band masses (`mass_of`), relabel with
    others and the fit's masses."""
    # The joins name a centre by its position among the initial centres,
    # which sorts as its index does (the joins read indices only to order
    # and to break ties), so that densities and coordinates are plain arrays
    # read by position, not a binary search (Sparse) per read.
    count = len(tree.centres)
    x = tree.x.values
    to_final, centres, steps = controls.join_steps(
        np.arange(count, dtype=np.int64), tree.counts, tree.rho.values, x, tree.touching,
        threshold, min_size, n_clusters, mass_of or tree.stored_mass)
    changed: list[tuple[I64, I64, F64]] = []
    for links in steps:
        if links:
            pairs = np.fromiter(chain.from_iterable(links), np.int64, 2 * len(links))
            child, parent = pairs[0::2], pairs[1::2]
            changed.append((tree.centres[child], tree.centres[parent],
                            controls.gaps(x, child, parent)))
    return to_final, tree.centres[centres], last_changes(changed)


def relabelled(client: Any, tree: Tree, parts: list[Any], copies: Any, offsets: list[int],
               threshold: "float | controls.LocalNoise | None", min_size: int,
               n_clusters: int | None) -> tuple[list[Any], I64]:
    """The fit's per-chunk results (`parts`, rows from `offsets`; `copies`:
    the fit's persisted copies) cut again by `rejoined`, as delayed values
    alike, and the final centres (distinct-point indices). Only the
    per-cluster arrays travel now; the chunks are mapped when computed."""
    to_final, centres, last = rejoined(tree, threshold, min_size, n_clusters)
    # Every centre a join of the fit or of this cut gives a parent: this
    # cut's parent, or else its own from the peaks.
    ids = np.union1d(tree.changed[0], last[0])
    at = np.searchsorted(tree.centres, ids)
    parent, gap = tree.nn_delta[at], tree.delta[at]
    new = np.isin(ids, last[0])
    where = np.searchsorted(last[0], ids[new])
    parent[new], gap[new] = last[1][where], last[2][where]
    patch = delayed(tasks.patch_in_input_order)(copies, shared(client, (ids, parent, gap)))
    new_label = shared(client, to_final)
    return ([delayed(tasks.relabelled_chunk)(p, new_label, patch, start)
             for p, start in zip(parts, offsets)], centres)


def merge_tree(client: Any, tree: Tree, parts: list[Any], copies: Any, offsets: list[int],
               with_copies: bool, rule: "float | controls.LocalNoise") -> dict[str, np.ndarray]:
    """controls.merge_tree of the kept tree with the merging test `rule`,
    groups sized with the copies of points and named by index among all
    points, as on one machine; the chunks are read only where there are
    copies (`with_copies`)."""
    counts = tree.counts
    if with_copies:
        found = gather(client, [delayed(tasks.copy_labels)(p, copies, start)
                                for p, start in zip(parts, offsets)])
        labels = np.concatenate(found).astype(np.int64)
        counts = counts + np.bincount(labels[labels >= 0], minlength=len(counts))
    # By position among the centres, as in rejoined.
    found = controls.merge_tree(counts, np.arange(len(counts), dtype=np.int64),
                                tree.rho.values, tree.touching, rule)
    found["high"], found["low"] = tree.centres[found["high"]], tree.centres[found["low"]]
    if with_copies:
        found["high"], found["low"] = gather(client, [
            delayed(tasks.original)(copies, found["high"]),
            delayed(tasks.original)(copies, found["low"])])
    return found


def last_changes(changed: list[tuple[I64, I64, F64]]) -> tuple[I64, I64, F64]:
    """The centres' new parents and distances, the last link of a centre
    winning: arrays in the same order, centres ascending."""
    if not changed:
        return np.empty(0, np.int64), np.empty(0, np.int64), np.empty(0)
    child, parent, gap = (np.concatenate(a)[::-1] for a in zip(*changed))
    centre, last = np.unique(child, return_index=True)
    return centre, parent[last], gap[last]


def _border_tasks(bx: PersistedBoxes, labels: list[Any], f_rho: list[Any], width: int,
                  n_clusters: Any, levels: bool, sizes: bool) -> list[Any]:
    """Per box, its part of the borders (bw.borders) as delayed values."""
    f_labels = bx.fetch(labels, np.int64)
    return bx.each(bw.borders, bx.boxes, labels, f_labels, f_rho,
                   extra=(width, n_clusters, levels, sizes))


def _border_summary(parts: list[dict[str, Any]], n_clusters: int, levels: bool, sizes: bool
                    ) -> tuple[Borders, np.ndarray, np.ndarray]:
    """The touching clusters; with `levels` each cluster's densest border
    point's density; with `sizes` the clusters' sizes, from the boxes'
    parts."""
    level = np.full(n_clusters, -np.inf)
    for p in parts if levels else []:
        np.maximum.at(level, p["border_label"], p["border_rho"])
    touching = highest_saddles([p["a"] * n_clusters + p["b"] for p in parts],
                               [p["saddle"] for p in parts], n_clusters)
    counts = np.sum([p["sizes"] for p in parts], axis=0) if sizes else None
    return touching, level, counts


def _borders(client: Any, bx: PersistedBoxes, labels: list[Any], f_rho: list[Any], width: int,
             n_clusters: int, levels: bool, sizes: bool = False
             ) -> tuple[Borders, np.ndarray, np.ndarray]:
    """_border_summary of the boxes' borders, in one trip."""
    parts = gather(client, _border_tasks(bx, labels, f_rho, width, n_clusters, levels, sizes))
    return _border_summary(parts, n_clusters, levels, sizes)


def _final_labels(client: Any, bx: PersistedBoxes, labels: list[Any], f_rho: list[Any],
                  rho: list[Any], to_final: I64, width: int, n_final: int, noise: bool
                  ) -> list[Any]:
    """The boxes' initial labels mapped to the `n_final` final clusters by
    `to_final`, with the halo labelled -1 under `noise`: per box, persisted."""
    labels = persist(client, bx.each(bw.relabelled, labels, extra=(shared(client, to_final),)))
    if noise:
        _, level, _ = _borders(client, bx, labels, f_rho, width, max(n_final, 1), True)
        labels = persist(client, bx.each(controls.below_level, labels, rho, extra=(shared(client, level),)))
    return labels
