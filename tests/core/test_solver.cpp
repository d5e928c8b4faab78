// Tests of the time integration: names, input sampling, the four methods, the driver and batches.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <new>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "zarel/solver.hpp"

namespace zarel {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// dx/dt = x, with its analytic Jacobian
constexpr const char* kGrowth = R"({"n_states": 1, "n_inputs": 0, "n_params": 0, "param_values": [],
    "rhs": [["ref", 0]], "jacobian": [["const", 1]]})";
// dx/dt = -x
constexpr const char* kDecay = R"({"n_states": 1, "n_inputs": 0, "n_params": 0, "param_values": [],
    "rhs": [["neg", ["ref", 0]]], "jacobian": [["const", -1]]})";
// dx/dt = -p x + u with p = 0.5, H = x^2/2, one port (x, u), output x
constexpr const char* kLeaky = R"({"n_states": 1, "n_inputs": 1, "n_params": 1, "param_values": [0.5],
    "rhs": [["add", ["mul", ["neg", ["ref", 2]], ["ref", 0]], ["ref", 1]]],
    "energy": ["mul", ["const", 0.5], ["mul", ["ref", 0], ["ref", 0]]], "grad_H": [["ref", 0]],
    "port_outputs": [["ref", 0]], "port_values": [["ref", 1]], "outputs": [["ref", 0]], "output_names": ["x"]})";
constexpr const char* kStill = R"({"n_states": 1, "n_inputs": 0, "n_params": 0, "param_values": [],
    "rhs": [["const", 0]]})";
constexpr const char* kNoStates = R"({"n_states": 0, "n_inputs": 0, "n_params": 0, "param_values": [],
    "rhs": []})";
// Lossless oscillator q' = p, p' = -q with H = (q^2 + p^2)/2.
constexpr const char* kOscillator = R"({"n_states": 2, "n_inputs": 0, "n_params": 0, "param_values": [],
    "rhs": [["ref", 1], ["neg", ["ref", 0]]],
    "jacobian": [["const", 0], ["const", 1], ["const", -1], ["const", 0]],
    "energy": ["mul", ["const", 0.5], ["add", ["mul", ["ref", 0], ["ref", 0]], ["mul", ["ref", 1], ["ref", 1]]]]})";
// dx/dt = x with a "Jacobian" 1/t: at a step from 0 of any length h it is 2/h, so the
// iteration matrix 1 - (h/2)(2/h) vanishes at every split level.
constexpr const char* kSingular = R"({"n_states": 1, "n_inputs": 0, "n_params": 0, "param_values": [],
    "rhs": [["ref", 0]], "jacobian": [["div", ["const", 1], ["ref", 1]]]})";
// dx/dt jumps from 0 to 1e300 at t = 0.5: no step across the jump meets any tolerance.
constexpr const char* kJump = R"({"n_states": 1, "n_inputs": 0, "n_params": 0, "param_values": [],
    "rhs": [["where", ["gt", ["ref", 1], ["const", 0.5]], ["const", 1e300], ["const", 0]]]})";
constexpr const char* kNaNRhs = R"({"n_states": 1, "n_inputs": 0, "n_params": 0, "param_values": [],
    "rhs": [["div", ["const", 0], ["const", 0]]]})";
constexpr const char* kTimesTen = R"({"n_states": 1, "n_inputs": 0, "n_params": 0, "param_values": [],
    "rhs": [["mul", ["ref", 0], ["const", 10]]]})";
// dx/dt = u0 + u1; H = x^2; port (x, u0); outputs u1 and t
constexpr const char* kTwoInputs = R"({"n_states": 1, "n_inputs": 2, "n_params": 0, "param_values": [],
    "rhs": [["add", ["ref", 1], ["ref", 2]]], "energy": ["mul", ["ref", 0], ["ref", 0]],
    "port_outputs": [["ref", 0]], "port_values": [["ref", 1]],
    "outputs": [["ref", 2], ["ref", 3]], "output_names": ["u1", "t"]})";
// dx/dt = u
constexpr const char* kFollow = R"({"n_states": 1, "n_inputs": 1, "n_params": 0, "param_values": [],
    "rhs": [["ref", 1]]})";

Model load(const char* json) {
    auto m = Model::from_text(json);
    EXPECT_TRUE(m.has_value()) << (m ? "" : m.error().display());
    return std::move(*m);
}

SolverOptions options() { return {1e-8, 1e-10, 1e-10, 50, 1000000, true, true}; }

const Inputs kNoInputs{};

// ---------------------------------------------------------------- names

struct MethodName {
    const char* name;
    Method method;
};

class MethodNames : public testing::TestWithParam<MethodName> {};

TEST_P(MethodNames, ParseToTheirMethod) {
    auto m = parse_method(GetParam().name);
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(*m, GetParam().method);
}

INSTANTIATE_TEST_SUITE_P(Aliases, MethodNames,
                         testing::Values(MethodName{"euler", Method::Euler}, MethodName{"rk4", Method::Rk4},
                                         MethodName{"rk45", Method::Rk45}, MethodName{"adaptive", Method::Rk45},
                                         MethodName{"midpoint", Method::Midpoint},
                                         MethodName{"implicit_midpoint", Method::Midpoint},
                                         MethodName{"auto", Method::Midpoint}));

struct Rejected {
    std::string name;
    std::string message;
};

class RejectedMethodNames : public testing::TestWithParam<Rejected> {};

