"""The `tevu` command: `tevu demo` and `tevu join FILES... --out scores.npy`."""

from __future__ import annotations

import argparse
import os
import pathlib
import sys
import warnings
from collections.abc import Callable, Sequence

import numpy as np
import numpy.typing as npt

from ._demo import run_demo
from ._join import all_by_all
from ._reduce import Reduction
from ._validate import as_points, check_squares_fit


def read_points(path: pathlib.Path) -> npt.NDArray[np.float64]:
    """An (n, 3) point array from a .npy file or a comma-separated .csv file
    (one point a line, x, y, z first; a first line that is not all numbers
    is skipped as a header)."""
    suffix = path.suffix.lower()
    if suffix == ".npy":
        return np.asarray(np.load(path, allow_pickle=False))
    if suffix == ".csv":
        # utf-8-sig: the byte order mark that spreadsheets write would make
        # the first point look like a header.
        if not _first_line(path).strip():
            raise ValueError("no points: the file is empty or starts with a blank line")
        try:
            return np.loadtxt(path, delimiter=",", ndmin=2, encoding="utf-8-sig")
        except ValueError:
            # Retried without the first line only when that is a header: a
            # bad value further down keeps its own row number.
            first = _first_line(path)
            if _all_numbers(first):
                raise
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", UserWarning)  # "input contained no data"
                rest = np.loadtxt(path, delimiter=",", ndmin=2, skiprows=1,
                                  encoding="utf-8-sig")
            if rest.size == 0:
                raise ValueError(f"no comma-separated numbers after the first line, "
                                 f"{first.strip()[:60]!r}") from None
            return rest
    raise ValueError("expected a .npy or .csv file")


def _first_line(path: pathlib.Path) -> str:
    with open(path, encoding="utf-8-sig", errors="replace") as lines:
        return lines.readline()


def _all_numbers(line: str) -> bool:
    try:
        [float(field) for field in line.split(",")]
    except ValueError:
        return False
    return True


def _output_path(name: str) -> pathlib.Path:
    """Where np.save writes `name` (it adds .npy), checked before the join."""
    out = pathlib.Path(name)
    if out.suffix != ".npy":
        out = out.with_name(out.name + ".npy")
    if not out.parent.is_dir():
        raise SystemExit(f"tevu join: {out.parent}: no such directory for --out")
    if out.is_dir():
        raise SystemExit(f"tevu join: {out}: is a directory, not a file for --out")
    if not os.access(out if out.exists() else out.parent, os.W_OK):
        raise SystemExit(f"tevu join: {out}: cannot write there (--out)")
    return out


def _join(args: argparse.Namespace) -> None:
    out = _output_path(args.out)
    if args.reduce == "histogram" and args.bound is None:
        raise SystemExit("tevu join: --reduce histogram needs --bound: its --bins split "
                         "[0, --bound] into equal bins")
    arrays = []
    for name in args.files:
        path = pathlib.Path(name)
        try:
            points = as_points(read_points(path))
            if args.dtype == "float32":
                check_squares_fit(points, np.float32)
        except (OSError, TypeError, ValueError) as exc:
            raise SystemExit(f"tevu join: {path}: {exc}") from None
        arrays.append(points)
    reduce: Reduction = args.reduce
    if args.reduce == "histogram":
        reduce = ("histogram", args.bins)
    try:
        scores = all_by_all(arrays, reduce=reduce, distance_upper_bound=args.bound,
                            dtype=args.dtype, workers=args.workers, progress=args.progress)
    except (TypeError, ValueError) as exc:
        raise SystemExit(f"tevu join: {exc}") from None
    try:
        np.save(out, scores)
    except OSError as exc:
        raise SystemExit(f"tevu join: {out}: {exc.strerror or exc}") from None
    print(f"tevu join: {len(arrays)} clouds, {args.reduce} scores of shape {scores.shape} "
          f"written to {out}")


def _demo(args: argparse.Namespace) -> None:
    # Bars by default where someone watches; not into a log.
    progress = sys.stderr.isatty() if args.progress is None else args.progress
    run_demo(args.clouds, args.points, args.workers, args.check, args.peers, progress,
             args.seed)


def _at_least(minimum: int) -> Callable[[str], int]:
    """An argparse type: an integer of at least `minimum`."""
    def parse(text: str) -> int:
        value = int(text)
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be at least {minimum}, not {value}")
        return value
    parse.__name__ = "integer"  # named so in argparse's "invalid integer value" message
    return parse


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tevu", description="Exact nearest neighbours between 3-D point clouds.")
    commands = parser.add_subparsers(dest="command", required=True)
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--workers", type=_at_least(1), default=os.cpu_count() or 1,
                        help="threads (default: every core)")
    common.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                        help="show progress bars")

    demo = commands.add_parser("demo", parents=[common],
                               help="run an all-by-all join over synthetic clouds")
    demo.add_argument("--clouds", type=_at_least(2), default=40)
    demo.add_argument("--points", type=_at_least(1), default=5000, help="points per cloud")
    demo.add_argument("--check", type=_at_least(0), default=20, metavar="PAIRS",
                      help="pairs to check against cKDTree")
    demo.add_argument("--peers", action=argparse.BooleanOptionalAction, default=True,
                      help="time the same job with cKDTree and pykdtree")
    demo.add_argument("--seed", type=_at_least(0), default=0)
    demo.set_defaults(run=_demo)

    join = commands.add_parser("join", parents=[common],
                               help="score every ordered pair of the clouds in FILES")
    join.add_argument("files", nargs="+", metavar="FILES", help=".npy or .csv point files")
    join.add_argument("--out", required=True, help="where to save the (M, M) scores (.npy)")
    join.add_argument("--reduce", choices=["mean", "median", "min", "max", "histogram"],
                      default="mean")
    join.add_argument("--bins", type=int, default=10,
                      help="equal bins over [0, --bound] for --reduce histogram")
    join.add_argument("--bound", type=float, default=None, help="distance_upper_bound")
    join.add_argument("--dtype", choices=["float64", "float32"], default="float64")
    join.set_defaults(run=_join)
    return parser


def main(argv: Sequence[str] | None = None) -> None:
    args = _parser().parse_args(argv)
    args.run(args)


if __name__ == "__main__":
    main(sys.argv[1:])
