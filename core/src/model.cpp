// Loading a model document and evaluating the loaded model at a point.
#include "zarel/model.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <tuple>

#include "jacobian_pattern.hpp"

namespace zarel {

namespace {

constexpr std::size_t kMaxNesting = 127;

// Builds the document tree like the library's own DOM parser, but stops at the first array or
// object nested deeper than kMaxNesting, so no deep document reaches recursive code.
class BoundedDom {
public:
    explicit BoundedDom(Json& root) : dom_(root, false) {}

    bool null() { return dom_.null(); }
    bool boolean(bool v) { return dom_.boolean(v); }
    bool number_integer(Json::number_integer_t v) { return dom_.number_integer(v); }
    bool number_unsigned(Json::number_unsigned_t v) { return dom_.number_unsigned(v); }
    bool number_float(Json::number_float_t v, const std::string& s) { return dom_.number_float(v, s); }
    bool string(std::string& v) { return dom_.string(v); }
    bool binary(Json::binary_t& v) { return dom_.binary(v); }
    bool start_object(std::size_t n) { return ++depth_ <= kMaxNesting && dom_.start_object(n); }
    bool key(std::string& v) { return dom_.key(v); }
    bool end_object() { --depth_; return dom_.end_object(); }
    bool start_array(std::size_t n) { return ++depth_ <= kMaxNesting && dom_.start_array(n); }
    bool end_array() { --depth_; return dom_.end_array(); }
    bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& ex) {
        error_ = ex.what();
        position_ = position;
        return false;
    }

    bool too_deep() const { return depth_ > kMaxNesting; }
    const std::string& error() const { return error_; }
    std::size_t position() const { return position_; }

private:
    using Adapter = decltype(nlohmann::detail::input_adapter(std::string_view().begin(), std::string_view().end()));
    nlohmann::detail::json_sax_dom_parser<Json, Adapter> dom_;
    std::size_t depth_ = 0;
    std::string error_;
    std::size_t position_ = 0;
};

// Line and column (1-based) of the character at byte offset `offset`.
std::pair<std::size_t, std::size_t> line_and_column(std::string_view text, std::size_t offset) {
    std::size_t line = 1, column = 1;
    for (std::size_t k = 0; k < offset && k < text.size(); ++k) {
        if (text[k] == '\n') { ++line; column = 1; } else { ++column; }
    }
    return {line, column};
}

// Line and column (1-based) of the bracket that opens nesting level kMaxNesting + 1. Only
// called when the parser stopped there, so the text before it is valid JSON.
std::pair<std::size_t, std::size_t> deep_position(std::string_view text) {
    std::size_t line = 1, column = 0, depth = 0;
    bool in_string = false, escaped = false;
    for (char c : text) {
        ++column;
        if (c == '\n') { ++line; column = 0; continue; }
        if (in_string) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxNesting) break;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return {line, column};
}

// The document's sizes are non-negative integers that fit 64 bits unsigned.
Result<std::uint64_t> size_member(const Json& doc, const char* key) {
    if (doc.is_object()) {
        auto it = doc.find(key);
        if (it != doc.end())
            if (auto v = index_value(*it)) return *v;
    }
    return malformed(std::string("missing integer ") + key);
}

const Json* member(const Json& doc, const char* key) {
    auto it = doc.find(key);
    return it == doc.end() || it->is_null() ? nullptr : &*it;
}

Result<std::vector<Program>> programs(const Json* value, const char* name) {
    if (!value || !value->is_array()) return malformed(std::string("missing list ") + name);
    std::vector<Program> out;
    out.reserve(value->size());
    for (const Json& node : *value) {
        auto p = from_json(node);
        if (!p) return fail(std::move(p.error()));
        out.push_back(std::move(*p));
    }
    return out;
}

}  // namespace

