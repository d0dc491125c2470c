"""Reference counts and memory: no call keeps or drops a reference to its
arguments, repeated calls do not grow the process, results own their
buffers and dropped instances give their memory back."""

import ctypes
import gc
import os
import sys

import numpy as np
import pytest

import _tevu
from conftest import PanicException, brute_nearest, delaunay_graph, uniform_cloud

F64, F32 = _tevu.PreparedF64, _tevu.PreparedF32
G64, G32 = _tevu.GroupedQueriesF64, _tevu.GroupedQueriesF32
U32, U64 = np.uint32, np.uint64

# ASan keeps freed memory in quarantine, so the process grows under it
# anyway; its own leak checker covers that run.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
not_under_asan = pytest.mark.skipif(UNDER_ASAN, reason="ASan's quarantine holds freed memory")


def line_cloud(n, dtype=np.float64, offset=0.0):
    """Points along a line with the path graph over them: a valid graph
    that costs nothing to build, for clouds of any size."""
    points = np.zeros((n, 3), dtype)
    points[:, 0] = np.arange(n) + offset
    lists = [[j for j in (i - 1, i + 1) if 0 <= j < n] for i in range(n)]
    indptr = np.zeros(n + 1, U32)
    indptr[1:] = np.cumsum([len(l) for l in lists])
    return points, indptr, np.array([j for l in lists for j in l], U32)


def strided(array):
    return np.repeat(array, 2)[::2]


# ---------------------------------------------------------------------------
# Reference counts

def calls(prec):
    """name -> (callable, positional args, keyword args, expected exception)
    for successful and failing calls of every callable of one precision."""
    f = np.float64 if prec == "f64" else np.float32
    cls = F64 if prec == "f64" else F32
    other = F32(*line_cloud(5, np.float32)) if prec == "f64" else F64(*line_cloud(5))
    nearest = _tevu.all_nearest_neighbours if prec == "f64" else _tevu.all_nearest_neighbours_f32
    x, y = line_cloud(30, f), line_cloud(40, f, 0.3)
    target, query = cls(*y), cls(*x)
    broken = cls(x[0], np.zeros(0, U32), x[2])  # empty indptr: fails when searched
    simplices = np.array([[0, 1, 2, 3], [1, 2, 3, 4]], U64)
    bound = np.float64(0.5)  # a fresh object, unlike small ints and interned floats
    return {
        "nearest": (nearest, [*x, *y], {}, None),
        "nearest, wrong last dtype": (nearest, [*x, *y[:2], y[2].astype(np.int64)], {},
                                      TypeError),
        "nearest, strided target": (nearest, [*x, y[0], strided(y[1]), y[2]], {},
                                    PanicException),
        "nearest, keywords": (nearest, [*x], dict(zip(("y_points", "y_indices", "y_neighbors"),
                                                      y)), None),
        "simplices": (_tevu.graph_from_simplices, [simplices, np.uint64(6)], {}, None),
        "simplices, bad n_points": (_tevu.graph_from_simplices, [simplices, "6"], {}, TypeError),
        "simplices, negative n_points": (_tevu.graph_from_simplices, [simplices, np.int64(-1)],
                                         {}, OverflowError),
        "simplices, id out of range": (_tevu.graph_from_simplices, [simplices, np.uint64(4)],
                                       {}, PanicException),
        "constructor": (cls, [*y], {}, None),
        "constructor, wrong ids": (cls, [*y[:2], y[2].astype(np.int32)], {}, TypeError),
        "constructor, two columns": (cls, [y[0][:, :2], *y[1:]], {}, PanicException),
        "query": (cls.query, [target, *x, bound], {}, None),
        "query, bad bound": (cls.query, [target, *x], {"distance_upper_bound": "0.5"}, TypeError),
        "query, strided offsets": (cls.query, [target, x[0], strided(x[1]), x[2], bound], {},
                                   PanicException),
        "query_prepared": (cls.query_prepared, [target, query], {"distance_upper_bound": bound},
                           None),
        "query_prepared, self": (cls.query_prepared, [target, target], {}, None),
        "query_prepared, other precision": (cls.query_prepared,
                                            [target, other], {}, TypeError),
        "query_prepared, broken other": (cls.query_prepared, [target, broken, bound], {},
                                         PanicException),
        "n": (lambda obj: obj.n, [target], {}, None),
        "data": (lambda obj: obj.data, [target], {}, None),
        "repr": (repr, [target], {}, None),
    }


