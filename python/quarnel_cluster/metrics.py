"""Adjusted Rand index without scikit-learn (the command line needs only NumPy)."""

from __future__ import annotations

from typing import Any

import numpy as np


def _pairs(counts: np.ndarray) -> float:
    c = counts.astype(np.float64)
    return float(np.sum(c * (c - 1) / 2))


def adjusted_rand_index(labels_true: Any, labels_pred: Any) -> float:
    """Adjusted Rand index of two labelings of the same points (Hubert and
    Arabie); 1.0 for identical partitions, about 0 for random ones."""
    a = np.asarray(labels_true).ravel()
    b = np.asarray(labels_pred).ravel()
    if a.shape != b.shape:
        raise ValueError(f"labelings differ in length: {a.size} and {b.size}")
    n = a.size
    _, ai = np.unique(a, return_inverse=True)
    _, bi = np.unique(b, return_inverse=True)
    # Contingency counts of the (true, predicted) pairs that occur.
    _, joint = np.unique(ai.astype(np.int64) * (int(bi.max(initial=0)) + 1) + bi,
                         return_counts=True)
    index = _pairs(joint)
    rows = _pairs(np.bincount(ai))
    cols = _pairs(np.bincount(bi))
    total = n * (n - 1) / 2
    if total == 0:
        return 1.0
    expected = rows * cols / total
    maximum = (rows + cols) / 2
    if maximum == expected:  # both trivial: one cluster each, or all singletons
        return 1.0
    return (index - expected) / (maximum - expected)
