// The model's code against hand-written C++: each benchmark model's right-hand side as a loaded
// document, on the interpreter (ZAREL_JIT=0) and as machine code (the default), and hand-written in
// C++ with the same operations in the same order, timed per evaluation and through the same
// integrators, with the load time of each path. Prints one JSON object per model.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
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

// A chain of n masses at rest, displaced linearly from 0.1 at the wall to 0 at the free end.
std::vector<double> chain_start(int n) {
    std::vector<double> x0(2 * static_cast<std::size_t>(n), 0.0);
    for (int i = 0; i < n; ++i) x0[static_cast<std::size_t>(i)] = 0.1 * (n - i) / n;
    return x0;
}

template <int N>
Case chain_case() {
    return {"mass chain n=" + std::to_string(N), chain_doc(N), chain_native<N>, chain_start(N), 20.0};
}

// Cubic-stiffening springs, F_i = k d_i + kc ((d_i d_i) d_i): each force computed once and used
// in the two rows it acts on, as one writes it by hand (the document spells it out twice).
template <int N>
void cubic_native(const double* e, double* out) {
    const double* q = e;
    const double* p = e + N;
    const double k = 1.0, kc = 0.5, c = 0.05;
    double force[N];
    for (int i = 0; i < N; ++i) {
        const double d = i > 0 ? q[i] - q[i - 1] : q[0];
        force[i] = k * d + kc * ((d * d) * d);
    }
    for (int i = 0; i < N; ++i) out[i] = 1.0 * p[i];
    for (int i = 0; i + 1 < N; ++i) out[N + i] = (force[i + 1] - force[i]) - c * p[i];
    out[2 * N - 1] = -force[N - 1] - c * p[N - 1];
}

Json cubic_doc(int n) {
    std::vector<Json> force;
    for (int i = 0; i < n; ++i) {
        Json d = i > 0 ? op("sub", ref(i), ref(i - 1)) : ref(0);
        force.push_back(op("add", op("mul", num(1.0), d), op("mul", num(0.5), op("mul", op("mul", d, d), d))));
    }
    Json rhs = Json::array();
    for (int i = 0; i < n; ++i) rhs.push_back(op("mul", num(1.0), ref(n + i)));
    for (int i = 0; i < n; ++i) {
        Json pull = i + 1 < n ? op("sub", force[i + 1], force[i]) : Json::array({"neg", force[i]});
        rhs.push_back(op("sub", pull, op("mul", num(0.05), ref(n + i))));
    }
    return {{"n_states", 2 * n}, {"n_inputs", 0}, {"n_params", 0}, {"param_values", Json::array()}, {"rhs", rhs}};
}

template <int N>
Case cubic_case() {
    return {"cubic chain n=" + std::to_string(N), cubic_doc(N), cubic_native<N>, chain_start(N), 20.0};
}

// v_i' = g ((v_{i-1} - v_i) - (v_i - v_{i+1})), v_{-1} the source (parameter 0); the last node
// has no right-hand current.
template <int N>
void ladder_native(const double* e, double* out) {
    const double g = 1.0;
    const double* v = e;
    for (int i = 0; i < N; ++i) {
        const double left = (i == 0 ? e[N] : v[i - 1]) - v[i];
        out[i] = i + 1 < N ? g * (left - (v[i] - v[i + 1])) : g * left;
    }
}

template <int N>
Case ladder_case() {
    Json rhs = Json::array();
    for (int i = 0; i < N; ++i) {
        Json left = op("sub", ref(i == 0 ? N : i - 1), ref(i));
        rhs.push_back(op("mul", num(1.0), i + 1 < N ? op("sub", left, op("sub", ref(i), ref(i + 1))) : left));
    }
    Json doc = {{"n_states", N}, {"n_inputs", 0}, {"n_params", 1}, {"param_values", {1.0}}, {"rhs", rhs}};
    return {"rc ladder n=" + std::to_string(N), doc, ladder_native<N>, std::vector<double>(N, 0.0), 20.0};
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
            ladder_case<50>(),
            chain_case<2>(), chain_case<5>(), chain_case<10>(), chain_case<20>(), chain_case<50>(),
            chain_case<100>(), chain_case<200>(),
            cubic_case<2>(), cubic_case<5>(), cubic_case<10>(), cubic_case<20>(), cubic_case<50>(),
            cubic_case<100>(), cubic_case<200>()};
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

// Loads the document on the interpreter (jit false: ZAREL_JIT=0, read at load) or the default path.
zarel::Model load(const Json& doc, bool jit) {
    if (jit) {
        unsetenv("ZAREL_JIT");
    } else {
        setenv("ZAREL_JIT", "0", 1);
    }
    auto loaded = zarel::Model::from_value(doc);
    unsetenv("ZAREL_JIT");
    if (!loaded) {
        std::fprintf(stderr, "%s\n", loaded.error().display().c_str());
        std::exit(1);
    }
    return std::move(*loaded);
}

std::size_t instructions_of(const zarel::Model& m) {
    std::size_t count = 0;
    for (const auto& p : m.rhs_programs) count += p.code.size();
    return count;
}

double checksum = 0.0;

// Seconds per right-hand-side evaluation, on a slowly moving state so nothing can be hoisted.
double per_eval(const zarel::Model& m, std::vector<double> x, const std::vector<double>& u, double t, long evals) {
    zarel::Scratch scratch = zarel::Scratch::for_model(m);
    std::vector<double> out(m.n_states + 1);
    std::vector<double> input(u);
    input.push_back(0.0);
    const double& last = out[m.n_states > 0 ? m.n_states - 1 : 0];
    return best_time([&] {
               for (long k = 0; k < evals; ++k) {
                   x[0] += 1e-12;
                   m.rhs_into(x.data(), input.data(), t, out.data(), scratch);
                   checksum += last;
               }
           }) / static_cast<double>(evals);
}