namespace {

std::unexpected<EngineError> not_json_at(std::string_view text, std::size_t offset, const std::string& what) {
    auto [line, column] = line_and_column(text, offset);
    return malformed("not JSON: parse error at line " + std::to_string(line) + ", column " + std::to_string(column) +
                     ": " + what);
}

// Compiles every list of the model into one block of machine code; on failure the model keeps
// the interpreter.
void attach_native(Model& m) {
    const Kernel grad_h = fuse(m.grad_h_programs), outputs = fuse(m.output_programs),
                 port_outputs = fuse(m.port_output_programs);
    Model::Native& n = m.native;
    Model::Native::Packed& p = n.packed;
    struct Wanted {
        NativeFn* scalar;
        PackedFn* packed;
        NativeSource source;
    };
    std::vector<Wanted> wanted{
        {&n.rhs, &p.rhs, {&m.rhs_kernel}},
        {&n.energy, &p.energy, {&m.energy_program.kernel}},
        {&n.grad_h, &p.grad_h, {&grad_h}},
        {&n.outputs, &p.outputs, {&outputs}},
        {&n.port_outputs, &p.port_outputs, {&port_outputs}},
        {&n.supplied_power, &p.supplied_power, {nullptr, &m.port_output_programs, &m.port_value_programs}}};
    // the Jacobian serves the implicit method, whose lanes refresh it each on their own Newton
    // iteration: a packed form of its mostly constant entries would only lengthen loading
    if (m.jacobian_kernel) wanted.push_back({&n.jacobian, &p.jacobian, {&*m.jacobian_kernel, nullptr, nullptr, false}});
    // whole steps, for right-hand sides small enough that a copy of their code per stage costs
    // little to compile and stays in the instruction cache, and for environments small enough
    // that the steps' layout (the inputs once per stage) costs little memory per scratch. One
    // lane's step runs as fast through the right-hand side's code and the integrators' loops
    // once it is longer than about 800 operations (the 12-mass chain's RK4 step); packed steps
    // stay faster at any size admitted here.
    constexpr std::size_t kInlinedSteps = 1024, kInlinedSlots = 4096, kScalarStep = 800;
    if (m.rhs_kernel.code.size() <= kInlinedSteps && m.env_size() <= kInlinedSlots) {
        for (auto [scalar, packed, form] : {std::tuple{&n.euler_step, &p.euler_step, StepForm::Euler},
                                            std::tuple{&n.rk4_step, &p.rk4_step, StepForm::Rk4},
                                            std::tuple{&n.dp_stages, &p.dp_stages, StepForm::DormandPrince},
                                            std::tuple{&n.dop853_stages, &p.dop853_stages, StepForm::Dop853}})
            wanted.push_back(
                {scalar, packed, {&m.rhs_kernel, nullptr, nullptr, true, kScalarStep, form, m.step_layout()}});
    }
    std::vector<NativeSource> sources;
    for (const auto& w : wanted) sources.push_back(w.source);
    NativeCode code = compile_native(sources, native_lanes());
    if (code.entries.size() != sources.size()) return;
    for (std::size_t k = 0; k < sources.size(); ++k) *wanted[k].scalar = code.entries[k];
    if (code.packed.size() == sources.size()) {
        for (std::size_t k = 0; k < sources.size(); ++k) *wanted[k].packed = code.packed[k];
        n.lanes = code.lanes;
    }
    n.code = std::move(code.code);
}

}  // namespace

Result<Json> parse_json(std::string_view text) {
    // The library's lexer reads a NUL byte as the end of the input, which would let anything
    // after it pass unseen: parse up to the first NUL and reject the NUL itself.
    const std::size_t nul = text.find('\0');
    const std::string_view body = text.substr(0, nul);
    Json root;
    BoundedDom sax(root);
    const bool parsed = Json::sax_parse(body.begin(), body.end(), &sax);
    if (parsed && nul == std::string_view::npos) return root;
    if (sax.too_deep()) {
        auto [line, column] = deep_position(text);
        return malformed("not JSON: parse error at line " + std::to_string(line) + ", column " +
                         std::to_string(column) + ": arrays and objects nested deeper than " +
                         std::to_string(kMaxNesting) + " levels");
    }
    std::string what = sax.error();
    if (nul != std::string_view::npos && (parsed || what.find("end of input") != std::string::npos))
        return not_json_at(text, nul, "invalid character NUL");
    // drop the library's "[json.exception.parse_error.101] " tag
    if (auto close = what.find("] "); !what.empty() && what[0] == '[' && close != std::string::npos)
        what.erase(0, close + 2);
    // some faults (a number out of range) come without a position: add it
    if (what.find(" at line ") == std::string::npos)
        return not_json_at(text, sax.position() == 0 ? 0 : sax.position() - 1, what);
    return malformed("not JSON: " + what);
}

Result<Model> Model::from_text(std::string_view text) {
    auto doc = parse_json(text);
    if (!doc) return fail(std::move(doc.error()));
    return from_value(*doc);
}

