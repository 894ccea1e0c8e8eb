"""The driver's errors as subclasses of scikit-learn's, imported by _params
only once scikit-learn is."""

from sklearn.exceptions import NotFittedError as _TheirNotFitted  # type: ignore[import-untyped]

from ._params import InvalidParameterError, NotFittedError

try:  # a private module of scikit-learn: used when there, never needed
    from sklearn.utils._param_validation import (  # type: ignore[import-untyped]
        InvalidParameterError as _TheirInvalidParameter)
except ImportError:  # pragma: no cover
    _TheirInvalidParameter = ValueError


class SklearnNotFittedError(_TheirNotFitted, NotFittedError):
    pass


class SklearnInvalidParameterError(_TheirInvalidParameter, InvalidParameterError):
    pass
