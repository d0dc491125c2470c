"""A sampled check that a user's graph belongs to its points.

Searches take the graph as given: the graph of other points, or of these
points in another order, is well formed and gives wrong answers without any
error. Checking that a graph is the Delaunay graph of its points costs about
as much as building it, so `check_graph_fits` tests two properties every
Delaunay graph has, on a few sampled points, against brute force:

- each point's nearest other point is one of its neighbours (the edge to it
  has an empty diametral ball, so every Delaunay triangulation holds it);
- a descent on the graph ends at a nearest point of the cloud.

A mismatched graph fails both almost surely. Passing is evidence, not proof.
"""

import numpy as np
import numpy.typing as npt

import _tevu

# Points whose nearest neighbour is checked against brute force, random
# queries checked so, and the cloud's own points searched for (each must be
# found at distance 0, which needs no brute force).
_SAMPLED = 16
_QUERIES = 48
_OWN_POINTS = 1024
# Squared distances that agree this closely are the same up to rounding: a
# descent compares rounded values, and near ties may go either way.
_RELATIVE_ROUNDING = 2.0 ** -30
_ABOUT_ZERO = 4 * float(np.finfo(np.float64).tiny)


def check_graph_fits(points: npt.NDArray[np.float64], indptr: npt.NDArray[np.uint32],
                     indices: npt.NDArray[np.uint32]) -> None:
    """Raises ValueError when the checked CSR graph (indptr, indices) is
    plainly not a Delaunay graph of `points` (finite, C-contiguous float64)."""
    n = len(points)
    if n < 2:
        return
    degree = np.diff(indptr)
    if not degree.all():
        raise ValueError(
            f"graph: point {int(np.argmin(degree))} has no neighbours, so searches can "
            "neither reach nor leave it; is it the graph of these points? (scipy's Delaunay "
            "leaves points out of every simplex: later copies of a duplicated point, and "
            "points it takes for near copies, as in clouds far from the origin; "
            "delaunay_graph links every point)")
    rng = np.random.default_rng(n)
    columns = np.ascontiguousarray(points.T)
    for i in rng.choice(n, size=min(n, _SAMPLED), replace=False):
        _check_nearest_is_neighbour(columns, points, int(i), indices[indptr[i]:indptr[i + 1]])
    lo, hi = points.min(axis=0), points.max(axis=0)
    queries = rng.uniform(lo, hi, size=(_QUERIES, 3))
    own = rng.choice(n, size=min(n, _OWN_POINTS), replace=False)
    distances, found = _search(np.ascontiguousarray(points[own]), points, indptr, indices)
    if np.any(distances != 0):
        k = int(np.argmax(distances != 0))
        raise ValueError(
            f"graph does not fit the points: a search for point {int(own[k])} ends at point "
            f"{int(found[k])}, {distances[k]:.6g} away; searches are exact only on the "
            "points' Delaunay graph")
    _, found = _search(queries, points, indptr, indices)
    for query, answer in zip(queries, found):
        _check_descent(columns, query, int(answer))


def _search(queries: npt.NDArray[np.float64], points: npt.NDArray[np.float64],
            indptr: npt.NDArray[np.uint32],
            indices: npt.NDArray[np.uint32]) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.uint64]]:
    """Nearest points by descent; without query edges, every search starts
    where the one before it ended, so most cross a good part of the graph."""
    no_edges = np.zeros(len(queries) + 1, dtype=np.uint32), np.empty(0, dtype=np.uint32)
    return _tevu.all_nearest_neighbours(queries, *no_edges, points, indptr, indices)


def _squared_distances(columns: npt.NDArray[np.float64],
                       q: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    d2: npt.NDArray[np.float64] = np.square(columns[0] - q[0])
    d2 += np.square(columns[1] - q[1])
    d2 += np.square(columns[2] - q[2])
    return d2


def _as_near(found: float, nearest: float) -> bool:
    return found <= nearest + nearest * _RELATIVE_ROUNDING + _ABOUT_ZERO


def _check_nearest_is_neighbour(columns: npt.NDArray[np.float64],
                                points: npt.NDArray[np.float64], i: int,
                                neighbours: npt.NDArray[np.uint32]) -> None:
    d2 = _squared_distances(columns, points[i])
    d2[i] = np.inf
    nearest = int(np.argmin(d2))
    if not _as_near(float(d2[neighbours].min()), float(d2[nearest])):
        raise ValueError(
            f"graph does not fit the points: point {nearest} is the nearest to point {i} "
            f"(at {np.sqrt(d2[nearest]):.6g}), but no neighbour of point {i} is as near "
            f"(the nearest is at {np.sqrt(d2[neighbours].min()):.6g}); a point's nearest "
            "point is always a Delaunay neighbour: is it the graph of these points, in "
            "this order?")


def _check_descent(columns: npt.NDArray[np.float64], query: npt.NDArray[np.float64],
                   answer: int) -> None:
    d2 = _squared_distances(columns, query)
    nearest = int(np.argmin(d2))
    if not _as_near(float(d2[answer]), float(d2[nearest])):
        raise ValueError(
            f"graph does not fit the points: a search for {query.tolist()} ends at point "
            f"{answer} (at {np.sqrt(d2[answer]):.6g}), but point {nearest} is nearer (at "
            f"{np.sqrt(d2[nearest]):.6g}); searches are exact only on the points' Delaunay "
            "graph")
