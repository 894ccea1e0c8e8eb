"""python -m quarnel_cluster INPUT: cluster a file of points, print a summary,
optionally write the labels and a picture; with --scheduler or --workers, on
a Dask cluster, the points read and the results written by its workers.

No output is written over an input or over another output of the run, and
every output is written beside its destination and renamed into place when
complete: an interrupted run leaves no half-written file.
"""

from __future__ import annotations

import argparse
import math
import os
import re
import shutil
import signal
import sys
import threading
import warnings
from contextlib import ExitStack, contextmanager
from functools import partial
from numbers import Integral
from typing import Any, Callable, Iterator, Sequence

import numpy as np

from . import __version__, files
from ._params import Parameter, parameter_docs
from .estimator import DensityPeakClustering
from .metrics import adjusted_rand_index
from .progress import StageTimer
from .validation import Interval, StrOptions

PROG = "python -m quarnel_cluster"

DESCRIPTION = """\
Density-peak clustering of the points in INPUT: CSV, whitespace-separated
text, .npy or .npz, optionally gzipped; one point per row, any number of
columns; or a Zarr array (.zarr) or Parquet files (.parquet, numeric
columns), which on a Dask cluster (--scheduler, --workers) its workers read.
A header line names the columns; a first column without a name holding 0, 1,
2, ... (pandas' row index) and columns of text are left out, with a note.
Prints a summary; the defaults need no tuning. No output is ever written over
an input, and none is left half-written."""

STORE_OUTPUTS = ("labels", "rho", "delta", "nn_delta")
STORE_SUFFIXES = (".zarr", ".parquet", ".pq")
NEEDS_DASK = 'pip install ".[dask]" in a clone of quarnel'
DEFAULT_PLOT_SUFFIX = ".png"

# The estimator's parameters that the command line offers, as its options.
OPTIONS = [p for p in DensityPeakClustering._parameters if p.flag is not None]
FLAGS = {p.name: p.flag for p in OPTIONS}
DEFAULTS = {p.name: p.default for p in DensityPeakClustering._parameters}


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> Any:
        """A mistyped command line in one line, not the whole usage."""
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


def parser() -> argparse.ArgumentParser:
    p = _Parser(prog=PROG, description=DESCRIPTION)
    p.add_argument("input", metavar="INPUT", help="file of points")
    p.add_argument("--version", action="version", version=f"quarnel_cluster {__version__}")
    p.add_argument("--labels", metavar="FILE",
                   help="reference labels, one integer per point: adds the adjusted Rand index")
    p.add_argument("--noise-label", type=int, metavar="L",
                   help="reference label of noise points, left out of the Rand index")
    p.add_argument("--out", metavar="FILE",
                   help="write the cluster labels, one per line (.npy: a NumPy array; "
                        ".zarr, .parquet: labels, rho, delta and nn_delta, the index of "
                        "the nearest denser point)")
    p.add_argument("--plot", metavar="FILE",
                   help="draw the clusters beside what decided them, every density "
                        "peak's standing above its saddle (needs matplotlib); "
                        "the suffix picks the format (.png when there is none)")
    p.add_argument("--columns", metavar="A,B,...",
                   help="the columns to cluster, by header name or by number from 1 "
                        "(default: every numeric one)")
    p.add_argument("--key", metavar="NAME", help="the array of a .npz INPUT holding several")
    p.add_argument("--standardize", action="store_true",
                   help="scale every column to mean 0 and standard deviation 1 first")
    docs = parameter_docs(DensityPeakClustering.__doc__ or "")
    for option in OPTIONS:
        p.add_argument(option.flag, dest=option.name, **_option(option, docs[option.name]))
    p.add_argument("--quiet", action="store_true",
                   help="no progress bars or progress lines on standard error")
    dask = p.add_argument_group(
        "on a Dask cluster",
        "The same clustering, result for result, spread over the workers of a Dask "
        "cluster; a Zarr or Parquet INPUT and --out are then read and written by the "
        f"workers (needs dask: {NEEDS_DASK}).").add_mutually_exclusive_group()
    dask.add_argument("--scheduler", metavar="ADDRESS",
                      help="the scheduler of a running cluster, e.g. tcp://HOST:8786")
    dask.add_argument("--workers", type=int, metavar="N",
                      help="start a cluster of N worker processes on this machine")
    return p


