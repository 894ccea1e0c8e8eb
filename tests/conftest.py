import os
import subprocess
import sys

import pytest

import quarnel


def _panic_class():
    try:
        import numpy as np
        quarnel.knn_query_cross(np.zeros((1, 3)), np.zeros((1, 2)), 1)
    except BaseException as e:  # noqa: BLE001 - we want the class itself
        return type(e)
    raise AssertionError("expected an internal stop")


@pytest.fixture(scope="session")
def PanicException():
    """The exception class that internal stops raise (not a module attribute)."""
    return _panic_class()


def run_python(code, env=None, timeout=300):
    """Runs `code` in a fresh interpreter; returns the completed process."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=full_env, timeout=timeout)
