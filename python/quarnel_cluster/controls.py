"""What decides the clusters after the density peaks are found: the merge
threshold, and what a user asks for: a least cluster size, a given number of
clusters, a noise label.

All of them work on the saddles between touching clusters (borders.py):

- threshold: walking down the saddles from the highest, where two groups of
  peaks meet, the lower peak's group joins the higher one unless its top
  stands at least `threshold` above that saddle (a valley deeper than the
  estimate's noise; by default read at the peak and at the saddle, see
  LocalNoise, and with the group's top read over the noise bumps that
  reach it). Every peak is tested, and a peak that goes joins the
  group across its highest saddle: the one it is least separated from.
  (Joining whichever denser cluster a search from the centre meets first,
  as the native stability_loop does, can cross a lower saddle and cut a
  cluster between two neighbours: 0.02 lower mean ARI on the labelled sets.)
- excess of mass (after the default test only): of the clusters the test
  keeps, those inside a node of their merge tree that holds more excess of
  mass than they do join there (excess_of_mass.py): the arcs of a ring or
  a moon, whose dips the test reads one at a time.
- min_cluster_size: the smallest cluster below the size joins the cluster it
  meets at its highest saddle (the one it would join first if the merge
  threshold were raised), again and again until none is too small; a cluster
  that touches no other joins the nearest cluster with a denser peak.
- n_clusters: the clusters' peaks form a merge tree (walking down the
  saddles from the highest, each meeting of two groups ends the lower peak);
  a peak weighs its prominence, its height above the saddle where it ends,
  times the points its group holds there, and the K heaviest peaks are kept,
  every other cluster following the peak that ended it.
- noise: a cluster's halo is the part less dense than the densest point on
  its border with another cluster (a point with a neighbour over there):
  points as likely to belong to the neighbour, or to neither. Those points
  are labelled -1. A cluster that touches no other has no halo.

Merged clusters are kept the density-peak way: the less dense of two centres
hangs from the denser one (nn_delta, delta, density graph), and the merged
cluster keeps the denser centre.
"""

from __future__ import annotations

import heapq
import math
from dataclasses import dataclass, replace
from itertools import chain
from typing import Iterator

import numpy as np

from . import _native as native
from . import excess_of_mass as eom
from . import validation
from .borders import F64, I64, Borders, border_density, borders
from .neighbours import Indices
from .pipeline import along_graph
from .records import Clusters


@dataclass(frozen=True)
class Joins:
    """The outcome of merging clusters labelled 0 .. C - 1."""
    target: I64                  # per label, the label of the cluster it ends in
    centre: I64                  # per label that is its own target, that cluster's centre
    links: list[tuple[int, int]]  # (centre that stops being one, centre it hangs from)


def _denser(rho: F64, p: int, q: int) -> bool:
    """Whether point p ranks above point q as a peak: denser, ties by smaller index."""
    return bool(rho[p] > rho[q] or (rho[p] == rho[q] and p < q))


def _nearest_denser(x: F64, rho: F64, centre: int, others: list[int]) -> int:
    """Of the centres `others`, the nearest denser than `centre`; the nearest
    of all when none is denser. Ties by position in `others`. x: the points,
    or a neighbour graph's precomputed.CentreDistances."""
    if along_graph(x):
        return int(x.nearest_denser(rho, centre, others))
    denser = [c for c in others if _denser(rho, c, centre)] or others
    gaps = np.linalg.norm(x[denser] - x[centre], axis=1)
    return denser[int(np.argmin(gaps))]


def sizes(labels: I64, n_clusters: int) -> I64:
    """Points per cluster."""
    return np.bincount(labels[labels >= 0], minlength=n_clusters)


class Groups:
    """Union-find over clusters 0 .. count - 1; a group's root is its
    highest peak."""

    def __init__(self, count: int) -> None:
        self.parent = list(range(count))

    def find(self, c: int) -> int:
        parent = self.parent
        while parent[c] != c:
            parent[c] = parent[parent[c]]
            c = parent[c]
        return c


def peak_ranks(centers: I64, rho: F64) -> list[int]:
    """Per cluster the rank of its peak, 0 for the highest (denser, ties by
    the smaller index, as _denser): one integer comparison in the walks."""
    order = np.lexsort((centers, -rho[centers]))
    rank = np.empty(len(centers), np.int64)
    rank[order] = np.arange(len(centers))
    return rank.tolist()


# Below this many saddles the walk is quick and SciPy's import is not.
SPANNING_FROM_PAIRS = 50_000


