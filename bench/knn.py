"""k-NN self query: quarnel against SciPy's cKDTree and pykdtree.

Uniform points, k = 16; each timing is tree build + query of all points,
median of several runs, all libraries on all cores, measured in one run.
Also prints quarnel's peak extra memory against the budget of the two
outputs plus twice the input, and at the end the two target ratios.

    python bench/knn.py [--quick] [--case N,D ...]

--quick runs the cases of up to 10^5 points; each --case N,D runs that case
alone (e.g. --case 1000000,3), skipping the rest of the table.
"""
import gc
import os
import resource
import statistics
import subprocess
import sys
import time

import numpy as np
from scipy.spatial import cKDTree

import quarnel

try:
    from pykdtree.kdtree import KDTree as PyKDTree
except ImportError:  # optional peer
    PyKDTree = None

K = 16


def median_time(fn, repeats):
    times = []
    for _ in range(repeats):
        gc.collect()
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


PEAK = """
import resource, sys, numpy as np, quarnel
n, d, k = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
x = np.random.default_rng(0).random((n, d))
quarnel.knn_query(x[:10], 1)   # start the pool: a once-per-process cost
import os
resident_before = int(open("/proc/self/statm").read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
out = quarnel.knn_query(x, k)
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print(peak - resident_before)
"""


def peak_extra_bytes(n, d):
    """Peak resident growth of a fresh process during one knn_query call."""
    out = subprocess.run([sys.executable, "-c", PEAK, str(n), str(d), str(K)],
                         capture_output=True, text=True, check=True)
    return int(out.stdout)


# (n, d) of the table; the targets are ratios to cKDTree at two of them.
CASES = [(10**5, 3), (10**5, 8), (10**6, 3)]
TARGETS = {(10**6, 3): 0.15, (10**5, 8): 0.2}


def main():
    if "--help" in sys.argv or "-h" in sys.argv:
        print(__doc__)
        return
    quick = "--quick" in sys.argv
    cases = [c for c in CASES if not quick or c[0] <= 10**5]
    chosen = [tuple(int(v) for v in sys.argv[i + 1].split(","))
              for i, a in enumerate(sys.argv) if a == "--case"]
    if chosen:
        cases = chosen
    rng = np.random.default_rng(0)
    print(f"threads: quarnel pool {quarnel_threads()}, cores {os.cpu_count()}")
    print(f"{'n':>9} {'d':>2} {'quarnel s':>10} {'cKDTree s':>10} {'ratio':>6} "
          f"{'pykdtree s':>10} {'ratio':>6} {'peak/budget':>11}")
    ratios = {}
    for n, d in cases:
        x = rng.random((n, d))
        repeats = 5 if n <= 10**5 else 3
        q = median_time(lambda: quarnel.knn_query(x, K), repeats)
        c = median_time(lambda: cKDTree(x).query(x, K, workers=-1), repeats)
        ratios[n, d] = q / c
        if PyKDTree is not None:
            p = median_time(lambda: PyKDTree(x).query(x, K), repeats)
            pk = f"{p:10.3f} {q / p:6.2f}"
        else:
            pk = f"{'-':>10} {'-':>6}"
        # resident growth is only meaningful well above the interpreter's own noise
        if n >= 10**6:
            budget = 2 * n * K * 8 + 2 * x.nbytes
            mem = f"{peak_extra_bytes(n, d) / budget:11.2f}"
        else:
            mem = f"{'-':>11}"
        print(f"{n:9d} {d:2d} {q:10.3f} {c:10.3f} {q / c:6.2f} {pk} {mem}")
    for (n, d), target in TARGETS.items():
        if (n, d) in ratios:
            verdict = "met" if ratios[n, d] <= target else "NOT met"
            print(f"target: {n} points, {d}-D, k = {K}: {ratios[n, d]:.3f}x cKDTree "
                  f"(target <= {target}, {verdict})")
    print("peak/budget target: < 1")


def quarnel_threads():
    return os.environ.get("RAYON_NUM_THREADS") or len(os.sched_getaffinity(0))


if __name__ == "__main__":
    main()
