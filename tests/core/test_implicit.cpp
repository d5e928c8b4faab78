// Tests of the package's implicit collocation methods: the midpoint rule with steps of its own and
// gauss4, either adaptive (step doubling, dense output) or one step per grid interval.
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run_helpers.hpp"

#include "zarel/solver.hpp"

namespace zarel {
namespace {

using testing::load;
using testing::grid;

// pendulum: q' = p, p' = -sin q
constexpr const char* kPendulum = R"({"n_states": 2, "n_inputs": 0, "n_params": 0, "param_values": [],
    "rhs": [["ref", 1], ["neg", ["sin", ["ref", 0]]]],
    "jacobian": [["const", 0], ["const", 1], ["neg", ["cos", ["ref", 0]]], ["const", 0]]})";
// Van der Pol, mu = 1: x' = y, y' = (1 - x^2) y - x
constexpr const char* kVanDerPol = R"({"n_states": 2, "n_inputs": 0, "n_params": 0, "param_values": [],
    "rhs": [["ref", 1], ["sub", ["mul", ["sub", ["const", 1], ["mul", ["ref", 0], ["ref", 0]]], ["ref", 1]], ["ref", 0]]]})";
// An LC circuit in SI units, C = 1 pF, L = 1 nH: q' = phi / L, phi' = -q / C, H = q^2/2C + phi^2/2L
constexpr const char* kLC = R"({"n_states": 2, "n_inputs": 0, "n_params": 2, "param_values": [1e-12, 1e-9],
    "rhs": [["div", ["ref", 1], ["ref", 3]], ["neg", ["div", ["ref", 0], ["ref", 2]]]],
    "energy": ["add", ["div", ["mul", ["ref", 0], ["ref", 0]], ["mul", ["const", 2], ["ref", 2]]],
                      ["div", ["mul", ["ref", 1], ["ref", 1]], ["mul", ["const", 2], ["ref", 3]]]]})";
// Euler's free rigid body, moments of inertia 2, 1, 2/3: x1' = (1/I3 - 1/I2) x2 x3, ... Quadratic
// invariants |x|^2 and sum x_i^2 / I_i.
constexpr const char* kRigidBody = R"({"n_states": 3, "n_inputs": 0, "n_params": 0, "param_values": [],
    "rhs": [["mul", ["const", 0.5], ["mul", ["ref", 1], ["ref", 2]]],
            ["mul", ["const", -1], ["mul", ["ref", 2], ["ref", 0]]],
            ["mul", ["const", 0.5], ["mul", ["ref", 0], ["ref", 1]]]]})";

SolverOptions options(double rtol, double atol, double newton_tol = 1e-10) {
    return {rtol, atol, newton_tol, 50, 1000000, false, true};
}

Result<Trajectory> run(const Model& m, const std::vector<double>& x0, std::span<const double> t, Method method,
                       const SolverOptions& o, bool dense) {
    return simulate(m, x0, t, Inputs{}, method, o, RunChoices{std::nullopt, dense});
}

double worst_difference(const Samples& a, const Samples& b) {
    double worst = 0;
    for (std::size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::fabs(a[i] - b[i]));
    return worst;
}

TEST(Implicit, OrderOfConvergenceOnGridSteps) {
    const Model m = load(kPendulum);
    const std::vector<double> x0{2.0, 0.0};
    const std::vector<double> fine = grid(8, 33);
    const auto ref = run(m, x0, fine, Method::Rk45, options(1e-13, 1e-15), false);
    ASSERT_TRUE(ref.has_value());
    for (auto [method, order] : {std::pair{Method::Midpoint, 2.0}, std::pair{Method::Gauss4, 4.0}}) {
        std::vector<double> errors;
        for (std::size_t steps : {64, 128, 256}) {
            // the same report points, each interval cut into steps / 32 grid steps
            const std::vector<double> t = grid(8, steps + 1);
            const auto got = run(m, x0, t, method, options(1e-14, 1e-14, 1e-14), false);
            ASSERT_TRUE(got.has_value()) << got.error().display();
            EXPECT_EQ(got->steps, steps);
            const std::size_t every = steps / 32;
            double worst = 0;
            for (std::size_t k = 0; k < fine.size(); ++k)
                for (std::size_t i = 0; i < 2; ++i)
                    worst = std::max(worst, std::fabs(got->x[k * every * 2 + i] - ref->x[k * 2 + i]));
            errors.push_back(worst);
        }
        for (std::size_t j = 0; j + 1 < errors.size(); ++j) {
            const double measured = std::log2(errors[j] / errors[j + 1]);
            EXPECT_NEAR(measured, order, 0.15) << method_name(method) << " " << errors[j] << " " << errors[j + 1];
        }
    }
}

