// libFuzzer target for the machine code: the input is read as random programs (every operator,
// deep and wide trees, shared subtrees, constants and environments full of NaN, infinities,
// signed zeros and subnormals), compiled both ways: as a fused list, as single programs and as
// a supplied-power sum. Machine code and evaluator must give identical bits.
//
// One exception, found by this target: when both operands of an add or mul are NaN, x86 returns
// the first operand's payload, and which operand the C++ compiler put first in the evaluator's
// commutative operations is its own choice (add(+NaN, -NaN) gives -NaN in the evaluator's folded
// form, +NaN in program order). So where a program has add or mul, two NaN results may differ
// in payload, sign included; half the inputs make programs without them, and there every bit,
// NaN payloads included, must match.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <utility>
#include <vector>

#include "random_programs.hpp"
#include "zarel/jit.hpp"

namespace {

using zarel::Json;
using fuzz::Generator;
using fuzz::Reader;

// The case at hand, printed with a failure.
const Json* g_trees = nullptr;
const std::vector<double>* g_env = nullptr;
bool g_exact = true;

void check(double got, double want, const char* what, std::size_t k, bool exact = g_exact) {
    if (std::bit_cast<std::uint64_t>(got) == std::bit_cast<std::uint64_t>(want)) return;
    if (!exact && std::isnan(got) && std::isnan(want)) return;
    std::fprintf(stderr, "fuzz_jit: %s %zu: machine code %a (%016llx), evaluator %a (%016llx)\nprograms %s\nenv",
                 what, k, got, static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(got)), want,
                 static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(want)), g_trees->dump().c_str());
    for (double v : *g_env) std::fprintf(stderr, " %a", v);
    std::fprintf(stderr, "\n");
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader r(data, size);
    const int slots = 1 + r.byte() % 12;
    const int count = 1 + r.byte() % 12;
    const int depth = r.byte() % 48;
    g_exact = r.byte() % 2;
    Generator gen(r, slots, g_exact);
    std::vector<zarel::Program> programs;
    Json trees = Json::array();
    for (int k = 0; k < count; ++k) {
        trees.push_back(gen.tree(depth));
        auto p = zarel::from_json(trees.back());
        if (!p) std::abort();  // the generator writes only valid programs
        programs.push_back(std::move(*p));
    }
    const std::size_t half = programs.size() / 2;
    const std::vector<zarel::Program> ys(programs.begin(), programs.begin() + half),
        vs(programs.begin() + half, programs.end());
    const zarel::Kernel fused = zarel::fuse(programs);
    std::vector<zarel::NativeSource> sources{{&fused}, {nullptr, &ys, &vs}};
    for (const zarel::Program& p : programs) sources.push_back({&p.kernel});
    const zarel::NativeCode code = zarel::compile_native(sources);
    if (code.entries.size() != sources.size()) std::abort();

    std::size_t deepest = fused.depth;
    for (const zarel::Program& p : programs) deepest = std::max({deepest, p.depth, p.kernel.depth});
    std::vector<double> env(slots), stack(deepest + 1), want(programs.size()), got(programs.size());
    g_trees = &trees;
    g_env = &env;
    for (int trial = 0; trial < 3; ++trial) {
        for (double& v : env) v = r.number();
        zarel::run(fused, env.data(), stack.data(), want.data());
        code.entries[0](env.data(), got.data());
        for (std::size_t k = 0; k < programs.size(); ++k) check(got[k], want[k], "fused output", k);
        double power = 0.0;
        for (std::size_t k = 0; k < std::min(ys.size(), vs.size()); ++k)
            power += zarel::run(ys[k], env.data(), stack.data()) * zarel::run(vs[k], env.data(), stack.data());
        // the sum itself adds and multiplies
        check(code.entries[1](env.data(), nullptr), power, "supplied power", 0, false);
        for (std::size_t k = 0; k < programs.size(); ++k)
            check(code.entries[2 + k](env.data(), nullptr), zarel::run(programs[k], env.data(), stack.data()), "program", k);
    }
    return 0;
}
