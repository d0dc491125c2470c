"""Scenarios of building graphs from raw points.

graph:      delaunay_graph on 1 and 2 threads against scipy.spatial.Delaunay
            followed by graph_from_simplices (what a caller did before), in
            the same process; the graphs must be equal (the clouds are in
            general position). Up to 2 * 10^5 points SciPy takes turns with
            us in every round; beyond, where one SciPy call takes a minute,
            it is called once. With the build's peak memory.
graph_grids: delaunay_graph on 1 and 2 threads on clouds where every sphere
            test ties (a shuffled integer grid, and grid points drawn with
            copies), against one call of SciPy's; the graphs' answers must
            equal cKDTree's (SciPy's graphs differ wherever a tie is broken
            another way, and leave copies out), and the graphs on 1 and 2
            threads each other.
end_to_end: the main job from raw arrays on one thread: every cloud's graph,
            the prepared clouds, one grouped set and every target's
            query_grouped, against building a tree per cloud and querying
            it with all other clouds' points, one call per target, either
            as the clouds come (what the demo does) or sorted along the
            Z-order, which suits the trees best (the sort is not timed);
            a peer's ratio uses its faster way.
"""

from functools import partial

import numpy as np

import _tevu
import peers
from checks import Check, distances_agree
from clouds import delaunay_graph as scipy_graph
from clouds import morton_order
from scenarios_pairs import peak_growth
from timing import interleaved, wall_time
from workloads import size_label

MIB = 1 << 20
SCIPY_EVERY_ROUND_UP_TO = 200_000


def graph(bench, kind, n):
    points = bench.store.draw(kind, n, "y")
    fns = {"1 thread": partial(_tevu.delaunay_graph, points),
           "2 threads": partial(_tevu.delaunay_graph, points, workers=2)}
    interleave_scipy = n <= SCIPY_EVERY_ROUND_UP_TO
    if interleave_scipy:
        fns["SciPy"] = partial(scipy_graph, points)
    timed = interleaved(fns, bench.rounds_for(n), bench.min_time, warmup=bench.warmup_for(n))
    if interleave_scipy:
        scipy_s, want = timed["SciPy"].seconds, timed["SciPy"].result
    else:
        result = {}
        scipy_s = wall_time(lambda: result.setdefault("graph", scipy_graph(points)))
        want = result["graph"]
    got = timed["1 thread"].result
    equal = all(np.array_equal(a, b) for a, b in zip(got, want))
    del got, want
    peak = peak_growth(partial(_tevu.delaunay_graph, points))
    memory = f"peak {peak / MIB:.0f} MiB" if peak is not None else "peak n/a"
    check = Check(equal, ("edges equal SciPy's" if equal else "EDGES DIFFER from SciPy's") +
                  f"; {memory}")
    add_graph_rows(bench, timed, scipy_s, check, scenario="graph",
                   workload=f"{kind} {size_label(n)}", kind=kind, n=n, peak_bytes=peak)


def add_graph_rows(bench, timed, scipy_s, check, **fields):
    """One row per thread count of an interleaved 1- and 2-thread build."""
    n = fields["n"]
    one = timed["1 thread"].seconds
    for threads in (1, 2):
        secs = timed[f"{threads} thread" + "s" * (threads > 1)].seconds
        bench.table.add(dict(
            fields, threads=threads, variant=f"{threads} thr", method="delaunay_graph",
            points=n, seconds=secs, speedup=one / secs,
            ns={"ours": secs * 1e9 / n, "SciPy": scipy_s * 1e9 / n},
            ratio={"SciPy": scipy_s / secs},
            check=check.text + (f"; 2 thr {one / secs:.2f}x" if threads > 1 else ""),
            ok=check.ok, value=check.value))


def grid_clouds(n, rng):
    """About n points on an integer grid: every point of one, shuffled, and
    a draw of the sites of a larger one with repeats (about a third copies)."""
    side = round(n ** (1 / 3))
    axis = np.arange(side, dtype=float)
    grid = np.stack(np.meshgrid(axis, axis, axis, indexing="ij"), axis=-1).reshape(-1, 3)
    yield f"grid {side}^3", grid[rng.permutation(len(grid))]
    sites = round((1.25 * n) ** (1 / 3))
    yield f"{n} of {sites}^3 sites", rng.integers(0, sites, (n, 3)).astype(float)


