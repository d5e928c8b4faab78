// simulate_batch: many runs of one model in parallel, stacked into (N, L, n) states and
// (N, L) energies.
#include "binding.hpp"
#include "numpy.hpp"

#include <algorithm>

namespace zarel::py {

PyObject* simulate_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* in[10];
        if (!parse_args({"simulate_batch",
                         {"x0s", "t", "u", "params", "method", "interp", "rtol", "atol", "newton_tol", "max_newton"},
                         2},
                        args, nargs, kwnames, in))
            return nullptr;
        SharedHold hold(as_model(self));
        if (!hold.ok()) return nullptr;
        const Model& model = as_model(self)->model;
        PyObject* u = in[2] == Py_None ? nullptr : in[2];
        PyObject* params = in[3] == Py_None ? nullptr : in[3];
        std::string_view method_text = "midpoint", interp_text = "hold";
        SolverOptions options = default_options();
        options.record_outputs = false;
        if (!check_array(in[0], "x0s", 2) || !check_array(in[1], "t", 1) || (u && !check_array(u, "u", 2)) ||
            (params && !check_array(params, "params", 2)) || (in[4] && !to_text(in[4], "method", method_text)) ||
            (in[5] && !to_text(in[5], "interp", interp_text)) || !take_tolerances(in + 6, options))
            return nullptr;
        Method method;
        Interp interp = Interp::Hold;
        if (!take_names(method_text, &interp_text, method, interp)) return nullptr;
        ArrayView t;
        if (!read_in_place(in[1], "t", t)) return nullptr;
        std::vector<std::vector<double>> x0s, param_rows;
        if (!copy_rows(in[0], "x0s", x0s) || (params && !copy_rows(params, "params", param_rows))) return nullptr;
        std::vector<double> series;
        Inputs inputs;
        if (!input_series(u, interp, series, inputs)) return nullptr;
        Result<std::vector<Trajectory>> runs = [&] {
            Unlocked unlocked;
            return zarel::simulate_batch(model, x0s, params ? &param_rows : nullptr, t.span(), inputs, method, options);
        }();
        if (!runs) return to_py(runs.error());

        const std::size_t N = runs->size(), L = t.size, n = model.n_states;
        std::size_t states_size = 0, energy_size = 0;
        if (__builtin_mul_overflow(N, L, &energy_size) || __builtin_mul_overflow(energy_size, n, &states_size))
            return PyErr_NoMemory();
        // in the kept blocks of results, so that a repeated batch finds its memory mapped
        Samples states, energies;
        states.reserve(states_size);
        energies.reserve(energy_size);
        for (Trajectory& run : *runs) {
            states.insert(states.end(), run.x.begin(), run.x.end());
            energies.insert(energies.end(), run.energy.begin(), run.energy.end());
            run = Trajectory{};
        }
        const auto sN = static_cast<Py_ssize_t>(N), sL = static_cast<Py_ssize_t>(L), sn = static_cast<Py_ssize_t>(n);
        PyRef dict(PyDict_New());
        if (!dict) return nullptr;
        if (!dict_insert(dict.get(), key<"t">(), vector_to_array(std::vector<double>(t.data, t.data + t.size))) ||
            !dict_insert(dict.get(), key<"x">(), vector_to_array(std::move(states), {sN, sL, sn})) ||
            !dict_insert(dict.get(), key<"energy">(), vector_to_array(std::move(energies), {sN, sL})))
            return nullptr;
        return dict.release();
    });
}

}  // namespace zarel::py
