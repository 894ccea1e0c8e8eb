"""The distributed fit against the single-machine one: time, each worker's
peak memory, and the bytes the workers send, on the same points.

Points: the 3-D mixture of 300 Gaussian blobs of bench/scale.py
(bench/blobs.py), written once per size to a Zarr store under --dir (blocks
of 10^6 rows; kept for later runs). Each run is a fresh interpreter:

  single  DensityPeakClustering().fit on the store's points read into
          memory; time of the fit; peak resident size (ru_maxrss) of the
          process, the points included.
  dask    quarnel_cluster.distributed.DensityPeakClustering on a
          LocalCluster of W worker processes (1 task thread and cores / W
          native threads, --memory-limit each), the points read by the
          workers and persisted before the fit; time of the fit; each
          worker process's peak resident size (its ru_maxrss, the points it
          holds included) as a share of the single run's peak; the bytes
          the workers sent during the fit (to each other and to the client)
          per point; the client's peak (the scheduler runs in it); whether
          the labels equal the single run's.

Targets at 10^7 points: dask time <= 1.5x single with 2 workers; every
worker's peak <= 0.7x the single peak with 2 workers, <= 0.4x with 4.

--big: one run no single process here could hold: --big-points (5 x 10^7)
points in a Zarr store on disk, 4 workers capped at a quarter of the
machine's memory each, the points read by the workers inside the fit and
the labels, rho, delta and nn_delta written to a Zarr store by them; prints
the fit's and the write's time and the peaks. A benchmark only: it takes
most of the machine for a long time.

    python bench/distributed.py [--sizes 1000000,10000000] [--workers 2,4]
                                [--memory-limit 6] [--dir build/bench-distributed]
    python bench/distributed.py --big [--big-points 50000000]

Runs of 10^7 points and more need several GiB: on a shared machine, run
them under `flock /tmp/quarnel-big.lock`.
"""
import argparse
import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
# The driver of this checkout, ahead of any installed copy (the workers
# inherit the interpreter's path).
DRIVER = str(HERE.parent / "python")
sys.path.insert(0, str(HERE))
import blobs  # noqa: E402

D = 3
GiB = 2**30

CHILD = r"""
import json, os, resource, sys, time
sys.path.insert(0, sys.argv[1])
import numpy as np

mode, path, labels_path = sys.argv[2:5]
workers, limit = int(sys.argv[5]), int(sys.argv[6])

def peak():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024

if mode == "single":
    import zarr
    from quarnel_cluster import DensityPeakClustering
    x = zarr.open(path, mode="r")[:]
    start = time.perf_counter()
    model = DensityPeakClustering().fit(x)
    fit = time.perf_counter() - start
    np.save(labels_path, model.labels_)
    print(json.dumps({"fit": fit, "peak": peak(), "clusters": model.n_clusters_}))
    sys.exit(0)

from distributed import Client, wait
from quarnel_cluster.distributed.local import local_cluster
from quarnel_cluster.distributed import DensityPeakClustering, store

def sent(dask_worker):
    return dask_worker.transfer_outgoing_bytes_total

def worker_peak():
    import resource
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024

if __name__ == "__main__":
    with local_cluster(workers, memory_limit=limit,
                       dashboard_address=":0") as cluster, Client(cluster) as client:
        pids = client.run(os.getpid)
        out = {}
        start = time.perf_counter()
        if mode == "dask":
            x = store.read_points(path).persist()
            wait(x)
            out["read"] = time.perf_counter() - start
            before = sum(client.run(sent).values())
            start = time.perf_counter()
            model = DensityPeakClustering(client=client).fit(x)
        else:  # big: read inside the fit, results written back by the workers
            before = sum(client.run(sent).values())
            model = DensityPeakClustering(client=client).fit(path)
        out["fit"] = time.perf_counter() - start
        out["sent"] = sum(client.run(sent).values()) - before
        if mode == "dask":
            expected = np.load(labels_path)
            out["same"] = bool(np.array_equal(np.asarray(model.labels_), expected))
        else:
            start = time.perf_counter()
            store.write_outputs(labels_path, {name: getattr(model, name + "_")
                                              for name in ("labels", "rho", "delta", "nn_delta")})
            out["write"] = time.perf_counter() - start
        out["workers"] = sorted(client.run(worker_peak).values())
        out["restarted"] = len(set(pids.values()) - set(client.run(os.getpid).values()))
        out["client"] = peak()
        out["clusters"] = model.n_clusters_
        out["stages"] = model.timings_
        print(json.dumps(out))
"""


