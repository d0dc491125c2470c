"""Slow, literal Python models of the module's searches.

They follow the documented traversal order, seeding and tie-breaking step
by step, computing in the precision of the given dtype with NumPy scalars,
so that the native code can be compared with them bit for bit on graphs
where order and seeds decide the answer.
"""

from fractions import Fraction

import numpy as np


def sq(t, q, f):
    """Squared distance (dx² + dy²) + dz², differences target minus query."""
    dx, dy, dz = (f(t[k]) - f(q[k]) for k in range(3))
    return (dx * dx + dy * dy) + dz * dz


def fold_box(points, f):
    """NaN-ignoring lane-wise box of a non-empty point set (3 lanes + pad 0)."""
    lo = [f(points[0][k]) for k in range(3)] + [f(0)]
    hi = list(lo)
    for p in points[1:]:
        for k in range(3):
            v = f(p[k])
            lo[k] = np.fmin(lo[k], v)
            hi[k] = np.fmax(hi[k], v)
    return lo, hi


def box_of(points, f):
    if len(points) == 0:
        inf = f(np.inf)
        return [inf] * 4, [-inf] * 4
    return fold_box(points, f)


def _sum4(g):
    return ((g[0] * g[0] + g[1] * g[1]) + g[2] * g[2]) + g[3] * g[3]


def box_gap2(tbox, qbox, f):
    g = [np.fmax(np.fmax(tbox[0][k] - qbox[1][k], qbox[0][k] - tbox[1][k]), f(0))
         for k in range(4)]
    return _sum4(g)


def point_gap2(q, tbox, f):
    qq = [f(q[0]), f(q[1]), f(q[2]), f(0)]
    g = [np.fmax(qq[k] - tbox[1][k], f(0)) + np.fmax(tbox[0][k] - qq[k], f(0))
         for k in range(4)]
    return _sum4(g)


def sticks_out(qbox, tbox, b):
    return any(qbox[0][k] < tbox[0][k] - b or qbox[1][k] > tbox[1][k] + b for k in range(3))


def plateau_reach(d2, f):
    """The largest squared distance, as rounded, that may belong to a point
    exactly nearer than one at d2: d2 (1 + 8 eps), plus a little near
    underflow, at most the largest finite value."""
    info = np.finfo(f)
    largest = f(info.max)
    if not d2 <= largest:
        return d2
    with np.errstate(over="ignore"):
        reach = (d2 + d2 * f(8 * info.eps)) + f(4) * f(info.smallest_subnormal)
    return reach if reach < largest else largest


def on_plateau(cur, d2, candidates, f):
    """Whether a step that did not move saw a neighbour within reach: the
    lexicographic minimum of (reach, cur) and the (distance, id) candidates
    is some other vertex."""
    best_d, best_id = plateau_reach(d2, f), cur
    for e2, v in candidates:
        if e2 < best_d or (e2 == best_d and v < best_id):
            best_d, best_id = e2, v
    return best_id != cur


def _squares_exactly(d, f):
    a = abs(float(d))
    if a == 0:
        return True
    half, edge = (26, 500) if f == np.float64 else (12, 52)
    if not 2.0**-edge <= a <= 2.0**edge:
        return False
    m, _ = np.frexp(a)
    return float(m * 2.0**half).is_integer()


def _sums_exactly(a, b, s):
    finite = all(np.isfinite(v) for v in (a, b, s))
    return finite and Fraction(float(a)) + Fraction(float(b)) == Fraction(float(s))


def distance_is_exact(t, q, f):
    """Whether sq(t, q) is sure to be exact, by the same cheap test as the
    native code: exact differences that square exactly, and exact sums."""
    squares = []
    for k in range(3):
        d = f(t[k]) - f(q[k])
        if not _sums_exactly(f(t[k]), -f(q[k]), d) or not _squares_exactly(d, f):
            return False
        squares.append(d * d)
    s = squares[0] + squares[1]
    return _sums_exactly(squares[0], squares[1], s) and _sums_exactly(s, squares[2], s + squares[2])


