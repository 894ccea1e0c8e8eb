"""The last stages of a run, from log-densities and the leading columns of
the neighbour table to the clusters: peaks, merging, the user's controls.
The single-machine estimator and the distributed one both end here, so their
clusters cannot drift apart."""

from __future__ import annotations

from contextlib import nullcontext
from typing import Any, ContextManager, Callable

import numpy as np

from . import controls, pipeline
from .neighbours import Indices
from .records import F64, Clusters


def narrow_widths(k: int, delta_neighbors: int, search_size: int) -> tuple[int, int]:
    """Columns of the distances and of the indices that the stages after the
    density read: `width` of both by the peaks, `search_size` (at most k) of
    the indices by the merging and the controls."""
    width = min(delta_neighbors, k)
    return width, max(width, min(search_size, k))


def clusters(x: Any, rho: F64, nn_dist: list[F64], nn_list: Indices, width: int,
             threshold: "float | controls.LocalNoise",
             search_size: int, min_size: int, n_clusters: int | None, noise: bool,
             stage: Callable[[str], ContextManager[Any]] | None = None,
             tree: list[Any] | None = None) -> Clusters:
    """Clusters of the points x from their log-densities and the first
    columns of their neighbour table (narrow_widths says how many). x: the
    points, or a precomputed.CentreDistances.

    nn_dist comes in a list that this function empties: the caller holds no
    other reference, and the distances go as soon as the peaks are found.
    `stage(name)` times the two stages; `tree`, a list, receives the
    clusters of every peak and their saddles (controls.refine).
    """
    timed = stage or (lambda name: nullcontext())
    with timed("peaks"):
        dist = nn_dist.pop()
        found = pipeline.peaks(x, rho, nn_list, dist, width)
        del dist
        if pipeline.along_graph(x):
            x.set_peaks(found.centers)     # a graph's distances between peaks
    with timed("merging"):
        # Every peak found; the threshold (or, with n_clusters, the K
        # heaviest peaks) decides which stay, across their saddles.
        result = pipeline.unmerged(found)
        del found
        return controls.refine(result, x, rho, nn_list, search_size,
                               threshold if n_clusters is None else None, min_size,
                               n_clusters, noise, tree)


def least_size(n: int, k: int, n_clusters: int | None, min_cluster_size: int | None) -> int:
    """min_cluster_size as given, else the default rule."""
    if min_cluster_size is not None:
        return int(min_cluster_size)
    return pipeline.least_cluster_size(n, k, n_clusters)


def narrow(table: np.ndarray, columns: int) -> np.ndarray:
    return np.ascontiguousarray(table[:, :columns])
