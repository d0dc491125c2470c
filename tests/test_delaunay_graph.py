"""delaunay_graph: the graph built from the points alone, against SciPy's
Delaunay triangulation, cKDTree and exact rational arithmetic."""

import itertools
import subprocess
import sys
import threading
from fractions import Fraction

import numpy as np
import pytest
from scipy.spatial import Delaunay, cKDTree

import _tevu
from conftest import PanicException, clustered_cloud, uniform_cloud


def scipy_graph(points):
    simplices = Delaunay(points).simplices.astype(np.uint64)
    return _tevu.graph_from_simplices(simplices, len(points))


def grid(k, spacing=1.0):
    axis = np.arange(k) * spacing
    return np.stack(np.meshgrid(axis, axis, axis, indexing="ij"), -1).reshape(-1, 3)


def rotation(seed):
    return np.linalg.qr(np.random.default_rng(seed).normal(size=(3, 3)))[0]


def assert_well_formed(points, graph):
    indptr, indices = graph
    n = len(points)
    for a in graph:
        assert a.dtype == np.uint32 and a.ndim == 1 and a.flags.c_contiguous
    assert len(indptr) == n + 1 and indptr[0] == 0 and indptr[-1] == len(indices)
    lists = [indices[indptr[v]:indptr[v + 1]] for v in range(n)]
    edges = set()
    for v, nbrs in enumerate(lists):
        assert np.all(np.diff(nbrs.astype(np.int64)) > 0), f"vertex {v}: not sorted, distinct"
        assert v not in nbrs and np.all(nbrs < n)
        edges.update((v, int(w)) for w in nbrs)
    assert all((w, v) in edges for v, w in edges), "not symmetric"
    return edges


# ---------------------------------------------------------------------------
# General position: exactly SciPy's edges

@pytest.mark.parametrize("kind", ["uniform", "clustered"])
@pytest.mark.parametrize("n,seed", [(n, seed) for n in (5, 6, 10, 100, 1_000) for seed in range(3)]
                         + [(20_000, 0)])
def test_edges_equal_scipys_in_general_position(kind, n, seed):
    points = uniform_cloud(n, seed) if kind == "uniform" else clustered_cloud(n, seed)
    got = _tevu.delaunay_graph(points)
    want = scipy_graph(points)
    np.testing.assert_array_equal(got[0], want[0])
    np.testing.assert_array_equal(got[1], want[1])


def surface_cloud(kind, n, seed):
    rng = np.random.default_rng(seed)
    s, t = 2 * np.pi * rng.random((2, n))
    if kind == "cylinder":
        return np.c_[np.cos(s), np.sin(s), 3 * rng.random(n)]
    ring = 2 + 0.5 * np.cos(t)
    return np.c_[ring * np.cos(s), ring * np.sin(s), 0.5 * np.sin(t)]


# The thin cells that fill a sampled surface's inside send walks from the
# last insertion a long way round; the points are then found from their
# nearest vertex.
@pytest.mark.parametrize("kind", ["cylinder", "torus"])
@pytest.mark.parametrize("n,seed", [(500, 0), (4_000, 1), (4_000, 2)])
def test_edges_equal_scipys_on_sampled_surfaces(kind, n, seed):
    points = surface_cloud(kind, n, seed)
    got = _tevu.delaunay_graph(points)
    want = scipy_graph(points)
    np.testing.assert_array_equal(got[0], want[0])
    np.testing.assert_array_equal(got[1], want[1])


