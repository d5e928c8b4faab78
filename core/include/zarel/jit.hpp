// Machine code for kernels: x86-64 compiled when a model is loaded, computing bit for bit what
// the evaluator computes, and shared by every copy of the model.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "zarel/expr.hpp"

namespace zarel {

// The evaluator's signature: a fused list writes out[k]; a single program returns its value.
using NativeFn = double (*)(const double* env, double* out);

// A whole step of a fixed-step method, or the later stages of a Dormand-Prince or a DOP853
// attempt, with the right-hand side inlined (see StepLayout).
enum class StepForm { None, Euler, Rk4, DormandPrince, Dop853 };

// The environment of compiled steps: the model's own (states, inputs, parameters, t; `model`
// slots), then the step size h, then what the form reads besides. Euler and RK4: the inputs of
// the model's own slots are those at t, followed for RK4 by the inputs at t + h/2 and at t + h.
// Dormand-Prince: the first stage's derivative (n values), then for each later stage s = 1..6
// its time and its input; the entry writes the derivatives of stages 1..6 to out[0, 6n), the
// fifth-order solution to out[6n, 7n) and the error estimate's terms to out[7n, 8n). DOP853: the
// same for stages s = 1..12; the entry writes their derivatives to out[0, 12n), leaves
// out[12n, 15n) to the continuous extension's stages, and writes the eighth-order solution to
// out[15n, 16n) and the sums of the fifth- and third-order estimates to out[16n, 17n) and
// out[17n, 18n).
struct StepLayout {
    std::size_t n_states = 0, n_inputs = 0, model = 0;

    std::size_t h() const { return model; }
    std::size_t u_half() const { return model + 1; }
    std::size_t u_end() const { return model + 1 + n_inputs; }
    std::size_t k0() const { return model + 1; }
    std::size_t stage_time(int s) const { return model + 1 + n_states + static_cast<std::size_t>(s - 1) * (1 + n_inputs); }
    std::size_t stage_u(int s) const { return stage_time(s) + 1; }
    std::size_t size() const { return std::max(u_end() + n_inputs, stage_time(13)); }
};

// What one entry point computes: a kernel exactly as run() evaluates it, or, when `kernel` is
// null, the supplied power: the sum over k of y_k * v_k for the programs port_outputs[k] and
// port_values[k], accumulated from 0.0 in order; or, with a step form, a whole step.
struct NativeSource {
    const Kernel* kernel = nullptr;
    const std::vector<Program>* port_outputs = nullptr;
    const std::vector<Program>* port_values = nullptr;
    bool packed = true;  // whether a packed form is wanted too, when the block has lanes
    // The scalar form only for graphs of at most this many operations (a null entry otherwise).
    std::size_t scalar_limit = SIZE_MAX;
    // With a form, `kernel` is a right-hand side over the model environment of `layout` and the
    // entry point does one step of that method (for Euler and RK4 writing the new state to
    // out[0, n_states) after its last read of env, so out may be env itself) on an environment
    // laid out so.
    StepForm step = StepForm::None;
    StepLayout layout{};
};

// The packed form of a source: `lanes` evaluations at once, one per lane, each computing what
// the scalar form computes on that lane's values. Every array is lane-major within a slot:
// env[slot * lanes + lane], out[k * lanes + lane], and result[lane] receives what the scalar
// form returns.
using PackedFn = void (*)(const double* env, double* out, double* result);

// Entry points into one block of code, one per source, valid while `code` lives (null for a
// source beyond its scalar limit); `packed`, in the same order, when the block was compiled for
// more than one lane (null for a source that wanted none).
struct NativeCode {
    std::shared_ptr<const void> code;
    std::vector<NativeFn> entries;
    std::vector<PackedFn> packed;
    std::size_t lanes = 1;
};

// Compiles every source into one block, in scalar form and, for lanes of 2 or more, in packed
// form too: 2 lanes, 4 (for 3 or 4) or 8 (for more), as many as the processor allows (4 lanes
// need AVX2, 8 AVX-512F; without them the packed form has fewer). Returns no entries when there
// is no machine code to be had: another architecture, a build without xbyak, or executable memory
// refused by the system.
NativeCode compile_native(std::span<const NativeSource> sources, std::size_t lanes = 1);

// The lanes of packed code for models loaded now: 8 where the processor has AVX-512F, 4 where it
// has AVX2, else 2; ZAREL_LANES=4 asks for at most 4, ZAREL_LANES=2 keeps two lanes on any
// processor and ZAREL_LANES=1 turns packed code off.
std::size_t native_lanes();

// Whether models loaded now get machine code: false when ZAREL_JIT=0 or when this build has no
// code generator.
bool native_code_enabled();

}  // namespace zarel
