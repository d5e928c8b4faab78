// Tests of dop853: exactness where its orders promise it, Hairer's Arenstorf orbit, its order
// measured, its continuous extension between steps, and its counts.
#include <cmath>
#include <numbers>
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

// x' = 7 t^6: x = t^7, a polynomial of the extension's order
constexpr const char* kSeventh = R"({"n_states": 1, "n_inputs": 0, "n_params": 0, "param_values": [],
    "rhs": [["mul", ["const", 7], ["pow", ["ref", 1], ["const", 6]]]]})";
// q' = p, p' = -q: (cos t, -sin t) from (1, 0)
constexpr const char* kOscillator = R"({"n_states": 2, "n_inputs": 0, "n_params": 0, "param_values": [],
    "rhs": [["ref", 1], ["neg", ["ref", 0]]]})";
// The restricted three-body problem of Hairer, Norsett & Wanner I, II.0 (Arenstorf's orbit):
// (y1, y2, y1', y2') with mu = 0.012277471
constexpr const char* kArenstorf = R"({"n_states": 4, "n_inputs": 0, "n_params": 1, "param_values": [0.012277471],
    "rhs": [["ref", 2], ["ref", 3],
      ["sub", ["sub", ["add", ["ref", 0], ["mul", ["const", 2], ["ref", 3]]],
                      ["div", ["mul", ["sub", ["const", 1], ["ref", 4]], ["add", ["ref", 0], ["ref", 4]]],
                              ["pow", ["add", ["mul", ["add", ["ref", 0], ["ref", 4]], ["add", ["ref", 0], ["ref", 4]]],
                                             ["mul", ["ref", 1], ["ref", 1]]], ["const", 1.5]]]],
              ["div", ["mul", ["ref", 4], ["sub", ["ref", 0], ["sub", ["const", 1], ["ref", 4]]]],
                      ["pow", ["add", ["mul", ["sub", ["ref", 0], ["sub", ["const", 1], ["ref", 4]]],
                                             ["sub", ["ref", 0], ["sub", ["const", 1], ["ref", 4]]]],
                                     ["mul", ["ref", 1], ["ref", 1]]], ["const", 1.5]]]],
      ["sub", ["sub", ["sub", ["ref", 1], ["mul", ["const", 2], ["ref", 2]]],
                      ["div", ["mul", ["sub", ["const", 1], ["ref", 4]], ["ref", 1]],
                              ["pow", ["add", ["mul", ["add", ["ref", 0], ["ref", 4]], ["add", ["ref", 0], ["ref", 4]]],
                                             ["mul", ["ref", 1], ["ref", 1]]], ["const", 1.5]]]],
              ["div", ["mul", ["ref", 4], ["ref", 1]],
                      ["pow", ["add", ["mul", ["sub", ["ref", 0], ["sub", ["const", 1], ["ref", 4]]],
                                             ["sub", ["ref", 0], ["sub", ["const", 1], ["ref", 4]]]],
                                     ["mul", ["ref", 1], ["ref", 1]]], ["const", 1.5]]]]]})";
// its period and its start, as the book gives them: the orbit closes after one period
constexpr double kPeriod = 17.0652165601579625588917206249;
const std::vector<double> kArenstorfStart{0.994, 0.0, 0.0, -2.00158510637908252240537862224};

Trajectory run(const Model& m, const std::vector<double>& x0, std::span<const double> t, double rtol,
               Method method = Method::Dop853) {
    auto r = simulate(m, x0, t, Inputs{}, method, options(rtol, rtol), RunChoices{std::nullopt, true});
    EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().display());
    return r ? std::move(*r) : Trajectory{};
}

double distance_from_start(const Trajectory& r) {
    double worst = 0;
    for (std::size_t i = 0; i < 4; ++i) worst = std::fmax(worst, std::fabs(r.x[4 + i] - kArenstorfStart[i]));
    return worst;
}

