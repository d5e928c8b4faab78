// Steps of the implicit collocation methods (the midpoint rule, two-stage Gauss-Legendre) for the
// package: the stage equations solved by simplified Newton iteration, the step size chosen by step
// doubling with dense output on the grid, or one step per grid interval; written once over W lanes
// (W = 1 is a run alone), each lane's operations in the same order whatever W.
//
// An attempt of length h from (t, x) takes two steps of h/2 (x -> x_mid -> x_end) and one of h
// (x -> x_full); the two halves are propagated, so the run is a composition of steps of the method
// and keeps its structure (symplectic, quadratic invariants conserved). Step doubling (Hairer,
// Norsett & Wanner I, II.4): with p the method's order, err = (x_end - x_full) / (2^p - 1) per
// component, normed as the explicit pairs norm theirs, by atol + rtol max(|x|, |x_end|), the largest
// component counting. A Newton iteration that fails rejects the attempt and halves the step.
//
// Dense output: the quintic Hermite interpolant through (x, f), (x_mid, f_mid), (x_end, f_end) at
// fractions 0, 1/2 and 1 of the step, of order 6, above the methods' 2 and 4: f is the step's
// first derivative (known), f_mid serves also as the second half's predictor, and f_end is the
// next step's first derivative, so dense output costs no evaluation beyond the stepping.
//
// Newton: the unknowns are the stage offsets Z_p = Y_p - x of Y_p = x + h sum_q a_pq f(Y_q, t +
// c_p h); each iteration evaluates the residual R_p = Z_p - h sum_q a_pq f(Y_q) and converges when
// every |R_p,i| <= kNewtonFraction atol + max(kNewtonFraction rtol, kRoundoff) |Y_p,i|, a fraction
// of the tolerance that scales with the state and is never below round-off;
// else it solves (I - h A x J) dZ = R by the factors of J at the start of some earlier attempt and
// updates Z -= dZ. A linear problem with a current J converges in one update, to round-off. The
// iteration fails when the residual is not finite, when its scaled norm does not decrease, or
// after max_newton updates. J is kept while the iterations converge fast: it is evaluated afresh at
// the start of the next attempt after a solve that needed more than kSlowUpdates updates or after a
// failure with an older J. The new state is x + h sum_p b_p f(Y_p), the evaluations at the
// accepted stages (those of the last residual).
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "checked_size.hpp"
#include "dense_stepper.hpp"
#include "dormand_prince.hpp"
#include "iteration_matrix.hpp"
#include "lane_rhs.hpp"
#include "lane_steppers.hpp"
#include "lanes.hpp"
#include "run.hpp"

