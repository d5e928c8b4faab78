// The matrix of an implicit method's linear solves, over W lanes: J, the right-hand side's
// Jacobian, evaluated at a point each lane chooses, and the factors of I - c[l] J for each lane's
// own c (h/2 for the midpoint rule, gamma h for a Rosenbrock method) or, for an S-stage implicit
// Runge-Kutta method, of the S n x S n matrix I - h[l] (A x J), block (p, q) delta_pq I - h[l]
// a_pq J (stage p's value i at row p n + i). A method keeps J while it is good enough and
// refactors when c or h changes; the factors serve any number of solves. Dense factors by
// lane_lu.hpp, lane-major (entry (r, c) of lane l at [(r N + c) W + l], N = S n); for models of
// kSparseStates states or more, J on its pattern only (sparse_jacobian.hpp) and sparse factors
// (sparse_lu.hpp) on the blocks' pattern, one per lane, each lane's numbers those of its run
// alone.
//
// A model of m states followed by K blocks of their sensitivities (n = m (1 + K), each block
// driven by the first: J block lower triangular, its diagonal blocks all the first one's) has the
// dense factors of the first block alone, and each solve runs block by block: the first block's,
// then each sensitivity block's with the first block's solution moved to its right-hand side.
// That is the whole matrix's solution for a factorisation of m rather than n rows; the blocks are
// taken dense, for models below kSparseStates states.
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
// ones, over the band of the Jacobian's pattern for one stage, solved with the pivots'
// reciprocals), dense ones of the whole matrix whatever the size (the results of the dense LU), or
// sparse ones whatever the size.
enum class Factors { by_size, dense, sparse };

template <std::size_t W, int S = 1>
class IterationMatrix {
public:
    explicit IterationMatrix(const Model& model, std::size_t sensitivity_blocks = 0)
        : IterationMatrix(model, Factors::by_size, sensitivity_blocks) {}
    IterationMatrix(const Model& model, Factors factors, std::size_t sensitivity_blocks = 0)
        : n_(model.n_states), N_(checked_product(S, model.n_states)) {
        const std::size_t n = n_;
        if (factors == Factors::sparse || (factors == Factors::by_size && sparse_by_size(model))) {
            sparse_.emplace(model);
            const JacobianPattern& p = model.jacobian_pattern;
            values_.assign(checked_product(p.nonzeros(), W), 0.0);
            const JacobianPattern blocks = block_pattern(p, n);
            matrix_.assign(blocks.nonzeros(), 0.0);
            lane_x_.assign(n, 0.0);
            lane_b_.assign(N_, 0.0);
            lus_.reserve(W);
            for (std::size_t l = 0; l < W; ++l) lus_.emplace_back(blocks, N_);
            return;
        }
        jac_.assign(checked_product(checked_product(n, n), W), 0.0);
        if (sensitivity_blocks > 0 && n % (sensitivity_blocks + 1) == 0) {
            blocks_ = sensitivity_blocks;
            m_ = n / (sensitivity_blocks + 1);
            block_b_.assign(checked_product(checked_product(S, m_), W), 0.0);
            block_x_.assign(block_b_.size(), 0.0);
        }
        const std::size_t F = checked_product(S, m_);  // the rows factored
        lu_.assign(checked_product(checked_product(F, F), W), 0.0);
        pivots_.assign(checked_product(F, W), 0);
        if (factors == Factors::dense || S > 1 || blocks_ > 0) {
            band_ = Band::full(F);
        } else {
            band_ = band_of(model.jacobian_pattern, n);
        }
        if (factors != Factors::dense) reciprocals_.assign(checked_product(F, W), 0.0);
    }

    bool is_sparse() const { return sparse_.has_value(); }
    // Whether the factors of a model are sparse by its size.
    static bool sparse_by_size(const Model& model) { return model.n_states >= kSparseStates; }

