// Runs in lanes: a group of simulations of one model over one grid, advanced in lockstep by the
// model's packed machine code, each lane one run.
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "lane_arrays.hpp"
#include "run.hpp"
#include "zarel/solver.hpp"

namespace zarel {

// How many runs simulate_group advances at once for this model and method (rk45 with dense
// output when `dense`): the lanes of the model's packed code, or 1 (each run on its own) for a
// model without them (for dense rk45: without the packed code of a whole attempt).
std::size_t group_width(const Model& model, Method method, bool dense = false);

// Run k of a group of runs of one model: its parameters (n_params values; none: the model's
// own), its initial state, and where it records its grid points.
struct LaneRun {
    std::span<const double> params;
    std::span<const double> x0;
    RecordTarget target;

    // The parameters a run's Scratch takes: null for the model's own.
    const double* own_params() const { return params.empty() ? nullptr : params.data(); }
};

// Receives how run k ended: its counters when it succeeded, or its error; once for every run the
// group took.
using DeliverLane = std::function<void(std::size_t k, Status&& status, const Counters& counted)>;

// Runs k = 0 .. runs.size()-1 (at most group_width of them), each recording into its target
// exactly what run_into records for it, with the same counters or error; a run that fails stops
// there (its rows are left as they are) and the others go on. Returns the runs the lanes cannot
// take (a bad grid or series, an initial state of the wrong length or not finite), in order,
// untouched: those are the caller's to run alone, where their errors are built. `dense`: rk45
// with dense output, as run_into with dense.
std::vector<std::size_t> simulate_group(const Model& model, std::span<const LaneRun> runs, std::span<const double> t,
                                        const Inputs& inputs, Method method, const SolverOptions& options,
                                        const DeliverLane& deliver, bool dense = false);

// Whether each run of a group is still running (a byte each: read on every step).
using LaneFlags = std::vector<char>;

// How the runs of a group stand: which still run, and what each has counted.
struct LaneOutcomes {
    LaneFlags active;
    std::vector<Counters> counted;

    explicit LaneOutcomes(std::size_t runs) : active(runs, 1), counted(runs) {}

    // Run l ends here with `status` and its counters as they stand.
    void stop(std::size_t l, Status&& status, const DeliverLane& deliver) {
        active[l] = 0;
        deliver(l, std::move(status), counted[l]);
    }

    // After the step to t_end, as the driver checks a run alone: each running run whose state is
    // not finite (lane_finite(l) false) stops with the driver's error; all_states, every lane's
    // state (lane-major, `width` lanes), is tested once first, as all finite is the common case.
    // Whether any run still runs.
    template <class LaneFinite>
    bool stop_non_finite(std::span<const double> all_states, std::size_t width, double t_end,
                         LaneFinite&& lane_finite, const DeliverLane& deliver) {
        const bool every = all_finite_lanes(all_states, width);
        bool any = false;
        for (std::size_t l = 0; l < active.size(); ++l) {
            if (!active[l]) continue;
            if (!every && !lane_finite(l)) {
                stop(l, fail(NonFinite{"the state", t_end}), deliver);
                continue;
            }
            any = true;
        }
        return any;
    }

    // Every run still running ends with its counters.
    void finish(const DeliverLane& deliver) {
        for (std::size_t l = 0; l < active.size(); ++l)
            if (active[l]) deliver(l, Status{}, counted[l]);
    }
};

// Records the grid points of a group's runs as record() records each run alone: the state and the
// input in force copied, the energy (at zero inputs and t = 0), the supplied power and the named
// outputs (at the input in force and t[k]) by one call of their packed code for all lanes.
class LaneRecorder {
public:
    LaneRecorder(const Model& model, std::span<const LaneRun> runs, std::span<const double> t, const Inputs& inputs);