Result<Model> Model::from_value(const Json& doc) {
    Model m;
    for (auto [field, key] : {std::pair{&m.n_states, "n_states"}, {&m.n_inputs, "n_inputs"}, {&m.n_params, "n_params"}}) {
        auto v = size_member(doc, key);
        if (!v) return fail(std::move(v.error()));
        *field = *v;
    }
    std::uint64_t sum = 0;
    if (__builtin_add_overflow(m.n_states, m.n_inputs, &sum) || __builtin_add_overflow(sum, m.n_params, &sum) ||
        sum == std::numeric_limits<std::uint64_t>::max())
        return malformed("n_states + n_inputs + n_params is too large");

    const Json* values = member(doc, "param_values");
    if (!values || !values->is_array()) return malformed("missing param_values");
    for (const Json& v : *values) m.params.push_back(number_or_nan(v));
    if (m.params.size() != m.n_params) return malformed("param_values length differs from n_params");

    auto rhs = programs(member(doc, "rhs"), "rhs");
    if (!rhs) return fail(std::move(rhs.error()));
    m.rhs_programs = std::move(*rhs);
    if (m.rhs_programs.size() != m.n_states) return malformed("rhs length differs from n_states");

    if (const Json* jac = member(doc, "jacobian")) {
        auto j = programs(jac, "jacobian");
        if (!j) return fail(std::move(j.error()));
        // n_states equals the rhs length here, so the square cannot overflow
        if (j->size() != m.n_states * m.n_states) return malformed("jacobian is not n_states^2 long");
        m.jacobian_programs = std::move(*j);
    }

    if (const Json* e = member(doc, "energy")) {
        auto p = from_json(*e);
        if (!p) return fail(std::move(p.error()));
        m.energy_program = std::move(*p);
    } else {
        m.energy_program = constant();
    }

    for (auto [field, key] : {std::pair{&m.grad_h_programs, "grad_H"}, {&m.port_output_programs, "port_outputs"},
                              {&m.port_value_programs, "port_values"}, {&m.output_programs, "outputs"}}) {
        if (const Json* v = member(doc, key)) {
            auto p = programs(v, key);
            if (!p) return fail(std::move(p.error()));
            *field = std::move(*p);
        }
        if (field == &m.port_value_programs && m.port_value_programs.size() != m.port_output_programs.size())
            return malformed("port_values and port_outputs differ in length");
    }

    if (auto it = doc.find("output_names"); it != doc.end() && it->is_array())
        for (const Json& v : *it) m.output_names.push_back(v.is_string() ? v.get<std::string>() : std::string());
    if (m.output_names.size() != m.output_programs.size())
        return malformed("output_names and outputs differ in length");

    const std::uint64_t slots = sum + 1;
    auto check = [&](const std::vector<Program>& list) -> Status {
        for (const Program& p : list)
            if (p.max_ref && *p.max_ref >= slots)
                return malformed("expression refers to table slot " + std::to_string(*p.max_ref) + " but the table has " +
                                 std::to_string(slots) + " entries");
        return {};
    };
    const std::vector<Program> energy_list{m.energy_program};
    for (const std::vector<Program>* list : std::initializer_list<const std::vector<Program>*>{&m.rhs_programs, m.jacobian_programs ? &*m.jacobian_programs : nullptr, &energy_list, &m.grad_h_programs,
          &m.port_output_programs, &m.port_value_programs, &m.output_programs}) {
        if (!list) continue;
        if (auto st = check(*list); !st) return fail(std::move(st.error()));
    }
    m.rhs_kernel = fuse(m.rhs_programs);
    if (m.jacobian_programs) m.jacobian_kernel = fuse(*m.jacobian_programs);
    m.jacobian_pattern = read_jacobian_pattern(m);
    m.stack_depth = m.max_depth();
    if (native_code_enabled()) attach_native(m);
    return m;
}

std::size_t Model::max_depth() const {
    std::size_t d = energy_program.depth;
    auto over = [&](const std::vector<Program>& list) {
        for (const Program& p : list) d = std::max(d, p.depth);
    };
    over(rhs_programs);
    if (jacobian_programs) over(*jacobian_programs);
    over(grad_h_programs);
    over(port_output_programs);
    over(port_value_programs);
    over(output_programs);
    return d;
}

Scratch Scratch::for_model(const Model& model) {
    Scratch s;
    s.env.assign(model.scratch_size(), 0.0);
    s.stack.assign(std::max<std::size_t>(64, model.stack_depth), 0.0);
    return s;
}

void Model::copy_many(const double* src, std::size_t n, double* dst) { std::copy_n(src, n, dst); }

void Model::eval_into(const std::vector<Program>& list, Scratch& scratch, double* out) {
    const double* env = scratch.env.data();
    for (std::size_t k = 0; k < list.size(); ++k) out[k] = eval(list[k], env, scratch.stack);
}

