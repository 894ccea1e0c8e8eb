"""python -m quarnel_cluster INPUT: cluster a file of points, print a summary,
optionally write the labels and a picture."""

from __future__ import annotations

import argparse
import sys
from typing import Sequence

import numpy as np

from . import files
from .estimator import DensityPeakClustering
from .metrics import adjusted_rand_index
from .progress import StageTimer

DESCRIPTION = """\
Density-peak clustering of the points in INPUT: CSV, whitespace-separated
text or .npy, optionally gzipped; one point per row, any number of columns
(more than 8 take a brute-force search). Prints a summary; the defaults need
no tuning."""


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="python -m quarnel_cluster", description=DESCRIPTION)
    p.add_argument("input", metavar="INPUT", help="file of points")
    p.add_argument("--labels", metavar="FILE",
                   help="reference labels, one integer per point: adds the adjusted Rand index")
    p.add_argument("--noise-label", type=int, metavar="L",
                   help="reference label of noise points, left out of the Rand index")
    p.add_argument("--out", metavar="FILE",
                   help="write the cluster labels, one per line (.npy: a NumPy array)")
    p.add_argument("--plot", metavar="FILE.png",
                   help="draw the clusters beside the decision graph (needs matplotlib)")
    p.add_argument("--standardize", action="store_true",
                   help="scale every column to mean 0 and standard deviation 1 first")
    p.add_argument("--bandwidth", type=float, help="kernel bandwidth (default: chosen)")
    p.add_argument("--threshold", type=float,
                   help="log-density drop separating clusters (default: from the noise level)")
    p.add_argument("--n-neighbors", type=int, default=30, help="neighbours per point (30)")
    p.add_argument("--n-clusters", type=int, metavar="K",
                   help="return the K clusters whose density peaks weigh the most "
                        "(prominence times points)")
    p.add_argument("--min-cluster-size", type=int, metavar="M",
                   help="merge clusters of fewer points into a neighbour "
                        "(default: the estimator's rule)")
    p.add_argument("--noise", action="store_true",
                   help="label -1 the points of every cluster's halo, less dense "
                        "than its densest point on the border with another cluster")
    p.add_argument("--seed", type=int, default=0, help="seed of the bandwidth search split (0)")
    p.add_argument("--quiet", action="store_true", help="no progress lines on standard error")
    return p


def _sizes(labels: np.ndarray, n_clusters: int) -> str:
    sizes = np.sort(np.bincount(labels[labels >= 0], minlength=n_clusters))[::-1]
    shown = ", ".join(str(s) for s in sizes[:10])
    return shown + (f", ... ({n_clusters - 10} more)" if n_clusters > 10 else "")


def _row(name: str, value: object) -> str:
    return f"  {name:<21}{value}"


def run(args: argparse.Namespace) -> int:
    if args.plot:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            raise ValueError("--plot needs matplotlib: pip install matplotlib") from None
    timer = StageTimer(verbose=not args.quiet)
    with timer.stage("read"):
        x = files.read_points(args.input)
        reference = files.read_labels(args.labels) if args.labels else None
    if reference is not None and len(reference) != len(x):
        raise ValueError(f"{args.labels} has {len(reference)} labels for {len(x)} points")
    if args.standardize:
        x = (x - x.mean(axis=0)) / np.where(x.std(axis=0) > 0, x.std(axis=0), 1.0)

    model = DensityPeakClustering(n_neighbors=args.n_neighbors, bandwidth=args.bandwidth,
                                  threshold=args.threshold, n_clusters=args.n_clusters,
                                  min_cluster_size=args.min_cluster_size, noise=args.noise,
                                  random_state=args.seed, verbose=not args.quiet)
    model.fit(x)
    timer.timings.update(model.timings_)

    if args.out:
        with timer.stage("write"):
            files.write_labels(args.out, model.labels_)
    if args.plot:
        with timer.stage("plot"):
            from . import plot
            plot.draw(args.plot, x, model, title=str(args.input))

    chosen = "given" if args.bandwidth is not None else "chosen on a held-out split"
    lines = [f"quarnel_cluster: {args.input}",
             _row("points", len(x)),
             _row("dimension", x.shape[1]),
             _row("bandwidth", f"{model.bandwidth_:.6g} ({chosen})"),
             _row("threshold", f"{model.threshold_:.4g} (log-density drop)"),
             _row("clusters", model.n_clusters_),
             _row("cluster sizes", _sizes(model.labels_, model.n_clusters_))]
    if args.noise:
        noise = int((model.labels_ < 0).sum())
        lines.append(_row("noise points", f"{noise} ({100 * noise / len(x):.1f}%, label -1)"))
    if reference is not None:
        keep = np.ones(len(x), bool) if args.noise_label is None else reference != args.noise_label
        ari = adjusted_rand_index(reference[keep], model.labels_[keep])
        note = "" if keep.all() else f", {int((~keep).sum())} noise points left out"
        lines.append(_row("adjusted Rand index", f"{ari:.4f} (against {args.labels}{note})"))
    if args.out:
        lines.append(_row("labels written to", args.out))
    if args.plot:
        lines.append(_row("picture written to", args.plot))
    lines.append("  timings (s)")
    lines += [_row("  " + name, f"{seconds:.3f}") for name, seconds in timer.timings.items()]
    lines.append(_row("  total", f"{sum(timer.timings.values()):.3f}"))
    print("\n".join(lines))
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        return run(args)
    except (OSError, ValueError, ImportError) as e:
        print(f"quarnel_cluster: error: {e}", file=sys.stderr)
        return 2
