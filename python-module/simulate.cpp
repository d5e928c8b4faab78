// step and simulate: one integration step, and a run over a time grid with the interpreter lock
// released while the driver integrates.
#include "binding.hpp"
#include "numpy.hpp"

#include <cmath>

namespace zarel::py {

namespace {

PyObject* method_text(Method method) {
    PyObject* text = nullptr;
    switch (method) {
    case Method::Euler: text = key<"euler">(); break;
    case Method::Rk4: text = key<"rk4">(); break;
    case Method::Rk45: text = key<"rk45">(); break;
    case Method::Midpoint: text = key<"midpoint">(); break;
    case Method::Dop853: text = key<"dop853">(); break;
    case Method::Rodas5p: text = key<"rodas5p">(); break;
    case Method::Gauss4: text = key<"gauss4">(); break;
    }
    Py_XINCREF(text);
    return text;
}

// A new dict holding None under the given keys, in their order, made by copying `layout` (built
// on first use and kept): a copy costs less than growing a dict key by key, and the values are
// then replaced in place.
PyObject* dict_like(PyObject*& layout, std::initializer_list<PyObject*> keys) {
    if (!layout) {
        PyRef d(PyDict_New());
        if (!d) return nullptr;
        for (PyObject* k : keys)
            if (!k || PyDict_SetItem(d.get(), k, Py_None) < 0) return nullptr;
        layout = d.release();
    }
    return PyDict_Copy(layout);
}

PyObject* stats_dict(const Trajectory& tr) {
    static PyObject* layout = nullptr;
    PyRef stats(dict_like(layout, {key<"steps">(), key<"rhs_evals">(), key<"newton_iterations">(),
                                   key<"jacobian_evals">(), key<"rejected_steps">(), key<"method">()}));
    if (!stats) return nullptr;
    PyObject* d = stats.get();
    if (!dict_insert(d, key<"steps">(), PyLong_FromUnsignedLongLong(tr.steps)) ||
        !dict_insert(d, key<"rhs_evals">(), PyLong_FromUnsignedLongLong(tr.rhs_evals)) ||
        !dict_insert(d, key<"newton_iterations">(), PyLong_FromUnsignedLongLong(tr.newton_iterations)) ||
        !dict_insert(d, key<"jacobian_evals">(), PyLong_FromUnsignedLongLong(tr.jacobian_evals)) ||
        !dict_insert(d, key<"rejected_steps">(), PyLong_FromUnsignedLongLong(tr.rejected_steps)) ||
        !dict_insert(d, key<"method">(), method_text(tr.method)))
        return nullptr;
    return stats.release();
}

}  // namespace

// The result of a run: its arrays share one owner, the moved trajectory, so that the six of them
// cost one allocation instead of two each.
PyObject* trajectory_dict(Trajectory&& run, std::size_t n, std::size_t m) {
    Trajectory* tr = nullptr;
    PyRef owner(owner_of(std::move(run), tr));
    if (!owner) return nullptr;
    PyObject* o = owner.get();
    const auto L = static_cast<Py_ssize_t>(tr->t.size());
    const auto q = static_cast<Py_ssize_t>(tr->outputs.size() / tr->t.size());
    const auto energies = static_cast<Py_ssize_t>(tr->energy.size());
    static PyObject* layout = nullptr;
    PyRef dict(dict_like(layout, {key<"t">(), key<"x">(), key<"u">(), key<"energy">(), key<"supplied_power">(),
                                  key<"outputs">(), key<"stats">()}));
    if (!dict) return nullptr;
    PyObject* d = dict.get();
    if (!dict_insert(d, key<"t">(), array_over(o, tr->t)) ||
        !dict_insert(d, key<"x">(), array_over(o, tr->x, {L, static_cast<Py_ssize_t>(n)})) ||
        !dict_insert(d, key<"u">(), array_over(o, tr->u, {L, static_cast<Py_ssize_t>(m)})) ||
        !dict_insert(d, key<"energy">(), array_over(o, tr->energy, {energies})) ||
        !dict_insert(d, key<"supplied_power">(), array_over(o, tr->supplied_power, {energies})) ||
        !dict_insert(d, key<"outputs">(), array_over(o, tr->outputs, {L, q})) ||
        !dict_insert(d, key<"stats">(), stats_dict(*tr)))
        return nullptr;
    return dict.release();
}

// A tolerance that is negative, NaN or infinite would let a run report a plainly wrong result as
// a success, so it is refused before any work; zero keeps its meaning.
bool take_tolerance(PyObject* obj, const char* name, double& out) {
    if (!obj) return true;
    if (!to_double(obj, name, out)) return false;
    if (std::isfinite(out) && out >= 0.0) return true;
    char* text = PyOS_double_to_string(out, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (!text) return false;
    PyErr_Format(PyExc_ValueError, "%s must be a finite non-negative number, got %s", name, text);
    PyMem_Free(text);
    return false;
}

bool take_tolerances(PyObject* const* in, SolverOptions& options) {
    return take_tolerance(in[0], "rtol", options.rtol) && take_tolerance(in[1], "atol", options.atol) &&
           take_tolerance(in[2], "newton_tol", options.newton_tol) &&
           (!in[3] || to_count(in[3], "max_newton", options.max_newton));
}

bool take_names(std::string_view method_text, std::string_view* interp_text, Method& method, Interp& interp,
                bool package_methods) {
    auto m = package_methods ? parse_package_method(method_text) : parse_method(method_text);
    if (!m) return to_py(m.error()), false;
    method = *m;
    if (interp_text) {
        auto i = parse_interp(*interp_text);
        if (!i) return to_py(i.error()), false;
        interp = *i;
    }
    return true;
}

PyObject* step(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* in[9];
        if (!parse_args({"step", {"x", "u", "t", "dt", "method", "rtol", "atol", "newton_tol", "max_newton"}, 4}, args,
                        nargs, kwnames, in))
            return nullptr;
        SharedHold hold(as_model(self));
        if (!hold.ok()) return nullptr;
        const Model& model = as_model(self)->model;
        PyObject* u = in[1] == Py_None ? nullptr : in[1];
        double t = 0.0, dt = 0.0;
        std::string_view method_text = "midpoint";
        SolverOptions options = default_options();
        options.record_outputs = options.record_energy = false;
        if (!check_array(in[0], "x", 1) || (u && !check_array(u, "u", 1)) || !to_double(in[2], "t", t) ||
            !to_double(in[3], "dt", dt) || (in[4] && !to_text(in[4], "method", method_text)) ||
            !take_tolerances(in + 5, options))
            return nullptr;
        ArrayView x, uv;
        if (!read_in_place(in[0], "x", x)) return nullptr;
        std::vector<double> zeros(model.n_inputs, 0.0);
        std::span<const double> input(zeros);
        if (u) {
            if (!read_in_place(u, "u", uv)) return nullptr;
            input = uv.span();
        }
        Method method;
        Interp unused;
        if (!take_names(method_text, nullptr, method, unused)) return nullptr;
        if (x.size != model.n_states)
            return invalid_argument("state has " + std::to_string(x.size) + " entries, the model has " +
                                    std::to_string(model.n_states) + " states");
        if (input.size() != model.n_inputs)
            return invalid_argument("input has " + std::to_string(input.size()) + " entries, the model has " +
                                    std::to_string(model.n_inputs) + " inputs");
        auto next = zarel::step(model, x.span(), input, t, dt, method, options);
        if (!next) return to_py(next.error());
        return vector_to_array(std::move(*next));
    });
}

