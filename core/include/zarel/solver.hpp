// Time integration: method and interpolation names, input series, run buffers, the four
// integrators, the simulation driver and batch runs.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "zarel/error.hpp"
#include "zarel/model.hpp"

namespace zarel {

// Dop853, Rodas5p and Gauss4 are the package's own: parse_method, the engine's names, does not
// take them.
enum class Method : std::uint8_t { Euler, Rk4, Rk45, Midpoint, Dop853, Rodas5p, Gauss4 };
enum class Interp : std::uint8_t { Hold, Linear };

// "euler", "rk4", "rk45", "adaptive", "midpoint", "implicit_midpoint", "auto"
Result<Method> parse_method(std::string_view name);
// The same and the package's own methods: "dop853", "rodas5p", "gauss4"
Result<Method> parse_package_method(std::string_view name);
// "hold", "zoh", "previous", "linear"
Result<Interp> parse_interp(std::string_view name);
// the canonical name: "euler", "rk4", "rk45", "midpoint", "dop853", "rodas5p" or "gauss4"
const char* method_name(Method m);

// An optional row-major input series, one row of n_inputs values per grid time.
struct Inputs {
    const double* data = nullptr;  // absent when null: all inputs are zero
    std::size_t size = 0;          // number of values in data
    Interp interp = Interp::Hold;

    bool present() const { return data != nullptr; }
    // The input of output interval `row` at `fraction` of it, into dst[0 .. n).
    void at(std::size_t row, std::size_t n, double* dst, std::size_t dst_len, double fraction) const;
};

struct SolverOptions {
    double rtol;
    double atol;
    double newton_tol;
    std::uint64_t max_newton;
    std::uint64_t max_substeps;
    bool record_outputs;
    bool record_energy;
    // How many leading states the adaptive methods' error control covers; the rest (a model's
    // sensitivities, say) ride along on the steps the first ones choose.
    std::size_t error_states = SIZE_MAX;
    // A model of m states followed by this many blocks of m sensitivities each, which the first
    // block drives (its Jacobian block lower triangular, every diagonal block the first one's):
    // the implicit methods then factor the first block alone and solve block by block.
    std::size_t sensitivity_blocks = 0;

    std::size_t controlled(std::size_t n) const { return error_states < n ? error_states : n; }
};

// How an integrator obtains its input: either row `row` of a series, sampled at a fraction of
// the interval, or one constant vector whatever the fraction.
struct InputSource {
    const Inputs* series = nullptr;
    std::size_t row = 0;
    std::size_t n_inputs = 0;
    const double* constant = nullptr;

    static InputSource of_series(const Inputs& inputs, std::size_t row, std::size_t n_inputs) {
        return {&inputs, row, n_inputs, nullptr};
    }
    static InputSource of_constant(const double* u, std::size_t n_inputs) { return {nullptr, 0, n_inputs, u}; }

    // Writes the input at `fraction` into dst, which holds max(n_inputs, 1) values; a model
    // without inputs has nothing to write, on every integrator stage.
    void operator()(double fraction, std::vector<double>& dst) const {
        if (n_inputs > 0) sample(fraction, dst);
    }

private:
    void sample(double fraction, std::vector<double>& dst) const;
};

// The statistics of one run: kept in its Work while it integrates, reported in its Trajectory.
struct Counters {
    std::uint64_t steps = 0;
    std::uint64_t rhs_evals = 0;
    std::uint64_t newton_iterations = 0;
    std::uint64_t jacobian_evals = 0;
    std::uint64_t rejected_steps = 0;
};

// A midpoint step whose Newton iteration fails is split into halves at depths 0 to this, so the
// shortest step tried is h / 64.
constexpr int kMidpointSplitDepth = 5;

// All buffers of one run, sized once, and its statistics counters. The integrators' buffers are
// views into one block: a short run costs little more than setting up its buffers. A Work moves
// (the block moves with it) but is not copied.
struct Work : Counters {
    Scratch scratch;  // its parameter slots hold the model's parameters, written by for_model
    std::span<double> k1, k2, k3, k4;
    // 9*n: the Dormand-Prince stage derivatives, then where the machine code for an attempt
    // writes the fifth-order solution and the error's terms
    std::span<double> stages;
    std::vector<double> out;   // named outputs of one grid point
    std::span<double> x_stage, x_next;
    std::vector<double> u;     // max(n_inputs, 1)
    std::span<double> jac, iter_matrix;
    std::vector<std::size_t> pivots;
    std::span<double> resid;
    // (kMidpointSplitDepth + 1) * n: where each level of a split midpoint step keeps its start
    std::span<double> saved;
    // Where `on`, the step-size control a run that chooses its own steps starts from and leaves
    // behind (h = 0: nothing yet): runs over successive spans, a co-simulation's communication
    // steps, then size their steps as one run over all the spans' points would.
    struct StepCarry {
        bool on = false;
        bool rejected = false;  // the last attempt was rejected
        double h = 0.0;         // the next attempt's length
        double h_accepted = 0.0, err_accepted = 0.0;  // the last accepted attempt (predictive control)
    } carry;

    Work() = default;
    Work(Work&&) = default;
    Work& operator=(Work&&) = default;
    Work(const Work&) = delete;
    Work& operator=(const Work&) = delete;

    // Buffers for every method, or only for the given one (the others stay empty).
    static Work for_model(const Model& model);
    static Work for_model(const Model& model, Method method);
    // Buffers for one method, with the run's own parameters (n_params values, kept alive by the
    // caller for the life of the Work) in place of the model's when params is not null; with
    // `own_steps`, for the steps the method chooses itself (the package's midpoint).
    static Work for_run(const Model& model, Method method, const double* params, bool own_steps = false);

private:
    std::vector<double> block_;  // the storage of every span above

