// A loaded model document: sizes, parameters, compiled programs; and its point evaluations.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zarel/error.hpp"
#include "zarel/expr.hpp"
#include "zarel/jit.hpp"

namespace zarel {

class Model;

// Where the right-hand side's Jacobian may be nonzero, by compressed columns: the rows of column j
// are rows[col_start[j]] .. rows[col_start[j + 1] - 1], increasing. Entry (i, j) belongs when
// rhs i reads state j, when the document's Jacobian entry (i, j) is not the constant 0, or when
// i == j; every other entry is 0 whichever way the Jacobian is evaluated.
struct JacobianPattern {
    std::vector<std::size_t> col_start, rows;

    std::size_t nonzeros() const { return rows.size(); }
};

// Evaluation buffers for one model, owned by one caller at a time.
struct Scratch {
    std::vector<double> env;
    std::vector<double> stack;
    // The parameters of the run this scratch serves, in place of the model's own when set: a
    // run with parameters of its own never writes the (shared) model.
    const double* params = nullptr;

    static Scratch for_model(const Model& model);
};

class Model {
public:
    std::uint64_t n_states = 0;
    std::uint64_t n_inputs = 0;
    std::uint64_t n_params = 0;
    std::vector<double> params;
    std::vector<Program> rhs_programs;
    std::optional<std::vector<Program>> jacobian_programs;
    Program energy_program;
    std::vector<Program> grad_h_programs;
    std::vector<Program> port_output_programs;
    std::vector<Program> port_value_programs;
    std::vector<Program> output_programs;
    std::vector<std::string> output_names;
    // The rhs and Jacobian programs fused into one kernel each, built by from_value: the
    // integrators' hot evaluations run as one stream.
    Kernel rhs_kernel;
    std::optional<Kernel> jacobian_kernel;
    // built by from_value from the programs above
    JacobianPattern jacobian_pattern;
    // A compiled stand-in for the rhs programs, reading the same environment: set only by the
    // benchmarks that measure the interpreter against native code on identical integrator work.
    void (*native_rhs)(const double* env, double* out) = nullptr;
    // Machine code for the lists above, made when the model is loaded (unless ZAREL_JIT=0) and
    // shared by every copy; where an entry is null the interpreter evaluates.
    struct Native {
        std::shared_ptr<const void> code;
        NativeFn rhs = nullptr, jacobian = nullptr, energy = nullptr, grad_h = nullptr, outputs = nullptr,
                 port_outputs = nullptr, supplied_power = nullptr;
        // Whole steps of euler_step and rk4_step, and the later stages of a Dormand-Prince and a
        // DOP853 attempt, on an environment laid out by step_layout(); null for a right-hand side
        // too large to inline at every stage (the scalar forms: for a step too long to gain by it).
        NativeFn euler_step = nullptr, rk4_step = nullptr, dp_stages = nullptr, dop853_stages = nullptr;
        // The packed forms of the same lists, evaluating `lanes` runs at once (lanes 1: none;
        // ZAREL_LANES=1 at load time turns them off).
        struct Packed {
            PackedFn rhs = nullptr, jacobian = nullptr, energy = nullptr, grad_h = nullptr, outputs = nullptr,
                     port_outputs = nullptr, supplied_power = nullptr, euler_step = nullptr, rk4_step = nullptr,
                     dp_stages = nullptr, dop853_stages = nullptr;
        } packed;
        std::size_t lanes = 1;
        bool has_steps() const {
            return euler_step || rk4_step || dp_stages || dop853_stages || packed.euler_step || packed.rk4_step ||
                   packed.dp_stages || packed.dop853_stages;
        }
    } native;

    static Result<Model> from_value(const Json& doc);
    static Result<Model> from_text(std::string_view text);

    // states, inputs, parameters and t
    std::size_t env_size() const { return n_states + n_inputs + n_params + 1; }
    // The same followed by what a compiled step reads besides (h, the later inputs and stages).
    StepLayout step_layout() const { return {n_states, n_inputs, env_size()}; }
    // The environment a scratch holds: the compiled steps' layout where the model has them, else
    // the model's own slots.
    std::size_t scratch_size() const { return native.has_steps() ? step_layout().size() : env_size(); }
    bool has_jacobian() const { return jacobian_programs.has_value(); }
    // Whether the energy, and the supplied power, read no slot (a model without energy or
    // ports): the same value at every point of every run.
    bool energy_is_fixed() const { return !energy_program.max_ref; }
    bool supplied_power_is_fixed() const;
    // Whether some right-hand-side expression reads the time or an input.
    bool rhs_reads_time_or_inputs() const;
    // the deepest stack any program of the model needs, measured once by from_value so that a
    // Scratch for a model with a large Jacobian costs no walk over its programs
    std::size_t stack_depth = 0;
    std::size_t max_depth() const;

