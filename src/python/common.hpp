// The binding's shared calling conventions.
//
// Every function and method of the module goes through these helpers:
// argument parsing (fast calling convention, by position or keyword),
// borrowing NumPy arrays without conversion, integer / float / bool
// conversion, running core work with the thread detached from the
// interpreter, mapping core failures to exceptions, and handing the core's
// result buffers to NumPy without a copy.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL tevu_ARRAY_API
#ifndef TEVU_IMPORT_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "../core/buffer.hpp"
#include "../core/errors.hpp"
#include "../core/graph.hpp"
#include "../core/points.hpp"
#include "../core/views.hpp"

namespace tevu::py {

// ---------------------------------------------------------------------------
// Argument parsing

// The parameters of one function or method, in text-signature order. The
// first `n_required` have no default; those from `n_positional` on (when it
// is not negative) are keyword-only.
struct Signature {
    const char* name;  // shown in messages as "name()"
    const char* const* params;
    Py_ssize_t n_params;
    Py_ssize_t n_required;
    Py_ssize_t n_positional = -1;
};

// Fills out[0 .. n_params) with borrowed references, nullptr for omitted
// optional parameters. On failure raises TypeError and returns false.
bool parse_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out);

// The same for the (args tuple, kwargs dict) convention of type calls.
bool parse_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// A METH_FASTCALL | METH_KEYWORDS implementation as stored in PyMethodDef.
using FastcallFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyCFunction as_method(FastcallFunction fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

// ---------------------------------------------------------------------------
// Arrays

// A strong reference to an input array, held until the call returns.
class ArrayRef {
public:
    ArrayRef() = default;
    ArrayRef(const ArrayRef&) = delete;
    ArrayRef& operator=(const ArrayRef&) = delete;
    ~ArrayRef() { Py_XDECREF(array_); }

    void reset(PyArrayObject* array) {
        Py_XDECREF(array_);
        array_ = array;
    }
    PyArrayObject* get() const { return array_; }
    explicit operator bool() const { return array_ != nullptr; }

private:
    PyArrayObject* array_ = nullptr;
};

template <class T>
constexpr int numpy_type();
template <>
constexpr int numpy_type<float>() { return NPY_FLOAT32; }
template <>
constexpr int numpy_type<double>() { return NPY_FLOAT64; }
template <>
constexpr int numpy_type<std::uint32_t>() { return NPY_UINT32; }
template <>
constexpr int numpy_type<std::int64_t>() { return NPY_INT64; }
template <>
constexpr int numpy_type<std::uint64_t>() { return NPY_UINT64; }

// Result indices have NumPy type number 8 (C unsigned long), which has
// pointer width on the platforms the module supports.
static_assert(sizeof(unsigned long) == sizeof(std::size_t));
inline constexpr int kIndexType = NPY_ULONG;

// Accepts an ndarray (or subclass) with exactly `ndim` dimensions and a dtype
// equivalent to `typenum`; anything else raises TypeError naming `arg`.
bool take_array(PyObject* obj, const char* arg, int ndim, int typenum, ArrayRef& out);

template <class T>
bool take_array(PyObject* obj, const char* arg, int ndim, ArrayRef& out) {
    return take_array(obj, arg, ndim, numpy_type<T>(), out);
}

// 2-D float arrays of points and 1-D uint32 CSR arrays.
template <class T>
bool take_points(PyObject* obj, const char* arg, ArrayRef& out) {
    return take_array<T>(obj, arg, 2, out);
}
inline bool take_csr(PyObject* obj, const char* arg, ArrayRef& out) {
    return take_array<std::uint32_t>(obj, arg, 1, out);
}

// An array's layout (data pointer, shape, strides), read while this thread
// is attached to the interpreter. A detached thread must never read it:
// NumPy may change an array's shape in place for a moment while it holds the
// interpreter lock (NumPy 1.x's repeat does so to the array it repeats), and
// only the lock keeps that out of sight. Views are taken before detaching;
// a detached thread reads through them only the data.
template <class T>
StridedView<T> view_1d(const ArrayRef& ref) {
    PyArrayObject* a = ref.get();
    return {static_cast<const std::byte*>(PyArray_DATA(a)),
            static_cast<std::size_t>(PyArray_DIM(a, 0)), PyArray_STRIDE(a, 0)};
}

template <class T>
StridedView2D<T> view_2d(const ArrayRef& ref) {
    PyArrayObject* a = ref.get();
    return {static_cast<const std::byte*>(PyArray_DATA(a)), static_cast<std::size_t>(PyArray_DIM(a, 0)),
            static_cast<std::size_t>(PyArray_DIM(a, 1)), PyArray_STRIDE(a, 0),
            PyArray_STRIDE(a, 1)};
}

// One cloud given as arrays: points (2-D float), CSR offsets and neighbour
// ids (1-D uint32), held for the call, with their views taken when they were.
template <class T>
struct CloudArrays {
    ArrayRef points_array;
    ArrayRef indptr_array;
    ArrayRef indices_array;
    StridedView2D<T> points;
    IndexView indptr;
    IndexView indices;
};

// Takes the three arrays of a cloud from args[0..3), named names[0..3).
template <class T>
bool take_cloud(PyObject* const* args, const char* const* names, CloudArrays<T>& out) {
    if (!take_points<T>(args[0], names[0], out.points_array) ||
        !take_csr(args[1], names[1], out.indptr_array) ||
        !take_csr(args[2], names[2], out.indices_array)) {
        return false;
    }
    out.points = view_2d<T>(out.points_array);
    out.indptr = view_1d<std::uint32_t>(out.indptr_array);
    out.indices = view_1d<std::uint32_t>(out.indices_array);
    return true;
}

// The search operand of a cloud packed for one call; the CSR arrays are
// read in place.
template <class T>
GraphView<T> graph_view(const PackedPoints<T>& packed, const CloudArrays<T>& cloud) {
    return {PointSpan<T>(packed.data(), packed.size()), cloud.indptr, cloud.indices};
}

// An int64 permutation array or None. A given array must be contiguous,
// else PanicException with `contiguity_message` (after the type checks).
bool take_optional_perm(PyObject* obj, const char* arg, const char* contiguity_message,
                        ArrayRef& out);

// ---------------------------------------------------------------------------
// Sequences

// A strong reference to any object, released when the call returns.
class ObjectRef {
public:
    ObjectRef() = default;
    explicit ObjectRef(PyObject* owned) : object_(owned) {}
    ObjectRef(const ObjectRef&) = delete;
    ObjectRef& operator=(const ObjectRef&) = delete;
    ~ObjectRef() { Py_XDECREF(object_); }

    void reset(PyObject* owned) {
        Py_XDECREF(object_);
        object_ = owned;
    }
    PyObject* get() const { return object_; }

private:
    PyObject* object_ = nullptr;
};

// Any sequence except a str, taken as a tuple of its items (a new
// reference): the items stay alive however the caller's sequence changes
// meanwhile, also under other threads. A str raises TypeError "Can't extract
// `str` to `Vec`", anything else that is not a sequence a TypeError; both
// name `arg`.
bool take_sequence(PyObject* obj, const char* arg, ObjectRef& out);

// ---------------------------------------------------------------------------
// Scalars

// Non-negative integer of pointer width; accepts anything with __index__.
bool to_size(PyObject* obj, const char* arg, std::size_t& out);

// None or omitted (nullptr): no value. Otherwise anything float() accepts.
bool to_optional_double(PyObject* obj, const char* arg, std::optional<double>& out);

// A Python bool or a NumPy boolean scalar; nullptr keeps `out` unchanged.
bool to_bool(PyObject* obj, const char* arg, bool& out);

// Raises TypeError "argument '{arg}': {message}".
void raise_argument_error(const char* arg, const char* message);

// ---------------------------------------------------------------------------
// Failures

// Creates a process-wide object on first use. Two threads may race to create
// it; the loser drops its copy, so every caller sees the same object.
template <class P, class Make>
P* create_once(std::atomic<P*>& slot, Make make) {
    P* existing = slot.load(std::memory_order_acquire);
    if (existing != nullptr) return existing;
    P* created = make();
    if (created == nullptr) return nullptr;
    if (!slot.compare_exchange_strong(existing, created, std::memory_order_acq_rel)) {
        Py_DECREF(reinterpret_cast<PyObject*>(created));
        return existing;
    }
    return created;
}

// Whether `obj` is an instance of `type` (exactly: the module's classes
// cannot be subclassed); otherwise raises TypeError "argument '{arg}':
// '{type name}' object is not an instance of '{expected}'". A null `type`
// (its creation failed, exception set) also returns false.
bool is_instance_of(PyObject* obj, PyTypeObject* type, const char* arg, const char* expected);

// The exception type for failures of the native code (created on first use).
PyObject* panic_exception_type();
void raise_panic(const char* message);

// Runs `body` with the thread detached from the interpreter. A core failure
// becomes PanicException, an allocation failure MemoryError, input the core
// rejects as such ValueError, raised after the thread is attached again.
// Returns false when an exception was raised.
template <class F>
bool run_detached(F&& body) {
    enum class Outcome { ok, core, memory, input, other };
    Outcome outcome = Outcome::ok;
    std::string message;
    PyThreadState* state = PyEval_SaveThread();
    try {
        body();
    } catch (const CoreError& e) {
        outcome = Outcome::core;
        try { message = e.what(); } catch (...) { outcome = Outcome::memory; }
    } catch (const std::bad_alloc&) {
        outcome = Outcome::memory;
    } catch (const InputError& e) {
        outcome = Outcome::input;
        try { message = e.what(); } catch (...) { outcome = Outcome::memory; }
    } catch (const std::exception& e) {
        outcome = Outcome::other;
        try { message = e.what(); } catch (...) { outcome = Outcome::memory; }
    } catch (...) {
        outcome = Outcome::other;
        message = "unknown failure in native code";
    }
    PyEval_RestoreThread(state);
    switch (outcome) {
        case Outcome::ok: return true;
        case Outcome::memory: PyErr_NoMemory(); return false;
        case Outcome::input: PyErr_SetString(PyExc_ValueError, message.c_str()); return false;
        case Outcome::core:
        case Outcome::other: raise_panic(message.c_str()); return false;
    }
    return false;
}

// The same for work that must stay attached (the prepared constructor).
template <class F>
bool run_attached(F&& body) {
    try {
        body();
        return true;
    } catch (const CoreError& e) {
        raise_panic(e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    }
    return false;
}

// ---------------------------------------------------------------------------
// Results

// Wraps a released buffer as a C-ordered array that frees it with std::free.
// Takes ownership of `data` also on failure.
PyObject* wrap_memory(void* data, int typenum, int ndim, const npy_intp* dims);

template <class T, std::size_t A>
PyObject* to_array(Buffer<T, A>&& buffer, int typenum, int ndim, const npy_intp* dims) {
    return wrap_memory(buffer.release(), typenum, ndim, dims);
}

// A 1-D array of the buffer's length.
template <class T, std::size_t A>
PyObject* to_array(Buffer<T, A>&& buffer, int typenum) {
    const npy_intp dims[1] = {static_cast<npy_intp>(buffer.size())};
    return to_array(std::move(buffer), typenum, 1, dims);
}

// A new 1-D array holding a copy of `values`, for properties that expose an
// instance's arrays without exposing the instance.
template <class T>
PyObject* array_copy(std::span<const T> values, int typenum) {
    const npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
    PyObject* array = PyArray_SimpleNew(1, const_cast<npy_intp*>(dims), typenum);
    if (array != nullptr && !values.empty()) {
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), values.data(),
                    values.size_bytes());
    }
    return array;
}

