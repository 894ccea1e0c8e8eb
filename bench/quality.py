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

A third table runs quarnel and the density-based peers with their defaults
on 30 labelled sets from scikit-learn's generators (see generated()),
standardised the same way: the defaults were chosen on the sets above, and
these show how they carry to data they were not chosen on.

A fourth table, "blobs", is a seeded family of well-separated Gaussian blobs
(see blob_family()): 2 to 15 blobs in 2 to 8 columns, of unequal sizes,
spreads and stretches, centres at least SEPARATION largest spreads apart, at
n from 2 x 10^3 to 10^6. The answer is known and unambiguous, so besides the
ARI each row shows the clusters found, and the table the share of rows
whose count is exactly K, per n. --max-n leaves out the larger rows (a quick
run); the peers run up to --peer-max-n points. A fifth, "shapes", gives two
moons and two circles at n from 10^3 to 10^5 and two noise levels: shapes
without a dip in density along them, which must come out whole.

The density-based peers are scikit-learn's HDBSCAN, fast_hdbscan's HDBSCAN
and fast_hdbscan's PLSCAN (a newer method of the same family), all with
their defaults; a table given K lists them with their own count, for
reference.

Each table is written to bench/results/quality-NAME.md (NAME: default, k,
generated, blobs, shapes), and its mean adjusted Rand indices to a row of
bench/results/quality-summary.md, which the README and the documentation
show; --results DIR writes them elsewhere.

    python bench/quality.py [--out FILE.md] [--meanshift-max-n N] [--skip-meanshift]
                            [--slow-max-n N] [--tables default,k,generated,blobs,shapes]
                            [--max-n N] [--peer-max-n N] [--hdbscan-max-n N]
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
DENSITY_PEERS = ("HDBSCAN", "fast_hdbscan", "PLSCAN")
METHODS = ("quarnel", *DENSITY_PEERS, "MeanShift")
METHODS_K = ("quarnel", "Genie", "KMeans", "GaussianMixture", "Ward", "fast_hdbscan",
             "PLSCAN")
# Methods that cannot be given K run with their defaults in the table given K.
OWN_COUNT = ("HDBSCAN", "fast_hdbscan", "PLSCAN", "MeanShift")


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
    if method == "fast_hdbscan":
        import fast_hdbscan
        return fast_hdbscan.HDBSCAN()
    if method == "PLSCAN":
        import fast_hdbscan
        return fast_hdbscan.PLSCAN()
    if k is None or method in OWN_COUNT:
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


WARMED: set[str] = set()


def run(method: str, x: np.ndarray, k: int | None = None) -> tuple[np.ndarray, float, int]:
    if method not in WARMED:
        # fast_hdbscan compiles its functions on first use: not part of a fit's time.
        WARMED.add(method)
        warm = np.random.default_rng(0).normal(size=(200, x.shape[1]))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            make(method, None if k is None else 2).fit_predict(warm)  # type: ignore[attr-defined]
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

    shifted = _shifted

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


# Centres of two blobs lie at least this many of the larger one's largest
# spread apart: a deep valley between any two, so the count is unambiguous.
SEPARATION = 6.0
BLOB_SIZES = (2_000, 5_000, 20_000, 50_000, 200_000, 1_000_000)
# Columns of the rows at each n: two columns most often (embeddings have two).
BLOB_DIMS = (2, 2, 2, 2, 3, 3, 4, 5, 6, 8)


def gaussian_blobs(n: int, d: int, k: int, seed: int) -> tuple[np.ndarray, np.ndarray]:
    """k Gaussian blobs in d columns, n points, labels 1..k.

    Sizes in proportions drawn from [1, 4], spreads from [0.5, 2] (log-
    uniform), each blob stretched along random axes by factors from [1, 2.5]
    and turned by a random rotation. Centres are drawn in a box grown until
    every two blobs i, j lie at least SEPARATION * max(s_i, s_j) apart, s
    being a blob's largest spread along any axis.
    """
    rng = np.random.default_rng(seed)
    share = rng.uniform(1.0, 4.0, k)
    sizes = np.floor(n * share / share.sum()).astype(np.int64)
    sizes[: n - sizes.sum()] += 1
    spread = np.exp(rng.uniform(np.log(0.5), np.log(2.0), k))
    stretch = rng.uniform(1.0, 2.5, (k, d))
    stretch /= stretch.max(axis=1, keepdims=True)     # the largest axis keeps the spread
    largest = spread
    side = SEPARATION * largest.max() * max(1.0, k ** (1.0 / d))
    centres: list[np.ndarray] = []
    while len(centres) < k:
        i = len(centres)
        for _ in range(200):
            c = rng.uniform(0.0, side, d)
            if all(np.linalg.norm(c - centres[j]) >= SEPARATION * max(largest[i], largest[j])
                   for j in range(i)):
                centres.append(c)
                break
        else:
            side *= 1.2                      # crowded: a larger box, the same draws after
    parts, labels = [], []
    for j in range(k):
        rotation, _ = np.linalg.qr(rng.normal(size=(d, d)))
        z = rng.normal(size=(sizes[j], d)) * (spread[j] * stretch[j])
        parts.append(centres[j] + z @ rotation.T)
        labels.append(np.full(sizes[j], j + 1, np.int64))
    x, y = np.concatenate(parts), np.concatenate(labels)
    order = rng.permutation(n)
    return x[order], y[order]


