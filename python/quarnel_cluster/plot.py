"""Pictures of a fitted DensityPeakClustering: the clusters; the decision
graph (log-density against the distance to a denser point) with the
centres starred; and what decided the clusters, every peak's standing
above its saddle against its log-density.

    >>> from quarnel_cluster import plot_clusters, plot_decision_graph, plot_prominence
    >>> ax = plot_clusters(X, model)
    >>> ax = plot_decision_graph(model)
    >>> ax = plot_prominence(model)

Each draws on the matplotlib Axes given, or on a new figure made by pyplot
(so that a notebook shows it), and returns the Axes. `figure` makes the
clusters and the standings two panels of a matplotlib Figure of its own,
without pyplot, for writing to a file.
"""

from __future__ import annotations

import os
import sys
from typing import Any

import numpy as np

# Enough distinct colours for the usual handful of clusters; more cycle.
PALETTE = ["#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b",
           "#e377c2", "#17becf", "#bcbd22", "#7f7f7f", "#393b79", "#ad494a",
           "#637939", "#8c6d31", "#7b4173", "#3182bd"]
# Noise (label -1): light, and drawn first, so that the clusters stand out.
NOISE = "#b0b0b0"
# Clusters named one by one (legend, numbers at the centres) up to this many.
LEGEND_MAX = 12


def _colours(labels: np.ndarray) -> np.ndarray:
    palette = np.array(PALETTE)
    out: np.ndarray = palette[np.mod(labels, len(palette))]
    out[labels < 0] = NOISE
    return out


def _marker_size(n: int) -> float:
    return float(np.clip(4000.0 / max(n, 1), 0.5, 16.0))


def _axes(ax: Any) -> Any:
    if ax is None:
        import matplotlib.pyplot as plt
        _, ax = plt.subplots(figsize=(7, 6), layout="constrained")
    return ax


def _fitted(model: Any) -> tuple[np.ndarray, np.ndarray]:
    if not hasattr(model, "labels_"):
        from ._params import not_fitted_error
        raise not_fitted_error(f"This {type(model).__name__} instance is not fitted yet. Call "
                               "'fit' with appropriate arguments before plotting it.")
    return np.asarray(model.labels_), np.asarray(model.centers_, dtype=np.int64)


def _is_sparse(X: Any) -> bool:
    sparse = sys.modules.get("scipy.sparse")
    return sparse is not None and bool(sparse.issparse(X))


def _points(X: Any, n: int) -> tuple[np.ndarray, list[str] | None]:
    """X as a float matrix (a vector: one column) and, for a DataFrame, its
    column names."""
    if _is_sparse(X):
        raise ValueError("the plots draw points, not a neighbour graph: give them the points "
                         "the graph was made from")
    names = None
    if hasattr(X, "columns") and hasattr(X, "to_numpy"):
        names = [str(c) for c in X.columns]
        x = X.to_numpy(dtype=np.float64, na_value=np.nan)
    else:
        x = np.asarray(X, dtype=np.float64)
    if x.ndim == 1:
        x = x[:, None]
    if x.ndim != 2:
        raise ValueError(f"Expected 2D array, got {x.ndim}D array instead.")
    if len(x) != n:
        raise ValueError(f"X has {len(x)} rows, but the model was fitted on {n} points")
    return x, names