TEST(Dop853, ExactOnASolutionOfDegreeSevenAtEveryPoint) {
    // the pair integrates a polynomial of degree 8 exactly and its extension one of degree 7, so
    // every reported value, between steps too, is t^7 to rounding: a wrong weight, node or
    // extension coefficient shows here
    const Model m = load(kSeventh);
    const std::vector<double> t = grid(2, 101);
    const Trajectory r = run(m, {0.0}, t, 1e-3);
    ASSERT_GT(r.steps, 1u);
    for (std::size_t k = 0; k < t.size(); ++k) EXPECT_NEAR(r.x[k], std::pow(t[k], 7), 1e-13 * 128) << t[k];
}

TEST(Dop853, ClosesArenstorfsOrbitForLessWorkThanRk45) {
    // the stages' coefficients matter here, on an orbit that passes close to both bodies
    const Model m = load(kArenstorf);
    const std::vector<double> t{0.0, kPeriod};
    const Trajectory r = run(m, kArenstorfStart, t, 1e-12), rk45 = run(m, kArenstorfStart, t, 1e-12, Method::Rk45);
    EXPECT_LT(distance_from_start(r), 1e-8);
    EXPECT_LT(distance_from_start(r), distance_from_start(rk45));
    EXPECT_LT(3 * r.rhs_evals, rk45.rhs_evals);
}

TEST(Dop853, OrderEightOnSteps) {
    // the pendulum with an input it does not read, held and changing at every grid point: steps
    // end at every one, and a tolerance too loose to shorten them makes the grid the steps (but
    // for the first interval, which the starting step enters gently). Halving the steps divides
    // the error by about 2^8 (a little more before the steps are short enough).
    const Model m = load(R"({"n_states": 2, "n_inputs": 1, "n_params": 0, "param_values": [],
        "rhs": [["ref", 1], ["neg", ["sin", ["ref", 0]]]]})");
    std::vector<std::vector<double>> ends;
    for (std::size_t steps : {16, 32, 64}) {
        const std::vector<double> t = grid(5, steps + 1);
        std::vector<double> held(t.size());
        for (std::size_t k = 0; k < t.size(); ++k) held[k] = static_cast<double>(k % 2);
        auto r = simulate(m, std::vector<double>{2.5, 0.0}, t, Inputs{held.data(), held.size(), Interp::Hold},
                          Method::Dop853, options(1e6, 1e6), RunChoices{});
        ASSERT_TRUE(r.has_value()) << r.error().display();
        EXPECT_EQ(r->rejected_steps, 0u);
        ends.push_back({r->x[2 * steps], r->x[2 * steps + 1]});
    }
    const auto change = [&](std::size_t a) {
        return std::fmax(std::fabs(ends[a][0] - ends[a + 1][0]), std::fabs(ends[a][1] - ends[a + 1][1]));
    };
    const double order = std::log2(change(0) / change(1));
    EXPECT_GT(order, 7.5) << change(0) << " " << change(1);
    EXPECT_LT(order, 9.5) << change(0) << " " << change(1);
}

TEST(Dop853, ExtensionAsAccurateAsTheSteps) {
    // on a fine grid nearly every point lies inside a step: the continuous extension (order 7)
    // must be as good as the steps' ends, where a fourth-order one would be far worse at this
    // tolerance; the steps are the grid's own business only at its end
    const Model m = load(kOscillator);
    for (double rtol : {1e-7, 1e-11}) {
        const Trajectory ends = run(m, {1.0, 0.0}, grid(20, 2), rtol);
        const std::vector<double> t = grid(20, 10001);
        const Trajectory fine = run(m, {1.0, 0.0}, t, rtol);
        EXPECT_EQ(fine.steps, ends.steps);
        const double end_error = std::fabs(ends.x[2] - std::cos(20.0));
        double worst = 0;
        for (std::size_t k = 0; k < t.size(); ++k) worst = std::fmax(worst, std::fabs(fine.x[2 * k] - std::cos(t[k])));
        EXPECT_LT(worst, 5 * end_error + 1e-15) << rtol;
        EXPECT_EQ(fine.x[2 * 10000], ends.x[2]);
        // one evaluation to start and one for the starting step, twelve per attempt, three more
        // for a step with a grid point inside it (every step here but possibly the last)
        EXPECT_EQ(ends.rhs_evals, 2 + 12 * (ends.steps + ends.rejected_steps));
        EXPECT_GE(fine.rhs_evals, ends.rhs_evals + 3 * (fine.steps - 1));
        EXPECT_LE(fine.rhs_evals, ends.rhs_evals + 3 * fine.steps);
    }
}

