// The explicit fixed-step methods: forward Euler and classical fourth-order Runge-Kutta.
#include "zarel/solver.hpp"

namespace zarel {

void euler_step(const Model& model, double* x, const InputSource& input, Work& work, double t, double h) {
    const std::size_t n = model.n_states;
    input(0.0, work.u);
    model.rhs_in_run(x, work.u.data(), t, work.k1.data(), work.scratch);
    work.rhs_evals += 1;
    for (std::size_t i = 0; i < n; ++i) x[i] = work.k1[i] * h + x[i];
}

void rk4_step(const Model& model, double* x, const InputSource& input, Work& work, double t, double h) {
    const std::size_t n = model.n_states;
    const double hh = 0.5 * h;
    double* xs = work.x_stage.data();
    const double* u = work.u.data();
    const double* k1 = work.k1.data();
    const double* k2 = work.k2.data();
    const double* k3 = work.k3.data();
    const double* k4 = work.k4.data();

    input(0.0, work.u);
    model.rhs_in_run(x, u, t, work.k1.data(), work.scratch);

    for (std::size_t i = 0; i < n; ++i) xs[i] = k1[i] * hh + x[i];
    input(0.5, work.u);
    model.rhs_in_run(xs, u, t + hh, work.k2.data(), work.scratch);

    // The third stage sits at the same time as the second and reuses its input.
    for (std::size_t i = 0; i < n; ++i) xs[i] = k2[i] * hh + x[i];
    model.rhs_in_run(xs, u, t + hh, work.k3.data(), work.scratch);

    for (std::size_t i = 0; i < n; ++i) xs[i] = k3[i] * h + x[i];
    input(1.0, work.u);
    model.rhs_in_run(xs, u, t + h, work.k4.data(), work.scratch);
    work.rhs_evals += 4;

    const double h6 = h / 6.0;
    for (std::size_t i = 0; i < n; ++i) x[i] = (((k1[i] + 2.0 * k2[i]) + 2.0 * k3[i]) + k4[i]) * h6 + x[i];
}

}  // namespace zarel
