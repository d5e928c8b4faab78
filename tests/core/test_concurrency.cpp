// Concurrency stress tests: one loaded model shared, read-only, by many threads at once.
//
// SharedModel.* start their own std::threads, whose creation and joining every sanitizer sees,
// so they are the tests run under ThreadSanitizer (tests/sanitize/run_core_tsan.sh): each
// thread evaluates and simulates the shared model with its own buffers, exactly as the batch
// runs do, and its results must equal the serial ones bit for bit.
// Batch.* run simulate_batch on a pool of 8 workers; the pool library is not instrumented, so
// ThreadSanitizer cannot see its fork and join and these run in the ordinary and ASan builds.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <span>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "zarel/solver.hpp"

namespace zarel {
namespace {

// Two states, one input, two parameters, an analytic Jacobian, a piecewise term, ports and
// outputs: every program kind the evaluator has.
constexpr const char* kDriven = R"({"n_states": 2, "n_inputs": 1, "n_params": 2, "param_values": [0.3, 2.0],
    "rhs": [["ref", 1],
            ["add", ["sub", ["neg", ["mul", ["ref", 4], ["sin", ["ref", 0]]]], ["mul", ["ref", 3], ["ref", 1]]],
                    ["mul", ["ref", 2], ["pw", ["ref", 5], [0, 1, 100], [[0, 1, 0], [1, 0, 0]]]]]],
    "jacobian": [["const", 0], ["const", 1],
                 ["neg", ["mul", ["ref", 4], ["cos", ["ref", 0]]]], ["neg", ["ref", 3]]],
    "energy": ["add", ["mul", ["const", 0.5], ["mul", ["ref", 1], ["ref", 1]]],
                      ["mul", ["ref", 4], ["sub", ["const", 1], ["cos", ["ref", 0]]]]],
    "grad_H": [["mul", ["ref", 4], ["sin", ["ref", 0]]], ["ref", 1]],
    "port_outputs": [["ref", 1]], "port_values": [["ref", 2]],
    "outputs": [["tanh", ["ref", 0]]], "output_names": ["squashed"]})";

constexpr int kThreads = 8;

Model load() {
    auto m = Model::from_text(kDriven);
    if (!m) {
        ADD_FAILURE() << m.error().display();
        return Model{};
    }
    return std::move(*m);
}

SolverOptions options() { return {1e-8, 1e-10, 1e-10, 50, 1000000, true, true}; }

std::vector<double> grid(std::size_t n, double end) {
    std::vector<double> t(n);
    for (std::size_t i = 0; i < n; ++i) t[i] = end * static_cast<double>(i) / static_cast<double>(n - 1);
    return t;
}

