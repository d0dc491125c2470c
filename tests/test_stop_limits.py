"""Descents into a prepared target stop without reading a vertex's neighbours
when the query point is well inside half the distance to the vertex's
nearest neighbour. That must never change an answer or a failure: the
queries here sit on, just inside and just outside that radius, next to
exact ties, on targets whose distances underflow or overflow, and every
search that descends into a prepared target is compared bit for bit with
the models, twice (the limits are kept after the first search)."""

import numpy as np
import pytest

import _tevu
import oracle
from conftest import (FLOATS, PanicException, csr_from_lists, delaunay_graph,
                      first_uses_in_threads, outcome, same)
from test_grouped import GROUPED
from test_nearest import PREPARED, random_graph

PRECISIONS = sorted(FLOATS)
# Fractions of the way from a vertex to its nearest neighbour: on the
# vertex, well inside, around the margin below one half, at one half (a tie).
STEPS = [0.0, 0.25, 0.5 * (1 - 1e-3), 0.5 * (1 - 2e-9), 0.5 * (1 - 1e-12), 0.5, 0.5 * (1 + 1e-9)]
SCALES = {"f64": [1.0, 1e-150, 1e-200, 1e150, 1e200], "f32": [1.0, 1e-17, 1e-21, 1e17, 1e19]}


def target_cloud(rng, f, scale, graph):
    pts = rng.integers(-5, 6, (120, 3)).astype(np.float64)
    if graph == "delaunay":
        pts += rng.random(pts.shape) * 0.5  # general position for the triangulation
        indptr, indices = delaunay_graph(pts)
    else:
        indptr, indices = random_graph(rng, len(pts), 7, len(pts))
    return (pts * scale).astype(f), indptr, indices


def boundary_queries(rng, target, f, scale):
    """Points on the way from vertices to their nearest neighbours (ties
    included), in random order, with a random query graph."""
    yp, indptr, indices = target
    y = yp.astype(np.float64) / scale  # chosen unscaled: squares could overflow
    out = []
    for u in rng.choice(len(y), 60, replace=False):
        ids = indices[indptr[u]:indptr[u + 1]]
        if len(ids) == 0:
            continue
        v = ids[np.argmin(((y[ids] - y[u]) ** 2).sum(axis=1))]
        out += [y[u] + t * (y[v] - y[u]) for t in STEPS]
    xp = (np.array(out) * scale).astype(f)
    xp = xp[rng.permutation(len(xp))]
    return (xp, *random_graph(rng, len(xp), 3, len(xp)))


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("scale_index", range(5))
@pytest.mark.parametrize("graph", ["delaunay", "random"])
def test_early_stops_keep_every_answer(prec, scale_index, graph):
    f = FLOATS[prec]
    rng = np.random.default_rng(scale_index + 10 * (graph == "random"))
    scale = SCALES[prec][scale_index]
    y = target_cloud(rng, f, scale, graph)
    x = boundary_queries(rng, y, f, scale)
    target, query = PREPARED[prec](*y), PREPARED[prec](*x)
    grouped = GROUPED[prec].prepare([query], [None])
    in_set_order = x[0][grouped.perm]
    with np.errstate(over="ignore"):  # squared distances overflow at the largest scale
        greedy = outcome(lambda: oracle.greedy(*x, *y, dtype=f))
        blocked = {block: (outcome(lambda: oracle.blocked(in_set_order, len(x[0]), *y, block, f)),
                           outcome(lambda: oracle.blocked(x[0], len(x[0]), *y, block, f)))
                   for block in (1, 3, 8)}
    for _ in range(2):
        assert same(outcome(lambda: target.query_prepared(query)), greedy)
        assert same(outcome(lambda: target.query(*x)), greedy)
        for block, (want_grouped, want_prepared) in blocked.items():
            assert same(outcome(lambda: target.query_grouped(grouped, None, block,
                                                             finalize=False)), want_grouped)
            assert same(outcome(lambda: target.query_prepared_blocked(query, block)),
                        want_prepared)


