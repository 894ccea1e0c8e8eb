"""Checks of points and parameters, made before the native module is called.

The wording follows scikit-learn's (check_array, the parameter validation of
its estimators), so that users and scikit-learn's own tools recognise the
errors; nothing here imports scikit-learn.

The module stops with an internal error (a BaseException) on some inputs a
user can have, such as NaN or astronomically large coordinates; the driver
turns those into ValueErrors with a message that says what to change.
"""

from __future__ import annotations

import numbers
import os
import warnings
from typing import Any, Iterable

import numpy as np
import numpy.typing as npt

from ._params import invalid_parameter_error

# The neighbour search refuses coordinates beyond this magnitude, where
# squared distances would overflow.
MAX_COORDINATE = 2.0**508


# --- parameter constraints -------------------------------------------------

class Interval:
    """Numbers of `kind` (numbers.Integral or numbers.Real) between two bounds.

    closed: "left", "right", "both" or "neither"; None as a bound is infinite.
    Prints as scikit-learn prints its intervals ("an int in the range [2, inf)").
    """

    def __init__(self, kind: type, left: float | None, right: float | None, *,
                 closed: str) -> None:
        self.kind, self.left, self.right, self.closed = kind, left, right, closed

    def is_satisfied_by(self, value: Any) -> bool:
        if not isinstance(value, self.kind) or isinstance(value, (bool, np.bool_)):
            return False
        if not isinstance(value, numbers.Integral) and np.isnan(value):
            return False
        low = -np.inf if self.left is None else self.left
        high = np.inf if self.right is None else self.right
        above = value >= low if self.closed in ("left", "both") else value > low
        below = value <= high if self.closed in ("right", "both") else value < high
        return bool(above and below)

    def __str__(self) -> str:
        integral = self.kind is numbers.Integral

        def bound(b: float | None, infinite: str) -> str:
            return infinite if b is None else str(b if integral else float(b))

        return (f"{'an int' if integral else 'a float'} in the range "
                f"{'[' if self.closed in ('left', 'both') else '('}"
                f"{bound(self.left, '-inf')}, {bound(self.right, 'inf')}"
                f"{']' if self.closed in ('right', 'both') else ')'}")


class InstanceOf:
    def __init__(self, kind: type, name: str) -> None:
        self.kind, self.name = kind, name

    def is_satisfied_by(self, value: Any) -> bool:
        return isinstance(value, self.kind)

    def __str__(self) -> str:
        return f"an instance of {self.name!r}"


class IsNone:
    def is_satisfied_by(self, value: Any) -> bool:
        return value is None

    def __str__(self) -> str:
        return "None"


class StrOptions:
    """One of a fixed set of strings; prints as scikit-learn prints its
    StrOptions ("a str among {'a', 'b'}"), the options sorted."""

    def __init__(self, options: set[str]) -> None:
        self.options = options

    def is_satisfied_by(self, value: Any) -> bool:
        return isinstance(value, str) and value in self.options

    def __str__(self) -> str:
        return f"a str among {{{', '.join(repr(o) for o in sorted(self.options))}}}"


RANDOM_STATE = [Interval(numbers.Integral, 0, 2**32 - 1, closed="both"),
                InstanceOf(np.random.RandomState, "numpy.random.mtrand.RandomState"), IsNone()]
BOOLEAN = [InstanceOf(bool, "bool"), InstanceOf(np.bool_, "numpy.bool")]
VERBOSE = [Interval(numbers.Integral, 0, None, closed="left"), *BOOLEAN]


def _constraints(entry: Iterable[Any]) -> list[Any]:
    out: list[Any] = []
    for c in entry:
        if c is None:
            out.append(IsNone())
        elif c == "random_state":
            out += RANDOM_STATE
        elif c == "verbose":
            out += VERBOSE
        elif c == "boolean":
            out += BOOLEAN
        else:
            out.append(c)
    return out


