// GroupedQueriesF64 / GroupedQueriesF32, and the blocked-descent methods of
// the prepared classes (`query_grouped`, `query_prepared_blocked`).
#pragma once

#include "common.hpp"

namespace tevu::py {

// The grouped class of each precision, created on first use and kept for the
// life of the process (a borrowed reference), or nullptr with an exception.
template <class T>
PyTypeObject* grouped_type();

// Methods of PreparedF64 / PreparedF32 (METH_FASTCALL | METH_KEYWORDS).
template <class T>
PyObject* prepared_query_grouped(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);
template <class T>
PyObject* prepared_query_prepared_blocked(PyObject* self, PyObject* const* args,
                                          Py_ssize_t nargs, PyObject* kwnames);

extern const char kQueryGroupedDoc[];
extern const char kQueryPreparedBlockedDoc[];

}  // namespace tevu::py
