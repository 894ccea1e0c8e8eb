"""The estimators' scikit-learn ancestry, without importing scikit-learn.

Importing scikit-learn costs about 150 MiB of resident memory (it brings
SciPy and, where installed, pandas and pyarrow) and seconds of start-up,
more than the clustering of 10^5 points needs. Yet only code that has
imported scikit-learn can ask whether an estimator is one of its
BaseEstimators, clone it, or catch its exceptions by their classes. So:

- an estimator class derives from ParamsMixin (get_params, set_params, a
  repr); from the moment scikit-learn is imported (at once if it already
  is), ParamsMixin is replaced among its bases by scikit-learn's
  ClusterMixin and BaseEstimator, so that clone(), pipelines, grid searches
  and check_estimator see an ordinary scikit-learn estimator;
- errors are raised as scikit-learn's NotFittedError and
  InvalidParameterError (subclassed) when scikit-learn is imported, and as
  classes with the same bases (ValueError and AttributeError, ValueError
  and TypeError) otherwise.
"""

from __future__ import annotations

import importlib.abc
import inspect
import sys
from typing import Any, Callable, NamedTuple, Sequence


class Parameter(NamedTuple):
    """One parameter of an estimator, declared once: its name and default
    (the signature of the __init__ that init_of makes), what fit accepts
    (scikit-learn's parameter constraints, checked by validation.check_params)
    and, where the command line offers it, its flag and metavar (None: the
    flag's name)."""

    name: str
    default: Any
    constraints: list[Any]
    flag: str | None = None
    metavar: str | None = None


def constraints_of(parameters: Sequence[Parameter]) -> dict[str, list[Any]]:
    """The parameters' constraints by name, as _parameter_constraints holds
    them."""
    return {p.name: p.constraints for p in parameters}


def init_of(parameters: Sequence[Parameter]) -> Callable[..., None]:
    """An __init__ taking `parameters`, by position or by name, with their
    defaults, and storing each one untouched under its name, as scikit-learn
    asks. Its signature is theirs: scikit-learn's get_params, clone and
    repr, and help(), read it."""
    kind = inspect.Parameter.POSITIONAL_OR_KEYWORD
    signature = inspect.Signature([inspect.Parameter("self", kind)] +
                                  [inspect.Parameter(p.name, kind, default=p.default)
                                   for p in parameters])

    def __init__(self: Any, *args: Any, **kwargs: Any) -> None:
        """Stores the parameters as given; they are checked by `fit`."""
        try:
            bound = signature.bind(self, *args, **kwargs)
        except TypeError as e:  # in the words of a call of a written __init__
            raise TypeError(f"{type(self).__name__}.__init__() {e}") from None
        bound.apply_defaults()
        for name, value in list(bound.arguments.items())[1:]:
            setattr(self, name, value)

    __init__.__signature__ = signature  # type: ignore[attr-defined]
    return __init__


def parameter_docs(doc: str) -> dict[str, str]:
    """The entries of the numpydoc "Parameters" section of `doc`: each name
    ("name : type", or every name of "a, b : type") mapped to its
    description, lines joined by spaces and paragraphs by blank lines."""
    lines = inspect.cleandoc(doc).splitlines()
    at = lines.index("Parameters") + 2     # below its underline
    found: dict[str, list[str]] = {}
    names: list[str] = []
    for line, below in zip(lines[at:], lines[at + 1:] + [""]):
        if line and below and set(below) == {"-"}:  # the next section's title
            break
        if line and not line[0].isspace():
            names = [n.strip() for n in line.split(" : ")[0].split(",") if n.strip()]
            for name in names:
                found[name] = []
        else:
            for name in names:
                found[name].append(line.strip())
    return {name: "\n\n".join(" ".join(paragraph.split())
                               for paragraph in "\n".join(text).strip().split("\n\n"))
            for name, text in found.items()}


class ParamsMixin:
    """Parameters are the arguments of __init__, stored under the same names.

    A class naming ParamsMixin among its bases takes scikit-learn's
    ClusterMixin and BaseEstimator in its place once scikit-learn is
    imported (see the module's docstring).
    """

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        if ParamsMixin in cls.__bases__:
            _ESTIMATORS.append(cls)
            if _scikit_learn_imported():
                try:
                    _adopt_scikit_learn_bases(cls)
                except ImportError:     # a broken installation: stay without it
                    pass

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


_ESTIMATORS: list[type] = []


def _scikit_learn_imported() -> bool:
    return sys.modules.get("sklearn") is not None


def _adopt_scikit_learn_bases(cls: type) -> None:
    from sklearn.base import BaseEstimator, ClusterMixin  # type: ignore[import-untyped]

    if ParamsMixin not in cls.__bases__:
        return
    at = cls.__bases__.index(ParamsMixin)
    cls.__bases__ = cls.__bases__[:at] + (ClusterMixin, BaseEstimator) + cls.__bases__[at + 1:]
    # What scikit-learn's bases do for a class derived from them when it is
    # created (its metadata routing methods).
    super(cls, cls).__init_subclass__()


def _adopt_scikit_learn() -> None:
    for cls in _ESTIMATORS:
        _adopt_scikit_learn_bases(cls)


class _ScikitLearnImportWatch(importlib.abc.MetaPathFinder):
    """Lets the import of the sklearn package run its course, then gives
    the estimator classes their scikit-learn bases. Removes itself at the
    first attempt to import scikit-learn, whether that succeeds or not."""

    def find_spec(self, fullname: str, path: Any, target: Any = None) -> Any:
        if fullname != "sklearn":
            return None
        if self in sys.meta_path:
            sys.meta_path.remove(self)
        found = None
        for finder in sys.meta_path:     # as the import system would
            find = getattr(finder, "find_spec", None)
            found = find(fullname, path, target) if find is not None else None
            if found is not None:
                break
        if found is None or not hasattr(found.loader, "exec_module"):
            return found
        run_package = found.loader.exec_module

        def exec_module(module: Any) -> None:
            run_package(module)
            try:
                _adopt_scikit_learn()
            except Exception:   # noqa: BLE001 - the user's import must not fail on our account
                pass

        found.loader.exec_module = exec_module
        return found


if not _scikit_learn_imported():
    sys.meta_path.insert(0, _ScikitLearnImportWatch())


BASES: tuple[type, ...] = (ParamsMixin,)


class NotFittedError(ValueError, AttributeError):
    """predict was called before fit (see not_fitted_error)."""


class InvalidParameterError(ValueError, TypeError):
    """A parameter of the wrong type or value (see invalid_parameter_error)."""


def not_fitted_error(message: str) -> NotFittedError:
    """predict before fit: a ValueError and an AttributeError, and
    scikit-learn's NotFittedError once scikit-learn is imported."""
    if _scikit_learn_imported():
        from ._sklearn_errors import SklearnNotFittedError
        return SklearnNotFittedError(message)
    return NotFittedError(message)


def invalid_parameter_error(message: str) -> InvalidParameterError:
    """A parameter of the wrong type or value: both a ValueError and a
    TypeError, and scikit-learn's InvalidParameterError once scikit-learn is
    imported, so that its tools recognise it."""
    if _scikit_learn_imported():
        from ._sklearn_errors import SklearnInvalidParameterError
        return SklearnInvalidParameterError(message)
    return InvalidParameterError(message)
