"""all_nearest_neighbours_k / all_nearest_neighbours_k_f32."""

import numpy as np
import pytest

import _tevu
import oracle
from conftest import (FLOATS, PanicException, clustered_cloud, csr_from_lists, delaunay_graph,
                      empty_graph, sq_dist, uniform_cloud)

FUNCS = {"f64": _tevu.all_nearest_neighbours_k, "f32": _tevu.all_nearest_neighbours_k_f32}
PRECISIONS = sorted(FUNCS)
U32 = np.uint32


def call(prec, x, y, k, ef):
    return FUNCS[prec](*x, *y, k, ef)


def cloud(kind, n, seed, dtype):
    points = (uniform_cloud if kind == "uniform" else clustered_cloud)(n, seed).astype(dtype)
    return (points, *delaunay_graph(points))


def assert_same(got, want):
    for a, b in zip(got, want):
        assert a.dtype == b.dtype and a.shape == b.shape
        np.testing.assert_array_equal(a, b)


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("kind,seed", [("uniform", 1), ("clustered", 2), ("clustered", 3)])
def test_generous_ef_gives_the_exact_k_nearest(prec, kind, seed):
    f = FLOATS[prec]
    x, y = cloud(kind, 1500, seed, f), cloud(kind, 1200, seed + 100, f)
    dist, idx = call(prec, x, y, 8, 48)
    assert dist.dtype == f and dist.shape == idx.shape == (1500, 8)
    assert dist.flags.c_contiguous and idx.flags.c_contiguous and idx.dtype.num == 8
    d2 = sq_dist(x[0], y[0])
    np.testing.assert_array_equal(dist, np.sqrt(np.sort(d2, axis=1)[:, :8]))
    # Each entry's index is a distinct target point at that distance.
    np.testing.assert_array_equal(dist, np.sqrt(np.take_along_axis(d2, idx.astype(int), 1)))
    assert all(len(set(row)) == 8 for row in idx.tolist())


def random_graph(rng, n, max_degree):
    """Random lists with self-loops and repeats; now and then an offset is
    overwritten, so that some offsets decrease (such a node has none)."""
    indptr, indices = csr_from_lists(
        [list(rng.integers(0, n, rng.integers(0, max_degree + 1))) for _ in range(n)])
    if rng.random() < 0.4 and n > 1:
        indptr[rng.integers(1, n)] = rng.integers(0, len(indices) + 1)
    return indptr, indices


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("seed", range(16))
def test_matches_model_on_random_graphs(prec, seed):
    """Non-Delaunay graphs with many exact ties: heap order, list insertion,
    stamps and seeds all decide the answer."""
    rng = np.random.default_rng(seed)
    f = FLOATS[prec]
    n_x, n_y = rng.integers(1, 40), rng.integers(1, 40)
    xp = rng.integers(-2, 3, (n_x, 3)).astype(f)
    yp = rng.integers(-2, 3, (n_y, 3)).astype(f)
    x, y = (xp, *random_graph(rng, n_x, 3)), (yp, *random_graph(rng, n_y, 6))
    for k, ef in [(3, 5), (5, 2), (4, 0), (0, 3), (n_y + 2, n_y + 9), (2, 1)]:
        assert_same(call(prec, x, y, k, ef), oracle.knn(*x, *y, k, ef, f))


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("seed,grid", [(s, g) for s in range(6) for g in (0, 16)])
def test_matches_model_with_few_or_no_ties(prec, seed, grid):
    """Real-valued coordinates, where no two distances tie, or a fine grid,
    where ties turn up now and then in the middle of a walk: every breadth
    follows the model step by step, also along lists longer than 64."""
    rng = np.random.default_rng(100 + seed)
    f = FLOATS[prec]
    n_x, n_y = 60, int(rng.integers(100, 300))
    xp, yp = rng.random((n_x, 3)), rng.random((n_y, 3))
    if grid:
        xp, yp = np.round(xp * grid) / grid, np.round(yp * grid) / grid
    degree = int(rng.integers(4, 30) if seed % 3 else rng.integers(70, 150))
    x = (xp.astype(f), *random_graph(rng, n_x, 4))
    y = (yp.astype(f), *random_graph(rng, n_y, degree))
    for k, ef in [(1, 1), (2, 3), (8, 8), (8, 16), (20, 33), (64, 64), (65, 65), (8, 0)]:
        assert_same(call(prec, x, y, k, ef), oracle.knn(*x, *y, k, ef, f))