@pytest.fixture(scope="module")
def large_clouds():
    # Large enough for the last rounds of insertions, and the graph's
    # extraction, to be shared by threads: clustered, a grid with
    # duplicates, a flat cloud (coned to an apex that every cell holds) and
    # a sphere (every point on the hull when inserted), and a cylinder's
    # surface, whose walks are long; and a grid beside a far point, which
    # leaves the grid in one cell of the insertion order's curve until that
    # cell is cut again.
    rng = np.random.default_rng(6)
    flat = np.c_[rng.random((160_000, 2)), np.full(160_000, 0.3)]
    sphere = rng.normal(size=(160_000, 3))
    sphere /= np.linalg.norm(sphere, axis=1)[:, None]
    far_grid = np.r_[np.floor(60 * rng.random((100_000, 3))), [[1e12, -1e12, 1e12]]]
    clouds = [clustered_cloud(160_000, 4), np.floor(60 * rng.random((160_000, 3))), flat, sphere,
              surface_cloud("cylinder", 60_000, 7), far_grid]
    return [(points, _tevu.delaunay_graph(points)) for points in clouds]


@pytest.mark.parametrize("workers", [2, 3, 8])
def test_workers_do_not_change_the_graph(workers, large_clouds):
    for points, want in large_clouds:
        got = _tevu.delaunay_graph(points, workers=workers)
        np.testing.assert_array_equal(got[0], want[0])
        np.testing.assert_array_equal(got[1], want[1])


# Middle-sized clouds: threads share rounds of a few thousand points, whose
# parts' boundaries hold a larger share of them, and such a round's waste
# is judged apart from the larger rounds'. The sphere and the cylinder's
# surface waste much when shared; the grid's ties are broken alike by every
# thread; the flat cloud's apex is common to all threads; a fifth of the
# duplicated cloud's points are copies.
@pytest.mark.parametrize("workers", [2, 3])
@pytest.mark.parametrize("kind,n", [("clustered", 12_000), ("clustered", 40_000),
                                    ("uniform", 30_000), ("grid", 30_000),
                                    ("sphere", 30_000), ("cylinder", 20_000),
                                    ("flat", 30_000), ("duplicated", 30_000)])
