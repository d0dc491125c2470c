"""Free threading: the module keeps the GIL off, and searches on shared
instances stay exact while other threads create and drop instances.

With the GIL, only the searches themselves run in parallel (they release
it); on a free-threaded interpreter everything does: constructors, grouped
set builds, deallocation, the first use of an instance that works out its
kept plan and stop limits, and the reference counting of objects that many
threads hold at once. These tests run everywhere but are only meaningful
without the GIL.

TEVU_STRESS_SECONDS sets how long the threads run (default 2.5; every
thread makes at least one full pass whatever the setting).
"""

import os
import sys
import sysconfig
import threading
import time

import numpy as np
import pytest

import _tevu
from conftest import PanicException, clustered_cloud, delaunay_graph, outcome, same

SECONDS = float(os.environ.get("TEVU_STRESS_SECONDS", "2.5"))
SEARCHERS, MAKERS = 8, 4  # one maker per cloud
F64, F32 = _tevu.PreparedF64, _tevu.PreparedF32
G64, G32 = _tevu.GroupedQueriesF64, _tevu.GroupedQueriesF32
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
GIL_FORCED = "PYTHON_GIL" in os.environ or "gil" in sys._xoptions


@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded interpreter")
@pytest.mark.skipif(GIL_FORCED, reason="PYTHON_GIL or -X gil decides the GIL here")
def test_the_gil_stays_disabled_with_the_module_loaded():
    # By now the module, NumPy, SciPy's Delaunay and the test tools are loaded.
    assert "_tevu" in sys.modules
    assert not sys._is_gil_enabled()


class Clouds:
    """Four clustered clouds (large enough to be planned as queries), their
    float32 twins and permutations, and the answers of every search made
    one after the other on instances of their own."""

    PAIRS = ((0, 1), (1, 2), (2, 3), (3, 0), (2, 2))

    def __init__(self):
        rng = np.random.default_rng(16)
        self.arrays = []
        for c in range(4):
            points = clustered_cloud(280 + 50 * c, 160 + c) + 0.04 * c
            self.arrays.append((points, *delaunay_graph(points)))
        self.arrays32 = [(p.astype(np.float32), i, n) for p, i, n in self.arrays]
        self.perms = [rng.permutation(len(a[0])) for a in self.arrays]
        bad_ids = self.arrays[1][2].copy()
        bad_ids[::7] = len(self.arrays[1][0]) + 1
        self.bad_arrays = (self.arrays[1][0], self.arrays[1][1], bad_ids)

    def fresh(self, c, prec="f64"):
        return F64(*self.arrays[c]) if prec == "f64" else F32(*self.arrays32[c])

    def fresh_grouped(self, prec="f64"):
        """A grouped set of all clouds; the instances it is made of are gone
        once it returns."""
        if prec == "f64":
            return G64.prepare([self.fresh(c) for c in range(4)], self.perms)
        return G32.prepare([self.fresh(c, "f32") for c in range(4)], self.perms)


def searches(clouds, f64, f32, grouped):
    """name -> call. `f64` and `f32` are lists of the current instance of
    each cloud, read at call time, so that a call may get an instance another
    thread has just made (and uses for the first time) or is dropping."""
    a, perms = clouds.arrays, clouds.perms
    out = {}
    for t, q in clouds.PAIRS:
        out[f"query_prepared {t} {q}"] = lambda t=t, q=q: f64[t].query_prepared(f64[q])
        out[f"query_prepared bound {t} {q}"] = lambda t=t, q=q: f64[t].query_prepared(f64[q],
                                                                                     0.01)
        out[f"query_prepared_k {t} {q}"] = lambda t=t, q=q: f64[t].query_prepared_k(f64[q], 4, 8)
        out[f"query_prepared_blocked {t} {q}"] = (
            lambda t=t, q=q: f64[t].query_prepared_blocked(f64[q], 8))
        out[f"query {t} {q}"] = lambda t=t, q=q: f64[t].query(*a[q])
        out[f"f32 query_prepared {t} {q}"] = lambda t=t, q=q: f32[t].query_prepared(f32[q])
        out[f"f32 query_prepared_k {t} {q}"] = (
            lambda t=t, q=q: f32[t].query_prepared_k(f32[q], 3, 6))
    for t in range(4):
        out[f"query_grouped {t}"] = lambda t=t: f64[t].query_grouped(grouped["f64"], perms[t], 8)
        out[f"query_grouped raw {t}"] = lambda t=t: f64[t].query_grouped(
            grouped["f64"], None, 1, None, False)
        out[f"f32 query_grouped {t}"] = lambda t=t: f32[t].query_grouped(grouped["f32"],
                                                                         perms[t], 32)
    return out