def copies_target(rng, f, graph):
    """40 points and 30 copies of a few of them. The built graph links each
    copy to its first one only; the random graph also links copies (first
    ones included) to other points, so that a copy may lead on."""
    pts = rng.random((40, 3))
    pts = np.concatenate([pts, pts[rng.integers(0, 5, 30)]]).astype(f)
    pts = pts[rng.permutation(len(pts))]
    if graph == "built":
        return pts, *_tevu.delaunay_graph(pts)
    lists = [set(rng.integers(0, len(pts), 3).tolist()) for _ in pts]
    for i, p in enumerate(pts):
        for j in np.flatnonzero((pts == p).all(axis=1)):
            lists[i].add(int(j))
    return pts, *csr_from_lists([sorted(l) for l in lists])


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("graph", ["built", "random"])
@pytest.mark.parametrize("seed", range(4))
def test_copies_keep_every_answer(prec, graph, seed):
    """A point's later copies are left out of its limit only when they lead
    nowhere else; queries sit on the copies, near them and anywhere."""
    f = FLOATS[prec]
    rng = np.random.default_rng(seed)
    y = copies_target(rng, f, graph)
    on = y[0][rng.integers(0, len(y[0]), 60)]
    near = on + rng.normal(scale=1e-3, size=on.shape).astype(f)
    xp = np.concatenate([on, near, rng.random((60, 3)).astype(f)]).astype(f)
    x = (xp, *random_graph(rng, len(xp), 3, len(xp)))
    target, query = PREPARED[prec](*y), PREPARED[prec](*x)
    grouped = GROUPED[prec].prepare([query], [None])
    greedy = oracle.greedy(*x, *y, dtype=f)
    blocked = oracle.blocked(xp[grouped.perm], len(xp), *y, 1, f)
    for _ in range(2):
        got = target.query_prepared(query)
        np.testing.assert_array_equal(got[0], greedy[0])
        np.testing.assert_array_equal(got[1], greedy[1])
        got = target.query_grouped(grouped, None, 1, finalize=False)
        np.testing.assert_array_equal(got[0], blocked[0])
        np.testing.assert_array_equal(got[1], blocked[1])


# Vertices 1 (and 2) are copies of vertex 0, on the only way to vertex
# `nearer`: the plateau at vertex 0 leads there, directly or through a second
# copy, so vertex 0's far neighbour must not give it a limit that ends the
# descent first.
COPIES_LEADING_ON = {
    "directly": ([[0, 0, 0], [0, 0, 0], [0.3, 0, 0], [5, 0, 0]], [[1, 3], [0, 2], [1], [0]], 2),
    "through a copy": ([[0, 0, 0], [0, 0, 0], [0, 0, 0], [0.3, 0, 0], [5, 0, 0]],
                       [[1, 4], [2], [1, 3], [2], [0]], 3),
}


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("way", sorted(COPIES_LEADING_ON))
def test_a_copy_that_leads_on_is_still_searched(prec, way):
    f = FLOATS[prec]
    points, lists, nearer = COPIES_LEADING_ON[way]
    target = PREPARED[prec](np.array(points, f), *csr_from_lists(lists))
    query = PREPARED[prec](np.full((8, 3), [0.2, 0, 0], f), *csr_from_lists([[]] * 8))
    for _ in range(2):
        assert target.query_prepared(query)[1].tolist() == [nearer] * 8
        assert target.query_prepared_blocked(query, 1)[1].tolist() == [nearer] * 8


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("block", [None, 1, 4])
def test_malformed_vertex_still_fails_when_reached(prec, block):
    """Vertex 0 lists a neighbour that does not exist. A query point sitting
    on vertex 0 reaches it; its far-away neighbours' limits would have
    allowed a stop there."""
    f = FLOATS[prec]
    yp = np.array([[0, 0, 0], [100, 0, 0], [0, 100, 0], [0, 0, 100]], f)
    target = PREPARED[prec](yp, *csr_from_lists([[1, 2, 3, 9], [0, 2], [0, 1, 3], [0, 2]]))
    far = PREPARED[prec](np.array([[100, 1, 0]], f), *csr_from_lists([[]]))
    on_zero = PREPARED[prec](np.array([[1, 0, 0]], f), *csr_from_lists([[]]))
    near_two = PREPARED[prec](np.array([[0, 99, 0]], f), *csr_from_lists([[]]))
    message = "^index out of bounds: the len is 4 but the index is 9$"
    for _ in range(2):
        if block is None:
            # The descent starts at vertex 0, and from far away it scans there.
            with pytest.raises(PanicException, match=message):
                target.query_prepared(far)
            with pytest.raises(PanicException, match=message):
                target.query_prepared(on_zero)
        else:
            with pytest.raises(PanicException, match=message):
                target.query_prepared_blocked(on_zero, block)
    # Vertex 2's list is sound, but the descent to it starts at vertex 0.
    with pytest.raises(PanicException, match=message):
        target.query_prepared(near_two)


def test_first_uses_of_a_target_from_many_threads():
    """Eight threads search the same fresh target at once, by two paths; the
    thread that works out the limits and those that wait all get the serial
    answers."""
    rng = np.random.default_rng(3)
    y = target_cloud(rng, np.float64, 1.0, "delaunay")
    x = boundary_queries(rng, y, np.float64, 1.0)
    query = PREPARED["f64"](*x)
    grouped = GROUPED["f64"].prepare([query], [None])
    searches = [lambda t: t.query_prepared(query), lambda t: t.query_grouped(grouped, None, 1)]
    want = [search(PREPARED["f64"](*y)) for search in searches]
    failures = first_uses_in_threads(lambda: PREPARED["f64"](*y), searches, want)
    assert failures == []