TEST(Dop853, GridStepsEndOnEveryPoint) {
    // without dense output every grid point ends a step: no extension is evaluated, and the first
    // stage of the next step is the last of the one before
    const Model m = load(kOscillator);
    const std::vector<double> t = grid(10, 41);
    auto r = simulate(m, std::vector<double>{1.0, 0.0}, t, Inputs{}, Method::Dop853, options(1e-10, 1e-10),
                      RunChoices{});
    ASSERT_TRUE(r.has_value()) << r.error().display();
    EXPECT_GE(r->steps, 40u);
    EXPECT_EQ(r->rhs_evals, 2 + 12 * (r->steps + r->rejected_steps));
    for (std::size_t k = 0; k < t.size(); ++k) EXPECT_NEAR(r->x[2 * k], std::cos(t[k]), 1e-9) << t[k];
    const Trajectory dense = run(m, {1.0, 0.0}, t, 1e-10);
    EXPECT_LT(dense.steps, r->steps);
}

TEST(Dop853, HeldInputsEndStepsAndRenewTheFirstStage) {
    // dx/dt = u, u a held square wave: steps end where it jumps and each integrates a constant,
    // so every point is the exact integral; the derivative at a jump is taken again with the new
    // value (one evaluation per jump), elsewhere the last stage serves as the next first
    const Model follow = load(R"({"n_states": 1, "n_inputs": 1, "n_params": 0, "param_values": [],
        "rhs": [["ref", 1]]})");
    const std::vector<double> t = grid(4, 41);
    std::vector<double> square(t.size());
    for (std::size_t k = 0; k < square.size(); ++k) square[k] = (k / 5) % 2 == 0 ? 1.0 : -0.5;
    const Inputs held{square.data(), square.size(), Interp::Hold};
    for (bool dense : {true, false}) {
        auto r = simulate(follow, std::vector<double>{0.0}, t, held, Method::Dop853, options(1e-8, 1e-10),
                          RunChoices{std::nullopt, dense});
        ASSERT_TRUE(r.has_value()) << r.error().display();
        double exact = 0.0;
        for (std::size_t k = 0; k < t.size(); ++k) {
            EXPECT_NEAR(r->x[k], exact, 1e-13) << t[k];
            EXPECT_EQ(r->u[k], square[std::min<std::size_t>(k, t.size() - 2)]);
            if (k + 1 < t.size()) exact += square[k] * (t[k + 1] - t[k]);
        }
        if (!dense) {
            EXPECT_EQ(r->rhs_evals, 2 + 12 * (r->steps + r->rejected_steps) + 7);
        }
    }
}

TEST(Dop853, FailuresNameWhatFailed) {
    // dx/dt = 10 x from 1e307 overflows; the engine's single step does not take the method
    const Model m = load(R"({"n_states": 1, "n_inputs": 0, "n_params": 0, "param_values": [],
        "rhs": [["mul", ["ref", 0], ["const", 10]]]})");
    auto r = simulate(m, std::vector<double>{1e307}, grid(1, 3), Inputs{}, Method::Dop853, options(1e-8, 1e-10),
                      RunChoices{});
    ASSERT_FALSE(r.has_value());
    EXPECT_NE(r.error().display().find("non-finite"), std::string::npos) << r.error().display();
    const std::vector<double> x{1.0};
    auto s = step(m, x, {}, 0.0, 0.1, Method::Dop853, options(1e-8, 1e-10));
    ASSERT_FALSE(s.has_value());
    EXPECT_FALSE(parse_method("dop853").has_value());
    EXPECT_EQ(*parse_package_method("dop853"), Method::Dop853);
    EXPECT_EQ(*parse_package_method("rk45"), Method::Rk45);
}

}  // namespace
}  // namespace zarel