def _option(option: Parameter, doc: str) -> dict[str, Any]:
    """add_argument's settings for an estimator parameter: its type, choices
    and default from its record, its help from its description `doc`."""
    settings: dict[str, Any] = {"help": _help(doc, option.default)}
    kind = option.constraints[0]
    if kind == "boolean":
        return {**settings, "action": "store_true"}
    settings["default"] = option.default
    if isinstance(kind, StrOptions):
        # The command line reads points, never a neighbour graph; the
        # default is listed first.
        return {**settings, "choices": sorted(kind.options - {"precomputed"},
                                              key=lambda o: (o != option.default, o))}
    settings["metavar"] = option.metavar or option.flag.lstrip("-").replace("-", "_").upper()
    integral = kind == "random_state" or isinstance(kind, Interval) and kind.kind is Integral
    return {**settings, "type": int if integral else float}


def _help(doc: str, default: Any) -> str:
    """The first sentence of a parameter's description in the docstring, in
    the command line's terms, and the default if there is one to show."""
    sentences = re.split(r"(?<=\.)\s+(?=[A-Z])", doc.split("\n\n")[0])
    first = sentences[0].rstrip(".")
    text = first[:1].lower() + first[1:]
    if default is not None and default is not False:
        text += f" (default: {default})"
    else:
        # What leaving the option out does, from the sentence on None.
        said = next((s for s in sentences if s.startswith("None")), None)
        if said is not None:
            what = re.split(r": |; |, but ", said[len("None"):].lstrip(": "))[0].rstrip(".")
            text += f" (default: {what})" if said.startswith("None:") else \
                f" (default: the estimator {what.strip()})"
    text = re.sub(r"(?<![-\w])X\b", "INPUT", text).replace("``", "")
    return text.replace("%", "%%")     # add_argument fills in %(...)s in a help text


# -- flags ----------------------------------------------------------------------

def _check_flags(args: argparse.Namespace) -> None:
    """Refuses values of flags that no run can take, by the flag's name."""
    for option in OPTIONS:
        value, interval = getattr(args, option.name), option.constraints[0]
        if value is None or not isinstance(interval, Interval) \
                or interval.is_satisfied_by(value) and math.isfinite(value):
            continue
        if interval.kind is Integral:
            raise ValueError(f"{option.flag} must be at least {interval.left}, got {value}")
        least = ("a positive number" if interval.left == 0 and interval.closed == "neither"
                 else f"a number at least {interval.left}")
        raise ValueError(f"{option.flag} must be {least}, got {value}")
    if args.workers is not None and args.workers < 1:
        raise ValueError(f"--workers must be at least 1, got {args.workers}")
    if args.noise_label is not None and args.labels is None:
        raise ValueError("--noise-label needs --labels")


_PARAMETER_MESSAGE = re.compile(r"The '(\w+)' parameter of \w+ must be (.*)\. Got (.*) instead\.")


def _by_flag(message: str, input_name: str, row: Callable[[int], str] | None = None) -> str:
    """An estimator's message in the command line's terms: flags for
    parameter names, INPUT for X, and rows (counted from 0) as `row` names
    them."""
    m = _PARAMETER_MESSAGE.fullmatch(message)
    if m and m.group(1) in FLAGS:
        return f"{FLAGS[m.group(1)]} must be {m.group(2)}, got {m.group(3)}"
    for name, flag in FLAGS.items():
        message = re.sub(rf"(?<![-\w]){name}=", f"{flag} ", message)
        message = re.sub(rf"(?<![-\w]){name}\b", flag, message)
    if row is not None:
        message = re.sub(r"\brow (\d+)\b", lambda r: row(int(r.group(1))), message)
    return re.sub(r"(?<![-\w])X\b", input_name, message)


# -- paths ------------------------------------------------------------------------

def _is_store(path: str) -> bool:
    # A store is told by its name or by being a directory; only then is
    # dask needed.
    return path.lower().endswith(STORE_SUFFIXES) or os.path.isdir(path)


def _same(a: str, b: str) -> bool:
    if os.path.realpath(a) == os.path.realpath(b):
        return True
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _within(inner: str, outer: str) -> bool:
    inner, outer = os.path.realpath(inner), os.path.realpath(outer)
    return inner != outer and inner.startswith(outer.rstrip(os.sep) + os.sep)


def _plot_path(path: str) -> str:
    return path if os.path.splitext(path)[1] else path + DEFAULT_PLOT_SUFFIX


def _plot_format(path: str) -> str:
    from matplotlib.backend_bases import FigureCanvasBase

    suffix = os.path.splitext(path)[1].lower().lstrip(".")
    formats = FigureCanvasBase.get_supported_filetypes()
    if suffix not in formats:
        raise ValueError(f"--plot {path}: matplotlib writes no .{suffix} files (it writes "
                         f"{', '.join('.' + f for f in sorted(formats))})")
    return suffix