def blob_family(max_n: int) -> Sets:
    """The Gaussian-blob family: at every n of BLOB_SIZES up to max_n, one
    row per entry of BLOB_DIMS, K drawn from 2..15; each row seeded by its
    place, so that a row is the same in a quick run and a full one."""
    sets: Sets = []
    for i, n in enumerate(BLOB_SIZES):
        if n > max_n:
            continue
        for j, d in enumerate(BLOB_DIMS):
            seed = 1000 * i + j
            k = int(np.random.default_rng(seed).integers(2, 16))
            sets.append((f"blobs-{d}d-{k}/{n}/{j}", partial(gaussian_blobs, n, d, k, seed)))
    return sets


SHAPE_SIZES = (1_000, 10_000, 100_000)


def shapes(max_n: int) -> Sets:
    """Two moons and two circles (radii 1 and 0.5) at n of SHAPE_SIZES up to
    max_n, at two noise levels each and two seeds; labels 1 and 2."""
    from sklearn import datasets as gen
    sets: Sets = []
    for n in SHAPE_SIZES:
        if n > max_n:
            continue
        for seed in range(2):
            for noise in (0.05, 0.10):
                sets.append((f"moons-{noise:.2f}/{n}/{seed}", _shifted(
                    gen.make_moons, n_samples=n, noise=noise, random_state=seed)))
            for noise in (0.04, 0.08):
                sets.append((f"circles-{noise:.2f}/{n}/{seed}", _shifted(
                    gen.make_circles, n_samples=n, noise=noise, factor=0.5,
                    random_state=seed)))
    return sets


def _shifted(make: Callable[..., Any], **kw: Any) -> Callable[[], tuple[np.ndarray, np.ndarray]]:
    """A generator's set with its labels moved to start at 1 (0 marks noise)."""
    def build() -> tuple[np.ndarray, np.ndarray]:
        x, y = make(**kw)[:2]
        return np.asarray(x, np.float64), np.asarray(y, np.int64) + 1
    return build


def table(sets: Sets, methods: tuple[str, ...], given_k: bool,
          skip: "dict[str, int]", exact_k: bool = False) -> tuple[str, str]:
    """Runs every method on every set; skip maps a method to the largest n it
    runs on. Returns the Markdown table with its mean rows, and quarnel's
    mean ARI beside the peers' as two cells of the summary table. With
    exact_k, rows per n follow with the share of sets on which each method
    found exactly K clusters, and the summary gives that share over all."""
    rows = []
    results: dict[str, dict[str, tuple[float, float, float]]] = {m: {} for m in methods}
    exact: dict[str, dict[str, bool]] = {m: {} for m in methods}
    size: dict[str, int] = {}
    for name, get in sets:
        x, y = get()
        x = standardise(x)
        k_true = len(np.unique(y[y != 0]))
        cells = [name, str(len(x)), str(x.shape[1]), str(k_true)]
        size[name] = len(x)
        for method in methods:
            if len(x) > skip.get(method, len(x)):
                cells.append("—")
                continue
            labels, seconds, k = run(method, x, k_true if given_k else None)
            ari, nmi = scores(y, labels)
            results[method][name] = (ari, nmi, seconds)
            exact[method][name] = k == k_true
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

    def share(m: str, names: list[str]) -> str:
        got = [exact[m][n] for n in names if n in exact[m]]
        return f"{np.mean(got):.0%} of {len(got)}" if got else "—"

    if exact_k:
        for n_points in sorted(set(size.values())):
            names = [n for n in every if size[n] == n_points]
            lines.append("| " + " | ".join([f"exactly K, n = {n_points}", "", "", ""] +
                                           [share(m, names) for m in methods]) + " |")
        lines.append("| " + " | ".join(["exactly K, all", "", "", ""] +
                                       [share(m, every) for m in methods]) + " |")

    def mean_ari(m: str) -> str:
        ran = [n for n in every if n in results[m]]
        if not ran:
            return ""
        got = np.mean([results[m][n][0] for n in ran])
        count = f", exactly K on {share(m, every)}" if exact_k else ""
        if len(ran) == len(every):
            return f"{got:.3f}{count}"
        ours = np.mean([results[methods[0]][n][0] for n in ran])
        return f"{got:.3f} ({len(ran)} sets; {methods[0]} {ours:.3f} on them){count}"
    peers = ", ".join(f"{m} {mean_ari(m)}" for m in methods[1:] if mean_ari(m))
    return "\n".join(lines), f"| {mean_ari(methods[0])} | {peers} |"


