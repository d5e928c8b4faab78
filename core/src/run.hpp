// The pieces of one run shared by the simulation driver, the dense-output driver and the
// batches: checks of the grid and series, and where and how a grid point is recorded.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>

#include "zarel/solver.hpp"

namespace zarel {

// Where a run records its L grid points: row-major, empty where a quantity is not recorded.
struct RecordTarget {
    std::span<double> x, u, energy, supplied_power, outputs;
};

// Whether the n values v[0], v[stride], ... are all finite. x - x is +0 for a finite x and NaN
// for an infinity or a NaN, and a NaN stays in a sum: four sums side by side, no branch per
// value (the test runs after every step of every run).
inline bool all_finite(const double* v, std::size_t n, std::size_t stride = 1) {
    double a0 = 0.0, a1 = 0.0, a2 = 0.0, a3 = 0.0;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const double* p = v + i * stride;
        a0 = a0 + (p[0] - p[0]);
        a1 = a1 + (p[stride] - p[stride]);
        a2 = a2 + (p[2 * stride] - p[2 * stride]);
        a3 = a3 + (p[3 * stride] - p[3 * stride]);
    }
    for (; i < n; ++i) a0 = a0 + (v[i * stride] - v[i * stride]);
    return (a0 + a1) + (a2 + a3) == 0.0;
}

// The checks every run of one grid and input series shares, with the driver's messages.
Status check_grid(const Model& model, std::span<const double> t, const Inputs& inputs);

// Writes grid point k of the run into the target: state, the input in force (into u_rec, which
// holds max(n_inputs, 1) values), energy, supplied power and named outputs, evaluated on the
// run's own scratch, the named outputs through `out` (one value per output program).
void record(const Model& model, const Inputs& inputs, std::span<const double> t, std::size_t k, const double* x,
            double* u_rec, const RecordTarget& target, Scratch& scratch, double* out);

// Grid points [first, last) of a run whose states target.x already holds: everything else the
// target records, exactly as record() writes it, by the model's packed code for as many points at
// once as it has lanes (point by point where it has no packed code); `scratch` holds the run's
// parameters. A run records its states as it goes and the rest at its end: the energy, power and
// outputs of many points then cost a fraction of one call each.
void record_points(const Model& model, const Inputs& inputs, std::span<const double> t, std::size_t first,
                   std::size_t last, const RecordTarget& target, Scratch& scratch);

// Only the states of a target (the rest for record_points), or the whole target where it records
// no states.
inline RecordTarget states_of(const RecordTarget& target) {
    if (target.x.empty()) return target;
    return {target.x, {}, {}, {}, {}};
}

// Integrates from x (n_states values, overwritten) over the whole grid by rk45 and records every
// point after the first: with `dense`, steps chosen by the error control of the Dormand-Prince
// pair alone and the points between from its continuous extension, else steps ending on every
// grid point.
Status rk45_run(const Model& model, double* x, std::span<const double> t, const Inputs& inputs,
                const SolverOptions& options, Work& work, double* u_rec, const RecordTarget& target, bool dense);

// The same by forward Euler or RK4 (`method`), a step from each grid point to the next.
Status fixed_step_run(const Model& model, double* x, std::span<const double> t, const Inputs& inputs, Method method,
                      Work& work, double* u_rec, const RecordTarget& target);

// The same with the steps of Hairer's DOP853 (dop853.cpp); with `every_point` a step ends on every
// grid point.
Status dop853_dense(const Model& model, double* x, std::span<const double> t, const Inputs& inputs,
                    const SolverOptions& options, Work& work, double* u_rec, const RecordTarget& target,
                    bool every_point);

// The same with the steps of Rodas5P (rosenbrock.cpp); with `every_point` a step ends on every
// grid point.
Status rodas5p_dense(const Model& model, double* x, std::span<const double> t, const Inputs& inputs,
                     const SolverOptions& options, Work& work, double* u_rec, const RecordTarget& target,
                     bool every_point);

// The same by the implicit midpoint rule with steps chosen by step doubling and dense output
// (adaptive_midpoint.cpp).
Status adaptive_midpoint_run(const Model& model, double* x, std::span<const double> t, const Inputs& inputs,
                             const SolverOptions& options, Work& work, double* u_rec, const RecordTarget& target);

// The same by the two-stage Gauss-Legendre method (gauss4.cpp): with `dense` steps chosen by step
// doubling and dense output, else one step per grid interval.
Status gauss4_run(const Model& model, double* x, std::span<const double> t, const Inputs& inputs,
                  const SolverOptions& options, Work& work, double* u_rec, const RecordTarget& target, bool dense);

// One run after check_grid: records every grid point into the target; the counters in work.
Status run_into(const Model& model, std::span<const double> x0, std::span<const double> t, const Inputs& inputs,
                Method method, const SolverOptions& options, bool dense, Work& work, const RecordTarget& target);

}  // namespace zarel
