"""Exact nearest neighbours between 3-D point clouds, by greedy descent over
each cloud's Delaunay graph.

The extension module `_tevu` does the searching; this package re-exports its
callables unchanged and adds what a user of many clouds needs around them.
"""

from _tevu import (
    GroupedQueriesF32,
    GroupedQueriesF64,
    PreparedF32,
    PreparedF64,
    all_nearest_neighbours,
    all_nearest_neighbours_f32,
    all_nearest_neighbours_k,
    all_nearest_neighbours_k_f32,
    delaunay_graph,
    graph_from_simplices,
)

from . import _pickling
from ._cloud import Cloud
from ._errors import PanicException
from ._grouped_join import TargetAnswers
from ._join import all_by_all
from ._reduce import Floats, Ids, PairFunction, Reduction

__version__ = "0.1.0"

_pickling.register()

__all__ = [
    "Cloud",
    "Floats",
    "Ids",
    "GroupedQueriesF32",
    "GroupedQueriesF64",
    "PairFunction",
    "PanicException",
    "PreparedF32",
    "PreparedF64",
    "Reduction",
    "TargetAnswers",
    "__version__",
    "all_by_all",
    "all_nearest_neighbours",
    "all_nearest_neighbours_f32",
    "all_nearest_neighbours_k",
    "all_nearest_neighbours_k_f32",
    "delaunay_graph",
    "graph_from_simplices",
]
