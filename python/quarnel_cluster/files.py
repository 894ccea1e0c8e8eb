"""Reading points and labels, writing labels, as the command line does.

Points: CSV (comma, semicolon or tab separated), whitespace-separated text,
a NumPy .npy file or one array of a .npz file, each optionally
gzip-compressed (recognised by content, not by name). A first text line that
is not numeric is a header naming the columns; a first column without a name
that holds 0, 1, 2, ... (the row index pandas' ``to_csv()`` writes) is left
out, and so are columns of text, each with a note.

Every refusal is a ValueError (or an OSError from the file system) whose
message is one line and names the file; lines and columns count from 1, the
header and blank lines included, as a text editor counts them.

Outputs are written to a temporary file beside their destination and renamed
into place when complete, so that an interrupted run leaves either the old
file or the new one, never half of one.
"""

from __future__ import annotations

import csv
import gzip
import io
import os
import re
import secrets
import zipfile
import zlib
from contextlib import contextmanager
from typing import IO, Any, Callable, Iterator, Sequence

import numpy as np
import numpy.typing as npt

GZIP_MAGIC = b"\x1f\x8b"
NPY_MAGIC = b"\x93NUMPY"
ZIP_MAGICS = (b"PK\x03\x04", b"PK\x05\x06")
UTF16_BOMS = (b"\xff\xfe", b"\xfe\xff")
# Names a pandas index column gets when read back and written again.
UNNAMED = ("", "Unnamed: 0")

Note = Callable[[str], None]
DECIMAL_COMMA = re.compile(r"[-+]?\d*,\d+(?:[eE][-+]?\d+)?")
# Rows of text parsed at a time.
READ_BLOCK = 1 << 18


def _ignore(_: str) -> None:
    pass


# -- bytes ------------------------------------------------------------------

def _raw_bytes(path: str | os.PathLike[str]) -> bytes:
    if os.path.isdir(path):
        raise ValueError(f"{os.fspath(path)}: a folder, not a file of points")
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] == GZIP_MAGIC:
        try:
            data = gzip.decompress(data)
        except (OSError, EOFError, zlib.error) as e:
            raise ValueError(f"{os.fspath(path)}: a damaged gzip file ({e})") from None
    return data


def _text(path: str, data: bytes) -> str:
    if data[:2] in UTF16_BOMS:
        try:
            return data.decode("utf-16")
        except UnicodeDecodeError as e:
            raise ValueError(f"{path}: damaged UTF-16 text ({e.reason})") from None
    head = np.frombuffer(data[:4096], dtype=np.uint8)
    if 0 in head:
        odd, even = head[1::2], head[0::2]
        utf16 = len(head) >= 4 and max(np.mean(odd == 0), np.mean(even == 0)) > 0.9
        hint = " (UTF-16 text without a byte-order mark? save it as UTF-8)" if utf16 else ""
        raise ValueError(f"{path}: not a text, .npy or .npz file: it holds binary data{hint}")
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError:
        # Numbers are ASCII in every 8-bit encoding; names (a header in
        # Latin-1 or Windows-1252) read well enough for notes and --columns.
        return data.decode("latin-1")


# -- tables -----------------------------------------------------------------

class Table:
    """Numeric columns read from a file, with their names (None where the
    file names none) and, for text, the line of every row."""

    def __init__(self, path: str, values: npt.NDArray[np.float64],
                 names: list[str] | None, lines: npt.NDArray[np.int64] | None) -> None:
        self.path, self.values, self.names, self.lines = path, values, names, lines

    def row(self, row: int) -> str:
        """Where row `row` (from 0) is, as a user counts."""
        if self.lines is not None:
            return f"line {int(self.lines[row])}"
        return f"row {row + 1}"

    def where(self, row: int, col: int) -> str:
        if self.lines is not None:
            return f"{self.path}, {self.row(row)}, column {col + 1}"
        return f"{self.path}: {self.row(row)}, column {col + 1}"


def _quoted(value: str, limit: int = 40) -> str:
    shown = value if len(value) <= limit else value[:limit] + "..."
    return repr(shown)


