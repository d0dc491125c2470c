"""all_nearest_neighbours / all_nearest_neighbours_f32."""

import threading

import numpy as np
import pytest

import _tevu
import oracle
from conftest import (FLOATS, PanicException, brute_nearest, clustered_cloud, csr_from_lists,
                      outcome,
                      delaunay_graph, empty_graph, near_tie_cloud, uniform_cloud)

FUNCS = {"f64": _tevu.all_nearest_neighbours, "f32": _tevu.all_nearest_neighbours_f32}
PRECISIONS = sorted(FUNCS)


def cloud_pair(kind, n_x, n_y, seed, dtype):
    make = uniform_cloud if kind == "uniform" else clustered_cloud
    x = make(n_x, seed).astype(dtype)
    y = make(n_y, seed + 1000).astype(dtype)
    return (x, *delaunay_graph(x)), (y, *delaunay_graph(y))


def call(prec, x, y):
    return FUNCS[prec](*x, *y)


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("kind,seed", [("uniform", 1), ("uniform", 2), ("clustered", 3),
                                       ("clustered", 4)])
def test_exact_on_delaunay_graphs(prec, kind, seed):
    x, y = cloud_pair(kind, 3000, 2500, seed, FLOATS[prec])
    dist, idx = call(prec, x, y)
    want_d, want_i = brute_nearest(x[0], y[0])
    assert dist.dtype == FLOATS[prec] and dist.shape == (3000,)
    np.testing.assert_array_equal(dist, want_d)
    # Indices may differ only where another target point is exactly as near.
    assert np.all((idx == want_i) | (dist == want_d))
    assert np.mean(idx == want_i) > 0.999


def random_graph(rng, n, max_degree, n_target):
    lists = [list(rng.integers(0, n_target, rng.integers(0, max_degree + 1)))
             for _ in range(n)]
    return csr_from_lists(lists)


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("seed", range(16))
def test_matches_model_on_random_graphs(prec, seed):
    """Non-Delaunay graphs: local minima, so traversal order and seeds decide."""
    rng = np.random.default_rng(seed)
    f = FLOATS[prec]
    n_x, n_y = rng.integers(1, 30), rng.integers(1, 30)
    # Small integer coordinates make exactly equal distances common.
    xp = rng.integers(-3, 4, (n_x, 3)).astype(f)
    yp = rng.integers(-3, 4, (n_y, 3)).astype(f)
    if seed % 3 == 0:
        xp, yp = xp + rng.random((n_x, 3)).astype(f), yp + rng.random((n_y, 3)).astype(f)
    x = (xp, *random_graph(rng, n_x, 3, n_x))
    # Long lists exercise the four-at-a-time scan, short ones its tail.
    y = (yp, *random_graph(rng, n_y, 4 if seed % 2 else 13, n_y))
    dist, idx = call(prec, x, y)
    want_d, want_i = oracle.greedy(*x, *y, dtype=f)
    np.testing.assert_array_equal(dist, want_d)
    np.testing.assert_array_equal(idx, want_i)


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("seed", range(16))
def test_matches_model_on_random_graphs_with_near_ties(prec, seed):
    """Where a descent stops beside a neighbour within rounding of its own
    distance, the search of that plateau, step for step."""
    rng = np.random.default_rng(100 + seed)
    f = FLOATS[prec]
    n_x, n_y = rng.integers(1, 80), rng.integers(1, 80)
    x = (near_tie_cloud(rng, f, n_x, 0.2), *random_graph(rng, n_x, 3, n_x))
    y = (near_tie_cloud(rng, f, n_y, 0.8), *random_graph(rng, n_y, 2 + seed % 5, n_y))
    want = oracle.greedy(*x, *y, dtype=f)
    for got in (call(prec, x, y), PREPARED[prec](*y).query(*x)):
        np.testing.assert_array_equal(got[0], want[0])
        np.testing.assert_array_equal(got[1], want[1])


