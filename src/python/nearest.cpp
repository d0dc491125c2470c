// all_nearest_neighbours and all_nearest_neighbours_f32: k = 1 between two
// clouds given as arrays.
#include "../core/greedy.hpp"
#include "common.hpp"
#include "registry.hpp"

namespace tevu::py {
namespace {

constexpr const char* kParams[] = {"x_points", "x_indices", "x_neighbors",
                                   "y_points", "y_indices", "y_neighbors"};

template <class T>
PyObject* all_nearest_neighbours(const char* name, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    PyObject* a[6];
    if (!parse_fastcall({name, kParams, 6, 6}, args, nargs, kwnames, a)) return nullptr;
    CloudArrays<T> x, y;
    if (!take_cloud<T>(a, kParams, x) || !take_cloud<T>(a + 3, kParams + 3, y)) return nullptr;
    NearestResult<T> result;
    const bool ok = run_detached([&] {
        const PackedPoints<T> x_packed = pack_points(x.points);
        const PackedPoints<T> y_packed = pack_points(y.points);
        result = search_pruned(graph_view(x_packed, x), graph_view(y_packed, y), nullptr);
    });
    if (!ok) return nullptr;
    return distance_index_pair(std::move(result.distances), std::move(result.indices));
}

PyObject* all_nearest_neighbours_f64(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
    return all_nearest_neighbours<double>("all_nearest_neighbours", args, nargs, kwnames);
}

PyObject* all_nearest_neighbours_f32(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
    return all_nearest_neighbours<float>("all_nearest_neighbours_f32", args, nargs, kwnames);
}

#define NEAREST_DOC_BODY                                                                    \
    "(x_points, x_indices, x_neighbors, y_points, y_indices, y_neighbors)\n--\n\n"         \
    "For each point of `x`, the nearest neighbour among the points of `y`, both\n"          \
    "clouds given as neighbourhood graphs (points plus CSR offsets `*_indices` and\n"       \
    "neighbour ids `*_neighbors`). Returns (distances, indices).\n\n"                        \
    "The heavy search runs with the interpreter lock released, so that independent\n"       \
    "calls (for instance an all-by-all join driven from a Python thread pool)\n"            \
    "execute in parallel on several cores."

}  // namespace

PyMethodDef all_nearest_neighbours_def = {
    "all_nearest_neighbours", as_method(all_nearest_neighbours_f64),
    METH_FASTCALL | METH_KEYWORDS, "all_nearest_neighbours" NEAREST_DOC_BODY};

PyMethodDef all_nearest_neighbours_f32_def = {
    "all_nearest_neighbours_f32", as_method(all_nearest_neighbours_f32),
    METH_FASTCALL | METH_KEYWORDS,
    "all_nearest_neighbours_f32" NEAREST_DOC_BODY "\n\nSingle-precision (float32) variant."};

}  // namespace tevu::py
