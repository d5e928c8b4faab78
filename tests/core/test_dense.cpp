// Tests of rk45 with dense output, runs with parameters of their own, and batches that keep every run.
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run_helpers.hpp"

#include "zarel/solver.hpp"

namespace zarel {
namespace {

using testing::load;
using testing::grid;
using testing::options;

// pendulum: q' = p, p' = -sin q
constexpr const char* kPendulum = R"({"n_states": 2, "n_inputs": 0, "n_params": 0, "param_values": [],
    "rhs": [["ref", 1], ["neg", ["sin", ["ref", 0]]]]})";
// Van der Pol with mu as its parameter: x' = y, y' = mu (1 - x^2) y - x
constexpr const char* kVanDerPol = R"({"n_states": 2, "n_inputs": 0, "n_params": 1, "param_values": [1.0],
    "rhs": [["ref", 1], ["sub", ["mul", ["mul", ["ref", 2], ["sub", ["const", 1], ["mul", ["ref", 0], ["ref", 0]]]],
                                 ["ref", 1]], ["ref", 0]]]})";
// x' = u - x^3 with a held or interpolated input; H = x^2/2, port (x, u), output x^3
constexpr const char* kCubicDriven = R"({"n_states": 1, "n_inputs": 1, "n_params": 0, "param_values": [],
    "rhs": [["sub", ["ref", 1], ["mul", ["ref", 0], ["mul", ["ref", 0], ["ref", 0]]]]],
    "energy": ["mul", ["const", 0.5], ["mul", ["ref", 0], ["ref", 0]]],
    "port_outputs": [["ref", 0]], "port_values": [["ref", 1]],
    "outputs": [["mul", ["ref", 0], ["mul", ["ref", 0], ["ref", 0]]]], "output_names": ["cube"]})";
// dx/dt = u
constexpr const char* kFollow = R"({"n_states": 1, "n_inputs": 1, "n_params": 0, "param_values": [],
    "rhs": [["ref", 1]]})";
// dx/dt = 10 x: overflows within a unit interval from 1e307
constexpr const char* kTimesTen = R"({"n_states": 1, "n_inputs": 0, "n_params": 0, "param_values": [],
    "rhs": [["mul", ["ref", 0], ["const", 10]]]})";

constexpr double kOnes[] = {1.0, 1.0};

Result<Trajectory> dense(const Model& m, std::vector<double> x0, std::span<const double> t, const Inputs& inputs,
                         const SolverOptions& o) {
    return simulate(m, x0, t, inputs, Method::Rk45, o, RunChoices{std::nullopt, true});
}

// The reference: rk45 ending a step on every point of a fine grid at a tolerance far tighter
// than the one tested. The tolerance bounds the error of each step, so the error of a run of a
// few dozen to a few hundred steps is a few dozen times the tolerance at most.
double worst_error(const Model& m, const std::vector<double>& x0, std::span<const double> t, const Inputs& inputs,
                   const Trajectory& run) {
    auto ref = simulate(m, x0, t, inputs, Method::Rk45, options(1e-13, 1e-15));
    EXPECT_TRUE(ref.has_value());
    double worst = 0;
    for (std::size_t i = 0; i < run.x.size(); ++i) worst = std::max(worst, std::fabs(run.x[i] - ref->x[i]));
    return worst;
}

TEST(DenseOutput, NonlinearProblemsWithinASmallFactorOfTheTolerance) {
    const Model pendulum = load(kPendulum), vdp = load(kVanDerPol);
    const std::vector<double> t = grid(10, 1001);
    for (double rtol : {1e-6, 1e-9}) {
        for (const auto& [model, x0] : {std::pair{&pendulum, std::vector<double>{2.5, 0}},
                                        std::pair{&vdp, std::vector<double>{2, 0}}}) {
            auto run = dense(*model, x0, t, Inputs{}, options(rtol, rtol * 1e-3));
            ASSERT_TRUE(run.has_value()) << run.error().display();
            EXPECT_LT(worst_error(*model, x0, t, Inputs{}, *run), 30 * rtol) << rtol;
            // first same as last: one evaluation to start, one for the starting step, six per attempt
            EXPECT_EQ(run->rhs_evals, 2 + 6 * (run->steps + run->rejected_steps));
            EXPECT_LT(run->steps, 1000u);
        }
    }
}

TEST(DenseOutput, WorkIndependentOfTheOutputPoints) {
    const Model vdp = load(kVanDerPol);
    const std::vector<double> x0{2, 0};
    auto coarse = dense(vdp, x0, grid(10, 3), Inputs{}, options(1e-7));
    auto fine = dense(vdp, x0, grid(10, 10001), Inputs{}, options(1e-7));
    ASSERT_TRUE(coarse.has_value() && fine.has_value());
    EXPECT_EQ(coarse->rhs_evals, fine->rhs_evals);
    EXPECT_EQ(coarse->steps, fine->steps);
    EXPECT_EQ(coarse->rejected_steps, fine->rejected_steps);
    // the same steps, so the same points where both grids report
    EXPECT_EQ(coarse->x[2], fine->x[10000]);
    EXPECT_EQ(coarse->x[4], fine->x[20000]);
    EXPECT_EQ(coarse->x[5], fine->x[20001]);
}

