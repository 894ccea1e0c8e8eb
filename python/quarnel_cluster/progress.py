"""Stage timing, with progress on standard error for slow stages.

On a terminal, a stage still running after BAR_AFTER seconds gets a progress
bar (tqdm), redrawn by a thread every REFRESH seconds until the stage ends:

- the share done, where the stage is given a total and its `Progress` is
  advanced: by Python code (`advance`), or by native code that increments
  the 1-element int64 array `Progress.counter` as rows are done, which the
  thread reads while the native call runs without the interpreter lock;
- the tasks done on a Dask cluster, counted by its scheduler, where a Dask
  client is current and the stage gives it work;
- else the time the stage has taken so far.

Nothing of it is drawn when standard error is not a terminal (logs get a
line when a large run's stage starts and when a slow one ends) or when
`verbose` is false. A native call that keeps the lock stops the redrawing
until it returns.
"""

from __future__ import annotations

import io
import os
import sys
import threading
import time
from contextlib import contextmanager
from typing import Any, Iterator, TextIO

import numpy as np

SLOW_SECONDS = 1.0
# From about this many points on, single stages can take a second or more.
ANNOUNCE_FROM_POINTS = 100_000
# A stage running this long gets a bar; it is then redrawn this often.
BAR_AFTER = 2.0
REFRESH = 0.5
# Dask task states of work not yet done.
PENDING_STATES = ("waiting", "queued", "no-worker", "processing")


class Progress:
    """What a stage has done, of `total` (None where unknown).

    `counter` is a 1-element int64 array that native code may increment
    without the interpreter lock; Python code calls `advance`."""

    def __init__(self, total: int | None = None, unit: str = "rows") -> None:
        self.counter = np.zeros(1, dtype=np.int64)
        self.total = total
        self.unit = unit

    def advance(self, n: int = 1) -> None:
        self.counter[0] += n

    @property
    def done(self) -> int:
        return int(self.counter[0])


def _stream_is_terminal(stream: TextIO) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):   # no isatty, or closed
        return False


def _size(stream: TextIO) -> tuple[int, int]:
    """Columns and lines of the terminal, or 80 x 24 where it reports none
    (a pseudo-terminal nobody sized, where tqdm would draw nothing)."""
    try:
        columns, lines = os.get_terminal_size(stream.fileno())
    except (AttributeError, OSError, ValueError, io.UnsupportedOperation):
        columns = lines = 0
    return (columns if columns > 0 else 80), (lines if lines > 1 else 24)


def _current_dask_client() -> Any:
    """The Dask client current in this thread, if distributed is in use."""
    if "distributed" not in sys.modules:
        return None
    try:
        from distributed import Client
        return Client.current(allow_global=True)
    except (ImportError, ValueError):
        return None


def _pending_keys(dask_scheduler: Any) -> list[Any]:
    return [key for key, ts in dask_scheduler.tasks.items() if ts.state in PENDING_STATES]


class _DaskTasks:
    """Tasks the scheduler has not finished, seen since the stage began: of
    those, the ones finished since count as done."""

    def __init__(self, client: Any) -> None:
        self.client = client
        self.seen: set[Any] = set()

    def poll(self) -> tuple[int, int] | None:
        try:
            pending = set(self.client.run_on_scheduler(_pending_keys))
        except Exception:   # noqa: BLE001 - a scheduler gone or busy: no count this time
            return None
        self.seen |= pending
        if not self.seen:
            return None
        return len(self.seen) - len(pending), len(self.seen)


class _Bar(threading.Thread):
    """Draws and redraws a stage's bar until `stop` is set."""

    def __init__(self, name: str, progress: Progress, stream: TextIO, client: Any) -> None:
        super().__init__(name=f"quarnel_cluster progress: {name}", daemon=True)
        self.label = name
        self.progress = progress
        self.stream = stream
        self.tasks = _DaskTasks(client) if client is not None else None
        self.stop = threading.Event()
        self.shown = False
        self.started = time.time()     # tqdm's clock

    def run(self) -> None:
        if self.stop.wait(BAR_AFTER):
            return
        try:
            from tqdm import tqdm
        except ImportError:
            return
        bar = None
        try:
            while True:
                done, total, unit = self._counts()
                if bar is None or bar.unit != unit or (bar.total is None) != (total is None):
                    if bar is not None:
                        bar.close()
                    fmt = None if total is not None else "{desc}: {elapsed} elapsed"
                    columns, lines = _size(self.stream)
                    bar = tqdm(desc=self.label, total=total, unit=unit, file=self.stream,
                               leave=False, ncols=columns, nrows=lines, bar_format=fmt,
                               mininterval=0.0, unit_scale=unit != "tasks")
                    bar.start_t = self.started   # elapsed and rates from the stage's start
                    self.shown = True
                bar.total = total
                bar.n = done if total is None else min(done, total)
                bar.refresh()
                if self.stop.wait(REFRESH):
                    break
        finally:
            if bar is not None:
                bar.close()

    def _counts(self) -> tuple[int, int | None, str]:
        p = self.progress
        if p.total is not None or p.done:
            return p.done, p.total, p.unit
        if self.tasks is not None:
            counts = self.tasks.poll()
            if counts is not None:
                return counts[0], counts[1], "tasks"
        return 0, None, "s"


class StageTimer:
    """Times named stages; `timings` maps each stage name to seconds.

    `verbose`: report on standard error (or `stream`); `n_points`: the
    size of the run, from which stages are announced where there is no
    bar; `bars`: draw progress bars (default: when verbose and the stream
    is a terminal)."""

    def __init__(self, verbose: bool = False, n_points: int = 0,
                 stream: TextIO | None = None, bars: bool | None = None) -> None:
        self.verbose = verbose
        self.stream = stream
        terminal = _stream_is_terminal(self._out())
        self.bars = verbose and (terminal if bars is None else bars)
        self.announce = verbose and not self.bars and n_points >= ANNOUNCE_FROM_POINTS
        self.timings: dict[str, float] = {}

    def _out(self) -> TextIO:
        return self.stream if self.stream is not None else sys.stderr

    def _say(self, text: str) -> None:
        print(f"quarnel_cluster: {text}", file=self._out(), flush=True)

    @contextmanager
    def stage(self, name: str, total: int | None = None,
              unit: str = "rows") -> Iterator[Progress]:
        """Times the block as stage `name`; the Progress yielded takes its
        count of `total` (see the module's docstring)."""
        progress = Progress(total, unit)
        bar = None
        if self.bars:
            bar = _Bar(name, progress, self._out(), _current_dask_client())
            bar.start()
        elif self.announce:
            self._say(f"{name} ...")
        start = time.perf_counter()
        try:
            yield progress
        finally:
            elapsed = time.perf_counter() - start
            if bar is not None:
                bar.stop.set()
                bar.join()
            self.timings[name] = self.timings.get(name, 0.0) + elapsed
            if self.verbose and elapsed > SLOW_SECONDS:
                self._say(f"{name} done in {elapsed:.1f} s")