namespace zarel::implicit {

// Newton's threshold, as a fraction of each component's tolerance atol + rtol |Y_i|: far below the
// error the step's control accepts, so that the solve's error neither enters the estimate nor
// spoils the method's structure (an invariant drifts by about the threshold times h |J| a step).
constexpr double kNewtonFraction = 1e-6;
// The least relative threshold Newton takes: a residual at round-off (64 units of the last place
// of the stage values) always converges, whatever the tolerances.
constexpr double kRoundoff = 64 * std::numeric_limits<double>::epsilon();
// A solve needing more updates than this has the Jacobian evaluated afresh at the next attempt.
constexpr std::uint64_t kSlowUpdates = 3;

// Step-size control of step doubling, as the explicit pairs': h_new = h * safety * err^(-1/(p+1))
// within bounds, no growth right after a rejection, and half the step after a failed Newton
// iteration (an error norm of NaN).
constexpr double kSafety = 0.9;
constexpr double kMinGrowth = 0.2;
constexpr double kMaxGrowth = 5.0;
constexpr double kMinShrink = 0.1;
constexpr double kMaxShrink = 0.9;
constexpr double kNewtonShrink = 0.5;

inline double doubling_factor(double errnorm, bool after_rejection, double exponent) {
    if (std::isnan(errnorm)) return kNewtonShrink;
    if (errnorm <= 1.0) {
        const double grow =
            errnorm == 0.0 ? kMaxGrowth : std::min(kMaxGrowth, std::max(kMinGrowth, kSafety * std::pow(errnorm, exponent)));
        return after_rejection ? std::min(1.0, grow) : grow;
    }
    return std::min(kMaxShrink, std::max(kMinShrink, kSafety * std::pow(errnorm, exponent)));
}

// The step control of a scheme of order kOrder on steps of its own by step doubling (the error
// of order kOrder + 1), its collapse guarded relative to the time.
template <int kOrder>
inline constexpr StepControl kDoublingControl{
    kOrder, [](double errnorm, bool after_rejection) {
        return doubling_factor(errnorm, after_rejection, -1.0 / (kOrder + 1));
    },
    true};

// The quintic Hermite interpolant at fraction theta of a step of length h through (x0, f0), (xm,
// fm) and (x1, f1) at fractions 0, 1/2 and 1, into out (n values); the inputs one lane of
// lane-major arrays (values W apart). Basis polynomials in factored form, exact at the nodes.
template <std::size_t W>
inline void hermite_at(double theta, double h, const double* __restrict x0, const double* __restrict f0,
                       const double* __restrict xm, const double* __restrict fm, const double* __restrict x1,
                       const double* __restrict f1, std::size_t n, double* __restrict out) {
    const double u = theta - 1.0, v = 2.0 * theta - 1.0;
    const double uu = u * u, vv = v * v, tt = theta * theta;
    const double w0 = uu * vv * (6.0 * theta + 1.0);
    const double d0 = h * (theta * uu * vv);
    const double wm = 16.0 * (tt * uu);
    const double dm = h * (8.0 * (tt * uu * v));
    const double w1 = -(tt * vv * (6.0 * theta - 7.0));
    const double d1 = h * (tt * u * vv);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t j = i * W;
        double acc = w0 * x0[j];
        acc = acc + wm * xm[j];
        acc = acc + w1 * x1[j];
        acc = acc + d0 * f0[j];
        acc = acc + dm * fm[j];
        acc = acc + d1 * f1[j];
        out[i] = acc;
    }
}

// Steps of one method per grid interval: the caller's steps for grid_steps. The same calls as
// DenseStepper, so one stepper runs either; the first derivative of every step is evaluated at
// its start (the predictor's), and a step whose Newton iteration fails (an error norm of NaN)
// ends the run.
class GridStepper {
public:
    GridStepper(const Model& model, double* x, double* k0, std::size_t stride, StepControl, std::span<const double> t,
                const Inputs& inputs, const SolverOptions&, Work& work, double* u_rec, const RecordTarget& target,
                bool = false)
        : model_(model), x_(x), k0_(k0), stride_(stride), t_(t), inputs_(inputs), work_(work), u_rec_(u_rec),
          target_(target), n_(model.n_states), m_(model.n_inputs), lane_(n_), out_(n_) {}

    bool done() const { return row_ + 1 >= t_.size(); }
    double next_attempt() {
        stage_input(0.0);
        for (std::size_t i = 0; i < n_; ++i) lane_[i] = x_[i * stride_];
        model_.rhs_in_run(lane_.data(), work_.u.data(), t_[row_], out_.data(), work_.scratch);
        for (std::size_t i = 0; i < n_; ++i) k0_[i * stride_] = out_[i];
        work_.rhs_evals += 1;
        return t_[row_ + 1] - t_[row_];
    }
    // The time of the stage at fraction c of the interval, its input (at that fraction of the
    // interval's row) left in work.u.
    double stage_input(double c) {
        if (m_ > 0 && inputs_.present()) inputs_.at(row_, m_, work_.u.data(), work_.u.size(), c);
        return t_[row_] + c * (t_[row_ + 1] - t_[row_]);
    }

