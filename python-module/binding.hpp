// Shared pieces of the extension: owned references, the Model object, access holds, argument
// parsing and the conversions between NumPy arrays and engine vectors.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "zarel/error.hpp"
#include "zarel/model.hpp"
#include "zarel/solver.hpp"

namespace zarel::py {

// An owned reference: steals on construction, releases on destruction, moves null the source.
class PyRef {
public:
    PyRef() = default;
    explicit PyRef(PyObject* o) : o_(o) {}
    static PyRef borrow(PyObject* o) { Py_XINCREF(o); return PyRef(o); }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& r) noexcept : o_(std::exchange(r.o_, nullptr)) {}
    PyRef& operator=(PyRef&& r) noexcept { std::swap(o_, r.o_); return *this; }
    ~PyRef() { Py_XDECREF(o_); }

    PyObject* get() const { return o_; }
    PyObject* release() { return std::exchange(o_, nullptr); }
    explicit operator bool() const { return o_ != nullptr; }

private:
    PyObject* o_ = nullptr;
};

struct PyModel {
    PyObject_HEAD
    Model model;
    // 0 when idle, the number of shared holds, or -1 while params is being assigned
    std::atomic<std::int64_t> holds;
};

inline PyModel* as_model(PyObject* self) { return reinterpret_cast<PyModel*>(self); }

// A shared hold on a Model object for one method call or property read.
class SharedHold {
public:
    explicit SharedHold(PyModel* self);
    ~SharedHold();
    bool ok() const { return self_ != nullptr; }
    SharedHold(const SharedHold&) = delete;
    SharedHold& operator=(const SharedHold&) = delete;

private:
    PyModel* self_ = nullptr;
};

// Releases the interpreter lock for its lifetime, taking it back on every exit path.
class Unlocked {
public:
    Unlocked() : state_(PyEval_SaveThread()) {}
    ~Unlocked() { PyEval_RestoreThread(state_); }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

private:
    PyThreadState* state_;
};

// Raised for internal faults caught at the module boundary.
extern PyObject* InternalFault;

// Runs an entry point's body, turning C++ exceptions into Python exceptions.
template <class F>
auto guarded(F&& body) -> decltype(body()) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(InternalFault ? InternalFault : PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(InternalFault ? InternalFault : PyExc_RuntimeError, "unknown internal fault");
    }
    if constexpr (std::is_same_v<decltype(body()), int>) return -1;
    else return nullptr;
}

// Sets the Python exception of an engine error: ValueError or RuntimeError by its variant.
std::nullptr_t to_py(const EngineError& error);
// The package's text of a run's failure: a failed step of an explicit pair (rk45, dop853) names its
// method, where Model.simulate keeps the engine's one wording for every step failure.
std::string run_failure_text(const EngineError& error, Method method);
// to_py with the package's text of a run's failure.
std::nullptr_t to_py(const EngineError& error, Method method);
std::nullptr_t invalid_argument(const std::string& message);

// Fast-call argument parsing: fills out[i] (borrowed, or null when absent) for the named
// parameters, with the interpreter's usual errors for surplus, duplicate and missing ones.
struct Signature {
    const char* function;
    std::initializer_list<const char*> names;
    std::size_t required;
};
bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// Loads NumPy's C API on first use; false with an exception set if it cannot.
bool numpy_ready();

// A one-dimensional float64 array read in place (copied only when its data are misaligned).
struct ArrayView {
    PyObject* array = nullptr;
    const double* data = nullptr;
    std::size_t size = 0;
    std::vector<double> aligned_copy;
    std::span<const double> span() const { return {data, size}; }
};
// Type, dimension and dtype check; TypeError naming the argument.
bool check_array(PyObject* obj, const char* name, int ndim);
// The readers below repeat check_array before they touch the data: the float and integer
// conversions that run between the first check and the read may execute Python code (__float__,
// __index__) that reshapes or retypes the array in place, and the data must be read as what
// they are now. The repeated check only fails for such an array, with the same TypeError.
// Contiguity check and the view of an array that passed check_array with one dimension.
bool read_in_place(PyObject* obj, const char* name, ArrayView& view);
// Copies a two-dimensional array in logical row-major order, whatever its strides.
bool copy_rows_flat(PyObject* obj, const char* name, std::vector<double>& flat);
// The input series of a run: u (null when absent) copied row-major into storage.
bool input_series(PyObject* u, Interp interp, std::vector<double>& storage, Inputs& inputs);
// Copies each row of a two-dimensional array into a vector of its own.
bool copy_rows(PyObject* obj, const char* name, std::vector<std::vector<double>>& rows);