def walk_order(touching: Borders) -> tuple[list[int], list[int], list[float]]:
    """(a, b, saddle) of the saddles keep_heaviest_peaks visits, from the
    highest down, ties by ascending (a, b): with SciPy installed and many
    saddles, only those of the touching graph's maximum spanning forest.

    Only these saddles can make a meeting: at any other saddle both clusters
    are already linked by higher saddles. SciPy's spanning-tree search finds the forest, each saddle weighted
    by its place in the walk so that the forest is the walk's own; without
    SciPy, or for few saddles, every saddle is walked, which changes nothing
    but the time.
    """
    # Borders come by ascending (a, b): a stable sort on the saddle alone
    # keeps that order among equal saddles (a third of a three-key lexsort).
    order = np.argsort(-touching.saddle, kind="stable")
    if len(order) >= SPANNING_FROM_PAIRS:
        try:
            from scipy.sparse import coo_matrix
            from scipy.sparse.csgraph import minimum_spanning_tree
        except ImportError:
            pass
        else:
            count = int(max(touching.a.max(), touching.b.max())) + 1
            place = np.empty(len(order))
            place[order] = np.arange(1, len(order) + 1)   # distinct and > 0: one forest
            forest = minimum_spanning_tree(
                coo_matrix((place, (touching.a, touching.b)), shape=(count, count)).tocsr())
            order = order[np.sort(forest.data.astype(np.int64) - 1)]
    return (touching.a[order].tolist(), touching.b[order].tolist(),
            touching.saddle[order].tolist())


def meetings(touching: Borders, groups: Groups,
             rank: list[int]) -> Iterator[tuple[int, int, float]]:
    """Walks the saddles from the highest down (ties by ascending (a, b)) and
    yields (high, low, saddle) wherever two groups meet: their roots, the
    one with the higher peak (lower rank) first. The caller may join them
    before the walk goes on."""
    find = groups.find
    for a, b, s in zip(*walk_order(touching)):
        ra, rb = find(a), find(b)
        if ra != rb:
            yield (ra, rb, s) if rank[ra] < rank[rb] else (rb, ra, s)


@dataclass(frozen=True)
class LocalNoise:
    """The merging test read in the estimate's own noise where it is read.

    A kernel estimate is a weighted count: exp(rho + log_unit), with
    log_unit = log(n V_d h^d), is the number of points the kernel weighs at
    a point (the expected count within one bandwidth where the density is
    even). At a data point the count includes the point's own weight,
    `own` = (d + 2) / 2, which is no reading of its surroundings and has no
    noise: a point alone reads it, and in 6 or 8 columns it is much of a
    sparse cluster's top (leaving it in, an empty valley would read as
    if a few points were there). The count of the other points has a
    variance c_K times itself, c_K = V_d int K^2 = 2 (d + 2) / (d + 4) for
    the Epanechnikov kernel, so its square root has the same noise,
    sqrt(c_K) / 2, wherever it is read: in a thin tail as in a dense core.
    The kernel sums the `k` nearest neighbours only, so where more than k
    others fall within a bandwidth it is a k-nearest-neighbour estimate,
    whose log has the same noise everywhere (about 1/sqrt(k)); above k
    others the scale goes on in log-density, joined so that the noise
    stays the same across. On that scale a peak must rise `depth`
    above its saddle; a fixed depth in log-density instead asks too little
    where few points are (the tails' bumps survive, more of them as n
    grows).

    The top of a group is read with its noise: where peaks that joined it
    as noise (bumps less than `depth` above their saddles) come within
    `spread`, the root's standard error, of its highest peak, that peak is
    only the highest of several readings of one level, and the top is
    read halfway between it and the highest saddle at which such a bump
    joined (noise lifts the maxima of a level as far as it sinks its
    minima). Along a ridge with no dip of its own, a ring or a moon, the
    estimate's bumps and dips are such readings, and the highest peak of
    an arc, read alone, stands a noise maximum above a noise minimum: the
    arcs would stay apart. A cluster with a single clear top is read at
    its peak.
    """
    log_unit: float    # log(n V_d h^d)
    depth: float       # the rise asked, on the scale of root()
    k: int             # neighbours the kernel sums
    spread: float = -math.inf   # standard error of root(); negative: tops read at the peak
    own: float = 0.0   # the count a point's own kernel weight adds: (d + 2) / 2

    def root(self, rho: F64) -> F64:
        """The root of the weighted count of the other points at
        log-densities rho (the point's own weight is no reading: it has no
        noise), and above k others, its continuation in log-density."""
        level = np.asarray(rho, np.float64) + self.log_unit
        full = math.log(self.k + self.own)
        others = np.maximum(np.exp(np.minimum(level, full)) - self.own, 0.0)
        slope = 0.5 * (self.k + self.own) / math.sqrt(self.k)
        return np.where(level <= full, np.sqrt(others),
                        math.sqrt(self.k) + slope * (level - full))


