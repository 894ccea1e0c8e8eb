"""Generic helpers for building and running Dask graphs of per-box tasks:
placing a box's tasks on a worker of its own, computing and gathering
values, sending a value to every worker once, and finding where persisted
parts lie."""

from __future__ import annotations

from contextlib import nullcontext
from typing import Any

import dask
from dask import delayed
from distributed import futures_of


def placed(workers: list[str], b: int) -> Any:
    """Box b's tasks made in this context prefer a worker of their own (any
    other may run them, e.g. once that one is lost): where Dask chooses,
    a box's small tasks may run on a worker without its data (with few
    boxes Dask places a group whose inputs are few tasks as it places
    input tasks, and fetched a whole box table for a request of a few rows)."""
    if not workers:
        return nullcontext()
    return dask.annotate(workers=[workers[b % len(workers)]], allow_other_workers=True)


def at(workers: list[str], b: int, fn: Any, *args: Any) -> Any:
    """delayed(fn)(*args), placed with box b."""
    with placed(workers, b):
        return delayed(fn)(*args)


def gather(client: Any, things: Any) -> Any:
    """The computed values of delayed objects, on the client."""
    return client.gather(client.compute(things))


def shared(client: Any, value: Any) -> Any:
    """value sent to the workers once, for every box's task to read: per
    centre arrays (a few per cent of the points: 66 MB at 5 x 10^7) went
    inside the graph of the boxes' tasks, through the scheduler."""
    return client.scatter(value, broadcast=True)


def persist(client: Any, things: list[Any]) -> list[Any]:
    """client.persist of a list, which may be empty."""
    return client.persist(things) if things else []


def holders(client: Any, parts: list[Any], placed: list[str]) -> list[str]:
    """Per box, a worker that holds its part (persisted): where its next
    tasks are placed; the box's worker of `placed` where none is known."""
    who = client.who_has(parts)
    out = []
    for b, part in enumerate(parts):
        keys = [f.key for f in futures_of(part)]
        found = [w for key in keys for w in who.get(key, ())]
        out.append(found[0] if found else (placed[b % len(placed)] if placed else None))
    return out if all(out) else placed
