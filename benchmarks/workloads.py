"""The suite's clouds: drawn once, triangulated once, cached in memory and on disk.

A cloud is identified by its kind ("uniform" or "clustered"), its size and
its role: "x" (the query cloud of a pair), "y" (the target) or an integer
(a member of a collection). Two clustered clouds are independent draws along
the same curves. Each cloud is drawn in random order; its Morton-order
version stores the same points sorted along the Z-order curve, with the
graph rebuilt from the relabelled tetrahedra so it fits the stored order.
"""

import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np
from scipy.spatial import Delaunay

import _tevu
from clouds import CurveScene, morton_order, uniform

# Bump when the way clouds are drawn changes, so stale cache files are not read.
CACHE_VERSION = 1
KINDS = ("uniform", "clustered")
ORDERS = ("random", "morton")
FLOATS = {"f64": np.float64, "f32": np.float32}
PREPARED = {"f64": _tevu.PreparedF64, "f32": _tevu.PreparedF32}


@dataclass
class Cloud:
    points: np.ndarray     # (n, 3) float64 in drawn (random) order
    simplices: np.ndarray  # (t, 4) int32: SciPy's Delaunay tetrahedra
    delaunay_s: float      # SciPy's triangulation time, measured when the cloud was made
    from_cache: bool = False


@dataclass
class Stored:
    """A cloud as the benchmarks hand it over: points in one order with their graph."""
    points: np.ndarray   # (n, 3) float64, C-contiguous
    indptr: np.ndarray
    indices: np.ndarray
    perm: np.ndarray | None  # stored -> drawn position (int64); None in drawn order

    @property
    def graph(self):
        return self.indptr, self.indices


def size_label(n):
    """1e4 for 10000, 5000 for 5000: short and exact."""
    exp = int(np.log10(n)) if n > 0 else 0
    return f"1e{exp}" if n == 10 ** exp and exp >= 4 else str(n)


def _role_code(role):
    return {"x": 0, "y": 1}.get(role, 2 + role if isinstance(role, int) else -1)


class CloudStore:
    """Clouds, their stored orders and prepared instances, each made once.

    Memoized objects are dropped with `release` once a workload is done, so
    the 10^6-point clouds do not stay in memory for the rest of the run.
    """

    def __init__(self, cache_dir=None, seed=0, log=print):
        self.cache_dir = Path(cache_dir) if cache_dir else None
        self.seed = seed
        self.scene = CurveScene(seed=seed)
        self.log = log
        self.memo = {}

    def once(self, key, make):
        """make(), memoized under key = (tag, kind, n, ...)."""
        if key not in self.memo:
            self.memo[key] = make()
        return self.memo[key]

    def release(self, n):
        """Forget everything made for clouds of n points."""
        self.memo = {k: v for k, v in self.memo.items() if k[2] != n}

    def cloud(self, kind, n, role) -> Cloud:
        return self.once(("cloud", kind, n, role), lambda: self._load_or_make(kind, n, role))

    def stored(self, kind, n, role, order) -> Stored:
        return self.once(("stored", kind, n, role, order),
                          lambda: self._stored(self.cloud(kind, n, role), order))

    def points(self, kind, n, role, order, prec):
        """The stored points in the given precision (f32: rounded once)."""
        return self.once(("points", kind, n, role, order, prec),
                          lambda: self.stored(kind, n, role, order).points.astype(FLOATS[prec]))

    def graph(self, kind, n, role, order, prec):
        """The graph of the stored points in the given precision: float32
        rounding can merge points, so f32 gets the graph of its own points."""
        if prec == "f64":
            return self.stored(kind, n, role, order).graph
        return self.once(("graph", kind, n, role, order, prec),
                          lambda: _tevu.delaunay_graph(self.points(kind, n, role, order, prec)))

    def prepared(self, kind, n, role, order, prec):
        return self.once(("prepared", kind, n, role, order, prec),
                          lambda: PREPARED[prec](self.points(kind, n, role, order, prec),
                                                 *self.graph(kind, n, role, order, prec)))

    def draw(self, kind, n, role):
        rng = np.random.default_rng([self.seed, KINDS.index(kind), n, _role_code(role)])
        return uniform(n, rng) if kind == "uniform" else self.scene.sample(n, rng)

    def _cache_file(self, kind, n, role):
        name = f"v{CACHE_VERSION}-seed{self.seed}-{kind}-{n}-{role}.npz"
        return self.cache_dir / name if self.cache_dir else None

    def _load_or_make(self, kind, n, role):
        path = self._cache_file(kind, n, role)
        if path is not None and path.exists():
            with np.load(path) as f:
                return Cloud(f["points"], f["simplices"], float(f["delaunay_s"]), True)
        points = self.draw(kind, n, role)
        if n >= 100_000:
            self.log(f"  (triangulating {kind} {size_label(n)} {role}...)")
        t0 = time.perf_counter()
        simplices = Delaunay(points).simplices.astype(np.int32)
        cloud = Cloud(points, simplices, time.perf_counter() - t0)
        if path is not None:
            path.parent.mkdir(parents=True, exist_ok=True)
            partial = path.with_suffix(".partial.npz")
            np.savez(partial, points=cloud.points, simplices=cloud.simplices,
                     delaunay_s=cloud.delaunay_s)
            partial.replace(path)
        return cloud

    @staticmethod
    def _stored(cloud, order):
        n = len(cloud.points)
        if order == "random":
            perm, points, simplices = None, cloud.points, cloud.simplices
        else:
            perm = morton_order(cloud.points)
            new_id = np.empty(n, np.int64)
            new_id[perm] = np.arange(n)
            points, simplices = cloud.points[perm], new_id[cloud.simplices]
        graph = _tevu.graph_from_simplices(simplices.astype(np.uint64), n)
        return Stored(np.ascontiguousarray(points), *graph, perm)
