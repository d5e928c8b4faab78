// The implicit midpoint rule with steps of its own for the package: step doubling, dense output
// on the grid, simplified Newton through IterationMatrix (implicit_steps.hpp), for a run alone and
// for a group of runs in lanes. The engine's grid stepping stays in midpoint.cpp.
#include "implicit_steps.hpp"

namespace zarel {

namespace {

// The midpoint rule as a one-stage Gauss collocation method: Y = x + h/2 f(Y, t + h/2),
// x_new = x + h f(Y). Order 2: the step-doubling error is (x_halves - x_whole) / 3.
struct MidpointScheme {
    static constexpr int kStages = 1;
    static constexpr double kA[1][1] = {{0.5}};
    static constexpr double kB[1] = {1.0};
    static constexpr double kC[1] = {0.5};
    static constexpr int kOrder = 2;
    static constexpr StepControl kControl = implicit::kDoublingControl<kOrder>;
};

using MidpointSteps = implicit::Steps<MidpointScheme>;

}  // namespace

Status adaptive_midpoint_run(const Model& model, double* x, std::span<const double> t, const Inputs& inputs,
                             const SolverOptions& options, Work& work, double* u_rec, const RecordTarget& target) {
    return implicit::run_alone<MidpointScheme, DenseStepper>(model, x, t, inputs, options, work, u_rec, target);
}

void run_adaptive_midpoint_group(const Model& model, std::span<const LaneRun> runs, std::span<const double> t,
                                 const Inputs& inputs, const SolverOptions& options, const DeliverLane& deliver) {
    run_in_lanes<DenseGroup<MidpointSteps::Adaptive, Method::Midpoint>::Of>(model, runs, t, inputs, options, deliver,
                                                                              false);
}

}  // namespace zarel