TEST(Implicit, AdaptiveRunsWithinASmallFactorOfTheTolerance) {
    const Model pendulum = load(kPendulum), vdp = load(kVanDerPol);
    const std::vector<double> t = grid(10, 1001);
    for (Method method : {Method::Midpoint, Method::Gauss4})
        for (double rtol : {1e-5, 1e-8})
            for (const auto& [model, x0] : {std::pair{&pendulum, std::vector<double>{2.5, 0}},
                                            std::pair{&vdp, std::vector<double>{2, 0}}}) {
                const auto got = run(*model, x0, t, method, options(rtol, rtol), true);
                ASSERT_TRUE(got.has_value()) << got.error().display();
                const auto ref = run(*model, x0, t, Method::Rk45, options(1e-13, 1e-15), false);
                ASSERT_TRUE(ref.has_value());
                const double err = worst_difference(got->x, ref->x);
                // the error control bounds each step's error by the tolerance: the run's error is
                // a small multiple of the tolerance times its steps, the states being of order 1
                const std::uint64_t steps = got->steps;
                EXPECT_LT(err, 2 * rtol * static_cast<double>(steps)) << method_name(method) << " " << rtol;
                EXPECT_GT(err, 1e-3 * rtol) << method_name(method) << " " << rtol;
                // Newton iterating on every stage system
                EXPECT_GE(got->newton_iterations, 3 * (got->steps + got->rejected_steps));
            }
}

TEST(Implicit, LCCircuitInSIUnitsConservesItsEnergy) {
    const Model m = load(kLC);
    const double q0 = 1e-12, omega = 1 / std::sqrt(1e-12 * 1e-9), period = 2 * M_PI / omega;
    const std::vector<double> x0{q0, 0.0};
    // ten points a period, so that the phase error shows in the charge
    const std::vector<double> t = grid(100 * period, 1001);
    for (auto [method, rtol] : {std::pair{Method::Midpoint, 1e-9}, std::pair{Method::Gauss4, 1e-10}}) {
        // the tolerances in the circuit's units: charges of 1e-12, fluxes of 3e-11
        const auto got = run(m, x0, t, method, options(rtol, 1e-12 * rtol), true);
        ASSERT_TRUE(got.has_value()) << got.error().display();
        const double e0 = got->energy[0];
        double drift = 0, err = 0;
        for (std::size_t k = 0; k < t.size(); ++k) {
            drift = std::max(drift, std::fabs(got->energy[k] - e0) / e0);
            const double q = q0 * std::cos(omega * t[k]);
            err = std::max(err, std::fabs(got->x[2 * k] - q) / q0);
        }
        // the points between steps come from the interpolant, whose energy is not the method's:
        // only the steps' ends conserve it exactly, and the last point is one
        EXPECT_LT(std::fabs(got->energy.back() - e0) / e0, 1e-12) << method_name(method);
        EXPECT_LT(drift, 1e-10) << method_name(method);
        // the second-order method's phase error over 100 periods needs steps below the collapse
        // guard of a run this short for 1e-6; gauss4's is well within it
        if (method == Method::Gauss4) {
            EXPECT_LT(err, 1e-6) << err;
            EXPECT_GT(err, 1e-9) << err;  // the phase is seen
        }
        // linear: J is evaluated once, every stage system is solved by one update of the explicit
        // predictor, and never by none
        const std::uint64_t attempts = got->steps + got->rejected_steps;
        EXPECT_EQ(got->jacobian_evals, 1u);
        EXPECT_EQ(got->newton_iterations, 3 * attempts);
    }
}

TEST(Implicit, Gauss4ConservesQuadraticInvariants) {
    const Model m = load(kRigidBody);
    const std::vector<double> x0{std::cos(1.1), 0.0, std::sin(1.1)};
    const std::vector<double> t = grid(100, 101);
    const auto invariants = [](const Samples& x, std::size_t k) {
        const double a = x[3 * k], b = x[3 * k + 1], c = x[3 * k + 2];
        return std::pair{a * a + b * b + c * c, a * a / 2 + b * b + c * c * 1.5};
    };
    for (bool dense : {true, false}) {
        const std::vector<double> tt = dense ? t : grid(100, 2001);
        const auto got = run(m, x0, tt, Method::Gauss4, options(1e-6, 1e-6), dense);
        const auto rk = run(m, x0, tt, Method::Rk45, options(1e-6, 1e-6), true);
        ASSERT_TRUE(got.has_value() && rk.has_value());
        const auto [a0, b0] = invariants(got->x, 0);
        // the invariants of the steps' ends: with dense output the last point alone is one
        double drift = 0, rk_drift = 0;
        for (std::size_t k = dense ? tt.size() - 1 : 0; k < tt.size(); ++k) {
            const auto [a, b] = invariants(got->x, k);
            const auto [ra, rb] = invariants(rk->x, k);
            drift = std::max({drift, std::fabs(a - a0), std::fabs(b - b0)});
            rk_drift = std::max({rk_drift, std::fabs(ra - a0), std::fabs(rb - b0)});
        }
        EXPECT_LT(drift, 1e-12);
    }
}

}  // namespace
}  // namespace zarel