TEST_P(RejectedMethodNames, ReportTheQuotedName) {
    auto m = parse_method(GetParam().name);
    ASSERT_FALSE(m.has_value());
    EXPECT_EQ(m.error().kind(), 4u);
    EXPECT_EQ(m.error().display(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, RejectedMethodNames,
    testing::Values(Rejected{"Euler", R"(unknown solver "Euler"; choose euler, rk4, rk45 or midpoint)"},
                    Rejected{"rk5", R"(unknown solver "rk5"; choose euler, rk4, rk45 or midpoint)"},
                    Rejected{" rk4", R"(unknown solver " rk4"; choose euler, rk4, rk45 or midpoint)"},
                    Rejected{"", R"(unknown solver ""; choose euler, rk4, rk45 or midpoint)"},
                    Rejected{"a\"b\\\n\t", R"(unknown solver "a\"b\\\n\t"; choose euler, rk4, rk45 or midpoint)"},
                    Rejected{std::string("x\0y", 3), R"(unknown solver "x\0y"; choose euler, rk4, rk45 or midpoint)"},
                    Rejected{"\x01", R"(unknown solver "\u{1}"; choose euler, rk4, rk45 or midpoint)"}));

TEST(InterpNames, AliasesAndRejection) {
    for (const char* name : {"hold", "zoh", "previous"}) EXPECT_EQ(parse_interp(name).value(), Interp::Hold) << name;
    EXPECT_EQ(parse_interp("linear").value(), Interp::Linear);
    for (const char* name : {"Linear", "HOLD", "cubic"}) {
        auto r = parse_interp(name);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().kind(), 4u);
        EXPECT_EQ(r.error().display(),
                  std::string("unknown input interpolation \"") + name + "\"; choose hold or linear");
    }
}

TEST(MethodNames, Canonical) {
    EXPECT_STREQ(method_name(Method::Euler), "euler");
    EXPECT_STREQ(method_name(Method::Rk4), "rk4");
    EXPECT_STREQ(method_name(Method::Rk45), "rk45");
    EXPECT_STREQ(method_name(Method::Midpoint), "midpoint");
    EXPECT_STREQ(method_name(parse_method("adaptive").value()), "rk45");
    EXPECT_STREQ(method_name(parse_method("implicit_midpoint").value()), "midpoint");
}

// ---------------------------------------------------------------- input sampling

TEST(InputsAt, AbsentGivesZerosUpToTheDestination) {
    std::vector<double> dst{7, 7, 7, 7};
    kNoInputs.at(5, 3, dst.data(), dst.size(), 0.5);
    EXPECT_EQ(dst, (std::vector<double>{0, 0, 0, 7}));
    std::vector<double> one{7, 9};
    kNoInputs.at(0, 3, one.data(), 1, 0.0);  // a destination of one entry: nothing beyond it
    EXPECT_EQ(one, (std::vector<double>{0, 9}));
    kNoInputs.at(0, 0, one.data(), 2, 0.0);
    EXPECT_EQ(one, (std::vector<double>{0, 9}));
}

TEST(InputsAt, HoldIgnoresTheFraction) {
    const std::vector<double> series{1, 2, 3, 4, 5, 6};
    const Inputs in{series.data(), series.size(), Interp::Hold};
    for (double f : {0.0, 0.5, 1.0}) {
        std::vector<double> dst{0, 0};
        in.at(1, 2, dst.data(), dst.size(), f);
        EXPECT_EQ(dst, (std::vector<double>{3, 4}));
    }
}

TEST(InputsAt, LinearInterpolatesAndHoldsTheLastRow) {
    const std::vector<double> series{0.1, 2, 0.7, 6, 9, 10};
    const Inputs in{series.data(), series.size(), Interp::Linear};
    std::vector<double> dst{0, 0};
    in.at(0, 2, dst.data(), 2, 0.5);
    EXPECT_EQ(dst[0], (0.7 - 0.1) * 0.5 + 0.1);
    EXPECT_EQ(dst[1], 4.0);
    in.at(0, 2, dst.data(), 2, 1.0);
    EXPECT_EQ(dst[0], (0.7 - 0.1) * 1.0 + 0.1);  // row 1 up to the last bit
    EXPECT_NEAR(dst[0], 0.7, 1e-16);
    for (double f : {0.0, 0.3, 1.0}) {
        in.at(2, 2, dst.data(), 2, f);
        EXPECT_EQ(dst, (std::vector<double>{9, 10})) << f;
    }
}

TEST(InputsAt, NoInputsWritesNothing) {
    const std::vector<double> series{};
    const double dummy = 1;
    const Inputs in{&dummy, 0, Interp::Linear};
    std::vector<double> dst{5};
    in.at(0, 0, dst.data(), 1, 0.5);
    EXPECT_EQ(dst[0], 5);
}

TEST(InputSourceForms, ConstantIgnoresFractionSeriesSamplesItsRow) {
    const double u[2] = {3, 4};
    std::vector<double> dst{0, 0};
    InputSource::of_constant(u, 2)(0.75, dst);
    EXPECT_EQ(dst, (std::vector<double>{3, 4}));

    const std::vector<double> series{0, 0, 2, 4, 6, 8};
    const Inputs in{series.data(), series.size(), Interp::Linear};
    InputSource::of_series(in, 1, 2)(0.5, dst);
    EXPECT_EQ(dst, (std::vector<double>{4, 6}));
}

TEST(WorkBuffers, SizedForTheModel) {
    const Model m = load(kTwoInputs);
    const Work w = Work::for_model(m);
    EXPECT_EQ(w.k1.size(), 1u);
    EXPECT_EQ(w.stages.size(), 9u);
    EXPECT_EQ(w.out.size(), 2u);
    EXPECT_EQ(w.u.size(), 2u);
    EXPECT_EQ(w.jac.size(), 1u);
    EXPECT_EQ(w.scratch.env.size(), m.scratch_size());
    const Work empty = Work::for_model(load(kNoStates));
    EXPECT_EQ(empty.u.size(), 1u);
    EXPECT_EQ(empty.stages.size(), 0u);
    const Work osc = Work::for_model(load(kOscillator));
    EXPECT_EQ(osc.iter_matrix.size(), 4u);
    EXPECT_EQ(osc.pivots.size(), 2u);
    EXPECT_EQ(osc.steps + osc.rhs_evals + osc.newton_iterations + osc.jacobian_evals + osc.rejected_steps, 0u);
}

// ---------------------------------------------------------------- explicit methods

double rk4_growth(double x, double h) {
    // dx/dt = x, written out in the method's own order of operations
    const double hh = 0.5 * h;
    const double k1 = x;
    const double k2 = k1 * hh + x;
    const double k3 = k2 * hh + x;
    const double k4 = k3 * h + x;
    return (((k1 + 2.0 * k2) + 2.0 * k3) + k4) * (h / 6.0) + x;
}

TEST(ExplicitSteps, EulerAndRk4OnGrowth) {
    const Model m = load(kGrowth);
    const double u = 0;
    Work w = Work::for_model(m);
    double x = 1;
    euler_step(m, &x, InputSource::of_constant(&u, 0), w, 0, 0.1);
    EXPECT_EQ(x, 1.1);
    EXPECT_EQ(w.rhs_evals, 1u);

    x = 1;
    rk4_step(m, &x, InputSource::of_constant(&u, 0), w, 0, 0.1);
    EXPECT_EQ(x, rk4_growth(1, 0.1));
    EXPECT_NEAR(x, 1.1051708333333333, 1e-15);
    EXPECT_EQ(w.rhs_evals, 5u);
    EXPECT_EQ(w.steps, 0u);
}

TEST(ExplicitSteps, ZeroStepLeavesTheState) {
    const Model m = load(kGrowth);
    Work w = Work::for_model(m);
    double x = 0.3;
    euler_step(m, &x, InputSource::of_constant(nullptr, 0), w, 0, 0.0);
    rk4_step(m, &x, InputSource::of_constant(nullptr, 0), w, 0, 0.0);
    EXPECT_EQ(x, 0.3);
}

TEST(ExplicitSteps, NoStatesStillCountEvaluations) {
    const Model m = load(kNoStates);
    Work w = Work::for_model(m);
    euler_step(m, nullptr, InputSource::of_constant(nullptr, 0), w, 0, 1);
    rk4_step(m, nullptr, InputSource::of_constant(nullptr, 0), w, 0, 1);
    EXPECT_EQ(w.rhs_evals, 5u);
}

TEST(ExplicitSteps, Rk4StagesSeeStartMiddleAndEndInputs) {
    const Model m = load(kFollow);
    const std::vector<double> series{0, 1};
    for (auto [interp, expected] : {std::pair{Interp::Linear, 0.5}, std::pair{Interp::Hold, 0.0}}) {
        const Inputs in{series.data(), series.size(), interp};
        Work w = Work::for_model(m);
        double x = 0;
        rk4_step(m, &x, InputSource::of_series(in, 0, 1), w, 0, 1);
        EXPECT_EQ(x, expected);  // linear: (0 + 2*0.5 + 2*0.5 + 1)/6
    }
}

TEST(ExplicitSteps, Rk4IsFourthOrder) {
    const Model m = load(kDecay);
    const std::vector<double> x0{1};
    double prev = 0;
    for (int n : {10, 20, 40, 80}) {
        std::vector<double> t(static_cast<std::size_t>(n) + 1);
        for (int i = 0; i <= n; ++i) t[static_cast<std::size_t>(i)] = static_cast<double>(i) / n;
        auto r = simulate(m, x0, t, kNoInputs, Method::Rk4, options());
        ASSERT_TRUE(r.has_value());
        const double err = std::fabs(r->x.back() - std::exp(-1.0));
        if (prev > 0) {
            EXPECT_NEAR(std::log2(prev / err), 4.0, 0.1) << n;
        }
        prev = err;
    }
}

// ---------------------------------------------------------------- core single step

TEST(SingleStep, ExplicitMethodsMatchTheirFormulas) {
    const Model m = load(kGrowth);
    const std::vector<double> x{1};
    EXPECT_EQ(step(m, x, {}, 0, 0.1, Method::Euler, options()).value(), std::vector<double>{1.1});
    EXPECT_EQ(step(m, x, {}, 0, 0.1, Method::Rk4, options()).value(), std::vector<double>{rk4_growth(1, 0.1)});
    EXPECT_EQ(step(m, x, {}, 0, 0.0, Method::Euler, options()).value(), x);
    // the fixed-step methods go backward with a negative step
    EXPECT_EQ(step(m, x, {}, 0, -0.1, Method::Euler, options()).value(), std::vector<double>{0.9});
}

TEST(SingleStep, HoldsTheGivenInputAtEveryStage) {
    const Model m = load(kLeaky);
    const std::vector<double> x{2}, u{1};
    // -0.5*2 + 1 = 0: a rest point with this input
    for (Method method : {Method::Euler, Method::Rk4, Method::Rk45, Method::Midpoint})
        EXPECT_EQ(step(m, x, u, 0, 0.5, method, options()).value(), x) << method_name(method);
}

TEST(SingleStep, MidpointAliasesBehaveAlike) {
    const Model m = load(kOscillator);
    const std::vector<double> x{1, 0.5};
    auto a = step(m, x, {}, 0, 0.3, parse_method("auto").value(), options()).value();
    auto b = step(m, x, {}, 0, 0.3, Method::Midpoint, options()).value();
    EXPECT_EQ(a, b);
}

TEST(SingleStep, AdaptiveNeedsAFiniteForwardSpan) {
    const Model m = load(kGrowth);
    const std::vector<double> x{1};
    const std::string message = "the adaptive method needs a finite t and a finite, non-negative dt";
    for (auto [t, dt] : {std::pair{0.0, -0.1}, {0.0, kInf}, {0.0, -kInf}, {0.0, kNaN}, {kInf, 0.1}, {kNaN, 0.1},
                         {-kInf, 1.0}}) {
        auto r = step(m, x, {}, t, dt, Method::Rk45, options());
        ASSERT_FALSE(r.has_value()) << t << " " << dt;
        EXPECT_EQ(r.error().kind(), 1u);
        EXPECT_EQ(r.error().display(), message);
    }
    EXPECT_EQ(step(m, x, {}, 3, 0.0, Method::Rk45, options()).value(), x);
    EXPECT_NEAR(step(m, x, {}, 0, 1, Method::Rk45, options()).value()[0], std::exp(1.0), 1e-7);
}

TEST(SingleStep, NonFiniteResultNamesTheEndTime) {
    const Model m = load(kTimesTen);
    auto r = step(m, std::vector<double>{1e308}, {}, 1, 0.5, Method::Euler, options());
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), 3u);
    EXPECT_EQ(r.error().display(), "the state became non-finite at t = 1.5");
}

