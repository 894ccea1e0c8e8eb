"""Native helpers of the quarnel_cluster driver.

Type information for the driver's private extension, built on the same
library as quarnel (one thread pool, one PanicException). Every function
lets other Python threads run while it computes. As in quarnel, array
arguments must be NumPy arrays of exactly the dtype and dimensionality shown
(nothing is cast; "contiguous" vectors must also be C-contiguous), and every
result array is new, 1-D and C-contiguous. Neighbour tables (nn_list) may
hold int32 or int64 indices.
"""

from typing import Any, SupportsFloat, SupportsIndex, TypeAlias

import numpy as np

_Floats: TypeAlias = np.ndarray[Any, np.dtype[np.float64]]
_Indices: TypeAlias = np.ndarray[Any, np.dtype[np.int64]]
_Indices32: TypeAlias = np.ndarray[Any, np.dtype[np.int32]]
_Table: TypeAlias = _Indices | _Indices32
# One int64 element, to which a search adds its finished rows as it goes.
_Progress: TypeAlias = np.ndarray[tuple[int], np.dtype[np.int64]]

class PanicException(BaseException):
    """Raised when native code called from Python stops internally (by
    quarnel's functions too): derives from BaseException, so that handlers
    for Exception do not catch it."""

__all__ = ["knn_table", "knn_cross", "knn_wide_table", "knn_wide_cross", "nearest_denser", "nearest_denser_rows", "forest_labels",
           "highest_saddles", "highest_saddles_rows", "first_candidates",
           "merge_shallow", "within_reach", "gathered_squares", "radius_counts"]

def knn_table(x: _Floats, k: SupportsIndex, *,
              progress: _Progress | None = None) -> tuple[_Floats, _Indices32]:
    """quarnel.knn_query's rows with int32 indices (below 2^31 points):
    (nn_dist, nn_indices) as flat arrays that Python reshapes to (n, k).

    x: (n, d) float64 with 2 <= d <= 8. progress: a writable int64 array of
    shape (1,) to which the finished rows are added (relaxed atomic adds, in
    blocks of a few thousand rows) while the search runs, for another thread
    to read; it has grown by n when the call returns.
    """

def knn_cross(x_train: _Floats, x_query: _Floats, k: SupportsIndex, *,
              progress: _Progress | None = None) -> tuple[_Floats, _Indices]:
    """quarnel.knn_query_cross: (nn_dist, nn_indices) as flat arrays.

    x_train: (n, d) float64 with 2 <= d <= 8; x_query: (m, >= d). progress:
    as for knn_table, grown by m when the call returns.
    """

def knn_wide_table(x: _Floats, k: SupportsIndex, max_share: SupportsFloat | SupportsIndex
                   ) -> tuple[_Floats, _Indices32 | _Indices] | None:
    """knn_table's rows for any number of columns (int32 indices below 2^31
    points, else int64), as flat arrays; None where the search declines (a
    coordinate not finite or beyond its range, or a sample of queries
    scanning more than max_share of the points each on average).

    x: (n, d) float64, any d >= 1.
    """

def knn_wide_cross(x_train: _Floats, x_query: _Floats, k: SupportsIndex,
                   max_share: SupportsFloat | SupportsIndex) -> tuple[_Floats, _Indices] | None:
    """knn_cross's rows for any number of columns (int64 indices), or None
    where the search declines (see knn_wide_table).

    x_train: (n, d) float64; x_query: (m, d).
    """

def nearest_denser(x: _Floats, rho: _Floats, nn_list: _Table,
                   nn_dist: _Floats) -> tuple[_Floats, _Indices, _Indices]:
    """quarnel.compute_delta without the density graph: (delta, nn_delta, centers).

    x: (n, d); rho: (n,); nn_list and nn_dist: (n, k), any strides.
    """

