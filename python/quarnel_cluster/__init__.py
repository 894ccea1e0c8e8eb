"""Density-peak clustering on the quarnel native core.

    >>> from quarnel_cluster import DensityPeakClustering
    >>> labels = DensityPeakClustering().fit_predict(X)

The command line is ``python -m quarnel_cluster INPUT``; see ``--help``.
"""

import os as _os

import quarnel as _quarnel

# The package's native module, _native, is built and installed with the
# extension quarnel (in a quarnel_cluster directory beside it, which is this
# package's own directory in an install). These sources may be imported from
# elsewhere, as from a work tree with the build in a virtual environment or
# on PYTHONPATH: the package then also looks there, after its own directory,
# so that _native comes from the build quarnel comes from.
_built = _os.path.join(_os.path.dirname(_os.path.abspath(_quarnel.__file__)), "quarnel_cluster")
if _built not in map(_os.path.abspath, __path__):
    __path__.append(_built)

from ._version import version as __version__  # noqa: E402
from .estimator import DensityPeakClustering  # noqa: E402
from .metrics import adjusted_rand_index  # noqa: E402

__all__ = ["DensityPeakClustering", "adjusted_rand_index"]

# The plots need matplotlib, an optional dependency that takes a while to
# import: they are loaded on first use (and so are not in __all__, which a
# star import would load).
_PLOTS = ("plot_clusters", "plot_decision_graph", "plot_prominence")


def __getattr__(name: str) -> object:
    if name in _PLOTS:
        from . import plot
        return getattr(plot, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted([*globals(), *_PLOTS])