// ---------------------------------------------------------------- adaptive interval

TEST(AdaptiveInterval, ConstantStateIsOneSubstep) {
    const Model m = load(kStill);
    Work w = Work::for_model(m);
    double x = 4, h_carry = 0;
    ASSERT_TRUE(rk45_interval(m, &x, InputSource::of_constant(nullptr, 0), 1, 3, options(), h_carry, w));
    EXPECT_EQ(x, 4);
    EXPECT_EQ(h_carry, 10);
    EXPECT_EQ(w.steps, 1u);
    EXPECT_EQ(w.rhs_evals, 7u);
    EXPECT_EQ(w.rejected_steps, 0u);

    // a carried step longer than the span tries the span first
    h_carry = 100;
    ASSERT_TRUE(rk45_interval(m, &x, InputSource::of_constant(nullptr, 0), 3, 4, options(), h_carry, w));
    EXPECT_EQ(h_carry, 5);
    EXPECT_EQ(w.steps, 2u);
}

TEST(AdaptiveInterval, SpanWithinTheGuardTakesNoSubstep) {
    const Model m = load(kGrowth);
    Work w = Work::for_model(m);
    double x = 1, h_carry = 0;
    ASSERT_TRUE(rk45_interval(m, &x, InputSource::of_constant(nullptr, 0), 0, 1e-15, options(), h_carry, w));
    EXPECT_EQ(x, 1);
    EXPECT_EQ(h_carry, 1e-15);
    EXPECT_EQ(w.rhs_evals, 0u);
    h_carry = 3;
    ASSERT_TRUE(rk45_interval(m, &x, InputSource::of_constant(nullptr, 0), 0, 2e-15, options(), h_carry, w));
    EXPECT_EQ(h_carry, 2e-15);
    EXPECT_EQ(w.rhs_evals, 0u);
}

