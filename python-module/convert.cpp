// Argument parsing and conversions between Python/NumPy values and engine vectors.
#include "binding.hpp"

#define ZAREL_NUMPY_OWNER
#include "numpy.hpp"

#include <cstring>

namespace zarel::py {

namespace {

// The exception of an engine error's variant, with the given text.
std::nullptr_t raise(const EngineError& error, const std::string& text) {
    const bool integration = std::holds_alternative<StepFailed>(error.variant()) ||
                             std::holds_alternative<NonFinite>(error.variant());
    PyRef message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (message) PyErr_SetObject(integration ? PyExc_RuntimeError : PyExc_ValueError, message.get());
    return nullptr;
}

}  // namespace

PyObject* InternalFault = nullptr;

SharedHold::SharedHold(PyModel* self) {
    std::int64_t n = self->holds.load(std::memory_order_relaxed);
    do {
        if (n < 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            return;
        }
    } while (!self->holds.compare_exchange_weak(n, n + 1, std::memory_order_acquire, std::memory_order_relaxed));
    self_ = self;
}

SharedHold::~SharedHold() {
    if (self_) self_->holds.fetch_sub(1, std::memory_order_release);
}

std::nullptr_t to_py(const EngineError& error) { return raise(error, error.display()); }

std::nullptr_t to_py(const EngineError& error, Method method) { return raise(error, run_failure_text(error, method)); }

std::nullptr_t invalid_argument(const std::string& message) { return to_py(InvalidArgument{message}); }

std::string run_failure_text(const EngineError& error, Method method) {
    const auto* failed = std::get_if<StepFailed>(&error.variant());
    const bool adaptive = method == Method::Rk45 || method == Method::Dop853 || method == Method::Rodas5p;
    if (!failed || !adaptive) return error.display();
    return std::string("the ") + method_name(method) + " step at t = " +
           format_number(failed->t) + " failed: " + failed->message;
}

bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    const auto count = static_cast<Py_ssize_t>(sig.names.size());
    const char* const* names = sig.names.begin();
    if (nargs > count) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zd argument%s (%zd given)", sig.function, count,
                     count == 1 ? "" : "s", nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) out[i] = i < nargs ? args[i] : nullptr;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t slot = -1;
        for (Py_ssize_t i = 0; i < count && slot < 0; ++i)
            if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) slot = i;
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.function, key);
            return false;
        }
        if (out[slot]) {
            PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zd)", sig.function,
                         names[slot], slot + 1);
            return false;
        }
        out[slot] = args[nargs + k];
    }
    for (std::size_t i = 0; i < sig.required; ++i)
        if (!out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", sig.function, names[i], i + 1);
            return false;
        }
    return true;
}

bool numpy_ready() {
    if (PyArray_API) return true;
    if (_import_array() >= 0) return true;
    // NumPy could not be loaded: report it as the engine's own fault, keeping the cause
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyRef cause_text(value ? PyObject_Str(value) : nullptr);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    PyErr_Clear();
    PyErr_Format(InternalFault, "NumPy's C API could not be loaded: %S",
                 cause_text ? cause_text.get() : Py_None);
    return false;
}

bool check_array(PyObject* obj, const char* name, int ndim) {
    if (!numpy_ready()) return false;
    if (PyArray_Check(obj)) {
        auto* a = reinterpret_cast<PyArrayObject*>(obj);
        if (PyArray_NDIM(a) == ndim && PyArray_EquivTypenums(PyArray_TYPE(a), NPY_DOUBLE) &&
            PyArray_ISNOTSWAPPED(a))
            return true;
    }
    // the object is described without calling its __repr__, which could run arbitrary code or
    // raise something other than the TypeError owed here
    if (PyArray_Check(obj)) {
        auto* a = reinterpret_cast<PyArrayObject*>(obj);
        PyErr_Format(PyExc_TypeError,
                     "argument '%s' must be a %d-dimensional numpy.ndarray of float64, not a %d-dimensional %.200s "
                     "of %.200s%s",
                     name, ndim, PyArray_NDIM(a), Py_TYPE(obj)->tp_name, PyArray_DESCR(a)->typeobj->tp_name,
                     PyArray_ISNOTSWAPPED(a) ? "" : " in non-native byte order");
    } else {
        PyErr_Format(PyExc_TypeError, "argument '%s' must be a %d-dimensional numpy.ndarray of float64, not %.200s",
                     name, ndim, Py_TYPE(obj)->tp_name);
    }
    return false;
}

bool read_in_place(PyObject* obj, const char* name, ArrayView& view) {
    if (!check_array(obj, name, 1)) return false;
    auto* a = reinterpret_cast<PyArrayObject*>(obj);
    if (!PyArray_IS_C_CONTIGUOUS(a) && !PyArray_IS_F_CONTIGUOUS(a)) {
        PyErr_SetString(PyExc_TypeError, "The given array is not contiguous");
        return false;
    }
    view.array = obj;
    view.size = static_cast<std::size_t>(PyArray_SIZE(a));
    if (PyArray_ISALIGNED(a) || view.size == 0) {
        view.data = static_cast<const double*>(PyArray_DATA(a));
    } else {
        view.aligned_copy.resize(view.size);
        std::memcpy(view.aligned_copy.data(), PyArray_DATA(a), view.size * sizeof(double));
        view.data = view.aligned_copy.data();
    }
    return true;
}

