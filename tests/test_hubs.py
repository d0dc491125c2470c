"""Targets with hubs: vertices joined to most of the cloud, whose lists the
descents answer from a tree once they have scanned them a few times."""

import numpy as np
import pytest

import _tevu
import oracle
from conftest import FLOATS, brute_nearest, csr_from_lists

PRECISIONS = sorted(FLOATS)
NEAREST = {"f64": _tevu.all_nearest_neighbours, "f32": _tevu.all_nearest_neighbours_f32}
PREPARED = {"f64": _tevu.PreparedF64, "f32": _tevu.PreparedF32}
# Lists shorter than this are never indexed.
HUB_DEGREE = 256


def hub_target(rng, f, n, special, pile=False):
    """Small integer points (exact ties everywhere) and a random graph in
    which the last two vertices are hubs, joined to every vertex but 0 to 5,
    in random order. The last one is the only point at the origin, and every
    list holds it. With `special`, points 6 to 11 have NaN or infinite
    coordinates: from an infinite query point every other point of the hubs'
    lists is infinitely far too, and the tie goes to the smallest index.
    With `pile`, 300 points scattered over the ids lie at (3, 3, 3)."""
    pts = rng.integers(-4, 5, (n, 3)).astype(f)
    pts[np.all(pts == 0, axis=1)] = 5
    if pile:
        pts[rng.choice(np.arange(12, n - 2), 300, replace=False)] = 3
    pts[-1] = 0
    if special:
        pts[6:8, 0] = np.nan
        pts[8:10, 1] = np.inf
        pts[10:12, 2] = -np.inf
    lists = [list(rng.integers(0, n, rng.integers(1, 6))) + [n - 1] for _ in range(n)]
    for hub in (n - 2, n - 1):
        lists[hub] = list(rng.permutation(np.arange(6, n)))
    for v in range(n - 2):
        if rng.random() < 0.3:
            lists[v].append(n - 2)
    return pts, *csr_from_lists(lists)


def hub_queries(rng, f, n, spread, special, pile=False):
    """Every other query point at the origin, so that its answer, the last
    hub, seeds the next one; a star from point 0 and a few random edges. With
    `special`, a few query points have an infinite or NaN coordinate; with
    `pile`, a third of the others lie at or near the target's pile."""
    pts = (rng.integers(-spread, spread + 1, (n, 3)) + rng.random((n, 3)) * (spread > 4)).astype(f)
    if pile:
        pts[1::6] = 3
        pts[3::6] = 3 + rng.random((len(pts[3::6]), 3)) * 0.4
    pts[::2] = 0
    if special:
        pts[[5, 9], 0] = np.inf
        pts[13, 2] = -np.inf
        pts[17, 1] = np.nan
    lists = [list(range(1, n))] + [list(rng.integers(0, n, rng.integers(0, 2)))
                                   for _ in range(n - 1)]
    return pts, *csr_from_lists(lists)


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("seed,special,spread,pile", [
    (0, False, 4, False), (1, False, 9, False), (2, True, 4, False), (3, True, 9, False),
    (4, False, 4, True), (5, True, 9, True)])
def test_hub_targets_match_model(prec, seed, special, spread, pile):
    """Bit for bit the model's answers, indices included: ties broken by the
    smaller index, NaN never taken, infinities measured, local minima kept,
    and of a pile of points at one place in a hub's list, the smallest index."""
    rng = np.random.default_rng(seed)
    f = FLOATS[prec]
    y = hub_target(rng, f, 700, special, pile)
    assert np.diff(y[1]).max() >= HUB_DEGREE
    for n_x in (40, 300):  # the literal order and the planned one
        x = hub_queries(rng, f, n_x, spread, special, pile)
        with np.errstate(invalid="ignore"):  # inf - inf
            want = oracle.greedy(*x, *y, dtype=f)
            want_blocked = oracle.blocked(x[0], n_x, *y, 1, f, query_box=oracle.box_of(x[0], f))
        target = PREPARED[prec](*y)
        for got in (NEAREST[prec](*x, *y), target.query(*x)):
            np.testing.assert_array_equal(got[0], want[0])
            np.testing.assert_array_equal(got[1], want[1])
        got = target.query_prepared_blocked(PREPARED[prec](*x), 1)
        np.testing.assert_array_equal(got[0], want_blocked[0])
        np.testing.assert_array_equal(got[1], want_blocked[1])


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("shape", ["plane", "grid", "line"])
def test_clouds_with_an_apex_are_exact(prec, shape):
    """A flat cloud, a grid or a line plus one point off it, whose Delaunay
    graph joins that point to all others: distances bit-equal to brute
    force's, against itself and against a perturbed copy."""
    rng = np.random.default_rng(7)
    n = 2000
    if shape == "plane":
        base = np.c_[rng.random((n, 2)), np.zeros(n)]
    elif shape == "grid":
        g = np.arange(45.0) / 44
        base = np.c_[np.stack(np.meshgrid(g, g), -1).reshape(-1, 2), np.zeros(45 * 45)]
    else:
        base = np.c_[np.sort(rng.random(n)), np.zeros((n, 2))]
    f = FLOATS[prec]
    pts = np.vstack([(0.5, 0.5, 1.0), base]).astype(f)
    y = (pts, *_tevu.delaunay_graph(pts))
    assert np.diff(y[1]).max() == len(pts) - 1
    moved = (pts + rng.normal(scale=1e-3, size=pts.shape)).astype(f)
    for q in (pts, moved):
        x = (q, *_tevu.delaunay_graph(q))
        want, _ = brute_nearest(q, pts)
        for got in (NEAREST[prec](*x, *y), PREPARED[prec](*y).query(*x)):
            np.testing.assert_array_equal(got[0], want)
