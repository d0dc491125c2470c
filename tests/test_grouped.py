"""Grouped query sets, query_grouped and query_prepared_blocked."""

import gc
import inspect
import threading
import weakref

import numpy as np
import pytest

import _tevu
import oracle
from conftest import (FLOATS, PanicException, brute_nearest, clustered_cloud, csr_from_lists,
                      delaunay_graph, empty_graph, near_tie_cloud, run_in_threads, uniform_cloud)

PREPARED = {"f64": _tevu.PreparedF64, "f32": _tevu.PreparedF32}
GROUPED = {"f64": _tevu.GroupedQueriesF64, "f32": _tevu.GroupedQueriesF32}
PRECISIONS = sorted(PREPARED)
INF = float("inf")
# Query cloud shifts for the model comparisons: the query box inside the
# target's grown by the bound (per-point tests off), sticking out (on), or
# farther than the bound (the whole cloud misses).
SHIFTS = [0, 3, 12]
CAPACITY_LIMIT = (2**63 - 1) // 8  # the largest block whose scratch arrays can exist


def points(prec, n, seed, kind="uniform", shift=0.0):
    make = uniform_cloud if kind == "uniform" else clustered_cloud
    return (make(n, seed) + shift).astype(FLOATS[prec])


def prepared(prec, pts):
    return PREPARED[prec](pts, *(delaunay_graph(pts) if len(pts) else empty_graph(0)))


def assert_same(a, b):
    np.testing.assert_array_equal(a[0], b[0])
    np.testing.assert_array_equal(a[1], b[1])


def join_case(prec, sizes, seed, kind="clustered", shift=0.0):
    """Query clouds and a target, each prepared from randomly reordered points.

    Returns the prepared clouds, their new -> original permutations, the
    original query point arrays, and the prepared target with its
    permutation."""
    rng = np.random.default_rng(seed)
    originals = [points(prec, n, seed + 1 + c, kind) for c, n in enumerate(sizes)]
    perms = [rng.permutation(len(x)) for x in originals]
    queries = [prepared(prec, x[p]) for x, p in zip(originals, perms)]
    y = points(prec, 1200, seed + 100, kind, shift)
    target_perm = rng.permutation(len(y))
    return queries, perms, originals, prepared(prec, y[target_perm]), target_perm


def per_cloud_in_original_order(target, target_perm, queries, perms, bound=None):
    """query_prepared of every cloud, mapped back to original positions and
    original target indices (misses stay (inf, ny))."""
    ny = target.n
    dists, idxs = [], []
    for q, p in zip(queries, perms):
        d, i = target.query_prepared(q, bound)
        hit = i < ny
        mapped = np.where(hit, target_perm[np.minimum(i, ny - 1)], ny)
        out_d, out_i = np.empty_like(d), np.empty_like(i)
        out_d[p], out_i[p] = d, mapped
        dists.append(out_d)
        idxs.append(out_i)
    return np.concatenate(dists), np.concatenate(idxs)


# ---------------------------------------------------------------------------
# The classes

@pytest.mark.parametrize("prec", PRECISIONS)
def test_class_shape(prec):
    cls = GROUPED[prec]
    assert cls.__module__ == "builtins" and cls.__qualname__ == f"GroupedQueries{prec.upper()}"
    assert cls.__doc__.strip() and cls.__text_signature__ is None
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    g = cls.prepare([], [])
    assert not hasattr(g, "__dict__") and not gc.is_tracked(g)
    with pytest.raises(TypeError):
        weakref.ref(g)
    with pytest.raises(AttributeError):
        g.n_points = 3
    assert str(inspect.signature(cls.prepare)) == "(queries, query_perms)"
    assert cls.n_points.__doc__ == "Number of concatenated query points."
    assert cls.n_clouds.__doc__ == "Number of query clouds."
    p = prepared(prec, points(prec, 10, 1))
    assert str(inspect.signature(p.query_grouped)) == (
        "(grouped, target_perm, block=32, distance_upper_bound=None, finalize=True)")
    assert str(inspect.signature(p.query_prepared_blocked)) == (
        "(other, block=8, distance_upper_bound=None)")


