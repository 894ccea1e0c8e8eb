"""Points from, and results to, stores on disk that the workers read and
write themselves: a Zarr array or Parquet files. The client only reads
metadata (shapes, row counts, column types); every block of points travels
straight from the disk to the worker that needs it.

Paths are made absolute on the client (messages name them as given), so
on a cluster of several hosts they must name the same files everywhere (a
shared file system).
"""

from __future__ import annotations

import os
import shutil
from pathlib import Path
from typing import Any, Mapping, Sequence

import dask
import dask.array as da
import numpy as np

ZARR_SUFFIXES = (".zarr",)
PARQUET_SUFFIXES = (".parquet", ".pq")
ZARR_METADATA = ("zarr.json", ".zarray", ".zgroup")

# Rows of consecutive Parquet row groups gathered into one block of points,
# by size: large enough that a task's overhead does not count, small enough
# that a worker holds several at once.
PARQUET_BLOCK_BYTES = 64 * 2**20


def _kind(path: Path) -> str:
    """'zarr' or 'parquet', from the suffix, else from a directory's content."""
    suffix = path.suffix.lower()
    if suffix in ZARR_SUFFIXES:
        return "zarr"
    if suffix in PARQUET_SUFFIXES:
        return "parquet"
    if path.is_dir():
        if any((path / name).exists() for name in ZARR_METADATA):
            return "zarr"
        if _parquet_files(path):
            return "parquet"
    raise ValueError(f"{path}: unsupported suffix {suffix!r}; expected a Zarr store "
                     f"(.zarr) or Parquet files (.parquet)")


def _existing(path: str | os.PathLike[str]) -> Path:
    p = Path(path)
    if not p.exists():
        raise FileNotFoundError(2, "No such file or directory", os.fspath(path))
    return p


def read_points(path: str | os.PathLike[str],
                columns: Sequence[Any] | None = None) -> da.Array:
    """The points stored at `path` as a float64 Dask array of shape (n, d),
    in blocks of whole rows, read by the workers.

    A Zarr store holds a 2-D array (or a group with exactly one); `columns`
    then picks columns by position. Parquet data (a file or a directory of
    files, read in the natural order of their names) gives its numeric
    columns; `columns` then picks columns by name, in the order given.
    """
    p = _existing(path)
    if _kind(p) == "zarr":
        return _read_zarr(p, columns)
    return _read_parquet(p, columns)


def _read_zarr(path: Path, columns: Sequence[Any] | None) -> da.Array:
    import zarr

    node = zarr.open(str(path), mode="r")
    component = None
    if isinstance(node, zarr.Group):
        names = [name for name, a in node.arrays() if a.ndim == 2]
        if len(names) != 1:
            raise ValueError(f"{path}: expected a Zarr array of points or a group with one "
                             f"2-D array, found {len(names)} 2-D arrays "
                             f"({', '.join(sorted(names)) or 'none'})")
        component = names[0]
        node = node[component]
    if node.ndim != 2:
        raise ValueError(f"{path}: expected a 2-D array of points (one per row), "
                         f"got an array of shape {node.shape}")
    if not (np.issubdtype(node.dtype, np.integer) or np.issubdtype(node.dtype, np.floating)):
        raise ValueError(f"{path}: expected numbers, got an array of dtype {node.dtype}")
    x = da.from_zarr(str(path.absolute()), component=component)
    if columns is not None:
        picked = list(columns)
        if not all(isinstance(c, (int, np.integer)) and -x.shape[1] <= c < x.shape[1]
                   for c in picked):
            raise ValueError(f"{path}: columns of a Zarr array are positions in "
                             f"[0, {x.shape[1]}), got {picked}")
        x = x[:, picked]
    # Blocks of whole rows: a store chunked across columns is joined by the
    # workers, row block by row block.
    return x.astype(np.float64).rechunk({1: -1})


def _parquet_files(path: Path) -> list[Path]:
    """The data files of a Parquet file or directory; files whose names
    start with '_' or '.' (_metadata, _SUCCESS, ...) hold none."""
    from dask.utils import natural_sort_key

    if path.is_file():
        return [path]
    files = [f for f in path.rglob("*")
             if f.is_file() and f.suffix.lower() in PARQUET_SUFFIXES
             and not any(part.startswith(("_", ".")) for part in f.relative_to(path).parts)]
    return sorted(files, key=lambda f: natural_sort_key(str(f.relative_to(path))))


def _numeric_columns(path: Path, schema: Any, columns: Sequence[Any] | None) -> list[str]:
    import pyarrow as pa

    def numeric(name: str) -> bool:
        t = schema.field(name).type
        return pa.types.is_integer(t) or pa.types.is_floating(t)

    if columns is None:
        # A DataFrame's index, written as a column, is no coordinate.
        # (A range index is stored as a description, not a column.)
        pandas = schema.pandas_metadata if schema.metadata and b"pandas" in schema.metadata else {}
        index = {c for c in pandas.get("index_columns", []) if isinstance(c, str)}
        picked = [n for n in schema.names if numeric(n) and n not in index]
        if not picked:
            raise ValueError(f"{path}: no numeric columns (found {', '.join(schema.names)})")
        return picked
    picked = list(columns)
    for name in picked:
        if name not in schema.names:
            raise ValueError(f"{path}: no column {name!r}; the columns are "
                             f"{', '.join(schema.names)}")
        if not numeric(name):
            raise ValueError(f"{path}: column {name!r} is not numeric "
                             f"({schema.field(name).type})")
    if not picked:
        raise ValueError(f"{path}: no columns picked")
    return picked