    template <class Extend, class Shift>
    Status end(double errnorm, const double* xn, Extend&&, Shift&&) {
        if (!(errnorm <= 1.0))
            return fail(StepFailed{t_[row_], "the Newton iteration did not converge within max_newton iterations on "
                                             "a grid interval; shorten the interval or let the method choose its "
                                             "steps (grid_steps=False)"});
        work_.steps += 1;
        for (std::size_t i = 0; i < n_; ++i) x_[i * stride_] = xn[i * stride_];
        for (std::size_t i = 0; i < n_; ++i) lane_[i] = x_[i * stride_];
        row_ += 1;
        if (!all_finite(lane_.data(), n_)) return fail(NonFinite{"the state", t_[row_]});
        record(model_, inputs_, t_, row_, lane_.data(), u_rec_, target_, work_.scratch, work_.out.data());
        return {};
    }

private:
    const Model& model_;
    double* x_;
    double* k0_;
    std::size_t stride_;
    std::span<const double> t_;
    const Inputs& inputs_;
    Work& work_;
    double* u_rec_;
    const RecordTarget& target_;
    std::size_t n_, m_;
    std::size_t row_ = 0;
    std::vector<double> lane_, out_;  // a lane's state and derivative, contiguous
};

// The linear solves of a method of S stages: IterationMatrix's I - a h J for one stage, its block
// matrix I - h (A x J) for more.
template <std::size_t W, class Scheme>
class NewtonMatrix {
public:
    NewtonMatrix(const Model& model, std::size_t sensitivity_blocks) : m_(model, sensitivity_blocks) {}

    void evaluate(LaneRhs<W>& rhs, const double* x, const double* t, const double* const* u, const Lanes<W>& which) {
        m_.evaluate(rhs, x, t, u, which);
    }
    void factor(const std::array<double, W>& h, Lanes<W>& which) {
        if constexpr (Scheme::kStages == 1) {
            std::array<double, W> c;
            for (std::size_t l = 0; l < W; ++l) c[l] = Scheme::kA[0][0] * h[l];
            m_.factor(c, which);
        } else {
            m_.factor(Scheme::kA, h, which);
        }
    }
    void solve(double* b) const { m_.solve(b); }

private:
    IterationMatrix<W, Scheme::kStages> m_;
};

// Scheme: the method's tableau (kStages, kA, kB, kC), its order kOrder and its StepControl kControl.
template <std::size_t W, class Scheme, class Stepper>
class CollocationSteps : public LaneSteppers<W, Stepper> {
    static constexpr int S = Scheme::kStages;
    // DenseStepper's steps by step doubling, or GridStepper's one step per grid interval
    static constexpr bool kAdaptive = !std::is_same_v<Stepper, GridStepper>;
    using Base = LaneSteppers<W, Stepper>;
    using Base::options_, Base::rhs_, Base::n_, Base::nw_, Base::x_, Base::works_, Base::steppers_;

public:
    CollocationSteps(const Model& model, std::span<const double> t, const Inputs& inputs, const SolverOptions& options,
                     LaneRhs<W>& rhs, bool every_point = false)
        : Base(model, t, inputs, options, rhs, every_point), matrix_(model, options.sensitivity_blocks) {
        for (auto* v : {&k_, &xm_, &fm_, &xh_, &xf_, &f1_, &y_}) v->assign(nw_, 0.0);
        for (auto* v : {&z_, &f_, &r_}) v->assign(checked_product(nw_, S), 0.0);
        stale_.fill(true);
    }

    // W > 1: the runs' parameters in their lanes, with room for the Jacobian where the factors
    // are dense.
    static LaneRhs<W> lane_rhs(const Model& model, std::span<const LaneRun> runs) {
        return LaneRhs<W>(model, runs, nullptr, true, !IterationMatrix<W, Scheme::kStages>::sparse_by_size(model));
    }