bool to_double(PyObject* obj, const char* name, double& out);
bool to_count(PyObject* obj, const char* name, std::uint64_t& out);
bool to_bool(PyObject* obj, const char* name, bool& out);
bool to_text(PyObject* obj, const char* name, std::string_view& out);

// A capsule that owns `value`, moved to the heap (`owned` points at it) and deleted with the
// capsule; null with the error set when it cannot be made.
template <class T>
PyObject* owner_of(T&& value, T*& owned) {
    owned = new T(std::move(value));
    PyObject* capsule = PyCapsule_New(owned, nullptr, [](PyObject* c) {
        delete static_cast<T*>(PyCapsule_GetPointer(c, nullptr));
    });
    if (!capsule) delete owned;
    return capsule;
}

// A float64 array over v's storage, without copying, kept alive by `owner` (which must own v):
// one-dimensional, or of the given row-major shape of up to three dimensions, whose product is
// the vector's size.
PyObject* array_over(PyObject* owner, std::span<double> v, std::initializer_list<Py_ssize_t> shape = {});
// Hands a vector's storage to a new float64 array that owns it.
template <class Allocator>
PyObject* vector_to_array(std::vector<double, Allocator>&& v, std::initializer_list<Py_ssize_t> shape = {}) {
    std::vector<double, Allocator>* owned = nullptr;
    PyRef owner(owner_of(std::move(v), owned));
    return owner ? array_over(owner.get(), *owned, shape) : nullptr;
}

// A string literal as a template argument, for key<"...">() below.
template <std::size_t N>
struct Literal {
    char text[N];
    consteval Literal(const char (&s)[N]) { std::copy_n(s, N, text); }
};

// The interned string of a result key, made on first use and kept for the life of the process:
// making the keys of a result from C text on every call cost more than a short run itself.
// Null with the error set when it cannot be made; the next call tries again.
template <Literal K>
PyObject* key() {
    static PyObject* interned = nullptr;
    if (!interned) interned = PyUnicode_InternFromString(K.text);
    return interned;
}

// Inserts value under key, taking over the reference; false with the error set on failure.
bool dict_insert(PyObject* dict, PyObject* key, PyObject* value);

// Methods of Model, one group per file.
PyObject* rhs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* jacobian(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* energy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* grad_h(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* outputs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* port_outputs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* supplied_power(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* step(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* simulate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* simulate_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The arguments of Model.simulate, in order.
inline constexpr std::initializer_list<const char*> kSimulateNames = {
    "x0", "t", "u", "method", "interp", "rtol", "atol", "newton_tol", "max_newton", "record_outputs", "record_energy"};
// A run as Model.simulate makes it, from its arguments in that order (null when omitted), with
// parameters for this run alone and dense output (null: the model's own, grid steps), and the
// structure of a model with sensitivities: `structure` holds the number of leading states the
// error control covers and the number of sensitivity blocks (each null when not given).
PyObject* simulate_model(const Model& model, PyObject* const* in, PyObject* params, PyObject* dense,
                         bool package_methods = false, PyObject* const* structure = nullptr);
// Reads error_states and sensitivity_blocks (integers, or None) into the options.
bool take_structure(PyObject* const* structure, SolverOptions& options);

// The dict Model.simulate returns for a run of a model of n states and m inputs.
PyObject* trajectory_dict(Trajectory&& run, std::size_t n, std::size_t m);

// The options every simulation method takes, with their defaults.
SolverOptions default_options();
// Converts rtol, atol, newton_tol and max_newton (null when omitted) into the options; a tolerance
// that is negative, NaN or infinite is a ValueError naming it.
bool take_tolerances(PyObject* const* in, SolverOptions& options);
// Parses a method and an interpolation name (either may be null: the default is kept).
bool take_names(std::string_view method_text, std::string_view* interp_text, Method& method, Interp& interp,
                bool package_methods = false);

}  // namespace zarel::py
