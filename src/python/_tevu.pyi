# Type stubs of the extension module, installed beside it.
#
# Arrays are never converted: every parameter takes exactly the dtype named
# here (2-D points, 1-D CSR arrays and permutations).
from collections.abc import Sequence
from typing import final

import numpy as np
import numpy.typing as npt

_Points64 = npt.NDArray[np.float64]
_Points32 = npt.NDArray[np.float32]
_Csr = npt.NDArray[np.uint32]
_Perm = npt.NDArray[np.int64]
# NumPy's C unsigned long: pointer width, uint64 on the supported platforms.
_Index = npt.NDArray[np.uint64]

__all__: list[str]

def all_nearest_neighbours(
    x_points: _Points64, x_indices: _Csr, x_neighbors: _Csr,
    y_points: _Points64, y_indices: _Csr, y_neighbors: _Csr,
) -> tuple[npt.NDArray[np.float64], _Index]: ...
def all_nearest_neighbours_f32(
    x_points: _Points32, x_indices: _Csr, x_neighbors: _Csr,
    y_points: _Points32, y_indices: _Csr, y_neighbors: _Csr,
) -> tuple[npt.NDArray[np.float32], _Index]: ...
def all_nearest_neighbours_k(
    x_points: _Points64, x_indices: _Csr, x_neighbors: _Csr,
    y_points: _Points64, y_indices: _Csr, y_neighbors: _Csr, k: int, ef: int,
) -> tuple[npt.NDArray[np.float64], _Index]: ...
def all_nearest_neighbours_k_f32(
    x_points: _Points32, x_indices: _Csr, x_neighbors: _Csr,
    y_points: _Points32, y_indices: _Csr, y_neighbors: _Csr, k: int, ef: int,
) -> tuple[npt.NDArray[np.float32], _Index]: ...
def graph_from_simplices(
    simplices: npt.NDArray[np.uint64], n_points: int
) -> tuple[_Csr, _Csr]: ...
def delaunay_graph(
    points: _Points64 | _Points32, *, workers: int = 1
) -> tuple[_Csr, _Csr]: ...

@final
class PreparedF64:
    def __init__(self, points: _Points64, indptr: _Csr, indices: _Csr) -> None: ...
    @property
    def n(self) -> int: ...
    @property
    def data(self) -> _Points64: ...
    @property
    def indptr(self) -> _Csr: ...
    @property
    def indices(self) -> _Csr: ...
    def query(
        self, x_points: _Points64, x_indptr: _Csr, x_indices: _Csr,
        distance_upper_bound: float | None = None,
    ) -> tuple[npt.NDArray[np.float64], _Index]: ...
    def query_k(
        self, x_points: _Points64, x_indptr: _Csr, x_indices: _Csr, k: int, ef: int,
        distance_upper_bound: float | None = None,
    ) -> tuple[npt.NDArray[np.float64], _Index]: ...
    def query_prepared(
        self, other: PreparedF64, distance_upper_bound: float | None = None
    ) -> tuple[npt.NDArray[np.float64], _Index]: ...
    def query_prepared_k(
        self, other: PreparedF64, k: int, ef: int, distance_upper_bound: float | None = None
    ) -> tuple[npt.NDArray[np.float64], _Index]: ...
    def query_prepared_blocked(
        self, other: PreparedF64, block: int = 8, distance_upper_bound: float | None = None
    ) -> tuple[npt.NDArray[np.float64], _Index]: ...
    def query_grouped(
        self, grouped: GroupedQueriesF64, target_perm: _Perm | None, block: int = 32,
        distance_upper_bound: float | None = None, finalize: bool = True,
    ) -> tuple[npt.NDArray[np.float64], _Index]: ...

@final
class PreparedF32:
    def __init__(self, points: _Points32, indptr: _Csr, indices: _Csr) -> None: ...
    @property
    def n(self) -> int: ...
    @property
    def data(self) -> _Points32: ...
    @property
    def indptr(self) -> _Csr: ...
    @property
    def indices(self) -> _Csr: ...
    def query(
        self, x_points: _Points32, x_indptr: _Csr, x_indices: _Csr,
        distance_upper_bound: float | None = None,
    ) -> tuple[npt.NDArray[np.float32], _Index]: ...
    def query_k(
        self, x_points: _Points32, x_indptr: _Csr, x_indices: _Csr, k: int, ef: int,
        distance_upper_bound: float | None = None,
    ) -> tuple[npt.NDArray[np.float32], _Index]: ...
    def query_prepared(
        self, other: PreparedF32, distance_upper_bound: float | None = None
    ) -> tuple[npt.NDArray[np.float32], _Index]: ...
    def query_prepared_k(
        self, other: PreparedF32, k: int, ef: int, distance_upper_bound: float | None = None
    ) -> tuple[npt.NDArray[np.float32], _Index]: ...
    def query_prepared_blocked(
        self, other: PreparedF32, block: int = 8, distance_upper_bound: float | None = None
    ) -> tuple[npt.NDArray[np.float32], _Index]: ...
    def query_grouped(
        self, grouped: GroupedQueriesF32, target_perm: _Perm | None, block: int = 32,
        distance_upper_bound: float | None = None, finalize: bool = True,
    ) -> tuple[npt.NDArray[np.float32], _Index]: ...

@final
class GroupedQueriesF64:
    @staticmethod
    def prepare(
        queries: Sequence[PreparedF64], query_perms: Sequence[_Perm | None]
    ) -> GroupedQueriesF64: ...
    @property
    def n_points(self) -> int: ...
    @property
    def n_clouds(self) -> int: ...
    @property
    def offsets(self) -> _Index: ...
    @property
    def perm(self) -> _Index: ...
    @property
    def points(self) -> _Points64: ...
    @property
    def query_perms(self) -> tuple[_Perm | None, ...]: ...

@final
class GroupedQueriesF32:
    @staticmethod
    def prepare(
        queries: Sequence[PreparedF32], query_perms: Sequence[_Perm | None]
    ) -> GroupedQueriesF32: ...
    @property
    def n_points(self) -> int: ...
    @property
    def n_clouds(self) -> int: ...
    @property
    def offsets(self) -> _Index: ...
    @property
    def perm(self) -> _Index: ...
    @property
    def points(self) -> _Points32: ...
    @property
    def query_perms(self) -> tuple[_Perm | None, ...]: ...