def k_and_grouped_calls(prec):
    """The same for the k-nearest and blocked searches and the grouped sets."""
    f = np.float64 if prec == "f64" else np.float32
    cls, grouped_cls = (F64, G64) if prec == "f64" else (F32, G32)
    other_grouped = (G32 if prec == "f64" else G64).prepare([], [])
    nearest_k = (_tevu.all_nearest_neighbours_k if prec == "f64"
                 else _tevu.all_nearest_neighbours_k_f32)
    x, y = line_cloud(30, f), line_cloud(40, f, 0.3)
    target, query = cls(*y), cls(*x)
    broken = cls(x[0], np.zeros(0, U32), x[2])
    k, ef, block = np.int64(3), np.uint64(6), np.int64(4)
    perm, target_perm = np.arange(30, dtype=np.int64)[::-1].copy(), np.arange(40, dtype=np.int64)
    grouped = grouped_cls.prepare([query, target], [perm])
    repeating = grouped_cls.prepare([query], [np.zeros(30, np.int64)])
    bound = np.float64(0.5)
    return {
        "nearest_k": (nearest_k, [*x, *y, k, ef], {}, None),
        "nearest_k, negative k": (nearest_k, [*x, *y, np.int64(-1), ef], {}, OverflowError),
        "nearest_k, huge k": (nearest_k, [*x, *y, np.uint64(2**62), ef], {}, PanicException),
        "query_k": (cls.query_k, [target, *x, k, ef, bound], {}, None),
        "query_k, bad ef": (cls.query_k, [target, *x, k, "6"], {}, TypeError),
        "query_prepared_k": (cls.query_prepared_k, [target, query, k], {"ef": ef}, None),
        "query_prepared_k, broken other": (cls.query_prepared_k, [target, broken, k, ef], {},
                                           PanicException),
        "blocked": (cls.query_prepared_blocked, [target, query, block, bound], {}, None),
        "blocked, huge block": (cls.query_prepared_blocked, [target, query, np.uint64(2**63)],
                                {}, PanicException),
        "grouped": (cls.query_grouped, [target, grouped, target_perm, block, bound], {}, None),
        "grouped, raw": (cls.query_grouped, [target, grouped, target_perm],
                         {"finalize": np.bool_(False)}, None),
        "grouped, other precision": (cls.query_grouped, [target, other_grouped, None], {},
                                     TypeError),
        "grouped, strided target perm": (cls.query_grouped, [target, grouped,
                                                             strided(target_perm)], {},
                                         PanicException),
        "grouped, repeating query perm": (cls.query_grouped, [target, repeating, None], {},
                                          PanicException),
        "prepare": (grouped_cls.prepare, [[query, target], (perm, None)], {}, None),
        "prepare, str": (grouped_cls.prepare, ["ab", [perm]], {}, TypeError),
        "prepare, wrong element": (grouped_cls.prepare, [[query, other_grouped], [perm]], {},
                                   TypeError),
        "prepare, strided perm": (grouped_cls.prepare, [[query], [strided(perm)]], {},
                                  PanicException),
        "offsets": (lambda obj: obj.offsets, [grouped], {}, None),
        "perm": (lambda obj: obj.perm, [grouped], {}, None),
        "grouped repr": (repr, [grouped], {}, None),
    }


CALLS = {(prec, name): call for prec in ("f64", "f32")
         for table in (calls, k_and_grouped_calls) for name, call in table(prec).items()}


def invoke(fn, args, kwargs, error):
    if error is None:
        return fn(*args, **kwargs)
    with pytest.raises(error):
        fn(*args, **kwargs)
    return None


@pytest.mark.parametrize("key", sorted(CALLS), ids=" ".join)
def test_argument_reference_counts_unchanged(key):
    fn, args, kwargs, error = CALLS[key]
    items = [item for a in args if isinstance(a, (list, tuple)) for item in a]
    watched = [*args, *kwargs.values(), *items, PanicException, F64, F32, G64, G32]
    invoke(fn, args, kwargs, error)  # first calls may create cached objects
    # Caught exceptions live on in reference cycles (through their
    # tracebacks) until the collector runs.
    gc.collect()
    before = [sys.getrefcount(obj) for obj in watched]
    results = [invoke(fn, args, kwargs, error) for _ in range(20)]
    del results
    gc.collect()
    after = [sys.getrefcount(obj) for obj in watched]
    assert after == before


# ---------------------------------------------------------------------------
# Repeated calls do not grow the process

def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def big_calls():
    """Calls whose every leak would be large: 2000 query points, so each
    call packs 64 KB and returns 32 KB, also before it fails."""
    x, y = line_cloud(2000), line_cloud(2000, offset=0.25)
    target, query = F64(*y), F64(*x)
    grouped = G64.prepare([query, target], [None])
    repeating = G64.prepare([query], [np.zeros(2000, np.int64)])
    return {
        "nearest": lambda: _tevu.all_nearest_neighbours(*x, *y),
        "nearest, failing late": lambda: _tevu.all_nearest_neighbours(
            *x, y[0], y[1], strided(y[2])),
        "constructor": lambda: F64(*y),
        "query": lambda: target.query(*x, distance_upper_bound=0.3),
        "query_prepared": lambda: target.query_prepared(query),
        "data": lambda: target.data,
        "simplices": lambda: _tevu.graph_from_simplices(
            np.arange(4000, dtype=U64).reshape(-1, 4) % 2000, 2000),
        "nearest_k": lambda: _tevu.all_nearest_neighbours_k(*x, *y, 2, 4),
        "query_prepared_k": lambda: target.query_prepared_k(query, 2, 4, 0.3),
        "blocked": lambda: target.query_prepared_blocked(query, 8, 0.3),
        "grouped": lambda: target.query_grouped(grouped, None, 8),
        "grouped, failing late": lambda: target.query_grouped(repeating, None),
        "prepare": lambda: G64.prepare([query, target], [None]),
    }