TEST(AdaptiveInterval, RejectionsCountEvaluationsButNotSteps) {
    const Model m = load(kGrowth);
    Work w = Work::for_model(m);
    double x = 1, h_carry = 0;
    ASSERT_TRUE(rk45_interval(m, &x, InputSource::of_constant(nullptr, 0), 0, 10, options(), h_carry, w));
    EXPECT_GE(w.rejected_steps, 1u);
    EXPECT_EQ(w.rhs_evals, 7 * (w.steps + w.rejected_steps));
    EXPECT_NEAR(x / std::exp(10.0), 1.0, 1e-6);
}

TEST(AdaptiveInterval, JumpCollapsesTheStep) {
    const Model m = load(kJump);
    Work w = Work::for_model(m);
    double x = 0, h_carry = 0;
    auto st = rk45_interval(m, &x, InputSource::of_constant(nullptr, 0), 0, 1, options(), h_carry, w);
    ASSERT_FALSE(st.has_value());
    ASSERT_EQ(st.error().kind(), 2u);
    const auto& failed = std::get<StepFailed>(st.error().variant());
    EXPECT_EQ(failed.message, "the adaptive step collapsed; the right-hand side may be discontinuous or stiff");
    EXPECT_LE(failed.t, 0.5);
    EXPECT_GT(failed.t, 0.5 - 1e-13);
    EXPECT_EQ(st.error().display(), "the implicit step at t = " + format_number(failed.t) +
                                        " did not converge: the adaptive step collapsed; the right-hand side may "
                                        "be discontinuous or stiff");
    EXPECT_EQ(x, 0);  // the last accepted state
}

TEST(AdaptiveInterval, SubstepCapIsPerInterval) {
    const Model m = load(kGrowth);
    Work w = Work::for_model(m);
    SolverOptions o = options();
    o.max_substeps = 3;
    double x = 1, h_carry = 0;
    auto st = rk45_interval(m, &x, InputSource::of_constant(nullptr, 0), 0, 10, o, h_carry, w);
    ASSERT_FALSE(st.has_value());
    const auto& failed = std::get<StepFailed>(st.error().variant());
    EXPECT_EQ(failed.message, "more than 3 adaptive substeps in one output interval");
    EXPECT_EQ(w.steps + w.rejected_steps, 4u);
}

TEST(AdaptiveInterval, InfiniteErrorEstimate) {
    // only the first stage (at t = 0) sees the huge slope; with rtol 0 the scale is atol alone
    const Model m = load(R"({"n_states": 1, "n_inputs": 0, "n_params": 0, "param_values": [],
        "rhs": [["where", ["gt", ["ref", 1], ["const", 0]], ["const", 0], ["const", 1e300]]]})");
    Work w = Work::for_model(m);
    SolverOptions o = options();
    o.rtol = 0;
    o.atol = 1e-300;
    double x = 0, h_carry = 0;
    auto st = rk45_interval(m, &x, InputSource::of_constant(nullptr, 0), 0, 1, o, h_carry, w);
    ASSERT_FALSE(st.has_value());
    EXPECT_EQ(st.error().display(), "the error estimate became non-finite at t = 0");
}

TEST(AdaptiveInterval, MeetsItsTolerance) {
    const Model m = load(kDecay);
    std::vector<double> t;
    for (int i = 0; i <= 50; ++i) t.push_back(0.1 * i);
    for (double rtol : {1e-6, 1e-8, 1e-10}) {
        SolverOptions o = options();
        o.rtol = rtol;
        o.atol = rtol * 1e-2;
        auto r = simulate(m, std::vector<double>{1}, t, kNoInputs, Method::Rk45, o);
        ASSERT_TRUE(r.has_value());
        double worst = 0;
        for (std::size_t k = 0; k < t.size(); ++k) worst = std::max(worst, std::fabs(r->x[k] - std::exp(-t[k])));
        EXPECT_LT(worst, 10 * rtol) << rtol;
        EXPECT_EQ(r->rhs_evals, 7 * (r->steps + r->rejected_steps));
    }
}

TEST(AdaptiveInterval, CarriedStepAndTinyIntervalThenCollapse) {
    const Model m = load(kStill);
    auto r = simulate(m, std::vector<double>{1}, std::vector<double>{0, 1, 2, 3}, kNoInputs, Method::Rk45, options());
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->steps, 3u);
    EXPECT_EQ(r->rhs_evals, 21u);

    // The empty first interval leaves h = 1e-15; five times that is below the next guard.
    auto bad = simulate(m, std::vector<double>{1}, std::vector<double>{0, 1e-15, 1}, kNoInputs, Method::Rk45, options());
    ASSERT_FALSE(bad.has_value());
    EXPECT_EQ(bad.error().display(), "the implicit step at t = " + format_number(1e-15 + 1e-15) +
                                         " did not converge: the adaptive step collapsed; the right-hand side "
                                         "may be discontinuous or stiff");
}

