// simulate_discrete_gradient: a run of Gonzalez's discrete gradient method on a model and its
// structure model, with parameters for the call alone, as simulate returns its runs.
#include "package.hpp"
#include "zarel/discrete_gradient.hpp"

namespace zarel::py::package {

namespace {

// blocks: a sequence of (first state, number of states, energy output) triples of whole numbers
bool read_blocks(PyObject* obj, std::vector<EnergyBlock>& blocks) {
    PyRef items(PySequence_Fast(obj, "blocks must be a sequence of (first state, states, energy output) triples"));
    if (!items) return false;
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 3) {
            PyErr_Format(PyExc_TypeError, "a block is a (first state, states, energy output) triple, got %R", item);
            return false;
        }
        std::size_t v[3];
        for (Py_ssize_t k = 0; k < 3; ++k) {
            v[k] = PyLong_AsSize_t(PyTuple_GET_ITEM(item, k));
            if (v[k] == static_cast<std::size_t>(-1) && PyErr_Occurred()) return false;
        }
        blocks.push_back({v[0], v[1], v[2]});
    }
    return true;
}

}  // namespace

PyObject* simulate_discrete_gradient(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* in[14];
        if (!positional_at_most("simulate_discrete_gradient", nargs, 5) ||
            !parse_args({"simulate_discrete_gradient",
                         {"model", "structure", "x0", "t", "u", "params", "interp", "rtol", "atol", "newton_tol",
                          "max_newton", "record_outputs", "record_energy", "blocks"},
                         4},
                        args, nargs, kwnames, in))
            return nullptr;
        if (!count_in_range(in[10], "max_newton")) return nullptr;
        PyModel* holder = model_arg(in[0]);
        if (!holder) return nullptr;
        PyModel* structure_holder = model_arg(in[1]);
        if (!structure_holder) return nullptr;
        SharedHold hold(holder);
        if (!hold.ok()) return nullptr;
        SharedHold structure_hold(structure_holder);
        if (!structure_hold.ok()) return nullptr;
        const Model& model = holder->model;
        const Model& structure = structure_holder->model;
        PyObject* u = in[4] == Py_None ? nullptr : in[4];
        PyObject* params = in[5] == Py_None ? nullptr : in[5];
        std::string_view interp_text = "hold";
        SolverOptions options = default_options();
        if (!check_array(in[2], "x0", 1) || !check_array(in[3], "t", 1) || (u && !check_array(u, "u", 2)) ||
            (params && !check_array(params, "params", 1)) || (in[6] && !to_text(in[6], "interp", interp_text)) ||
            !take_tolerances(in + 7, options) ||
            (in[11] && !to_bool(in[11], "record_outputs", options.record_outputs)) ||
            (in[12] && !to_bool(in[12], "record_energy", options.record_energy)))
            return nullptr;
        std::vector<EnergyBlock> blocks;
        if (in[13] && in[13] != Py_None && !read_blocks(in[13], blocks)) return nullptr;
        auto interp = parse_interp(interp_text);
        if (!interp) return to_py(interp.error());
        ArrayView x0, t, p;
        if (!read_in_place(in[2], "x0", x0) || !read_in_place(in[3], "t", t) ||
            (params && !read_in_place(params, "params", p)))
            return nullptr;
        std::optional<std::span<const double>> run_params;
        if (params) run_params = p.span();
        std::vector<double> series;
        Inputs inputs;
        if (!input_series(u, *interp, series, inputs)) return nullptr;
        Result<Trajectory> run = [&] {
            Unlocked unlocked;
            return zarel::simulate_discrete_gradient(model, structure, x0.span(), t.span(), inputs, options,
                                                     run_params, blocks);
        }();
        if (!run) return to_py(run.error());
        PyRef result(trajectory_dict(std::move(*run), model.n_states, model.n_inputs));
        if (!result) return nullptr;
        // the engine's methods do not name this one: its stats say what ran
        PyObject* stats = PyDict_GetItemWithError(result.get(), key<"stats">());
        if (!stats) return PyErr_Occurred() ? nullptr : invalid_argument("the result has no stats");
        PyRef name(PyUnicode_FromString("discrete_gradient"));
        if (!name || PyDict_SetItem(stats, key<"method">(), name.get()) < 0) return nullptr;
        return result.release();
    });
}

}  // namespace zarel::py::package
