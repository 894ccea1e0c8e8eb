"""Clustering quality as n grows: a seeded mixture of Gaussian blobs.

A few hundred blobs (200 in 2-D, 300 in 3-D) of different weights (a factor
4 between the lightest and the heaviest) and spreads (a factor 2.7), placed
in a box so that the centres of two blobs i, j lie at least
SEPARATION * (sigma_i + sigma_j) apart: many pairs touch, yet every pair
keeps a valley of density between them, so the generating blob is a
well-defined truth. The same mixture is sampled at 10^5, 10^6 and 10^7
points (one seed per size), clustered with default parameters, and the
clusters found and the adjusted Rand index against the generating blobs are
printed, with HDBSCAN's count at the smallest size for reference.

Target: clusters within [0.67, 1.5] x the blob count at every size, and the
ARI at the largest size no lower than at the smallest.

    python bench/quality_scale.py [--sizes 100000,1000000] [--dims 2,3] [--hdbscan]

A 10^7-point run needs about 8 GiB: on a shared machine, run it under
`flock /tmp/quarnel-big.lock`.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "python"))

from quarnel_cluster import DensityPeakClustering  # noqa: E402

BLOBS = {2: 200, 3: 300}
SEPARATION = 3.0


def mixture(n_blobs: int, d: int, seed: int = 0) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Centres, spreads and weights of the mixture (independent of n)."""
    rng = np.random.default_rng(seed)
    sigma = np.exp(rng.uniform(-0.5, 0.5, n_blobs))
    weights = np.exp(rng.uniform(-0.7, 0.7, n_blobs))
    # A box holding each blob's exclusion ball about twice over.
    side = (2.0 * n_blobs * (2 * SEPARATION * sigma.mean()) ** d) ** (1.0 / d)
    centres: list[np.ndarray] = []
    for i in range(n_blobs):
        while True:
            c = rng.uniform(0.0, side, d)
            if all(np.linalg.norm(c - centres[j]) >= SEPARATION * (sigma[i] + sigma[j])
                   for j in range(i)):
                centres.append(c)
                break
    return np.array(centres), sigma, weights / weights.sum()


def sample(n: int, d: int, seed: int) -> tuple[np.ndarray, np.ndarray]:
    centres, sigma, weights = mixture(BLOBS[d], d)
    rng = np.random.default_rng(seed)
    y = rng.choice(len(weights), size=n, p=weights)
    x = np.empty((n, d))
    for start in range(0, n, 10**6):    # in chunks: the noise is the largest temporary
        part = slice(start, min(n, start + 10**6))
        x[part] = rng.normal(size=(part.stop - part.start, d))
        x[part] *= sigma[y[part], None]
        x[part] += centres[y[part]]
    return x, y


def main() -> int:
    from sklearn.metrics import adjusted_rand_score
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--sizes", default="100000,1000000,10000000")
    ap.add_argument("--dims", default="2,3")
    ap.add_argument("--hdbscan", action="store_true", help="HDBSCAN's count at the smallest size")
    args = ap.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    print("| d | blobs | n | clusters | clusters / blobs | ARI | threshold | s |")
    print("|---|---|---|---|---|---|---|---|")
    for d in (int(s) for s in args.dims.split(",")):
        for n in sizes:
            x, y = sample(n, d, seed=n + d)
            start = time.perf_counter()
            model = DensityPeakClustering().fit(x)
            seconds = time.perf_counter() - start
            ari = adjusted_rand_score(y, model.labels_)
            print(f"| {d} | {BLOBS[d]} | {n} | {model.n_clusters_} | "
                  f"{model.n_clusters_ / BLOBS[d]:.2f} | {ari:.4f} | {model.threshold_:.3f} | "
                  f"{seconds:.1f} |", flush=True)
            del x, y, model
        if args.hdbscan:
            from sklearn.cluster import HDBSCAN
            x, y = sample(sizes[0], d, seed=sizes[0] + d)
            labels = HDBSCAN().fit_predict(x)
            found = len(np.unique(labels[labels >= 0]))
            print(f"| {d} | {BLOBS[d]} | {sizes[0]} | HDBSCAN: {found} "
                  f"(+ noise {int((labels < 0).sum())}) | | "
                  f"{adjusted_rand_score(y, labels):.3f} | | |", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
