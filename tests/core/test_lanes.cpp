// Runs in lanes against runs alone, bit for bit: every method, groups narrower than the lanes,
// runs failing at different times and in different ways, runs the lanes hand back, on the forced
// two lanes, on four and on eight where the processor has them, and whole batches with parameter sets and an input
// series.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lanes.hpp"
#include "zarel/solver.hpp"

namespace zarel {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A forced Lorenz system with a blow-up state: x' = s(y - x) + u, y' = x(r - z) - y,
// z' = xy - b z + sin(t), w' = c w^2 (non-finite near t = 1/(c w0)); calls (exp, tanh, pow),
// selects and a table in the outputs, energy and a port. Jacobian for the midpoint method.
constexpr const char* kModel = R"({"n_states": 4, "n_inputs": 1, "n_params": 4, "param_values": [10, 28, 2.6, 0.5],
  "rhs": [["add", ["mul", ["ref", 5], ["sub", ["ref", 1], ["ref", 0]]], ["ref", 4]],
          ["sub", ["mul", ["ref", 0], ["sub", ["ref", 6], ["ref", 2]]], ["ref", 1]],
          ["add", ["sub", ["mul", ["ref", 0], ["ref", 1]], ["mul", ["ref", 7], ["ref", 2]]], ["sin", ["add", ["ref", 9], ["mul", ["const", 0.01], ["ref", 1]]]]],
          ["mul", ["ref", 8], ["mul", ["ref", 3], ["ref", 3]]]],
  "jacobian": [["neg", ["ref", 5]], ["ref", 5], ["const", 0], ["const", 0],
               ["sub", ["ref", 6], ["ref", 2]], ["const", -1], ["neg", ["ref", 0]], ["const", 0],
               ["ref", 1], ["ref", 0], ["neg", ["ref", 7]], ["const", 0],
               ["const", 0], ["const", 0], ["const", 0], ["mul", ["const", 2], ["mul", ["ref", 8], ["ref", 3]]]],
  "energy": ["add", ["mul", ["ref", 0], ["ref", 0]], ["tanh", ["ref", 2]]], "grad_H": [["ref", 0]],
  "port_outputs": [["ref", 0]], "port_values": [["ref", 4]],
  "outputs": [["exp", ["min", ["ref", 1], ["const", 5]]], ["where", ["gt", ["ref", 0], ["const", 0]], ["sign", ["ref", 2]], ["pow", ["abs", ["ref", 1]], ["const", 0.5]]],
              ["pw", ["ref", 0], [-50, 0, 50], [[1, 2, 3], [0.5, -1, 0.25]]]],
  "output_names": ["a", "b", "c"]})";

// The model on the given lanes; without its Jacobian, the midpoint method's Newton iteration
// takes finite differences, lane by lane.
Model load_with_lanes(const char* lanes, bool jacobian = true) {
    Json doc = Json::parse(kModel);
    if (!jacobian) doc.erase("jacobian");
    ::setenv("ZAREL_LANES", lanes, 1);
    auto m = Model::from_value(doc);
    ::unsetenv("ZAREL_LANES");
    EXPECT_TRUE(m.has_value());
    return std::move(*m);
}

// Whether a model loaded with ZAREL_LANES=setting has that many lanes: a processor without AVX2
// or AVX-512F gives fewer, whose groups an earlier setting has run already.
bool has_lanes(const Model& m, const char* setting) { return m.native.lanes == std::stoul(setting); }

SolverOptions options() { return {1e-8, 1e-10, 1e-10, 50, 1000000, true, true}; }

template <class Values>
std::vector<std::uint64_t> bits(const Values& v) {
    std::vector<std::uint64_t> out;
    for (double e : v) out.push_back(std::bit_cast<std::uint64_t>(e));
    return out;
}