def graph_grids(bench):
    n = bench.config.grid_points
    for name, points in grid_clouds(n, np.random.default_rng([bench.store.seed, 3])):
        fns = {"1 thread": partial(_tevu.delaunay_graph, points),
               "2 threads": partial(_tevu.delaunay_graph, points, workers=2)}
        timed = interleaved(fns, bench.rounds_for(n), bench.min_time,
                            warmup=bench.warmup_for(n))
        scipy_s = wall_time(partial(scipy_graph, points))
        check = grid_answers_check(points, timed["1 thread"].result)
        if not all(np.array_equal(a, b) for a, b in zip(timed["1 thread"].result,
                                                          timed["2 threads"].result)):
            check = Check(False, "GRAPHS DIFFER on 1 and 2 threads")
        add_graph_rows(bench, timed, scipy_s, check, scenario="graph_grids", workload=name,
                       n=len(points))


def grid_answers_check(points, graph):
    """Nearest-neighbour distances over the graph against cKDTree's, for
    queries drawn over the grid's box and at the centres of its cubes (each
    with 8 nearest points)."""
    rng = np.random.default_rng(1)
    top = points.max(axis=0)
    m = min(len(points), 20_000)
    queries = np.r_[rng.random((m, 3)) * top, np.floor(rng.random((m, 3)) * top) + 0.5]
    got = _tevu.all_nearest_neighbours(queries, *_tevu.delaunay_graph(queries), points, *graph)[0]
    want = peers.query("cKDTree", peers.build("cKDTree", points), queries)[0]
    return distances_agree(got, want, "f64")


class EndToEnd:
    """The clouds as raw arrays, and each way to answer the whole job."""

    def __init__(self, bench, m, n):
        self.m, self.n = m, n
        self.clouds = [bench.store.draw("clustered", n, c) for c in range(m)]
        drawn = np.concatenate(self.clouds)
        self.queries = {"drawn": drawn, "Z-order": drawn[morton_order(drawn)]}

    def ours(self):
        prepared = [_tevu.PreparedF64(p, *_tevu.delaunay_graph(p)) for p in self.clouds]
        grouped = _tevu.GroupedQueriesF64.prepare(prepared, [None] * self.m)
        return [t.query_grouped(grouped, None, 1)[0] for t in prepared]

    def peer(self, name, order):
        trees = [peers.build(name, p) for p in self.clouds]
        points = peers.peer_points(self.queries[order], name)
        return [peers.query(name, tree, points)[0] for tree in trees]


def end_to_end(bench):
    cfg = bench.config
    job = EndToEnd(bench, cfg.e2e_clouds, cfg.e2e_points)
    fns = {"ours": job.ours}
    for p in peers.PEERS:
        fns.update({(p, order): partial(job.peer, p, order) for order in job.queries})
    timed = interleaved(fns, cfg.join_rounds, warmup=False)
    # Our answers against cKDTree's for two targets, each cloud's own
    # answers included (every query point of the job is in both).
    answers = job.ours()
    check = None
    for t in range(2):
        tree = peers.build("cKDTree", job.clouds[t])
        want = np.concatenate([peers.query("cKDTree", tree, c)[0] for c in job.clouds])
        agree = distances_agree(answers[t], want, "f64")
        check = agree if check is None else check.also(f"target {t}", agree)
    secs = timed["ours"].seconds
    points = job.m * job.m * job.n
    best = {p: min(timed[(p, order)].seconds for order in job.queries) for p in peers.PEERS}
    bench.table.add(dict(
        scenario="end_to_end", workload=f"{job.m} clustered x {job.n}", m=job.m, n=job.n,
        threads=1, variant="graphs+prepare+join, 1 thr", method="delaunay_graph+query_grouped",
        points=points, seconds=secs,
        ns={"ours": secs * 1e9 / points, **{p: best[p] * 1e9 / points for p in peers.PEERS}},
        ratio={p: best[p] / secs for p in peers.PEERS}, peer_seconds={
            f"{p} {order}": timed[(p, order)].seconds for p in peers.PEERS for order in job.queries},
        check=check.text + f"; ours {secs:.2f} s, " + ", ".join(
            f"{p} {order} {timed[(p, order)].seconds:.2f} s"
            for p in peers.PEERS for order in job.queries),
        ok=check.ok, value=check.value))
