"""Clustering quality on the labelled benchmark sets, against scikit-learn.

Every set in ../shared/datasets (from the project's root) is standardised
(mean 0, standard deviation 1 per column) and clustered with default
parameters by quarnel_cluster.DensityPeakClustering, sklearn's HDBSCAN and
sklearn's MeanShift. Scores: adjusted Rand index (ARI) and normalised mutual
information (NMI) against the reference labels, leaving out the points whose
reference label is 0 (noise). A peer's own noise label (-1) counts as one
more cluster. Prints a Markdown table with wall times.

A second table gives every method the reference number of clusters K:
quarnel with n_clusters=K, Genie (genieclust), KMeans, GaussianMixture and
Ward linkage (AgglomerativeClustering), all with their other defaults and
seed 0 where they take one. Ward's linkage holds a condensed distance matrix
(n^2 / 2 floats) and GaussianMixture's EM with K components is slow on the
100 000-point sets with K = 100: both run only on sets of at most
--slow-max-n points.

MeanShift's default bandwidth estimate holds the 30% nearest neighbours of
every point, which needs memory quadratic in n; it is run only on sets of at
most --meanshift-max-n points, and is by far the slowest part of this run.

A third table runs quarnel and HDBSCAN with their defaults on 30 labelled
sets from scikit-learn's generators (see generated()), standardised the same
way: the defaults were chosen on the sets above, and these show how they
carry to data they were not chosen on.

Each table is written to bench/results/quality-NAME.md (NAME: default, k,
generated), and its mean adjusted Rand indices to a row of
bench/results/quality-summary.md, which the README and the documentation
show; --results DIR writes them elsewhere.

    python bench/quality.py [--out FILE.md] [--meanshift-max-n N] [--skip-meanshift]
                            [--slow-max-n N] [--tables default,k,generated]
                            [--datasets DIR] [--results DIR]
"""

from __future__ import annotations

import argparse
import gzip
import sys
import time
import warnings
from functools import partial
from pathlib import Path
from typing import Any, Callable

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "python"))

from quarnel_cluster import DensityPeakClustering  # noqa: E402

DATASETS = ROOT.parent / "shared" / "datasets"
RESULTS = ROOT / "bench" / "results"
METHODS = ("quarnel", "HDBSCAN", "MeanShift")
METHODS_K = ("quarnel", "Genie", "KMeans", "GaussianMixture", "Ward")


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


def make(method: str, k: int | None) -> object:
    """The method with its defaults; given k clusters when k is not None."""
    from sklearn.cluster import HDBSCAN, AgglomerativeClustering, KMeans, MeanShift
    from sklearn.mixture import GaussianMixture
    if k is None:
        return {"quarnel": DensityPeakClustering, "HDBSCAN": HDBSCAN,
                "MeanShift": MeanShift}[method]()
    if method == "quarnel":
        return DensityPeakClustering(n_clusters=k)
    if method == "Genie":
        import genieclust
        return genieclust.Genie(n_clusters=k)
    if method == "KMeans":
        return KMeans(n_clusters=k, random_state=0)
    if method == "GaussianMixture":
        return GaussianMixture(n_components=k, random_state=0)
    return AgglomerativeClustering(n_clusters=k, linkage="ward")


def run(method: str, x: np.ndarray, k: int | None = None) -> tuple[np.ndarray, float, int]:
    model = make(method, k)
    start = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FutureWarning)  # HDBSCAN's pending change of `copy`
        labels = np.asarray(model.fit_predict(x))  # type: ignore[attr-defined]
    elapsed = time.perf_counter() - start
    return labels, elapsed, len(np.unique(labels[labels >= 0]))


Sets = list[tuple[str, Callable[[], tuple[np.ndarray, np.ndarray]]]]


def files_in(datasets: Path) -> Sets:
    """The labelled sets on disk, each as (name, loader)."""
    return [(f"{p.parent.name}/{p.name[:-len('.data.gz')]}", partial(load, p))
            for p in sorted(datasets.glob("*/*.data.gz"))]


