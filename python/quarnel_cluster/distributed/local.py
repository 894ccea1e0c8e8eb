"""A Dask cluster on this machine for the distributed run.

Each worker process runs one task at a time, and the native functions it
calls spread over a thread pool of their own, sized when the process first
uses it: by RAYON_NUM_THREADS, else every core. W workers on C cores would
then start W pools of C threads each, whose threads would crowd each
other off the cores and get less done than one pool. As Dask itself does for OpenMP and BLAS (OMP_NUM_THREADS
and the like), each worker's pool is given its share of the cores: C // W
threads, at least one. It is set in the worker processes alone (the
nannies' `env`, applied in each worker as it starts, before any task):
Dask's pre-spawn settings would also change the client's own environment.
A RAYON_NUM_THREADS set by the user is left as it is.

Dask's own memory settings are kept, MALLOC_TRIM_THRESHOLD_=65536 among
them: freed memory goes back to the system at once, so every array above
128 KiB is faulted in afresh by the next task. glibc's own thresholds
fault less, but keep freed memory in the process and raise a worker's
peaks towards its memory limit, which is what the nanny restarts it by.
"""

from __future__ import annotations

import os
from typing import Any

POOL_SIZE = "RAYON_NUM_THREADS"


def pool_threads(n_workers: int | None) -> int:
    """Native threads per worker when n_workers share this machine (None:
    Dask's default for one thread a worker, a worker per core)."""
    cores = len(os.sched_getaffinity(0))
    return max(1, cores // (n_workers or cores))


def local_cluster(n_workers: int | None, **kwargs: Any) -> Any:
    """distributed.LocalCluster of n_workers processes, one task thread each,
    their native pools sharing the cores."""
    from distributed import LocalCluster
    env = {} if POOL_SIZE in os.environ else {POOL_SIZE: str(pool_threads(n_workers))}
    return LocalCluster(n_workers=n_workers, threads_per_worker=1, processes=True, env=env,
                        **kwargs)
