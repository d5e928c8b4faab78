// A chain of masses joined by hardening springs, as a model document of any size: the test and
// the benchmark of the sparse factors build their large models from it.
#pragma once

#include <cstddef>
#include <string>

#include <nlohmann/json.hpp>

namespace zarel::testing {

// `masses` masses (states q_i at 2i, p_i at 2i + 1), the first tied to a wall; spring force
// k d + e d^3 on extension d, damping c on each momentum; an input force on the last mass.
// Parameters k, e, c, 1/m. With `jacobian`, the document's Jacobian (n^2 programs, mostly 0).
inline nlohmann::json chain_document(std::size_t masses, bool jacobian) {
    using J = nlohmann::json;
    const std::size_t n = 2 * masses, u = n, k = n + 1, e = n + 2, c = n + 3, inv_m = n + 4;
    const auto ref = [](std::size_t s) { return J::array({"ref", s}); };
    const auto cst = [](double v) { return J::array({"const", v}); };
    const auto op = [](const char* name, J a, J b) { return J::array({name, std::move(a), std::move(b)}); };
    // the extension of spring s (between mass s - 1, or the wall, and mass s)
    const auto extension = [&](std::size_t s) { return s == 0 ? ref(0) : op("sub", ref(2 * s), ref(2 * s - 2)); };
    const auto force = [&](std::size_t s) {
        J d = extension(s);
        return op("add", op("mul", ref(k), d), op("mul", ref(e), op("mul", d, op("mul", d, d))));
    };
    const auto stiffness = [&](std::size_t s) {  // dF/dd
        J d = extension(s);
        return op("add", ref(k), op("mul", cst(3.0), op("mul", ref(e), op("mul", d, d))));
    };
    J rhs = J::array();
    for (std::size_t i = 0; i < masses; ++i) {
        rhs.push_back(op("mul", ref(2 * i + 1), ref(inv_m)));
        J f = J::array({"neg", force(i)});
        if (i + 1 < masses) f = op("add", f, force(i + 1));
        if (i + 1 == masses) f = op("add", f, ref(u));
        rhs.push_back(op("sub", f, op("mul", ref(c), op("mul", ref(2 * i + 1), ref(inv_m)))));
    }
    J doc = {{"n_states", n}, {"n_inputs", 1}, {"n_params", 4}, {"param_values", {40.0, 5.0, 0.3, 2.0}}, {"rhs", rhs}};
    if (!jacobian) return doc;
    J jac = J::array();
    for (std::size_t row = 0; row < n; ++row)
        for (std::size_t col = 0; col < n; ++col) {
            const std::size_t i = row / 2, j = col / 2;
            J entry = cst(0.0);
            if (row % 2 == 0) {
                if (col == row + 1) entry = ref(inv_m);
            } else if (col % 2 == 1) {
                if (col == row) entry = op("mul", cst(-1.0), op("mul", ref(c), ref(inv_m)));
            } else if (j == i) {
                entry = J::array({"neg", stiffness(i)});
                if (i + 1 < masses) entry = op("sub", entry, stiffness(i + 1));
            } else if (j + 1 == i) {
                entry = stiffness(i);
            } else if (j == i + 1) {
                entry = stiffness(j);
            }
            jac.push_back(entry);
        }
    doc["jacobian"] = jac;
    return doc;
}

}  // namespace zarel::testing
