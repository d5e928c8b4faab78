// libFuzzer target for lanes: random programs (every operator) compiled in packed form and run
// with different values in each lane (NaN, infinities, signed zeros and subnormals in some lanes
// only) against the scalar machine code lane by lane; and random models run as a group of runs
// of any method (rk45 and dop853 also with dense output) in lanes against each run alone, and each run
// alone, a whole step at a time in machine code, against the same run stage by stage. Every bit
// must match, NaN payloads included: the packed code performs the scalar code's operations in
// the scalar code's operand order, and a run's trajectory, counters and error must be exactly
// what it gets alone.
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "lanes.hpp"
#include "random_programs.hpp"
#include "zarel/jit.hpp"
#include "zarel/solver.hpp"

namespace {

using fuzz::Generator;
using fuzz::Reader;
using zarel::Json;

const Json* g_case = nullptr;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "fuzz_lanes: %s\ncase %s\n", what.c_str(), g_case ? g_case->dump().c_str() : "");
    std::abort();
}

void check(double got, double want, const std::string& what) {
    if (std::bit_cast<std::uint64_t>(got) == std::bit_cast<std::uint64_t>(want)) return;
    char text[128];
    std::snprintf(text, sizeof text, ": packed %a, scalar %a", got, want);
    fail(what + text);
}

// The lanes to try: 2, 4 where the processor has AVX2 and 8 where it has AVX-512F.
const std::vector<std::size_t>& lane_counts() {
    static const std::vector<std::size_t> counts = [] {
        const zarel::Kernel k = zarel::fuse({zarel::constant()});
        const zarel::NativeSource s{&k};
        std::vector<std::size_t> out{2};
        for (std::size_t w : {4, 8})
            if (zarel::compile_native({&s, 1}, w).lanes == w) out.push_back(w);
        return out;
    }();
    return counts;
}

void packed_programs(Reader& r) {
    const int slots = 1 + r.byte() % 12;
    const int count = 1 + r.byte() % 10;
    const int depth = r.byte() % 40;
    Generator gen(r, slots, false);
    std::vector<zarel::Program> programs;
    Json trees = Json::array();
    for (int k = 0; k < count; ++k) {
        trees.push_back(gen.tree(depth));
        auto p = zarel::from_json(trees.back());
        if (!p) fail("the generator wrote an invalid program");
        programs.push_back(std::move(*p));
    }
    g_case = &trees;
    const std::size_t half = programs.size() / 2;
    const std::vector<zarel::Program> ys(programs.begin(), programs.begin() + half),
        vs(programs.begin() + half, programs.end());
    const zarel::Kernel fused = zarel::fuse(programs);
    std::vector<zarel::NativeSource> sources{{&fused}, {nullptr, &ys, &vs}};
    for (const zarel::Program& p : programs) sources.push_back({&p.kernel});
    for (std::size_t w : lane_counts()) {
        const zarel::NativeCode code = zarel::compile_native(sources, w);
        if (code.packed.size() != sources.size() || code.lanes != w) fail("no packed code");
        std::vector<double> env(slots * w), out(programs.size() * w), result(w);
        std::vector<double> lane_env(slots), want(programs.size());
        for (int trial = 0; trial < 2; ++trial) {
            // lane 0 draws every slot; each other lane either draws its own or differs from
            // lane 0 in one slot, so that one lane's special value sits beside ordinary ones
            for (std::size_t l = 0; l < w; ++l) {
                const bool own = l == 0 || r.byte() % 2;
                const int changed = r.byte() % slots;
                for (int j = 0; j < slots; ++j)
                    env[j * w + l] = own || j == changed ? r.number() : env[j * w];
            }
            for (std::size_t e = 0; e < sources.size(); ++e) {
                const std::size_t n_out = e == 0 ? programs.size() : 0;
                code.packed[e](env.data(), out.data(), result.data());
                for (std::size_t l = 0; l < w; ++l) {
                    for (int j = 0; j < slots; ++j) lane_env[j] = env[j * w + l];
                    const double ret = code.entries[e](lane_env.data(), want.data());
                    const std::string where = "entry " + std::to_string(e) + ", lane " + std::to_string(l) + " of " +
                                              std::to_string(w);
                    if (e > 0) check(result[l], ret, where + ", result");
                    for (std::size_t k = 0; k < n_out; ++k) check(out[k * w + l], want[k], where + ", output " + std::to_string(k));
                }
            }
        }
    }
}

std::string describe(const zarel::Result<zarel::Trajectory>& r) {
    return r ? "a trajectory" : "error \"" + r.error().display() + "\"";
}

void same_run(const zarel::Result<zarel::Trajectory>& got, const zarel::Result<zarel::Trajectory>& want,
              const std::string& where) {
    if (got.has_value() != want.has_value()) fail(where + ": lanes gave " + describe(got) + ", alone " + describe(want));
    if (!want) {
        if (got.error().display() != want.error().display() || got.error().kind() != want.error().kind())
            fail(where + ": lanes gave " + describe(got) + ", alone " + describe(want));
        return;
    }
    for (auto field : {&zarel::Trajectory::t, &zarel::Trajectory::x, &zarel::Trajectory::u, &zarel::Trajectory::energy,
                       &zarel::Trajectory::supplied_power, &zarel::Trajectory::outputs}) {
        const auto &a = (*got).*field, &b = (*want).*field;
        if (a.size() != b.size()) fail(where + ": recorded lengths differ");
        for (std::size_t k = 0; k < a.size(); ++k) check(a[k], b[k], where + ", recorded value " + std::to_string(k));
    }
    if (got->steps != want->steps || got->rhs_evals != want->rhs_evals || got->newton_iterations != want->newton_iterations ||
        got->jacobian_evals != want->jacobian_evals || got->rejected_steps != want->rejected_steps || got->method != want->method)
        fail(where + ": counters differ");
}

