"""Stage timing, with progress lines on standard error for slow stages.

A native call holds the interpreter lock until it returns, so nothing can be
printed while it runs. A stage is therefore announced when it starts if it is
expected to be slow (large inputs), and reported when it ends if it took more
than a second.
"""

from __future__ import annotations

import sys
import time
from contextlib import contextmanager
from typing import Iterator, TextIO

SLOW_SECONDS = 1.0
# From about this many points on, single stages can take a second or more.
ANNOUNCE_FROM_POINTS = 100_000


class StageTimer:
    """Times named stages; `timings` maps each stage name to seconds."""

    def __init__(self, verbose: bool = False, n_points: int = 0,
                 stream: TextIO | None = None) -> None:
        self.verbose = verbose
        self.announce = verbose and n_points >= ANNOUNCE_FROM_POINTS
        self.stream = stream
        self.timings: dict[str, float] = {}

    def _say(self, text: str) -> None:
        out = self.stream if self.stream is not None else sys.stderr
        print(f"quarnel_cluster: {text}", file=out, flush=True)

    @contextmanager
    def stage(self, name: str) -> Iterator[None]:
        if self.announce:
            self._say(f"{name} ...")
        start = time.perf_counter()
        try:
            yield
        finally:
            elapsed = time.perf_counter() - start
            self.timings[name] = self.timings.get(name, 0.0) + elapsed
            if self.verbose and elapsed > SLOW_SECONDS:
                self._say(f"{name} done in {elapsed:.1f} s")
