"""Time and peak memory of knn_query, the bare pipeline and the default fit as n grows.

Points in 3-D from a mixture of 300 Gaussian blobs at 10^5, 10^6 and 10^7
points. Each size and each part runs in a fresh interpreter, so that its
peak resident size (ru_maxrss) is its own; the input points are counted in it.

The bare pipeline (k = 16) is what a clustering run does with the module:
  knn_query -> bandwidth_estimate, round_float, knn_query_cross for the last
  min(n / 10, MAX_TEST_POINTS) points against the rest, find_optimal_bandwidth
  on [round_float(s), 2 s] -> epanechnikov_kde -> compute_delta ->
  adaptive_trim_size -> stability_loop.
Its peak is that of the whole run (knn_query included). The growth columns
divide each time by n log n and by the same quotient at the smallest size,
so that growth beyond n log n shows as a number above 1.

The estimator part times DensityPeakClustering().fit (n_neighbors = 30)
against knn_query with k = 30 on the same points in the same process, with
the fit's own stages. Targets: fit <= 1.5x knn_query at 10^7 points, and
time per point at 10^7 <= 1.3x that at 10^6.

    python bench/scale.py [--sizes 100000,1000000,10000000] [--estimator-only]

The 10^7 run needs about 6 GiB of memory.
"""
import json
import math
import os
import subprocess
import sys
from pathlib import Path

# The driver of this checkout, ahead of any installed copy, and the points'
# module beside this file.
DRIVER = str(Path(__file__).resolve().parents[1] / "python")
BENCH = str(Path(__file__).resolve().parent)

SIZES = [10**5, 10**6, 10**7]
K = 16
D = 3
BLOBS = 300

CHILD = r"""
import json, resource, sys, time
sys.path[:0] = sys.argv[6:8]
import quarnel
from blobs import points

mode = sys.argv[1]
n, d, k, blobs = (int(a) for a in sys.argv[2:6])

def peak_bytes():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024

# The points, built in chunks so that generating them does not set the peak.
x = points(n, d, blobs)
quarnel.round_float(1.0)  # nothing parallel: the pool starts inside the timings

if mode == "estimator":
    from quarnel_cluster import DensityPeakClustering
    model = DensityPeakClustering()
    base = peak_bytes()
    start = time.perf_counter()
    table = quarnel.knn_query(x, model.n_neighbors)
    t_knn = time.perf_counter() - start
    del table
    start = time.perf_counter()
    model.fit(x)
    t_fit = time.perf_counter() - start
    print(json.dumps({"knn": t_knn, "fit": t_fit, "stages": model.timings_, "base": base,
                      "peak": peak_bytes(), "bandwidth": model.bandwidth_,
                      "clusters": model.n_clusters_}))
    sys.exit(0)

from quarnel_cluster.pipeline import MAX_TEST_POINTS

stages = {}
def stage(name, fn):
    t0 = time.perf_counter()
    out = fn()
    stages[name] = time.perf_counter() - t0
    return out

base = peak_bytes()
flat_dist, flat_idx = stage("knn_query", lambda: quarnel.knn_query(x, k))
knn_peak = peak_bytes()
nn_dist, nn_list = flat_dist.reshape(n, k), flat_idx.reshape(n, k)

# Points are drawn independently: the tail is a random test set, of at most
# the driver's number of held-out points.
m = n - min(n // 10, MAX_TEST_POINTS)
x_train, x_test = x[:m], x[m:]
_, s, _ = stage("bandwidth_estimate", lambda: quarnel.bandwidth_estimate(nn_dist, x_train, x_test))
h_min = quarnel.round_float(s)
test_dist, _ = stage("knn_query_cross", lambda: quarnel.knn_query_cross(x_train, x_test, k))
h, evaluations = stage("find_optimal_bandwidth", lambda: quarnel.find_optimal_bandwidth(
    test_dist.reshape(-1, k), h_min, 10.0 * s, d, m, 1e-3))
del test_dist
rho = stage("epanechnikov_kde", lambda: quarnel.epanechnikov_kde(nn_dist, h, d, n))
delta, nn_delta, centres, graph = stage(
    "compute_delta", lambda: quarnel.compute_delta(x, rho, nn_list, nn_dist))
size = stage("adaptive_trim_size", lambda: quarnel.adaptive_trim_size(nn_dist, h, 0.5, 8))
final = stage("stability_loop", lambda: quarnel.stability_loop(
    x, rho, centres, nn_delta, delta, nn_list, graph, 1.0, size))

print(json.dumps({
    "stages": stages, "base": base, "knn_peak": knn_peak, "peak": peak_bytes(),
    "bandwidth": h, "evaluations": evaluations, "search_size": size,
    "centres": [len(centres), len(final[0])],
}))
"""


