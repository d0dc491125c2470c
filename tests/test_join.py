"""`tevu.Cloud` and `tevu.all_by_all` against cKDTree and per-pair
`query_prepared`, on clouds that include awkward ones."""

import multiprocessing
import pickle
import subprocess
import sys
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

import numpy as np
import pytest
from scipy.spatial import cKDTree

import _tevu
import tevu
from conftest import clustered_cloud, delaunay_graph, uniform_cloud

def awkward_points():
    rng = np.random.default_rng(11)
    grid = np.stack(np.meshgrid(*[np.arange(5.0)] * 3), axis=-1).reshape(-1, 3) / 4
    twice = uniform_cloud(60, 12)
    flat = rng.random((80, 3))
    flat[:, 2] = 0.5
    return {
        "uniform": uniform_cloud(300, 13),
        "clustered": clustered_cloud(400, 14),
        "duplicates": np.concatenate([twice, twice[::2], twice[:3]]),
        "grid": grid,
        "four": rng.random((4, 3)),
        "flat": flat,
        "line": np.outer(rng.random(20), [1.0, 2.0, 3.0]),
        "one": rng.random((1, 3)),
        "two": rng.random((2, 3)),
    }


@pytest.fixture(scope="module")
def arrays():
    return list(awkward_points().values())


@pytest.fixture(scope="module")
def clouds(arrays):
    """As given, in Morton order, and with a perm of their own, in turn."""
    out = []
    for k, points in enumerate(arrays):
        if k % 3 == 1:
            out.append(tevu.Cloud(points, morton=True))
        elif k % 3 == 2:
            perm = np.random.default_rng(k).permutation(len(points))
            out.append(tevu.Cloud(points[perm], perm=perm))
        else:
            out.append(tevu.Cloud(points))
    return out


def kdtree_distances(arrays):
    """dist[q][t]: cloud q's nearest-neighbour distances into cloud t."""
    trees = [cKDTree(p) for p in arrays]
    return [[trees[t].query(x)[0] for t in range(len(arrays))] for x in arrays]


def reference(distances, bound, reduce):
    """The score matrix computed from cKDTree's distances."""
    m = len(distances)
    bins = None if not isinstance(reduce, tuple) else np.linspace(0, bound, reduce[1] + 1)
    out = np.full((m, m) if bins is None else (m, m, len(bins) - 1), np.nan)
    for q in range(m):
        for t in range(m):
            d = distances[q][t]
            hits = d if bound is None else d[d <= bound]
            if q == t:
                continue
            if bins is not None:
                out[q, t] = np.histogram(hits, bins)[0]
            elif len(hits):
                out[q, t] = getattr(np, reduce)(hits)
    return out


SCORINGS = [(r, b) for r in ("mean", "median", "min", "max") for b in (None, 0.06)]


@pytest.mark.parametrize("dtype", ["float64", "float32"])
@pytest.mark.parametrize("reduce, bound", SCORINGS + [(("histogram", 4), 0.06)])
def test_scores_match_kdtree(arrays, clouds, reduce, bound, dtype):
    got = tevu.all_by_all(clouds, reduce=reduce, distance_upper_bound=bound, dtype=dtype,
                          workers=2)
    want = reference(kdtree_distances(arrays), bound, reduce)
    tolerance = 1e-12 if dtype == "float64" else 1e-5
    if isinstance(reduce, tuple) and dtype == "float32":
        # A distance within rounding of a bin edge may fall on either side.
        assert np.nansum(np.abs(got - want)) <= 2
    else:
        np.testing.assert_allclose(got, want, rtol=tolerance, atol=tolerance)


def per_pair(clouds, q, t, bound):
    """query_prepared of one pair, mapped to original order and indices."""
    d, i = clouds[t].prepared().query_prepared(clouds[q].prepared(), bound)
    i = i.astype(np.int64)
    tp, qp = clouds[t].perm, clouds[q].perm
    if tp is not None:
        i = np.where(i < len(clouds[t]), tp[np.minimum(i, len(tp) - 1)], i)
    if qp is None:
        return d, i
    out_d, out_i = np.empty_like(d), np.empty_like(i)
    out_d[qp], out_i[qp] = d, i
    return out_d, out_i


