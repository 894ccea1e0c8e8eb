"""Module entry: table, docs, re-import, the roads out of a call."""
import importlib
import inspect
import sys

import numpy as np
import pytest

import quarnel
from conftest import run_python, with_driver_path

NAMES = ["knn_query", "knn_query_cross", "epanechnikov_kde", "find_optimal_bandwidth",
         "bandwidth_estimate", "round_float", "compute_delta", "assign_cluster",
         "find_nh_tree_search", "check_cluster_stability", "stability_loop", "adaptive_trim_size"]


def test_all_in_table_order_and_module_doc():
    assert quarnel.__all__ == NAMES
    assert quarnel.__doc__ == "Quarnel \u2014 native accelerated core."
    for name in NAMES:
        f = getattr(quarnel, name)
        assert type(f).__name__ == "builtin_function_or_method"
        assert f.__module__ == "quarnel"
        assert f.__self__ is quarnel


@pytest.mark.parametrize("name, params", [
    ("knn_query", ["x", "k"]),
    ("knn_query_cross", ["x_train", "x_query", "k"]),
    ("stability_loop", ["x", "rho", "idx_centers_in", "nn_delta_in", "delta_in", "nn_list",
                        "density_graph_in", "threshold", "search_size"]),
])
def test_text_signatures(name, params):
    sig = inspect.signature(getattr(quarnel, name))
    assert list(sig.parameters) == params
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty
               for p in sig.parameters.values())


@pytest.mark.parametrize("module, stub", [("quarnel", "quarnel.pyi"),
                                          ("quarnel_cluster._native", "quarnel_cluster/_native.pyi")])
def test_type_stub_matches_the_module(module, stub):
    """Each extension's stub declares exactly its functions, with their
    parameters: a function added or renamed in C++ must reach the stub."""
    import ast
    from pathlib import Path
    native = importlib.import_module(module)
    stub = Path(__file__).resolve().parents[1] / "python" / stub
    declared = {f.name: [a.arg for a in f.args.args + f.args.kwonlyargs]
                for f in ast.parse(stub.read_text()).body if isinstance(f, ast.FunctionDef)}
    public = [name for name in dir(native) if callable(getattr(native, name))
              and not name.startswith("_") and name != "PanicException"]
    assert sorted(declared) == sorted(public)
    for name, params in declared.items():
        assert list(inspect.signature(getattr(native, name)).parameters) == params, name


def test_docstrings():
    assert quarnel.round_float.__doc__ == "Round a float to its first significant digit."
    assert quarnel.knn_query.__doc__ == (
        "Build a kd-tree and query k nearest neighbors for all points.\n"
        "Returns (nn_dist, nn_indices) as flat numpy arrays that Python reshapes to (n, k).")


def test_reimport_returns_same_module():
    first = sys.modules.pop("quarnel")
    try:
        again = importlib.import_module("quarnel")
        assert again is first
        assert again.knn_query is first.knn_query
        assert again.__all__ == NAMES
    finally:
        sys.modules["quarnel"] = first


def test_subinterpreter_import_refused():
    code = """
import quarnel
try:
    import _testcapi
except ImportError:
    raise SystemExit(77)
r = _testcapi.run_in_subinterp("import sys\\ntry:\\n import quarnel\\nexcept ImportError as e:\\n sys.stderr.write('IMPORTERROR ' + str(e))\\n")
print(quarnel.knn_query.__name__)
"""
    proc = run_python(code)
    if proc.returncode == 77:
        pytest.skip("no _testcapi")
    assert proc.returncode == 0, proc.stderr
    assert "do not yet support subinterpreters" in proc.stderr
    assert proc.stdout.strip() == "knn_query"


DRIVER_MODULE_IN_SUBINTERPRETER = """
from quarnel_cluster import _native
try:
    import _testcapi
except ImportError:
    raise SystemExit(77)
r = _testcapi.run_in_subinterp(f'''
import importlib.util, sys
spec = importlib.util.spec_from_file_location("quarnel_cluster._native", {_native.__file__!r})
try:
    importlib.util.module_from_spec(spec)
except ImportError as e:
    sys.stderr.write("IMPORTERROR " + str(e))
''')
print(_native.knn_table.__name__)
"""


def test_driver_module_refuses_subinterpreters_too():
    """The driver's native module shares quarnel's process-wide state and
    refuses a second interpreter as quarnel does."""
    proc = run_python(DRIVER_MODULE_IN_SUBINTERPRETER, env={"PYTHONPATH": with_driver_path()})
    if proc.returncode == 77:
        pytest.skip("no _testcapi")
    assert proc.returncode == 0, proc.stderr
    assert "IMPORTERROR quarnel keeps process-wide state" in proc.stderr
    assert proc.stdout.strip() == "knn_table"


def test_panic_is_base_exception_with_message(PanicException, capfd):
    assert issubclass(PanicException, BaseException)
    assert not issubclass(PanicException, Exception)
    x = np.random.default_rng(0).random((5, 3))
    with pytest.raises(PanicException) as info:
        try:
            quarnel.knn_query_cross(x, x[:, :2], 1)
        except Exception:  # must not catch it
            pytest.fail("PanicException caught by 'except Exception'")
    assert str(info.value) == "ndarray: index out of bounds"
    assert info.value.args == ("ndarray: index out of bounds",)
    err = capfd.readouterr().err
    assert "ndarray: index out of bounds" in err and "thread" in err


def test_value_error_is_not_a_panic():
    with pytest.raises(ValueError, match=r"^Dimensionality 9 not supported \(must be 2-8\)$"):
        quarnel.knn_query(np.zeros((0, 9)), 1)


def test_numpy_located_lazily_and_failure_is_a_panic():
    code = """
import sys
import quarnel                      # importing the module does not import numpy
assert "numpy" not in sys.modules
sys.modules["numpy"] = None         # make numpy unimportable
try:
    quarnel.knn_query([[0.0, 0.0]], 1)
except BaseException as e:
    print(type(e).__name__, str(e))
"""
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith("PanicException Failed to access NumPy array API capsule")
