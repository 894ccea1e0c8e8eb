"""Random calls of every quarnel function, run in a child interpreter.

An example is a *recipe*: a tuple of literals (function name, point-set
bundle, one entry per parameter, calling style). `build_call` turns it into
arguments, so `repr(recipe)` reproduces an example exactly:

    python tests/fuzz_driver.py run FUNCTION EXAMPLES   # hypothesis search
    python tests/fuzz_driver.py replay "RECIPE"         # one example

Most parameters come from a coherent bundle (points, their k-NN table,
densities, delta, centres, labels, density graph, all made by quarnel
itself), so that calls reach deep into the functions; some are disturbed:
a changed layout (Fortran, reversed, strided, unaligned, read-only, masked,
subclass), changed content (bad indices, NaN, infinities), changed shape or
dtype, wrong Python types, hook objects whose conversions raise, cycles in a
density graph, and so on.

The property checked for every call: it returns a result of the documented
form or raises one of the allowed exceptions, and no argument has changed.
Before each call the recipe is written to the file named by
QUARNEL_FUZZ_LAST, so that the parent can name the example that crashed the
interpreter.
"""
import contextlib
import operator
import os
import sys
import warnings

import numpy as np

import quarnel
from conftest import PYTHON_DIR, panic_exception

# The driver's package from this work tree, as under pytest.
if str(PYTHON_DIR) not in sys.path:
    sys.path.insert(1, str(PYTHON_DIR))

nan = float("nan")
inf = float("inf")


class HookError(Exception):
    """Raised by the test's own conversion hooks; passing it on is correct."""


PanicException = panic_exception()
ALLOWED = (TypeError, ValueError, OverflowError, MemoryError, PanicException, HookError)

# ---- parameters ----------------------------------------------------------------

# kind letters: M float matrix, V float vector, I index matrix, J index
# vector, L index lists, F float scalar, S size scalar
FUNCTIONS = {
    "knn_query": [("x", "M"), ("k", "S")],
    "knn_query_cross": [("x_train", "M"), ("x_query", "M"), ("k", "S")],
    "epanechnikov_kde": [("nn_dist", "M"), ("bandwidth", "F"), ("dim", "S"), ("n_total", "S")],
    "find_optimal_bandwidth": [("nn_dist_test", "M"), ("h_min", "F"), ("h_max", "F"),
                               ("dim", "S"), ("n_train", "S"), ("xtol", "F")],
    "bandwidth_estimate": [("nn_dist", "M"), ("x_train", "M"), ("x_test", "M")],
    "round_float": [("x", "F")],
    "compute_delta": [("x", "M"), ("rho", "V"), ("nn_list", "I"), ("nn_dist", "M")],
    "assign_cluster": [("idx_centers", "J"), ("nn_delta", "J"), ("density_graph", "L")],
    "find_nh_tree_search": [("idx", "S"), ("eta", "F"), ("rho", "V"), ("nn_list", "I"),
                            ("cluster_label", "J"), ("search_size", "S")],
    "check_cluster_stability": [("x", "M"), ("rho", "V"), ("idx_centers", "J"), ("nn_delta", "J"),
                                ("delta", "V"), ("nn_list", "I"), ("cluster_label", "J"),
                                ("density_graph", "L"), ("threshold", "F"), ("search_size", "S")],
    "stability_loop": [("x", "M"), ("rho", "V"), ("idx_centers_in", "J"), ("nn_delta_in", "J"),
                       ("delta_in", "V"), ("nn_list", "I"), ("density_graph_in", "L"),
                       ("threshold", "F"), ("search_size", "S")],
    "adaptive_trim_size": [("nn_dist", "M"), ("bandwidth", "F"), ("alpha", "F"), ("min_nh", "S")],
}

# Parameters read as plain contiguous runs.
CONTIGUOUS = {
    ("assign_cluster", "idx_centers"), ("assign_cluster", "nn_delta"),
    ("find_nh_tree_search", "rho"), ("find_nh_tree_search", "cluster_label"),
    ("check_cluster_stability", "rho"), ("check_cluster_stability", "idx_centers"),
    ("check_cluster_stability", "nn_delta"), ("check_cluster_stability", "delta"),
    ("check_cluster_stability", "cluster_label"), ("stability_loop", "rho"),
    ("stability_loop", "idx_centers_in"), ("stability_loop", "nn_delta_in"),
    ("stability_loop", "delta_in"),
}

