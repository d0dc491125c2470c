"""The k-d trees the module is compared with, used the way a caller would.

cKDTree works in float64 only: for single precision it gets the
float32-rounded points cast back to float64, so it answers the same
question the module's f32 functions do. pykdtree gets the points in their
own precision. Both are built once per cloud and queried on one thread
(pykdtree's OpenMP pool is pinned to one thread by run.py before it is
imported); thread-pool scenarios run them in the same pool as the module.
"""

import numpy as np
from scipy.spatial import cKDTree

try:
    from pykdtree.kdtree import KDTree
except ImportError:  # the suite still runs, against cKDTree alone
    KDTree = None

PEERS = ("cKDTree", "pykdtree") if KDTree is not None else ("cKDTree",)


def peer_points(points, peer):
    """The array a peer is handed for `points` (float64 or float32)."""
    if peer == "cKDTree" and points.dtype != np.float64:
        return points.astype(np.float64)
    return points


def build(peer, points):
    points = peer_points(points, peer)
    return cKDTree(points) if peer == "cKDTree" else KDTree(points)


def query(peer, tree, x, k=1, bound=None):
    """(distances, indices) of the k nearest; misses are (inf, n) for both."""
    if peer == "cKDTree":
        limit = np.inf if bound is None else bound
        return tree.query(x, k=k, distance_upper_bound=limit, workers=1)
    return tree.query(x, k=k, distance_upper_bound=bound)
