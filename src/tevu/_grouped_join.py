"""One all-by-all job in one process: the grouped set of every cloud and the
prepared targets, and the answers of one target at a time.

The thread path and every tile of the executor path answer through this
class, so both give the same arrays, bit for bit."""

from __future__ import annotations

import threading
from collections import OrderedDict
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

import _tevu

from ._cloud import Cloud
from ._reduce import Floats, Ids, Reducer


class TargetAnswers(NamedTuple):
    """Every query point's nearest neighbour in one target cloud.

    Query cloud q's answers are ``distances[offsets[q]:offsets[q + 1]]`` and
    the same slice of ``indices``, in q's original point order, with indices
    into the target's original points; a miss under the bound is
    ``(inf, len(target))``. The target's own cloud is answered too (by
    itself, distance 0).
    """

    target: int
    distances: Floats
    indices: Ids
    offsets: Ids

    def of(self, query: int) -> tuple[Floats, Ids]:
        """The answers of query cloud `query`."""
        clouds = len(self.offsets) - 1
        if not 0 <= query < clouds:  # a negative one would slice from the end
            raise IndexError(f"query cloud {query} out of range for {clouds} clouds")
        start, stop = int(self.offsets[query]), int(self.offsets[query + 1])
        return self.distances[start:stop], self.indices[start:stop]


@dataclass(frozen=True)
class JoinOptions:
    dtype: type
    block: int
    distance_upper_bound: float | None
    reducer: Reducer | None  # None: the raw answers


class GroupedJoin:
    """The grouped set of all clouds and their prepared selves, made once."""

    def __init__(self, clouds: Sequence[Cloud], dtype: type) -> None:
        self.clouds = list(clouds)
        self.prepared: list[Any] = [c.prepared(dtype) for c in self.clouds]
        grouped_class: Any = (_tevu.GroupedQueriesF32 if dtype is np.float32
                              else _tevu.GroupedQueriesF64)
        self.grouped = grouped_class.prepare(self.prepared, [c.perm for c in self.clouds])
        self.offsets: Ids = self.grouped.offsets.astype(np.int64)
        # Shared by every target's answers: none may change it for the others.
        self.offsets.flags.writeable = False

    def answer(self, target: int, options: JoinOptions) -> npt.NDArray[np.float64] | TargetAnswers:
        """Target `target`'s column of scores, or its raw answers."""
        distances, indices = self.prepared[target].query_grouped(
            self.grouped, self.clouds[target].perm, options.block, options.distance_upper_bound)
        ids = indices.view(np.int64)  # below 2^32, so the same values
        if options.reducer is None:
            return TargetAnswers(target, distances, ids, self.offsets)
        return options.reducer(target, distances, ids, self.offsets)


class _KeptJoin:
    """One job's join, made once by the first of its tiles to need it."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.join: GroupedJoin | None = None


# Jobs whose grouped set a process keeps, for the later tiles of the same
# job that reach it (most recent last), and the jobs that ended here, whose
# late tiles need no answers (job ids are never reused).
_KEPT_JOBS = 2
_ENDED_JOBS = 256
_jobs: OrderedDict[str, _KeptJoin] = OrderedDict()
_ended: OrderedDict[str, None] = OrderedDict()
# Held only to look a job up, never while a join is made: making one
# allocates, and the collector may then end an abandoned job's generator in
# this very thread, whose forget() takes this lock too.
_jobs_lock = threading.Lock()


def kept_join(job: str, make: Callable[[], GroupedJoin]) -> GroupedJoin | None:
    """The join of job `job` in this process, made by `make` the first time;
    None when the job has ended in this process."""
    with _jobs_lock:
        if job in _ended:
            return None
        kept = _jobs.get(job)
        if kept is None:
            kept = _jobs[job] = _KeptJoin()
            while len(_jobs) > _KEPT_JOBS:
                _jobs.popitem(last=False)
        _jobs.move_to_end(job)
    with kept.lock:
        if kept.join is None:
            kept.join = make()
        return kept.join


def forget(job: str) -> None:
    """Drops job `job`'s grouped set from this process, if it is kept, and
    marks the job ended here, so that its late tiles answer nothing."""
    with _jobs_lock:
        _jobs.pop(job, None)
        _ended[job] = None
        while len(_ended) > _ENDED_JOBS:
            _ended.popitem(last=False)
