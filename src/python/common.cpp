#include "common.hpp"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <string>

namespace tevu::py {

// ---------------------------------------------------------------------------
// Argument parsing

namespace {

Py_ssize_t find_param(const Signature& sig, PyObject* key) {
    for (Py_ssize_t i = 0; i < sig.n_params; ++i) {
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) {
            return i;
        }
    }
    return -1;
}

bool check_positional_count(const Signature& sig, Py_ssize_t nargs) {
    const Py_ssize_t most = sig.n_positional < 0 ? sig.n_params : sig.n_positional;
    if (nargs <= most) return true;
    const Py_ssize_t least = std::min(sig.n_required, most);
    if (least == most) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given",
                     sig.name, most, most == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
    } else {
        PyErr_Format(PyExc_TypeError,
                     "%s() takes from %zd to %zd positional arguments but %zd %s given", sig.name,
                     least, most, nargs, nargs == 1 ? "was" : "were");
    }
    return false;
}

bool place_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** out) {
    const Py_ssize_t i = find_param(sig, key);
    if (i < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", sig.name,
                     key);
        return false;
    }
    if (out[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.name,
                     sig.params[i]);
        return false;
    }
    out[i] = value;
    return true;
}

bool check_missing(const Signature& sig, PyObject** out) {
    std::string names;
    Py_ssize_t missing = 0;
    for (Py_ssize_t i = 0; i < sig.n_required; ++i) {
        if (out[i] != nullptr) continue;
        ++missing;
        if (!names.empty()) names += ", ";
        names += '\'';
        names += sig.params[i];
        names += '\'';
    }
    if (missing == 0) return true;
    PyErr_Format(PyExc_TypeError, "%s() missing %zd required argument%s: %s", sig.name, missing,
                 missing == 1 ? "" : "s", names.c_str());
    return false;
}

}  // namespace

bool parse_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out) {
    for (Py_ssize_t i = 0; i < sig.n_params; ++i) out[i] = nullptr;
    if (!check_positional_count(sig, nargs)) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) {
                return false;
            }
        }
    }
    return check_missing(sig, out);
}

bool parse_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    for (Py_ssize_t i = 0; i < sig.n_params; ++i) out[i] = nullptr;
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (!check_positional_count(sig, nargs)) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs != nullptr) {
        // The dict belongs to this call alone, so iterating it is safe.
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!place_keyword(sig, key, value, out)) return false;
        }
    }
    return check_missing(sig, out);
}

// ---------------------------------------------------------------------------
// Arrays

namespace {

const char* dtype_name(int typenum) {
    switch (typenum) {
        case NPY_FLOAT32: return "float32";
        case NPY_FLOAT64: return "float64";
        case NPY_UINT32: return "uint32";
        case NPY_INT64: return "int64";
        case NPY_UINT64: return "uint64";
        default: return "?";
    }
}

}  // namespace

bool take_array(PyObject* obj, const char* arg, int ndim, int typenum, ArrayRef& out) {
    if (!PyArray_Check(obj)) {
        PyErr_Format(PyExc_TypeError,
                     "argument '%s': expected a %d-dimensional numpy.ndarray of dtype %s, "
                     "got '%s'",
                     arg, ndim, dtype_name(typenum), Py_TYPE(obj)->tp_name);
        return false;
    }
    PyArrayObject* array = reinterpret_cast<PyArrayObject*>(obj);
    PyArray_Descr* expected = PyArray_DescrFromType(typenum);
    if (expected == nullptr) return false;
    const bool ok = PyArray_NDIM(array) == ndim && PyArray_EquivTypes(PyArray_DESCR(array), expected);
    Py_DECREF(expected);
    if (!ok) {
        PyErr_Format(PyExc_TypeError,
                     "argument '%s': expected a %d-dimensional numpy.ndarray of dtype %s, "
                     "got a %d-dimensional array of dtype %S",
                     arg, ndim, dtype_name(typenum), PyArray_NDIM(array),
                     reinterpret_cast<PyObject*>(PyArray_DESCR(array)));
        return false;
    }
    Py_INCREF(obj);
    out.reset(array);
    return true;
}

