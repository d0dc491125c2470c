"""graph_from_simplices: CSR neighbourhood graphs from tetrahedra."""

import threading

import numpy as np
import pytest
from scipy.spatial import Delaunay

import _tevu
from conftest import PanicException, brute_nearest, clustered_cloud, uniform_cloud

build = _tevu.graph_from_simplices
U64 = np.uint64


def tets(rows, width=4):
    return np.array(rows, U64).reshape(-1, width)


def model(simplices, n_points):
    """Per vertex, the sorted set of ids sharing a row with it (self included
    only when a row names it twice)."""
    lists = [set() for _ in range(n_points)]
    for row in simplices[:, :4].tolist():
        for j in range(4):
            lists[row[j]].update(row[k] for k in range(4) if k != j)
    return [sorted(s) for s in lists]


def neighbour_lists(indptr, indices):
    return [indices[indptr[v]:indptr[v + 1]].tolist() for v in range(len(indptr) - 1)]


def check_result(result, n_points):
    indptr, indices = result
    for a in (indptr, indices):
        assert a.dtype == np.uint32 and a.ndim == 1 and a.flags.c_contiguous
    assert len(indptr) == n_points + 1 and indptr[0] == 0 and indptr[-1] == len(indices)
    assert not np.shares_memory(indptr, indices)
    return neighbour_lists(indptr, indices)


# ---------------------------------------------------------------------------
# Worked examples

TET = [[1, 2, 3], [0, 2, 3], [0, 1, 3], [0, 1, 2]]

EXAMPLES = {
    "one tetrahedron": (tets([0, 1, 2, 3]), 4, TET),
    "reordered corners": (tets([3, 1, 0, 2]), 4, TET),
    "given twice": (tets([[0, 1, 2, 3], [2, 3, 1, 0]]), 4, TET),
    "two sharing a face": (tets([[0, 1, 2, 3], [1, 2, 3, 4]]), 6,
                           [[1, 2, 3], [0, 2, 3, 4], [0, 1, 3, 4], [0, 1, 2, 4], [1, 2, 3], []]),
    "repeated corner": (tets([0, 0, 1, 2]), 3, [[0, 1, 2], [0, 2], [0, 1]]),
    "trailing vertices": (tets([2, 4, 1, 3]), 8,
                          [[], [2, 3, 4], [1, 3, 4], [1, 2, 4], [1, 2, 3], [], [], []]),
    "no rows": (np.zeros((0, 4), U64), 5, [[]] * 5),
    "no rows, no columns": (np.zeros((0, 0), U64), 0, []),
    "no rows, two columns": (np.zeros((0, 2), U64), 2, [[], []]),
    "fifth column ignored": (tets([0, 1, 2, 3, 99], width=5), 4, TET),
}


@pytest.mark.parametrize("case", sorted(EXAMPLES))
def test_examples(case):
    simplices, n_points, want = EXAMPLES[case]
    assert check_result(build(simplices, n_points), n_points) == want


@pytest.mark.parametrize("seed", range(6))
def test_matches_model_on_random_rows(seed):
    """Random rows, degenerate ones included, over more vertices than used."""
    rng = np.random.default_rng(seed)
    n_points = int(rng.integers(1, 40))
    simplices = rng.integers(0, n_points, (int(rng.integers(1, 60)), 4)).astype(U64)
    got = check_result(build(simplices, n_points + 3), n_points + 3)
    assert got == model(simplices, n_points + 3)


# ---------------------------------------------------------------------------
# Real triangulations


@pytest.mark.parametrize("make,n,seed", [(uniform_cloud, 4000, 1), (clustered_cloud, 4000, 2)])
def test_delaunay_graph_equals_scipy_and_makes_search_exact(make, n, seed):
    points = make(n, seed)
    tri = Delaunay(points)
    indptr, indices = build(tri.simplices.astype(U64), n)
    lists = check_result((indptr, indices), n)
    ref_ptr, ref_ids = tri.vertex_neighbor_vertices
    assert lists == [sorted(ids) for ids in neighbour_lists(ref_ptr, ref_ids)]
    # Strictly ascending within every range, and symmetric.
    owner = np.repeat(np.arange(n), np.diff(indptr))
    assert np.all((np.diff(indices.astype(np.int64)) > 0) | (np.diff(owner) > 0))
    edges = set(zip(owner.tolist(), indices.tolist()))
    assert all((v, u) in edges for u, v in edges)
    # The searches are exact on it.
    query = make(3000, seed + 100)
    q_graph = build(Delaunay(query).simplices.astype(U64), len(query))
    dist, _ = _tevu.all_nearest_neighbours(query, *q_graph, points, indptr, indices)
    np.testing.assert_array_equal(dist, brute_nearest(query, points)[0])


# ---------------------------------------------------------------------------
# Layouts


def layouts():
    rng = np.random.default_rng(7)
    base = rng.integers(0, 50, (40, 4)).astype(U64)
    wide = np.zeros((40, 8), U64)
    wide[:, ::2] = base
    reversed_rows = base[::-1].copy()
    return base, {
        "Fortran order": np.asfortranarray(base),
        "every second column": wide[:, ::2],
        "every second row": np.repeat(base, 2, axis=0)[::2],
        "reversed rows": reversed_rows[::-1],
        "reversed columns": base[:, ::-1].copy()[:, ::-1],
        "both axes reversed": base[::-1, ::-1].copy()[::-1, ::-1],
    }


BASE, LAYOUTS = layouts()


@pytest.mark.parametrize("case", sorted(LAYOUTS))
def test_layouts_give_the_same_graph(case):
    view = LAYOUTS[case]
    np.testing.assert_array_equal(view, BASE)
    want = build(BASE, 50)
    got = build(view, 50)
    for a, b in zip(got, want):
        np.testing.assert_array_equal(a, b)


