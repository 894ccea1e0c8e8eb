"""More than 8 columns: the driver's exact neighbour table (k = 31, its road
beyond 8 columns: the k-d tree on the principal axes, or the blocked brute
force where that tree cannot prune) against scikit-learn's NearestNeighbors
(kd_tree, ball_tree and brute, n_jobs=-1) and faiss' exact IndexFlatL2, all
on the same points in the same run; then a default DensityPeakClustering
fit of the largest set, in a subprocess, for its time and peak memory.

Points: Gaussian blobs (10 of them, unit spread) in 6 dimensions, turned by
a random rotation into 16 or 50 columns, plus isotropic noise of 0.01 in
every column: spread in about 6 directions, as embeddings and principal
components often are. Also scikit-learn's digits (1797 x 64, shipped with
scikit-learn). faiss computes in float32 (its points are converted first,
outside the timing); everyone else in float64. Each timing is one run (best
of --repeat), wall-clock, every library on all cores.

A peer whose time at the largest size, extrapolated from a smaller size of
the same columns as n^2 (the trees' included: on these sets they grow as fast),
exceeds --skip-above seconds is not run, and says so.

The table is printed and written to bench/results/wide.md.

    python bench/wide.py [--sizes 100000x16,100000x50,1000000x16] [--fit 1000000x50]
                         [--repeat 1] [--skip-above 600] [--no-digits]

--fit none leaves out the fit; --sizes "" leaves out the tables of
generated points.
"""
import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

import quarnel_cluster
from quarnel_cluster import neighbours

K = 31
RESULTS = Path(__file__).resolve().parent / "results" / "wide.md"
PEERS = ["kd_tree", "ball_tree", "brute", "faiss"]
PEER_NAMES = {"kd_tree": "sklearn kd_tree", "ball_tree": "sklearn ball_tree",
              "brute": "sklearn brute", "faiss": "faiss IndexFlatL2"}
# How a peer's time grows with n (for the estimate that decides skipping):
# on these sets scikit-learn's trees grow about as fast as the brute-force
# searches (their all-points query stays nowhere near n log n).
GROWTH = {"kd_tree": 2.0, "ball_tree": 2.0, "brute": 2.0, "faiss": 2.0}
TARGET = 0.3


def flat_blobs(n, d, seed=0, directions=6, blobs=10, noise=0.01):
    """Blobs in `directions` dimensions rotated into d columns, plus noise;
    made in chunks so that making them takes little more than the points."""
    rng = np.random.default_rng(seed)
    centres = rng.uniform(0, 20, (blobs, directions))
    basis, _ = np.linalg.qr(rng.standard_normal((d, directions)))
    x = np.empty((n, d))
    chunk = 100_000
    for start in range(0, n, chunk):
        m = min(chunk, n - start)
        z = centres[rng.integers(0, blobs, m)] + rng.standard_normal((m, directions))
        x[start:start + m] = z @ basis.T + noise * rng.standard_normal((m, d))
    return x


def digits():
    from sklearn.datasets import load_digits
    return np.ascontiguousarray(load_digits().data, dtype=np.float64)


def seconds(fn, repeat):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def ours(x, repeat):
    roads = {}

    def run():
        roads.clear()
        neighbours.self_table(x, K, roads)
    t = seconds(run, repeat)
    road = next(iter(roads)).removeprefix("neighbours (").removesuffix(")")
    return t, road


def peer(name, x, repeat):
    if name == "faiss":
        import faiss
        x32 = np.ascontiguousarray(x, dtype=np.float32)

        def run():
            index = faiss.IndexFlatL2(x32.shape[1])
            index.add(x32)
            index.search(x32, K)
        return seconds(run, repeat)
    from sklearn.neighbors import NearestNeighbors
    return seconds(lambda: NearestNeighbors(n_neighbors=K, algorithm=name, n_jobs=-1)
                   .fit(x).kneighbors(x), repeat)


def fmt(t):
    return f"{t:.3f}" if t < 1 else f"{t:.2f}"


def parse_sizes(text):
    return [tuple(int(v) for v in s.split("x")) for s in text.split(",") if s]


