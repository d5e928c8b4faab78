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

#include "zarel/jit.hpp"

namespace {

using zarel::Json;

constexpr double kSpecial[] = {
    std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN(), 0.0, -0.0,
    std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(), 4.9e-324, -2.2e-308, 1.0,
    -1.0, 2.0, 0.5, 3.0, -7.25, 1e300, 1e-300};
constexpr const char* kUnary[] = {"neg", "sqrt", "exp", "log", "abs", "tanh", "sin", "cos", "sign"};
constexpr const char* kBinary[] = {"add", "sub", "mul", "div", "pow", "max", "min", "gt"};
constexpr const char* kExactBinary[] = {"sub", "div", "pow", "max", "min", "gt"};

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    std::uint8_t byte() { return empty() ? 0 : data_[pos_++]; }
    std::uint64_t word() {
        std::uint64_t w = 0;
        for (int k = 0; k < 8; ++k) w = w << 8 | byte();
        return w;
    }
    // a special value, a small number or any bits at all
    double number() {
        const std::uint8_t k = byte();
        if (k < 128) return kSpecial[k % std::size(kSpecial)];
        if (k < 200) return static_cast<double>(static_cast<std::int8_t>(byte())) / 8.0;
        return std::bit_cast<double>(word());
    }

private:
    const std::uint8_t* data_;
    std::size_t size_, pos_ = 0;
};

class Generator {
public:
    Generator(Reader& r, int slots, bool exact) : r_(r), slots_(slots), exact_(exact) {}

    Json tree(int depth) {
        const std::uint8_t k = r_.byte();
        if (depth <= 0 || r_.empty() || k < 40 || nodes_ > kMaxNodes) return leaf(k);
        Json t;
        if (k < 70 && !shared_.empty()) {
            const auto& [shared, size] = shared_[r_.byte() % shared_.size()];
            nodes_ += size;
            return shared;
        }
        const std::size_t before = nodes_++;
        if (k < 120) t = Json::array({kUnary[k % std::size(kUnary)], tree(depth - 1)});
        else if (k < 230) t = Json::array({exact_ ? kExactBinary[k % std::size(kExactBinary)] : kBinary[k % std::size(kBinary)],
                                           tree(depth - 1), tree(depth - 1)});
        else if (k < 245) t = Json::array({"where", tree(depth - 1), tree(depth - 1), tree(depth - 1)});
        else t = table(tree(depth - 1));
        if (shared_.size() < 64) shared_.emplace_back(t, nodes_ - before);
        return t;
    }

private:
    Json leaf(std::uint8_t k) {
        if (k % 3) return Json::array({"ref", r_.byte() % slots_});
        const double v = r_.number();
        // a const 2 makes pow a multiplication; make it common
        return Json::array({"const", k % 7 == 0 ? 2.0 : v});
    }

    Json table(Json x) {
        const int n = 1 + r_.byte() % 4;
        Json knots = Json::array(), coefs = Json::array();
        double at = static_cast<double>(static_cast<std::int8_t>(r_.byte()));
        knots.push_back(at);
        for (int g = 0; g < n; ++g) {
            at += 0.25 + r_.byte() % 8;
            knots.push_back(at);
            coefs.push_back(Json::array({r_.number(), r_.number(), r_.number()}));
        }
        return Json::array({"pw", std::move(x), std::move(knots), std::move(coefs)});
    }

    // shared subtrees can double a tree at every level: a budget keeps inputs small
    static constexpr std::size_t kMaxNodes = 4000;

    Reader& r_;
    int slots_;
    bool exact_;
    std::size_t nodes_ = 0;
    std::vector<std::pair<Json, std::size_t>> shared_;  // a subtree and its node count
};

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
