// The zarel._engine module: its functions, and the Model class of zarel_engine it works on.
#include "package.hpp"

namespace zarel::py::package {

namespace {

// zarel_engine.Model, imported once when this module is; both modules come from one build, so
// its objects have the layout this module reads.
PyTypeObject* model_type = nullptr;

#define ZAREL_FUNCTION(name, doc) \
    {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(name)), METH_FASTCALL | METH_KEYWORDS, doc}

PyMethodDef functions[] = {
    ZAREL_FUNCTION(simulate,
                   "simulate(model, x0, t, u=None, *, params=None, method=\"midpoint\", interp=\"hold\", rtol=1e-8, "
                   "atol=1e-10, newton_tol=1e-10, max_newton=50, dense=False, record_outputs=True, "
                   "record_energy=True, error_states=None)\n--\n\n"
                   "Model.simulate with parameters for this call alone (the model is never written)\n"
                   "and, for rk45, dop853, midpoint and gauss4 with dense=True, steps chosen by the\n"
                   "error control alone: the grid then says only where to report. method=\"gauss4\":\n"
                   "the two-stage Gauss-Legendre method (with dense=False one step per interval).\n"
                   "error_states: how many leading states the error control covers (None: all)."),
    ZAREL_FUNCTION(simulate_batch,
                   "simulate_batch(model, x0s, t, u=None, *, params=None, method=\"midpoint\", interp=\"hold\", "
                   "rtol=1e-8, atol=1e-10, newton_tol=1e-10, max_newton=50, dense=False, x, energy=None, "
                   "supplied_power=None, outputs=None, u_out=None, stats=None, error_states=None)\n--\n\n"
                   "Many runs in parallel, each written into the given arrays; returns one entry\n"
                   "per run: None, or the message of its failure (its rows then NaN)."),
    ZAREL_FUNCTION(empty,
                   "empty(runs, points, columns=None)\n--\n\n"
                   "An uninitialised float64 array of shape (runs, points) or (runs, points, columns)\n"
                   "for simulate_batch to write into, in the storage of the engine's results: memory\n"
                   "of an earlier result of the same size is reused, without fresh page faults."),
    ZAREL_FUNCTION(evaluate,
                   "evaluate(model, what, x, u=None, t=None, *, params=None)\n--\n\n"
                   "One of rhs, outputs, port_outputs, supplied_power, energy or grad_h at each\n"
                   "row of x (with the row of u and t), as the Model method gives it."),
    ZAREL_FUNCTION(simulate_discrete_gradient,
                   "simulate_discrete_gradient(model, structure, x0, t, u=None, *, params=None, interp=\"hold\", "
                   "rtol=1e-8, atol=1e-10, newton_tol=1e-10, max_newton=50, record_outputs=True, "
                   "record_energy=True, blocks=None)\n--\n\n"
                   "A run of Gonzalez's discrete gradient method, a step per grid interval: structure\n"
                   "is (J - R)(x) g + G(x) u with inputs u then g; blocks, (first state, states,\n"
                   "energy output) triples taking the states in order, make the discrete gradient\n"
                   "per part; the dict simulate returns."),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "zarel._engine", "", 0, functions, nullptr, nullptr, nullptr,
                          nullptr};

PyObject* init_module() {
    if (!model_type) {
        PyRef engine(PyImport_ImportModule("zarel_engine"));
        if (!engine) return nullptr;
        PyRef type(PyObject_GetAttrString(engine.get(), "Model"));
        if (!type) return nullptr;
        if (!PyType_Check(type.get())) {
            PyErr_SetString(PyExc_ImportError, "zarel_engine.Model is not a class");
            return nullptr;
        }
        model_type = reinterpret_cast<PyTypeObject*>(type.release());
    }
    if (!InternalFault) {
        InternalFault = PyErr_NewException("zarel._engine.InternalFault", PyExc_RuntimeError, nullptr);
        if (!InternalFault) return nullptr;
    }
    return PyModule_Create(&module_def);
}

}  // namespace

PyModel* model_arg(PyObject* obj) {
    if (!PyObject_TypeCheck(obj, model_type)) {
        PyErr_Format(PyExc_TypeError, "argument 'model' must be zarel_engine.Model, not %.200s", Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    return as_model(obj);
}

bool positional_at_most(const char* function, Py_ssize_t nargs, Py_ssize_t most) {
    if (nargs <= most) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zd positional arguments (%zd given)", function, most, nargs);
    return false;
}

bool count_in_range(PyObject* obj, const char* name) {
    if (!obj || !PyLong_Check(obj)) return true;
    PyLong_AsUnsignedLongLong(obj);
    if (!PyErr_Occurred()) return true;
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "%s must be a whole number from 0 to %llu, got %R", name,
                 static_cast<unsigned long long>(UINT64_MAX), obj);
    return false;
}

}  // namespace zarel::py::package

PyMODINIT_FUNC PyInit__engine() {
    return zarel::py::guarded([] { return zarel::py::package::init_module(); });
}
