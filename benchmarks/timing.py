"""Timing helpers: interleaved rounds, medians."""

import math
import statistics
import time
from dataclasses import dataclass
from typing import Any


@dataclass
class Timed:
    seconds: float  # median wall time of one call
    result: Any     # what the warm-up call returned (None without warm-up)


def wall_time(fn):
    """Wall time of one call, for runs long enough that one is representative."""
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def interleaved(fns, rounds=5, min_time=0.0, warmup=True):
    """Median wall time per call of each callable in `fns` (name -> fn).

    The callables take turns within every round, and the round's first one
    rotates, so all of them see the same (shared, noisy) machine and none is
    always measured right after the same neighbour. A call faster than
    `min_time` is repeated within each measurement until that much time has
    passed, so the timer's resolution does not dominate small workloads.
    The first call's result is returned for checking the answers. Without a
    warm-up (for calls of a second or more) every call is measured, once.
    """
    names = list(fns)
    results, repeats = {}, {}
    for name in names:
        if warmup:
            t0 = time.perf_counter()
            results[name] = fns[name]()
            once = time.perf_counter() - t0
            repeats[name] = max(1, math.ceil(min_time / max(once, 1e-9)))
        else:
            repeats[name] = 1
    times = {name: [] for name in names}
    for r in range(rounds):
        for name in names[r % len(names):] + names[:r % len(names)]:
            fn, number = fns[name], repeats[name]
            t0 = time.perf_counter()
            for _ in range(number):
                result = fn()
            times[name].append((time.perf_counter() - t0) / number)
            results.setdefault(name, result)
    return {name: Timed(statistics.median(times[name]), results[name]) for name in names}