TEST(DenseOutput, StepsEndWhereAHeldInputJumps) {
    // dx/dt = u: with steps ending on the jump every step integrates a constant exactly
    const Model follow = load(kFollow);
    const std::vector<double> t{0, 0.35, 0.7, 1};
    const std::vector<double> jumps{0, 1, 1, 1}, level{1, 1, 1, 1};
    auto r = dense(follow, {0}, t, Inputs{jumps.data(), 4, Interp::Hold}, options());
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->x[1], 0.0);
    EXPECT_NEAR(r->x[3], 0.65, 1e-15);
    EXPECT_EQ(r->rejected_steps, 0u);
    // a held value that does not change ends no step
    auto a = dense(follow, {0}, t, Inputs{level.data(), 4, Interp::Hold}, options());
    auto b = dense(follow, {0}, std::vector<double>{0, 1}, Inputs{level.data(), 2, Interp::Hold}, options());
    ASSERT_TRUE(a.has_value() && b.has_value());
    EXPECT_EQ(a->rhs_evals, b->rhs_evals);
    EXPECT_EQ(a->x[3], b->x[1]);

    // a nonlinear response to a square wave keeps the accuracy of the tolerance
    const Model cubic = load(kCubicDriven);
    const std::vector<double> tt = grid(4, 41);
    std::vector<double> square(41);
    for (std::size_t k = 0; k < square.size(); ++k) square[k] = (k / 5) % 2 == 0 ? 1.0 : -0.5;
    const Inputs held{square.data(), square.size(), Interp::Hold};
    for (double rtol : {1e-6, 1e-9}) {
        auto run = dense(cubic, {0.2}, tt, held, options(rtol, rtol * 1e-2));
        ASSERT_TRUE(run.has_value());
        EXPECT_LT(worst_error(cubic, {0.2}, tt, held, *run), 30 * rtol) << rtol;
        // the derivative is evaluated again after each of the seven jumps
        EXPECT_EQ(run->rhs_evals, 2 + 7 + 6 * (run->steps + run->rejected_steps));
    }
}

TEST(DenseOutput, QuantitiesAtTheInterpolatedState) {
    const Model cubic = load(kCubicDriven);
    const std::vector<double> t = grid(2, 9);
    std::vector<double> u(9);
    for (std::size_t k = 0; k < u.size(); ++k) u[k] = std::sin(static_cast<double>(k));
    const Inputs linear{u.data(), u.size(), Interp::Linear};
    auto run = dense(cubic, {0.5}, t, linear, options());
    ASSERT_TRUE(run.has_value());
    Scratch s = Scratch::for_model(cubic);
    for (std::size_t k = 0; k < t.size(); ++k) {
        const double x = run->x[k];
        EXPECT_EQ(run->u[k], u[k]);
        EXPECT_EQ(run->energy[k], cubic.energy(&x, s));
        EXPECT_EQ(run->supplied_power[k], cubic.supplied_power(&x, &u[k], t[k], s));
        EXPECT_EQ(run->outputs[k], cubic.outputs(&x, &u[k], t[k])[0]);
    }
}

TEST(DenseOutput, FailuresCarryTheIntervalMessages) {
    const Model vdp = load(kVanDerPol);
    SolverOptions o = options();
    o.max_substeps = 3;
    auto capped = dense(vdp, {2, 0}, grid(10, 2), Inputs{}, o);
    ASSERT_FALSE(capped.has_value());
    EXPECT_EQ(std::get<StepFailed>(capped.error().variant()).message,
              "more than 3 adaptive substeps in one output interval");
    // the cap counts the attempts between two grid points: a fine enough grid never reaches it
    EXPECT_TRUE(dense(vdp, {2, 0}, grid(10, 2001), Inputs{}, o).has_value());

    auto blown = dense(load(kTimesTen), {1e307}, grid(2, 3), Inputs{}, options());
    ASSERT_FALSE(blown.has_value());
    EXPECT_EQ(blown.error().kind(), 3u);

    // a span far longer than the starting step's estimate is no collapse
    auto longest = dense(load(kFollow), {0}, std::vector<double>{0, 1e12}, Inputs{kOnes, 2, Interp::Hold}, options());
    ASSERT_TRUE(longest.has_value()) << longest.error().display();
    EXPECT_EQ(longest->x[1], 1e12);

    o = options(0, 0);
    auto zero = dense(vdp, {2, 0}, grid(1, 2), Inputs{}, o);
    ASSERT_FALSE(zero.has_value());
    EXPECT_EQ(zero.error().display(), "the error estimate became non-finite at t = 0");
}

