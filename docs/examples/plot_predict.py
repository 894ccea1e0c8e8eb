"""
Fit a sample, predict the rest
==============================

For a set too large to fit at once, fit a sample and give the other points
the cluster they would join with ``predict``: it needs only the fitted model
and the new points, and can go block by block.
"""

import numpy as np
from sklearn.datasets import make_blobs

from quarnel_cluster import DensityPeakClustering, adjusted_rand_index

X, y = make_blobs(6000, centers=6, cluster_std=1.0, center_box=(-15, 15), random_state=2)

rng = np.random.default_rng(0)
sample = rng.choice(len(X), size=1500, replace=False)
model = DensityPeakClustering().fit(X[sample])

labels = np.concatenate([model.predict(block) for block in np.array_split(X, 4)])
whole = DensityPeakClustering().fit_predict(X)
print(f"sample of {len(sample)}: {model.n_clusters_} clusters")
print(f"predicted against the reference: ARI {adjusted_rand_index(y, labels):.3f}")
print(f"the whole set fitted at once:    ARI {adjusted_rand_index(y, whole):.3f}")
print(f"the two labelings agree:         ARI {adjusted_rand_index(whole, labels):.3f}")

# %%
# The sample the model was fitted on, and every point in the cluster
# ``predict`` gives it.

import matplotlib.pyplot as plt

fig, (left, right) = plt.subplots(1, 2, figsize=(9, 3.8), layout="constrained")
left.scatter(*X[sample].T, c=model.labels_, cmap="tab10", s=4)
left.set_title(f"fitted on {len(sample)} points")
right.scatter(*X.T, c=labels, cmap="tab10", s=2)
right.set_title(f"all {len(X)} points, predicted")
plt.show()
