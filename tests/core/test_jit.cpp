// Machine code against the evaluator, bit for bit, on what random programs rarely reach: every
// operator on NaN, signed zeros, infinities and subnormals; more live values than registers with
// calls between them; shared subexpressions; deep and wide trees; a large model; model copies
// sharing their code; ZAREL_JIT=0; and a system that refuses executable memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstddef>

#include "zarel/jit.hpp"
#include "zarel/model.hpp"

namespace {

using zarel::Json;
using zarel::Kernel;
using zarel::Model;
using zarel::Program;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
const std::vector<double> kSpecial = {kNaN, 0.0, -0.0, kInf, -kInf, 4.9e-324, -2.2e-308, 1.0, -2.0, 2.0, 0.5, 3.7};

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

Json ref(int k) { return Json::array({"ref", k}); }
Json num(double v) { return Json::array({"const", v}); }
Json op(const char* name, Json a) { return Json::array({name, std::move(a)}); }
Json op(const char* name, Json a, Json b) { return Json::array({name, std::move(a), std::move(b)}); }
Json op(const char* name, Json a, Json b, Json c) { return Json::array({name, std::move(a), std::move(b), std::move(c)}); }

std::vector<Program> programs(const std::vector<Json>& trees) {
    std::vector<Program> out;
    for (const Json& t : trees) {
        auto p = zarel::from_json(t);
        EXPECT_TRUE(p.has_value()) << t.dump();
        if (p) out.push_back(std::move(*p));
    }
    return out;
}

// Runs the fused list both ways on env and requires the same bits in every output and in the
// returned value.
void expect_same(const Kernel& kernel, zarel::NativeFn fn, const std::vector<double>& env, std::size_t n_out) {
    std::vector<double> stack(kernel.depth + 1), want(n_out, 1.5), got(n_out, 1.5);
    const double r_want = zarel::run(kernel, env.data(), stack.data(), want.data());
    const double r_got = fn(env.data(), got.data());
    EXPECT_EQ(bits(r_got), bits(r_want));
    for (std::size_t k = 0; k < n_out; ++k)
        ASSERT_EQ(bits(got[k]), bits(want[k])) << "output " << k << ": " << got[k] << " vs " << want[k];
}

// Whether this build makes machine code at all, whatever ZAREL_JIT says.
bool have_generator() {
    const char* saved = std::getenv("ZAREL_JIT");
    const std::string value = saved ? saved : "";
    ::unsetenv("ZAREL_JIT");
    const bool have = zarel::native_code_enabled();
    if (saved) ::setenv("ZAREL_JIT", value.c_str(), 1);
    return have;
}

struct Compiled {
    Kernel kernel;
    zarel::NativeCode code;
};

Compiled compile(const std::vector<Json>& trees) {
    Compiled c{zarel::fuse(programs(trees)), {}};
    const zarel::NativeSource source{&c.kernel};
    c.code = zarel::compile_native({&source, 1});
    EXPECT_EQ(c.code.entries.size(), 1u);
    return c;
}

// Every operator, on environment slots and on constants of every special kind.
std::vector<Json> operator_trees() {
    const Json a = ref(0), b = ref(1), c = ref(2);
    const Json table = op("pw", a, Json::array({-1.0, 0.0, 2.0, 5.0}),
                          Json::array({Json::array({1.0, -2.0, 0.5}), Json::array({0.0, 3.0, -1.0}), Json::array({2.0, 0.0, 1e-3})}));
    std::vector<Json> trees = {
        op("neg", a), op("abs", a), op("sqrt", a), op("exp", a), op("log", a), op("tanh", a), op("sin", a),
        op("cos", a), op("sign", a), op("add", a, b), op("sub", a, b), op("mul", a, b), op("div", a, b),
        op("pow", a, b), op("pow", a, num(2)), op("pow", a, num(3)), op("pow", num(2), a), op("max", a, b),
        op("min", a, b), op("gt", a, b), op("where", a, b, c), table, op("sub", num(kInf), op("abs", a)),
        // constants the evaluator folds the same way: NaN, infinities, signed zeros, subnormals
        op("add", op("mul", num(kNaN), num(-0.0)), a), op("max", num(-0.0), num(0.0)), op("min", num(0.0), num(-0.0)),
        op("sign", num(-0.0)), op("where", num(kNaN), a, b), op("div", num(4.9e-324), num(-kInf)),
        op("pow", op("add", num(1.0), num(1.0)), a), op("pow", a, op("sub", num(3.0), num(1.0))),
        op("sqrt", num(-1.0)), num(-0.0), num(kNaN)};
    return trees;
}

TEST(Jit, EveryOperatorOnSpecialValues) {
    const std::vector<Json> trees = operator_trees();
    if (!have_generator()) GTEST_SKIP() << "this build has no code generator";
    const Compiled k = compile(trees);
    ASSERT_FALSE(k.code.entries.empty());
    for (double x : kSpecial)
        for (double y : kSpecial)
            for (double z : {0.0, kNaN, -1.0}) expect_same(k.kernel, k.code.entries[0], {x, y, z, 0.0}, trees.size());
}

// Forty products stored, then read again after forty calls: more live values than registers,
// each written once, spilled around calls and reloaded; a deep chain and a wide tree.
std::vector<Json> crowded_trees() {
    std::vector<Json> trees;
    for (int j = 0; j < 40; ++j) trees.push_back(op("mul", ref(j), op("add", ref(j + 1), num(0.25 * j))));
    Json sum = num(0.0), deep = ref(0), wide = num(1.0);
    for (int j = 0; j < 40; ++j) sum = op("add", op("sin", trees[j]), op("mul", sum, trees[(j + 7) % 40]));
    trees.push_back(sum);
    trees.push_back(op("pow", trees[3], op("tanh", trees[5])));
    // a deep chain and a wide balanced tree over the same slots
    for (int j = 0; j < 120; ++j) deep = op(j % 3 ? "sub" : "div", op("max", deep, ref(j % 41)), ref((j * 7) % 41));
    trees.push_back(deep);
    std::vector<Json> level;
    for (int j = 0; j < 256; ++j) level.push_back(op("mul", ref(j % 41), ref((j * 13 + 5) % 41)));
    while (level.size() > 1) {
        std::vector<Json> next;
        for (std::size_t j = 0; j + 1 < level.size(); j += 2) next.push_back(op(j % 4 ? "add" : "min", level[j], level[j + 1]));
        level = next;
    }
    trees.push_back(level[0]);
    return trees;
}

// The crowded trees' environment for one trial: 42 slots, huge in some trials, a NaN or a
// negative zero in others.
std::vector<double> crowded_env(int trial) {
    std::vector<double> env(42);
    for (std::size_t j = 0; j < env.size(); ++j) env[j] = std::sin(1.7 * j + trial) * (trial % 5 ? 1.0 : 1e300);
    if (trial % 10 == 7) env[11] = kNaN;
    if (trial % 10 == 8) env[3] = -0.0;
    return env;
}

TEST(Jit, ManyLiveValuesAcrossCallsAndSharedTerms) {
    const std::vector<Json> trees = crowded_trees();
    if (!have_generator()) GTEST_SKIP() << "this build has no code generator";
    const Compiled k = compile(trees);
    ASSERT_FALSE(k.code.entries.empty());
    for (int trial = 0; trial < 20; ++trial) expect_same(k.kernel, k.code.entries[0], crowded_env(trial), trees.size());
}

// Runs the packed form of entry e on one environment per lane and requires, lane by lane, the
// bits of the scalar form on that lane's environment: outputs and result.
void expect_lanes_same(const zarel::NativeCode& code, std::size_t e, const std::vector<std::vector<double>>& envs,
                       std::size_t n_out) {
    const std::size_t w = code.lanes;
    ASSERT_EQ(envs.size(), w);
    const std::size_t slots = envs[0].size();
    std::vector<double> env(slots * w), out(n_out * w, 1.5), result(w);
    for (std::size_t l = 0; l < w; ++l)
        for (std::size_t j = 0; j < slots; ++j) env[j * w + l] = envs[l][j];
    code.packed[e](env.data(), out.data(), result.data());
    std::vector<double> want(n_out, 1.5);
    for (std::size_t l = 0; l < w; ++l) {
        std::fill(want.begin(), want.end(), 1.5);
        const double r = code.entries[e](envs[l].data(), want.data());
        EXPECT_EQ(bits(result[l]), bits(r)) << "lane " << l;
        for (std::size_t k = 0; k < n_out; ++k)
            ASSERT_EQ(bits(out[k * w + l]), bits(want[k])) << "lane " << l << " of " << w << ", output " << k;
    }
}

// The lanes this machine's packed code can have: 2 always, 4 with AVX2, 8 with AVX-512F.
std::vector<std::size_t> lane_counts() {
    std::vector<std::size_t> counts{2};
    if (!have_generator()) return counts;
    const zarel::Kernel k = zarel::fuse(programs({ref(0)}));
    const zarel::NativeSource source{&k};
    for (std::size_t w : {4, 8})
        if (zarel::compile_native({&source, 1}, w).lanes == w) counts.push_back(w);
    return counts;
}

// The widest packed form as the processor tells it through libgcc, which also asks whether the
// system saves the ymm and zmm state.
std::size_t widest_by_the_processor() {
    if (__builtin_cpu_supports("avx512f")) return 8;
    return __builtin_cpu_supports("avx2") ? 4 : 2;
}

TEST(Jit, PackedLanesEachComputeTheScalarBits) {
    // every lane its own special values, so that compares, selects and sign masks see NaN in one
    // lane and a signed zero or a number in the next; calls run once per lane among spills
    if (!have_generator()) GTEST_SKIP() << "this build has no code generator";
    const std::vector<Json> special = operator_trees(), crowded = crowded_trees();
    const Kernel ks = zarel::fuse(programs(special)), kc = zarel::fuse(programs(crowded));
    const zarel::NativeSource sources[] = {{&ks}, {&kc}};
    for (std::size_t w : lane_counts()) {
        const zarel::NativeCode code = zarel::compile_native(sources, w);
        ASSERT_EQ(code.lanes, w);
        ASSERT_EQ(code.packed.size(), 2u);
        const std::size_t n = kSpecial.size();
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j) {
                std::vector<std::vector<double>> envs;
                for (std::size_t l = 0; l < w; ++l)
                    envs.push_back({kSpecial[(i + 5 * l) % n], kSpecial[(j + 7 * l) % n], l % 2 ? kNaN : -0.0, 0.0});
                expect_lanes_same(code, 0, envs, special.size());
            }
        for (int trial = 0; trial < 20; trial += static_cast<int>(w)) {
            std::vector<std::vector<double>> envs;
            for (std::size_t l = 0; l < w; ++l) envs.push_back(crowded_env(trial + static_cast<int>(l)));
            expect_lanes_same(code, 1, envs, crowded.size());
        }
    }
}

