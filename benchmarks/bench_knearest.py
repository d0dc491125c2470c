"""k = 8 between two clouds: all_nearest_neighbours_k against cKDTree.

The tree is built once and queried with k=8 on one worker; the module's time
includes packing both clouds. Prints ns per query point for each breadth
`ef`, the recall (the share of the exact 8 nearest found) and the ratio
(cKDTree time / module time).
"""

import argparse

import numpy as np
from scipy.spatial import cKDTree

import _tevu
from bench_nearest import workloads
from clouds import delaunay_graph
from timing import interleaved

K = 8


def recall(found, exact):
    """Mean share of each row's exact neighbours that were found."""
    hits = sum(len(set(a) & set(b)) for a, b in zip(found.tolist(), exact.tolist()))
    return hits / exact.size


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--sizes", type=int, nargs="+", default=[10_000, 100_000])
    parser.add_argument("--efs", type=int, nargs="+", default=[16, 32])
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    print(f"{'cloud':<10}{'n':>9}{'prec':>6}{'ef':>5}{'tevu ns/pt':>12}{'cKDTree ns/pt':>15}"
          f"{'ratio':>8}{'recall':>9}")
    for kind, n, x, y in workloads(args.sizes):
        xg, yg = delaunay_graph(x), delaunay_graph(y)
        tree = cKDTree(y)
        _, exact = tree.query(x, k=K)
        for prec, fn, dtype in (("f64", _tevu.all_nearest_neighbours_k, np.float64),
                                ("f32", _tevu.all_nearest_neighbours_k_f32, np.float32)):
            xs, ys = x.astype(dtype), y.astype(dtype)
            for ef in args.efs:
                _, found = fn(xs, *xg, ys, *yg, K, ef)
                t = interleaved({
                    "tevu": lambda: fn(xs, *xg, ys, *yg, K, ef),
                    "kd": lambda: tree.query(x, k=K, workers=1),
                }, rounds=args.rounds)
                ours, theirs = t["tevu"] * 1e9 / n, t["kd"] * 1e9 / n
                print(f"{kind:<10}{n:>9}{prec:>6}{ef:>5}{ours:>12.1f}{theirs:>15.1f}"
                      f"{theirs / ours:>8.2f}{recall(found, exact):>9.4f}", flush=True)


if __name__ == "__main__":
    main()
