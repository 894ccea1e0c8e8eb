"""Clustering: compute_delta, assign_cluster, find_nh_tree_search,
check_cluster_stability, stability_loop, adaptive_trim_size.

The small hand-built cases pin the documented examples. The references below
are deliberately different formulations from the native code (an unmarked
depth-first walk, a pass-by-pass flood over per-point flag arrays, a
vectorised NumPy scan) so that random inputs check the native shortcuts
(visited marks, sorted frontier lists, per-call workspaces), including which
failure is reported first when several indices are bad.
"""

import math
import textwrap

import numpy as np
import pytest

import quarnel
from conftest import panic_exception, run_python

U64 = 2**64
NDARRAY = "ndarray: index out of bounds"
NOT_CONTIGUOUS = "The given array is not contiguous"


def oob(length, index):
    return f"index out of bounds: the len is {length} but the index is {index % U64}"


def panic_message(fn, *args, **kwargs):
    with pytest.raises(panic_exception()) as info:
        fn(*args, **kwargs)
    return str(info.value)


def i64(values):
    return np.array(values, dtype=np.int64)


def f64(values):
    return np.array(values, dtype=np.float64)


def graph_of(lists):
    return [list(map(int, l)) for l in lists]


# ---------------------------------------------------------------- inputs

def pipeline(seed, n=400, d=2, k=12):
    """Blobs, a brute-force self neighbour table and a kNN log-density."""
    rng = np.random.default_rng(seed)
    centres = rng.uniform(-10, 10, size=(6, d))
    x = centres[rng.integers(0, 6, n)] + rng.normal(size=(n, d))
    dist = np.sqrt(((x[:, None, :] - x[None, :, :]) ** 2).sum(-1))
    order = np.argsort(dist, axis=1, kind="stable")[:, :k]
    nn_list = np.ascontiguousarray(order, dtype=np.int64)
    nn_dist = np.take_along_axis(dist, order, axis=1)
    rho = -d * np.log(nn_dist[:, -1])
    return x, rho, nn_list, nn_dist


# ---------------------------------------------------------------- references

def ref_assign(centres, n, graph):
    """Unmarked depth-first walk; raises ValueError(message) at a bad index."""
    label = [-1] * n
    lists = len(graph)

    def need(length, v):
        if v >= length:
            raise ValueError(oob(length, v))

    for c, p in enumerate(int(v) % U64 for v in centres):
        need(n, p)
        label[p] = c
        need(lists, p)
        stack = [int(v) % U64 for v in graph[p]]
        while stack:
            v = stack.pop()
            need(n, v)
            label[v] = c
            need(lists, v)
            stack.extend(int(w) % U64 for w in graph[v])
    return label


def ref_search(idx, eta, rho, nn_list, label, search_size):
    """The flag-array flood, pass by pass; raises ValueError(message)."""
    n = len(rho)
    s = min(search_size, nn_list.shape[1])
    rows = nn_list.shape[0]

    def need(length, v):
        if v >= length:
            raise ValueError(oob(length, v))

    def entry(i, c):
        if i >= rows:
            raise ValueError(NDARRAY)
        return int(nn_list[i, c]) % U64

    need(len(label), idx)
    start = label[idx]
    admitted = [False] * n
    frontier = [False] * n
    for c in range(s):
        j = entry(idx, c)
        need(n, j)
        frontier[j] = True
        if rho[j] > eta:
            admitted[j] = True
    while True:
        nxt = [False] * n
        changed = False
        for i in range(n):
            if not frontier[i]:
                continue
            need(len(label), i)
            if label[i] != start:
                continue
            for c in range(s):
                j = entry(i, c)
                need(n, j)
                if not admitted[j] and rho[j] > eta:
                    admitted[j] = nxt[j] = changed = True
        if not changed:
            break
        frontier = nxt
    return [i for i in range(n) if admitted[i]]


def ref_delta_scan(rho, nn_list, nn_dist, diagonal):
    denser = rho[nn_list[:, 1:]] > (rho + 1e-8)[:, None]
    hit = denser.any(axis=1)
    col = denser.argmax(axis=1) + 1
    rows = np.arange(len(rho))
    nn_delta = np.where(hit, nn_list[rows, col], -1)
    delta = np.where(hit, nn_dist[rows, col], diagonal)
    return delta, nn_delta


def alternate(x, rho, centres, nn_delta, delta, nn_list, graph, threshold, search_size):
    """stability_loop spelled out with the two Python-level functions."""
    while True:
        labels = quarnel.assign_cluster(centres, nn_delta, graph)
        centres, removed, nn_delta, delta, graph = quarnel.check_cluster_stability(
            x, rho, centres, nn_delta, delta, nn_list, labels, graph, threshold, search_size)
        if removed == 0:
            break
    return centres, quarnel.assign_cluster(centres, nn_delta, graph), nn_delta, delta, graph


# ---------------------------------------------------------------- compute_delta

def test_compute_delta_two_points_both_centres():
    x = f64([[0.0, 0.0], [3.0, 4.0]])
    rho = f64([1.0, 0.5])
    nn_list = i64([[0, 1], [1, 0]])
    nn_dist = f64([[0.0, 5.0], [0.0, 5.0]])
    delta, nn_delta, centres, graph = quarnel.compute_delta(x, rho, nn_list, nn_dist)
    assert delta.tolist() == [5.0, 5.0]
    assert nn_delta.tolist() == [-1, 0]
    assert centres.tolist() == [0, 1]
    assert graph == [[1], []]
    assert delta.dtype == np.float64 and nn_delta.dtype == np.int64 and centres.dtype == np.int64


