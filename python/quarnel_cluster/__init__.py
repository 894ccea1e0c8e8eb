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

from .estimator import DensityPeakClustering  # noqa: E402
from .metrics import adjusted_rand_index  # noqa: E402

__all__ = ["DensityPeakClustering", "adjusted_rand_index"]
