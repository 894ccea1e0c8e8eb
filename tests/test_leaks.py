"""Reference and memory leaks: every function, 10^4 calls per input class.

Each case calls one function 10^4 times, on valid input or on one class of
failing input (a binding error, the last argument failing to convert after
the others were borrowed, a non-contiguous array, an internal stop, ...).
Afterwards the reference counts of the arguments (and of their items) and of
the result types are as before, and memory is flat: Python allocations by
tracemalloc, native ones by the resident size. Failing inputs are made large
enough that a leaked native copy of them would show in the resident size.
"""
import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

import quarnel

CALLS = 10_000
WARM_UP = 300
TRACED_LIMIT = 64 << 10   # a leaked 24-byte object per call is 240 KiB
RESIDENT_LIMIT = 3 << 20  # a leaked 120-element result per call is 9 MiB
# AddressSanitizer keeps freed memory in quarantine: the resident size then
# grows whatever the module does (tools/test_asan.sh sets this).
SANITIZED = bool(os.environ.get("QUARNEL_SANITIZED"))


class HookError(Exception):
    pass


class Boom:
    def __index__(self):
        raise HookError

    def __float__(self):
        raise HookError


class LyingSequence:
    """Claims far more items than any allocator can reserve room for."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return 2**61

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        return iter(self.items)


def _inputs():
    rng = np.random.default_rng(3)
    n, k = 120, 6
    x = rng.random((n, 3))
    dist, index = quarnel.knn_query(x, k)
    nn_dist, nn_list = dist.reshape(n, k), index.reshape(n, k)
    rho = quarnel.epanechnikov_kde(nn_dist, 0.2, 3, n)
    delta, nn_delta, centers, graph = quarnel.compute_delta(x, rho, nn_list, nn_dist)
    labels = quarnel.assign_cluster(centers, nn_delta, graph)
    # A longer table for the functions whose loops use the thread pool only
    # beyond a few hundred rows.
    long_dist = np.sort(rng.random((600, k)), axis=1)
    return dict(x=x, nn_dist=nn_dist, nn_list=nn_list, rho=rho, delta=delta, nn_delta=nn_delta,
                centers=centers, graph=graph, labels=labels, xq=rng.random((600, 3)),
                long_dist=long_dist)


V = _inputs()
N = len(V["x"])
BAD_ROW = np.full((N, 3), np.nan)


def strided(a):
    big = np.repeat(a, 2)
    return big[::2]


def graph_with(item):
    return [list(row) for row in V["graph"][:-1]] + [[1, item]]


def cyclic_graph():
    """The density graph with a link from a child of the first centre back to it."""
    graph = [list(row) for row in V["graph"]]
    c = next(c for c in V["centers"] if graph[c])
    graph[graph[c][0]].append(int(c))
    return graph


def bad_centres():
    return np.concatenate([V["centers"], [N + 5]])


# function -> [(label, args, expected exception or None)]; args are built once.
CASES = {
    "knn_query": [
        ("valid", lambda: (V["x"], 4), None),
        ("binding", lambda: (V["x"], 4, 1), TypeError),
        ("k negative", lambda: (V["x"], -1), OverflowError),
        ("k hook raises", lambda: (V["x"], Boom()), HookError),
        ("x wrong dtype", lambda: (V["x"].astype(np.float32), 4), TypeError),
        ("nine dimensions", lambda: (np.zeros((N, 9)), 4), ValueError),
        ("NaN point", lambda: (np.vstack([V["x"], BAD_ROW[:1]]), 4), "panic"),
    ],
    "knn_query_cross": [
        ("valid", lambda: (V["x"], V["xq"], 4), None),  # queries on the pool
        ("k float", lambda: (V["x"], V["xq"], 2.0), TypeError),
        ("one dimension", lambda: (V["x"][:, :1], V["xq"], 4), ValueError),
        ("stop on a worker", lambda: (V["x"], V["xq"][:, :2], 4), "panic"),
    ],
    "epanechnikov_kde": [
        ("valid", lambda: (V["long_dist"], 0.2, 3, N), None),
        ("n_total negative", lambda: (V["nn_dist"], 0.2, 3, -1), OverflowError),
        ("bandwidth str", lambda: (V["nn_dist"], "0.2", 3, N), TypeError),
        ("missing argument", lambda: (V["nn_dist"], 0.2, 3), TypeError),
    ],
    "find_optimal_bandwidth": [
        ("valid", lambda: (V["nn_dist"][:40], 0.01, 1.0, 3, N, 1e-3), None),
        ("xtol too large", lambda: (V["nn_dist"], 0.01, 1.0, 3, N, 10**400), OverflowError),
        ("no columns", lambda: (V["nn_dist"][:, :0], 0.01, 1.0, 3, N, 1e-3), "panic"),
    ],
    "bandwidth_estimate": [
        ("valid", lambda: (V["nn_dist"], V["x"], V["xq"]), None),
        ("x_test a list", lambda: (V["nn_dist"], V["x"], V["xq"].tolist()), TypeError),
        ("no columns", lambda: (V["nn_dist"][:, :0], V["x"], V["xq"]), "panic"),
    ],
    "round_float": [
        ("valid", lambda: (345.6,), None),
        ("str", lambda: ("1",), TypeError),
        ("hook raises", lambda: (Boom(),), HookError),
    ],
    "compute_delta": [
        ("valid", lambda: (V["x"], V["rho"], V["nn_list"], V["nn_dist"]), None),
        ("nn_dist int", lambda: (V["x"], V["rho"], V["nn_list"], V["nn_list"]), TypeError),
        ("bad neighbour", lambda: (V["x"], V["rho"], np.where(V["nn_list"] == 7, -1, V["nn_list"]),
                                   V["nn_dist"]), "panic"),
    ],
    "assign_cluster": [
        ("valid", lambda: (V["centers"], V["nn_delta"], V["graph"]), None),
        ("cycle", lambda: (V["centers"], V["nn_delta"], cyclic_graph()), None),
        ("str item", lambda: (V["centers"], V["nn_delta"], graph_with("a")), TypeError),
        ("item too large", lambda: (V["centers"], V["nn_delta"], graph_with(2**70)), OverflowError),
        ("lying length", lambda: (V["centers"], V["nn_delta"], LyingSequence(V["graph"])), MemoryError),
        ("not contiguous", lambda: (V["centers"], strided(V["nn_delta"]), V["graph"]), TypeError),
        ("bad centre", lambda: (bad_centres(), V["nn_delta"], V["graph"]), "panic"),
    ],
    "find_nh_tree_search": [
        ("valid", lambda: (0, -np.inf, V["rho"], V["nn_list"], np.zeros(N, np.int64), 6), None),
        ("search_size hook", lambda: (0, 0.0, V["rho"], V["nn_list"], V["labels"], Boom()), HookError),
        ("not contiguous", lambda: (0, 0.0, V["rho"], V["nn_list"], strided(V["labels"]), 6), TypeError),
        ("idx beyond labels", lambda: (N, 0.0, V["rho"], V["nn_list"], V["labels"], 6), "panic"),
    ],
    "check_cluster_stability": [
        ("valid", lambda: (V["x"], V["rho"], V["centers"], V["nn_delta"], V["delta"], V["nn_list"],
                           V["labels"], V["graph"], 0.5, 6), None),
        ("search_size negative", lambda: (V["x"], V["rho"], V["centers"], V["nn_delta"], V["delta"],
                                          V["nn_list"], V["labels"], V["graph"], 0.5, -1),
         OverflowError),
        ("graph item str", lambda: (V["x"], V["rho"], V["centers"], V["nn_delta"], V["delta"],
                                    V["nn_list"], V["labels"], graph_with("a"), 0.5, 6), TypeError),
        ("bad last centre", lambda: (V["x"], V["rho"], bad_centres(), V["nn_delta"], V["delta"],
                                     V["nn_list"], V["labels"], V["graph"], 0.5, 6), "panic"),
    ],
    "stability_loop": [
        ("valid", lambda: (V["x"], V["rho"], V["centers"], V["nn_delta"], V["delta"], V["nn_list"],
                           V["graph"], 0.5, 6), None),
        ("threshold hook", lambda: (V["x"], V["rho"], V["centers"], V["nn_delta"], V["delta"],
                                    V["nn_list"], V["graph"], Boom(), 6), HookError),
        ("graph item too large", lambda: (V["x"], V["rho"], V["centers"], V["nn_delta"], V["delta"],
                                          V["nn_list"], graph_with(2**70), 0.5, 6), OverflowError),
        ("lying length", lambda: (V["x"], V["rho"], V["centers"], V["nn_delta"], V["delta"],
                                  V["nn_list"], LyingSequence(V["graph"]), 0.5, 6), MemoryError),
        ("bad centre", lambda: (V["x"], V["rho"], bad_centres(), V["nn_delta"], V["delta"],
                                V["nn_list"], V["graph"], 0.5, 6), "panic"),
    ],
    "adaptive_trim_size": [
        ("valid", lambda: (V["long_dist"], 0.2, 0.5, 2), None),
        ("min_nh float", lambda: (V["nn_dist"], 0.2, 0.5, 2.0), TypeError),
        ("no rows", lambda: (V["nn_dist"][:0], 0.2, 0.5, 2), "panic"),
    ],
}


def panic_class():
    try:
        quarnel.adaptive_trim_size(np.zeros((0, 1)), 1.0, 1.0, 0)
    except BaseException as e:  # noqa: BLE001 - the class itself is wanted
        return type(e)
    raise AssertionError("expected an internal stop")


PanicException = panic_class()
RESULT_TYPES = [np.ndarray, tuple, list, float, int, PanicException, TypeError, OverflowError,
                ValueError, MemoryError, np.dtype(np.float64), np.dtype(np.int64)]


def watched(args):
    """The argument objects and everything inside the sequences among them."""
    out = []
    for a in args:
        out.append(a)
        items = a.items if isinstance(a, LyingSequence) else a
        if isinstance(items, list):
            for row in items:
                out.append(row)
                if isinstance(row, list):
                    out.extend(row)
    return out


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def repeat(call, times):
    for _ in range(times):
        call()


@pytest.mark.parametrize("function, label, make_args, expected", [
    pytest.param(f, label, make, exp, id=f"{f}-{label}")
    for f, cases in CASES.items() for label, make, exp in cases
])
def test_no_leak(function, label, make_args, expected, capfd):
    fn = getattr(quarnel, function)
    args = make_args()
    catch = PanicException if expected == "panic" else expected

    if catch is None:
        def call():
            fn(*args)
    else:
        def call():
            try:
                fn(*args)
            except catch:
                pass
            else:
                raise AssertionError(f"{function} did not raise {catch.__name__}")

    objects = watched(args) + RESULT_TYPES
    repeat(call, WARM_UP)
    gc.collect()
    counts = [sys.getrefcount(o) for o in objects]
    resident = resident_bytes()
    tracemalloc.start()
    traced = tracemalloc.get_traced_memory()[0]

    repeat(call, CALLS)

    gc.collect()
    traced_growth = tracemalloc.get_traced_memory()[0] - traced
    tracemalloc.stop()
    resident_growth = resident_bytes() - resident
    capfd.readouterr()  # the stop diagnostics, one per call

    after = [sys.getrefcount(o) for o in objects]
    changed = [(repr(o)[:60], b, a) for o, b, a in zip(objects, counts, after) if a != b]
    assert not changed, f"reference counts changed: {changed}"
    assert traced_growth < TRACED_LIMIT, f"Python memory grew by {traced_growth} bytes"
    if not SANITIZED:
        assert resident_growth < RESIDENT_LIMIT, f"resident size grew by {resident_growth} bytes"
