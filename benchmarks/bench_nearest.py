"""k = 1 between two clouds: all_nearest_neighbours against cKDTree.

The tree is built once and queried with k=1 on one worker; the module's time
includes packing both clouds. Prints ns per query point and the ratio.
"""

import argparse

import numpy as np
from scipy.spatial import cKDTree

import _tevu
from clouds import CurveScene, delaunay_graph, uniform
from timing import interleaved


def workloads(sizes, seed=0):
    scene = CurveScene(seed=seed)
    for kind in ("uniform", "clustered"):
        for n in sizes:
            rng = np.random.default_rng([seed, n, kind == "uniform"])
            draw = (lambda m: uniform(m, rng)) if kind == "uniform" else (
                lambda m: scene.sample(m, rng))
            yield kind, n, draw(n), draw(n)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--sizes", type=int, nargs="+", default=[10_000, 100_000])
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    print(f"{'cloud':<10}{'n':>9}{'prec':>6}{'tevu ns/pt':>12}{'cKDTree ns/pt':>15}"
          f"{'ratio':>8}  agree")
    for kind, n, x, y in workloads(args.sizes):
        xg, yg = delaunay_graph(x), delaunay_graph(y)
        tree = cKDTree(y)
        want_d, _ = tree.query(x, k=1)
        for prec, fn, dtype in (("f64", _tevu.all_nearest_neighbours, np.float64),
                                ("f32", _tevu.all_nearest_neighbours_f32, np.float32)):
            xs, ys = x.astype(dtype), y.astype(dtype)
            got_d, _ = fn(xs, *xg, ys, *yg)
            if dtype == np.float64:
                agree = np.array_equal(got_d, want_d)
            else:
                agree = np.allclose(got_d, want_d, rtol=1e-5, atol=1e-6)
            t = interleaved({
                "tevu": lambda: fn(xs, *xg, ys, *yg),
                "kd": lambda: tree.query(x, k=1, workers=1),
            }, rounds=args.rounds)
            ours, theirs = t["tevu"] * 1e9 / n, t["kd"] * 1e9 / n
            print(f"{kind:<10}{n:>9}{prec:>6}{ours:>12.1f}{theirs:>15.1f}"
                  f"{theirs / ours:>8.2f}  {agree}")


if __name__ == "__main__":
    main()
