"""Timing helpers: interleaved rounds, medians."""

import statistics
import time


def median_time(fn, rounds=5):
    """Median wall time of `rounds` calls (after one warm-up call)."""
    fn()
    times = []
    for _ in range(rounds):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def interleaved(fns, rounds=5):
    """Median wall time of each callable, measured in interleaved rounds so
    that both see the same machine state."""
    for fn in fns.values():
        fn()
    times = {name: [] for name in fns}
    for _ in range(rounds):
        for name, fn in fns.items():
            t0 = time.perf_counter()
            fn()
            times[name].append(time.perf_counter() - t0)
    return {name: statistics.median(ts) for name, ts in times.items()}


def wall_time(fn):
    """Wall time of one call, for runs long enough that one is representative."""
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0
