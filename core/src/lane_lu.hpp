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

// Where a matrix's nonzeros lie: below the diagonal at most `lower` rows down, above it at most
// `upper` columns right. Partial pivoting keeps the factors in the band of lower and lower + upper,
// and lu_factor and lu_solve never touch what lies outside it: the same numbers as the whole
// matrix's, in less time for a banded one (a ladder, a chain).
struct Band {
    std::size_t lower, upper;
    static Band full(std::size_t n) { return {n == 0 ? 0 : n - 1, n == 0 ? 0 : n - 1}; }
};

// In-place LU factorisation of each lane's matrix a with partial pivoting: U on and above the
// diagonal, below it the multipliers of each column at the rows they eliminated (the interchanges
// of later columns do not move them; lu_solve applies them in turn). The first of equal pivot
// candidates wins, so ties never swap. Clears the lanes whose matrix is singular; the elimination
// runs on every lane (a cleared lane's numbers are never read).
template <std::size_t W>
void lu_factor(double* a, std::size_t* pivots, std::size_t n, Lanes<W>& lanes, Band band) {
    const auto at = [=](std::size_t i, std::size_t j, std::size_t l) -> double& { return a[(i * n + j) * W + l]; };
    const std::size_t reach = band.lower + band.upper;
    for (std::size_t c = 0; c < n; ++c) {
        const std::size_t last_row = std::min(n - 1, c + band.lower), last_col = std::min(n - 1, c + reach);
        for (std::size_t l = 0; l < W; ++l) {
            if (!lanes[l]) continue;
            std::size_t p = c;
            double best = std::fabs(at(c, c, l));
            for (std::size_t r = c + 1; r <= last_row; ++r)
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
                for (std::size_t j = c; j <= last_col; ++j) std::swap(at(c, j, l), at(p, j, l));
        }
        if (!any(lanes)) return;
        for (std::size_t r = c + 1; r <= last_row; ++r) {
            bool eliminates = false;
            for (std::size_t l = 0; l < W; ++l) {
                at(r, c, l) = at(r, c, l) / at(c, c, l);
                eliminates = eliminates || at(r, c, l) != 0.0;
            }
            // a lane's row whose multiplier is 0 stays as it is
            if (!eliminates) continue;
            for (std::size_t j = c + 1; j <= last_col; ++j)
                for (std::size_t l = 0; l < W; ++l) {
                    const double f = at(r, c, l), v = at(r, j, l) - f * at(c, j, l);
                    at(r, j, l) = f != 0.0 ? v : at(r, j, l);
                }
        }
    }
}

template <std::size_t W>
void lu_factor(double* a, std::size_t* pivots, std::size_t n, Lanes<W>& lanes) {
    lu_factor<W>(a, pivots, n, lanes, Band::full(n));
}

// Each lane's reciprocals of the pivots of lu_factor's factors a, for lu_solve to multiply by.
template <std::size_t W>
void lu_reciprocals(const double* a, std::size_t n, double* out) {
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t l = 0; l < W; ++l) out[i * W + l] = 1.0 / a[(i * n + i) * W + l];
}

// Solves with the factors of lu_factor (of the same band), every lane; b is overwritten by the
// solution. With `reciprocals` (of lu_reciprocals) the last operation of each row multiplies by the
// pivot's reciprocal rather than divide by the pivot: a division's latency in the chain of every
// row, in a method that solves many times per factorisation.
template <std::size_t W>
void lu_solve(const double* a, const std::size_t* pivots, double* b, std::size_t n, Band band,
              const double* reciprocals = nullptr) {
    const auto at = [=](std::size_t i, std::size_t j, std::size_t l) { return a[(i * n + j) * W + l]; };
    const std::size_t reach = band.lower + band.upper;
    for (std::size_t c = 0; c < n; ++c) {
        for (std::size_t l = 0; l < W; ++l) std::swap(b[c * W + l], b[pivots[c * W + l] * W + l]);
        const std::size_t last_row = std::min(n - 1, c + band.lower);
        for (std::size_t i = c + 1; i <= last_row; ++i)
            for (std::size_t l = 0; l < W; ++l) b[i * W + l] = b[i * W + l] - at(i, c, l) * b[c * W + l];
    }
    for (std::size_t i = n; i-- > 0;) {
        std::array<double, W> s;
        for (std::size_t l = 0; l < W; ++l) s[l] = b[i * W + l];
        const std::size_t last_col = std::min(n - 1, i + reach);
        for (std::size_t j = i + 1; j <= last_col; ++j)
            for (std::size_t l = 0; l < W; ++l) s[l] = s[l] - at(i, j, l) * b[j * W + l];
        if (reciprocals)
            for (std::size_t l = 0; l < W; ++l) b[i * W + l] = s[l] * reciprocals[i * W + l];
        else
            for (std::size_t l = 0; l < W; ++l) b[i * W + l] = s[l] / at(i, i, l);
    }
}

template <std::size_t W>
void lu_solve(const double* a, const std::size_t* pivots, double* b, std::size_t n) {
    lu_solve<W>(a, pivots, b, n, Band::full(n));
}

}  // namespace zarel
