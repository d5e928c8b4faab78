// The Jacobian's sparsity from the expression programs, and column groups for forward differences.
#include "jacobian_pattern.hpp"

#include <algorithm>
#include <utility>

namespace zarel {

namespace {

bool is_constant_zero(const Program& p) {
    return p.code.size() == 1 && p.code[0].op == Op::Const && p.code[0].value == 0.0;
}

}  // namespace

// The union of what the rhs reads and where the document's Jacobian is not 0: the document's
// Jacobian is used only while all its values are finite, forward differences of the rhs
// otherwise, and either may be nonzero where the other is not (a hand-written Jacobian may leave
// out a dependence, or state one the rhs does not have).
JacobianPattern read_jacobian_pattern(const Model& m) {
    const std::size_t n = m.n_states;
    std::vector<std::pair<std::size_t, std::size_t>> entries;  // (column, row)
    for (std::size_t i = 0; i < n; ++i) {
        entries.emplace_back(i, i);
        for (const Instr& in : m.rhs_programs[i].code)
            if (in.op == Op::Ref && in.index < n) entries.emplace_back(in.index, i);
    }
    if (m.jacobian_programs)
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j)
                if (!is_constant_zero((*m.jacobian_programs)[i * n + j])) entries.emplace_back(j, i);
    std::ranges::sort(entries);
    const auto [end, last] = std::ranges::unique(entries);
    entries.erase(end, last);
    JacobianPattern p;
    p.col_start.assign(n + 1, 0);
    p.rows.reserve(entries.size());
    for (auto [j, i] : entries) {
        ++p.col_start[j + 1];
        p.rows.push_back(i);
    }
    for (std::size_t j = 0; j < n; ++j) p.col_start[j + 1] += p.col_start[j];
    return p;
}

ColumnGroups column_groups(const JacobianPattern& pattern, std::size_t n) {
    // the pattern by rows, to find the columns that share a row with a given one
    std::vector<std::size_t> row_start(n + 1, 0), row_columns(pattern.nonzeros());
    for (std::size_t i : pattern.rows) ++row_start[i + 1];
    for (std::size_t i = 0; i < n; ++i) row_start[i + 1] += row_start[i];
    std::vector<std::size_t> fill(row_start.begin(), row_start.end() - 1);
    for (std::size_t j = 0; j < n; ++j)
        for (std::size_t k = pattern.col_start[j]; k < pattern.col_start[j + 1]; ++k)
            row_columns[fill[pattern.rows[k]]++] = j;

    constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::vector<std::size_t> group(n, kNone), taken_by;  // taken_by[g]: the last column that found g taken
    std::size_t groups = 0;
    for (std::size_t j = 0; j < n; ++j) {
        for (std::size_t k = pattern.col_start[j]; k < pattern.col_start[j + 1]; ++k) {
            const std::size_t i = pattern.rows[k];
            for (std::size_t r = row_start[i]; r < row_start[i + 1]; ++r)
                if (const std::size_t g = group[row_columns[r]]; g != kNone) taken_by[g] = j;
        }
        std::size_t g = 0;
        while (g < groups && taken_by[g] == j) ++g;
        if (g == groups) {
            ++groups;
            taken_by.push_back(kNone);
        }
        group[j] = g;
    }
    ColumnGroups out;
    out.start.assign(groups + 1, 0);
    for (std::size_t j = 0; j < n; ++j) ++out.start[group[j] + 1];
    for (std::size_t g = 0; g < groups; ++g) out.start[g + 1] += out.start[g];
    out.columns.resize(n);
    std::vector<std::size_t> next(out.start.begin(), out.start.end() - 1);
    for (std::size_t j = 0; j < n; ++j) out.columns[next[group[j]]++] = j;
    return out;
}

}  // namespace zarel
