"""Hypothesis strategies for the k-nearest callables: all_nearest_neighbours_k
(_f32) and the prepared classes' query_k and query_prepared_k, in the form of
fuzz_strategies (one `HOSTILE` and one `MODELLED` table).

`k` is now and then so large that a single row of results exceeds the address
space (which must fail with "capacity overflow", also without query rows),
`ef` now and then so large that nothing could be sized by it (which must
work).
"""

import functools
import math
import operator

import numpy as np
from hypothesis import strategies as st

import _tevu
import oracle
from fuzz_strategies import (FLOATS, PREPARED, X_NAMES, Y_NAMES, Call, as_points, bound_value,
                             bounds, check_pair, cloud_may_overflow, clouds, ignore, laid_out,
                             lane_squares, model_bounds, others, passing, prepared, sizes, wellformed_clouds,
                             wellformed_queries,
                             within)

NEAREST_K = {"f64": _tevu.all_nearest_neighbours_k, "f32": _tevu.all_nearest_neighbours_k_f32}
X_ARG_NAMES = ("x_points", "x_indptr", "x_indices")


def ks():
    # 2^60 entries of 8 bytes: no row of results that long can exist.
    return sizes("k", st.integers(0, 6), huge=(2**60, 2**63, 2**64 - 1))


def efs():
    # Mostly valid: a call with two integer arguments would seldom get far.
    return sizes("ef", st.integers(0, 10), large=(2**40, 2**63, 2**64 - 1), ints=24)


def check_knn(result, *, n, k, ef, dtype, query, target, bound):
    """(n, k) rows, each a run of distinct target points whose distances are
    the ones reported, within the bound and ascending (rows with a NaN
    distance aside), then miss markers. A row holds at most `ef` points
    (unless `ef` is 0) and, without a bound, at least one."""
    dist, idx = check_pair(result, (n, k), dtype)
    if k == 0:
        return  # no entries; the rows may be more than any array could count
    ny = len(target)
    assert np.all(idx <= ny)
    miss = idx == ny
    assert np.all(np.isposinf(dist[miss]))
    filled = (~miss).sum(axis=1)
    assert np.array_equal(miss, np.arange(k)[None, :] >= filled[:, None]), "a miss before a hit"
    if ef:
        assert np.all(filled <= ef)
    if bound is None and k:
        assert np.all(filled >= 1)
    rows, cols = np.nonzero(~miss)
    assert np.all(rows < len(query)), "a query point without coordinates was answered"
    d2 = lane_squares(query[rows], target[idx[rows, cols]], dtype)
    with np.errstate(all="ignore"):
        np.testing.assert_array_equal(dist[rows, cols], np.sqrt(d2))
    if bound is not None:
        assert np.all(within(d2, bound, dtype))
    for r in range(n):
        ids, d = idx[r, :filled[r]], dist[r, :filled[r]]
        assert len(set(ids.tolist())) == len(ids), f"row {r} repeats a point"
        assert np.isnan(d).any() or np.all(d[:-1] <= d[1:]), f"row {r} is not ascending"


def knn_check(query, target, dtype, k, ef, bound=None):
    """The check of a k-nearest search of `target` for the `query` cloud."""
    return functools.partial(check_knn, n=query.n_vertices(), k=operator.index(k.value),
                             ef=operator.index(ef.value), dtype=dtype,
                             query=as_points(query.points.value), target=target, bound=bound)


def expect_knn(call, query, packed, k, bound=None):
    """What a k-nearest search must do that packs the clouds `packed` (in
    that order) before it searches for `query`: fail in packing a cloud of
    fewer than three columns, else fail for a huge k or a query without
    offsets, and for more offsets than any traversal could take, unless a
    bound (not NaN) may answer the whole cloud with misses first. Huge points
    may run out of memory first."""
    if any(c.points.huge for c in packed):
        return
    if not all(c.packs() for c in packed):
        call.panic, call.message = True, "ndarray: index out of bounds"
    elif k.huge or query.indptr.huge or query.n_vertices() < 0:
        call.panic = True
        if not query.indptr.huge:
            call.message = "capacity overflow"
        elif bound is not None and not math.isnan(bound) and not k.huge:
            # The result arrays come first (with k = 0 they hold nothing),
            # then the bound's test of the whole cloud, then the traversal.
            call.panic = None