    // Grid point k of every run whose `active` flag is set, from the states x (n * W values,
    // lane-major).
    void record(std::size_t k, const double* x, const LaneFlags& active);

private:
    std::span<const LaneRun> runs_;
    const Model& model_;
    std::span<const double> t_;
    const Inputs& inputs_;
    std::size_t w_, n_, m_;
    bool packed_ = false;  // whether the model has packed code for every recorded quantity
    // The energy and supplied power of a model whose expressions for them read no slot (no
    // energy, no ports): the same at every point of every run, evaluated once.
    std::optional<double> energy_fixed_, power_fixed_;
    LaneArray env_, packed_out_;
    std::vector<double> result_, u_rec_, lane_x_, out_;
    Scratch scratch_;
};

// What each run of a group of dense-output steppers keeps: its work (scratch, counters, buffers),
// the input in force where it records, and where its states go (its grid point 0 recorded here);
// the rest of its target is recorded by record_points when it ends well, before it is delivered.
struct DenseLanes {
    std::vector<Work> works;
    std::vector<std::vector<double>> u_rec;
    std::vector<RecordTarget> states;  // the steppers keep references into these

    DenseLanes(const Model& model, std::span<const LaneRun> runs, Method method, std::span<const double> t,
               const Inputs& inputs)
        : model_(model), runs_(runs), t_(t), inputs_(inputs) {
        works.reserve(runs.size());
        u_rec.reserve(runs.size());
        states.reserve(runs.size());
        for (const LaneRun& r : runs) {
            Work& w = works.emplace_back(Work::for_run(model, method, r.own_params(), true));
            double* u = u_rec.emplace_back(std::max<std::size_t>(model.n_inputs, 1), 0.0).data();
            record(model, inputs, t, 0, r.x0.data(), u, states.emplace_back(states_of(r.target)), w.scratch,
                   w.out.data());
        }
    }

