"""The benchmark suite: every scenario against cKDTree and pykdtree, one command.

Peers run in this process, on the same arrays, on the same number of
threads, in rounds interleaved with ours; every row reports medians in ns
per query point, the ratio peer time / our time and whether the answers
agree (float64: distances equal to cKDTree's; float32: within rounding of
cKDTree's on the same rounded points; k = 8: recall of the exact answer).
The numbers go to a JSON file, and a summary judges the speed targets.

Scenarios (select with --only, a regular expression searched in the names):
  graph       delaunay_graph on 1 and 2 threads against scipy.spatial.Delaunay
              + graph_from_simplices (+ peak memory)
  build       PreparedF64/F32 against building the trees
  k1          all_nearest_neighbours(_f32), query_prepared (with/without bound)
  k8          query_prepared_k, k = 8, ef = 8/16/32, with recall
  grouped     query_grouped: one 10^5 target against a 20 x 5,000 grouped set
  all_by_all  50 x 5,000 clouds, each against every other, on 1 and 2 threads
  graph_grids delaunay_graph on integer grids (every sphere test ties), with and
              without copies, against SciPy's; answers against cKDTree's
  end_to_end  the main job from raw arrays, 40 x 5,000 clouds, 1 thread: graphs,
              prepared clouds and the grouped join against trees and queries

Clouds and their triangulations are cached under --cache, so reruns skip
SciPy's Delaunay (about a minute per 10^6-point cloud).
"""

import os

# Every row compares single-threaded runs (or the same thread pool): pin
# pykdtree's OpenMP pool to one thread, and keep an idle BLAS pool from
# spinning on a core. Both must be set before NumPy or pykdtree load.
os.environ["OMP_NUM_THREADS"] = "1"
os.environ["OPENBLAS_NUM_THREADS"] = "1"

import argparse  # noqa: E402
import importlib.metadata  # noqa: E402
import json  # noqa: E402
import platform  # noqa: E402
import re  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
from dataclasses import asdict, dataclass, field, replace  # noqa: E402
from functools import partial  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402
import scipy  # noqa: E402

import peers  # noqa: E402
import report  # noqa: E402
import scenarios_graph  # noqa: E402
import scenarios_joins  # noqa: E402
import scenarios_pairs  # noqa: E402
from workloads import KINDS, ORDERS, CloudStore  # noqa: E402

HERE = Path(__file__).resolve().parent
RESULTS = HERE / "results"
PER_WORKLOAD = ("graph", "build", "k1", "k8")
SCENARIOS = PER_WORKLOAD + ("grouped", "all_by_all", "graph_grids", "end_to_end")


@dataclass
class Config:
    sizes: list = field(default_factory=lambda: [10_000, 100_000, 1_000_000])
    kinds: tuple = KINDS
    orders: tuple = ORDERS
    rounds: int = 5           # interleaved rounds per measurement
    min_time: float = 0.05    # repeat faster calls within a measurement up to this (s)
    k8_max_size: int = 10 ** 9  # k8 (the slowest pair scenario) only up to this size
    large: int = 1_000_000    # from this size: 3 rounds, no warm-up, k8 in f64 only
    grouped_target: int = 100_000
    grouped_clouds: int = 20
    grouped_points: int = 5_000
    join_clouds: int = 50
    join_points: int = 5_000
    join_rounds: int = 3
    e2e_clouds: int = 40
    e2e_points: int = 5_000
    grid_points: int = 100_000


QUICK = dict(sizes=[10_000, 100_000], rounds=3, min_time=0.02, k8_max_size=10_000,
             join_clouds=20, join_rounds=1, grid_points=20_000)


class Bench:
    """What every scenario uses: the clouds, the peers' trees, the table."""

    def __init__(self, config, store, table):
        self.config, self.store, self.table = config, store, table
        self.min_time = config.min_time

    def rounds_for(self, n):
        return min(self.config.rounds, 3) if n >= self.config.large else self.config.rounds

    def warmup_for(self, n):
        """Calls of seconds need no warm-up; their first run is measured."""
        return n < self.config.large

    def tree(self, kind, n, role, order, prec, peer):
        return self.store.once(
            ("tree", kind, n, role, order, prec, peer),
            lambda: peers.build(peer, self.store.points(kind, n, role, order, prec)))


