"""The records that the stages of a run (pipeline.py) pass between them:
the bandwidth search's held-out part and answer, the density peaks, the
density graph, the clusters, and the exact copies among the points."""

from __future__ import annotations

from dataclasses import dataclass, field, replace
from typing import Any

import numpy as np
import numpy.typing as npt

F64 = npt.NDArray[np.float64]
I64 = npt.NDArray[np.int64]


@dataclass(frozen=True)
class BandwidthSearch:
    bandwidth: float
    low: float          # lower end of the searched interval
    high: float         # upper end
    evaluations: int    # likelihood evaluations made by the search


@dataclass(frozen=True)
class HeldOut:
    """What the bandwidth search needs of a seeded train/test split (see
    pipeline.held_out_neighbours)."""
    cross: F64          # per held-out point, the distances to its nearest training points
    n_train: int
    train_head: F64     # the first 1000 training and held-out points: all
    test_head: F64      # that bandwidth_estimate reads of them


@dataclass(frozen=True)
class Peaks:
    delta: F64
    nn_delta: I64
    centers: I64


@dataclass(frozen=True)
class DensityGraph:
    """For every point, the points that hang from it: those whose nearest
    denser neighbour it is (ascending, as compute_delta lists them), then
    the centres that joined it in a merge (in the order they joined), then
    its exact copies (ascending).

    Kept as the arrays it is made of; lists() builds the n Python lists,
    which takes seconds at 10^7 points and is left until a user asks.
    """
    # compute_delta's nearest denser neighbours (-1: none), whose lists
    # come first.
    parent: I64
    # The merges, as runs of (parents, children) in the order they were made.
    runs: tuple[tuple[I64, I64], ...] = field(default=())
    # With copies among the points: the graph above is that of the distinct
    # points, and (first, inverse) as in Duplicates puts it on all of them.
    copies: tuple[I64, I64] | None = None

    def joined(self, child: I64, parent: I64) -> "DensityGraph":
        """With the centres `child` hung from `parent`, in that order."""
        return replace(self, runs=self.runs + ((parent, child),))

    def lists(self) -> list[list[int]]:
        has = self.parent >= 0
        parents = [self.parent[has], *(p for p, _ in self.runs)]
        children = [np.flatnonzero(has), *(c for _, c in self.runs)]
        n = len(self.parent)
        if self.copies is not None:
            # first is ascending, so ascending lists stay ascending.
            first, inverse = self.copies
            n = len(inverse)
            parents = [first[p] for p in parents]
            children = [first[c] for c in children]
            is_copy = np.ones(n, dtype=bool)
            is_copy[first] = False
            copies = np.flatnonzero(is_copy)
            parents.append(first[inverse[copies]])
            children.append(copies)
        parent = np.concatenate(parents)
        order = np.argsort(parent, kind="stable")
        flat = np.concatenate(children)[order].tolist()
        ends = np.cumsum(np.bincount(parent, minlength=n)).tolist()
        return [flat[start:stop] for start, stop in zip([0, *ends[:-1]], ends)]


@dataclass(frozen=True)
class Clusters:
    centers: I64
    labels: I64
    nn_delta: I64
    delta: F64
    graph: DensityGraph


@dataclass(frozen=True)
class Duplicates:
    """Exact copies among the points: the distinct points are clustered and
    each copy joins its first occurrence (its parent at distance 0)."""
    first: I64 | None     # per distinct point, the index of its first occurrence
    inverse: I64 | None   # per point, its distinct point

    @staticmethod
    def of(x: F64) -> "Duplicates":
        _, first, inverse = np.unique(x, axis=0, return_index=True, return_inverse=True)
        if len(first) == len(x):
            return Duplicates(None, None)
        order = np.argsort(first, kind="stable")    # distinct points in order of appearance
        rank = np.empty_like(order)
        rank[order] = np.arange(len(order))
        return Duplicates(first[order].astype(np.int64), rank[inverse.ravel()].astype(np.int64))

    @staticmethod
    def among_neighbours(x: F64, nn_dist: F64) -> "Duplicates":
        """Duplicates.of(x), from the self neighbour table of all of x
        (at least 2 columns) without sorting every row.

        A point with a copy has two points at distance 0 in its row (itself
        and the copy, in either order), so only rows whose second distance
        is 0 can hold copies; those few rows are sorted. A distance of 0
        between different points (a squared difference below the smallest
        float) makes a candidate that the sort then finds unique.
        """
        candidates = np.flatnonzero(nn_dist[:, 1] == 0.0)
        if len(candidates) == 0:
            return Duplicates(None, None)
        _, first_local, inverse_local = np.unique(x[candidates], axis=0, return_index=True,
                                                  return_inverse=True)
        if len(first_local) == len(candidates):
            return Duplicates(None, None)
        # np.unique's index is that of the first occurrence; candidates are
        # in ascending order, so it is the first occurrence in x too.
        occurrence = candidates[first_local][inverse_local.ravel()]
        is_first = np.ones(len(x), dtype=bool)
        is_first[candidates] = occurrence == candidates
        inverse = np.cumsum(is_first) - 1       # of a first occurrence: its rank
        inverse[candidates] = inverse[occurrence]
        return Duplicates(np.flatnonzero(is_first).astype(np.int64), inverse.astype(np.int64))

    def distinct(self, x: F64) -> F64:
        return x if self.first is None else np.ascontiguousarray(x[self.first])

    def spread(self, values: npt.NDArray[Any]) -> npt.NDArray[Any]:
        """Per-distinct-point values, repeated for every copy."""
        return values if self.inverse is None else values[self.inverse]

    def expand(self, c: Clusters) -> Clusters:
        """c, on the distinct points, for all points."""
        if self.first is None or self.inverse is None:
            return c
        first, inverse = self.first, self.inverse
        is_copy = np.ones(len(inverse), dtype=bool)
        is_copy[first] = False
        parent = np.where(c.nn_delta >= 0, first[np.maximum(c.nn_delta, 0)], -1)
        nn_delta = np.where(is_copy, first[inverse], parent[inverse]).astype(np.int64)
        delta = np.where(is_copy, 0.0, c.delta[inverse])
        return Clusters(centers=first[c.centers], labels=c.labels[inverse], nn_delta=nn_delta,
                        delta=delta, graph=replace(c.graph, copies=(first, inverse)))
