"""Slow, literal Python models of the module's searches.

They follow the documented traversal order, seeding and tie-breaking step
by step, computing in the precision of the given dtype with NumPy scalars,
so that the native code can be compared with them bit for bit on graphs
where order and seeds decide the answer.
"""

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


def descend(yp, y_indptr, y_indices, q, cur, f):
    d2 = sq(yp[cur], q, f)
    while True:
        lo, hi = int(y_indptr[cur]), int(y_indptr[cur + 1])
        if lo == hi:
            break
        best, improved = cur, False
        for e in range(lo, hi):
            v = int(y_indices[e])
            e2 = sq(yp[v], q, f)
            if e2 < d2 or (e2 == d2 and v < best):
                best, d2, improved = v, e2, True
        if not improved:
            break
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
                cur, d2 = descend(yp, y_indptr, y_indices, q, seed, f)
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


DROPPED = 2**32 - 1


def _block_pass(xp, m, yp, y_indptr, y_indices, vertex, d2, done, f):
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
            for p, j in zip(gathered, ids):
                d = sq(p, xp[m + s], f)
                if best > d or (d == best and j < best_id):
                    best, best_id, taken = d, j, True
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
            _block_pass(xp, m, yp, y_indptr, y_indices, vertex, d2, done, f)
        for s in range(size):
            v = m + s
            if vertex[s] == DROPPED or (mode is not None and d2[s] > b2):
                dist[v], idx[v] = inf, ny
            else:
                dist[v], idx[v] = np.sqrt(f(d2[s])), vertex[s]
                seed = vertex[s]
    return dist, idx