def _column_label(names: Sequence[str] | None, j: int) -> str:
    if names is not None and names[j] not in UNNAMED:
        return repr(names[j])
    return f"column {j + 1}"


def _pick(path: str, names: list[str] | None, d: int,
          columns: Sequence[str] | None) -> list[int] | None:
    """The positions `columns` names (names, or numbers from 1); None for all."""
    if columns is None:
        return None
    picked = []
    for c in columns:
        if names is not None and c in names:
            picked.append(names.index(c))
        elif c.isdigit() and 1 <= int(c) <= d:
            picked.append(int(c) - 1)
        elif c.isdigit():
            raise ValueError(f"{path}: no column {c}: it has {d} column{'s' * (d != 1)} "
                             "(numbered from 1)")
        elif names is None:
            raise ValueError(f"{path}: no column names to find {c!r} by: pick columns by "
                             f"number, 1 to {d}")
        else:
            raise ValueError(f"{path}: no column {c!r}; the columns are "
                             f"{', '.join(n or '(unnamed)' for n in names)}")
    if not picked:
        raise ValueError(f"{path}: no columns picked")
    return picked


def _is_number(field: str) -> bool:
    try:
        float(field)
    except ValueError:
        return False
    return True


def _split(line: str, sep: str | None) -> list[str]:
    if sep is None:
        return line.split()
    try:
        return [f.strip() for f in next(csv.reader([line], delimiter=sep))]
    except csv.Error:   # a stray quote or control character: fields as written
        return [f.strip() for f in line.split(sep)]


def _delimiter(line: str) -> str | None:
    # Semicolons and tabs first: where they separate, commas may be decimal
    # marks.
    for sep in (";", "\t", ","):
        if sep in line:
            return sep
    return None  # any white space


def _read_text(path: str, text: str, columns: Sequence[str] | None, note: Note,
               progress: Any = None) -> Table:
    if "\r" in text:   # Windows' and old Macs' line ends
        text = text.replace("\r\n", "\n").replace("\r", "\n")
    numbered = [(i + 1, ln) for i, ln in enumerate(text.split("\n"))]
    content = [(i, ln) for i, ln in numbered if ln.strip() and not ln.lstrip().startswith("#")]
    if not content:
        raise ValueError(f"{path}: no data rows (the file is empty)")
    sep = _delimiter(content[0][1])
    first = _split(content[0][1], sep)
    names = None
    if not all(_is_number(f) or sep != "," and DECIMAL_COMMA.fullmatch(f)
               for f in first if f):
        names, content = first, content[1:]
    if not content:
        raise ValueError(f"{path}: no data rows (only a header line)")
    lines = np.fromiter((i for i, _ in content), dtype=np.int64, count=len(content))
    rows = [ln for _, ln in content]
    del content, numbered
    top = _split(rows[0], sep)
    if sep != "," and any(DECIMAL_COMMA.fullmatch(f) for f in top) and \
            not any("." in f for f in top):
        rows = [r.replace(",", ".") for r in rows]
        top = _split(rows[0], sep)
    if len(top) > 1 and not top[-1] and (names is None or not names[-1]) and \
            len(names or top) == len(top):
        # A separator at the end of every line: no column after it.
        rows = [r.rstrip().removesuffix(sep) if sep else r for r in rows]
        top, names = top[:-1], None if names is None else names[:-1]
    width = len(top)
    if names is not None and len(names) != width:
        raise ValueError(f"{path}, line {lines[0]}: {width} field{'s' * (width != 1)} "
                         f"where the header (line {_header_line(text)}) names {len(names)}")
    picked = _pick(path, names, width, columns)
    wanted = picked if picked is not None else list(range(width))
    text_columns = [j for j in wanted if top[j] and not _is_number(top[j])]
    if picked is not None and text_columns:
        j = text_columns[0]
        raise ValueError(f"{path}: {_column_label(names, j)} holds text "
                         f"(line {lines[0]}: {_quoted(top[j])})")
    used = [j for j in wanted if j not in text_columns]
    if not used:
        raise ValueError(f"{path}: no numeric columns (text in "
                         f"{', '.join(_column_label(names, j) for j in text_columns)})")
    usecols = None if len(used) == width else used
    if usecols is not None:
        _check_widths(path, rows, lines, sep, width)
    if progress is not None:
        progress.total = len(rows)
    parts = []
    try:
        # In blocks, so that a progress bar can move between them.
        for start in range(0, len(rows), READ_BLOCK):
            block = rows[start:start + READ_BLOCK]
            parts.append(np.loadtxt(block, delimiter=sep, dtype=np.float64, ndmin=2,
                                    comments="#", quotechar='"' if sep is not None else None,
                                    usecols=usecols))
            if progress is not None:
                progress.advance(len(block))
        values = parts[0] if len(parts) == 1 else np.concatenate(parts)
        del parts
    except ValueError:
        raise _diagnosis(path, rows, lines, sep, width, used, names) from None
    if picked is None and names is not None and names[0].strip() in UNNAMED and width > 1 \
            and used[0] == 0 and _counts_rows(values[:, 0]):
        note(f"{path}: column 1 has no name and holds 0, 1, 2, ... (a row index, as pandas "
             "writes): left out")
        values, used = values[:, 1:], used[1:]
    if text_columns:
        note(f"{path}: text column{'s' * (len(text_columns) > 1)} left out: "
             f"{', '.join(_column_label(names, j) for j in text_columns)}")
    return Table(path, values, None if names is None else [names[j] for j in used], lines)


