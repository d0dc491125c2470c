"""Synthetic point clouds and their Delaunay graphs for the benchmarks."""

import numpy as np
from scipy.spatial import Delaunay

import _tevu


class CurveScene:
    """A fixed family of smooth random 3-D curves in the unit cube.

    Every `sample` is an independent draw of points along the curves with a
    little Gaussian noise, so two samples are clustered the same way but
    share no points.
    """

    def __init__(self, n_curves=300, seed=0, noise=0.001, n_modes=3):
        rng = np.random.default_rng(seed)
        self.base = rng.uniform(0.15, 0.85, (n_curves, 3))
        self.amp = rng.normal(scale=0.08, size=(n_curves, n_modes, 3))
        self.freq = rng.uniform(0.3, 1.5, (n_curves, n_modes, 1))
        self.phase = rng.uniform(0, 2 * np.pi, (n_curves, n_modes, 3))
        self.noise = noise

    def sample(self, n, rng):
        curve = rng.integers(0, len(self.base), n)
        t = rng.random(n)[:, None, None]
        wave = self.amp[curve] * np.sin(2 * np.pi * self.freq[curve] * t + self.phase[curve])
        points = self.base[curve] + wave.sum(axis=1)
        return points + rng.normal(scale=self.noise, size=points.shape)


def uniform(n, rng):
    return rng.random((n, 3))


def delaunay_graph(points):
    """(indptr, indices) as uint32: the edges of SciPy's triangulation."""
    simplices = Delaunay(points).simplices.astype(np.uint64)
    return _tevu.graph_from_simplices(simplices, len(points))


def morton_order(points):
    """Permutation that puts points in Z-order (21 bits per axis)."""
    lo, hi = points.min(axis=0), points.max(axis=0)
    ext = np.where(hi > lo, hi - lo, 1.0)
    cells = ((points - lo) / ext * 2097151.0).astype(np.uint64)
    key = np.zeros(len(points), np.uint64)
    for bit in range(21):
        for axis in range(3):
            key |= ((cells[:, axis] >> np.uint64(bit)) & np.uint64(1)) << np.uint64(3 * bit + axis)
    return np.argsort(key, kind="stable")
