// The explicit fixed-step methods: forward Euler and classical fourth-order Runge-Kutta.
#include "zarel/solver.hpp"

namespace zarel {

namespace {

// A step by the model's machine code for the whole step: the point and the step's later inputs
// written into the scratch's environment as the code reads them, the new state through next.
void compiled_step(NativeFn step, const Model& model, double* x, const InputSource& input, Work& work, double t,
                   double h, double* next) {
    const std::size_t n = model.n_states, m = model.n_inputs;
    const StepLayout at = model.step_layout();
    double* env = work.scratch.env.data();
    input(0.0, work.u);
    model.fill_point(x, work.u.data(), t, env);
    env[at.h()] = h;
    if (m > 0 && step == model.native.rk4_step) {
        input(0.5, work.u);
        Model::copy_values(work.u.data(), m, env + at.u_half());
        input(1.0, work.u);
        Model::copy_values(work.u.data(), m, env + at.u_end());
    }
    step(env, next);
    Model::copy_values(next, n, x);
}

}  // namespace

void euler_step(const Model& model, double* x, const InputSource& input, Work& work, double t, double h) {
    const std::size_t n = model.n_states;
    work.rhs_evals += 1;
    if (model.native.euler_step && !model.native_rhs)
        return compiled_step(model.native.euler_step, model, x, input, work, t, h, work.k1.data());
    input(0.0, work.u);
    model.rhs_in_run(x, work.u.data(), t, work.k1.data(), work.scratch);
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
    work.rhs_evals += 4;
    if (model.native.rk4_step && !model.native_rhs)
        return compiled_step(model.native.rk4_step, model, x, input, work, t, h, xs);

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

    const double h6 = h / 6.0;
    for (std::size_t i = 0; i < n; ++i) x[i] = (((k1[i] + 2.0 * k2[i]) + 2.0 * k3[i]) + k4[i]) * h6 + x[i];
}

}  // namespace zarel