def _git_commit():
    # git needs none of this process's preloads; under tools/sanitize.sh they
    # are the AddressSanitizer runtime, which would report git's own leaks.
    env = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    try:
        return subprocess.run(["git", "describe", "--always", "--dirty", "--abbrev=12"],
                              cwd=HERE, env=env, capture_output=True, text=True,
                              check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return None


def _cpu_model():
    try:
        with open("/proc/cpuinfo") as info:
            return re.search(r"model name\s*:\s*(.*)", info.read()).group(1)
    except (OSError, AttributeError):
        return platform.processor() or None


def _meta(args, config):
    import _tevu
    versions = {"python": platform.python_version(), "numpy": np.__version__,
                "scipy": scipy.__version__, "_tevu": getattr(_tevu, "__file__", None)}
    if "pykdtree" in peers.PEERS:
        versions["pykdtree"] = importlib.metadata.version("pykdtree")
    return {"started": time.strftime("%Y-%m-%dT%H:%M:%S%z"), "argv": sys.argv[1:],
            "quick": args.quick, "config": asdict(config), "peers": list(peers.PEERS),
            "commit": _git_commit(), "cpu": _cpu_model(), "cpus": os.cpu_count(),
            "interpreter": report.interpreter(),
            "load_at_start": os.getloadavg(), "versions": versions}


def _save(path, meta, rows, summary=None):
    path.parent.mkdir(parents=True, exist_ok=True)
    data = {"meta": meta, "rows": rows, "summary": summary}
    partial = path.with_suffix(".partial")
    partial.write_text(json.dumps(data, indent=1, default=float))
    partial.replace(path)


def _per_workload(bench, name, n):
    for kind in bench.config.kinds:
        if name == "graph":
            scenarios_graph.graph(bench, kind, n)
            continue
        for order in bench.config.orders:
            getattr(scenarios_pairs, name)(bench, kind, n, order)


def run(config, selected, bench, save):
    """Runs the selected scenarios, size by size, then the collections;
    returns the seconds each section took."""
    sections = []
    for n in config.sizes:
        for name in PER_WORKLOAD:
            if name in selected and not (name == "k8" and n > config.k8_max_size):
                sections.append((f"{name}, {n} points", partial(_per_workload, bench, name, n),
                                 ("SciPy",) if name == "graph" else peers.PEERS))
        sections.append((None, partial(bench.store.release, n), ()))
    for name in ("grouped", "all_by_all"):
        if name in selected:
            sections.append((name, partial(getattr(scenarios_joins, name), bench), peers.PEERS))
    if "graph_grids" in selected:
        sections.append(("graph_grids", partial(scenarios_graph.graph_grids, bench), ("SciPy",)))
    if "end_to_end" in selected:
        sections.append(("end_to_end", partial(scenarios_graph.end_to_end, bench), peers.PEERS))
    took = {}
    for title, body, peer_names in sections:
        t0 = time.perf_counter()
        if title is not None:
            bench.table.section(title, peer_names)
        body()
        if title is not None:
            took[title] = time.perf_counter() - t0
            bench.table.out(f"  ({took[title]:.0f} s)")
            save()
    return took


def parse_args(argv=None):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true",
                        help="10^4 and 10^5 points (k8: 10^4 only), 20 clouds in the join, "
                             "fewer rounds: about a minute once the cache is filled")
    parser.add_argument("--only", metavar="PATTERN",
                        help="run the scenarios whose name matches this regular expression")
    parser.add_argument("--json", type=Path, default=RESULTS / "latest.json",
                        help="where to write the numbers (default: %(default)s)")
    parser.add_argument("--cache", type=Path, default=RESULTS / "cache",
                        help="directory of cached clouds and triangulations")
    parser.add_argument("--no-cache", action="store_true", help="triangulate every cloud anew")
    parser.add_argument("--sizes", type=int, nargs="+", help="cloud sizes of the pair scenarios")
    parser.add_argument("--kinds", nargs="+", choices=KINDS)
    parser.add_argument("--orders", nargs="+", choices=ORDERS)
    parser.add_argument("--rounds", type=int, help="interleaved rounds per measurement")
    parser.add_argument("--join", type=int, nargs=2, metavar=("CLOUDS", "POINTS"),
                        help="the all-by-all join's collection size")
    parser.add_argument("--e2e", type=int, nargs=2, metavar=("CLOUDS", "POINTS"),
                        help="the end-to-end job's collection size")
    parser.add_argument("--grids", type=int, metavar="POINTS",
                        help="the grid clouds' size (about; default 10^5)")
    parser.add_argument("--seed", type=int, default=0)
    return parser.parse_args(argv)


def make_config(args):
    config = replace(Config(), **QUICK) if args.quick else Config()
    overrides = {"sizes": args.sizes, "kinds": args.kinds and tuple(args.kinds),
                 "orders": args.orders and tuple(args.orders), "rounds": args.rounds,
                 "grid_points": args.grids}
    if args.sizes:  # asked for by name: run every pair scenario at them
        overrides["k8_max_size"] = max(args.sizes)
    if args.join:
        overrides.update(join_clouds=args.join[0], join_points=args.join[1])
    if args.e2e:
        overrides.update(e2e_clouds=args.e2e[0], e2e_points=args.e2e[1])
    return replace(config, **{k: v for k, v in overrides.items() if v})


def main(argv=None):
    args = parse_args(argv)
    config = make_config(args)
    selected = [s for s in SCENARIOS if not args.only or re.search(args.only, s)]
    if not selected:
        sys.exit(f"no scenario matches {args.only!r}; scenarios: {', '.join(SCENARIOS)}")
    meta = _meta(args, config)
    print(f"scenarios: {', '.join(selected)}; peers: {', '.join(peers.PEERS)}; "
          f"sizes: {config.sizes}; {meta['cpus']} CPUs, load {meta['load_at_start'][0]:.1f}; "
          f"Python {platform.python_version()}, {meta['interpreter']}",
          flush=True)
    table = report.Table(out=lambda line: print(line, flush=True))
    store = CloudStore(None if args.no_cache else args.cache, seed=args.seed,
                       log=lambda line: print(line, flush=True))
    bench = Bench(config, store, table)
    t0 = time.perf_counter()
    meta["section_seconds"] = run(config, selected, bench,
                                  lambda: _save(args.json, meta, table.rows))
    summary = report.summarize(table.rows)
    report.print_summary(summary)
    meta.update(seconds=time.perf_counter() - t0, load_at_end=os.getloadavg())
    _save(args.json, meta, table.rows, summary)
    print(f"\n{len(table.rows)} rows in {meta['seconds']:.0f} s; numbers in {args.json}")


if __name__ == "__main__":
    main()
