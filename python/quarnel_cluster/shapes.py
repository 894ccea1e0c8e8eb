"""A seeded 2-D demo data set: shapes of different densities, with labels.

    python -m quarnel_cluster.shapes POINTS.csv LABELS.txt [--seed S]

writes the points as CSV (header x,y) and the reference labels 1..5, one
per line.
"""

from __future__ import annotations

import argparse
import sys
from typing import Sequence

import numpy as np
import numpy.typing as npt


def make_shapes(seed: int = 0) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]]:
    """Five shapes of different sizes and densities, each densest in its
    middle: a compact blob, a wide sparse blob, a small dense blob beside it,
    a tilted elongated cloud and a crescent. 2000 points, labels 1 to 5."""
    rng = np.random.default_rng(seed)
    parts = []

    # 1: compact Gaussian blob.
    parts.append(rng.normal((-6.0, 5.0), 0.6, size=(450, 2)))
    # 2: wide, sparse Gaussian blob.
    parts.append(rng.normal((4.0, 5.0), 1.6, size=(500, 2)))
    # 3: small dense blob near the sparse one.
    parts.append(rng.normal((9.5, 1.0), 0.35, size=(200, 2)))
    # 4: elongated cloud tilted by 30 degrees.
    along = rng.normal(0.0, 2.2, 400)
    across = rng.normal(0.0, 0.35, 400)
    tilt = np.deg2rad(30.0)
    parts.append(np.c_[-4.0 + along * np.cos(tilt) - across * np.sin(tilt),
                       -3.5 + along * np.sin(tilt) + across * np.cos(tilt)])
    # 5: crescent, densest at its apex.
    angle = np.pi / 2 + np.clip(rng.normal(0.0, 0.55, 450), -1.4, 1.4)
    radius = 3.0 + rng.normal(0.0, 0.25, 450)
    parts.append(np.c_[4.0 + radius * np.cos(angle), -7.5 + radius * np.sin(angle)])

    x = np.concatenate(parts)
    y = np.concatenate([np.full(len(p), i + 1, dtype=np.int64) for i, p in enumerate(parts)])
    order = rng.permutation(len(x))
    return x[order], y[order]


def main(argv: Sequence[str] | None = None) -> int:
    p = argparse.ArgumentParser(prog="python -m quarnel_cluster.shapes",
                                description="Write the seeded 2-D demo data set.")
    p.add_argument("points", help="output CSV of points")
    p.add_argument("labels", help="output file of reference labels")
    p.add_argument("--seed", type=int, default=0)
    args = p.parse_args(argv)
    x, y = make_shapes(args.seed)
    np.savetxt(args.points, x, delimiter=",", fmt="%.6f", header="x,y", comments="")
    np.savetxt(args.labels, y, fmt="%d")
    print(f"wrote {len(x)} points in {y.max()} shapes to {args.points}, labels to {args.labels}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