@pytest.mark.parametrize("prec", PRECISIONS)
def test_properties(prec):
    f = FLOATS[prec]
    clouds = [PREPARED[prec](np.zeros((n, 3), f), *empty_graph(n)) for n in (4, 0, 6)]
    g = GROUPED[prec].prepare(clouds, (None,))
    assert repr(g) == f"GroupedQueries{prec.upper()}(n_clouds=3, n_points=10)"
    assert (g.n_clouds, g.n_points) == (3, 10)
    offsets, perm = g.offsets, g.perm
    assert offsets.tolist() == [0, 4, 4, 10] and offsets.dtype == np.uint64
    assert sorted(perm.tolist()) == list(range(10)) and perm.dtype == np.uint64
    offsets[:] = 7  # fresh copies: the set is unchanged
    assert g.offsets.tolist() == [0, 4, 4, 10] and g.offsets is not g.offsets


@pytest.mark.parametrize("prec", PRECISIONS)
def test_empty_set(prec):
    g = GROUPED[prec].prepare([], [])
    assert (g.n_clouds, g.n_points, g.offsets.tolist(), g.perm.tolist()) == (0, 0, [0], [])
    target = prepared(prec, points(prec, 20, 2))
    for finalize in (True, False):
        d, i = target.query_grouped(g, None, block=2**63, finalize=finalize)
        assert d.shape == i.shape == (0,) and d.dtype == FLOATS[prec] and i.dtype == np.uint64


# ---------------------------------------------------------------------------
# Results on Delaunay graphs

@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("bound", [None, 0.01])
@pytest.mark.parametrize("block", [1, 8, 32])
def test_query_grouped_equals_query_prepared(prec, bound, block):
    queries, perms, originals, target, target_perm = join_case(prec, [700, 0, 450, 900], 3)
    g = GROUPED[prec].prepare(queries, perms)
    got = target.query_grouped(g, target_perm, block, bound)
    assert_same(got, per_cloud_in_original_order(target, target_perm, queries, perms, bound))
    if bound is None:  # original order and original target indices, checked directly
        y = target.data[np.argsort(target_perm)]
        for c, x in enumerate(originals):
            part = slice(g.offsets[c], g.offsets[c + 1])
            d, i = brute_nearest(x, y)
            np.testing.assert_array_equal(got[0][part], d)
            np.testing.assert_array_equal(got[1][part], i)
    else:
        hits = got[1] < target.n
        assert 0 < hits.sum() < len(hits)


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("bound", [None, 0.02])
@pytest.mark.parametrize("with_query_perms", [False, True])
def test_raw_results_scattered_by_perm_equal_finalized(prec, bound, with_query_perms):
    queries, _, _, target, _ = join_case(prec, [300, 500, 0, 200], 4, kind="uniform")
    rng = np.random.default_rng(5)
    perms = [None] * 4
    if with_query_perms:
        # Clouds with and without a perm in one set; one perm is longer than its cloud.
        perms = [rng.permutation(300), None, None, np.r_[rng.permutation(200), 7, 7]]
    g = GROUPED[prec].prepare(queries, perms)
    raw_d, raw_i = target.query_grouped(g, None, distance_upper_bound=bound, finalize=False)
    out_d, out_i = np.empty_like(raw_d), np.empty_like(raw_i)
    out_d[g.perm], out_i[g.perm] = raw_d, raw_i
    offsets = g.offsets.astype(np.int64)
    for c, perm in enumerate(perms):
        if perm is not None:
            part = slice(offsets[c], offsets[c + 1])
            dest = offsets[c] + perm[:offsets[c + 1] - offsets[c]]
            out_d[dest], out_i[dest] = out_d[part].copy(), out_i[part].copy()
    assert_same((out_d, out_i), target.query_grouped(g, None, distance_upper_bound=bound))
    if with_query_perms:
        return
    for c, q in enumerate(queries):
        part = slice(offsets[c], offsets[c + 1])
        assert_same((out_d[part], out_i[part]), target.query_prepared(q, bound))
    # The raw indices are internal: target_perm is only applied when finalizing.
    assert_same(target.query_grouped(g, np.arange(target.n)[::-1].copy(), finalize=False),
                target.query_grouped(g, None, finalize=False))


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("bound", [None, 0.01, 0.2])
@pytest.mark.parametrize("block", [0, 1, 8, 100, 2**40, CAPACITY_LIMIT])
def test_query_prepared_blocked_equals_query_prepared(prec, bound, block):
    x = prepared(prec, points(prec, 900, 5, "clustered"))
    y = prepared(prec, points(prec, 800, 6, "clustered", shift=0.3))
    assert_same(y.query_prepared_blocked(x, block, bound), y.query_prepared(x, bound))