def check_params(table: dict[str, list[Any]], params: dict[str, Any], owner: str) -> None:
    """Raises InvalidParameterError for the first parameter that satisfies
    none of its constraints in `table`, in scikit-learn's words."""
    for name, value in params.items():
        allowed = _constraints(table[name])
        if any(c.is_satisfied_by(value) for c in allowed):
            continue
        texts = [str(c) for c in allowed]
        text = texts[0] if len(texts) == 1 else f"{', '.join(texts[:-1])} or {texts[-1]}"
        raise invalid_parameter_error(f"The {name!r} parameter of {owner} must be {text}. "
                                    f"Got {value!r} instead.")


# --- warnings ----------------------------------------------------------------

# Frames inside the package are skipped when a warning names its line, so
# that it names the caller's (fit, fit_predict, predict, or a pipeline).
_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__)) + os.sep


def warn(message: str, category: type[Warning] = UserWarning) -> None:
    """warnings.warn, pointing at the first line outside the package."""
    warnings.warn(message, category, skip_file_prefixes=(_PACKAGE_DIR,))


def counted(count: int, noun: str) -> str:
    """'1 cluster', '3 clusters'."""
    return f"{count} {noun}{'' if count == 1 else 's'}"


# --- feature names -------------------------------------------------------------

def feature_names(X: Any) -> npt.NDArray[np.object_] | None:
    """The column names of a data frame (pandas, polars, ...) when all of
    them are strings, as scikit-learn keeps them; None for other inputs and
    for names that are not strings (a frame's default 0, 1, 2, ...). Names
    of both kinds are refused, in scikit-learn's words."""
    if isinstance(X, np.ndarray) or not hasattr(X, "shape"):
        return None
    columns = getattr(X, "columns", None)
    if columns is None:
        columns = getattr(X, "column_names", None)     # a pyarrow Table
    if columns is None or isinstance(columns, str) or not hasattr(columns, "__len__") \
            or len(columns) == 0:
        return None
    names = np.asarray(list(columns), dtype=object)
    types = sorted(t.__qualname__ for t in {type(v) for v in names})
    if len(types) > 1 and "str" in types:
        raise TypeError(
            "Feature names are only supported if all input features have string names, "
            f"but your input has {types} as feature name / column name types. "
            "If you want feature names to be stored and validated, you must convert "
            "them all to strings, by using X.columns = X.columns.astype(str) for "
            "example. Otherwise you can remove feature / column names from your input "
            "data, or convert them all to a non-string data type.")
    return names if types == ["str"] else None


def check_feature_names(fitted: npt.NDArray[np.object_] | None, X: Any, owner: str) -> None:
    """What scikit-learn says when the names of X differ from those seen
    in fit: a warning when only one of the two has names, an error when
    they differ."""
    names = feature_names(X)
    if fitted is None and names is None:
        return
    if fitted is None:
        warn(f"X has feature names, but {owner} was fitted without feature names")
        return
    if names is None:
        warn(f"X does not have valid feature names, but {owner} was fitted with feature "
             "names")
        return
    if len(fitted) == len(names) and np.all(fitted == names):
        return

    def listed(some: list[Any]) -> str:
        return "".join(f"- {v}\n" for v in some[:5]) + ("- ...\n" if len(some) > 5 else "")

    unseen = sorted(set(names) - set(fitted))
    missing = sorted(set(fitted) - set(names))
    message = "The feature names should match those that were passed during fit.\n"
    if unseen:
        message += "Feature names unseen at fit time:\n" + listed(unseen)
    if missing:
        message += "Feature names seen at fit time, yet now missing:\n" + listed(missing)
    if not unseen and not missing:
        message += "Feature names must be in the same order as they were in fit.\n"
    raise ValueError(message)


# --- points ------------------------------------------------------------------

def is_sparse(X: Any) -> bool:
    return hasattr(X, "tocsr") or type(X).__module__.startswith("scipy.sparse")


def _is_pandas_na(value: Any) -> bool:
    kind = type(value)
    return kind.__name__ == "NAType" and kind.__module__.startswith("pandas")


