"""Quarnel — native accelerated core.

Type information for the native module. Array arguments must be NumPy arrays
of exactly the dtype and dimensionality shown (nothing is cast); "contiguous"
parameters must also be C-contiguous. Every result array is new, 1-D and
C-contiguous. Internal stops raise PanicException, which derives from
BaseException and is not a module attribute (the driver's native module,
quarnel_cluster._native, names it).
"""

from collections.abc import Sequence
from typing import Any, SupportsFloat, SupportsIndex, TypeAlias

import numpy as np

# Float and index arrays; ndim is stated in each docstring (matrices 2-D,
# vectors 1-D).
_Floats: TypeAlias = np.ndarray[Any, np.dtype[np.float64]]
_Indices: TypeAlias = np.ndarray[Any, np.dtype[np.int64]]
# Index lists: any non-string sequence of non-string sequences of integers.
_IndexLists: TypeAlias = Sequence[Sequence[SupportsIndex]]
_Float: TypeAlias = SupportsFloat | SupportsIndex
_Size: TypeAlias = SupportsIndex

__all__ = [
    "knn_query", "knn_query_cross", "epanechnikov_kde", "find_optimal_bandwidth",
    "bandwidth_estimate", "round_float", "compute_delta", "assign_cluster",
    "find_nh_tree_search", "check_cluster_stability", "stability_loop", "adaptive_trim_size",
]

def knn_query(x: _Floats, k: _Size) -> tuple[_Floats, _Indices]:
    """Build a kd-tree and query k nearest neighbors for all points.
    Returns (nn_dist, nn_indices) as flat numpy arrays that Python reshapes to (n, k).

    x: (n, d) float64 with 2 <= d <= 8 (else ValueError). Both results have
    n * min(k, n) entries, each row nearest first.
    """

def knn_query_cross(x_train: _Floats, x_query: _Floats, k: _Size) -> tuple[_Floats, _Indices]:
    """Build a kd-tree from x_train, query x_query for k nearest neighbors.
    Returns (nn_dist, nn_indices) as flat numpy arrays, shape (n_query * k,).

    x_train: (n_train, d) float64, 2 <= d <= 8; x_query: (n_query, >= d)
    float64. Rows have min(k, n_train) entries; indices refer to x_train.
    """

def epanechnikov_kde(nn_dist: _Floats, bandwidth: _Float, dim: _Size,
                     n_total: _Size) -> _Floats:
    """Compute log-density using Epanechnikov kernel from pre-computed k-NN distances.

    nn_dist: (n, k) float64. Returns rho, (n,) float64, never below
    ln(1e-300).
    """

def find_optimal_bandwidth(nn_dist_test: _Floats, h_min: _Float, h_max: _Float, dim: _Size,
                           n_train: _Size, xtol: _Float) -> tuple[float, int]:
    """Find optimal bandwidth using Brent's method on test-set negative log-likelihood.

    nn_dist_test: (n_test, k) float64, k >= 1. Searches [h_min, 0.2 * h_max].
    Returns (bandwidth, evaluations), evaluations from 1 to 101.
    """

def bandwidth_estimate(nn_dist: _Floats, x_train: _Floats,
                       x_test: _Floats) -> tuple[float, float, float]:
    """Estimate bandwidth bounds from k-NN distances.

    nn_dist: (n, k) float64; x_train: (p, d); x_test: (q, >= d). Returns
    (10 * s, s, t): s the nearest-neighbour scale, t the paired-point scale.
    """

def round_float(x: _Float) -> float:
    """Round a float to its first significant digit.

    Returns 10 ** floor(log10(abs(x))), or 0.0 for x == 0.
    """

def compute_delta(x: _Floats, rho: _Floats, nn_list: _Indices,
                  nn_dist: _Floats) -> tuple[_Floats, _Indices, _Indices, list[list[int]]]:
    """Compute delta (distance to nearest higher-density neighbor) for all points.

    Returns (delta, nn_delta, idx_centers, density_graph)

    x: (n, d) float64; rho: (n,) float64; nn_list: (n, k) int64; nn_dist:
    (n, k) float64.
    """

def assign_cluster(idx_centers: _Indices, nn_delta: _Indices,
                   density_graph: _IndexLists) -> _Indices:
    """Assign cluster labels by traversing the density tree (iterative DFS).

    idx_centers, nn_delta: 1-D int64, contiguous. Returns (len(nn_delta),)
    int64 labels, -1 where no centre reaches.
    """

def find_nh_tree_search(idx: _Size, eta: _Float, rho: _Floats, nn_list: _Indices,
                        cluster_label: _Indices, search_size: _Size) -> _Indices:
    """BFS neighborhood search within density threshold.

    rho: 1-D float64, contiguous; nn_list: 2-D int64; cluster_label: 1-D
    int64, contiguous. Returns the neighbourhood, ascending int64 indices.
    """

def check_cluster_stability(
    x: _Floats, rho: _Floats, idx_centers: _Indices, nn_delta: _Indices, delta: _Floats,
    nn_list: _Indices, cluster_label: _Indices, density_graph: _IndexLists,
    threshold: _Float, search_size: _Size,
) -> tuple[_Indices, int, _Indices, _Floats, list[list[int]]]:
    """Check cluster stability: identify and remove false positive centers.

    rho, idx_centers, nn_delta, delta and cluster_label must be contiguous.
    Returns (kept_centers, removed_count, nn_delta, delta, density_graph).
    """

def stability_loop(
    x: _Floats, rho: _Floats, idx_centers_in: _Indices, nn_delta_in: _Indices,
    delta_in: _Floats, nn_list: _Indices, density_graph_in: _IndexLists,
    threshold: _Float, search_size: _Size,
) -> tuple[_Indices, _Indices, _Indices, _Floats, list[list[int]]]:
    """Full stability loop: assign clusters + check stability until convergence.
    This avoids repeated Python↔native data conversion by keeping everything in native.

    Returns (final_idx_centers, final_cluster_label, final_nn_delta, final_delta, final_density_graph)

    rho, idx_centers_in, nn_delta_in and delta_in must be contiguous.
    """

def adaptive_trim_size(nn_dist: _Floats, bandwidth: _Float, alpha: _Float,
                       min_nh: _Size) -> int:
    """Compute effective neighborhood size after adaptive trimming.

    Returns max(median count of distances <= bandwidth * alpha per row, min_nh).
    """
