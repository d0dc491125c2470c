// Module entry: multi-phase initialisation and the ordered registration of
// the module's functions and classes.
#define TEVU_IMPORT_NUMPY
#include "common.hpp"
#include "grouped.hpp"
#include "prepared.hpp"
#include "registry.hpp"

namespace tevu::py {
namespace {

template <PyMethodDef* Def>
PyObject* make_function(PyObject* module) {
    PyObject* module_name = PyModule_GetNameObject(module);
    if (module_name == nullptr) return nullptr;
    PyObject* function = PyCFunction_NewEx(Def, module, module_name);
    Py_DECREF(module_name);
    return function;
}

template <PyTypeObject* (*Type)()>
PyObject* make_type(PyObject*) {
    PyTypeObject* type = Type();
    Py_XINCREF(type);
    return reinterpret_cast<PyObject*>(type);
}

struct Registration {
    const char* name;
    PyObject* (*make)(PyObject* module);  // a new reference
};

// Registered in this order; `__all__` lists the names in the same order.
const Registration kContents[] = {
    {"all_nearest_neighbours", make_function<&all_nearest_neighbours_def>},
    {"all_nearest_neighbours_f32", make_function<&all_nearest_neighbours_f32_def>},
    {"all_nearest_neighbours_k", make_function<&all_nearest_neighbours_k_def>},
    {"all_nearest_neighbours_k_f32", make_function<&all_nearest_neighbours_k_f32_def>},
    {"graph_from_simplices", make_function<&graph_from_simplices_def>},
    {"PreparedF64", make_type<prepared_type<double>>},
    {"PreparedF32", make_type<prepared_type<float>>},
    {"GroupedQueriesF64", make_type<grouped_type<double>>},
    {"GroupedQueriesF32", make_type<grouped_type<float>>},
    {"delaunay_graph", make_function<&delaunay_graph_def>},
};

int append_to_all(PyObject* module, const char* name) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = PyList_New(0);
        if (all == nullptr || PyModule_AddObjectRef(module, "__all__", all) < 0) {
            Py_XDECREF(all);
            return -1;
        }
    }
    PyObject* text = PyUnicode_FromString(name);
    const int status = text == nullptr ? -1 : PyList_Append(all, text);
    Py_XDECREF(text);
    Py_DECREF(all);
    return status;
}

int exec_module(PyObject* module) {
    if (PyArray_ImportNumPyAPI() < 0) return -1;
    for (const Registration& entry : kContents) {
        PyObject* object = entry.make(module);
        if (object == nullptr) return -1;
        const int status = PyModule_AddObjectRef(module, entry.name, object);
        Py_DECREF(object);
        if (status < 0 || append_to_all(module, entry.name) < 0) return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_tevu",
    "A native Python module.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tevu::py

PyMODINIT_FUNC PyInit__tevu(void) { return PyModuleDef_Init(&tevu::py::module_def); }
