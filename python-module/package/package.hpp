// The functions of zarel._engine and the pieces they share.
#pragma once

#include "binding.hpp"

namespace zarel::py::package {

// The zarel_engine.Model object behind `obj`, or null with a TypeError naming the argument.
PyModel* model_arg(PyObject* obj);
// The options after the first `most` arguments are keyword-only: a TypeError for more.
bool positional_at_most(const char* function, Py_ssize_t nargs, Py_ssize_t most);
// An integer count (max_newton) below 0 or beyond 64 bits is a ValueError naming it, where
// Model.simulate passes the host's OverflowError on; null and non-integers are left to the conversion.
bool count_in_range(PyObject* obj, const char* name);

PyObject* simulate(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* simulate_batch(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* empty(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* evaluate(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* simulate_discrete_gradient(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace zarel::py::package