    static Work for_methods(const Model& model, std::initializer_list<Method> methods, const double* params,
                            bool own_steps = false);
    void size_for(const Model& model, std::initializer_list<Method> methods, bool own_steps);
};

void euler_step(const Model& model, double* x, const InputSource& input, Work& work, double t, double h);
void rk4_step(const Model& model, double* x, const InputSource& input, Work& work, double t, double h);
Status rk45_interval(const Model& model, double* x, const InputSource& input, double t0, double t1,
                     const SolverOptions& options, double& h_carry, Work& work);
Status midpoint_recursive(const Model& model, double* x, const InputSource& input, double t, double h,
                          const SolverOptions& options, Work& work, int depth);

// Storage for n recorded doubles, and its return. Large blocks returned are kept for the next
// results of the same size (see samples.cpp): a long run's result then lands in memory already
// mapped instead of paying a page fault, and the system's zeroing, per 4 KB on every call.
double* allocate_samples(std::size_t n);
void release_samples(double* p, std::size_t n) noexcept;

// An allocator whose new elements are left as they are: a run writes every element of its
// trajectory before anyone reads it, and filling them with zeros first would cost a pass over all
// of the result's memory. Debug builds (the sanitizer runs) fill new doubles with NaNs whose
// payload is their address instead, so that an element a run leaves unwritten differs between
// two runs compared bit for bit.
template <class T>
struct Uninitialised : std::allocator<T> {
    using value_type = T;
    template <class U>
    struct rebind {
        using other = Uninitialised<U>;
    };
    Uninitialised() = default;
    template <class U>
    Uninitialised(const Uninitialised<U>&) noexcept {}
    T* allocate(std::size_t n) {
        if constexpr (std::is_same_v<T, double>) return allocate_samples(n);
        return std::allocator<T>::allocate(n);
    }
    void deallocate(T* p, std::size_t n) noexcept {
        if constexpr (std::is_same_v<T, double>) return release_samples(p, n);
        std::allocator<T>::deallocate(p, n);
    }
    template <class U>
    void construct(U* p) noexcept {
#ifndef NDEBUG
        if constexpr (std::is_same_v<U, double>) {
            const auto payload = reinterpret_cast<std::uintptr_t>(p) & 0x0007'ffff'ffff'ffffu;
            ::new (static_cast<void*>(p)) double(std::bit_cast<double>(0x7ff8'0000'0000'0000u | payload));
            return;
        }
#endif
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

// What a run records of one quantity, grid point by grid point.
using Samples = std::vector<double, Uninitialised<double>>;

// Equal to a plain vector with the same elements, as two vectors are.
inline bool operator==(const Samples& a, const std::vector<double>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

struct Trajectory : Counters {
    Samples t;
    Samples x;
    Samples u;
    Samples energy;
    Samples supplied_power;
    Samples outputs;
    Method method = Method::Midpoint;

    // A trajectory with room for every quantity the options record on grid t, the grid copied in.
    static Trajectory sized_for(const Model& model, std::span<const double> t, Method method,
                                const SolverOptions& options);
};

Result<Trajectory> simulate(const Model& model, std::span<const double> x0, std::span<const double> t,
                            const Inputs& inputs, Method method, const SolverOptions& options);

// What a run may ask beyond its method and options: parameters for this run alone (n_params
// values; absent: the model's own; the model is never written either way) and, for rk45, dop853,
// midpoint and gauss4, steps chosen by the error control alone, the grid saying only where to
// report (ignored by euler and rk4, whose steps are the grid's intervals; without it midpoint and
// gauss4 take one step per grid interval).
struct RunChoices {
    std::optional<std::span<const double>> params;
    bool dense = false;
};

Result<Trajectory> simulate(const Model& model, std::span<const double> x0, std::span<const double> t,
                            const Inputs& inputs, Method method, const SolverOptions& options,
                            const RunChoices& choices);

// One step of length dt from (x, t) with the input u held constant; x and u have the model's
// lengths (the caller checks them).
Result<std::vector<double>> step(const Model& model, std::span<const double> x, std::span<const double> u, double t,
                                 double dt, Method method, const SolverOptions& options);

// N runs over one grid in parallel; params, when given, holds one parameter vector per run.
Result<std::vector<Trajectory>> simulate_batch(const Model& model, const std::vector<std::vector<double>>& x0s,
                                               const std::vector<std::vector<double>>* params,
                                               std::span<const double> t, const Inputs& inputs, Method method,
                                               const SolverOptions& options);

// Where a batch writes each run's quantities: C-order arrays of N runs of L grid points, null
// where a quantity is not recorded: x (N, L, n_states), u (N, L, n_inputs), energy and
// supplied_power (N, L), outputs (N, L, n_outputs), stats (N, 5): steps, rhs_evals,
// newton_iterations, jacobian_evals, rejected_steps.
struct BatchTargets {
    double* x = nullptr;
    double* u = nullptr;
    double* energy = nullptr;
    double* supplied_power = nullptr;
    double* outputs = nullptr;
    std::uint64_t* stats = nullptr;
};

// N runs over one grid in parallel, each writing straight into the targets, each with its own
// outcome: a failing run gets its error and NaN rows (its stats what it counted), every other
// run completes. x0s holds count*n_states values, params count*n_params or is absent (the model's
// own). Faults common to every run (grid, input series, sizes) fail the call before any run.
Result<std::vector<std::optional<EngineError>>> simulate_batch_into(
    const Model& model, std::size_t count, std::span<const double> x0s,
    std::optional<std::span<const double>> params, std::span<const double> t,
    const Inputs& inputs, Method method, const SolverOptions& options, bool dense, const BatchTargets& targets);

}  // namespace zarel
