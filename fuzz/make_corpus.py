"""Writes the seed corpus of the core's fuzz target into fuzz/corpus.

Each seed is one case in the input format described at the top of
fuzz/fuzz_core.cpp: well-formed clouds with their k-nearest graphs, bounds
of every kind, NaN / inf / raw-bit coordinates, strided and broadcast
arrays, malformed graphs, extreme k / ef / block, grouped-set perms that are
and are not permutations, and tetrahedron lists. The fuzzer mutates from
there. Run it again after changing the format:

    python fuzz/make_corpus.py
"""

import math
import pathlib
import random
import struct

CORPUS = pathlib.Path(__file__).with_name("corpus")

# Value classes: a grid point (x2 - 8 ... below 160), a special value
# (160 + i), raw bits (200, then 8 bytes).
GRID = {v / 2: int(v + 8) for v in range(-8, 9)}
NAN, INF, NEG_INF, MAX = 160, 161, 162, 163


def grid(value):
    return bytes([GRID[value]])


def raw(bits):
    return bytes([200]) + struct.pack("<Q", bits)


def knn_lists(points, k):
    """Each point's k nearest others, nearest first."""
    def d2(a, b):
        return sum((p - q) ** 2 for p, q in zip(a, b))
    return [sorted((j for j in range(len(points)) if j != i),
                   key=lambda j: d2(points[i], points[j]))[:k] for i in range(len(points))]


def cloud(rows, *, layout=0, cols=0, values=None, graph_kind=0, lists=None, mutation=0,
          at=0, indptr_layout=0, indices_layout=0, seed=0, raw_graph=b""):
    """One cloud: `cols` is the column choice byte (0: three columns)."""
    rng = random.Random(seed)
    points = [[rng.choice(list(GRID)) for _ in range(3)] for _ in range(rows)]
    out = bytes([rows, cols, layout])
    if values is None:
        values = b"".join(grid(v) for p in points for v in p)
    out += values
    out += bytes([graph_kind])
    if graph_kind == 4:  # a vertex count off by a little: one more vertex here
        out += bytes([2])
    if graph_kind < 5:
        for ids in (lists if lists is not None else knn_lists(points, 3)):
            out += bytes([len(ids)] + list(ids))
    else:
        out += raw_graph
    return out + bytes([mutation, at, indptr_layout, indices_layout])


def bound(kind=0, value=grid(1.0), boxes=b""):
    return bytes([kind]) + value + boxes


def sizes(kind=0, k=1, ef=4, block=8):
    return bytes([kind, k, ef, block])


# Perm kinds: absent, the identity, a shuffle, a shuffle with one entry
# overwritten, raw values.
ABSENT, IDENTITY, SHUFFLE, OVERWRITTEN, RAW = 0, 2, 3, 4, 5


def perm(kind=ABSENT, data=b"", layout=0):
    return bytes([kind]) if kind == ABSENT else bytes([kind]) + data + bytes([layout])


def perms(*query, target=perm()):
    """Query perms for the grouped set of both clouds (a third is ignored),
    then y's target perm."""
    return bytes([len(query)]) + b"".join(query) + target


NO_PERMS = perms()


def tetrahedra(rows, n_points, ids, cols=0, layout=0, n_kind=None):
    return bytes([rows, cols, layout, n_points if n_kind is None else n_kind]) + bytes(ids)


TET = [0, 1, 2, 3, 1, 2, 3, 4, 2, 3, 4, 5]


def delaunay(points, *, cols=0, layout=0, exponent=4, single=False, workers=0):
    """A cloud for the Delaunay builder, after an empty everything else;
    `exponent` 4 scales by 2^0."""
    before = cloud(0) + cloud(0) + bound() + sizes() + NO_PERMS + tetrahedra(0, 0, [])
    return before + bytes([len(points), cols, layout, exponent, 255 if single else 0, workers]) \
        + b"".join(grid(v) if isinstance(v, float) else v for p in points for v in p)


CUBE = [[float(x), float(y), float(z)] for x in (0, 1, 2) for y in (0, 1, 2) for z in (0, 1, 2)]