@pytest.mark.parametrize("prec", PRECISIONS)
def test_many_walks_on_a_coarse_grid_match_the_model(prec):
    """Ties in most walks: whichever way the search takes each walk, its
    answers are the model's."""
    rng = np.random.default_rng(21)
    f = FLOATS[prec]
    xp, yp = rng.integers(0, 4, (400, 3)).astype(f), rng.integers(0, 4, (80, 3)).astype(f)
    x = (xp, *random_graph(rng, 400, 3))
    y = (yp, *random_graph(rng, 80, 12))
    for k, ef in [(8, 8), (4, 16)]:
        assert_same(call(prec, x, y, k, ef), oracle.knn(*x, *y, k, ef, f))


@pytest.mark.parametrize("prec", PRECISIONS)
def test_bad_ids_fail_only_when_read(prec):
    """A bad id in a list no walk reads is harmless, however many walks the
    call makes; a read list fails with its first bad id."""
    f = FLOATS[prec]
    x, y = cloud("uniform", 300, 14, f), cloud("uniform", 200, 15, f)
    far = np.vstack([y[0], np.full((1, 3), 50, f)])  # point 200: nobody's neighbour
    lists = np.split(y[2], y[1][1:-1].astype(np.int64))
    clean = (far, *csr_from_lists([*lists, []]))
    bad = (far, *csr_from_lists([*lists, [3, 999, 7]]))
    for k, ef in [(4, 8), (8, 64), (3, 100)]:
        assert_same(call(prec, x, bad, k, ef), call(prec, x, clean, k, ef))
    read = (far, *csr_from_lists([[1, 4, 301, 2, 999], *lists[1:], []]))
    with pytest.raises(PanicException, match="^index out of bounds: the len is 201 but the index is 301$"):
        call(prec, x, read, 4, 8)


def negative_nans(rng, count, f):
    """Negative quiet NaNs with distinct payloads; the total order puts the
    larger payload first."""
    payloads = rng.choice(2**20, count, replace=False)
    if f == np.float64:
        return (np.uint64(0xFFF8000000000000) | payloads.astype(np.uint64)).view(f)
    return (np.uint32(0xFFC00000) | payloads.astype(np.uint32)).view(f)


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("where,seed", [("target", 2), ("target", 3), ("target", 7),
                                        ("query", 2)])
def test_nan_coordinates_follow_the_model(prec, where, seed):
    rng = np.random.default_rng(seed)
    f = FLOATS[prec]
    xp = rng.integers(-2, 3, (6, 3)).astype(f)
    yp = rng.integers(-2, 3, (12, 3)).astype(f)
    if where == "target":  # negative NaNs pop first, +NaN last
        yp[1:6, 0] = negative_nans(rng, 5, f)
        yp[6, 1] = np.nan
    else:
        xp[[0, 3], [1, 2]] = np.nan
    x = (xp, *csr_from_lists([[1], [2], [], [5], [], []]))
    y = (yp, *csr_from_lists([list(rng.integers(0, 12, rng.integers(1, 5))) for _ in range(12)]))
    for k, ef in [(4, 4), (3, 6), (5, 3), (3, 0)]:
        assert_same(call(prec, x, y, k, ef), oracle.knn(*x, *y, k, ef, f))