@st.composite
def nearest_k_calls(draw, prec):
    dtype = FLOATS[prec]
    x, y = draw(clouds(dtype, X_NAMES)), draw(clouds(dtype, Y_NAMES))
    k, ef = draw(ks()), draw(efs())
    call = draw(passing(Call(NEAREST_K[prec], x.args() + y.args() + [k, ef], check=ignore)))
    if call.conversion_error() is None:
        expect_knn(call, x, (x, y), k)
        call.check = knn_check(x, as_points(y.points.value), dtype, k, ef)
        call.overflow = not y.points.huge and cloud_may_overflow(x, y.points.value, dtype)
    return call


@st.composite
def query_k_calls(draw, prec):
    dtype = FLOATS[prec]
    target = draw(prepared(prec)).instance
    x = draw(clouds(dtype, X_ARG_NAMES))
    k, ef, bound = draw(ks()), draw(efs()), draw(bounds())
    call = draw(passing(Call(target.query_k, x.args() + [k, ef, bound], check=ignore)))
    if call.conversion_error() is None:
        value = bound_value(bound, call)
        expect_knn(call, x, (x,), k, value)
        call.check = knn_check(x, target.data, dtype, k, ef, value)
        call.overflow = cloud_may_overflow(x, target.data, dtype)
    return call


@st.composite
def query_prepared_k_calls(draw, prec):
    target = draw(prepared(prec))
    other, query = draw(others(prec, target))
    k, ef, bound = draw(ks()), draw(efs()), draw(bounds())
    call = draw(passing(Call(target.instance.query_prepared_k, [other, k, ef, bound],
                             check=ignore)))
    if call.conversion_error() is None:
        expect_knn(call, query, (), k)
        call.check = knn_check(query, target.instance.data, FLOATS[prec], k, ef,
                               bound_value(bound, call))
        call.overflow = cloud_may_overflow(query, target.instance.data, FLOATS[prec])
    return call


HOSTILE = {
    "all_nearest_neighbours_k": nearest_k_calls("f64"),
    "all_nearest_neighbours_k_f32": nearest_k_calls("f32"),
    "PreparedF64.query_k": query_k_calls("f64"),
    "PreparedF32.query_k": query_k_calls("f32"),
    "PreparedF64.query_prepared_k": query_prepared_k_calls("f64"),
    "PreparedF32.query_prepared_k": query_prepared_k_calls("f32"),
}


# ---------------------------------------------------------------------------
# Well-formed graphs, compared with the Python model of the walk

@st.composite
def modelled_knn(draw, prec, how):
    dtype = FLOATS[prec]
    x, y = draw(wellformed_queries(dtype)), draw(wellformed_clouds(dtype))
    k, ef = draw(st.integers(0, 5)), draw(st.integers(0, 8))
    if how == "arrays":
        # The CSR arrays are read through their strides, whatever they are.
        x = (x[0], draw(laid_out(x[1])), draw(laid_out(x[2])))
        y = (y[0], draw(laid_out(y[1])), draw(laid_out(y[2])))
        return (lambda: NEAREST_K[prec](*x, *y, k, ef)), (lambda: oracle.knn(*x, *y, k, ef, dtype))
    bound = draw(model_bounds)
    target = PREPARED[prec](*y)
    if how == "query_k":
        def got():
            return target.query_k(*x, k, ef, bound)
    else:
        def got():
            return target.query_prepared_k(PREPARED[prec](*x), k, ef, distance_upper_bound=bound)
    return got, (lambda: oracle.knn(*x, *y, k, ef, dtype, bound=bound))


MODELLED = {
    "all_nearest_neighbours_k": modelled_knn("f64", "arrays"),
    "all_nearest_neighbours_k_f32": modelled_knn("f32", "arrays"),
    "PreparedF64.query_k": modelled_knn("f64", "query_k"),
    "PreparedF32.query_k": modelled_knn("f32", "query_k"),
    "PreparedF64.query_prepared_k": modelled_knn("f64", "query_prepared_k"),
    "PreparedF32.query_prepared_k": modelled_knn("f32", "query_prepared_k"),
}