FIT = """
import json, resource, sys, time
sys.path.insert(0, {bench!r})
from wide import flat_blobs
from quarnel_cluster import DensityPeakClustering
x = flat_blobs({n}, {d})
with open("/proc/self/status") as f:
    before = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
t0 = time.perf_counter()
model = DensityPeakClustering().fit(x)
t = time.perf_counter() - t0
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({{"seconds": t, "peak_kib": peak, "data_kib": before,
                  "clusters": model.n_clusters_, "timings": model.timings_}}))
"""


def fit_in_subprocess(n, d):
    package_root = str(Path(quarnel_cluster.__file__).resolve().parents[1])
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([package_root, env.get("PYTHONPATH", "")])
    code = FIT.format(bench=str(Path(__file__).resolve().parent), n=n, d=d)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        raise RuntimeError(proc.stderr[-3000:])
    return json.loads(proc.stdout.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", default="100000x16,100000x50,1000000x16",
                    help="comma-separated NxD of the generated sets")
    ap.add_argument("--fit", default="1000000x50", help="NxD of the fit, or none")
    ap.add_argument("--repeat", type=int, default=1, help="best of this many runs of each")
    ap.add_argument("--skip-above", type=float, default=600.0,
                    help="seconds: a peer estimated slower than this is not run")
    ap.add_argument("--no-digits", action="store_true")
    args = ap.parse_args()

    sets = [(f"6 directions in {d} columns", n, d, None) for n, d in parse_sizes(args.sizes)]
    if not args.no_digits:
        sets.insert(0, ("digits", 1797, 64, digits))
    header = ("| points | n x d | ours s (road) | " + " | ".join(PEER_NAMES[p] + " s" for p in PEERS)
              + " | ours / fastest |")
    lines = [header, "|" + "---|" * (len(PEERS) + 4)]
    print(header, flush=True)
    timed = {}  # (peer, d) -> (n, seconds): the base of the estimates
    worst = 0.0
    for label, n, d, make in sets:
        x = make() if make is not None else flat_blobs(n, d)
        # tiny sets: best of several, the first runs warm up
        repeat = args.repeat if n * d >= 10**6 else max(args.repeat, 5)
        t_ours, road = ours(x, repeat)
        cells, fastest, least_estimate = [], float("inf"), float("inf")
        for p in PEERS:
            base = timed.get((p, d))
            if base is not None and make is None:
                estimate = base[1] * (n / base[0]) ** GROWTH[p]
                if estimate > args.skip_above:
                    cells.append(f"not run (est. > {args.skip_above:.0f} s)")
                    least_estimate = min(least_estimate, estimate)
                    continue
            t = peer(p, x, repeat)
            if make is None:
                timed[(p, d)] = (n, t)
            fastest = min(fastest, t)
            cells.append(fmt(t))
        if fastest < float("inf"):
            ratio = t_ours / fastest
            worst = max(worst, ratio)
            shown = f"{ratio:.2f}"
        else:  # every peer skipped: against the least estimate, which they would exceed
            shown = f"< {t_ours / least_estimate:.2f} (est.)"
        row = (f"| {label} | {n} x {d} | {fmt(t_ours)} ({road}) | " + " | ".join(cells)
               + f" | {shown} |")
        lines.append(row)
        print(row, flush=True)
        del x
    summary = [f"Largest ratio to the fastest peer: {worst:.2f} (target {TARGET})."] if len(lines) > 2 else []
    if args.fit != "none":
        n, d = parse_sizes(args.fit)[0]
        r = fit_in_subprocess(n, d)
        gib = 1 << 20  # ru_maxrss is in KiB
        stages = ", ".join(f"{k} {v:.1f} s" for k, v in r["timings"].items())
        summary.append(
            f"Default DensityPeakClustering fit, {n} x {d}: {r['seconds']:.1f} s, peak resident "
            f"memory {r['peak_kib'] / gib:.2f} GiB ({r['data_kib'] / gib:.2f} GiB resident before the "
            f"fit, with the points), {r['clusters']} clusters; stages: {stages}.")
    load = ", ".join(f"{v:.1f}" for v in os.getloadavg())
    summary.append(f"Load average at the end of the run: {load} ({os.cpu_count()} cores).")
    for s in summary:
        print(s)
    RESULTS.parent.mkdir(exist_ok=True)
    RESULTS.write_text("\n".join(lines) + "\n\n" + "\n\n".join(summary) + "\n")


if __name__ == "__main__":
    main()
