// Method and interpolation names, input sampling, run buffers and the core single step.
#include "zarel/solver.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "checked_size.hpp"

namespace zarel {

Result<Method> parse_method(std::string_view name) {
    if (name == "euler") return Method::Euler;
    if (name == "rk4") return Method::Rk4;
    if (name == "rk45" || name == "adaptive") return Method::Rk45;
    if (name == "midpoint" || name == "implicit_midpoint" || name == "auto") return Method::Midpoint;
    return fail(UnknownOption{"unknown solver " + quoted_literal(name) + "; choose euler, rk4, rk45 or midpoint"});
}

Result<Method> parse_package_method(std::string_view name) {
    if (name == "dop853") return Method::Dop853;
    if (name == "rodas5p") return Method::Rodas5p;
    if (name == "gauss4") return Method::Gauss4;
    if (auto m = parse_method(name)) return m;
    return fail(UnknownOption{"unknown solver " + quoted_literal(name) +
                              "; choose euler, rk4, rk45, dop853, rodas5p, gauss4 or midpoint"});
}

Result<Interp> parse_interp(std::string_view name) {
    if (name == "hold" || name == "zoh" || name == "previous") return Interp::Hold;
    if (name == "linear") return Interp::Linear;
    return fail(UnknownOption{"unknown input interpolation " + quoted_literal(name) + "; choose hold or linear"});
}

const char* method_name(Method m) {
    switch (m) {
    case Method::Euler: return "euler";
    case Method::Rk4: return "rk4";
    case Method::Rk45: return "rk45";
    case Method::Midpoint: return "midpoint";
    case Method::Dop853: return "dop853";
    case Method::Rodas5p: return "rodas5p";
    case Method::Gauss4: return "gauss4";
    }
    return "midpoint";
}

void Inputs::at(std::size_t row, std::size_t n, double* dst, std::size_t dst_len, double fraction) const {
    if (!present()) {
        std::fill_n(dst, std::min(n, dst_len), 0.0);
        return;
    }
    if (n == 0) return;
    const double* a = data + row * n;
    if (interp == Interp::Hold) {
        std::copy_n(a, n, dst);
        return;
    }
    // The last row has no successor: it is held, whatever the fraction.
    const std::size_t rows = size / n;
    const double* b = data + std::min(rows - 1, row + 1) * n;
    for (std::size_t j = 0; j < n; ++j) dst[j] = (b[j] - a[j]) * fraction + a[j];
}

void InputSource::sample(double fraction, std::vector<double>& dst) const {
    if (series) {
        series->at(row, n_inputs, dst.data(), dst.size(), fraction);
    } else {
        std::copy_n(constant, n_inputs, dst.data());
    }
}

Work Work::for_model(const Model& model) {
    return for_methods(model, {Method::Euler, Method::Rk4, Method::Rk45, Method::Midpoint}, nullptr);
}

// A short run costs little more than setting up its buffers, so a run gets only its method's.
Work Work::for_model(const Model& model, Method method) { return for_methods(model, {method}, nullptr); }

Work Work::for_run(const Model& model, Method method, const double* params, bool own_steps) {
    return for_methods(model, {method}, params, own_steps);
}

Work Work::for_methods(const Model& model, std::initializer_list<Method> methods, const double* params,
                       bool own_steps) {
    Work w;
    w.scratch = Scratch::for_model(model);
    w.scratch.params = params;
    // the integrators' evaluations write only the point: the parameters stay for the whole run
    model.fill_params(w.scratch);
    w.out.assign(model.output_programs.size(), 0.0);
    w.u.assign(std::max<std::size_t>(model.n_inputs, 1), 0.0);
    w.size_for(model, methods, own_steps);
    return w;
}

void Work::size_for(const Model& model, std::initializer_list<Method> methods, bool own_steps) {
    auto any = [&](std::initializer_list<Method> users) {
        return std::any_of(methods.begin(), methods.end(),
                           [&](Method m) { return std::find(users.begin(), users.end(), m) != users.end(); });
    };
    using enum Method;
    const std::size_t n = model.n_states;
    // midpoint's grid steps (on steps of its own it keeps its buffers in its stepper, its n x n
    // matrices among them, whose room here would grow with the square of the states)
    const bool rk4 = any({Rk4}), rk45 = any({Rk45}), midpoint = any({Midpoint}) && !own_steps;
    // the buffers of the dense-output stepper, for the starting step and a lane's evaluations
    const bool dense = any({Dop853, Rodas5p, Gauss4}) || (own_steps && any({Midpoint}));
    const std::size_t square = midpoint ? checked_product(n, n) : 0;
    const std::pair<std::span<double>*, std::size_t> parts[] = {
        {&k1, any({Euler, Rk4, Midpoint}) ? n : 0},
        {&k2, rk4 || midpoint ? n : 0},
        {&k3, rk4 ? n : 0},
        {&k4, rk4 ? n : 0},
        {&x_stage, rk4 || rk45 || midpoint || dense ? n : 0},
        {&x_next, rk45 || midpoint || dense ? n : 0},
        {&resid, midpoint ? n : 0},
        {&saved, midpoint ? checked_product(kMidpointSplitDepth + 1, n) : 0},
        {&stages, rk45 ? checked_product(9, n) : 0},
        {&jac, square},
        {&iter_matrix, square},
    };
    std::size_t total = 0;
    for (const auto& [part, size] : parts) total = checked_sum(total, size);
    block_.assign(total, 0.0);
    double* at = block_.data();
    for (const auto& [part, size] : parts) {
        *part = {at, size};
        at += size;
    }
    pivots.assign(midpoint ? n : 0, 0);
}

Result<std::vector<double>> step(const Model& model, std::span<const double> x, std::span<const double> u, double t,
                                 double dt, Method method, const SolverOptions& options) {
    // Backward or non-finite spans would make the adaptive loop end before its first substep
    // and hand back the unchanged state as if it had integrated.
    if (method == Method::Rk45 && !(std::isfinite(t) && std::isfinite(dt) && dt >= 0.0))
        return invalid("the adaptive method needs a finite t and a finite, non-negative dt");

    Work work = Work::for_model(model, method);
    std::vector<double> state(x.begin(), x.end());
    const InputSource input = InputSource::of_constant(u.data(), model.n_inputs);
    switch (method) {
    case Method::Euler:
        euler_step(model, state.data(), input, work, t, dt);
        break;
    case Method::Rk4:
        rk4_step(model, state.data(), input, work, t, dt);
        break;
    case Method::Rk45: {
        double h_carry = 0.0;
        if (auto st = rk45_interval(model, state.data(), input, t, t + dt, options, h_carry, work); !st)
            return fail(std::move(st.error()));
        break;
    }
    case Method::Midpoint:
        if (auto st = midpoint_recursive(model, state.data(), input, t, dt, options, work, 0); !st)
            return fail(std::move(st.error()));
        break;
    case Method::Dop853:
    case Method::Rodas5p:
    case Method::Gauss4:
        return invalid(std::string(method_name(method)) + " integrates whole runs, not single steps");
    }
    if (!std::all_of(state.begin(), state.end(), [](double v) { return std::isfinite(v); }))
        return fail(NonFinite{"the state", t + dt});
    return state;
}

}  // namespace zarel
