"""python -m quarnel_cluster INPUT: cluster a file of points, print a summary,
optionally write the labels and a picture; with --scheduler or --workers, on
a Dask cluster, the points read and the results written by its workers."""

from __future__ import annotations

import argparse
import os
import sys
from contextlib import ExitStack
from functools import partial
from typing import Any, Sequence

import numpy as np

from . import files
from .estimator import DensityPeakClustering
from .metrics import adjusted_rand_index
from .progress import StageTimer

DESCRIPTION = """\
Density-peak clustering of the points in INPUT: CSV, whitespace-separated
text or .npy, optionally gzipped; one point per row, any number of columns
(more than 8 take a brute-force search); or a Zarr array (.zarr) or Parquet
files (.parquet, numeric columns), which on a Dask cluster (--scheduler,
--workers) its workers read. Prints a summary; the defaults need no tuning."""

STORE_OUTPUTS = ("labels", "rho", "delta", "nn_delta")
NEEDS_DASK = "pip install quarnel[dask]"


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="python -m quarnel_cluster", description=DESCRIPTION)
    p.add_argument("input", metavar="INPUT", help="file of points")
    p.add_argument("--labels", metavar="FILE",
                   help="reference labels, one integer per point: adds the adjusted Rand index")
    p.add_argument("--noise-label", type=int, metavar="L",
                   help="reference label of noise points, left out of the Rand index")
    p.add_argument("--out", metavar="FILE",
                   help="write the cluster labels, one per line (.npy: a NumPy array; "
                        ".zarr, .parquet: labels, rho, delta and nn_delta, the index of "
                        "the nearest denser point)")
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
    p.add_argument("--columns", metavar="A,B,...",
                   help="columns of a Parquet INPUT to cluster, by name (default: every "
                        "numeric one), or of a Zarr INPUT, by position")
    dask = p.add_argument_group(
        "on a Dask cluster",
        "The same clustering, result for result, spread over the workers of a Dask "
        "cluster; a Zarr or Parquet INPUT and --out are then read and written by the "
        f"workers ({NEEDS_DASK}).").add_mutually_exclusive_group()
    dask.add_argument("--scheduler", metavar="ADDRESS",
                      help="the scheduler of a running cluster, e.g. tcp://HOST:8786")
    dask.add_argument("--workers", type=int, metavar="N",
                      help="start a cluster of N worker processes on this machine")
    return p


def _on_dask(args: argparse.Namespace) -> bool:
    return args.scheduler is not None or args.workers is not None


def _store() -> Any:
    try:
        from .distributed import store
    except ImportError as e:
        raise ImportError(f"Zarr and Parquet need dask ({e}): {NEEDS_DASK}") from None
    return store


def _columns(args: argparse.Namespace) -> list[Any] | None:
    if args.columns is None:
        return None
    names = [c.strip() for c in args.columns.split(",")]
    return [int(c) if c.lstrip("-").isdigit() else c for c in names]


def _read(args: argparse.Namespace) -> Any:
    """The points: in memory, or a Dask array on a cluster."""
    if not _store_path(args.input):
        if args.columns is not None:
            raise ValueError("--columns picks columns of a Zarr or Parquet INPUT")
        return files.read_points(args.input)
    x = _store().read_points(args.input, _columns(args))
    return x if _on_dask(args) else x.compute()


def _store_path(path: str) -> bool:
    # A store is told by its name or by being a directory; only then is
    # dask needed.
    return path.lower().endswith((".zarr", ".parquet", ".pq")) or os.path.isdir(path)


def _client(args: argparse.Namespace, stack: ExitStack) -> Any:
    """The Dask client of the run, current until the run ends, or None."""
    if not _on_dask(args):
        return None
    try:
        import distributed
    except ImportError as e:
        raise ImportError(f"--scheduler and --workers need dask and distributed ({e}): "
                          f"{NEEDS_DASK}") from None
    if args.scheduler is not None:
        client = stack.enter_context(distributed.Client(args.scheduler, set_as_default=False))
    else:
        if args.workers < 1:
            raise ValueError(f"--workers must be at least 1, got {args.workers}")
        # The cluster is this run's own, even when another client is the
        # default.
        from .distributed.local import local_cluster
        cluster = stack.enter_context(local_cluster(args.workers))
        client = stack.enter_context(distributed.Client(cluster, set_as_default=False))
    stack.enter_context(client.as_current())
    if not args.quiet and client.dashboard_link:
        print(f"quarnel_cluster: Dask dashboard at {client.dashboard_link}", file=sys.stderr)
    return client