def generated() -> Sets:
    """Labelled sets from scikit-learn's generators, three seeds each: two
    moons, two circles, isotropic blobs (5 and 12 in 2-D, 8 in 3-D, 6 in
    5-D), sheared blobs, blobs of three spreads, blobs of unequal sizes and
    spreads, and four classes in 4-D. No default was chosen on them: they
    show how the defaults carry beyond the sets above. Labels start at 1
    (0 would mark noise)."""
    from sklearn import datasets as gen

    def shifted(make: Callable[..., Any], **kw: Any) -> Callable[[], tuple[np.ndarray, np.ndarray]]:
        def build() -> tuple[np.ndarray, np.ndarray]:
            x, y = make(**kw)[:2]
            return np.asarray(x, np.float64), np.asarray(y, np.int64) + 1
        return build

    def sheared_blobs(seed: int) -> tuple[np.ndarray, np.ndarray]:
        x, y = gen.make_blobs(2000, centers=3, random_state=seed + 170)
        return x @ np.array([[0.6, -0.6], [-0.4, 0.8]]), y

    sets: Sets = []
    for seed in range(3):
        sets += [
            (f"moons/{seed}", shifted(gen.make_moons, n_samples=1500, noise=0.06,
                                      random_state=seed)),
            (f"circles/{seed}", shifted(gen.make_circles, n_samples=1500, noise=0.05,
                                        factor=0.5, random_state=seed)),
            *((f"blobs-{d}d-{k}/{seed}",
               shifted(gen.make_blobs, n_samples=3000, n_features=d, centers=k,
                       center_box=(-12, 12), random_state=seed))
              for d, k in ((2, 5), (3, 8), (5, 6), (2, 12))),
            (f"sheared/{seed}", shifted(sheared_blobs, seed=seed)),
            (f"spreads/{seed}", shifted(gen.make_blobs, n_samples=2000, centers=3,
                                        cluster_std=[1.0, 2.5, 0.5], random_state=seed + 170)),
            (f"unequal/{seed}", shifted(gen.make_blobs, n_samples=[2000, 500, 100, 1000],
                                        n_features=2, cluster_std=[1.0, 0.7, 0.4, 1.2],
                                        center_box=(-10, 10), random_state=seed + 7)),
            (f"classes-4d/{seed}", shifted(gen.make_classification, n_samples=3000,
                                           n_features=4, n_informative=4, n_redundant=0,
                                           n_classes=4, n_clusters_per_class=1,
                                           class_sep=2.5, random_state=seed)),
        ]
    return sets


def table(sets: Sets, methods: tuple[str, ...], given_k: bool,
          skip: "dict[str, int]") -> tuple[str, str]:
    """Runs every method on every set; skip maps a method to the largest n it
    runs on. Returns the Markdown table with its mean rows, and quarnel's
    mean ARI beside the peers' as two cells of the summary table."""
    rows = []
    results: dict[str, dict[str, tuple[float, float, float]]] = {m: {} for m in methods}
    for name, get in sets:
        x, y = get()
        x = standardise(x)
        k_true = len(np.unique(y[y != 0]))
        cells = [name, str(len(x)), str(x.shape[1]), str(k_true)]
        for method in methods:
            if len(x) > skip.get(method, len(x)):
                cells.append("—")
                continue
            labels, seconds, k = run(method, x, k_true if given_k else None)
            ari, nmi = scores(y, labels)
            results[method][name] = (ari, nmi, seconds)
            cells.append(f"{ari:.2f} / {nmi:.2f} / {k} / {seconds:.2f}")
        rows.append(cells)
        print(" | ".join(cells), file=sys.stderr, flush=True)

    head = ["set", "n", "d", "K", *(f"{m} ARI / NMI / k / s" for m in methods)]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    lines += ["| " + " | ".join(r) + " |" for r in rows]

    def mean_row(label: str, names: list[str]) -> str:
        cells = [label, "", "", ""]
        for m in methods:
            got = [results[m][n] for n in names if n in results[m]]
            if len(got) != len(names) or not got:
                cells.append("—")
                continue
            a, b, s = np.mean([g[0] for g in got]), np.mean([g[1] for g in got]), \
                np.sum([g[2] for g in got])
            cells.append(f"**{a:.3f}** / {b:.3f} / — / {s:.1f} (sum)")
        return "| " + " | ".join(cells) + " |"

    every = [r[0] for r in rows]
    common = [n for n in every if all(n in results[m] for m in methods)]
    lines.append(mean_row(f"mean, all {len(every)} sets", every))
    if 0 < len(common) < len(every):
        lines.append(mean_row(f"mean, the {len(common)} sets all {len(methods)} ran", common))

    def mean_ari(m: str) -> str:
        ran = [n for n in every if n in results[m]]
        if not ran:
            return ""
        got = np.mean([results[m][n][0] for n in ran])
        if len(ran) == len(every):
            return f"{got:.3f}"
        ours = np.mean([results[methods[0]][n][0] for n in ran])
        return f"{got:.3f} ({len(ran)} sets; {methods[0]} {ours:.3f} on them)"
    peers = ", ".join(f"{m} {mean_ari(m)}" for m in methods[1:] if mean_ari(m))
    return "\n".join(lines), f"| {mean_ari(methods[0])} | {peers} |"


