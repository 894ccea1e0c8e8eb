"""A Dask cluster on this machine for the distributed run.

Each worker process runs one task at a time, and the native functions it
calls spread over a thread pool of their own, sized when the process first
uses it: by RAYON_NUM_THREADS, else every core. W workers on C cores would
then start W pools of C threads each, and two workers' searches side by side
on two cores got less done than one (34 s against 20.7 s for the same boxes
at 10^7 points). As Dask itself does for OpenMP and BLAS (OMP_NUM_THREADS
and the like), each worker's pool is given its share of the cores: C // W
threads, at least one. It is set in the worker processes alone (the
nannies' `env`, applied in each worker as it starts, before any task):
Dask's pre-spawn settings would also change the client's own environment.
A RAYON_NUM_THREADS set by the user is left as it is.

Dask also starts its workers with MALLOC_TRIM_THRESHOLD_=65536, which hands
freed memory back to the system at once and, as a side effect, fixes
glibc's mmap threshold at 128 KiB: every array of a task above that size is
then mapped and faulted in afresh, each time. The box tasks make many
temporaries of 1-30 MiB (a box's labels, densities, masks): at 10^7 points
on two workers the clusters stage took 6.5 s against 4.6-5.0 s with
glibc's own thresholds, which reuse such blocks. The local cluster leaves
glibc's defaults (set MALLOC_TRIM_THRESHOLD_ in the environment to keep
Dask's); what glibc keeps is bounded (up to 64 MiB of free heap a worker),
and arrays above 32 MiB are still returned when freed.
"""

from __future__ import annotations

import os
from typing import Any

POOL_SIZE = "RAYON_NUM_THREADS"
TRIM = "MALLOC_TRIM_THRESHOLD_"


def pool_threads(n_workers: int | None) -> int:
    """Native threads per worker when n_workers share this machine (None:
    Dask's default for one thread a worker, a worker per core)."""
    cores = len(os.sched_getaffinity(0))
    return max(1, cores // (n_workers or cores))


def local_cluster(n_workers: int | None, **kwargs: Any) -> Any:
    """distributed.LocalCluster of n_workers processes, one task thread each,
    their native pools sharing the cores."""
    import dask
    from distributed import LocalCluster
    env = {} if POOL_SIZE in os.environ else {POOL_SIZE: str(pool_threads(n_workers))}
    # Read by the nannies as they are made, applied before each worker starts.
    with dask.config.set({f"distributed.nanny.pre-spawn-environ.{TRIM}": None}):
        return LocalCluster(n_workers=n_workers, threads_per_worker=1, processes=True,
                            env=env, **kwargs)