def _counts(labels: Any, n_clusters: int) -> np.ndarray:
    """Points labelled -1 (noise), 0, 1, ..., n_clusters - 1."""
    counts = np.bincount(labels + 1, minlength=n_clusters + 1)
    return np.asarray(counts.compute() if hasattr(counts, "compute") else counts)


def _sizes(counts: np.ndarray, n_clusters: int) -> str:
    sizes = np.sort(counts[1:])[::-1]
    shown = ", ".join(str(s) for s in sizes[:10])
    return shown + (f", ... ({n_clusters - 10} more)" if n_clusters > 10 else "")


def _row(name: str, value: object) -> str:
    return f"  {name:<21}{value}"


def run(args: argparse.Namespace) -> int:
    with ExitStack() as stack:
        return _run(args, stack)


def _standardized(x: Any) -> Any:
    mean, std = x.mean(axis=0), x.std(axis=0)
    if not isinstance(x, np.ndarray):
        import dask
        mean, std = dask.compute(mean, std)   # two rows, not a reduction per block
    return (x - mean) / np.where(std > 0, std, 1.0)


def _run(args: argparse.Namespace, stack: ExitStack) -> int:
    if args.plot:
        if _on_dask(args):
            raise ValueError("--plot draws every point from memory: not with --scheduler "
                             "or --workers")
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            raise ValueError("--plot needs matplotlib: pip install matplotlib") from None
    out_store = args.out is not None and _store_path(args.out)
    if out_store and os.path.abspath(args.out) == os.path.abspath(args.input):
        raise ValueError(f"--out {args.out} would overwrite INPUT")
    client = _client(args, stack)
    if client is None:
        estimator: Any = DensityPeakClustering
    else:
        from .distributed import DensityPeakClustering as OnDask
        estimator = partial(OnDask, client=client)
    timer = StageTimer(verbose=not args.quiet)
    with timer.stage("read"):
        x = _read(args)
        reference = files.read_labels(args.labels) if args.labels else None
    if reference is not None and len(reference) != len(x):
        raise ValueError(f"{args.labels} has {len(reference)} labels for {len(x)} points")
    if args.standardize:
        x = _standardized(x)

    model = estimator(n_neighbors=args.n_neighbors, bandwidth=args.bandwidth,
                      threshold=args.threshold, n_clusters=args.n_clusters,
                      min_cluster_size=args.min_cluster_size, noise=args.noise,
                      random_state=args.seed, verbose=not args.quiet)
    model.fit(x)
    timer.timings.update(model.timings_)

    # On a cluster the labels stay with the workers unless a summary needs
    # them here; the cluster sizes are counted there.
    labels = model.labels_
    if args.out and not out_store or reference is not None:
        labels = np.asarray(labels)
    counts = _counts(labels, model.n_clusters_)
    if args.out:
        with timer.stage("write"):
            if out_store:
                _store().write_outputs(args.out, {name: getattr(model, name + "_")
                                                  for name in STORE_OUTPUTS})
            else:
                files.write_labels(args.out, labels)
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
             _row("cluster sizes", _sizes(counts, model.n_clusters_))]
    if client is not None:
        workers = len(client.scheduler_info()["workers"])
        lines.insert(1, _row("dask workers", f"{workers} at {client.scheduler.address}"))
    if args.noise:
        noise = int(counts[0])
        lines.append(_row("noise points", f"{noise} ({100 * noise / len(x):.1f}%, label -1)"))
    if reference is not None:
        keep = np.ones(len(x), bool) if args.noise_label is None else reference != args.noise_label
        ari = adjusted_rand_index(reference[keep], labels[keep])
        note = "" if keep.all() else f", {int((~keep).sum())} noise points left out"
        lines.append(_row("adjusted Rand index", f"{ari:.4f} (against {args.labels}{note})"))
    if out_store:
        lines.append(_row("results written to", f"{args.out} ({', '.join(STORE_OUTPUTS)})"))
    elif args.out:
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