    void add(const Model& model, std::span<const double> x0, Work& work, double* u_rec, const RecordTarget& target) {
        this->add_lane(model, x0, work, k_.data(), Scheme::kControl, u_rec, target);
    }

    // Every lane to the end of the grid, or to its failure: deliver(l, status) once for each, and
    // the state where it ended in x(l).
    template <class Deliver>
    void run(Deliver&& deliver) {
        const std::size_t lanes = steppers_.size();
        Lanes<W> running = this->start(deliver);
        std::array<double, W> h{}, norm{};
        while (any(running)) {
            for (std::size_t l = 0; l < lanes; ++l) h[l] = running[l] ? steppers_[l].next_attempt() : 0.0;
            refresh_jacobian(running);
            Lanes<W> ok = running;
            if constexpr (kAdaptive) {
                attempt_doubled(h, ok);
            } else {
                matrix_.factor(h, ok);
                predict_from(k_.data(), h);
                solve(x_.data(), h, 0.0, 1.0, ok, xh_.data());
            }
            for (std::size_t l = 0; l < lanes; ++l) {
                if (running[l] && !ok[l] && !fresh_[l]) stale_[l] = true;
                norm[l] = ok[l] ? 0.0 : std::numeric_limits<double>::quiet_NaN();
            }
            if constexpr (kAdaptive) {
                error_norms(ok, norm);
                // the derivative at the end of an accepted step: the interpolant's, then the next step's first
                Lanes<W> accepted{};
                for (std::size_t l = 0; l < lanes; ++l) accepted[l] = ok[l] && norm[l] <= 1.0;
                if (any(accepted)) evaluate(1.0, xh_.data(), accepted, f1_.data());
            }
            for (std::size_t l = 0; l < lanes; ++l) {
                if (!running[l]) continue;
                const auto extend = [&](double theta, double* out) {
                    hermite_at<W>(theta, h[l], x_.data() + l, k_.data() + l, xm_.data() + l, fm_.data() + l,
                                  xh_.data() + l, f1_.data() + l, n_, out);
                };
                const auto shift = [&] {
                    for (std::size_t i = 0; i < n_; ++i) k_[i * W + l] = f1_[i * W + l];
                };
                this->finish(l, norm[l], xh_.data(), extend, shift, running, deliver);
            }
        }
    }

private:
    // J at the start of the attempt for the lanes that asked for it.
    void refresh_jacobian(const Lanes<W>& running) {
        Lanes<W> refresh{};
        std::array<double, W> t0{};
        std::array<const double*, W> u{};
        for (std::size_t l = 0; l < W; ++l) {
            refresh[l] = running[l] && stale_[l];
            fresh_[l] = refresh[l];
            u[l] = works_[l < steppers_.size() ? l : 0]->u.data();
        }
        if (!any(refresh)) return;
        for (std::size_t l = 0; l < steppers_.size(); ++l) {
            if (!refresh[l]) continue;
            t0[l] = steppers_[l].stage_input(0.0);
            works_[l]->jacobian_evals += 1;
            stale_[l] = false;
        }
        matrix_.evaluate(rhs_, x_.data(), t0.data(), u.data(), refresh);
    }

    // Two halves into xm and xh (with f_mid in fm) and the whole step into xf, for the lanes in
    // ok; clears those whose Newton iteration fails.
    void attempt_doubled(const std::array<double, W>& h, Lanes<W>& ok) {
        std::array<double, W> hh;
        for (std::size_t l = 0; l < W; ++l) hh[l] = 0.5 * h[l];
        matrix_.factor(hh, ok);
        predict_from(k_.data(), hh);
        solve(x_.data(), hh, 0.0, 0.5, ok, xm_.data());
        if (!any(ok)) return;
        evaluate(0.5, xm_.data(), ok, fm_.data());
        predict_from(fm_.data(), hh);
        solve(xm_.data(), hh, 0.5, 0.5, ok, xh_.data());
        if (!any(ok)) return;
        matrix_.factor(h, ok);
        predict_whole();
        solve(x_.data(), h, 0.0, 1.0, ok, xf_.data());
    }