def test_compute_delta_lists_ascending_and_column_zero_skipped():
    # Column 0 names the densest point 2 in every row; for point 4 no later
    # column is denser, so it stays a root.
    x = f64([[0.0], [1.0], [2.0], [4.0], [3.0]])
    rho = f64([0.0, 0.1, 5.0, 0.2, 0.3])
    nn_list = i64([[2, 2, 1], [2, 2, 0], [2, 1, 3], [2, 2, 1], [2, 1, 0]])
    nn_dist = f64([[0, 2, 1], [0, 1, 1], [0, 1, 2], [0, 2, 3], [0, 2, 3]])
    delta, nn_delta, centres, graph = quarnel.compute_delta(x, rho, nn_list, nn_dist)
    assert nn_delta.tolist() == [2, 2, -1, 2, -1]
    assert graph == [[], [], [0, 1, 3], [], []]
    assert delta.tolist() == [2.0, 1.0, 4.0, 2.0, 4.0]
    assert centres.tolist() == [2, 4]


@pytest.mark.parametrize("gap, denser", [(0.0, False), (1e-8, False), (2e-8, True)])
def test_compute_delta_margin(gap, denser):
    x = f64([[0.0, 0.0], [1.0, 0.0]])
    rho = f64([0.0, gap])
    nn_list = i64([[0, 1], [1, 0]])
    nn_dist = f64([[0.0, 1.0], [0.0, 1.0]])
    _, nn_delta, _, graph = quarnel.compute_delta(x, rho, nn_list, nn_dist)
    assert nn_delta.tolist() == ([1, -1] if denser else [-1, -1])
    assert graph == ([[], [0]] if denser else [[], []])


def test_compute_delta_coincident_points_have_no_centre():
    x = np.ones((3, 2))
    rho = f64([1.0, 2.0, 3.0])
    nn_list = i64([[0, 1, 2], [1, 0, 2], [2, 0, 1]])
    nn_dist = np.zeros((3, 3))
    delta, nn_delta, centres, _ = quarnel.compute_delta(x, rho, nn_list, nn_dist)
    assert delta.tolist() == [0.0, 0.0, 0.0]
    assert nn_delta.tolist() == [1, 2, -1]
    assert centres.tolist() == []


@pytest.mark.parametrize("k", [0, 1])
def test_compute_delta_without_neighbour_columns(k):
    x = f64([[0.0, 0.0], [3.0, 4.0], [1.0, 1.0]])
    delta, nn_delta, centres, graph = quarnel.compute_delta(
        x, f64([1.0, 2.0, 3.0]), np.zeros((3, k), np.int64), np.zeros((3, k)))
    assert delta.tolist() == [5.0] * 3 and nn_delta.tolist() == [-1] * 3
    assert centres.tolist() == [0, 1, 2] and graph == [[], [], []]


def test_compute_delta_empty():
    out = quarnel.compute_delta(np.zeros((0, 2)), f64([]), np.zeros((0, 3), np.int64),
                                np.zeros((0, 3)))
    assert [a.tolist() for a in out[:3]] == [[], [], []] and out[3] == []


@pytest.mark.parametrize("x, diagonal", [
    (f64([[0.0, 0.0], [np.nan, 4.0], [3.0, np.nan]]), 5.0),
    (f64([[0.0, np.nan], [3.0, np.nan]]), math.inf),
    (np.zeros((2, 0)), 0.0),
])
def test_compute_delta_diagonal(x, diagonal):
    n = x.shape[0]
    delta, *_ = quarnel.compute_delta(x, np.zeros(n), np.zeros((n, 1), np.int64),
                                      np.zeros((n, 1)))
    assert delta.tolist() == [diagonal] * n


@pytest.mark.parametrize("seed", range(4))
def test_compute_delta_random_pipeline(seed):
    x, rho, nn_list, nn_dist = pipeline(seed, d=2 + seed % 2)
    delta, nn_delta, centres, graph = quarnel.compute_delta(x, rho, nn_list, nn_dist)
    diagonal = math.sqrt(sum((c.max() - c.min()) ** 2 for c in x.T))
    ref_delta, ref_nn = ref_delta_scan(rho, nn_list, nn_dist, diagonal)
    assert delta.tolist() == ref_delta.tolist()
    assert nn_delta.tolist() == ref_nn.tolist()
    assert centres.tolist() == np.flatnonzero(delta > 0.999 * diagonal).tolist()
    assert graph == [np.flatnonzero(nn_delta == p).tolist() for p in range(len(rho))]
    # Strided views read the same elements as contiguous copies.
    xt = np.asfortranarray(x)
    strided = quarnel.compute_delta(xt, np.repeat(rho, 2)[::2], nn_list.T.copy().T,
                                    np.hstack([nn_dist, nn_dist])[:, :nn_dist.shape[1]])
    assert strided[0].tolist() == delta.tolist() and strided[3] == graph


def test_compute_delta_failures():
    x = f64([[0.0], [1.0]])
    table = i64([[0, 1], [1, 0]])
    dist = f64([[0.0, 1.0], [0.0, 1.0]])
    rho = f64([0.0, 1.0])
    cases = [
        (x, rho[:1], table, dist, NDARRAY),                       # rho shorter than n
        (x, rho, table[:1], dist, NDARRAY),                       # too few rows
        (x, rho, i64([[0, -1], [1, 0]]), dist, NDARRAY),          # negative neighbour
        (x, rho, table, dist[:, :1], NDARRAY),                    # no distance column
        (x[:1], rho, i64([[0, 1]]), dist[:1], oob(1, 1)),         # match beyond n
        # a match beyond n in row 0 loses to an array failure in row 1
        (x, f64([0.0, 0.0, 1.0]), i64([[0, 2], [1, 7]]), dist, NDARRAY),
    ]
    for args in cases:
        assert panic_message(quarnel.compute_delta, *args[:4]) == args[4]