# Each table's row of the summary: what it ran ({n}: the number of sets).
TABLES = {
    "default": "{n} labelled sets, defaults",
    "k": "{n} labelled sets, number of clusters given",
    "generated": "{n} generated sets, defaults",
    "blobs": "{n} sets of Gaussian blobs, defaults",
    "shapes": "{n} sets of moons and circles, defaults",
}
CAPTIONS = {
    "default": "Every method with its defaults on the labelled sets, each standardised "
               "per column.",
    "k": "Every method given the reference number of clusters K, its other parameters "
         "at their defaults (seed 0), on the same sets.",
    "generated": "Every method with its defaults on 30 labelled sets from scikit-learn's "
                 "generators (three seeds each), on which no default was chosen.",
    "blobs": "Every method with its defaults on well-separated Gaussian blobs (2 to 15 of "
             "unequal sizes, spreads and stretches, centres at least 6 largest spreads "
             "apart, 2 to 8 columns), and the share of sets on which each found exactly "
             "the K blobs.",
    "shapes": "Every method with its defaults on two moons and two circles at two noise "
              "levels and two seeds: shapes with no dip in density along them.",
}
CELLS = ("Each cell: adjusted Rand index / normalised mutual information / clusters "
         "found / seconds, reference noise left out; a peer's noise label counts as one "
         "more cluster; — where a method was not run on a set that large (in the "
         "table given K, the density-based peers, which cannot be given K, run with "
         "their defaults) "
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
    ap.add_argument("--tables", default="default,k,generated,blobs,shapes",
                    help="which tables: default (default parameters), k (K given), "
                         "generated (default parameters on scikit-learn's generators), "
                         "blobs (the Gaussian-blob family), shapes (moons and circles)")
    ap.add_argument("--max-n", type=int, default=max(BLOB_SIZES),
                    help="largest set of the blobs and shapes tables (all: 10^6); "
                         "50000 makes a quick run")
    ap.add_argument("--peer-max-n", type=int, default=200_000,
                    help="largest set given to fast_hdbscan's HDBSCAN and PLSCAN (200000)")
    ap.add_argument("--hdbscan-max-n", type=int, default=50_000,
                    help="largest set given to scikit-learn's HDBSCAN (50000)")
    ap.add_argument("--datasets", default=str(DATASETS),
                    help="folder of the labelled sets, DIR/SOURCE/NAME.data.gz with "
                         "NAME.labels0.gz beside it (default: ../shared/datasets)")
    ap.add_argument("--results", default=str(RESULTS),
                    help="folder the tables are written to (default: bench/results)")
    args = ap.parse_args()
    files = files_in(Path(args.datasets))
    if not files and ({"default", "k"} & set(args.tables.split(","))):
        print(f"no data sets under {args.datasets}", file=sys.stderr)
        return 1
    runs: list[tuple[str, Sets, Callable[[Sets], tuple[str, str]]]] = []
    asked = args.tables.split(",")
    peers = {"HDBSCAN": args.hdbscan_max_n, "fast_hdbscan": args.peer_max_n,
             "PLSCAN": args.peer_max_n}
    density = ("quarnel", *DENSITY_PEERS)
    if "default" in asked:
        runs.append(("default", files, partial(
            table, methods=METHODS[:-1] if args.skip_meanshift else METHODS, given_k=False,
            skip={"MeanShift": args.meanshift_max_n})))
    if "k" in asked:
        runs.append(("k", files, partial(
            table, methods=METHODS_K, given_k=True,
            skip={"Ward": args.slow_max_n, "GaussianMixture": args.slow_max_n})))
    if "generated" in asked:
        runs.append(("generated", generated(), partial(
            table, methods=density, given_k=False, skip={})))
    if "blobs" in asked:
        runs.append(("blobs", blob_family(args.max_n), partial(
            table, methods=density, given_k=False, skip=peers, exact_k=True)))
    if "shapes" in asked:
        runs.append(("shapes", shapes(args.max_n), partial(
            table, methods=density, given_k=False, skip=peers)))
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