// The parameters of models that differ in them alone, as a group of runs of the first takes them.
std::vector<std::span<const double>> params_of(std::span<const Model* const> models) {
    std::vector<std::span<const double>> out;
    for (const Model* m : models) out.push_back(m->params);
    return out;
}

// The same result: every recorded value as bits, every counter, or the same error.
void expect_same(const Result<Trajectory>& got, const Result<Trajectory>& want, const std::string& where) {
    ASSERT_EQ(got.has_value(), want.has_value()) << where << ": " << (got ? want.error() : got.error()).display();
    if (!want) {
        EXPECT_EQ(got.error().display(), want.error().display()) << where;
        EXPECT_EQ(got.error().kind(), want.error().kind()) << where;
        return;
    }
    for (auto field : {&Trajectory::t, &Trajectory::x, &Trajectory::u, &Trajectory::energy, &Trajectory::supplied_power,
                       &Trajectory::outputs})
        EXPECT_EQ(bits((*got).*field), bits((*want).*field)) << where;
    EXPECT_EQ(got->steps, want->steps) << where;
    EXPECT_EQ(got->rhs_evals, want->rhs_evals) << where;
    EXPECT_EQ(got->newton_iterations, want->newton_iterations) << where;
    EXPECT_EQ(got->jacobian_evals, want->jacobian_evals) << where;
    EXPECT_EQ(got->rejected_steps, want->rejected_steps) << where;
    EXPECT_EQ(got->method, want->method) << where;
}

struct Case {
    std::vector<Model> models;
    std::vector<std::vector<double>> x0s;
};

// `count` runs with their own parameters and starts; the blow-up rate c makes some runs fail,
// each at its own time, within the grid [0, 2].
Case random_runs(const Model& base, std::size_t count, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> d(-1.0, 1.0);
    Case c;
    for (std::size_t k = 0; k < count; ++k) {
        Model m = base;
        m.params = {10 + d(rng), 28 + 5 * d(rng), 2.6 + d(rng), k % 2 == 1 ? 3.0 + 2 * d(rng) : 0.05 * d(rng)};
        c.models.push_back(std::move(m));
        c.x0s.push_back({d(rng), d(rng), 20 + d(rng), 0.5 + 0.4 * d(rng)});
    }
    return c;
}

