"""The suite's table (printed as rows arrive) and its summary of the speed targets.

A row is a dict: scenario, workload, variant, method, points (query points
per call), ns ({"ours": ns per query point, peer: ns per query point}),
ratio ({peer: peer time / our time}), check, ok, value, and the scenario's
own fields (kind, n, order, prec, bound, ef, block, threads, ...).
"""

import sys


def interpreter():
    """What this process runs on: "free-threaded" without the GIL, else "GIL"."""
    return "GIL" if getattr(sys, "_is_gil_enabled", lambda: True)() else "free-threaded"


def _ns(value):
    return f"{value:>12.1f}" if value is not None else f"{'-':>12}"


class Table:
    def __init__(self, out=print):
        self.out = out
        self.rows = []
        self.peers = ()

    def section(self, title, peers):
        self.peers = tuple(peers)
        head = f"{'workload':<26}{'variant':<18}{'method':<24}{'ours ns':>12}"
        head += "".join(f"{p + ' ns':>12}" for p in self.peers)
        head += "".join(f"{p + '/ours':>15}" for p in self.peers)
        self.out(f"\n== {title}\n{head}  check")

    def add(self, row):
        self.rows.append(row)
        line = f"{row['workload']:<26}{row['variant']:<18}{row['method']:<24}"
        line += _ns(row["ns"].get("ours"))
        line += "".join(_ns(row["ns"].get(p)) for p in self.peers)
        line += "".join(f"{row['ratio'][p]:>14.2f}x" if p in row["ratio"] else f"{'-':>15}"
                        for p in self.peers)
        self.out(f"{line}  {row['check']}")


def _pick(rows, **fields):
    return [r for r in rows if all(r.get(k) == v for k, v in fields.items())]


def _where(row):
    return " ".join(str(p) for p in (row["workload"], row["variant"], row["method"]) if p)


def _target(name, goal, rows, value_of, at_least, best=max):
    """The best (or worst, best=min) value over rows, judged against at_least."""
    if not rows:
        return {"target": name, "goal": goal, "value": None, "met": None, "where": "not run"}
    row = best(rows, key=value_of)
    value = value_of(row)
    return {"target": name, "goal": goal, "value": value, "met": value >= at_least,
            "where": _where(row)}


def _cKDTree(row):
    return row["ratio"].get("cKDTree", 0.0)


def _at_most(name, goal, rows, value_of, limit):
    """The largest value over rows, judged against an upper limit."""
    if not rows:
        return {"target": name, "goal": goal, "value": None, "met": None, "where": "not run"}
    row = max(rows, key=value_of)
    value = value_of(row)
    return {"target": name, "goal": goal, "value": value, "met": value <= limit,
            "where": _where(row)}


def _f32_vs_f64(rows):
    """ns(f64) / ns(f32) for every row whose f64 twin was measured too."""
    keys = ("scenario", "workload", "method", "ef", "block", "bound_kind", "threads")
    f64 = {tuple(r.get(k) for k in keys): r for r in rows if r.get("prec") == "f64"}
    pairs = []
    for r in rows:
        twin = f64.get(tuple(r.get(k) for k in keys)) if r.get("prec") == "f32" else None
        if twin is not None:
            pairs.append(dict(r, f32_gain=twin["ns"]["ours"] / r["ns"]["ours"]))
    return pairs


def summarize(rows):
    k1 = _pick(rows, scenario="k1")
    qp = dict(scenario="k1", prec="f64", bound_kind="none", method="query_prepared",
              order="morton", n=100_000)
    joins = _pick(rows, scenario="all_by_all", threads=1)
    best_join = max(joins, key=_cKDTree) if joins else None
    two = (_pick(rows, scenario="all_by_all", threads=2, method=best_join["method"],
                 block=best_join["block"]) if best_join else [])
    k8 = _pick(rows, scenario="k8", prec="f64", ef=16)
    free = any(r.get("interpreter") == "free-threaded" for r in two)
    graph_1e5 = _pick(rows, scenario="graph", n=100_000, threads=1)
    graph_1e6 = _pick(rows, scenario="graph", n=1_000_000)
    memory = [r for r in graph_1e6 if r.get("peak_bytes") is not None and r["threads"] == 1]
    return [
        _target("delaunay_graph 1e5, 1 thread (worst kind)", ">= 30x SciPy", graph_1e5,
                lambda r: r["ratio"]["SciPy"], 30, min),
        _at_most("delaunay_graph 1e6 peak memory (GiB)", "<= 2 GiB", memory,
                 lambda r: r["peak_bytes"] / 2**30, 2.0),
        _target("delaunay_graph 1e6, 2 threads / 1 thread", ">= 1.7x",
                [r for r in graph_1e6 if r["threads"] == 2], lambda r: r["speedup"], 1.7, min),
        _target("end to end 40 x 5000, 1 thread", ">= 3x pykdtree",
                _pick(rows, scenario="end_to_end"), lambda r: r["ratio"].get("pykdtree", 0.0), 3),
        _target("query_prepared f64 k=1, clustered 1e5 Morton", ">= 15x cKDTree",
                _pick(rows, kind="clustered", **qp), _cKDTree, 15),
        _target("query_prepared f64 k=1, uniform 1e5 Morton", ">= 2.5x cKDTree",
                _pick(rows, kind="uniform", **qp), _cKDTree, 2.5),
        _target("k=1, every row (worst shown)", ">= 1x cKDTree", k1, _cKDTree, 1, min),
        _target("query_grouped f64, best block", ">= 40x cKDTree",
                _pick(rows, scenario="grouped", prec="f64"), _cKDTree, 40),
        _target("all-by-all join, best path, 1 thread", ">= 10x cKDTree", joins, _cKDTree, 10),
        _target("query_prepared_k k=8 ef=16 f64 (worst shown)", ">= 2x cKDTree",
                k8, _cKDTree, 2, min),
        _target("query_prepared_k k=8 ef=16 recall (worst shown)", ">= 0.999",
                k8, lambda r: r["recall"], 0.999, min),
        _target("all-by-all, 2 threads / 1 thread" + ", free-threaded" * free, ">= 1.8x", two,
                lambda r: r["speedup"], 1.8),
        _target("f32 time vs f64 time (worst shown)", ">= 1x", _f32_vs_f64(rows),
                lambda r: r["f32_gain"], 1, min),
    ]


def print_summary(targets, out=print):
    out("\n== Speed targets (reporting only)")
    for t in targets:
        state = {True: "MET", False: "MISSED", None: "n/a"}[t["met"]]
        value = f"{t['value']:.4g}" if t["value"] is not None else "-"
        out(f"{state:<7}{t['target']:<50}{t['goal']:<17}{value:>9}  {t['where']}")


def timing_row(timed, ours, points, peers, **fields):
    """A row from interleaved timings: `ours` names our callable in `timed`,
    `peers` maps each peer column to its callable's name."""
    t = timed[ours].seconds
    ns = {"ours": t * 1e9 / points}
    ns.update({p: timed[name].seconds * 1e9 / points for p, name in peers.items()})
    ratio = {p: timed[name].seconds / t for p, name in peers.items()}
    return dict(fields, points=points, ns=ns, ratio=ratio)