    void deliver(std::size_t l, Status&& st, const DeliverLane& to) {
        if (st) record_points(model_, inputs_, t_, 0, t_.size(), runs_[l].target, works[l].scratch);
        to(l, std::move(st), works[l]);
    }

private:
    const Model& model_;
    std::span<const LaneRun> runs_;
    std::span<const double> t_;
    const Inputs& inputs_;
};

// The runs of a group added to a dense-output method's steps (dop853, rodas5p, the collocation
// methods: add(model, x0, work, u_rec, target), run(deliver)), each with its work and recording,
// then every lane run to its end and delivered.
template <class Steps>
void run_dense_group(const Model& model, std::span<const LaneRun> runs, Method method, std::span<const double> t,
                     const Inputs& inputs, Steps& steps, const DeliverLane& deliver) {
    DenseLanes lanes(model, runs, method, t, inputs);
    for (std::size_t l = 0; l < runs.size(); ++l)
        steps.add(model, runs[l].x0, lanes.works[l], lanes.u_rec[l].data(), lanes.states[l]);
    steps.run([&](std::size_t l, Status&& st) { lanes.deliver(l, std::move(st), deliver); });
}

// The same steps for a run alone from x (overwritten by the state where it ended), on its work.
template <class Steps>
Status run_dense_alone(const Model& model, double* x, Work& work, double* u_rec, const RecordTarget& target,
                       Steps& steps) {
    steps.add(model, {x, model.n_states}, work, u_rec, target);
    Status status;
    steps.run([&](std::size_t, Status&& st) { status = std::move(st); });
    std::copy_n(steps.x(0), model.n_states, x);
    return status;
}

// Writes the parameters of each of `width` lanes into their slots of a lane-major environment
// (lanes beyond the group repeat run 0's).
void put_lane_parameters(const Model& model, std::span<const LaneRun> runs, std::size_t width,
                         std::span<double> env);
// Writes the initial state of each of `width` lanes, lane-major, into x (lanes beyond the group
// repeat run 0's).
void put_lane_starts(const Model& model, std::span<const LaneRun> runs, std::size_t width, std::span<double> x);

// The most lanes a model's packed code has.
inline constexpr std::size_t kMaxLanes = 8;

// A group of W lanes runs only where the processor has the packed code for W: its lane-major
// loops are compiled for the same vector width (every call inlined into one function compiled for
// it), with the same IEEE operations in the same order as the baseline build's.
template <template <std::size_t> class Group, class... More>
__attribute__((target("avx512f"), flatten)) void run_eight_lanes(const Model& model, std::span<const LaneRun> runs,
                                                                 std::span<const double> t, const Inputs& inputs,
                                                                 const SolverOptions& options,
                                                                 const DeliverLane& deliver, More... more) {
    Group<8>(model, runs, t, inputs, options, more...).run(deliver);
}
template <template <std::size_t> class Group, class... More>
__attribute__((target("avx2"), flatten)) void run_four_lanes(const Model& model, std::span<const LaneRun> runs,
                                                             std::span<const double> t, const Inputs& inputs,
                                                             const SolverOptions& options, const DeliverLane& deliver,
                                                             More... more) {
    Group<4>(model, runs, t, inputs, options, more...).run(deliver);
}

// Runs Group<8>, Group<4> or Group<2>, as many lanes as the group's model has; `more` goes to the
// group's constructor after the options.
template <template <std::size_t> class Group, class... More>
void run_in_lanes(const Model& model, std::span<const LaneRun> runs, std::span<const double> t, const Inputs& inputs,
                  const SolverOptions& options, const DeliverLane& deliver, More... more) {
    static_assert(kMaxLanes == 8);
    switch (model.native.lanes) {
    case 8: run_eight_lanes<Group>(model, runs, t, inputs, options, deliver, more...); break;
    case 4: run_four_lanes<Group>(model, runs, t, inputs, options, deliver, more...); break;
    default: Group<2>(model, runs, t, inputs, options, more...).run(deliver); break;
    }
}

// Runs euler or rk4 (`method`), rk45 (with dense output, or stepping to every grid point), or the
// midpoint method, for a group taken by simulate_group.
void run_fixed_step_group(const Model& model, std::span<const LaneRun> runs, std::span<const double> t, const Inputs& inputs,
                          const SolverOptions& options, const DeliverLane& deliver, Method method);
void run_rk45_group(const Model& model, std::span<const LaneRun> runs, std::span<const double> t, const Inputs& inputs,
                    const SolverOptions& options, const DeliverLane& deliver, bool dense);
// dop853 with dense output, or with steps ending on every grid point (`every_point`).
void run_dop853_group(const Model& model, std::span<const LaneRun> runs, std::span<const double> t, const Inputs& inputs,
                      const SolverOptions& options, const DeliverLane& deliver, bool every_point);
// Rodas5P with dense output, or with steps ending on every grid point (`every_point`).
void run_rodas5p_group(const Model& model, std::span<const LaneRun> runs, std::span<const double> t, const Inputs& inputs,
                       const SolverOptions& options, const DeliverLane& deliver, bool every_point);
void run_midpoint_group(const Model& model, std::span<const LaneRun> runs, std::span<const double> t, const Inputs& inputs,
                        const SolverOptions& options, const DeliverLane& deliver);

// The implicit midpoint rule with steps of its own and dense output; gauss4 with them (`dense`) or
// one step per grid interval.
void run_adaptive_midpoint_group(const Model& model, std::span<const LaneRun> runs, std::span<const double> t,
                                 const Inputs& inputs, const SolverOptions& options, const DeliverLane& deliver);
void run_gauss4_group(const Model& model, std::span<const LaneRun> runs, std::span<const double> t,
                      const Inputs& inputs, const SolverOptions& options, const DeliverLane& deliver, bool dense);

// Receives run k's trajectory or error, once for every run of a group.
using DeliverRun = std::function<void(std::size_t k, Result<Trajectory>&& run)>;

// The same for runs k = 0 .. x0s.size()-1 of `model` from x0s[k] with parameters params[k] (no
// params: the model's own), delivering for each exactly what simulate(model, x0s[k], t, inputs,
// method, options, {params[k], dense}) returns: the same bits, counters and error.
void simulate_group(const Model& model, std::span<const std::span<const double>> params,
                    std::span<const std::span<const double>> x0s,
                    std::span<const double> t, const Inputs& inputs, Method method, const SolverOptions& options,
                    const DeliverRun& deliver, bool dense = false);

}  // namespace zarel
