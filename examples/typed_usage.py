"""A small typed use of the package: `mypy --strict` must pass on it."""

import numpy as np
import numpy.typing as npt

import tevu

# Four points of a tetrahedron: every pair is an edge of its triangulation.
CORNERS = np.array([[0.0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]])
INDPTR = np.array([0, 3, 6, 9, 12], np.uint32)
INDICES = np.array([1, 2, 3, 0, 2, 3, 0, 1, 3, 0, 1, 2], np.uint32)


def nearest_corner(points: npt.NDArray[np.float64]) -> npt.NDArray[np.int64]:
    """For each point of a tetrahedron-shaped query cloud, its nearest corner."""
    corners = tevu.PreparedF64(CORNERS, INDPTR, INDICES)
    query = tevu.PreparedF64(points, INDPTR, INDICES)
    _, index = corners.query_prepared(query)
    return index.astype(np.int64)


def describe_failure(target: tevu.PreparedF64, query: tevu.PreparedF64) -> str:
    try:
        target.query_prepared(query)
    except tevu.PanicException as exc:
        return str(exc)
    return "ok"


if __name__ == "__main__":
    print(nearest_corner(CORNERS * 0.9 + 0.01), tevu.__version__)