def principal_components(x: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The points on their first two principal components, and the share of
    the variance each one carries. From the columns' covariance matrix (d x
    d), not an SVD of the n x d points; signs fixed so that a component's
    largest loading is positive."""
    centred = x - x.mean(axis=0)
    values, vectors = np.linalg.eigh(centred.T @ centred)
    top = np.argsort(values)[::-1][:2]
    vectors = vectors[:, top]
    biggest = np.abs(vectors).argmax(axis=0)
    vectors = vectors * np.sign(vectors[biggest, np.arange(vectors.shape[1])])
    total = float(values.sum())
    share = values[top] / total if total > 0 else np.zeros(len(top))
    return centred @ vectors, share


def _plane(x: np.ndarray, names: list[str] | None) -> tuple[np.ndarray, str, str, bool]:
    """Where the points are drawn, the axes' labels, and whether the two
    axes share units: 1 column, its values against their rank; 2, as they
    are; more, the first two principal components."""
    n, d = x.shape
    if d == 1:
        rank = np.empty(n)
        rank[np.argsort(x[:, 0], kind="stable")] = np.arange(n)
        name = names[0] if names else "x[0]"
        return np.column_stack([rank, x[:, 0]]), f"rank of {name}", name, False
    if d == 2:
        first, second = names if names else ["x[0]", "x[1]"]
        return x, first, second, True
    xy, share = principal_components(x)
    return xy, f"PC 1 ({share[0]:.0%} of variance)", f"PC 2 ({share[1]:.0%} of variance)", True


def plot_clusters(X: Any, model: Any, ax: Any = None) -> Any:
    """Draw the points of X in the colours of their clusters, centres starred.

    One column is drawn against the points' rank, two as they are, more on
    their first two principal components (the axes say how much of the
    variance each carries). Noise (label -1) is grey.

    Parameters
    ----------
    X : array-like or pandas.DataFrame of shape (n_samples, n_features)
        The points the model was fitted on. A DataFrame's column names
        label the axes.
    model : DensityPeakClustering
        The fitted estimator.
    ax : matplotlib.axes.Axes or None, default=None
        Where to draw; None: a new figure (made by pyplot).

    Returns
    -------
    ax : matplotlib.axes.Axes
        The Axes drawn on.
    """
    labels, centres = _fitted(model)
    x, names = _points(X, len(labels))
    ax = _axes(ax)
    xy, xlabel, ylabel, same_units = _plane(x, names)
    colours = _colours(labels)
    size = _marker_size(len(xy))
    noise = labels < 0
    if noise.any():
        ax.scatter(xy[noise, 0], xy[noise, 1], c=NOISE, s=size, linewidths=0,
                   rasterized=True, zorder=1)
    ax.scatter(xy[~noise, 0], xy[~noise, 1], c=colours[~noise], s=size, linewidths=0,
               rasterized=True, zorder=2)
    ax.scatter(xy[centres, 0], xy[centres, 1], c=colours[centres], s=160, marker="*",
               edgecolors="black", linewidths=1.0, zorder=3)
    if len(centres) <= LEGEND_MAX:
        sizes = np.bincount(labels[~noise], minlength=len(centres))
        handles = [ax.scatter([], [], c=colours[c], s=60, marker="*", edgecolors="black",
                              linewidths=0.6, label=f"{j}: {sizes[j]} points")
                   for j, c in enumerate(centres)]
        if noise.any():
            handles.append(ax.scatter([], [], c=NOISE, s=20,
                                      label=f"noise: {int(noise.sum())} points"))
        ax.legend(handles=handles, title="cluster", fontsize=8, title_fontsize=9,
                  loc="upper left", bbox_to_anchor=(1.01, 1.0), framealpha=0.85)
    ax.set_xlabel(xlabel)
    ax.set_ylabel(ylabel)
    if same_units:
        ax.set_aspect("equal", adjustable="datalim")
    ax.set_title(f"{len(centres)} clusters (centres starred)")
    return ax


def _centre_coordinates(model: Any, centres: np.ndarray) -> np.ndarray:
    """The centres' coordinates, from the model alone: cluster_centers_, or
    the distinct points (points_) of the rows centers_ names."""
    found = getattr(model, "cluster_centers_", None)
    if found is not None:
        return np.asarray(found, dtype=np.float64)
    points = getattr(model, "points_", None)
    if points is not None:
        # points_ holds the first occurrence of every point, in order; a
        # later copy has a distance of 0 to its first occurrence.
        distinct = np.asarray(model.delta_) != 0.0
        if int(distinct.sum()) == len(points):
            return np.asarray(points)[(np.cumsum(distinct) - 1)[centres]]
    raise ValueError(f"the centres' coordinates cannot be told from this "
                     f"{type(model).__name__}: give plot_decision_graph the points it was "
                     "fitted on (X=...)")


def _graph_distances(graph: Any, centres: np.ndarray) -> np.ndarray:
    """Shortest paths between the centres along a neighbour graph (edges
    both ways), k x k; inf between centres it does not connect."""
    from scipy.sparse.csgraph import dijkstra
    # A few centres' rows of n distances at a time.
    step = max(1, 2**24 // max(graph.shape[0], 1))
    return np.vstack([dijkstra(graph, directed=False, indices=centres[i:i + step])[:, centres]
                      for i in range(0, len(centres), step)])


def _separation(model: Any, centres: np.ndarray, X: Any) -> tuple[np.ndarray, int]:
    """For each centre, its distance (in the model's metric) to the nearest
    centre of higher density (ties: the one listed first counts as higher);
    and the highest centre, which has none (nan, as for centres the graph of
    metric="precomputed" does not link to a denser one)."""
    rho = np.asarray(model.rho_, dtype=np.float64)[centres]
    metric = getattr(model, "metric", "euclidean")
    if metric == "precomputed":
        if not _is_sparse(X):
            raise ValueError("with metric='precomputed', plot_decision_graph measures the "
                             "centres apart along the neighbour graph: give it (X=...)")
        table = _graph_distances(X, centres)

        def apart(i: int, others: np.ndarray) -> np.ndarray:
            return table[i, others]  # type: ignore[no-any-return]
    else:
        if X is not None:
            at = _points(X, len(np.asarray(model.labels_)))[0][centres]
        else:
            at = _centre_coordinates(model, centres)
        if metric == "cosine":
            # As the model compares them: on the unit sphere.
            at = at / np.linalg.norm(at, axis=1, keepdims=True)

        def apart(i: int, others: np.ndarray) -> np.ndarray:
            return np.sqrt(((at[others] - at[i]) ** 2).sum(axis=1))

    k = len(rho)
    order = np.lexsort((np.arange(k), -rho))
    out = np.full(k, np.nan)
    for i in range(1, k):
        out[order[i]] = apart(order[i], order[:i]).min()
    out[~np.isfinite(out)] = np.nan
    return out, int(order[0]) if k else -1


def plot_decision_graph(model: Any, ax: Any = None, X: Any = None) -> Any:
    """Draw the decision graph: every point's log-density (rho) against its
    distance to the nearest denser point (delta), centres starred.

    Every point below the stars either has a denser point near it or joined
    another peak in the merging step. A remaining centre has no denser point
    near it; it is drawn at its distance to the nearest centre of higher
    density, and the highest centre above them all, at its delta_ (the
    data's bounding-box diagonal), so that every centre stands apart. The threshold is the depth
    in log-density of the valley that must separate a cluster from every
    denser one: a bar of that length runs left from each centre.

    Parameters
    ----------
    model : DensityPeakClustering
        The fitted estimator.
    ax : matplotlib.axes.Axes or None, default=None
        Where to draw; None: a new figure (made by pyplot).
    X : array-like or sparse matrix of shape (n_samples, n_features) or None, \
default=None
        The points the model was fitted on, where the model cannot tell its
        centres' coordinates itself; with metric="precomputed", the
        neighbour graph it was fitted on, along which the centres are
        measured apart.

    Returns
    -------
    ax : matplotlib.axes.Axes
        The Axes drawn on.
    """
    labels, centres = _fitted(model)
    rho = np.asarray(model.rho_, dtype=np.float64)
    delta = np.asarray(model.delta_, dtype=np.float64)
    y, top = _separation(model, centres, X)
    # The highest centre (and any that no path links to a denser one) above
    # the others: at its delta_, the largest distance the model knows (for
    # coordinates, the bounding box's diagonal).
    none = np.isnan(y)
    y[none] = max(float(delta[centres].max(initial=0.0)), float(np.nanmax(y, initial=0.0)))
    ax = _axes(ax)
    colours = _colours(labels)
    size = _marker_size(len(rho))

    points = delta > 0
    points[centres] = False
    ax.scatter(rho[points], delta[points], c=colours[points], s=size, linewidths=0,
               rasterized=True)
    x = rho[centres]
    threshold = float(model.threshold_)
    if getattr(model, "n_clusters", None) is None:
        ax.hlines(y, x - threshold, x, colors=colours[centres], linewidths=2.0, alpha=0.6,
                  zorder=2)
        ax.plot([], [], color="#444444", linewidth=2.0,
                label=f"threshold {threshold:.3g}: the valley a cluster needs")
        setting = f"threshold {threshold:.3g}"
    else:
        setting = f"n_clusters={model.n_clusters}, no threshold"
    ax.scatter(x, y, c=colours[centres], s=160, marker="*", edgecolors="black",
               linewidths=1.0, zorder=3,
               label="centres, at the distance to the nearest denser one")
    if len(centres) <= LEGEND_MAX:
        for j in range(len(centres)):
            ax.annotate(str(j), (x[j], y[j]), xytext=(6, 4), textcoords="offset points",
                        fontsize=8)
    if top >= 0:
        ax.annotate("highest peak", (x[top], y[top]), xytext=(0, 10),
                    textcoords="offset points", ha="center", fontsize=8, color="#444444")
    ax.set_yscale("log")
    ax.set_xlabel("log-density  rho")
    ax.set_ylabel("delta: distance to the nearest denser point")
    ax.legend(loc="lower left", fontsize=8, framealpha=0.85)
    # Room above the highest centre for its note.
    ax.margins(x=0.08, y=0.1)
    ax.set_title(f"decision graph (bandwidth {float(model.bandwidth_):.3g}, {setting})")
    return ax


def _standings(model: Any) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """From the merge tree: per meeting, the lower peak (a row of X), its
    log-density and its standing; and the peaks that never meet a higher
    one (the highest of each part of the data), with the final centres
    that are in no meeting at all."""
    _fitted(model)
    tree = model.merge_tree_
    low = np.asarray(tree["low"], dtype=np.int64)
    centres = np.asarray(model.centers_, dtype=np.int64)
    roots = np.union1d(np.setdiff1d(np.asarray(tree["high"], dtype=np.int64), low),
                       np.setdiff1d(centres, low))
    return low, np.asarray(tree["low_peak"], float), np.asarray(tree["standing"], float), roots


def plot_prominence(model: Any, ax: Any = None) -> Any:
    """Draw what decided the clusters: every density peak's standing above
    the saddle where it meets a higher peak, against its log-density.

    Walking down the saddles between the density peaks, each peak meets a
    higher one once (``merge_tree_``). Its standing is its height above that
    saddle in units of the depth the merging test asks there (by default
    the depth the estimate's own noise asks where the peak and the saddle
    are; with ``threshold``, that depth in log-density): a peak at or above
    the line at 1 stands apart, one below joins the higher peak. The final
    centres are starred in their clusters' colours, the highest peak of
    each part of the data (which meets no higher one) drawn above them all
    on a dotted line, and the count at or above the line is the number of
    clusters the test gives. A peak above the line left without a star was merged after the
    test: inside a node of the merge tree that holds more excess of mass
    (by default), too small for ``min_cluster_size``, or, with ``n_clusters``, not
    among the heaviest peaks (standing times points), which are the centres
    then.

    Parameters
    ----------
    model : DensityPeakClustering
        The fitted estimator (either one: only its merge tree and centres
        are read).
    ax : matplotlib.axes.Axes or None, default=None
        Where to draw; None: a new figure (made by pyplot).

    Returns
    -------
    ax : matplotlib.axes.Axes
        The Axes drawn on.
    """
    low, peak, standing, roots = _standings(model)
    centres = np.asarray(model.centers_, dtype=np.int64)
    colour_of = dict(zip(centres.tolist(), _colours(np.arange(len(centres))).tolist()))
    ax = _axes(ax)
    shown = standing[np.isfinite(standing)]
    positive = shown[shown > 0]
    # A log scale once the standings span much more than the line's
    # neighbourhood; standings of 0 (a bump no higher than its saddle) sit
    # on its floor.
    log = len(positive) > 0 and positive.max() / max(positive.min(), 1e-300) > 30
    floor = max(0.5 * positive.min(), 1e-3) if log else 0.0
    high = max(float(shown.max(initial=1.0)), 1.0)
    ceiling = high * 2.0 if log else high * 1.15 + 0.1
    y = np.clip(standing, floor, ceiling)
    centre = np.isin(low, centres)
    apart = (standing >= 1.0) & ~centre
    ax.scatter(peak[~centre & ~apart], y[~centre & ~apart], s=12, c=NOISE, linewidths=0,
               label="peaks that joined a higher one", zorder=1)
    if apart.any():
        ax.scatter(peak[apart], y[apart], s=40, facecolors="none", edgecolors="#444444",
                   linewidths=1.0, zorder=2,
                   label="stood apart, merged later (mass, size or n_clusters)")
    ax.axhline(1.0, color="#444444", linewidth=1.2, linestyle="--", zorder=0,
               label="1: the depth the test asks")
    rho = np.asarray(model.rho_[roots] if len(roots) else np.empty(0), dtype=np.float64)
    # The highest peak of each part of the data meets no higher one: on top.
    at_x = np.concatenate([peak[centre], rho])
    at_y = np.concatenate([y[centre], np.full(len(roots), ceiling)])
    rows = np.concatenate([low[centre], roots])
    is_centre = np.isin(rows, centres)
    ax.scatter(at_x[is_centre], at_y[is_centre],
               c=[colour_of[r] for r in rows[is_centre].tolist()], s=160, marker="*",
               edgecolors="black", linewidths=1.0, zorder=3, label="centres")
    if (~is_centre).any():
        ax.scatter(at_x[~is_centre], at_y[~is_centre], s=40, facecolors="none",
                   edgecolors="#444444", marker="^", zorder=2)
    if len(centres) <= LEGEND_MAX:
        label = {c: j for j, c in enumerate(centres.tolist())}
        for xx, yy, r in zip(at_x[is_centre], at_y[is_centre], rows[is_centre].tolist()):
            ax.annotate(str(label[r]), (xx, yy), xytext=(6, 4), textcoords="offset points",
                        fontsize=8)
    if len(roots):
        ax.axhline(ceiling, color="#444444", linewidth=0.6, linestyle=":", zorder=0)
        ax.annotate("meet no higher peak", (0.01, ceiling), xycoords=("axes fraction", "data"),
                    xytext=(0, 3), textcoords="offset points", fontsize=8, color="#444444")
    if log:
        ax.set_yscale("log")
    ax.set_xlabel("log-density of the peak")
    ax.set_ylabel("standing: height above its saddle / depth asked")
    ax.legend(loc="lower left", fontsize=8, framealpha=0.85)
    ax.margins(x=0.08, y=0.1)
    stands = int((standing >= 1.0).sum()) + len(roots)
    asked = getattr(model, "n_clusters", None)
    kept = len(centres)
    ax.set_title(f"what decided: {stands} peaks stand apart"
                 + (f", {kept} kept" if asked is None and kept != stands else "")
                 + ("" if asked is None else f", n_clusters={asked} kept the heaviest"))
    return ax


def figure(x: Any, model: Any, title: str = "") -> Any:
    """The clusters beside the peaks' standings (plot_prominence), on a matplotlib Figure made without pyplot
    (nothing shown, no backend chosen): for ``fig.savefig(path)``.

    Parameters
    ----------
    x : array-like or pandas.DataFrame of shape (n_samples, n_features)
        The points the model was fitted on.
    model : DensityPeakClustering
        The fitted estimator.
    title : str, default=""
        The figure's title.

    Returns
    -------
    fig : matplotlib.figure.Figure
    """
    from matplotlib.figure import Figure
    fig = Figure(figsize=(14, 6), layout="constrained")
    left, right = fig.subplots(1, 2)
    plot_clusters(x, model, ax=left)
    # What decided the clusters, read without the points' coordinates: the
    # rho-delta view (plot_decision_graph) places the centres, this one
    # shows the test that kept them and how far the rest fell short.
    plot_prominence(model, ax=right)
    if title:
        fig.suptitle(title)
    return fig


def draw(path: str | os.PathLike[str], x: Any, model: Any, title: str = "") -> None:
    """Writes `figure(x, model, title)` to path (its suffix names the format)."""
    figure(x, model, title).savefig(path, dpi=110)