bool take_structure(PyObject* const* structure, SolverOptions& options) {
    if (!structure) return true;
    std::uint64_t count = 0;
    if (structure[0] && structure[0] != Py_None) {
        if (!to_count(structure[0], "error_states", count)) return false;
        options.error_states = static_cast<std::size_t>(count);
    }
    if (structure[1] && structure[1] != Py_None) {
        if (!to_count(structure[1], "sensitivity_blocks", count)) return false;
        options.sensitivity_blocks = static_cast<std::size_t>(count);
    }
    return true;
}

PyObject* simulate_model(const Model& model, PyObject* const* in, PyObject* params, PyObject* dense_flag,
                         bool package_methods, PyObject* const* structure) {
    PyObject* u = in[2] == Py_None ? nullptr : in[2];
    if (params == Py_None) params = nullptr;
    std::string_view method_text = "midpoint", interp_text = "hold";
    SolverOptions options = default_options();
    RunChoices choices;
    if (!check_array(in[0], "x0", 1) || !check_array(in[1], "t", 1) || (u && !check_array(u, "u", 2)) ||
        (params && !check_array(params, "params", 1)) || (in[3] && !to_text(in[3], "method", method_text)) ||
        (in[4] && !to_text(in[4], "interp", interp_text)) || !take_tolerances(in + 5, options) ||
        (in[9] && !to_bool(in[9], "record_outputs", options.record_outputs)) ||
        (in[10] && !to_bool(in[10], "record_energy", options.record_energy)) ||
        (dense_flag && !to_bool(dense_flag, "dense", choices.dense)) || !take_structure(structure, options))
        return nullptr;
    Method method;
    Interp interp = Interp::Hold;
    if (!take_names(method_text, &interp_text, method, interp, package_methods)) return nullptr;
    ArrayView x0, t, p;
    if (!read_in_place(in[0], "x0", x0) || !read_in_place(in[1], "t", t) ||
        (params && !read_in_place(params, "params", p)))
        return nullptr;
    if (params) choices.params = p.span();
    std::vector<double> series;
    Inputs inputs;
    if (!input_series(u, interp, series, inputs)) return nullptr;
    Result<Trajectory> run = [&] {
        Unlocked unlocked;
        return zarel::simulate(model, x0.span(), t.span(), inputs, method, options, choices);
    }();
    if (!run) return package_methods ? to_py(run.error(), method) : to_py(run.error());
    return trajectory_dict(std::move(*run), model.n_states, model.n_inputs);
}

PyObject* simulate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* in[11];
        if (!parse_args({"simulate", kSimulateNames, 2}, args, nargs, kwnames, in)) return nullptr;
        SharedHold hold(as_model(self));
        if (!hold.ok()) return nullptr;
        return simulate_model(as_model(self)->model, in, nullptr, nullptr);
    });
}

}  // namespace zarel::py
