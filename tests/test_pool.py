"""The process-wide pool: thread counts, fork, failures on workers."""
import json
import os

import numpy as np
import pytest

import quarnel
from conftest import run_python, with_driver_path

PIPELINE = """
import json, numpy as np, quarnel
rng = np.random.default_rng(11)
x = rng.random((20000, 3))
d, i = quarnel.knn_query(x, 12)
cd, ci = quarnel.knn_query_cross(x[:15000], x[15000:], 12)
print(json.dumps({"d": float(d.sum()), "i": int((i * np.arange(len(i))).sum()),
                  "cd": float(cd.sum()), "ci": int((ci * np.arange(len(ci))).sum()),
                  "first": d[:50].tolist()}))
"""


def test_results_independent_of_thread_count():
    outputs = []
    for threads in ("1", "2", "3"):
        proc = run_python(PIPELINE, env={"RAYON_NUM_THREADS": threads})
        assert proc.returncode == 0, proc.stderr
        outputs.append(json.loads(proc.stdout))
    assert outputs[0] == outputs[1] == outputs[2]


COUNT_THREADS = """
import os, numpy as np, quarnel
quarnel.knn_query(np.random.default_rng(0).random((100000, 3)), 4)
print(len(os.listdir('/proc/self/task')) - 1)
"""


@pytest.mark.parametrize("env, expected", [
    ({"RAYON_NUM_THREADS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "4"}, 4),
    ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "4"}, len(os.sched_getaffinity(0))),
    ({"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": "5"}, 5),
])
def test_pool_size_rule(env, expected):
    env = {"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": "", "OPENBLAS_NUM_THREADS": "1",
           "OMP_NUM_THREADS": "1", **env}
    proc = run_python(COUNT_THREADS, env=env)
    assert proc.returncode == 0, proc.stderr
    # threads besides the main one: the pool's workers (NumPy's BLAS pinned to 1)
    assert int(proc.stdout) == expected


SHARED = """
import os, numpy as np, quarnel
from quarnel_cluster import _native
x = np.random.default_rng(0).random((100000, 3))
before = len(os.listdir('/proc/self/task'))
quarnel.knn_query(x, 4)
_native.knn_table(x, 4)
print(len(os.listdir('/proc/self/task')) - before)
"""


def test_both_native_modules_share_one_pool():
    """quarnel and the driver's native module are built on one library: a
    process that calls a function of each starts one pool, not one per
    module."""
    env = {"RAYON_NUM_THREADS": "3", "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1",
           "PYTHONPATH": with_driver_path()}
    proc = run_python(SHARED, env=env)
    assert proc.returncode == 0, proc.stderr
    assert int(proc.stdout) == 3


FORK = """
import os, numpy as np, quarnel
x = np.random.default_rng(1).random((50000, 3))
expected = quarnel.knn_query(x, 8)
pid = os.fork()
if pid == 0:
    got = quarnel.knn_query(x, 8)
    ok = all(np.array_equal(a, b) for a, b in zip(expected, got))
    os._exit(0 if ok else 3)
_, status = os.waitpid(pid, 0)
print(os.waitstatus_to_exitcode(status))
"""


def test_pool_restarts_after_fork():
    proc = run_python(FORK, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "0"


MULTIPROCESSING = """
import multiprocessing as mp, numpy as np, quarnel

def work(seed):
    x = np.random.default_rng(seed).random((30000, 3))
    d, i = quarnel.knn_query(x, 6)
    return float(d.sum()), int(i.sum())

if __name__ == "__main__":
    expected = [work(s) for s in range(4)]     # the parent's pool is running now
    with mp.get_context("fork").Pool(2) as pool:
        got = pool.map(work, range(4))
    print(got == expected)
"""


def test_multiprocessing_fork_pool():
    proc = run_python(MULTIPROCESSING, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "True"


def test_first_stop_on_a_worker_is_reported(PanicException):
    train = np.random.default_rng(0).random((100, 3))
    query = np.random.default_rng(1).random((100000, 3))
    query[77777, 0] = np.nan
    query[90000, 2] = np.inf
    with pytest.raises(PanicException, match=r"^x_query: row (77777|90000) has a non-finite"):
        quarnel.knn_query_cross(train, query, 3)
    # the pool is usable afterwards
    assert len(quarnel.knn_query_cross(train, query[:1000], 3)[0]) == 3000


POOL_FAILS = """
import resource, numpy as np, quarnel
x = np.random.default_rng(0).random((10000, 3))
vm = int(open('/proc/self/statm').read().split()[0]) * 4096
resource.setrlimit(resource.RLIMIT_AS, (vm + 64 * 2**20, resource.RLIM_INFINITY))
try:
    quarnel.knn_query(x, 2)
except BaseException as e:
    print(type(e).__name__, str(e))
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
print(len(quarnel.knn_query(x, 2)[0]))
"""


def test_pool_that_cannot_start_is_a_stop():
    # 64 threads' stacks do not fit in the address space left to the process
    proc = run_python(POOL_FAILS, env={"RAYON_NUM_THREADS": "64"})
    assert proc.returncode == 0, proc.stderr
    first, second = proc.stdout.splitlines()
    assert first.startswith("PanicException The global thread pool has not been initialized.")
    assert second == "20000"          # a later call starts the pool