# Each table's row of the summary: what it ran ({n}: the number of sets).
TABLES = {
    "default": "{n} labelled sets, defaults",
    "k": "{n} labelled sets, number of clusters given",
    "generated": "{n} generated sets, defaults",
}
CAPTIONS = {
    "default": "Every method with its defaults on the labelled sets, each standardised "
               "per column.",
    "k": "Every method given the reference number of clusters K, its other parameters "
         "at their defaults (seed 0), on the same sets.",
    "generated": "Both methods with their defaults on 30 labelled sets from scikit-learn's "
                 "generators (three seeds each), on which no default was chosen.",
}
CELLS = ("Each cell: adjusted Rand index / normalised mutual information / clusters "
         "found / seconds, reference noise left out; a peer's noise label counts as one "
         "more cluster; — where a method was not run on a set that large "
         "(`bench/quality.py`).")
SUMMARY_HEAD = ["mean adjusted Rand index", "quarnel", "peers"]


def write_results(folder: Path, name: str, n_sets: int, text: str, summary: str) -> None:
    """The table's own file, and its row of the summary, the other rows kept
    as they were, so that the tables can be run one at a time."""
    folder.mkdir(parents=True, exist_ok=True)
    (folder / f"quality-{name}.md").write_text(f"{CAPTIONS[name]} {CELLS}\n\n{text}\n")
    path = folder / "quality-summary.md"
    old = path.read_text().splitlines() if path.exists() else []

    def kind(line: str) -> str:   # the first cell without its count of sets
        return line.split(" | ")[0].lstrip("| ").split(" ", 1)[-1]
    rows = {t: next((ln for ln in old if kind(ln) == kind(form)), None)
            for t, form in TABLES.items()}
    rows[name] = f"| {TABLES[name].format(n=n_sets)} {summary}"
    lines = ["| " + " | ".join(SUMMARY_HEAD) + " |", "|" + " --- |" * len(SUMMARY_HEAD)]
    path.write_text("\n".join(lines + [r for r in rows.values() if r]) + "\n")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--out", help="also write the Markdown tables to this file")
    ap.add_argument("--meanshift-max-n", type=int, default=10_000)
    ap.add_argument("--skip-meanshift", action="store_true")
    ap.add_argument("--slow-max-n", type=int, default=10_000,
                    help="largest set given to Ward and GaussianMixture (10000)")
    ap.add_argument("--tables", default="default,k,generated",
                    help="which tables: default (default parameters), k (K given), "
                         "generated (default parameters on scikit-learn's generators)")
    ap.add_argument("--datasets", default=str(DATASETS),
                    help="folder of the labelled sets, DIR/SOURCE/NAME.data.gz with "
                         "NAME.labels0.gz beside it (default: ../shared/datasets)")
    ap.add_argument("--results", default=str(RESULTS),
                    help="folder the tables are written to (default: bench/results)")
    args = ap.parse_args()
    files = files_in(Path(args.datasets))
    if not files and ("default" in args.tables or "k" in args.tables):
        print(f"no data sets under {args.datasets}", file=sys.stderr)
        return 1
    runs: list[tuple[str, Sets, Callable[[Sets], tuple[str, str]]]] = []
    if "default" in args.tables:
        runs.append(("default", files, partial(
            table, methods=METHODS[:2] if args.skip_meanshift else METHODS, given_k=False,
            skip={"MeanShift": args.meanshift_max_n})))
    if "k" in args.tables:
        runs.append(("k", files, partial(
            table, methods=METHODS_K, given_k=True,
            skip={"Ward": args.slow_max_n, "GaussianMixture": args.slow_max_n})))
    if "generated" in args.tables:
        runs.append(("generated", generated(), partial(
            table, methods=("quarnel", "HDBSCAN"), given_k=False, skip={})))
    tables = []
    for name, sets, make_table in runs:
        text, summary = make_table(sets)
        write_results(Path(args.results), name, len(sets), text, summary)
        tables.append(text)
    text = "\n\n".join(tables)
    print(text)
    if args.out:
        Path(args.out).write_text(text + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