    void fill_env(const double* x, const double* u, double t, double* env) const {
        fill_params(env);
        fill_point(x, u, t, env);
    }
    // The two halves of fill_env: parameters are constant through a run, so a run writes them
    // once and then only the point of each evaluation.
    void fill_params(double* env) const { copy_values(params.data(), n_params, env + n_states + n_inputs); }
    // The parameters the scratch serves: its run's own, or the model's.
    void fill_params(Scratch& scratch) const {
        copy_values(scratch.params ? scratch.params : params.data(), n_params,
                    scratch.env.data() + n_states + n_inputs);
    }
    void fill_point(const double* x, const double* u, double t, double* env) const {
        copy_values(x, n_states, env);
        if (n_inputs > 0) copy_values(u, n_inputs, env + n_states);
        env[n_states + n_inputs + n_params] = t;
    }
    // A plain loop for the few values of most models, where a call to memmove costs more than
    // the copy; memmove beyond.
    static void copy_values(const double* src, std::size_t n, double* dst) {
        if (n > 8) return copy_many(src, n, dst);
        for (std::size_t k = 0; k < n; ++k) dst[k] = src[k];
    }
    static void copy_many(const double* src, std::size_t n, double* dst);
    // The environment of energy and its gradient: x, zero inputs, the scratch's parameters and t = 0.
    void fill_env_at_rest(const double* x, Scratch& scratch) const;
    // Evaluates each program at the environment already filled, into out[k].
    static void eval_into(const std::vector<Program>& programs, Scratch& scratch, double* out);
    static void eval_into(const Kernel& fused, Scratch& scratch, double* out);
    // The same by the list's machine code when the model has any (`native` not null).
    static void eval_into(NativeFn native, const std::vector<Program>& programs, Scratch& scratch, double* out) {
        if (native) {
            native(scratch.env.data(), out);
        } else {
            eval_into(programs, scratch, out);
        }
    }
    static void eval_into(NativeFn native, const Kernel& fused, Scratch& scratch, double* out) {
        if (native) {
            native(scratch.env.data(), out);
        } else {
            eval_into(fused, scratch, out);
        }
    }
    // The right-hand side at (x, u, t) into out, on the given scratch, without allocating.
    void rhs_into(const double* x, const double* u, double t, double* out, Scratch& scratch) const {
        fill_params(scratch);
        fill_point(x, u, t, scratch.env.data());
        rhs_at_env(scratch, out);
    }
    // rhs_into inside a run, whose scratch already holds the parameters (Work writes them once):
    // the integrators' hot path writes only x, u and t.
    void rhs_in_run(const double* x, const double* u, double t, double* out, Scratch& scratch) const {
        fill_point(x, u, t, scratch.env.data());
        rhs_at_env(scratch, out);
    }
    // The right-hand side at the environment already filled.
    void rhs_at_env(Scratch& scratch, double* out) const {
        if (native_rhs) {
            native_rhs(scratch.env.data(), out);
        } else {
            eval_into(native.rhs, rhs_kernel, scratch, out);
        }
    }

    std::vector<double> rhs(const double* x, const double* u, double t) const;
    std::vector<double> outputs(const double* x, const double* u, double t) const;
    std::vector<double> port_outputs(const double* x, const double* u, double t) const;
    std::vector<double> jacobian(const double* x, const double* u, double t) const;
    std::vector<double> grad_h(const double* x, Scratch& scratch) const;
    double energy(const double* x, Scratch& scratch) const;
    double supplied_power(const double* x, const double* u, double t, Scratch& scratch) const;
    void jacobian_into(const double* x, const double* u, double t, double* out, Scratch& scratch) const;
};

// Parses strict JSON with nesting limited to 127 levels; failures read "not JSON: ...".
Result<Json> parse_json(std::string_view text);

}  // namespace zarel