// ---------------------------------------------------------------- implicit midpoint

TEST(Midpoint, LinearModelTakesOneNewtonUpdatePerStep) {
    const Model m = load(kGrowth);
    std::vector<double> t;
    for (int i = 0; i <= 10; ++i) t.push_back(0.1 * i);
    auto r = simulate(m, std::vector<double>{1}, t, kNoInputs, Method::Midpoint, options());
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->steps, 10u);
    EXPECT_EQ(r->rhs_evals, 30u);
    EXPECT_EQ(r->jacobian_evals, 10u);
    EXPECT_EQ(r->newton_iterations, 10u);
    EXPECT_EQ(r->rejected_steps, 0u);
    EXPECT_EQ(r->method, Method::Midpoint);
    // the midpoint rule for x' = x multiplies by (1 + h/2)/(1 - h/2) per step
    EXPECT_NEAR(r->x[1], 1.05 / 0.95, 1e-14);
}

TEST(Midpoint, SingularMatrixAtEveryLevel) {
    const Model m = load(kSingular);
    Work w = Work::for_model(m);
    double x = 1;
    auto st = midpoint_recursive(m, &x, InputSource::of_constant(nullptr, 0), 0, 1, options(), w, 0);
    ASSERT_FALSE(st.has_value());
    EXPECT_EQ(st.error().display(), "the implicit step at t = 0 did not converge: the Newton iteration matrix is singular");
    EXPECT_EQ(w.rejected_steps, 6u);
    EXPECT_EQ(w.jacobian_evals, 7u);
    EXPECT_EQ(w.rhs_evals, 14u);
    EXPECT_EQ(w.newton_iterations, 0u);
    EXPECT_EQ(x, 1);
}

TEST(Midpoint, NoStatesConvergeAtOnce) {
    const Model m = load(kNoStates);
    Work w = Work::for_model(m);
    ASSERT_TRUE(midpoint_recursive(m, nullptr, InputSource::of_constant(nullptr, 0), 0, 1, options(), w, 0));
    EXPECT_EQ(w.rhs_evals, 2u);
    EXPECT_EQ(w.newton_iterations, 0u);
    EXPECT_EQ(w.jacobian_evals, 0u);
}

TEST(Midpoint, IterationLimitMessageFromTheDeepestLevel) {
    const Model m = load(kGrowth);
    SolverOptions o = options();
    o.max_newton = 0;
    Work w = Work::for_model(m);
    double x = 1;
    auto st = midpoint_recursive(m, &x, InputSource::of_constant(nullptr, 0), 0, 1, o, w, 0);
    ASSERT_FALSE(st.has_value());
    // the residual of the Euler predictor at depth 6, h = 1/64, in the method's order
    const double h = 1.0 / 64;
    const double z = 1.0 * h + 1.0;
    const double mean = (1.0 + z) * 0.5;
    const double r = (z - 1.0) - mean * h;
    EXPECT_EQ(st.error().display(), "the implicit step at t = 0 did not converge: Newton residual " +
                                        format_exponent(std::fabs(r), 3) +
                                        " after 0 iterations (tolerance 1.0e-10); reduce the step or use rk45");
    EXPECT_EQ(w.rejected_steps, 6u);
    EXPECT_EQ(w.jacobian_evals, 0u);
}

TEST(Midpoint, NaNRightHandSideIsCaughtByTheDriver) {
    const Model m = load(kNaNRhs);
    auto r = simulate(m, std::vector<double>{1}, std::vector<double>{0, 1}, kNoInputs, Method::Midpoint, options());
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().display(), "the state became non-finite at t = 1");
}

TEST(Midpoint, PivotsOnTheLargerCandidateAndKeepsTheFirstOfEqualOnes) {
    // x' = a y + c x, y' = b x - 0.1 y is linear: one Newton update from the Euler predictor solves
    // a step, by the LU factors of I - J h/2. With h/2 = 1/16 and c = 0 the first column is
    // (1, b/16) in magnitude: b = -16 makes the two candidates equal (the first is kept), b = -40
    // swaps the rows. The update, written out in the method's order of operations:
    Model m = load(R"({"n_states": 2, "n_inputs": 0, "n_params": 3, "param_values": [3, -16, 0],
      "rhs": [["add", ["mul", ["ref", 2], ["ref", 1]], ["mul", ["ref", 4], ["ref", 0]]],
              ["sub", ["mul", ["ref", 3], ["ref", 0]], ["mul", ["const", 0.1], ["ref", 1]]]],
      "jacobian": [["ref", 4], ["ref", 2], ["ref", 3], ["const", -0.1]]})");
    const double h = 0.125, hh = 0.5 * h, a = 3, c = 0, x[2] = {0.1, 1.0};
    for (const double b : {-16.0, -40.0}) {
        m.params = {a, b, c};
        const auto f = [&](const double* v) { return std::array{a * v[1] + c * v[0], b * v[0] - 0.1 * v[1]}; };
        const auto k1 = f(x);
        const double z[2] = {k1[0] * h + x[0], k1[1] * h + x[1]}, mid[2] = {(x[0] + z[0]) * 0.5, (x[1] + z[1]) * 0.5};
        const auto k2 = f(mid);
        double r[2] = {(z[0] - x[0]) - k2[0] * h, (z[1] - x[1]) - k2[1] * h};
        double lu[2][2] = {{1.0 - c * hh, 0.0 - a * hh}, {0.0 - b * hh, 1.0 - (-0.1) * hh}};
        if (std::fabs(lu[1][0]) > std::fabs(lu[0][0])) {
            std::swap(lu[0], lu[1]);
            std::swap(r[0], r[1]);
        }
        const double l = lu[1][0] / lu[0][0];
        const double d1 = (r[1] - l * r[0]) / (lu[1][1] - l * lu[0][1]);
        const double d0 = (r[0] - lu[0][1] * d1) / lu[0][0];
        const auto got = step(m, x, {}, 0, h, Method::Midpoint, options());
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(std::bit_cast<std::uint64_t>((*got)[0]), std::bit_cast<std::uint64_t>(z[0] - d0)) << "b = " << b;
        EXPECT_EQ(std::bit_cast<std::uint64_t>((*got)[1]), std::bit_cast<std::uint64_t>(z[1] - d1)) << "b = " << b;
    }
}

