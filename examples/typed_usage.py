"""A small typed use of the package: `mypy --strict` must pass on it."""

import numpy as np
import numpy.typing as npt

import tevu


def hit_share(bound: float) -> tevu.PairFunction:
    """A score of one pair: the share of query points within `bound`."""
    def share(query: int, target: int, distances: tevu.Floats, indices: tevu.Ids) -> float:
        return float(np.mean(distances <= bound))
    return share


def scores(arrays: list[npt.NDArray[np.float64]]) -> npt.NDArray[np.float64]:
    clouds = [tevu.Cloud(a, morton=True) for a in arrays]
    return tevu.all_by_all(clouds, reduce=hit_share(0.1), distance_upper_bound=0.1)


def farthest_answers(arrays: list[npt.NDArray[np.float64]]) -> list[float]:
    out = []
    for answers in tevu.all_by_all(arrays, reduce=None):
        distances, _ = answers.of(0)
        out.append(float(distances.max()))
    return out


def describe_failure(target: tevu.PreparedF64, query: tevu.PreparedF64) -> str:
    try:
        target.query_prepared(query)
    except tevu.PanicException as exc:
        return str(exc)
    return "ok"


if __name__ == "__main__":
    rng = np.random.default_rng(0)
    clouds = [rng.random((500, 3)) for _ in range(4)]
    print(scores(clouds), farthest_answers(clouds), tevu.__version__)
