// Lanes against one run at a time and against hand-written C++: the Lorenz ensemble (rho swept
// over [0, 21]) with RK4, integrated by simulate_batch on one worker with the packed code (the
// default) and with ZAREL_LANES=1, and by a hand-written scalar RK4 with the same operations in
// the same order, recording every state like the engine. Times are the best of several rounds,
// all in this one process; prints one JSON object with ns per trajectory-step and the ratios.
// Usage: bench_lanes [runs, default 4096] [steps, default 1000] [rounds, default 3]; ZAREL_LANES=2
// or 4 measures two or four lanes on a processor with more.
#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "zarel/model.hpp"
#include "zarel/solver.hpp"

namespace {

using zarel::Json;

Json ref(int i) { return Json::array({"ref", i}); }
Json op(const char* name, Json a, Json b) { return Json::array({name, std::move(a), std::move(b)}); }

// x' = sigma (y - x), y' = x (rho - z) - y, z' = x y - beta z; env: x y z sigma rho beta t
Json lorenz() {
    return {{"n_states", 3}, {"n_inputs", 0}, {"n_params", 3}, {"param_values", {10.0, 28.0, 8.0 / 3.0}},
            {"rhs", Json::array({op("mul", ref(3), op("sub", ref(1), ref(0))),
                                 op("sub", op("mul", ref(0), op("sub", ref(4), ref(2))), ref(1)),
                                 op("sub", op("mul", ref(0), ref(1)), op("mul", ref(5), ref(2)))})}};
}

// The same right-hand side and RK4 step written by hand, operation for operation.
struct Lorenz {
    double sigma, rho, beta;
    void rhs(const double* x, double* k) const {
        k[0] = sigma * (x[1] - x[0]);
        k[1] = x[0] * (rho - x[2]) - x[1];
        k[2] = x[0] * x[1] - beta * x[2];
    }
};

std::vector<double> hand_written(const Lorenz& f, const std::vector<double>& x0, const std::vector<double>& t) {
    std::vector<double> rec(t.size() * 3);
    double x[3] = {x0[0], x0[1], x0[2]}, xs[3], k1[3], k2[3], k3[3], k4[3];
    std::copy_n(x, 3, rec.begin());
    for (std::size_t s = 0; s + 1 < t.size(); ++s) {
        const double h = t[s + 1] - t[s], hh = 0.5 * h;
        f.rhs(x, k1);
        for (int i = 0; i < 3; ++i) xs[i] = k1[i] * hh + x[i];
        f.rhs(xs, k2);
        for (int i = 0; i < 3; ++i) xs[i] = k2[i] * hh + x[i];
        f.rhs(xs, k3);
        for (int i = 0; i < 3; ++i) xs[i] = k3[i] * h + x[i];
        f.rhs(xs, k4);
        const double h6 = h / 6.0;
        for (int i = 0; i < 3; ++i) x[i] = (((k1[i] + 2.0 * k2[i]) + 2.0 * k3[i]) + k4[i]) * h6 + x[i];
        std::copy_n(x, 3, rec.begin() + static_cast<std::ptrdiff_t>(3 * (s + 1)));
    }
    return rec;
}

// The best time of each function over the rounds, the functions taking turns within a round so
// that a shared machine's drifting load reaches all of them alike.
std::vector<double> best_seconds(int rounds, const std::vector<std::function<void()>>& fs) {
    std::vector<double> best(fs.size(), 1e300);
    for (int r = 0; r < rounds; ++r) {
        for (std::size_t k = 0; k < fs.size(); ++k) {
            const auto start = std::chrono::steady_clock::now();
            fs[k]();
            best[k] = std::min(best[k], std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
    }
    return best;
}

// The model with ZAREL_LANES as given, or as the environment has it when null.
zarel::Model load(const char* lanes) {
    const char* saved = std::getenv("ZAREL_LANES");
    const std::string before = saved ? saved : "";
    if (lanes) ::setenv("ZAREL_LANES", lanes, 1);
    auto m = zarel::Model::from_value(lorenz());
    if (saved) {
        ::setenv("ZAREL_LANES", before.c_str(), 1);
    } else {
        ::unsetenv("ZAREL_LANES");
    }
    if (!m) {
        std::fprintf(stderr, "bench_lanes: %s\n", m.error().display().c_str());
        std::exit(1);
    }
    return std::move(*m);
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t runs = argc > 1 ? std::stoul(argv[1]) : 4096;
    const std::size_t steps = argc > 2 ? std::stoul(argv[2]) : 1000;
    const int rounds = argc > 3 ? std::stoi(argv[3]) : 3;
    ::setenv("RAYON_NUM_THREADS", "1", 1);  // one worker: the figures are per core

    std::vector<double> t(steps + 1);
    for (std::size_t k = 0; k <= steps; ++k) t[k] = 0.01 * static_cast<double>(k);
    std::vector<std::vector<double>> x0s(runs, std::vector<double>{1.0, 0.0, 0.0}), params;
    for (std::size_t i = 0; i < runs; ++i)
        params.push_back({10.0, 21.0 * static_cast<double>(i) / static_cast<double>(runs - 1), 8.0 / 3.0});
    const zarel::SolverOptions options{1e-8, 1e-10, 1e-10, 50, 1000000, false, false};

    const zarel::Model lanes = load(nullptr), single = load("1");
    std::vector<zarel::Trajectory> with_lanes, without;
    std::vector<std::vector<double>> by_hand(runs);
    const auto batch = [&](const zarel::Model& m, std::vector<zarel::Trajectory>& out) {
        auto r = zarel::simulate_batch(m, x0s, &params, t, zarel::Inputs{}, zarel::Method::Rk4, options);
        if (!r) {
            std::fprintf(stderr, "bench_lanes: %s\n", r.error().display().c_str());
            std::exit(1);
        }
        out = std::move(*r);
    };
    // the package's batch: every run written straight into one array, as its caller's NumPy array
    std::vector<double> flat_x0s, flat_params, into(runs * t.size() * 3);
    for (std::size_t i = 0; i < runs; ++i) {
        flat_x0s.insert(flat_x0s.end(), x0s[i].begin(), x0s[i].end());
        flat_params.insert(flat_params.end(), params[i].begin(), params[i].end());
    }
    const std::vector<double> best = best_seconds(
        rounds, {[&] { batch(lanes, with_lanes); }, [&] { batch(single, without); },
                 [&] {
                     auto r = zarel::simulate_batch_into(lanes, runs, flat_x0s, std::span<const double>(flat_params), t,
                                                         zarel::Inputs{}, zarel::Method::Rk4, options, false,
                                                         zarel::BatchTargets{into.data()});
                     if (!r) std::exit(1);
                 },
                 [&] {
                     for (std::size_t i = 0; i < runs; ++i)
                         by_hand[i] = hand_written({params[i][0], params[i][1], params[i][2]}, x0s[i], t);
                 }});
    const double s_lanes = best[0], s_single = best[1], s_into = best[2], s_hand = best[3];

    bool identical = true;
    for (std::size_t i = 0; i < runs; ++i) {
        const auto& a = with_lanes[i].x;
        identical = identical && a.size() == by_hand[i].size() && a == without[i].x &&
                    std::equal(a.begin(), a.end(), into.begin() + static_cast<std::ptrdiff_t>(i * a.size())) &&
                    std::equal(a.begin(), a.end(), by_hand[i].begin(),
                               [](double u, double v) { return std::bit_cast<std::uint64_t>(u) == std::bit_cast<std::uint64_t>(v); });
    }
    const double per = 1e9 / (static_cast<double>(runs) * static_cast<double>(steps));
    const Json report = {{"model", "lorenz"},
                         {"method", "rk4"},
                         {"runs", runs},
                         {"steps", steps},
                         {"workers", 1},
                         {"lanes", lanes.native.lanes},
                         {"ns_per_trajectory_step_lanes", s_lanes * per},
                         {"ns_per_trajectory_step_lanes_into_one_array", s_into * per},
                         {"ns_per_trajectory_step_one_run_at_a_time", s_single * per},
                         {"ns_per_trajectory_step_hand_written_cpp", s_hand * per},
                         {"lanes_over_one_run_at_a_time", s_lanes / s_single},
                         {"lanes_over_hand_written_cpp", s_lanes / s_hand},
                         {"lanes_into_one_array_over_hand_written_cpp", s_into / s_hand},
                         {"bit_identical", identical}};
    std::printf("%s\n", report.dump(1).c_str());
    return identical ? 0 : 1;
}
