// The Jacobian on its pattern, by the document's programs or grouped forward differences.
#include "sparse_jacobian.hpp"

#include <algorithm>
#include <cmath>

namespace zarel {

SparseJacobian::SparseJacobian(const Model& model)
    : model_(model), groups_(column_groups(model.jacobian_pattern, model.n_states)) {
    const std::size_t n = model.n_states;
    const JacobianPattern& p = model.jacobian_pattern;
    if (model.jacobian_programs) {
        std::vector<Program> entries;
        entries.reserve(p.nonzeros());
        for (std::size_t j = 0; j < n; ++j)
            for (std::size_t k = p.col_start[j]; k < p.col_start[j + 1]; ++k)
                entries.push_back((*model.jacobian_programs)[p.rows[k] * n + j]);
        entries_ = fuse(entries);
    }
    f0_.assign(n, 0.0);
    f1_.assign(n, 0.0);
    xp_.assign(n, 0.0);
}

void SparseJacobian::evaluate(const double* x, const double* u, double t, Scratch& scratch, double* values) {
    if (entries_) {
        model_.fill_params(scratch);
        model_.fill_point(x, u, t, scratch.env.data());
        Model::eval_into(*entries_, scratch, values);
        const std::size_t nnz = model_.jacobian_pattern.nonzeros();
        if (std::all_of(values, values + nnz, [](double v) { return std::isfinite(v); })) return;
    }
    differences(x, u, t, scratch, values);
}

// jacobian_into's forward differences, column j's step h = (|x_j| + 1) 1e-7 and divisor h, with
// the columns of a group perturbed at once. Row i reads at most one column of a group, so it sees
// the same arguments as under column j's perturbation alone and its difference has the same bits.
void SparseJacobian::differences(const double* x, const double* u, double t, Scratch& scratch, double* values) {
    const JacobianPattern& p = model_.jacobian_pattern;
    const std::size_t n = model_.n_states;
    model_.fill_params(scratch);
    model_.rhs_in_run(x, u, t, f0_.data(), scratch);
    std::copy_n(x, n, xp_.data());
    for (std::size_t g = 0; g < groups_.size(); ++g) {
        const auto first = groups_.columns.begin() + static_cast<std::ptrdiff_t>(groups_.start[g]),
                   last = groups_.columns.begin() + static_cast<std::ptrdiff_t>(groups_.start[g + 1]);
        for (auto c = first; c != last; ++c) xp_[*c] = x[*c] + (std::fabs(x[*c]) + 1.0) * 1e-7;
        model_.rhs_in_run(xp_.data(), u, t, f1_.data(), scratch);
        for (auto c = first; c != last; ++c) {
            const std::size_t j = *c;
            const double h = (std::fabs(x[j]) + 1.0) * 1e-7;
            for (std::size_t k = p.col_start[j]; k < p.col_start[j + 1]; ++k)
                values[k] = (f1_[p.rows[k]] - f0_[p.rows[k]]) / h;
            xp_[j] = x[j];
        }
    }
}

}  // namespace zarel
