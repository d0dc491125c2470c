"""The `tevu` package: re-exports, version, the panic type, and stubs that
match the extension."""

import ast
import importlib.metadata
import inspect
import pathlib

import numpy as np
import pytest

import _tevu
import tevu
from conftest import PanicException

STUB = pathlib.Path(__file__).resolve().parent.parent / "src" / "python" / "_tevu.pyi"


def test_reexports_are_the_extension_objects():
    names = [n for n in _tevu.__all__ if n in tevu.__all__]
    assert len(names) >= 9
    for name in names:
        assert getattr(tevu, name) is getattr(_tevu, name)


def test_version_matches_the_distribution():
    assert tevu.__version__ == importlib.metadata.version("tevu")


def test_panic_exception_is_caught_by_name():
    assert tevu.PanicException is PanicException
    target = tevu.PreparedF64(np.zeros((2, 3)), np.array([0, 1, 2], np.uint32),
                              np.array([1, 7], np.uint32))
    with pytest.raises(tevu.PanicException, match="index out of bounds"):
        target.query_prepared(target)


def stub_tree():
    return ast.parse(STUB.read_text())


def parameters(node):
    """Parameter names of a stub function, without self."""
    args = node.args
    names = [a.arg for a in args.posonlyargs + args.args + args.kwonlyargs]
    return [n for n in names if n != "self"]


def runtime_parameters(obj):
    return [p for p in inspect.signature(obj).parameters if p != "self"]


def stub_functions():
    return {n.name: n for n in stub_tree().body if isinstance(n, ast.FunctionDef)}


def stub_classes():
    return {n.name: n for n in stub_tree().body if isinstance(n, ast.ClassDef)}


@pytest.mark.parametrize("name", sorted(stub_functions()))
def test_stub_functions_match_the_extension(name):
    assert parameters(stub_functions()[name]) == runtime_parameters(getattr(_tevu, name))


@pytest.mark.parametrize("name", sorted(stub_classes()))
def test_stub_classes_match_the_extension(name):
    cls = getattr(_tevu, name)
    members = {n.name: n for n in stub_classes()[name].body if isinstance(n, ast.FunctionDef)}
    public = {m for m in vars(cls) if not m.startswith("_")}
    assert set(members) - {"__init__"} == public
    for member, node in members.items():
        if member == "__init__":
            assert parameters(node) == runtime_parameters(cls)
        elif isinstance(vars(cls)[member], staticmethod) or callable(vars(cls)[member]):
            assert parameters(node) == runtime_parameters(getattr(cls, member)), member
        else:
            assert [d.id for d in node.decorator_list] == ["property"], member


def test_every_extension_class_has_stubs():
    classes = {n for n in _tevu.__all__ if isinstance(getattr(_tevu, n), type)}
    assert classes == set(stub_classes())


@pytest.mark.parametrize("precision", [np.float64, np.float32])
def test_rebuilding_accessors_return_what_was_given(precision):
    rng = np.random.default_rng(5)
    points = rng.random((6, 4)).astype(precision)
    indptr = np.array([0, 2, 2, 3, 5, 5, 6], np.uint32)
    indices = np.array([1, 3, 0, 2, 5, 4], np.uint32)
    cls, grouped_cls = ((tevu.PreparedF64, tevu.GroupedQueriesF64) if precision == np.float64
                        else (tevu.PreparedF32, tevu.GroupedQueriesF32))
    prepared = cls(points, indptr[::1], indices)
    assert np.array_equal(prepared.indptr, indptr) and prepared.indptr.dtype == np.uint32
    assert np.array_equal(prepared.indices, indices) and prepared.indices.dtype == np.uint32
    other = cls(points[:2], np.zeros(3, np.uint32), np.zeros(0, np.uint32))
    perms = [rng.permutation(6), None, np.arange(3)]
    grouped = grouped_cls.prepare([prepared, other], perms)
    concatenated = np.concatenate([points[:, :3], points[:2, :3]])
    assert np.array_equal(grouped.points, concatenated[grouped.perm])
    assert grouped.points.dtype == precision
    kept = grouped.query_perms
    assert len(kept) == 3 and kept[1] is None
    for got, given in zip(kept[::2], perms[::2]):
        assert got.dtype == np.int64 and np.array_equal(got, given)
