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

// Copies a recorded quantity into its target rows; false when the run did not record it.
bool put(const std::vector<double>& recorded, std::span<double> rows) {
    if (rows.empty()) return true;
    if (recorded.size() != rows.size()) return false;
    std::copy(recorded.begin(), recorded.end(), rows.begin());
    return true;
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
        Work work = Work::for_run(model, method, params ? params->data() + i * p : nullptr);
        const RecordTarget target = target_of(i);
        Status st = run_into(model, x0s.subspan(i * n, n), t, inputs, method, options, dense, work, target);
        put_stats(i, work);
        if (!st) {
            for (std::span<double> rows : {target.x, target.u, target.energy, target.supplied_power, target.outputs})
                std::fill(rows.begin(), rows.end(), std::numeric_limits<double>::quiet_NaN());
            outcomes[i].emplace(std::move(st.error()));
        }
    };
    // The fixed-step methods advance groups of runs in the lanes of the model's packed code. A
    // run that fails in its lane, or whose trajectory lacks a quantity the caller asked for, runs
    // again alone, so that its error, its counts and its rows are exactly those of run(i).
    const std::size_t width = dense && method == Method::Rk45 ? 1 : group_width(model, method);
    tbb::enumerable_thread_specific<std::vector<Model>> lane_copies;
    auto run_group = [&](std::size_t first, std::size_t last) {
        if (width == 1) {
            for (std::size_t i = first; i != last; ++i) run(i);
            return;
        }
        std::vector<Model>& copies = lane_copies.local();
        if (params && copies.empty()) copies.assign(width, model);
        std::vector<const Model*> models;
        std::vector<std::span<const double>> starts;
        for (std::size_t i = first; i != last; ++i) {
            const Model* lane_model = &model;
            if (params) {
                Model& copy = copies[i - first];
                std::copy_n(params->data() + i * p, p, copy.params.begin());
                lane_model = &copy;
            }
            models.push_back(lane_model);
            starts.push_back(x0s.subspan(i * n, n));
        }
        simulate_group(models, starts, t, inputs, method, options, [&](std::size_t k, Result<Trajectory>&& traj) {
            const std::size_t i = first + k;
            const RecordTarget target = target_of(i);
            if (!traj || !(put(traj->x, target.x) && put(traj->u, target.u) && put(traj->energy, target.energy) &&
                           put(traj->supplied_power, target.supplied_power) && put(traj->outputs, target.outputs)))
                return run(i);
            put_stats(i, *traj);
        });
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
