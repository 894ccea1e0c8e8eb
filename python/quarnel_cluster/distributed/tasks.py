"""Small tasks of the distributed run that are not neighbour searches: each
takes and returns NumPy arrays or numbers."""

from __future__ import annotations

from typing import Any

import numpy as np

from .. import _native as native
from .. import pipeline
from ..records import F64, I64
from .boxwork import aligned, final, relabelled, values

# Indices summed at once in ordered_sum (8 MiB of values).
SUM_BLOCK = 1 << 20
# Indices per task of the chain of ordered sums: each task takes at most
# 16 bytes per index of input (128 MiB), wherever n goes.
SUM_SPAN = 1 << 23


def sample(x: F64, step: int) -> F64:
    return np.asarray(x, dtype=np.float64)[::step]


def column(table: tuple[I64, F64, np.ndarray, I64], j: int) -> F64:
    return np.ascontiguousarray(table[1][:, j])


def radix_counts(values: F64, prefixes: list[int], known_bits: int) -> I64:
    """Per prefix, the counts of the next 16 bits of the values whose leading
    `known_bits` bits are that prefix. Non-negative floats order as their
    bit patterns."""
    distinct = sorted(set(prefixes))
    groups = (values_with_prefixes(values, distinct, known_bits) if known_bits
              else [values] * len(distinct))
    counts = {}
    for prefix, group in zip(distinct, groups):
        digit = (group.view(np.uint64) >> np.uint64(48 - known_bits)) & np.uint64(0xFFFF)
        counts[prefix] = np.bincount(digit.astype(np.intp), minlength=1 << 16)
    return np.array([counts[p] for p in prefixes], dtype=np.int64)


def values_with_prefixes(values: F64, prefixes: list[int], known_bits: int) -> list[F64]:
    """Per prefix, the values whose leading `known_bits` bits (1 to 63) are
    that prefix."""
    top = values.view(np.uint64) >> np.uint64(64 - known_bits)
    return [values[top == np.uint64(p)] for p in prefixes]


def rows_of(table: tuple[I64, F64, np.ndarray, I64], wanted: I64) -> tuple[I64, F64, I64]:
    """The rows of a box's table for the wanted points that it holds
    (wanted: distinct indices), in the box's order, with the neighbours'
    indices."""
    ids, dist, code, foreign = table
    # A binary search per wanted point among the box's ids (ascending): the
    # wanted are a few in a hundred of a box's points, and np.isin sorted
    # the box's ids as well.
    if len(ids) == 0:
        return ids, dist, code.astype(np.int64)
    at = np.minimum(np.searchsorted(ids, wanted), len(ids) - 1)
    at = np.sort(at[ids[at] == wanted])
    return ids[at], dist[at], values(ids, foreign, code[at])


def ordered_sum(lo: int, hi: int, carry: float, *parts: tuple[I64, F64]) -> float:
    """carry + v[lo] + v[lo + 1] + ... + v[hi - 1], in index order, one
    addition at a time (as the native length scale sums the squares), from
    (ascending indices, values) pieces that together hold every index of
    lo .. hi - 1 once (index_range).

    A block of indices at a time, the running sum carried in front of each
    block: np.cumsum adds left to right, so the block's last sum is the
    sequential sum so far. All values at once would take three arrays of n
    floats on one worker."""
    buf = np.empty(SUM_BLOCK + 1)
    for start in range(lo, hi, SUM_BLOCK):
        stop = min(hi, start + SUM_BLOCK)
        block = buf[:stop - start + 1]
        block[0] = carry
        for part in parts:
            ids, values = index_range(part, start, stop)
            block[ids - (start - 1)] = values
        carry = float(np.cumsum(block, out=block)[-1])
    return carry


def index_range(part: tuple[I64, F64], lo: int, hi: int) -> tuple[I64, F64]:
    """The entries of (ascending indices, values) with indices lo .. hi - 1."""
    ids, values = part
    a, b = np.searchsorted(ids, [lo, hi])
    return ids[a:b], values[a:b]


def ids_and_squares(table: tuple[I64, F64, np.ndarray, I64], j: int) -> tuple[I64, F64]:
    """The box's indices and the squares of its column j (each rounded once,
    as the native length scale squares them)."""
    v = table[1][:, j]
    return table[0], v * v


def held_out_cross(x_parts: list[tuple[I64, F64]], n: int, test_size: float, seed: Any,
                   k: int) -> tuple[F64, int]:
    """The held-out points' neighbours among the training points for a seeded
    split of all n points (pipeline.split), searched in one task."""
    x = gather_points(n, *x_parts)
    train, test = pipeline.split(n, test_size, seed)
    from .. import neighbours
    cross, _ = neighbours.cross_table(np.ascontiguousarray(x[train]),
                                      np.ascontiguousarray(x[test]), k)
    return cross, len(train)


def gather_points(n: int, *parts: tuple[I64, F64]) -> F64:
    d = next(p[1].shape[1] for p in parts)
    x = np.empty((n, d))
    for ids, values in parts:
        x[ids] = values
    return x


def density(table: tuple[I64, F64, np.ndarray, I64], k: int, bandwidth: float, dim: int,
            n: int) -> F64:
    # The table's first k columns as a view: the kernel reads rows at any
    # stride, and a copy took as long as the kernel and 8k bytes a point.
    return pipeline.density(table[1][:, :k], bandwidth, dim, n)