# Which bundle entry a parameter takes when it is not disturbed.
BUNDLE_KEY = {
    "x": "x", "x_train": "x", "x_query": "xq", "x_test": "xq", "k": "k",
    "nn_dist": "nn_dist", "nn_dist_test": "nn_dist_cross", "bandwidth": "h", "dim": "d",
    "n_total": "n", "n_train": "n", "h_min": "h_min", "h_max": "h_max", "xtol": "xtol",
    "rho": "rho", "nn_list": "nn_list", "idx_centers": "centers", "idx_centers_in": "centers",
    "nn_delta": "nn_delta", "nn_delta_in": "nn_delta", "delta": "delta", "delta_in": "delta",
    "cluster_label": "labels", "density_graph": "graph", "density_graph_in": "graph",
    "idx": "idx", "eta": "eta", "search_size": "k", "threshold": "threshold", "alpha": "alpha",
    "min_nh": "min_nh",
}
# Parameters whose name means something else in one function.
BUNDLE_KEY_OF = {("round_float", "x"): "h"}

# Results: "f"/"i" 1-D float64/int64 array, "L" list of lists of int,
# "float", "int"; a list is a tuple of those.
RESULTS = {
    "knn_query": ["f", "i"], "knn_query_cross": ["f", "i"], "epanechnikov_kde": "f",
    "find_optimal_bandwidth": ["float", "int"], "bandwidth_estimate": ["float"] * 3,
    "round_float": "float", "compute_delta": ["f", "i", "i", "L"], "assign_cluster": "i",
    "find_nh_tree_search": "i", "check_cluster_stability": ["i", "int", "i", "f", "L"],
    "stability_loop": ["i", "i", "i", "f", "L"], "adaptive_trim_size": "int",
}

# ---- the bundle ------------------------------------------------------------------