def run_size(n, mode):
    cmd = [sys.executable, "-c", CHILD, mode, str(n), str(D), str(K), str(BLOBS), DRIVER, BENCH]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        reason = (f"killed by signal {-proc.returncode}" if proc.returncode < 0
                  else f"exit status {proc.returncode}")
        sys.exit(f"n = {n}: {reason}\n{proc.stderr[-3000:]}")
    return json.loads(proc.stdout)


def gib(b):
    return b / 2**30


def main():
    sizes = SIZES
    if "--sizes" in sys.argv:
        sizes = [int(float(s)) for s in sys.argv[sys.argv.index("--sizes") + 1].split(",")]
    estimator_only = "--estimator-only" in sys.argv
    threads = os.environ.get("RAYON_NUM_THREADS") or len(os.sched_getaffinity(0))
    print(f"{D}-D, k = {K}, {BLOBS} Gaussian blobs; each size in a fresh interpreter; "
          f"pool threads {threads}; machine memory "
          f"{gib(os.sysconf('SC_PAGE_SIZE') * os.sysconf('SC_PHYS_PAGES')):.1f} GiB")
    print("peak: resident size of the whole process, input points included; "
          "growth: time / (n log n), relative to the first size")
    print(f"{'n':>9} {'input GiB':>9} | {'knn_query s':>11} {'peak GiB':>8} {'growth':>6} | "
          f"{'pipeline s':>10} {'peak GiB':>8} {'growth':>6}")
    first = None
    rows = []
    for n in [] if estimator_only else sizes:
        r = run_size(n, "pipeline")
        t_knn = r["stages"]["knn_query"]
        t_all = sum(r["stages"].values())
        nlogn = n * math.log(n)
        if first is None:
            first = (t_knn / nlogn, t_all / nlogn)
        print(f"{n:9d} {gib(n * D * 8):9.2f} | {t_knn:11.2f} {gib(r['knn_peak']):8.2f} "
              f"{t_knn / nlogn / first[0]:6.2f} | {t_all:10.2f} {gib(r['peak']):8.2f} "
              f"{t_all / nlogn / first[1]:6.2f}", flush=True)
        rows.append((n, r))
    print("\nstages (s):")
    names = list(rows[0][1]["stages"]) if rows else []
    print(f"{'n':>9} " + " ".join(f"{name:>{max(len(name), 8)}}" for name in names))
    for n, r in rows:
        print(f"{n:9d} " + " ".join(f"{r['stages'][name]:>{max(len(name), 8)}.2f}"
                                    for name in names))
    print("\nDensityPeakClustering().fit (n_neighbors = 30), against knn_query with the same k "
          "in the same process; per point: time / n, relative to 10^6 points (or the first size)")
    print("fit/nbrs: the fit's time over that of its own neighbours stage (the same knn_query "
          "inside the fit), steadier than fit/knn when other jobs share the machine")
    print(f"{'n':>9} | {'knn_query s':>11} {'fit s':>7} {'fit/knn':>7} {'fit/nbrs':>8} "
          f"{'per point':>9} {'peak GiB':>8} | stages s")
    fits = [(n, run_size(n, "estimator")) for n in sizes]
    ref_n, ref = next(((n, r) for n, r in fits if n == 10**6), fits[0])
    for n, r in fits:
        outside = r["fit"] - sum(r["stages"].values())
        stages = " ".join(f"{name} {t:.2f}" for name, t in r["stages"].items())
        print(f"{n:9d} | {r['knn']:11.2f} {r['fit']:7.2f} {r['fit'] / r['knn']:7.2f} "
              f"{r['fit'] / r['stages']['neighbours']:8.2f} "
              f"{r['fit'] / n / (ref['fit'] / ref_n):9.2f} {gib(r['peak']):8.2f} | "
              f"{stages}, outside {outside:.2f}")
    for n, r in fits:
        print(f"{n:9d}  bandwidth {r['bandwidth']:.4g}, {r['clusters']} clusters")

    print("\nrun details:")
    for n, r in rows:
        c0, c1 = r["centres"]
        print(f"{n:9d}  bandwidth {r['bandwidth']:.4g} after {r['evaluations']} evaluations, "
              f"search size {r['search_size']}, centres {c0} -> {c1}")


if __name__ == "__main__":
    main()
