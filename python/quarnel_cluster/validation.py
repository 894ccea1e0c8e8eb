"""Checks of points and parameters, made before the native module is called.

The module stops with an internal error (a BaseException) on some inputs a
user can have, such as NaN or astronomically large coordinates; the driver
turns those into ValueErrors with a message that says what to change.
"""

from __future__ import annotations

import numbers
from typing import Any

import numpy as np
import numpy.typing as npt

MIN_DIM = 2
MAX_DIM = 8
# The neighbour search refuses coordinates beyond this magnitude, where
# squared distances would overflow.
MAX_COORDINATE = 2.0**508


def check_points(X: Any) -> npt.NDArray[np.float64]:
    """Returns X as a C-contiguous float64 matrix of 2 to 8 finite columns."""
    try:
        x = np.asarray(X, dtype=np.float64)
    except (TypeError, ValueError) as e:
        raise ValueError(f"X must be a numeric array: {e}") from None
    if x.ndim != 2:
        raise ValueError(f"X must be a 2-D array of shape (n_points, n_features), "
                         f"got {x.ndim}-D with shape {x.shape}")
    n, d = x.shape
    if not MIN_DIM <= d <= MAX_DIM:
        raise ValueError(f"X must have {MIN_DIM} to {MAX_DIM} columns (features), got {d}")
    if n == 0:
        return np.ascontiguousarray(x)
    # Whole-array reductions first: min and max carry any NaN, and infinities
    # are their own extremes, so clean data costs two passes and no copy.
    lo, hi = x.min(), x.max()
    if not (np.isfinite(lo) and np.isfinite(hi)):
        bad = ~np.isfinite(x)
        row = int(np.argwhere(bad)[0][0])
        raise ValueError(f"X contains NaN or infinite values ({int(bad.sum())} entries, "
                         f"first in row {row})")
    if max(-lo, hi) > MAX_COORDINATE:
        raise ValueError(f"X holds coordinates beyond {MAX_COORDINATE:.3g} in magnitude, where "
                         "squared distances overflow: rescale the data")
    # Almost always the first rows already differ; the whole array is
    # compared only when they do not.
    if not (np.any(x[:1024] != x[0]) or np.any(x != x[0])):
        raise ValueError("all points of X coincide; there is nothing to cluster")
    return np.ascontiguousarray(x)


def check_int(name: str, value: Any, low: int, high: int | None = None) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise ValueError(f"{name} must be an integer, got {value!r}")
    v = int(value)
    if v < low or (high is not None and v > high):
        span = f">= {low}" if high is None else f"between {low} and {high}"
        raise ValueError(f"{name} must be {span}, got {v}")
    return v


def check_float(name: str, value: Any, *, positive: bool = False,
                open_unit: bool = False) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise ValueError(f"{name} must be a number, got {value!r}")
    v = float(value)
    if not np.isfinite(v):
        raise ValueError(f"{name} must be finite, got {v}")
    if positive and not v > 0:
        raise ValueError(f"{name} must be positive, got {v}")
    if not positive and v < 0:
        raise ValueError(f"{name} must not be negative, got {v}")
    if open_unit and not 0 < v < 1:
        raise ValueError(f"{name} must lie strictly between 0 and 1, got {v}")
    return v
