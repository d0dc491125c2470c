// The prepared target classes: construction, properties and the k = 1
// searches against a prepared target.
#include "prepared.hpp"

#include <memory>
#include <new>

#include "../core/greedy.hpp"
#include "../core/knn.hpp"
#include "grouped.hpp"
#include "registry.hpp"

namespace tevu::py {

template <class T>
PreparedObject<T>* as_prepared(PyObject* obj, const char* arg) {
    if (!is_instance_of(obj, prepared_type<T>(), arg, prepared_name<T>())) return nullptr;
    return reinterpret_cast<PreparedObject<T>*>(obj);
}

template PreparedObject<float>* as_prepared<float>(PyObject*, const char*);
template PreparedObject<double>* as_prepared<double>(PyObject*, const char*);

namespace {

template <class T>
const PreparedGraph<T>& graph_of(PyObject* self) {
    return *reinterpret_cast<PreparedObject<T>*>(self)->graph;
}

// ---------------------------------------------------------------------------
// Construction and lifetime

template <class T>
PyObject* prepared_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr const char* params[] = {"points", "indptr", "indices"};
    PyObject* a[3];
    if (!parse_tuple({prepared_name<T>(), params, 3, 3}, args, kwargs, a)) return nullptr;
    CloudArrays<T> cloud;
    if (!take_cloud<T>(a, params, cloud)) return nullptr;
    // The one packing step of the module that runs with the lock held.
    std::unique_ptr<PreparedGraph<T>> graph;
    const bool ok = run_attached([&] {
        graph = std::make_unique<PreparedGraph<T>>(
            prepare_graph(cloud.points, cloud.indptr, cloud.indices));
    });
    if (!ok) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* object = reinterpret_cast<PreparedObject<T>*>(self);
    new (&object->readers) std::atomic<std::size_t>(0);
    object->graph = graph.release();
    return self;
}

template <class T>
void prepared_dealloc(PyObject* self) {
    auto* object = reinterpret_cast<PreparedObject<T>*>(self);
    delete object->graph;
    object->readers.~atomic();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

template <class T>
PyObject* prepared_repr(PyObject* self) {
    return PyUnicode_FromFormat("%s(n=%zu)", prepared_name<T>(), graph_of<T>(self).n);
}

template <class T>
PyObject* prepared_get_n(PyObject* self, void*) {
    return PyLong_FromSize_t(graph_of<T>(self).n);
}

template <class T>
PyObject* prepared_get_data(PyObject* self, void*) {
    const PreparedGraph<T>& graph = graph_of<T>(self);
    return points_array<T>({graph.points.data(), graph.points.size()});
}

template <class T>
PyObject* prepared_get_indptr(PyObject* self, void*) {
    return array_copy(graph_of<T>(self).indptr, numpy_type<std::uint32_t>());
}

template <class T>
PyObject* prepared_get_indices(PyObject* self, void*) {
    return array_copy(graph_of<T>(self).indices, numpy_type<std::uint32_t>());
}

// ---------------------------------------------------------------------------
// k = 1 searches

template <class T>
PyObject* prepared_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    static constexpr const char* params[] = {"x_points", "x_indptr", "x_indices",
                                             "distance_upper_bound"};
    PyObject* a[4];
    if (!parse_fastcall({"query", params, 4, 3}, args, nargs, kwnames, a)) return nullptr;
    CloudArrays<T> x;
    std::optional<double> bound;
    if (!take_cloud<T>(a, params, x) || !to_optional_double(a[3], params[3], bound)) {
        return nullptr;
    }
    const SharedClaim<T> target(self);
    NearestResult<T> result;
    const bool ok = run_detached([&] {
        const PackedPoints<T> x_packed = pack_points(x.points);
        const auto b = make_bound<T>(bound, target.graph(), nullptr);
        result = search_pruned(graph_view(x_packed, x), target.graph().view(), bound_ptr(b),
                               nullptr, target.graph().stop_cache.get());
    });
    if (!ok) return nullptr;
    return distance_index_pair(std::move(result.distances), std::move(result.indices));
}

template <class T>
PyObject* prepared_query_prepared(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    static constexpr const char* params[] = {"other", "distance_upper_bound"};
    PyObject* a[2];
    if (!parse_fastcall({"query_prepared", params, 2, 1}, args, nargs, kwnames, a)) {
        return nullptr;
    }
    PyObject* other_object = reinterpret_cast<PyObject*>(as_prepared<T>(a[0], params[0]));
    std::optional<double> bound;
    if (other_object == nullptr || !to_optional_double(a[1], params[1], bound)) return nullptr;
    const SharedClaim<T> target(self);
    const SharedClaim<T> other(other_object);
    NearestResult<T> result;
    const bool ok = run_detached([&] {
        const auto b = make_bound<T>(bound, target.graph(), &other.graph());
        result = search_pruned(other.graph().view(), target.graph().view(), bound_ptr(b),
                               other.graph().query_plan.get(), target.graph().stop_cache.get());
    });
    if (!ok) return nullptr;
    return distance_index_pair(std::move(result.distances), std::move(result.indices));
}

// ---------------------------------------------------------------------------
// k nearest

template <class T>
PyObject* knn_pair(KnnResult<T>&& result) {
    return distance_index_pair(std::move(result.distances), std::move(result.indices),
                               result.rows, result.cols);
}

template <class T>
PyObject* prepared_query_k(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    static constexpr const char* params[] = {"x_points", "x_indptr", "x_indices", "k", "ef",
                                             "distance_upper_bound"};
    PyObject* a[6];
    if (!parse_fastcall({"query_k", params, 6, 5}, args, nargs, kwnames, a)) return nullptr;
    CloudArrays<T> x;
    std::size_t k = 0;
    std::size_t ef = 0;
    std::optional<double> bound;
    if (!take_cloud<T>(a, params, x) || !to_size(a[3], params[3], k) ||
        !to_size(a[4], params[4], ef) || !to_optional_double(a[5], params[5], bound)) {
        return nullptr;
    }
    const SharedClaim<T> target(self);
    KnnResult<T> result;
    const bool ok = run_detached([&] {
        const PackedPoints<T> x_packed = pack_points(x.points);
        const auto b = make_bound<T>(bound, target.graph(), nullptr);
        result = search_k(graph_view(x_packed, x), target.graph().view(), k, ef, bound_ptr(b));
    });
    if (!ok) return nullptr;
    return knn_pair(std::move(result));
}

template <class T>
PyObject* prepared_query_prepared_k(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    static constexpr const char* params[] = {"other", "k", "ef", "distance_upper_bound"};
    PyObject* a[4];
    if (!parse_fastcall({"query_prepared_k", params, 4, 3}, args, nargs, kwnames, a)) {
        return nullptr;
    }
    PyObject* other_object = reinterpret_cast<PyObject*>(as_prepared<T>(a[0], params[0]));
    std::size_t k = 0;
    std::size_t ef = 0;
    std::optional<double> bound;
    if (other_object == nullptr || !to_size(a[1], params[1], k) ||
        !to_size(a[2], params[2], ef) || !to_optional_double(a[3], params[3], bound)) {
        return nullptr;
    }
    const SharedClaim<T> target(self);
    const SharedClaim<T> other(other_object);
    KnnResult<T> result;
    const bool ok = run_detached([&] {
        const auto b = make_bound<T>(bound, target.graph(), &other.graph());
        result = search_k(other.graph().view(), target.graph().view(), k, ef, bound_ptr(b),
                          other.graph().query_plan.get());
    });
    if (!ok) return nullptr;
    return knn_pair(std::move(result));
}

// ---------------------------------------------------------------------------
// The type

#define BOUND_DOC                                                                         \
    "`distance_upper_bound` (a distance, not its square) reports the miss marker\n"        \
    "(inf, |target|) for query points with no neighbour within it, and lets the\n"         \
    "search skip query clouds or points by the target's bounding box."

constexpr const char kQueryDoc[] =
    "query($self, x_points, x_indptr, x_indices, distance_upper_bound=None)\n--\n\n"
    "The nearest neighbour in this prepared target for each point of the query\n"
    "cloud x, which is given with its own CSR graph. Returns (distances, indices).\n\n"
    "The interpreter lock is released for the search; the instance's owned buffers\n"
    "are safe to use without it. " BOUND_DOC;

constexpr const char kQueryPreparedDoc[] =
    "query_prepared($self, other, distance_upper_bound=None)\n--\n\n"
    "Like `query`, but the query cloud is another prepared graph of the same class.\n"
    "Both operands are already packed, so nothing is packed for this call: the fast\n"
    "path of an all-by-all join, where every graph is a persistent operand.\n\n" BOUND_DOC;

constexpr const char kQueryKDoc[] =
    "query_k($self, x_points, x_indptr, x_indices, k, ef, distance_upper_bound=None)\n--\n\n"
    "The k > 1 variant of `query`: the `k` nearest target points of each query point,\n"
    "found by a best-first walk that explores `ef` candidates (more is more reliable,\n"
    "fewer is faster). Returns two (m, k) arrays, rows ascending by distance, with\n"
    "(inf, |target|) where nothing was found. The query's CSR arrays may have any\n"
    "strides.\n\n" BOUND_DOC;

constexpr const char kQueryPreparedKDoc[] =
    "query_prepared_k($self, other, k, ef, distance_upper_bound=None)\n--\n\n"
    "The k > 1 variant of `query_prepared`: like `query_k`, with the query cloud given\n"
    "as another prepared graph of the same class, so nothing is packed.\n\n" BOUND_DOC;

template <class T>
PyMethodDef prepared_methods[] = {
    {"query", as_method(prepared_query<T>), METH_FASTCALL | METH_KEYWORDS,
     kQueryDoc},
    {"query_k", as_method(prepared_query_k<T>), METH_FASTCALL | METH_KEYWORDS, kQueryKDoc},
    {"query_prepared", as_method(prepared_query_prepared<T>),
     METH_FASTCALL | METH_KEYWORDS, kQueryPreparedDoc},
    {"query_prepared_k", as_method(prepared_query_prepared_k<T>),
     METH_FASTCALL | METH_KEYWORDS, kQueryPreparedKDoc},
    {"query_prepared_blocked", as_method(prepared_query_prepared_blocked<T>),
     METH_FASTCALL | METH_KEYWORDS, kQueryPreparedBlockedDoc},
    {"query_grouped", as_method(prepared_query_grouped<T>), METH_FASTCALL | METH_KEYWORDS,
     kQueryGroupedDoc},
    {nullptr, nullptr, 0, nullptr},
};

template <class T>
PyGetSetDef prepared_getset[] = {
    {"n", prepared_get_n<T>, nullptr, "Number of points in the prepared target.", nullptr},
    {"data", prepared_get_data<T>, nullptr,
     "The target points as an `(n, 3)` array (pad lane dropped).", nullptr},
    {"indptr", prepared_get_indptr<T>, nullptr,
     "The CSR offsets of the target's graph as given, uint32 (a fresh copy on every\n"
     "access). With `data` and `indices`, what the instance can be rebuilt from.",
     nullptr},
    {"indices", prepared_get_indices<T>, nullptr,
     "The CSR neighbour ids of the target's graph as given, uint32 (a fresh copy on\n"
     "every access).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#define PREPARED_CLASS_DOC_BODY                                                             \
    "(points, indptr, indices)\n--\n\n"                                                     \
    "A prepared target: the Python counterpart of the core prepared graph.\n\n"             \
    "The points are packed, their bounding box computed and the CSR graph copied once,\n" \
    "at construction; the instance is then reused across every `query`. It is a plain\n"  \
    "wrapper: its methods delegate to the core searches and keep the interpreter lock\n"  \
    "released for the search itself. Instances never change, so any number of threads\n" \
    "may query one instance at once."

template <class T>
constexpr const char* class_doc() {
    return sizeof(T) == 8 ? "PreparedF64" PREPARED_CLASS_DOC_BODY
                          : "PreparedF32" PREPARED_CLASS_DOC_BODY
                            "\n\nSingle precision: float32 points, bounds and distances.";
}

template <class T>
PyTypeObject* create_prepared_type() {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(class_doc<T>())},
        {Py_tp_new, reinterpret_cast<void*>(prepared_new<T>)},
        {Py_tp_dealloc, reinterpret_cast<void*>(prepared_dealloc<T>)},
        {Py_tp_repr, reinterpret_cast<void*>(prepared_repr<T>)},
        {Py_tp_methods, prepared_methods<T>},
        {Py_tp_getset, prepared_getset<T>},
        {0, nullptr},
    };
    PyType_Spec spec = {
        sizeof(T) == 8 ? "builtins.PreparedF64" : "builtins.PreparedF32",
        static_cast<int>(sizeof(PreparedObject<T>)),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
        slots,
    };
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace

template <class T>
PyTypeObject* prepared_type() {
    static std::atomic<PyTypeObject*> type{nullptr};
    return create_once(type, create_prepared_type<T>);
}

template PyTypeObject* prepared_type<float>();
template PyTypeObject* prepared_type<double>();

}  // namespace tevu::py