def _check_paths(args: argparse.Namespace) -> None:
    """Refuses, before any work, outputs that would overwrite an input or
    each other, or that could not be written."""
    inputs = [("INPUT", args.input)] + ([("--labels", args.labels)] if args.labels else [])
    outputs = [(flag, path) for flag, path in (("--out", args.out), ("--plot", args.plot))
               if path is not None]
    for flag, path in outputs:
        for what, source in inputs:
            if _same(path, source) or _within(source, path) or _within(path, source):
                raise ValueError(f"{flag} {path} would overwrite {what} ({source}): "
                                 "write it elsewhere")
        folder = os.path.dirname(os.path.abspath(path))
        if not os.path.isdir(folder):
            raise ValueError(f"{flag} {path}: no folder {os.path.dirname(path) or folder}")
        if not os.access(folder, os.W_OK):
            raise ValueError(f"{flag} {path}: the folder {folder} is not writable")
        if os.path.isdir(path) and not (flag == "--out" and _is_store(path)):
            raise ValueError(f"{flag} {path}: a folder")
    if len(outputs) == 2 and _same(outputs[0][1], outputs[1][1]):
        raise ValueError(f"--out and --plot name the same file ({args.out})")
    if args.out is not None and os.path.isdir(args.out):
        _check_replaceable_store(args.out)


def _check_replaceable_store(path: str) -> None:
    """A folder --out names is replaced only if it holds what a run writes."""
    names = os.listdir(path)
    if path.lower().endswith(".zarr"):
        written = any(n in names for n in ("zarr.json", ".zarray", ".zgroup"))
    else:
        written = all(n.lower().endswith((".parquet", ".pq")) or n.startswith("_")
                      for n in names)
    if not written:
        raise ValueError(f"--out {path}: a folder that holds other files than a "
                         "run's results; not replacing it")


def _write_store(path: str, arrays: dict[str, Any]) -> None:
    """Writes a Zarr or Parquet store beside `path`, then swaps it in."""
    store = _store()
    tmp = files.partial_path(path)
    try:
        store.write_outputs(tmp, arrays)
    except BaseException:
        _remove_tree(tmp)
        raise
    old = files.partial_path(path) if os.path.lexists(path) else None
    if old is not None:
        os.replace(path, old)
    os.replace(tmp, path)
    if old is not None:
        _remove_tree(old)


def _remove_tree(path: str) -> None:
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path, ignore_errors=True)
    elif os.path.lexists(path):
        os.remove(path)


# -- reading ------------------------------------------------------------------------

def _on_dask(args: argparse.Namespace) -> bool:
    return args.scheduler is not None or args.workers is not None


def _store() -> Any:
    try:
        from .distributed import store
    except ImportError as e:
        raise ImportError(f"Zarr and Parquet need dask ({e}): {NEEDS_DASK}") from None
    return store


def _columns(args: argparse.Namespace) -> list[str] | None:
    if args.columns is None:
        return None
    names = [c.strip() for c in args.columns.split(",")]
    for c in names:
        if not c or c == "0" or c.startswith("-") and c[1:].isdigit():
            raise ValueError(f"--columns {args.columns}: columns are names or numbers "
                             "from 1, separated by commas")
    return names


def _note(text: str) -> None:
    print(f"quarnel_cluster: note: {text}", file=sys.stderr, flush=True)


def _read(args: argparse.Namespace, progress: Any = None) -> tuple[Any, Callable[[int], str]]:
    """The points (in memory, or a Dask array on a cluster), and where the
    row of a number (from 0) is in INPUT."""
    columns = _columns(args)
    if not _is_store(args.input):
        table = files.read_points_table(args.input, columns, args.key, _note, progress)
        return table.values, table.row
    return _read_store(args, columns), lambda row: f"row {row + 1}"


def _read_store(args: argparse.Namespace, columns: list[str] | None) -> Any:
    if args.key is not None:
        raise ValueError("--key picks an array of a .npz INPUT")
    if columns is not None and args.input.lower().endswith(".zarr"):
        if not all(c.isdigit() for c in columns):
            raise ValueError(f"{args.input}: a Zarr array has no column names: pick columns "
                             "by number, from 1")
        picked: list[Any] | None = [int(c) - 1 for c in columns]
    else:
        picked = columns
    x = _store().read_points(args.input, picked)
    return x if _on_dask(args) else x.compute()