// A chain of n masses with cubic-stiffening springs whose forces appear in two rows, and the
// full n x n Jacobian, mostly constant entries.
Json chain(int n) {
    const auto q = [](int i) { return ref(i); };
    const auto p = [n](int i) { return ref(n + i); };
    std::vector<Json> force(n + 1);
    for (int i = 0; i <= n; ++i) {
        const Json d = i == 0 ? q(0) : i == n ? num(0.0) : op("sub", q(i), q(i - 1));
        force[i] = op("add", op("mul", ref(2 * n), d), op("mul", num(0.1), op("pow", d, num(3))));
    }
    Json doc = {{"n_states", 2 * n}, {"n_inputs", 0}, {"n_params", 1}, {"param_values", {1.5}}};
    Json rhs = Json::array(), jac = Json::array();
    for (int i = 0; i < n; ++i) rhs.push_back(op("mul", num(0.5), p(i)));
    for (int i = 0; i < n; ++i) rhs.push_back(op("sub", force[i + 1], force[i]));
    for (int r = 0; r < 2 * n; ++r)
        for (int c = 0; c < 2 * n; ++c) {
            const int i = r - n;
            if (r < n) jac.push_back(num(c == n + r ? 0.5 : 0.0));
            else if (c == i) jac.push_back(op("neg", op("add", ref(2 * n), op("mul", num(0.3), op("pow", q(i), num(2))))));
            else jac.push_back(num(c == i + 1 || c == i - 1 ? 1.5 : 0.0));
        }
    Json energy = num(0.0);
    for (int i = 0; i < n; ++i) energy = op("add", energy, op("mul", p(i), p(i)));
    doc["rhs"] = rhs;
    doc["jacobian"] = jac;
    doc["energy"] = energy;
    doc["grad_H"] = Json::array({q(0), op("exp", p(0))});
    doc["outputs"] = Json::array({force[1], op("tanh", q(1))});
    doc["output_names"] = {"f", "t"};
    doc["port_outputs"] = Json::array({q(0), p(1), force[2]});
    doc["port_values"] = Json::array({p(0), op("cos", q(2)), num(1e16)});
    return doc;
}

