// The simulation driver: validation, one method call per output interval (or the dense-output
// driver for rk45), and recording.
#include <algorithm>
#include <cmath>
#include <string>

#include "checked_size.hpp"
#include "run.hpp"
#include "zarel/solver.hpp"

namespace zarel {

namespace {

// Plain decimal of a product that may not fit 64 bits, for the series-size message.
std::string exact_product(std::size_t a, std::size_t b) {
    unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
    std::string digits;
    do {
        digits.push_back(static_cast<char>('0' + static_cast<int>(p % 10)));
        p /= 10;
    } while (p != 0);
    return {digits.rbegin(), digits.rend()};
}

Status check_series(std::size_t L, std::size_t m, const Inputs& inputs) {
    if (!inputs.present()) return {};
    const std::size_t got = inputs.size;
    if (m == 0) {
        if (got != 0) return invalid("the model has no inputs but inputs were given");
        return {};
    }
    // A product that does not fit can never equal a real series length.
    std::size_t expected = 0;
    if (__builtin_mul_overflow(L, m, &expected) || expected != got)
        return invalid("inputs must be len(t) x n_inputs = " + std::to_string(L) + " x " + std::to_string(m) + " = " +
                       exact_product(L, m) + " values, got " + std::to_string(got));
    return {};
}

}  // namespace

Status check_grid(const Model& model, std::span<const double> t, const Inputs& inputs) {
    const std::size_t L = t.size();
    if (L < 2) return invalid("the time grid needs at least two points");
    for (std::size_t j = 1; j < L; ++j)
        if (!(t[j - 1] < t[j]))  // also catches a NaN anywhere in the grid
            return invalid("the time grid must be strictly increasing (t[" + std::to_string(j) + "] = " +
                           format_number(t[j]) + " after t[" + std::to_string(j - 1) + "] = " +
                           format_number(t[j - 1]) + ")");
    return check_series(L, model.n_inputs, inputs);
}

void record(const Model& model, const Inputs& inputs, std::span<const double> t, std::size_t k, const double* x,
            double* u_rec, const RecordTarget& target, Scratch& scratch, double* out) {
    const std::size_t n = model.n_states;
    const std::size_t m = model.n_inputs;
    const std::size_t L = t.size();
    if (!target.x.empty()) std::copy_n(x, n, target.x.begin() + static_cast<std::ptrdiff_t>(k * n));

    // The last point has no interval of its own: it shows the end of the last interval's input.
    inputs.at(std::min(L - 2, k), m, u_rec, std::max<std::size_t>(m, 1), k == L - 1 ? 1.0 : 0.0);
    if (m > 0 && !target.u.empty()) std::copy_n(u_rec, m, target.u.begin() + static_cast<std::ptrdiff_t>(k * m));

    if (!target.energy.empty()) target.energy[k] = model.energy(x, scratch);
    if (!target.supplied_power.empty()) target.supplied_power[k] = model.supplied_power(x, u_rec, t[k], scratch);
    if (!target.outputs.empty()) {
        const std::size_t q = target.outputs.size() / L;
        model.fill_params(scratch);
        model.fill_point(x, u_rec, t[k], scratch.env.data());
        Model::eval_into(model.native.outputs, model.output_programs, scratch, out);
        std::copy_n(out, q, target.outputs.begin() + static_cast<std::ptrdiff_t>(k * q));
    }
}

Status run_into(const Model& model, std::span<const double> x0, std::span<const double> t, const Inputs& inputs,
                Method method, const SolverOptions& options, bool dense, Work& work, const RecordTarget& target) {
    const std::size_t m = model.n_inputs;
    const std::size_t L = t.size();
    std::vector<double> x(x0.begin(), x0.end());
    std::vector<double> u_rec(std::max<std::size_t>(m, 1), 0.0);

    if (!all_finite(x.data(), x.size())) return fail(NonFinite{"the state", t[0]});
    record(model, inputs, t, 0, x.data(), u_rec.data(), target, work.scratch, work.out.data());
    if (dense && method == Method::Rk45) return rk45_dense(model, x.data(), t, inputs, options, work, u_rec.data(), target);
    if (method == Method::Dop853)
        return dop853_dense(model, x.data(), t, inputs, options, work, u_rec.data(), target, !dense);

    double h_carry = 0.0;
    for (std::size_t i = 0; i + 1 < L; ++i) {
        const double h = t[i + 1] - t[i];
        const InputSource input = InputSource::of_series(inputs, i, m);
        switch (method) {
        case Method::Euler:
            euler_step(model, x.data(), input, work, t[i], h);
            work.steps += 1;
            break;
        case Method::Rk4:
            rk4_step(model, x.data(), input, work, t[i], h);
            work.steps += 1;
            break;
        case Method::Rk45:
            if (auto st = rk45_interval(model, x.data(), input, t[i], t[i + 1], options, h_carry, work); !st)
                return st;
            break;
        case Method::Midpoint:
            if (auto st = midpoint_recursive(model, x.data(), input, t[i], h, options, work, 0); !st) return st;
            work.steps += 1;
            break;
        case Method::Dop853: break;  // integrated whole above
        }
        if (!all_finite(x.data(), x.size())) return fail(NonFinite{"the state", t[i + 1]});
        record(model, inputs, t, i + 1, x.data(), u_rec.data(), target, work.scratch, work.out.data());
    }
    return {};
}

Trajectory Trajectory::sized_for(const Model& model, std::span<const double> t, Method method,
                                 const SolverOptions& options) {
    const std::size_t L = t.size();
    const std::size_t q = options.record_outputs ? model.output_programs.size() : 0;
    Trajectory traj;
    traj.t.assign(t.begin(), t.end());
    traj.x.resize(checked_product(L, model.n_states));
    traj.u.resize(checked_product(L, model.n_inputs));
    if (options.record_energy) {
        traj.energy.resize(L);
        traj.supplied_power.resize(L);
    }
    traj.outputs.resize(checked_product(L, q));
    traj.method = method;
    return traj;
}

Result<Trajectory> simulate(const Model& model, std::span<const double> x0, std::span<const double> t,
                            const Inputs& inputs, Method method, const SolverOptions& options) {
    return simulate(model, x0, t, inputs, method, options, RunChoices{});
}

Result<Trajectory> simulate(const Model& model, std::span<const double> x0, std::span<const double> t,
                            const Inputs& inputs, Method method, const SolverOptions& options,
                            const RunChoices& choices) {
    const std::size_t n = model.n_states;

    if (x0.size() != n)
        return invalid("initial state has " + std::to_string(x0.size()) + " entries, the model has " +
                       std::to_string(n) + " states");
    if (auto st = check_grid(model, t, inputs); !st) return fail(std::move(st.error()));
    if (choices.params && choices.params->size() != model.n_params)
        return invalid("expected " + std::to_string(model.n_params) + " parameter values, got " +
                       std::to_string(choices.params->size()));

    Trajectory traj = Trajectory::sized_for(model, t, method, options);
    Work work = Work::for_run(model, method, choices.params ? choices.params->data() : nullptr);
    const RecordTarget target{traj.x, traj.u, traj.energy, traj.supplied_power, traj.outputs};
    if (auto st = run_into(model, x0, t, inputs, method, options, choices.dense, work, target); !st)
        return fail(std::move(st.error()));

    static_cast<Counters&>(traj) = work;
    traj.method = method;
    return traj;
}

}  // namespace zarel
