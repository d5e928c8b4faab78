// Tests of rodas5p: its order measured with and without time-dependent right-hand sides, its
// continuous extension between steps, the published references of Hairer & Wanner's stiff test
// problems, its counts, and groups in lanes against runs alone.
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run_helpers.hpp"

#include "lanes.hpp"
#include "zarel/solver.hpp"

namespace zarel {
namespace {

using testing::load;
using testing::grid;
using testing::options;

// Van der Pol's oscillator in Hairer & Wanner's scaling (Solving ODEs II, IV.10, and their test
// set): y1' = y2, y2' = ((1 - y1^2) y2 - y1) / eps with eps as parameter 0
constexpr const char* kVanDerPol = R"({"n_states": 2, "n_inputs": 0, "n_params": 1, "param_values": [1e-6],
    "rhs": [["ref", 1], ["div", ["sub", ["mul", ["sub", ["const", 1], ["mul", ["ref", 0], ["ref", 0]]], ["ref", 1]],
                                        ["ref", 0]], ["ref", 2]]],
    "jacobian": [["const", 0], ["const", 1],
                 ["div", ["sub", ["mul", ["mul", ["const", -2], ["ref", 0]], ["ref", 1]], ["const", 1]], ["ref", 2]],
                 ["div", ["sub", ["const", 1], ["mul", ["ref", 0], ["ref", 0]]], ["ref", 2]]]})";
// Robertson's kinetics
constexpr const char* kRobertson = R"({"n_states": 3, "n_inputs": 0, "n_params": 0, "param_values": [],
    "rhs": [["add", ["mul", ["const", -0.04], ["ref", 0]], ["mul", ["mul", ["const", 1e4], ["ref", 1]], ["ref", 2]]],
            ["sub", ["sub", ["mul", ["const", 0.04], ["ref", 0]], ["mul", ["mul", ["const", 1e4], ["ref", 1]], ["ref", 2]]],
                    ["mul", ["const", 3e7], ["mul", ["ref", 1], ["ref", 1]]]],
            ["mul", ["const", 3e7], ["mul", ["ref", 1], ["ref", 1]]]],
    "jacobian": [["const", -0.04], ["mul", ["const", 1e4], ["ref", 2]], ["mul", ["const", 1e4], ["ref", 1]],
                 ["const", 0.04], ["sub", ["mul", ["const", -1e4], ["ref", 2]], ["mul", ["const", 6e7], ["ref", 1]]],
                 ["mul", ["const", -1e4], ["ref", 1]],
                 ["const", 0], ["mul", ["const", 6e7], ["ref", 1]], ["const", 0]]})";
// x' = -x^2 + cos(t) x, nonlinear and time-dependent, and its autonomous part x' = -x^2 (x = 1/(1+t)),
// with their exact Jacobians (the method's order needs them: a Jacobian by differences, good to
// about 1e-8, adds an error of order h^2 times that)
constexpr const char* kForced = R"({"n_states": 1, "n_inputs": 0, "n_params": 0, "param_values": [],
    "rhs": [["add", ["neg", ["mul", ["ref", 0], ["ref", 0]]], ["mul", ["cos", ["ref", 1]], ["ref", 0]]]],
    "jacobian": [["add", ["mul", ["const", -2], ["ref", 0]], ["cos", ["ref", 1]]]]})";
constexpr const char* kDecay = R"({"n_states": 1, "n_inputs": 0, "n_params": 0, "param_values": [],
    "rhs": [["neg", ["mul", ["ref", 0], ["ref", 0]]]], "jacobian": [["mul", ["const", -2], ["ref", 0]]]})";
// a stiff linear circuit with an input: v' = (u - v) / tau, tau = parameter 0
constexpr const char* kDriven = R"({"n_states": 2, "n_inputs": 1, "n_params": 1, "param_values": [1e-4],
    "rhs": [["div", ["sub", ["ref", 2], ["ref", 0]], ["ref", 3]], ["sub", ["ref", 0], ["ref", 1]]],
    "energy": ["mul", ["const", 0.5], ["add", ["mul", ["ref", 0], ["ref", 0]], ["mul", ["ref", 1], ["ref", 1]]]]})";

