"""SHA-256 of every result of a fixed set of fits, to show that a change
leaves the results bit for bit as they were.

    python tools/result_hashes.py --save build/hashes-before.json   # before
    python tools/result_hashes.py --check build/hashes-before.json  # after

The fits cover one machine and a local Dask cluster of two workers; 2-D and
3-D points, with exact copies of points, with n_clusters, noise and
min_cluster_size, and points of more than 8 columns (the brute-force
search). Without --save or --check the hashes are printed. --check exits
with status 1 and names every result that differs.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import sys
import warnings

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "python"))

from quarnel_cluster import DensityPeakClustering  # noqa: E402

# Every per-point and per-fit result of a fit.
ARRAYS = ("labels_", "centers_", "rho_", "delta_", "nn_delta_")
SCALARS = ("bandwidth_", "threshold_", "search_size_", "n_clusters_", "n_neighbors_")


def blobs(n: int, d: int, seed: int, grid: float | None = None, copies: int = 0) -> np.ndarray:
    rng = np.random.default_rng(seed)
    centres = rng.uniform(0.0, 30.0, size=(6, d))
    x = centres[rng.integers(0, 6, n)] + rng.normal(0.0, 1.5, size=(n, d))
    if grid is not None:
        # Coordinates on a grid: many exact copies and equal distances.
        x = np.round(x / grid) * grid
    if copies:
        # Rows repeated verbatim, scattered through the set.
        x = np.vstack([x, x[rng.integers(0, n, copies)]])
        x = x[rng.permutation(len(x))]
    return x


SETS = {
    "2-D grid": lambda: blobs(8000, 2, 1, grid=0.05),
    "2-D copies": lambda: blobs(6000, 2, 2, copies=1200),
    "3-D": lambda: blobs(8000, 3, 3),
    "3-D copies": lambda: blobs(6000, 3, 4, copies=1000),
    "10-D": lambda: blobs(2500, 10, 5),
}

# (set, parameters) fitted on one machine.
SINGLE = [
    ("2-D grid", {}),
    ("2-D grid", {"n_clusters": 4}),
    ("2-D copies", {"noise": True}),
    ("2-D copies", {"min_cluster_size": 150}),
    ("3-D", {"noise": True, "n_clusters": 5}),
    ("3-D copies", {}),
    ("3-D copies", {"min_cluster_size": 80, "noise": True}),
    ("10-D", {}),
    ("10-D", {"n_clusters": 3}),
]

# (set, parameters, n_partitions) fitted on the local cluster.
DISTRIBUTED = [
    ("2-D grid", {}, 3),
    ("2-D copies", {"noise": True, "min_cluster_size": 150}, 4),
    ("3-D", {"noise": True, "n_clusters": 5}, 4),
    ("3-D copies", {}, 2),
    ("10-D", {"n_clusters": 3}, 2),
]


def digest(value: object) -> str:
    h = hashlib.sha256()
    if isinstance(value, np.ndarray):
        a = np.ascontiguousarray(value)
        h.update(f"{a.dtype.str}{a.shape}".encode())
        h.update(a.tobytes())
    elif isinstance(value, float):
        h.update(float(value).hex().encode())
    else:
        h.update(json.dumps(value).encode())
    return h.hexdigest()


def results(model: object, x: np.ndarray, single: bool) -> dict[str, str]:
    out = {}
    for name in ARRAYS:
        out[name] = digest(np.asarray(getattr(model, name)))
    for name in SCALARS:
        value = getattr(model, name)
        out[name] = digest(float(value) if isinstance(value, (float, np.floating)) else int(value))
    if single:
        out["density_graph_"] = digest([list(map(int, g)) for g in model.density_graph_])
        # New points: a shifted copy of every fifth row.
        out["predict"] = digest(np.asarray(model.predict(x[::5] + 0.01)))
    return out


def compute() -> dict[str, dict[str, str]]:
    data = {name: make() for name, make in SETS.items()}
    hashes: dict[str, dict[str, str]] = {}
    for name, params in SINGLE:
        model = DensityPeakClustering(**params).fit(data[name])
        hashes[f"single {name} {json.dumps(params, sort_keys=True)}"] = results(
            model, data[name], True)

    import distributed
    from quarnel_cluster.distributed import DensityPeakClustering as OnDask
    from quarnel_cluster.distributed.local import local_cluster
    with local_cluster(2, dashboard_address=":0") as cluster, distributed.Client(cluster) as client:
        for name, params, parts in DISTRIBUTED:
            model = OnDask(client=client, n_partitions=parts, **params).fit(data[name])
            key = f"distributed {name} {json.dumps(params, sort_keys=True)} n_partitions={parts}"
            hashes[key] = results(model, data[name], False)
    return hashes


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--save", metavar="FILE", help="write the hashes to FILE (JSON)")
    group.add_argument("--check", metavar="FILE", help="compare with the hashes in FILE")
    args = parser.parse_args()
    warnings.simplefilter("ignore")
    hashes = compute()
    if args.save:
        os.makedirs(os.path.dirname(os.path.abspath(args.save)), exist_ok=True)
        with open(args.save, "w") as f:
            json.dump(hashes, f, indent=1, sort_keys=True)
        print(f"{sum(map(len, hashes.values()))} hashes of {len(hashes)} fits written to {args.save}")
        return 0
    if args.check:
        with open(args.check) as f:
            expected = json.load(f)
        differ = [f"{case}: {name}"
                  for case in sorted(set(expected) | set(hashes))
                  for name in sorted(set(expected.get(case, {})) | set(hashes.get(case, {})))
                  if expected.get(case, {}).get(name) != hashes.get(case, {}).get(name)]
        for line in differ:
            print(f"differs: {line}")
        total = sum(map(len, expected.values()))
        print(f"{total - len(differ)} of {total} hashes equal" if differ
              else f"all {total} hashes of {len(expected)} fits equal")
        return 1 if differ else 0
    for case, values in hashes.items():
        print(case)
        for name, value in values.items():
            print(f"  {name:15} {value}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