def trim_counts(table: tuple[I64, F64, np.ndarray, I64], k: int, radii: list[float]) -> I64:
    """Per radius and per count 0 .. k, the rows with that many of their k
    distances within the radius (what the median neighbourhood size is
    taken from)."""
    counts = native.radius_counts(aligned(table[1]), k, np.asarray(radii, dtype=np.float64))
    return counts.reshape(len(radii), k + 1)


def field(part: dict[str, Any], name: str) -> Any:
    return part[name]


def original(copies: tuple[I64, I64], idx: I64) -> I64:
    """Indices among all points of the distinct points idx (numbered in order
    of first appearance)."""
    copy = copies[0]
    if len(copy) == 0:
        return np.asarray(idx, dtype=np.int64)
    # Before the j-th distinct point come j distinct points and the copies
    # c_i with c_i - i <= j.
    steps = copy - np.arange(len(copy))
    return idx + np.searchsorted(steps, idx, side="right")


def expanded(part: dict[str, np.ndarray], found: tuple[I64, I64],
             copies: tuple[I64, I64]) -> dict[str, np.ndarray]:
    """A box's per-point results for all its points, copies included, by
    index among all points: a copy joins its first occurrence at distance 0
    with its density and label."""
    ids = original(copies, part["ids"])
    nn_delta = np.where(part["nn_delta"] >= 0,
                        original(copies, np.maximum(part["nn_delta"], 0)), -1)
    out = {"ids": ids, "labels": part["labels"], "rho": part["rho"],
           "delta": part["delta"], "nn_delta": nn_delta}
    if "initial" in part:
        out["initial"] = part["initial"]
    copy, first = found
    if len(copy):
        at = np.searchsorted(ids, first)
        out = {"ids": np.concatenate([ids, copy]),
               "labels": np.concatenate([part["labels"], part["labels"][at]]),
               "rho": np.concatenate([part["rho"], part["rho"][at]]),
               "delta": np.concatenate([part["delta"], np.zeros(len(copy))]),
               "nn_delta": np.concatenate([nn_delta, first])}
        if "initial" in part:
            out["initial"] = np.concatenate([part["initial"], part["initial"][at]])
    return out


def output_pieces(box: dict[str, Any], labels: I64, changed: tuple[I64, I64, F64],
                  found: tuple[I64, I64], copies: tuple[I64, I64],
                  offsets: list[int]) -> list[dict[str, np.ndarray]]:
    """A box's final results (boxwork.final, copies included: expanded),
    split by the input's row chunks (by_chunk)."""
    return by_chunk(expanded(final(box, labels, changed), found, copies), offsets)


def by_chunk(part: dict[str, np.ndarray], offsets: list[int]) -> list[dict[str, np.ndarray]]:
    """A box's per-point results split by the input's row chunks (offsets:
    the chunks' first rows and the end)."""
    order = np.argsort(part["ids"], kind="stable")
    ids = part["ids"][order]
    cut = np.searchsorted(ids, offsets)
    return [{name: values[order[a:b]] for name, values in part.items()}
            for a, b in zip(cut[:-1], cut[1:])]


def chunk_of(start: int, stop: int, *pieces: dict[str, np.ndarray]) -> dict[str, Any]:
    """The per-point results of rows start .. stop - 1 from the boxes' pieces
    of that chunk."""
    n = stop - start
    out = {"labels": np.empty(n, np.int64), "rho": np.empty(n), "delta": np.empty(n),
           "nn_delta": np.empty(n, np.int64)}
    if pieces and "initial" in pieces[0]:
        out["initial"] = np.empty(n, np.result_type(*[p["initial"] for p in pieces]))
    for piece in pieces:
        at = piece["ids"] - start
        for name in out:
            out[name][at] = piece[name]
    return out


def patch_in_input_order(copies: tuple[I64, I64], changes: tuple[I64, I64, F64]
                         ) -> tuple[I64, I64, F64]:
    """Centres' parents and distances (distinct indices, centres ascending,
    a parent -1 for none) by index among all points, as `expanded` numbers
    them."""
    child, parent, gap = changes
    parent = np.where(parent >= 0, original(copies, np.maximum(parent, 0)), -1)
    return original(copies, child), parent, gap


def relabelled_chunk(part: dict[str, Any], new_label: I64, patch: tuple[I64, I64, F64],
                     start: int) -> dict[str, Any]:
    """A chunk's results (rows start ..) with its points' labels before any
    join mapped by new_label, and the centres of `patch` (by index among all
    points, ascending) given its parents and distances."""
    initial = part["initial"]
    labels = relabelled(initial, new_label)
    delta, nn_delta = part["delta"], part["nn_delta"]
    ids = patch[0]
    a, b = np.searchsorted(ids, [start, start + len(initial)])
    if b > a:
        delta, nn_delta = delta.copy(), nn_delta.copy()
        nn_delta[ids[a:b] - start] = patch[1][a:b]
        delta[ids[a:b] - start] = patch[2][a:b]
    return {"labels": labels, "rho": part["rho"], "delta": delta, "nn_delta": nn_delta,
            "initial": initial}


def copy_labels(part: dict[str, Any], copies: tuple[I64, I64], start: int) -> I64:
    """The labels before any join of the chunk's copies of points (rows
    start ..)."""
    copy = copies[0]
    a, b = np.searchsorted(copy, [start, start + len(part["initial"])])
    return part["initial"][copy[a:b] - start]