def _read_parquet_rows(file: str, row_groups: list[int], columns: list[str]) -> np.ndarray:
    import pyarrow.parquet as pq

    table = pq.ParquetFile(file).read_row_groups(row_groups, columns=columns)
    out = np.empty((table.num_rows, len(columns)))
    for j, name in enumerate(columns):
        # Missing values become NaN, which the estimator then refuses.
        out[:, j] = table.column(name).to_numpy(zero_copy_only=False)
    return out


def _read_parquet(path: Path, columns: Sequence[Any] | None) -> da.Array:
    # The blocks are laid out from the files' footers (row counts and
    # schema), so that their sizes are known without reading any data;
    # Dask's DataFrame reader may fuse its partitions, which would leave
    # the row counts to be computed by reading everything once more.
    import pyarrow.parquet as pq

    files = _parquet_files(path)
    if not files:
        raise ValueError(f"{path}: no Parquet files in this directory")
    names: list[str] | None = None
    blocks = []
    for file in files:
        meta = pq.ParquetFile(file)
        schema = meta.schema_arrow
        if names is None:
            names = _numeric_columns(path, schema, columns)
        else:
            missing = [n for n in names if n not in schema.names]
            if missing:
                raise ValueError(f"{file}: no column {missing[0]!r}, which "
                                 f"{files[0]} has")
        limit = max(1, PARQUET_BLOCK_BYTES // (8 * len(names)))
        groups: list[int] = []
        rows = 0
        for g in range(meta.metadata.num_row_groups):
            r = meta.metadata.row_group(g).num_rows
            if groups and rows + r > limit:
                blocks.append((str(file.absolute()), groups, rows))
                groups, rows = [], 0
            groups.append(g)
            rows += r
        if rows:
            blocks.append((str(file.absolute()), groups, rows))
    assert names is not None
    if not blocks:
        return da.zeros((0, len(names)), dtype=np.float64)
    read = dask.delayed(_read_parquet_rows, pure=True)
    return da.concatenate([da.from_delayed(read(file, groups, names), shape=(rows, len(names)),
                                           dtype=np.float64)
                           for file, groups, rows in blocks])


def _clear_for_output(path: Path, kind: str) -> None:
    """Removes what an earlier run wrote at `path`, refusing anything else."""
    if not path.exists():
        return
    if path.is_file():
        path.unlink()
        return
    looks_written = (any((path / name).exists() for name in ZARR_METADATA) if kind == "zarr"
                     else all(f.suffix.lower() in PARQUET_SUFFIXES or f.name.startswith("_")
                              for f in path.iterdir()))
    if not looks_written:
        raise FileExistsError(f"{path} exists and is not a {kind.capitalize()} store; "
                              f"not overwriting it")
    shutil.rmtree(path)


def write_outputs(path: str | os.PathLike[str], arrays: Mapping[str, Any]) -> None:
    """Writes the 1-D arrays `arrays` (name -> Dask or NumPy array, all of
    one length) at `path`, block by block on the workers: a Zarr group with
    one array per name (.zarr), or Parquet files with one column per name
    (.parquet). Whatever an earlier run wrote there is replaced."""
    p = Path(path)
    kind = {**{s: "zarr" for s in ZARR_SUFFIXES},
            **{s: "parquet" for s in PARQUET_SUFFIXES}}.get(p.suffix.lower())
    if kind is None:
        raise ValueError(f"{path}: unsupported suffix {p.suffix!r}; expected a Zarr store "
                         f"(.zarr) or Parquet files (.parquet)")
    if not arrays:
        raise ValueError("nothing to write")
    columns = {name: da.asarray(a) for name, a in arrays.items()}
    first = next(iter(columns.values()))
    for name, a in columns.items():
        if a.ndim != 1 or a.shape[0] != first.shape[0]:
            raise ValueError(f"{name}: expected a 1-D array of length {first.shape[0]}, "
                             f"got shape {a.shape}")
    # One layout for all: the blocks of a Parquet part line up, and Zarr
    # needs blocks of one size (its chunks) but for the last.
    size = max(max(first.chunks[0], default=1), 1)
    columns = {name: a.rechunk(size) for name, a in columns.items()}
    _clear_for_output(p, kind)
    p.parent.mkdir(parents=True, exist_ok=True)
    if kind == "zarr":
        import zarr

        zarr.open_group(str(p.absolute()), mode="w")
        stores = [da.to_zarr(a, str(p.absolute()), component=name, compute=False)
                  for name, a in columns.items()]
        # Together, so that arrays computed by one graph are computed once.
        dask.compute(*stores)
    else:
        import dask.dataframe as dd

        frame = dd.concat([dd.from_dask_array(a, columns=name) for name, a in columns.items()],
                          axis=1)
        frame.to_parquet(str(p.absolute()), write_index=False)