def test_reversed_rows_are_read_in_logical_order():
    """The first bad id in logical row order is named, not the one in memory order."""
    stored = tets([[0, 1, 2, 7], [0, 1, 2, 3], [0, 1, 2, 9]])
    with pytest.raises(PanicException) as info:
        build(stored[::-1], 5)
    assert info.value.args == ("index out of bounds: the len is 5 but the index is 9",)


# ---------------------------------------------------------------------------
# Failures

FAILURES = {
    "id equal to n_points": (tets([0, 1, 5, 2]), 5, 5),
    "largest id": (tets([0, 2**64 - 1, 2, 3]), 5, 2**64 - 1),
    "first column first": (tets([6, 9, 1, 2]), 5, 6),
    "column order within a row": (tets([[0, 1, 2, 3], [0, 9, 7, 3]]), 5, 9),
    "earlier row wins": (tets([[0, 1, 2, 8], [9, 1, 2, 3]]), 5, 8),
    "later rows fine": (tets([[0, 1, 2, 3], [1, 2, 3, 4], [4, 3, 2, 5]]), 5, 5),
    "no points": (tets([0, 1, 2, 3]), 0, 0),
}


@pytest.mark.parametrize("case", sorted(FAILURES))
def test_bounds_failures_name_the_first_bad_id(case, panics):
    simplices, n_points, bad = FAILURES[case]
    before = simplices.copy()
    with panics(f"index out of bounds: the len is {n_points} but the index is {bad}"):
        build(simplices, n_points)
    np.testing.assert_array_equal(simplices, before)


@pytest.mark.parametrize("simplices,n_points,message", [
    (np.zeros((1, 3), U64), 4, "ndarray: index out of bounds"),
    (np.zeros((2, 0), U64), 4, "ndarray: index out of bounds"),
    # The column check comes before any id is read.
    (np.full((1, 3), 99, U64), 4, "ndarray: index out of bounds"),
    # The vertex limit comes first of all, before the rows or columns are looked at.
    (np.zeros((0, 4), U64), 2**32 + 1, "capacity overflow"),
    (np.full((1, 3), 99, U64), 2**32 + 1, "capacity overflow"),
])
def test_shape_and_capacity_failures(simplices, n_points, message, panics):
    with panics(message):
        build(simplices, n_points)


def test_more_rows_than_memory_fail_at_once():
    """A broadcast view whose raw ids cannot fit in memory raises MemoryError
    before any of its 2^50 rows is read (reading them would take days)."""
    with pytest.raises(MemoryError):
        build(np.broadcast_to(tets([0, 1, 2, 3]), (2**50, 4)), 4)


def test_failure_leaves_nothing_behind():
    """A failing build raises, hands back nothing, and the next build is unaffected."""
    good = tets([[0, 1, 2, 3], [1, 2, 3, 4]])
    bad = np.vstack([good, tets([0, 1, 2, 5])])
    want = build(good, 5)
    result = None
    with pytest.raises(PanicException):
        result = build(bad, 5)
    assert result is None
    for a, b in zip(build(good, 5), want):
        np.testing.assert_array_equal(a, b)


# ---------------------------------------------------------------------------
# Arguments

GOOD = tets([0, 1, 2, 3])

ARG_ERRORS = {
    "missing": (lambda: build(GOOD), TypeError, "missing 1 required argument: 'n_points'"),
    "surplus": (lambda: build(GOOD, 4, 4), TypeError, "takes 2 positional"),
    "duplicate": (lambda: build(GOOD, 4, simplices=GOOD), TypeError, "multiple values"),
    "unknown": (lambda: build(GOOD, n_points=4, bogus=1), TypeError, "'bogus'"),
    "list": (lambda: build([[0, 1, 2, 3]], 4), TypeError, "'simplices'"),
    "int64": (lambda: build(GOOD.astype(np.int64), 4), TypeError, "'simplices'"),
    "int32": (lambda: build(GOOD.astype(np.int32), 4), TypeError, "'simplices'"),
    "1-D": (lambda: build(GOOD.ravel(), 4), TypeError, "'simplices'"),
    "3-D": (lambda: build(GOOD[None], 4), TypeError, "'simplices'"),
    "big-endian": (lambda: build(GOOD.astype(">u8"), 4), TypeError, "'simplices'"),
    # The array is checked before n_points is looked at.
    "both bad": (lambda: build(GOOD.astype(np.int64), "x"), TypeError, "'simplices'"),
    "n_points float": (lambda: build(GOOD, 4.0), TypeError, "'n_points'"),
    "n_points negative": (lambda: build(GOOD, -1), OverflowError, "negative"),
    "n_points too large": (lambda: build(GOOD, 2**64), OverflowError,
                           "out of range integral type conversion attempted"),
}


@pytest.mark.parametrize("case", sorted(ARG_ERRORS))
def test_argument_errors(case):
    fn, error, text = ARG_ERRORS[case]
    with pytest.raises(error, match=text):
        fn()


def test_keywords_integer_likes_and_converted_ids():
    want = build(GOOD, 4)
    signed = GOOD.astype(np.int64)  # as SciPy returns simplices
    for got in (build(n_points=4, simplices=GOOD), build(GOOD, np.int64(4)),
                build(signed.astype(U64), 4)):
        for a, b in zip(got, want):
            np.testing.assert_array_equal(a, b)


def test_parallel_builds_agree():
    simplices = Delaunay(uniform_cloud(3000, 5)).simplices.astype(U64)
    want = build(simplices, 3000)
    results = [None] * 4

    def work(k):
        results[k] = build(simplices, 3000)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for got in results:
        for a, b in zip(got, want):
            np.testing.assert_array_equal(a, b)
