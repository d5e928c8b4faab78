// Dense LU factors and solves over W lanes of lane-major arrays (value j of lane l at [j W + l],
// matrix entry (i, j) at [(i n + j) W + l]; W = 1 is a run alone), each lane's operations in the
// same order whatever W, so a lane's bits are those of its run alone: the lanes' divisions are
// independent instructions side by side rather than one lane's chain after another's. Each lane
// pivots on its own rows. Used by every implicit method's Newton and linear solves.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <utility>

namespace zarel {

template <std::size_t W>
using Lanes = std::array<bool, W>;

template <std::size_t W>
bool any(const Lanes<W>& lanes) {
    return std::any_of(lanes.begin(), lanes.end(), [](bool b) { return b; });
}

// Each lane's largest magnitude of v's n values, starting from 0; NaN entries leave the running
// maximum unchanged.
template <std::size_t W>
std::array<double, W> max_abs(const double* v, std::size_t n) {
    std::array<double, W> m{};
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t l = 0; l < W; ++l) {
            const double a = std::fabs(v[i * W + l]);
            m[l] = a > m[l] ? a : m[l];
        }
    return m;
}

// In-place LU factorisation of each lane's matrix a with partial pivoting: U on and above the
// diagonal, the unit lower factor's multipliers below it. The first of equal pivot candidates
// wins, so ties never swap. Clears the lanes whose matrix is singular; the elimination runs on
// every lane (a cleared lane's numbers are never read).
template <std::size_t W>
void lu_factor(double* a, std::size_t* pivots, std::size_t n, Lanes<W>& lanes) {
    const auto at = [=](std::size_t i, std::size_t j, std::size_t l) -> double& { return a[(i * n + j) * W + l]; };
    for (std::size_t c = 0; c < n; ++c) {
        for (std::size_t l = 0; l < W; ++l) {
            if (!lanes[l]) continue;
            std::size_t p = c;
            double best = std::fabs(at(c, c, l));
            for (std::size_t r = c + 1; r < n; ++r)
                if (std::fabs(at(r, c, l)) > best) {
                    p = r;
                    best = std::fabs(at(r, c, l));
                }
            if (best == 0.0 || !std::isfinite(best)) {
                lanes[l] = false;
                continue;
            }
            pivots[c * W + l] = p;
            if (p != c)
                for (std::size_t j = 0; j < n; ++j) std::swap(at(c, j, l), at(p, j, l));
        }
        if (!any(lanes)) return;
        for (std::size_t r = c + 1; r < n; ++r) {
            bool eliminates = false;
            for (std::size_t l = 0; l < W; ++l) {
                at(r, c, l) = at(r, c, l) / at(c, c, l);
                eliminates = eliminates || at(r, c, l) != 0.0;
            }
            // a lane's row whose multiplier is 0 stays as it is
            if (!eliminates) continue;
            for (std::size_t j = c + 1; j < n; ++j)
                for (std::size_t l = 0; l < W; ++l) {
                    const double f = at(r, c, l), v = at(r, j, l) - f * at(c, j, l);
                    at(r, j, l) = f != 0.0 ? v : at(r, j, l);
                }
        }
    }
}

// Solves with the factors of lu_factor, every lane; b is overwritten by the solution.
template <std::size_t W>
void lu_solve(const double* a, const std::size_t* pivots, double* b, std::size_t n) {
    const auto at = [=](std::size_t i, std::size_t j, std::size_t l) { return a[(i * n + j) * W + l]; };
    for (std::size_t c = 0; c < n; ++c)
        for (std::size_t l = 0; l < W; ++l) std::swap(b[c * W + l], b[pivots[c * W + l] * W + l]);
    for (std::size_t c = 0; c < n; ++c)
        for (std::size_t i = c + 1; i < n; ++i)
            for (std::size_t l = 0; l < W; ++l) b[i * W + l] = b[i * W + l] - at(i, c, l) * b[c * W + l];
    for (std::size_t i = n; i-- > 0;) {
        std::array<double, W> s;
        for (std::size_t l = 0; l < W; ++l) s[l] = b[i * W + l];
        for (std::size_t j = i + 1; j < n; ++j)
            for (std::size_t l = 0; l < W; ++l) s[l] = s[l] - at(i, j, l) * b[j * W + l];
        for (std::size_t l = 0; l < W; ++l) b[i * W + l] = s[l] / at(i, i, l);
    }
}

}  // namespace zarel
