"""Pickling (and so copying) of the extension's classes.

The classes themselves carry no pickling support. Importing `tevu` registers
reconstructors for them with `copyreg`: an instance is pickled as the arrays
it was built from and rebuilt from them, so it answers every query exactly as
the original does. The reconstructors live here, so unpickling imports `tevu`
and registers them in the receiving process too.
"""

import copyreg
import pickle
from collections.abc import Callable, Sequence
from typing import Any, TypeAlias

import numpy as np
import numpy.typing as npt

import _tevu

Prepared: TypeAlias = _tevu.PreparedF64 | _tevu.PreparedF32
Grouped: TypeAlias = _tevu.GroupedQueriesF64 | _tevu.GroupedQueriesF32

# The classes report "builtins" as their module, so pickle cannot find them
# by name; the reconstructors take a precision tag instead.
_PREPARED: dict[str, Any] = {"f64": _tevu.PreparedF64, "f32": _tevu.PreparedF32}
_GROUPED: dict[str, Any] = {"f64": _tevu.GroupedQueriesF64, "f32": _tevu.GroupedQueriesF32}


def _tag(obj: Prepared | Grouped) -> str:
    return "f32" if isinstance(obj, (_tevu.PreparedF32, _tevu.GroupedQueriesF32)) else "f64"


def rebuild_prepared(tag: str, points: npt.NDArray[Any], indptr: npt.NDArray[np.uint32],
                     indices: npt.NDArray[np.uint32]) -> Prepared:
    prepared: Prepared = _PREPARED[tag](points, indptr, indices)
    return prepared


def rebuild_grouped(tag: str, sorted_points: npt.NDArray[Any], perm: npt.NDArray[np.uint64],
                    offsets: npt.NDArray[np.uint64],
                    query_perms: Sequence[npt.NDArray[np.int64] | None]) -> Grouped:
    """Prepares the set again from its clouds' points in concatenated order.
    Building it only reads the clouds' points, so they get edgeless graphs."""
    concatenated = np.empty_like(sorted_points)
    concatenated[perm] = sorted_points
    empty = np.zeros(0, np.uint32)
    clouds = [_PREPARED[tag](concatenated[start:stop], np.zeros(stop - start + 1, np.uint32), empty)
              for start, stop in zip(offsets[:-1].tolist(), offsets[1:].tolist())]
    grouped: Grouped = _GROUPED[tag].prepare(clouds, list(query_perms))
    # The Morton sort is deterministic; a different order would change answers.
    if not np.array_equal(grouped.perm, perm):
        raise pickle.UnpicklingError("grouped query set: the rebuilt Morton order differs")
    return grouped


def _reduce_prepared(obj: Prepared) -> tuple[Callable[..., Prepared], tuple[Any, ...]]:
    return rebuild_prepared, (_tag(obj), obj.data, obj.indptr, obj.indices)


def _reduce_grouped(obj: Grouped) -> tuple[Callable[..., Grouped], tuple[Any, ...]]:
    return rebuild_grouped, (_tag(obj), obj.points, obj.perm, obj.offsets, obj.query_perms)


def register() -> None:
    for cls in _PREPARED.values():
        copyreg.pickle(cls, _reduce_prepared)
    for cls in _GROUPED.values():
        copyreg.pickle(cls, _reduce_grouped)