SEEDS = {
    "nearest": cloud(12, seed=1) + cloud(16, seed=2) + bound() + sizes() + NO_PERMS
    + tetrahedra(3, 6, TET),
    "bound_query_box_computed": cloud(10, seed=3) + cloud(10, seed=4)
    + bound(1, grid(0.5)) + sizes(k=4, ef=8, block=3) + NO_PERMS,
    "bound_boxes_given": cloud(10, seed=5) + cloud(8, seed=6) + bound(2, grid(1.5))
    + sizes(k=3, ef=2, block=1) + NO_PERMS,
    "bound_arbitrary_boxes": cloud(6, seed=7) + cloud(6, seed=8)
    + bound(3, grid(2.0), b"".join(grid(v) for v in [-1, -1, -1, 0, 1, 1, 1, 0] * 2))
    + sizes(k=2, ef=0) + NO_PERMS,
    "special_values": cloud(6, values=bytes([NAN, 8, 8, INF, 9, 8, NEG_INF, 8, 9, MAX, 8, 8,
                                             8, NAN, 8, 8, 8, NAN]), seed=9)
    + cloud(5, seed=10) + bound(1, bytes([NAN])) + sizes(k=5, ef=5) + NO_PERMS,
    "raw_bits": cloud(4, values=b"".join(raw(b) for b in [
        0x7FF0000000000001, 0x3FF0000000000000, 0x0000000000000001, 0x7F800001,
        0xBFF0000000000000, 0x000FFFFFFFFFFFFF, 0x8000000000000000, 0x3F800000,
        0x7FEFFFFFFFFFFFFF, 0x4000000000000000, 0x0, 0xFFFFFFFFFFFFFFFF]), seed=11)
    + cloud(4, seed=12) + bound() + sizes() + NO_PERMS,
    "strided_layouts": cloud(9, layout=2, indptr_layout=2, indices_layout=3, seed=13)
    + cloud(9, layout=4, indptr_layout=1, indices_layout=4, seed=14) + bound()
    + sizes(k=3, ef=6) + NO_PERMS + tetrahedra(3, 6, TET, layout=2),
    "malformed_graphs": cloud(7, graph_kind=4, lists=[[1, 8], [0], [2, 2], [], [6], [5], [7],
                                                      [1]], mutation=1, at=3, seed=15)
    + cloud(7, graph_kind=5, raw_graph=bytes([5, 0, 2, 3, 255, 4, 6, 1, 2, 3, 9, 255, 0]),
            seed=16)
    + bound() + sizes() + NO_PERMS,
    "huge_broadcasts": cloud(3, layout=6, seed=17) + cloud(3, indptr_layout=5, seed=18)
    + bound(1, grid(1.0)) + sizes(252, 0, 0, 0)
    + perms(perm(IDENTITY, layout=5), target=perm(SHUFFLE, bytes([1, 0]), layout=5))
    + tetrahedra(2, 4, TET[:8], layout=6),
    "few_columns": cloud(4, cols=7, values=bytes([8, 9] * 4), seed=19)
    + cloud(0, cols=9, seed=20) + bound() + sizes() + NO_PERMS,
    # k, block, ef huge in turn.
    "extreme_sizes": cloud(5, seed=21) + cloud(5, seed=22) + bound() + sizes(240, 3, 255, 0)
    + NO_PERMS + tetrahedra(1, 4, [0, 1, 2, 3], n_kind=240),
    "extreme_block": cloud(5, seed=23) + cloud(6, seed=24) + bound() + sizes(242, 2, 4, 1)
    + NO_PERMS,
    "large_breadth": cloud(7, seed=25) + cloud(9, seed=26) + bound() + sizes(250, 4, 0, 0)
    + NO_PERMS,
    "large_block": cloud(8, seed=31) + cloud(6, seed=32) + bound(1, grid(1.0))
    + sizes(251, 2, 3, 0) + NO_PERMS,
    "grouped_perms": cloud(6, seed=27) + cloud(5, seed=28) + bound(1, grid(1.5))
    + sizes(k=2, ef=3, block=2)
    + perms(perm(SHUFFLE, bytes([5, 4, 3, 2, 1])), perm(IDENTITY),
            target=perm(SHUFFLE, bytes([4, 3, 2, 1]), layout=2)),
    "grouped_not_permutations": cloud(4, seed=29) + cloud(4, seed=30) + bound()
    + sizes(block=3)
    + perms(perm(OVERWRITTEN, bytes([3, 2, 1, 0, 1])), perm(RAW, bytes([3, 0, 255, 1])),
            perm(IDENTITY), target=perm(RAW, bytes([2, 1, 0]))),
    "tetrahedra_bad_ids": cloud(0) + cloud(0) + bound() + sizes() + NO_PERMS
    + tetrahedra(4, 5, [0, 1, 2, 3, 4, 3, 2, 1, 0, 0, 1, 2, 4, 5, 6, 1], cols=5),
    "delaunay_grid_with_duplicates": delaunay(CUBE + CUBE[:5], workers=1),
    "delaunay_plane_scaled": delaunay([p for p in CUBE if p[2] == 1.0] + [[0.5, 0.5, 1.0]],
                                      exponent=0, single=True),
    # The builder's values: a grid point below 200, else a value as above.
    "delaunay_line_and_nan": delaunay([[float(t), 2 * float(t), 0.0] for t in range(-2, 3)]
                                      + [[0.0, bytes([200, NAN]), 1.0]], layout=2),
}


def main():
    CORPUS.mkdir(exist_ok=True)
    for old in CORPUS.iterdir():
        old.unlink()
    for name, data in SEEDS.items():
        (CORPUS / name).write_bytes(data)
    print(f"{len(SEEDS)} seeds in {CORPUS}")


if __name__ == "__main__":
    main()