def _walk_inputs(centers: I64, rho: F64, touching: Borders, threshold: "float | LocalNoise"
                 ) -> tuple[F64, F64, float, float, I64, np.ndarray]:
    """What the native walk of merge_shallow_peaks reads: the peaks and the
    saddles on the test's scale, the depth asked and the spread of a top on
    it, the peaks' ranks, and per saddle whether the test can join anything
    there."""
    peaks, saddle = rho[centers], touching.saddle
    rank = np.asarray(peak_ranks(centers, rho), np.int64)
    spread = -math.inf
    if isinstance(threshold, LocalNoise):
        # The root grows with rho: the walk's order and the meetings stay.
        spread = threshold.spread
        peaks, saddle, threshold = threshold.root(peaks), threshold.root(saddle), threshold.depth
    # A pair whose lower peak already stands `reach` above its saddle joins
    # nothing: the lower of the two roots it would meet stands at least as
    # high, and a top read over bumps lies at least halfway between that
    # root's peak and this saddle (the bumps joined at higher saddles).
    # Dropping it first shortens the walk.
    reach = threshold if spread < 0 else 2.0 * threshold
    useful = np.minimum(peaks[touching.a], peaks[touching.b]) - saddle < reach
    return peaks, saddle, float(threshold), spread, rank, useful


def merge_shallow_peaks(centers: I64, rho: F64, touching: Borders,
                        threshold: "float | LocalNoise") -> Joins:
    """Merges every cluster whose top stands less than `threshold` above
    the highest saddle to a group with a higher peak: in log-density, or
    with a LocalNoise, on the root of the weighted count, the top read
    over the group's noise bumps (LocalNoise).

    The saddles are taken from the highest down, groups joined by a
    union-find whose root is the group's highest peak. A low group's
    prominence can only grow as the saddles go down, so a peak kept at its
    first meeting is kept for good, and one that goes joins the group across
    its highest saddle. Ties among saddles by ascending (a, b).
    """
    peaks, saddle, depth, spread, rank, useful = _walk_inputs(centers, rho, touching, threshold)
    # The walk over every useful saddle, natively (some 10^6 at 10^7 points).
    target, low, high = native.merge_shallow(touching.a[useful], touching.b[useful],
                                             saddle[useful], peaks, rank, depth, spread,
                                             np.empty(0, np.int64))[:3]
    links = list(zip(centers[low].tolist(), centers[high].tolist()))
    return Joins(target, centers.copy(), links)


def merge_small(counts: I64, centers: I64, rho: F64, x: F64, touching: Borders,
                min_size: int) -> Joins:
    """Merges clusters of fewer than min_size points (counts: points per
    cluster), smallest first (ties by label), each into the cluster across
    its highest saddle. rho and x are read at centres only."""
    n_clusters = len(centers)
    size = np.asarray(counts).tolist()
    target = list(range(n_clusters))
    centre = centers.tolist()
    links: list[tuple[int, int]] = []
    saddles: list[dict[int, float]] = [{} for _ in range(n_clusters)]
    for a, b, s in zip(touching.a.tolist(), touching.b.tolist(), touching.saddle.tolist()):
        saddles[a][b] = s
        saddles[b][a] = s
    alive = set(range(n_clusters))
    queue = [(size[c], c) for c in range(n_clusters) if size[c] < min_size]
    heapq.heapify(queue)
    while queue and len(alive) > 1:
        s, a = heapq.heappop(queue)
        if a not in alive or s != size[a]:
            continue                   # merged away, or grown since queued
        if saddles[a]:
            b = max(saddles[a], key=lambda c: (saddles[a][c], rho[centre[c]], -c))
        else:
            others = sorted(alive - {a})
            nearest = _nearest_denser(x, rho, centre[a], [centre[c] for c in others])
            b = others[[centre[c] for c in others].index(nearest)]
        # a joins b: b takes a's neighbours (the higher saddle where both touch one).
        for c, v in saddles[a].items():
            del saddles[c][a]
            if c != b:
                w = max(v, saddles[b].get(c, -math.inf))
                saddles[b][c] = saddles[c][b] = w
        saddles[a] = {}
        alive.remove(a)
        target[a] = b
        size[b] += size[a]
        if _denser(rho, centre[a], centre[b]):
            links.append((centre[b], centre[a]))
            centre[b] = centre[a]
        else:
            links.append((centre[a], centre[b]))
        if size[b] < min_size:
            heapq.heappush(queue, (size[b], b))
    return Joins(_follow(np.array(target, np.int64)), np.array(centre, np.int64), links)