TEST(Lanes, GroupsEqualRunsAloneForEveryMethodAndFailure) {
    std::vector<double> t;
    for (int k = 0; k <= 60; ++k) t.push_back(k / 30.0);
    std::vector<double> series;
    for (double tk : t) series.push_back(std::cos(3 * tk));
    const Inputs inputs{series.data(), series.size(), Interp::Linear}, held{series.data(), series.size(), Interp::Hold};
    std::mt19937_64 rng(7);
    for (const char* setting : {"2", "4", "8"}) {
        const Model base = load_with_lanes(setting);
        const std::size_t width = base.native.lanes;
        if (base.native.code == nullptr) GTEST_SKIP() << "no machine code on this build or path";
        if (!has_lanes(base, setting)) continue;
        EXPECT_EQ(group_width(base, Method::Rk4), width);
        EXPECT_EQ(group_width(base, Method::Rk45), width);
        EXPECT_EQ(group_width(base, Method::Midpoint), width);
        EXPECT_EQ(group_width(base, Method::Gauss4, true), width);
        for (auto [method, dense] : {std::pair{Method::Euler, false}, {Method::Rk4, false}, {Method::Rk45, false},
                                     {Method::Rk45, true}, {Method::Midpoint, false}, {Method::Dop853, true},
                                     {Method::Dop853, false}, {Method::Midpoint, true}, {Method::Gauss4, true},
                                     {Method::Gauss4, false}}) {
            int failures = 0, capped = 0, split = 0;
            for (std::size_t round = 0; round < 4 * width; ++round) {
                const std::size_t count = 1 + round % width;
                Case c = random_runs(base, count, rng);
                if (count == width && width > 2) c.x0s[1] = {1, 2};        // wrong length: run alone
                if (count == width - 1 && count > 0) c.x0s[0][2] = kNaN;  // not finite: run alone
                std::vector<const Model*> models;
                std::vector<std::span<const double>> x0s;
                for (std::size_t k = 0; k < count; ++k) {
                    models.push_back(&c.models[k]);
                    x0s.push_back(c.x0s[k]);
                }
                // rk45 also meets its cap on the attempts of an interval in every third round, and
                // the midpoint method splits steps whose Newton iteration is cut short
                SolverOptions opts = options();
                const bool adaptive = method == Method::Rk45 || method == Method::Dop853 || dense;
                if (adaptive && round % 3 == 2) opts.max_substeps = 6;
                if ((method == Method::Midpoint || method == Method::Gauss4) && round % 3 == 1) opts.max_newton = 2;
                // dense output also with a held input, whose jumps end steps and renew the first stage
                const Inputs& in = (dense || method == Method::Dop853) && round % 2 == 1 ? held : inputs;
                std::vector<std::optional<Result<Trajectory>>> got(count);
                simulate_group(
                    *models[0], params_of(models), x0s, t, in, method, opts,
                    [&](std::size_t k, Result<Trajectory>&& r) {
                        ASSERT_FALSE(got[k].has_value()) << "run " << k << " delivered twice";
                        got[k] = std::move(r);
                    },
                    dense);
                for (std::size_t k = 0; k < count; ++k) {
                    const std::string where = std::string(method_name(method)) + (dense ? " dense" : "") + ", lanes " +
                                              setting + ", group of " + std::to_string(count) + ", run " +
                                              std::to_string(k);
                    ASSERT_TRUE(got[k].has_value()) << where << " never delivered";
                    const auto alone = simulate(c.models[k], c.x0s[k], t, in, method, opts, RunChoices{std::nullopt, dense});
                    failures += !alone.has_value();
                    capped += !alone && alone.error().display().find("adaptive substeps") != std::string::npos;
                    split += alone && alone->rejected_steps > 0;
                    expect_same(*got[k], alone, where);
                }
            }
            EXPECT_GT(failures, 1) << method_name(method) << ": the cases should fail some runs";
            if (method == Method::Rk45 || method == Method::Dop853) {
                EXPECT_GT(capped, 0);
            }
            if (method == Method::Midpoint && !dense) {
                EXPECT_GT(split, 0) << "some runs should succeed with split steps";
            }
        }
        // a grid the runs cannot take: each run alone reports it
        const std::vector<double> bad_grid{0, 1, 1};
        Case c = random_runs(base, 2, rng);
        const Model* models[] = {&c.models[0], &c.models[1]};
        const std::span<const double> x0s[] = {c.x0s[0], c.x0s[1]};
        int delivered = 0;
        simulate_group(*models[0], params_of(models), x0s, bad_grid, Inputs{}, Method::Rk4, options(),
                       [&](std::size_t k, Result<Trajectory>&& r) {
                           ++delivered;
                           expect_same(r, simulate(c.models[k], c.x0s[k], bad_grid, Inputs{}, Method::Rk4, options()),
                                       "bad grid");
                       });
        EXPECT_EQ(delivered, 2);
        // parameters of the wrong length: that run alone reports them, the other runs in its lane
        // (the model's own parameters where a run gives none)
        ASSERT_GT(base.n_params, 0u);
        const std::vector<double> short_params(base.n_params - 1, 1.0);
        const std::span<const double> own[] = {short_params, {}};
        simulate_group(base, own, x0s, t, Inputs{}, Method::Rk4, options(), [&](std::size_t k, Result<Trajectory>&& r) {
            ++delivered;
            const auto alone = simulate(base, c.x0s[k], t, Inputs{}, Method::Rk4, options(),
                                        RunChoices{k == 0 ? std::optional(own[0]) : std::nullopt, false});
            if (k == 0) {
                EXPECT_FALSE(alone.has_value());
            }
            expect_same(r, alone, "parameters of run " + std::to_string(k));
        });
        EXPECT_EQ(delivered, 4);
    }
}

