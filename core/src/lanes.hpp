// Runs in lanes: a group of simulations of one model over one grid, advanced in lockstep by the
// model's packed machine code, each lane one run.
#pragma once

#include <cstddef>
#include <functional>
#include <span>

#include "zarel/solver.hpp"

namespace zarel {

// How many runs simulate_group advances at once for this model and method: the lanes of the
// model's packed code for the fixed-step methods, else 1 (each run on its own).
std::size_t group_width(const Model& model, Method method);

// Receives run k's trajectory or error, once for every run of a group.
using DeliverRun = std::function<void(std::size_t k, Result<Trajectory>&& run)>;

// Runs k = 0 .. models.size()-1 (at most group_width of them), run k from x0s[k] with models[k],
// which differs from models[0] in its parameters alone, and delivers for each exactly what
// simulate(*models[k], x0s[k], t, inputs, method, options) returns: the same bits, counters and
// error. A run that fails stops there; the others go on.
void simulate_group(std::span<const Model* const> models, std::span<const std::span<const double>> x0s,
                    std::span<const double> t, const Inputs& inputs, Method method, const SolverOptions& options,
                    const DeliverRun& deliver);

}  // namespace zarel