TEST(Midpoint, ConservesQuadraticEnergyOfALosslessOscillator) {
    const Model m = load(kOscillator);
    std::vector<double> t;
    for (int i = 0; i <= 2000; ++i) t.push_back(0.05 * i);
    auto r = simulate(m, std::vector<double>{1, 0.5}, t, kNoInputs, Method::Midpoint, options());
    ASSERT_TRUE(r.has_value());
    const double e0 = r->energy[0];
    EXPECT_EQ(e0, 0.625);
    for (double e : r->energy) EXPECT_NEAR(e, e0, 1e-13);
    // an explicit method of the same order drifts visibly
    auto rk4 = simulate(m, std::vector<double>{1, 0.5}, t, kNoInputs, Method::Rk4, options());
    EXPECT_GT(std::fabs(rk4->energy.back() - e0), 1e-9);
}

// ---------------------------------------------------------------- driver

struct Invalid {
    const char* what;
    const char* model;
    std::vector<double> x0;
    std::vector<double> t;
    std::vector<double> series;  // empty: no series
    std::string message;
};

class DriverValidation : public testing::TestWithParam<Invalid> {};

TEST_P(DriverValidation, ReportsTheFirstProblem) {
    const Invalid& c = GetParam();
    const Model m = load(c.model);
    const Inputs in = c.series.empty() ? Inputs{} : Inputs{c.series.data(), c.series.size(), Interp::Hold};
    auto r = simulate(m, c.x0, c.t, in, Method::Euler, options());
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), 1u);
    EXPECT_EQ(r.error().display(), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, DriverValidation,
    testing::Values(
        Invalid{"state_before_grid", kOscillator, {1}, {0}, {}, "initial state has 1 entries, the model has 2 states"},
        Invalid{"one_point", kGrowth, {1}, {0}, {1}, "the time grid needs at least two points"},
        Invalid{"repeat", kGrowth, {1}, {0, 1, 1}, {}, "the time grid must be strictly increasing (t[2] = 1 after t[1] = 1)"},
        Invalid{"nan_last", kGrowth, {1}, {0, kNaN}, {}, "the time grid must be strictly increasing (t[1] = NaN after t[0] = 0)"},
        Invalid{"nan_first", kGrowth, {1}, {kNaN, 1}, {}, "the time grid must be strictly increasing (t[1] = 1 after t[0] = NaN)"},
        Invalid{"decreasing", kGrowth, {1}, {0, 0.5, 0.25}, {}, "the time grid must be strictly increasing (t[2] = 0.25 after t[1] = 0.5)"},
        Invalid{"grid_before_series", kGrowth, {1}, {1, 0}, {1, 2}, "the time grid must be strictly increasing (t[1] = 0 after t[0] = 1)"},
        Invalid{"no_inputs", kGrowth, {1}, {0, 1}, {1, 2}, "the model has no inputs but inputs were given"},
        Invalid{"series_size", kTwoInputs, {1}, {0, 1, 2}, {1, 2, 3, 4, 5}, "inputs must be len(t) x n_inputs = 3 x 2 = 6 values, got 5"}),
    [](const testing::TestParamInfo<Invalid>& info) { return std::string(info.param.what); });

TEST(Driver, InitialStateMustBeFinite) {
    const Model m = load(kOscillator);
    auto r = simulate(m, std::vector<double>{1, kInf}, std::vector<double>{0.25, 1}, kNoInputs, Method::Rk4, options());
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), 3u);
    EXPECT_EQ(r.error().display(), "the state became non-finite at t = 0.25");
}

TEST(Driver, OverflowingSeriesSizeIsReportedExactly) {
    const Model m = load(R"({"n_states": 0, "n_inputs": 4611686018427387904, "n_params": 0, "param_values": [],
        "rhs": []})");
    const std::vector<double> t{0, 1, 2, 3, 4, 5, 6, 7};
    const double one = 1;
    auto r = simulate(m, {}, t, Inputs{&one, 1, Interp::Hold}, Method::Euler, options());
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().display(),
              "inputs must be len(t) x n_inputs = 8 x 4611686018427387904 = 36893488147419103232 values, got 1");
    // without a series the same product would size the input record: refused, not wrapped
    EXPECT_THROW((void)simulate(m, {}, t, kNoInputs, Method::Euler, options()), std::bad_alloc);
}

TEST(Driver, CountersPerMethod) {
    const Model m = load(kGrowth);
    const std::vector<double> t{0, 0.1, 0.3, 0.6, 1.0};
    auto e = simulate(m, std::vector<double>{1}, t, kNoInputs, Method::Euler, options()).value();
    EXPECT_EQ(e.steps, 4u);
    EXPECT_EQ(e.rhs_evals, 4u);
    EXPECT_EQ(e.newton_iterations + e.jacobian_evals + e.rejected_steps, 0u);
    EXPECT_EQ(e.method, Method::Euler);
    auto k = simulate(m, std::vector<double>{1}, t, kNoInputs, Method::Rk4, options()).value();
    EXPECT_EQ(k.steps, 4u);
    EXPECT_EQ(k.rhs_evals, 16u);
    EXPECT_EQ(k.newton_iterations + k.jacobian_evals + k.rejected_steps, 0u);
    // each interval is one Euler step of its own length
    double x = 1;
    for (std::size_t i = 0; i + 1 < t.size(); ++i) {
        x = x * (t[i + 1] - t[i]) + x;
        EXPECT_EQ(e.x[i + 1], x);
    }
}

TEST(Samples, LargeBlocksAreKeptHandedOnAndReturnedTheWayTheyCame) {
    // blocks of 4 MiB and more come from their own mapping: the next result of the same size gets
    // the block back, and blocks pushed out of the kept few, or never kept, are returned to the
    // system the way they came (a mapping freed as heap memory aborts)
    const std::size_t big = (std::size_t{1} << 19) + 5;
    const double* first = nullptr;
    {
        Samples a(big);
        for (std::size_t k = 0; k < a.size(); ++k) a[k] = static_cast<double>(k);
        EXPECT_EQ(a.back(), static_cast<double>(big - 1));
        first = a.data();
    }
    {
        Samples b(big);
        EXPECT_EQ(b.data(), first);
        std::fill(b.begin(), b.end(), 1.0);
    }
    std::vector<Samples> many;
    for (std::size_t k = 0; k < 10; ++k) many.emplace_back(big + k, 2.0);
    many.clear();  // ten blocks for eight places: the oldest leave
    Samples beyond((std::size_t{1} << 25) + 1, 3.0);  // more than all kept blocks together
    EXPECT_EQ(beyond.front() + beyond.back(), 6.0);
}

