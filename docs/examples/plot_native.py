"""
The native module, step by step
===============================

The estimator strings together functions of the native module
:mod:`quarnel`; they can be called directly. Here: the exact k nearest
neighbours, a log-density from them, and each point's nearest denser
neighbour, whose points without one are the density peaks.
"""

import matplotlib.pyplot as plt
import numpy as np

import quarnel

rng = np.random.default_rng(0)
x = np.vstack([rng.normal((0, 0), 1.0, (1000, 2)), rng.normal((5, 1), 0.7, (1000, 2))])
k = 16

nn_dist, nn_list = quarnel.knn_query(x, k)          # flat, nearest first
nn_dist, nn_list = nn_dist.reshape(-1, k), nn_list.reshape(-1, k)
rho = quarnel.epanechnikov_kde(nn_dist, 0.5, x.shape[1], len(x))
delta, nn_delta, centers, graph = quarnel.compute_delta(x, rho, nn_list, nn_dist)
print(f"{len(centers)} density peaks among {len(x)} points")

fig, ax = plt.subplots(figsize=(6, 4))
ax.scatter(x[:, 0], x[:, 1], c=rho, s=4)
ax.scatter(*x[centers].T, marker="*", s=120, c="red", edgecolors="black")
ax.set_title("log-density and its peaks (before any merging)")
plt.show()