@pytest.mark.parametrize("prec", PRECISIONS)
def test_nan_distance_goes_to_the_front(prec):
    f = FLOATS[prec]
    y = (np.array([[1, 0, 0], [np.nan, 0, 0], [0, 2, 0]], f), *csr_from_lists([[1, 2], [], []]))
    dist, idx = call(prec, (np.zeros((1, 3), f), *empty_graph(1)), y, 3, 3)
    assert idx.tolist() == [[1, 0, 2]] and np.isnan(dist[0, 0]) and dist[0, 1:].tolist() == [1, 2]


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("ef,want", [(4, [0, 3, 1, 2]), (2, [0, 3, 4, 4]), (0, [0, 4, 4, 4])])
def test_equal_distances_keep_entry_order(prec, ef, want):
    """All four targets lie at distance 1: the seed first, then CSR order;
    a full list takes no equal newcomer, nor does an empty-breadth one."""
    f = FLOATS[prec]
    y = (np.array([[1, 0, 0], [0, 1, 0], [0, -1, 0], [0, 0, 1]], f),
         *csr_from_lists([[3, 1, 2], [], [], []]))
    dist, idx = call(prec, (np.zeros((1, 3), f), *empty_graph(1)), y, 4, ef)
    assert idx.tolist() == [want]
    assert dist.tolist() == [[1.0 if i < 4 else np.inf for i in want]]


@pytest.mark.parametrize("prec", PRECISIONS)
def test_breadth_and_width_edge_cases(prec):
    f = FLOATS[prec]
    x, y = cloud("uniform", 300, 4, f), cloud("uniform", 40, 5, f)
    exact = np.sqrt(np.sort(sq_dist(x[0], y[0]), axis=1))
    # ef < k: only ef columns can be filled.
    dist, idx = call(prec, x, y, 6, 3)
    assert np.all(dist[:, 3:] == np.inf) and np.all(idx[:, 3:] == 40)
    assert np.all(np.isfinite(dist[:, :3]))
    # k > |y| with a generous ef: every target point, then misses.
    dist, idx = call(prec, x, y, 45, 100)
    np.testing.assert_array_equal(dist[:, :40], exact)
    assert np.all(dist[:, 40:] == np.inf) and np.all(idx[:, 40:] == 40)
    # ef = 0: never full, rows still ascending.
    dist, _ = call(prec, x, y, 5, 0)
    np.testing.assert_array_equal(dist, np.sort(dist, axis=1))
    np.testing.assert_array_equal(dist[:, 0], exact[:, 0])
    # k = 0: (n, 0), yet the walks still run and meet a bad target id.
    dist, idx = call(prec, x, y, 0, 8)
    assert dist.shape == idx.shape == (300, 0) and dist.dtype == f
    with pytest.raises(PanicException, match="^index out of bounds: the len is 40 but"):
        call(prec, x, (y[0], y[1], y[2] + U32(40)), 0, 8)


@pytest.mark.parametrize("prec", PRECISIONS)
def test_components_start_from_the_carried_seed(prec):
    """Directed target 0 -> 1 -> 2 on a line, 3 isolated near query 1."""
    f = FLOATS[prec]
    y = (np.array([[0, 0, 0], [1, 0, 0], [2, 0, 0], [2.4, 0, 0]], f),
         *csr_from_lists([[1], [2], [], []]))
    x = (np.array([[3, 0, 0], [2.5, 0, 0], [0.9, 0, 0]], f), *empty_graph(3))
    _, idx = call(prec, x, y, 2, 1)
    assert idx.tolist() == [[2, 4], [2, 4], [2, 4]]
    # Alone, the last query point starts from 0 and stops at 1.
    _, alone = call(prec, (x[0][2:], *empty_graph(1)), y, 2, 1)
    assert alone.tolist() == [[1, 4]]


def strided(a):
    return np.repeat(a, 3)[1::3]


def reversed_view(a):
    return a[::-1].copy()[::-1]


