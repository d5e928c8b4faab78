// Machine code for kernels: x86-64 compiled when a model is loaded, computing bit for bit what
// the evaluator computes, and shared by every copy of the model.
#pragma once

#include <memory>
#include <span>
#include <vector>

#include "zarel/expr.hpp"

namespace zarel {

// The evaluator's signature: a fused list writes out[k]; a single program returns its value.
using NativeFn = double (*)(const double* env, double* out);

// What one entry point computes: a kernel exactly as run() evaluates it, or, when `kernel` is
// null, the supplied power: the sum over k of y_k * v_k for the programs port_outputs[k] and
// port_values[k], accumulated from 0.0 in order.
struct NativeSource {
    const Kernel* kernel = nullptr;
    const std::vector<Program>* port_outputs = nullptr;
    const std::vector<Program>* port_values = nullptr;
};

// Entry points into one block of code, one per source, valid while `code` lives.
struct NativeCode {
    std::shared_ptr<const void> code;
    std::vector<NativeFn> entries;
};

// Compiles every source into one block. Returns no entries when there is no machine code to be
// had: another architecture, a build without xbyak, or executable memory refused by the system.
NativeCode compile_native(std::span<const NativeSource> sources);

// Whether models loaded now get machine code: false when ZAREL_JIT=0 or when this build has no
// code generator.
bool native_code_enabled();

}  // namespace zarel
