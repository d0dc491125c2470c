"""`Cloud`: a point cloud with its neighbourhood graph, checked once."""

from __future__ import annotations

import threading
from typing import Any

import numpy as np
import numpy.typing as npt

import _tevu

from ._graph_fit import check_graph_fits
from ._pickling import Prepared
from ._validate import as_float_dtype, as_graph, as_permutation, as_points, check_squares_fit

Graph = tuple[npt.NDArray[np.uint32], npt.NDArray[np.uint32]]


def _read_only(array: npt.NDArray[Any]) -> npt.NDArray[Any]:
    array.flags.writeable = False
    return array


def morton_order(points: npt.NDArray[np.float64]) -> npt.NDArray[np.int64]:
    """The permutation that puts points in Z-order: the extension's own sort,
    as a grouped set of one cloud applies it (only its points are read)."""
    n = len(points)
    cloud = _tevu.PreparedF64(points, np.zeros(n + 1, np.uint32), np.zeros(0, np.uint32))
    return _tevu.GroupedQueriesF64.prepare([cloud], [None]).perm.astype(np.int64)


def relabel(graph: Graph, order: npt.NDArray[np.int64]) -> Graph:
    """The graph of the points reordered by `order` (new -> old), each
    neighbour list sorted."""
    indptr, indices = graph
    rank = np.empty(len(order), np.int64)
    rank[order] = np.arange(len(order))
    starts = indptr.astype(np.int64)
    counts = (starts[1:] - starts[:-1])[order]
    new_indptr = np.zeros(len(order) + 1, np.int64)
    np.cumsum(counts, out=new_indptr[1:])
    rows = np.repeat(np.arange(len(order)), counts)
    sources = starts[:-1][order]
    positions = np.repeat(sources - new_indptr[:-1], counts) + np.arange(new_indptr[-1])
    new_indices = rank[indices[positions]]
    new_indices = new_indices[np.lexsort((new_indices, rows))]
    return new_indptr.astype(np.uint32), new_indices.astype(np.uint32)