# Target: 0 far away, 1 and 2 equally near the query origin.
TIE_TARGET = np.array([[5.0, 0, 0], [0, 1, 0], [0, -1, 0]])


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("lists,want", [
    ([[2, 1], [], []], 1),   # equal neighbours: the smaller index wins, whatever the order
    ([[1, 2], [], []], 1),
    ([[2], [], [1]], 1),     # equally near as the current point and smaller: move there
    ([[1], [2], []], 1),     # equally near but larger: stay
])
def test_tie_breaks(prec, lists, want):
    f = FLOATS[prec]
    x = (np.zeros((1, 3), f), *empty_graph(1))
    y = (TIE_TARGET.astype(f), *csr_from_lists(lists))
    dist, idx = call(prec, x, y)
    assert idx.tolist() == [want] and dist.tolist() == [1.0]


# Twelve points at exactly distance 5 from the origin, after a far vertex 0.
SHELL = np.array([[9, 0, 0], [5, 0, 0], [0, 5, 0], [0, 0, 5], [-5, 0, 0], [0, -5, 0],
                  [0, 0, -5], [3, 4, 0], [4, 3, 0], [0, 3, 4], [0, 4, 3], [3, 0, 4],
                  [4, 0, 3]])


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("order", [range(12, 0, -1), range(1, 13), [7, 3, 12, 1, 9, 2, 11, 5,
                                                                     4, 10, 6, 8]])
def test_many_equal_neighbours_take_the_smallest_index(prec, order):
    f = FLOATS[prec]
    x = (np.zeros((1, 3), f), *empty_graph(1))
    y = (SHELL.astype(f), *csr_from_lists([list(order)] + [[]] * 12))
    dist, idx = call(prec, x, y)
    assert idx.tolist() == [1] and dist.tolist() == [5.0]


@pytest.mark.parametrize("prec", PRECISIONS)
def test_target_without_edges_answers_the_seed(prec):
    f = FLOATS[prec]
    x = (uniform_cloud(6, 5).astype(f), *csr_from_lists([[1], [2], [0], [], [], []]))
    y = (uniform_cloud(4, 6).astype(f), *empty_graph(4))
    _, idx = call(prec, x, y)
    assert idx.tolist() == [0] * 6


@pytest.mark.parametrize("prec", PRECISIONS)
def test_components_start_from_the_carried_seed(prec):
    """Directed target 0 -> 1 -> 2 along a line, 3 isolated near the query."""
    f = FLOATS[prec]
    y = (np.array([[0, 0, 0], [1, 0, 0], [2, 0, 0], [2.4, 0, 0]], f),
         *csr_from_lists([[1], [2], [], []]))
    # Query 0 descends 0 -> 1 -> 2; query 1 (its own component) starts from 2
    # and stays there although 3 is nearer; from 0 it would also reach 2, so
    # query 2 is placed where a start from 0 would stop earlier: on 1.
    x = (np.array([[3, 0, 0], [2.5, 0, 0], [0.9, 0, 0]], f), *empty_graph(3))
    dist, idx = call(prec, x, y)
    assert idx.tolist() == [2, 2, 2]
    # The same query point alone starts from 0 and stops at 1.
    _, alone = call(prec, (x[0][2:], *empty_graph(1)), y)
    assert alone.tolist() == [1]


@pytest.mark.parametrize("prec", PRECISIONS)
def test_duplicate_and_self_loop_edges_are_harmless(prec):
    f = FLOATS[prec]
    xp = uniform_cloud(200, 7).astype(f)
    yp = uniform_cloud(300, 8).astype(f)
    xi, xn = delaunay_graph(xp)
    yi, yn = delaunay_graph(yp)
    noisy = [list(xn[xi[i]:xi[i + 1]]) * 2 + [i] for i in range(200)]
    plain = call(prec, (xp, xi, xn), (yp, yi, yn))
    doubled = call(prec, (xp, *csr_from_lists(noisy)), (yp, yi, yn))
    for a, b in zip(plain, doubled):
        np.testing.assert_array_equal(a, b)


@pytest.mark.parametrize("prec", PRECISIONS)
def test_point_layouts_give_the_same_result(prec):
    f = FLOATS[prec]
    x, y = cloud_pair("uniform", 500, 400, 9, f)
    want = call(prec, x, y)
    wide = np.zeros((1000, 5), f)
    wide[::2, :3] = x[0]
    wide[::2, 3:] = np.nan  # extra columns never take part
    variants = [np.asfortranarray(x[0]), wide[::2], np.hstack([x[0], np.ones((500, 1), f)])]
    for points in variants:
        got = call(prec, (points, x[1], x[2]), y)
        for a, b in zip(got, want):
            np.testing.assert_array_equal(a, b)