def merge_tree(counts: I64, centers: I64, rho: F64, touching: Borders,
               rule: "float | LocalNoise") -> dict[str, np.ndarray]:
    """Every meeting of two groups of peaks as the saddles go down from the
    highest (see meetings): per meeting, the centres of the two groups'
    peaks (`high`, `low`), the saddle's log-density, both peaks'
    log-densities, the points each group holds by then (counts: per
    cluster, its points), and `standing`: the lower group's top above the
    saddle in units of the depth the merging test `rule` asks there (a
    depth in log-density, or a LocalNoise), at least 1 where the test keeps
    it apart. The meetings and the standings come from merge_shallow_peaks'
    own walk, which follows the tree beside the merging (native
    merge_shallow with `tested`) and reads each one from the merging's
    groups. With a fixed depth a group stays apart exactly where it stands
    the depth above its meeting in the tree. By default a group's top is
    read over its noise bumps, and the merging can decide a group at
    another saddle the other way (it meets the group only by way of peaks
    that stayed apart, or reads its top again lower down; on random saddles
    about one meeting in 2000): such a row shows the standing the merging
    compared there. A group the merging never compares (met only by way of
    peaks that stayed apart; about one in 40 000) stays apart whatever its
    standing here.
    """
    peaks, saddle, depth, spread, rank, useful = _walk_inputs(centers, rho, touching, rule)
    _, _, _, high, low, at, standing = native.merge_shallow(
        touching.a, touching.b, saddle, peaks, rank, depth, spread, useful.astype(np.int64))
    high, low = np.asarray(high, np.int64), np.asarray(low, np.int64)
    mass = np.asarray(counts).astype(np.int64)
    high_size = np.empty(len(high), np.int64)
    low_size = np.empty(len(high), np.int64)
    for row, (h, l) in enumerate(zip(high.tolist(), low.tolist())):
        high_size[row], low_size[row] = mass[h], mass[l]
        mass[h] += mass[l]
    peak = rho[centers]
    return {"high": centers[high], "low": centers[low],
            "saddle": touching.saddle[np.asarray(at, np.int64)].astype(np.float64),
            "high_peak": peak[high], "low_peak": peak[low],
            "high_size": high_size, "low_size": low_size,
            "standing": np.asarray(standing, np.float64)}


def join_by_mass(centers: I64, rho: F64, touching: Borders, rule: LocalNoise,
                 mass_of: "eom.MassOf", to_leaf: I64) -> Joins:
    """Joins the clusters (leaves) inside the nodes of their merge tree that
    hold the most excess of mass (excess_of_mass.py); `mass_of(to_leaf,
    tree)` sums the points' band masses per node, to_leaf: per initial
    cluster its leaf. Groups that meet across an empty valley (a saddle no
    other point weighs in: `rule.own` alone) stay apart. A joining group's
    peak hangs from the other's at the meeting, as the merging links them."""
    count = len(centers)
    # A point alone reads its own kernel weight; the allowance covers the
    # rounding of the density's logarithm.
    floor = math.log(rule.own) - rule.log_unit + 1e-9 if rule.own > 0 else -math.inf
    groups = Groups(count)
    met = []
    for high, low, s in meetings(touching, groups, peak_ranks(centers, rho)):
        groups.parent[low] = high
        met.append((high, low, s))
    tree = eom.leaf_tree(met, count, float(np.max(rho[centers])), floor)
    sums, counts = mass_of(to_leaf, tree)
    chosen = eom.selected(tree, eom.stability(tree, sums, counts))
    target = np.arange(count, dtype=np.int64)
    links = []
    for node in np.flatnonzero(chosen).tolist():
        high, low = int(tree.high[node]), int(tree.low[node])
        target[low] = high
        links.append((int(centers[low]), int(centers[high])))
    return Joins(_follow(target), centers.copy(), links)


