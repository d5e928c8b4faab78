// The interpreter against compiled code: each benchmark model's right-hand side both as a
// compiled document and hand-written in C++, timed per evaluation and through the same
// integrators. Prints one JSON object per model.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "zarel/model.hpp"
#include "zarel/solver.hpp"

using zarel::Json;

namespace {

Json ref(int i) { return Json::array({"ref", i}); }
Json num(double v) { return Json::array({"const", v}); }
Json op(const char* name, Json a, Json b) { return Json::array({name, std::move(a), std::move(b)}); }

struct Case {
    std::string name;
    Json doc;
    void (*native)(const double* env, double* out);
    std::vector<double> x0;
    double t_end;
};

// theta' = omega, omega' = (-g) sin(theta)
void pendulum_native(const double* e, double* out) {
    out[0] = e[1];
    out[1] = -e[2] * std::sin(e[0]);
}

// x' = y, y' = (mu (1 - x x)) y - x
void vdp_native(const double* e, double* out) {
    out[0] = e[1];
    out[1] = e[2] * (1.0 - e[0] * e[0]) * e[1] - e[0];
}

template <int N>
void chain_native(const double* e, double* out) {
    const double* q = e;
    const double* p = e + N;
    const double k = 1.0, c = 0.05;
    for (int i = 0; i < N; ++i) out[i] = 1.0 * p[i];
    for (int i = 0; i < N; ++i) {
        const double left = i > 0 ? q[i] - q[i - 1] : q[0];
        double f = -k * left + -c * p[i];
        if (i + 1 < N) f = f + k * (q[i + 1] - q[i]);
        out[N + i] = f;
    }
}

Json chain_doc(int n) {
    Json rhs = Json::array();
    for (int i = 0; i < n; ++i) rhs.push_back(op("mul", num(1.0), ref(n + i)));
    for (int i = 0; i < n; ++i) {
        Json left = i > 0 ? op("sub", ref(i), ref(i - 1)) : ref(0);
        Json f = op("add", op("mul", num(-1.0), left), op("mul", num(-0.05), ref(n + i)));
        if (i + 1 < n) f = op("add", f, op("mul", num(1.0), op("sub", ref(i + 1), ref(i))));
        rhs.push_back(f);
    }
    return {{"n_states", 2 * n}, {"n_inputs", 0}, {"n_params", 0}, {"param_values", Json::array()}, {"rhs", rhs}};
}

template <int N>
Case chain_case() {
    std::vector<double> x0(2 * N, 0.0);
    for (int i = 0; i < N; ++i) x0[static_cast<std::size_t>(i)] = 0.1 * (N - i) / N;
    return {"mass chain n=" + std::to_string(N), chain_doc(N), chain_native<N>, x0, 20.0};
}

std::vector<Case> cases() {
    Json pend = {{"n_states", 2}, {"n_inputs", 0}, {"n_params", 1}, {"param_values", {9.81}},
                 {"rhs", {ref(1), op("mul", Json::array({"neg", ref(2)}), Json::array({"sin", ref(0)}))}}};
    auto vdp = [](double mu) {
        Json y = op("sub", op("mul", op("mul", ref(2), op("sub", num(1), op("mul", ref(0), ref(0)))), ref(1)), ref(0));
        return Json{{"n_states", 2}, {"n_inputs", 0}, {"n_params", 1}, {"param_values", {mu}}, {"rhs", {ref(1), y}}};
    };
    return {{"pendulum", pend, pendulum_native, {2.0, 0.0}, 20.0},
            {"van der pol mu=1", vdp(1.0), vdp_native, {2.0, 0.0}, 20.0},
            chain_case<2>(), chain_case<5>(), chain_case<10>(), chain_case<20>(), chain_case<50>(),
            chain_case<100>(), chain_case<200>()};
}

// Best of several timings of `body`, in seconds.
double best_time(const std::function<void()>& body, int repeat = 5) {
    double best = 1e300;
    for (int r = 0; r < repeat; ++r) {
        auto start = std::chrono::steady_clock::now();
        body();
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

}  // namespace

// With an argument, only the models whose name contains it, evaluated a fixed 20000 times and
// without whole runs: a steady workload for instruction counting under callgrind.
int main(int argc, char** argv) {
    const std::string only = argc > 1 ? argv[1] : "";
    double checksum = 0.0;
    for (Case& c : cases()) {
        if (!only.empty() && c.name.find(only) == std::string::npos) continue;
        auto loaded = zarel::Model::from_value(c.doc);
        if (!loaded) {
            std::fprintf(stderr, "%s: %s\n", c.name.c_str(), loaded.error().display().c_str());
            return 1;
        }
        zarel::Model interpreted = std::move(*loaded);
        zarel::Model native = interpreted;
        native.native_rhs = c.native;
        const std::size_t n = interpreted.n_states;
        std::size_t instructions = 0;
        for (const auto& p : interpreted.rhs_programs) instructions += p.code.size();

        // per evaluation, on a slowly moving state so nothing can be hoisted
        const long evals = only.empty() ? std::max<long>(2000, 20'000'000 / static_cast<long>(instructions + 1)) : 20000;
        std::vector<double> x(c.x0), out(n), u(1, 0.0);
        double& sink = checksum;
        auto per_eval = [&](const zarel::Model& m) {
            zarel::Scratch scratch = zarel::Scratch::for_model(m);
            return best_time([&] {
                       for (long k = 0; k < evals; ++k) {
                           x[0] += 1e-12;
                           m.rhs_into(x.data(), u.data(), 0.0, out.data(), scratch);
                           sink += out[n - 1];
                       }
                   }) / static_cast<double>(evals);
        };
        const double t_interp = per_eval(interpreted), t_native = per_eval(native);
        if (!only.empty()) {
            std::printf("{\"model\": \"%s\", \"ns_per_eval_interpreter\": %.2f}\n", c.name.c_str(), t_interp * 1e9);
            continue;
        }

        // whole runs through the same integrator code
        std::vector<double> grid(2001);
        for (std::size_t i = 0; i < grid.size(); ++i) grid[i] = c.t_end * static_cast<double>(i) / 2000.0;
        const zarel::SolverOptions options{1e-8, 1e-10, 1e-10, 50, 1000000, false, false};
        auto run = [&](const zarel::Model& m, zarel::Method method) {
            return best_time([&] {
                auto r = zarel::simulate(m, c.x0, grid, zarel::Inputs{}, method, options);
                sink += r ? r->x.back() : 0.0;
            }, 3);
        };
        const double rk45_i = run(interpreted, zarel::Method::Rk45), rk45_n = run(native, zarel::Method::Rk45);
        const double rk4_i = run(interpreted, zarel::Method::Rk4), rk4_n = run(native, zarel::Method::Rk4);
        std::printf(
            "{\"model\": \"%s\", \"n_states\": %zu, \"instructions\": %zu, \"ns_per_eval_interpreter\": %.2f, "
            "\"ns_per_eval_native\": %.2f, \"ns_per_instruction\": %.3f, \"ratio\": %.2f, "
            "\"rk45_ms_interpreter\": %.3f, \"rk45_ms_native\": %.3f, \"rk4_ms_interpreter\": %.3f, "
            "\"rk4_ms_native\": %.3f}\n",
            c.name.c_str(), n, instructions, t_interp * 1e9, t_native * 1e9, t_interp * 1e9 / static_cast<double>(instructions),
            t_interp / t_native, rk45_i * 1e3, rk45_n * 1e3, rk4_i * 1e3, rk4_n * 1e3);
    }
    // printed so that no evaluation can be optimised away
    std::fprintf(stderr, "(checksum %g)\n", checksum);
    return 0;
}
