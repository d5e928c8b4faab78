// libFuzzer target for the model loader and the expression compiler: the input is taken as a
// model document; a document that loads is evaluated once at a fixed point through every
// program it holds (right-hand side, Jacobian, energy, gradient, ports, outputs), twice, and the
// two results must agree bit for bit, and with the evaluator's where the model has machine
// code. Anything else the loader and the evaluator rely on is checked too, so a broken
// invariant stops the run instead of passing silently.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "zarel/model.hpp"

namespace {

// Documents with more slots than this are only loaded: the sizes are the document's own, and
// evaluating them would measure the allocator, not the engine.
constexpr std::uint64_t kMaxEvaluatedInputs = 1u << 16;
constexpr std::uint64_t kMaxEvaluatedStates = 512;

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "fuzz_load: %s\n", what);
    std::abort();
}

void check_program(const zarel::Program& p, std::size_t env_size) {
    if (p.code.empty()) broken("empty program");
    if (p.depth == 0) broken("program with zero stack depth");
    if (p.max_ref && *p.max_ref >= env_size) broken("program reads past the environment");
    std::size_t depth = 0, tables = 0;
    for (const zarel::Instr& in : p.code) {
        const auto need = static_cast<std::size_t>(zarel::consumed(in.op));
        if (depth < need) broken("accepted program underflows its stack");
        depth = depth - need + 1;
        if (depth > p.depth) broken("program deeper than its recorded depth");
        if (in.op == zarel::Op::Pw) {
            if (in.index >= p.tables.size()) broken("pw instruction without its table");
            ++tables;
        }
    }
    if (depth != 1) broken("accepted program does not reduce to one value");
    if (tables != p.tables.size()) broken("table count differs from the pw instructions");
    for (const zarel::PwTable& t : p.tables) {
        if (t.knots.size() < 2 || t.coefs.size() + 1 != t.knots.size()) broken("malformed pw table");
        for (std::size_t k = 0; k + 1 < t.knots.size(); ++k)
            if (!(t.knots[k] < t.knots[k + 1])) broken("pw knots do not increase");
    }
}

template <class F>
void each_list(const zarel::Model& m, F&& f) {
    f(m.rhs_programs);
    if (m.jacobian_programs) f(*m.jacobian_programs);
    f(m.grad_h_programs);
    f(m.port_output_programs);
    f(m.port_value_programs);
    f(m.output_programs);
}

// Every value one evaluation of the model at (x, u, t) produces, in a fixed order.
std::vector<double> evaluate_all(const zarel::Model& m, const double* x, const double* u, double t,
                                 zarel::Scratch& scratch) {
    const std::size_t n = m.n_states;
    std::vector<double> values(n + n * n + m.output_programs.size(), 0.0);
    double* rhs = values.data();
    double* jac = rhs + n;
    double* out = jac + n * n;
    m.rhs_into(x, u, t, rhs, scratch);
    m.jacobian_into(x, u, t, jac, scratch);
    m.fill_env(x, u, t, scratch.env.data());
    zarel::Model::eval_into(m.output_programs, scratch, out);
    values.push_back(m.energy(x, scratch));
    values.push_back(m.supplied_power(x, u, t, scratch));
    for (double g : m.grad_h(x, scratch)) values.push_back(g);
    for (double y : m.port_outputs(x, u, t)) values.push_back(y);
    return values;
}

void exercise(const zarel::Model& m) {
    const std::size_t env_size = m.env_size();
    if (m.params.size() != m.n_params) broken("parameter count differs from n_params");
    if (m.rhs_programs.size() != m.n_states) broken("rhs count differs from n_states");
    if (m.jacobian_programs && m.jacobian_programs->size() != m.n_states * m.n_states)
        broken("jacobian count differs from n_states^2");
    if (m.port_output_programs.size() != m.port_value_programs.size()) broken("port lists differ in length");
    if (m.output_names.size() != m.output_programs.size()) broken("output names differ from outputs");
    check_program(m.energy_program, env_size);
    each_list(m, [&](const std::vector<zarel::Program>& list) {
        for (const zarel::Program& p : list) check_program(p, env_size);
    });

    if (m.n_inputs > kMaxEvaluatedInputs || m.n_states > kMaxEvaluatedStates) return;

    // a fixed point away from the special values 0 and 1, with a non-zero time
    std::vector<double> x(m.n_states), u(m.n_inputs);
    for (std::size_t k = 0; k < x.size(); ++k) x[k] = 0.75 + 0.5 * static_cast<double>(k);
    for (std::size_t k = 0; k < u.size(); ++k) u[k] = -0.25 - 0.5 * static_cast<double>(k);
    const double t = 0.3;

    zarel::Scratch scratch = zarel::Scratch::for_model(m);
    if (scratch.env.size() < env_size || scratch.stack.size() < m.max_depth()) broken("scratch too small");
    const std::vector<double> first = evaluate_all(m, x.data(), u.data(), t, scratch);
    // the same point again, on the used scratch and on a fresh one: bit-identical both times
    const std::vector<double> again = evaluate_all(m, x.data(), u.data(), t, scratch);
    zarel::Scratch fresh = zarel::Scratch::for_model(m);
    const std::vector<double> other = evaluate_all(m, x.data(), u.data(), t, fresh);
    if (first.size() != again.size() || first.size() != other.size() ||
        std::memcmp(first.data(), again.data(), first.size() * sizeof(double)) != 0 ||
        std::memcmp(first.data(), other.data(), first.size() * sizeof(double)) != 0)
        broken("repeated evaluation differs");

    // the evaluator, without the model's machine code, computes the same bits (where two NaNs
    // meet in an add or mul the payload is the C++ compiler's choice: see fuzz_jit.cpp)
    zarel::Model interpreted = m;
    interpreted.native = {};
    const std::vector<double> reference = evaluate_all(interpreted, x.data(), u.data(), t, fresh);
    for (std::size_t k = 0; k < first.size(); ++k)
        if (std::memcmp(&first[k], &reference[k], sizeof(double)) != 0 && !(std::isnan(first[k]) && std::isnan(reference[k])))
            broken("machine code and evaluator differ");

    // the allocating forms agree with the scratch-based ones
    const std::vector<double> rhs = m.rhs(x.data(), u.data(), t);
    if (!std::equal(rhs.begin(), rhs.end(), first.begin(),
                    [](double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }))
        broken("rhs differs from rhs_into");
    const std::vector<double> jac = m.jacobian(x.data(), u.data(), t);
    if (!std::equal(jac.begin(), jac.end(), first.begin() + static_cast<std::ptrdiff_t>(m.n_states),
                    [](double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }))
        broken("jacobian differs from jacobian_into");
    (void)m.outputs(x.data(), u.data(), t);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto model = zarel::Model::from_text(text);
    if (!model) {
        if (model.error().kind() != 0) broken("load failed with an error other than malformed");
        const std::string shown = model.error().display();
        if (shown.rfind("malformed model: ", 0) != 0) broken("load error without its prefix");
        return 0;
    }
    exercise(*model);
    return 0;
}
