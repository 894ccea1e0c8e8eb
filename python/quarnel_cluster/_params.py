"""get_params / set_params for when scikit-learn is not installed.

With scikit-learn present the estimator derives from its BaseEstimator and
ClusterMixin instead, so that clone(), pipelines and grid searches work.
"""

from __future__ import annotations

import inspect
from typing import Any


class ParamsMixin:
    """Parameters are the arguments of __init__, stored under the same names."""

    @classmethod
    def _param_names(cls) -> list[str]:
        sig = inspect.signature(cls.__init__)
        return sorted(p.name for p in sig.parameters.values()
                      if p.name != "self" and p.kind != p.VAR_KEYWORD)

    def get_params(self, deep: bool = True) -> dict[str, Any]:
        return {name: getattr(self, name) for name in self._param_names()}

    def set_params(self, **params: Any) -> Any:
        valid = self._param_names()
        for name, value in params.items():
            if name not in valid:
                raise ValueError(f"Invalid parameter {name!r} for estimator "
                                 f"{type(self).__name__}. Valid parameters are: {valid!r}.")
            setattr(self, name, value)
        return self

    def __repr__(self) -> str:
        defaults = {p.name: p.default
                    for p in inspect.signature(type(self).__init__).parameters.values()}
        changed = [f"{k}={v!r}" for k, v in self.get_params().items()
                   if defaults.get(k, inspect.Parameter.empty) != v]
        return f"{type(self).__name__}({', '.join(changed)})"

    def fit_predict(self, X: Any, y: Any = None) -> Any:
        return self.fit(X).labels_  # type: ignore[attr-defined]


try:  # pragma: no cover - which branch runs depends on the environment
    from sklearn.base import BaseEstimator, ClusterMixin  # type: ignore[import-untyped]

    BASES: tuple[type, ...] = (ClusterMixin, BaseEstimator)
except ImportError:  # pragma: no cover
    BASES = (ParamsMixin,)