def test_workers_do_not_change_middle_sized_graphs(kind, n, workers):
    rng = np.random.default_rng(n + len(kind))
    if kind == "clustered":
        points = clustered_cloud(n, 9)
    elif kind == "uniform":
        points = uniform_cloud(n, 11)
    elif kind == "grid":
        points = np.floor(30 * rng.random((n, 3)))
    elif kind == "flat":
        points = np.c_[rng.random((n, 2)), np.full(n, 0.3)]
    elif kind == "duplicated":
        points = clustered_cloud(n, 13)
        points[rng.integers(0, n, n // 5)] = points[rng.integers(0, n, n // 5)]
    elif kind == "sphere":
        points = rng.normal(size=(n, 3))
        points /= np.linalg.norm(points, axis=1)[:, None]
    else:
        points = surface_cloud("cylinder", n, 12)
    want = _tevu.delaunay_graph(points)
    got = _tevu.delaunay_graph(points, workers=workers)
    np.testing.assert_array_equal(got[0], want[0])
    np.testing.assert_array_equal(got[1], want[1])


def test_layouts_and_float32_give_the_same_graph():
    points = uniform_cloud(500, 3)
    want = _tevu.delaunay_graph(points)
    wide = np.c_[points, np.full(len(points), np.nan)]
    for view in (np.asfortranarray(points), wide, np.repeat(points, 2, axis=0)[::2],
                 points[::-1].copy()[::-1]):
        got = _tevu.delaunay_graph(view)
        np.testing.assert_array_equal(got[1], want[1])
    p32 = points.astype(np.float32)
    got = _tevu.delaunay_graph(p32)
    want = _tevu.delaunay_graph(p32.astype(np.float64))
    np.testing.assert_array_equal(got[1], want[1])


# ---------------------------------------------------------------------------
# Awkward clouds: greedy descent on the graph stays exact

def awkward_clouds():
    rng = np.random.default_rng(5)
    base = rng.random((2_000, 3))
    flat = np.c_[rng.random((1_500, 2)), np.zeros(1_500)]
    yield "grid", grid(12)
    yield "grid scaled by 0.1", grid(10, 0.1)
    yield "grid shuffled with duplicates", np.r_[grid(9), grid(9)[::7]][rng.permutation(729 + 105)]
    yield "duplicate pair at index 0", np.r_[base[:1], base]
    yield "duplicates everywhere", np.repeat(base[:200], 5, axis=0)
    yield "all identical", np.ones((40, 3))
    yield "flat, axis-aligned", flat
    yield "flat, tilted", flat @ np.array([[1.0, 0, 0], [0, 1, 0], [1, 2, 0]]).T
    yield "flat grid", np.c_[grid(20)[:400, 1:], np.zeros(400)]
    yield "collinear", np.outer(rng.random(300), [1.0, 2.0, 4.0])
    yield "collinear with duplicates", np.outer(np.repeat(rng.random(50), 3), [1.0, 0, 0])
    yield "two parallel planes", np.r_[flat, flat[:500] + [0, 0, 1]]
    yield "nearly flat (rotated plane)", flat[:400] @ rotation(1).T
    # Scan lines 1 cm apart over z = 0.1 sin 3x, across zeros of the sine:
    # ties whose coordinates span up to about 70 binary places.
    x, y = np.meshgrid(np.arange(2.5, 3.5, 0.01), np.arange(0.0, 0.3, 0.01))
    yield "scan lines over a sine", np.c_[x.ravel(), y.ravel(), 0.1 * np.sin(3 * x.ravel())]
    yield "clustered", np.concatenate([rng.normal(c, 0.01, (400, 3)) for c in rng.random((8, 3))])
    yield "huge coordinates", base * 1e150
    yield "tiny coordinates", base * 1e-150
    yield "far from the origin", base + 1e8
    yield "grid beside a far point", np.r_[grid(12), [[1e12, -1e12, 1e12]]]
    yield "small plane far from the origin", np.c_[flat[:300, :2] * 1e-3, np.full(300, 1e20)]
    yield "cospherical integer points and the centre", np.array(
        [p for p in itertools.product(range(-15, 16), repeat=3)
         if p[0] ** 2 + p[1] ** 2 + p[2] ** 2 in (0, 225)], dtype=float)
    # Points near the centre of a sphere of points conflict with most cells.
    sphere = rng.normal(size=(3_000, 3))
    sphere /= np.linalg.norm(sphere, axis=1)[:, None]
    yield "sphere and a cluster at its centre", np.r_[sphere, rng.normal(0, 1e-3, (10, 3))]
    # Walks from one point to the next cross many scales (long but
    # straight), where a descent from the nearest vertex is cut short.
    yield "density over eight orders of magnitude", (
        rng.normal(size=(6_000, 3)) * 10.0 ** rng.uniform(-8, 0, (6_000, 1)))
    for k in range(1, 5):
        yield f"{k} points", rng.random((k, 3))
    yield "5 points, 4 coplanar", np.array([[0.0, 0, 0], [1, 0, 0], [0, 1, 0], [1, 1, 0], [0, 0, 1]])
    # The first copy's list holds all 600 copies: searches there use a tree.
    pile = np.random.default_rng(6).permutation(np.r_[base[:1_400], np.repeat(base[:1], 600, 0)])
    yield "a pile of 600 copies", pile


AWKWARD = dict(awkward_clouds())


@pytest.mark.parametrize("name", list(AWKWARD))
def test_greedy_descent_is_exact_on_awkward_clouds(name):
    points = AWKWARD[name]
    graph = _tevu.delaunay_graph(points)
    assert_well_formed(points, graph)
    rng = np.random.default_rng(9)
    lo, hi = points.min(axis=0), points.max(axis=0)
    span = np.where(hi > lo, hi - lo, 1.0)
    queries = np.r_[lo - 0.25 * span + 1.5 * span * rng.random((1_500, 3)), points[::3]]
    queries_graph = _tevu.delaunay_graph(queries)
    dist, idx = _tevu.all_nearest_neighbours(queries, *queries_graph, points, *graph)
    want, _ = cKDTree(points).query(queries)
    np.testing.assert_array_equal(dist, want)
    # Every target point is also reached from every other one's answer.
    target = _tevu.PreparedF64(points, *graph)
    dist, _ = target.query_prepared(target)
    assert np.all(dist == 0)


def test_duplicates_link_to_their_first_copy():
    points = np.array([[0.0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1], [1, 1, 1],
                       [1, 0, 0], [-0.0, 0, 0], [1, 0, 0]])
    indptr, indices = _tevu.delaunay_graph(points)
    lists = [indices[indptr[v]:indptr[v + 1]].tolist() for v in range(len(points))]
    assert lists[5] == lists[7] == [1] and lists[6] == [0]
    assert {5, 7} <= set(lists[1]) and 6 in lists[0]
    # The first copies are triangulated like the distinct points alone.
    alone = _tevu.delaunay_graph(points[:5])
    assert [v for v in lists[1] if v < 5] == alone[1][alone[0][1]:alone[0][2]].tolist()


@pytest.mark.parametrize("n", [0, 1, 2, 3, 4])
def test_tiny_clouds_get_the_complete_graph(n):
    indptr, indices = _tevu.delaunay_graph(uniform_cloud(n, 0))
    assert indptr.tolist() == [(n - 1) * v for v in range(n + 1)]
    assert indices.tolist() == [w for v in range(n) for w in range(n) if w != v]


def test_collinear_points_get_the_path_along_the_line():
    rng = np.random.default_rng(3)
    t = rng.permutation(50).astype(float)
    points = np.outer(t, [0.5, -1.0, 2.0])
    indptr, indices = _tevu.delaunay_graph(points)
    rank = np.argsort(np.argsort(t))
    for v in range(len(points)):
        want = sorted(int(np.flatnonzero(rank == r)[0]) for r in (rank[v] - 1, rank[v] + 1)
                      if 0 <= r < len(points))
        assert indices[indptr[v]:indptr[v + 1]].tolist() == want


def test_coplanar_points_get_the_planes_delaunay_graph():
    rng = np.random.default_rng(4)
    xy = rng.random((800, 2))
    triangles = Delaunay(xy).simplices
    want = {(int(a), int(b)) for t in triangles for a, b in itertools.permutations(t, 2)}
    for points in (np.c_[xy, np.zeros(800)], np.c_[xy[:, :1], np.full(800, 3.0), xy[:, 1:]]):
        got = assert_well_formed(points, _tevu.delaunay_graph(points))
        assert got == want


# ---------------------------------------------------------------------------
# Empty circumspheres, in exact rational arithmetic

def sign(v):
    return (v > 0) - (v < 0)


def inside_circumsphere(tet, e):
    """+1 when e lies strictly inside the circumsphere of tet, 0 on it, -1
    outside; None for a flat tet."""
    t = [[Fraction(float(c)) for c in p] for p in tet]
    q = [Fraction(float(c)) for c in e]
    orient = det([[a - b for a, b in zip(p, t[3])] for p in t[:3]])
    if orient == 0:
        return None
    rows = [[a - b for a, b in zip(p, q)] for p in t]
    return sign(det([r + [r[0] ** 2 + r[1] ** 2 + r[2] ** 2] for r in rows])) * sign(orient)


def det(m):
    if len(m) == 1:
        return m[0][0]
    return sum((-1) ** j * m[0][j] * det([row[:j] + row[j + 1:] for row in m[1:]])
               for j in range(len(m)))


def delaunay_tetrahedra(points):
    """(strictly empty, empty): the 4-subsets whose circumsphere has no other
    point inside or on it, resp. none strictly inside."""
    strict, closed = set(), set()
    for tet in itertools.combinations(range(len(points)), 4):
        others = [e for e in range(len(points)) if e not in tet]
        signs = [inside_circumsphere(points[list(tet)], points[e]) for e in others]
        if None in signs:
            continue
        if max(signs, default=-1) <= 0:
            closed.add(tet)
            if max(signs, default=-1) < 0:
                strict.add(tet)
    return strict, closed


def small_sets():
    rng = np.random.default_rng(11)
    for seed in range(4):
        yield f"random {seed}", np.random.default_rng(seed).random((9, 3))
    yield "cube corners and centre", np.r_[grid(2), [[0.5, 0.5, 0.5]]]
    yield "2 x 2 x 3 grid", grid(3)[np.all(grid(3)[:, :2] < 2, axis=1)]
    yield "octahedron", np.array([[1.0, 0, 0], [-1, 0, 0], [0, 1, 0], [0, -1, 0], [0, 0, 1],
                                  [0, 0, -1], [0.1, 0.2, 0.3]])
    yield "integer points", rng.integers(0, 3, (10, 3)).astype(float)
    # Rounding leaves these just off their plane: every sphere test is
    # nearly degenerate, and the exact stages decide (with inexact and with
    # exact coordinate differences).
    for seed in range(3):
        plane = np.c_[rng.random((11, 2)) - 0.5, np.zeros(11)] @ rotation(seed).T
        yield f"nearly flat {seed}", plane
        yield f"nearly flat {seed}, differences exact", plane * 0.5 + 1.5
    # Ties at a decimal step, decided in fixed-width integers: a 0.1 grid,
    # and scan lines over z = 0.1 sin 3x near a zero of the sine, whose
    # values near 0 beside x near 3 span more than 64 binary places.
    yield "0.1 grid", grid(3)[np.all(grid(3)[:, :2] < 2, axis=1)] * 0.1
    x, y = np.meshgrid([3.12, 3.13, 3.14, 3.15], [0.0, 0.01, 0.02])
    yield "scan lines near z = 0", np.c_[x.ravel(), y.ravel(), 0.1 * np.sin(3 * x.ravel())]
    # Rounded points of a sphere: nearly cospherical, in general position.
    sphere = rng.normal(size=(10, 3))
    yield "nearly cospherical", sphere / np.linalg.norm(sphere, axis=1)[:, None]
    # Nearly on one line: every orientation is nearly degenerate too.
    yield "nearly collinear", np.c_[rng.random(9), np.zeros((9, 2))] @ rotation(4).T
    # Magnitudes far apart in one test, where products of the smaller
    # coordinates' differences would underflow in expansions.
    yield "a float32 'no data' point", np.r_[rng.random((8, 3)), [[-3.4e38, 3.4e38, -3.4e38]]]
    yield "points at 1e-200 beside points at 1", np.r_[rng.random((5, 3)),
                                                       rng.random((5, 3)) * 1e-200]
    subnormal = rng.random((9, 3))
    subnormal[:5, 0] = np.array([1, 2, 3, 5, 8]) * 5e-324
    yield "subnormal coordinates", subnormal
    yield "a cospherical grid at 1e-300 beside a far point", np.r_[grid(2) * 1e-300, [[1.0, 2, 3]]]


@pytest.mark.parametrize("name,points", list(small_sets()))
def test_every_edge_has_an_empty_sphere(name, points):
    points = np.unique(points, axis=0)
    strict, closed = delaunay_tetrahedra(points)
    edges_of = lambda tets: {(a, b) for t in tets for a, b in itertools.permutations(t, 2)}
    got = assert_well_formed(points, _tevu.delaunay_graph(points))
    # Each edge lies on a tetrahedron whose circumsphere holds no point, and
    # every edge of a tetrahedron with a strictly empty sphere is present.
    assert got <= edges_of(closed)
    assert edges_of(strict) <= got


# ---------------------------------------------------------------------------
# Coordinates of very different magnitudes

@pytest.mark.parametrize("far", [1e30, 3.4e38, -3.4e38, 1e100, 1e300])
@pytest.mark.parametrize("at", ["first", "last"])
def test_a_far_point_leaves_the_rest_of_the_graph_exact(far, at):
    # A 'no data' value (float32's largest, say) beside points at unit
    # scale: every test among the near points still has to be exact.
    rng = np.random.default_rng(3)
    near = rng.random((600, 3))
    points = np.r_[[[far, -far, far]], near] if at == "first" else np.r_[near, [[far, -far, far]]]
    graph = _tevu.delaunay_graph(points)
    assert_well_formed(points, graph)
    queries = np.r_[rng.random((500, 3)), near]
    dist, _ = _tevu.all_nearest_neighbours(queries, *_tevu.delaunay_graph(queries),
                                           points, *graph)
    np.testing.assert_array_equal(dist, cKDTree(points).query(queries)[0])


@pytest.mark.parametrize("scale", [1e-20, 1e-45, 1e-100])
def test_a_tiny_cluster_beside_a_unit_cloud_is_triangulated_at_its_own_scale(scale):
    rng = np.random.default_rng(4)
    cluster = rng.random((300, 3)) * scale
    points = np.r_[rng.random((300, 3)), cluster]
    graph = _tevu.delaunay_graph(points)
    assert_well_formed(points, graph)
    # Queries at the cluster's scale, searched from the unit cloud's first
    # point: the descent must find its way through the cluster exactly.
    queries = np.r_[rng.random((300, 3)) * scale, cluster]
    dist, _ = _tevu.all_nearest_neighbours(queries, *_tevu.delaunay_graph(queries),
                                           points, *graph)
    np.testing.assert_array_equal(dist, cKDTree(points).query(queries)[0])


def _nearest_by(search, dtype, queries, points):
    """Distances from every query to its nearest point by one of the k = 1
    searches, on graphs built from the points themselves."""
    q, p = queries.astype(dtype), points.astype(dtype)
    gq, gp = _tevu.delaunay_graph(q), _tevu.delaunay_graph(p)
    f32 = dtype == np.float32
    if search == "greedy":
        nearest = _tevu.all_nearest_neighbours_f32 if f32 else _tevu.all_nearest_neighbours
        return nearest(q, *gq, p, *gp)[0]
    cls = _tevu.PreparedF32 if f32 else _tevu.PreparedF64
    target = cls(p, *gp)
    if search == "grouped":
        grouped = (_tevu.GroupedQueriesF32 if f32 else _tevu.GroupedQueriesF64).prepare(
            [cls(q, *gq)], [None])
        return target.query_grouped(grouped, None, 32)[0]
    return target.query_prepared_blocked(cls(q, *gq), int(search.split()[1]))[0]


@pytest.mark.parametrize("search", ["greedy", "blocked 1", "blocked 16", "grouped"])
@pytest.mark.parametrize("dtype, spread", [(np.float64, 1e-18), (np.float32, 1e-9)])
@pytest.mark.parametrize("where", ["first", "last"])
def test_a_cluster_tighter_than_rounding_does_not_trap_a_descent(search, dtype, spread, where):
    # Seen from unit distance, the 300 distinct cluster points are all equally
    # far as rounded; a descent entering the cluster must still find the
    # member that leads on to the nearest point.
    rng = np.random.default_rng(5)
    cluster = rng.uniform(-spread, spread, (300, 3))
    unit = rng.uniform(-1, 1, (300, 3))
    points = np.r_[cluster, unit] if where == "first" else np.r_[unit, cluster]
    queries = np.r_[rng.uniform(-1, 1, (400, 3)), unit[:50]]
    got = _nearest_by(search, dtype, queries, points)
    want = cKDTree(points.astype(dtype)).query(queries.astype(dtype))[0]
    np.testing.assert_allclose(got, want, rtol=8 * np.finfo(dtype).eps, atol=0)


def test_coordinates_too_far_apart_for_exact_tests_name_the_first_row():
    # Beside 1e300, 1e-9 would lose bits in the scaling that keeps the tests
    # clear of overflow; a subnormal beside points at unit scale does not.
    points = np.r_[uniform_cloud(20, 0), [[1e300, 0, 0]], [[0.5, 1e-9, 0.5]], [[1e-10, 0, 0]]]
    with pytest.raises(ValueError, match="^points: row 21 has a coordinate over 2\\^1021 times"):
        _tevu.delaunay_graph(points)
    fine = np.r_[uniform_cloud(20, 0), [[5e-324, 0.5, 0.5]]]
    assert_well_formed(fine, _tevu.delaunay_graph(fine))


# ---------------------------------------------------------------------------
# Arguments and failures

@pytest.mark.parametrize("row", [0, 17, 99])
@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
def test_non_finite_coordinates_name_the_first_bad_row(row, bad):
    points = uniform_cloud(100, 0)
    points[row, row % 3] = bad
    points[-1, 0] = np.nan
    with pytest.raises(ValueError, match=f"^points: row {row} has a coordinate that is not"):
        _tevu.delaunay_graph(points)


@pytest.mark.parametrize("workers", [2, 3, 8])
@pytest.mark.parametrize("rows", [(70_000, 150_000), (131_072, 196_607), (0, 196_607)])
def test_threads_reading_the_points_name_the_first_bad_row(workers, rows):
    # Threads read their own ranges of rows (16,384 rows at least each).
    points = np.zeros((196_608, 3))
    for r in reversed(rows):
        points[r, 2] = np.nan
    with pytest.raises(ValueError, match=f"^points: row {rows[0]} has"):
        _tevu.delaunay_graph(points, workers=workers)


def test_bad_arguments():
    points = uniform_cloud(10, 0)
    with pytest.raises(TypeError, match="argument 'points'"):
        _tevu.delaunay_graph(points.astype(np.int64))
    with pytest.raises(TypeError, match="argument 'points'"):
        _tevu.delaunay_graph(points.tolist())
    with pytest.raises(TypeError, match="positional argument"):
        _tevu.delaunay_graph(points, 2)
    with pytest.raises(ValueError, match="argument 'workers': must be at least 1"):
        _tevu.delaunay_graph(points, workers=0)
    with pytest.raises(OverflowError):
        _tevu.delaunay_graph(points, workers=-1)
    with pytest.raises(TypeError, match="argument 'workers'"):
        _tevu.delaunay_graph(points, workers=1.5)
    with pytest.raises(PanicException, match="^ndarray: index out of bounds$"):
        _tevu.delaunay_graph(points[:, :2])
    assert _tevu.delaunay_graph(np.zeros((0, 2)))[0].tolist() == [0]


def test_builds_run_in_parallel_threads():
    clouds = [clustered_cloud(5_000, s) for s in range(4)]
    want = [_tevu.delaunay_graph(c) for c in clouds]
    got = [None] * len(clouds)
    barrier = threading.Barrier(len(clouds))

    def work(k):
        barrier.wait()
        got[k] = _tevu.delaunay_graph(clouds[k], workers=2)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(len(clouds))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for g, w in zip(got, want):
        np.testing.assert_array_equal(g[1], w[1])


SMALL_STACK_BUILD = """
import threading, numpy as np, _tevu
rng = np.random.default_rng(1)
tilt = np.array([[0.36, 0.48, -0.8], [-0.8, 0.6, 0.0], [0.48, 0.64, 0.6]])
clouds = [np.c_[rng.random((3_000, 2)), np.zeros(3_000)] @ tilt.T,
          np.outer(rng.random(2_000), tilt[:, 0])]
threading.stack_size(128 * 1024)  # what musl gives a thread
done = []
thread = threading.Thread(target=lambda: done.extend(_tevu.delaunay_graph(c) for c in clouds))
thread.start()
thread.join()
assert len(done) == 2
"""


def test_nearly_degenerate_clouds_build_on_a_small_thread_stack():
    # Nearly flat and nearly straight clouds reach the deepest exact stages;
    # in a child process, so that a stack overflow fails this test alone.
    run = subprocess.run([sys.executable, "-c", SMALL_STACK_BUILD], capture_output=True,
                         text=True, timeout=300)
    assert run.returncode == 0, run.stderr
