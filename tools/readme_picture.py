"""Draws the README's picture, docs/_static/shapes.png: the demo data set
(python -m quarnel_cluster.shapes) clustered with the defaults, beside its
decision graph.

    .venv/bin/python tools/readme_picture.py

Committed, so that the README shows it without a build; run again when the
clustering or the demo data change.
"""

from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

from quarnel_cluster import DensityPeakClustering  # noqa: E402
from quarnel_cluster.shapes import make_shapes  # noqa: E402

OUT = Path(__file__).resolve().parents[1] / "docs" / "_static" / "shapes.png"
COLOURS = np.array(["#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd",
                    "#8c564b", "#e377c2", "#17becf"])


def main() -> None:
    x, _ = make_shapes(0)
    model = DensityPeakClustering().fit(x)
    colour = COLOURS[model.labels_ % len(COLOURS)]
    centres = model.centers_

    fig, (left, right) = plt.subplots(1, 2, figsize=(8.0, 3.4), layout="constrained")
    left.scatter(x[:, 0], x[:, 1], c=colour, s=3, linewidths=0)
    left.scatter(x[centres, 0], x[centres, 1], c=colour[centres], s=110, marker="*",
                 edgecolors="black", linewidths=0.8)
    left.set_aspect("equal", adjustable="datalim")
    left.set_title(f"{len(x)} points, {model.n_clusters_} clusters found", fontsize=10)
    left.set_xticks([])
    left.set_yticks([])

    # A centre's delta_ is the data's diagonal, the same for every centre;
    # drawn at its distance to the nearest denser point of the whole set,
    # each centre stands where it can be told apart.
    rho = model.rho_
    apart = np.array([np.min(np.linalg.norm(x[rho > rho[c]] - x[c], axis=1))
                      if np.any(rho > rho[c]) else np.max(np.linalg.norm(x - x[c], axis=1))
                      for c in centres])
    others = np.setdiff1d(np.arange(len(x)), centres)
    right.scatter(rho[others], model.delta_[others], c=colour[others], s=3, linewidths=0)
    right.scatter(rho[centres], apart, c=colour[centres], s=110,
                  marker="*", edgecolors="black", linewidths=0.8)
    right.set_yscale("log")
    right.set_xlabel("log-density", fontsize=9)
    right.set_ylabel("distance to a denser point", fontsize=9)
    right.set_title("decision graph: centres stand apart", fontsize=10)
    right.tick_params(labelsize=8)
    fig.savefig(OUT, dpi=80)
    print(f"wrote {OUT} ({OUT.stat().st_size} bytes)")


if __name__ == "__main__":
    main()
