// Gonzalez's discrete gradient method for port-Hamiltonian models: a run whose energy balance
// holds per step up to round-off and the Newton tolerance, whatever the energy.
#pragma once

#include <optional>
#include <span>

#include "zarel/error.hpp"
#include "zarel/model.hpp"
#include "zarel/solver.hpp"

namespace zarel {

// One step per grid interval [t0, t0 + h] from x0 to x1 (O. Gonzalez, "Time integration and
// discrete Hamiltonian systems", J. Nonlinear Sci. 6, 1996):
//   x1 = x0 + h S(xm, [u, gbar], tm),  xm = (x0 + x1)/2, tm = t0 + h/2,
//   gbar = grad H(xm) + (H(x1) - H(x0) - grad H(xm) . d) / (d . d) d,  d = x1 - x0
// (gbar = grad H(xm) where that defect is within 8 ulps of |H(x0)| + |H(x1)| + sum |grad_j H d_j|,
// its round-off, which would otherwise grow as 1/|d| at rest, or the quotient is not finite), so that
// H(x1) - H(x0) = gbar . d = -h gbar^T R gbar + h (G^T gbar) . u exactly up to round-off and the
// Newton residual. `model` gives H, grad H and the Jacobian (its rhs is S with g = grad H);
// `structure` gives S(x, [u, g], t) = (J - R)(x) g + G(x) u: the same states and parameters,
// inputs u (the model's m) followed by g (n). u is the interval's input at fraction 0.5, as the
// midpoint rule takes it.
//
// Modified Newton on r(x1) = d - h S(xm, [u, gbar], tm) with I - (h/2) J_f(xm), the model's
// Jacobian, refreshed at the first update and before every fourth one after it; the explicit Euler
// predictor is never accepted without an update. The iteration stops after the first update Delta
// with |Delta_i| rtol <= newton_tol (atol + rtol |x1_i|) for every i: the update is newton_tol /
// rtol of the error scale the adaptive methods use (atol in the states' own units), so states of
// any size are solved to their own precision; or, for a newton_tol near the states' precision,
// when that measure of the update stops falling within 100 times the threshold (the round-off
// floor of the step). A step that does not converge in max_newton updates fails, naming its
// time; rtol must be positive.
//
// params: this run's own (n_params values), else the model's, for both models. The trajectory's
// method reads Midpoint (the enumeration of the engine's methods does not name this one); its
// counters: steps, rhs_evals (evaluations of S), newton_iterations, jacobian_evals.
//
// blocks (a model built from parts, H the sum of the parts' energies over disjoint states): the
// states in order, each block's energy one of the model's outputs. Gonzalez's formula is then
// taken per block b, with H_b and d_b and the same round-off rule, so that every part's energy
// change is gbar_b . d_b (and the sum over the blocks, H's change, is gbar . d): each part's
// balance holds to round-off, not only the whole's. Without blocks, H is one block.
struct EnergyBlock {
    std::size_t first = 0;   // its first state
    std::size_t count = 0;   // its number of states
    std::size_t output = 0;  // the model's output that is its energy
};

Result<Trajectory> simulate_discrete_gradient(const Model& model, const Model& structure,
                                              std::span<const double> x0, std::span<const double> t,
                                              const Inputs& inputs, const SolverOptions& options,
                                              std::optional<std::span<const double>> params = std::nullopt,
                                              std::span<const EnergyBlock> blocks = {});

}  // namespace zarel
