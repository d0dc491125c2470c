"""`tevu demo`: an all-by-all join over a synthetic collection of clustered
clouds, checked against cKDTree and timed against the k-d trees."""

from __future__ import annotations

import importlib
import os
import time
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from ._cloud import Cloud
from ._join import all_by_all, as_clouds

Points = npt.NDArray[np.float64]


def clustered_clouds(m: int, n: int, seed: int = 0) -> list[Points]:
    """m clouds of n points along the same 300 smooth random curves in the
    unit cube, with a little noise: every cloud is an independent draw, as
    repeated scans of one scene are."""
    rng = np.random.default_rng(seed)
    curves, modes = 300, 3
    base = rng.uniform(0.15, 0.85, (curves, 3))
    amplitude = rng.normal(scale=0.08, size=(curves, modes, 3))
    frequency = rng.uniform(0.3, 1.5, (curves, modes, 1))
    phase = rng.uniform(0, 2 * np.pi, (curves, modes, 3))
    out = []
    for _ in range(m):
        curve = rng.integers(0, curves, n)
        t = rng.random(n)[:, None, None]
        wave = amplitude[curve] * np.sin(2 * np.pi * frequency[curve] * t + phase[curve])
        points = base[curve] + wave.sum(axis=1)
        out.append(points + rng.normal(scale=0.001, size=points.shape))
    return out


def _timed(work: Callable[[], Any]) -> tuple[Any, float]:
    start = time.perf_counter()
    result = work()
    return result, time.perf_counter() - start


def check_pairs(arrays: Sequence[Points], scores: npt.NDArray[np.float64], count: int,
                seed: int) -> str:
    """Compares `count` random ordered pairs' mean distances with cKDTree's."""
    try:
        cKDTree = importlib.import_module("scipy.spatial").cKDTree
    except ImportError:
        return "skipped (needs scipy)"
    if len(arrays) < 2:
        return "skipped (one cloud)"
    rng = np.random.default_rng(seed)
    m = len(arrays)
    # Distinct ordered pairs, drawn by number without listing all m (m - 1).
    every = m * (m - 1)
    drawn = rng.choice(every, size=min(count, every), replace=False)
    pairs = [(int(k) // (m - 1), int(k) % (m - 1)) for k in drawn]
    pairs = [(q, t + (t >= q)) for q, t in pairs]
    wrong = [(q, t) for q, t in pairs
             if not np.isclose(cKDTree(arrays[t]).query(arrays[q])[0].mean(), scores[q, t],
                               rtol=1e-12, atol=0)]
    if wrong:
        raise SystemExit(f"tevu demo: {len(wrong)} of {len(pairs)} pairs differ from cKDTree, "
                         f"first {wrong[0]}")
    return f"{len(pairs)} random pairs of {every} equal"


# The k-d trees compared with, and how each is queried on one thread.
_PEERS = {"cKDTree": ("scipy.spatial", "cKDTree", {"workers": 1}),
          "pykdtree": ("pykdtree.kdtree", "KDTree", {})}


def _installed_peers() -> dict[str, tuple[Any, dict[str, Any]]]:
    # pykdtree's OpenMP pool reads its size when the library loads.
    os.environ.setdefault("OMP_NUM_THREADS", "1")
    found = {}
    for name, (module, attribute, options) in _PEERS.items():
        try:
            found[name] = (getattr(importlib.import_module(module), attribute), options)
        except ImportError:
            pass
    return found


def _peer_job(make_tree: Any, options: dict[str, Any],
              arrays: Sequence[Points]) -> tuple[float, float]:
    """Tree builds, then per target one query of every other cloud's points."""
    trees, build = _timed(lambda: [make_tree(a) for a in arrays])

    def queries() -> None:
        for t, tree in enumerate(trees):
            tree.query(np.concatenate([a for q, a in enumerate(arrays) if q != t]), **options)

    return build, _timed(queries)[1]


def run_demo(m: int, n: int, workers: int, check: int, peers: bool, progress: bool | None,
             seed: int = 0) -> None:
    arrays = clustered_clouds(m, n, seed)
    queries = m * (m - 1) * n
    print(f"tevu demo: {m} clustered clouds x {n:,} points, {m * (m - 1):,} ordered pairs, "
          f"{queries / 1e6:.1f} M query points, {workers} thread(s)")
    clouds, t_graphs = _timed(lambda: as_clouds(arrays, workers, progress))
    print(f"  graphs  {t_graphs:8.2f} s   delaunay_graph of every cloud")
    scores, t_join = _timed(lambda: all_by_all(clouds, workers=workers, progress=progress))
    print(f"  join    {t_join:8.2f} s   all_by_all, {queries / t_join / 1e6:.1f} M query "
          f"points/s, {t_join * 1e9 / queries:.0f} ns each")
    print(f"  check   {check_pairs(arrays, scores, check, seed)} (against cKDTree)")
    if not peers:
        return
    print("  the same job on one thread, graphs or trees + queries:")
    _, graphs_1 = _timed(lambda: [Cloud(a) for a in arrays])
    _, join_1 = _timed(lambda: all_by_all(clouds, workers=1, progress=False))
    rows = [("tevu", graphs_1, join_1)]
    rows += [(name, *_peer_job(make, options, arrays))
             for name, (make, options) in _installed_peers().items()]
    for name, build, query in rows:
        ratio = (build + query) / (graphs_1 + join_1)
        print(f"    {name:9} {build:7.2f} s + {query:7.2f} s = {build + query:7.2f} s"
              f"   {ratio:5.2f} x tevu")