class Cloud:
    """A point cloud and its neighbourhood graph, checked on construction.

    `points` is an (n, 3) array (further columns are ignored), copied as
    float64; every coordinate must be finite and below 2^510 in magnitude
    (2^62 for float32 searches), so that squared distances do not overflow;
    building the graph also refuses a nonzero coordinate over about 2^1021
    times smaller than the cloud's largest (see `delaunay_graph`).
    `graph` is its CSR graph
    `(indptr, indices)`, as `delaunay_graph` returns it; when omitted, that is
    how it is built (`workers` threads). Searches are exact on Delaunay
    graphs. A given graph is checked for form, and on a few sampled points
    against brute force: a point without neighbours, or a graph that is
    plainly not the Delaunay graph of these points (of other points, or of
    these in another order), raises ValueError. The sample costs as much as
    some 64 brute-force queries; it is evidence, not proof.

    With `morton=True` the points are stored in Z-order, which makes searches
    into the cloud faster; `perm` then maps stored position to original
    position, and all answers about the cloud come back in the original
    order and with original indices. A cloud whose points were reordered
    before can pass its own `perm` (stored -> original) likewise.

    Instances are immutable (their arrays are read-only) and pickle as their
    arrays. `prepared(dtype)` packs the cloud for searching once per process;
    for float32 searches of points that float32 does not hold exactly, that
    includes building the Delaunay graph of the rounded points.
    """

    __slots__ = ("points", "indptr", "indices", "perm", "_prepared", "_lock")

    points: npt.NDArray[np.float64]
    indptr: npt.NDArray[np.uint32]
    indices: npt.NDArray[np.uint32]
    perm: npt.NDArray[np.int64] | None
    _prepared: dict[type, Prepared]
    _lock: threading.Lock

    def __init__(self, points: npt.ArrayLike, graph: Any = None, *,
                 perm: npt.ArrayLike | None = None, morton: bool = False,
                 workers: int = 1) -> None:
        if isinstance(points, Cloud):
            raise TypeError("points is a Cloud already: use it as it is, or pass its "
                            "original_points()")
        xyz = as_points(points)
        n = len(xyz)
        checked_graph = None if graph is None else as_graph(graph, n)
        order = None if perm is None else as_permutation(perm, n)
        if morton:
            sort = morton_order(xyz)
            xyz = xyz[sort]
            order = sort if order is None else order[sort]
            if checked_graph is not None:
                checked_graph = relabel(checked_graph, sort)
        if checked_graph is None:
            checked_graph = _tevu.delaunay_graph(xyz, workers=workers)
        else:
            check_graph_fits(xyz, *checked_graph)
        indptr, indices = checked_graph
        self._set(xyz, indptr, indices, order)

    def _set(self, points: npt.NDArray[np.float64], indptr: npt.NDArray[np.uint32],
             indices: npt.NDArray[np.uint32], perm: npt.NDArray[np.int64] | None) -> None:
        fields: dict[str, Any] = {"points": _read_only(points), "indptr": _read_only(indptr),
                                  "indices": _read_only(indices),
                                  "perm": None if perm is None else _read_only(perm),
                                  "_prepared": {}, "_lock": threading.Lock()}
        for name, value in fields.items():
            object.__setattr__(self, name, value)

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError(f"Cloud is immutable: cannot set {name!r}")

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"Cloud is immutable: cannot delete {name!r}")

    def __reduce__(self) -> tuple[Any, ...]:
        arrays = (self.points, self.indptr, self.indices, self.perm)
        single = self._prepared.get(np.float32)
        if single is None or not _moved_by_rounding(self.points, single.data):
            return _rebuild_cloud, arrays
        # The graph of the rounded points took a build to make: it travels
        # with the cloud, so that processes searching in float32 need none.
        return _rebuild_cloud, (*arrays, single)

    def __len__(self) -> int:
        return len(self.points)

    def __repr__(self) -> str:
        order = "" if self.perm is None else ", reordered"
        return f"Cloud(n={len(self)}, edges={len(self.indices)}{order})"

    def original_points(self) -> npt.NDArray[np.float64]:
        """The points in their original order."""
        if self.perm is None:
            return self.points
        out = np.empty_like(self.points)
        out[self.perm] = self.points
        return out

    def prepared(self, dtype: Any = "float64") -> Prepared:
        """The cloud packed for searching (`PreparedF64`, or `PreparedF32` for
        "float32"), made on first use and kept by this instance."""
        kind = as_float_dtype(dtype)
        found = self._prepared.get(kind)
        if found is None:
            with self._lock:
                found = self._prepared.get(kind)
                if found is None:
                    found = self._prepare(kind)
                    self._prepared[kind] = found
        return found

    def _prepare(self, kind: type) -> Prepared:
        if kind is np.float32:
            check_squares_fit(self.points, np.float32)
            points = self.points.astype(np.float32)
            indptr, indices = self.indptr, self.indices
            if _moved_by_rounding(self.points, points):
                # Rounding moved points, or merged some: the graph of the
                # float64 points is not the Delaunay graph of these, and a
                # descent on it can stop far from the nearest point.
                indptr, indices = _tevu.delaunay_graph(points)
            return _tevu.PreparedF32(points, indptr, indices)
        return _tevu.PreparedF64(self.points, self.indptr, self.indices)


def _moved_by_rounding(points: npt.NDArray[np.float64],
                       rounded: npt.NDArray[Any]) -> bool:
    """Whether the float32 points differ from the float64 ones they were
    rounded from."""
    return not np.array_equal(rounded, points)


def _rebuild_cloud(points: npt.NDArray[np.float64], indptr: npt.NDArray[np.uint32],
                   indices: npt.NDArray[np.uint32], perm: npt.NDArray[np.int64] | None,
                   single: _tevu.PreparedF32 | None = None) -> Cloud:
    """Unpickles a cloud: its arrays were checked when it was made. `single`
    is its float32 form, when that has a graph of its own."""
    cloud = Cloud.__new__(Cloud)
    cloud._set(points, indptr, indices, perm)
    if single is not None:
        cloud._prepared[np.float32] = single
    return cloud
