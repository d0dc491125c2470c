"""Progress bars, from tqdm when it is installed."""

from __future__ import annotations

import importlib
import sys
from typing import Any, Protocol


class Bar(Protocol):
    def update(self, n: int = 1) -> Any: ...
    def close(self) -> None: ...


class _NoBar:
    def update(self, n: int = 1) -> None:
        pass

    def close(self) -> None:
        pass


def _tqdm() -> Any:
    try:
        return importlib.import_module("tqdm.auto").tqdm
    except ImportError:
        return None


def progress_bar(progress: bool | None, total: int, desc: str, long: bool) -> Bar:
    """A bar when `progress` is True; with None, when the job is long and
    stderr is a terminal (and tqdm is installed); else a bar that shows
    nothing."""
    if progress is None:
        progress = long and sys.stderr.isatty() and _tqdm() is not None
    if not progress:
        return _NoBar()
    tqdm = _tqdm()
    if tqdm is None:
        raise ImportError("progress=True needs tqdm: pip install tqdm")
    bar: Bar = tqdm(total=total, desc=desc, unit=" clouds", file=sys.stderr)
    return bar
