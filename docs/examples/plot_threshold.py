"""
The threshold and the least cluster size
========================================

A peak stays a cluster only if a valley deeper than ``threshold_`` separates
it from every denser one. ``threshold_scale`` (default 1.1) multiplies the
noise depth the threshold is computed from: smaller values keep more peaks,
larger ones merge more. ``min_cluster_size`` then joins clusters that are too
small to a neighbour. The data: eight blobs of different spreads, two of
them overlapping.
"""

import matplotlib.pyplot as plt
from sklearn.datasets import make_blobs

from quarnel_cluster import DensityPeakClustering

X, _ = make_blobs(3000, centers=8, cluster_std=[0.5, 1.0, 1.5, 0.8] * 2,
                  center_box=(-10, 10), random_state=4)

settings = [{"threshold_scale": 0.5, "min_cluster_size": 1},
            {"threshold_scale": 0.5},
            {},
            {"threshold_scale": 4.0}]
fig, axes = plt.subplots(1, 4, figsize=(12, 3.4), layout="constrained")
for ax, params in zip(axes, settings):
    model = DensityPeakClustering(**params).fit(X)
    ax.scatter(X[:, 0], X[:, 1], c=model.labels_ % 20, cmap="tab20", s=2)
    ax.set_title(f"{params or 'defaults'}\n{model.n_clusters_} clusters, "
                 f"threshold {model.threshold_:.2f}", fontsize=8)
    ax.set_xticks([])
    ax.set_yticks([])
plt.show()
