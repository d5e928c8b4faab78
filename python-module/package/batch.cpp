// simulate_batch: many runs in parallel, each written straight into the caller's arrays, each
// with its own outcome; and empty, arrays for those runs to write into.
#include "package.hpp"
#include "numpy.hpp"

namespace zarel::py::package {

namespace {

std::string shape_text(const npy_intp* dims, int ndim) {
    std::string text = "(";
    for (int d = 0; d < ndim; ++d) text += (d ? ", " : "") + std::to_string(dims[d]);
    return text + (ndim == 1 ? ",)" : ")");
}

// A caller's array the runs write into: of the given type and exact shape, C-contiguous, aligned
// and writable; null (not recorded) for None unless required.
bool target(PyObject* obj, const char* name, int type, std::initializer_list<npy_intp> shape, void*& data) {
    data = nullptr;
    if (!obj || obj == Py_None) return true;
    const char* type_name = type == NPY_DOUBLE ? "float64" : "uint64";
    if (!PyArray_Check(obj) || PyArray_TYPE(reinterpret_cast<PyArrayObject*>(obj)) != type) {
        PyErr_Format(PyExc_TypeError, "argument '%s' must be a %s numpy.ndarray, not %.200s", name, type_name,
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    const bool same = PyArray_NDIM(array) == static_cast<int>(shape.size()) &&
                      std::equal(shape.begin(), shape.end(), PyArray_DIMS(array));
    if (!same) {
        invalid_argument(std::string(name) + " must have shape " +
                         shape_text(shape.begin(), static_cast<int>(shape.size())) + ", got " +
                         shape_text(PyArray_DIMS(array), PyArray_NDIM(array)));
        return false;
    }
    const int flags = NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_WRITEABLE;
    if (!PyArray_CHKFLAGS(array, flags)) {
        invalid_argument(std::string(name) + " must be C-contiguous, aligned and writable");
        return false;
    }
    data = PyArray_DATA(array);
    return true;
}

// The outcome of each run: None, or the message of the exception Model.simulate would raise.
PyObject* outcome_list(const std::vector<std::optional<EngineError>>& outcomes, Method method) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(outcomes.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        PyObject* item = Py_NewRef(Py_None);
        if (outcomes[i]) {
            Py_DECREF(item);
            const std::string text = run_failure_text(*outcomes[i], method);
            item = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
            if (!item) return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

}  // namespace

PyObject* simulate_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* in[20];
        if (!positional_at_most("simulate_batch", nargs, 4) ||
            !parse_args({"simulate_batch",
                         {"model", "x0s", "t", "u", "params", "method", "interp", "rtol", "atol", "newton_tol",
                          "max_newton", "dense", "x", "energy", "supplied_power", "outputs", "u_out", "stats",
                          "error_states", "sensitivity_blocks"},
                         3},
                        args, nargs, kwnames, in))
            return nullptr;
        if (!in[12]) {
            PyErr_SetString(PyExc_TypeError, "simulate_batch() missing 1 required keyword-only argument: 'x'");
            return nullptr;
        }
        if (!count_in_range(in[10], "max_newton")) return nullptr;
        PyModel* holder = model_arg(in[0]);
        if (!holder) return nullptr;
        SharedHold hold(holder);
        if (!hold.ok()) return nullptr;
        const Model& model = holder->model;
        PyObject* u = in[3] == Py_None ? nullptr : in[3];
        PyObject* params = in[4] == Py_None ? nullptr : in[4];
        std::string_view method_text = "midpoint", interp_text = "hold";
        SolverOptions options = default_options();
        bool dense = false;
        if (!check_array(in[1], "x0s", 2) || !check_array(in[2], "t", 1) || (u && !check_array(u, "u", 2)) ||
            (params && !check_array(params, "params", 2)) || (in[5] && !to_text(in[5], "method", method_text)) ||
            (in[6] && !to_text(in[6], "interp", interp_text)) || !take_tolerances(in + 7, options) ||
            (in[11] && !to_bool(in[11], "dense", dense)) || !take_structure(in + 18, options))
            return nullptr;
        Method method;
        Interp interp = Interp::Hold;
        if (!take_names(method_text, &interp_text, method, interp, true)) return nullptr;

        const auto N = PyArray_DIM(reinterpret_cast<PyArrayObject*>(in[1]), 0);
        const auto columns = PyArray_DIM(reinterpret_cast<PyArrayObject*>(in[1]), 1);
        if (static_cast<std::uint64_t>(columns) != model.n_states)
            return invalid_argument("initial state has " + std::to_string(columns) + " entries, the model has " +
                                    std::to_string(model.n_states) + " states");
        if (params) {
            const auto rows = PyArray_DIM(reinterpret_cast<PyArrayObject*>(params), 0);
            const auto values = PyArray_DIM(reinterpret_cast<PyArrayObject*>(params), 1);
            if (rows != N)
                return invalid_argument(std::to_string(N) + " initial states but " + std::to_string(rows) +
                                        " parameter sets");
            if (static_cast<std::uint64_t>(values) != model.n_params)
                return invalid_argument("expected " + std::to_string(model.n_params) + " parameter values, got " +
                                        std::to_string(values));
        }
        ArrayView t;
        std::vector<double> x0s, param_rows, series;
        Inputs inputs;
        if (!read_in_place(in[2], "t", t) || !copy_rows_flat(in[1], "x0s", x0s) ||
            (params && !copy_rows_flat(params, "params", param_rows)) || !input_series(u, interp, series, inputs))
            return nullptr;

        const auto T = static_cast<npy_intp>(t.size), n = static_cast<npy_intp>(model.n_states),
                   m = static_cast<npy_intp>(model.n_inputs),
                   q = static_cast<npy_intp>(model.output_programs.size());
        void *x = nullptr, *energy = nullptr, *power = nullptr, *outputs = nullptr, *u_out = nullptr,
             *stats = nullptr;
        if (!target(in[12], "x", NPY_DOUBLE, {N, T, n}, x) || !target(in[13], "energy", NPY_DOUBLE, {N, T}, energy) ||
            !target(in[14], "supplied_power", NPY_DOUBLE, {N, T}, power) ||
            !target(in[15], "outputs", NPY_DOUBLE, {N, T, q}, outputs) ||
            !target(in[16], "u_out", NPY_DOUBLE, {N, T, m}, u_out) ||
            !target(in[17], "stats", NPY_UINT64, {N, 5}, stats))
            return nullptr;
        if (!x) {
            PyErr_SetString(PyExc_TypeError, "argument 'x' must be a float64 numpy.ndarray, not None");
            return nullptr;
        }
        const BatchTargets targets{static_cast<double*>(x),       static_cast<double*>(u_out),
                                   static_cast<double*>(energy),  static_cast<double*>(power),
                                   static_cast<double*>(outputs), static_cast<std::uint64_t*>(stats)};
        std::optional<std::span<const double>> run_params;
        if (params) run_params = param_rows;
        auto outcomes = [&] {
            Unlocked unlocked;
            return simulate_batch_into(model, static_cast<std::size_t>(N), x0s, run_params, t.span(), inputs,
                                       method, options, dense, targets);
        }();
        if (!outcomes) return to_py(outcomes.error(), method);
        return outcome_list(*outcomes, method);
    });
}

// Arrays for a batch to write into, in the storage of the engine's results: a block freed by an
// earlier result of the same size is reused, mapped and without the system's zeroing, instead of
// memory fresh from the system, whose first writes cost a page fault each.
PyObject* empty(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* in[3];
        if (!parse_args({"empty", {"runs", "points", "columns"}, 2}, args, nargs, kwnames, in) || !numpy_ready())
            return nullptr;
        const bool flat = !in[2] || in[2] == Py_None;
        std::uint64_t runs = 0, points = 0, columns = 1;
        if (!to_count(in[0], "runs", runs) || !to_count(in[1], "points", points) ||
            (!flat && !to_count(in[2], "columns", columns)))
            return nullptr;
        std::uint64_t size = 0;
        if (__builtin_mul_overflow(runs, points, &size) || __builtin_mul_overflow(size, columns, &size))
            return PyErr_NoMemory();
        std::vector<double, Uninitialised<double>> values(size);
        const auto r = static_cast<Py_ssize_t>(runs), p = static_cast<Py_ssize_t>(points);
        if (flat) return vector_to_array(std::move(values), {r, p});
        return vector_to_array(std::move(values), {r, p, static_cast<Py_ssize_t>(columns)});
    });
}

}  // namespace zarel::py::package
