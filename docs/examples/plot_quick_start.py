"""
Quick start
===========

Cluster the demo data set, five shapes of different sizes and densities,
with the default parameters, and compare with the reference labels.
"""

import matplotlib.pyplot as plt
import numpy as np

from quarnel_cluster import DensityPeakClustering, adjusted_rand_index
from quarnel_cluster.shapes import make_shapes

X, y = make_shapes(seed=0)
model = DensityPeakClustering().fit(X)
print(f"{model.n_clusters_} clusters, sizes {np.bincount(model.labels_).tolist()}")
print(f"bandwidth {model.bandwidth_:.3f}, threshold {model.threshold_:.3f}")
print(f"adjusted Rand index against the reference: {adjusted_rand_index(y, model.labels_):.3f}")

# %%
# Each cluster's centre is its density peak: ``centers_`` holds their rows.

fig, ax = plt.subplots(figsize=(6, 4.5))
ax.scatter(X[:, 0], X[:, 1], c=model.labels_, cmap="tab10", s=4)
ax.scatter(*X[model.centers_].T, marker="*", s=200, c="white", edgecolors="black")
ax.set_aspect("equal")
ax.set_title("five shapes, five clusters")
plt.show()

# %%
# The decision graph: every point at its log-density and its distance to the
# nearest denser point. Centres are dense and far from anything denser.

fig, ax = plt.subplots(figsize=(6, 4))
ax.scatter(model.rho_, model.delta_, c=model.labels_, cmap="tab10", s=4)
ax.set_yscale("log")
ax.set_xlabel("log-density rho_")
ax.set_ylabel("delta_")
plt.show()
