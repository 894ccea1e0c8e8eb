import os
import subprocess
import sys
from pathlib import Path

import pytest

# The driver's sources, for the interpreters that tests start without
# pytest's path (fuzz_driver.py imports this file).
PYTHON_DIR = Path(__file__).resolve().parents[1] / "python"


def panic_exception():
    """The class of the internal stops of both native modules: not an
    attribute of quarnel, whose attributes are its twelve functions, but of
    the driver's native module, built on the same library."""
    from quarnel_cluster import _native
    return _native.PanicException


@pytest.fixture(scope="session")
def PanicException():
    return panic_exception()


def with_driver_path():
    """PYTHONPATH for a child interpreter that imports the driver's package
    from this work tree."""
    return os.pathsep.join([str(PYTHON_DIR), *filter(None, [os.environ.get("PYTHONPATH")])])


def run_python(code, env=None, timeout=300):
    """Runs `code` in a fresh interpreter; returns the completed process."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=full_env, timeout=timeout)