double small(Reader& r) { return static_cast<double>(static_cast<std::int8_t>(r.byte())) / 16.0; }

void group_of_runs(Reader& r) {
    const int n = 1 + r.byte() % 4, m = r.byte() % 3, p = r.byte() % 3;
    const int depth = r.byte() % 8;
    Generator gen(r, n + m + p + 1, false);
    Json doc = {{"n_states", n}, {"n_inputs", m}, {"n_params", p}};
    Json values = Json::array(), rhs = Json::array();
    for (int j = 0; j < p; ++j) values.push_back(small(r));
    for (int j = 0; j < n; ++j) rhs.push_back(gen.tree(depth));
    doc["param_values"] = values;
    doc["rhs"] = rhs;
    doc["energy"] = gen.tree(depth);
    doc["port_outputs"] = Json::array({gen.tree(depth)});
    doc["port_values"] = Json::array({gen.tree(depth)});
    doc["outputs"] = Json::array({gen.tree(depth)});
    doc["output_names"] = Json::array({"y"});
    g_case = &doc;

    const std::size_t L = 2 + r.byte() % 7;
    std::vector<double> t{0.0};
    for (std::size_t k = 1; k < L; ++k) t.push_back(t.back() + (r.byte() % 17) / 16.0);  // a zero step now and then
    std::vector<double> series;
    const bool with_series = m > 0 && r.byte() % 2;
    for (std::size_t k = 0; with_series && k < L * m; ++k) series.push_back(r.byte() % 4 ? small(r) : r.number());
    const zarel::Inputs inputs{with_series ? series.data() : nullptr, series.size(),
                               r.byte() % 2 ? zarel::Interp::Linear : zarel::Interp::Hold};
    constexpr zarel::Method kMethods[] = {zarel::Method::Euler,  zarel::Method::Rk4,     zarel::Method::Rk45,
                                          zarel::Method::Midpoint, zarel::Method::Dop853, zarel::Method::Rodas5p,
                                          zarel::Method::Gauss4};
    const zarel::Method method = kMethods[r.byte() % std::size(kMethods)];
    const std::uint8_t flags = r.byte();
    // the methods with dense output (dop853, rodas5p and gauss4 without: a step ending on every
    // grid point; midpoint without: the engine's grid steps)
    const bool dense = method != zarel::Method::Euler && method != zarel::Method::Rk4 && (flags & 16) != 0;
    const zarel::RunChoices choices{std::nullopt, dense};
    // small caps on attempts and iterations, so that runs also fail and split by them
    const zarel::SolverOptions options{1e-8, 1e-10, 1e-10, flags & 4 ? 3u : 50u, flags & 8 ? 5u : 2000u,
                                       (flags & 1) != 0, (flags & 2) != 0};

    for (std::size_t lanes : lane_counts()) {
        ::setenv("ZAREL_LANES", std::to_string(lanes).c_str(), 1);
        auto base = zarel::Model::from_value(doc);
        ::unsetenv("ZAREL_LANES");
        if (!base) fail("the model does not load: " + base.error().display());
        const std::size_t w = zarel::group_width(*base, method);
        if (w != lanes) fail("a model with packed code on " + std::to_string(w) + " lanes, not " + std::to_string(lanes));
        const std::size_t count = 1 + r.byte() % w;
        std::vector<zarel::Model> models(count, *base);
        std::vector<std::vector<double>> x0s(count);
        for (std::size_t k = 0; k < count; ++k) {
            for (double& v : models[k].params) v = r.byte() % 4 ? small(r) : r.number();
            for (int j = 0; j < n; ++j) x0s[k].push_back(r.byte() % 8 ? small(r) : r.number());
        }
        std::vector<std::span<const double>> params, starts;
        for (std::size_t k = 0; k < count; ++k) {
            params.push_back(models[k].params);
            starts.push_back(x0s[k]);
        }
        std::vector<std::optional<zarel::Result<zarel::Trajectory>>> got(count);
        zarel::simulate_group(
            *base, params, starts, t, inputs, method, options,
            [&](std::size_t k, zarel::Result<zarel::Trajectory>&& run) {
                if (k >= count || got[k]) fail("a run delivered twice or out of range");
                got[k] = std::move(run);
            },
            dense);
        for (std::size_t k = 0; k < count; ++k) {
            if (!got[k]) fail("a run never delivered");
            const std::string where = std::string(zarel::method_name(method)) + (dense ? " dense" : "") + " on " +
                                      std::to_string(lanes) + " lanes, run " + std::to_string(k) + " of " + std::to_string(count);
            same_run(*got[k], zarel::simulate(models[k], x0s[k], t, inputs, method, options, choices), where);
            const auto alone = zarel::simulate(models[k], x0s[k], t, inputs, method, options);
            // the whole step in machine code against the same step stage by stage
            zarel::Model staged = models[k];
            staged.native.euler_step = staged.native.rk4_step = staged.native.dp_stages = nullptr;
            staged.native.dop853_stages = nullptr;
            same_run(alone, zarel::simulate(staged, x0s[k], t, inputs, method, options), where + ", stage by stage");
            if (method == zarel::Method::Rk45) {
                const zarel::RunChoices dense{std::nullopt, true};
                same_run(zarel::simulate(models[k], x0s[k], t, inputs, method, options, dense),
                         zarel::simulate(staged, x0s[k], t, inputs, method, options, dense),
                         where + ", dense output, stage by stage");
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader r(data, size, true);
    if (r.byte() % 4 == 0) {
        group_of_runs(r);
    } else {
        packed_programs(r);
    }
    g_case = nullptr;
    return 0;
}
