"""The main job: an all-by-all nearest-neighbour join over synthetic clouds.

M clustered clouds of N points each (independent draws along the same
random curves) are triangulated; then every cloud is queried against every
other cloud from a thread pool, and the throughput is printed.
"""

import argparse
import os
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import _tevu
from clouds import CurveScene, delaunay_graph


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--clouds", type=int, default=30)
    parser.add_argument("--points", type=int, default=5000)
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    args = parser.parse_args()

    scene = CurveScene(seed=1)
    rng = np.random.default_rng(2)
    t0 = time.perf_counter()
    clouds = []
    for _ in range(args.clouds):
        points = scene.sample(args.points, rng)
        clouds.append((points, *delaunay_graph(points)))
    t_graphs = time.perf_counter() - t0

    pairs = [(i, j) for i in range(args.clouds) for j in range(args.clouds) if i != j]

    def join(pair):
        i, j = pair
        dist, _ = _tevu.all_nearest_neighbours(*clouds[i], *clouds[j])
        return float(dist.mean())

    t0 = time.perf_counter()
    with ThreadPoolExecutor(args.workers) as pool:
        means = list(pool.map(join, pairs))
    t_join = time.perf_counter() - t0

    n_queries = len(pairs) * args.points
    print(f"{args.clouds} clouds x {args.points} points, {len(pairs)} ordered pairs, "
          f"{args.workers} worker(s)")
    print(f"graphs: {t_graphs:.2f} s")
    print(f"join:   {t_join:.2f} s, {n_queries / t_join / 1e6:.2f} M query points/s, "
          f"{t_join * 1e9 / n_queries:.0f} ns per query point")
    print(f"mean nearest distance: {np.mean(means):.5f}")


if __name__ == "__main__":
    main()