// Everything a model evaluates, as bits.
std::vector<std::uint64_t> evaluations(const Model& m, const std::vector<double>& x) {
    const std::size_t n = m.n_states;
    zarel::Scratch s = zarel::Scratch::for_model(m);
    std::vector<double> out(n), jac(n * n);
    std::vector<std::uint64_t> all;
    m.rhs_into(x.data(), nullptr, 0.25, out.data(), s);
    m.jacobian_into(x.data(), nullptr, 0.25, jac.data(), s);
    for (const auto& list : {out, jac, m.rhs(x.data(), nullptr, 0.0), m.outputs(x.data(), nullptr, 0.0),
                             m.port_outputs(x.data(), nullptr, 0.0), m.grad_h(x.data(), s)})
        for (double v : list) all.push_back(bits(v));
    all.push_back(bits(m.energy(x.data(), s)));
    all.push_back(bits(m.supplied_power(x.data(), nullptr, 0.0, s)));
    return all;
}

TEST(Jit, ModelPackedListsAndForcedLanes) {
    // a model's packed lists on the lanes ZAREL_LANES asks for, at most as many as the processor
    // has (all of them by default); ZAREL_LANES=1 has none
    if (!have_generator()) GTEST_SKIP() << "this build has no code generator";
    const Json doc = chain(12);
    const char* saved = std::getenv("ZAREL_JIT");
    const std::string jit_setting = saved ? saved : "";
    for (const char* setting : {"1", "2", "4", "8", ""}) {
        ::unsetenv("ZAREL_JIT");
        if (*setting) ::setenv("ZAREL_LANES", setting, 1);
        auto m = Model::from_value(doc);
        ::unsetenv("ZAREL_LANES");
        if (saved) ::setenv("ZAREL_JIT", jit_setting.c_str(), 1);
        ASSERT_TRUE(m);
        const Model::Native& n = m->native;
        const std::size_t w = n.lanes;
        if (setting[0] == '1') {
            EXPECT_EQ(w, 1u);
            EXPECT_EQ(n.packed.rhs, nullptr);
            continue;
        }
        EXPECT_EQ(w, std::min<std::size_t>(*setting ? std::stoul(setting) : 8, widest_by_the_processor()))
            << "ZAREL_LANES=" << setting;
        const std::size_t slots = m->env_size();
        std::vector<double> env(slots * w), out(m->n_states * m->n_states * w), result(w);
        for (std::size_t j = 0; j < slots; ++j)
            for (std::size_t l = 0; l < w; ++l) env[j * w + l] = std::cos(0.7 * j + l) * (l == 1 ? 1e103 : 1.0);
        std::vector<double> lane_env(slots), want(out.size());
        EXPECT_EQ(n.packed.jacobian, nullptr);  // only the implicit method reads it, one run at a time
        const std::pair<zarel::NativeFn, zarel::PackedFn> lists[] = {
            {n.rhs, n.packed.rhs}, {n.energy, n.packed.energy}, {n.grad_h, n.packed.grad_h},
            {n.outputs, n.packed.outputs}, {n.supplied_power, n.packed.supplied_power}};
        const std::size_t sizes[] = {m->n_states, 0, 2, 2, 0};
        for (std::size_t f = 0; f < std::size(lists); ++f) {
            lists[f].second(env.data(), out.data(), result.data());
            for (std::size_t l = 0; l < w; ++l) {
                for (std::size_t j = 0; j < slots; ++j) lane_env[j] = env[j * w + l];
                const double r = lists[f].first(lane_env.data(), want.data());
                if (sizes[f] == 0) {
                    EXPECT_EQ(bits(result[l]), bits(r)) << "list " << f << ", lane " << l;
                }
                for (std::size_t k = 0; k < sizes[f]; ++k)
                    ASSERT_EQ(bits(out[k * w + l]), bits(want[k])) << "list " << f << ", lane " << l << ", entry " << k;
            }
        }
        // the Jacobian's runs of constant entries, written by rep stosq and rep movsq, in packed form
        const zarel::NativeSource jac{&*m->jacobian_kernel};
        const zarel::NativeCode code = zarel::compile_native({&jac, 1}, w);
        ASSERT_EQ(code.lanes, w);
        std::vector<std::vector<double>> envs(w, std::vector<double>(slots));
        for (std::size_t l = 0; l < w; ++l)
            for (std::size_t j = 0; j < slots; ++j) envs[l][j] = env[j * w + l];
        expect_lanes_same(code, 0, envs, m->n_states * m->n_states);
    }
}

