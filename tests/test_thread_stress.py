"""Thread stress: many Python threads hammer shared prepared instances and one
shared grouped set with every search at once, failing calls interleaved
(malformed instances and arrays on the same objects, bad arguments). Every
outcome must be the one the same call had when run alone beforehand: the
same arrays bit for bit, or the same exception with the same message.

TEVU_STRESS_SECONDS sets how long the threads run (default 2.5; every
thread makes at least one pass over all calls whatever the setting).
"""

import os
import threading
import time

import numpy as np
import pytest

import _tevu
from conftest import clustered_cloud, delaunay_graph, outcome, same

SECONDS = float(os.environ.get("TEVU_STRESS_SECONDS", "2.5"))
THREADS = 12
F64, F32 = _tevu.PreparedF64, _tevu.PreparedF32
G64, G32 = _tevu.GroupedQueriesF64, _tevu.GroupedQueriesF32


def strided(a):
    return np.repeat(a, 2)[::2]


def shared_objects():
    rng = np.random.default_rng(7)
    arrays = []
    for c in range(4):
        points = clustered_cloud(300 + 60 * c, 70 + c) + 0.05 * c
        arrays.append((points, *delaunay_graph(points)))
    arrays32 = [(p.astype(np.float32), indptr, indices) for p, indptr, indices in arrays]
    perms = [rng.permutation(len(a[0])) for a in arrays]
    bad_ids = arrays[0][2].copy()
    bad_ids[len(bad_ids) // 2] = len(arrays[0][0]) + 3
    repeating = perms[1].copy()
    repeating[5] = repeating[6]
    f64 = [F64(*a) for a in arrays]
    return {
        "arrays": arrays, "arrays32": arrays32, "perms": perms, "f64": f64,
        "f32": [F32(*a) for a in arrays32],
        "grouped": G64.prepare(f64, perms),
        "bad": F64(arrays[0][0], arrays[0][1], bad_ids),
        "bad_ids": bad_ids,
        "bad_grouped": G64.prepare(f64[:2], [None, repeating]),
    }


def jobs(s):
    """name -> (call, whether it fails). Every search of the module, on the
    shared objects, succeeding and failing."""
    a, a32, f64, f32, perms = s["arrays"], s["arrays32"], s["f64"], s["f32"], s["perms"]
    g, bad = s["grouped"], s["bad"]
    out = {}
    for t, q in ((0, 1), (2, 3), (3, 0)):
        for b in (None, 0.02):
            out[f"query {t} {q} {b}"] = (lambda t=t, q=q, b=b: f64[t].query(*a[q], b), False)
            out[f"query_k {t} {q} {b}"] = (lambda t=t, q=q, b=b: f64[t].query_k(*a[q], 3, 6, b),
                                           False)
            out[f"query_prepared {t} {q} {b}"] = (
                lambda t=t, q=q, b=b: f64[t].query_prepared(f64[q], b), False)
            out[f"query_prepared_k {t} {q} {b}"] = (
                lambda t=t, q=q, b=b: f64[t].query_prepared_k(f64[q], 4, 8, b), False)
            out[f"query_prepared_blocked {t} {q} {b}"] = (
                lambda t=t, q=q, b=b: f64[t].query_prepared_blocked(f64[q], 8, b), False)
            for finalize in (True, False):
                out[f"query_grouped {t} {b} {finalize}"] = (
                    lambda t=t, b=b, f=finalize: f64[t].query_grouped(g, perms[t], 16, b, f),
                    False)
        out[f"nearest {t} {q}"] = (lambda t=t, q=q: _tevu.all_nearest_neighbours(*a[q], *a[t]),
                                   False)
        out[f"nearest_k {t} {q}"] = (
            lambda t=t, q=q: _tevu.all_nearest_neighbours_k(*a[q], *a[t], 4, 8), False)
        out[f"f32 nearest {t} {q}"] = (
            lambda t=t, q=q: _tevu.all_nearest_neighbours_f32(*a32[q], *a32[t]), False)
        out[f"f32 nearest_k {t} {q}"] = (
            lambda t=t, q=q: _tevu.all_nearest_neighbours_k_f32(*a32[q], *a32[t], 2, 5), False)
        out[f"f32 query_prepared {t} {q}"] = (lambda t=t, q=q: f32[t].query_prepared(f32[q]),
                                              False)
    out["prepare"] = (lambda: G64.prepare(f64, perms), False)
    out["prepare f32"] = (lambda: G32.prepare(f32[::-1], []), False)
    out["bad grouped, raw"] = (lambda: f64[1].query_grouped(s["bad_grouped"], None,
                                                            finalize=False), False)
    # Failures on the same objects.
    out.update({
        "bad query": (lambda: f64[1].query_prepared(bad), True),
        "bad target": (lambda: bad.query_prepared(f64[0]), True),
        "bad target, k": (lambda: bad.query_prepared_k(f64[0], 3, 6), True),
        "bad target, blocked": (lambda: bad.query_prepared_blocked(f64[0]), True),
        "bad target, grouped": (lambda: bad.query_grouped(g, None), True),
        "bad ids, nearest": (lambda: _tevu.all_nearest_neighbours(*a[1], *a[0][:2],
                                                                  s["bad_ids"]), True),
        "strided offsets": (lambda: f64[2].query(a[1][0], strided(a[1][1]), a[1][2]), True),
        "negative k": (lambda: f64[0].query_k(*a[1], -1, 4), True),
        "block too large": (lambda: f64[0].query_prepared_blocked(f64[1], 2**62), True),
        "strided target perm": (lambda: f64[0].query_grouped(g, strided(perms[0])), True),
        "short target perm": (lambda: f64[0].query_grouped(g, perms[0][:10]), True),
        "int finalize": (lambda: f64[0].query_grouped(g, None, finalize=1), True),
        "grouped of f32": (lambda: f32[0].query_grouped(g, None), True),
        "repeating query perm": (lambda: f64[1].query_grouped(s["bad_grouped"], None), True),
        "prepare, mixed precisions": (lambda: G64.prepare(f64 + f32[:1], []), True),
        "prepare, strided perm": (lambda: G64.prepare(f64, [strided(perms[0])]), True),
    })
    return out


def test_threads_mixing_every_search_match_the_serial_answers():
    table = jobs(shared_objects())
    names = sorted(table)
    serial = {name: outcome(table[name][0]) for name in names}
    for name in names:
        assert (serial[name][0] == "raised") == table[name][1], (name, serial[name])
    failures, runs = [], [0] * THREADS
    barrier = threading.Barrier(THREADS)

    def work(k):
        barrier.wait()
        deadline = time.monotonic() + SECONDS
        # Each thread starts elsewhere in the table and walks it round and
        # round, so that different calls overlap.
        while runs[k] < len(names) or time.monotonic() < deadline:
            name = names[(5 * k + runs[k]) % len(names)]
            got = outcome(table[name][0])
            runs[k] += 1
            if not same(got, serial[name]):
                failures.append((name, got[:3] if got[0] == "raised" else "other arrays"))

    threads = [threading.Thread(target=work, args=(k,)) for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
    assert min(runs) >= len(names)


def _repeated_while(array, calls):
    """Runs calls() while another thread repeats `array` without pause.
    NumPy 1.x's repeat sets the shape of the array it repeats to the
    result's for a moment (the interpreter lock hides this from Python
    code); a search that read the layout of that array after releasing the
    lock saw twice its length. NumPy 2 no longer does this."""
    stop = threading.Event()

    def repeat():
        while not stop.is_set():
            np.repeat(array, 2)

    thread = threading.Thread(target=repeat)
    thread.start()
    try:
        return calls()
    finally:
        stop.set()
        thread.join()


def _empty_csr(n):
    return np.zeros(n + 1, np.uint32), np.zeros(0, np.uint32)


@pytest.mark.parametrize("k", [None, 2])
def test_searches_read_no_array_layout_after_releasing_the_lock(k):
    # The query's offsets are repeated. The target is large, so that packing
    # it takes long enough for the other thread to be inside a repeat when
    # a search that reads layouts late would read the query's.
    rng = np.random.default_rng(3)
    x, y = rng.random((300, 3)), rng.random((200_000, 3))
    x_graph, y_graph = _empty_csr(len(x)), _empty_csr(len(y))
    if k is None:
        def call():
            return _tevu.all_nearest_neighbours(x, *x_graph, y, *y_graph)
    else:
        def call():
            return _tevu.all_nearest_neighbours_k(x, *x_graph, y, *y_graph, k, 4)
    want = outcome(call)
    assert want[0] == "ok"
    got = _repeated_while(x_graph[0], lambda: [outcome(call) for _ in range(300)])
    assert [g[:3] if g[0] == "raised" else "other arrays" for g in got
            if not same(g, want)] == []
