// Tests of the discrete gradient method: its energy balance per step at round-off on a quartic
// energy (where the midpoint rule's is the method's error), the midpoint rule it reduces to for a
// quadratic energy, its order, and a circuit of SI-sized states solved to their own precision.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run_helpers.hpp"

#include "zarel/discrete_gradient.hpp"

namespace zarel {
namespace {

using testing::load;
using testing::grid;
using testing::options;

// Duffing's oscillator as a port-Hamiltonian model: H = p^2/2 + q^2/2 + a q^4/4, J = [[0, 1],
// [-1, 0]], R = diag(0, c), G = [0, 1]; slots q, p, u, c (param 0), a (param 1), t.
constexpr const char* kDuffing = R"({"n_states": 2, "n_inputs": 1, "n_params": 2, "param_values": [0.3, 4.0],
    "rhs": [["ref", 1], ["add", ["sub", ["neg", ["add", ["ref", 0], ["mul", ["ref", 4], ["mul", ["ref", 0],
              ["mul", ["ref", 0], ["ref", 0]]]]]], ["mul", ["ref", 3], ["ref", 1]]], ["ref", 2]]],
    "jacobian": [["const", 0], ["const", 1],
                 ["neg", ["add", ["const", 1], ["mul", ["mul", ["const", 3], ["ref", 4]], ["mul", ["ref", 0], ["ref", 0]]]]],
                 ["neg", ["ref", 3]]],
    "energy": ["add", ["mul", ["const", 0.5], ["add", ["mul", ["ref", 0], ["ref", 0]], ["mul", ["ref", 1], ["ref", 1]]]],
               ["mul", ["mul", ["const", 0.25], ["ref", 4]], ["mul", ["mul", ["ref", 0], ["ref", 0]],
                                                                     ["mul", ["ref", 0], ["ref", 0]]]]],
    "grad_H": [["add", ["ref", 0], ["mul", ["ref", 4], ["mul", ["ref", 0], ["mul", ["ref", 0], ["ref", 0]]]]], ["ref", 1]]})";
// its structure: slots q, p, u, g0, g1, c, a, t; (J - R) g + G u
constexpr const char* kDuffingStructure = R"({"n_states": 2, "n_inputs": 3, "n_params": 2, "param_values": [0.3, 4.0],
    "rhs": [["ref", 4], ["add", ["sub", ["neg", ["ref", 3]], ["mul", ["ref", 5], ["ref", 4]]], ["ref", 2]]]})";

// An LC circuit in SI units: H = q^2/(2 C) + phi^2/(2 L), C = 1 pF, L = 1 uH, driven by a voltage
// u through G = [0, 1] with a series resistance r: q' = phi/L, phi' = -q/C - r phi/L + u.
// Slots q, phi, u, C, L, r, t.
constexpr const char* kCircuit = R"({"n_states": 2, "n_inputs": 1, "n_params": 3, "param_values": [1e-12, 1e-6, 5.0],
    "rhs": [["div", ["ref", 1], ["ref", 4]],
            ["add", ["sub", ["neg", ["div", ["ref", 0], ["ref", 3]]], ["mul", ["ref", 5], ["div", ["ref", 1], ["ref", 4]]]],
             ["ref", 2]]],
    "jacobian": [["const", 0], ["div", ["const", 1], ["ref", 4]],
                 ["neg", ["div", ["const", 1], ["ref", 3]]], ["neg", ["div", ["ref", 5], ["ref", 4]]]],
    "energy": ["add", ["div", ["mul", ["ref", 0], ["ref", 0]], ["mul", ["const", 2], ["ref", 3]]],
               ["div", ["mul", ["ref", 1], ["ref", 1]], ["mul", ["const", 2], ["ref", 4]]]],
    "grad_H": [["div", ["ref", 0], ["ref", 3]], ["div", ["ref", 1], ["ref", 4]]]})";
// slots q, phi, u, g0, g1, C, L, r, t
constexpr const char* kCircuitStructure = R"({"n_states": 2, "n_inputs": 3, "n_params": 3,
    "param_values": [1e-12, 1e-6, 5.0],
    "rhs": [["ref", 4], ["add", ["sub", ["neg", ["ref", 3]], ["mul", ["ref", 7], ["ref", 4]]], ["ref", 2]]]})";