@pytest.mark.parametrize("prec", PRECISIONS)
def test_far_queries_all_miss(prec):
    queries, perms, _, target, target_perm = join_case(prec, [100, 50], 7, shift=5.0)
    g = GROUPED[prec].prepare(queries, perms)
    d, i = target.query_grouped(g, target_perm, distance_upper_bound=1.0)
    assert np.all(d == INF) and np.all(i == target.n)  # misses never go through target_perm
    d, i = target.query_prepared_blocked(queries[0], distance_upper_bound=1.0)
    assert np.all(d == INF) and np.all(i == target.n)


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("bound", [float("nan"), INF])
def test_nan_and_inf_bounds_filter_nothing(prec, bound):
    queries, perms, _, target, target_perm = join_case(prec, [200, 300], 8, shift=0.5)
    g = GROUPED[prec].prepare(queries, perms)
    assert_same(target.query_grouped(g, target_perm, distance_upper_bound=bound),
                target.query_grouped(g, target_perm))
    assert_same(target.query_prepared_blocked(queries[1], 8, bound),
                target.query_prepared_blocked(queries[1]))


@pytest.mark.parametrize("prec", PRECISIONS)
def test_bound_at_the_answer(prec):
    f = FLOATS[prec]
    target = PREPARED[prec](np.zeros((1, 3), f), *empty_graph(1))
    x = PREPARED[prec](np.array([[3, 4, 0]], f), *empty_graph(1))
    g = GROUPED[prec].prepare([x], [None])
    for bound, want in ((5, ([5.0], [0])), (4.999, ([INF], [1])), (-5.0, ([5.0], [0]))):
        assert_same(target.query_grouped(g, None, distance_upper_bound=bound), want)
        assert_same(target.query_prepared_blocked(x, distance_upper_bound=bound), want)


@pytest.mark.parametrize("prec", PRECISIONS)
def test_empty_target(prec):
    f = FLOATS[prec]
    empty = PREPARED[prec](np.zeros((0, 3), f), *empty_graph(0))
    queries, perms, *_ = join_case(prec, [30, 0, 20], 9)
    g = GROUPED[prec].prepare(queries, perms)
    for finalize in (True, False):
        for bound in (None, 1.0):
            d, i = empty.query_grouped(g, np.array([5], np.int64), 4, bound, finalize)
            assert np.all(d == INF) and np.all(i == 0) and d.shape == (50,)
    d, i = empty.query_prepared_blocked(queries[0])
    assert np.all(d == INF) and np.all(i == 0)


@pytest.mark.parametrize("prec", PRECISIONS)
def test_set_owns_its_data(prec):
    queries, perms, _, target, target_perm = join_case(prec, [200, 100], 10)
    perms = [p.copy() for p in perms]
    g = GROUPED[prec].prepare(queries, perms)
    want = target.query_grouped(g, target_perm)
    for p in perms:
        p[:] = 0
    del queries
    gc.collect()
    assert_same(target.query_grouped(g, target_perm), want)


