// The Jacobian's pattern read from the programs, J evaluated on it alone, and the sparse factors
// of I - c J: against the dense Jacobian and the dense LU, and in lanes against runs alone.
#include <bit>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "chain_document.hpp"
#include "iteration_matrix.hpp"
#include "zarel/model.hpp"

namespace zarel {
namespace {

Model load(const Json& doc) {
    auto m = Model::from_value(doc);
    EXPECT_TRUE(m.has_value()) << (m ? "" : m.error().display());
    return std::move(*m);
}

// Whether entry (i, j) is on the pattern.
bool on_pattern(const JacobianPattern& p, std::size_t i, std::size_t j) {
    for (std::size_t k = p.col_start[j]; k < p.col_start[j + 1]; ++k)
        if (p.rows[k] == i) return true;
    return false;
}

// The dense Jacobian's entries on the pattern, in its order.
std::vector<double> on_pattern(const JacobianPattern& p, const std::vector<double>& dense, std::size_t n) {
    std::vector<double> out;
    for (std::size_t j = 0; j < n; ++j)
        for (std::size_t k = p.col_start[j]; k < p.col_start[j + 1]; ++k) out.push_back(dense[p.rows[k] * n + j]);
    return out;
}

std::vector<std::uint64_t> bits(const std::vector<double>& v) {
    std::vector<std::uint64_t> out;
    for (double e : v) out.push_back(std::bit_cast<std::uint64_t>(e));
    return out;
}

std::vector<double> random_values(std::size_t n, std::mt19937_64& rng, double scale = 1.0) {
    std::uniform_real_distribution<double> d(-scale, scale);
    std::vector<double> v(n);
    for (double& e : v) e = d(rng);
    return v;
}

TEST(JacobianPattern, FromTheRhsAndTheDocumentsJacobian) {
    // x0' = x1 + p, x1' = -x0 x2 + u, x2' = p t: the last reads a parameter and the time only
    const Json rhs = Json::parse(R"([["add", ["ref", 1], ["ref", 4]], ["add", ["mul", ["neg", ["ref", 0]], ["ref", 2]], ["ref", 3]],
                                     ["mul", ["ref", 4], ["ref", 5]]])");
    Json doc = {{"n_states", 3}, {"n_inputs", 1}, {"n_params", 1}, {"param_values", {2.0}}, {"rhs", rhs}};
    const JacobianPattern plain = load(doc).jacobian_pattern;
    EXPECT_EQ(plain.col_start, (std::vector<std::size_t>{0, 2, 4, 6}));
    EXPECT_EQ(plain.rows, (std::vector<std::size_t>{0, 1, 0, 1, 1, 2}));

    // a Jacobian of zero programs where the rhs reads (dx1'/dx2 stated 0) keeps the rhs's entry,
    // and one that states an entry the rhs does not read (dx2'/dx0 = 1) adds it; -0 is a zero
    doc["jacobian"] = Json::parse(R"([["const", 0], ["const", 1], ["const", 0],
                                      ["neg", ["ref", 2]], ["const", -0.0], ["const", 0],
                                      ["const", 1], ["const", 0], ["const", 0]])");
    const JacobianPattern stated = load(doc).jacobian_pattern;
    EXPECT_EQ(stated.col_start, (std::vector<std::size_t>{0, 3, 5, 7}));
    EXPECT_EQ(stated.rows, (std::vector<std::size_t>{0, 1, 2, 0, 1, 1, 2}));

    // a right-hand side of parameters, inputs and time only: the diagonal
    const Json outside = Json::parse(R"([["ref", 2], ["mul", ["ref", 3], ["ref", 4]]])");
    const JacobianPattern diagonal =
        load({{"n_states", 2}, {"n_inputs", 1}, {"n_params", 1}, {"param_values", {1.0}}, {"rhs", outside}})
            .jacobian_pattern;
    EXPECT_EQ(diagonal.col_start, (std::vector<std::size_t>{0, 1, 2}));
    EXPECT_EQ(diagonal.rows, (std::vector<std::size_t>{0, 1}));
}

