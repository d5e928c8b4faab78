// The matrix I - h (A x J) of the simplified Newton iteration of an S-stage implicit Runge-Kutta
// method, over W lanes: J, the right-hand side's Jacobian at a point each lane chooses, and the
// factors of the S n x S n matrix with block (p, q) equal to delta_pq I - h[l] a_pq J, for each
// lane's own h. The unknowns are the stages' offsets from the step's start, stage p's value i at
// row p n + i. Dense factors by lane_lu.hpp, lane-major (entry (r, c) of lane l at [(r N + c) W + l],
// N = S n). A one-stage method's matrix is IterationMatrix's I - c J; this one is for S >= 2.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "checked_size.hpp"
#include "lane_lu.hpp"
#include "lane_rhs.hpp"

namespace zarel {

template <std::size_t W, int S>
class StageMatrix {
public:
    explicit StageMatrix(const Model& model) : n_(model.n_states), N_(checked_product(S, model.n_states)) {
        jac_.assign(checked_product(checked_product(n_, n_), W), 0.0);
        lu_.assign(checked_product(checked_product(N_, N_), W), 0.0);
        pivots_.assign(checked_product(N_, W), 0);
    }

    // J of the lanes in `which` at states x (n W values, lane-major), times t[l] and inputs u[l].
    void evaluate(LaneRhs<W>& rhs, const double* x, const double* t, const double* const* u, const Lanes<W>& which) {
        rhs.jacobian(x, t, u, which, jac_.data());
    }

    // The factors of I - h[l] (A x J) for the lanes in `which`; clears the lanes whose matrix is
    // singular (or not finite).
    void factor(const double (&a)[S][S], const std::array<double, W>& h, Lanes<W>& which) {
        const std::size_t n = n_, N = N_;
        for (int p = 0; p < S; ++p)
            for (int q = 0; q < S; ++q) {
                std::array<double, W> ah;
                for (std::size_t l = 0; l < W; ++l) ah[l] = a[p][q] * h[l];
                for (std::size_t i = 0; i < n; ++i)
                    for (std::size_t j = 0; j < n; ++j)
                        for (std::size_t l = 0; l < W; ++l) {
                            const std::size_t r = static_cast<std::size_t>(p) * n + i;
                            const std::size_t c = static_cast<std::size_t>(q) * n + j;
                            lu_[(r * N + c) * W + l] = (r == c ? 1.0 : 0.0) - ah[l] * jac_[(i * n + j) * W + l];
                        }
            }
        lu_factor<W>(lu_.data(), pivots_.data(), N, which);
    }

    // b (S n W values) overwritten by the solution of (I - h (A x J)) y = b, every lane.
    void solve(double* b) const { lu_solve<W>(lu_.data(), pivots_.data(), b, N_); }

private:
    std::size_t n_, N_;
    std::vector<double> jac_, lu_;
    std::vector<std::size_t> pivots_;
};

}  // namespace zarel
