"""Density-peak clustering on the quarnel native core.

    >>> from quarnel_cluster import DensityPeakClustering
    >>> labels = DensityPeakClustering().fit_predict(X)

The command line is ``python -m quarnel_cluster INPUT``; see ``--help``.
"""

from .estimator import DensityPeakClustering
from .metrics import adjusted_rand_index

__all__ = ["DensityPeakClustering", "adjusted_rand_index"]