Trajectory run(const Model& m, const std::vector<double>& x0, std::span<const double> t, double rtol, double atol,
               bool dense = true, const Inputs& inputs = {}) {
    auto r = simulate(m, x0, t, inputs, Method::Rodas5p, options(rtol, atol), RunChoices{std::nullopt, dense});
    EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().display());
    return r ? std::move(*r) : Trajectory{};
}

// The error at t = 2 of N equal steps: with steps ending on every grid point and a tolerance no
// attempt fails, the grid is the steps.
double fixed_step_error(const Model& m, double x0, std::size_t steps, double exact) {
    const Trajectory r = run(m, {x0}, grid(2.0, steps + 1), 1e10, 1e10, false);
    EXPECT_EQ(r.rejected_steps, 0u);
    return std::fabs(r.x.back() - exact);
}

TEST(Rodas5p, ConvergesAtOrderFiveAutonomousAndTimeDependent) {
    // halving the step divides the error by 2^5: a wrong coefficient in any stage, weight or the
    // time derivative's terms drops the order
    const Model decay = load(kDecay);
    for (std::size_t steps : {40u, 80u}) {
        const double ratio = fixed_step_error(decay, 1.0, steps, 1.0 / 3.0) /
                             fixed_step_error(decay, 1.0, 2 * steps, 1.0 / 3.0);
        EXPECT_GT(ratio, 26.0) << steps;
        EXPECT_LT(ratio, 40.0) << steps;
    }
    // x' = -x^2 + cos(t) x: the reference from 2,560 steps, whose error is far below the others'
    const Model forced = load(kForced);
    const double exact = run(forced, {1.0}, grid(2.0, 2561), 1e10, 1e10, false).x.back();
    for (std::size_t steps : {10u, 20u}) {
        const double ratio = fixed_step_error(forced, 1.0, steps, exact) / fixed_step_error(forced, 1.0, 2 * steps, exact);
        EXPECT_GT(ratio, 24.0) << steps;
        EXPECT_LT(ratio, 42.0) << steps;
    }
}

TEST(Rodas5p, ContinuousExtensionIsAsAccurateAsTheSteps) {
    // x' = -x^2 from 1: x = 1/(1+t). Reported between steps from the extension, the error
    // stays within a small multiple of the tolerance at every point, for tolerances 1e-4..1e-10
    // (an extension of a lower order than 4 fails at the tight end, a wrong one everywhere)
    const Model m = load(kDecay);
    const std::vector<double> t = grid(10.0, 1001);
    for (double tol : {1e-4, 1e-6, 1e-8, 1e-10}) {
        const Trajectory r = run(m, {1.0}, t, tol, tol);
        ASSERT_LT(r.steps, 200u);
        double worst = 0.0;
        for (std::size_t k = 0; k < t.size(); ++k) worst = std::fmax(worst, std::fabs(r.x[k] - 1.0 / (1.0 + t[k])));
        EXPECT_LT(worst, 10 * tol) << tol;
    }
}

TEST(Rodas5p, MeetsHairerWannersStiffReferences) {
    // Van der Pol with eps = 1e-6 on [0, 2] from (2, 0) (Hairer & Wanner's test set: y(2) =
    // (1.706167732170483, -0.8928097010248125)) in a few hundred steps
    const Model vdp = load(kVanDerPol);
    const std::vector<double> tv{0.0, 2.0};
    const Trajectory a = run(vdp, {2.0, 0.0}, tv, 1e-9, 1e-9);
    EXPECT_NEAR(a.x[2], 1.706167732170483, 1e-7);
    EXPECT_NEAR(a.x[3], -0.8928097010248125, 1e-7);
    EXPECT_LT(a.steps, 5000u);  // an explicit method's stability alone needs about 2e6
    // Robertson to t = 1e11 (Hairer & Wanner II, IV.10: y = (2.083340149701255e-8,
    // 8.333360770334713e-14, 0.9999999791665050))
    const Model rob = load(kRobertson);
    const std::vector<double> tr{0.0, 1e11};
    const Trajectory b = run(rob, {1.0, 0.0, 0.0}, tr, 1e-10, 1e-20);
    EXPECT_NEAR(b.x[3] / 2.083340149701255e-8, 1.0, 1e-6);
    EXPECT_NEAR(b.x[4] / 8.333360770334713e-14, 1.0, 1e-6);
    EXPECT_NEAR(b.x[5], 0.9999999791665050, 1e-12);
    EXPECT_LT(b.steps, 5000u);
}