def test_keywords_in_any_order():
    x, y = cloud_pair("uniform", 100, 100, 10, np.float64)
    names = ["x_points", "x_indices", "x_neighbors", "y_points", "y_indices", "y_neighbors"]
    kwargs = dict(zip(names, (*x, *y)))
    want = _tevu.all_nearest_neighbours(*x, *y)
    got = _tevu.all_nearest_neighbours(**dict(reversed(list(kwargs.items()))))
    mixed = _tevu.all_nearest_neighbours(x[0], x[1], y_neighbors=y[2], x_neighbors=x[2],
                                         y_points=y[0], y_indices=y[1])
    for result in (got, mixed):
        np.testing.assert_array_equal(result[0], want[0])
        np.testing.assert_array_equal(result[1], want[1])


def test_result_types():
    x, y = cloud_pair("uniform", 50, 60, 11, np.float64)
    dist, idx = _tevu.all_nearest_neighbours(*x, *y)
    assert idx.dtype.num == 8 and idx.dtype.itemsize == np.dtype(np.intp).itemsize
    assert dist.flags.c_contiguous and idx.flags.c_contiguous
    assert dist.dtype == np.float64 and np.all(dist >= 0) and np.all(idx < 60)


@pytest.mark.parametrize("prec", PRECISIONS)
def test_empty_query(prec):
    f = FLOATS[prec]
    x = (np.zeros((0, 3), f), *empty_graph(0))
    for y in [(np.zeros((0, 3), f), *empty_graph(0)), (np.ones((3, 3), f), *empty_graph(3))]:
        dist, idx = call(prec, x, y)
        assert dist.shape == idx.shape == (0,)
    # The query graph is still checked for contiguity.
    strided = np.zeros(4, np.uint32)[::2]
    with pytest.raises(PanicException, match="^contiguous CSR neighbours$"):
        call(prec, (x[0], x[1], strided), y)


def ok_call():
    """A normal call after a failure shows the interpreter is still fine."""
    x, y = cloud_pair("uniform", 30, 30, 12, np.float64)
    dist, idx = _tevu.all_nearest_neighbours(*x, *y)
    np.testing.assert_array_equal(dist, brute_nearest(x[0], y[0])[0])


def base_args(f=np.float64):
    pts = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0]], f)
    indptr, indices = csr_from_lists([[1, 2], [0], [0]])
    return [pts, indptr, indices, pts.copy(), indptr.copy(), indices.copy()]


def with_arg(pos, value, f=np.float64):
    args = base_args(f)
    args[pos] = value
    return args


U32 = np.uint32
ARG_ERRORS = {
    "missing": (lambda: _tevu.all_nearest_neighbours(*base_args()[:5]), "missing 1 required"),
    "surplus": (lambda: _tevu.all_nearest_neighbours(*base_args(), None), "takes 6 positional"),
    "duplicate": (lambda: _tevu.all_nearest_neighbours(*base_args(), x_points=None),
                  "multiple values for argument 'x_points'"),
    "unknown": (lambda: _tevu.all_nearest_neighbours(*base_args(), bogus=1),
                "unexpected keyword argument 'bogus'"),
    "list": (lambda: _tevu.all_nearest_neighbours(*with_arg(0, [[0.0, 0, 0]])), "'x_points'"),
    "int64 offsets": (lambda: _tevu.all_nearest_neighbours(
        *with_arg(1, np.array([0, 2, 3, 4], np.int64))), "'x_indices'"),
    "int32 ids": (lambda: _tevu.all_nearest_neighbours(
        *with_arg(5, np.array([1, 2, 0, 0], np.int32))), "'y_neighbors'"),
    "f32 points to f64": (lambda: _tevu.all_nearest_neighbours(
        *with_arg(3, np.zeros((3, 3), np.float32))), "'y_points'"),
    "f64 points to f32": (lambda: _tevu.all_nearest_neighbours_f32(
        *with_arg(0, np.zeros((3, 3)), np.float32)), "'x_points'"),
    "1-D points": (lambda: _tevu.all_nearest_neighbours(*with_arg(0, np.zeros(9))), "'x_points'"),
    "2-D offsets": (lambda: _tevu.all_nearest_neighbours(
        *with_arg(4, np.zeros((2, 2), U32))), "'y_indices'"),
    "big-endian ids": (lambda: _tevu.all_nearest_neighbours(
        *with_arg(2, np.array([1, 2, 0, 0], ">u4"))), "'x_neighbors'"),
}