TEST(Lanes, BatchesEqualRunsAloneWithParameterSetsOnEitherLaneSetting) {
    // counts that leave a remainder group on 2, 4 and 8 lanes, with and without the Jacobian;
    // the runs do not fail here
    std::vector<double> t;
    for (int k = 0; k <= 40; ++k) t.push_back(k / 40.0);
    std::vector<double> series;
    for (double tk : t) series.push_back(std::sin(5 * tk));
    const Inputs inputs{series.data(), series.size(), Interp::Hold};
    std::mt19937_64 rng(11);
    for (const char* setting : {"1", "2", "4", "8"}) {
        for (bool jacobian : {true, false}) {
            const Model base = load_with_lanes(setting, jacobian);
            if (base.native.code != nullptr && !has_lanes(base, setting)) continue;
            for (std::size_t count : {7u, 13u}) {
                Case c = random_runs(base, count, rng);
                std::vector<std::vector<double>> params;
                for (Model& m : c.models) {
                    m.params[3] = 0.0;
                    params.push_back(m.params);
                }
                for (Method method : {Method::Euler, Method::Rk4, Method::Rk45, Method::Midpoint}) {
                    const auto batch = simulate_batch(base, c.x0s, &params, t, inputs, method, options());
                    ASSERT_TRUE(batch.has_value()) << batch.error().display();
                    const auto shared = simulate_batch(base, c.x0s, nullptr, t, inputs, method, options());
                    ASSERT_TRUE(shared.has_value()) << shared.error().display();
                    for (std::size_t k = 0; k < count; ++k) {
                        const std::string where = std::string(method_name(method)) + ", lanes " + setting + ", run " +
                                                  std::to_string(k) + " of " + std::to_string(count) +
                                                  (jacobian ? "" : ", no Jacobian");
                        expect_same((*batch)[k], simulate(c.models[k], c.x0s[k], t, inputs, method, options()), where);
                        expect_same((*shared)[k], simulate(base, c.x0s[k], t, inputs, method, options()), where + " (shared)");
                    }
                }
            }
        }
    }
}