def call_quietly(fn):
    try:
        fn()
    except PanicException:
        pass


@not_under_asan
@pytest.mark.parametrize("name", list(big_calls()))
def test_repeated_calls_do_not_grow_the_process(name):
    fn = big_calls()[name]
    for _ in range(200):
        call_quietly(fn)
    before = resident_bytes()
    for _ in range(1500):
        call_quietly(fn)
    # A leak of the smallest buffer of these calls would be 40 MB or more.
    assert resident_bytes() - before < 4 << 20


# ---------------------------------------------------------------------------
# Results own their buffers

def result_cases():
    """name -> a function building its inputs, calling, and returning
    (result arrays, their expected values); the inputs die with it."""
    def nearest():
        x, y = uniform_cloud(300, 1), uniform_cloud(200, 2)
        return _tevu.all_nearest_neighbours(x, *delaunay_graph(x), y, *delaunay_graph(y)), \
            brute_nearest(x, y)

    def nearest_f32():
        x, y = (uniform_cloud(n, s).astype(np.float32) for n, s in ((300, 3), (200, 4)))
        return _tevu.all_nearest_neighbours_f32(x, *delaunay_graph(x), y,
                                                *delaunay_graph(y)), brute_nearest(x, y)

    def query_prepared():
        x, y = uniform_cloud(300, 5), uniform_cloud(200, 6)
        target, query = F64(y, *delaunay_graph(y)), F64(x, *delaunay_graph(x))
        return target.query_prepared(query), brute_nearest(x, y)

    def query_f32():
        x, y = (uniform_cloud(n, s).astype(np.float32) for n, s in ((300, 7), (200, 8)))
        return F32(y, *delaunay_graph(y)).query(x, *delaunay_graph(x)), brute_nearest(x, y)

    def data():
        y = uniform_cloud(200, 9)
        return (F64(y, *delaunay_graph(y)).data,), (y.copy(),)

    def simplices():
        rows = np.array([[0, 1, 2, 3], [1, 2, 3, 4]], U64)
        return _tevu.graph_from_simplices(rows, 6), (
            np.array([0, 3, 7, 11, 15, 18, 18], U32),
            np.array([1, 2, 3, 0, 2, 3, 4, 0, 1, 3, 4, 0, 1, 2, 4, 1, 2, 3], U32))

    def nearest_k():
        x, y = uniform_cloud(300, 10), uniform_cloud(200, 11)
        got = _tevu.all_nearest_neighbours_k(x, *delaunay_graph(x), y, *delaunay_graph(y), 3, 9)
        return got, tuple(a.copy() for a in got)

    def query_grouped():
        x, y = uniform_cloud(300, 12), uniform_cloud(200, 13)
        target, query = F64(y, *delaunay_graph(y)), F64(x, *delaunay_graph(x))
        return target.query_grouped(G64.prepare([query], [None]), None), brute_nearest(x, y)

    def grouped_arrays():
        x = uniform_cloud(300, 14).astype(np.float32)
        grouped = G32.prepare([F32(x, *delaunay_graph(x))] * 2, [])
        got = grouped.offsets, grouped.perm
        return got, tuple(a.copy() for a in got)

    return {f.__name__: f for f in (nearest, nearest_f32, query_prepared, query_f32, data,
                                     simplices, nearest_k, query_grouped, grouped_arrays)}


RESULT_CASES = result_cases()


@pytest.mark.parametrize("name", sorted(RESULT_CASES))
def test_results_outlive_their_inputs_and_instances(name):
    results, want = RESULT_CASES[name]()
    gc.collect()
    # Reuse whatever memory the inputs and instances gave back.
    churn = [np.full(4096, 7.0) for _ in range(64)]
    for got, expected in zip(results, want):
        assert got.flags.writeable and got.flags.c_contiguous
        np.testing.assert_array_equal(got, expected)
        got[...] = 0  # the buffer is the array's own to write
    del churn


# ---------------------------------------------------------------------------
# Dropped instances give their memory back

class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def allocated_bytes():
    """Bytes the C allocator has handed out and not taken back (glibc)."""
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except AttributeError:
        pytest.skip("needs glibc's mallinfo2")
    mallinfo2.restype = MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


@not_under_asan
@pytest.mark.parametrize("cls", [F64, F32], ids=lambda c: c.__name__)
def test_dropped_instances_give_their_memory_back(cls):
    n = 100_000
    points = np.zeros((n, 3), np.float64 if cls is F64 else np.float32)
    indptr = np.arange(n + 1, dtype=U32) * 8
    indices = np.zeros(8 * n, U32)
    own = n * (32 if cls is F64 else 16) + 4 * (n + 1) + 4 * 8 * n  # packed points + CSR copies
    gc.collect()
    before = allocated_bytes()
    instance = cls(points, indptr, indices)
    assert allocated_bytes() - before >= own
    del instance
    assert allocated_bytes() - before < 64 << 10
