"""Graph building: scipy.spatial.Delaunay against graph_from_simplices.

For uniform clouds of each size, times SciPy's triangulation and the module's
graph builder (from the triangulation's simplices, as uint64) and prints ns per
point, with the builder's peak resident memory: the growth of the process's
high-water mark across one build, measured in a fresh subprocess per size (the
mark is reset through /proc/self/clear_refs just before the build). For
comparison, `raw+out` is what twelve 4-byte ids per tetrahedron plus the two
result arrays take.
"""

import argparse
import json
import re
import subprocess
import sys
import time

import numpy as np
from scipy.spatial import Delaunay

import _tevu
from timing import median_time

MIB = 1 << 20


def high_water_kib():
    with open("/proc/self/status") as status:
        return int(re.search(r"VmHWM:\s+(\d+)", status.read()).group(1))


def reset_high_water():
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")


def measure(n, rounds, seed=0):
    """One size, in this process: timings and the build's peak growth."""
    points = np.random.default_rng([seed, n]).random((n, 3))
    t0 = time.perf_counter()
    simplices = Delaunay(points).simplices.astype(np.uint64)
    delaunay = time.perf_counter() - t0

    reset_high_water()
    before = high_water_kib()
    indptr, indices = _tevu.graph_from_simplices(simplices, n)
    peak = (high_water_kib() - before) * 1024
    output = indptr.nbytes + indices.nbytes
    del indptr, indices

    build = median_time(lambda: _tevu.graph_from_simplices(simplices, n), rounds=rounds)
    return {"n": n, "tets": len(simplices), "delaunay": delaunay, "build": build,
            "peak": peak, "model": 48 * len(simplices) + output}


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--sizes", type=int, nargs="+", default=[10_000, 100_000, 1_000_000])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--one", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one:
        print(json.dumps(measure(args.one, args.rounds)))
        return
    print(f"{'n':>9}{'tets/pt':>9}{'Delaunay ns/pt':>16}{'graph ns/pt':>13}"
          f"{'ratio':>8}{'peak MiB':>10}{'raw+out MiB':>13}")
    for n in args.sizes:
        out = subprocess.run([sys.executable, __file__, "--one", str(n), "--rounds",
                              str(args.rounds)], check=True, capture_output=True, text=True)
        r = json.loads(out.stdout)
        print(f"{n:>9}{r['tets'] / n:>9.2f}{r['delaunay'] * 1e9 / n:>16.0f}"
              f"{r['build'] * 1e9 / n:>13.0f}{r['delaunay'] / r['build']:>8.1f}"
              f"{r['peak'] / MIB:>10.1f}{r['model'] / MIB:>13.1f}", flush=True)


if __name__ == "__main__":
    main()
