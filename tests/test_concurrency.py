"""Python threads, KeyboardInterrupt, os.fork and multiprocessing.

A call holds the interpreter lock from entry to return, except while an
argument's own conversion hook (``__index__``, ``__float__``, iteration) runs
Python code, which may let other threads in. These tests check that
interleaved calls from many threads, an interrupt at any point of a call, and
forked or spawned processes all leave results and the module intact.
"""
import os
import signal
import subprocess
import sys
import threading
import time
import warnings

import numpy as np
import pytest

import quarnel
from conftest import run_python
from fuzz_driver import same


class YieldingIndex:
    """An integer whose conversion lets other threads run mid-call."""

    def __init__(self, v):
        self.v = v

    def __index__(self):
        time.sleep(0)
        return self.v


def pipeline_inputs(seed=5, n=3000, k=10):
    rng = np.random.default_rng(seed)
    x = np.concatenate([rng.normal(c, 0.4, (n // 3, 3)) for c in (0.0, 3.0, 6.0)])
    n = len(x)
    dist, index = quarnel.knn_query(x, k)
    nn_dist, nn_list = dist.reshape(n, k), index.reshape(n, k)
    rho = quarnel.epanechnikov_kde(nn_dist, 0.5, 3, n)
    delta, nn_delta, centers, graph = quarnel.compute_delta(x, rho, nn_list, nn_dist)
    labels = quarnel.assign_cluster(centers, nn_delta, graph)
    return dict(x=x, xq=rng.random((2000, 3)) * 6, nn_dist=nn_dist, nn_list=nn_list, rho=rho,
                delta=delta, nn_delta=nn_delta, centers=centers, graph=graph, labels=labels, k=k)


def twelve_calls(v, k=None):
    """One call of every function on the inputs `v`; `k` replaces search sizes."""
    k = v["k"] if k is None else k
    return [
        lambda: quarnel.knn_query(v["x"], k),
        lambda: quarnel.knn_query_cross(v["x"], v["xq"], k),
        lambda: quarnel.epanechnikov_kde(v["nn_dist"], 0.5, 3, len(v["x"])),
        lambda: quarnel.find_optimal_bandwidth(v["nn_dist"][:500], 0.05, 5.0, 3, 3000, 1e-4),
        lambda: quarnel.bandwidth_estimate(v["nn_dist"], v["x"], v["xq"]),
        lambda: quarnel.round_float(0.0345),
        lambda: quarnel.compute_delta(v["x"], v["rho"], v["nn_list"], v["nn_dist"]),
        lambda: quarnel.assign_cluster(v["centers"], v["nn_delta"], v["graph"]),
        lambda: quarnel.find_nh_tree_search(int(v["centers"][0]), -np.inf, v["rho"], v["nn_list"],
                                            v["labels"], k),
        lambda: quarnel.check_cluster_stability(v["x"], v["rho"], v["centers"], v["nn_delta"],
                                                v["delta"], v["nn_list"], v["labels"], v["graph"],
                                                0.5, k),
        lambda: quarnel.stability_loop(v["x"], v["rho"], v["centers"], v["nn_delta"], v["delta"],
                                       v["nn_list"], v["graph"], 0.5, k),
        lambda: quarnel.adaptive_trim_size(v["nn_dist"], 0.5, 0.5, 2),
    ]


@pytest.fixture(scope="module")
def inputs():
    return pipeline_inputs()


def test_eight_threads_match_serial_calls(inputs, PanicException):
    serial = [call() for call in twelve_calls(inputs)]
    # The same calls with search sizes that make every conversion yield the
    # interpreter lock, so calls of different threads interleave inside the
    # boundary while others run on the pool.
    yielding = twelve_calls(inputs, k=YieldingIndex(inputs["k"]))
    stop_on_worker = (inputs["x"], inputs["xq"][:, :2], 3)  # query rows too short: a stop

    rounds = 6
    barrier = threading.Barrier(8)
    failures = []

    def worker(t):
        try:
            barrier.wait()
            for r in range(rounds):
                # thread t starts on function t, so the eight start on eight
                # different functions, then takes t + 8 (odd t: t + 4, t + 8)
                for f in range(t, t + 12, 4 if t % 2 else 8):
                    got = (yielding if (r + t) % 2 else twelve_calls(inputs))[f % 12]()
                    if not same(serial[f % 12], got):
                        failures.append((t, r, f % 12))
                if t == 7:
                    with pytest.raises(PanicException, match="^ndarray: index out of bounds$"):
                        quarnel.knn_query_cross(*stop_on_worker)
        except BaseException as e:  # noqa: BLE001 - reported below
            failures.append((t, repr(e)))

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=worker, args=(t,)) for t in range(8)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
    finally:
        sys.setswitchinterval(interval)
    assert not failures
    assert all(same(a, call()) for a, call in zip(serial, twelve_calls(inputs)))


def test_driver_search_without_the_lock_beside_module_calls(inputs):
    """The driver's knn_table lets go of the interpreter lock while it
    searches (a distributed worker serves data meanwhile), so loops of the
    thread pool may be asked for by two threads at once: the pool takes one
    at a time, and every result is the serial one."""
    from quarnel_cluster import _native
    x, k = inputs["x"], inputs["k"]
    calls = [lambda: _native.knn_table(x, k), lambda: quarnel.knn_query(x, k),
             lambda: quarnel.compute_delta(x, inputs["rho"], inputs["nn_list"],
                                           inputs["nn_dist"])]
    serial = [call() for call in calls]
    barrier = threading.Barrier(6)
    failures = []

    def worker(t):
        try:
            barrier.wait()
            for r in range(8):
                f = (t + r) % len(calls) if t % 2 else 0
                if not same(serial[f], calls[f]()):
                    failures.append((t, r, f))
        except BaseException as e:  # noqa: BLE001 - reported below
            failures.append((t, repr(e)))

    # Two loops handed to the pool at once, without its one-job lock, leave
    # it waiting forever:
    # a hang fails the test instead of stalling the suite.
    threads = [threading.Thread(target=worker, args=(t,), daemon=True) for t in range(6)]
    for th in threads:
        th.start()
    for th in threads:
        th.join(timeout=120)
    assert not any(th.is_alive() for th in threads)
    assert not failures


# ---- KeyboardInterrupt ---------------------------------------------------------------

INTERRUPT = """
import signal, sys, time, numpy as np, quarnel
# A process started in the background by a shell inherits SIGINT ignored,
# and Python then installs no KeyboardInterrupt handler of its own.
signal.signal(signal.SIGINT, signal.default_int_handler)
sys.path.insert(0, {tests!r})
from test_concurrency import pipeline_inputs, twelve_calls, same

v = pipeline_inputs(n=900)
expected = [call() for call in twelve_calls(v)]
rng = np.random.default_rng(2)
table = np.sort(rng.random((200_000, 16)), axis=1)
before = sys.getrefcount(table), sys.getrefcount(v["rho"])

class Slow:
    def __index__(self):
        time.sleep(30)
        return 3

class SlowLists:
    def __len__(self):
        return 2
    def __getitem__(self, i):
        return [[0], [1]][i]
    def __iter__(self):
        yield [0]
        time.sleep(30)
        yield [1]

def loop():
    while True:
        quarnel.epanechnikov_kde(table, 0.3, 3, 10**6)

scenario = {scenario!r}
calls = {{
    "native call": lambda: quarnel.find_optimal_bandwidth(table, 0.01, 5.0, 3, 10**6, -1.0),
    "loop of calls": loop,
    "size hook": lambda: quarnel.find_nh_tree_search(0, 0.0, v["rho"], v["nn_list"], v["labels"],
                                                    Slow()),
    "index lists": lambda: quarnel.stability_loop(v["x"], v["rho"], v["centers"], v["nn_delta"],
                                                 v["delta"], v["nn_list"], SlowLists(), 0.5, 3),
}}
print("ready", flush=True)
try:
    calls[scenario]()
    time.sleep(30)  # a call that ended before the signal: it arrives here
    print("no interrupt")
except KeyboardInterrupt:
    print("interrupted")
assert (sys.getrefcount(table), sys.getrefcount(v["rho"])) == before
assert all(same(a, call()) for a, call in zip(expected, twelve_calls(v)))
print(quarnel.find_optimal_bandwidth(table[:2000], 0.01, 5.0, 3, 10**6, 1e-5))
print("usable")
"""


@pytest.mark.parametrize("scenario", ["native call", "loop of calls", "size hook", "index lists"])
def test_keyboard_interrupt_leaves_module_usable(scenario):
    code = INTERRUPT.format(tests=os.path.dirname(__file__), scenario=scenario)
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline() == "ready\n", proc.stderr.read()
        time.sleep(0.3)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=120)
    finally:
        proc.kill()
    assert proc.returncode == 0, err
    assert out.split("\n")[0] == "interrupted", out + err
    assert out.endswith("usable\n")


# ---- fork and multiprocessing ----------------------------------------------------------

FORK = """
import os, sys, threading, time, numpy as np, quarnel
sys.path.insert(0, {tests!r})
from test_concurrency import pipeline_inputs, twelve_calls, same

v = pipeline_inputs(n=1500)

def check():
    return all(same(a, call()) for a, call in zip(expected, twelve_calls(v)))

def in_child(fn):
    pid = os.fork()
    if pid == 0:
        ok = False
        try:
            ok = fn()
        finally:
            os._exit(0 if ok else 3)
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])

if {before_pool!r}:
    # fork before this process has made its pool: the child makes its own
    assert in_child(lambda: quarnel.knn_query(v["x"], 4)[1][0] == 0) == 0
expected = [call() for call in twelve_calls(v)]
results = [in_child(check)]
# a grandchild: the pool is replaced twice
results.append(in_child(lambda: in_child(check) == 0 and check()))
# fork from another thread while a third sits inside a call's conversion hook
class Slow:
    def __index__(self):
        time.sleep(0.5)
        return 3
inside = threading.Thread(target=lambda: quarnel.find_nh_tree_search(
    0, 0.0, v["rho"], v["nn_list"], v["labels"], Slow()))
inside.start()
time.sleep(0.1)
forker_result = []
forker = threading.Thread(target=lambda: forker_result.append(in_child(check)))
forker.start()
forker.join()
inside.join()
results += forker_result
# fork inside a call, from its own conversion hook: both processes finish it,
# the child on a pool of its own
class Forking:
    def __index__(self):
        self.pid = os.fork()
        return v["k"]
hook = Forking()
got = quarnel.knn_query(v["x"], hook)
if hook.pid == 0:
    os._exit(0 if same(got, expected[0]) and check() else 3)
results.append(os.waitstatus_to_exitcode(os.waitpid(hook.pid, 0)[1]))
print(results, same(got, expected[0]) and check())
"""


@pytest.mark.parametrize("before_pool", [True, False])
def test_calls_after_fork(before_pool):
    code = FORK.format(tests=os.path.dirname(__file__), before_pool=before_pool)
    proc = run_python("import warnings; warnings.simplefilter('ignore', DeprecationWarning)\n" + code,
                      timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "[0, 0, 0, 0] True", proc.stdout + proc.stderr


MULTIPROCESSING = """
import multiprocessing as mp, sys
sys.path.insert(0, {tests!r})
import numpy as np, quarnel
from test_concurrency import pipeline_inputs, twelve_calls, same

def work(seed):
    v = pipeline_inputs(seed=seed, n=900)
    return [call() for call in twelve_calls(v)]

if __name__ == "__main__":
    expected = [work(s) for s in range(3)]  # the parent's pool exists from here on
    with mp.get_context({method!r}).Pool(2) as pool:
        got = pool.map(work, range(3))
    print(all(same(tuple(a), tuple(b)) for a, b in zip(expected, got)))
"""


@pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
def test_multiprocessing_pool(method, tmp_path):
    script = tmp_path / "mp_script.py"
    script.write_text(MULTIPROCESSING.format(tests=os.path.dirname(__file__), method=method))
    proc = subprocess.run([sys.executable, "-W", "ignore::DeprecationWarning", str(script)],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "True", proc.stdout + proc.stderr


# ---- Python code that runs inside a call --------------------------------------------------


class Reshaping:
    """An integer whose conversion turns `array` into a column, in place."""

    def __init__(self, array, v):
        self.array, self.v = array, v

    def __index__(self):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # NumPy >= 2.5
            self.array.shape = (len(self.array), 1)
        return self.v


@pytest.mark.parametrize("function", ["find_nh_tree_search", "check_cluster_stability"])
def test_contiguity_check_on_an_array_reshaped_by_a_later_conversion(inputs, function):
    # The contiguity check reads the array again after every argument is
    # converted; an array that a hook has made 2-D since is refused, on every
    # call (this read was once left uninitialised, so it went either way).
    v = inputs
    for _ in range(20):
        rho = v["rho"].copy()
        if function == "find_nh_tree_search":
            args = (0, 0.0, rho, v["nn_list"], v["labels"], Reshaping(rho, 3))
        else:
            graph = [list(row) for row in v["graph"]]
            graph[0] = [Reshaping(rho, 1)]
            args = (v["x"], rho, v["centers"], v["nn_delta"], v["delta"], v["nn_list"],
                    v["labels"], graph, 0.5, 3)
        with pytest.raises(TypeError, match="^The given array is not contiguous$"):
            getattr(quarnel, function)(*args)
        assert rho.shape == (len(v["rho"]), 1)