std::vector<Json> example_documents() {
    std::vector<Json> docs;
    for (const auto& entry : std::filesystem::directory_iterator(ZAREL_EXAMPLES_DIR))
        if (entry.path().extension() == ".json") {
            std::ifstream in(entry.path());
            std::stringstream text;
            text << in.rdbuf();
            docs.push_back(Json::parse(text.str()));
            docs.back()["name"] = entry.path().filename().string();
        }
    EXPECT_GE(docs.size(), 9u);
    return docs;
}

// On every example, with its Jacobian and without (forward differences), at random states:
// the dense Jacobian is exactly 0 off the pattern, and the sparse one equals it on the pattern
// bit for bit. The grouped differences do other arithmetic than jacobian_into's one column at a
// time (f(x + sum of the group's steps) against f(x + h_j e_j)), yet each row reads only one
// column of a group, so each rhs program sees the same arguments and gives the same bits: the
// comparison is exact, not to a tolerance.
TEST(SparseJacobian, EqualsTheDenseJacobianOnExamples) {
    std::mt19937_64 rng(7);
    for (Json doc : example_documents()) {
        for (bool with_jacobian : {true, false}) {
            if (!with_jacobian) doc.erase("jacobian");
            const Model m = load(doc);
            const std::size_t n = m.n_states;
            SparseJacobian sparse(m);
            Scratch scratch = Scratch::for_model(m);
            const JacobianPattern& p = m.jacobian_pattern;
            std::vector<double> values(p.nonzeros()), differences(p.nonzeros());
            for (int trial = 0; trial < 4; ++trial) {
                const std::vector<double> x = random_values(n, rng, 2.0), u = random_values(m.n_inputs, rng);
                const double t = 0.25 * trial;
                const std::vector<double> dense = m.jacobian(x.data(), u.data(), t);
                for (std::size_t i = 0; i < n; ++i)
                    for (std::size_t j = 0; j < n; ++j)
                        if (!on_pattern(p, i, j)) {
                            EXPECT_EQ(dense[i * n + j], 0.0) << doc["name"] << " (" << i << ", " << j << ")";
                        }
                sparse.evaluate(x.data(), u.data(), t, scratch, values.data());
                EXPECT_EQ(bits(values), bits(on_pattern(p, dense, n))) << doc["name"] << " " << with_jacobian;
                if (with_jacobian) continue;
                sparse.differences(x.data(), u.data(), t, scratch, differences.data());
                EXPECT_EQ(bits(differences), bits(values)) << doc["name"];
            }
            // the ladder's 100 columns in a few groups: a few rhs evaluations per Jacobian
            if (n == 100) {
                EXPECT_LE(sparse.groups().size(), 4u);
            }
        }
    }
}

TEST(ColumnGroups, ShareNoRowAndCoverEveryColumnOnce) {
    const Model m = load(testing::chain_document(50, false));
    const JacobianPattern& p = m.jacobian_pattern;
    const ColumnGroups g = column_groups(p, m.n_states);
    EXPECT_LE(g.size(), 5u);
    std::vector<int> columns(m.n_states, 0);
    for (std::size_t k = 0; k < g.size(); ++k) {
        std::vector<int> rows(m.n_states, 0);
        for (std::size_t c = g.start[k]; c < g.start[k + 1]; ++c) {
            const std::size_t j = g.columns[c];
            ++columns[j];
            for (std::size_t e = p.col_start[j]; e < p.col_start[j + 1]; ++e) EXPECT_EQ(++rows[p.rows[e]], 1);
        }
    }
    EXPECT_EQ(columns, std::vector<int>(m.n_states, 1));
}