def build_bundle(recipe):
    """A coherent set of inputs for every function, made by quarnel itself."""
    n, d, k, content, seed = recipe
    rng = np.random.default_rng(seed)
    if content == "grid":  # many exact duplicates
        x = rng.integers(0, 3, (n, d)).astype(np.float64)
    elif content == "blobs":
        centres = rng.random((4, d)) * 10
        x = centres[rng.integers(0, 4, n)] + rng.normal(0, 0.3, (n, d))
    else:
        x = rng.random((n, d))
    dist, index = quarnel.knn_query(x, k)
    r = min(k, n)
    nn_dist, nn_list = dist.reshape(n, r), index.reshape(n, r)
    positive = nn_dist[nn_dist > 0]
    h = float(np.median(positive)) * 2 if positive.size else 1.0
    if content == "ties":  # densities with many ties
        rho = rng.integers(0, 4, n).astype(np.float64)
    else:
        rho = quarnel.epanechnikov_kde(nn_dist, h, d, n)
    delta, nn_delta, centers, graph = quarnel.compute_delta(x, rho, nn_list, nn_dist)
    labels = quarnel.assign_cluster(centers, nn_delta, graph)
    xq = rng.random((max(n // 2, 1), d))
    cross, _ = quarnel.knn_query_cross(x, xq, k)
    idx = int(rng.integers(0, n)) if n else 0
    threshold = float(rng.choice([0.0, 0.0005, 0.001, 0.5, 2.0]))
    return {
        "x": x, "xq": xq, "k": k, "d": d, "n": n, "h": h, "h_min": h / 10, "h_max": h * 10,
        "xtol": 1e-5, "nn_dist": nn_dist, "nn_dist_cross": cross.reshape(len(xq), r),
        "nn_list": nn_list, "rho": rho, "delta": delta, "nn_delta": nn_delta, "centers": centers,
        "graph": graph, "labels": labels, "idx": idx,
        "eta": float(rho[idx]) - threshold if n else 0.0, "threshold": threshold,
        "alpha": 0.5, "min_nh": 2,
    }


# ---- hook objects and odd values ---------------------------------------------------


class IndexObj:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class FloatObj:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class Boom:
    """Every conversion hook raises."""

    def __index__(self):
        raise HookError("__index__")

    def __float__(self):
        raise HookError("__float__")

    def __len__(self):
        raise HookError("__len__")

    def __getitem__(self, i):
        raise HookError("__getitem__")

    def __iter__(self):
        raise HookError("__iter__")


class Meddler:
    """A number whose conversion first runs `action`: Python code that changes
    other arguments of the call while the call converts its arguments."""

    def __init__(self, v, action):
        self.v, self.action = v, action

    def __index__(self):
        action, self.action = self.action, None
        if action:
            action()
        return self.v

    __int__ = __index__


class Unprintable:
    def __str__(self):
        raise HookError("__str__")


class TypeErrorOfUnprintable:
    """Conversion hooks raise a TypeError whose message cannot be made."""

    def __index__(self):
        raise TypeError(Unprintable())

    __float__ = __index__


class LyingSequence:
    """A sequence whose length is not the number of items it yields."""

    def __init__(self, items, claimed):
        self.items, self.claimed = items, claimed

    def __len__(self):
        return self.claimed

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        return iter(self.items)


class Sub(np.ndarray):
    pass


JUNK = {
    "none": lambda: None, "str": lambda: "abc", "bytes": lambda: b"\x00" * 16,
    "dict": lambda: {0: [1]}, "set": lambda: {1, 2}, "object": object, "boom": Boom,
    "gen": lambda: (i for i in range(3)), "unprintable": TypeErrorOfUnprintable, "range": lambda: range(3), "ellipsis": lambda: ...,
    "complex": lambda: 1 + 2j, "int": lambda: 7, "float": lambda: 2.5, "bool": lambda: True,
    "list": lambda: [1.0, 2.0], "nested": lambda: [[[1, 2]], [[3]]], "tuple": lambda: ((0, 1), (1,)),
    "ragged": lambda: [[0.5, 1], [2]], "0d": lambda: np.array(3.0), "npint": lambda: np.int64(3),
    "matrix": lambda: np.asmatrix(np.zeros((3, 3))), "objarr": lambda: np.array([[1, None]], dtype=object),
    "strarr": lambda: np.array([["a", "b"]]), "struct": lambda: np.zeros((3, 2), dtype=[("a", "f8")]),
}

SCALARS = {  # named values for scalar parameters
    "zero": 0, "one": 1, "neg": -1, "big32": 2**32 + 1, "big59": 2**59, "max63": 2**63 - 1,
    "max64": 2**64 - 1, "over64": 2**64, "hugeint": 10**400, "negbig": -2**70,
    "nan": nan, "inf": inf, "-inf": -inf, "-0.0": -0.0, "tiny": 5e-324, "huge": 1e308,
    "half": 0.5, "minus1.0": -1.0, "true": True, "false": False,
    "np_u64max": np.uint64(2**64 - 1), "np_i64neg": np.int64(-5), "np_f32": np.float32(0.25),
    "np_f64nan": np.float64(nan), "np_bool": np.bool_(True), "np_i8": np.int8(3),
}

# ---- arrays ----------------------------------------------------------------------

DTYPES = ["f8", "i8", "q", "f4", "i4", "u8", "?", "O", ">f8", ">i8", "c16", "M8[s]", "f2", "U3"]


def special_values(dtype, n):
    if dtype.kind == "f":
        return [nan, inf, -inf, -0.0, 5e-324, 1e-300, 1e200, 1e308, -1e308, -1.0]
    return [-1, n, n + 1, 2**31, 2**32, 2**62, -2**63, 2**63 - 1]


def place(a, layout, rng):
    """`a`'s content with the given memory layout."""
    if layout == "C" or a.ndim == 0:
        return np.ascontiguousarray(a)
    if layout == "F":
        return np.asfortranarray(a)
    if layout == "rev":  # every axis reversed in memory, same logical content
        flipped = np.ascontiguousarray(a[(slice(None, None, -1),) * a.ndim])
        return flipped[(slice(None, None, -1),) * a.ndim]
    if layout == "step":  # every other element of a larger buffer
        big = np.empty(tuple(2 * s + 1 for s in a.shape), a.dtype)
        big[...] = np.zeros((), a.dtype) if a.dtype != object else None
        view = big[(slice(1, None, 2),) * a.ndim]
        view[...] = a
        return view
    if layout == "ro":
        b = np.array(a)
        b.flags.writeable = False
        return b
    if layout == "unaligned" and a.dtype.itemsize == 8 and a.dtype != object:
        buf = bytearray(a.nbytes + 1)
        b = np.frombuffer(buf, a.dtype, count=a.size, offset=1).reshape(a.shape)
        b[...] = a
        return b
    if layout == "oddstride" and a.dtype.itemsize == 8 and a.dtype != object:
        # a field of a packed record: element strides of 9 bytes
        packed = np.zeros(a.shape, dtype=[("pad", "u1"), ("v", a.dtype)])
        packed["v"] = a
        return packed["v"]
    if layout == "bcast" and a.ndim >= 1 and a.shape[0] > 0:
        return np.broadcast_to(a[:1], a.shape)
    if layout == "masked":
        return np.ma.masked_array(np.array(a), mask=rng.random(a.shape) < 0.3)
    if layout == "sub":
        return np.array(a).view(Sub)
    return np.array(a)


def random_array(dtype, shape, content, layout, seed, n_hint=50):
    rng = np.random.default_rng(seed)
    dt = np.dtype(dtype)
    size = int(np.prod(shape)) if shape else 1
    if dt.kind in "fc":
        if content == "special":
            vals = rng.choice(np.array(special_values(np.dtype("f8"), 0) + [0.5, 1.0, 2.0]), size)
        elif content == "grid":
            vals = rng.integers(0, 3, size).astype(float)
        else:
            vals = rng.random(size)
    elif dt.kind in "iu":
        if content == "special":
            vals = rng.choice(np.array(special_values(np.dtype("i8"), n_hint), dtype=object), size)
        else:
            vals = rng.integers(0, max(n_hint, 1), size)
    elif dt.kind == "b":
        vals = rng.random(size) < 0.5
    elif dt.kind == "M":
        vals = rng.integers(0, 1000, size)
    else:
        vals = rng.integers(0, 5, size).astype(object if dt.kind == "O" else str)
    try:
        a = np.array(list(vals) if dt.kind in "iu" else vals).astype(dt).reshape(shape)
    except (OverflowError, ValueError):
        a = np.zeros(shape, dt)
    return place(a, layout, rng)


# ---- mutations of bundle values ------------------------------------------------------

# Mutations of bundle values, as (changes of form, changes of content).
# Hypothesis draws the first entries of a list most often: the mutations that
# have found faults come first.
ARRAY_MUTATIONS = (
    ["F", "rev", "step", "ro", "unaligned", "masked", "sub", "bcast", "oddstride", "lists"],
    ["poke", "poke_many", "trunc", "grow", "empty_rows", "empty_cols", "shuffle", "dtype", "ndim",
     "swap", "transpose"],
)
LIST_MUTATIONS = (
    ["tuple", "arrays", "npint", "bool_items", "ndarray2d", "gen", "lying_len", "str_outer",
     "boom_outer", "empty"],
    ["poke", "cycle", "self_loop", "drop", "extra", "dup", "str_item", "float_item", "bigint",
     "nested", "flat", "boom_item", "meddle"],
)
SCALAR_MUTATIONS = (
    ["np", "obj", "float_obj", "str", "float", "none_value", "boom", "meddle"],
    ["plus_one", "double"] + list(SCALARS),
)


def mutate_array(a, how, rng, n):
    if how == "none":
        return a
    if how in ("F", "rev", "step", "ro", "unaligned", "masked", "sub", "bcast", "oddstride"):
        return place(a, how, rng)
    a = np.array(a)
    if how in ("poke", "poke_many") and a.size:
        flat = a.reshape(-1)
        for _ in range(1 if how == "poke" else max(1, a.size // 4)):
            v = rng.choice(np.array(special_values(a.dtype, n), dtype=object))
            flat[rng.integers(0, a.size)] = v
        return a
    if how == "trunc" and a.ndim and a.shape[0]:
        return a[: rng.integers(0, a.shape[0])].copy() if rng.random() < 0.7 or a.ndim == 1 \
            else a[:, : rng.integers(0, a.shape[1] + 1)].copy()
    if how == "grow" and a.ndim:
        extra = np.resize(a, (a.shape[0] + int(rng.integers(1, 4)),) + a.shape[1:]) if a.size else \
            np.zeros((a.shape[0] + 1,) + a.shape[1:], a.dtype)
        if a.ndim == 2 and rng.random() < 0.5:
            extra = np.concatenate([extra, extra[:, :1] if extra.shape[1] else
                                    np.zeros((len(extra), 1), a.dtype)], axis=1)
        return extra
    if how == "empty_rows" and a.ndim:
        return a[:0].copy()
    if how == "empty_cols" and a.ndim == 2:
        return a[:, :0].copy()
    if how == "shuffle" and a.ndim:
        return a[rng.permutation(a.shape[0])]
    if how == "dtype":
        return a.astype(rng.choice(["f4", "i4", "u8", "?", ">f8", "q", "f8", "i8", "O"]))
    if how == "ndim":
        return a.reshape(-1) if a.ndim == 2 else (a[None, :] if rng.random() < 0.5 else a[:, None, None])
    if how == "swap":
        return a.astype(a.dtype.newbyteorder())
    if how == "transpose" and a.ndim == 2:
        return a.T
    if how == "lists":
        return a.tolist() if rng.random() < 0.7 else tuple(a.tolist())
    return a


def mutate_lists(g, how, rng, n):
    g = [list(row) for row in g]
    pick = lambda: int(rng.integers(0, len(g))) if g else None  # noqa: E731
    if how == "none":
        return g
    if how == "tuple":
        return tuple(tuple(r) for r in g)
    if how == "arrays":
        return [np.array(r, dtype=np.int64) for r in g]
    if how == "npint":
        return [[np.int64(v) for v in r] for r in g]
    if how == "poke" and g:
        g[pick()].append(int(rng.choice([-1, n, n + 7, 2**62, -2**63, 2**63 - 1])))
        return g
    if how == "cycle" and g:
        # a child links back to an ancestor: find a parent with a child
        parents = [p for p, r in enumerate(g) if r]
        if parents:
            p = parents[int(rng.integers(0, len(parents)))]
            c = g[p][0]
            if 0 <= c < len(g):
                g[c].append(p)
        return g
    if how == "self_loop" and g:
        p = pick()
        g[p].append(p)
        return g
    if how == "drop":
        return g[: int(rng.integers(0, len(g) + 1))]
    if how == "extra":
        return g + [[int(rng.integers(0, max(n, 1)))] for _ in range(3)]
    if how == "dup" and g:
        p = pick()
        g[p] = g[p] * 3
        return g
    if how == "str_item" and g:
        g[pick()] = "ab"
        return g
    if how == "str_outer":
        return "0123"
    if how == "float_item" and g:
        g[pick()].append(1.5)
        return g
    if how == "bigint" and g:
        g[pick()].append(int(rng.choice([2**63, 2**64, -2**63 - 1, 10**30])))
        return g
    if how == "nested" and g:
        g[pick()].append([0])
        return g
    if how == "flat" and g:
        g[pick()] = 3
        return g
    if how == "gen":
        return (r for r in g)
    if how == "lying_len":
        claimed = int(rng.choice([0, 1, len(g) + 5, 2**20]))
        if rng.random() < 0.5:
            return LyingSequence(g, claimed)
        if g:
            p = pick()
            g[p] = LyingSequence(g[p], claimed)
        return g
    if how == "meddle" and g:
        p = pick()
        inner = g[p]
        action = [g.clear, inner.clear, lambda: g.extend([[1.5], "ab", [2**70]]),
                  lambda: inner.extend(range(100)), lambda: g.__setitem__(p, None)][
            int(rng.integers(0, 5))]
        inner.insert(int(rng.integers(0, len(inner) + 1)), Meddler(0, action))
        return g
    if how == "boom_item" and g:
        g[pick()].append(Boom() if rng.random() < 0.5 else TypeErrorOfUnprintable())
        return g
    if how == "boom_outer":
        return Boom()
    if how == "bool_items":
        return [[bool(v % 2) for v in r] for r in g]
    if how == "ndarray2d":
        width = int(rng.integers(0, 3))
        return rng.integers(0, max(n, 1), (len(g), width))
    if how == "empty":
        return []
    return g


def mutate_scalar(v, how, rng):
    if how == "none":
        return v
    if how in SCALARS:
        return SCALARS[how]
    if how == "np":
        return np.int64(v) if isinstance(v, int) else np.float64(v)
    if how == "obj":
        return IndexObj(v) if isinstance(v, int) else IndexObj(int(v) if v == v and abs(v) < inf else 0)
    if how == "float_obj":
        return FloatObj(float(v))
    if how == "plus_one":
        return v + 1
    if how == "double":
        return v * 2
    if how == "str":
        return str(v)
    if how == "float":
        return float(v)
    if how == "none_value":
        return None
    if how == "boom":
        return Boom()
    return v


# ---- building a call ---------------------------------------------------------------


def build_param(entry, function, name, bundle, rng):
    tag = entry[0]
    if tag == "pipe":
        _, how = entry
        v = bundle[BUNDLE_KEY_OF.get((function, name), BUNDLE_KEY[name])]
        if isinstance(v, np.ndarray):
            return mutate_array(v, how, rng, bundle["n"])
        if isinstance(v, list):
            return mutate_lists(v, how, rng, bundle["n"])
        return mutate_scalar(v, how, rng)
    if tag == "array":
        _, dtype, shape, content, layout, seed = entry
        return random_array(dtype, shape, content, layout, seed, bundle["n"] + 1)
    if tag == "junk":
        return JUNK[entry[1]]()
    raise ValueError(entry)


def meddling_scalar(v, values, rng):
    """`v` as a Meddler that reshapes, retypes or rewrites an array argument."""
    arrays = [a for a in values if isinstance(a, np.ndarray) and a.size and a.flags.writeable]
    if not arrays:
        return v
    a = arrays[int(rng.integers(0, len(arrays)))]

    def action():
        with warnings.catch_warnings(), contextlib.suppress(ValueError, AttributeError, TypeError):
            warnings.simplefilter("ignore")  # NumPy 2.5 deprecates setting shape and dtype
            how = int(rng.integers(0, 4))
            if how == 0:
                a.shape = (a.size, 1) if a.ndim == 1 else (a.size,)
            elif how == 1:
                a.dtype = np.int64 if a.dtype == np.float64 else np.float64
            elif how == 2:
                a.strides = (0,) * a.ndim
            else:
                a[...] = 0 if a.dtype.kind != "f" else np.nan

    return Meddler(int(v) if isinstance(v, (int, np.integer)) else 1, action)


def build_call(recipe):
    """(function, positional args, keyword args) for a recipe."""
    name, bundle_recipe, entries, style = recipe
    bundle = build_bundle(bundle_recipe)
    rng = np.random.default_rng(bundle_recipe[-1] + 1)
    params = FUNCTIONS[name]
    values = [build_param(e, name, p, bundle, rng) for e, (p, _) in zip(entries, params)]
    for i, e in enumerate(entries):
        if e == ("pipe", "meddle"):
            values[i] = meddling_scalar(values[i], values, rng)
    npos, extra = style
    names = [p for p, _ in params]
    args, kwargs = values[:npos], dict(zip(names[npos:], values[npos:]))
    if extra == "extra_pos":
        args = values + [1]
        kwargs = {}
    elif extra == "unknown_kw":
        kwargs["bogus"] = 1
    elif extra == "dup_kw" and args:
        kwargs[names[0]] = values[0]
    elif extra == "missing" and kwargs:
        kwargs.pop(next(iter(kwargs)))
    elif extra == "missing" and args:
        args = args[:-1]
    return getattr(quarnel, name), args, kwargs


# ---- the property --------------------------------------------------------------------


def root_buffer(a):
    while isinstance(a, np.ndarray) and a.base is not None:
        a = a.base
    return a


def snapshot(v):
    """Everything about an argument that a call must leave as it was."""
    if isinstance(v, np.ndarray):
        root = root_buffer(v)
        try:
            raw = root.tobytes() if isinstance(root, np.ndarray) else bytes(memoryview(root))
        except TypeError:  # a base without the buffer protocol
            raw = v.tobytes()
        mask = np.ma.getmaskarray(v).tobytes() if isinstance(v, np.ma.MaskedArray) else None
        return ("array", v.shape, v.strides, v.dtype.str, v.flags.writeable, raw, mask)
    if isinstance(v, (list, tuple)):
        return (type(v), [id(x) for x in v], [snapshot(x) for x in v])
    if isinstance(v, LyingSequence):
        return snapshot(v.items)
    return ("other", id(v))


def same(a, b):
    """Equal in every bit, NaN included, through tuples and lists."""
    if isinstance(a, tuple):
        return type(b) is tuple and len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, np.ndarray):
        return type(b) is np.ndarray and a.dtype == b.dtype and a.tobytes() == b.tobytes()
    if isinstance(a, float):
        return type(b) is float and np.float64(a).tobytes() == np.float64(b).tobytes()
    return a == b


# Mutations that change the form of a value but not what it means: the call
# must behave exactly as on plain C-ordered arrays, lists of lists of int
# and Python numbers, passed by position.
SAME_MEANING = {"none", "F", "rev", "step", "ro", "masked", "sub", "bcast", "tuple",
                "arrays", "npint", "np", "obj", "float_obj"}


def plain(v, kind):
    if kind in "MVIJ":
        return np.array(np.asarray(v), order="C")
    if kind == "L":
        return [[operator.index(x) for x in row] for row in v]
    return operator.index(v) if kind == "S" else float(v)


def outcome_of(fn, args, kwargs):
    try:
        return ("returned", fn(*args, **kwargs))
    except ALLOWED as e:
        return (type(e), str(e))


def check_same_meaning(recipe, got, fn, values):
    """`got` (an outcome) is what the call gives on the plain form of its
    arguments. Returns whether the comparison applied to this recipe."""
    name, _, entries, (_, extra) = recipe
    if extra is not None or any(e[0] != "pipe" or e[1] not in SAME_MEANING for e in entries):
        return False
    params = FUNCTIONS[name]
    try:
        plain_values = [plain(v, kind) for v, (_, kind) in zip(values, params)]
    except (TypeError, ValueError, OverflowError):  # no plain form: a float for a size, ...
        return False
    want = outcome_of(fn, plain_values, {})
    scattered = any((name, p) in CONTIGUOUS and not (v.flags.c_contiguous or v.flags.f_contiguous)
                    for v, (p, _) in zip(values, params))
    if scattered and want[0] in ("returned", PanicException):
        assert got == (TypeError, "The given array is not contiguous"), (got, want)
    elif got[0] is PanicException:  # which of several stops is reported may vary
        assert want[0] is PanicException, (got, want)
    else:
        assert got[0] == want[0] and same(got[1], want[1]), (got, want)
    return True


def check_result(name, result, arrays):
    want = RESULTS[name]
    items = [result] if isinstance(want, str) else list(result)
    kinds = [want] if isinstance(want, str) else want
    if not isinstance(want, str):
        assert type(result) is tuple and len(result) == len(want), (name, type(result))
    for item, kind in zip(items, kinds):
        if kind in ("f", "i"):
            assert type(item) is np.ndarray, type(item)
            assert item.dtype == (np.float64 if kind == "f" else np.int64), item.dtype
            assert item.ndim == 1 and item.flags.c_contiguous and item.flags.writeable
            assert item.base is not None
            for a in arrays:
                assert not np.may_share_memory(item, a), "result shares memory with an input"
        elif kind == "L":
            assert type(item) is list and all(type(r) is list for r in item)
            assert all(type(v) is int for r in item for v in r)
        elif kind == "float":
            assert type(item) is float, type(item)
        elif kind == "int":
            assert type(item) is int and item >= 0, item


def brute_force_distances(train, query, d):
    """Squared distances summed over the first d coordinates in order, then rooted."""
    total = np.zeros((len(query), len(train)))
    for j in range(d):
        diff = query[:, j, None] - train[None, :, j]
        total = total + diff * diff
    return np.sqrt(total)


def check_knn(name, values, result):
    """A returned neighbour table is the exact one: per row the r smallest
    distances in ascending order, each the distance to the point it names."""
    train = np.asarray(values[0])
    query = train if name == "knn_query" else np.asarray(values[1])
    k = operator.index(values[-1])
    d = train.shape[1]
    r = min(k, len(train))
    dist, index = result
    assert len(dist) == len(index) == len(query) * r
    if len(query) == 0 or r == 0:
        return
    dist, index = dist.reshape(-1, r), index.reshape(-1, r)
    brute = brute_force_distances(train, query, d)
    rows = np.arange(len(query))[:, None]
    assert (index >= 0).all() and (index < len(train)).all(), "neighbour index out of range"
    assert all(len(set(row)) == r for row in index.tolist()), "a point listed twice in a row"
    assert np.array_equal(brute[rows, index], dist), "distances not those of the points named"
    assert np.array_equal(np.sort(brute, axis=1)[:, :r], dist), "not the nearest points"


class Last:
    """Writes the recipe about to run where the parent can read it after a crash."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644) if path else None

    def write(self, text):
        if self.fd is not None:
            data = text.encode()
            os.ftruncate(self.fd, 0)
            os.pwrite(self.fd, data, 0)


def run_one(recipe, last=None, outcomes=None):
    if last:
        last.write(repr(recipe))
    fn, args, kwargs = build_call(recipe)
    values = list(args) + list(kwargs.values())
    before = [snapshot(v) for v in values]
    got = outcome_of(fn, args, kwargs)
    # The test's own hooks may have changed arguments while they were converted.
    meddled = ("pipe", "meddle") in recipe[2]
    if got[0] == "returned":
        check_result(recipe[0], got[1], [v for v in values if isinstance(v, np.ndarray)])
        if recipe[0] in ("knn_query", "knn_query_cross") and not meddled:
            check_knn(recipe[0], values, got[1])
    after = [snapshot(v) for v in values]
    for b, a, v in zip(before, after, values):
        assert b == a or meddled, f"argument changed by the call: {type(v).__name__}"
    compared = check_same_meaning(recipe, got, fn, values)
    outcome = got[0] if isinstance(got[0], str) else got[0].__name__
    if compared and outcomes is not None:
        outcomes["compared with plain arguments"] = outcomes.get("compared with plain arguments", 0) + 1
    if outcomes is not None:
        outcomes[outcome] = outcomes.get(outcome, 0) + 1
    return outcome


# ---- hypothesis strategies -------------------------------------------------------------


def strategies():
    from hypothesis import strategies as st

    seeds = st.integers(0, 2**32 - 1)
    bundles = st.tuples(
        st.one_of(st.integers(0, 12), st.integers(13, 70), st.integers(500, 1300)),
        st.one_of(st.integers(2, 4), st.integers(5, 8)),
        st.one_of(st.integers(1, 8), st.integers(9, 40)),
        st.sampled_from(["uniform", "grid", "blobs", "ties"]),
        seeds,
    )
    shapes = st.one_of(
        st.tuples(st.integers(0, 40), st.integers(0, 10)),
        st.tuples(st.integers(0, 40)),
        st.just(()),
        st.tuples(st.integers(0, 3), st.integers(0, 3), st.integers(0, 3)),
    )
    dtypes = st.one_of(st.sampled_from(["f8", "i8"]), st.sampled_from(DTYPES))
    arrays = st.tuples(st.just("array"), dtypes, shapes,
                       st.sampled_from(["uniform", "special", "grid"]),
                       st.sampled_from(["C", "F", "rev", "step", "ro", "unaligned", "bcast",
                                        "oddstride", "masked", "sub"]), seeds)
    junk = st.tuples(st.just("junk"), st.sampled_from(sorted(JUNK)))

    def disturbed(kind):
        forms, contents = {"L": LIST_MUTATIONS, "F": SCALAR_MUTATIONS,
                           "S": SCALAR_MUTATIONS}.get(kind, ARRAY_MUTATIONS)
        form = st.tuples(st.just("pipe"), st.sampled_from(forms))
        content = st.tuples(st.just("pipe"), st.sampled_from(contents))
        if kind in "FS":  # arrays are just junk here
            return st.one_of(content, form, content, junk, arrays)
        return st.one_of(content, form, content, arrays, junk)

    @st.composite
    def recipe(draw, name):
        params = FUNCTIONS[name]
        n_disturbed = draw(st.sampled_from([0, 1, 1, 1, 2, 2, 3]))
        chosen = set(draw(st.lists(st.integers(0, len(params) - 1), min_size=n_disturbed,
                                   max_size=n_disturbed)))
        entries = tuple(draw(disturbed(kind)) if i in chosen else ("pipe", "none")
                        for i, (_, kind) in enumerate(params))
        npos = draw(st.one_of(st.just(len(params)), st.integers(0, len(params))))
        extra = draw(st.sampled_from([None] * 30 + ["extra_pos", "unknown_kw", "dup_kw", "missing"]))
        return (name, draw(bundles), entries, (npos, extra))

    return recipe


def run(name, examples, last_path, seed=None):
    from hypothesis import HealthCheck, given, settings
    from hypothesis import seed as hyp_seed

    last = Last(last_path)
    outcomes = {}

    @settings(max_examples=examples, deadline=None, database=None, print_blob=True,
              suppress_health_check=list(HealthCheck))
    @given(strategies()(name))
    def prop(recipe):
        run_one(recipe, last, outcomes)

    if seed is not None:
        prop = hyp_seed(seed)(prop)
    prop()
    print("outcomes", name, sorted(outcomes.items()), flush=True)


def limit_memory():
    """Makes impossible allocations fail cleanly instead of pushing the machine into swap."""
    if "asan" in os.environ.get("LD_PRELOAD", "") or os.environ.get("ASAN_OPTIONS"):
        return  # AddressSanitizer reserves terabytes of address space
    import resource
    limit = 8 << 30
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))


if __name__ == "__main__":
    import faulthandler
    import warnings

    faulthandler.enable()
    warnings.simplefilter("ignore")  # NumPy's casts of odd values while building inputs
    limit_memory()
    if sys.argv[1] == "run":
        seed = os.environ.get("QUARNEL_FUZZ_SEED")
        run(sys.argv[2], int(sys.argv[3]), os.environ.get("QUARNEL_FUZZ_LAST"),
            int(seed) if seed else None)
    elif sys.argv[1] == "replay":
        print(run_one(eval(sys.argv[2], {"nan": nan, "inf": inf})))
    else:
        sys.exit(f"usage: {sys.argv[0]} run FUNCTION EXAMPLES | replay RECIPE")
