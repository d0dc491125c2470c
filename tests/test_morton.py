"""Morton order, seen through the `perm` of a grouped query set."""

import numpy as np
import pytest

import _tevu
from conftest import empty_graph

GROUPED = {np.float64: (_tevu.GroupedQueriesF64, _tevu.PreparedF64),
           np.float32: (_tevu.GroupedQueriesF32, _tevu.PreparedF32)}


def morton_perm(points, dtype=np.float64):
    """The grouped set's permutation of one cloud, in its precision."""
    grouped, prepared = GROUPED[dtype]
    pts = np.asarray(points, dtype=dtype).reshape(-1, 3)
    return grouped.prepare([prepared(pts, *empty_graph(len(pts)))], [None]).perm


def spread(cells):
    key = np.zeros(len(cells), np.uint64)
    for bit in range(21):
        key |= ((cells >> np.uint64(bit)) & np.uint64(1)) << np.uint64(3 * bit)
    return key


def model_keys(points):
    """Keys computed literally: NaN-ignoring box, flat axes scaled by 1,
    divide then multiply, truncation with saturation, low 21 bits."""
    p = np.asarray(points, np.float64)
    with np.errstate(all="ignore"):
        lo = np.fmin.reduce(p, axis=0, initial=np.inf)
        hi = np.fmax.reduce(p, axis=0, initial=-np.inf)
        ext = hi - lo
        ext[ext == 0.0] = 1.0
        t = (p - lo) / ext * 2097151.0
        cells = np.where(t >= 2.0**64, np.uint64(2**64 - 1),
                         np.where(t > 0, t, 0).astype(np.uint64)) & np.uint64(0x1FFFFF)
    return spread(cells[:, 0]) | spread(cells[:, 1]) << np.uint64(1) | spread(cells[:, 2]) << np.uint64(2)


@pytest.mark.parametrize("points,want", [
    ([(0, 0, 1), (0, 1, 0), (1, 0, 0), (0, 0, 0)], [3, 2, 1, 0]),
    ([(0, 0, 0), (0.5, 0.5, 0.5), (1, 1, 1)], [0, 1, 2]),
    ([(7, -3, 2)], [0]),
    # Flat in z: only the x and y bits order the points (x owns the lowest bit).
    ([(1, 1, 5), (0, 1, 5), (1, 0, 5), (0, 0, 5)], [3, 2, 1, 0]),
    # A NaN leaves the others' box alone and falls into cell 0 of its axis,
    # so (nan, 1, 1) sorts just before (0.999, 1, 1).
    ([(1, 1, 1), (np.nan, 1, 1), (0, 0, 0), (0.999, 1, 1)], [2, 1, 3, 0]),
])
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_worked_examples(points, want, dtype):
    assert morton_perm(points, dtype).tolist() == want


def test_model_reproduces_the_worked_keys():
    """The reference model above is the one the random clouds are checked with."""
    keys = model_keys([(0, 0, 1), (0, 1, 0), (1, 0, 0), (0, 0, 0)])
    assert keys.tolist() == [0x4924924924924924, 0x2492492492492492, 0x1249249249249249, 0]
    keys = model_keys([(0, 0, 0), (0.5, 0.5, 0.5), (1, 1, 1)])
    assert keys.tolist() == [0, 0x0FFFFFFFFFFFFFFF, 0x7FFFFFFFFFFFFFFF]


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("scale", [(1, 1, 1), (1e-6, 1e3, 1), (5, 5, 0)])
def test_random_clouds_follow_the_keys(dtype, scale):
    rng = np.random.default_rng(int(sum(scale) * 10))
    pts = (rng.random((3000, 3)) * scale - 0.3).astype(dtype)
    pts[5, 0] = np.nan
    pts[6, 2] = np.inf  # widens its axis to infinity: every cell of that axis is 0
    keys = model_keys(pts)
    assert np.unique(keys).size == keys.size  # so the order is fully determined
    np.testing.assert_array_equal(morton_perm(pts, dtype), np.argsort(keys))


def test_identical_points_give_some_permutation():
    perm = morton_perm(np.ones((50, 3)))
    assert sorted(perm.tolist()) == list(range(50))


def test_perm_spans_clouds():
    """The sort runs over the concatenation of all clouds."""
    a = _tevu.PreparedF64(np.array([[1.0, 1, 1], [0, 0, 0]]), *empty_graph(2))
    b = _tevu.PreparedF64(np.array([[0.5, 0.5, 0.5]]), *empty_graph(1))
    grouped = _tevu.GroupedQueriesF64.prepare([a, b], [None, None])
    assert grouped.perm.tolist() == [1, 2, 0]