@pytest.mark.parametrize("case", sorted(ARG_ERRORS))
def test_argument_errors(case):
    fn, text = ARG_ERRORS[case]
    with pytest.raises(TypeError, match=text):
        fn()
    ok_call()


def test_argument_error_names_the_function():
    with pytest.raises(TypeError, match=r"^all_nearest_neighbours_f32\(\) missing"):
        _tevu.all_nearest_neighbours_f32()


def failure_cases():
    pts = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0]], float)
    good = csr_from_lists([[1, 2], [0], [0]])
    strided = np.repeat(good[0], 2)[::2], np.repeat(good[1], 2)[::2]
    return {
        "two columns": (with_arg(0, pts[:, :2]), "ndarray: index out of bounds"),
        "empty x offsets": (with_arg(1, np.zeros(0, U32)), "capacity overflow"),
        "strided x offsets": (with_arg(1, strided[0]), "contiguous CSR indptr"),
        "strided x ids": (with_arg(2, strided[1]), "contiguous CSR neighbours"),
        "reversed x offsets": (with_arg(1, good[0][::-1].copy()[::-1]), "contiguous CSR indptr"),
        "strided y offsets": (with_arg(4, strided[0]), "contiguous CSR indptr"),
        "strided y ids": (with_arg(5, strided[1]), "contiguous CSR neighbours"),
        "query row missing": (with_arg(0, pts[:2]), "index out of bounds: the len is 2 but the index is 2"),
        "query id out of range": (with_arg(2, np.array([1, 3, 0, 0], U32)),
                                  "index out of bounds: the len is 3 but the index is 3"),
        "query offsets decrease": (with_arg(1, np.array([0, 2, 1, 4], U32)),
                                   "slice index starts at 2 but ends at 1"),
        "query offsets past the end": (with_arg(1, np.array([0, 2, 3, 9], U32)),
                                       "range end index 9 out of range for slice of length 4"),
        "target id out of range": (with_arg(5, np.array([7, 2, 0, 0], U32)),
                                   "index out of bounds: the len is 3 but the index is 7"),
        "target offsets decrease": (with_arg(4, np.array([2, 1, 3, 4], U32)),
                                    "slice index starts at 2 but ends at 1"),
        "target offsets past the end": (with_arg(4, np.array([0, 5, 5, 5], U32)),
                                        "range end index 5 out of range for slice of length 4"),
        "target offsets too short": (with_arg(4, np.array([0, 2], U32)),
                                     "index out of bounds: the len is 2 but the index is 2"),
        "empty target": (with_arg(3, np.zeros((0, 3))),
                         "index out of bounds: the len is 0 but the index is 0"),
    }


FAILURES = failure_cases()


@pytest.mark.parametrize("case", sorted(FAILURES))
def test_core_failures(case):
    args, message = FAILURES[case]
    with pytest.raises(PanicException) as info:
        _tevu.all_nearest_neighbours(*args)
    assert info.value.args == (message,)
    ok_call()


def test_failure_leaves_inputs_unchanged():
    args, _ = FAILURES["target id out of range"]
    before = [a.copy() for a in args]
    with pytest.raises(PanicException):
        _tevu.all_nearest_neighbours(*args)
    for a, b in zip(args, before):
        np.testing.assert_array_equal(a, b)