def _client(args: argparse.Namespace, stack: ExitStack) -> Any:
    """The Dask client of the run, current until the run ends, or None."""
    if not _on_dask(args):
        return None
    try:
        import distributed
    except ImportError as e:
        raise ImportError(f"--scheduler and --workers need dask and distributed ({e}): "
                          f"{NEEDS_DASK}") from None
    if args.scheduler is not None:
        client = stack.enter_context(distributed.Client(args.scheduler, set_as_default=False))
    else:
        # The cluster is this run's own, even when another client is the
        # default.
        from .distributed.local import local_cluster
        cluster = stack.enter_context(local_cluster(args.workers))
        client = stack.enter_context(distributed.Client(cluster, set_as_default=False))
    stack.enter_context(client.as_current())
    if not args.quiet and client.dashboard_link:
        print(f"quarnel_cluster: Dask dashboard at {client.dashboard_link}", file=sys.stderr)
    return client


# -- summary ------------------------------------------------------------------------

def _counts(labels: Any, n_clusters: int) -> np.ndarray:
    """Points labelled -1 (noise), 0, 1, ..., n_clusters - 1."""
    counts = np.bincount(labels + 1, minlength=n_clusters + 1)
    return np.asarray(counts.compute() if hasattr(counts, "compute") else counts)


def _sizes(counts: np.ndarray, n_clusters: int) -> str:
    sizes = np.sort(counts[1:])[::-1]
    shown = ", ".join(str(s) for s in sizes[:10])
    return shown + (f", ... ({n_clusters - 10} more)" if n_clusters > 10 else "")


def _row(name: str, value: object) -> str:
    return f"  {name:<21}{value}"


def _standardized(x: Any) -> Any:
    mean, std = x.mean(axis=0), x.std(axis=0)
    if not isinstance(x, np.ndarray):
        import dask
        mean, std = dask.compute(mean, std)   # two rows, not a reduction per block
    return (x - mean) / np.where(std > 0, std, 1.0)


def _settings(args: argparse.Namespace) -> dict[str, Any]:
    """The estimator's parameters: its options' values; delta_neighbors
    its default, lowered to --n-neighbors where that is less."""
    return {**{option.name: getattr(args, option.name) for option in OPTIONS},
            "delta_neighbors": min(DEFAULTS["delta_neighbors"], args.n_neighbors),
            "verbose": not args.quiet}


# -- the run --------------------------------------------------------------------------

def run(args: argparse.Namespace) -> int:
    with ExitStack() as stack:
        return _run(args, stack)