TEST(Driver, ResultsInMemoryOtherResultsLeftAreWhollyWritten) {
    // a run's result placed in the memory another result of the same size has just left holds
    // what it holds in fresh memory: every value recorded is written by the run (long grids, so
    // that the memory is kept and handed on)
    const Model m = load(kLeaky);
    std::vector<double> t(70000), u(t.size()), v(t.size());
    for (std::size_t k = 0; k < t.size(); ++k) {
        t[k] = 1e-4 * static_cast<double>(k);
        u[k] = std::sin(1e-3 * static_cast<double>(k));
        v[k] = -u[k];
    }
    const auto flat = [](const Trajectory& r) {
        std::vector<double> out;
        for (const Samples* s : {&r.t, &r.x, &r.u, &r.energy, &r.supplied_power, &r.outputs})
            out.insert(out.end(), s->begin(), s->end());
        return out;
    };
    for (auto [method, dense] : {std::pair{Method::Euler, false}, {Method::Rk4, false}, {Method::Rk45, false},
                                 {Method::Rk45, true}, {Method::Midpoint, false}}) {
        const std::string where = std::string(method_name(method)) + (dense ? " dense" : "");
        const RunChoices choices{std::nullopt, dense};
        const Inputs inputs{u.data(), u.size(), Interp::Linear};
        std::vector<double> want;
        {
            const auto first = simulate(m, std::vector<double>{1.0}, t, inputs, method, options(), choices);
            ASSERT_TRUE(first.has_value()) << where;
            want = flat(*first);
        }
        const double* left = nullptr;
        {
            // another run's result, overwritten with a NaN no run computes before it ends
            auto other = simulate(m, std::vector<double>{-3.0}, t, Inputs{v.data(), v.size(), Interp::Hold}, method,
                                  options(), choices);
            ASSERT_TRUE(other.has_value()) << where;
            for (Samples* s : {&other->t, &other->x, &other->u, &other->energy, &other->supplied_power, &other->outputs})
                std::fill(s->begin(), s->end(), std::bit_cast<double>(std::uint64_t{0x7ff4'0000'dead'beef}));
            left = other->x.data();
        }
        const auto again = simulate(m, std::vector<double>{1.0}, t, inputs, method, options(), choices);
        ASSERT_TRUE(again.has_value()) << where;
        const std::vector<double> got = flat(*again);
        ASSERT_EQ(got.size(), want.size()) << where;
        EXPECT_EQ(std::memcmp(got.data(), want.data(), got.size() * sizeof(double)), 0) << where;
        bool reused = false;
        for (const Samples* s : {&again->t, &again->x, &again->u, &again->energy, &again->supplied_power, &again->outputs})
            reused = reused || s->data() == left;
        EXPECT_TRUE(reused) << where << ": the memory another result left should serve the next";
    }
}

TEST(Driver, TwoPointGridRecordsTwoRows) {
    const Model m = load(kLeaky);
    auto r = simulate(m, std::vector<double>{2}, std::vector<double>{0, 1}, kNoInputs, Method::Midpoint, options());
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->t, (std::vector<double>{0, 1}));
    EXPECT_EQ(r->x.size(), 2u);
    EXPECT_EQ(r->x[0], 2);
    EXPECT_EQ(r->u, (std::vector<double>{0, 0}));
    EXPECT_EQ(r->energy[0], 2);
    EXPECT_EQ(r->energy[1], 0.5 * (r->x[1] * r->x[1]));
    EXPECT_EQ(r->supplied_power, (std::vector<double>{0, 0}));
    EXPECT_EQ(r->outputs, r->x);
}

TEST(Driver, RecordsTheLastGridPointInput) {
    const Model m = load(kTwoInputs);
    const std::vector<double> t{0, 1, 2};
    const std::vector<double> series{1, 2, 3, 4, 5, 7};
    auto hold = simulate(m, std::vector<double>{1}, t, Inputs{series.data(), series.size(), Interp::Hold},
                         Method::Euler, options()).value();
    EXPECT_EQ(hold.u, (std::vector<double>{1, 2, 3, 4, 3, 4}));
    auto linear = simulate(m, std::vector<double>{1}, t, Inputs{series.data(), series.size(), Interp::Linear},
                           Method::Euler, options()).value();
    EXPECT_EQ(linear.u, (std::vector<double>{1, 2, 3, 4, 5, 7}));
    // outputs (u1, t) and power x*u0 use the recorded input and the grid time
    EXPECT_EQ(hold.outputs, (std::vector<double>{2, 0, 4, 1, 4, 2}));
    EXPECT_EQ(linear.outputs, (std::vector<double>{2, 0, 4, 1, 7, 2}));
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(hold.supplied_power[k], hold.x[k] * hold.u[2 * k]);
        EXPECT_EQ(hold.energy[k], hold.x[k] * hold.x[k]);
    }
    // Euler sees row i of the series at the start of interval i either way
    EXPECT_EQ(hold.x, (std::vector<double>{1, 4, 11}));
    EXPECT_EQ(linear.x, hold.x);
}

TEST(Driver, RecordingSwitchesAndAbsentSeries) {
    const Model m = load(kTwoInputs);
    SolverOptions o = options();
    o.record_energy = false;
    o.record_outputs = false;
    auto r = simulate(m, std::vector<double>{1}, std::vector<double>{0, 1, 2}, kNoInputs, Method::Rk4, o).value();
    EXPECT_TRUE(r.energy.empty());
    EXPECT_TRUE(r.supplied_power.empty());
    EXPECT_TRUE(r.outputs.empty());
    EXPECT_EQ(r.u, std::vector<double>(6, 0.0));
    EXPECT_EQ(r.x, (std::vector<double>{1, 1, 1}));
    auto plain = simulate(load(kGrowth), std::vector<double>{1}, std::vector<double>{0, 1}, kNoInputs, Method::Euler,
                          options()).value();
    EXPECT_TRUE(plain.outputs.empty());
    EXPECT_TRUE(plain.u.empty());
    EXPECT_EQ(plain.energy, (std::vector<double>{0, 0}));
}

TEST(Driver, StateTurningNonFiniteNamesTheIntervalEnd) {
    const Model m = load(kTimesTen);
    // each Euler step multiplies by 1 + 10 h: finite after the first interval, not after the second
    auto big = simulate(m, std::vector<double>{1e307}, std::vector<double>{0, 0.5, 2}, kNoInputs, Method::Euler, options());
    ASSERT_FALSE(big.has_value());
    EXPECT_EQ(big.error().display(), "the state became non-finite at t = 2");
}

// ---------------------------------------------------------------- batch

std::vector<std::vector<double>> states(std::initializer_list<double> values) {
    std::vector<std::vector<double>> out;
    for (double v : values) out.push_back({v});
    return out;
}

TEST(Batch, ResultsInIndexOrderAndEqualToSingleRuns) {
    const Model m = load(kLeaky);
    const std::vector<double> t{0, 0.5, 1, 2};
    std::vector<std::vector<double>> x0s;
    for (int i = 0; i < 37; ++i) x0s.push_back({0.25 * i});
    for (Method method : {Method::Euler, Method::Rk45, Method::Midpoint}) {
        auto r = simulate_batch(m, x0s, nullptr, t, kNoInputs, method, options());
        ASSERT_TRUE(r.has_value());
        ASSERT_EQ(r->size(), x0s.size());
        for (std::size_t i = 0; i < x0s.size(); ++i) {
            auto single = simulate(m, x0s[i], t, kNoInputs, method, options()).value();
            EXPECT_EQ((*r)[i].x, single.x) << i;
            EXPECT_EQ((*r)[i].energy, single.energy) << i;
            EXPECT_EQ((*r)[i].rhs_evals, single.rhs_evals) << i;
        }
    }
}

TEST(Batch, ParameterSetsUsePrivateCopies) {
    const Model m = load(kLeaky);
    const std::vector<double> t{0, 1, 2};
    const auto x0s = states({1, 1, 1});
    const std::vector<std::vector<double>> params{{0.1}, {2.0}, {0.1}};
    auto r = simulate_batch(m, x0s, &params, t, kNoInputs, Method::Midpoint, options());
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(m.params, std::vector<double>{0.5});
    EXPECT_EQ((*r)[0].x, (*r)[2].x);
    for (std::size_t i = 0; i < 3; ++i) {
        Model copy = m;
        copy.params = params[i];
        auto single = simulate(copy, x0s[i], t, kNoInputs, Method::Midpoint, options()).value();
        EXPECT_EQ((*r)[i].x, single.x);
        EXPECT_EQ((*r)[i].energy, single.energy);
    }
    EXPECT_NE((*r)[0].x, (*r)[1].x);
}

TEST(Batch, CountMismatchAndShortParameterSet) {
    const Model m = load(kLeaky);
    const std::vector<double> t{0, 1};
    const std::vector<std::vector<double>> two{{1}, {2}};
    auto r = simulate_batch(m, states({1, 2, 3}), &two, t, kNoInputs, Method::Euler, options());
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().display(), "3 initial states but 2 parameter sets");

    const std::vector<std::vector<double>> short_row{{1}, {}, {3}};
    auto s = simulate_batch(m, states({1, 2, 3}), &short_row, t, kNoInputs, Method::Euler, options());
    ASSERT_FALSE(s.has_value());
    EXPECT_EQ(s.error().kind(), 1u);
    EXPECT_EQ(s.error().display(), "expected 1 parameter values, got 0");
    EXPECT_EQ(m.params, std::vector<double>{0.5});
}

