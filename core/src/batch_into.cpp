// Batches that keep every run: each run writes straight into the caller's arrays and has its
// own outcome, so one failing run costs only itself.
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/enumerable_thread_specific.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/partitioner.h>

#include "checked_size.hpp"
#include "lanes.hpp"
#include "pool.hpp"
#include "run.hpp"

namespace zarel {

namespace {

// The rows of run i in an array of N runs of `width` values each, or nothing when not recorded.
template <class T>
std::span<T> run_rows(T* data, std::size_t i, std::size_t width) {
    if (!data) return {};
    return {data + i * width, width};
}

}  // namespace

Result<std::vector<std::optional<EngineError>>> simulate_batch_into(
    const Model& model, std::size_t count, std::span<const double> x0s,
    std::optional<std::span<const double>> params, std::span<const double> t,
    const Inputs& inputs, Method method, const SolverOptions& options, bool dense, const BatchTargets& targets) {
    const std::size_t n = model.n_states, m = model.n_inputs, p = model.n_params;
    const std::size_t L = t.size(), q = model.output_programs.size();
    if (auto st = check_grid(model, t, inputs); !st) return fail(std::move(st.error()));
    if (x0s.size() != checked_product(count, n))
        return invalid(std::to_string(count) + " runs need " + std::to_string(count) + " x " + std::to_string(n) +
                       " initial values, got " + std::to_string(x0s.size()));
    if (params && params->size() != checked_product(count, p))
        return invalid(std::to_string(count) + " runs need " + std::to_string(count) + " x " + std::to_string(p) +
                       " parameter values, got " + std::to_string(params->size()));

    std::vector<std::optional<EngineError>> outcomes(count);
    auto target_of = [&](std::size_t i) {
        return RecordTarget{run_rows(targets.x, i, L * n), run_rows(targets.u, i, L * m),
                            run_rows(targets.energy, i, L), run_rows(targets.supplied_power, i, L),
                            run_rows(targets.outputs, i, L * q)};
    };

    auto put_stats = [&](std::size_t i, const Counters& counted) {
        if (!targets.stats) return;
        std::uint64_t* s = targets.stats + i * 5;
        s[0] = counted.steps;
        s[1] = counted.rhs_evals;
        s[2] = counted.newton_iterations;
        s[3] = counted.jacobian_evals;
        s[4] = counted.rejected_steps;
    };
    auto run = [&](std::size_t i) {
        Work work = Work::for_run(model, method, params ? params->data() + i * p : nullptr, dense);
        const RecordTarget target = target_of(i);
        Status st = run_into(model, x0s.subspan(i * n, n), t, inputs, method, options, dense, work, target);
        put_stats(i, work);
        if (!st) {
            for (std::span<double> rows : {target.x, target.u, target.energy, target.supplied_power, target.outputs})
                std::fill(rows.begin(), rows.end(), std::numeric_limits<double>::quiet_NaN());
            outcomes[i].emplace(std::move(st.error()));
        }
    };
    // The fixed-step methods advance groups of runs in the lanes of the model's packed code,
    // recording straight into the caller's rows. A run that fails in its lane, or that the lanes
    // do not take, runs again alone, so that its error, its counts and its rows are exactly those
    // of run(i).
    const std::size_t width = group_width(model, method, dense);
    auto run_group = [&](std::size_t first, std::size_t last) {
        if (width == 1) {
            for (std::size_t i = first; i != last; ++i) run(i);
            return;
        }
        std::vector<LaneRun> runs;
        for (std::size_t i = first; i != last; ++i)
            runs.push_back({params ? params->subspan(i * p, p) : std::span<const double>(), x0s.subspan(i * n, n),
                            target_of(i)});
        const std::vector<std::size_t> alone =
            simulate_group(
                model, runs, t, inputs, method, options,
                [&](std::size_t k, Status&& st, const Counters& counted) {
                    if (!st) return run(first + k);
                    put_stats(first + k, counted);
                },
                dense);
        for (std::size_t k : alone) run(first + k);
    };
    batch_pool().execute([&] {
        tbb::parallel_for(
            tbb::blocked_range<std::size_t>(0, (count + width - 1) / width, 1),
            [&](const tbb::blocked_range<std::size_t>& share) {
                for (std::size_t g = share.begin(); g != share.end(); ++g)
                    run_group(g * width, std::min(count, g * width + width));
            },
            tbb::simple_partitioner());
    });
    return outcomes;
}

}  // namespace zarel
