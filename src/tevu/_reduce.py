"""Reductions of one target's answers to one score per query cloud.

A reducer gets the answers of every query point against one target, in the
grouped layout (query cloud q's points at offsets[q] .. offsets[q + 1] - 1,
in its original order), and returns that target's column of the score
matrix: one value (or one histogram) per query cloud, NaN for the target
itself. Misses under a distance bound (distance inf) are left out of every
built-in reduction; a pair with no hit scores NaN and an empty histogram.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any, Literal, TypeAlias

import numpy as np
import numpy.typing as npt

Floats: TypeAlias = npt.NDArray[np.floating[Any]]
Ids: TypeAlias = npt.NDArray[np.int64]
PairFunction: TypeAlias = Callable[[int, int, Floats, Ids], float]
Bins: TypeAlias = int | Sequence[float]
Reduction: TypeAlias = (Literal["mean", "median", "min", "max"]
                        | tuple[Literal["histogram"], Bins] | PairFunction)


def _segment_starts(offsets: Ids) -> tuple[npt.NDArray[np.bool_], Ids]:
    """Which clouds have points, and where their segments start."""
    nonempty = np.diff(offsets) > 0
    return nonempty, offsets[:-1][nonempty]


def _per_cloud(ufunc: np.ufunc, values: npt.NDArray[Any], offsets: Ids,
               empty: float) -> npt.NDArray[np.float64]:
    """ufunc.reduceat over each cloud's segment; `empty` for clouds without
    points (reduceat itself mishandles empty segments)."""
    nonempty, starts = _segment_starts(offsets)
    out = np.full(len(offsets) - 1, empty, np.float64)
    if len(starts):
        out[nonempty] = ufunc.reduceat(values, starts)
    return out


def _mean(d: npt.NDArray[np.float64], hit: npt.NDArray[np.bool_],
          offsets: Ids) -> npt.NDArray[np.float64]:
    sums = _per_cloud(np.add, np.where(hit, d, 0.0), offsets, 0.0)
    hits = _per_cloud(np.add, hit.astype(np.float64), offsets, 0.0)
    return np.divide(sums, hits, out=np.full_like(sums, np.nan), where=hits > 0)


def _min(d: npt.NDArray[np.float64], hit: npt.NDArray[np.bool_],
         offsets: Ids) -> npt.NDArray[np.float64]:
    low = _per_cloud(np.minimum, np.where(hit, d, np.inf), offsets, np.inf)
    return np.where(np.isinf(low), np.nan, low)


def _max(d: npt.NDArray[np.float64], hit: npt.NDArray[np.bool_],
         offsets: Ids) -> npt.NDArray[np.float64]:
    high = _per_cloud(np.maximum, np.where(hit, d, -np.inf), offsets, -np.inf)
    return np.where(np.isinf(high), np.nan, high)


# Above this many hits a cloud's median is worked out on its own: NumPy
# partitions long 1-D arrays faster than the rows of a 2-D one.
_MEDIAN_ROWS_UP_TO = 1024


def _median(d: npt.NDArray[np.float64], hit: npt.NDArray[np.bool_],
            offsets: Ids) -> npt.NDArray[np.float64]:
    """Each cloud's median of hits, as np.median gives it. Smaller clouds
    with the same number of hits are partitioned together, as rows of one
    array, so that thousands of them cost a few NumPy calls, not one each."""
    # Where each cloud's hits start among all hits, and how many it has.
    starts = np.r_[0, np.cumsum(hit)][offsets]
    hits = np.diff(starts)
    hit_values = d[hit]
    out = np.full(len(hits), np.nan)
    for count in np.unique(hits[hits > 0]).tolist():
        clouds = np.flatnonzero(hits == count)
        middle = [(count - 1) // 2, count // 2]
        if count <= _MEDIAN_ROWS_UP_TO:
            rows = hit_values[starts[clouds][:, None] + np.arange(count)]
            rows.partition(middle, axis=1)
            out[clouds] = (rows[:, middle[0]] + rows[:, middle[1]]) / 2
            continue
        for c in clouds.tolist():
            row = hit_values[starts[c]:starts[c] + count].copy()
            row.partition(middle)
            out[c] = (row[middle[0]] + row[middle[1]]) / 2
    return out


_STATISTICS = {"mean": _mean, "median": _median, "min": _min, "max": _max}


@dataclass(frozen=True)
class Reducer:
    """A reduction, ready to apply to each target's answers; picklable when
    its function is."""

    statistic: str | None = None  # a key of _STATISTICS
    edges: npt.NDArray[np.float64] | None = None  # a histogram's bin edges
    function: PairFunction | None = None

    @property
    def bins(self) -> int | None:
        return None if self.edges is None else len(self.edges) - 1

    def __call__(self, target: int, distances: Floats, indices: Ids,
                 offsets: Ids) -> npt.NDArray[np.float64]:
        if self.function is not None:
            column = self._per_pair(target, distances, indices, offsets)
        else:
            d = distances.astype(np.float64)
            hit = np.isfinite(d)
            if self.edges is not None:
                column = self._histogram(d, hit, offsets)
            else:
                column = _STATISTICS[str(self.statistic)](d, hit, offsets)
        column[target] = np.nan
        return column

    def _histogram(self, d: npt.NDArray[np.float64], hit: npt.NDArray[np.bool_],
                   offsets: Ids) -> npt.NDArray[np.float64]:
        edges = self.edges
        assert edges is not None
        bins = len(edges) - 1
        # np.histogram's bins: half-open, the last one closed.
        which = np.searchsorted(edges, d, side="right") - 1
        which[d == edges[-1]] = bins - 1
        counted = hit & (which >= 0) & (which < bins)
        cloud = np.repeat(np.arange(len(offsets) - 1), np.diff(offsets))
        flat = cloud[counted] * bins + which[counted]
        counts = np.bincount(flat, minlength=(len(offsets) - 1) * bins)
        return counts.reshape(len(offsets) - 1, bins).astype(np.float64)

    def _per_pair(self, target: int, distances: Floats, indices: Ids,
                  offsets: Ids) -> npt.NDArray[np.float64]:
        assert self.function is not None
        out = np.full(len(offsets) - 1, np.nan)
        bounds = zip(offsets[:-1].tolist(), offsets[1:].tolist())
        for q, (start, stop) in enumerate(bounds):
            if q != target:
                score = self.function(q, target, distances[start:stop], indices[start:stop])
                if np.ndim(score) != 0 or np.asarray(score).dtype.kind not in "biuf":
                    raise TypeError(f"reduce function returned {type(score).__name__} for the "
                                    f"pair ({q}, {target}); it must return a number")
                out[q] = score
        return out


def make_reducer(reduce: Any, distance_upper_bound: float | None) -> Reducer:
    """Checks `reduce` (see `all_by_all`)."""
    if isinstance(reduce, str):
        if reduce not in _STATISTICS:
            raise ValueError(f"reduce must be one of {sorted(_STATISTICS)}, ('histogram', bins),"
                             f" a function or None; got {reduce!r}")
        return Reducer(statistic=reduce)
    if isinstance(reduce, tuple):
        if len(reduce) != 2 or reduce[0] != "histogram":
            raise ValueError(f"a tuple reduce must be ('histogram', bins), got {reduce!r}")
        return Reducer(edges=histogram_edges(reduce[1], distance_upper_bound))
    if callable(reduce):
        return Reducer(function=reduce)
    raise TypeError(f"reduce must be a name, ('histogram', bins), a function or None; "
                    f"got {type(reduce).__name__}")


def histogram_edges(bins: Any, distance_upper_bound: float | None) -> npt.NDArray[np.float64]:
    """Bin edges: `bins` equal bins over [0, distance_upper_bound], or the
    increasing edges given."""
    if isinstance(bins, (int, np.integer)) and not isinstance(bins, bool):
        if bins < 1:
            raise ValueError(f"histogram bins must be at least 1, got {bins}")
        if distance_upper_bound is None:
            raise ValueError("('histogram', n) needs a distance_upper_bound for its range; "
                             "pass the bin edges instead to go without one")
        if not 0.0 < distance_upper_bound < np.inf:
            raise ValueError("('histogram', n) needs a finite, nonzero distance_upper_bound for "
                             f"its range, got {distance_upper_bound!r}; pass the bin edges "
                             "instead")
        return np.linspace(0.0, distance_upper_bound, int(bins) + 1)
    if np.ndim(bins) == 0:
        raise TypeError(f"histogram bins must be a number of bins (an int) or a sequence of "
                        f"bin edges, got {bins!r}")
    edges = np.asarray(bins, dtype=np.float64)
    if edges.ndim != 1 or len(edges) < 2 or not np.all(np.diff(edges) > 0) or not np.all(
            np.isfinite(edges)):
        raise ValueError("histogram edges must be a 1-D increasing sequence of at least two "
                         "finite numbers")
    return edges