// residual of each interval of a run of the Duffing model, the supplied and dissipated energies
// taken with g = gbar (discrete) or g = grad H at the mean state (midpoint), held input series u
std::vector<double> duffing_residuals(const Model& model, const Trajectory& run, const std::vector<double>& u,
                                      bool discrete) {
    const double c = model.params[0];
    Scratch s = Scratch::for_model(model);
    std::vector<double> out;
    for (std::size_t k = 0; k + 1 < run.t.size(); ++k) {
        const double h = run.t[k + 1] - run.t[k];
        const double x0[2] = {run.x[2 * k], run.x[2 * k + 1]}, x1[2] = {run.x[2 * k + 2], run.x[2 * k + 3]};
        const double d[2] = {x1[0] - x0[0], x1[1] - x0[1]}, xm[2] = {(x0[0] + x1[0]) * 0.5, (x0[1] + x1[1]) * 0.5};
        std::vector<double> g = model.grad_h(xm, s);
        const double dh = run.energy[k + 1] - run.energy[k];
        const double dd = d[0] * d[0] + d[1] * d[1];
        if (discrete && dd > 0) {
            const double coef = (dh - (g[0] * d[0] + g[1] * d[1])) / dd;
            g[0] += coef * d[0];
            g[1] += coef * d[1];
        }
        out.push_back(dh - h * g[1] * u[k] + h * c * g[1] * g[1]);
    }
    return out;
}

double max_abs(const std::vector<double>& v) {
    double m = 0.0;
    for (double e : v) m = std::max(m, std::fabs(e));
    return m;
}

TEST(DiscreteGradient, QuarticEnergyBalancesPerStepAtRoundOffWhereMidpointDoesNot) {
    const Model model = load(kDuffing), structure = load(kDuffingStructure);
    const auto t = grid(10.0, 501);
    std::vector<double> u(t.size());
    for (std::size_t k = 0; k < t.size(); ++k) u[k] = std::sin(1.3 * t[k]);
    const Inputs inputs{u.data(), u.size(), Interp::Hold};
    const std::vector<double> x0 = {1.5, 0.0};
    auto dg = simulate_discrete_gradient(model, structure, x0, t, inputs, options());
    ASSERT_TRUE(dg) << dg.error().display();
    auto mp = simulate(model, x0, t, inputs, Method::Midpoint, options());
    ASSERT_TRUE(mp);
    const double scale = *std::max_element(dg->energy.begin(), dg->energy.end());
    const double dg_residual = max_abs(duffing_residuals(model, *dg, u, true));
    const double mp_residual = max_abs(duffing_residuals(model, *mp, u, false));
    EXPECT_LE(dg_residual, 1e-13 * scale);
    EXPECT_GE(mp_residual, 1e-6 * scale);  // the midpoint rule's balance is its error for a quartic H
    EXPECT_EQ(dg->steps, 500u);
    EXPECT_GE(dg->newton_iterations, dg->steps);
    EXPECT_EQ(dg->rhs_evals, dg->steps + dg->newton_iterations);
}

TEST(DiscreteGradient, ConvergesWithOrderTwo) {
    const Model model = load(kDuffing), structure = load(kDuffingStructure);
    const std::vector<double> x0 = {1.5, 0.0};
    const auto end = [&](std::size_t points) {
        auto r = simulate_discrete_gradient(model, structure, x0, grid(2.0, points), Inputs{}, options(1e-8, 1e-16));
        EXPECT_TRUE(r);
        return std::vector<double>(r->x.end() - 2, r->x.end());
    };
    const auto reference = end(12801);
    const auto error = [&](std::size_t points) {
        const auto x = end(points);
        return std::hypot(x[0] - reference[0], x[1] - reference[1]);
    };
    const double ratio = error(201) / error(401);
    EXPECT_NEAR(ratio, 4.0, 0.1);
}

TEST(DiscreteGradient, QuadraticEnergyIsTheMidpointRule) {
    // a = 0: H quadratic, the discrete gradient is the midpoint gradient (its correction is the
    // round-off of H(x1) - H(x0) - grad H(xm) . d), so the two methods agree to round-off
    Model model = load(kDuffing), structure = load(kDuffingStructure);
    const std::vector<double> p = {0.3, 0.0};
    const auto t = grid(10.0, 1001);
    std::vector<double> u(t.size());
    for (std::size_t k = 0; k < t.size(); ++k) u[k] = std::cos(t[k]);
    const Inputs inputs{u.data(), u.size(), Interp::Linear};
    const std::vector<double> x0 = {1.0, -0.5};
    auto dg = simulate_discrete_gradient(model, structure, x0, t, inputs, options(1e-8, 1e-16), p);
    model.params = p;
    auto mp = simulate(model, x0, t, inputs, Method::Midpoint, {1e-8, 1e-16, 1e-14, 50, 1000000, true, true});
    ASSERT_TRUE(dg && mp);
    double diff = 0.0;
    for (std::size_t k = 0; k < dg->x.size(); ++k) diff = std::max(diff, std::fabs(dg->x[k] - mp->x[k]));
    EXPECT_LE(diff, 1e-13);
}