    // The explicit predictor Z_p = c_p h f of a step whose first derivative is f.
    void predict_from(const double* f, const std::array<double, W>& h) {
        for (int p = 0; p < S; ++p) {
            std::array<double, W> ch;
            for (std::size_t l = 0; l < W; ++l) ch[l] = Scheme::kC[p] * h[l];
            double* z = z_.data() + static_cast<std::size_t>(p) * nw_;
            for (std::size_t i = 0; i < nw_; i += W)
                for (std::size_t l = 0; l < W; ++l) z[i + l] = ch[l] * f[i + l];
        }
    }

    // The whole step's predictor from the halves: the quadratic through x, x_mid and x_end at c_p.
    void predict_whole() {
        for (int p = 0; p < S; ++p) {
            const double c = Scheme::kC[p], cc = c * c;
            double* z = z_.data() + static_cast<std::size_t>(p) * nw_;
            for (std::size_t j = 0; j < nw_; ++j) {
                const double x0 = x_[j], xm = xm_[j], x1 = xh_[j];
                const double lin = (4.0 * xm - 3.0 * x0) - x1, quad = (2.0 * x0 - 4.0 * xm) + 2.0 * x1;
                z[j] = c * lin + cc * quad;
            }
        }
    }

    // f at fraction c of the attempt from states xs, for the lanes in `which`, into out.
    void evaluate(double c, const double* xs, const Lanes<W>& which, double* out) {
        rhs_.stage(c, xs, which, steppers_, works_, out);
        for (std::size_t l = 0; l < steppers_.size(); ++l)
            if (which[l]) works_[l]->rhs_evals += 1;
    }

    // Newton on the stages of the step of length h[l] from x0 that spans fractions [from, from +
    // part] of the attempt, from the predictor in z; the new state of each lane that converges into
    // x1, each lane that fails cleared from `solving`.
    void solve(const double* x0, const std::array<double, W>& h, double from, double part, Lanes<W>& solving,
               double* x1) {
        std::array<double, W> ah[S][S], bh[S];
        for (int p = 0; p < S; ++p) {
            for (int q = 0; q < S; ++q)
                for (std::size_t l = 0; l < W; ++l) ah[p][q][l] = Scheme::kA[p][q] * h[l];
            for (std::size_t l = 0; l < W; ++l) bh[p][l] = Scheme::kB[p] * h[l];
        }
        const double abs_part = kNewtonFraction * options_.atol;
        const double rel_part = std::max(kNewtonFraction * options_.rtol, kRoundoff);
        std::array<double, W> last{};
        const std::size_t lanes = steppers_.size();
        for (std::uint64_t k = 0; any(solving); ++k) {
            for (int p = 0; p < S; ++p) {
                const double* z = z_.data() + static_cast<std::size_t>(p) * nw_;
                for (std::size_t j = 0; j < nw_; ++j) y_[j] = x0[j] + z[j];
                evaluate(from + part * Scheme::kC[p], y_.data(), solving, f_.data() + static_cast<std::size_t>(p) * nw_);
            }
            std::array<double, W> worst{}, finite{};
            for (int p = 0; p < S; ++p) {
                const std::size_t base = static_cast<std::size_t>(p) * nw_;
                for (std::size_t i = 0; i < nw_; i += W)
                    for (std::size_t l = 0; l < W; ++l) {
                        const std::size_t j = base + i + l;
                        double acc = z_[j];
                        for (int q = 0; q < S; ++q) acc = acc - ah[p][q][l] * f_[static_cast<std::size_t>(q) * nw_ + i + l];
                        r_[j] = acc;
                        finite[l] = finite[l] + (acc - acc);
                        const double ratio = std::fabs(acc) / (abs_part + rel_part * std::fabs(x0[i + l] + z_[j]));
                        worst[l] = ratio > worst[l] ? ratio : worst[l];
                    }
            }
            Lanes<W> update{};
            for (std::size_t l = 0; l < lanes; ++l) {
                if (!solving[l]) continue;
                if (!(finite[l] == 0.0)) {
                    solving[l] = false;
                } else if (worst[l] <= 1.0) {
                    for (std::size_t i = 0; i < n_; ++i) {
                        double acc = x0[i * W + l];
                        for (int p = 0; p < S; ++p)
                            acc = acc + bh[p][l] * f_[static_cast<std::size_t>(p) * nw_ + i * W + l];
                        x1[i * W + l] = acc;
                    }
                    if (k > kSlowUpdates) stale_[l] = true;
                    converged_[l] = true;
                    solving[l] = false;
                } else if ((k > 0 && !(worst[l] < last[l])) || k == options_.max_newton) {
                    // diverging, or out of iterations
                    solving[l] = false;
                } else {
                    update[l] = true;
                    works_[l]->newton_iterations += 1;
                }
                last[l] = worst[l];
            }
            if (!any(update)) break;
            matrix_.solve(r_.data());
            for (int p = 0; p < S; ++p) {
                const std::size_t base = static_cast<std::size_t>(p) * nw_;
                for (std::size_t i = 0; i < nw_; i += W)
                    for (std::size_t l = 0; l < W; ++l)
                        if (update[l]) z_[base + i + l] = z_[base + i + l] - r_[base + i + l];
            }
        }
        for (std::size_t l = 0; l < W; ++l) {
            solving[l] = converged_[l];
            converged_[l] = false;
        }
    }