def may_lead_nearer(yp, y_indptr, y_indices, q, cur, reach, f):
    """Whether a neighbour of cur within reach may be exactly nearer to q:
    unless both distances are sure to be exact, it may."""
    cur_exact = None
    for e in range(int(y_indptr[cur]), int(y_indptr[cur + 1])):
        p = yp[int(y_indices[e])]
        if not sq(p, q, f) <= reach:
            continue
        if cur_exact is None:
            cur_exact = distance_is_exact(yp[cur], q, f)
        if not (cur_exact and distance_is_exact(p, q, f)):
            return True
    return False


def binary_range(points, f):
    """(top, bottom), or None for a NaN, infinite or subnormal coordinate:
    every coordinate a whole multiple of 2^-bottom below 2^top, zeros aside
    (both None when all are zero)."""
    info = np.finfo(f)
    digits = info.nmant + 1
    top = bottom = None
    for p in points:
        for c in p[:3]:
            c = f(c)
            if c == 0:
                continue
            if not np.isfinite(c) or abs(c) < info.tiny:
                return None
            m, e = np.frexp(c)
            mi = int(abs(float(m)) * 2**digits)
            lowest = int(e) - digits + (mi & -mi).bit_length() - 1
            top = int(e) if top is None else max(top, int(e))
            bottom = -lowest if bottom is None else max(bottom, -lowest)
    return top, bottom


def distances_exact_from(q, target_range, f):
    """Whether every squared distance from q to the target is sure to be
    exact, by the native code's test: q and the target all whole multiples of
    2^-bottom below 2^top, 2 (top + bottom) + 4 at most the significand's
    width."""
    if target_range is None:
        return False
    qq = [f(q[k]) for k in range(3)]
    if not all(np.isfinite(c) for c in qq):
        return False
    top, target_bottom = target_range
    largest = max(abs(c) for c in qq)
    if largest > 0:
        q_top = int(np.frexp(largest)[1])
        top = q_top if top is None else max(top, q_top)
    if top is None:
        return True
    info = np.finfo(f)
    digits = info.nmant + 1
    bottom = (digits - 4) // 2 - top
    if ((target_bottom is not None and target_bottom > bottom) or 2 * top + 4 > info.maxexp
            or -2 * bottom < info.minexp - digits + 1):
        return False
    scale = f(2.0**bottom)
    with np.errstate(under="ignore"):
        return all(c == 0 or (c * scale != 0 and c * scale == np.trunc(c * scale)) for c in qq)


def nan_ignoring_box(points, f):
    """(lo, hi) of the points, NaN coordinates ignored (a coordinate NaN in
    every point stays NaN); lo above hi when there are no points."""
    pts = np.asarray(points, dtype=f).reshape(-1, 3)
    if len(pts) == 0:
        return np.full(3, np.inf, f), np.full(3, -np.inf, f)
    with np.errstate(invalid="ignore"):
        return np.fmin.reduce(pts, axis=0), np.fmax.reduce(pts, axis=0)


def none_nearer(q, d2, box, f):
    """Whether no point of the box can be strictly nearer to q than d2: the
    squared gap from q to the box, summed as sq sums a distance, is not
    below d2."""
    lo, hi = box
    g = []
    for k in range(3):
        x = f(q[k])
        g.append(lo[k] - x if x < lo[k] else x - hi[k] if x > hi[k] else f(0))
    with np.errstate(over="ignore"):
        return (g[0] * g[0] + g[1] * g[1]) + g[2] * g[2] >= d2


def leave_plateau(yp, y_indptr, y_indices, q, cur, d2, f):
    """Breadth-first search of the vertices within reach of d2 around cur,
    neighbours in CSR order; the first strictly nearer one is returned as
    (vertex, distance), or None."""
    reach = plateau_reach(d2, f)
    if not may_lead_nearer(yp, y_indptr, y_indices, q, cur, reach, f):
        return None
    plateau, seen = [cur], {cur}
    for u in plateau:
        for e in range(int(y_indptr[u]), int(y_indptr[u + 1])):
            v = int(y_indices[e])
            e2 = sq(yp[v], q, f)
            if e2 < d2:
                return v, e2
            if e2 <= reach and v not in seen:
                seen.add(v)
                plateau.append(v)
    return None


