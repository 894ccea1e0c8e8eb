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


# --- points ------------------------------------------------------------------

def _as_float_matrix(X: Any, owner: str) -> npt.NDArray[np.float64]:
    if hasattr(X, "tocsr") or type(X).__module__.startswith("scipy.sparse"):
        raise TypeError(f"Sparse data was passed for {owner}, but dense data is required. "
                        "Use '.toarray()' to convert to a dense numpy array.")
    try:
        dtype = getattr(X, "dtype", None)
        if not isinstance(dtype, np.dtype):
            X = np.asarray(X)
            dtype = X.dtype
        complex_input = np.issubdtype(dtype, np.complexfloating)
        x = None if complex_input else np.asarray(X, dtype=np.float64)
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


def check_points(X: Any, owner: str = "DensityPeakClustering",
                 min_samples: int = 2) -> npt.NDArray[np.float64]:
    """X as a C-contiguous float64 matrix of finite values, with at least
    `min_samples` rows and one column (a fresh array only when X is not one
    already)."""
    x = _as_float_matrix(X, owner)
    n, d = x.shape
    if n < min_samples:
        raise ValueError(f"Found array with {n} sample(s) (shape={x.shape}) while a minimum "
                         f"of {min_samples} is required by {owner}.")
    if d < 1:
        raise ValueError(f"Found array with {d} feature(s) (shape={x.shape}) while a minimum "
                         f"of 1 is required by {owner}.")
    # Whole-array reductions first: min and max carry any NaN, and infinities
    # are their own extremes, so clean data costs two passes and no copy.
    lo, hi = x.min(), x.max()
    if not (np.isfinite(lo) and np.isfinite(hi)):
        bad = ~np.isfinite(x)
        row = int(np.argwhere(bad)[0][0])
        what = "NaN" if np.isnan(x).any() else "infinity"
        raise ValueError(f"Input X contains {what} ({int(bad.sum())} non-finite entries, "
                         f"first in row {row}); {owner} does not accept missing values.")
    # Squared distances sum d squares: with more columns, less room for each
    # (and the brute-force search's sums of squared norms need a factor 4).
    limit = MAX_COORDINATE if d <= 8 else MAX_COORDINATE / 4 * float(np.sqrt(8 / d))
    if max(-lo, hi) > limit:
        raise ValueError(f"X holds coordinates beyond {limit:.3g} in magnitude, where "
                         "squared distances overflow: rescale the data")
    # Aligned as well: the native calls refuse misaligned buffers.
    return np.require(x, np.float64, ["C", "A"])


def check_not_all_equal(x: npt.NDArray[np.float64]) -> None:
    """Clustering needs two distinct points."""
    # Almost always the first rows already differ; the whole array is
    # compared only when they do not.
    if not (np.any(x[:1024] != x[0]) or np.any(x != x[0])):
        raise ValueError("all points of X coincide; there is nothing to cluster")


def check_features(x: npt.NDArray[np.float64], expected: int, owner: str) -> None:
    if x.shape[1] != expected:
        raise ValueError(f"X has {x.shape[1]} features, but {owner} is expecting "
                         f"{expected} features as input.")