// Solves with I - c J of a 400-state chain at a random state, sparse against dense.
// A banded matrix factored over its band has the bits of the whole matrix's factors: random
// entries (so rows interchange), four lanes with their own numbers, the solutions compared.
TEST(LaneLu, TheBandGivesTheWholeMatrixsBits) {
    constexpr std::size_t W = 4, n = 40;
    const Band band{3, 2};
    std::mt19937_64 rng(5);
    std::vector<double> a(n * n * W, 0.0);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j)
            if (j + band.lower >= i && i + band.upper >= j)
                for (std::size_t l = 0; l < W; ++l) a[(i * n + j) * W + l] = random_values(1, rng)[0];
    const std::vector<double> b = random_values(n * W, rng);
    std::vector<double> y[2];
    std::size_t swaps = 0;
    for (bool banded : {false, true}) {
        std::vector<double> lu = a;
        std::vector<std::size_t> pivots(n * W);
        Lanes<W> which;
        which.fill(true);
        lu_factor<W>(lu.data(), pivots.data(), n, which, banded ? band : Band::full(n));
        for (bool ok : which) ASSERT_TRUE(ok);
        for (std::size_t c = 0; c < n * W; ++c) swaps += pivots[c] != c / W;
        y[banded] = b;
        lu_solve<W>(lu.data(), pivots.data(), y[banded].data(), n, banded ? band : Band::full(n));
    }
    EXPECT_GT(swaps, n);
    EXPECT_EQ(bits(y[0]), bits(y[1]));
}

// The solutions of I - h (A x J) y = b (S stages, J at x) by sparse factors and by the dense LU of
// the whole matrix agree.
template <int S>
void expect_sparse_solves_as_dense(const Model& m, const double (&a)[S][S], double h, std::uint64_t seed) {
    const std::size_t n = m.n_states;
    std::mt19937_64 rng(seed);
    const std::vector<double> x = random_values(n, rng), u{0.5}, b = random_values(S * n, rng);
    const double t = 0.0;
    const double* inputs[] = {u.data()};
    std::vector<double> solutions[2];
    for (Factors f : {Factors::by_size, Factors::dense}) {
        Scratch scratch = Scratch::for_model(m);
        m.fill_params(scratch);
        LaneRhs<1> rhs(m, scratch, nullptr);
        IterationMatrix<1, S> matrix(m, f);
        EXPECT_EQ(matrix.is_sparse(), f == Factors::by_size);
        Lanes<1> which{true};
        matrix.evaluate(rhs, x.data(), &t, inputs, which);
        matrix.factor(a, {h}, which);
        ASSERT_TRUE(which[0]);
        std::vector<double>& y = solutions[f == Factors::dense];
        y = b;
        matrix.solve(y.data());
    }
    double scale = 0.0;
    for (double v : solutions[1]) scale = std::max(scale, std::fabs(v));
    for (std::size_t i = 0; i < S * n; ++i) EXPECT_NEAR(solutions[0][i], solutions[1][i], 1e-12 * scale) << i;
}

TEST(IterationMatrix, SparseSolvesAsTheDenseLu) {
    const double one[1][1] = {{1.0}};
    for (bool with_jacobian : {true, false})
        expect_sparse_solves_as_dense(load(testing::chain_document(200, with_jacobian)), one, 0.05, 11);
    // the Gauss method's two-stage blocks (A not symmetric, so a block put in the wrong place or
    // taking the wrong entry of A shows)
    const double r = std::sqrt(3.0) / 6.0;
    const double gauss[2][2] = {{0.25, 0.25 - r}, {0.25 + r, 0.25}};
    expect_sparse_solves_as_dense(load(testing::chain_document(100, true)), gauss, 0.3, 13);
}

// A model of three states and `blocks` blocks of three sensitivities: J block lower triangular,
// every diagonal block the first one's (nonlinear in x), the blocks below it other expressions of x.
Json sensitivity_blocks_document(std::size_t blocks) {
    using J = nlohmann::json;
    const std::size_t m = 3, n = m * (1 + blocks);
    const auto x = [](std::size_t i) { return J::array({"ref", i}); };
    const auto c = [](double v) { return J::array({"const", v}); };
    const J lead[3][3] = {{J::array({"neg", J::array({"exp", x(1)})}), J::array({"sin", x(0)}), c(0.5)},
                          {c(2.0), J::array({"mul", x(2), x(0)}), c(-1.0)},
                          {J::array({"cos", x(1)}), c(0.0), J::array({"sub", c(-3.0), x(2)})}};
    J rhs = J::array(), jac = J::array();
    for (std::size_t i = 0; i < n; ++i) rhs.push_back(x(i));
    for (std::size_t r = 0; r < n; ++r)
        for (std::size_t col = 0; col < n; ++col) {
            const std::size_t kr = r / m, kc = col / m, i = r % m, j = col % m;
            if (kr == kc) {
                jac.push_back(lead[i][j]);
            } else if (kc == 0) {
                jac.push_back(J::array({"mul", c(0.25 * static_cast<double>(kr + i) - 0.6), x(j + 1)}));
            } else {
                jac.push_back(c(0.0));
            }
        }
    return J{{"n_states", n}, {"n_inputs", 0}, {"n_params", 0}, {"param_values", J::array()}, {"rhs", rhs},
             {"jacobian", jac}};
}

