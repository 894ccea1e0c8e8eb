"""get_params / set_params for when scikit-learn is not installed, and the
driver's two exception classes.

With scikit-learn present the estimator derives from its BaseEstimator and
ClusterMixin instead, so that clone(), pipelines and grid searches work, and
the exceptions derive from scikit-learn's, so that its checks recognise them.
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
        """Get the parameters of this estimator.

        Parameters
        ----------
        deep : bool, default=True
            Ignored: no parameter is itself an estimator.

        Returns
        -------
        params : dict
            Parameter names mapped to their values.
        """
        return {name: getattr(self, name) for name in self._param_names()}

    def set_params(self, **params: Any) -> Any:
        """Set parameters of this estimator; they are checked by `fit`.

        Parameters
        ----------
        **params : dict
            Parameter names and their new values.

        Returns
        -------
        self : estimator instance
            The estimator.
        """
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



try:  # pragma: no cover - which branch runs depends on the environment
    from sklearn.base import BaseEstimator, ClusterMixin  # type: ignore[import-untyped]
    from sklearn.exceptions import NotFittedError as _SklearnNotFitted  # type: ignore[import-untyped]

    BASES: tuple[type, ...] = (ClusterMixin, BaseEstimator)
    NOT_FITTED_BASES: tuple[type, ...] = (_SklearnNotFitted,)
except ImportError:  # pragma: no cover
    BASES = (ParamsMixin,)
    NOT_FITTED_BASES = (ValueError, AttributeError)

try:  # pragma: no cover - a private module: used when there, never needed
    from sklearn.utils._param_validation import (  # type: ignore[import-untyped]
        InvalidParameterError as _SklearnInvalidParameter)

    INVALID_PARAMETER_BASES: tuple[type, ...] = (_SklearnInvalidParameter,)
except ImportError:  # pragma: no cover
    INVALID_PARAMETER_BASES = (ValueError, TypeError)


class InvalidParameterError(*INVALID_PARAMETER_BASES):  # type: ignore[misc]
    """A parameter of the wrong type or value: both a ValueError and a
    TypeError, as scikit-learn's (of which it is a subclass where
    scikit-learn is installed, so that its tools recognise it)."""


class NotFittedError(*NOT_FITTED_BASES):  # type: ignore[misc]
    """predict was called before fit: a ValueError and an AttributeError,
    scikit-learn's NotFittedError where scikit-learn is installed."""
