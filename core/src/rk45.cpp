// The adaptive Dormand-Prince 5(4) method over one output interval, with its step-size control.
#include <algorithm>
#include <cmath>

#include "dormand_prince.hpp"
#include "zarel/solver.hpp"

namespace zarel {

using namespace dormand_prince;

Status rk45_interval(const Model& model, double* x, const InputSource& input, double t0, double t1,
                     const SolverOptions& options, double& h_carry, Work& work) {
    const std::size_t n = model.n_states;
    const double span = t1 - t0;
    const double tiny = kGuard * std::fmax(std::fabs(span), 1.0);
    double h = h_carry > 0.0 ? std::min(h_carry, span) : span;
    double t = t0;
    std::uint64_t attempts = 0;

    double* k = work.stages.data();
    double* xs = work.x_stage.data();
    const double* u = work.u.data();
    // the later stages in machine code, when the model has it: the solution and the error's
    // terms land after the stages
    const NativeFn compiled = model.native_rhs ? nullptr : model.native.dp_stages;
    double* xn = compiled ? k + kStages * n : work.x_next.data();

    while (t < t1 - tiny) {
        const double h_try = t + h > t1 ? t1 - t : h;

        // All seven stages on every attempt; the last stage of an accepted step is not reused.
        auto stage_input = [&](int s) { return interval_stage(input, t, h_try, s, t0, span, work.u); };
        auto evaluate = [&](int s, const double* stage_x) {
            const double ts = stage_input(s);
            model.rhs_in_run(stage_x, u, ts, k + s * n, work.scratch);
        };
        evaluate(0, x);
        double errnorm = 0.0;
        if (compiled) {
            errnorm = compiled_attempt(compiled, model, x, k, h_try, stage_input, u, work.scratch.env.data(), options);
        } else {
            for_later_stages([&](auto stage) {
                stage_state<stage()>(x, k, n, h_try, xs);
                evaluate(stage(), xs);
            });
            errnorm = advance_with_error(x, k, n, h_try, options.rtol, options.atol, xn);
        }
        work.rhs_evals += kStages;
        if (auto st = end_attempt(errnorm, h_try, tiny, t, h, attempts, work, options, [&] { std::copy_n(xn, n, x); });
            !st)
            return st;
    }
    h_carry = h;
    return {};
}

}  // namespace zarel