# ---------------------------------------------------------------------------
# The literal model, on graphs where seeds and order decide the answer

def random_graph_cloud(rng, f, n, degree, offset=0, min_degree=0):
    pts = (rng.integers(-4, 5, (n, 3)) + offset).astype(f)
    lists = [list(rng.integers(0, n, rng.integers(min_degree, degree))) for _ in range(n)]
    return pts, *csr_from_lists(lists)


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("seed", range(10))
def test_blocked_matches_model(prec, seed):
    rng = np.random.default_rng(seed)
    f = FLOATS[prec]
    y = random_graph_cloud(rng, f, int(rng.integers(1, 30)), 6)
    xs = [random_graph_cloud(rng, f, int(rng.integers(0, 25)), 3, rng.choice(SHIFTS))
          for _ in range(3)]
    py, pxs = PREPARED[prec](*y), [PREPARED[prec](*x) for x in xs]
    g = GROUPED[prec].prepare(pxs, [None] * 3)
    sorted_points = np.concatenate([x[0] for x in xs])[g.perm]
    for bound in (None, 0.5, 2.0, 4.0, float(rng.choice([1.0, 3.0]))):
        for block in (0, 1, 2, 3, 7, 100):
            want = oracle.blocked(sorted_points, g.n_points, *y, block, f, bound)
            assert_same(py.query_grouped(g, None, block, bound, finalize=False), want)
            x = xs[0]
            want = oracle.blocked(x[0], len(x[0]), *y, block, f, bound,
                                  query_box=oracle.box_of(x[0], f))
            assert_same(py.query_prepared_blocked(pxs[0], block, bound), want)


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("seed", range(12))
def test_blocked_matches_model_with_near_ties(prec, seed):
    # Targets mostly within an ulp of 0, queries mostly at integer points:
    # ties within rounding that are not exact, so stopped descents search
    # their plateau.
    rng = np.random.default_rng(200 + seed)
    f = FLOATS[prec]

    def cloud(n, degree, share):
        return near_tie_cloud(rng, f, n, share), *random_graph_cloud(rng, f, n, degree)[1:]

    y = cloud(int(rng.integers(1, 80)), 6, 0.8)
    x = cloud(int(rng.integers(1, 80)), 3, 0.2)
    py, px = PREPARED[prec](*y), PREPARED[prec](*x)
    g = GROUPED[prec].prepare([px], [None])
    for block in (1, 3, 100):
        want = oracle.blocked(x[0][g.perm], g.n_points, *y, block, f)
        assert_same(py.query_grouped(g, None, block, finalize=False), want)
        want = oracle.blocked(x[0], len(x[0]), *y, block, f, query_box=oracle.box_of(x[0], f))
        assert_same(py.query_prepared_blocked(px, block), want)


@pytest.mark.parametrize("prec", PRECISIONS)
def test_block_zero_acts_as_one(prec):
    rng = np.random.default_rng(12)
    f = FLOATS[prec]
    y, x = random_graph_cloud(rng, f, 40, 4, min_degree=2), random_graph_cloud(rng, f, 60, 3)
    py, px = PREPARED[prec](*y), PREPARED[prec](*x)
    g = GROUPED[prec].prepare([px], [None])
    assert_same(py.query_prepared_blocked(px, 0), py.query_prepared_blocked(px, 1))
    assert_same(py.query_grouped(g, None, 0), py.query_grouped(g, None, 1))
    # On such a graph the block does matter, so the comparison above means something.
    assert any(not np.array_equal(py.query_prepared_blocked(px, 1)[1],
                                  py.query_prepared_blocked(px, b)[1]) for b in (4, 60))


# ---------------------------------------------------------------------------
# Failures

