"""The user guide's pictures, drawn at build time from real fits on small
seeded data sets (``.. plot::`` blocks call these functions)."""

from __future__ import annotations

import matplotlib.pyplot as plt
import numpy as np

import quarnel
from quarnel_cluster import DensityPeakClustering

COLOURS = np.array(["#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b",
                    "#e377c2", "#17becf", "#bcbd22", "#7f7f7f", "#393b79", "#ad494a",
                    "#637939", "#8c6d31", "#7b4173", "#3182bd"])


def colours(labels: np.ndarray) -> np.ndarray:
    out = COLOURS[np.mod(labels, len(COLOURS))]
    out[labels < 0] = "#bbbbbb"
    return out


def three_blobs(n: int = 900, seed: int = 1) -> np.ndarray:
    """Three blobs of different spreads along a line, the right two touching."""
    rng = np.random.default_rng(seed)
    return np.vstack([rng.normal((0.0, 0.0), 0.8, (n // 3, 2)),
                      rng.normal((5.0, 0.3), 1.0, (n // 3, 2)),
                      rng.normal((8.5, -0.2), 0.7, (n - 2 * (n // 3), 2))])


def _tidy(ax: plt.Axes, title: str) -> None:
    ax.set_title(title)
    ax.set_aspect("equal", adjustable="datalim")
    ax.set_xticks([])
    ax.set_yticks([])


def _stars(ax: plt.Axes, x: np.ndarray, centres: np.ndarray, c: np.ndarray | str) -> None:
    ax.scatter(x[centres, 0], x[centres, 1], c=c, s=140, marker="*",
               edgecolors="black", linewidths=0.8, zorder=3)


def density() -> None:
    """Points coloured by their log-density, and the density along the line
    through the blobs."""
    x = three_blobs()
    model = DensityPeakClustering().fit(x)
    fig, (left, right) = plt.subplots(1, 2, layout="constrained")
    dots = left.scatter(x[:, 0], x[:, 1], c=model.rho_, s=6, cmap="viridis")
    fig.colorbar(dots, ax=left, label="log-density rho_", shrink=0.8)
    _tidy(left, f"log-density (bandwidth {model.bandwidth_:.2f})")
    right.scatter(x[:, 0], model.rho_, c=model.rho_, s=4, cmap="viridis")
    right.set_xlabel("first coordinate")
    right.set_ylabel("log-density")
    right.set_title("three peaks, two valleys")


def nearest_denser() -> None:
    """Every point's arrow to its nearest denser neighbour; the peaks where
    no neighbour is denser."""
    x = three_blobs(360)
    # threshold=0 and min_cluster_size=1 keep every peak: the state before merging.
    peaks = DensityPeakClustering(threshold=0.0, min_cluster_size=1).fit(x)
    fig, ax = plt.subplots(layout="constrained")
    c = colours(peaks.labels_)
    up = peaks.nn_delta_
    inner = np.flatnonzero((up >= 0) & (peaks.delta_ < 1.5))
    ax.quiver(x[inner, 0], x[inner, 1], x[up[inner], 0] - x[inner, 0],
              x[up[inner], 1] - x[inner, 1], color=c[inner], angles="xy",
              scale_units="xy", scale=1, width=0.002, headwidth=4)
    ax.scatter(x[:, 0], x[:, 1], c=c, s=5, zorder=2)
    _stars(ax, x, peaks.centers_, c[peaks.centers_])
    _tidy(ax, f"each point points to its nearest denser neighbour: "
              f"{peaks.n_clusters_} peaks (stars)")


def _saddles(x: np.ndarray, model: DensityPeakClustering) -> dict[tuple[int, int], float]:
    """Highest lower density over pairs of neighbours in two clusters."""
    k = model.search_size_
    _, idx = quarnel.knn_query(x, k)
    idx = idx.reshape(len(x), -1)
    labels, rho = model.labels_, model.rho_
    out: dict[tuple[int, int], float] = {}
    for i in range(len(x)):
        for j in idx[i, 1:]:
            a, b = labels[i], labels[j]
            if a != b:
                key = (min(a, b), max(a, b))
                out[key] = max(out.get(key, -np.inf), min(rho[i], rho[j]))
    return out


def saddles() -> None:
    """The density along the line through the blobs: the initial peaks, the
    saddles between the clusters that stay, and each lower peak's height
    above its saddle against the threshold."""
    x = three_blobs()
    model = DensityPeakClustering().fit(x)
    peaks = DensityPeakClustering(threshold=0.0, min_cluster_size=1).fit(x)
    rho, centres = model.rho_, model.centers_
    fig, ax = plt.subplots(layout="constrained")
    ax.scatter(x[:, 0], rho, c=colours(model.labels_), s=4)
    ax.scatter(x[peaks.centers_, 0], rho[peaks.centers_], marker="v", c="black", s=18,
               zorder=3, label=f"the {peaks.n_clusters_} initial peaks")
    # Each saddle tests the lower of the two peaks that meet there.
    found = sorted(_saddles(x, model).items(), key=lambda kv: -kv[1])
    for side, ((a, b), level) in zip((-1, 1), found):
        low, high = sorted((a, b), key=lambda j: rho[centres[j]])
        peak = centres[low]
        ax.hlines(level, min(x[peak, 0], x[centres[high], 0]),
                  max(x[peak, 0], x[centres[high], 0]), colors="black", linestyles="dotted")
        at = x[peak, 0] + 0.25 * side
        ax.annotate("", xy=(at, rho[peak]), xytext=(at, level),
                    arrowprops={"arrowstyle": "<->", "color": "black"})
        ax.text(at + 0.15 * side, level + 0.1, f"{rho[peak] - level:.2f}", fontsize=8,
                ha="left" if side > 0 else "right")
    top = rho.max()
    ax.annotate("", xy=(11.2, top), xytext=(11.2, top - model.threshold_),
                arrowprops={"arrowstyle": "|-|", "color": "#d62728"})
    ax.text(11.0, top - model.threshold_ / 2, f"threshold\n{model.threshold_:.2f}",
            ha="right", va="center", fontsize=8, color="#d62728")
    ax.set_xlabel("first coordinate")
    ax.set_ylabel("log-density")
    ax.legend(loc="lower left", fontsize=8)
    ax.set_title("the middle peak stands more than the threshold above both its saddles")


def merging() -> None:
    """The initial peaks' groups, and the clusters left after merging."""
    x = three_blobs()
    peaks = DensityPeakClustering(threshold=0.0, min_cluster_size=1).fit(x)
    model = DensityPeakClustering().fit(x)
    fig, (left, right) = plt.subplots(1, 2, layout="constrained")
    for ax, m, title in ((left, peaks, f"{peaks.n_clusters_} initial peaks"),
                         (right, model, f"{model.n_clusters_} clusters after merging")):
        c = colours(m.labels_)
        ax.scatter(x[:, 0], x[:, 1], c=c, s=5)
        _stars(ax, x, m.centers_, c[m.centers_])
        _tidy(ax, title)


def decision_graph() -> None:
    """Clusters of the demo shapes beside their decision graph, drawn by
    quarnel_cluster.plot."""
    from quarnel_cluster.plot import plot_clusters, plot_decision_graph
    from quarnel_cluster.shapes import make_shapes
    x, _ = make_shapes(0)
    model = DensityPeakClustering().fit(x)
    fig, (left, right) = plt.subplots(1, 2, figsize=(10, 4), layout="constrained")
    plot_clusters(x, model, ax=left)
    plot_decision_graph(model, ax=right)


def prominence() -> None:
    """Clusters of the demo shapes beside what decided them: every peak's
    standing above its saddle, drawn by quarnel_cluster.plot."""
    from quarnel_cluster.plot import plot_clusters, plot_prominence
    from quarnel_cluster.shapes import make_shapes
    x, _ = make_shapes(0)
    model = DensityPeakClustering().fit(x)
    fig, (left, right) = plt.subplots(1, 2, figsize=(10, 4), layout="constrained")
    plot_clusters(x, model, ax=left)
    plot_prominence(model, ax=right)


def noise() -> None:
    """Two touching blobs in a uniform background, with and without noise=True."""
    rng = np.random.default_rng(3)
    x = np.vstack([rng.normal((0, 0), 0.7, (500, 2)), rng.normal((4, 0.5), 0.9, (500, 2)),
                   rng.uniform((-4, -4), (8, 4), (300, 2))])
    fig, axes = plt.subplots(1, 2, layout="constrained")
    for ax, flag in zip(axes, (False, True)):
        m = DensityPeakClustering(noise=flag).fit(x)
        ax.scatter(x[:, 0], x[:, 1], c=colours(m.labels_), s=5)
        extra = f", {int((m.labels_ < 0).sum())} noise (grey)" if flag else ""
        _tidy(ax, f"noise={flag}: {m.n_clusters_} clusters{extra}")


def n_clusters() -> None:
    """Two rings: the defaults cut them into arcs, n_clusters=2 joins them."""
    rng = np.random.default_rng(0)
    angle = rng.uniform(0, 2 * np.pi, 1500)
    radius = np.where(np.arange(1500) < 750, 1.0, 0.5) + rng.normal(0, 0.05, 1500)
    x = np.c_[radius * np.cos(angle), radius * np.sin(angle)]
    fig, axes = plt.subplots(1, 2, layout="constrained")
    for ax, k in zip(axes, (None, 2)):
        m = DensityPeakClustering(n_clusters=k).fit(x)
        c = colours(m.labels_)
        ax.scatter(x[:, 0], x[:, 1], c=c, s=4)
        _stars(ax, x, m.centers_, c[m.centers_])
        _tidy(ax, f"n_clusters={k}: {m.n_clusters_} clusters")
