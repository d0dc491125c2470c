"""All-by-all k = 1 join over many clustered clouds, three ways.

M clouds of N points each (independent draws along the same curves), each
with its Delaunay graph; every cloud is answered against every other cloud:

(a) per pair: `query_prepared` of every ordered pair, from a thread pool,
    with and without a distance bound;
(b) grouped: one `GroupedQueriesF64.prepare` of all M clouds, then one
    `query_grouped` per target from the pool, for block sizes 8 to 64 (each
    call also answers the target's own cloud: M·M·N query points instead of
    M·(M-1)·N);
(c) cKDTree: one tree per cloud, built once, every ordered pair queried from
    the pool with workers=1 inside each task.

Prints total join times, ns per query point, the ratios of the totals and
the speed-up from 1 to 2 pool workers.
"""

import os

# An idle BLAS thread pool spins on a core; on a small machine it distorts
# every timing. Must be set before NumPy loads.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse  # noqa: E402
import time  # noqa: E402
from concurrent.futures import ThreadPoolExecutor  # noqa: E402

import numpy as np  # noqa: E402
from scipy.spatial import cKDTree  # noqa: E402

import _tevu  # noqa: E402
from clouds import CurveScene, delaunay_graph  # noqa: E402
from timing import wall_time  # noqa: E402

BLOCKS = (8, 16, 32, 64)


def run_pool(task, jobs, workers):
    with ThreadPoolExecutor(workers) as pool:
        return wall_time(lambda: list(pool.map(task, jobs)))


class Join:
    def __init__(self, n_clouds, n_points, seed):
        scene = CurveScene(seed=seed)
        rng = np.random.default_rng(seed + 1)
        t0 = time.perf_counter()
        self.points = [scene.sample(n_points, rng) for _ in range(n_clouds)]
        self.prepared = [_tevu.PreparedF64(p, *delaunay_graph(p)) for p in self.points]
        self.t_graphs = time.perf_counter() - t0
        t0 = time.perf_counter()
        self.trees = [cKDTree(p) for p in self.points]
        self.t_trees = time.perf_counter() - t0
        t0 = time.perf_counter()
        self.grouped = _tevu.GroupedQueriesF64.prepare(self.prepared, [None] * n_clouds)
        self.t_prepare = time.perf_counter() - t0
        self.pairs = [(q, t) for t in range(n_clouds) for q in range(n_clouds) if q != t]
        self.pair_points = len(self.pairs) * n_points
        self.grouped_points = n_clouds * self.grouped.n_points

    def per_pair(self, workers, bound):
        def task(pair):
            q, t = pair
            self.prepared[t].query_prepared(self.prepared[q], bound)
        return run_pool(task, self.pairs, workers)

    def kd_tree(self, workers, bound):
        limit = np.inf if bound is None else bound

        def task(pair):
            q, t = pair
            self.trees[t].query(self.points[q], k=1, distance_upper_bound=limit, workers=1)
        return run_pool(task, self.pairs, workers)

    def grouped_join(self, workers, bound, block):
        def task(t):
            self.prepared[t].query_grouped(self.grouped, None, block, bound)
        return run_pool(task, range(len(self.prepared)), workers)

    def grouped_agrees(self, bound, block, targets=3):
        """Bit-equal to per-pair query_prepared on a few targets."""
        offsets = self.grouped.offsets
        for t in range(targets):
            d, i = self.prepared[t].query_grouped(self.grouped, None, block, bound)
            for q, cloud in enumerate(self.prepared):
                want_d, want_i = self.prepared[t].query_prepared(cloud, bound)
                part = slice(offsets[q], offsets[q + 1])
                if not (np.array_equal(d[part], want_d) and np.array_equal(i[part], want_i)):
                    return False
        return True


def measure(join, bound, rounds):
    """Seconds per configuration, the minimum over interleaved rounds (the
    machine may be shared). Block sizes are compared on one worker; the best
    one is also run on two."""
    best_of = {}

    def record(key, fn):
        best_of[key] = min(best_of.get(key, np.inf), fn())

    for _ in range(rounds):
        for workers in (1, 2):
            record(("query_prepared", workers), lambda: join.per_pair(workers, bound))
            record(("cKDTree", workers), lambda: join.kd_tree(workers, bound))
        for block in BLOCKS:
            record((f"grouped, block {block}", 1), lambda: join.grouped_join(1, bound, block))
    best = min(BLOCKS, key=lambda b: best_of[(f"grouped, block {b}", 1)])
    for _ in range(rounds):
        record((f"grouped, block {best}", 2), lambda: join.grouped_join(2, bound, best))
    return best_of, best


def report(join, bound, times, best):
    label = f"bound {bound}" if bound is not None else "no bound"
    print(f"\n{label}\n{'path':<22}{'workers':>8}{'total s':>10}{'ns/query pt':>13}")
    for (path, workers), t in times.items():
        n = join.grouped_points if path.startswith("grouped") else join.pair_points
        print(f"{path:<22}{workers:>8}{t:>10.2f}{t * 1e9 / n:>13.1f}")
    grouped = f"grouped, block {best}"
    for name in ("query_prepared", "cKDTree"):
        print(f"{name} total / grouped (block {best}) total: "
              f"{times[(name, 1)] / times[(grouped, 1)]:.2f}x on 1 worker, "
              f"{times[(name, 2)] / times[(grouped, 2)]:.2f}x on 2 workers")
    speedups = ", ".join(f"{name} {times[(name, 1)] / times[(name, 2)]:.2f}x"
                         for name in ("query_prepared", grouped, "cKDTree"))
    print(f"speed-up from 1 to 2 workers: {speedups}")
    print(f"grouped results equal query_prepared's: {join.grouped_agrees(bound, best)}")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--clouds", type=int, default=50)
    parser.add_argument("--points", type=int, default=5000)
    parser.add_argument("--bound", type=float, default=0.01,
                        help="distance_upper_bound of the bounded runs")
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    join = Join(args.clouds, args.points, args.seed)
    print(f"{args.clouds} clustered clouds x {args.points} points, {len(join.pairs)} ordered "
          f"pairs; per pair {join.pair_points} query points, grouped {join.grouped_points}")
    print(f"Delaunay graphs + PreparedF64: {join.t_graphs:.2f} s, cKDTrees: "
          f"{join.t_trees:.2f} s, grouped prepare: {join.t_prepare * 1e3:.1f} ms")
    for bound in (None, args.bound):
        times, best = measure(join, bound, args.rounds)
        report(join, bound, times, best)


if __name__ == "__main__":
    main()