@pytest.mark.parametrize("bound", [None, 0.05])
def test_answers_match_query_prepared(arrays, clouds, bound):
    for answers in tevu.all_by_all(clouds, reduce=None, distance_upper_bound=bound):
        t = answers.target
        assert answers.indices.dtype == np.int64 and answers.offsets.dtype == np.int64
        # Every target's answers share the offsets: none may change them.
        assert not answers.offsets.flags.writeable
        for bad in (-1, len(clouds)):
            with pytest.raises(IndexError, match=f"query cloud {bad} out of range"):
                answers.of(bad)
        for q in range(len(clouds)):
            d, i = answers.of(q)
            want_d, want_i = per_pair(clouds, q, t, bound)
            assert np.array_equal(d, want_d)
            hit = i < len(arrays[t])
            assert np.array_equal(hit, want_i < len(arrays[t]))
            # Among equally near points either may be named.
            assert np.allclose(np.linalg.norm(arrays[q][hit] - arrays[t][i[hit]], axis=1),
                               d[hit], rtol=0, atol=0)


@pytest.mark.parametrize("longest", [3, 60, 3000])
@pytest.mark.parametrize("integers", [False, True])
def test_medians_of_many_clouds_match_numpy(longest, integers):
    # Clouds of equal hit counts are reduced together, long ones one by one;
    # misses and empty clouds are left out, ties are common on integers.
    from tevu._reduce import make_reducer
    rng = np.random.default_rng(longest)
    median = make_reducer("median", None)
    for _ in range(20):
        lengths = rng.integers(0, longest, int(rng.integers(2, 60)))
        offsets = np.r_[0, np.cumsum(lengths)]
        d = rng.integers(0, 5, offsets[-1]) * 1.0 if integers else rng.random(offsets[-1])
        d[rng.random(len(d)) < rng.random()] = np.inf
        got = median(0, d, np.zeros(len(d), np.int64), offsets)
        want = [np.nan] + [np.median(h[np.isfinite(h)]) if np.isfinite(h).any() else np.nan
                           for h in np.split(d, offsets[1:-1])[1:]]
        np.testing.assert_array_equal(got, want)


def test_a_function_sees_every_ordered_pair_once(clouds):
    seen = []

    def record(q, t, distances, indices):
        seen.append((q, t))
        assert indices.dtype == np.int64 and len(distances) == len(clouds[q])
        return 10 * q + t

    got = tevu.all_by_all(clouds, reduce=record, workers=1)
    m = len(clouds)
    assert sorted(seen) == [(q, t) for q in range(m) for t in range(m) if q != t]
    want = 10.0 * np.arange(m)[:, None] + np.arange(m)
    np.fill_diagonal(want, np.nan)
    assert np.array_equal(got, want, equal_nan=True)


def spawned_processes():
    return ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn"))


@pytest.mark.parametrize("make_executor", [lambda: ThreadPoolExecutor(3), spawned_processes],
                         ids=["threads", "processes"])
def test_an_executor_gives_the_thread_result(clouds, make_executor):
    want = tevu.all_by_all(clouds, reduce="median", distance_upper_bound=0.07, dtype="float32")
    with make_executor() as executor:
        got = tevu.all_by_all(clouds, reduce="median", distance_upper_bound=0.07,
                              dtype="float32", executor=executor, workers=2)
    assert np.array_equal(got, want, equal_nan=True)


DEADLOCK_CHECK = """
import numpy as np, tevu
from tevu import _grouped_join
clouds = [tevu.Cloud(np.random.default_rng(c).random((50, 3))) for c in range(3)]
def make():
    _grouped_join.forget("an abandoned job")  # what the collector would run
    return _grouped_join.GroupedJoin(clouds, np.float64)
made = _grouped_join.kept_join("new", make)
assert _grouped_join.kept_join("new", None) is made  # kept, not made again
"""