long evals_for(std::size_t instructions) {
    return std::max<long>(2000, 20'000'000 / static_cast<long>(instructions + 1));
}

// --eval FILE: the per-evaluation cost of one document ({"doc", "x", "u", "t"}) on both paths.
int eval_file(const char* path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    auto parsed = zarel::parse_json(text.str());
    if (!parsed) {
        std::fprintf(stderr, "%s: %s\n", path, parsed.error().display().c_str());
        return 1;
    }
    const Json& spec = *parsed;
    const zarel::Model interpreted = load(spec.at("doc"), false), compiled = load(spec.at("doc"), true);
    const auto x = spec.at("x").get<std::vector<double>>(), u = spec.at("u").get<std::vector<double>>();
    const double t = spec.at("t").get<double>();
    const long evals = evals_for(instructions_of(interpreted));
    std::printf("{\"ns_per_eval_interpreter\": %.2f, \"ns_per_eval_jit\": %.2f, \"machine_code\": %s}\n",
                per_eval(interpreted, x, u, t, evals) * 1e9, per_eval(compiled, x, u, t, evals) * 1e9,
                compiled.native.rhs ? "true" : "false");
    return 0;
}

}  // namespace

// Without arguments, every model: evaluations and whole rk4 and rk45 runs on the interpreter, the
// machine code and the hand-written C++, and load times. With a name, only the models whose name
// contains it, evaluated a fixed 20000 times on each path and without whole runs: a steady
// workload for instruction counting under callgrind. With --eval FILE, one document's evaluation.
int main(int argc, char** argv) {
    if (argc > 2 && std::string(argv[1]) == "--eval") return eval_file(argv[2]);
    const std::string only = argc > 1 ? argv[1] : "";
    for (Case& c : cases()) {
        if (!only.empty() && c.name.find(only) == std::string::npos) continue;
        const zarel::Model interpreted = load(c.doc, false), compiled = load(c.doc, true);
        zarel::Model native = interpreted;
        native.native_rhs = c.native;
        const std::size_t n = interpreted.n_states, instructions = instructions_of(interpreted);
        const std::vector<double> no_input;

        const long evals = only.empty() ? evals_for(instructions) : 20000;
        const double e_interp = per_eval(interpreted, c.x0, no_input, 0.0, evals),
                     e_jit = per_eval(compiled, c.x0, no_input, 0.0, evals);
        if (!only.empty()) {
            std::printf("{\"model\": \"%s\", \"ns_per_eval_interpreter\": %.2f, \"ns_per_eval_jit\": %.2f}\n",
                        c.name.c_str(), e_interp * 1e9, e_jit * 1e9);
            continue;
        }
        const double e_native = per_eval(native, c.x0, no_input, 0.0, evals);

        // whole runs through the same integrator code
        std::vector<double> grid(2001);
        for (std::size_t i = 0; i < grid.size(); ++i) grid[i] = c.t_end * static_cast<double>(i) / 2000.0;
        const zarel::SolverOptions options{1e-8, 1e-10, 1e-10, 50, 1000000, false, false};
        auto run = [&](const zarel::Model& m, zarel::Method method) {
            return best_time([&] {
                auto r = zarel::simulate(m, c.x0, grid, zarel::Inputs{}, method, options);
                checksum += r ? r->x.back() : 0.0;
            }, 3) * 1e3;
        };
        using zarel::Method;
        const double rk45_i = run(interpreted, Method::Rk45), rk45_j = run(compiled, Method::Rk45),
                     rk45_n = run(native, Method::Rk45);
        const double rk4_i = run(interpreted, Method::Rk4), rk4_j = run(compiled, Method::Rk4),
                     rk4_n = run(native, Method::Rk4);
        auto load_ms = [&](bool jit) { return best_time([&] { checksum += load(c.doc, jit).n_states; }) * 1e3; };
        const double load_i = load_ms(false), load_j = load_ms(true);
        std::printf(
            "{\"model\": \"%s\", \"n_states\": %zu, \"instructions\": %zu, \"machine_code\": %s, "
            "\"ns_per_eval_interpreter\": %.2f, \"ns_per_eval_jit\": %.2f, \"ns_per_eval_native\": %.2f, "
            "\"ns_per_instruction\": %.3f, \"ratio\": %.2f, \"ratio_jit\": %.2f, "
            "\"rk45_ms_interpreter\": %.3f, \"rk45_ms_jit\": %.3f, \"rk45_ms_native\": %.3f, "
            "\"rk4_ms_interpreter\": %.3f, \"rk4_ms_jit\": %.3f, \"rk4_ms_native\": %.3f, "
            "\"load_ms_interpreter\": %.3f, \"load_ms_jit\": %.3f}\n",
            c.name.c_str(), n, instructions, compiled.native.rhs ? "true" : "false", e_interp * 1e9, e_jit * 1e9,
            e_native * 1e9, e_interp * 1e9 / static_cast<double>(instructions), e_interp / e_native, e_jit / e_native,
            rk45_i, rk45_j, rk45_n, rk4_i, rk4_j, rk4_n, load_i, load_j);
        std::fflush(stdout);
    }
    // printed so that no evaluation can be optimised away
    std::fprintf(stderr, "(checksum %g)\n", checksum);
    return 0;
}