// a trajectory's arrays, laid end to end, for bitwise comparison
std::vector<double> flat(const Trajectory& r) {
    std::vector<double> out;
    for (const Samples* v : {&r.t, &r.x, &r.u, &r.energy, &r.supplied_power, &r.outputs})
        out.insert(out.end(), v->begin(), v->end());
    for (std::uint64_t s : {r.steps, r.rhs_evals, r.newton_iterations, r.jacobian_evals, r.rejected_steps})
        out.push_back(static_cast<double>(s));
    return out;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

struct Case {
    Method method;
    Interp interp;
    double x0;
};

const Case kCases[] = {{Method::Euler, Interp::Hold, 0.5}, {Method::Rk4, Interp::Linear, -0.25},
                       {Method::Rk45, Interp::Linear, 1.0}, {Method::Midpoint, Interp::Hold, 0.75}};

TEST(SharedModel, SimultaneousSimulationsMatchSerialRuns) {
    const Model model = load();
    const std::vector<double> t = grid(201, 4.0);
    std::vector<double> series(t.size());
    for (std::size_t i = 0; i < t.size(); ++i) series[i] = (i % 20 < 10) ? 1.0 : -1.0;
    const Inputs inputs{series.data(), series.size(), Interp::Hold};
    const SolverOptions opts = options();

    auto run = [&](const Case& c) {
        Inputs in = inputs;
        in.interp = c.interp;
        const std::vector<double> x0 = {c.x0, 0.0};
        auto r = simulate(model, x0, t, in, c.method, opts);
        return r ? flat(*r) : std::vector<double>{};
    };
    std::vector<std::vector<double>> expected;
    for (const Case& c : kCases) {
        expected.push_back(run(c));
        ASSERT_FALSE(expected.back().empty());
    }

    constexpr int kRounds = 6;
    std::vector<int> mismatches(kThreads, 0);
    std::vector<std::thread> threads;
    for (int k = 0; k < kThreads; ++k)
        threads.emplace_back([&, k] {
            for (int round = 0; round < kRounds; ++round) {
                const std::size_t c = static_cast<std::size_t>(k + round) % std::size(kCases);
                if (!same_bits(run(kCases[c]), expected[c])) ++mismatches[static_cast<std::size_t>(k)];
            }
        });
    for (std::thread& th : threads) th.join();
    for (int k = 0; k < kThreads; ++k) EXPECT_EQ(mismatches[static_cast<std::size_t>(k)], 0) << "thread " << k;
}

TEST(SharedModel, SimultaneousPointEvaluationsMatchSerialOnes) {
    const Model model = load();
    const double x[] = {0.4, -1.2}, u[] = {0.7};
    auto evaluate = [&] {
        std::vector<double> out = model.rhs(x, u, 0.5);
        for (double v : model.jacobian(x, u, 0.5)) out.push_back(v);
        for (double v : model.outputs(x, u, 0.5)) out.push_back(v);
        for (double v : model.port_outputs(x, u, 0.5)) out.push_back(v);
        Scratch scratch = Scratch::for_model(model);
        out.push_back(model.energy(x, scratch));
        out.push_back(model.supplied_power(x, u, 0.5, scratch));
        for (double v : model.grad_h(x, scratch)) out.push_back(v);
        std::vector<double> step_out(4);
        model.rhs_into(x, u, 0.5, step_out.data(), scratch);
        model.jacobian_into(x, u, 0.5, step_out.data(), scratch);
        out.insert(out.end(), step_out.begin(), step_out.end());
        return out;
    };
    const std::vector<double> expected = evaluate();

    std::vector<int> mismatches(kThreads, 0);
    std::vector<std::thread> threads;
    for (int k = 0; k < kThreads; ++k)
        threads.emplace_back([&, k] {
            for (int round = 0; round < 200; ++round)
                if (!same_bits(evaluate(), expected)) ++mismatches[static_cast<std::size_t>(k)];
        });
    for (std::thread& th : threads) th.join();
    for (int k = 0; k < kThreads; ++k) EXPECT_EQ(mismatches[static_cast<std::size_t>(k)], 0) << "thread " << k;
}

TEST(SharedModel, ConcurrentStepsAndFailingRuns) {
    // runs that fail (non-finite state, bad initial state) interleaved with ones that succeed
    const Model model = load();
    auto blowup = Model::from_text(R"({"n_states": 1, "n_inputs": 0, "n_params": 0, "param_values": [],
        "rhs": [["mul", ["ref", 0], ["ref", 0]]]})");
    ASSERT_TRUE(blowup.has_value());
    const std::vector<double> t = grid(101, 2.0);
    const SolverOptions opts = options();
    std::vector<int> wrong(kThreads, 0);
    std::vector<std::thread> threads;
    for (int k = 0; k < kThreads; ++k)
        threads.emplace_back([&, k] {
            for (int round = 0; round < 20; ++round) {
                const std::vector<double> x0 = {2.0};
                if (simulate(*blowup, x0, t, Inputs{}, Method::Rk4, opts).has_value()) ++wrong[static_cast<std::size_t>(k)];
                const std::vector<double> bad = {1.0};  // one value for two states
                if (simulate(model, bad, t, Inputs{}, Method::Euler, opts).has_value()) ++wrong[static_cast<std::size_t>(k)];
                const std::vector<double> x = {0.1, 0.2}, u = {0.3};
                if (!step(model, x, u, 0.0, 0.01, Method::Midpoint, opts).has_value()) ++wrong[static_cast<std::size_t>(k)];
            }
        });
    for (std::thread& th : threads) th.join();
    for (int k = 0; k < kThreads; ++k) EXPECT_EQ(wrong[static_cast<std::size_t>(k)], 0) << "thread " << k;
}

TEST(Batch, EightWorkersManyTimesMatchSerialRuns) {
    // the pool is created on the first batch of the process and sized from this variable
    ::setenv("RAYON_NUM_THREADS", "8", 1);
    const Model model = load();
    const std::vector<double> t = grid(101, 2.0);
    std::vector<std::vector<double>> x0s, params;
    for (int i = 0; i < 64; ++i) {
        x0s.push_back({0.05 * i, 0.01 * (i % 7)});
        params.push_back({0.1 + 0.01 * i, 1.0 + 0.02 * (i % 5)});
    }
    for (Method method : {Method::Rk4, Method::Midpoint}) {
        std::vector<std::vector<double>> expected;
        for (std::size_t i = 0; i < x0s.size(); ++i) {
            Model copy = model;
            copy.params = params[i];
            auto r = simulate(copy, x0s[i], t, Inputs{}, method, options());
            ASSERT_TRUE(r.has_value());
            expected.push_back(flat(*r));
        }
        for (int round = 0; round < 25; ++round) {
            auto batch = simulate_batch(model, x0s, &params, t, Inputs{}, method, options());
            ASSERT_TRUE(batch.has_value()) << batch.error().display();
            ASSERT_EQ(batch->size(), x0s.size());
            for (std::size_t i = 0; i < x0s.size(); ++i)
                ASSERT_TRUE(same_bits(flat((*batch)[i]), expected[i])) << "round " << round << " run " << i;
        }
    }
}

TEST(Batch, EightWorkersReportOneErrorEveryTime) {
    ::setenv("RAYON_NUM_THREADS", "8", 1);
    auto model = Model::from_text(R"({"n_states": 1, "n_inputs": 0, "n_params": 0, "param_values": [],
        "rhs": [["mul", ["ref", 0], ["ref", 0]]]})");
    ASSERT_TRUE(model.has_value());
    const std::vector<double> t = grid(51, 1.0);
    std::vector<std::vector<double>> x0s;
    for (int i = 0; i < 48; ++i) x0s.push_back({i % 3 == 0 ? 5.0 : 0.1});  // x' = x^2 blows up for x0 = 5
    for (int round = 0; round < 40; ++round) {
        auto r = simulate_batch(*model, x0s, nullptr, t, Inputs{}, Method::Rk4, options());
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().kind(), 3u) << r.error().display();  // NonFinite
    }
}

}  // namespace
}  // namespace zarel