def child(mode, path, labels_path, workers=0, limit=0):
    cmd = [sys.executable, "-c", CHILD, DRIVER, mode, str(path), str(labels_path),
           str(workers), str(limit)]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        reason = (f"killed by signal {-proc.returncode}" if proc.returncode < 0
                  else f"exit status {proc.returncode}")
        sys.exit(f"{mode} run on {path}: {reason}\n{proc.stderr[-3000:]}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def points_store(directory, n):
    """A Zarr store of the first n points of the mixture, written block by
    block unless a complete one is there."""
    import zarr
    path = directory / f"blobs-{n}.zarr"
    if path.exists():
        z = zarr.open(str(path), mode="r")
        if z.attrs.get("complete") and z.shape == (n, D):
            return path
    z = zarr.create_array(str(path), shape=(n, D), chunks=(blobs.BLOCK_ROWS, D),
                          dtype="f8", overwrite=True)
    for start, rows in blobs.blocks(n, D):
        z[start:start + len(rows)] = rows
    z.attrs["complete"] = True
    return path


def gib(b):
    return b / GiB


def compare(directory, sizes, workers, limit):
    print(f"{'n':>9} | {'single s':>8} {'peak GiB':>8} | {'W':>1} {'read s':>6} {'dask s':>7} "
          f"{'ratio':>5} {'client GiB':>10} {'sent B/pt':>9} {'same':>4} | worker peak GiB (share of single)")
    stages = []
    for n in sizes:
        path = points_store(directory, n)
        labels = directory / f"labels-{n}.npy"
        s = child("single", path, labels)
        for w in workers:
            r = child("dask", path, labels, w, limit)
            stages.append((n, w, r["stages"]))
            shares = ", ".join(f"{gib(p):.2f} ({p / s['peak']:.2f})" for p in r["workers"])
            note = f"; {r['restarted']} worker(s) restarted" if r["restarted"] else ""
            print(f"{n:9d} | {s['fit']:8.2f} {gib(s['peak']):8.2f} | {w:1d} {r['read']:6.2f} "
                  f"{r['fit']:7.2f} {r['fit'] / s['fit']:5.2f} {gib(r['client']):10.2f} {r['sent'] / n:9.1f} "
                  f"{'yes' if r['same'] else 'NO':>4} | {shares}{note}", flush=True)
        print(f"{n:9d}   {s['clusters']} clusters")
    print("dask fit's stages (s):")
    for n, w, times in stages:
        print(f"{n:9d} W = {w}: " + ", ".join(f"{name} {t:.1f}" for name, t in times.items()))


def big(directory, n):
    total = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    path = points_store(directory, n)
    out = directory / f"clusters-{n}.zarr"
    r = child("big", path, out, 4, total // 4)
    print(f"{n} points ({gib(n * D * 8):.2f} GiB of coordinates) from {path}, 4 workers of "
          f"{gib(total // 4):.1f} GiB each:")
    print(f"  fit (reading included) {r['fit']:.1f} s, writing labels, rho, delta, nn_delta "
          f"to {out.name} {r['write']:.1f} s, {r['clusters']} clusters")
    print("  stages (s): " + ", ".join(f"{name} {t:.1f}" for name, t in r["stages"].items()))
    print(f"  worker peaks GiB {', '.join(f'{gib(p):.2f}' for p in r['workers'])}; client "
          f"{gib(r['client']):.2f}; sent {r['sent'] / n:.1f} B per point"
          + (f"; {r['restarted']} worker(s) restarted" if r["restarted"] else ""))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--sizes", default="1000000,10000000")
    p.add_argument("--workers", default="2,4")
    p.add_argument("--memory-limit", type=float, default=6.0, help="GiB per worker (6)")
    p.add_argument("--dir", type=Path, default=HERE.parent / "build" / "bench-distributed")
    p.add_argument("--big", action="store_true")
    p.add_argument("--big-points", type=float, default=5e7)
    args = p.parse_args()
    args.dir.mkdir(parents=True, exist_ok=True)
    cores = len(os.sched_getaffinity(0))
    total = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    print(f"{D}-D, {blobs.BLOBS} Gaussian blobs, default parameters; {cores} cores, "
          f"{gib(total):.1f} GiB; each run in a fresh interpreter")
    if args.big:
        big(args.dir, int(args.big_points))
        return
    print(f"dask: LocalCluster of W workers, 1 task thread, {cores} // W native threads and "
          f"{args.memory_limit:g} GiB each; "
          "read: the workers' reading of the store, before the fit;\nratio: dask time / "
          "single time; sent: bytes the workers sent during the fit")
    compare(args.dir, [int(float(s)) for s in args.sizes.split(",")],
            [int(w) for w in args.workers.split(",")], int(args.memory_limit * GiB))


if __name__ == "__main__":
    main()
