"""
Rings and moons: where the defaults fall short
==============================================

Along a ring or a moon the density is even: the estimate has only random
bumps, and the deeper ones survive as clusters, so the defaults cut such
shapes into arcs. Giving ``n_clusters`` joins the arcs along the merge tree;
HDBSCAN, which follows connected dense regions, finds them by itself.
"""

import matplotlib.pyplot as plt
from sklearn.cluster import HDBSCAN
from sklearn.datasets import make_circles, make_moons

from quarnel_cluster import DensityPeakClustering

sets = {"circles": make_circles(1500, noise=0.05, factor=0.5, random_state=1)[0],
        "moons": make_moons(1500, noise=0.06, random_state=0)[0]}
methods = {"defaults": DensityPeakClustering(),
           "n_clusters=2": DensityPeakClustering(n_clusters=2),
           "HDBSCAN": HDBSCAN(copy=True)}

fig, axes = plt.subplots(2, 3, figsize=(9, 6), layout="constrained")
for row, (name, X) in zip(axes, sets.items()):
    for ax, (method, model) in zip(row, methods.items()):
        labels = model.fit_predict(X)
        ax.scatter(X[:, 0], X[:, 1], c=labels, cmap="tab10", s=3)
        ax.set_title(f"{name}, {method}: {labels.max() + 1} clusters", fontsize=9)
        ax.set_xticks([])
        ax.set_yticks([])
plt.show()