@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("block", [CAPACITY_LIMIT + 1, 2**64 - 1])
def test_block_too_large_for_scratch(prec, block, panics):
    x = prepared(prec, points(prec, 50, 12))
    g = GROUPED[prec].prepare([x], [None])
    with panics("capacity overflow"):
        x.query_prepared_blocked(x, block)
    with panics("capacity overflow"):
        x.query_grouped(g, None, block)
    # Whole-cloud misses allocate nothing, so nothing fails.
    far = prepared(prec, points(prec, 50, 13, shift=9.0))
    assert np.all(far.query_prepared_blocked(x, block, 1.0)[0] == INF)


@pytest.mark.parametrize("prec", PRECISIONS)
def test_malformed_graphs_fail(prec, panics):
    f = FLOATS[prec]
    pts = np.array([[0, 0, 0], [1, 0, 0], [2, 0, 0]], f)
    x = PREPARED[prec](np.array([[5, 0, 0]], f), *empty_graph(1))
    g = GROUPED[prec].prepare([x], [None])
    cases = [([[1], [7], []], "index out of bounds: the len is 3 but the index is 7"),
             ([[1], [2]], "index out of bounds: the len is 3 but the index is 3")]
    for lists, message in cases:
        bad = PREPARED[prec](pts, *csr_from_lists(lists))
        with panics(message):
            bad.query_grouped(g, None)
        with panics(message):
            bad.query_prepared_blocked(x)
    reversed_offsets = PREPARED[prec](pts, np.array([2, 1, 0, 0], np.uint32),
                                      np.zeros(2, np.uint32))
    with panics("slice index starts at 2 but ends at 1"):
        reversed_offsets.query_prepared_blocked(x)
    # The query's point count comes from its indptr.
    good = PREPARED[prec](pts, *csr_from_lists([[1], [0, 2], [1]]))
    no_indptr = PREPARED[prec](pts, np.zeros(0, np.uint32), np.zeros(0, np.uint32))
    with panics("capacity overflow"):
        good.query_prepared_blocked(no_indptr)
    too_long = PREPARED[prec](pts[:1], *empty_graph(2))
    with panics("index out of bounds: the len is 1 but the index is 1"):
        good.query_prepared_blocked(too_long)


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("perm,message", [
    ([0, 3, 1], "index out of bounds: the len is 3 but the index is 3"),
    ([0, -1, 1], f"index out of bounds: the len is 3 but the index is {2**64 - 1}"),
    ([0, 2, 2], "query perm of cloud 1 repeats the index 2"),
    ([0, 1], "index out of bounds: the len is 2 but the index is 2"),
])
def test_query_perm_that_is_not_a_permutation_fails(prec, perm, message, panics):
    f = FLOATS[prec]
    clouds = [PREPARED[prec](np.zeros((n, 3), f), *empty_graph(n)) for n in (2, 3)]
    target = clouds[1]
    g = GROUPED[prec].prepare(clouds, [None, np.array(perm, np.int64)])
    with panics(message):
        target.query_grouped(g, None)
    assert target.query_grouped(g, None, finalize=False)[0].shape == (5,)


