// The zarel_engine module and its Model class: construction, properties, params, repr.
#include "binding.hpp"
#include "numpy.hpp"

#include <cstring>

namespace zarel::py {

namespace {

PyObject* model_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"json", nullptr};
        PyObject* json = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Model", const_cast<char**>(keywords), &json))
            return nullptr;
        std::string_view text;
        if (!to_text(json, "json", text)) return nullptr;
        auto model = Model::from_text(text);
        if (!model) return to_py(model.error());
        PyRef self(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        auto* m = as_model(self.get());
        new (&m->model) Model(std::move(*model));
        new (&m->holds) std::atomic<std::int64_t>(0);
        return self.release();
    });
}

void model_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    try {
        as_model(self)->model.~Model();
    } catch (...) {
        PyErr_SetString(InternalFault, "failure while freeing a model");
        PyErr_WriteUnraisable(self);
    }
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* model_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        SharedHold hold(as_model(self));
        if (!hold.ok()) return nullptr;
        const Model& m = as_model(self)->model;
        const std::string text = "zarel_engine.Model(n_states=" + std::to_string(m.n_states) +
                                 ", n_inputs=" + std::to_string(m.n_inputs) + ", n_params=" + std::to_string(m.n_params) +
                                 ", jacobian=" + (m.has_jacobian() ? "analytic" : "finite-difference") + ")";
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

// Property reads share one shape: take the hold, read, release.
template <class F>
PyObject* read_property(PyObject* self, F&& read) {
    return guarded([&]() -> PyObject* {
        SharedHold hold(as_model(self));
        if (!hold.ok()) return nullptr;
        return read(as_model(self)->model);
    });
}

PyObject* get_n_states(PyObject* self, void*) {
    return read_property(self, [](const Model& m) { return PyLong_FromUnsignedLongLong(m.n_states); });
}
PyObject* get_n_inputs(PyObject* self, void*) {
    return read_property(self, [](const Model& m) { return PyLong_FromUnsignedLongLong(m.n_inputs); });
}
PyObject* get_n_params(PyObject* self, void*) {
    return read_property(self, [](const Model& m) { return PyLong_FromUnsignedLongLong(m.n_params); });
}
PyObject* get_has_jacobian(PyObject* self, void*) {
    return read_property(self, [](const Model& m) { return PyBool_FromLong(m.has_jacobian()); });
}

PyObject* get_output_names(PyObject* self, void*) {
    return read_property(self, [](const Model& m) -> PyObject* {
        PyRef list(PyList_New(static_cast<Py_ssize_t>(m.output_names.size())));
        if (!list) return nullptr;
        for (std::size_t k = 0; k < m.output_names.size(); ++k) {
            const std::string& name = m.output_names[k];
            PyObject* s = PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace");
            if (!s) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), s);
        }
        return list.release();
    });
}

PyObject* get_params(PyObject* self, void*) {
    return read_property(self, [](const Model& m) -> PyObject* {
        if (!numpy_ready()) return nullptr;
        return vector_to_array(std::vector<double>(m.params));
    });
}

int set_params(PyObject* self, PyObject* value, void*) {
    return guarded([&]() -> int {
        if (!value) {
            PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
            return -1;
        }
        if (!check_array(value, "p", 1)) return -1;
        PyModel* m = as_model(self);
        std::int64_t idle = 0;
        if (!m->holds.compare_exchange_strong(idle, -1, std::memory_order_acquire)) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            return -1;
        }
        struct Release {
            PyModel* m;
            ~Release() { m->holds.store(0, std::memory_order_release); }
        } release{m};
        ArrayView p;
        if (!read_in_place(value, "p", p)) return -1;
        if (p.size != m->model.n_params) {
            invalid_argument("expected " + std::to_string(m->model.n_params) + " parameter values, got " +
                             std::to_string(p.size));
            return -1;
        }
        std::copy_n(p.data, p.size, m->model.params.begin());
        return 0;
    });
}