def _run(args: argparse.Namespace, stack: ExitStack) -> int:
    _check_flags(args)
    if args.plot:
        if _on_dask(args):
            raise ValueError("--plot draws every point from memory: not with --scheduler "
                             "or --workers")
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            raise ValueError("--plot needs matplotlib: pip install matplotlib") from None
        args.plot = _plot_path(args.plot)
    _check_paths(args)
    if args.plot:
        plot_format = _plot_format(args.plot)
    out_store = args.out is not None and _is_store(args.out)
    client = _client(args, stack)
    if client is None:
        estimator: Any = DensityPeakClustering
    else:
        from .distributed import DensityPeakClustering as OnDask
        estimator = partial(OnDask, client=client)
    settings = _settings(args)
    timer = StageTimer(verbose=not args.quiet)
    with timer.stage("read") as progress:
        x, row = _read(args, progress)
        reference = files.read_labels(args.labels, note=_note) if args.labels else None
    if reference is not None and len(reference) != len(x):
        raise ValueError(f"{args.labels} has {len(reference)} labels for {len(x)} points")
    if len(x) < 2:
        raise ValueError(f"{args.input}: {len(x)} point; clustering needs at least 2")
    if args.plot and not _draws(x):
        raise ValueError(f"--plot draws points of 2 or more columns; {args.input} has "
                         f"{x.shape[1]}")
    if args.standardize:
        x = _standardized(x)

    model = _fit(estimator, settings, x, args.input, row)
    timer.timings.update(model.timings_)

    # On a cluster the labels stay with the workers unless a summary needs
    # them here; the cluster sizes are counted there.
    labels = model.labels_
    if args.out and not out_store or reference is not None:
        labels = np.asarray(labels)
    counts = _counts(labels, model.n_clusters_)
    if args.out:
        with timer.stage("write"):
            if out_store:
                _write_store(args.out, {name: getattr(model, name + "_")
                                        for name in STORE_OUTPUTS})
            else:
                files.write_labels(args.out, labels)
    if args.plot:
        with timer.stage("plot"):
            _draw(args.plot, plot_format, x, model, str(args.input))

    chosen = "given" if args.bandwidth is not None else "chosen on a held-out split"
    lines = [f"quarnel_cluster: {args.input}",
             _row("points", len(x)),
             _row("dimension", x.shape[1]),
             _row("bandwidth", f"{model.bandwidth_:.6g} ({chosen})"),
             _row("threshold", f"{model.threshold_:.4g} (log-density drop)"),
             _row("clusters", model.n_clusters_),
             _row("cluster sizes", _sizes(counts, model.n_clusters_))]
    if client is not None:
        workers = len(client.scheduler_info()["workers"])
        lines.insert(1, _row("dask workers", f"{workers} at {client.scheduler.address}"))
    if args.noise:
        noise = int(counts[0])
        lines.append(_row("noise points", f"{noise} ({100 * noise / len(x):.1f}%, label -1)"))
    if reference is not None:
        keep = np.ones(len(x), bool) if args.noise_label is None else reference != args.noise_label
        ari = adjusted_rand_index(reference[keep], labels[keep])
        note = "" if keep.all() else f", {int((~keep).sum())} noise points left out"
        lines.append(_row("adjusted Rand index", f"{ari:.4f} (against {args.labels}{note})"))
    if out_store:
        lines.append(_row("results written to", f"{args.out} ({', '.join(STORE_OUTPUTS)})"))
    elif args.out:
        lines.append(_row("labels written to", args.out))
    if args.plot:
        lines.append(_row("picture written to", args.plot))
    lines.append("  timings (s)")
    lines += [_row("  " + name, f"{seconds:.3f}") for name, seconds in timer.timings.items()]
    lines.append(_row("  total", f"{sum(timer.timings.values()):.3f}"))
    print("\n".join(lines))
    return 0


def _fit(estimator: Any, settings: dict[str, Any], x: Any, input_name: str,
         row: Callable[[int], str]) -> Any:
    """The fitted estimator; its refusals in the command line's terms."""
    try:
        return estimator(**settings).fit(x)
    except MemoryError as e:
        raise MemoryError(_by_flag(str(e), input_name, row)) from None
    except ValueError as e:
        raise ValueError(_by_flag(" ".join(str(e).split()), input_name, row)) from None


def _draws(x: Any) -> bool:
    from . import plot
    return hasattr(plot, "figure") or x.shape[1] >= 2


def _draw(path: str, fmt: str, x: np.ndarray, model: Any, title: str) -> None:
    from . import plot
    if hasattr(plot, "figure"):
        fig = plot.figure(x, model, title=title)
        with files.atomic_file(path) as f:
            fig.savefig(f, format=fmt)
    else:
        with files.atomic_path(path) as tmp:
            plot.draw(tmp, x, model, title=title)


# -- errors, warnings and signals ---------------------------------------------------

def _error_text(e: BaseException) -> str:
    if isinstance(e, OSError) and e.filename is not None and e.strerror:
        return f"{e.filename}: {e.strerror}"
    if isinstance(e, MemoryError) and not str(e):
        return ("out of memory: cluster a sample, or spread the run over several machines "
                "(--scheduler)")
    return " ".join(str(e).split()) or type(e).__name__


@contextmanager
def _warnings_as_lines(input_name: str) -> Iterator[None]:
    """Warnings as one line each, without the file and line that raised them."""
    def show(message: Warning | str, category: type[Warning], filename: str, lineno: int,
             file: Any = None, line: str | None = None) -> None:
        text = _by_flag(" ".join(str(message).split()), input_name)
        print(f"quarnel_cluster: warning: {text}", file=sys.stderr, flush=True)

    with warnings.catch_warnings():
        warnings.showwarning = show
        yield


@contextmanager
def _terminate_as_interrupt() -> Iterator[None]:
    """SIGTERM unwinds the run as Ctrl-C does, so that partial outputs go."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def interrupt(signum: int, frame: Any) -> None:
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGTERM, interrupt)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        with _terminate_as_interrupt(), _warnings_as_lines(args.input):
            return run(args)
    except KeyboardInterrupt:
        print("quarnel_cluster: interrupted; no output was left half-written",
              file=sys.stderr)
        return 130
    except (OSError, ValueError, ImportError, MemoryError) as e:
        print(f"quarnel_cluster: error: {_error_text(e)}", file=sys.stderr)
        return 2
