"""PreparedF64 / PreparedF32: construction, properties, k = 1 searches."""

import gc
import inspect
import threading
import weakref

import numpy as np
import pytest

import _tevu
import oracle
from conftest import (FLOATS, PanicException, brute_nearest, clustered_cloud, csr_from_lists,
                      delaunay_graph, empty_graph, run_in_threads, sq_dist, uniform_cloud)

CLASSES = {"f64": _tevu.PreparedF64, "f32": _tevu.PreparedF32}
PRECISIONS = sorted(CLASSES)
INF = float("inf")
# Query cloud shifts for the model comparisons: the query box inside the
# target's grown by the bound (per-point tests off), sticking out (on), or
# farther than the bound (the whole cloud misses).
SHIFTS = [0, 3, 12]


def cloud(prec, n, seed, kind="uniform", shift=0.0):
    make = uniform_cloud if kind == "uniform" else clustered_cloud
    pts = (make(n, seed) + shift).astype(FLOATS[prec])
    return (pts, *delaunay_graph(pts))


def prepared(prec, arrays):
    return CLASSES[prec](*arrays)


def assert_same(a, b):
    np.testing.assert_array_equal(a[0], b[0])
    np.testing.assert_array_equal(a[1], b[1])


# ---------------------------------------------------------------------------
# The class

