"""The picture: clusters on the first two coordinates beside the decision
graph (log-density against delta) with the centres highlighted."""

from __future__ import annotations

import os
from typing import Any

import numpy as np

# Enough distinct colours for the usual handful of clusters; more cycle.
PALETTE = ["#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b",
           "#e377c2", "#17becf", "#bcbd22", "#7f7f7f", "#393b79", "#ad494a",
           "#637939", "#8c6d31", "#7b4173", "#3182bd"]


LEGEND_MAX = 12


def _colours(labels: np.ndarray) -> np.ndarray:
    palette = np.array(PALETTE)
    out: np.ndarray = palette[np.mod(labels, len(palette))]
    out[labels < 0] = "#000000"
    return out


def _marker_size(n: int) -> float:
    return float(np.clip(4000.0 / max(n, 1), 0.5, 16.0))


def draw(path: str | os.PathLike[str], x: np.ndarray, model: Any, title: str = "") -> None:
    """Writes a PNG of the fitted model's clusters and decision graph."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    labels = model.labels_
    centres = model.centers_
    colours = _colours(labels)
    size = _marker_size(len(x))
    fig, (left, right) = plt.subplots(1, 2, figsize=(14, 6), layout="constrained")

    left.scatter(x[:, 0], x[:, 1], c=colours, s=size, linewidths=0, rasterized=True)
    left.scatter(x[centres, 0], x[centres, 1], c=colours[centres], s=160, marker="*",
                 edgecolors="black", linewidths=1.0, zorder=3)
    if len(centres) <= LEGEND_MAX:
        sizes = np.bincount(labels[labels >= 0], minlength=len(centres))
        handles = [left.scatter([], [], c=colours[c], s=60, marker="*", edgecolors="black",
                                linewidths=0.6, label=f"{j}: {sizes[j]} points")
                   for j, c in enumerate(centres)]
        left.legend(handles=handles, title="cluster", fontsize=8, title_fontsize=9,
                    loc="upper left", bbox_to_anchor=(1.01, 1.0), framealpha=0.85)
    left.set_xlabel("x[0]")
    left.set_ylabel("x[1]")
    left.set_aspect("equal", adjustable="datalim")
    left.set_title(f"{model.n_clusters_} clusters (centres starred)")

    rho, delta = model.rho_, model.delta_
    positive = delta > 0
    right.scatter(rho[positive], delta[positive], c=colours[positive], s=size,
                  linewidths=0, rasterized=True)
    right.scatter(rho[centres], delta[centres], c=colours[centres], s=160, marker="*",
                  edgecolors="black", linewidths=1.0, zorder=3)
    right.set_yscale("log")
    right.set_xlabel("log-density  rho")
    right.set_ylabel("delta: distance to nearest denser point")
    right.text(0.01, 0.01, "centres: no denser point near them (delta = bounding-box diagonal)",
               transform=right.transAxes, va="bottom", fontsize=8, color="#444444")
    right.set_title(f"decision graph (bandwidth {model.bandwidth_:.3g}, "
                    f"threshold {model.threshold_:.2f})")
    if title:
        fig.suptitle(title)
    fig.savefig(path, dpi=110)
    plt.close(fig)
