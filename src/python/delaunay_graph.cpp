// delaunay_graph: the CSR Delaunay graph of a cloud, built from its points.
#include <type_traits>

#include "../core/delaunay_graph.hpp"
#include "common.hpp"
#include "registry.hpp"

namespace tevu::py {
namespace {

constexpr const char* kParams[] = {"points", "workers"};

// float64 points as they are, float32 points widened exactly.
bool is_float32_points(PyObject* obj) {
    if (!PyArray_Check(obj)) return false;
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(obj);
    PyArray_Descr* f32 = PyArray_DescrFromType(NPY_FLOAT32);
    const bool same = f32 != nullptr && PyArray_EquivTypes(PyArray_DESCR(a), f32);
    Py_XDECREF(f32);
    return same;
}

// Views the points while attached, then builds with the lock released.
template <class T>
bool build_detached(const ArrayRef& points, std::size_t workers, CsrGraph& graph) {
    const StridedView2D<T> view = view_2d<T>(points);
    return run_detached([&] {
        if constexpr (std::is_same_v<T, float>) {
            graph = delaunay_graph_f32(view, workers);
        } else {
            graph = delaunay_graph_f64(view, workers);
        }
    });
}

PyObject* delaunay_graph(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!parse_fastcall({"delaunay_graph", kParams, 2, 1, 1}, args, nargs, kwnames, a)) {
        return nullptr;
    }
    const bool single = is_float32_points(a[0]);
    ArrayRef points;
    const bool taken = single ? take_points<float>(a[0], kParams[0], points)
                              : take_points<double>(a[0], kParams[0], points);
    if (!taken) return nullptr;
    std::size_t workers = 1;
    if (a[1] != nullptr) {
        if (!to_size(a[1], kParams[1], workers)) return nullptr;
        if (workers == 0) {
            PyErr_SetString(PyExc_ValueError, "argument 'workers': must be at least 1");
            return nullptr;
        }
    }
    CsrGraph graph;
    const bool ok = single ? build_detached<float>(points, workers, graph)
                           : build_detached<double>(points, workers, graph);
    return ok ? csr_pair(std::move(graph)) : nullptr;
}

}  // namespace

PyMethodDef delaunay_graph_def = {
    "delaunay_graph",
    as_method(delaunay_graph),
    METH_FASTCALL | METH_KEYWORDS,
    "delaunay_graph(points, *, workers=1)\n--\n\n"
    "Builds the Delaunay graph (indptr, indices) of a cloud from its points: a\n"
    "2-D float64 or float32 array (float32 is computed in float64) whose first\n"
    "three columns are x, y, z, in any memory layout. Two points are neighbours\n"
    "when an edge of the cloud's Delaunay triangulation joins them; each point\n"
    "lists its distinct neighbours in ascending order, as graph_from_simplices\n"
    "returns them, and both arrays are uint32, ready for every search of this\n"
    "module. Exact predicates decide every geometric test, and ties (cospherical\n"
    "points, as on grids) are broken by a fixed symbolic perturbation, so the\n"
    "graph depends on the points alone.\n\n"
    "Clouds without a 3-D triangulation still get a graph on which greedy\n"
    "descent is exact: later copies of a duplicated point are linked to its\n"
    "first copy (both ways); up to four distinct points are all joined; points\n"
    "on one plane get the plane's 2-D Delaunay graph, points on one line the\n"
    "path along it. A NaN or infinite coordinate raises ValueError naming the\n"
    "row.\n\n"
    "Runs with the interpreter lock released; `workers` (at least 1) is the\n"
    "number of threads the build may use, and does not change the result."};

}  // namespace tevu::py
