// graph_from_simplices: the CSR neighbourhood graph of a cloud from the
// tetrahedra of its triangulation.
#include "../core/simplex_graph.hpp"
#include "common.hpp"
#include "registry.hpp"

namespace tevu::py {
namespace {

constexpr const char* kParams[] = {"simplices", "n_points"};

PyObject* graph_from_simplices(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    PyObject* a[2];
    if (!parse_fastcall({"graph_from_simplices", kParams, 2, 2}, args, nargs, kwnames, a)) {
        return nullptr;
    }
    ArrayRef simplices;
    if (!take_array<std::uint64_t>(a[0], kParams[0], 2, simplices)) return nullptr;
    std::size_t n_points = 0;
    if (!to_size(a[1], kParams[1], n_points)) return nullptr;
    const StridedView2D<std::uint64_t> rows = view_2d<std::uint64_t>(simplices);
    CsrGraph graph;
    const bool ok = run_detached([&] {
        graph = tevu::graph_from_simplices(rows, n_points);
    });
    return ok ? csr_pair(std::move(graph)) : nullptr;
}

}  // namespace

PyMethodDef graph_from_simplices_def = {
    "graph_from_simplices",
    as_method(graph_from_simplices),
    METH_FASTCALL | METH_KEYWORDS,
    "graph_from_simplices(simplices, n_points)\n--\n\n"
    "Builds the vertex-adjacency CSR graph (indptr, indices) of a tetrahedral\n"
    "mesh, usually a Delaunay triangulation: `simplices` is a 2-D uint64 array\n"
    "with one tetrahedron per row (vertex ids in columns 0 to 3), and two of the\n"
    "`n_points` vertices are neighbours when a tetrahedron has both. Each vertex\n"
    "lists its distinct neighbours in ascending order; both arrays are uint32 and\n"
    "can be passed to every search of this module.\n\n"
    "Runs with the interpreter lock released, so builds can be parallelised from\n"
    "Python (for instance with a thread pool)."};

}  // namespace tevu::py
