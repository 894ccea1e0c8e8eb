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
# :func:`~quarnel_cluster.plot.plot_clusters` draws the points in the colours
# of their clusters, each cluster's centre (its density peak) starred.

from quarnel_cluster.plot import plot_clusters, plot_decision_graph, plot_prominence

fig, ax = plt.subplots(figsize=(7, 4.5), layout="constrained")
plot_clusters(X, model, ax=ax)
plt.show()

# %%
# The decision graph: every point at its log-density and its distance to the
# nearest denser point. Centres are dense and far from anything denser; the
# bar left of each is the threshold, the depth of valley a cluster needs.

fig, ax = plt.subplots(figsize=(7, 4.5), layout="constrained")
plot_decision_graph(model, ax=ax)
plt.show()

# %%
# What decided the clusters: every density peak at its log-density and its
# standing, its height above the saddle where it meets a higher peak in units
# of the depth the merging asks there. The line at 1 is the test: the
# centres (starred) stand at or above it, the noise bumps fall below, and the
# count above the line is the number of clusters.

fig, ax = plt.subplots(figsize=(7, 4.5), layout="constrained")
plot_prominence(model, ax=ax)
plt.show()