@pytest.mark.parametrize("prec", PRECISIONS)
def test_class_shape(prec):
    cls = CLASSES[prec]
    name = "PreparedF64" if prec == "f64" else "PreparedF32"
    assert cls.__module__ == "builtins" and cls.__qualname__ == name
    assert cls.__text_signature__ == "(points, indptr, indices)"
    assert cls.__doc__.strip()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    p = prepared(prec, cloud(prec, 10, 1))
    assert not hasattr(p, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(p)
    assert not gc.is_tracked(p)
    sigs = {
        "query": "(x_points, x_indptr, x_indices, distance_upper_bound=None)",
        "query_k": "(x_points, x_indptr, x_indices, k, ef, distance_upper_bound=None)",
        "query_prepared": "(other, distance_upper_bound=None)",
        "query_prepared_k": "(other, k, ef, distance_upper_bound=None)",
    }
    for method, sig in sigs.items():
        assert str(inspect.signature(getattr(p, method))) == sig
    assert cls.n.__doc__ == "Number of points in the prepared target."
    assert cls.data.__doc__ == "The target points as an `(n, 3)` array (pad lane dropped)."


@pytest.mark.parametrize("prec", PRECISIONS)
def test_n_data_repr(prec):
    pts = np.arange(20, dtype=FLOATS[prec]).reshape(5, 4)
    p = prepared(prec, (pts, *empty_graph(5)))
    name = type(p).__name__
    assert p.n == 5 and repr(p) == f"{name}(n=5)"
    data = p.data
    assert data.dtype == FLOATS[prec] and data.shape == (5, 3) and data.flags.c_contiguous
    np.testing.assert_array_equal(data, pts[:, :3])
    data[:] = -1  # a copy: the instance is unchanged
    np.testing.assert_array_equal(p.data, pts[:, :3])
    assert p.data is not p.data
    empty = prepared(prec, (np.zeros((0, 3), FLOATS[prec]), *empty_graph(0)))
    assert empty.n == 0 and empty.data.shape == (0, 3) and repr(empty) == f"{name}(n=0)"


@pytest.mark.parametrize("prec", PRECISIONS)
def test_inputs_are_copied(prec):
    x, y = cloud(prec, 300, 2), cloud(prec, 400, 3)
    y_copy = tuple(a.copy() for a in y)
    p = prepared(prec, y_copy)
    want = p.query(*x)
    for a in y_copy:
        a[...] = 0  # mutate everything the instance was built from
    assert_same(p.query(*x), want)


@pytest.mark.parametrize("prec", PRECISIONS)
def test_constructor_accepts_any_csr_layout(prec):
    x, y = cloud(prec, 200, 4), cloud(prec, 250, 5)
    strided = tuple(np.repeat(a, 2)[::2] for a in y[1:])
    reversed_view = tuple(a[::-1].copy()[::-1] for a in y[1:])
    want = prepared(prec, y).query(*x)
    for indptr, indices in (strided, reversed_view):
        assert_same(prepared(prec, (np.asfortranarray(y[0]), indptr, indices)).query(*x), want)


# ---------------------------------------------------------------------------
# Searches

@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("kind", ["uniform", "clustered"])
def test_query_is_exact(prec, kind):
    x, y = cloud(prec, 2000, 6, kind), cloud(prec, 1500, 7, kind)
    dist, idx = prepared(prec, y).query(*x)
    np.testing.assert_array_equal(dist, brute_nearest(x[0], y[0])[0])
    assert dist.shape == idx.shape == (2000,)


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("bound", [None, 0.02, 0.5])
def test_query_prepared_equals_query(prec, bound):
    x, y = cloud(prec, 800, 8, "clustered"), cloud(prec, 900, 9, "clustered", shift=0.3)
    px, py = prepared(prec, x), prepared(prec, y)
    via_prepared = py.query_prepared(px, distance_upper_bound=bound)
    via_arrays = py.query(px.data, x[1], x[2], bound)
    assert_same(via_prepared, via_arrays)


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("shift", [0.0, 0.5])  # 0.5: the query box sticks out (per-point tests)
@pytest.mark.parametrize("bound", [0.01, 0.05, 0.3])
def test_bound_cuts_answers(prec, shift, bound):
    x, y = cloud(prec, 1500, 10, "clustered", shift=shift), cloud(prec, 1500, 11, "clustered")
    py = prepared(prec, y)
    free_d, free_i = py.query(*x)
    dist, idx = py.query(*x, distance_upper_bound=bound)
    b = FLOATS[prec](bound)
    miss = free_d * free_d > b * b
    assert 0 < miss.sum() or shift == 0.0
    np.testing.assert_array_equal(dist, np.where(miss, INF, free_d))
    np.testing.assert_array_equal(idx, np.where(miss, len(y[0]), free_i))


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("seed", range(8))
def test_bounded_search_matches_model(prec, seed):
    """Random non-Delaunay graphs: misses keep the seed they were given."""
    rng = np.random.default_rng(seed)
    f = FLOATS[prec]
    n_x, n_y = rng.integers(1, 25), rng.integers(1, 25)
    xp = (rng.integers(-4, 5, (n_x, 3)) + rng.choice(SHIFTS)).astype(f)
    yp = rng.integers(-3, 4, (n_y, 3)).astype(f)
    graph = lambda n, d: csr_from_lists([list(rng.integers(0, n, rng.integers(0, d)))
                                         for _ in range(n)])
    x, y = (xp, *graph(n_x, 4)), (yp, *graph(n_y, 5))
    bound = float(rng.choice([0.5, 1.0, 2.0, 3.0, 5.0]))
    py, px = prepared(prec, y), prepared(prec, x)
    want = oracle.greedy(*x, *y, dtype=f, bound=bound)
    assert_same(py.query(*x, distance_upper_bound=bound), want)
    assert_same(py.query_prepared(px, bound), want)


@pytest.mark.parametrize("prec", PRECISIONS)
def test_answer_at_the_bound_is_kept(prec):
    f = FLOATS[prec]
    py = prepared(prec, (np.zeros((1, 3), f), *empty_graph(1)))
    x = (np.array([[3, 4, 0]], f), *empty_graph(1))
    assert_same(py.query(*x, distance_upper_bound=5), ([5.0], [0]))  # an int bound works
    assert_same(py.query(*x, distance_upper_bound=4.999), ([INF], [1]))
    # float32 rounds the bound to the nearest float32 (5.0) first.
    want = ([5.0], [0]) if prec == "f32" else ([INF], [1])
    assert_same(py.query(*x, distance_upper_bound=5 - 1e-9), want)


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("bound", [float("nan"), INF, np.float64(INF)])
def test_nan_and_inf_bounds_change_nothing(prec, bound):
    x, y = cloud(prec, 500, 12, shift=0.7), cloud(prec, 500, 13)
    py = prepared(prec, y)
    assert_same(py.query(*x, distance_upper_bound=bound), py.query(*x))
    assert_same(py.query_prepared(prepared(prec, x), bound), py.query(*x))


@pytest.mark.parametrize("prec", PRECISIONS)
def test_far_query_cloud_misses_without_reading_its_graph(prec):
    x, y = cloud(prec, 300, 14, shift=10.0), cloud(prec, 300, 15)
    py = prepared(prec, y)
    strided = np.repeat(x[1], 2)[::2]  # would fail the contiguity check if read
    dist, idx = py.query(x[0], strided, x[2], distance_upper_bound=1.0)
    assert np.all(dist == INF) and np.all(idx == 300)
    dist, idx = py.query_prepared(prepared(prec, x), distance_upper_bound=1.0)
    assert np.all(dist == INF) and np.all(idx == 300)


@pytest.mark.parametrize("prec", PRECISIONS)
def test_empty_target(prec):
    f = FLOATS[prec]
    empty = prepared(prec, (np.zeros((0, 3), f), *empty_graph(0)))
    x = cloud(prec, 50, 16)
    dist, idx = empty.query(*x, distance_upper_bound=1e3)
    assert np.all(dist == INF) and np.all(idx == 0)
    with pytest.raises(PanicException, match="^index out of bounds: the len is 0 but the index is 0$"):
        empty.query(*x)
    no_query = (np.zeros((0, 3), f), *empty_graph(0))
    assert empty.query(*no_query)[0].shape == (0,)


@pytest.mark.parametrize("prec", PRECISIONS)
def test_self_join(prec):
    x = cloud(prec, 500, 17)
    p = prepared(prec, x)
    dist, idx = p.query_prepared(p)
    assert np.all(dist == 0) and np.array_equal(idx, np.arange(500))


def test_precisions_never_mix():
    x64, x32 = cloud("f64", 50, 18), cloud("f32", 50, 18)
    p64, p32 = prepared("f64", x64), prepared("f32", x32)
    with pytest.raises(TypeError, match="^argument 'other': 'PreparedF32' object is not an "
                                        "instance of 'PreparedF64'$"):
        p64.query_prepared(p32)
    with pytest.raises(TypeError, match="'PreparedF64' object is not an instance of 'PreparedF32'"):
        p32.query_prepared(other=p64)
    with pytest.raises(TypeError, match="'x_points'"):
        p64.query(*x32)
    with pytest.raises(TypeError, match="'points'"):
        _tevu.PreparedF32(*x64)


ARG_ERRORS = [
    (lambda p, x: type(p)(x[0], x[1]), TypeError, r"missing 1 required argument: 'indices'"),
    (lambda p, x: type(p)(x[0], x[1], x[2], x[2]), TypeError, "takes 3 positional"),
    (lambda p, x: type(p)(x[0], x[1], indptr=x[1]), TypeError, "multiple values for argument 'indptr'"),
    (lambda p, x: type(p)(x[0].tolist(), x[1], x[2]), TypeError, "argument 'points'"),
    (lambda p, x: p.query(*x, distance_upper_bound="1"), TypeError, "argument 'distance_upper_bound'"),
    (lambda p, x: p.query(*x, bound=1.0), TypeError, "unexpected keyword argument 'bound'"),
    (lambda p, x: p.query(x[0], x[1].astype(np.int64), x[2]), TypeError, "argument 'x_indptr'"),
    (lambda p, x: p.query_prepared(), TypeError, r"query_prepared\(\) missing"),
    (lambda p, x: p.query_prepared(p, None, None), TypeError, "takes from 1 to 2 positional"),
]


@pytest.mark.parametrize("case", range(len(ARG_ERRORS)))
def test_argument_errors(case):
    x = cloud("f64", 20, 19)
    p = prepared("f64", x)
    fn, exc, text = ARG_ERRORS[case]
    with pytest.raises(exc, match=text):
        fn(p, x)
    assert_same(p.query(*x), p.query_prepared(p))


def test_none_bound_equals_omitted():
    x, y = cloud("f64", 200, 20), cloud("f64", 200, 21)
    py = prepared("f64", y)
    assert_same(py.query(*x, None), py.query(*x))
    assert_same(py.query_prepared(prepared("f64", x), distance_upper_bound=None),
                py.query_prepared(prepared("f64", x)))


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("lists,message", [
    ([[1], [7], []], "index out of bounds: the len is 3 but the index is 7"),
    ([[1], [2]], "index out of bounds: the len is 3 but the index is 3"),  # indptr too short
])
def test_malformed_target_fails_later_and_stays_usable(prec, lists, message):
    f = FLOATS[prec]
    pts = np.array([[0, 0, 0], [1, 0, 0], [2, 0, 0]], f)
    indptr, indices = csr_from_lists(lists)
    bad = prepared(prec, (pts, indptr, indices))  # accepted unchecked
    x = (np.array([[5, 0, 0]], f), *empty_graph(1))
    for _ in range(2):
        with pytest.raises(PanicException) as info:
            bad.query(*x)
        assert info.value.args == (message,)
    assert bad.n == 3 and repr(bad).endswith("(n=3)")
    # Far from its box with a bound, nothing is descended.
    assert_same(bad.query(*x, distance_upper_bound=0.5), ([INF], [3]))


@pytest.mark.parametrize("prec", PRECISIONS)
def test_malformed_query_prepared_fails(prec):
    f = FLOATS[prec]
    good = prepared(prec, cloud(prec, 30, 22))
    bad_query = prepared(prec, (np.zeros((2, 3), f), *csr_from_lists([[5], []])))
    with pytest.raises(PanicException, match="^index out of bounds: the len is 2 but the index is 5$"):
        good.query_prepared(bad_query)
    assert good.query_prepared(good)[0].shape == (30,)


def test_many_threads_share_instances():
    """Eight threads run every search on shared instances; results stay serial."""
    arrays = [cloud("f64", 1500, 30 + k, "clustered") for k in range(4)]
    clouds = [prepared("f64", a) for a in arrays]
    searches = {
        "query_prepared": lambda t, q, b: clouds[t].query_prepared(clouds[q], b),
        "query_prepared_k": lambda t, q, b: clouds[t].query_prepared_k(clouds[q], 3, 8, b),
        "query": lambda t, q, b: clouds[t].query(*arrays[q], distance_upper_bound=b),
        "query_k": lambda t, q, b: clouds[t].query_k(*arrays[q], 2, 6, b),
    }
    jobs = [(s, t, q, b) for s in searches for t in range(4) for q in range(4)
            for b in (None, 0.01)]
    serial = {job: searches[job[0]](*job[1:]) for job in jobs}
    failures = []
    barrier = threading.Barrier(8)

    def work(k):
        barrier.wait()
        for job in jobs[k * 7:] + jobs[:k * 7]:
            got = searches[job[0]](*job[1:])
            if not (np.array_equal(got[0], serial[job][0]) and np.array_equal(got[1], serial[job][1])):
                failures.append(job)

    run_in_threads(work, 8)
    assert failures == []


# ---------------------------------------------------------------------------
# k nearest

def brute_k(x, y, k):
    d2 = sq_dist(x, y)
    order = np.argsort(d2, axis=1, kind="stable")[:, :k]
    return np.sqrt(np.take_along_axis(d2, order, axis=1)), order


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("bound", [None, 0.03])
def test_query_prepared_k_equals_query_k(prec, bound):
    x, y = cloud(prec, 600, 40, "clustered"), cloud(prec, 700, 41, "clustered", shift=0.2)
    px, py = prepared(prec, x), prepared(prec, y)
    via_prepared = py.query_prepared_k(px, 5, 12, distance_upper_bound=bound)
    via_arrays = py.query_k(px.data, x[1], x[2], k=5, ef=12, distance_upper_bound=bound)
    assert via_prepared[0].shape == via_prepared[1].shape == (600, 5)
    assert_same(via_prepared, via_arrays)


@pytest.mark.parametrize("prec", PRECISIONS)
def test_query_k_is_exact_with_a_generous_ef(prec):
    x, y = cloud(prec, 800, 42), cloud(prec, 900, 43)
    dist, idx = prepared(prec, y).query_k(*x, 6, 48)
    want_d, _ = brute_k(x[0], y[0], 6)
    np.testing.assert_array_equal(dist, want_d)
    assert idx.dtype.num == 8 and dist.dtype == FLOATS[prec]


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("shift", [0.0, 0.6])
def test_k_bound_cuts_rows(prec, shift):
    x, y = cloud(prec, 700, 44, "clustered", shift=shift), cloud(prec, 700, 45, "clustered")
    py = prepared(prec, y)
    free_d, free_i = py.query_k(*x, 4, 40)
    dist, idx = py.query_k(*x, 4, 40, 0.04)
    b = FLOATS[prec](0.04)
    # Rows are compared by squared distance against the squared bound.
    miss = ~(free_d * free_d <= b * b)
    np.testing.assert_array_equal(dist, np.where(miss, INF, free_d))
    np.testing.assert_array_equal(idx, np.where(miss, 700, free_i))


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("seed", range(8))
def test_bounded_k_search_matches_model(prec, seed):
    rng = np.random.default_rng(100 + seed)
    f = FLOATS[prec]
    n_x, n_y = rng.integers(1, 20), rng.integers(1, 20)
    xp = (rng.integers(-4, 5, (n_x, 3)) + rng.choice(SHIFTS)).astype(f)
    yp = rng.integers(-3, 4, (n_y, 3)).astype(f)
    graph = lambda n, d: csr_from_lists([list(rng.integers(0, n, rng.integers(0, d)))
                                         for _ in range(n)])
    x, y = (xp, *graph(n_x, 4)), (yp, *graph(n_y, 6))
    k, ef = int(rng.integers(0, 5)), int(rng.integers(0, 7))
    bound = float(rng.choice([0.5, 1.0, 2.0, 3.0, 5.0]))
    py, px = prepared(prec, y), prepared(prec, x)
    want = oracle.knn(*x, *y, k, ef, dtype=f, bound=bound)
    assert_same(py.query_k(*x, k, ef, bound), want)
    assert_same(py.query_prepared_k(px, k, ef, bound), want)


@pytest.mark.parametrize("prec", PRECISIONS)
def test_k_far_query_cloud_answers_before_any_traversal(prec):
    # 2^60 - 1 query rows: with k = 0 the result holds nothing, but no
    # traversal of that many rows could be sized. A bound that the whole
    # cloud misses answers before one is.
    f = FLOATS[prec]
    py = prepared(prec, cloud(prec, 50, 46))
    rows = np.broadcast_to(np.zeros(1, np.uint32), (2**60,))
    far = (np.full((1, 3), 10.0, f), rows, np.zeros(0, np.uint32))
    dist, idx = py.query_k(*far, 0, 4, 1.0)
    assert dist.shape == idx.shape == (2**60 - 1, 0)
    for bound in (None, 20.0, float("nan")):
        with pytest.raises(PanicException, match="^capacity overflow$"):
            py.query_k(*far, 0, 4, bound)


@pytest.mark.parametrize("prec", PRECISIONS)
def test_query_k_reads_strided_graphs(prec):
    x, y = cloud(prec, 300, 46), cloud(prec, 300, 47)
    py = prepared(prec, y)
    strided = [np.repeat(a, 2)[::2] for a in x[1:]]
    reversed_view = [a[::-1].copy()[::-1] for a in x[1:]]
    want = py.query_k(*x, 3, 8)
    assert_same(py.query_k(x[0], *strided, 3, 8), want)
    assert_same(py.query_k(x[0], *reversed_view, 3, 8), want)


@pytest.mark.parametrize("prec", PRECISIONS)
def test_k_self_join_and_wrong_precision(prec):
    x = cloud(prec, 200, 48)
    p = prepared(prec, x)
    dist, idx = p.query_prepared_k(p, 3, 10)
    assert np.all(dist[:, 0] == 0) and np.array_equal(idx[:, 0], np.arange(200))
    other = prepared("f32" if prec == "f64" else "f64", cloud("f32" if prec == "f64" else "f64", 20, 49))
    with pytest.raises(TypeError, match="argument 'other': .* object is not an instance of"):
        p.query_prepared_k(other, 3, 10)


K_ARG_ERRORS = [
    (lambda p, x: p.query_k(*x, -1, 4), OverflowError, "negative"),
    (lambda p, x: p.query_k(*x, 2, 2**64), OverflowError,
     "^out of range integral type conversion attempted$"),
    (lambda p, x: p.query_k(*x, 2.0, 4), TypeError, "argument 'k'"),
    (lambda p, x: p.query_prepared_k(p, 2, "4"), TypeError, "argument 'ef'"),
    (lambda p, x: p.query_prepared_k(p, 2), TypeError, "missing 1 required argument: 'ef'"),
    (lambda p, x: p.query_k(*x, 2, 4, distance_upper_bound=[1]), TypeError,
     "argument 'distance_upper_bound'"),
]


@pytest.mark.parametrize("case", range(len(K_ARG_ERRORS)))
def test_k_argument_errors(case):
    x = cloud("f64", 20, 50)
    p = prepared("f64", x)
    fn, exc, text = K_ARG_ERRORS[case]
    with pytest.raises(exc, match=text):
        fn(p, x)
    assert p.query_k(*x, np.int64(2), ef=np.uint8(4))[0].shape == (20, 2)
