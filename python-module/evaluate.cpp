// Point evaluations of a model: rhs, jacobian, energy, grad_h, outputs, port_outputs and
// supplied_power, all reading their arrays in place.
#include "binding.hpp"
#include "numpy.hpp"

namespace zarel::py {

namespace {

// The state, input and time of one evaluation, converted and checked in the order every
// point method shares.
struct Point {
    ArrayView x;
    ArrayView u;
    std::vector<double> zeros;
    double t = 0.0;
    const double* u_data = nullptr;
    std::size_t u_size = 0;
};

bool take_point(const Model& model, PyObject* const* in, Point& p) {
    PyObject* u = in[1] == Py_None ? nullptr : in[1];
    if (!check_array(in[0], "x", 1)) return false;
    if (u && !check_array(u, "u", 1)) return false;
    if (in[2] && !to_double(in[2], "t", p.t)) return false;
    if (!read_in_place(in[0], "x", p.x)) return false;
    p.zeros.assign(model.n_inputs, 0.0);
    p.u_data = p.zeros.data();
    p.u_size = p.zeros.size();
    if (u) {
        if (!read_in_place(u, "u", p.u)) return false;
        p.u_data = p.u.data;
        p.u_size = p.u.size;
    }
    if (p.x.size != model.n_states) {
        invalid_argument("state has " + std::to_string(p.x.size) + " entries, the model has " +
                         std::to_string(model.n_states) + " states");
        return false;
    }
    if (p.u_size != model.n_inputs) {
        invalid_argument("input has " + std::to_string(p.u_size) + " entries, the model has " +
                         std::to_string(model.n_inputs) + " inputs");
        return false;
    }
    return true;
}

// Parses, holds and checks, then hands the model and point to `evaluate`.
template <class F>
PyObject* at_point(const char* function, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, F&& evaluate) {
    return guarded([&]() -> PyObject* {
        PyObject* in[3];
        if (!parse_args({function, {"x", "u", "t"}, 1}, args, nargs, kwnames, in)) return nullptr;
        SharedHold hold(as_model(self));
        if (!hold.ok()) return nullptr;
        const Model& model = as_model(self)->model;
        Point p;
        if (!take_point(model, in, p)) return nullptr;
        return evaluate(model, p);
    });
}

// energy and grad_h take the state alone; the length message differs between them.
template <class F>
PyObject* at_state(const char* function, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, const char* length_message, F&& evaluate) {
    return guarded([&]() -> PyObject* {
        PyObject* in[1];
        if (!parse_args({function, {"x"}, 1}, args, nargs, kwnames, in)) return nullptr;
        SharedHold hold(as_model(self));
        if (!hold.ok()) return nullptr;
        const Model& model = as_model(self)->model;
        ArrayView x;
        if (!check_array(in[0], "x", 1) || !read_in_place(in[0], "x", x)) return nullptr;
        if (x.size != model.n_states) {
            return invalid_argument(length_message ? std::string(length_message)
                                                   : "state has " + std::to_string(x.size) + " entries, the model has " +
                                                         std::to_string(model.n_states) + " states");
        }
        Scratch scratch = Scratch::for_model(model);
        return evaluate(model, x.data, scratch);
    });
}

}  // namespace

PyObject* rhs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return at_point("rhs", self, args, nargs, kwnames, [](const Model& m, const Point& p) {
        return vector_to_array(m.rhs(p.x.data, p.u_data, p.t));
    });
}

PyObject* outputs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return at_point("outputs", self, args, nargs, kwnames, [](const Model& m, const Point& p) {
        return vector_to_array(m.outputs(p.x.data, p.u_data, p.t));
    });
}

PyObject* port_outputs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return at_point("port_outputs", self, args, nargs, kwnames, [](const Model& m, const Point& p) {
        return vector_to_array(m.port_outputs(p.x.data, p.u_data, p.t));
    });
}

PyObject* supplied_power(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return at_point("supplied_power", self, args, nargs, kwnames, [](const Model& m, const Point& p) {
        Scratch scratch = Scratch::for_model(m);
        return PyFloat_FromDouble(m.supplied_power(p.x.data, p.u_data, p.t, scratch));
    });
}

PyObject* jacobian(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return at_point("jacobian", self, args, nargs, kwnames, [](const Model& m, const Point& p) -> PyObject* {
        const auto n = static_cast<Py_ssize_t>(m.n_states);
        return vector_to_array(m.jacobian(p.x.data, p.u_data, p.t), {n, n});
    });
}

PyObject* energy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return at_state("energy", self, args, nargs, kwnames, nullptr, [](const Model& m, const double* x, Scratch& s) {
        return PyFloat_FromDouble(m.energy(x, s));
    });
}

PyObject* grad_h(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return at_state("grad_h", self, args, nargs, kwnames, "state length mismatch",
                    [](const Model& m, const double* x, Scratch& s) { return vector_to_array(m.grad_h(x, s)); });
}

}  // namespace zarel::py
