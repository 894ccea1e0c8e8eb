"""Clustering quality on the labelled benchmark sets, against scikit-learn.

Every set in ../shared/datasets (from the project's root) is standardised
(mean 0, standard deviation 1 per column) and clustered with default
parameters by quarnel_cluster.DensityPeakClustering, sklearn's HDBSCAN and
sklearn's MeanShift. Scores: adjusted Rand index (ARI) and normalised mutual
information (NMI) against the reference labels, leaving out the points whose
reference label is 0 (noise). A peer's own noise label (-1) counts as one
more cluster. Prints a Markdown table with wall times.

MeanShift's default bandwidth estimate holds the 30% nearest neighbours of
every point, which needs memory quadratic in n; it is run only on sets of at
most --meanshift-max-n points (and is by far the slowest part of this run:
about a quarter of an hour on two cores).

    python bench/quality.py [--out FILE.md] [--meanshift-max-n N] [--skip-meanshift]
"""

from __future__ import annotations

import argparse
import gzip
import sys
import time
import warnings
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "python"))

from quarnel_cluster import DensityPeakClustering  # noqa: E402

DATASETS = ROOT.parent / "shared" / "datasets"
METHODS = ("quarnel", "HDBSCAN", "MeanShift")


def load(data: Path) -> tuple[np.ndarray, np.ndarray]:
    with gzip.open(data, "rt") as f:
        x = np.loadtxt(f, ndmin=2)
    with gzip.open(str(data).replace(".data.gz", ".labels0.gz"), "rt") as f:
        y = np.loadtxt(f, dtype=np.int64)
    return x, y


def standardise(x: np.ndarray) -> np.ndarray:
    sd = x.std(axis=0)
    return (x - x.mean(axis=0)) / np.where(sd > 0, sd, 1.0)


def scores(y: np.ndarray, labels: np.ndarray) -> tuple[float, float]:
    from sklearn.metrics import adjusted_rand_score, normalized_mutual_info_score
    keep = y != 0
    return (adjusted_rand_score(y[keep], labels[keep]),
            normalized_mutual_info_score(y[keep], labels[keep]))


def run(method: str, x: np.ndarray) -> tuple[np.ndarray, float, int]:
    from sklearn.cluster import HDBSCAN, MeanShift
    make = {"quarnel": DensityPeakClustering, "HDBSCAN": HDBSCAN, "MeanShift": MeanShift}
    start = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FutureWarning)  # HDBSCAN's pending change of `copy`
        labels = make[method]().fit_predict(x)
    elapsed = time.perf_counter() - start
    return labels, elapsed, len(np.unique(labels[labels >= 0]))


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--out", help="also write the Markdown table to this file")
    ap.add_argument("--meanshift-max-n", type=int, default=10_000)
    ap.add_argument("--skip-meanshift", action="store_true")
    args = ap.parse_args()
    files = sorted(DATASETS.glob("*/*.data.gz"))
    if not files:
        print(f"no data sets under {DATASETS}", file=sys.stderr)
        return 1

    rows = []
    results: dict[str, dict[str, tuple[float, float, float]]] = {m: {} for m in METHODS}
    for path in files:
        name = f"{path.parent.name}/{path.name[:-len('.data.gz')]}"
        x, y = load(path)
        x = standardise(x)
        k_true = len(np.unique(y[y != 0]))
        cells = [name, str(len(x)), str(x.shape[1]), str(k_true)]
        for method in METHODS:
            if method == "MeanShift" and (args.skip_meanshift or len(x) > args.meanshift_max_n):
                cells.append("—")
                continue
            labels, seconds, k = run(method, x)
            ari, nmi = scores(y, labels)
            results[method][name] = (ari, nmi, seconds)
            cells.append(f"{ari:.2f} / {nmi:.2f} / {k} / {seconds:.2f}")
        rows.append(cells)
        print(" | ".join(cells), file=sys.stderr, flush=True)

    head = ["set", "n", "d", "K", *(f"{m} ARI / NMI / k / s" for m in METHODS)]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    lines += ["| " + " | ".join(r) + " |" for r in rows]

    def mean_row(label: str, names: list[str]) -> str:
        cells = [label, "", "", ""]
        for m in METHODS:
            got = [results[m][n] for n in names if n in results[m]]
            if len(got) != len(names) or not got:
                cells.append("—")
                continue
            a, b, s = np.mean([g[0] for g in got]), np.mean([g[1] for g in got]), \
                np.sum([g[2] for g in got])
            cells.append(f"**{a:.3f}** / {b:.3f} / — / {s:.1f} (sum)")
        return "| " + " | ".join(cells) + " |"

    every = [r[0] for r in rows]
    common = [n for n in every if all(n in results[m] for m in METHODS)]
    lines.append(mean_row(f"mean, all {len(every)} sets", every))
    lines.append(mean_row(f"mean, the {len(common)} sets all three ran", common))
    table = "\n".join(lines)
    print(table)
    if args.out:
        Path(args.out).write_text(table + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
