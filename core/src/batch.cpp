// Batch runs: many simulations of one model over one grid, in parallel on the process pool.
#include <algorithm>
#include <atomic>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/enumerable_thread_specific.h>
#include <oneapi/tbb/info.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/partitioner.h>
#include <oneapi/tbb/task_arena.h>

#include "lanes.hpp"
#include "pool.hpp"
#include "zarel/solver.hpp"

namespace zarel {

namespace {

// The value of an environment variable when it is a positive decimal integer.
std::optional<int> positive_env(const char* name) {
    const char* text = std::getenv(name);
    if (!text) return std::nullopt;
    const std::string_view s(text);
    int value = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end != s.data() + s.size() || value <= 0) return std::nullopt;
    return value;
}

}  // namespace

// One pool for the whole process, sized on first use; the default concurrency already
// respects the process's CPU affinity.
tbb::task_arena& batch_pool() {
    static tbb::task_arena arena([] {
        if (auto n = positive_env("RAYON_NUM_THREADS")) return *n;
        if (auto n = positive_env("RAYON_RS_NUM_CPUS")) return *n;
        return tbb::info::default_concurrency();
    }());
    return arena;
}

Result<std::vector<Trajectory>> simulate_batch(const Model& model, const std::vector<std::vector<double>>& x0s,
                                               const std::vector<std::vector<double>>* params,
                                               std::span<const double> t, const Inputs& inputs, Method method,
                                               const SolverOptions& options) {
    const std::size_t count = x0s.size();
    if (params && params->size() != count)
        return invalid(std::to_string(count) + " initial states but " + std::to_string(params->size()) +
                       " parameter sets");
    if (count == 0) return std::vector<Trajectory>{};

    // A run's parameters travel beside the shared model, which stays read-only.
    auto run = [&](std::size_t i) -> Result<Trajectory> {
        if (!params) return simulate(model, x0s[i], t, inputs, method, options);
        return simulate(model, x0s[i], t, inputs, method, options, RunChoices{(*params)[i], false});
    };

    std::vector<Trajectory> out;
    if (count == 1) {
        auto traj = run(0);
        if (!traj) return fail(std::move(traj.error()));
        out.push_back(std::move(*traj));
        return out;
    }

    // Slots keep index order however the pool schedules the runs. The first failure stops
    // every share that has not begun. Only the first failing run may fill the error slot: it
    // claims it with an atomic exchange, so no failing run ever waits and no error can be lost
    // to a contended or spuriously failing lock.
    std::vector<std::optional<Trajectory>> slots(count);
    std::atomic<bool> stop{false};
    std::atomic<bool> claimed{false};
    std::mutex error_lock;
    std::optional<EngineError> pending;
    const auto deliver = [&](std::size_t i, Result<Trajectory>&& traj) {
        if (!traj) {
            if (!claimed.exchange(true, std::memory_order_acq_rel)) {
                std::lock_guard<std::mutex> guard(error_lock);
                pending.emplace(std::move(traj.error()));
            }
            stop.store(true, std::memory_order_relaxed);
            return;
        }
        if (stop.load(std::memory_order_relaxed)) return;
        slots[i] = std::move(*traj);
    };

    // Runs go to the workers in groups as wide as the model's lanes: a group advances its runs
    // together on packed code, each lane with its own parameters.
    const std::size_t width = group_width(model, method);
    auto run_group = [&](std::size_t first, std::size_t last) {
        if (width == 1) return deliver(first, run(first));
        std::vector<std::span<const double>> own, starts;
        std::vector<std::size_t> index;
        std::vector<std::optional<Result<Trajectory>>> results(last - first);
        for (std::size_t i = first; i < last; ++i) {
            if (params) {
                const std::vector<double>& p = (*params)[i];
                if (p.size() != model.n_params) {
                    results[i - first] = invalid("expected " + std::to_string(model.n_params) +
                                                 " parameter values, got " + std::to_string(p.size()));
                    continue;
                }
                own.push_back(p);
            }
            starts.push_back(x0s[i]);
            index.push_back(i);
        }
        // the lanes of a group fail in the order of time; handed on in index order, the batch
        // reports the error that running the group's runs one after the other would report
        simulate_group(model, own, starts, t, inputs, method, options,
                       [&](std::size_t k, Result<Trajectory>&& traj) { results[index[k] - first] = std::move(traj); });
        for (std::size_t i = first; i < last; ++i) {
            const bool failed = !results[i - first]->has_value();
            deliver(i, std::move(*results[i - first]));
            if (failed) return;
        }
    };

    batch_pool().execute([&] {
        tbb::parallel_for(
            tbb::blocked_range<std::size_t>(0, (count + width - 1) / width, 1),
            [&](const tbb::blocked_range<std::size_t>& share) {
                for (std::size_t g = share.begin(); g != share.end(); ++g) {
                    if (stop.load(std::memory_order_relaxed)) return;
                    run_group(g * width, std::min(count, g * width + width));
                }
            },
            tbb::simple_partitioner());
    });

    if (pending) return fail(std::move(*pending));
    out.reserve(count);
    for (auto& slot : slots) {
        if (!slot) throw std::logic_error("a batch run ended without a result or an error");
        out.push_back(std::move(*slot));
    }
    return out;
}

}  // namespace zarel
