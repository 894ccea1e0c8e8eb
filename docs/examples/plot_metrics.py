"""
Cosine distance and neighbour graphs
====================================

Directions, not lengths, carry the meaning of many embeddings:
``metric="cosine"`` clusters rows by their angle. Any other distance can be
used through a neighbour graph, which ``metric="precomputed"`` takes as X.
"""

import matplotlib.pyplot as plt
import numpy as np
from sklearn.neighbors import NearestNeighbors

from quarnel_cluster import DensityPeakClustering, adjusted_rand_index

# Three directions in 3-D, each row short or long: the lengths say nothing
# of the group, the directions do.
rng = np.random.default_rng(0)
directions = np.array([[1.0, 0.2, 0.0], [0.1, 1.0, 0.3], [0.2, 0.1, 1.0]])
truth = np.repeat(np.arange(3), 700)
lengths = rng.choice([1.0, 4.0], size=(2100, 1)) * rng.normal(1.0, 0.05, (2100, 1))
X = (directions[truth] + rng.normal(0, 0.12, (2100, 3))) * lengths

euclidean = DensityPeakClustering().fit_predict(X)
cosine = DensityPeakClustering(metric="cosine").fit_predict(X)
print(f"euclidean: {euclidean.max() + 1} clusters, ARI {adjusted_rand_index(truth, euclidean):.2f}")
print(f"cosine:    {cosine.max() + 1} clusters, ARI {adjusted_rand_index(truth, cosine):.2f}")

# %%
# The same points through a neighbour graph of cosine distances made by
# scikit-learn: the clusters follow the distance the graph holds.

graph = NearestNeighbors(n_neighbors=30, metric="cosine").fit(X).kneighbors_graph(mode="distance")
model = DensityPeakClustering(metric="precomputed").fit(graph)
print(f"graph:     {model.n_clusters_} clusters, "
      f"ARI {adjusted_rand_index(truth, model.labels_):.2f}")

fig, axes = plt.subplots(1, 2, figsize=(9, 4), layout="constrained")
for ax, labels, title in zip(axes, (euclidean, cosine), ("euclidean", "cosine")):
    ax.scatter(X[:, 0], X[:, 1], c=labels, cmap="tab10", s=3)
    ax.set_title(f"metric={title!r}: {labels.max() + 1} clusters")
    ax.set_xlabel("x[0]")
    ax.set_ylabel("x[1]")
plt.show()