# ---------------------------------------------------------------- assign_cluster

@pytest.mark.parametrize("centres, labels", [
    ([], [-1, -1, -1, -1]),
    ([0, 1], [0, 1, 1, -1]),       # q below p, q later: q keeps its subtree
    ([1, 0], [1, 1, 1, -1]),       # q earlier: p's walk overwrites all of it
    ([1, 1], [-1, 1, 1, -1]),      # the later position wins
    ([3, 2], [-1, -1, 1, 0]),
])
def test_assign_cluster_labels(centres, labels):
    graph = [[1], [2], [], []]
    got = quarnel.assign_cluster(i64(centres), np.full(4, 99, np.int64), graph)
    assert got.tolist() == labels and got.dtype == np.int64


@pytest.mark.parametrize("graph, centres, labels", [
    ([[1], [0]], [0], [0, 0]),                 # two-cycle
    ([[0], []], [0, 1], [0, 1]),               # self-loop
    ([[1], [2], [0]], [2, 0], [1, 1, 1]),      # every centre reaches all
    ([[1], [0], [0]], [2, 0], [1, 1, 0]),      # the last centre that reaches a point
])
def test_assign_cluster_cyclic_graphs_end(graph, centres, labels):
    assert quarnel.assign_cluster(i64(centres), np.zeros(len(labels), np.int64),
                                  graph).tolist() == labels