TEST(Lanes, CompiledStepsEqualTheIntegratorsStageByStage) {
    // the whole Euler and RK4 step and the later stages of a Dormand-Prince attempt (rk45 on the
    // grid and with dense output) in machine code, scalar for runs alone and packed in batches,
    // against the same model stepped stage by stage (its rhs code between the C++ stage sums),
    // with an interpolated input that differs at every stage and a failing run
    std::vector<double> t;
    for (int k = 0; k <= 60; ++k) t.push_back(k / 60.0);
    std::vector<double> series;
    for (double tk : t) series.push_back(std::cos(3 * tk));
    const Inputs inputs{series.data(), series.size(), Interp::Linear};
    std::mt19937_64 rng(5);
    for (const char* setting : {"2", "4", "8"}) {
        const Model base = load_with_lanes(setting);
        if (base.native.code == nullptr) GTEST_SKIP() << "no machine code on this build or path";
        if (!has_lanes(base, setting)) continue;
        ASSERT_NE(base.native.rk4_step, nullptr);
        ASSERT_NE(base.native.packed.euler_step, nullptr);
        ASSERT_NE(base.native.dp_stages, nullptr);
        ASSERT_NE(base.native.packed.dop853_stages, nullptr);
        Model staged = base;
        staged.native.euler_step = staged.native.rk4_step = staged.native.dp_stages = nullptr;
        staged.native.packed.euler_step = staged.native.packed.rk4_step = staged.native.packed.dp_stages = nullptr;
        staged.native.dop853_stages = nullptr;
        staged.native.packed.dop853_stages = nullptr;
        const Case c = random_runs(base, 2 * base.native.lanes + 1, rng);
        std::vector<std::vector<double>> params;  // a batch whose runs all succeed
        for (const Model& m : c.models) params.push_back({m.params[0], m.params[1], m.params[2], 0.0});
        int failures = 0;
        for (Method method : {Method::Euler, Method::Rk4, Method::Rk45}) {
            const auto batch = simulate_batch(base, c.x0s, &params, t, inputs, method, options());
            ASSERT_TRUE(batch.has_value()) << batch.error().display();
            for (std::size_t k = 0; k < c.models.size(); ++k) {
                const std::string where = std::string(method_name(method)) + ", lanes " + setting + ", run " +
                                          std::to_string(k);
                Model alone = staged;
                alone.params = c.models[k].params;
                const auto want = simulate(alone, c.x0s[k], t, inputs, method, options());
                failures += !want.has_value();
                expect_same(simulate(c.models[k], c.x0s[k], t, inputs, method, options()), want, where);
                if (method == Method::Rk45) {
                    const RunChoices dense{std::nullopt, true};
                    expect_same(simulate(c.models[k], c.x0s[k], t, inputs, method, options(), dense),
                                simulate(alone, c.x0s[k], t, inputs, method, options(), dense), where + ", dense");
                    // dop853's compiled attempt, alone and in lanes, against its stages one by one
                    Model own = base;
                    own.params = c.models[k].params;
                    const auto stepped = simulate(alone, c.x0s[k], t, inputs, Method::Dop853, options(), dense);
                    expect_same(simulate(c.models[k], c.x0s[k], t, inputs, Method::Dop853, options(), dense), stepped,
                                where + ", dop853");
                    std::optional<Result<Trajectory>> grouped;
                    const std::vector<const Model*> one{&own};
                    const std::vector<std::span<const double>> start{c.x0s[k]};
                    simulate_group(*one[0], params_of(one), start, t, inputs, Method::Dop853, options(),
                                   [&](std::size_t, Result<Trajectory>&& r) { grouped = std::move(r); }, true);
                    ASSERT_TRUE(grouped.has_value());
                    expect_same(*grouped, stepped, where + ", dop853 in lanes");
                }
                alone.params = params[k];
                expect_same((*batch)[k], simulate(alone, c.x0s[k], t, inputs, method, options()), where + " in a batch");
            }
            if (method == Method::Rk45) continue;
            // the same steps stage by stage in lanes, the packed right-hand side between the stage sums
            std::vector<Model> stepped(c.models.size(), staged);
            std::vector<const Model*> models;
            std::vector<std::span<const double>> x0s;
            for (std::size_t k = 0; k < stepped.size(); ++k) {
                stepped[k].params = c.models[k].params;
                models.push_back(&stepped[k]);
                x0s.push_back(c.x0s[k]);
            }
            simulate_group(*models[0], params_of(models), x0s, t, inputs, method, options(),
                           [&](std::size_t k, Result<Trajectory>&& r) {
                expect_same(r, simulate(stepped[k], c.x0s[k], t, inputs, method, options()),
                            std::string(method_name(method)) + " stage by stage in lanes " + setting + ", run " +
                                std::to_string(k));
            });
        }
        EXPECT_GT(failures, 0);
    }
}

