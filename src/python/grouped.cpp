// Grouped query sets: many prepared query clouds concatenated and
// Morton-sorted once, then descended against each target in blocks.
#include "grouped.hpp"

#include <atomic>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <vector>

#include "../core/blocked.hpp"
#include "grouped_set.hpp"
#include "prepared.hpp"

namespace tevu::py {
namespace {

// Frozen after `prepare`: readers take no claim, a call only holds a strong
// reference to the object.
template <class T>
struct GroupedObject {
    PyObject_HEAD
    const GroupedQuerySet<T>* set;  // owned
};

template <class T>
constexpr const char* grouped_name() {
    return sizeof(T) == 8 ? "GroupedQueriesF64" : "GroupedQueriesF32";
}

template <class T>
const GroupedQuerySet<T>& set_of(PyObject* self) {
    return *reinterpret_cast<GroupedObject<T>*>(self)->set;
}

template <class T>
GroupedObject<T>* as_grouped(PyObject* obj, const char* arg) {
    if (!is_instance_of(obj, grouped_type<T>(), arg, grouped_name<T>())) return nullptr;
    return reinterpret_cast<GroupedObject<T>*>(obj);
}

// The search operand of a grouped set. The blocked descent reads only the
// length of the query's indptr, so n_points + 1 zeros are one zero repeated.
template <class T>
GraphView<T> grouped_view(const GroupedQuerySet<T>& set) {
    static constexpr std::uint32_t zero = 0;
    return {PointSpan<T>(set.points.data(), set.points.size()),
            IndexView{reinterpret_cast<const std::byte*>(&zero), set.n_points() + 1, 0},
            IndexView{}};
}

// ---------------------------------------------------------------------------
// prepare

// Every element of `queries` as a prepared cloud of this precision, each
// claimed shared for the call.
template <class T>
bool take_queries(PyObject* items, std::deque<SharedClaim<T>>& claims,
                  std::vector<PointSpan<T>>& clouds) {
    const Py_ssize_t count = PyTuple_GET_SIZE(items);
    clouds.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyTuple_GET_ITEM(items, i);
        if (as_prepared<T>(item, "queries") == nullptr) return false;
        const PackedPoints<T>& points = claims.emplace_back(item).graph().points;
        clouds.emplace_back(points.data(), points.size());
    }
    return true;
}

// Every element of `query_perms` as None or a contiguous int64 array.
bool take_query_perms(PyObject* items, std::vector<ArrayRef>& arrays,
                      std::vector<PermView>& perms) {
    const Py_ssize_t count = PyTuple_GET_SIZE(items);
    for (Py_ssize_t i = 0; i < count; ++i) {
        ArrayRef& array = arrays[static_cast<std::size_t>(i)];
        if (!take_optional_perm(PyTuple_GET_ITEM(items, i), "query_perms", kContiguousPerm,
                                array)) {
            return false;
        }
        if (array) perms[static_cast<std::size_t>(i)] = view_1d<std::int64_t>(array);
    }
    return true;
}

template <class T>
PyObject* new_grouped(std::unique_ptr<GroupedQuerySet<T>> set) {
    PyTypeObject* type = grouped_type<T>();
    if (type == nullptr) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<GroupedObject<T>*>(self)->set = set.release();
    return self;
}

template <class T>
PyObject* grouped_prepare(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    static constexpr const char* params[] = {"queries", "query_perms"};
    PyObject* a[2];
    if (!parse_fastcall({"prepare", params, 2, 2}, args, nargs, kwnames, a)) return nullptr;
    // Declared before the claims and views that point into them.
    ObjectRef queries, perm_items;
    std::deque<SharedClaim<T>> claims;
    std::vector<PointSpan<T>> clouds;
    if (!take_sequence(a[0], params[0], queries) ||
        !take_queries<T>(queries.get(), claims, clouds) ||
        !take_sequence(a[1], params[1], perm_items)) {
        return nullptr;
    }
    const auto n_perms = static_cast<std::size_t>(PyTuple_GET_SIZE(perm_items.get()));
    std::vector<ArrayRef> perm_arrays(n_perms);
    std::vector<PermView> perms(n_perms);
    if (!take_query_perms(perm_items.get(), perm_arrays, perms)) return nullptr;
    std::unique_ptr<GroupedQuerySet<T>> set;
    const bool ok = run_detached([&] {
        set = std::make_unique<GroupedQuerySet<T>>(build_grouped_set<T>(clouds, perms));
    });
    if (!ok) return nullptr;
    return new_grouped<T>(std::move(set));
}

// ---------------------------------------------------------------------------
// Properties and lifetime

template <class T>
void grouped_dealloc(PyObject* self) {
    delete reinterpret_cast<GroupedObject<T>*>(self)->set;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

template <class T>
PyObject* grouped_repr(PyObject* self) {
    const GroupedQuerySet<T>& set = set_of<T>(self);
    return PyUnicode_FromFormat("%s(n_clouds=%zu, n_points=%zu)", grouped_name<T>(),
                                set.n_clouds(), set.n_points());
}

template <class T>
PyObject* grouped_get_n_points(PyObject* self, void*) {
    return PyLong_FromSize_t(set_of<T>(self).n_points());
}

template <class T>
PyObject* grouped_get_n_clouds(PyObject* self, void*) {
    return PyLong_FromSize_t(set_of<T>(self).n_clouds());
}

// Every array property is a fresh copy on every access; the set itself is
// never exposed.
template <class T>
PyObject* grouped_get_offsets(PyObject* self, void*) {
    return array_copy(set_of<T>(self).offsets, kIndexType);
}

template <class T>
PyObject* grouped_get_perm(PyObject* self, void*) {
    return array_copy(set_of<T>(self).perm, kIndexType);
}

template <class T>
PyObject* grouped_get_points(PyObject* self, void*) {
    const GroupedQuerySet<T>& set = set_of<T>(self);
    return points_array<T>({set.points.data(), set.points.size()});
}

template <class T>
PyObject* grouped_get_query_perms(PyObject* self, void*) {
    const GroupedQuerySet<T>& set = set_of<T>(self);
    PyObject* perms = PyTuple_New(static_cast<Py_ssize_t>(set.query_perms.size()));
    if (perms == nullptr) return nullptr;
    for (std::size_t c = 0; c < set.query_perms.size(); ++c) {
        PyObject* item = set.query_perms[c]
                             ? array_copy(*set.query_perms[c], numpy_type<std::int64_t>())
                             : Py_NewRef(Py_None);
        if (item == nullptr) {
            Py_DECREF(perms);
            return nullptr;
        }
        PyTuple_SET_ITEM(perms, static_cast<Py_ssize_t>(c), item);
    }
    return perms;
}

}  // namespace

// ---------------------------------------------------------------------------
// Blocked searches against a prepared target

template <class T>
PyObject* prepared_query_grouped(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    static constexpr const char* params[] = {"grouped", "target_perm", "block",
                                             "distance_upper_bound", "finalize"};
    PyObject* a[5];
    if (!parse_fastcall({"query_grouped", params, 5, 2}, args, nargs, kwnames, a)) {
        return nullptr;
    }
    GroupedObject<T>* grouped = as_grouped<T>(a[0], params[0]);
    if (grouped == nullptr) return nullptr;
    const ObjectRef keep_alive(Py_NewRef(a[0]));
    ArrayRef target_perm;
    std::size_t block = 32;
    std::optional<double> bound;
    bool finalize = true;
    if (!take_optional_perm(a[1], params[1], kContiguousTargetPerm, target_perm) ||
        (a[2] != nullptr && !to_size(a[2], params[2], block)) ||
        !to_optional_double(a[3], params[3], bound) || !to_bool(a[4], params[4], finalize)) {
        return nullptr;
    }
    const PermView target_perm_view =
        target_perm ? PermView(view_1d<std::int64_t>(target_perm)) : std::nullopt;
    const SharedClaim<T> target(self);
    NearestResult<T> result;
    const bool ok = run_detached([&] {
        const GroupedQuerySet<T>& set = *grouped->set;
        const PreparedGraph<T>& y = target.graph();
        const auto b = make_bound<T>(bound, y, nullptr);
        result = search_blocked(grouped_view(set), y.view(), block, bound_ptr(b),
                                y.stop_cache.get());
        if (finalize) {
            result = finalize_grouped(set, std::move(result), target_perm_view, y.points.size());
        }
    });
    if (!ok) return nullptr;
    return distance_index_pair(std::move(result.distances), std::move(result.indices));
}

template <class T>
PyObject* prepared_query_prepared_blocked(PyObject* self, PyObject* const* args,
                                          Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* params[] = {"other", "block", "distance_upper_bound"};
    PyObject* a[3];
    if (!parse_fastcall({"query_prepared_blocked", params, 3, 1}, args, nargs, kwnames, a)) {
        return nullptr;
    }
    PyObject* other_object = reinterpret_cast<PyObject*>(as_prepared<T>(a[0], params[0]));
    std::size_t block = 8;
    std::optional<double> bound;
    if (other_object == nullptr || (a[1] != nullptr && !to_size(a[1], params[1], block)) ||
        !to_optional_double(a[2], params[2], bound)) {
        return nullptr;
    }
    const SharedClaim<T> target(self);
    const SharedClaim<T> other(other_object);
    NearestResult<T> result;
    const bool ok = run_detached([&] {
        const auto b = make_bound<T>(bound, target.graph(), &other.graph());
        result = search_blocked(other.graph().view(), target.graph().view(), block,
                                bound_ptr(b), target.graph().stop_cache.get());
    });
    if (!ok) return nullptr;
    return distance_index_pair(std::move(result.distances), std::move(result.indices));
}

template PyObject* prepared_query_grouped<float>(PyObject*, PyObject* const*, Py_ssize_t,
                                                 PyObject*);
template PyObject* prepared_query_grouped<double>(PyObject*, PyObject* const*, Py_ssize_t,
                                                  PyObject*);
template PyObject* prepared_query_prepared_blocked<float>(PyObject*, PyObject* const*,
                                                          Py_ssize_t, PyObject*);
template PyObject* prepared_query_prepared_blocked<double>(PyObject*, PyObject* const*,
                                                           Py_ssize_t, PyObject*);

extern const char kQueryGroupedDoc[] =
    "query_grouped($self, grouped, target_perm, block=32, distance_upper_bound=None, "
    "finalize=True)\n--\n\n"
    "The blocked descent of a grouped query set, built once by `prepare`, against\n"
    "this target. Returns (dists, idx), one entry per grouped query point.\n\n"
    "Concatenation and Morton sort were done in `prepare`, so this call only descends\n"
    "and finalizes, with the interpreter lock released; the same grouped set is reused\n"
    "for every target without re-sorting.\n\n"
    "With `finalize=True` the result is flat, in concatenated per-cloud original order\n"
    "(cloud c's answers are dists[offsets[c]:offsets[c+1]], with the grouped set's\n"
    "`offsets`), and carries original target indices (mapped through `target_perm`).\n"
    "With `finalize=False` it is the raw result in the grouped set's Morton order with\n"
    "this target's internal indices, for the caller to map through `perm`.\n\n"
    "`target_perm` is this target's new -> original int64 permutation, or None.\n"
    "`block` is the number of consecutive query points that share a start vertex and\n"
    "gathered neighbour lists. `distance_upper_bound` (a distance, not its square)\n"
    "reports the miss marker (inf, |target|) beyond it, as in `query_prepared`.";

extern const char kQueryPreparedBlockedDoc[] =
    "query_prepared_blocked($self, other, block=8, distance_upper_bound=None)\n--\n\n"
    "Prototype: a blocked (batched) descent of another prepared graph, in its own\n"
    "point order, against this target. Returns (distances, indices) with internal\n"
    "target indices; the results are identical to `query_prepared`'s.\n\n"
    "`block` is the query-point block size (the gather reuse granularity).\n"
    "`distance_upper_bound` as in `query_prepared`.";

// ---------------------------------------------------------------------------
// The type

namespace {

constexpr const char kPrepareDoc[] =
    "prepare(queries, query_perms)\n--\n\n"
    "Concatenates and Morton-sorts every query cloud's points once, with the\n"
    "interpreter lock released, and returns the grouped set.\n\n"
    "`queries` is a sequence of prepared clouds used as query operands;\n"
    "`query_perms[c]` is cloud c's new -> original int64 permutation, or None when\n"
    "the cloud was not reordered. Build one grouped set per all-by-all join and pass\n"
    "it to `query_grouped` of every target.";

constexpr const char kOffsetsDoc[] =
    "Cloud c's block in a `query_grouped(finalize=True)` result is\n"
    "offsets[c] ... offsets[c+1] - 1 (a fresh copy on every access).";

constexpr const char kPermDoc[] =
    "The sorted position -> concatenated index permutation, needed only with\n"
    "`finalize=False`: scatter the raw Morton-order results back to concatenated\n"
    "order with out[perm] = raw, then slice per cloud by `offsets` (a fresh copy\n"
    "on every access).";

constexpr const char kPointsDoc[] =
    "The concatenated query points in the set's Morton order, as an (n_points, 3)\n"
    "array: row s is concatenated point perm[s], the point that row s of a\n"
    "`finalize=False` result answers (a fresh copy on every access).";

constexpr const char kQueryPermsDoc[] =
    "The `query_perms` given to `prepare`, as a tuple with a fresh int64 copy of\n"
    "each array (None where None was given). With `points`, `perm` and `offsets`,\n"
    "what the set can be rebuilt from.";

#define GROUPED_CLASS_DOC                                                                 \
    "A Morton-sorted concatenation of many query clouds' points, built once via\n"       \
    "`prepare` and descended against each target with `query_grouped`.\n\n"              \
    "Frozen (read-only), so one instance can be shared across a thread pool while\n"     \
    "each `query_grouped` runs with the interpreter lock released."

template <class T>
PyMethodDef grouped_methods[] = {
    {"prepare", as_method(grouped_prepare<T>), METH_STATIC | METH_FASTCALL | METH_KEYWORDS,
     kPrepareDoc},
    {nullptr, nullptr, 0, nullptr},
};

template <class T>
PyGetSetDef grouped_getset[] = {
    {"n_points", grouped_get_n_points<T>, nullptr, "Number of concatenated query points.",
     nullptr},
    {"n_clouds", grouped_get_n_clouds<T>, nullptr, "Number of query clouds.", nullptr},
    {"offsets", grouped_get_offsets<T>, nullptr, kOffsetsDoc, nullptr},
    {"perm", grouped_get_perm<T>, nullptr, kPermDoc, nullptr},
    {"points", grouped_get_points<T>, nullptr, kPointsDoc, nullptr},
    {"query_perms", grouped_get_query_perms<T>, nullptr, kQueryPermsDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

template <class T>
PyTypeObject* create_grouped_type() {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(sizeof(T) == 8
                                          ? GROUPED_CLASS_DOC
                                          : GROUPED_CLASS_DOC "\n\nSingle precision: float32 "
                                                              "points, bounds and distances.")},
        {Py_tp_dealloc, reinterpret_cast<void*>(grouped_dealloc<T>)},
        {Py_tp_repr, reinterpret_cast<void*>(grouped_repr<T>)},
        {Py_tp_methods, grouped_methods<T>},
        {Py_tp_getset, grouped_getset<T>},
        {0, nullptr},
    };
    PyType_Spec spec = {
        sizeof(T) == 8 ? "builtins.GroupedQueriesF64" : "builtins.GroupedQueriesF32",
        static_cast<int>(sizeof(GroupedObject<T>)),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        slots,
    };
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace

template <class T>
PyTypeObject* grouped_type() {
    static std::atomic<PyTypeObject*> type{nullptr};
    return create_once(type, create_grouped_type<T>);
}

template PyTypeObject* grouped_type<float>();
template PyTypeObject* grouped_type<double>();

}  // namespace tevu::py
