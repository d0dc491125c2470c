"""Scenarios between one query cloud x and one target cloud y of the same size.

k1:    all_nearest_neighbours(_f32) and query_prepared, without a bound and
       with one that half the queries miss, against the peers' k = 1 query.
k8:    query_prepared_k with k = 8 at several ef, recall against the exact
       k = 8 answer (cKDTree's), against the peers' k = 8 query; float64
       only for large clouds, where every call takes seconds.
build: preparing the target (PreparedF64/F32) against building the trees.

`bench` supplies the store of clouds (workloads.CloudStore), the table, the
round counts and `tree`, the peers' trees memoized per cloud.
"""

import re
from functools import partial

import _tevu
import peers
from checks import distances_agree, median_bound, recall
from report import timing_row
from timing import interleaved
from workloads import PREPARED, size_label

NEAREST = {"f64": _tevu.all_nearest_neighbours, "f32": _tevu.all_nearest_neighbours_f32}
PRECISIONS = ("f64", "f32")
K, EFS = 8, (8, 16, 32)


def _workload(kind, n, order):
    return f"{kind} {size_label(n)} {order}"


def _peer_inputs(bench, kind, n, order, prec):
    """Each peer's tree over y and its copy of x's points."""
    xs = bench.store.points(kind, n, "x", order, prec)
    trees = {p: bench.tree(kind, n, "y", order, prec, p) for p in peers.PEERS}
    return trees, {p: peers.peer_points(xs, p) for p in peers.PEERS}


def _peer_fns(trees, xq, k, bound, prec):
    return {f"{prec} {p}": partial(peers.query, p, trees[p], xq[p], k, bound)
            for p in peers.PEERS}


def _peer_columns(prec):
    """Row column -> the name of that peer's callable for this precision."""
    return {p: f"{prec} {p}" for p in peers.PEERS}


def _with_peer_checks(check, timed, reference, prec, bound=None, column=0):
    """`check` plus any peer whose distances disagree with the reference peer."""
    for p in peers.PEERS[1:]:
        check = check.also(p, distances_agree(timed[f"{prec} {p}"].result[column], reference,
                                              prec, bound))
    return check


# Both precisions of a workload take turns in the same rounds, with each
# one's peers: whether float32 is faster than float64 compares two of the
# module's own timings, which must see the same machine as much as a module
# and its peers do.


def k1(bench, kind, n, order):
    store, rounds = bench.store, bench.rounds_for(n)
    bound = None
    for bound_kind in ("none", "median"):
        fns = {}
        for prec in PRECISIONS:
            xs, ys = (store.points(kind, n, r, order, prec) for r in "xy")
            px, py = (store.prepared(kind, n, r, order, prec) for r in "xy")
            if bound is None:
                xg, yg = (store.graph(kind, n, r, order, prec) for r in "xy")
                fns[f"{prec} all_nearest_neighbours"] = partial(NEAREST[prec], xs, *xg, ys, *yg)
            fns[f"{prec} query_prepared"] = partial(py.query_prepared, px, bound)
            trees, xq = _peer_inputs(bench, kind, n, order, prec)
            fns.update(_peer_fns(trees, xq, 1, bound, prec))
        timed = interleaved(fns, rounds, bench.min_time, bench.warmup_for(n))
        for prec in PRECISIONS:
            reference = timed[f"{prec} cKDTree"].result[0]
            for name in fns:
                method = name.split(" ", 1)[1]
                if not name.startswith(prec) or method in peers.PEERS:
                    continue
                check = distances_agree(timed[name].result[0], reference, prec, bound)
                check = _with_peer_checks(check, timed, reference, prec, bound)
                bench.table.add(timing_row(
                    timed, name, n, _peer_columns(prec), scenario="k1",
                    workload=_workload(kind, n, order), kind=kind, n=n, order=order,
                    prec=prec, bound_kind=bound_kind, bound=bound, k=1,
                    variant=prec + (" bound" if bound is not None else ""), method=method,
                    **check.fields()))
        bound = median_bound(timed["f64 cKDTree"].result[0])


def k8(bench, kind, n, order):
    store, rounds = bench.store, bench.rounds_for(n)
    precisions = PRECISIONS if n < bench.config.large else ("f64",)
    fns = {}
    for prec in precisions:
        px, py = (store.prepared(kind, n, r, order, prec) for r in "xy")
        trees, xq = _peer_inputs(bench, kind, n, order, prec)
        fns.update({f"{prec} ef={ef}": partial(py.query_prepared_k, px, K, ef) for ef in EFS})
        fns.update(_peer_fns(trees, xq, K, None, prec))
    timed = interleaved(fns, rounds, bench.min_time, bench.warmup_for(n))
    for prec in precisions:
        exact_d, exact_i = timed[f"{prec} cKDTree"].result
        for ef in EFS:
            check = _with_peer_checks(recall(timed[f"{prec} ef={ef}"].result[1], exact_i),
                                      timed, exact_d, prec)
            bench.table.add(timing_row(
                timed, f"{prec} ef={ef}", n, _peer_columns(prec), scenario="k8",
                workload=_workload(kind, n, order), kind=kind, n=n, order=order, prec=prec,
                k=K, ef=ef, variant=f"{prec} ef={ef}", method="query_prepared_k",
                recall=check.value, **check.fields()))


def build(bench, kind, n, order):
    """Preparing y once (packing, bounding box, CSR copy) against the trees."""
    store = bench.store
    for prec in PRECISIONS:
        ys = store.points(kind, n, "y", order, prec)
        fns = {"prepare": partial(PREPARED[prec], ys, *store.graph(kind, n, "y", order, prec))}
        fns.update({p: partial(peers.build, p, peers.peer_points(ys, p)) for p in peers.PEERS})
        timed = interleaved(fns, bench.rounds_for(n), bench.min_time, bench.warmup_for(n))
        bench.table.add(timing_row(
            timed, "prepare", n, {p: p for p in peers.PEERS}, scenario="build",
            workload=_workload(kind, n, order), kind=kind, n=n, order=order, prec=prec,
            variant=prec, method=PREPARED[prec].__name__, check="-", ok=None, value=None))


def _high_water_kib():
    with open("/proc/self/status") as status:
        return int(re.search(r"VmHWM:\s+(\d+)", status.read()).group(1))


def peak_growth(fn):
    """Bytes the process's resident high-water mark grows by during fn(), or
    None where Linux's /proc interface is missing. The mark is reset first;
    memory freed earlier but still mapped can hide part of the growth."""
    try:
        with open("/proc/self/clear_refs", "w") as clear_refs:
            clear_refs.write("5")
        before = _high_water_kib()
    except OSError:
        return None
    fn()
    return (_high_water_kib() - before) * 1024
