"""
Marking noise
=============

With ``noise=True`` each cluster's halo, its points less dense than its
densest point on the border with another cluster, is labelled -1. It marks
background spread between clusters; a cluster that touches no other keeps
its outliers.
"""

import matplotlib.pyplot as plt
import numpy as np

from quarnel_cluster import DensityPeakClustering

rng = np.random.default_rng(3)
X = np.vstack([rng.normal((0, 0), 0.7, (500, 2)),
               rng.normal((4, 0.5), 0.9, (500, 2)),
               rng.uniform((-4, -4), (8, 4), (300, 2))])   # background

fig, axes = plt.subplots(1, 2, figsize=(9, 3.8), layout="constrained")
for ax, noise in zip(axes, (False, True)):
    labels = DensityPeakClustering(noise=noise).fit_predict(X)
    ax.scatter(X[:, 0], X[:, 1], c=np.where(labels < 0, -1, labels), cmap="Set1_r", s=4)
    ax.set_title(f"noise={noise}: {int((labels < 0).sum())} points labelled -1")
plt.show()