TEST(DiscreteGradient, SolvesStatesOfSiSizeToTheirOwnPrecision) {
    // charges of about 1e-12 C and fluxes of 1e-9 Wb: with atol for those units Newton updates
    // every step and the balance holds to round-off of an energy of 1e-13 J; a test absolute in
    // the states (midpoint's max|r| <= newton_tol (max|x| + 1)) would take the predictor as it is
    const Model model = load(kCircuit), structure = load(kCircuitStructure);
    const auto t = grid(2e-7, 2001);
    std::vector<double> u(t.size(), 0.0);
    const Inputs inputs{u.data(), u.size(), Interp::Hold};
    const std::vector<double> x0 = {1e-12, 0.0};
    auto dg = simulate_discrete_gradient(model, structure, x0, t, inputs, options(1e-8, 1e-22));
    ASSERT_TRUE(dg) << dg.error().display();
    EXPECT_GE(dg->newton_iterations, 2 * dg->steps);
    // a quadratic H: the balance per step with the midpoint gradient, and the energy decaying
    const double L = 1e-6, r = 5.0;
    double worst = 0.0;
    for (std::size_t k = 0; k + 1 < t.size(); ++k) {
        const double h = t[k + 1] - t[k];
        const double pm = (dg->x[2 * k + 1] + dg->x[2 * k + 3]) * 0.5;
        const double dissipated = h * r * (pm / L) * (pm / L);
        worst = std::max(worst, std::fabs(dg->energy[k + 1] - dg->energy[k] + dissipated));
    }
    EXPECT_LE(worst, 1e-14 * dg->energy[0]);
    EXPECT_LT(dg->energy.back(), 0.5 * dg->energy[0]);
    EXPECT_GT(dg->energy.back(), 0.0);
}

TEST(DiscreteGradient, BlocksMakeEveryPartsBalanceHoldAtRoundOff) {
    // Duffing's oscillator as two parts, a quartic spring (q) and a mass (p), their energies the
    // outputs 0 and 1: the spring's energy change is h gbar_q gbar_p, the power the mass feeds
    // it, with each part's discrete gradient (in one state, the difference quotient of its energy)
    std::string text = kDuffing;
    text.pop_back();
    text += R"(, "output_names": ["spring", "mass"], "outputs": [
        ["add", ["mul", ["const", 0.5], ["mul", ["ref", 0], ["ref", 0]]],
         ["mul", ["mul", ["const", 0.25], ["ref", 4]], ["mul", ["mul", ["ref", 0], ["ref", 0]], ["mul", ["ref", 0], ["ref", 0]]]]],
        ["mul", ["const", 0.5], ["mul", ["ref", 1], ["ref", 1]]]]})";
    const Model model = load(text.c_str()), structure = load(kDuffingStructure);
    const auto t = grid(10.0, 501);
    const std::vector<double> x0 = {1.5, 0.0};
    const std::vector<EnergyBlock> blocks = {{0, 1, 0}, {1, 1, 1}};
    const auto spring_residual = [&](const Trajectory& run) {
        double worst = 0.0;
        for (std::size_t k = 0; k + 1 < t.size(); ++k) {
            const double h = t[k + 1] - t[k];
            const double dq = run.x[2 * k + 2] - run.x[2 * k], dp = run.x[2 * k + 3] - run.x[2 * k + 1];
            const double spring = run.outputs[2 * k + 2] - run.outputs[2 * k];
            const double mass = run.outputs[2 * k + 3] - run.outputs[2 * k + 1];
            worst = std::max(worst, std::fabs(spring - h * (spring / dq) * (mass / dp)));
        }
        return worst;
    };
    auto parts = simulate_discrete_gradient(model, structure, x0, t, Inputs{}, options(1e-8, 1e-16), std::nullopt,
                                            blocks);
    auto whole = simulate_discrete_gradient(model, structure, x0, t, Inputs{}, options(1e-8, 1e-16));
    ASSERT_TRUE(parts && whole);
    EXPECT_LE(spring_residual(*parts), 1e-13 * parts->energy[0]);
    EXPECT_GE(spring_residual(*whole), 1e-6 * whole->energy[0]);  // the whole's gradient does not split
    const std::vector<EnergyBlock> short_of_one = {{0, 1, 0}};
    auto refused = simulate_discrete_gradient(model, structure, x0, t, Inputs{}, options(), std::nullopt, short_of_one);
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().display().find("take 1 of the model's 2 states"), std::string::npos);
}

TEST(DiscreteGradient, RefusesAStructureOfTheWrongShapeAndNamesAFailedStep) {
    const Model model = load(kDuffing);
    auto wrong = simulate_discrete_gradient(model, model, std::vector<double>{1.0, 0.0}, grid(1.0, 11), Inputs{},
                                            options());
    ASSERT_FALSE(wrong);
    EXPECT_NE(wrong.error().display().find("inputs (the model's inputs, then one per state)"), std::string::npos);
    const Model structure = load(kDuffingStructure);
    SolverOptions one = options(1e-8, 1e-16);
    one.max_newton = 1;
    auto failed = simulate_discrete_gradient(model, structure, std::vector<double>{3.0, 0.0}, grid(1.0, 3), Inputs{},
                                             one);
    ASSERT_FALSE(failed);
    EXPECT_TRUE(std::holds_alternative<StepFailed>(failed.error().variant()));
    EXPECT_EQ(std::get<StepFailed>(failed.error().variant()).t, 0.0);
}

}  // namespace
}  // namespace zarel