    // The step-doubling error norm of every lane in ok into norm.
    void error_norms(const Lanes<W>& ok, std::array<double, W>& norm) const {
        constexpr double kDivisor = static_cast<double>((1 << Scheme::kOrder) - 1);
        std::array<double, W> worst{};
        const std::size_t ncw = options_.controlled(n_) * W;
        for (std::size_t i = 0; i < ncw; i += W)
            for (std::size_t l = 0; l < W; ++l) {
                const double err = (xh_[i + l] - xf_[i + l]) / kDivisor;
                const double r = dormand_prince::error_ratio(x_[i + l], xh_[i + l], err, options_.rtol, options_.atol);
                worst[l] = r > worst[l] ? r : worst[l];
            }
        for (std::size_t l = 0; l < W; ++l)
            if (ok[l]) norm[l] = worst[l];
    }

    NewtonMatrix<W, Scheme> matrix_;
    // the start's derivative, the middle and its derivative, the end of the halves, the end of
    // the whole step, the derivative at the end, one stage's state
    LaneArray k_, xm_, fm_, xh_, xf_, f1_, y_;
    LaneArray z_, f_, r_;  // the stage offsets, their derivatives and the residuals (S n W values)
    Lanes<W> stale_{}, fresh_{}, converged_{};
};

// A run alone, W = 1 on the run's own scratch, from x (overwritten by where it ended).
template <class Scheme, class Stepper>
Status run_alone(const Model& model, double* x, std::span<const double> t, const Inputs& inputs,
                 const SolverOptions& options, Work& work, double* u_rec, const RecordTarget& target) {
    LaneRhs<1> rhs(model, work.scratch, nullptr);
    CollocationSteps<1, Scheme, Stepper> steps(model, t, inputs, options, rhs);
    return run_dense_alone(model, x, work, u_rec, target, steps);
}

// A scheme's steps over W lanes: its own by step doubling with dense output, or one a grid
// interval; run_in_lanes<DenseGroup<...>::Of> takes each.
template <class Scheme>
struct Steps {
    template <std::size_t W>
    using Adaptive = CollocationSteps<W, Scheme, DenseStepper>;
    template <std::size_t W>
    using OnGrid = CollocationSteps<W, Scheme, GridStepper>;
};

}  // namespace zarel::implicit
