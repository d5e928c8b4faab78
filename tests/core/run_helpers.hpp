// What the integrators' tests share: a model loaded from its document, the options of a run and
// a uniform grid.
#pragma once

#include <cstddef>
#include <vector>

#include <gtest/gtest.h>

#include "zarel/model.hpp"
#include "zarel/solver.hpp"

namespace zarel::testing {

inline Model load(const char* json) {
    auto m = Model::from_text(json);
    EXPECT_TRUE(m.has_value()) << (m ? "" : m.error().display());
    return std::move(*m);
}

inline SolverOptions options(double rtol = 1e-8, double atol = 1e-10) {
    return {rtol, atol, 1e-10, 50, 1000000, true, true};
}

// `points` points from 0 to `end`, evenly spaced.
inline std::vector<double> grid(double end, std::size_t points) {
    std::vector<double> t(points);
    for (std::size_t k = 0; k < points; ++k) t[k] = end * static_cast<double>(k) / static_cast<double>(points - 1);
    return t;
}

}  // namespace zarel::testing
