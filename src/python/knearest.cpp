// all_nearest_neighbours_k and all_nearest_neighbours_k_f32: the k nearest
// between two clouds given as arrays.
#include "../core/knn.hpp"
#include "common.hpp"
#include "registry.hpp"

namespace tevu::py {
namespace {

constexpr const char* kParams[] = {"x_points", "x_indices", "x_neighbors", "y_points",
                                   "y_indices", "y_neighbors", "k", "ef"};

template <class T>
PyObject* all_nearest_neighbours_k(const char* name, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    PyObject* a[8];
    if (!parse_fastcall({name, kParams, 8, 8}, args, nargs, kwnames, a)) return nullptr;
    CloudArrays<T> x, y;
    std::size_t k = 0;
    std::size_t ef = 0;
    if (!take_cloud<T>(a, kParams, x) || !take_cloud<T>(a + 3, kParams + 3, y) ||
        !to_size(a[6], kParams[6], k) || !to_size(a[7], kParams[7], ef)) {
        return nullptr;
    }
    KnnResult<T> result;
    const bool ok = run_detached([&] {
        const PackedPoints<T> x_packed = pack_points(x.points);
        const PackedPoints<T> y_packed = pack_points(y.points);
        result = search_k(graph_view(x_packed, x), graph_view(y_packed, y), k, ef, nullptr);
    });
    if (!ok) return nullptr;
    return distance_index_pair(std::move(result.distances), std::move(result.indices),
                               result.rows, result.cols);
}

PyObject* all_nearest_neighbours_k_f64(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    return all_nearest_neighbours_k<double>("all_nearest_neighbours_k", args, nargs, kwnames);
}

PyObject* all_nearest_neighbours_k_f32(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    return all_nearest_neighbours_k<float>("all_nearest_neighbours_k_f32", args, nargs, kwnames);
}

#define NEAREST_K_DOC_BODY                                                                   \
    "(x_points, x_indices, x_neighbors, y_points, y_indices, y_neighbors, k, ef)\n--\n\n"  \
    "For each point of `x`, the `k` nearest neighbours among the points of `y`, both\n"     \
    "clouds given as neighbourhood graphs (points plus CSR offsets `*_indices` and\n"       \
    "neighbour ids `*_neighbors`; the CSR arrays may have any strides).\n\n"                 \
    "Each query explores `ef >= k` candidates of y's graph, best first: a larger `ef`\n"    \
    "finds the true neighbours more reliably, a smaller one is faster.\n\n"                  \
    "Returns (distances, indices), two (N, k) arrays whose rows are sorted ascending\n"     \
    "by distance; entries the search could not fill are (inf, |y|).\n\n"                     \
    "Like the k=1 variant, the search runs with the interpreter lock released."

}  // namespace

PyMethodDef all_nearest_neighbours_k_def = {
    "all_nearest_neighbours_k", as_method(all_nearest_neighbours_k_f64),
    METH_FASTCALL | METH_KEYWORDS, "all_nearest_neighbours_k" NEAREST_K_DOC_BODY};

PyMethodDef all_nearest_neighbours_k_f32_def = {
    "all_nearest_neighbours_k_f32", as_method(all_nearest_neighbours_k_f32),
    METH_FASTCALL | METH_KEYWORDS,
    "all_nearest_neighbours_k_f32" NEAREST_K_DOC_BODY "\n\nSingle-precision (float32) variant."};

}  // namespace tevu::py
