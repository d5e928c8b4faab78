// Dense against sparse factors of I - c J, to choose the size from which IterationMatrix factors
// sparse (kSparseStates). First the factors alone, factor and one solve, on two patterns: a chain
// (masses in a line, states q_i and p_i interleaved: a band) and a ladder (two rails of nodes with
// rungs, rail after rail: neighbours n/2 apart). Then whole refreshes of IterationMatrix<1>
// (evaluate J, factor, solve) on the chain document, with the document's Jacobian (whose dense
// evaluation walks all n^2 programs) and without (forward differences). Times are the best of
// several rounds; prints one JSON object per line.
// Usage: bench_sparse [largest n, default 2000] [largest n of a document with a Jacobian, default 1000]
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "chain_document.hpp"
#include "iteration_matrix.hpp"

namespace {

using namespace zarel;

// The best time of a call, in seconds: rounds of as many calls as fill about 50 ms.
double best_time(const std::function<void()>& call) {
    using Clock = std::chrono::steady_clock;
    const auto t0 = Clock::now();
    call();
    const double once = std::chrono::duration<double>(Clock::now() - t0).count();
    const int calls = std::clamp(static_cast<int>(0.05 / std::max(once, 1e-9)), 1, 100000);
    const int rounds = once > 1.0 ? 1 : 3;
    double best = once;
    for (int r = 0; r < rounds; ++r) {
        const auto s = Clock::now();
        for (int k = 0; k < calls; ++k) call();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - s).count() / calls);
    }
    return best;
}

// A pattern from each column's neighbours (the diagonal added), rows increasing.
JacobianPattern pattern_of(std::size_t n, const std::function<std::vector<std::size_t>(std::size_t)>& rows_of) {
    JacobianPattern p;
    p.col_start.push_back(0);
    for (std::size_t j = 0; j < n; ++j) {
        std::vector<std::size_t> rows = rows_of(j);
        rows.push_back(j);
        std::ranges::sort(rows);
        rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
        p.rows.insert(p.rows.end(), rows.begin(), rows.end());
        p.col_start.push_back(p.rows.size());
    }
    return p;
}

// q_i (2i) reads p_i; p_i (2i + 1) reads q_{i-1}, q_i, q_{i+1} and p_i: column q_j is read by
// p_{j-1}, p_j, p_{j+1}, column p_j by q_j.
JacobianPattern chain(std::size_t n) {
    return pattern_of(n, [n](std::size_t j) {
        std::vector<std::size_t> rows;
        if (j % 2 == 1) return std::vector<std::size_t>{j - 1};
        for (std::size_t r : {j - 1, j + 1, j + 3})
            if (r < n) rows.push_back(r);  // j - 1 wraps to beyond n for j = 0
        return rows;
    });
}

// node k of rail r at r n/2 + k, joined to k - 1 and k + 1 on its rail and to k on the other
JacobianPattern ladder(std::size_t n) {
    const std::size_t half = n / 2;
    return pattern_of(n, [n, half](std::size_t j) {
        std::vector<std::size_t> rows;
        const std::size_t k = j % half, rail = j / half;
        if (k > 0) rows.push_back(j - 1);
        if (k + 1 < half) rows.push_back(j + 1);
        const std::size_t other = (rail == 0 ? half : 0) + k;
        if (other < n) rows.push_back(other);
        return rows;
    });
}

// I - c J with J random on the pattern, negative on the diagonal (a stable system), c = 0.05.
void factors_alone(const char* name, const JacobianPattern& p, std::size_t n) {
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> d(-1.0, 1.0);
    std::vector<double> values(p.nonzeros()), dense(n * n, 0.0), lu(n * n), b(n), y(n);
    std::vector<std::size_t> pivots(n);
    for (std::size_t j = 0; j < n; ++j)
        for (std::size_t k = p.col_start[j]; k < p.col_start[j + 1]; ++k) {
            const std::size_t i = p.rows[k];
            const double jac = i == j ? -2.0 + 0.5 * d(rng) : d(rng);
            values[k] = (i == j ? 1.0 : 0.0) - jac * 0.05;
            dense[i * n + j] = values[k];
        }
    for (double& v : b) v = d(rng);
    const double dense_s = best_time([&] {
        std::copy(dense.begin(), dense.end(), lu.begin());
        Lanes<1> ok{true};
        lu_factor<1>(lu.data(), pivots.data(), n, ok);
        y = b;
        lu_solve<1>(lu.data(), pivots.data(), y.data(), n);
    });
    SparseLu sparse(p, n);
    const double sparse_s = best_time([&] {
        sparse.factor(values.data());
        y = b;
        sparse.solve(y.data());
    });
    std::printf(R"({"case": "factor+solve", "pattern": "%s", "n": %zu, "nonzeros": %zu, "dense_us": %.3f, "sparse_us": %.3f, "dense/sparse": %.2f})"
                "\n",
                name, n, p.nonzeros(), dense_s * 1e6, sparse_s * 1e6, dense_s / sparse_s);
}