TEST(Jit, EightLanesRunWhereTheProcessorHasAvx512) {
    // the packed tests above run every width in lane_counts(): eight among them here
    if (!have_generator()) GTEST_SKIP() << "this build has no code generator";
    if (widest_by_the_processor() < 8) GTEST_SKIP() << "no AVX-512F here: the eight-lane form is not run";
    EXPECT_EQ(lane_counts().back(), 8u);
}

TEST(Jit, ModelsOfEitherPathAgreeAndCopiesShareCode) {
    const Json doc = chain(200);
    const bool have = have_generator();
    ::setenv("ZAREL_JIT", "0", 1);
    auto interpreted = Model::from_value(doc);
    ::unsetenv("ZAREL_JIT");
    auto compiled = Model::from_value(doc);
    ASSERT_TRUE(interpreted && compiled);
    EXPECT_EQ(interpreted->native.code, nullptr);
    EXPECT_EQ(interpreted->native.rhs, nullptr);
    if (!have) GTEST_SKIP() << "this build has no code generator";
    ASSERT_NE(compiled->native.jacobian, nullptr);
    std::vector<double> x(400);
    for (int trial = 0; trial < 3; ++trial) {
        for (std::size_t j = 0; j < x.size(); ++j) x[j] = std::cos(0.3 * j + trial) * (trial == 2 ? 1e103 : 1.0);
        EXPECT_EQ(evaluations(*compiled, x), evaluations(*interpreted, x));
    }
    // the code's pages are read-and-execute, and no page anywhere is writable and executable
    std::ifstream maps("/proc/self/maps");
    const auto code = reinterpret_cast<std::uintptr_t>(compiled->native.rhs);
    bool found = false;
    for (std::string line; std::getline(maps, line);) {
        std::uintptr_t from = 0, to = 0;
        char perms[5] = {};
        if (std::sscanf(line.c_str(), "%lx-%lx %4s", &from, &to, perms) != 3) continue;
        EXPECT_FALSE(perms[1] == 'w' && perms[2] == 'x') << line;
        if (from <= code && code < to) found = std::string(perms, 3) == "r-x";
    }
    EXPECT_TRUE(found);
    // a copy shares the code, which outlives the original
    Model copy = *compiled;
    EXPECT_EQ(copy.native.code, compiled->native.code);
    EXPECT_EQ(copy.native.code.use_count(), 2);
    const auto want = evaluations(*interpreted, x);
    compiled = interpreted;
    EXPECT_EQ(copy.native.code.use_count(), 1);
    EXPECT_EQ(evaluations(copy, x), want);
}

// Denies this process every mprotect that asks for execution, as a hardened system does.
bool refuse_executable_memory() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_mprotect, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, PROT_EXEC, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EACCES),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

TEST(JitDeathTest, RefusedExecutableMemoryLeavesTheInterpreter) {
    const Json doc = chain(3);
    ::unsetenv("ZAREL_JIT");
    auto reference = Model::from_value(doc);
    ASSERT_TRUE(reference);
    const std::vector<double> x = {0.1, -0.2, 0.3, 0.4, 0.5, -0.6};
    const auto want = evaluations(*reference, x);
    EXPECT_EXIT(
        {
            if (!refuse_executable_memory()) std::_Exit(2);
            auto m = Model::from_value(doc);
            std::_Exit(m && !m->native.code && !m->native.rhs && evaluations(*m, x) == want ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