OVERFLOW = ("squared distances overflow: finite points 1.3e154 or more apart (1.8e19 in "
            "float32) cannot be compared")


def check_not_overflowed(d2, p, q):
    """An answer at infinite squared distance between finite points fails."""
    if d2 == np.inf and np.isfinite(p[:3]).all() and np.isfinite(q[:3]).all():
        raise ValueError(OVERFLOW)


def descend(yp, y_indptr, y_indices, q, cur, f, target_range=None, box=None):
    d2 = sq(yp[cur], q, f)
    while True:
        lo, hi = int(y_indptr[cur]), int(y_indptr[cur + 1])
        if lo == hi:
            break
        best, improved = cur, False
        seen = []
        for e in range(lo, hi):
            v = int(y_indices[e])
            e2 = sq(yp[v], q, f)
            seen.append((e2, v))
            if e2 < d2 or (e2 == d2 and v < best):
                best, d2, improved = v, e2, True
        if not improved:
            exit_ = (on_plateau(cur, d2, seen, f)
                     and not distances_exact_from(q, target_range, f)
                     and not (box is not None and none_nearer(q, d2, box, f))
                     and leave_plateau(yp, y_indptr, y_indices, q, cur, d2, f))
            if not exit_:
                break
            best, d2 = exit_
        cur = best
    return cur, d2


def greedy(xp, x_indptr, x_indices, yp, y_indptr, y_indices, dtype,
           bound=None, target_box=None, query_box=None):
    """Nearest neighbour by greedy descent along the query graph.

    With `bound`, `target_box` defaults to the box of yp and `query_box` to
    the box of xp.
    """
    f = dtype
    n = len(x_indptr) - 1
    ny = len(yp)
    inf = f(np.inf)
    dist = np.zeros(n, dtype=f)
    idx = np.zeros(n, dtype=np.uint64)
    mode = None
    if bound is not None:
        if n == 0:
            return dist, idx
        b = f(bound)
        b2 = b * b
        tbox = target_box if target_box is not None else box_of(yp, f)
        qbox = query_box if query_box is not None else fold_box(xp, f)
        if box_gap2(tbox, qbox, f) > b2:
            dist[:] = inf
            idx[:] = ny
            return dist, idx
        mode = "prune" if sticks_out(qbox, tbox, b) else "filter"

    target_range, box = binary_range(yp, f), nan_ignoring_box(yp, f)
    marks = [False] * n
    stack = []
    scan, carried = 0, 0
    while True:
        start = next((j for j in range(scan, n) if not marks[j]), None)
        if start is None:
            break
        scan = start + 1
        marks[start] = True
        stack.append((carried, start))
        while stack:
            seed, i = stack.pop()
            q = xp[i]
            handed = seed
            answered = False
            if not (mode == "prune" and point_gap2(q, tbox, f) > b2):
                cur, d2 = descend(yp, y_indptr, y_indices, q, seed, f, target_range, box)
                check_not_overflowed(d2, yp[cur], q)
                d = np.sqrt(f(d2))
                if not (mode == "prune" and d * d > b2):
                    dist[i], idx[i] = d, cur
                    handed = carried = cur
                    answered = True
            if not answered:
                dist[i], idx[i] = inf, ny
            for e in range(int(x_indptr[i]), int(x_indptr[i + 1])):
                k = int(x_indices[e])
                if not marks[k]:
                    marks[k] = True
                    stack.append((handed, k))
    if mode == "filter":
        for i in range(n):
            if dist[i] * dist[i] > b2:
                dist[i], idx[i] = inf, ny
    return dist, idx


# ---------------------------------------------------------------------------
# k nearest: best-first walks over the target graph


def neighbours(indptr, indices, v):
    """v's neighbour ids; decreasing offsets mean none."""
    lo, hi = int(indptr[v]), int(indptr[v + 1])
    return [int(m) for m in indices[lo:hi]] if hi >= lo else []


def total_order_key(d):
    """The IEEE total order of a float's bit pattern, as an int: the bits
    read as a signed integer, all but the sign flipped when negative."""
    a = np.asarray(d)
    bits = int(a.view(np.int64 if a.dtype == np.float64 else np.int32))
    mask = (1 << (8 * a.dtype.itemsize - 1)) - 1
    return bits ^ mask if bits < 0 else bits