TEST(Lanes, EnergyAndPowerThatReadNoSlotAreRecordedOnceForAllPoints) {
    // energy and supplied power that read no slot are evaluated once per group or run and copied;
    // beside them, an energy of a parameter and a power of a state, which are not: every value
    // as the run alone records it, on the fixed-step groups and on the dense pairs' recording
    const char* fixed = R"({"n_states": 2, "n_inputs": 0, "n_params": 1, "param_values": [2],
      "rhs": [["ref", 1], ["neg", ["mul", ["ref", 2], ["ref", 0]]]],
      "energy": ["exp", ["const", 0.3]], "port_outputs": [["const", 2]], "port_values": [["sin", ["const", 1.5]]]})";
    const char* varying = R"({"n_states": 2, "n_inputs": 0, "n_params": 1, "param_values": [2],
      "rhs": [["ref", 1], ["neg", ["mul", ["ref", 2], ["ref", 0]]]],
      "energy": ["mul", ["ref", 2], ["const", 0.5]], "port_outputs": [["ref", 1]], "port_values": [["const", 3]]})";
    std::vector<double> t;
    for (int k = 0; k <= 30; ++k) t.push_back(k / 10.0);
    for (const char* doc : {fixed, varying}) {
        auto base = Model::from_text(doc);
        ASSERT_TRUE(base.has_value());
        std::vector<std::vector<double>> x0s, params;
        for (int k = 0; k < 11; ++k) {
            x0s.push_back({0.1 * k, 1.0});
            params.push_back({1.0 + k});
        }
        for (Method method : {Method::Rk4, Method::Rk45, Method::Dop853}) {
            const auto batch = simulate_batch(*base, x0s, &params, t, Inputs{}, method, options());
            ASSERT_TRUE(batch.has_value()) << batch.error().display();
            for (std::size_t k = 0; k < x0s.size(); ++k) {
                Model alone = *base;
                alone.params = params[k];
                const auto want = simulate(alone, x0s[k], t, Inputs{}, method, options());
                expect_same((*batch)[k], want, std::string(method_name(method)) + ", run " + std::to_string(k));
                if (doc == fixed) {
                    EXPECT_EQ(want->energy.back(), std::exp(0.3));
                    EXPECT_EQ(want->supplied_power.front(), 2 * std::sin(1.5));
                }
            }
        }
    }
}

TEST(Lanes, LaneRowsAndFiniteChecksOfEveryWidth) {
    // the transposes by four lanes at a time (eight: two halves) for every count left over, and
    // the finite check, which reads eight lanes as slots of four, against plain loops
    for (std::size_t w : {2u, 4u, 8u}) {
        for (std::size_t count : {1u, 2u, 3u, 4u, 5u, 11u}) {
            std::vector<double> from(count * w);
            for (std::size_t k = 0; k < from.size(); ++k) from[k] = 0.5 + static_cast<double>(k);
            std::vector<std::vector<double>> rows(w, std::vector<double>(count, -1.0));
            std::vector<double*> to;
            for (std::size_t l = 0; l < w; ++l) to.push_back(l == 1 ? nullptr : rows[l].data());
            put_lane_rows(from.data(), count, w, to.data());
            for (std::size_t l = 0; l < w; ++l)
                for (std::size_t i = 0; i < count; ++i)
                    ASSERT_EQ(rows[l][i], l == 1 ? -1.0 : from[i * w + l]) << w << " lanes, " << count << " slots";
            EXPECT_TRUE(all_finite_lanes(from, w));
            for (double bad : {kNaN, std::numeric_limits<double>::infinity()}) {
                std::vector<double> v = from;
                v.back() = bad;
                EXPECT_FALSE(all_finite_lanes(v, w)) << w << " lanes, " << count << " slots";
            }
        }
    }
}

