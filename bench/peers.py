"""Time and peak memory of a default clustering run against fast_hdbscan and hdbscan.

Points from a mixture of 300 Gaussian blobs (the data of bench/scale.py), in
2-D and 3-D, at 10^5 and 10^6 points. Every method runs with its defaults:
DensityPeakClustering().fit(x), fast_hdbscan.HDBSCAN().fit(x) (multicore),
hdbscan.HDBSCAN(core_dist_n_jobs=-1).fit(x). Each run is a fresh interpreter,
so its peak resident size (ru_maxrss) is its own: it counts the interpreter,
the imports (fast_hdbscan brings numba and LLVM), the input points and the
fit. The time is that of the fit alone, after a warm-up fit on 2000 points in
the same process, so that numba's compilation is not counted against
fast_hdbscan. hdbscan gets --timeout seconds per run (default 300); past that
its row shows "—" and the reason. The other two run to the end.

The ratio columns divide DensityPeakClustering's time and peak by those of
fast_hdbscan in the same run. Target: time <= 0.2x and peak <= 1x at 10^6.
Besides printing every run, it writes the Markdown table to --out
(bench/results/peers.md), which the README and the documentation show.

    python bench/peers.py [--sizes 100000,1000000] [--dims 2,3] [--timeout 300]
                          [--methods quarnel,fast_hdbscan,hdbscan] [--out FILE.md]
"""
import argparse
import json
import os
import subprocess
import sys
from pathlib import Path

# The driver of this checkout, ahead of any installed copy, and the points'
# module beside this file.
DRIVER = str(Path(__file__).resolve().parents[1] / "python")
BENCH = str(Path(__file__).resolve().parent)
RESULTS = Path(__file__).resolve().parent / "results" / "peers.md"

BLOBS = 300
WARM_UP = 2000

CHILD = r"""
import json, resource, sys, time
from blobs import points

method, n, d, blobs, warm_up = sys.argv[1], *(int(a) for a in sys.argv[2:6])

if method == "quarnel":
    from quarnel_cluster import DensityPeakClustering
    make = lambda: DensityPeakClustering()
elif method == "fast_hdbscan":
    import fast_hdbscan
    make = lambda: fast_hdbscan.HDBSCAN()
else:
    import hdbscan
    make = lambda: hdbscan.HDBSCAN(core_dist_n_jobs=-1)

make().fit(points(warm_up, d, blobs, seed=1))
x = points(n, d, blobs)
start = time.perf_counter()
labels = make().fit(x).labels_
seconds = time.perf_counter() - start
print(json.dumps({"seconds": seconds,
                  "peak": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024,
                  "clusters": int(labels.max()) + 1,
                  "noise": int((labels < 0).sum())}))
"""


def run(method, n, d, timeout):
    cmd = [sys.executable, "-c", CHILD, method, str(n), str(d), str(BLOBS), str(WARM_UP)]
    try:
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(
            [DRIVER, BENCH] + [p for p in [os.environ.get("PYTHONPATH")] if p]))
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env=env)
    except subprocess.TimeoutExpired:
        return f"stopped after {timeout:.0f} s"
    if proc.returncode != 0:
        last = (proc.stderr.strip().splitlines() or ["?"])[-1]
        return (f"killed by signal {-proc.returncode}" if proc.returncode < 0
                else f"failed: {last[:60]}")
    return json.loads(proc.stdout)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--sizes", default="100000,1000000")
    ap.add_argument("--dims", default="2,3")
    ap.add_argument("--timeout", type=float, default=300.0,
                    help="seconds before an hdbscan run is stopped (at 10^6 it is slow)")
    ap.add_argument("--methods", default="quarnel,fast_hdbscan,hdbscan")
    ap.add_argument("--out", default=str(RESULTS),
                    help="Markdown table written here (default: bench/results/peers.md)")
    args = ap.parse_args()
    methods = args.methods.split(",")
    rows = []
    print(f"{BLOBS} Gaussian blobs; default parameters; each run in a fresh interpreter; "
          f"time of the fit after a warm-up; peak: resident size of the whole process")
    print(f"{'d':>2} {'n':>8} {'method':>13} {'fit s':>8} {'peak MiB':>9} {'clusters':>8} "
          f"{'noise':>8}   {'time/fast_hdbscan':>17} {'peak/fast_hdbscan':>17}")
    for d in (int(v) for v in args.dims.split(",")):
        for n in (int(float(v)) for v in args.sizes.split(",")):
            results = {m: run(m, n, d, args.timeout if m == "hdbscan" else None)
                       for m in methods}
            peer = results.get("fast_hdbscan")
            rows.append(markdown_row(n, d, methods, results))
            for m, r in results.items():
                if isinstance(r, str):
                    print(f"{d:>2} {n:>8} {m:>13} {'—':>8} {'—':>9}   ({r})", flush=True)
                    continue
                ratios = ""
                if isinstance(peer, dict) and m != "fast_hdbscan":
                    ratios = (f"   {r['seconds'] / peer['seconds']:17.2f} "
                              f"{r['peak'] / peer['peak']:17.2f}")
                print(f"{d:>2} {n:>8} {m:>13} {r['seconds']:8.2f} {r['peak'] / 2**20:9.0f} "
                      f"{r['clusters']:8d} {r['noise']:8d}{ratios}", flush=True)
    write_table(Path(args.out), methods, rows)


def power_of_ten(n):
    e = len(str(n)) - 1
    return f"10^{e}" if n == 10**e else str(n)


def markdown_row(n, d, methods, results):
    """One row: fit seconds, peak MiB, clusters and noise points per method,
    then quarnel's ratios to fast_hdbscan when both ran."""
    cells = [power_of_ten(n), str(d)]
    for m in methods:
        r = results[m]
        cells.append(f"{r['seconds']:.2f} s, {r['peak'] / 2**20:.0f} MiB, "
                     f"{r['clusters']} clusters, {r['noise']} noise"
                     if isinstance(r, dict) else f"— ({r})")
    ours, peer = results.get("quarnel"), results.get("fast_hdbscan")
    if isinstance(ours, dict) and isinstance(peer, dict):
        cells += [f"{ours['seconds'] / peer['seconds']:.2f}",
                  f"{ours['peak'] / peer['peak']:.2f}"]
    else:
        cells += ["—", "—"]
    return cells


def write_table(path, methods, rows):
    head = (["points", "d"] + list(methods)
            + ["time / fast_hdbscan", "peak / fast_hdbscan"])
    lines = [f"Default clustering of a mixture of {BLOBS} Gaussian blobs: fit time after a "
             f"warm-up, peak resident memory of the whole process, clusters found and points "
             f"labelled noise; each method with its defaults in an interpreter of its own, "
             f"on {os.cpu_count()} cores (`bench/peers.py`).", "",
             "| " + " | ".join(head) + " |", "|" + " --- |" * len(head)]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("\n".join(lines) + "\n")
    print(f"table written to {path}")


if __name__ == "__main__":
    main()
