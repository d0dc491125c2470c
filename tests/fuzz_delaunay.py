"""Hypothesis strategies for delaunay_graph, in the form of fuzz_strategies
(one `HOSTILE` table).

Coordinates are hostile: NaN, infinities, signed zeros, extreme and
subnormal magnitudes, exact ties on small integer grids, repeated rows,
points on one plane or one line, exactly or as rotated in floating point,
in float64 or float32 and in any layout.
A call must raise exactly the documented error (the first non-finite row,
too few columns, sizes beyond 32-bit ids, a bad `workers`), or return a
well-formed graph; where squared distances stay far from overflow and
underflow and rounding tells points apart, greedy descent on it must also
find exact nearest neighbours.
"""

import functools
import math
import operator

import numpy as np
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import _tevu
from conftest import brute_nearest
from fuzz_strategies import HUGE_ROWS, Call, array_arg, ignore, passing, sizes



def resolvable(points):
    """Whether double-precision distances tell every two distinct points
    apart for queries around the cloud: a descent compares rounded squared
    distances, so points far closer together than the rounding of a query's
    distance tie, and it may stop on either of them."""
    distinct = np.unique(points, axis=0)
    if len(distinct) < 2:
        return True
    scale = 1.0 + np.abs(points).max()
    if scale > 1e30:
        return False
    gaps = np.sqrt(((distinct[:, None] - distinct[None]) ** 2).sum(axis=2))
    return gaps[np.triu_indices(len(distinct), 1)].min() >= 1e-7 * scale


TILT = np.array([[0.36, 0.48, -0.8], [-0.8, 0.6, 0.0], [0.48, 0.64, 0.6]])


def coordinates(dtype, finite):
    info = np.finfo(dtype)
    # Each exactly representable in dtype: hypothesis rejects an element that
    # the array rounds, which under NumPy 1.x it sees by comparing in float64.
    extremes = [-0.0, float(info.max), -float(info.tiny), float(info.smallest_subnormal),
                float(dtype(1e-20)), float(dtype(1e20))] + (
                    [] if finite else [np.nan, np.inf, -np.inf])
    width = 32 if dtype == np.float32 else 64
    return st.one_of(st.integers(-2, 2).map(float), st.floats(-4, 4, width=width),
                     st.sampled_from(extremes))


@st.composite
def shaped(draw, array):
    """Rows made degenerate now and then: repeated, on a plane, on a line."""
    if len(array) < 2 or array.shape[1] < 3:
        return array
    kind = draw(st.sampled_from(["as drawn"] * 4 + ["repeated rows", "plane", "line",
                                                    "tilted plane", "tilted line"]))
    if kind == "repeated rows":
        picks = draw(st.lists(st.integers(0, len(array) - 1), min_size=len(array),
                              max_size=len(array)))
        return array[picks]
    out = array.copy()
    out[:, 2] = out[0, 2]
    if kind.endswith("line"):
        out[:, 1] = out[0, 1]
    if kind.startswith("tilted"):
        # Rotated in floating point: nearly, not exactly, flat or straight.
        with np.errstate(all="ignore"):
            out[:, :3] = (out[:, :3].astype(np.float64) @ TILT.T).astype(out.dtype)
    return out


@st.composite
def delaunay_calls(draw):
    dtype = draw(st.sampled_from([np.float64, np.float32]))
    rows = draw(st.integers(0, 40))
    cols = draw(st.sampled_from([3] * 8 + [4, 2, 0]))
    elements = coordinates(dtype, finite=draw(st.integers(0, 3)) > 0)
    array = draw(shaped(draw(hnp.arrays(dtype, (rows, cols), elements=elements))))
    points = draw(array_arg("points", array, dtype, HUGE_ROWS))
    value = points.value
    if (points.error is TypeError and isinstance(value, np.ndarray) and value.ndim == 2
            and value.dtype in (np.dtype(np.float64), np.dtype(np.float32))):
        points.error = None  # either precision is accepted
    workers = draw(sizes("workers", small=st.integers(0, 3), ints=12))
    workers.optional = True
    if workers.error is None and operator.index(workers.value) == 0:
        workers.error, workers.message = ValueError, "argument 'workers': must be at least 1"
    call = draw(passing(Call(_tevu.delaunay_graph, [points, workers], check=ignore)))
    call.positional = min(call.positional, 1)  # workers is keyword-only
    if points.error is None:
        expect_graph(call, points)
    return call


def expect_graph(call, points):
    value = points.value
    rows, cols = value.shape
    if rows and cols < 3:
        call.panic, call.message = True, "ndarray: index out of bounds"
    elif points.huge:
        call.panic, call.message = True, "capacity overflow"
    else:
        xyz = np.asarray(value[:, :3], dtype=np.float64)
        bad = np.flatnonzero(~np.isfinite(xyz).all(axis=1))
        tiny = first_unscalable(xyz) if not len(bad) else None
        if len(bad):
            call.value_error = (f"points: row {bad[0]} has a coordinate that is not finite "
                                "(nan or inf)")
        elif tiny is not None:
            call.value_error = (f"points: row {tiny} has a coordinate over 2^1021 times smaller "
                                "than the largest one (and not 0), beyond what exact tests can "
                                "take")
        else:
            call.panic = False
            call.check = functools.partial(check_graph, points=xyz)


def first_unscalable(xyz):
    """The first row with a coordinate that scaling the largest magnitude
    into [1, 2) by a power of two would round, or None."""
    largest = float(np.abs(xyz).max(initial=0.0))
    if largest == 0.0:
        return None
    e = math.frexp(largest)[1] - 1
    back = np.ldexp(np.ldexp(xyz, -e), e)
    rows = np.flatnonzero((back != xyz).any(axis=1))
    return int(rows[0]) if len(rows) else None


def check_graph(result, points):
    assert type(result) is tuple and len(result) == 2
    for a in result:
        assert type(a) is np.ndarray and a.dtype == np.uint32 and a.ndim == 1
        assert a.flags.c_contiguous and a.flags.writeable
    indptr, indices = result
    n = len(points)
    assert len(indptr) == n + 1 and indptr[0] == 0 and indptr[-1] == len(indices)
    assert np.all(np.diff(indptr.astype(np.int64)) >= 0) and np.all(indices < max(n, 1))
    pairs = set()
    for v in range(n):
        nbrs = indices[indptr[v]:indptr[v + 1]].astype(np.int64)
        assert np.all(np.diff(nbrs) > 0) and v not in nbrs
        pairs.update((v, int(w)) for w in nbrs)
    assert all((w, v) in pairs for v, w in pairs)
    if n == 0 or not resolvable(points):
        return
    # Every point's own position, and points around the cloud, answered
    # exactly by descents seeded anywhere.
    rng = np.random.default_rng(n)
    lo, hi = points.min(axis=0), points.max(axis=0)
    queries = np.r_[points, lo + (hi - lo + 1) * rng.random((20, 3)) - 0.5]
    no_edges = np.zeros(len(queries) + 1, np.uint32), np.zeros(0, np.uint32)
    dist, _ = _tevu.all_nearest_neighbours(queries, *no_edges, points, indptr, indices)
    np.testing.assert_array_equal(dist, brute_nearest(queries, points)[0])


HOSTILE = {"delaunay_graph": delaunay_calls()}
