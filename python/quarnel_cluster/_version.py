"""The version of the installed distribution, or of the work tree's
pyproject.toml where the package runs from a clone without being installed."""

from __future__ import annotations

import importlib.metadata
from pathlib import Path

DISTRIBUTION = "quarnel"


def _from_work_tree() -> str:
    try:
        import tomllib
        with open(Path(__file__).resolve().parents[2] / "pyproject.toml", "rb") as f:
            return str(tomllib.load(f)["project"]["version"])
    except (OSError, KeyError, ValueError):
        return "0+unknown"


def _version() -> str:
    try:
        return importlib.metadata.version(DISTRIBUTION)
    except importlib.metadata.PackageNotFoundError:
        return _from_work_tree()


version = _version()
