// Forward Euler and classical fourth-order Runge-Kutta (Kutta, 1901), their arithmetic written
// once over the value type: doubles, n W of them lane-major for W runs in lanes that share the
// step (a run alone: W = 1), or the values of a graph, where the compiled whole step is traced.
// Each value is computed by the same operations in the same order on every path, so the bits are
// the same everywhere.
#pragma once

#include <cstddef>

#include "zarel/jit.hpp"

namespace zarel::rk4 {

// A step of length h from t of the states x[0, count), updated in place. take(fraction) makes
// the input at that fraction of the step the one f reads; f(xs, ts, k) writes the derivative at
// the states xs and time ts into k.
template <class T, class Take, class Rhs>
void euler(std::size_t count, T* x, T t, T h, Take&& take, Rhs&& f, T* k1) {
    take(0.0);
    f(x, t, k1);
    for (std::size_t i = 0; i < count; ++i) x[i] = k1[i] * h + x[i];
}

// The same for RK4: stages at t, t + h/2 twice and t + h, each from the state k * c + x of the
// stage before, the weights 1, 2, 2, 1 summed in that order, times h/6, added to x.
template <class T, class Take, class Rhs>
void rk4(std::size_t count, T* x, T t, T h, Take&& take, Rhs&& f, T* xs, T* k1, T* k2, T* k3, T* k4) {
    const T hh = 0.5 * h, t_half = t + hh;
    take(0.0);
    f(x, t, k1);
    for (std::size_t i = 0; i < count; ++i) xs[i] = k1[i] * hh + x[i];
    take(0.5);
    f(xs, t_half, k2);
    // the third stage sits at the same time as the second and reuses its input
    for (std::size_t i = 0; i < count; ++i) xs[i] = k2[i] * hh + x[i];
    f(xs, t_half, k3);
    for (std::size_t i = 0; i < count; ++i) xs[i] = k3[i] * h + x[i];
    take(1.0);
    f(xs, t + h, k4);
    const T h6 = h / 6.0;
    for (std::size_t i = 0; i < count; ++i) x[i] = (((k1[i] + 2.0 * k2[i]) + 2.0 * k3[i]) + k4[i]) * h6 + x[i];
}

// Where the compiled whole step reads the input taken at a fraction of the step (0, 0.5 or 1):
// the model's own input slots for the start, the slots after h for the others.
inline std::size_t input_slot(const StepLayout& at, double fraction) {
    return fraction == 0.0 ? at.n_states : fraction == 0.5 ? at.u_half() : at.u_end();
}

}  // namespace zarel::rk4
