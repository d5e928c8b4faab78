// simulate: Model.simulate's run with parameters for the call alone and, optionally, dense output.
#include "package.hpp"

namespace zarel::py::package {

PyObject* simulate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        // Model.simulate's arguments in its order after the model, then this function's own
        PyObject* in[16];
        if (!positional_at_most("simulate", nargs, 4) ||
            !parse_args({"simulate",
                         {"model", "x0", "t", "u", "method", "interp", "rtol", "atol", "newton_tol", "max_newton",
                          "record_outputs", "record_energy", "params", "dense", "error_states",
                          "sensitivity_blocks"},
                         3},
                        args, nargs, kwnames, in))
            return nullptr;
        if (!count_in_range(in[9], "max_newton")) return nullptr;
        PyModel* model = model_arg(in[0]);
        if (!model) return nullptr;
        SharedHold hold(model);
        if (!hold.ok()) return nullptr;
        return simulate_model(model->model, in + 1, in[12], in[13], true, in + 14);
    });
}

}  // namespace zarel::py::package
