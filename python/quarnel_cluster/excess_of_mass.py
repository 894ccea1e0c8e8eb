"""A step of the default merging, after the noise test and before the least
cluster size: of the clusters the test keeps, the ones that hold the most
excess of mass.

The noise test (controls.LocalNoise) decides each meeting of two groups of
peaks alone. Along a ridge with no dip of its own (a ring, a moon, a chain
link) it can keep arcs apart whose dips are real sample fluctuations of a
few standard errors: each meeting, read alone, looks like a valley. What
tells the arcs from real clusters is how the mass above the saddles is
spread over the cluster tree: arcs are born and end within a narrow band of
levels near the ridge's top, while a real cluster holds its mass over a long
band below its own peak.

The kept clusters are the leaves of a tree: walking down their saddles from
the highest, each meeting of two groups is a node, born where it meets the
next group (its parent's level) and split where its two children met. A
node's excess of mass (its stability) is, on the plain density scale,

    sum over its points of  clip(f(p), birth, split) - birth

(a leaf splits nowhere: its points count up to their density). The clusters
are the set of nodes, none inside another, whose stabilities sum highest;
a node wins over its children when it holds at least the best sum inside
them. The root, where everything meets, is never a candidate: the noise
test has already found its parts apart, and this step only joins. Nor is
a node whose parts meet across an empty valley, a saddle where the
estimate reads a point's own kernel weight alone: no level the estimate
measures connects them, and the mass such a node holds below that floor
is the self-weight of its points, not density between them.

The sums over points are exact integer sums of fixed-point densities (so
that any split of the points into boxes gives the same bits); every point
adds its density to one node, the lowest on its leaf's path that it rises
above (`band_mass`), and counts fully in every node above that one.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Callable

import numpy as np

from .records import F64, I64

# Densities relative to the highest peak, in units of 2^-30: exact int64
# sums for up to 2^33 points.
SCALE = float(2 ** 30)


@dataclass(frozen=True)
class LeafTree:
    """The tree of the kept clusters 0 .. L - 1 (the leaves), nodes
    L .. in the order their meetings happen (a child's index is below its
    parent's)."""
    parent: I64        # per node, its parent; -1 at the root
    birth: F64         # per node, the log-density where it meets its sibling (-inf: root)
    split: F64         # per node, the log-density where its children meet (inf: leaf)
    high: I64          # per inner node, the leaf whose peak heads the higher child
    low: I64           # ... and the lower child's (its centre hangs from high's)
    top: float         # the highest peak's log-density: the plain scale's unit
    leaves: int
    # The log-density of a point no other point weighs in: a split there is
    # an empty valley (plus a rounding allowance).
    floor: float = -math.inf

    @property
    def nodes(self) -> int:
        return len(self.parent)


MassOf = Callable[[I64, LeafTree], tuple[I64, I64]]


def leaf_tree(meetings: list[tuple[int, int, float]], leaves: int, top: float,
              floor: float = -math.inf) -> LeafTree:
    """The tree from the meetings of the leaves' groups, from the highest
    saddle down: (the higher group's root leaf, the lower's, the saddle's
    log-density). Groups that never meet hang from one root at density 0.
    top: the highest peak's log-density; floor: that of a point alone
    (empty valleys split there)."""
    node_of = list(range(leaves))
    parent = [-1] * leaves
    split = [math.inf] * leaves
    high: list[int] = [-1] * leaves
    low: list[int] = [-1] * leaves
    for h, lo, s in meetings:
        node = len(parent)
        parent[node_of[h]] = parent[node_of[lo]] = node
        parent.append(-1)
        split.append(s)
        high.append(h)
        low.append(lo)
        node_of[h] = node
    tops = [n for n in range(len(parent)) if parent[n] < 0]
    if len(tops) > 1:
        root = len(parent)
        for n in tops:
            parent[n] = root
        parent.append(-1)
        split.append(-math.inf)
        high.append(-1)
        low.append(-1)
    parents = np.asarray(parent, np.int64)
    splits = np.asarray(split, np.float64)
    birth = np.where(parents >= 0, splits[np.maximum(parents, 0)], -math.inf)
    return LeafTree(parents, birth, splits, np.asarray(high, np.int64),
                    np.asarray(low, np.int64), float(top), leaves, float(floor))


def plain(tree: LeafTree, rho: F64) -> F64:
    """Log-densities on the plain scale, relative to the top."""
    return np.exp(rho - tree.top)


def band_mass(labels: I64, rho: F64, leaf_of: I64, tree: LeafTree) -> tuple[I64, I64]:
    """Per node of `tree`, the fixed-point densities (int64, SCALE) and the
    count of the points whose band it is: the lowest node on the point's
    path from its leaf (leaf_of[labels]) that the point rises above.
    labels: per point its initial cluster (-1: none, left out); rho: its
    log-density."""
    if len(labels) and labels.min() < 0:
        inside = labels >= 0
        labels, rho = labels[inside], rho[inside]
    node = leaf_of[labels]
    climbing = np.flatnonzero(rho <= tree.birth[node])
    while len(climbing):
        node[climbing] = tree.parent[node[climbing]]
        climbing = climbing[rho[climbing] <= tree.birth[node[climbing]]]
    fixed = np.floor(plain(tree, rho) * SCALE).astype(np.int64)
    sums = np.zeros(tree.nodes, np.int64)
    np.add.at(sums, node, fixed)
    return sums, np.bincount(node, minlength=tree.nodes).astype(np.int64)


def stability(tree: LeafTree, sums: I64, counts: I64) -> F64:
    """Each node's excess of mass from the points' band sums."""
    below = counts.copy()
    for n in range(tree.nodes):        # children come before their parent
        if tree.parent[n] >= 0:
            below[tree.parent[n]] += below[n]
    below -= counts                    # strictly below: the node's full points
    birth = plain(tree, tree.birth)
    split = plain(tree, np.minimum(tree.split, tree.top))
    inner = np.arange(tree.nodes) >= tree.leaves
    full = np.where(inner, (split - birth) * below, 0.0)
    return (sums / SCALE - counts * birth) + full


def selected(tree: LeafTree, stable: F64) -> np.ndarray:
    """Per inner node whether it is one of the chosen clusters' nodes or
    inside one: a node is chosen where it holds at least its children's
    best sum, unless its children meet across an empty valley; the root
    never is."""
    best = stable.copy()
    chosen = np.zeros(tree.nodes, bool)
    children: list[list[int]] = [[] for _ in range(tree.nodes)]
    for n in range(tree.nodes):
        if tree.parent[n] >= 0:
            children[tree.parent[n]].append(n)
    for n in range(tree.leaves, tree.nodes):
        inside = sum(best[c] for c in children[n])
        if tree.parent[n] >= 0 and stable[n] >= inside and tree.split[n] > tree.floor:
            chosen[n] = True
        else:
            best[n] = inside
    # A chosen node's inner descendants join with it.
    for n in range(tree.nodes - 1, tree.leaves - 1, -1):
        if tree.parent[n] >= 0 and chosen[tree.parent[n]]:
            chosen[n] = True
    return chosen
