"""Finite points too far apart for their squared distance (1.3e154 in
float64, 1.8e19 in float32): a descent that ends at an infinite squared
distance between finite points compared nothing but infinities on its way,
so every search refuses with ValueError rather than answer. Just below the
limit every search answers exactly; a point with an infinite coordinate is
infinitely far, as given, and refuses nothing."""

import numpy as np
import pytest

import _tevu
import oracle
from conftest import FLOATS

PRECISIONS = sorted(FLOATS)
PREPARED = {"f64": _tevu.PreparedF64, "f32": _tevu.PreparedF32}
GROUPED = {"f64": _tevu.GroupedQueriesF64, "f32": _tevu.GroupedQueriesF32}
NEAREST = {"f64": _tevu.all_nearest_neighbours, "f32": _tevu.all_nearest_neighbours_f32}
NEAREST_K = {"f64": _tevu.all_nearest_neighbours_k, "f32": _tevu.all_nearest_neighbours_k_f32}
# Offsets of the far cluster: squares overflow at the first, not at the second.
FAR = {"f64": (1e160, 1e150), "f32": (1e20, 1e18)}


def two_clusters(f, offset, seed=0):
    """40 points around the origin (ids 0-39, so descents start there) and
    40 around (offset, offset, offset), each cluster spread over a tenth of
    the offset, with the Delaunay graph of all 80."""
    rng = np.random.default_rng(seed)
    near = rng.random((40, 3)) * 0.1 * offset
    far = offset + rng.random((40, 3)) * 0.1 * offset
    points = np.concatenate([near, far]).astype(f)
    return points, *_tevu.delaunay_graph(points)


def edgeless(n):
    return np.zeros(n + 1, np.uint32), np.zeros(0, np.uint32)


def searches(prec, target, queries, bound=None):
    """Every search of `target` for `queries` (points without edges), each
    returning (distances, indices) of the nearest; `bound` (default: the
    largest float) for the bounded ones."""
    f = FLOATS[prec]
    query = PREPARED[prec](queries, *edgeless(len(queries)))
    prepared = PREPARED[prec](*target)
    grouped = GROUPED[prec].prepare([query], [None])
    bound = f(np.finfo(f).max if bound is None else bound)

    def first(result):
        return result[0][:, 0], result[1][:, 0]

    return {
        "arrays": lambda: NEAREST[prec](queries, *edgeless(len(queries)), *target),
        "query": lambda: prepared.query(queries, *edgeless(len(queries))),
        "query_prepared": lambda: prepared.query_prepared(query),
        "bounded": lambda: prepared.query_prepared(query, bound),
        "blocked 1": lambda: prepared.query_prepared_blocked(query, 1),
        "blocked 8": lambda: prepared.query_prepared_blocked(query, 8),
        "grouped": lambda: prepared.query_grouped(grouped, None, 8),
        "k arrays": lambda: first(NEAREST_K[prec](queries, *edgeless(len(queries)), *target,
                                                  2, 8)),
        "query_k": lambda: first(prepared.query_k(queries, *edgeless(len(queries)), 2, 8)),
        "query_prepared_k": lambda: first(prepared.query_prepared_k(query, 2, 8)),
        "bounded k": lambda: first(prepared.query_prepared_k(query, 2, 8, bound)),
    }


SEARCHES = list(searches("f64", two_clusters(np.float64, 1.0), np.zeros((1, 3))))


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("search", SEARCHES)
def test_far_cluster_is_refused_or_found(prec, search):
    """Queries on the far cluster's own points, starting from the near one:
    every squared distance there is infinite. A descent stays among those
    infinities and refuses; a k-nearest walk may explore on until it finds
    the query point itself, but never answers anything else, nor takes the
    infinities for misses beyond a bound."""
    f = FLOATS[prec]
    target = two_clusters(f, FAR[prec][0])
    call = searches(prec, target, target[0][40:], bound=FAR[prec][1])[search]
    try:
        dist, idx = call()
    except ValueError as exc:
        assert exc.args == (oracle.OVERFLOW,)
        return
    assert search.startswith(("k ", "bounded k", "query_k", "query_prepared_k")), \
        "a descent answered"
    np.testing.assert_array_equal(idx, np.arange(40, 80))
    np.testing.assert_array_equal(dist, 0)


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("search", SEARCHES)
def test_below_the_limit_every_answer_is_exact(prec, search):
    f = FLOATS[prec]
    target = two_clusters(f, FAR[prec][1])
    rng = np.random.default_rng(1)
    queries = np.concatenate([target[0][::3], target[0][1::4] * f(1.01)]).astype(f)
    queries = queries[rng.permutation(len(queries))]
    dist, idx = searches(prec, target, queries)[search]()
    # Scaled down by a power of two, the brute-force distances are exact
    # multiples of the scaled ones.
    scale = f(2.0 ** -(np.frexp(FAR[prec][1])[1]))
    d2 = (((target[0][None] * scale - queries[:, None] * scale) ** 2).sum(axis=2))
    np.testing.assert_array_equal(d2[np.arange(len(queries)), idx], d2.min(axis=1))
    np.testing.assert_allclose(dist * scale, np.sqrt(d2.min(axis=1)), rtol=1e-5)


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("search", SEARCHES)
def test_infinite_coordinates_are_infinitely_far(prec, search):
    """A query point at infinity is infinitely far from every target point;
    a target point at infinity from every query point. Neither is refused."""
    f = FLOATS[prec]
    points, indptr, indices = two_clusters(f, 1.0)
    points[5] = [np.inf, 0, 0]
    queries = np.array([[np.inf, 0.5, 0.5], [0.05, 0.05, 0.05], [-np.inf, 0, 0]], f)
    dist, idx = searches(prec, (points, indptr, indices), queries)[search]()
    assert np.isposinf(dist[[0, 2]]).all()
    want = np.argmin(((points[:40] - queries[1]) ** 2).sum(axis=1))
    assert (dist[1], idx[1]) == (np.sqrt(((points[want] - queries[1]) ** 2).sum()), want)