def _header_line(text: str) -> int:
    for i, ln in enumerate(text.split("\n")):
        if ln.strip() and not ln.lstrip().startswith("#"):
            return i + 1
    return 1


def _counts_rows(column: npt.NDArray[np.float64]) -> bool:
    return bool(np.array_equal(column, np.arange(len(column), dtype=np.float64)))


def _check_widths(path: str, rows: list[str], lines: npt.NDArray[np.int64],
                  sep: str | None, width: int) -> None:
    """Refuses rows of another width (which reading picked columns would not)."""
    for row, ln in zip(rows, lines):
        if len(_split(row, sep)) != width:
            raise _ragged(path, int(ln), len(_split(row, sep)), int(lines[0]), width)


def _ragged(path: str, line: int, got: int, first: int, width: int) -> ValueError:
    return ValueError(f"{path}, line {line}: {got} field{'s' * (got != 1)} where line "
                      f"{first} has {width}")


def _diagnosis(path: str, rows: list[str], lines: npt.NDArray[np.int64], sep: str | None,
               width: int, used: list[int], names: list[str] | None) -> ValueError:
    """The first field of the rows that is not a number, or the first row of
    another width, as one line."""
    for row, ln in zip(rows, lines):
        fields = _split(row.split("#", 1)[0], sep)
        if len(fields) != width:
            return _ragged(path, int(ln), len(fields), int(lines[0]), width)
        for j in used:
            if not fields[j]:
                return ValueError(f"{path}, line {ln}, column {j + 1}: empty (missing values "
                                  "are not read: fill or drop them first)")
            if not _is_number(fields[j]):
                return ValueError(f"{path}, line {ln}, column {j + 1}: "
                                  f"{_quoted(fields[j])} is not a number")
    return ValueError(f"{path}: not a table of numbers")


# -- NumPy files --------------------------------------------------------------

def _load_npy(path: str, data: bytes) -> np.ndarray:
    try:
        return np.load(io.BytesIO(data), allow_pickle=False)
    except ValueError as e:
        if "allow_pickle" in str(e):
            raise ValueError(f"{path}: a .npy file of Python objects (dtype object), read only "
                             "through pickle, which is not safe: save numbers instead") from None
        raise ValueError(f"{path}: a truncated or damaged .npy file ({e})") from None
    except Exception as e:  # noqa: BLE001 - any header NumPy cannot parse
        raise ValueError(f"{path}: a truncated or damaged .npy file "
                         f"({type(e).__name__}: {e})") from None


