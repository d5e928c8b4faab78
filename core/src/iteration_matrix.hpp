// The matrix I - c J of an implicit method's linear solves, over W lanes: J, the right-hand side's
// Jacobian, evaluated at a point each lane chooses, and the factors of I - c[l] J for each lane's
// own c (h/2 for the midpoint rule, gamma h for a Rosenbrock method). A method keeps J while it
// is good enough and refactors when c changes; the factors serve any number of solves. Dense
// factors by lane_lu.hpp, lane-major (entry (i, j) of lane l at [(i n + j) W + l]).
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "checked_size.hpp"
#include "lane_lu.hpp"
#include "lane_rhs.hpp"

namespace zarel {

template <std::size_t W>
class IterationMatrix {
public:
    explicit IterationMatrix(const Model& model) : n_(model.n_states) {
        const std::size_t n = n_;
        jac_.assign(checked_product(checked_product(n, n), W), 0.0);
        lu_.assign(jac_.size(), 0.0);
        pivots_.assign(checked_product(n, W), 0);
    }

    // J of the lanes in `which` at states x (n W values, lane-major), times t[l] and inputs u[l].
    void evaluate(LaneRhs<W>& rhs, const double* x, const double* t, const double* const* u, const Lanes<W>& which) {
        rhs.jacobian(x, t, u, which, jac_.data());
    }

    // The factors of I - c[l] J for the lanes in `which`; clears the lanes whose matrix is singular
    // (or not finite).
    void factor(const std::array<double, W>& c, Lanes<W>& which) {
        for (std::size_t i = 0; i < n_; ++i)
            for (std::size_t j = 0; j < n_; ++j)
                for (std::size_t l = 0; l < W; ++l) {
                    const std::size_t e = (i * n_ + j) * W + l;
                    lu_[e] = (i == j ? 1.0 : 0.0) - jac_[e] * c[l];
                }
        lu_factor<W>(lu_.data(), pivots_.data(), n_, which);
    }

    // b (n W values) overwritten by the solution of (I - c J) y = b, every lane.
    void solve(double* b) const { lu_solve<W>(lu_.data(), pivots_.data(), b, n_); }

private:
    std::size_t n_;
    std::vector<double> jac_, lu_;
    std::vector<std::size_t> pivots_;
};

}  // namespace zarel