def keep_heaviest_peaks(counts: I64, centers: I64, rho: F64, x: F64, touching: Borders,
                        n_clusters: int) -> Joins:
    """Keeps the n_clusters clusters whose peaks weigh the most; every other
    cluster joins the one whose peak ended it in the merge tree.

    A peak's weight is its prominence (height above the saddle where it meets
    a higher peak) times the points its group holds by then: a noise bump is
    shallow and small, a sparse outlying group shallow in points, a real
    cluster both high and full. Groups that never meet a higher one (the
    highest peak of every part of the neighbour graph) weigh infinitely and
    rank by height; each but the highest joins the nearest higher peak.
    """
    count = len(centers)
    peak = rho[centers]
    groups = Groups(count)
    ended_at = np.full(count, -math.inf)
    ended_by = np.full(count, -1, np.int64)
    mass = np.asarray(counts).astype(np.float64)
    mass_at_end = np.zeros(count)
    for high, low, s in meetings(touching, groups, peak_ranks(centers, rho)):
        groups.parent[low] = high
        ended_at[low] = s
        mass_at_end[low] = mass[low]
        mass[high] += mass[low]
        ended_by[low] = high
    # Groups that never meet: each but the highest ends at the nearest higher peak.
    roots = sorted({groups.find(c) for c in range(count)}, key=lambda r: (-peak[r], centers[r]))
    for i, r in enumerate(roots[1:], start=1):
        higher = [int(centers[q]) for q in roots[:i]]
        ended_by[r] = roots[higher.index(_nearest_denser(x, rho, int(centers[r]), higher))]
    prominence = peak - ended_at
    prominence[roots[0]] = math.inf
    for r in roots:
        mass_at_end[r] = math.inf
    weight = np.minimum(prominence, np.finfo(np.float64).max) * mass_at_end
    rank = np.lexsort((centers, -peak, -prominence, -weight))
    if count < n_clusters:
        peaks, clusters = (validation.counted(count, "distinct density peak"),
                           validation.counted(count, "cluster"))
        validation.warn(f"n_clusters={n_clusters} asked for, but the data have only {peaks} "
                        f"with at least min_cluster_size points: returning {clusters}")
    kept = np.zeros(count, bool)
    kept[rank[:n_clusters]] = True
    target = np.where(kept, np.arange(count), ended_by)
    links = [(int(centers[c]), int(centers[ended_by[c]])) for c in np.flatnonzero(~kept)]
    return Joins(_follow(target), centers.copy(), links)


def _follow(target: I64) -> I64:
    """Follows target to its end: every label to the label of its final cluster."""
    while True:
        nxt = target[target]
        if np.array_equal(nxt, target):
            return target
        target = nxt


def new_labels(joins: Joins) -> tuple[I64, I64]:
    """(per old label its new one, the new centres): the clusters that remain
    are numbered by ascending centre index."""
    roots = np.flatnonzero(joins.target == np.arange(len(joins.target)))
    order = np.argsort(joins.centre[roots], kind="stable")
    new_label = np.full(len(joins.target), -1, np.int64)
    new_label[roots[order]] = np.arange(len(roots))
    return new_label[joins.target], joins.centre[roots[order]]


def apply(c: Clusters, x: F64, new_label: I64, centres: I64,
          links: list[tuple[int, int]]) -> Clusters:
    """The clusters after joins: old label l becomes new_label[l], the
    remaining clusters' centres are `centres`, and every dropped centre
    hangs from the centre it joined (links, in the order they were made)."""
    if len(c.labels) and int(c.labels.min()) >= 0:
        labels = new_label[c.labels]
    else:
        labels = np.where(c.labels >= 0, new_label[np.maximum(c.labels, 0)], -1)
    nn_delta, delta, graph = c.nn_delta.copy(), c.delta.copy(), c.graph
    if links:
        pairs = np.fromiter(chain.from_iterable(links), np.int64, 2 * len(links))
        child, parent = pairs[0::2], pairs[1::2]
        nn_delta[child] = parent
        delta[child] = gaps(x, child, parent)
        graph = graph.joined(child, parent)
    return Clusters(centres, labels, nn_delta, delta, graph)


def gaps(x: F64, child: I64, parent: I64) -> F64:
    """Distances of centres to the centres they join (x is read at those
    rows only; or a neighbour graph's precomputed.CentreDistances)."""
    if along_graph(x):
        return x.gaps(child, parent)    # type: ignore[no-any-return]
    return np.sqrt(np.sum((x[parent] - x[child]) ** 2, axis=1))