def test_assign_cluster_many_paths():
    # 60 layers of two points, each linked to both points of the next layer:
    # 2^60 paths from the top, each point reachable along all of them.
    layers = 60
    graph = [[2 * (i // 2) + 2, 2 * (i // 2) + 3] if i < 2 * layers - 2 else []
             for i in range(2 * layers)]
    labels = quarnel.assign_cluster(i64([0]), np.zeros(2 * layers, np.int64), graph)
    assert labels.tolist() == [0] + [-1] + [0] * (2 * layers - 2)


@pytest.mark.parametrize("seed", range(40))
def test_assign_cluster_matches_unmarked_walk(seed):
    # Random DAGs (links from lower to higher rank, shared children), some
    # entries out of range and some points without lists.
    rng = np.random.default_rng(seed)
    n = 14
    rank = rng.permutation(n)
    graph = []
    for p in range(n):
        below = [int(q) for q in np.flatnonzero(rank > rank[p])]
        children = list(rng.choice(below, size=min(len(below), rng.integers(0, 3)),
                                   replace=False)) if below else []
        if rng.random() < 0.04:
            children.append(int(rng.choice([n, n + 3, -1])))
        graph.append(children)
    lists = n if rng.random() < 0.5 else int(rng.integers(n - 3, n + 1))
    graph = graph_of(graph[:lists])
    centres = rng.choice(n, size=4, replace=True).tolist()
    if rng.random() < 0.1:
        centres.append(int(rng.choice([-1, n])))
    try:
        expected = ref_assign(centres, n, graph)
    except ValueError as e:
        assert panic_message(quarnel.assign_cluster, i64(centres), np.zeros(n, np.int64),
                             graph) == str(e)
    else:
        assert quarnel.assign_cluster(i64(centres), np.zeros(n, np.int64),
                                      graph).tolist() == expected


@pytest.mark.parametrize("seed", range(3))
def test_assign_cluster_shared_walks_match_unmarked_walk(seed):
    # Enough points for the walks to be shared out between threads: a random
    # forest (parents before children) with centres below centres, repeated
    # centres and extra links that give points several parents; then the
    # same graph with two bad entries deep inside.
    rng = np.random.default_rng(seed)
    n = 40000
    graph = [[] for _ in range(n)]
    for i in range(50, n):
        graph[int(rng.integers(0, i))].append(i)
    for _ in range(300):
        a = int(rng.integers(0, n - 1))
        graph[a].append(int(rng.integers(a + 1, n)))
    centres = list(range(50)) + rng.choice(n, 300).tolist() + [7, 7]
    rng.shuffle(centres)
    zeros = np.zeros(n, np.int64)
    assert quarnel.assign_cluster(i64(centres), zeros, graph).tolist() == ref_assign(
        centres, n, graph)
    graph[int(rng.integers(n // 2, n))].append(n + 5)
    graph[int(rng.integers(n // 2, n))].append(-1)
    with pytest.raises(ValueError) as expected:
        ref_assign(centres, n, graph)
    assert panic_message(quarnel.assign_cluster, i64(centres), zeros, graph) == str(expected.value)


@pytest.mark.parametrize("centres, graph, message", [
    ([-1], [[], [], []], oob(3, -1)),
    ([3], [[], [], [], []], oob(3, 3)),
    ([1], [[]], oob(1, 1)),                      # graph shorter than a centre
    ([0], [[1, 2]], oob(1, 2)),                  # last pushed is walked first
    ([0], [[5, 1]], oob(1, 1)),                  # reached point without a list
    ([0], [[1, 7], [], []], oob(3, 7)),
    ([0, 1], [[], [9], []], oob(3, 9)),
])
def test_assign_cluster_failures(centres, graph, message):
    assert panic_message(quarnel.assign_cluster, i64(centres), np.zeros(3, np.int64),
                         graph) == message


def test_assign_cluster_extra_lists_accepted():
    assert quarnel.assign_cluster(i64([0]), np.zeros(2, np.int64),
                                  [[1], [], [5], [9]]).tolist() == [0, 0]


@pytest.mark.parametrize("graph", [
    [[1, 2], [], []],
    ((1, 2), (), ()),
    [np.array([1, 2]), [], ()],
    [[np.int64(1), True + 1], [], []],
])
def test_index_lists_forms(graph):
    assert quarnel.assign_cluster(i64([0]), np.zeros(3, np.int64), graph).tolist() == [0, 0, 0]


def test_index_lists_as_2d_array():
    graph = i64([[1, 0], [2, 0], [3, 0], [3, 0]])[:, :1]   # [[1], [2], [3], [3]]
    labels = quarnel.assign_cluster(i64([0]), np.zeros(4, np.int64), graph)
    assert labels.tolist() == [0, 0, 0, 0]


@pytest.mark.parametrize("graph, error, text", [
    ([[1, 2], "ab"], TypeError, "argument 'density_graph': "),
    ("abc", TypeError, "argument 'density_graph': "),
    ({0: []}, TypeError,
     "argument 'density_graph': 'dict' object cannot be converted to 'Sequence'"),
    ([[0], 5], TypeError,
     "argument 'density_graph': 'int' object cannot be converted to 'Sequence'"),
    ([[1.0]], TypeError, "argument 'density_graph': "),
    ([[2**63]], OverflowError, ""),
    (np.zeros((2, 2)), TypeError, "argument 'density_graph': "),
])
def test_index_lists_malformed(graph, error, text):
    strided = np.zeros(4, np.int64)[::2]       # malformed graph is reported first
    with pytest.raises(error) as info:
        quarnel.assign_cluster(strided, np.zeros(2, np.int64), graph)
    assert type(info.value) is error and str(info.value).startswith(text)
    if error is OverflowError:
        assert not str(info.value).startswith("argument")


def test_assign_cluster_contiguity():
    graph = [[], []]
    for centres, nn_delta in [(i64([0, 0, 1])[::2], np.zeros(2, np.int64)),
                              (i64([0]), np.zeros(4, np.int64)[::2])]:
        with pytest.raises(TypeError) as info:
            quarnel.assign_cluster(centres, nn_delta, graph)
        assert str(info.value) == NOT_CONTIGUOUS
    # a length-1 slice with any stride is contiguous
    assert quarnel.assign_cluster(i64([1, 0])[::5], np.zeros(2, np.int64),
                                  graph).tolist() == [-1, 0]


# ---------------------------------------------------------------- find_nh_tree_search

def test_search_result_ascending_not_visiting_order():
    # From 5: pass 1 (ring 5, 9) admits 9; expanding 9 admits 2.
    n = 10
    rho = np.ones(n)
    nn_list = np.tile(i64([[0, 0]]), (n, 1))
    nn_list[5] = [5, 9]
    nn_list[9] = [9, 2]
    nn_list[2] = [2, 5]
    got = quarnel.find_nh_tree_search(5, 0.5, rho, nn_list, np.zeros(n, np.int64), 2)
    assert got.tolist() == [2, 5, 9] and got.dtype == np.int64


def small_table():
    # 0..3 label 0, 4..5 label 1; point 4 borders point 2.
    rho = f64([5.0, 4.0, 3.0, 1.0, 4.5, 6.0])
    nn_list = i64([[0, 1], [1, 2], [2, 4], [3, 2], [4, 5], [5, 4]])
    label = i64([0, 0, 0, 0, 1, 1])
    return rho, nn_list, label


@pytest.mark.parametrize("idx, eta, size, expected", [
    (0, 2.0, 2, [0, 1, 2, 4]),        # 4 admitted (other label), 5 not reached
    (0, 4.2, 2, [0]),                  # 1 in the first ring, below eta, expanded once
    (0, 4.0, 2, [0]),                  # strict test
    (0, -math.inf, 2, [0, 1, 2, 4]),  # 3 is listed by no expanded point
    (0, math.inf, 2, []),
    (0, math.nan, 2, []),
    (0, 2.0, 0, []),
    (0, 2.0, 1, [0]),
    (0, 2.0, 99, [0, 1, 2, 4]),        # clamped to the column count
    (3, 0.0, 2, [2, 3, 4]),            # 3 -> 2 (label 0) -> 4
])
def test_search_cases(idx, eta, size, expected):
    rho, nn_list, label = small_table()
    assert quarnel.find_nh_tree_search(idx, eta, rho, nn_list, label, size).tolist() == expected


def test_search_cross_table_start_absent():
    rho = np.ones(3)
    nn_list = i64([[1, 2], [2, 1], [1, 2]])
    assert quarnel.find_nh_tree_search(0, 0.0, rho, nn_list, np.zeros(3, np.int64),
                                       2).tolist() == [1, 2]


def test_search_size_zero_skips_row_check():
    rho, _, label = small_table()
    assert quarnel.find_nh_tree_search(5, 0.0, rho, np.zeros((0, 3), np.int64), label,
                                       0).tolist() == []
    assert panic_message(quarnel.find_nh_tree_search, 6, 0.0, rho, np.zeros((0, 3), np.int64),
                         label, 0) == oob(6, 6)


@pytest.mark.parametrize("idx, rho_len, table, label_len, message", [
    (6, 6, "ok", 6, oob(6, 6)),                       # idx beyond the labels
    (1, 6, "two_rows", 6, NDARRAY),                   # idx not a row of nn_list
    (0, 6, [[0, -1]], 6, oob(6, -1)),                 # negative neighbour in the ring
    (0, 6, [[0, 1], [1, 8]], 6, oob(6, 8)),           # bad neighbour while expanding
    (0, 6, [[0, 2], [1, 1], [2, 2]], 2, oob(2, 2)),   # frontier point without label
    (0, 6, [[0, 2], [1, 1]], 6, NDARRAY),             # frontier point of label L, no row
    (0, 0, [[3, 1]], 6, oob(0, 3)),                   # empty rho
])
def test_search_failures(idx, rho_len, table, label_len, message):
    rho = np.ones(rho_len)
    if table == "ok":
        nn_list = np.zeros((6, 2), np.int64)
    elif table == "two_rows":
        nn_list = np.zeros((1, 2), np.int64)
    else:
        nn_list = i64(table)
    label = np.zeros(label_len, np.int64)
    assert panic_message(quarnel.find_nh_tree_search, idx, 0.0, rho, nn_list, label,
                         2) == message


def test_search_expands_each_pass_in_ascending_order():
    # Expanding 1 admits 7, 3, 5 in that order; the next pass visits 3 first,
    # so the bad entry of row 3 is the one reported.
    nn_list = np.repeat(np.arange(10, dtype=np.int64)[:, None], 4, axis=1)
    nn_list[0] = [0, 1, 1, 1]
    nn_list[1] = [1, 7, 3, 5]
    nn_list[3] = [3, 11, 3, 3]
    nn_list[5] = [5, 13, 5, 5]
    nn_list[7] = [7, 12, 7, 7]
    assert panic_message(quarnel.find_nh_tree_search, 0, 0.0, np.ones(10), nn_list,
                         np.zeros(10, np.int64), 4) == oob(10, 11)


@pytest.mark.parametrize("seed", range(300))
def test_search_matches_flag_flood(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 40))
    k = int(rng.integers(0, 6))
    rows = n if rng.random() < 0.8 else int(rng.integers(0, n + 1))
    nn_list = rng.integers(0, n, size=(rows, k)).astype(np.int64)
    if rng.random() < 0.5 and nn_list.size:
        # distinct bad entries, so the reported one tells which was met first
        bad = rng.integers(0, nn_list.size, size=int(rng.integers(1, 5)))
        nn_list.flat[bad] = rng.choice([-1, 1], size=len(bad)) * rng.integers(n, 2 * n + 9,
                                                                               size=len(bad))
    rho = rng.normal(size=n)
    label = rng.integers(0, 3, size=n if rng.random() < 0.8 else rng.integers(1, n + 1))
    label = label.astype(np.int64)
    idx = int(rng.integers(0, min(n, len(label))))
    eta = float(rng.normal()) - 1.0
    size = int(rng.integers(0, k + 2))
    args = (idx, eta, rho, nn_list if rng.random() < 0.5 else np.asfortranarray(nn_list),
            label, size)
    try:
        expected = ref_search(idx, eta, rho, nn_list, label, size)
    except ValueError as e:
        assert panic_message(quarnel.find_nh_tree_search, *args) == str(e)
    else:
        assert quarnel.find_nh_tree_search(*args).tolist() == expected


def test_search_contiguity():
    rho, nn_list, label = small_table()
    for r, l in [(np.repeat(rho, 2)[::2], label), (rho, np.repeat(label, 2)[::2])]:
        with pytest.raises(TypeError) as info:
            quarnel.find_nh_tree_search(0, 0.0, r, nn_list, l, 2)
        assert str(info.value) == NOT_CONTIGUOUS
    with pytest.raises(OverflowError):
        quarnel.find_nh_tree_search(-1, 0.0, rho, nn_list, label, 2)


# ---------------------------------------------------------------- check_cluster_stability

def chain_one_call():
    """Centres A=0, B=1, C=2 with rho C > A > B: B meets A, A meets C."""
    x = f64([[0.0, 0.0], [3.0, 4.0], [6.0, 8.0]])
    rho = f64([2.0, 1.0, 3.0])
    nn_list = i64([[0, 2], [1, 0], [2, 2]])
    return dict(x=x, rho=rho, idx_centers=i64([0, 1, 2]), nn_delta=i64([-1, -1, -1]),
                delta=f64([7.0, 7.0, 7.0]), nn_list=nn_list, cluster_label=i64([0, 1, 2]),
                density_graph=[[], [], []], threshold=5.0, search_size=2)


def run_check(**kw):
    out = quarnel.check_cluster_stability(**kw)
    return out[0].tolist(), out[1], out[2].tolist(), out[3].tolist(), out[4]


@pytest.mark.parametrize("threshold", [5.0, 0.0])
def test_check_chain_in_one_call(threshold):
    kw = chain_one_call()
    kw["threshold"] = threshold
    assert run_check(**kw) == ([2], 2, [2, 0, -1], [10.0, 5.0, 7.0], [[1], [], [0]])


def test_check_nothing_removed():
    kw = chain_one_call()
    kw["search_size"] = 1                       # ring is the centre alone
    assert run_check(**kw) == ([0, 1, 2], 0, [-1, -1, -1], [7.0] * 3, [[], [], []])
    kw.update(threshold=0.0)                    # plain form from column 1: nothing
    assert run_check(**kw)[:2] == ([0, 1, 2], 0)
    kw.update(idx_centers=i64([]), search_size=2)
    assert run_check(**kw) == ([], 0, [-1, -1, -1], [7.0] * 3, [[], [], []])


@pytest.mark.parametrize("threshold, removed", [(0.0009, 1), (0.001, 0), (math.nan, 0)])
def test_check_threshold_floor(threshold, removed):
    # B (rho 1) lists p (rho 0.5, label of the denser C) in column 1: the plain
    # form counts p, the search does not admit it.
    kw = dict(x=np.zeros((3, 2)), rho=f64([1.0, 3.0, 0.5]), idx_centers=i64([0, 1]),
              nn_delta=i64([-1, -1, 1]), delta=f64([1.0, 1.0, 1.0]),
              nn_list=i64([[0, 2], [1, 1], [2, 1]]), cluster_label=i64([0, 1, 1]),
              density_graph=[[], [2], []], threshold=threshold, search_size=2)
    assert run_check(**kw)[1] == removed


def test_check_equal_density_targets_lowest_label():
    # c=0 meets the clusters of 2 (label 0) and 1 (label 1), equally dense.
    kw = dict(x=f64([[0.0], [1.0], [2.0]]), rho=f64([1.0, 2.0, 2.0]),
              idx_centers=i64([2, 1, 0]), nn_delta=i64([-1, -1, -1]), delta=np.zeros(3),
              nn_list=i64([[0, 1, 2], [1, 1, 1], [2, 2, 2]]), cluster_label=i64([2, 1, 0]),
              density_graph=[[], [], []], threshold=1.0, search_size=3)
    assert run_check(**kw) == ([2, 1], 1, [2, -1, -1], [2.0, 0.0, 0.0], [[], [], [0]])


def test_check_unassigned_and_own_cluster_keep_centre():
    kw = dict(x=np.zeros((3, 1)), rho=f64([1.0, 9.0, 9.0]), idx_centers=i64([0]),
              nn_delta=i64([-1, -1, -1]), delta=np.zeros(3),
              nn_list=i64([[0, 1, 2], [1, 1, 1], [2, 2, 2]]), cluster_label=i64([0, -1, 7]),
              density_graph=[[], [], []], threshold=5.0, search_size=3)
    assert run_check(**kw)[:2] == ([0], 0)


@pytest.mark.parametrize("change, message", [
    (dict(idx_centers=i64([0, 3])), oob(3, 3)),
    (dict(idx_centers=i64([-2])), oob(3, -2)),
    (dict(threshold=0.0, nn_list=i64([[0, 2], [1, 0]])), NDARRAY),
    (dict(nn_list=i64([[0, 2], [1, 0], [2, 5]])), oob(3, 5)),     # inside the search
    (dict(threshold=0.0, nn_list=i64([[0, 2], [1, 9], [2, 2]])), oob(3, 9)),
    (dict(nn_delta=i64([-1])), oob(1, 1)),          # A's removal passes, B's fails
    (dict(delta=f64([1.0])), oob(1, 1)),
    (dict(x=f64([[0.0, 0.0]])), NDARRAY),
    (dict(density_graph=[[]]), oob(1, 2)),                         # A's target is C
])
def test_check_failures(change, message):
    kw = chain_one_call()
    kw.update(change)
    assert panic_message(quarnel.check_cluster_stability, **kw) == message


@pytest.mark.parametrize("x_rows, nn_delta_len, delta_len, message", [
    (3, 1, 0, oob(1, 1)),      # nn_delta before x and delta
    (1, 3, 0, NDARRAY),        # x before delta
    (3, 3, 0, oob(0, 1)),
])
def test_check_removal_checks_in_order(x_rows, nn_delta_len, delta_len, message):
    kw = chain_one_call()
    # B is checked first (label 0) and merged into A (label 1).
    kw.update(idx_centers=i64([1, 0, 2]), cluster_label=i64([1, 0, 2]), x=kw["x"][:x_rows],
              nn_delta=np.full(nn_delta_len, -1, np.int64), delta=np.zeros(delta_len))
    assert panic_message(quarnel.check_cluster_stability, **kw) == message


def test_check_label_failures_come_before_centre_lookups():
    # The neighbourhood of A meets point 2 whose label 5 names no centre and
    # point 1 whose label 1 names the centre 9 (out of range); the label
    # vector is too short for point 2 in the second case.
    kw = chain_one_call()
    kw.update(nn_list=i64([[0, 1], [1, 2], [2, 2]]), idx_centers=i64([0, 9]),
              cluster_label=i64([0, 1, 5]), threshold=0.0)
    assert panic_message(quarnel.check_cluster_stability, **kw) == oob(3, 9)
    kw.update(cluster_label=i64([0, 1]), nn_list=i64([[0, 1, 2], [1, 2, 2], [2, 2, 2]]),
              search_size=3)
    assert panic_message(quarnel.check_cluster_stability, **kw) == oob(2, 2)


def test_check_contiguity_after_conversion():
    kw = chain_one_call()
    for name in ["rho", "idx_centers", "nn_delta", "delta", "cluster_label"]:
        bad = dict(kw)
        bad[name] = np.repeat(kw[name], 2)[::2]
        with pytest.raises(TypeError) as info:
            quarnel.check_cluster_stability(**bad)
        assert str(info.value) == NOT_CONTIGUOUS
        bad["density_graph"] = [[0], "x"]
        with pytest.raises(TypeError) as info:
            quarnel.check_cluster_stability(**bad)
        assert str(info.value).startswith("argument 'density_graph': ")


# ---------------------------------------------------------------- stability_loop

def chain_loop():
    """A=0, B=1, C=2 with rho C > B > A, a=3 below A; B meets a, A meets C."""
    return dict(x=f64([[0.0, 0.0], [3.0, 4.0], [6.0, 8.0], [0.0, 1.0]]),
                rho=f64([1.0, 2.0, 3.0, 0.5]), idx_centers_in=i64([0, 1, 2]),
                nn_delta_in=i64([-1, -1, -1, 0]), delta_in=f64([9.0, 9.0, 9.0, 1.0]),
                nn_list=i64([[0, 2], [1, 3], [2, 2], [3, 0]]),
                density_graph_in=[[3], [], [], []], threshold=5.0, search_size=2)


def loop_as_python(out):
    return out[0].tolist(), out[1].tolist(), out[2].tolist(), out[3].tolist(), out[4]


def test_loop_chain_across_iterations():
    kw = chain_loop()
    # First check alone keeps B (A is less dense than B).
    labels = quarnel.assign_cluster(kw["idx_centers_in"], kw["nn_delta_in"],
                                    kw["density_graph_in"])
    first = quarnel.check_cluster_stability(
        kw["x"], kw["rho"], kw["idx_centers_in"], kw["nn_delta_in"], kw["delta_in"],
        kw["nn_list"], labels, kw["density_graph_in"], kw["threshold"], kw["search_size"])
    assert first[0].tolist() == [1, 2] and first[1] == 1
    out = loop_as_python(quarnel.stability_loop(**kw))
    assert out == ([2], [0, 0, 0, 0], [2, 2, -1, 0], [10.0, 5.0, 9.0, 1.0],
                   [[3], [], [0, 1], []])


def test_loop_empty_centres():
    kw = chain_loop()
    kw["idx_centers_in"] = i64([])
    assert loop_as_python(quarnel.stability_loop(**kw)) == (
        [], [-1] * 4, [-1, -1, -1, 0], [9.0, 9.0, 9.0, 1.0], [[3], [], [], []])


def test_loop_labels_have_length_of_rho():
    kw = chain_loop()
    kw.update(nn_delta_in=i64([-1, -1, -1, 0, 5, 5]), delta_in=np.zeros(6), search_size=1)
    out = quarnel.stability_loop(**kw)
    assert out[0].tolist() == [0, 1, 2] and out[1].tolist() == [0, 1, 2, 0]
    assert len(out[2]) == 6


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("threshold, size", [(0.0, 6), (0.5, 4), (2.0, 12), (50.0, 8)])
def test_loop_equals_alternation(seed, threshold, size):
    x, rho, nn_list, nn_dist = pipeline(seed, d=2 + seed % 2)
    delta, nn_delta, centres, graph = quarnel.compute_delta(x, rho, nn_list, nn_dist)
    expected = alternate(x, rho, centres, nn_delta, delta, nn_list, graph, threshold, size)
    out = quarnel.stability_loop(x.T.copy().T, rho, centres, nn_delta, delta,
                                 np.asfortranarray(nn_list), graph, threshold, size)
    assert loop_as_python(out) == loop_as_python(expected)
    assert out[1].max() < len(out[0]) and out[1].min() >= 0
    assert len(out[0]) <= len(centres)


@pytest.mark.parametrize("seed", range(150))
def test_loop_equals_alternation_many_merges(seed):
    # Noisy densities over uneven point clouds: many centres, several rounds
    # of merges, and centres whose neighbourhoods change between rounds.
    rng = np.random.default_rng(seed)
    n, d, k = int(rng.integers(50, 300)), 1 + seed % 2, int(rng.integers(4, 12))
    x = rng.normal(size=(n, d)) * rng.uniform(0.2, 3, size=(n, 1))
    dist = np.sqrt(((x[:, None] - x[None]) ** 2).sum(-1))
    nn_list = np.argsort(dist, axis=1, kind="stable")[:, :k].astype(np.int64)
    nn_dist = np.take_along_axis(dist, nn_list, 1)
    rho = rng.normal(size=n) * 0.3 - d * np.log(nn_dist[:, -1] + 1e-9)
    delta, nn_delta, centres, graph = quarnel.compute_delta(x, rho, nn_list, nn_dist)
    if seed % 3 == 1:
        # Centres hanging below other centres, and one centre listed twice:
        # removals then reach points that other centres reach too.
        centres = np.concatenate([centres, rng.choice(n, size=4, replace=False), centres[:1]])
    threshold = float(rng.choice([0.0, 0.3, 1.0, 3.0]))
    size = int(rng.integers(2, k + 1))
    expected = alternate(x, rho, centres, nn_delta, delta, nn_list, graph, threshold, size)
    out = quarnel.stability_loop(x, rho, centres, nn_delta, delta, nn_list, graph, threshold,
                                 size)
    assert loop_as_python(out) == loop_as_python(expected)


def test_loop_kept_centre_below_removed_centre():
    # C = 0 > A = 1 > K = 2 in density; K hangs below A and is listed after
    # it, so K's subtree (2, 4) carries K's label. A is merged into C; K,
    # whose neighbour 4 is its own, stays, and keeps its subtree.
    kw = dict(x=f64(np.arange(12.0).reshape(6, 2)), rho=f64([10, 5, 1, 0, 0, 0]),
              idx_centers_in=i64([0, 1, 2]), nn_delta_in=i64([-1, -1, 1, 1, 2, 0]),
              delta_in=f64([9, 9, 1, 1, 1, 1]),
              nn_list=i64([[0, 5], [1, 5], [2, 4], [3, 1], [4, 2], [5, 0]]),
              density_graph_in=[[5], [3, 2], [4], [], [], []], threshold=0.0, search_size=2)
    out = quarnel.stability_loop(**kw)
    assert out[0].tolist() == [0, 2]
    assert out[1].tolist() == [0, 0, 1, 0, 1, 0]
    assert loop_as_python(out) == loop_as_python(alternate(*kw.values()))


def test_loop_ends_on_cyclic_graph():
    kw = chain_loop()
    kw["density_graph_in"] = [[3], [], [], [0]]
    assert quarnel.stability_loop(**kw)[0].tolist() == [2]


@pytest.mark.parametrize("change, message", [
    (dict(idx_centers_in=i64([0, -1])), oob(4, -1)),
    (dict(density_graph_in=[[3], [], []]), oob(3, 3)),
    (dict(density_graph_in=[[3], [], [], [6]]), oob(4, 6)),
    (dict(nn_list=i64([[0, 2], [1, 3], [2, 9], [3, 0]])), oob(4, 9)),
    (dict(density_graph_in=[[3], [], []], nn_list=i64([[0, 9]])), oob(3, 3)),
])
def test_loop_failures(change, message):
    kw = chain_loop()
    kw.update(change)
    assert panic_message(quarnel.stability_loop, **kw) == message


# ---------------------------------------------------------------- adaptive_trim_size

TRIM_ROWS = f64([[0, 0.1, 0.2, 0.5], [0, 0.3, 0.4, 0.6], [0, 0.05, 0.15, 0.25]])


@pytest.mark.parametrize("table, bandwidth, alpha, min_nh, expected", [
    (TRIM_ROWS, 0.5, 0.5, 2, 3),
    (TRIM_ROWS, 0.5, 0.5, 5, 5),
    (f64([[0, 1, 1, 1], [0, 9, 9, 9], [0, 1, 1, 9], [0, 1, 9, 9]]), 1.0, 1.0, 0, 3),
    (f64([[0, 0, 1], [0, 1, 1], [0, 1, 1]]), 0.0, 1.0, 0, 1),
    (np.zeros((4, 0)), 1.0, 1.0, 7, 7),
    (TRIM_ROWS, -1.0, 0.5, 2, 2),
    (TRIM_ROWS, math.nan, 0.5, 2, 2),
    (f64([[math.nan, 0.0]]), 1.0, 1.0, 0, 1),
    (TRIM_ROWS.T.copy().T[:, ::-1], 0.5, 0.5, 0, 3),
])
def test_trim_size(table, bandwidth, alpha, min_nh, expected):
    got = quarnel.adaptive_trim_size(table, bandwidth, alpha, min_nh)
    assert got == expected and type(got) is int


def test_trim_size_no_rows():
    assert panic_message(quarnel.adaptive_trim_size, np.zeros((0, 4)), 1.0, 1.0, 1) == oob(0, 0)


# ---------------------------------------------------------------- all functions

def test_inputs_unchanged_and_results_fresh():
    x, rho, nn_list, nn_dist = pipeline(7, n=200)
    delta, nn_delta, centres, graph = quarnel.compute_delta(x, rho, nn_list, nn_dist)
    labels = quarnel.assign_cluster(centres, nn_delta, graph)
    arrays = [x, rho, nn_list, nn_dist, delta, nn_delta, centres, labels]
    saved = [a.copy() for a in arrays]
    saved_graph = [list(l) for l in graph]
    results = [
        quarnel.check_cluster_stability(x, rho, centres, nn_delta, delta, nn_list, labels,
                                        graph, 2.0, 8),
        quarnel.stability_loop(x, rho, centres, nn_delta, delta, nn_list, graph, 2.0, 8),
        quarnel.check_cluster_stability(x, rho, i64([]), nn_delta, delta, nn_list, labels,
                                        graph, 2.0, 8),
        (quarnel.find_nh_tree_search(int(centres[0]), -math.inf, rho, nn_list, labels, 8),),
        (quarnel.assign_cluster(centres, nn_delta, graph),),
    ]
    assert all(np.array_equal(a, b) for a, b in zip(arrays, saved))
    assert graph == saved_graph
    for out in results:
        for r in out:
            if isinstance(r, np.ndarray):
                assert r.flags.writeable and r.flags.c_contiguous
                assert not any(np.shares_memory(r, a) for a in arrays)
            elif isinstance(r, list):
                assert r is not graph and all(a is not b for a, b in zip(r, graph))


THREAD_SCRIPT = textwrap.dedent("""
    import hashlib
    import numpy as np
    import quarnel
    rng = np.random.default_rng(3)
    n, k = 50000, 8
    x = rng.normal(size=(n, 2))
    nn_list = np.concatenate([np.arange(n)[:, None], rng.integers(0, n, (n, k - 1))], axis=1)
    nn_dist = np.sort(rng.random((n, k)), axis=1)
    rho = rng.normal(size=n)
    out = quarnel.compute_delta(x, rho, nn_list, nn_dist)
    digest = hashlib.sha256()
    for a in out[:3]:
        digest.update(a.tobytes())
    digest.update(repr(out[3]).encode())
    print(digest.hexdigest(), quarnel.adaptive_trim_size(nn_dist, 0.5, 0.9, 0))
    # The clustering stage on a real table: centres judged and points
    # labelled by several threads at once.
    x = rng.normal(size=(n, 2)) * rng.choice([0.3, 1.0], size=(n, 1))
    dist, idx = quarnel.knn_query(x, 12)
    nn_dist, nn_list = dist.reshape(n, 12), idx.reshape(n, 12)
    rho = quarnel.epanechnikov_kde(nn_dist, 0.2, 2, n)
    delta, nn_delta, centres, graph = quarnel.compute_delta(x, rho, nn_list, nn_dist)
    out = quarnel.stability_loop(x, rho, centres, nn_delta, delta, nn_list, graph, 0.5, 6)
    print(len(centres), len(out[0]), hashlib.sha256(repr([a.tolist() for a in out[:4]]).encode()
                                                    + repr(out[4]).encode()).hexdigest())
""")


def test_thread_count_invariance():
    runs = [run_python(THREAD_SCRIPT, env={"RAYON_NUM_THREADS": t}) for t in ("1", "2", "3")]
    assert [r.returncode for r in runs] == [0, 0, 0], "".join(r.stderr for r in runs)
    assert runs[0].stdout == runs[1].stdout == runs[2].stdout


def test_function_table():
    names = ["compute_delta", "assign_cluster", "find_nh_tree_search",
             "check_cluster_stability", "stability_loop", "adaptive_trim_size"]
    assert quarnel.__all__[-6:] == names
    assert quarnel.stability_loop.__doc__.splitlines()[1] == (
        "This avoids repeated Python\u2194native data conversion by keeping everything in native.")
    assert quarnel.find_nh_tree_search.__text_signature__ == (
        "(idx, eta, rho, nn_list, cluster_label, search_size)")
