// Rodas5P: the stiffly accurate, L-stable Rosenbrock method of order 5 with an embedded estimate
// of order 4 and a continuous extension of order 4, which uses the model's exact Jacobian. Its
// constants, its step-size controller and its arithmetic over W lanes of lane-major arrays (value
// i of lane l at [i W + l]; W = 1 is a run alone), every lane's terms in the same order whatever W.
#pragma once

#include <cmath>
#include <cstddef>

#include "dense_stepper.hpp"

namespace zarel::rosenbrock {

// Steinebach, "Construction of Rosenbrock-Wanner method Rodas5P and numerical benchmarks within
// the Julia Differential Equations package", BIT Numer. Math. 63 (2023), in the transformed form
// of Hairer & Wanner, Solving Ordinary Differential Equations II, IV.7 (that of their code
// RODAS). With J the Jacobian and f_t the time derivative at the step's start (t, x), the stage
// increments U_s solve
//     (I - gamma h J) U_s = gamma h (f(t + c_s h, Y_s) + sum_{j<s} (C_sj / h) U_j + d_s h f_t),
// Y_s = x + sum_{j<s} a_sj U_j for s < 6, Y_6 = Y_5 + U_5, Y_7 = Y_6 + U_6; the solution is
// Y_7 + U_7 and U_7 its error estimate. Stages numbered from 0.
constexpr int kStages = 8;
constexpr int kSumStages = 6;  // the stages whose states are sums over the increments before them
constexpr double kGamma = 0.21193756319429014;
constexpr double kTime[kStages] = {0.0, 0.6358126895828704, 0.4095798393397535, 0.9769306725060716,
                                   0.4288403609558664, 1.0, 1.0, 1.0};
constexpr double kA[kSumStages][kSumStages - 1] = {
    {},
    {3.0},
    {2.849394379747939, 0.45842242204463923},
    {-6.954028509809101, 2.489845061869568, -10.358996098473584},
    {2.8029986275628964, 0.5072464736228206, -0.3988312541770524, -0.04721187230404641},
    {-7.502846399306121, 2.561846144803919, -11.627539656261098, -0.18268767659942256, 0.030198172008377946},
};
constexpr double kC[kStages][kStages - 1] = {
    {},
    {-14.155112264123755},
    {-17.97296035885952, -2.859693295451294},
    {147.12150275711716, -1.41221402718213, 71.68940251302358},
    {165.43517024871676, -0.4592823456491126, 42.90938336958603, -5.961986721573306},
    {24.854864614690072, -3.0009227002832186, 47.4931110020768, 5.5814197821558125, -0.6610691825249471},
    {30.91273214028599, -3.1208243349937974, 77.79954646070892, 34.28646028294783, -19.097331116725623,
     -28.087943162872662},
    {37.80277123390563, -3.2571969029072276, 112.26918849496327, 66.9347231244047, -40.06618937091002,
     -54.66780262877968, -9.48861652309627},
};
// the stages' weights of f_t (zero from stage 5 on)
constexpr double kD[kStages] = {0.21193756319429014, -0.42387512638858027, -0.3384627126235924,
                                1.8046452872882734,  2.325825639765069,    0.0, 0.0, 0.0};
// The continuous extension at fraction theta of an accepted step from x to x_new:
//     (1 - theta) x + theta (x_new + (1 - theta) (D_0 + theta (D_1 + theta D_2))),
// D_k = sum_s kDense[k][s] U_s.
constexpr double kDense[3][kStages] = {
    {25.948786856663858, -2.5579724845846235, 10.433815404888879, -2.3679251022685204, 0.524948541321073,
     1.1241088310450404, 0.4272876194431874, -0.17202221070155493},
    {-9.91568850695171, -0.9689944594115154, 3.0438037242978453, -24.495224566215796, 20.176138334709044,
     15.98066361424651, -6.789040303419874, -6.710236069923372},
    {11.419903575922262, 2.8879645146136994, 72.92137995996029, 80.12511834622643, -52.072871366152654,
     -59.78993625266729, -0.15582684282751913, 4.883087185713722},
};

// Step-size control (Hairer & Wanner II, IV.8): h_new = h * safety * err^(-1/5), the estimate
// being of order 4; growth bounded as RODAS bounds it, shrinking after a rejection.
constexpr double kSafety = 0.9;
constexpr double kExponent = -0.2;
constexpr double kMinGrowth = 0.2;
constexpr double kMaxGrowth = 6.0;
constexpr double kMinShrink = 0.1;
constexpr double kMaxShrink = 0.9;

inline double step_factor(double errnorm, bool) {
    if (errnorm == 0.0) return kMaxGrowth;
    const double f = kSafety * std::pow(errnorm, kExponent);
    if (errnorm <= 1.0) return std::fmin(kMaxGrowth, std::fmax(kMinGrowth, f));
    return std::fmin(kMaxShrink, std::fmax(kMinShrink, f));
}

constexpr StepControl kControl{5, step_factor, true};

// The error norm an attempt gets when its iteration matrix I - gamma h J is singular or not
// finite: rejected, the step shrinking by kMinShrink.
constexpr double kSingular = 1e300;

// The right-hand side of stage s's linear system for every lane, into b: gamma h (f +
// sum_{j<s} (C_sj / h) U_j + d_s h f_t), the terms in that order; U holds the increments before
// s (n W values each), f_t is null for a model whose right-hand side reads neither time nor
// inputs. gh[l] = gamma h, ch[j][l] = C_sj / h, dh[l] = d_s h.
template <std::size_t W>
inline void stage_rhs(int s, const double* __restrict f, const double* __restrict U, const double* __restrict f_t,
                      std::size_t n, const double* gh, const double (*ch)[W], const double* dh, double* __restrict b) {
    const std::size_t nw = n * W;
    for (std::size_t i = 0; i < nw; i += W)
        for (std::size_t l = 0; l < W; ++l) {
            double acc = f[i + l];
            for (int j = 0; j < s; ++j) acc = acc + ch[j][l] * U[j * nw + i + l];
            if (f_t && kD[s] != 0.0) acc = acc + dh[l] * f_t[i + l];
            b[i + l] = gh[l] * acc;
        }
}

// The state of stage s into y: x + sum_{j<s} a_sj U_j for s < kSumStages, else y + U_{s-1}
// (y holding stage s - 1's state).
template <std::size_t W>
inline void stage_state(int s, const double* __restrict x, const double* __restrict U, std::size_t n,
                        double* __restrict y) {
    const std::size_t nw = n * W;
    if (s >= kSumStages) {
        for (std::size_t i = 0; i < nw; ++i) y[i] = y[i] + U[(s - 1) * nw + i];
        return;
    }
    for (std::size_t i = 0; i < nw; ++i) {
        double acc = x[i];
        for (int j = 0; j < s; ++j) acc = acc + kA[s][j] * U[j * nw + i];
        y[i] = acc;
    }
}

// The terms D_0, D_1, D_2 of the continuous extension from the increments U (n W values each),
// into d (3 n W values).
template <std::size_t W>
inline void extension_terms(const double* __restrict U, std::size_t n, double* __restrict d) {
    const std::size_t nw = n * W;
    for (int k = 0; k < 3; ++k)
        for (std::size_t i = 0; i < nw; ++i) {
            double acc = 0.0;
            for (int s = 0; s < kStages; ++s) acc = acc + kDense[k][s] * U[s * nw + i];
            d[k * nw + i] = acc;
        }
}

// The continuous extension at theta of one lane's accepted step from x to xn (n values each W
// apart, terms d from extension_terms at the same lane) into out (n contiguous values).
template <std::size_t W>
inline void extension_at(double theta, const double* x, const double* xn, const double* d, std::size_t n,
                         double* out) {
    const double rest = 1.0 - theta;
    const std::size_t nw = n * W;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t e = i * W;
        const double inner = d[e] + theta * (d[nw + e] + theta * d[2 * nw + e]);
        out[i] = rest * x[e] + theta * (xn[e] + rest * inner);
    }
}

}  // namespace zarel::rosenbrock