bool take_optional_perm(PyObject* obj, const char* arg, const char* contiguity_message,
                        ArrayRef& out) {
    if (obj == nullptr || obj == Py_None) return true;
    if (!take_array<std::int64_t>(obj, arg, 1, out)) return false;
    if (!view_1d<std::int64_t>(out).contiguous()) {
        raise_panic(contiguity_message);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Scalars

namespace {

// Prefixes a pending TypeError with the argument's name; other exception
// types pass through unchanged.
void name_type_error(const char* arg) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* error = PyErr_GetRaisedException();
    PyErr_Format(PyExc_TypeError, "argument '%s': %S", arg, error);
    Py_DECREF(error);
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyErr_Format(PyExc_TypeError, "argument '%s': %S", arg, value);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
#endif
}

}  // namespace

void raise_argument_error(const char* arg, const char* message) {
    PyErr_Format(PyExc_TypeError, "argument '%s': %s", arg, message);
}

bool to_size(PyObject* obj, const char* arg, std::size_t& out) {
    PyObject* index = PyNumber_Index(obj);
    if (index == nullptr) {
        name_type_error(arg);
        return false;
    }
    PyObject* zero = PyLong_FromLong(0);
    const int negative = zero == nullptr ? -1 : PyObject_RichCompareBool(index, zero, Py_LT);
    Py_XDECREF(zero);
    bool ok = false;
    if (negative == 1) {
        // The interpreter's own error for a negative unsigned conversion.
        PyLong_AsUnsignedLongLong(index);
    } else if (negative == 0) {
        const unsigned long long value = PyLong_AsUnsignedLongLong(index);
        if (PyErr_Occurred() || value > SIZE_MAX) {
            if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_OverflowError)) {
                PyErr_Clear();
                PyErr_SetString(PyExc_OverflowError,
                                "out of range integral type conversion attempted");
            }
        } else {
            out = static_cast<std::size_t>(value);
            ok = true;
        }
    }
    Py_DECREF(index);
    return ok;
}

bool to_optional_double(PyObject* obj, const char* arg, std::optional<double>& out) {
    out.reset();
    if (obj == nullptr || obj == Py_None) return true;
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) {
        name_type_error(arg);
        return false;
    }
    out = value;
    return true;
}

bool to_bool(PyObject* obj, const char* arg, bool& out) {
    if (obj == nullptr) return true;
    if (PyBool_Check(obj)) {
        out = obj == Py_True;
        return true;
    }
    if (PyArray_IsScalar(obj, Bool)) {
        out = PyArrayScalar_VAL(obj, Bool) != 0;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "argument '%s': expected bool, got '%s'", arg,
                 Py_TYPE(obj)->tp_name);
    return false;
}

// ---------------------------------------------------------------------------
// Sequences

bool take_sequence(PyObject* obj, const char* arg, ObjectRef& out) {
    if (PyUnicode_Check(obj)) {
        raise_argument_error(arg, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected a sequence, got '%s'", arg,
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    PyObject* items = PySequence_Tuple(obj);
    if (items == nullptr) {
        name_type_error(arg);
        return false;
    }
    out.reset(items);
    return true;
}

// ---------------------------------------------------------------------------
// Failures

PyObject* panic_exception_type() {
    static std::atomic<PyObject*> type{nullptr};
    return create_once(type, [] {
        return PyErr_NewExceptionWithDoc(
            "_tevu.PanicException",
            "Raised when the module's native code fails.\n\n"
            "Like SystemExit, it derives from BaseException rather than Exception,\n"
            "so that it usually propagates to the top instead of being swallowed by\n"
            "a broad `except Exception`.",
            PyExc_BaseException, nullptr);
    });
}

bool is_instance_of(PyObject* obj, PyTypeObject* type, const char* arg, const char* expected) {
    if (type == nullptr) return false;
    if (Py_IS_TYPE(obj, type)) return true;
    PyObject* name = PyType_GetName(Py_TYPE(obj));
    if (name != nullptr) {
        PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object is not an instance of '%s'",
                     arg, name, expected);
        Py_DECREF(name);
    }
    return false;
}

void raise_panic(const char* message) {
    PyObject* type = panic_exception_type();
    if (type != nullptr) PyErr_SetString(type, message);
}

// ---------------------------------------------------------------------------
// Results

namespace {

constexpr const char* kCapsuleName = "_tevu.buffer";

void free_capsule(PyObject* capsule) { std::free(PyCapsule_GetPointer(capsule, kCapsuleName)); }

}  // namespace

PyObject* wrap_memory(void* data, int typenum, int ndim, const npy_intp* dims) {
    PyObject* capsule = PyCapsule_New(data, kCapsuleName, free_capsule);
    if (capsule == nullptr) {
        std::free(data);
        return nullptr;
    }
    PyObject* array =
        PyArray_SimpleNewFromData(ndim, const_cast<npy_intp*>(dims), typenum, data);
    if (array == nullptr) {
        Py_DECREF(capsule);
        return nullptr;
    }
    // Steals the capsule, also on failure.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), capsule) < 0) {
        Py_DECREF(array);
        return nullptr;
    }
    return array;
}

PyObject* steal_pair(PyObject* first, PyObject* second) {
    if (first == nullptr || second == nullptr) {
        Py_XDECREF(first);
        Py_XDECREF(second);
        return nullptr;
    }
    PyObject* pair = PyTuple_Pack(2, first, second);
    Py_DECREF(first);
    Py_DECREF(second);
    return pair;
}

}  // namespace tevu::py