// Factoring the first block alone and solving block by block gives the whole matrix's solution,
// for one stage and for the Gauss method's two, and in lanes each lane's run alone, bit for bit.
template <int S>
void expect_blocks_solve_as_the_whole(const double (&a)[S][S], std::size_t blocks, std::uint64_t seed) {
    constexpr std::size_t W = 4;
    const Model m = load(sensitivity_blocks_document(blocks));
    const std::size_t n = m.n_states;
    std::mt19937_64 rng(seed);
    std::vector<std::vector<double>> xs(W), bs(W);
    std::array<double, W> hs{}, ts{};
    std::vector<double> x(n * W), b(S * n * W);
    for (std::size_t l = 0; l < W; ++l) {
        xs[l] = random_values(n, rng);
        bs[l] = random_values(S * n, rng);
        hs[l] = 0.05 * static_cast<double>(l + 1);
        for (std::size_t j = 0; j < n; ++j) x[j * W + l] = xs[l][j];
        for (std::size_t r = 0; r < S * n; ++r) b[r * W + l] = bs[l][r];
    }
    std::vector<LaneRun> runs(W);
    std::array<const double*, W> inputs{};
    LaneRhs<W> rhs(m, runs, nullptr, true);
    IterationMatrix<W, S> lanes(m, blocks);
    Lanes<W> which;
    which.fill(true);
    lanes.evaluate(rhs, x.data(), ts.data(), inputs.data(), which);
    lanes.factor(a, hs, which);
    lanes.solve(b.data());
    for (std::size_t l = 0; l < W; ++l) {
        ASSERT_TRUE(which[l]);
        std::vector<double> y[2];
        for (bool whole : {false, true}) {
            Scratch scratch = Scratch::for_model(m);
            m.fill_params(scratch);
            LaneRhs<1> alone_rhs(m, scratch, nullptr);
            IterationMatrix<1, S> alone = whole ? IterationMatrix<1, S>(m, Factors::dense)
                                                : IterationMatrix<1, S>(m, blocks);
            Lanes<1> one{true};
            const double* no_input[] = {nullptr};
            alone.evaluate(alone_rhs, xs[l].data(), &ts[l], no_input, one);
            alone.factor(a, {hs[l]}, one);
            ASSERT_TRUE(one[0]);
            y[whole] = bs[l];
            alone.solve(y[whole].data());
        }
        std::vector<double> lane(S * n);
        for (std::size_t r = 0; r < S * n; ++r) lane[r] = b[r * W + l];
        EXPECT_EQ(bits(lane), bits(y[0])) << "lane " << l;
        double scale = 0.0;
        for (double v : y[1]) scale = std::max(scale, std::fabs(v));
        for (std::size_t r = 0; r < S * n; ++r) EXPECT_NEAR(y[0][r], y[1][r], 1e-13 * scale) << l << " " << r;
    }
}

TEST(IterationMatrix, SensitivityBlocksSolveAsTheWholeMatrix) {
    const double one[1][1] = {{1.0}};
    expect_blocks_solve_as_the_whole(one, 3, 17);
    const double r = std::sqrt(3.0) / 6.0;
    const double gauss[2][2] = {{0.25, 0.25 - r}, {0.25 + r, 0.25}};
    expect_blocks_solve_as_the_whole(gauss, 2, 19);
}

