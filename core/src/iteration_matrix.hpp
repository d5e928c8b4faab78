// The matrix I - c J of an implicit method's linear solves, over W lanes: J, the right-hand side's
// Jacobian, evaluated at a point each lane chooses, and the factors of I - c[l] J for each lane's
// own c (h/2 for the midpoint rule, gamma h for a Rosenbrock method). A method keeps J while it
// is good enough and refactors when c changes; the factors serve any number of solves. Dense
// factors by lane_lu.hpp, lane-major (entry (i, j) of lane l at [(i n + j) W + l]); for models
// of kSparseStates states or more, J on its pattern only (sparse_jacobian.hpp) and sparse factors
// (sparse_lu.hpp), one per lane, each lane's numbers those of its run alone.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <vector>

#include "checked_size.hpp"
#include "lane_lu.hpp"
#include "lane_rhs.hpp"
#include "sparse_jacobian.hpp"
#include "sparse_lu.hpp"

namespace zarel {

// From this many states on, sparse factors cost no more than dense ones on the patterns of
// bench/native/bench_sparse.cpp: at 64 states a chain's factor and solve cost the same either way
// and a whole refresh (J, factors, a solve) 1.1 to 1.5 times less sparse, a ladder's factor and
// solve 2.5 times less; at 32 states dense is 1.3 to 2 times faster on every case, at 400 sparse
// is 7 to 130 times, at 2000 60 to 870 times.
inline constexpr std::size_t kSparseStates = 64;

// Which factors an IterationMatrix keeps: sparse ones from kSparseStates states on (below it dense
// ones over the band of the Jacobian's pattern, solved with the pivots' reciprocals), dense ones of
// the whole matrix whatever the size (the results of the dense LU), or sparse ones whatever the
// size.
enum class Factors { by_size, dense, sparse };

template <std::size_t W>
class IterationMatrix {
public:
    explicit IterationMatrix(const Model& model) : IterationMatrix(model, Factors::by_size) {}
    IterationMatrix(const Model& model, Factors factors) : n_(model.n_states) {
        const std::size_t n = n_;
        if (factors == Factors::sparse || (factors == Factors::by_size && n >= kSparseStates)) {
            sparse_.emplace(model);
            const JacobianPattern& p = model.jacobian_pattern;
            values_.assign(checked_product(p.nonzeros(), W), 0.0);
            matrix_.assign(p.nonzeros(), 0.0);
            diagonal_.assign(p.nonzeros(), false);
            for (std::size_t j = 0; j < n; ++j)
                for (std::size_t k = p.col_start[j]; k < p.col_start[j + 1]; ++k) diagonal_[k] = p.rows[k] == j;
            lane_x_.assign(n, 0.0);
            lane_b_.assign(n, 0.0);
            lus_.reserve(W);
            for (std::size_t l = 0; l < W; ++l) lus_.emplace_back(p, n);
            return;
        }
        jac_.assign(checked_product(checked_product(n, n), W), 0.0);
        lu_.assign(jac_.size(), 0.0);
        if (factors == Factors::dense) {
            band_ = Band::full(n);
        } else {
            band_ = band_of(model.jacobian_pattern, n);
            reciprocals_.assign(checked_product(n, W), 0.0);
        }
        pivots_.assign(checked_product(n, W), 0);
    }

    bool is_sparse() const { return sparse_.has_value(); }

    // J of the lanes in `which` at states x (n W values, lane-major), times t[l] and inputs u[l].
    // With W > 1 the LaneRhs must have been made with room for the Jacobian.
    void evaluate(LaneRhs<W>& rhs, const double* x, const double* t, const double* const* u, const Lanes<W>& which) {
        if (!sparse_) return rhs.jacobian(x, t, u, which, jac_.data());
        const std::size_t nnz = matrix_.size();
        for (std::size_t l = 0; l < W; ++l) {
            if (!which[l]) continue;
            for (std::size_t j = 0; j < n_; ++j) lane_x_[j] = x[j * W + l];
            sparse_->evaluate(lane_x_.data(), u[l], t[l], rhs.lane_scratch(l), values_.data() + l * nnz);
        }
    }

    // The factors of I - c[l] J for the lanes in `which`; clears the lanes whose matrix is singular
    // (or not finite).
    void factor(const std::array<double, W>& c, Lanes<W>& which) {
        if (sparse_) return factor_sparse(c, which);
        for (std::size_t i = 0; i < n_; ++i)
            for (std::size_t j = 0; j < n_; ++j)
                for (std::size_t l = 0; l < W; ++l) {
                    const std::size_t e = (i * n_ + j) * W + l;
                    lu_[e] = (i == j ? 1.0 : 0.0) - jac_[e] * c[l];
                }
        lu_factor<W>(lu_.data(), pivots_.data(), n_, which, band_);
        if (!reciprocals_.empty()) lu_reciprocals<W>(lu_.data(), n_, reciprocals_.data());
    }

    // b (n W values) overwritten by the solution of (I - c J) y = b, every lane (sparse: every
    // lane the last factor() left factored; the others keep b).
    void solve(double* b) const {
        if (!sparse_) return lu_solve<W>(lu_.data(), pivots_.data(), b, n_, band_,
                                          reciprocals_.empty() ? nullptr : reciprocals_.data());
        for (std::size_t l = 0; l < W; ++l) {
            if (!factored_[l]) continue;
            for (std::size_t j = 0; j < n_; ++j) lane_b_[j] = b[j * W + l];
            lus_[l].solve(lane_b_.data());
            for (std::size_t j = 0; j < n_; ++j) b[j * W + l] = lane_b_[j];
        }
    }

private:
    // The band that holds the pattern's entries (the diagonal is always there).
    static Band band_of(const JacobianPattern& p, std::size_t n) {
        Band band{0, 0};
        for (std::size_t j = 0; j < n; ++j)
            for (std::size_t k = p.col_start[j]; k < p.col_start[j + 1]; ++k) {
                const std::size_t i = p.rows[k];
                band.lower = std::max(band.lower, i > j ? i - j : 0);
                band.upper = std::max(band.upper, j > i ? j - i : 0);
            }
        return band;
    }

    void factor_sparse(const std::array<double, W>& c, Lanes<W>& which) {
        const std::size_t nnz = matrix_.size();
        for (std::size_t l = 0; l < W; ++l) {
            factored_[l] = false;
            if (!which[l]) continue;
            const double* jac = values_.data() + l * nnz;
            for (std::size_t k = 0; k < nnz; ++k) matrix_[k] = (diagonal_[k] ? 1.0 : 0.0) - jac[k] * c[l];
            which[l] = factored_[l] = lus_[l].factor(matrix_.data());
        }
    }

    std::size_t n_;
    Band band_{0, 0};
    std::vector<double> jac_, lu_, reciprocals_;
    std::vector<std::size_t> pivots_;
    // the sparse path: each lane's J on the pattern (lane l's at [l nnz, (l + 1) nnz)), the matrix
    // being factored, which of its entries are diagonal, one lane's state and right-hand side
    std::optional<SparseJacobian> sparse_;
    std::vector<double> values_, matrix_;
    std::vector<bool> diagonal_;
    std::vector<double> lane_x_;
    mutable std::vector<double> lane_b_;
    std::vector<SparseLu> lus_;
    std::array<bool, W> factored_{};
};

}  // namespace zarel