namespace {

template <class Sink>
void for_each_row(PyObject* obj, Sink&& sink) {
    auto* a = reinterpret_cast<PyArrayObject*>(obj);
    const npy_intp rows = PyArray_DIM(a, 0), cols = PyArray_DIM(a, 1);
    const npy_intp rs = PyArray_STRIDE(a, 0), cs = PyArray_STRIDE(a, 1);
    const char* base = static_cast<const char*>(PyArray_DATA(a));
    for (npy_intp i = 0; i < rows; ++i) {
        double* dst = sink(static_cast<std::size_t>(cols));
        for (npy_intp j = 0; j < cols; ++j) std::memcpy(dst + j, base + i * rs + j * cs, sizeof(double));
    }
}

}  // namespace

bool copy_rows_flat(PyObject* obj, const char* name, std::vector<double>& flat) {
    if (!check_array(obj, name, 2)) return false;
    flat.assign(static_cast<std::size_t>(PyArray_SIZE(reinterpret_cast<PyArrayObject*>(obj))), 0.0);
    // no values, nothing to visit: a (huge, 0) array must not walk its rows
    if (flat.empty()) return true;
    std::size_t at = 0;
    for_each_row(obj, [&](std::size_t cols) { double* p = flat.data() + at; at += cols; return p; });
    return true;
}

bool copy_rows(PyObject* obj, const char* name, std::vector<std::vector<double>>& rows) {
    if (!check_array(obj, name, 2)) return false;
    rows.clear();
    rows.reserve(static_cast<std::size_t>(PyArray_DIM(reinterpret_cast<PyArrayObject*>(obj), 0)));
    for_each_row(obj, [&](std::size_t cols) { return rows.emplace_back(cols).data(); });
    return true;
}

bool input_series(PyObject* u, Interp interp, std::vector<double>& storage, Inputs& inputs) {
    inputs = Inputs{};
    inputs.interp = interp;
    if (u) {
        if (!copy_rows_flat(u, "u", storage)) return false;
        // a non-null pointer marks the series as present even when it holds no values
        static const double no_values = 0.0;
        inputs.data = storage.empty() ? &no_values : storage.data();
        inputs.size = storage.size();
    }
    return true;
}

bool to_double(PyObject* obj, const char* name, double& out) {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    out = PyFloat_AsDouble(obj);
    if (out == -1.0 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "argument '%s' must be a real number, not %.200s", name,
                         Py_TYPE(obj)->tp_name);
        }
        return false;
    }
    return true;
}

bool to_count(PyObject* obj, const char* name, std::uint64_t& out) {
    PyRef index(PyNumber_Index(obj));
    if (!index) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "argument '%s' must be an integer, not %.200s", name, Py_TYPE(obj)->tp_name);
        }
        return false;
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool to_bool(PyObject* obj, const char* name, bool& out) {
    if (PyBool_Check(obj)) {
        out = obj == Py_True;
        return true;
    }
    if (numpy_ready() && PyArray_IsScalar(obj, Bool)) {
        out = PyArrayScalar_VAL(obj, Bool) != 0;
        return true;
    }
    if (!PyErr_Occurred())
        PyErr_Format(PyExc_TypeError, "argument '%s' must be a bool, not %.200s", name, Py_TYPE(obj)->tp_name);
    return false;
}

bool to_text(PyObject* obj, const char* name, std::string_view& out) {
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "argument '%s' must be str, not %.200s", name, Py_TYPE(obj)->tp_name);
        return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!text) return false;
    out = std::string_view(text, static_cast<std::size_t>(size));
    return true;
}

PyObject* array_over(PyObject* owner, std::span<double> v, std::initializer_list<Py_ssize_t> shape) {
    static double empty_storage = 0.0;
    npy_intp dims[3] = {static_cast<npy_intp>(v.size())};
    int nd = 1;
    if (shape.size() > 0) {
        nd = 0;
        for (Py_ssize_t d : shape) dims[nd++] = d;
    }
    double* data = v.empty() ? &empty_storage : v.data();
    PyObject* array = PyArray_New(&PyArray_Type, nd, dims, NPY_DOUBLE, nullptr, data, 0, NPY_ARRAY_CARRAY, nullptr);
    if (!array) return nullptr;
    Py_INCREF(owner);
    // the base reference is taken over even when this fails
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), owner) < 0) {
        Py_DECREF(array);
        return nullptr;
    }
    return array;
}

bool dict_insert(PyObject* dict, PyObject* key, PyObject* value) {
    PyRef owned(value);
    return owned && key && PyDict_SetItem(dict, key, owned.get()) == 0;
}

SolverOptions default_options() {
    return SolverOptions{1e-8, 1e-10, 1e-10, 50, 1000000, true, true};
}

}  // namespace zarel::py
