"""Density-peak clustering on the quarnel native core.

    >>> from quarnel_cluster import DensityPeakClustering
    >>> labels = DensityPeakClustering().fit_predict(X)

The command line is ``python -m quarnel_cluster INPUT``; see ``--help``.
"""

from ._version import version as __version__
from .estimator import DensityPeakClustering
from .metrics import adjusted_rand_index

__all__ = ["DensityPeakClustering", "adjusted_rand_index"]

# The plots need matplotlib, an optional dependency that takes a while to
# import: they are loaded on first use (and so are not in __all__, which a
# star import would load).
_PLOTS = ("plot_clusters", "plot_decision_graph")


def __getattr__(name: str) -> object:
    if name in _PLOTS:
        from . import plot
        return getattr(plot, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted([*globals(), *_PLOTS])
