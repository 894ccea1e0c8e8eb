"""Reading points and labels, writing labels.

Points: CSV (comma or semicolon separated), whitespace-separated text or a
NumPy .npy file, each optionally gzip-compressed (recognised by content, not
by name). A first text line that is not numeric is taken as a header.
"""

from __future__ import annotations

import gzip
import io
import os

import numpy as np
import numpy.typing as npt

GZIP_MAGIC = b"\x1f\x8b"
NPY_MAGIC = b"\x93NUMPY"


def _raw_bytes(path: str | os.PathLike[str]) -> bytes:
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] == GZIP_MAGIC:
        data = gzip.decompress(data)
    return data


def _delimiter(line: str) -> str | None:
    for sep in (",", ";", "\t"):
        if sep in line:
            return sep
    return None  # any white space


def _is_numeric(fields: list[str]) -> bool:
    try:
        [float(f) for f in fields if f.strip()]
    except ValueError:
        return False
    return True


def read_array(path: str | os.PathLike[str]) -> npt.NDArray[np.float64]:
    """A numeric table from a text or .npy file (gzip or not), as float64."""
    data = _raw_bytes(path)
    if data[:6] == NPY_MAGIC:
        return np.asarray(np.load(io.BytesIO(data), allow_pickle=False), dtype=np.float64)
    text = data.decode("utf-8-sig")
    lines = [ln for ln in text.splitlines() if ln.strip() and not ln.lstrip().startswith("#")]
    if not lines:
        raise ValueError(f"{path}: no data")
    sep = _delimiter(lines[0])
    if not _is_numeric(lines[0].split(sep)):
        lines = lines[1:]  # header
    try:
        table = np.loadtxt(lines, delimiter=sep, dtype=np.float64, ndmin=2)
    except ValueError as e:
        raise ValueError(f"{path}: not a numeric table: {e}") from None
    return table


def read_points(path: str | os.PathLike[str]) -> npt.NDArray[np.float64]:
    table = read_array(path)
    if table.ndim != 2:
        raise ValueError(f"{path}: expected a table of points (one per row), "
                         f"got an array of shape {table.shape}")
    return table


def read_labels(path: str | os.PathLike[str]) -> npt.NDArray[np.int64]:
    """Integer labels, one per point: one column, or one row."""
    table = read_array(path)
    if table.ndim == 2 and 1 not in table.shape:
        raise ValueError(f"{path}: expected one label per line, got a table of "
                         f"shape {table.shape}")
    labels = table.ravel()
    if not np.all(np.isfinite(labels)) or np.any(labels != np.round(labels)):
        raise ValueError(f"{path}: labels must be integers")
    return labels.astype(np.int64)


def write_labels(path: str | os.PathLike[str], labels: npt.NDArray[np.int64]) -> None:
    """One label per line, or a .npy array when the name ends in .npy."""
    if os.fspath(path).endswith(".npy"):
        np.save(path, labels)
    else:
        np.savetxt(path, labels, fmt="%d")