    // J of the lanes in `which` at states x (n W values, lane-major), times t[l] and inputs u[l].
    // With W > 1 the LaneRhs must have been made with room for the Jacobian.
    void evaluate(LaneRhs<W>& rhs, const double* x, const double* t, const double* const* u, const Lanes<W>& which) {
        if (!sparse_) return rhs.jacobian(x, t, u, which, jac_.data());
        const std::size_t nnz = sparse_->pattern().nonzeros();
        for (std::size_t l = 0; l < W; ++l) {
            if (!which[l]) continue;
            for (std::size_t j = 0; j < n_; ++j) lane_x_[j] = x[j * W + l];
            sparse_->evaluate(lane_x_.data(), u[l], t[l], rhs.lane_scratch(l), values_.data() + l * nnz);
        }
    }

    // The factors of I - c[l] J (one stage) for the lanes in `which`; clears the lanes whose
    // matrix is singular (or not finite).
    void factor(const std::array<double, W>& c, Lanes<W>& which) {
        static_assert(S == 1);
        constexpr double kOne[1][1] = {{1.0}};
        factor(kOne, c, which);
    }

    // The factors of I - h[l] (A x J) for the lanes in `which`; clears the lanes whose matrix is
    // singular (or not finite).
    void factor(const double (&a)[S][S], const std::array<double, W>& h, Lanes<W>& which) {
        std::array<std::array<double, W>, S * S> ah;
        for (int p = 0; p < S; ++p)
            for (int q = 0; q < S; ++q)
                for (std::size_t l = 0; l < W; ++l) ah[p * S + q][l] = a[p][q] * h[l];
        if (sparse_) return factor_sparse(ah, which);
        ah_ = ah;
        // the first m rows and columns of J (all of it but for a model with sensitivity blocks)
        const std::size_t n = n_, m = m_, F = checked_product(S, m);
        for (int p = 0; p < S; ++p)
            for (int q = 0; q < S; ++q)
                for (std::size_t i = 0; i < m; ++i)
                    for (std::size_t j = 0; j < m; ++j)
                        for (std::size_t l = 0; l < W; ++l) {
                            const std::size_t r = static_cast<std::size_t>(p) * m + i;
                            const std::size_t c = static_cast<std::size_t>(q) * m + j;
                            lu_[(r * F + c) * W + l] = (r == c ? 1.0 : 0.0) - ah[p * S + q][l] * jac_[(i * n + j) * W + l];
                        }
        lu_factor<W>(lu_.data(), pivots_.data(), F, which, band_);
        if (!reciprocals_.empty()) lu_reciprocals<W>(lu_.data(), F, reciprocals_.data());
    }

    // b (S n W values) overwritten by the solution of the factored system, every lane (sparse:
    // every lane the last factor() left factored; the others keep b).
    void solve(double* b) const {
        if (blocks_ > 0) return solve_blocks(b);
        if (!sparse_)
            return lu_solve<W>(lu_.data(), pivots_.data(), b, N_, band_,
                               reciprocals_.empty() ? nullptr : reciprocals_.data());
        for (std::size_t l = 0; l < W; ++l) {
            if (!factored_[l]) continue;
            for (std::size_t r = 0; r < N_; ++r) lane_b_[r] = b[r * W + l];
            lus_[l].solve(lane_b_.data());
            for (std::size_t r = 0; r < N_; ++r) b[r * W + l] = lane_b_[r];
        }
    }

private:
    // The solve of a model with sensitivity blocks (b as solve takes it: stage p's value r at
    // [(p n + r) W + l]): block 0 by the factors; then block k's, whose rows of I - h (A x J) read
    // block 0 through J's block (k, 0): (I - h (A x J_00)) z_k = b_k + h (A x J_k0) z_0.
    void solve_blocks(double* b) const {
        const std::size_t n = n_, m = m_, F = checked_product(S, m);
        double* w = block_b_.data();
        double* z0 = block_x_.data();
        const auto gather = [&](std::size_t k, double* out) {
            for (int p = 0; p < S; ++p)
                for (std::size_t i = 0; i < m; ++i)
                    for (std::size_t l = 0; l < W; ++l)
                        out[(static_cast<std::size_t>(p) * m + i) * W + l] =
                            b[(static_cast<std::size_t>(p) * n + k * m + i) * W + l];
        };
        const auto scatter = [&](std::size_t k, const double* in) {
            for (int p = 0; p < S; ++p)
                for (std::size_t i = 0; i < m; ++i)
                    for (std::size_t l = 0; l < W; ++l)
                        b[(static_cast<std::size_t>(p) * n + k * m + i) * W + l] =
                            in[(static_cast<std::size_t>(p) * m + i) * W + l];
        };
        const double* recips = reciprocals_.empty() ? nullptr : reciprocals_.data();
        gather(0, z0);
        lu_solve<W>(lu_.data(), pivots_.data(), z0, F, band_, recips);
        scatter(0, z0);
        for (std::size_t k = 1; k <= blocks_; ++k) {
            gather(k, w);
            for (int p = 0; p < S; ++p)
                for (std::size_t i = 0; i < m; ++i) {
                    const std::size_t row = k * m + i;
                    for (std::size_t l = 0; l < W; ++l) {
                        double sum = 0.0;
                        for (int q = 0; q < S; ++q) {
                            double mz = 0.0;
                            for (std::size_t j = 0; j < m; ++j)
                                mz = mz + jac_[(row * n + j) * W + l] * z0[(static_cast<std::size_t>(q) * m + j) * W + l];
                            sum = sum + ah_[p * S + q][l] * mz;
                        }
                        double& wi = w[(static_cast<std::size_t>(p) * m + i) * W + l];
                        wi = wi + sum;
                    }
                }
            lu_solve<W>(lu_.data(), pivots_.data(), w, F, band_, recips);
            scatter(k, w);
        }
    }

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

