"""Checks of user input, each failing with a ValueError or TypeError that
says what is wrong: the extension itself accepts inconsistent graphs and
fails late, or answers wrongly, on them."""

from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

import numpy as np
import numpy.typing as npt

FloatDType = type[np.float64] | type[np.float32]


@contextmanager
def naming(what: str) -> Iterator[None]:
    """Puts `what` in front of the message of a TypeError or ValueError
    raised inside, so that the refusal says what it refuses."""
    try:
        yield
    except (TypeError, ValueError) as exc:
        if type(exc) not in (TypeError, ValueError):
            raise
        raise type(exc)(f"{what}: {exc}") from exc


def as_points(points: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """The first three columns of a 2-D numeric array, as a new C-contiguous
    float64 array with finite coordinates."""
    if np.ma.is_masked(points):
        # np.asarray would drop the mask and keep whatever lies under it.
        raise ValueError("points: a masked array with masked entries; drop those rows "
                         "(points[~np.ma.getmaskarray(points).any(axis=1)]) or fill them first")
    array = np.asarray(points)
    if array.dtype.kind not in "fiu":
        raise TypeError(f"points must be a numeric array, got dtype {array.dtype}")
    if array.ndim != 2 or array.shape[1] < 3:
        raise ValueError(f"points must have shape (n, 3) (further columns are ignored), "
                         f"got shape {array.shape}")
    array = np.array(array[:, :3], dtype=np.float64, order="C")
    finite = np.isfinite(array).all(axis=1)
    if not finite.all():
        row = int(np.argmin(finite))
        raise ValueError(f"points: row {row} has a coordinate that is not finite: {array[row]}")
    check_squares_fit(array, np.float64)
    return array


# Coordinates below these magnitudes keep every squared distance between
# two points finite (at most 12 m^2 for coordinates of at most m), so that
# descents compare true distances, not infinities.
_LARGEST_COORDINATE = {np.float64: 2.0 ** 510, np.float32: 2.0 ** 62}


def check_squares_fit(points: npt.NDArray[Any], kind: FloatDType) -> None:
    """Raises ValueError naming the first row with a coordinate so large that
    squared distances in `kind` could overflow."""
    limit = _LARGEST_COORDINATE[kind]
    fits = (np.abs(points) < limit).all(axis=1)
    if not fits.all():
        row = int(np.argmin(fits))
        precision = "float64" if kind is np.float64 else "float32"
        raise ValueError(f"points: row {row} has a coordinate too large for {precision} searches "
                         f"(2^{int(np.log2(limit))} or more, whose squared distances overflow): "
                         f"{points[row]}")


def _integer_vector(values: npt.ArrayLike, name: str) -> npt.NDArray[Any]:
    array = np.asarray(values)
    if array.dtype.kind not in "iu" and not (array.size == 0 and array.dtype.kind == "f"):
        raise TypeError(f"{name} must be an integer array, got dtype {array.dtype}")
    if array.ndim != 1:
        raise ValueError(f"{name} must be 1-D, got shape {array.shape}")
    return array


def as_graph(graph: Any, n: int) -> tuple[npt.NDArray[np.uint32], npt.NDArray[np.uint32]]:
    """A CSR graph (indptr, indices) over n points, checked and as uint32."""
    try:
        indptr, indices = graph
    except (TypeError, ValueError):
        raise TypeError("graph must be a pair (indptr, indices)") from None
    indptr = _integer_vector(indptr, "graph indptr")
    indices = _integer_vector(indices, "graph indices")
    if len(indptr) != n + 1:
        raise ValueError(f"graph indptr has {len(indptr)} entries, but a graph over "
                         f"{n} points needs n + 1 = {n + 1}: is it the graph of these points?")
    if len(indices) >= 2**32:
        raise ValueError("graph has 2^32 or more neighbour entries")
    if indptr[0] != 0 or indptr[-1] != len(indices) or np.any(np.diff(indptr) < 0):
        raise ValueError(f"graph indptr must rise from 0 to len(indices) = {len(indices)}")
    if len(indices) and (indices.min() < 0 or indices.max() >= n):
        position = int(np.argmax((indices < 0) | (indices >= n)))
        raise ValueError(f"graph indices: entry {position} is {indices[position]}, "
                         f"not a point id below {n}")
    return np.array(indptr, dtype=np.uint32), np.array(indices, dtype=np.uint32)


def as_permutation(perm: npt.ArrayLike, n: int) -> npt.NDArray[np.int64]:
    """A permutation of 0 .. n - 1, as int64."""
    array = _integer_vector(perm, "perm")
    if len(array) != n or (n and (array.min() < 0 or array.max() >= n)) or (
            n and not np.all(np.bincount(array, minlength=n) == 1)):
        raise ValueError(f"perm must be a permutation of 0 .. {n - 1} (one entry per point)")
    return np.array(array, dtype=np.int64)


def as_float_dtype(dtype: Any) -> FloatDType:
    try:
        kind = np.dtype(dtype)
    except TypeError:
        raise TypeError(f"dtype must be 'float64' or 'float32', got {dtype!r}") from None
    if kind.kind == "f" and kind.itemsize == 8:  # in either byte order
        return np.float64
    if kind.kind == "f" and kind.itemsize == 4:
        return np.float32
    raise ValueError(f"dtype must be 'float64' or 'float32', got {dtype!r}")