def test_many_threads_share_inputs():
    x, y = cloud_pair("clustered", 4000, 4000, 13, np.float64)
    want = _tevu.all_nearest_neighbours(*x, *y)
    results = [None] * 8
    barrier = threading.Barrier(8)

    def work(k):
        barrier.wait()
        results[k] = [_tevu.all_nearest_neighbours(*x, *y) for _ in range(3)]

    threads = [threading.Thread(target=work, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for runs in results:
        for dist, idx in runs:
            np.testing.assert_array_equal(dist, want[0])
            np.testing.assert_array_equal(idx, want[1])


# Large enough query graphs take the planned visiting order, which must give
# the literal order's answers and failures.

PREPARED = {"f64": _tevu.PreparedF64, "f32": _tevu.PreparedF32}


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("bound", [None, 1.5, 4.0])  # 1.5 prunes per point (shifted query)
def test_large_random_graphs_match_model(prec, seed, bound):
    rng = np.random.default_rng(500 + seed)
    f = FLOATS[prec]
    n_x, n_y = 300 + 40 * seed, 60
    xp = (rng.integers(-6, 7, (n_x, 3)) + (3 if bound == 1.5 else 0)).astype(f)
    yp = rng.integers(-6, 7, (n_y, 3)).astype(f)
    x = (xp, *random_graph(rng, n_x, 3, n_x))
    y = (yp, *random_graph(rng, n_y, 5, n_y))
    if bound is None:
        got = call(prec, x, y)
    else:
        got = PREPARED[prec](*y).query(*x, distance_upper_bound=bound)
    want = oracle.greedy(*x, *y, dtype=f, bound=bound)
    np.testing.assert_array_equal(got[0], want[0])
    np.testing.assert_array_equal(got[1], want[1])


@pytest.mark.parametrize("prec", PRECISIONS)
def test_large_query_fails_as_the_literal_order_does(prec):
    """Query point 1 would fail on a bad id, point 2 on bad offsets; visiting
    depth first from point 0 reaches point 2 first."""
    f = FLOATS[prec]
    n = 300
    xp = np.zeros((n, 3), f)
    xp[1], xp[2] = (10, 0, 0), (-10, 0, 0)
    x = (xp, *csr_from_lists([[1, 2], [0], [0]] + [[]] * (n - 3)))
    yp = np.array([[0, 0, 0], [10, 0, 0], [-10, 0, 0], [0, 0, 9]], f)
    y = (yp, np.array([0, 2, 3, 1, 3], np.uint32), np.array([1, 2, 7], np.uint32))
    with pytest.raises(PanicException) as info:
        call(prec, x, y)
    assert info.value.args == ("slice index starts at 3 but ends at 1",)


# Seen from x = FAR_AWAY, the unit-scale target points all round to the same
# squared distance, which is also the squared gap to their box.
FAR_AWAY = {"f64": 1e17, "f32": 1e9}


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("far", [True, False])
def test_no_plateau_search_where_nothing_can_be_nearer(prec, far):
    """A descent that stops beside a neighbour as near as itself searches
    the plateau only if some target point could still be nearer than where
    it stands. From far away none can, so the search does not run and never
    reads vertex 1's id out of range; from nearby it runs and fails there."""
    f = FLOATS[prec]
    yp = np.array([[0, 0, 0], [0, 0, 0.5], [0.25, 0.5, 0]], f)
    y = (yp, *csr_from_lists([[1], [0, 7], [0]]))
    q = np.array([[FAR_AWAY[prec] if far else 0.1, 0, 0.25]], f)
    x = (q, *empty_graph(1))
    got = {kind: outcome(lambda: search(*x)) for kind, search in [
        ("nearest", lambda *x: call(prec, x, y)), ("prepared", PREPARED[prec](*y).query),
        ("blocked", lambda *x: PREPARED[prec](*y).query_prepared_blocked(PREPARED[prec](*x), 1))]}
    want = outcome(lambda: oracle.greedy(*x, *y, dtype=f))
    assert want[0] == ("ok" if far else "raised")
    for kind, result in got.items():
        assert result[0] == want[0], kind
        if far:
            np.testing.assert_array_equal(result[1][0], want[1][0])
            np.testing.assert_array_equal(result[1][1], [0])


# From this far, a unit cloud's points all round to a few squared distances.
FAR_CLOUD = {"f64": 5e14, "f32": 1e6}


def far_query_searches(prec, target, queries):
    """The k = 1 searches of `target` for `queries` (points without edges,
    answered in index order) with the model each must match bit for bit."""
    f = FLOATS[prec]
    x = (queries, *empty_graph(len(queries)))
    prepared, query = PREPARED[prec](*target), PREPARED[prec](*x)
    model_greedy = lambda: oracle.greedy(*x, *target, dtype=f)
    return {
        "nearest": (lambda: call(prec, x, target), model_greedy),
        "query_prepared": (lambda: prepared.query_prepared(query), model_greedy),
        **{f"blocked {b}": (lambda b=b: prepared.query_prepared_blocked(query, b),
                            lambda b=b: oracle.blocked(queries, len(queries), *target, b, dtype=f))
           for b in (1, 8)}}


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("search", ["nearest", "query_prepared", "blocked 1", "blocked 8"])
@pytest.mark.parametrize("target_kind", ["uniform", "uniform with non-finite points",
                                         "tight cluster"])
def test_far_query_cloud_matches_model(prec, search, target_kind):
    """Query points far from the target for its precision end most descents
    beside equally near points. Once such plateau searches have found nothing
    often enough, the call answers "is anything nearer?" from a tree over the
    whole target instead; answers stay those of searching every plateau. The
    tight cluster's later query points need plateau searches that succeed,
    which the tree must not spare."""
    f = FLOATS[prec]
    rng = np.random.default_rng(7)
    if target_kind.startswith("uniform"):
        yp = rng.random((300, 3)).astype(f)
        near = np.zeros((0, 3), f)
    else:
        # Beside a cloud that far query points see as flat, points within an
        # ulp of 0 among small integer points, and query points near them.
        yp = np.concatenate([near_tie_cloud(rng, f, 300, 0.3),
                             rng.uniform(8, 12, (300, 3)).astype(f)])
        near = (rng.integers(-2, 3, (60, 3)) + rng.random((60, 3)) * 0.01).astype(f)
    target = (yp, *_tevu.delaunay_graph(yp))
    if target_kind == "uniform with non-finite points":
        # Left out of the tree: never nearer than a finite distance.
        yp[[5, 77, 150]] = [[np.nan, 0, 0], [np.inf, 0.5, 0.5], [0.5, -np.inf, np.nan]]
    # From two sides, so that later descents leave earlier plateaus.
    offsets = np.where(rng.random((120, 1)) < 0.5, 1.0, -1.0) * FAR_CLOUD[prec]
    queries = np.concatenate([rng.random((120, 3)) + offsets, near]).astype(f)
    got, model = far_query_searches(prec, target, queries)[search]
    want_d, want_i = model()
    d, i = got()
    np.testing.assert_array_equal(d, want_d)
    np.testing.assert_array_equal(i, want_i)
    # Within rounding of the nearest distance (brute force).
    best = np.nanmin(np.sqrt(((yp[None].astype(np.float64) - queries[:, None]) ** 2).sum(-1)), 1)
    np.testing.assert_allclose(d, best, rtol=16 * np.finfo(f).eps)


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("search", ["nearest", "blocked 1", "blocked 8"])
def test_far_query_cloud_on_a_malformed_target_fails_as_modelled(prec, search):
    """Skipping the plateau searches that could find nothing leaves their
    reads out, so it is done only on a graph whose reads cannot fail: an id
    out of range in one list is still met where the model meets it."""
    f = FLOATS[prec]
    rng = np.random.default_rng(8)
    yp = rng.random((200, 3)).astype(f)
    indptr, indices = delaunay_graph(yp)
    queries = np.concatenate([rng.random((60, 3)) + FAR_CLOUD[prec],
                              rng.random((10, 3)) - FAR_CLOUD[prec]]).astype(f)
    outcomes = set()
    # Vertices on the side of the last queries, which their plateau searches
    # read, and the first ones' do not.
    for v in np.argsort(yp.sum(1))[:4]:
        bad_indices = np.insert(indices, indptr[v + 1], 200).astype(np.uint32)
        bad_indptr = (indptr + (np.arange(201) > v)).astype(np.uint32)
        got, model = far_query_searches(prec, (yp, bad_indptr, bad_indices), queries)[search]
        result, want = outcome(got), outcome(model)
        assert result[0] == want[0], v
        if want[0] == "ok":
            np.testing.assert_array_equal(result[1][0], want[1][0])
        outcomes.add(want[0])
    assert "raised" in outcomes
