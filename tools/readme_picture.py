"""Draws the README's picture, docs/_static/shapes.png: the demo data set
(python -m quarnel_cluster.shapes) clustered with the defaults, beside the
view of what decided its clusters: the figure the command line's --plot
draws.

    .venv/bin/python tools/readme_picture.py

Committed, so that the README shows it without a build; run again when the
clustering, the plots or the demo data change.
"""

from pathlib import Path

from quarnel_cluster import DensityPeakClustering
from quarnel_cluster.plot import figure
from quarnel_cluster.shapes import make_shapes

OUT = Path(__file__).resolve().parents[1] / "docs" / "_static" / "shapes.png"


def main() -> None:
    x, _ = make_shapes(0)
    model = DensityPeakClustering().fit(x)
    fig = figure(x, model, f"{len(x)} points, {model.n_clusters_} clusters found")
    fig.set_size_inches(9.0, 3.8)
    fig.savefig(OUT, dpi=80)
    print(f"wrote {OUT} ({OUT.stat().st_size} bytes)")


if __name__ == "__main__":
    main()
