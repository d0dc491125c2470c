"""Scenarios over a collection of clustered clouds, each stored in Morton order.

grouped:    one clustered target against the grouped set of a collection
            (query_grouped at several block sizes); the peers query the
            target's tree with all of the collection's points at once, in
            the set's Z-order, which is the order that suits them best.
all_by_all: every cloud of a collection against every other, on 1 and 2
            pool threads, through query_prepared per ordered pair and
            query_grouped per target; the peers one tree per cloud, queried
            per ordered pair and (one call per target) with all points in
            Z-order. A peer's ratio uses its faster way.

Our grouped calls answer the target's own cloud too (M·M·N query points
instead of M·(M-1)·N); ratios compare totals, so that work counts against us.
"""

from concurrent.futures import ThreadPoolExecutor
from functools import partial

import numpy as np

import _tevu
import peers
from checks import distances_agree
from report import interpreter, timing_row
from scenarios_pairs import PRECISIONS
from timing import interleaved
from workloads import size_label

GROUPED = {"f64": _tevu.GroupedQueriesF64, "f32": _tevu.GroupedQueriesF32}
BLOCKS = (1, 8, 32, 64)
THREADS = (1, 2)


class Collection:
    """Clustered clouds 0 .. m-1 of n points, stored in Morton order, in one precision."""

    def __init__(self, bench, m, n, prec):
        store = bench.store
        self.stored = [store.stored("clustered", n, c, "morton") for c in range(m)]
        self.perms = [s.perm for s in self.stored]
        self.points = [store.points("clustered", n, c, "morton", prec) for c in range(m)]
        self.prepared = [store.prepared("clustered", n, c, "morton", prec) for c in range(m)]
        self.grouped = GROUPED[prec].prepare(self.prepared, self.perms)
        self.offsets = self.grouped.offsets.astype(np.int64)
        # Where each point of the set's Z-order sits in the finalized output
        # (every cloud in its drawn order, concatenated).
        order = self.grouped.perm.astype(np.int64)
        drawn = np.concatenate([p + o for p, o in zip(self.perms, self.offsets[:-1])])
        self.sorted_to_output = drawn[order]
        self.sorted_points = np.concatenate(self.points)[order]
        self.peer_sorted = {p: peers.peer_points(self.sorted_points, p) for p in peers.PEERS}

    def peer_answer(self, peer, tree):
        """A peer's distances for every point of the set, in output order (the
        scatter is the peer's share of what finalizing costs us)."""
        d, _ = peers.query(peer, tree, self.peer_sorted[peer])
        out = np.empty_like(d)
        out[self.sorted_to_output] = d
        return out


def grouped(bench):
    """Both precisions take turns in the same rounds, like the pair scenarios."""
    cfg, store = bench.config, bench.store
    nt, m, n = cfg.grouped_target, cfg.grouped_clouds, cfg.grouped_points
    workload = f"clustered {size_label(nt)} vs {m}x{n}"
    target_perm = store.stored("clustered", nt, "y", "morton").perm
    fns, n_points = {}, {}
    for prec in PRECISIONS:
        target = store.prepared("clustered", nt, "y", "morton", prec)
        group = Collection(bench, m, n, prec)
        n_points[prec] = group.grouped.n_points
        trees = {p: bench.tree("clustered", nt, "y", "morton", prec, p) for p in peers.PEERS}
        fns.update({f"{prec} block {b}": partial(target.query_grouped, group.grouped,
                                                 target_perm, b) for b in BLOCKS})
        fns.update({f"{prec} {p}": partial(group.peer_answer, p, trees[p]) for p in peers.PEERS})
    timed = interleaved(fns, bench.rounds_for(nt), bench.min_time)
    for prec in PRECISIONS:
        reference = timed[f"{prec} cKDTree"].result
        for b in BLOCKS:
            check = distances_agree(timed[f"{prec} block {b}"].result[0], reference, prec)
            for p in peers.PEERS[1:]:
                check = check.also(p, distances_agree(timed[f"{prec} {p}"].result, reference,
                                                      prec))
            bench.table.add(timing_row(
                timed, f"{prec} block {b}", n_points[prec],
                {p: f"{prec} {p}" for p in peers.PEERS}, scenario="grouped", workload=workload,
                kind="clustered", n=nt, prec=prec, block=b, variant=f"{prec} block {b}",
                method="query_grouped", **check.fields()))


def _drain(pool, task, jobs):
    for _ in pool.map(task, jobs):
        pass