// One refresh of an IterationMatrix<W>: J at a state, factors of I - 0.05 J, one solve; the time
// per lane. The dense factors of W lanes run side by side, the sparse ones lane after lane.
template <std::size_t W>
double lanes_refresh(const Model& m, Factors f, const std::vector<double>& x1, const std::vector<double>& b1) {
    const std::size_t n = m.n_states;
    std::vector<double> x(n * W), b(n * W), y(n * W);
    for (std::size_t j = 0; j < n; ++j)
        for (std::size_t l = 0; l < W; ++l) {
            x[j * W + l] = x1[j] * (1.0 + 0.01 * static_cast<double>(l));
            b[j * W + l] = b1[j];
        }
    const double u = 0.5;
    std::array<double, W> t{}, c;
    c.fill(0.05);
    std::array<const double*, W> inputs;
    inputs.fill(&u);
    std::vector<LaneRun> runs(W);
    LaneRhs<W> rhs(m, runs, nullptr, true);
    IterationMatrix<W> matrix(m, f);
    return best_time([&] {
               Lanes<W> which;
               which.fill(true);
               matrix.evaluate(rhs, x.data(), t.data(), inputs.data(), which);
               matrix.factor(c, which);
               y = b;
               matrix.solve(y.data());
           }) /
           W;
}

// One refresh of an IterationMatrix<1>: J at a state, factors of I - 0.05 J, one solve.
void refresh(std::size_t masses, bool jacobian) {
    auto m = Model::from_value(testing::chain_document(masses, jacobian));
    if (!m) {
        std::fprintf(stderr, "%s\n", m.error().display().c_str());
        std::exit(1);
    }
    const std::size_t n = m->n_states;
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> d(-1.0, 1.0);
    std::vector<double> x(n), b(n), y(n);
    for (double& v : x) v = d(rng);
    for (double& v : b) v = d(rng);
    const double u = 0.5, t = 0.0;
    const double* inputs[] = {&u};
    double times[2];
    for (Factors f : {Factors::dense, Factors::sparse}) {
        Scratch scratch = Scratch::for_model(*m);
        m->fill_params(scratch);
        LaneRhs<1> rhs(*m, scratch, nullptr);
        IterationMatrix<1> matrix(*m, f);
        times[f == Factors::sparse] = best_time([&] {
            Lanes<1> which{true};
            matrix.evaluate(rhs, x.data(), &t, inputs, which);
            matrix.factor({0.05}, which);
            y = b;
            matrix.solve(y.data());
        });
    }
    // what the dense path's evaluation alone costs: jacobian_into over all n^2 entries
    Scratch scratch = Scratch::for_model(*m);
    std::vector<double> full(n * n);
    const double jacobian_s = best_time([&] { m->jacobian_into(x.data(), &u, t, full.data(), scratch); });
    const double dense4 = lanes_refresh<4>(*m, Factors::dense, x, b), sparse4 = lanes_refresh<4>(*m, Factors::sparse, x, b);
    std::printf(R"({"case": "refresh", "document": "chain%s", "n": %zu, "jacobian_into_us": %.3f, "dense_us": %.3f, "sparse_us": %.3f, "dense/sparse": %.2f, "4 lanes: dense/sparse": %.2f})"
                "\n",
                jacobian ? " with Jacobian" : "", n, jacobian_s * 1e6, times[0] * 1e6, times[1] * 1e6,
                times[0] / times[1], dense4 / sparse4);
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t largest = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 2000;
    const std::size_t largest_with_jacobian = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1000;
    const std::size_t sizes[] = {10, 16, 24, 32, 48, 64, 100, 200, 400, 1000, 2000};
    for (std::size_t n : sizes) {
        if (n > largest) break;
        factors_alone("chain", chain(n), n);
        factors_alone("ladder", ladder(n), n);
    }
    for (std::size_t n : sizes) {
        if (n > largest) break;
        refresh(n / 2, false);
        if (n <= largest_with_jacobian) refresh(n / 2, true);
    }
}
