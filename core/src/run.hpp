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

// Whether the n values v[0], v[stride], ... are all finite; without an early exit, so that the
// test vectorises.
inline bool all_finite(const double* v, std::size_t n, std::size_t stride = 1) {
    bool finite = true;
    for (std::size_t i = 0; i < n; ++i) finite &= std::isfinite(v[i * stride]);
    return finite;
}

// The checks every run of one grid and input series shares, with the driver's messages.
Status check_grid(const Model& model, std::span<const double> t, const Inputs& inputs);

// Writes grid point k of the run into the target: state, the input in force (into u_rec, which
// holds max(n_inputs, 1) values), energy, supplied power and named outputs, evaluated on the
// run's own scratch, the named outputs through `out` (one value per output program).
void record(const Model& model, const Inputs& inputs, std::span<const double> t, std::size_t k, const double* x,
            double* u_rec, const RecordTarget& target, Scratch& scratch, double* out);

// Integrates from x (n_states values, overwritten) over the whole grid and records every point
// after the first, with steps chosen by the error control of the Dormand-Prince pair alone.
Status rk45_dense(const Model& model, double* x, std::span<const double> t, const Inputs& inputs,
                  const SolverOptions& options, Work& work, double* u_rec, const RecordTarget& target);

// One run after check_grid: records every grid point into the target; the counters in work.
Status run_into(const Model& model, std::span<const double> x0, std::span<const double> t, const Inputs& inputs,
                Method method, const SolverOptions& options, bool dense, Work& work, const RecordTarget& target);

}  // namespace zarel
