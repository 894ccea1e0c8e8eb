"""Argument binding and conversion, result arrays, views of any strides."""
import gc
import sys

import numpy as np
import pytest

import quarnel

rng = np.random.default_rng(7)
X = rng.random((40, 3))


@pytest.mark.parametrize("call, message", [
    (lambda: quarnel.round_float(1.0, 2.0),
     "round_float() takes 1 positional arguments but 2 were given"),
    (lambda: quarnel.knn_query(X, 1, 2),
     "knn_query() takes 2 positional arguments but 3 were given"),
    (lambda: quarnel.knn_query(X, kk=1),
     "knn_query() got an unexpected keyword argument 'kk'"),
    (lambda: quarnel.knn_query(X, **{"k\udcff": 1}),
     "knn_query() got an unexpected keyword argument 'k\udcff'"),
    (lambda: quarnel.knn_query(X, x=X),
     "knn_query() got multiple values for argument 'x'"),
    (lambda: quarnel.compute_delta(X, X[:, 0], nn_list=None, x=X),
     "compute_delta() got multiple values for argument 'x'"),
    (lambda: quarnel.compute_delta(X, X[:, 0]),
     "compute_delta() missing 2 required positional arguments: 'nn_list' and 'nn_dist'"),
    (lambda: quarnel.compute_delta(nn_dist=X),
     "compute_delta() missing 3 required positional arguments: 'x', 'rho', and 'nn_list'"),
    (lambda: quarnel.knn_query(X),
     "knn_query() missing 1 required positional argument: 'k'"),
    (lambda: quarnel.knn_query_cross(),
     "knn_query_cross() missing 3 required positional arguments: 'x_train', 'x_query', and 'k'"),
])
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("value, type_name", [
    (X.astype(np.float32), "ndarray"),
    (X.astype(np.int64), "ndarray"),
    (X[:, 0], "ndarray"),            # wrong ndim
    (X.astype(">f8"), "ndarray"),    # byte-swapped
    (X.tolist(), "list"),
    (3, "int"),
    (None, "NoneType"),
])
def test_float_matrix_refusals(value, type_name):
    with pytest.raises(TypeError) as info:
        quarnel.knn_query(value, 1)
    assert str(info.value) == f"argument 'x': '{type_name}' object cannot be converted to 'PyArray<T, D>'"
    assert info.value.__cause__ is None


def test_int_matrix_refused_for_index_argument():
    with pytest.raises(TypeError, match=r"^argument 'nn_list': 'ndarray' object cannot be converted"):
        quarnel.compute_delta(X, X[:, 0], np.zeros((40, 2), np.int32), X)


@pytest.mark.parametrize("k, exc, message", [
    (-1, OverflowError, None),
    (2**64, OverflowError, None),
    (2.0, TypeError, "argument 'k': 'float' object cannot be interpreted as an integer"),
    ("3", TypeError, "argument 'k': "),
])
def test_size_scalar_errors(k, exc, message):
    with pytest.raises(exc) as info:
        quarnel.knn_query(X, k)
    assert type(info.value) is exc
    if message is None:
        assert not str(info.value).startswith("argument")
    else:
        assert str(info.value).startswith(message)


@pytest.mark.parametrize("k", [True, np.int64(3), np.uint8(2)])
def test_size_scalar_index_objects(k):
    d, i = quarnel.knn_query(X, k)
    assert len(d) == 40 * int(k)


def test_float_scalar_conversion():
    assert quarnel.round_float(-1) == 1.0        # int -1 converts to -1.0, not an error
    assert quarnel.round_float(np.float32(0.5)) == 0.1
    with pytest.raises(TypeError, match=r"^argument 'x': must be real number, not str$"):
        quarnel.round_float("1")
    with pytest.raises(OverflowError) as info:
        quarnel.round_float(10**400)
    assert not str(info.value).startswith("argument")


def test_relabelling_keeps_cause():
    class Bad:
        def __float__(self):
            try:
                raise KeyError("inner")
            except KeyError as e:
                raise TypeError("outer") from e
    with pytest.raises(TypeError) as info:
        quarnel.round_float(Bad())
    assert str(info.value) == "argument 'x': outer"
    assert isinstance(info.value.__cause__, KeyError)


def test_relabelling_skips_subclasses():
    class MyTypeError(TypeError):
        pass

    class Bad:
        def __float__(self):
            raise MyTypeError("mine")
    with pytest.raises(MyTypeError, match="^mine$"):
        quarnel.round_float(Bad())


def _strided_variants(a):
    big = np.zeros((a.shape[1] * 2, a.shape[0]))
    big[::2] = a.T
    return [
        np.asfortranarray(a),
        a[::-1][::-1],
        big[::2].T,                                   # strided rows and columns
        np.ascontiguousarray(a[::-1])[::-1],          # negative row stride
        np.ascontiguousarray(a[:, ::-1])[:, ::-1],    # negative column stride
    ]


@pytest.mark.parametrize("variant", range(5))
def test_views_of_any_strides(variant):
    a = rng.random((60, 3))
    v = _strided_variants(a)[variant]
    assert np.array_equal(v, a)
    expected = quarnel.knn_query(a, 5)
    got = quarnel.knn_query(v, 5)
    assert all(np.array_equal(e, g) for e, g in zip(expected, got))


def test_column_slice_and_readonly_and_subclass():
    wide = rng.random((50, 6))
    sliced = wide[:, ::2]
    expected = quarnel.knn_query(np.ascontiguousarray(sliced), 4)
    assert all(np.array_equal(e, g) for e, g in zip(expected, quarnel.knn_query(sliced, 4)))
    ro = np.ascontiguousarray(sliced)
    ro.flags.writeable = False
    assert all(np.array_equal(e, g) for e, g in zip(expected, quarnel.knn_query(ro, 4)))
    masked = np.ma.masked_array(ro, mask=np.zeros_like(ro, bool))
    assert all(np.array_equal(e, g) for e, g in zip(expected, quarnel.knn_query(masked, 4)))


def test_result_arrays_own_their_memory():
    x = rng.random((30, 2))
    before = x.copy()
    d, i = quarnel.knn_query(x, 3)
    assert (d.dtype, i.dtype) == (np.float64, np.int64)
    for a in (d, i):
        assert a.ndim == 1 and a.strides == (8,)
        assert a.flags.c_contiguous and a.flags.writeable and not a.flags.owndata
        assert a.base is not None and not isinstance(a.base, np.ndarray)
    assert not np.shares_memory(d, x)
    assert np.array_equal(x, before)
    del x
    gc.collect()
    d[:] = 1.0                      # writeable and still valid
    assert d.sum() == len(d)


def test_empty_result_arrays():
    d, i = quarnel.knn_query(np.zeros((0, 3)), 5)
    assert d.shape == (0,) and i.shape == (0,) and d.dtype == np.float64 and i.dtype == np.int64
    assert d.base is not None


def test_failed_conversion_leaves_no_hold():
    x = rng.random((10, 2))
    refs = sys.getrefcount(x)
    for _ in range(100):
        with pytest.raises(TypeError):
            quarnel.knn_query_cross(x, x, "bad")
    assert sys.getrefcount(x) == refs
    d, _ = quarnel.knn_query_cross(x, x, 2)          # accepted again at once
    assert len(d) == 20


def test_same_array_for_two_parameters():
    x = rng.random((20, 3))
    d, i = quarnel.knn_query_cross(x, x, 3)
    d2, i2 = quarnel.knn_query(x, 3)
    assert np.array_equal(d, d2) and np.array_equal(i, i2)