TEST(RunParameters, UsedForTheRunAloneAndEqualToTheModelsOwn) {
    Model vdp = load(kVanDerPol);
    const std::vector<double> t = grid(5, 51), x0{2, 0}, mu{2.5};
    for (Method method : {Method::Rk4, Method::Rk45, Method::Midpoint}) {
        auto own = simulate(vdp, x0, t, Inputs{}, method, options(), RunChoices{std::span<const double>(mu), false});
        ASSERT_TRUE(own.has_value());
        EXPECT_EQ(vdp.params, std::vector<double>{1.0});
        Model changed = vdp;
        changed.params = mu;
        auto ref = simulate(changed, x0, t, Inputs{}, method, options());
        EXPECT_EQ(own->x, ref->x);
        EXPECT_EQ(own->energy, ref->energy);
        EXPECT_EQ(own->newton_iterations, ref->newton_iterations);
    }
    const std::vector<double> two{1, 2};
    auto wrong = simulate(vdp, x0, t, Inputs{}, Method::Rk4, options(), RunChoices{std::span<const double>(two), false});
    ASSERT_FALSE(wrong.has_value());
    EXPECT_EQ(wrong.error().display(), "expected 1 parameter values, got 2");
}

TEST(BatchInto, EachRunKeepsItsOwnOutcome) {
    const Model m = load(kTimesTen);
    const std::vector<double> t{0, 1, 2};
    std::vector<double> x0s(9, 1.0);
    x0s[4] = 1e307;  // overflows in the first interval
    std::vector<double> x(9 * 3, -1), energy(9 * 3, -1);
    std::vector<std::uint64_t> stats(9 * 5);
    for (bool dense_output : {false, true}) {
        auto r = simulate_batch_into(m, 9, x0s, std::nullopt, t, Inputs{}, Method::Rk45, options(), dense_output,
                                     BatchTargets{x.data(), nullptr, energy.data(), nullptr, nullptr, stats.data()});
        ASSERT_TRUE(r.has_value());
        for (std::size_t i = 0; i < 9; ++i) {
            auto single = simulate(m, std::vector<double>{x0s[i]}, t, Inputs{}, Method::Rk45, options(),
                                   RunChoices{std::nullopt, dense_output});
            if (i == 4) {
                ASSERT_TRUE((*r)[i].has_value());
                EXPECT_EQ((*r)[i]->display(), single.error().display());
                for (std::size_t k = 0; k < 3; ++k) EXPECT_TRUE(std::isnan(x[i * 3 + k]) && std::isnan(energy[i * 3 + k]));
                continue;
            }
            ASSERT_FALSE((*r)[i].has_value());
            EXPECT_EQ(std::vector<double>(x.begin() + 3 * i, x.begin() + 3 * i + 3), single->x);
            EXPECT_EQ(std::vector<double>(energy.begin() + 3 * i, energy.begin() + 3 * i + 3), single->energy);
            EXPECT_EQ(stats[5 * i + 1], single->rhs_evals);
            EXPECT_EQ(stats[5 * i + 4], single->rejected_steps);
        }
    }
    auto bad = simulate_batch_into(m, 9, x0s, std::nullopt, std::vector<double>{0}, Inputs{}, Method::Rk45, options(), false,
                                   BatchTargets{x.data()});
    ASSERT_FALSE(bad.has_value());
    EXPECT_EQ(bad.error().display(), "the time grid needs at least two points");
}

TEST(BatchInto, ParametersPerRunAndEveryQuantity) {
    const Model vdp = load(kVanDerPol), cubic = load(kCubicDriven);
    const std::vector<double> t = grid(3, 7), x0s{2, 0, 1, 1, 2, 0}, mus{0.5, 1.5, 3};
    std::vector<double> x(3 * 7 * 2);
    ASSERT_TRUE(simulate_batch_into(vdp, 3, x0s, std::span<const double>(mus), t, Inputs{}, Method::Midpoint, options(), false,
                                    BatchTargets{x.data()}));
    for (std::size_t i = 0; i < 3; ++i) {
        auto single = simulate(vdp, std::span(x0s).subspan(2 * i, 2), t, Inputs{}, Method::Midpoint, options(),
                               RunChoices{std::span(mus).subspan(i, 1), false});
        EXPECT_EQ(std::vector<double>(x.begin() + 14 * i, x.begin() + 14 * (i + 1)), single->x);
    }

    const std::vector<double> u{1, 0.5, -1, 0, 2, 1, 0};
    const Inputs inputs{u.data(), u.size(), Interp::Linear};
    const std::vector<double> starts{0.1, -0.3};
    std::vector<double> xs(14), us(14), e(14), p(14), y(14);
    auto r = simulate_batch_into(cubic, 2, starts, std::nullopt, t, inputs, Method::Rk4, options(), false,
                                 BatchTargets{xs.data(), us.data(), e.data(), p.data(), y.data()});
    ASSERT_TRUE(r.has_value());
    auto single = simulate(cubic, std::vector<double>{-0.3}, t, inputs, Method::Rk4, options());
    EXPECT_EQ(std::vector<double>(xs.begin() + 7, xs.end()), single->x);
    EXPECT_EQ(std::vector<double>(us.begin() + 7, us.end()), single->u);
    EXPECT_EQ(std::vector<double>(e.begin() + 7, e.end()), single->energy);
    EXPECT_EQ(std::vector<double>(p.begin() + 7, p.end()), single->supplied_power);
    EXPECT_EQ(std::vector<double>(y.begin() + 7, y.end()), single->outputs);
}

}  // namespace
}  // namespace zarel
