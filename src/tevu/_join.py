"""`all_by_all`: every cloud against every other, on threads or any
`concurrent.futures.Executor` (a Dask cluster's included)."""

from __future__ import annotations

import itertools
import math
import os
import uuid
from collections import deque
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence, Set
from concurrent.futures import Executor, Future, ThreadPoolExecutor
from typing import Any, Literal, TypeVar, overload

import numpy as np
import numpy.typing as npt

from . import _grouped_join
from ._cloud import Cloud
from ._grouped_join import GroupedJoin, JoinOptions, TargetAnswers, kept_join
from ._progress import Bar, progress_bar
from ._reduce import Reduction, make_reducer
from ._validate import as_float_dtype, check_squares_fit, naming

T = TypeVar("T")
R = TypeVar("R")

# Above these sizes a job counts as long, and shows a bar by default: about
# a second of graph building, or of searching, on one core.
_LONG_GRAPHS = 200_000  # points
_LONG_JOIN = 20_000_000  # query points times targets
# Blocks beyond this gain nothing, and their scratch memory may not exist.
_LARGEST_BLOCK = 2 ** 20


@overload
def all_by_all(clouds: Sequence[Cloud | npt.ArrayLike], *, reduce: None,
               distance_upper_bound: float | None = None, dtype: Any = "float64",
               block: int = 1, workers: int | None = None, executor: Executor | None = None,
               progress: bool | None = None) -> Iterator[TargetAnswers]: ...
@overload
def all_by_all(clouds: Sequence[Cloud | npt.ArrayLike], *, reduce: Reduction = "mean",
               distance_upper_bound: float | None = None, dtype: Any = "float64",
               block: int = 1, workers: int | None = None, executor: Executor | None = None,
               progress: bool | None = None) -> npt.NDArray[np.float64]: ...


def all_by_all(clouds: Sequence[Cloud | npt.ArrayLike], *, reduce: Reduction | None = "mean",
               distance_upper_bound: float | None = None, dtype: Any = "float64",
               block: int = 1, workers: int | None = None, executor: Executor | None = None,
               progress: bool | None = None) -> npt.NDArray[np.float64] | Iterator[TargetAnswers]:
    """Every cloud's nearest-neighbour distances into every other cloud,
    reduced to one score per ordered pair.

    `clouds` holds `Cloud`s or (n, 3) point arrays (their Delaunay graphs are
    built here). Returns an (M, M) float64 array: ``scores[q, t]`` reduces
    the distances from each point of cloud q to its nearest point of cloud
    t; the diagonal is NaN. `reduce` is "mean", "median", "min", "max",
    ``("histogram", bins)`` (an (M, M, len(bins) - 1) array of counts, bins
    as edges, or as a number of equal bins over [0, distance_upper_bound]),
    or a function ``f(q, t, distances, indices) -> float`` of one pair's
    answers (indices into cloud t's original points, int64). With
    ``reduce=None`` the result is a generator of `TargetAnswers`, one per
    target in order, so that only a few targets' answers exist at once.

    With `distance_upper_bound`, points farther than it from every point of
    the target are misses, ``(inf, len(target))``: the built-in reductions
    leave them out, and a pair without hits scores NaN (an empty histogram).

    `dtype` "float32" searches in single precision. `block` is passed to
    `query_grouped`. The join runs on `workers` threads (default: every
    core) or, given an `executor`, in tiles of targets submitted to it: each
    task carries the clouds, and each process builds the grouped set once
    per job. Results are the same either way, bit for bit. `progress` shows
    a tqdm bar: None shows one for long jobs when stderr is a terminal.
    """
    kind = as_float_dtype(dtype)
    bound = _checked_bound(distance_upper_bound)
    if progress is not None and not isinstance(progress, (bool, np.bool_)):
        # A string such as "no" would be true.
        raise TypeError(f"progress must be True, False or None, got {progress!r}")
    options = JoinOptions(kind, _checked_count(block, "block", _LARGEST_BLOCK), bound,
                          None if reduce is None else make_reducer(reduce, bound))
    threads = (os.cpu_count() or 1) if workers is None else _checked_count(workers, "workers")
    cloud_list = as_clouds(clouds, threads, progress)
    if kind is np.float32:
        _check_float32(cloud_list)
    total_points = sum(len(c) for c in cloud_list)
    bar = progress_bar(progress, len(cloud_list), "targets",
                       len(cloud_list) * total_points > _LONG_JOIN)
    if executor is None:
        answers = _thread_answers(cloud_list, options, threads)
    else:
        answers = _executor_answers(cloud_list, options, executor, threads)
    counted = _counted(answers, bar)
    if options.reducer is None:
        return counted
    return _score_matrix(counted, len(cloud_list), options.reducer.bins)


