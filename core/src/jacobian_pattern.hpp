// The Jacobian's sparsity, read from the model's expression programs when it is loaded, and the
// columns that forward differences may perturb together.
#pragma once

#include <cstddef>
#include <vector>

#include "zarel/model.hpp"

namespace zarel {

// The pattern of m's Jacobian from its rhs programs and, where the document has them, its
// Jacobian programs (see JacobianPattern).
JacobianPattern read_jacobian_pattern(const Model& m);

// Columns in groups that share no row (Curtis, Powell and Reid 1974): the columns of group g are
// columns[start[g]] .. columns[start[g + 1] - 1], increasing. Each column takes the first group
// none of whose columns shares a row with it, the columns in increasing order, so a chain's n
// columns fall into a few groups.
struct ColumnGroups {
    std::vector<std::size_t> start, columns;

    std::size_t size() const { return start.size() - 1; }
};
ColumnGroups column_groups(const JacobianPattern& pattern, std::size_t n);

}  // namespace zarel