def relabel(touching: Borders, new_label: I64) -> Borders:
    """The saddles between the clusters after relabelling: the highest of each
    new pair, pairs inside one new cluster dropped."""
    a, b = new_label[touching.a], new_label[touching.b]
    keep = a != b
    lo, hi, s = np.minimum(a, b)[keep], np.maximum(a, b)[keep], touching.saddle[keep]
    if not len(s):
        return Borders(lo, hi, s)
    order = np.lexsort((s, hi, lo))
    lo, hi, s = lo[order], hi[order], s[order]
    last = np.flatnonzero(np.r_[(lo[1:] != lo[:-1]) | (hi[1:] != hi[:-1]), True])
    return Borders(lo[last], hi[last], s[last])


def halo(labels: I64, rho: F64, nn_list: Indices, width: int) -> I64:
    """Labels with -1 for every point less dense than the densest point on
    its cluster's border."""
    return below_level(labels, rho, border_density(labels, rho, nn_list, width))


def below_level(labels: I64, rho: F64, level: F64) -> I64:
    """Labels with -1 for every point less dense than its cluster's `level`."""
    out = labels.copy()
    inside = labels >= 0
    out[inside & (rho < level[np.maximum(labels, 0)])] = -1
    return out


def refine(c: Clusters, x: F64, rho: F64, nn_list: Indices, width: int,
           threshold: "float | LocalNoise | None",
           min_size: int, n_clusters: int | None, noise: bool,
           tree: "list[tuple[Clusters, Borders]] | None" = None) -> Clusters:
    """The clusters after the threshold (unless None), min_cluster_size,
    n_clusters and noise, in that order. The joins of the three steps are
    composed on the clusters and applied to the points once. `tree`, a
    list, receives (c, its saddles): all that joined() needs to cut the
    clusters again."""
    touching = borders(c.labels, rho, nn_list, width)
    if tree is not None:
        tree.append((c, touching))
    c = joined(c, x, rho, touching, threshold, min_size, n_clusters)
    if noise:
        c = replace(c, labels=halo(c.labels, rho, nn_list, width))
    return c


def joined(c: Clusters, x: F64, rho: F64, touching: Borders,
           threshold: "float | LocalNoise | None", min_size: int,
           n_clusters: int | None) -> Clusters:
    """refine's joins, from the saddles `touching` between c's clusters."""
    counts = sizes(c.labels, len(c.centers))

    def mass_of(to_leaf: I64, tree: eom.LeafTree) -> tuple[I64, I64]:
        return eom.band_mass(c.labels, rho, to_leaf, tree)

    to_final, centres, steps = join_steps(c.centers, counts, rho, x, touching, threshold,
                                          min_size, n_clusters, mass_of)
    links = [link for step in steps for link in step]
    if len(links) or not np.array_equal(centres, c.centers):
        c = apply(c, x, to_final, centres, links)
    return c


def join_steps(centres: I64, counts: I64, rho: F64, x: F64, touching: Borders,
               threshold: "float | LocalNoise | None", min_size: int,
               n_clusters: int | None, mass_of: "eom.MassOf | None" = None
               ) -> tuple[I64, I64, list[list[tuple[int, int]]]]:
    """The joins of the merging in their order: the threshold (unless None)
    and, after the default test (a LocalNoise) with `mass_of` given, the
    excess of mass (join_by_mass), the least size, n_clusters, each on the
    clusters the one before left. `centres` and `counts`: per cluster its
    centre and points; rho and x are read at the centres. Returns (per
    cluster its final label, the final centres, each step's links)."""
    to_final = np.arange(len(centres), dtype=np.int64)
    steps: list[list[tuple[int, int]]] = []

    def join(joins: Joins) -> None:
        nonlocal touching, centres, counts, to_final
        new_label, centres = new_labels(joins)
        steps.append(joins.links)
        counts = np.bincount(new_label, weights=counts, minlength=len(centres)).astype(np.int64)
        to_final = new_label[to_final]
        touching = relabel(touching, new_label)

    if threshold is not None and len(centres) > 1:
        join(merge_shallow_peaks(centres, rho, touching, threshold))
        if isinstance(threshold, LocalNoise) and mass_of is not None and len(centres) > 1:
            join(join_by_mass(centres, rho, touching, threshold, mass_of, to_final))
    if min_size > 1 and len(centres) > 1:
        join(merge_small(counts, centres, rho, x, touching, min_size))
    if n_clusters is not None:
        join(keep_heaviest_peaks(counts, centres, rho, x, touching, n_clusters))
    return to_final, centres, steps
