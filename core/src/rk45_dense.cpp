// rk45 with dense output: steps chosen by the error control alone, the grid saying only where to
// report, the values there from the pair's continuous extension.
#include <algorithm>
#include <cmath>

#include "dense_stepper.hpp"
#include "dormand_prince.hpp"

namespace zarel {

using namespace dormand_prince;

Status rk45_dense(const Model& model, double* x, std::span<const double> t, const Inputs& inputs,
                  const SolverOptions& options, Work& work, double* u_rec, const RecordTarget& target) {
    const std::size_t n = model.n_states;
    double* k = work.stages.data();
    double* xs = work.x_stage.data();
    const double* u = work.u.data();
    // the later stages in machine code, when the model has it: the solution and the error's
    // terms land after the stages
    const NativeFn compiled = model.native_rhs ? nullptr : model.native.dp_stages;
    double* xn = compiled ? k + kStages * n : work.x_next.data();
    DenseStepper run(model, x, k, 1, kControl, t, inputs, options, work, u_rec, target);
    while (!run.done()) {
        const double h = run.next_attempt();
        const auto stage_input = [&](int s) { return run.stage_input(kC[s]); };
        const auto evaluate = [&](int s) { model.rhs_in_run(xs, u, stage_input(s), k + s * n, work.scratch); };
        double errnorm = 0.0;
        if (compiled) {
            errnorm = compiled_attempt(compiled, model, x, k, h, stage_input, u, work.scratch.env.data(), options);
        } else {
            if (n <= 2) {
                for (int s = 1; s < kStages; ++s) {
                    stage_state(s, x, k, n, h, xs);
                    evaluate(s);
                }
            } else {
                for_later_stages([&](auto stage) {
                    stage_state<stage()>(x, k, n, h, xs);
                    evaluate(stage());
                });
            }
            errnorm = advance_with_error(x, k, n, h, options.rtol, options.atol, xn);
        }
        work.rhs_evals += kStages - 1;
        if (auto st = run.end(errnorm, xn, extension(x, k, n, h), shift_stages(k, n)); !st) return st;
    }
    return {};
}

}  // namespace zarel