def reversed_strided(a):
    return np.repeat(a[::-1], 2)[::-2]


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("layout", [strided, reversed_view, reversed_strided])
def test_csr_views_equal_contiguous_copies(prec, layout):
    f = FLOATS[prec]
    x, y = cloud("clustered", 400, 6, f), cloud("clustered", 500, 7, f)
    want = call(prec, x, y, 5, 10)
    views = [layout(a) for a in (*x[1:], *y[1:])]
    assert not any(v.flags.c_contiguous for v in views)
    assert_same(call(prec, (x[0], *views[:2]), (y[0], *views[2:]), 5, 10), want)
    fortran = (np.asfortranarray(x[0]), x[1], x[2])
    wide = (np.hstack([y[0], np.full((500, 2), np.nan, f)])[:, :4], y[1], y[2])
    assert_same(call(prec, fortran, wide, 5, 10), want)


@pytest.mark.parametrize("ef", [2**40, 2**62, 2**64 - 1])
def test_huge_breadth_on_a_small_cloud(ef):
    """No capacity is sized by ef beyond the target's point count."""
    x, y = cloud("uniform", 50, 8, np.float64), cloud("uniform", 60, 9, np.float64)
    assert_same(call("f64", x, y, 4, ef), call("f64", x, y, 4, 61))


@pytest.mark.parametrize("prec", PRECISIONS)
def test_rows_follow_the_offsets(prec):
    f = FLOATS[prec]
    y = cloud("uniform", 10, 10, f)
    no_rows, no_target = (np.zeros((0, 3), f), *empty_graph(0)), (y[0][:0], *empty_graph(0))
    dist, idx = call(prec, no_rows, no_target, 5, 5)
    assert dist.shape == idx.shape == (0, 5)
    # No array can have a row of 2^60 8-byte entries, not even with no rows.
    for k in (2**60, 2**63, 2**64 - 1):
        with pytest.raises(PanicException, match="^capacity overflow$"):
            call(prec, no_rows, no_target, k, 5)
    assert call(prec, no_rows, no_target, 2**59, 5)[0].shape == (0, 2**59)
    pts = uniform_cloud(6, 11).astype(f)
    dist, _ = call(prec, (pts, *empty_graph(4)), y, 2, 4)
    assert dist.shape == (4, 2)


def base_args():
    pts = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0]], float)
    indptr, indices = csr_from_lists([[1, 2], [0], [0]])
    return [pts, indptr, indices, pts.copy(), indptr.copy(), indices.copy(), 2, 3]


def with_arg(pos, value):
    args = base_args()
    args[pos] = value
    return args


FAILURES = {
    "two columns": (with_arg(3, np.zeros((3, 2))), "ndarray: index out of bounds"),
    "empty x offsets": (with_arg(1, np.zeros(0, U32)), "capacity overflow"),
    "empty x offsets, k = 0": (with_arg(1, np.zeros(0, U32))[:6] + [0, 3], "capacity overflow"),
    # 2^60 - 1 rows: k = 0 sizes no result, but no traversal stack that long can exist.
    "rows beyond any stack, k = 0": (with_arg(1, np.broadcast_to(np.zeros(1, U32), (2**60,)))[:6]
                                     + [0, 3], "capacity overflow"),
    "n times k overflows": (with_arg(6, 2**63), "capacity overflow"),
    "n times k too many bytes": (with_arg(6, 2**61), "capacity overflow"),
    "query row missing": (with_arg(0, np.zeros((2, 3))),
                          "index out of bounds: the len is 2 but the index is 2"),
    "query id out of range": (with_arg(2, np.array([1, 3, 0, 0], U32)),
                              "index out of bounds: the len is 3 but the index is 3"),
    "query offsets past the end": (with_arg(1, np.array([0, 2, 3, 9], U32)),
                                   "range end index 9 out of range for slice of length 4"),
    "target id out of range": (with_arg(5, np.array([7, 2, 0, 0], U32)),
                               "index out of bounds: the len is 3 but the index is 7"),
    "target offsets past the end": (with_arg(4, np.array([0, 5, 5, 5], U32)),
                                    "range end index 5 out of range for slice of length 4"),
    "target offsets too short": (with_arg(4, np.array([0, 2], U32)),
                                 "index out of bounds: the len is 2 but the index is 2"),
    "empty target": (with_arg(3, np.zeros((0, 3))),
                     "index out of bounds: the len is 0 but the index is 0"),
}