def _frame_as_floats(X: Any) -> Any:
    """A pandas frame whose columns are not all plain NumPy numbers (the
    nullable Int64, Float64, boolean, ...) as float64 with pd.NA as NaN;
    any other X as it is."""
    dtypes = getattr(X, "dtypes", None)
    if dtypes is None or not hasattr(X, "to_numpy") or \
            not type(X).__module__.startswith("pandas"):
        return X
    kinds = list(dtypes) if hasattr(dtypes, "__iter__") else [dtypes]
    if all(isinstance(t, np.dtype) and t.kind in "biuf" for t in kinds):
        return X
    try:
        return X.to_numpy(dtype=np.float64, na_value=np.nan)
    except (TypeError, ValueError):   # text, say: the checks below word it
        return X


def _with_na_as_nan(a: np.ndarray) -> np.ndarray:
    """An object array with pandas' pd.NA replaced by NaN (a copy)."""
    is_na = np.frompyfunc(_is_pandas_na, 1, 1)(a).astype(bool)
    if not is_na.any():
        return a
    a = a.copy()
    a[is_na] = np.nan
    return a


def _as_float_matrix(X: Any, owner: str) -> npt.NDArray[np.float64]:
    if is_sparse(X):
        raise TypeError(f"Sparse data was passed for {owner}, but dense data is required. "
                        "Use '.toarray()' to convert to a dense numpy array.")
    X = _frame_as_floats(X)
    try:
        dtype = getattr(X, "dtype", None)
        if not isinstance(dtype, np.dtype):
            X = np.asarray(X)
            dtype = X.dtype
        complex_input = np.issubdtype(dtype, np.complexfloating)
        if complex_input:
            x = None
        elif dtype == object:
            try:
                x = np.asarray(X, dtype=np.float64)
            except TypeError:
                x = np.asarray(_with_na_as_nan(np.asarray(X)), dtype=np.float64)
        else:
            x = np.asarray(X, dtype=np.float64)
    except TypeError as e:
        # e.g. "float() argument must be a string or a real number, not 'dict'"
        raise TypeError(f"X must hold numbers: {e}") from None
    except ValueError as e:
        raise ValueError(f"X must hold numbers: {e}") from None
    if x is None:
        raise ValueError(f"Complex data not supported: X has dtype {dtype}")
    if x.ndim == 0:
        raise ValueError(f"Expected 2D array, got scalar array instead:\narray={X!r}.\n"
                         "Reshape your data either using array.reshape(-1, 1) if your data "
                         "has a single feature or array.reshape(1, -1) if it contains a "
                         "single sample.")
    if x.ndim == 1:
        raise ValueError(f"Expected 2D array, got 1D array instead:\narray={x!r}.\n"
                         "Reshape your data either using array.reshape(-1, 1) if your data "
                         "has a single feature or array.reshape(1, -1) if it contains a "
                         "single sample.")
    if x.ndim > 2:
        raise ValueError(f"Found array with dim {x.ndim}. {owner} expected <= 2.")
    return x


def _where(bad: npt.NDArray[np.bool_], what: str) -> str:
    """'1 missing entry, in row 5', '3 missing entries, the first in row 5'
    (rows counted from 0, as X is indexed)."""
    count, row = int(bad.sum()), int(np.argwhere(bad)[0][0])
    if count == 1:
        return f"1 {what} entry, in row {row}"
    return f"{count} {what} entries, the first in row {row}"


def check_shape(shape: tuple[int, ...], owner: str, min_samples: int = 2) -> None:
    """Refuses a matrix of fewer than `min_samples` rows or of no column."""
    n, d = shape[0], shape[1]
    if n < min_samples:
        raise ValueError(f"Found array with {n} sample(s) (shape={shape}) while a minimum "
                         f"of {min_samples} is required by {owner}.")
    if d < 1:
        raise ValueError(f"Found array with {d} feature(s) (shape={shape}) while a minimum "
                         f"of 1 is required by {owner}.")