def _load_npz(path: str, data: bytes, key: str | None) -> tuple[str, np.ndarray]:
    try:
        archive = np.load(io.BytesIO(data), allow_pickle=False)
        names = list(archive.files)
    except (zipfile.BadZipFile, EOFError, OSError, ValueError, zlib.error) as e:
        raise ValueError(f"{path}: a damaged .npz file ({e})") from None
    if key is None:
        if not names:
            raise ValueError(f"{path}: no arrays")
        if len(names) != 1:
            raise ValueError(f"{path}: {len(names)} arrays ({', '.join(names)}): "
                             "pick one with --key")
        key = names[0]
    elif key not in names:
        raise ValueError(f"{path}: no array {key!r}; it holds {', '.join(names) or 'none'}")
    label = f"{path}[{key}]"
    try:
        return label, archive[key]
    except ValueError as e:
        if "allow_pickle" in str(e):
            raise ValueError(f"{label}: Python objects (dtype object), read only through "
                             "pickle, which is not safe: save numbers instead") from None
        raise ValueError(f"{label}: a truncated or damaged array ({e})") from None
    except (zipfile.BadZipFile, EOFError, OSError, zlib.error) as e:
        raise ValueError(f"{label}: a truncated or damaged array ({e})") from None


def _array_table(name: str, a: np.ndarray, columns: Sequence[str] | None,
                 note: Note) -> Table:
    if a.dtype.names:     # a structured array: named columns
        names = list(a.dtype.names)
        picked = _pick(name, names, len(names), columns)
        wanted = picked if picked is not None else list(range(len(names)))
        kinds = [a.dtype[n].kind for n in names]
        text = [j for j in wanted if kinds[j] not in "biuf"]
        if picked is not None and text:
            raise ValueError(f"{name}: column {names[text[0]]!r} holds "
                             f"{a.dtype[names[text[0]]]}, not numbers")
        if text:
            note(f"{name}: columns that are not numbers left out: "
                 f"{', '.join(repr(names[j]) for j in text)}")
        used = [j for j in wanted if j not in text]
        if not used or a.ndim != 1:
            raise ValueError(f"{name}: expected a 1-D record array with numeric fields")
        values = np.column_stack([a[names[j]].astype(np.float64) for j in used])
        return Table(name, values, [names[j] for j in used], None)
    if a.dtype.kind == "c":
        raise ValueError(f"{name}: complex numbers ({a.dtype}) are not points: save their "
                         "real and imaginary parts as two columns")
    if a.dtype.kind not in "biuf":
        raise ValueError(f"{name}: expected numbers, got an array of dtype {a.dtype}")
    if a.ndim == 1:
        a = a[:, None]
    if a.ndim != 2:
        raise ValueError(f"{name}: expected a table of points (one per row), got an array "
                         f"of shape {a.shape}")
    picked = _pick(name, None, a.shape[1], columns)
    values = np.asarray(a if picked is None else a[:, picked], dtype=np.float64)
    return Table(name, values, None, None)


# -- reading ------------------------------------------------------------------

def read_table(path: str | os.PathLike[str], columns: Sequence[str] | None = None,
               key: str | None = None, note: Note = _ignore, progress: Any = None) -> Table:
    """The numeric table in `path` (see the module's docstring).

    `columns` picks columns by header name or by number from 1; `key` names
    the array of a .npz file holding several; `note` receives one line for
    every column left out; `progress` (a progress.Progress) is given the
    number of rows of text and advanced as they are read."""
    name = os.fspath(path)
    data = _raw_bytes(path)
    if key is not None and data[:4] not in ZIP_MAGICS:
        raise ValueError(f"{name}: --key picks an array of a .npz file; this is not one")
    if data[:6] == NPY_MAGIC:
        table = _array_table(name, _load_npy(name, data), columns, note)
    elif data[:4] in ZIP_MAGICS:
        label, array = _load_npz(name, data, key)
        table = _array_table(label, array, columns, note)
    else:
        table = _read_text(name, _text(name, data), columns, note, progress)
    if len(table.values) == 0:
        raise ValueError(f"{table.path}: no data rows")
    return table


