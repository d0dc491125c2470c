"""Large query graphs are answered in a planned order: by index when the
cloud is stored in spatial order, along the discovery tree otherwise; a
prepared query keeps its plan between calls. Whatever the order, every answer
and every failure must be the depth-first traversal's (the Python model's).
The targets here are random graphs with local minima and ties, so a point
descended from a wrong seed shows up as a wrong answer."""

import numpy as np
import pytest

import oracle
from conftest import FLOATS, PanicException, csr_from_lists, first_uses_in_threads
from test_nearest import FUNCS, PREPARED, random_graph

PRECISIONS = sorted(FLOATS)


def banded_lists(rng, n, n_components):
    """Point i belongs to component i % n_components, links to the next point
    of its component and to a few more of its component nearby, so edges join
    close indices; some list a neighbour twice or themselves. With several
    components, some points link nowhere, which splits off more components."""
    lists = []
    c = n_components
    for i in range(n):
        steps = [1, *rng.choice([-3, -2, -1, 2, 3], size=rng.integers(0, 3))]
        ids = [i + c * s for s in steps if 0 <= i + c * s < n]
        if ids and rng.random() < 0.1:
            ids += [ids[-1], i]
        if c > 1 and rng.random() < 0.02:
            ids = []
        lists.append(ids)
    return lists


def query_graph(rng, n, layout, n_components):
    lists = banded_lists(rng, n, n_components)
    if layout == "scrambled":
        # The same graph with the points relabelled: edges join far indices.
        perm = rng.permutation(n)
        new = [None] * n
        for i, ids in enumerate(lists):
            new[perm[i]] = [int(perm[k]) for k in ids]
        lists = new
    return csr_from_lists(lists)


def clouds(prec, seed, layout, n_components, shift):
    rng = np.random.default_rng(seed)
    f = FLOATS[prec]
    n_x, n_y = 700, 80
    xp = (rng.integers(-6, 7, (n_x, 3)) + shift).astype(f)
    yp = rng.integers(-6, 7, (n_y, 3)).astype(f)
    x = (xp, *query_graph(rng, n_x, layout, n_components))
    y = (yp, *random_graph(rng, n_y, 5, n_y))
    return x, y


def assert_model(got, x, y, prec, bound):
    want = oracle.greedy(*x, *y, dtype=FLOATS[prec], bound=bound)
    np.testing.assert_array_equal(got[0], want[0])
    np.testing.assert_array_equal(got[1], want[1])


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("layout", ["banded", "scrambled"])
@pytest.mark.parametrize("n_components", [1, 3])
@pytest.mark.parametrize("bound,shift", [(None, 0), (1.5, 3), (4.0, 0)])
def test_planned_orders_match_model(prec, layout, n_components, bound, shift):
    """Per call (function and `query`) and with a kept plan, used twice
    against different targets and bounds."""
    x, y = clouds(prec, 40 + n_components, layout, n_components, shift)
    if bound is None:
        assert_model(FUNCS[prec](*x, *y), x, y, prec, None)
    else:
        assert_model(PREPARED[prec](*y).query(*x, distance_upper_bound=bound), x, y, prec, bound)
    query = PREPARED[prec](*x)
    _, other_y = clouds(prec, 90 + n_components, layout, n_components, shift)
    for target, b in [(y, bound), (other_y, None), (y, bound)]:
        got = PREPARED[prec](*target).query_prepared(query, b)
        assert_model(got, x, target, prec, b)


@pytest.mark.parametrize("prec", PRECISIONS)
def test_kept_plan_of_a_malformed_query_fails_every_time(prec):
    """Point 1 lists a neighbour that does not exist; the failure is the
    literal order's, on the first call and on the next."""
    f = FLOATS[prec]
    n = 400
    lists = [[1]] + [[9999]] + [[i - 1] for i in range(2, n)]
    query = PREPARED[prec](np.zeros((n, 3), f), *csr_from_lists(lists))
    target = PREPARED[prec](np.ones((3, 3), f), *csr_from_lists([[1], [2], [0]]))
    for _ in range(2):
        with pytest.raises(PanicException) as info:
            target.query_prepared(query)
        assert info.value.args == (f"index out of bounds: the len is {n} but the index is 9999",)


def test_first_uses_of_a_query_from_many_threads():
    """Eight threads query with the same fresh instance at once; the one that
    plans and those that wait all get the serial answers."""
    x, y = clouds("f64", 7, "banded", 2, 0)
    targets = [PREPARED["f64"](*y), PREPARED["f64"](*clouds("f64", 8, "banded", 2, 0)[1])]
    want = [t.query_prepared(PREPARED["f64"](*x)) for t in targets]
    searches = [lambda q, t=t: t.query_prepared(q) for t in targets]
    failures = first_uses_in_threads(lambda: PREPARED["f64"](*x), searches, want)
    assert failures == []


@pytest.mark.parametrize("prec", PRECISIONS)
@pytest.mark.parametrize("layout", ["banded", "scrambled"])
@pytest.mark.parametrize("n_components", [1, 3])
@pytest.mark.parametrize("k,ef", [(1, 1), (2, 3), (3, 8)])
def test_planned_k_orders_match_model(prec, layout, n_components, k, ef):
    """k nearest without a bound: per call, and with a kept plan used twice."""
    x, y = clouds(prec, 60 + n_components, layout, n_components, 0)
    _, other_y = clouds(prec, 70 + n_components, layout, n_components, 0)
    f = FLOATS[prec]
    query = PREPARED[prec](*x)
    runs = [(y, PREPARED[prec](*y).query_k(*x, k, ef))]
    runs += [(t, PREPARED[prec](*t).query_prepared_k(query, k, ef)) for t in (y, other_y, y)]
    for target, got in runs:
        want = oracle.knn(*x, *target, k, ef, dtype=f)
        np.testing.assert_array_equal(got[0], want[0])
        np.testing.assert_array_equal(got[1], want[1])


@pytest.mark.parametrize("prec", PRECISIONS)
def test_descents_taken_together_fail_in_the_literal_order(prec):
    """A star query: every point is discovered by point 0, so the planned
    order descends several of them side by side. Point 399, answered first,
    walks down the negative side to the bad id 9001; point 398, next, meets
    the bad id 9002 in fewer steps. The failure must be point 399's."""
    f = FLOATS[prec]
    n = 400
    xp = np.zeros((n, 3), f)
    xp[399, 0], xp[398, 0] = -400, 12
    x = (xp, *csr_from_lists([list(range(1, n))] + [[0]] * (n - 1)))
    yp = np.zeros((6, 3), f)
    yp[:, 0] = [0, 10, -10, -20, -30, -40]
    y = (yp, *csr_from_lists([[1, 2], [0, 9002], [0, 3], [2, 4], [3, 9001], [4]]))
    message = "index out of bounds: the len is 6 but the index is 9001"
    query = PREPARED[prec](*x)
    for search in (lambda: FUNCS[prec](*x, *y), lambda: PREPARED[prec](*y).query_prepared(query)):
        with pytest.raises(PanicException) as info:
            search()
        assert info.value.args == (message,)
