// gauss4, the two-stage Gauss-Legendre collocation method (order 4, symplectic, conserving
// quadratic invariants): steps of its own by step doubling with dense output on the grid, or one
// step per grid interval; its 2n stage unknowns solved by simplified Newton through the block
// matrix of IterationMatrix (implicit_steps.hpp), for a run alone and for a group of runs in lanes.
#include "implicit_steps.hpp"

namespace zarel {

namespace {

// Hairer, Norsett & Wanner I, Table II.7.3 (Gauss methods of order 4): c = 1/2 -+ sqrt(3)/6,
// A = [[1/4, 1/4 - sqrt(3)/6], [1/4 + sqrt(3)/6, 1/4]], b = [1/2, 1/2]. The step-doubling error
// is (x_halves - x_whole) / 15.
struct Gauss4Scheme {
    static constexpr double kR = 0.28867513459481288225;  // sqrt(3)/6
    static constexpr int kStages = 2;
    static constexpr double kA[2][2] = {{0.25, 0.25 - kR}, {0.25 + kR, 0.25}};
    static constexpr double kB[2] = {0.5, 0.5};
    static constexpr double kC[2] = {0.5 - kR, 0.5 + kR};
    static constexpr int kOrder = 4;
    static constexpr StepControl kControl = implicit::kDoublingControl<kOrder>;
};

using Gauss4Steps = implicit::Steps<Gauss4Scheme>;

}  // namespace

Status gauss4_run(const Model& model, double* x, std::span<const double> t, const Inputs& inputs,
                  const SolverOptions& options, Work& work, double* u_rec, const RecordTarget& target, bool dense) {
    if (dense)
        return implicit::run_alone<Gauss4Scheme, DenseStepper>(model, x, t, inputs, options, work, u_rec, target);
    return implicit::run_alone<Gauss4Scheme, implicit::GridStepper>(model, x, t, inputs, options, work, u_rec, target);
}

void run_gauss4_group(const Model& model, std::span<const LaneRun> runs, std::span<const double> t,
                      const Inputs& inputs, const SolverOptions& options, const DeliverLane& deliver, bool dense) {
    if (dense)
        return run_in_lanes<DenseGroup<Gauss4Steps::Adaptive, Method::Gauss4>::Of>(model, runs, t, inputs, options,
                                                                                    deliver, false);
    run_in_lanes<DenseGroup<Gauss4Steps::OnGrid, Method::Gauss4>::Of>(model, runs, t, inputs, options, deliver, false);
}

}  // namespace zarel