class Join:
    """The all-by-all join's callables: ours and the peers', per thread count."""

    def __init__(self, bench, m, n):
        self.group = Collection(bench, m, n, "f64")
        self.m, self.n = m, n
        self.pairs = [(q, t) for t in range(m) for q in range(m) if q != t]
        self.trees = {p: [bench.tree("clustered", n, c, "morton", "f64", p) for c in range(m)]
                      for p in peers.PEERS}
        self.pools = {w: ThreadPoolExecutor(w) for w in THREADS}

    def close(self):
        for pool in self.pools.values():
            pool.shutdown()

    def points_of(self, way):
        """Query points answered by one run: per pair skips each target's own cloud."""
        per_pair = way == "query_prepared" or way.endswith("per pair")
        return (self.m - 1 if per_pair else self.m) * self.m * self.n

    def ways(self, workers):
        g, pool = self.group, self.pools[workers]
        prepared, perms = g.prepared, g.perms
        fns = {"query_prepared": lambda: _drain(
            pool, lambda qt: prepared[qt[1]].query_prepared(prepared[qt[0]]), self.pairs)}
        for b in BLOCKS:
            fns[f"block {b}"] = partial(_drain, pool, lambda t, b=b: prepared[t].query_grouped(
                g.grouped, perms[t], b), range(self.m))
        for p in peers.PEERS:
            trees = self.trees[p]
            fns[f"{p} per pair"] = partial(_drain, pool, lambda qt, p=p, trees=trees: peers.query(
                p, trees[qt[1]], g.points[qt[0]]), self.pairs)
            fns[f"{p} per target"] = partial(_drain, pool, lambda t, p=p, trees=trees: peers.query(
                p, trees[t], g.peer_sorted[p]), range(self.m))
        return {(way, workers): fn for way, fn in fns.items()}

    def checks(self, targets=2):
        """Every way against cKDTree per pair on the first targets (f64: exact)."""
        g, found = self.group, {}
        for t in range(min(targets, self.m)):
            want = {q: peers.query("cKDTree", self.trees["cKDTree"][t], g.points[q])[0]
                    for q in range(self.m)}
            want_out = np.empty(g.grouped.n_points)
            for q in range(self.m):
                want_out[g.offsets[q] + g.perms[q]] = want[q]
            got = {"query_prepared": [(g.prepared[t].query_prepared(g.prepared[q])[0], want[q])
                                      for q in range(self.m) if q != t]}
            for b in BLOCKS:
                got[f"block {b}"] = [(g.prepared[t].query_grouped(g.grouped, g.perms[t], b)[0],
                                      want_out)]
            for p in peers.PEERS[1:]:
                got[f"{p} per pair"] = [(peers.query(p, self.trees[p][t], g.points[q])[0],
                                         want[q]) for q in range(self.m) if q != t]
                got[f"{p} per target"] = [(g.peer_answer(p, self.trees[p][t]), want_out)]
            for way, pairs in got.items():
                found.setdefault(way, []).extend(pairs)
        return {way: distances_agree(np.concatenate([a for a, _ in pairs]),
                                     np.concatenate([b for _, b in pairs]), "f64")
                for way, pairs in found.items()}


OUR_WAYS = ("query_prepared",) + tuple(f"block {b}" for b in BLOCKS)


def _join_row(join, secs, checks, way, workers):
    """One of our ways on `workers` threads against each peer's faster way."""
    t, pts = secs[(way, workers)], join.points_of(way)
    peer_secs = {key[0]: s for key, s in secs.items()
                 if key[1] == workers and key[0] not in OUR_WAYS}
    best = {p: min((f"{p} per pair", f"{p} per target"), key=peer_secs.get)
            for p in peers.PEERS}
    check = checks[way]
    for p in peers.PEERS[1:]:
        check = check.also(p, checks[best[p]])
    speedup = secs[(way, 1)] / t
    grouped = way.startswith("block")
    return dict(
        scenario="all_by_all", workload=f"{join.m} clustered x {join.n}", m=join.m, n=join.n,
        prec="f64", threads=workers, block=int(way.split()[1]) if grouped else None,
        interpreter=interpreter(),
        method="query_grouped" if grouped else way,
        variant=(way + ", " if grouped else "") + f"{workers} thr",
        points=pts, seconds=t, speedup=speedup, peer_seconds=peer_secs,
        ns={"ours": t * 1e9 / pts,
            **{p: peer_secs[w] * 1e9 / join.points_of(w) for p, w in best.items()}},
        ratio={p: peer_secs[w] / t for p, w in best.items()},
        check=check.text + (f"; 2 thr {speedup:.2f}x" if workers > 1 else ""),
        ok=check.ok, value=check.value)


def all_by_all(bench):
    cfg = bench.config
    join = Join(bench, cfg.join_clouds, cfg.join_points)
    try:
        fns = {}
        for workers in THREADS:
            fns.update(join.ways(workers))
        timed = interleaved(fns, cfg.join_rounds, warmup=False)
        checks = join.checks()
    finally:
        join.close()
    secs = {key: t.seconds for key, t in timed.items()}
    for workers in THREADS:
        for way in OUR_WAYS:
            bench.table.add(_join_row(join, secs, checks, way, workers))
        totals = ", ".join(f"{way} {s:.2f} s" for (way, w), s in secs.items()
                           if w == workers and way not in OUR_WAYS)
        bench.table.out(f"  peers on {workers} thr: {totals}")
