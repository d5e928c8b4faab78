// LU factors of square sparse matrices of one fixed pattern, by Eigen's SparseLU (header only,
// kept inside sparse_lu.cpp): the fill-reducing column ordering (COLAMD) and the symbolic
// analysis once, when made; numeric factors per factor(), any number of solves after. Eigen's
// numeric factorisation sizes its work arrays on each call (it has no way to keep them), so a
// factor() allocates; the solves and everything around them do not.
#pragma once

#include <cstddef>
#include <memory>

#include "zarel/model.hpp"

namespace zarel {

class SparseLu {
public:
    // For n x n matrices whose nonzeros lie on `pattern` (which must outlive this).
    SparseLu(const JacobianPattern& pattern, std::size_t n);
    SparseLu(SparseLu&&) noexcept;
    SparseLu& operator=(SparseLu&&) noexcept;
    ~SparseLu();

    // Factors the matrix with these values, in the pattern's order; false when a value is not
    // finite or the matrix is singular.
    bool factor(const double* values);
    // b (n values) overwritten by the solution of A y = b, with the last factors.
    void solve(double* b) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace zarel