def check_points(X: Any, owner: str = "DensityPeakClustering",
                 min_samples: int = 2) -> npt.NDArray[np.float64]:
    """X as a C-contiguous float64 matrix of finite values, with at least
    `min_samples` rows and one column (a fresh array only when X is not one
    already)."""
    x = _as_float_matrix(X, owner)
    check_shape(x.shape, owner, min_samples)
    d = x.shape[1]
    # Whole-array reductions first: min and max carry any NaN, and infinities
    # are their own extremes, so clean data costs two passes and no copy.
    lo, hi = x.min(), x.max()
    if not (np.isfinite(lo) and np.isfinite(hi)):
        missing = np.isnan(x)
        if missing.any():
            raise ValueError(f"Input X contains NaN.\n{owner} does not accept missing values "
                             f"encoded as NaN natively ({_where(missing, 'missing')}): drop "
                             "those rows or fill them in, for instance with scikit-learn's "
                             "SimpleImputer.")
        raise ValueError("Input X contains infinity or a value too large for dtype('float64') "
                         f"({_where(~np.isfinite(x), 'infinite')}).")
    check_magnitude(max(-lo, hi), d)
    # Aligned as well: the native calls refuse misaligned buffers.
    return np.require(x, np.float64, ["C", "A"])


def check_magnitude(largest: float, d: int) -> None:
    """Refuses coordinates (`largest` in magnitude) whose squared distances
    over d columns overflow."""
    # Squared distances sum d squares: with more columns, less room for each
    # (and the brute-force search's sums of squared norms need a factor 4).
    limit = MAX_COORDINATE if d <= 8 else MAX_COORDINATE / 4 * float(np.sqrt(8 / d))
    if largest > limit:
        raise ValueError(f"X holds coordinates beyond {limit:.3g} in magnitude, where "
                         "squared distances overflow: rescale the data")


def check_directions(shape: tuple[int, ...], owner: str, zeros: int = 0,
                     first_zero: int = 0) -> None:
    """What metric="cosine" refuses: one feature, and rows of zeros (`zeros`
    of them, the first at row `first_zero`)."""
    if shape[1] < 2:
        raise ValueError(f"Found array with {shape[1]} feature(s) (shape={tuple(shape)}) while "
                         f"a minimum of 2 is required by {owner} with metric='cosine' (the "
                         "direction of a row of one feature is only its sign).")
    if zeros:
        count = int(zeros)
        first = f"the first is row {first_zero}" if count > 1 else f"row {first_zero}"
        raise ValueError(f"X has {counted(count, 'row')} of zeros ({first}), which have no "
                         "direction for metric='cosine': drop them, or use metric='euclidean'.")


def unit_rows(x: npt.NDArray[np.float64], owner: str) -> npt.NDArray[np.float64]:
    """x's rows scaled to unit length, as metric="cosine" clusters them (a
    new array); rows of zeros are refused. Each row by itself: the same
    bits whatever rows come with it."""
    check_directions(x.shape, owner)
    norms = np.linalg.norm(x, axis=1)
    with np.errstate(divide="ignore", invalid="ignore"):
        unit = x / norms[:, None]
    # Below this length the squares of the coordinates may have lost their
    # precision, or all of it: such rows are scaled up first.
    tiny = norms < 2.0**-500
    if tiny.any():
        rows = x[tiny]
        scale = np.abs(rows).max(axis=1)
        zero = np.flatnonzero(tiny)[scale == 0]
        check_directions(x.shape, owner, len(zero), int(zero[0]) if len(zero) else 0)
        rows = rows / scale[:, None]
        unit[tiny] = rows / np.linalg.norm(rows, axis=1)[:, None]
    return np.require(unit, np.float64, ["C", "A"])


def all_equal(x: npt.NDArray[np.float64]) -> bool:
    """Whether every row of x is the same point."""
    # Almost always the first rows already differ; the whole array is
    # compared only when they do not.
    return not (np.any(x[:1024] != x[0]) or np.any(x != x[0]))


def check_not_all_equal(x: npt.NDArray[np.float64]) -> None:
    """Clustering needs two distinct points."""
    if all_equal(x):
        raise ValueError("all points of X coincide; there is nothing to cluster")


def check_features(shape: tuple[int, ...], expected: int, owner: str) -> None:
    """Refuses a matrix (of this shape) whose columns are not the fit's."""
    if shape[1] != expected:
        raise ValueError(f"X has {shape[1]} features, but {owner} is expecting "
                         f"{expected} features as input.")