def as_clouds(clouds: Sequence[Cloud | npt.ArrayLike], workers: int,
              progress: bool | None) -> list[Cloud]:
    """The clouds, arrays among them made into `Cloud`s on `workers` threads."""
    # A mapping would give its keys and a set no order: the scores' rows and
    # columns follow the clouds' order.
    if isinstance(clouds, np.ndarray) and clouds.ndim <= 2:
        # Its rows would be taken for clouds.
        raise TypeError(f"clouds must be a sequence of Clouds or point arrays, got one array "
                        f"of shape {clouds.shape} (pass [points] for a single cloud)")
    if isinstance(clouds, (str, bytes, Mapping, Set)) or not isinstance(clouds, Iterable):
        hint = " (pass list(d.values()))" if isinstance(clouds, Mapping) else ""
        raise TypeError(f"clouds must be a sequence of Clouds or point arrays, "
                        f"got {type(clouds).__name__}{hint}")
    items = list(clouds)
    made = {i: c for i, c in enumerate(items) if isinstance(c, Cloud)}
    arrays = {i: c for i, c in enumerate(items) if not isinstance(c, Cloud)}
    for i, item in arrays.items():
        if isinstance(item, (str, bytes)) or np.ndim(item) == 0:
            raise TypeError(f"clouds[{i}] must be a Cloud or an (n, 3) point array, "
                            f"got {type(item).__name__}")
    if arrays:
        points = sum(len(np.asarray(a)) for a in arrays.values())
        bar = progress_bar(progress, len(arrays), "graphs", points > _LONG_GRAPHS)
        try:
            with ThreadPoolExecutor(workers) as pool:
                for i, cloud in zip(arrays, pool.map(_cloud_of, *zip(*arrays.items()))):
                    made[i] = cloud
                    bar.update(1)
        finally:
            bar.close()
    return [made[i] for i in range(len(items))]


def _cloud_of(i: int, points: npt.ArrayLike) -> Cloud:
    """Cloud(points), whose refusal names the item of `clouds` it refuses."""
    with naming(f"clouds[{i}]"):
        return Cloud(points)


def _check_float32(clouds: Sequence[Cloud]) -> None:
    """Every cloud's coordinates keep float32 squared distances finite."""
    for i, cloud in enumerate(clouds):
        with naming(f"clouds[{i}]"):
            check_squares_fit(cloud.points, np.float32)


def _checked_count(value: Any, name: str, largest: int | None = None) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an int, got {type(value).__name__}")
    if value < 1:
        raise ValueError(f"{name} must be at least 1, got {value}")
    if largest is not None and value > largest:
        raise ValueError(f"{name} must be at most {largest}, got {value}")
    return int(value)


def _checked_bound(bound: Any) -> float | None:
    if bound is None:
        return None
    if isinstance(bound, (str, bytes, bool)):  # float() would take them
        raise TypeError(f"distance_upper_bound must be a number or None, got {bound!r}")
    try:
        value = float(bound)
    except (TypeError, ValueError):
        raise TypeError(f"distance_upper_bound must be a number or None, got {bound!r}") from None
    if not value >= 0:
        raise ValueError(f"distance_upper_bound must be a distance (>= 0), got {bound!r}")
    return value


def _in_order(submit: Callable[[T], Future[R]], items: Iterable[T],
              in_flight: int) -> Iterator[R]:
    """The results of submit(item) for every item, in order, with at most
    `in_flight` submitted and not yet taken."""
    pending: deque[Future[R]] = deque()
    rest = iter(items)
    try:
        pending.extend(submit(item) for item in itertools.islice(rest, in_flight))
        while pending:
            result = pending.popleft().result()
            pending.extend(submit(item) for item in itertools.islice(rest, 1))
            yield result
    finally:
        for future in pending:
            future.cancel()


def _thread_answers(clouds: list[Cloud], options: JoinOptions,
                    threads: int) -> Iterator[Any]:
    join = GroupedJoin(clouds, options.dtype)
    pool = ThreadPoolExecutor(threads)
    try:
        yield from _in_order(lambda t: pool.submit(join.answer, t, options), range(len(clouds)),
                             2 * threads)
    finally:
        pool.shutdown(cancel_futures=True)


def run_tile(job: str, clouds: Sequence[Cloud], targets: Sequence[int],
             options: JoinOptions) -> list[Any]:
    """One task of the executor path: the answers of a few targets (none
    once the job has ended in this process: no one is waiting for them)."""
    join = kept_join(job, lambda: GroupedJoin(clouds, options.dtype))
    return [] if join is None else [join.answer(t, options) for t in targets]


def _executor_answers(clouds: list[Cloud], options: JoinOptions, executor: Executor,
                      parallel: int) -> Iterator[Any]:
    job = uuid.uuid4().hex
    if options.dtype is np.float32:
        # Clouds that float32 rounds get graphs of their rounded points: made
        # here once, they travel with the clouds, instead of being made again
        # in every process.
        with ThreadPoolExecutor(parallel) as pool:
            list(pool.map(lambda cloud: cloud.prepared("float32"), clouds))
    payload = tuple(clouds)
    # A few tiles per worker balance the load; each task ships the clouds.
    size = max(1, math.ceil(len(clouds) / (4 * parallel)))
    tiles = [range(s, min(s + size, len(clouds))) for s in range(0, len(clouds), size)]
    # Raw answers are large: only as many tiles in flight as run at once.
    in_flight = len(tiles) if options.reducer is not None else parallel
    try:
        for results in _in_order(
                lambda tile: executor.submit(run_tile, job, payload, tile, options), tiles,
                in_flight):
            yield from results
    finally:
        _grouped_join.forget(job)


def _counted(answers: Iterator[T], bar: Bar) -> Iterator[T]:
    try:
        for answer in answers:
            bar.update(1)
            yield answer
    finally:
        bar.close()
        close = getattr(answers, "close", None)
        if close is not None:
            close()


def _score_matrix(columns: Iterator[npt.NDArray[np.float64]], m: int,
                  bins: int | None) -> npt.NDArray[np.float64]:
    scores = np.full((m, m) if bins is None else (m, m, bins), np.nan)
    for target, column in enumerate(columns):
        scores[:, target] = column
    return scores