TEST(Rodas5p, ReusesTheJacobianThroughRejectionsAndCountsItsWork) {
    // one Jacobian per step (its start), none more for an attempt rejected there; 8 stages an
    // attempt and the derivative at each accepted solution, beside the stepper's own evaluations
    const Model vdp = load(kVanDerPol);
    const std::vector<double> tv{0.0, 2.0};
    const Trajectory a = run(vdp, {2.0, 0.0}, tv, 1e-6, 1e-6);
    ASSERT_GT(a.rejected_steps, 0u);
    EXPECT_EQ(a.jacobian_evals, a.steps);
    // 7 evaluations an attempt, one at each accepted end, and the stepper's two at the start
    EXPECT_EQ(a.rhs_evals, 7 * (a.steps + a.rejected_steps) + a.steps + 2);
}

TEST(Rodas5p, FollowsAnInputExactlyAtItsJumpsAndLanesAgreeWithRunsAlone) {
    // a held input stepping 0 -> 1 at t = 0.5: a stop the steps land on; the fast state then
    // follows it at the tolerance
    const Model m = load(kDriven);
    const std::vector<double> t = grid(1.0, 11);
    std::vector<double> u(t.size(), 0.0);
    for (std::size_t k = 5; k < t.size(); ++k) u[k] = 1.0;
    const Inputs in{u.data(), u.size(), Interp::Hold};
    const Trajectory r = run(m, {0.0, 0.0}, t, 1e-8, 1e-10, true, in);
    EXPECT_EQ(r.x[2 * 5], 0.0);  // nothing moves before the jump
    EXPECT_NEAR(r.x[2 * 10], 1.0, 1e-8);
    // x2' = x1 - x2 with x1 = 1 - exp(-(t - 0.5) / tau): x2(1) = 1 - e^-0.5 (1 + tau / (1 - tau)),
    // but for a term of e^-5000
    EXPECT_NEAR(r.x[2 * 10 + 1], 1.0 - std::exp(-0.5) * (1.0 + 1e-4 / (1.0 - 1e-4)), 1e-9);

    // groups in lanes: every run bit for bit as alone, counters too
    std::vector<std::vector<double>> starts, params;
    for (int k = 0; k < 11; ++k) {
        starts.push_back({0.1 * k, -0.05 * k});
        params.push_back({1e-4 * (1 + k)});
    }
    std::vector<std::span<const double>> x0s(starts.begin(), starts.end()), ps(params.begin(), params.end());
    std::vector<Trajectory> grouped(starts.size());
    simulate_group(m, ps, x0s, t, in, Method::Rodas5p, options(1e-8, 1e-10),
                   [&](std::size_t k, Result<Trajectory>&& got) {
                       ASSERT_TRUE(got.has_value());
                       grouped[k] = std::move(*got);
                   },
                   true);
    for (std::size_t k = 0; k < starts.size(); ++k) {
        auto alone = simulate(m, starts[k], t, in, Method::Rodas5p, options(1e-8, 1e-10),
                              RunChoices{std::span<const double>(params[k]), true});
        ASSERT_TRUE(alone.has_value());
        EXPECT_EQ(grouped[k].x, alone->x) << k;
        EXPECT_EQ(grouped[k].energy, alone->energy) << k;
        EXPECT_EQ(grouped[k].steps, alone->steps) << k;
        EXPECT_EQ(grouped[k].rhs_evals, alone->rhs_evals) << k;
        EXPECT_EQ(grouped[k].jacobian_evals, alone->jacobian_evals) << k;
    }
}

}  // namespace
}  // namespace zarel
