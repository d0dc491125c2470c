"""Module entry: contents, docstrings, the panic exception."""

import inspect

import numpy as np
import pytest

import _tevu
from conftest import PanicException

# Registration order; `__all__` must follow it.
EXPECTED_ALL = [
    "all_nearest_neighbours",
    "all_nearest_neighbours_f32",
    "all_nearest_neighbours_k",
    "all_nearest_neighbours_k_f32",
    "graph_from_simplices",
    "PreparedF64",
    "PreparedF32",
    "GroupedQueriesF64",
    "GroupedQueriesF32",
    "delaunay_graph",
]

SIGNATURES = {
    "all_nearest_neighbours":
        "(x_points, x_indices, x_neighbors, y_points, y_indices, y_neighbors)",
    "all_nearest_neighbours_f32":
        "(x_points, x_indices, x_neighbors, y_points, y_indices, y_neighbors)",
    "all_nearest_neighbours_k":
        "(x_points, x_indices, x_neighbors, y_points, y_indices, y_neighbors, k, ef)",
    "all_nearest_neighbours_k_f32":
        "(x_points, x_indices, x_neighbors, y_points, y_indices, y_neighbors, k, ef)",
    "graph_from_simplices": "(simplices, n_points)",
    "delaunay_graph": "(points, *, workers=1)",
}


def test_all_lists_the_contents_in_order():
    assert _tevu.__all__ == EXPECTED_ALL
    for name in EXPECTED_ALL:
        assert hasattr(_tevu, name)


def test_module_docstring():
    assert _tevu.__doc__ and "\n" not in _tevu.__doc__.strip()


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_text_signatures(name):
    fn = getattr(_tevu, name)
    assert fn.__text_signature__ == SIGNATURES[name]
    assert str(inspect.signature(fn)) == SIGNATURES[name]
    # The docstring proper is prose after the signature lines.
    assert fn.__doc__.strip() and not fn.__doc__.startswith(name)
    assert fn.__module__ == "_tevu"


def test_panic_exception():
    assert PanicException.__name__ == "PanicException"
    assert PanicException.__bases__ == (BaseException,)
    assert not issubclass(PanicException, Exception)
    assert "BaseException" in PanicException.__doc__
    assert not hasattr(_tevu, "PanicException")
    # The same type object every time.
    with pytest.raises(PanicException):
        _tevu.all_nearest_neighbours_f32(
            np.zeros((1, 2), np.float32), np.zeros(2, np.uint32), np.zeros(0, np.uint32),
            np.zeros((1, 3), np.float32), np.zeros(2, np.uint32), np.zeros(0, np.uint32))