@pytest.mark.parametrize("prec", PRECISIONS)
def test_query_perms_longer_or_beyond_the_clouds_are_cut(prec):
    f = FLOATS[prec]
    pts = np.array([[0, 0, 0], [1, 0, 0], [5, 0, 0]], f)
    cloud = PREPARED[prec](pts, *empty_graph(3))
    target = PREPARED[prec](np.array([[0, 0, 0], [10, 0, 0]], f), *csr_from_lists([[1], [0]]))
    perms = [np.array([2, 0, 1, 7, 7], np.int64), np.array([9, 9], np.int64), None]
    g = GROUPED[prec].prepare([cloud], perms)
    d, i = target.query_grouped(g, np.array([20, 10], np.int64), distance_upper_bound=2)
    # Prepared position p holds original point perms[0][p]; the miss keeps |target|.
    assert d.tolist() == [1.0, INF, 0.0] and i.tolist() == [20, 2, 20]


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("with_target_perm", [False, True])
def test_clouds_without_perms_land_in_stored_order(prec, with_target_perm):
    """No query perms (a perm listed beyond the last cloud is ignored): the
    same answers as identity perms, with or without a target perm."""
    queries, _, _, target, target_perm = join_case(prec, [300, 500], 16)
    t_perm = target_perm if with_target_perm else None
    identity = [np.arange(q.n, dtype=np.int64) for q in queries]
    want = target.query_grouped(GROUPED[prec].prepare(queries, identity), t_perm)
    extra = [None, None, np.zeros(3, np.int64)]
    for perms in ([None, None], [], extra):
        got = target.query_grouped(GROUPED[prec].prepare(queries, perms), t_perm)
        assert_same(got, want)
    raw = [target.query_prepared(q) for q in queries]
    d = np.concatenate([r[0] for r in raw])
    i = np.concatenate([r[1] for r in raw])
    np.testing.assert_array_equal(want[0], d)
    np.testing.assert_array_equal(want[1], target_perm[i] if with_target_perm else i)


@pytest.mark.parametrize("prec", PRECISIONS)
def test_target_perm_too_short(prec):
    x = prepared(prec, points(prec, 40, 14))
    g = GROUPED[prec].prepare([x], [None])
    with pytest.raises(PanicException, match="^index out of bounds: the len is 3 but the index is"):
        x.query_grouped(g, np.arange(3, dtype=np.int64))


def test_precisions_and_classes_never_mix():
    p64 = prepared("f64", points("f64", 30, 15))
    p32 = prepared("f32", points("f32", 30, 15))
    g64, g32 = GROUPED["f64"].prepare([p64], [None]), GROUPED["f32"].prepare([p32], [None])
    cases = [
        (lambda: GROUPED["f64"].prepare([p64, p32], [None]), "queries",
         "'PreparedF32' object is not an instance of 'PreparedF64'"),
        (lambda: GROUPED["f32"].prepare((p32, g32), []), "queries",
         "'GroupedQueriesF32' object is not an instance of 'PreparedF32'"),
        (lambda: p64.query_grouped(g32, None), "grouped",
         "'GroupedQueriesF32' object is not an instance of 'GroupedQueriesF64'"),
        (lambda: p32.query_grouped(p32, None), "grouped",
         "'PreparedF32' object is not an instance of 'GroupedQueriesF32'"),
        (lambda: p64.query_prepared_blocked(p32), "other",
         "'PreparedF32' object is not an instance of 'PreparedF64'"),
    ]
    for call, arg, text in cases:
        with pytest.raises(TypeError, match=f"^argument '{arg}': {text}$"):
            call()


def _args():
    p = prepared("f64", points("f64", 20, 16))
    return p, GROUPED["f64"].prepare([p], [None])