template <class T, std::size_t A>
PyObject* array_copy(const Buffer<T, A>& values, int typenum) {
    return array_copy(std::span<const T>(values.data(), values.size()), typenum);
}

// A new (n, 3) array of the x, y, z lanes of packed points (pad lane dropped).
template <class T>
PyObject* points_array(PointSpan<T> points) {
    const npy_intp dims[2] = {static_cast<npy_intp>(points.size()), 3};
    PyObject* array = PyArray_SimpleNew(2, const_cast<npy_intp*>(dims), numpy_type<T>());
    if (array == nullptr) return nullptr;
    T* out = static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
    for (std::size_t i = 0; i < points.size(); ++i) {
        for (int l = 0; l < 3; ++l) out[3 * i + l] = points[i].lane[l];
    }
    return array;
}

// A 2-tuple that takes over both references; null-safe for either.
PyObject* steal_pair(PyObject* first, PyObject* second);

// (indptr, indices) of a graph as two 1-D uint32 arrays.
inline PyObject* csr_pair(CsrGraph&& graph) {
    PyObject* indptr = to_array(std::move(graph.indptr), NPY_UINT32);
    if (indptr == nullptr) return nullptr;
    return steal_pair(indptr, to_array(std::move(graph.indices), NPY_UINT32));
}

// (distances, indices) as 1-D arrays.
template <class T>
PyObject* distance_index_pair(Buffer<T>&& distances, Buffer<std::size_t>&& indices) {
    PyObject* d = to_array(std::move(distances), numpy_type<T>());
    if (d == nullptr) return nullptr;
    return steal_pair(d, to_array(std::move(indices), kIndexType));
}

// (distances, indices) as (rows, cols) arrays.
template <class T>
PyObject* distance_index_pair(Buffer<T>&& distances, Buffer<std::size_t>&& indices,
                              std::size_t rows, std::size_t cols) {
    const npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    PyObject* d = to_array(std::move(distances), numpy_type<T>(), 2, dims);
    if (d == nullptr) return nullptr;
    return steal_pair(d, to_array(std::move(indices), kIndexType, 2, dims));
}

}  // namespace tevu::py