// Eight lanes with their own parameters, states, inputs, times and c, one lane left out and one
// at a state that is not finite: each lane's solution has the bits of its run alone, and the
// same lanes are cleared.
TEST(IterationMatrix, SparseLanesAsRunsAlone) {
    constexpr std::size_t W = 8;
    for (bool with_jacobian : {true, false}) {
        const Model m = load(testing::chain_document(40, with_jacobian));
        const std::size_t n = m.n_states;
        ASSERT_GE(n, kSparseStates);
        std::mt19937_64 rng(5);
        std::vector<std::vector<double>> params(W), xs(W), us(W), bs(W);
        std::array<double, W> ts{}, cs{};
        for (std::size_t l = 0; l < W; ++l) {
            params[l] = m.params;
            params[l][0] *= 1.0 + 0.1 * static_cast<double>(l);
            xs[l] = random_values(n, rng);
            us[l] = random_values(1, rng);
            bs[l] = random_values(n, rng);
            ts[l] = 0.1 * static_cast<double>(l);
            cs[l] = 0.01 * static_cast<double>(l + 1);
        }
        xs[5][6] = std::numeric_limits<double>::quiet_NaN();
        Lanes<W> which;
        which.fill(true);
        which[2] = false;

        std::vector<LaneRun> runs(W);
        std::array<const double*, W> inputs{};
        std::vector<double> x(n * W), b(n * W);
        for (std::size_t l = 0; l < W; ++l) {
            runs[l].params = params[l];
            inputs[l] = us[l].data();
            for (std::size_t j = 0; j < n; ++j) {
                x[j * W + l] = xs[l][j];
                b[j * W + l] = bs[l][j];
            }
        }
        LaneRhs<W> rhs(m, runs, nullptr, true);
        IterationMatrix<W> lanes(m);
        ASSERT_TRUE(lanes.is_sparse());
        Lanes<W> factored = which;
        lanes.evaluate(rhs, x.data(), ts.data(), inputs.data(), factored);
        lanes.factor(cs, factored);
        lanes.solve(b.data());

        for (std::size_t l = 0; l < W; ++l) {
            if (!which[l]) continue;
            Scratch scratch = Scratch::for_model(m);
            scratch.params = params[l].data();
            m.fill_params(scratch);
            LaneRhs<1> alone_rhs(m, scratch, nullptr);
            IterationMatrix<1> alone(m);
            Lanes<1> one{true};
            const double* input[] = {us[l].data()};
            alone.evaluate(alone_rhs, xs[l].data(), &ts[l], input, one);
            alone.factor({cs[l]}, one);
            EXPECT_EQ(factored[l], one[0]) << l;
            EXPECT_EQ(one[0], l != 5) << l;
            if (!one[0]) continue;
            std::vector<double> y = bs[l], lane(n);
            alone.solve(y.data());
            for (std::size_t j = 0; j < n; ++j) lane[j] = b[j * W + l];
            EXPECT_EQ(bits(lane), bits(y)) << "lane " << l << " " << with_jacobian;
        }
    }
}

// x0' = 2 x0 + x1, x1' = -x1, factored sparse whatever the size: I - c J is singular for c = 1/2
// exactly, so that lane is cleared and keeps its right-hand side, while the other solves.
TEST(IterationMatrix, SparseClearsASingularLane) {
    const Model m = load({{"n_states", 2}, {"n_inputs", 0}, {"n_params", 0}, {"param_values", Json::array()},
                          {"rhs", Json::parse(R"([["add", ["mul", ["const", 2], ["ref", 0]], ["ref", 1]], ["neg", ["ref", 1]]])")}});
    std::vector<LaneRun> runs(2);
    LaneRhs<2> rhs(m, runs, nullptr, true);
    IterationMatrix<2> matrix(m, Factors::sparse);
    const double x[] = {0.0, 0.0, 0.0, 0.0}, t[] = {0.0, 0.0};
    const double* u[] = {nullptr, nullptr};
    Lanes<2> which{true, true};
    matrix.evaluate(rhs, x, t, u, which);
    matrix.factor({0.5, 0.25}, which);
    EXPECT_EQ(which, (Lanes<2>{false, true}));
    // lane 1: (I - J/4) y = (1, 1) with J = [[2, 1], [0, -1]] by differences
    double b[] = {1.0, 1.0, 1.0, 1.0};
    matrix.solve(b);
    EXPECT_EQ(b[0], 1.0);
    EXPECT_EQ(b[2], 1.0);
    EXPECT_NEAR(b[3], 0.8, 1e-7);
    EXPECT_NEAR(b[1], 2.0 * (1.0 + 0.25 * 0.8), 1e-6);
}

}  // namespace
}  // namespace zarel