def read_points_table(path: str | os.PathLike[str], columns: Sequence[str] | None = None,
                      key: str | None = None, note: Note = _ignore,
                      progress: Any = None) -> Table:
    """The table of points, one per row, all finite (see read_table)."""
    table = read_table(path, columns, key, note, progress)
    values = table.values
    bad = ~np.isfinite(values)
    if bad.any():
        row, col = (int(i[0]) for i in np.nonzero(bad))
        raise ValueError(f"{table.where(row, col)}: {values[row, col]} is not a finite "
                         "number (drop or fill that point first)")
    return table


def read_points(path: str | os.PathLike[str], columns: Sequence[str] | None = None,
                key: str | None = None, note: Note = _ignore,
                progress: Any = None) -> npt.NDArray[np.float64]:
    """Points, one per row, all finite (see read_table)."""
    return read_points_table(path, columns, key, note, progress).values


def read_labels(path: str | os.PathLike[str], key: str | None = None,
                note: Note = _ignore) -> npt.NDArray[np.int64]:
    """Integer labels, one per point: one column, or one row (see read_table)."""
    table = read_table(path, key=key, note=note)
    values = table.values
    if 1 not in values.shape:
        raise ValueError(f"{table.path}: expected one label per line, got {values.shape[1]} "
                         "columns")
    labels = values.ravel()
    if not np.all(np.isfinite(labels)) or np.any(labels != np.round(labels)):
        raise ValueError(f"{table.path}: labels must be integers")
    return labels.astype(np.int64)


# -- writing ------------------------------------------------------------------

def partial_path(path: str | os.PathLike[str]) -> str:
    """A new name beside `path` for its content while written: hidden, with
    the same suffix (for writers that choose a format by it)."""
    folder, name = os.path.split(os.path.abspath(path))
    stem, suffix = os.path.splitext(name)
    return os.path.join(folder, f".{stem}.partial-{secrets.token_hex(4)}{suffix}")


@contextmanager
def atomic_path(path: str | os.PathLike[str]) -> Iterator[str]:
    """A temporary name in the folder of `path`, renamed to `path` when the
    block ends without error and removed when it does not."""
    tmp = partial_path(path)
    try:
        yield tmp
        os.replace(tmp, path)
    except BaseException:
        _remove(tmp)
        raise


@contextmanager
def atomic_file(path: str | os.PathLike[str]) -> Iterator[IO[bytes]]:
    """A binary file to write the content of `path` into (see atomic_path);
    created with the permissions a new file of the user gets."""
    with atomic_path(path) as tmp:
        fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
        with open(fd, "wb") as f:
            yield f


def _remove(path: str) -> None:
    try:
        os.remove(path)
    except FileNotFoundError:
        pass


def label_text(labels: npt.NDArray[np.integer[Any]]) -> bytes:
    """The labels as decimal text, one per line, built by array operations
    (a digit place of every label at a time) rather than one string per
    label."""
    v = np.asarray(labels, dtype=np.int64).ravel()
    if len(v) == 0:
        return b""
    negative = v < 0
    rest = np.abs(v)
    places = np.ones(len(v), dtype=np.int64)
    higher = rest // 10
    while higher.any():
        places += higher > 0
        higher //= 10
    length = places + negative + 1
    ends = np.cumsum(length)
    out = np.empty(int(ends[-1]), dtype=np.uint8)
    out[ends - 1] = ord("\n")
    out[(ends - length)[negative]] = ord("-")
    last = ends - 2
    for j in range(int(places.max())):
        has = places > j
        out[last[has] - j] = ord("0") + rest[has] % 10
        rest //= 10
    return out.tobytes()


def write_labels(path: str | os.PathLike[str], labels: npt.NDArray[np.int64]) -> None:
    """One label per line, or a .npy array when the name ends in .npy;
    written whole or not at all (see atomic_path)."""
    with atomic_file(path) as f:
        if os.fspath(path).lower().endswith(".npy"):
            np.save(f, np.asarray(labels))
        else:
            f.write(label_text(labels))
