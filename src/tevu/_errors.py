"""The exception type of failures inside the extension's native code."""

import numpy as np

import _tevu


def _panic_exception_type() -> type[BaseException]:
    # The extension creates the type on first use and does not register it as
    # a module attribute, so it is fetched from a call that is known to fail:
    # a query graph with an empty offsets array.
    empty = np.zeros(0, np.uint32)
    try:
        _tevu.all_nearest_neighbours(np.zeros((0, 3)), empty, empty,
                                     np.zeros((0, 3)), np.zeros(1, np.uint32), empty)
    except BaseException as exc:  # it derives from BaseException on purpose
        if type(exc).__name__ != "PanicException":
            raise
        return type(exc)
    raise ImportError("_tevu accepted an empty offsets array; cannot find PanicException")


PanicException: type[BaseException] = _panic_exception_type()
"""Raised when the native code fails, for instance on a malformed graph.

Like SystemExit it derives from BaseException, not Exception, so a broad
``except Exception`` does not swallow it; catch it by this name.
"""
