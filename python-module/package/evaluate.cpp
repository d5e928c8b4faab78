// evaluate: one of the Model's point evaluations at many points, with parameters for the call.
#include "package.hpp"
#include "numpy.hpp"

namespace zarel::py::package {

namespace {

enum class Quantity { Rhs, Outputs, PortOutputs, SuppliedPower, Energy, GradH };

bool parse_quantity(std::string_view name, Quantity& what) {
    constexpr std::pair<std::string_view, Quantity> names[] = {
        {"rhs", Quantity::Rhs},
        {"outputs", Quantity::Outputs},
        {"port_outputs", Quantity::PortOutputs},
        {"supplied_power", Quantity::SuppliedPower},
        {"energy", Quantity::Energy},
        {"grad_h", Quantity::GradH},
    };
    for (const auto& [text, quantity] : names)
        if (text == name) return what = quantity, true;
    invalid_argument("unknown quantity " + quoted_literal(name) +
                     "; choose rhs, outputs, port_outputs, supplied_power, energy or grad_h");
    return false;
}

// Values per point: a row of the list's length, or one for the scalar quantities.
std::size_t width_of(const Model& model, Quantity what) {
    switch (what) {
    case Quantity::Rhs: return model.rhs_programs.size();
    case Quantity::Outputs: return model.output_programs.size();
    case Quantity::PortOutputs: return model.port_output_programs.size();
    case Quantity::GradH: return model.grad_h_programs.size();
    case Quantity::SuppliedPower:
    case Quantity::Energy: return 1;
    }
    return 1;
}

// The quantity at one point into out, by the evaluation the Model method makes.
void evaluate_at(const Model& model, Quantity what, const double* x, const double* u, double t, Scratch& s,
                 double* out) {
    auto list = [&](NativeFn native, const std::vector<Program>& programs) {
        model.fill_params(s);
        model.fill_point(x, u, t, s.env.data());
        Model::eval_into(native, programs, s, out);
    };
    switch (what) {
    case Quantity::Rhs: return list(model.native.rhs, model.rhs_programs);
    case Quantity::Outputs: return list(model.native.outputs, model.output_programs);
    case Quantity::PortOutputs: return list(model.native.port_outputs, model.port_output_programs);
    case Quantity::SuppliedPower: *out = model.supplied_power(x, u, t, s); return;
    case Quantity::Energy: *out = model.energy(x, s); return;
    case Quantity::GradH: {
        const std::vector<double> g = model.grad_h(x, s);
        std::copy(g.begin(), g.end(), out);
        return;
    }
    }
}

}  // namespace

PyObject* evaluate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* in[6];
        if (!positional_at_most("evaluate", nargs, 5) ||
            !parse_args({"evaluate", {"model", "what", "x", "u", "t", "params"}, 3}, args, nargs, kwnames, in))
            return nullptr;
        PyModel* holder = model_arg(in[0]);
        if (!holder) return nullptr;
        SharedHold hold(holder);
        if (!hold.ok()) return nullptr;
        const Model& model = holder->model;
        PyObject* u = in[3] == Py_None ? nullptr : in[3];
        PyObject* t = in[4] == Py_None ? nullptr : in[4];
        PyObject* params = in[5] == Py_None ? nullptr : in[5];
        std::string_view what_text;
        Quantity what;
        if (!to_text(in[1], "what", what_text) || !parse_quantity(what_text, what) || !check_array(in[2], "x", 2) ||
            (u && !check_array(u, "u", 2)) || (t && !check_array(t, "t", 1)) ||
            (params && !check_array(params, "params", 1)))
            return nullptr;
        const std::size_t n = model.n_states, m = model.n_inputs;
        const auto K = static_cast<std::size_t>(PyArray_DIM(reinterpret_cast<PyArrayObject*>(in[2]), 0));
        auto columns = [](PyObject* a) { return static_cast<std::size_t>(PyArray_DIM(reinterpret_cast<PyArrayObject*>(a), 1)); };
        auto rows = [](PyObject* a) { return static_cast<std::size_t>(PyArray_DIM(reinterpret_cast<PyArrayObject*>(a), 0)); };
        if (columns(in[2]) != n)
            return invalid_argument("state has " + std::to_string(columns(in[2])) + " entries, the model has " +
                                    std::to_string(n) + " states");
        if (u && columns(u) != m)
            return invalid_argument("input has " + std::to_string(columns(u)) + " entries, the model has " +
                                    std::to_string(m) + " inputs");
        if (u && rows(u) != K)
            return invalid_argument("u has " + std::to_string(rows(u)) + " rows, x has " + std::to_string(K));
        std::vector<double> xs, us, ts, own;
        ArrayView tv, pv;
        if (!copy_rows_flat(in[2], "x", xs) || (u && !copy_rows_flat(u, "u", us)) ||
            (t && !read_in_place(t, "t", tv)) || (params && !read_in_place(params, "params", pv)))
            return nullptr;
        if (t && tv.size != K)
            return invalid_argument("t has " + std::to_string(tv.size) + " values, x has " + std::to_string(K) + " rows");
        if (params && pv.size != model.n_params)
            return invalid_argument("expected " + std::to_string(model.n_params) + " parameter values, got " +
                                    std::to_string(pv.size));
        if (!u) us.assign(std::max<std::size_t>(m, 1), 0.0);  // every point sees the zero input
        const std::size_t width = width_of(model, what);
        std::vector<double> out(K * width);
        {
            Unlocked unlocked;
            Scratch scratch = Scratch::for_model(model);
            scratch.params = params ? pv.data : nullptr;
            for (std::size_t k = 0; k < K; ++k)
                evaluate_at(model, what, xs.data() + k * n, us.data() + (u ? k * m : 0), t ? tv.data[k] : 0.0, scratch,
                            out.data() + k * width);
        }
        const auto sK = static_cast<Py_ssize_t>(K);
        if (what == Quantity::Energy || what == Quantity::SuppliedPower) return vector_to_array(std::move(out), {sK});
        return vector_to_array(std::move(out), {sK, static_cast<Py_ssize_t>(width)});
    });
}

}  // namespace zarel::py::package
