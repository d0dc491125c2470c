"""The main job: an all-by-all nearest-neighbour join over synthetic clouds.

M clustered clouds of N points each (independent draws along the same
random curves) are triangulated and prepared once; all of them form one
grouped query set, and every cloud, as a target, answers the whole set with
one `query_grouped` call from a thread pool. The throughput is printed.
"""

import os

# An idle BLAS thread pool spins on a core and slows the join down on small
# machines. Must be set before NumPy loads.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse  # noqa: E402
import time  # noqa: E402
from concurrent.futures import ThreadPoolExecutor  # noqa: E402

import numpy as np  # noqa: E402

import _tevu  # noqa: E402
from clouds import CurveScene  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--clouds", type=int, default=30)
    parser.add_argument("--points", type=int, default=5000)
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--block", type=int, default=1)
    args = parser.parse_args()

    scene = CurveScene(seed=1)
    rng = np.random.default_rng(2)
    t0 = time.perf_counter()
    clouds = []
    for _ in range(args.clouds):
        points = scene.sample(args.points, rng)
        clouds.append(_tevu.PreparedF64(points, *_tevu.delaunay_graph(points)))
    t_graphs = time.perf_counter() - t0

    t0 = time.perf_counter()
    grouped = _tevu.GroupedQueriesF64.prepare(clouds, [None] * len(clouds))
    offsets = grouped.offsets
    t_prepare = time.perf_counter() - t0

    def join(target):
        dist, _ = clouds[target].query_grouped(grouped, None, args.block)
        # Every cloud is part of the set, the target included: leave out its
        # answers about itself.
        own = slice(offsets[target], offsets[target + 1])
        return float(dist.sum() - dist[own].sum())

    t0 = time.perf_counter()
    with ThreadPoolExecutor(args.workers) as pool:
        sums = list(pool.map(join, range(len(clouds))))
    t_join = time.perf_counter() - t0

    n_queries = args.clouds * (args.clouds - 1) * args.points
    print(f"{args.clouds} clouds x {args.points} points, "
          f"{args.clouds * (args.clouds - 1)} ordered pairs, {args.workers} worker(s)")
    print(f"graphs: {t_graphs:.2f} s, grouped set: {t_prepare * 1e3:.1f} ms")
    print(f"join:   {t_join:.2f} s, {n_queries / t_join / 1e6:.2f} M query points/s, "
          f"{t_join * 1e9 / n_queries:.0f} ns per query point")
    print(f"mean nearest distance: {sum(sums) / n_queries:.5f}")


if __name__ == "__main__":
    main()