TEST(Lanes, LongStepsPackedOnly) {
    // a 40-state ring whose step is too long to gain by a scalar form: runs alone take the
    // integrators' loops, batches the packed steps, the same bits
    Json doc = {{"n_states", 40}, {"n_inputs", 0}, {"n_params", 1}, {"param_values", {0.3}}};
    Json rhs = Json::array();
    for (int i = 0; i < 40; ++i)
        rhs.push_back({"sub", {"mul", {"const", 1.0 + i / 7.0}, {"ref", (i + 1) % 40}}, {"mul", {"ref", 40}, {"ref", i}}});
    doc["rhs"] = rhs;
    ::setenv("ZAREL_LANES", "8", 1);
    const auto m = Model::from_value(doc);
    ::unsetenv("ZAREL_LANES");
    ASSERT_TRUE(m.has_value());
    if (m->native.code == nullptr) GTEST_SKIP() << "no machine code on this build or path";
    EXPECT_EQ(m->native.rk4_step, nullptr);
    EXPECT_EQ(m->native.dp_stages, nullptr);
    EXPECT_NE(m->native.packed.rk4_step, nullptr);
    EXPECT_EQ(m->scratch_size(), m->step_layout().size());
    std::mt19937_64 rng(2);
    std::uniform_real_distribution<double> d(-1.0, 1.0);
    std::vector<std::vector<double>> x0s(2 * m->native.lanes + 1, std::vector<double>(40));
    for (auto& x0 : x0s)
        for (double& v : x0) v = d(rng);
    const std::vector<double> t{0.0, 0.1, 0.25, 0.5};
    for (Method method : {Method::Euler, Method::Rk4, Method::Rk45}) {
        const auto batch = simulate_batch(*m, x0s, nullptr, t, Inputs{}, method, options());
        ASSERT_TRUE(batch.has_value()) << batch.error().display();
        for (std::size_t k = 0; k < x0s.size(); ++k)
            expect_same((*batch)[k], simulate(*m, x0s[k], t, Inputs{}, method, options()),
                        std::string(method_name(method)) + ", run " + std::to_string(k));
    }
}

TEST(Lanes, MidpointLanesPivotAndFailEachOnTheirOwn) {
    // x' = a y + c x, y' = b x - 0.1 y with h/2 = 1/16: the iteration matrix swaps its rows where
    // |b| > 16 and keeps them elsewhere, and is singular where a = 0 and c = 16, whose step is
    // split on the scalar path; the lanes converge after different numbers of iterations
    const Json doc = Json::parse(R"({"n_states": 2, "n_inputs": 0, "n_params": 3, "param_values": [1, -4, 0],
      "rhs": [["add", ["mul", ["ref", 2], ["ref", 1]], ["mul", ["ref", 4], ["ref", 0]]],
              ["sub", ["mul", ["ref", 3], ["ref", 0]], ["mul", ["const", 0.1], ["ref", 1]]]],
      "jacobian": [["ref", 4], ["ref", 2], ["ref", 3], ["const", -0.1]]})");
    const std::vector<std::vector<double>> params{{1, -40, 0}, {1, -4, 0}, {0, -4, 16}, {2, -40, -0.5}, {-3, 25, 0.3}};
    const std::vector<std::vector<double>> x0s{{1, 0}, {0.5, -1}, {1, 1}, {-0.2, 0.7}, {0.1, 0.1}};
    const std::vector<double> t{0, 0.125, 0.25, 0.375, 0.5};
    for (const char* setting : {"2", "4", "8"}) {
        ::setenv("ZAREL_LANES", setting, 1);
        const auto m = Model::from_value(doc);
        ::unsetenv("ZAREL_LANES");
        ASSERT_TRUE(m.has_value());
        if (m->native.code == nullptr) GTEST_SKIP() << "no machine code on this build or path";
        if (!has_lanes(*m, setting)) continue;
        const auto batch = simulate_batch(*m, x0s, &params, t, Inputs{}, Method::Midpoint, options());
        ASSERT_TRUE(batch.has_value()) << batch.error().display();
        for (std::size_t k = 0; k < x0s.size(); ++k) {
            Model alone = *m;
            alone.params = params[k];
            const auto want = simulate(alone, x0s[k], t, Inputs{}, Method::Midpoint, options());
            ASSERT_TRUE(want.has_value());
            EXPECT_EQ(want->rejected_steps > 0, k == 2);
            expect_same((*batch)[k], want, std::string("lanes ") + setting + ", run " + std::to_string(k));
        }
    }
}

}  // namespace
}  // namespace zarel