def nearest_denser_rows(rho: _Floats, nn_list: _Table, nn_dist: _Floats,
                        diagonal: SupportsFloat | SupportsIndex
                        ) -> tuple[_Floats, _Indices, _Indices]:
    """nearest_denser for the rows of nn_list, whose entries index rho (which
    may hold more points than rows), with the diagonal given:
    (delta, nn_delta, centers).

    rho: (m,); nn_list and nn_dist: (n, k), any strides.
    """

def forest_labels(centers: _Indices, nn_delta: _Indices) -> _Indices:
    """Per point, the largest position in centers of a centre among its
    ancestors-or-self along nn_delta; -1 with none. Both contiguous."""

def highest_saddles(labels: _Indices, rho: _Floats, nn_list: _Table,
                    width: SupportsIndex) -> tuple[_Indices, _Indices, _Floats]:
    """Every pair of touching clusters a < b, ascending, with its highest
    saddle through the first width columns of nn_list: (a, b, saddle).
    labels and rho contiguous (n,); nn_list (n, k)."""

def highest_saddles_rows(labels: _Indices, rho: _Floats, nn_list: _Table,
                         width: SupportsIndex) -> tuple[_Indices, _Indices, _Floats]:
    """highest_saddles through the rows of nn_list only, whose entries index
    labels and rho (which may hold more points than rows): (a, b, saddle).
    labels and rho contiguous (m,); nn_list (n, k) with n <= m."""

def first_candidates(row: _Indices, sq: _Floats, index: _Indices, rows: SupportsIndex,
                     k: SupportsIndex) -> _Indices:
    """Per row 0 .. rows - 1, the positions of its first k candidates
    (row[e] == row) by (sq, index, position): a flat rows * k array, -1
    where a row has fewer than k. All contiguous."""

def merge_shallow(a: _Indices, b: _Indices, saddle: _Floats, peak: _Floats, rank: _Indices,
                  threshold: SupportsFloat | SupportsIndex,
                  spread: SupportsFloat | SupportsIndex, tested: _Indices
                  ) -> tuple[_Indices, _Indices, _Indices, _Indices, _Indices, _Indices,
                             _Floats]:
    """The walk down the saddles (a, b, saddle), highest first, ties in the
    given order: where two groups meet, the one whose root has the larger
    rank joins the other if its top stands less than threshold above the
    saddle. A group's top is its root's peak, or, where peaks that joined
    it earlier reach within spread of that peak, halfway between the peak
    and the highest saddle at which such a peak joined (spread < 0: the
    root's peak). tested: empty, or per saddle 1 where the test is made and
    0 where it is skipped, and then the walk also follows the merge tree
    over every saddle. Returns (root per cluster, joined roots, the roots
    they joined), the joins in the order made, then the tree's meetings
    (high roots, low roots, saddle indices, and the low root's standing:
    its top's rise above the saddle over threshold; where the test decided
    it the other way at another saddle, the standing compared there), empty
    unless tested is given. All contiguous."""

def within_reach(x: _Floats, wall: _Floats, lo: _Floats, hi: _Floats,
                 reach: SupportsFloat | SupportsIndex) -> _Indices:
    """The rows i of x ((n, d), any strides), ascending, with wall[i] <= reach
    whose distance to the box [lo, hi] (Boxes.gap: squares summed in column
    order, then the root) is at most reach."""

def gathered_squares(q: _Floats, x: _Floats, idx: _Table) -> _Floats:
    """Per row i of q ((m, d)) and column j of idx ((m, k)), the squared
    distance from q[i] to x[idx[i, j]] (x: (n, d)): squares of the
    differences added in column order from zero, as a flat array of m * k.
    Any strides."""

def radius_counts(dist: _Floats, k: SupportsIndex, radii: _Floats) -> _Indices:
    """Per radius, the number of rows of dist ((n, >= k), any strides) with c
    of their first k entries at most the radius, for c = 0 .. k: a flat
    array of len(radii) * (k + 1) counts."""
