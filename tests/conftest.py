"""Shared helpers: clouds, Delaunay graphs, brute force, the panic type."""

import threading

import numpy as np
import pytest
from scipy.spatial import Delaunay

import _tevu

try:
    import tqdm
except ImportError:
    pass
else:
    # tqdm's monitor is a daemon thread that wakes every ten seconds. One that
    # wakes while the interpreter exits (and leaves, as daemon threads then do)
    # races the leak check that the sanitizer run makes at exit, which must
    # stop every thread. The tests need no monitor.
    tqdm.tqdm.monitor_interval = 0

FLOATS = {"f64": np.float64, "f32": np.float32}


def uniform_cloud(n, seed):
    return np.random.default_rng(seed).random((n, 3))


def clustered_cloud(n, seed, n_curves=20, noise=0.002):
    """Points along a few smooth random curves, with a little noise."""
    rng = np.random.default_rng(seed)
    curve = rng.integers(0, n_curves, n)
    t = rng.random(n)
    coef = rng.normal(size=(n_curves, 3, 3))
    phase = rng.random((n_curves, 3)) * 2 * np.pi
    base = rng.random((n_curves, 3))
    pts = base[curve] + 0.3 * np.stack(
        [np.sin(2 * np.pi * t[:, None] * coef[curve, k] + phase[curve]).sum(axis=1)
         for k in range(3)], axis=1) / 3
    return pts + rng.normal(scale=noise, size=pts.shape)


def near_tie_cloud(rng, f, n, share):
    """Small integer points, and a `share` of them replaced by points within
    an ulp of 0: seen from the others, those are all as near, within
    rounding, without being exactly as near."""
    pts = rng.integers(-2, 3, (n, 3)).astype(float)
    inside = rng.random(n) < share
    pts[inside] = rng.uniform(-1, 1, (inside.sum(), 3)) * np.finfo(f).eps
    return pts.astype(f)


def delaunay_graph(points):
    """CSR (indptr, indices) as uint32 of the Delaunay triangulation's edges."""
    indptr, indices = Delaunay(np.asarray(points, dtype=np.float64)).vertex_neighbor_vertices
    return indptr.astype(np.uint32), indices.astype(np.uint32)


def empty_graph(n):
    return np.zeros(n + 1, np.uint32), np.zeros(0, np.uint32)


def csr_from_lists(lists):
    indptr = np.zeros(len(lists) + 1, np.uint32)
    indptr[1:] = np.cumsum([len(l) for l in lists])
    indices = np.array([v for l in lists for v in l], dtype=np.uint32)
    return indptr, indices


def run_in_threads(work, count):
    """Runs work(k) for k = 0 .. count - 1, each on a thread of its own, and
    waits for all of them."""
    threads = [threading.Thread(target=work, args=(k,)) for k in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def first_uses_in_threads(fresh, calls, want, rounds=5, count=8):
    """For each of `rounds` fresh objects, `count` threads released at once
    by a barrier: thread k calls calls[k % len(calls)] with the object and
    compares the arrays returned with want[k % len(calls)]. Returns the
    threads whose answers differed."""
    failures = []
    for _ in range(rounds):
        obj = fresh()
        barrier = threading.Barrier(count)

        def work(k):
            barrier.wait()
            c = k % len(calls)
            got = calls[c](obj)
            if not all(np.array_equal(g, w) for g, w in zip(got, want[c])):
                failures.append(k)

        run_in_threads(work, count)
    return failures


def outcome(call):
    """("ok", result arrays) or ("raised", exception type, arguments)."""
    try:
        result = call()
    except BaseException as exc:  # noqa: BLE001 - PanicException derives from BaseException
        return "raised", type(exc), exc.args
    if isinstance(result, (_tevu.GroupedQueriesF64, _tevu.GroupedQueriesF32)):
        result = (result.n_points, result.offsets, result.perm)
    return "ok", result


def same(got, want):
    """Whether two outcomes agree: the same exception and arguments, or the
    same arrays bit for bit."""
    if got[0] != want[0]:
        return False
    if got[0] == "raised":
        return got[1:] == want[1:]
    return len(got[1]) == len(want[1]) and all(
        np.array_equal(x, y) for x, y in zip(got[1], want[1]))


def sq_dist(x, y):
    """Squared distances (n_x, n_y), summed as (dx² + dy²) + dz² in the
    arrays' own precision, differences taken as target minus query."""
    d = y[None, :, :3] - x[:, None, :3]
    d = d * d
    return (d[..., 0] + d[..., 1]) + d[..., 2]


def brute_nearest(x, y):
    """Nearest distance and the smallest index attaining it."""
    d2 = sq_dist(x, y)
    idx = np.argmin(d2, axis=1)
    return np.sqrt(d2[np.arange(len(x)), idx]), idx


def panic_type():
    """The exception type of native failures (not a module attribute)."""
    try:
        _tevu.all_nearest_neighbours(np.zeros((0, 3)), np.zeros(0, np.uint32),
                                     np.zeros(0, np.uint32), np.zeros((0, 3)),
                                     np.zeros(1, np.uint32), np.zeros(0, np.uint32))
    except BaseException as exc:  # noqa: BLE001 - it derives from BaseException
        return type(exc)
    raise AssertionError("an empty indptr must fail")


PanicException = panic_type()


@pytest.fixture
def panics():
    """pytest.raises for PanicException with an exact message."""
    def check(message):
        return pytest.raises(PanicException, match="^" + _escape(message) + "$")
    return check


def _escape(text):
    import re
    return re.escape(text)