def test_searches_match_the_serial_answers_while_instances_come_and_go():
    clouds = Clouds()
    # The answers, from instances no thread below ever sees.
    serial_f64 = [clouds.fresh(c) for c in range(4)]
    serial_f32 = [clouds.fresh(c, "f32") for c in range(4)]
    serial_grouped = {"f64": clouds.fresh_grouped(), "f32": clouds.fresh_grouped("f32")}
    table = searches(clouds, serial_f64, serial_f32, serial_grouped)
    want = {name: outcome(call) for name, call in table.items()}
    assert all(w[0] == "ok" for w in want.values())
    want_sets = {prec: outcome(lambda g=g: g) for prec, g in serial_grouped.items()}
    bad_arrays = clouds.bad_arrays
    want_bad = outcome(lambda: F64(*bad_arrays).query_prepared(serial_f64[0]))
    assert want_bad[:2] == ("raised", PanicException)

    # What the threads share: the current instance of each cloud (replaced
    # all the time by the makers) and one grouped set for the whole run.
    f64 = [clouds.fresh(c) for c in range(4)]
    f32 = [clouds.fresh(c, "f32") for c in range(4)]
    grouped = {"f64": clouds.fresh_grouped(), "f32": clouds.fresh_grouped("f32")}
    table = searches(clouds, f64, f32, grouped)
    names = sorted(table)
    failures = []
    runs = [0] * (SEARCHERS + MAKERS)
    stop = threading.Event()
    barrier = threading.Barrier(SEARCHERS + MAKERS)

    def check(name, got, wanted):
        if not same(got, wanted):
            failures.append((name, got[:3] if got[0] == "raised" else "other arrays"))

    def search(k):
        deadline = time.monotonic() + SECONDS
        while runs[k] < len(names) or time.monotonic() < deadline:
            name = names[(7 * k + runs[k]) % len(names)]
            check(name, outcome(table[name]), want[name])
            runs[k] += 1

    def make(k):
        # Maker k replaces the instances of cloud k, alternating the
        # precisions, so that every replacement drops one that searchers may
        # still hold; half of the fresh ones it searches with first, before
        # sharing them. In between it builds and drops grouped sets and
        # instances whose searches fail.
        c, q = k, (k + 1) % 4
        while runs[SEARCHERS + k] < 8 or not stop.is_set():
            i = runs[SEARCHERS + k]
            prec, slots, prefix = (("f64", f64, ""), ("f32", f32, "f32 "))[i % 2]
            fresh = clouds.fresh(c, prec)
            if i % 4 < 2:
                name = f"{prefix}query_prepared {c} {q}"
                check("maker " + name, outcome(lambda: fresh.query_prepared(slots[q])),
                      want[name])
            slots[c] = fresh
            if i % 3 == 0:
                g = clouds.fresh_grouped(prec)
                check(f"maker prepare {prec}", outcome(lambda: g), want_sets[prec])
            if i % 5 == 0:
                check("maker bad graph",
                      outcome(lambda: F64(*bad_arrays).query_prepared(f64[0])), want_bad)
            runs[SEARCHERS + k] += 1

    def work(k):
        barrier.wait()
        if k < SEARCHERS:
            search(k)
        else:
            make(k - SEARCHERS)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(SEARCHERS + MAKERS)]
    for t in threads:
        t.start()
    for t in threads[:SEARCHERS]:
        t.join()
    stop.set()
    for t in threads[SEARCHERS:]:
        t.join()
    assert failures == []
    assert min(runs[:SEARCHERS]) >= len(names)
    assert min(runs[SEARCHERS:]) >= 8
