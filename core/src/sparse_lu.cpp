// SparseLu by Eigen's SparseLU on a matrix whose structure is written once.
#include "sparse_lu.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <stdexcept>

#include <Eigen/SparseCore>
#include <Eigen/SparseLU>

namespace zarel {

struct SparseLu::Impl {
    using Matrix = Eigen::SparseMatrix<double, Eigen::ColMajor, int>;
    Matrix a;
    Eigen::SparseLU<Matrix, Eigen::COLAMDOrdering<int>> lu;
    mutable Eigen::VectorXd b, y;
};

SparseLu::SparseLu(const JacobianPattern& pattern, std::size_t n) : impl_(std::make_unique<Impl>()) {
    const std::size_t nnz = pattern.nonzeros();
    if (n > INT_MAX || nnz > INT_MAX) throw std::length_error("sparse matrix too large for 32-bit indices");
    Impl::Matrix& a = impl_->a;
    const auto size = static_cast<Eigen::Index>(n);
    a.resize(size, size);
    a.makeCompressed();
    a.resizeNonZeros(static_cast<Eigen::Index>(nnz));
    std::ranges::transform(pattern.col_start, a.outerIndexPtr(), [](std::size_t k) { return static_cast<int>(k); });
    std::ranges::transform(pattern.rows, a.innerIndexPtr(), [](std::size_t i) { return static_cast<int>(i); });
    std::fill_n(a.valuePtr(), nnz, 0.0);
    impl_->lu.analyzePattern(a);
    impl_->b.setZero(size);
    impl_->y.setZero(size);
}

SparseLu::SparseLu(SparseLu&&) noexcept = default;
SparseLu& SparseLu::operator=(SparseLu&&) noexcept = default;
SparseLu::~SparseLu() = default;

bool SparseLu::factor(const double* values) {
    Impl::Matrix& a = impl_->a;
    const auto nnz = static_cast<std::size_t>(a.nonZeros());
    if (!std::all_of(values, values + nnz, [](double v) { return std::isfinite(v); })) return false;
    std::copy_n(values, nnz, a.valuePtr());
    impl_->lu.factorize(a);
    return impl_->lu.info() == Eigen::Success;
}

void SparseLu::solve(double* b) const {
    const auto n = static_cast<std::size_t>(impl_->b.size());
    std::copy_n(b, n, impl_->b.data());
    impl_->y = impl_->lu.solve(impl_->b);
    std::copy_n(impl_->y.data(), n, b);
}

}  // namespace zarel
