"""k-NN self query: two or more builds of the quarnel extension against each
other and cKDTree, alternating call by call in one process.

On a machine shared with other benchmarks the load changes from second to
second; calls of the builds taken in turn see nearly the same load, so the
median of their paired time ratios says more than medians of separate runs.

    python bench/knn_builds.py N D ROUNDS DIR [DIR ...]

Each DIR holds a built quarnel extension (quarnel.*.so); the first is the
reference. The builds must give the same bits (checked). cKDTree runs once
every three rounds, for the ratio to the peer.
"""
import importlib.util
import os
import statistics
import sys
import time

import numpy as np
from scipy.spatial import cKDTree

K = 16


def load(directory):
    name = next(f for f in os.listdir(directory) if f.startswith("quarnel.") and f.endswith(".so"))
    found = importlib.util.spec_from_file_location("quarnel", os.path.join(directory, name))
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def main():
    if len(sys.argv) < 5:
        print(__doc__)
        return
    n, d, rounds = (int(v) for v in sys.argv[1:4])
    dirs = sys.argv[4:]
    modules = [load(p) for p in dirs]
    x = np.random.default_rng(0).random((n, d))
    for m in modules:
        m.knn_query(x[:100], K)   # start each build's pool
    reference = modules[0].knn_query(x, K)
    for p, m in zip(dirs[1:], modules[1:]):
        assert all(np.array_equal(a, b) for a, b in zip(reference, m.knn_query(x, K))), p
    del reference
    times = {p: [] for p in dirs}
    peer = []
    loads = []
    for r in range(rounds):
        for p, m in zip(dirs, modules):
            t0 = time.perf_counter()
            m.knn_query(x, K)
            times[p].append(time.perf_counter() - t0)
        if r % 3 == 0:
            t0 = time.perf_counter()
            cKDTree(x).query(x, K, workers=-1)
            peer.append(time.perf_counter() - t0)
        loads.append(os.getloadavg()[0])
    c = statistics.median(peer)
    print(f"{n} points, {d}-D, k = {K}: cKDTree median {c:.3f} s of {len(peer)}")
    for p in dirs:
        q = statistics.median(times[p])
        print(f"  {p}: median {q:.3f} s (min {min(times[p]):.3f}) of {rounds}, {q / c:.3f}x cKDTree")
    for p in dirs[1:]:
        paired = [a / b for a, b in zip(times[p], times[dirs[0]])]
        print(f"  {p} / {dirs[0]}: median of paired ratios {statistics.median(paired):.3f}")
    print(f"  load average during the run: {min(loads):.2f}-{max(loads):.2f}")


if __name__ == "__main__":
    main()
