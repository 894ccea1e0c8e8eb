"""The distributed run, on a Dask cluster (``pip install quarnel[dask]``).

    >>> from quarnel_cluster.distributed import DensityPeakClustering
    >>> model = DensityPeakClustering(client=client).fit(points)   # a Dask array
    >>> labels = model.labels_.compute()
"""

from .estimator import DensityPeakClustering

__all__ = ["DensityPeakClustering"]