TEST(Batch, EmptyBatchValidatesNothing) {
    const Model m = load(kLeaky);
    const std::vector<double> one_point{0};
    auto r = simulate_batch(m, {}, nullptr, one_point, kNoInputs, Method::Euler, options());
    ASSERT_TRUE(r.has_value());
    EXPECT_TRUE(r->empty());
    const std::vector<std::vector<double>> none;
    auto p = simulate_batch(m, {}, &none, one_point, kNoInputs, Method::Euler, options());
    ASSERT_TRUE(p.has_value());
    EXPECT_TRUE(p->empty());
}

TEST(Batch, SharedFaultIsReportedOnce) {
    const Model m = load(kLeaky);
    const std::vector<double> one_point{0};
    for (std::size_t n : {1u, 2u, 16u}) {
        std::vector<std::vector<double>> x0s(n, std::vector<double>{1});
        auto r = simulate_batch(m, x0s, nullptr, one_point, kNoInputs, Method::Euler, options());
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().display(), "the time grid needs at least two points");
    }
}

TEST(Batch, OneFailingRunFailsTheBatch) {
    const Model m = load(kTimesTen);
    const std::vector<double> t{0, 1, 2};
    std::vector<std::vector<double>> x0s(20, std::vector<double>{1});
    x0s[13] = {1e307};  // overflows in the first interval
    auto r = simulate_batch(m, x0s, nullptr, t, kNoInputs, Method::Rk4, options());
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().display(), "the state became non-finite at t = 1");

    // several runs failing differently: exactly one of their errors comes back
    x0s[3] = {1, 2};
    auto several = simulate_batch(m, x0s, nullptr, t, kNoInputs, Method::Rk4, options());
    ASSERT_FALSE(several.has_value());
    const std::string text = several.error().display();
    EXPECT_TRUE(text == "the state became non-finite at t = 1" || text == "initial state has 2 entries, the model has 1 states")
        << text;
}

TEST(Batch, SingleRun) {
    const Model m = load(kGrowth);
    auto r = simulate_batch(m, states({2}), nullptr, std::vector<double>{0, 0.1}, kNoInputs, Method::Euler, options());
    ASSERT_TRUE(r.has_value());
    ASSERT_EQ(r->size(), 1u);
    EXPECT_EQ((*r)[0].x, (std::vector<double>{2, 2.2}));
}

}  // namespace
}  // namespace zarel