ARG_ERRORS = [
    (lambda p, g: GROUPED["f64"].prepare("abc", []), TypeError,
     "argument 'queries': Can't extract `str` to `Vec`"),
    (lambda p, g: GROUPED["f64"].prepare([p], "ab"), TypeError,
     "argument 'query_perms': Can't extract `str` to `Vec`"),
    (lambda p, g: GROUPED["f64"].prepare(p, []), TypeError, "argument 'queries'"),
    (lambda p, g: GROUPED["f64"].prepare({p}, []), TypeError, "argument 'queries'"),
    (lambda p, g: GROUPED["f64"].prepare([p], [np.arange(20, dtype=np.int32)]), TypeError,
     "argument 'query_perms'"),
    (lambda p, g: GROUPED["f64"].prepare([p], [np.zeros((2, 10), np.int64)]), TypeError,
     "argument 'query_perms'"),
    (lambda p, g: GROUPED["f64"].prepare([p], [[0, 1]]), TypeError, "argument 'query_perms'"),
    (lambda p, g: GROUPED["f64"].prepare([p]), TypeError, "missing 1 required argument"),
    (lambda p, g: GROUPED["f64"].prepare([p], [np.arange(40)[::2]]), PanicException,
     "^contiguous perm$"),
    (lambda p, g: p.query_grouped(g), TypeError, "missing 1 required argument: 'target_perm'"),
    (lambda p, g: p.query_grouped(g, np.arange(40)[::2], finalize=False), PanicException,
     "^contiguous target perm$"),
    (lambda p, g: p.query_grouped(g, np.arange(20, dtype=np.uint64)), TypeError,
     "argument 'target_perm'"),
    (lambda p, g: p.query_grouped(g, "abc"), TypeError, "argument 'target_perm'"),
    (lambda p, g: p.query_grouped(g, None, -1), OverflowError, "negative"),
    (lambda p, g: p.query_grouped(g, None, 2**64), OverflowError,
     "out of range integral type conversion attempted"),
    (lambda p, g: p.query_grouped(g, None, 1.5), TypeError, "argument 'block'"),
    (lambda p, g: p.query_grouped(g, None, distance_upper_bound="1"), TypeError,
     "argument 'distance_upper_bound'"),
    (lambda p, g: p.query_grouped(g, None, finalize=1), TypeError, "argument 'finalize'"),
    (lambda p, g: p.query_grouped(g, None, 8, None, True, 1), TypeError, "positional"),
    (lambda p, g: p.query_prepared_blocked(p, block="8"), TypeError, "argument 'block'"),
    (lambda p, g: p.query_prepared_blocked(p, blk=8), TypeError, "unexpected keyword"),
]


@pytest.mark.parametrize("case", range(len(ARG_ERRORS)))
def test_argument_errors(case):
    p, g = _args()
    call, exc, text = ARG_ERRORS[case]
    with pytest.raises(exc, match=text):
        call(p, g)


def test_accepted_argument_forms():
    p, g = _args()
    want = p.query_grouped(g, None)
    assert_same(p.query_grouped(grouped=g, target_perm=None, block=np.uint8(32),
                                distance_upper_bound=None, finalize=np.bool_(True)), want)
    # A tuple of clouds, and a 2-D array as a sequence of 1-D int64 perms.
    reverse = np.arange(20, dtype=np.int64)[::-1]
    g2 = GROUPED["f64"].prepare((p,), np.array([reverse]))
    d, i = p.query_grouped(g2, None)
    assert_same((d[reverse], i[reverse]), want)
    # A one-element perm may have any stride; an int bound is a float.
    single = PREPARED["f64"](np.zeros((1, 3)), *empty_graph(1))
    one = np.arange(10, dtype=np.int64)[7:8][::-1]
    d, i = single.query_grouped(g, one, distance_upper_bound=10)
    assert np.all(i == 7) and np.all(d < 10)


# ---------------------------------------------------------------------------
# Threads

def test_many_threads_share_one_grouped_set():
    queries, perms, _, _, _ = join_case("f64", [800, 600, 700], 18)
    targets = [prepared("f64", points("f64", 900, 40 + k, "clustered")) for k in range(3)]
    g = GROUPED["f64"].prepare(queries, perms)
    jobs = [(t, b, bound) for t in range(3) for b in (8, 32) for bound in (None, 0.01)]
    serial = {job: targets[job[0]].query_grouped(g, None, job[1], job[2]) for job in jobs}
    failures = []
    barrier = threading.Barrier(8)

    def work(k):
        barrier.wait()
        for job in jobs[k:] + jobs[:k]:
            got = targets[job[0]].query_grouped(g, None, job[1], job[2])
            if not (np.array_equal(got[0], serial[job][0])
                    and np.array_equal(got[1], serial[job][1])):
                failures.append(job)
            blocked = targets[job[0]].query_prepared_blocked(queries[0], job[1], job[2])
            if not np.array_equal(blocked[1], targets[job[0]].query_prepared(queries[0], job[2])[1]):
                failures.append(("blocked",) + job)

    run_in_threads(work, 8)
    assert failures == []
