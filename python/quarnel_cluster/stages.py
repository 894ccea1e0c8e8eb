"""The order of the stages of a clustering run, in one function (`run`) for
both ways of doing them: on arrays in this process (local_stages.py, for
the estimator) and per box on a Dask cluster (distributed/run.py). A way is
an object whose methods each do one stage (the `Stages` protocol); `run`
calls them in order and itself takes the decisions made from counts alone
(the table's columns, the merging test, the widths, the least cluster
size), so that the two ways cannot take them differently.

    held-out search  the bandwidth search's query of its held-out points
                     against the others, made before any table exists,
                     where the table will not give their neighbours
    neighbours       the self neighbour table of all points; exact copies
                     show in it
    copies           with copies, the held-out search and the table again,
                     on the distinct points (in order of first appearance)
    bandwidth        the held-out points' likeliest bandwidth
    density          log-densities; the neighbourhood counts that set the
                     threshold (its noise rule) and the search width
    clusters         peaks, merging and the user's controls, on the leading
                     columns of the table

The stage objects hold the tables and let them go; `run` holds counts and
scalars only, so what a stage drops is freed.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, ContextManager, Protocol

from . import clustering, pipeline
from .progress import StageTimer


class Stages(Protocol):
    """One way of doing the stages of `run`."""

    n_points: int        # the points, copies counted
    dim: int             # the density's dimension, known after `neighbours`
    timer: StageTimer

    def columns(self, n: int) -> tuple[int, int]:
        """(k, the table's columns) for n distinct points."""

    def held_out(self, k: int, k_table: int) -> Any:
        """The bandwidth search's held-out query on the points searched
        next, if made now; else None (the search makes it)."""

    def searching(self) -> ContextManager[Any]:
        """Around the neighbour search of all points, the copies and the
        search of the distinct points."""

    def neighbours(self, k_table: int) -> tuple[int, bool]:
        """The table of all points: (the distinct points' count, whether the
        table is to be made again on the distinct points)."""

    def search_distinct(self, k_table: int) -> None:
        """The table of the distinct points, the first table gone."""

    def complete_table(self, k_table: int) -> None:
        """The table made whole, ready for the stages after it."""

    def bandwidth(self, k: int, k_table: int, held_out: Any) -> float:
        """The bandwidth search's answer (pipeline.optimal_bandwidth's)."""

    def density(self, k: int, bandwidth: float) -> tuple[int | None, int]:
        """The log-densities, kept; (the median number of neighbours within
        one bandwidth, or None with a threshold given; the search width)."""

    def clusters(self, k: int, rule: Any, width: int, list_width: int, search_size: int,
                 min_size: int) -> Any:
        """The clusters from the densities and the table's leading columns."""


@dataclass(frozen=True)
class Run:
    """What `run` decided and found."""
    n: int                # distinct points
    k: int                # neighbours per point
    bandwidth: float
    threshold: float      # the merging depth where m points weigh (or the one given)
    rule: Any             # the merging test: pipeline.local_noise's, or the threshold
    search_size: int
    min_size: int
    clusters: Any         # the stages' clusters


def run(stages: Stages, s: Any) -> Run:
    """The stages of a run in their order; `s`: the parameters, by name
    (n_neighbors, bandwidth, threshold, ... as the estimator's)."""
    k, k_table = stages.columns(stages.n_points)
    held_out = stages.held_out(k, k_table)
    with stages.searching():
        n, again = stages.neighbours(k_table)
        if n < 2:
            raise ValueError("all points of X coincide; there is nothing to cluster")
        k, k_table = stages.columns(n)
        if again:
            # The query of all points goes before that of the distinct ones
            # is made.
            held_out = None
            held_out = stages.held_out(k, k_table)
            stages.search_distinct(k_table)
        stages.complete_table(k_table)
    with stages.timer.stage("bandwidth"):
        if s.bandwidth is None:
            bandwidth = stages.bandwidth(k, k_table, held_out)
        else:
            bandwidth = float(s.bandwidth)
        del held_out
    with stages.timer.stage("density"):
        m, search_size = stages.density(k, bandwidth)
    if s.threshold is None:
        threshold = pipeline.threshold_from(n, m, s.threshold_scale)
        rule = pipeline.local_noise(n, bandwidth, stages.dim, threshold, m, k)
    else:
        threshold = rule = float(s.threshold)
    width, list_width = clustering.narrow_widths(k, s.delta_neighbors, search_size)
    min_size = clustering.least_size(n, k, s.n_clusters, s.min_cluster_size)
    found = stages.clusters(k, rule, width, list_width, search_size, min_size)
    return Run(n, k, bandwidth, threshold, rule, search_size, min_size, found)
