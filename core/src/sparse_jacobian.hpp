// The Jacobian's entries on the model's pattern only, one run at a time: what jacobian_into
// gives for those entries, without a walk over the n^2 others.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "jacobian_pattern.hpp"

namespace zarel {

class SparseJacobian {
public:
    explicit SparseJacobian(const Model& model);

    // The pattern's entries at (x, u, t) into values (in the pattern's order), on a scratch that
    // serves the run (its parameters are written here): by the document's Jacobian programs when
    // all their values are finite, else by forward differences of the right-hand side.
    void evaluate(const double* x, const double* u, double t, Scratch& scratch, double* values);

    // The same by forward differences alone.
    void differences(const double* x, const double* u, double t, Scratch& scratch, double* values);

    const JacobianPattern& pattern() const { return model_.jacobian_pattern; }
    const ColumnGroups& groups() const { return groups_; }

private:
    const Model& model_;
    std::optional<Kernel> entries_;  // the Jacobian programs of the pattern's entries, fused
    ColumnGroups groups_;
    std::vector<double> f0_, f1_, xp_;
};

}  // namespace zarel