PyGetSetDef model_getset[] = {
    {"n_states", get_n_states, nullptr, nullptr, nullptr},
    {"n_inputs", get_n_inputs, nullptr, nullptr, nullptr},
    {"n_params", get_n_params, nullptr, nullptr, nullptr},
    {"output_names", get_output_names, nullptr, nullptr, nullptr},
    {"params", get_params, set_params, nullptr, nullptr},
    {"has_jacobian", get_has_jacobian, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#define ZAREL_METHOD(name, doc) \
    {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(name)), METH_FASTCALL | METH_KEYWORDS, doc}

PyMethodDef model_methods[] = {
    ZAREL_METHOD(rhs, "rhs($self, x, u=None, t=0.0)\n--\n\ndx/dt at (x, u, t)."),
    ZAREL_METHOD(jacobian, "jacobian($self, x, u=None, t=0.0)\n--\n\nd(dx/dt)/dx at (x, u, t), shape (n, n)."),
    ZAREL_METHOD(energy, "energy($self, x)\n--\n\nStored energy H(x)."),
    ZAREL_METHOD(grad_h, "grad_h($self, x)\n--\n\ngrad H(x)."),
    ZAREL_METHOD(outputs, "outputs($self, x, u=None, t=0.0)\n--\n\nNamed outputs at (x, u, t)."),
    ZAREL_METHOD(port_outputs,
                 "port_outputs($self, x, u=None, t=0.0)\n--\n\nPort outputs y (the conjugate of each port's u)."),
    ZAREL_METHOD(supplied_power,
                 "supplied_power($self, x, u=None, t=0.0)\n--\n\nPower entering through all ports at (x, u, t)."),
    ZAREL_METHOD(step, "step($self, x, u, t, dt, method=\"midpoint\", rtol=1e-8, atol=1e-10, newton_tol=1e-10, "
                       "max_newton=50)\n--\n\nOne integration step with a constant input."),
    ZAREL_METHOD(simulate,
                 "simulate($self, x0, t, u=None, method=\"midpoint\", interp=\"hold\", rtol=1e-8, atol=1e-10, "
                 "newton_tol=1e-10, max_newton=50, record_outputs=True, record_energy=True)\n--\n\n"
                 "Integrate over a time grid.\n\n"
                 "``u`` is ``(len(t), n_inputs)`` or ``None`` for zero inputs. Returns a\n"
                 "dict with ``t``, ``x``, ``u``, ``energy``, ``supplied_power``,\n"
                 "``outputs`` and ``stats``."),
    ZAREL_METHOD(simulate_batch,
                 "simulate_batch($self, x0s, t, u=None, params=None, method=\"midpoint\", interp=\"hold\", "
                 "rtol=1e-8, atol=1e-10, newton_tol=1e-10, max_newton=50)\n--\n\n"
                 "Many simulations in parallel: ``x0s`` is ``(N, n_states)``, ``params``\n"
                 "optionally ``(N, n_params)``. Returns ``x`` of shape ``(N, len(t), n_states)``\n"
                 "and ``energy`` of shape ``(N, len(t))``."),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot model_slots[] = {
    {Py_tp_doc, const_cast<char*>("Model(json)\n--\n\nA compiled physical model in port-Hamiltonian form.")},
    {Py_tp_new, reinterpret_cast<void*>(model_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(model_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(model_repr)},
    {Py_tp_methods, model_methods},
    {Py_tp_getset, model_getset},
    {0, nullptr},
};

PyType_Spec model_spec = {
    "zarel_engine.Model",
    sizeof(PyModel),
    0,
    Py_TPFLAGS_DEFAULT,
    model_slots,
};

// m_size 0, not -1: a later import then calls the entry again (which hands back the one module,
// or refuses another interpreter) instead of CPython quietly copying the first module's dict
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "zarel_engine", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyObject* the_module = nullptr;
std::int64_t first_interpreter = -1;

PyObject* init_module() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) return nullptr;
    if (first_interpreter < 0) {
        first_interpreter = id;
    } else if (id != first_interpreter) {
        PyErr_SetString(PyExc_ImportError, "zarel_engine does not support sub-interpreters");
        return nullptr;
    }
    if (the_module) return Py_NewRef(the_module);
    if (!InternalFault) {
        InternalFault = PyErr_NewException("zarel_engine.InternalFault", PyExc_RuntimeError, nullptr);
        if (!InternalFault) return nullptr;
    }
    PyRef module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    PyRef type(PyType_FromSpec(&model_spec));
    if (!type || PyModule_AddObjectRef(module.get(), "Model", type.get()) < 0) return nullptr;
    if (PyModule_AddStringConstant(module.get(), "__version__", "2.0.1") < 0) return nullptr;
    PyRef solvers(Py_BuildValue("[ssss]", "euler", "rk4", "rk45", "midpoint"));
    if (!solvers || PyModule_AddObjectRef(module.get(), "SOLVERS", solvers.get()) < 0) return nullptr;
    the_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace

}  // namespace zarel::py

PyMODINIT_FUNC PyInit_zarel_engine() {
    return zarel::py::guarded([] { return zarel::py::init_module(); });
}