void Model::eval_into(const Kernel& fused, Scratch& scratch, double* out) {
    if (scratch.stack.size() < fused.depth) scratch.stack.resize(fused.depth);
    run(fused, scratch.env.data(), scratch.stack.data(), out);
}

namespace {

std::vector<double> evaluate(const Model& m, const std::vector<Program>& list, NativeFn native, const double* x,
                             const double* u, double t) {
    Scratch scratch = Scratch::for_model(m);
    std::vector<double> out(list.size());
    m.fill_env(x, u, t, scratch.env.data());
    Model::eval_into(native, list, scratch, out.data());
    return out;
}

}  // namespace

std::vector<double> Model::rhs(const double* x, const double* u, double t) const {
    return evaluate(*this, rhs_programs, native.rhs, x, u, t);
}

std::vector<double> Model::outputs(const double* x, const double* u, double t) const {
    return evaluate(*this, output_programs, native.outputs, x, u, t);
}

std::vector<double> Model::port_outputs(const double* x, const double* u, double t) const {
    return evaluate(*this, port_output_programs, native.port_outputs, x, u, t);
}

void Model::fill_env_at_rest(const double* x, Scratch& scratch) const {
    // what fill_env writes for zero inputs at t = 0, without a vector of zeros to copy from
    fill_params(scratch);
    double* env = scratch.env.data();
    copy_values(x, n_states, env);
    std::fill_n(env + n_states, n_inputs, 0.0);
    env[n_states + n_inputs + n_params] = 0.0;
}

std::vector<double> Model::grad_h(const double* x, Scratch& scratch) const {
    std::vector<double> out(grad_h_programs.size());
    fill_env_at_rest(x, scratch);
    eval_into(native.grad_h, grad_h_programs, scratch, out.data());
    return out;
}

double Model::energy(const double* x, Scratch& scratch) const {
    fill_env_at_rest(x, scratch);
    if (native.energy) return native.energy(scratch.env.data(), nullptr);
    return eval(energy_program, scratch.env.data(), scratch.stack);
}

bool Model::rhs_reads_time_or_inputs() const {
    const std::uint64_t first_input = n_states, time = n_states + n_inputs + n_params;
    const auto reads = [&](const Program& q) {
        return std::ranges::any_of(q.code, [&](const Instr& in) {
            return in.op == Op::Ref && in.index >= first_input && (in.index < first_input + n_inputs || in.index == time);
        });
    };
    return std::ranges::any_of(rhs_programs, reads);
}

bool Model::supplied_power_is_fixed() const {
    const auto reads = [](const Program& q) { return q.max_ref.has_value(); };
    return std::ranges::none_of(port_output_programs, reads) && std::ranges::none_of(port_value_programs, reads);
}

double Model::supplied_power(const double* x, const double* u, double t, Scratch& scratch) const {
    fill_params(scratch);
    fill_point(x, u, t, scratch.env.data());
    if (native.supplied_power) return native.supplied_power(scratch.env.data(), nullptr);
    const std::size_t m = std::min(port_output_programs.size(), port_value_programs.size());
    double power = 0.0;
    for (std::size_t k = 0; k < m; ++k) {
        const double y = eval(port_output_programs[k], scratch.env.data(), scratch.stack);
        const double v = eval(port_value_programs[k], scratch.env.data(), scratch.stack);
        power += y * v;
    }
    return power;
}

void Model::jacobian_into(const double* x, const double* u, double t, double* out, Scratch& scratch) const {
    const std::size_t n = n_states;
    if (jacobian_programs) {
        fill_params(scratch);
        fill_point(x, u, t, scratch.env.data());
        eval_into(native.jacobian, *jacobian_kernel, scratch, out);
        if (std::all_of(out, out + n * n, [](double v) { return std::isfinite(v); })) return;
    }
    // One-sided forward differences; the divisor is h itself, not the realised (x_j + h) - x_j.
    std::vector<double> f0(n), f1(n), xp(x, x + n);
    rhs_into(x, u, t, f0.data(), scratch);
    for (std::size_t j = 0; j < n; ++j) {
        const double h = (std::fabs(x[j]) + 1.0) * 1e-7;
        xp[j] = x[j] + h;
        rhs_into(xp.data(), u, t, f1.data(), scratch);
        xp[j] = x[j];
        for (std::size_t i = 0; i < n; ++i) out[i * n + j] = (f1[i] - f0[i]) / h;
    }
}

std::vector<double> Model::jacobian(const double* x, const double* u, double t) const {
    std::vector<double> out(n_states * n_states, 0.0);
    Scratch scratch = Scratch::for_model(*this);
    jacobian_into(x, u, t, out.data(), scratch);
    return out;
}

}  // namespace zarel