def test_a_join_made_while_the_collector_ends_another_job_does_not_deadlock():
    """Making a job's grouped set allocates; the collector may then end an
    abandoned executor-path generator in the same thread, whose cleanup
    forgets its job. That used to wait forever for the lock held while the
    set was made (in a process of its own here, which a hang cannot stop)."""
    try:
        subprocess.run([sys.executable, "-c", DEADLOCK_CHECK], check=True, timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail("kept_join deadlocked")


def test_the_late_tiles_of_an_ended_job_answer_nothing(clouds):
    """After a job's caller has gone (its generator ended), a tile of it that
    a worker takes up late neither builds the grouped set nor keeps it."""
    from tevu import _grouped_join
    from tevu._join import run_tile

    options = _grouped_join.JoinOptions(np.float64, 1, None, None)
    assert len(run_tile("running", clouds[:3], [0, 1], options)) == 2
    for job in ("running", "ended"):
        _grouped_join.forget(job)
        assert run_tile(job, clouds[:3], [0, 1], options) == []
        assert job not in _grouped_join._jobs


def test_clouds_pickle_as_their_arrays(clouds):
    for cloud in clouds[:3]:
        copy = pickle.loads(pickle.dumps(cloud))
        for name in ("points", "indptr", "indices", "perm"):
            a, b = getattr(cloud, name), getattr(copy, name)
            assert (a is None and b is None) or (np.array_equal(a, b) and not b.flags.writeable)


@pytest.mark.parametrize("rounded", [False, True])
def test_clouds_pickle_their_float32_graph_when_it_took_a_build(rounded, monkeypatch):
    # Points that float32 rounds get a graph of their own for float32
    # searches: a copy must search with it without building it again.
    rng = np.random.default_rng(5)
    points = 1e6 + rng.random((800, 3))
    if not rounded:
        points = points.astype(np.float32).astype(np.float64)
    cloud = tevu.Cloud(points[:500])
    queries = tevu.Cloud(points[500:]).prepared("float32")
    want = cloud.prepared("float32").query_prepared(queries)
    monkeypatch.setattr(_tevu, "delaunay_graph", None)  # any build now fails
    copy = pickle.loads(pickle.dumps(cloud))
    got = copy.prepared("float32").query_prepared(queries)
    np.testing.assert_array_equal(got[0], want[0])
    np.testing.assert_array_equal(got[1], want[1])


POINTS = np.random.default_rng(0).random((30, 3))


def with_nan():
    points = POINTS.copy()
    points[7, 1] = np.nan
    return points


BAD_CLOUDS = [
    (lambda: tevu.Cloud(POINTS[:, :2]), ValueError, r"shape \(n, 3\)"),
    (lambda: tevu.Cloud(with_nan()), ValueError, "row 7"),
    (lambda: tevu.Cloud(np.ma.masked_greater(POINTS, 0.99)), ValueError, "masked entries"),
    (lambda: tevu.Cloud(POINTS.astype(str)), TypeError, "numeric"),
    (lambda: tevu.Cloud(POINTS, delaunay_graph(POINTS[:20])), ValueError, "n \\+ 1 = 31"),
    (lambda: tevu.Cloud(POINTS, (np.arange(31), np.arange(30) + 1)), ValueError,
     "entry 29 is 30"),
    (lambda: tevu.Cloud(POINTS, (np.arange(31)[::-1], np.arange(30))), ValueError,
     "rise from 0"),
    (lambda: tevu.Cloud(POINTS, np.arange(31)), TypeError, "pair"),
    (lambda: tevu.Cloud(POINTS, delaunay_graph(POINTS), perm=np.zeros(30, int)), ValueError,
     "permutation"),
    (lambda: tevu.Cloud(POINTS, delaunay_graph(POINTS)).prepared("float16"), ValueError,
     "float64"),
    # Squared distances must not overflow: 2^510 in float64, 2^62 in float32.
    (lambda: tevu.Cloud(np.r_[POINTS, [[0, 0, -2.0 ** 510]]]), ValueError,
     r"row 30 has a coordinate too large for float64 searches \(2\^510"),
    (lambda: tevu.Cloud(np.r_[POINTS, [[2.0 ** 62, 0, 0]]]).prepared("float32"),
     ValueError, r"row 30 has a coordinate too large for float32 searches \(2\^62"),
    (lambda: tevu.Cloud(tevu.Cloud(POINTS)), TypeError, "a Cloud already"),
]


def _offset_cloud(rng):
    return 1e6 + rng.random((2000, 3))


def _merging_cluster(rng):
    # 70 points within 1e-13 of 0.5 become one point in float32.
    return np.r_[rng.random((70, 3)), 0.5 + rng.random((70, 3)) * 1e-13]


@pytest.mark.parametrize("make", [_offset_cloud, _merging_cluster])
@pytest.mark.parametrize("morton", [False, True])
def test_float32_searches_use_the_graph_of_the_rounded_points(make, morton):
    # Rounding to float32 moves points and merges close ones; on the graph of
    # the float64 points a descent stopped up to 0.9 away from a target
    # point it stood on.
    rng = np.random.default_rng(21)
    target = make(rng)
    queries = np.r_[target, np.round(rng.random((500, 3)) * 2) + target.min(axis=0)]
    clouds = [tevu.Cloud(queries), tevu.Cloud(target, morton=morton)]
    into_target = list(tevu.all_by_all(clouds, reduce=None, dtype="float32"))[1]
    dist, _ = into_target.of(0)
    rounded = [c.astype(np.float32).astype(np.float64) for c in (target, queries)]
    want, _ = cKDTree(rounded[0]).query(rounded[1])
    np.testing.assert_allclose(dist, want, rtol=1e-6, atol=0)


@pytest.mark.parametrize("change", [lambda c: setattr(c, "points", c.points[::-1]),
                                    lambda c: setattr(c, "perm", None),
                                    lambda c: delattr(c, "indices")])
def test_clouds_are_immutable(change):
    cloud = tevu.Cloud(uniform_cloud(20, 3))
    with pytest.raises(AttributeError, match="Cloud is immutable"):
        change(cloud)


@pytest.mark.parametrize("make, error, message", BAD_CLOUDS)
def test_bad_clouds_are_refused_clearly(make, error, message):
    with pytest.raises(error, match=message):
        make()


def _fitting_clouds():
    rng = np.random.default_rng(31)
    clouds = dict(awkward_points())
    clouds["copy at 0"] = np.r_[clouds["uniform"][:1], clouds["uniform"]]
    clouds["tenths grid"] = np.stack(np.meshgrid(*[np.arange(8) * 0.1] * 3),
                                     axis=-1).reshape(-1, 3)
    clouds["tight cluster"] = np.r_[rng.random((200, 3)), 0.5 + rng.random((200, 3)) * 1e-17]
    clouds["offset"] = 1e6 + rng.random((500, 3))
    return clouds


@pytest.mark.parametrize("name", sorted(_fitting_clouds()))
@pytest.mark.parametrize("morton", [False, True])
def test_graphs_that_fit_their_points_are_accepted(name, morton):
    points = _fitting_clouds()[name]
    cloud = tevu.Cloud(points, tevu.delaunay_graph(points), morton=morton)
    assert len(cloud) == len(points)


def _mutual_nearest_graph(points):
    # Every point is joined to its nearest, as in a Delaunay graph, but the
    # graph falls apart into small pieces that descents cannot cross.
    nearest = cKDTree(points).query(points, k=2)[1][:, 1]
    lists = [set() for _ in points]
    for i, j in enumerate(nearest):
        lists[i].add(int(j))
        lists[int(j)].add(i)
    indptr = np.r_[0, np.cumsum([len(l) for l in lists])]
    return indptr, np.concatenate([sorted(l) for l in lists])


def _ten_nearest_graph(points):
    # A symmetric neighbourhood graph, but not a Delaunay one: descents
    # stop early where its edges do not lead on.
    nearest = cKDTree(points).query(points, k=11)[1][:, 1:]
    lists = [set() for _ in points]
    for i, row in enumerate(nearest):
        for j in row.tolist():
            lists[i].add(j)
            lists[j].add(i)
    indptr = np.r_[0, np.cumsum([len(l) for l in lists])]
    return indptr, np.concatenate([sorted(l) for l in lists])


MISMATCHED = {
    "ten nearest": (lambda p: p, _ten_nearest_graph, "a search for point"),
    # SciPy's triangulation leaves the second copy out of every simplex.
    "copies without neighbours": (lambda p: np.r_[p[:1], p], delaunay_graph,
                                  "point 1 has no neighbours"),
    "points in another order": (lambda p: p[::-1], lambda p: tevu.delaunay_graph(p[::-1]),
                                "no neighbour of point"),
    "graph of other points": (lambda p: p, lambda p: tevu.delaunay_graph(p + 0.5 * p[::-1]),
                              "no neighbour of point"),
    "nearest-neighbour pieces": (lambda p: p, _mutual_nearest_graph, "a search for"),
}


@pytest.mark.parametrize("name", sorted(MISMATCHED))
def test_graphs_that_do_not_fit_their_points_are_refused(name):
    change, graph_of, message = MISMATCHED[name]
    points = change(uniform_cloud(2000, 32))
    with pytest.raises(ValueError, match=message):
        tevu.Cloud(points, graph_of(points))


BAD_JOINS = [
    ({"reduce": "average"}, ValueError, "reduce must be one of"),
    ({"reduce": 42}, TypeError, "reduce must be"),
    ({"reduce": ("histogram", 4)}, ValueError, "needs a distance_upper_bound"),
    ({"reduce": ("histogram", 4), "distance_upper_bound": np.inf}, ValueError, "finite, nonzero"),
    ({"reduce": ("histogram", 4), "distance_upper_bound": 0.0}, ValueError, "finite, nonzero"),
    ({"reduce": ("histogram", [0.1, 0.05])}, ValueError, "increasing"),
    ({"dtype": "int32"}, ValueError, "dtype"),
    ({"block": 0}, ValueError, "block must be at least 1"),
    ({"workers": 2.5}, TypeError, "workers must be an int"),
    ({"distance_upper_bound": -1.0}, ValueError, "distance"),
    ({"distance_upper_bound": "far"}, TypeError, "distance_upper_bound"),
    ({"distance_upper_bound": "0.1"}, TypeError, "distance_upper_bound"),
    ({"distance_upper_bound": True}, TypeError, "distance_upper_bound"),
    ({"progress": "no"}, TypeError, "progress must be True, False or None"),
    ({"block": 2 ** 62}, ValueError, "block must be at most"),
    ({"reduce": ("histogram", 3.0)}, TypeError, "number of bins"),
    ({"reduce": lambda q, t, d, i: None}, TypeError, "returned NoneType for the pair"),
]


@pytest.mark.parametrize("options, error, message", BAD_JOINS)
def test_bad_join_options_are_refused_clearly(clouds, options, error, message):
    with pytest.raises(error, match=message):
        tevu.all_by_all(clouds[:2], **options)


def test_bad_collections_are_refused_clearly():
    for wrong in ("clouds", {0: with_nan()}, frozenset()):
        with pytest.raises(TypeError, match="sequence of Clouds"):
            tevu.all_by_all(wrong)
    with pytest.raises(TypeError, match=r"one array of shape \(30, 3\)"):
        tevu.all_by_all(POINTS)


@pytest.mark.parametrize("third, dtype, message", [
    (with_nan(), "float64", r"^clouds\[2\]: points: row 7 has a coordinate that is not finite"),
    (POINTS[:, :2], "float64", r"^clouds\[2\]: points must have shape \(n, 3\)"),
    (np.r_[POINTS, [[2.0 ** 62, 0, 0]]], "float32",
     r"^clouds\[2\]: points: row 30 has a coordinate too large for float32"),
])
def test_a_refused_cloud_is_named(third, dtype, message):
    clouds = [POINTS, tevu.Cloud(POINTS), third]
    with pytest.raises(ValueError, match=message):
        tevu.all_by_all(clouds, dtype=dtype)


def test_dtypes_in_either_byte_order(clouds):
    for wide, narrow in ((">f8", "float64"), (">f4", "float32")):
        assert np.array_equal(tevu.all_by_all(clouds[:3], dtype=wide),
                              tevu.all_by_all(clouds[:3], dtype=narrow), equal_nan=True)
    for item in (None, "cloud.npy", 7):
        with pytest.raises(TypeError, match=r"clouds\[1\] must be a Cloud or an \(n, 3\)"):
            tevu.all_by_all([POINTS, item])


@pytest.mark.parametrize("progress, shown", [(True, True), (None, False), (False, False)])
def test_progress_bar_on_request(clouds, capsys, progress, shown):
    pytest.importorskip("tqdm")
    tevu.all_by_all(clouds[:3], progress=progress)
    err = capsys.readouterr().err
    assert ("targets" in err and "3/3" in err) == shown