class CandidateHeap:
    """Binary min-heap of (squared distance, index) keyed by distance alone."""

    def __init__(self):
        self.items = []

    def key(self, slot):
        return total_order_key(self.items[slot][0])

    def push(self, item):
        self.items.append(item)
        self.sift_up(len(self.items) - 1)

    def sift_up(self, pos):
        item = self.items[pos]
        key = total_order_key(item[0])
        while pos > 0 and self.key((pos - 1) // 2) > key:
            self.items[pos] = self.items[(pos - 1) // 2]
            pos = (pos - 1) // 2
        self.items[pos] = item

    def pop(self):
        last = self.items.pop()
        if not self.items:
            return last
        top, hole = self.items[0], 0
        while 2 * hole + 2 < len(self.items):  # two children
            left, right = 2 * hole + 1, 2 * hole + 2
            child = left if self.key(left) < self.key(right) else right
            self.items[hole], hole = self.items[child], child
        if 2 * hole + 1 == len(self.items) - 1:  # only a left child, the last slot
            self.items[hole], hole = self.items[2 * hole + 1], 2 * hole + 1
        self.items[hole] = last
        self.sift_up(hole)
        return top


def insertion_point(result, d):
    """Leading entries with distance <= d, by the halving search."""
    size, base = len(result), 0
    while size > 1:
        half = size // 2
        if result[base + half][0] <= d:
            base += half
        size -= half
    return base + 1 if result[base][0] <= d else base


class BestFirst:
    """Walks over one target graph with stamps that persist across walks."""

    def __init__(self, yp, y_indptr, y_indices, ef, f):
        self.yp, self.indptr, self.indices, self.ef, self.f = yp, y_indptr, y_indices, ef, f
        self.stamps = [0] * len(yp)
        self.stamp = 0

    def walk(self, q, seed):
        self.stamp = (self.stamp + 1) % 2**32
        if self.stamp == 0:
            self.stamps = [0] * len(self.stamps)
            self.stamp = 1
        heap, result = CandidateHeap(), []
        start = (sq(self.yp[seed], q, self.f), seed)
        self.stamps[seed] = self.stamp
        heap.push(start)
        result.append(start)
        while heap.items:
            d, v = heap.pop()
            if len(result) == self.ef and d > result[-1][0]:
                break
            for m in neighbours(self.indptr, self.indices, v):
                if self.stamps[m] == self.stamp:
                    continue
                self.stamps[m] = self.stamp
                e = sq(self.yp[m], q, self.f)
                if len(result) < self.ef or result[-1][0] > e:
                    heap.push((e, m))
                    p = insertion_point(result, e)
                    if len(result) == self.ef:
                        result.pop()
                    result.insert(p, (e, m))
        return result


def knn(xp, x_indptr, x_indices, yp, y_indptr, y_indices, k, ef, dtype,
        bound=None, target_box=None, query_box=None):
    """The k nearest by best-first walks along the query graph.

    With `bound`, `target_box` defaults to the box of yp and `query_box` to
    the box of xp. Returns (n, k) distances and indices.
    """
    f = dtype
    n, ny = len(x_indptr) - 1, len(yp)
    dist = np.full((n, k), np.inf, dtype=f)
    idx = np.full((n, k), ny, dtype=np.uint64)
    in_force = per_point = False
    if bound is not None:
        if n == 0:
            return dist, idx
        r = f(bound)
        r2 = r * r
        tbox = target_box if target_box is not None else box_of(yp, f)
        qbox = query_box if query_box is not None else fold_box(xp, f)
        if box_gap2(tbox, qbox, f) > r2:
            return dist, idx
        in_force, per_point = True, sticks_out(qbox, tbox, r)

    walker = BestFirst(yp, y_indptr, y_indices, ef, f)
    queued = [False] * n
    stack, seed = [], 0
    for start in range(n):
        if queued[start]:
            continue
        queued[start] = True
        stack.append((seed, start))
        while stack:
            s, row = stack.pop()
            q = xp[row]
            if not (per_point and point_gap2(q, tbox, f) > r2):
                result = walker.walk(q, s)
                for d2, v in result[:k]:
                    check_not_overflowed(d2, yp[v], q)
                j = 0
                while j < min(k, len(result)) and not (in_force and result[j][0] > r2):
                    dist[row, j], idx[row, j] = np.sqrt(result[j][0]), result[j][1]
                    j += 1
                if j > 0:
                    seed = result[0][1]
            for m in neighbours(x_indptr, x_indices, row):
                if not queued[m]:
                    queued[m] = True
                    stack.append((seed, m))
    return dist, idx


DROPPED = 2**32 - 1


def _block_pass(xp, m, yp, y_indptr, y_indices, vertex, d2, done, f, target_range, box):
    """One lock-step pass: every descending slot takes one step, slots
    grouped by their current vertex, whose neighbours are gathered once."""
    active = sorted((s for s in range(len(done)) if not done[s]), key=lambda s: vertex[s])
    r = 0
    while r < len(active):
        u = vertex[active[r]]
        ids = [int(y_indices[e]) for e in range(int(y_indptr[u]), int(y_indptr[u + 1]))]
        gathered = [yp[j] for j in ids]
        while r < len(active) and vertex[active[r]] == u:
            s = active[r]
            r += 1
            best, best_id, taken = d2[s], u, False
            seen = []
            for p, j in zip(gathered, ids):
                d = sq(p, xp[m + s], f)
                seen.append((d, j))
                if best > d or (d == best and j < best_id):
                    best, best_id, taken = d, j, True
            if (not taken and on_plateau(u, d2[s], seen, f)
                    and not distances_exact_from(xp[m + s], target_range, f)
                    and not none_nearer(xp[m + s], d2[s], box, f)):
                exit_ = leave_plateau(yp, y_indptr, y_indices, xp[m + s], u, d2[s], f)
                if exit_:
                    (best_id, best), taken = exit_, True
            if taken:
                vertex[s], d2[s] = best_id, best
            else:
                done[s] = True


def blocked(xp, n, yp, y_indptr, y_indices, block, dtype,
            bound=None, target_box=None, query_box=None):
    """Nearest neighbour by blocked descent of the first n points of xp.

    With `bound`, `target_box` defaults to the box of yp and `query_box` to
    the box of xp.
    """
    f = dtype
    ny = len(yp)
    inf = f(np.inf)
    dist = np.zeros(n, dtype=f)
    idx = np.zeros(n, dtype=np.uint64)
    if n == 0:
        return dist, idx
    if ny == 0:
        dist[:] = inf
        return dist, idx
    mode = None
    if bound is not None:
        b = f(bound)
        b2 = b * b
        tbox = target_box if target_box is not None else box_of(yp, f)
        qbox = query_box if query_box is not None else fold_box(xp, f)
        if box_gap2(tbox, qbox, f) > b2:
            dist[:] = inf
            idx[:] = ny
            return dist, idx
        mode = "prune" if sticks_out(qbox, tbox, b) else "filter"

    target_range, box = binary_range(yp, f), nan_ignoring_box(yp, f)
    nb = max(block, 1)
    seed = 0
    for m in range(0, n, nb):
        size = min(nb, n - m)
        vertex, d2, done = [DROPPED] * size, [None] * size, [True] * size
        for s in range(size):
            q = xp[m + s]
            if mode == "prune" and point_gap2(q, tbox, f) > b2:
                continue
            vertex[s], d2[s], done[s] = seed, sq(yp[seed], q, f), False
        while not all(done):
            _block_pass(xp, m, yp, y_indptr, y_indices, vertex, d2, done, f, target_range,
                        box)
        for s in range(size):
            if vertex[s] != DROPPED:
                check_not_overflowed(d2[s], yp[vertex[s]], xp[m + s])
        for s in range(size):
            v = m + s
            if vertex[s] == DROPPED or (mode is not None and d2[s] > b2):
                dist[v], idx[v] = inf, ny
            else:
                dist[v], idx[v] = np.sqrt(f(d2[s])), vertex[s]
                seed = vertex[s]
    return dist, idx