@pytest.mark.parametrize("case", sorted(FAILURES))
def test_core_failures(case):
    args, message = FAILURES[case]
    with pytest.raises(PanicException) as info:
        _tevu.all_nearest_neighbours_k(*args)
    assert info.value.args == (message,)


def test_decreasing_offsets_mean_no_neighbours():
    args = with_arg(4, np.array([0, 2, 1, 4], U32))  # node 1 of y has none
    dist, idx = _tevu.all_nearest_neighbours_k(*args)
    want = oracle.knn(*args[:6], 2, 3, np.float64)
    assert_same((dist, idx), want)


ARG_ERRORS = {
    "missing ef": (lambda a: a[:7], TypeError, r"missing 1 required argument: 'ef'"),
    "negative k": (lambda a: a[:6] + [-1, 3], OverflowError, "negative"),
    "huge ef": (lambda a: a[:7] + [2**64], OverflowError,
                "^out of range integral type conversion attempted$"),
    "float k": (lambda a: a[:6] + [2.0, 3], TypeError, "'k'"),
    "str ef": (lambda a: a[:7] + ["3"], TypeError, "'ef'"),
    "points before k": (lambda a: [[[0.0] * 3]] + a[1:6] + [-1, 3], TypeError, "'x_points'"),
    "f32 points": (lambda a: [a[0].astype(np.float32)] + a[1:], TypeError, "'x_points'"),
    "int64 offsets": (lambda a: a[:4] + [a[4].astype(np.int64)] + a[5:], TypeError, "'y_indices'"),
}


@pytest.mark.parametrize("case", sorted(ARG_ERRORS))
def test_argument_errors(case):
    make, error, text = ARG_ERRORS[case]
    with pytest.raises(error, match=text):
        _tevu.all_nearest_neighbours_k(*make(base_args()))


def test_keywords_and_index_objects():
    args = base_args()
    names = ["x_points", "x_indices", "x_neighbors", "y_points", "y_indices", "y_neighbors",
             "k", "ef"]
    want = _tevu.all_nearest_neighbours_k(*args)
    kwargs = dict(reversed(list(zip(names, args[:6] + [np.int64(2), np.uint8(3)]))))
    assert_same(_tevu.all_nearest_neighbours_k(**kwargs), want)


@pytest.mark.parametrize("bound", [0.05, 0.2, np.nan])
def test_model_bound_cuts_off_the_exact_answer(bound):
    """The model's bounded walk (used to check bounded native searches)
    equals brute force cut off at the bound, whichever box test decides."""
    f = np.float64
    x = cloud("uniform", 60, 12, f)
    y = cloud("uniform", 50, 13, f)
    y = (y[0] * 0.5, y[1], y[2])  # the query box sticks out: per-point tests
    dist, idx = oracle.knn(*x, *y, 4, 50, f, bound=bound)
    d2 = np.sort(sq_dist(x[0], y[0]), axis=1)[:, :4]
    want = np.where(d2 > f(bound) ** 2, np.inf, np.sqrt(d2))
    np.testing.assert_array_equal(dist, want)
    assert np.all((idx == 50) == np.isinf(dist))
    far = oracle.knn(x[0] + 3, *x[1:], *y, 4, 50, f, bound=bound)
    assert np.all(np.isinf(far[0])) == (bound == bound)