    // The pattern of the S x S blocks, each J's (which holds the diagonal), column by column; for
    // each entry the block it is in, the entry of J it takes and whether it is on the diagonal.
    JacobianPattern block_pattern(const JacobianPattern& p, std::size_t n) {
        JacobianPattern b;
        b.col_start.push_back(0);
        for (int q = 0; q < S; ++q)
            for (std::size_t j = 0; j < n; ++j) {
                for (int r = 0; r < S; ++r)
                    for (std::size_t k = p.col_start[j]; k < p.col_start[j + 1]; ++k) {
                        b.rows.push_back(static_cast<std::size_t>(r) * n + p.rows[k]);
                        block_.push_back(static_cast<std::size_t>(r * S + q));
                        entry_.push_back(k);
                        diagonal_.push_back(r == q && p.rows[k] == j);
                    }
                b.col_start.push_back(b.rows.size());
            }
        return b;
    }

    void factor_sparse(const std::array<std::array<double, W>, S * S>& ah, Lanes<W>& which) {
        const std::size_t nnz = sparse_->pattern().nonzeros();
        for (std::size_t l = 0; l < W; ++l) {
            factored_[l] = false;
            if (!which[l]) continue;
            const double* jac = values_.data() + l * nnz;
            for (std::size_t k = 0; k < matrix_.size(); ++k)
                matrix_[k] = (diagonal_[k] ? 1.0 : 0.0) - ah[block_[k]][l] * jac[entry_[k]];
            which[l] = factored_[l] = lus_[l].factor(matrix_.data());
        }
    }

    std::size_t n_, N_;
    // a model with sensitivity blocks: how many, and the states of each (m_ = n_ without them)
    std::size_t blocks_ = 0, m_ = n_;
    std::array<std::array<double, W>, S * S> ah_{};  // h A of the last factorisation
    mutable std::vector<double> block_b_, block_x_;
    Band band_{0, 0};
    std::vector<double> jac_, lu_, reciprocals_;
    std::vector<std::size_t> pivots_;
    // the sparse path: each lane's J on the pattern (lane l's at [l nnz, (l + 1) nnz)); for each
    // entry of the blocks' pattern its block, J's entry and whether it is diagonal; the matrix
    // being factored; one lane's state and right-hand side
    std::optional<SparseJacobian> sparse_;
    std::vector<double> values_;
    std::vector<std::size_t> block_, entry_;
    std::vector<bool> diagonal_;
    std::vector<double> matrix_, lane_x_;
    mutable std::vector<double> lane_b_;
    std::vector<SparseLu> lus_;
    std::array<bool, W> factored_{};
};

}  // namespace zarel
