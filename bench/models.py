"""Model documents for the benchmarks, built programmatically, with matching NumPy right-hand
sides for the peers."""
import numpy as np


def ref(i):
    return ["ref", i]


def const(v):
    return ["const", float(v)]


def add_all(terms):
    out = terms[0]
    for t in terms[1:]:
        out = ["add", out, t]
    return out


def mass_chain(n, k=1.0, c=0.05, m=1.0):
    """n unit masses joined by springs, the first tied to a wall; states q_0..q_{n-1}, p_0..p_{n-1}."""
    q = lambda i: ref(i)  # noqa: E731
    p = lambda i: ref(n + i)  # noqa: E731
    rhs = [["mul", const(1.0 / m), p(i)] for i in range(n)]
    for i in range(n):
        left = ["sub", q(i), q(i - 1)] if i > 0 else q(0)
        force = [["mul", const(-k), left], ["mul", const(-c / m), p(i)]]
        if i + 1 < n:
            force.append(["mul", const(k), ["sub", q(i + 1), q(i)]])
        rhs.append(add_all(force))
    springs = [["mul", const(0.5 * k), ["pow", ["sub", q(i), q(i - 1)] if i else q(0), const(2)]] for i in range(n)]
    kinetic = [["mul", const(0.5 / m), ["pow", p(i), const(2)]] for i in range(n)]
    jac = [[0.0] * (2 * n) for _ in range(2 * n)]
    for i in range(n):
        jac[i][n + i] = 1.0 / m
        jac[n + i][n + i] = -c / m
        jac[n + i][i] = -k - (k if i + 1 < n else 0.0)
        if i > 0:
            jac[n + i][i - 1] = k
        if i + 1 < n:
            jac[n + i][i + 1] = k
    doc = {"n_states": 2 * n, "n_inputs": 0, "n_params": 0, "param_values": [], "rhs": rhs,
           "jacobian": [const(v) for row in jac for v in row], "energy": add_all(springs + kinetic)}
    A = np.array(jac)

    def f(t, x):
        return A @ x

    return doc, f, A


def van_der_pol(mu):
    """x' = y, y' = mu (1 - x^2) y - x, with mu as parameter 0."""
    doc = {"n_states": 2, "n_inputs": 0, "n_params": 1, "param_values": [float(mu)],
           "rhs": [ref(1), ["sub", ["mul", ["mul", ref(2), ["sub", const(1), ["mul", ref(0), ref(0)]]], ref(1)], ref(0)]],
           "jacobian": [const(0), const(1),
                        ["sub", ["mul", ["mul", const(-2), ref(2)], ["mul", ref(0), ref(1)]], const(1)],
                        ["mul", ref(2), ["sub", const(1), ["mul", ref(0), ref(0)]]]]}

    def f(t, x):
        return np.array([x[1], mu * (1 - x[0] * x[0]) * x[1] - x[0]])

    return doc, f


def pendulum():
    """theta' = omega, omega' = -(g/l) sin theta."""
    doc = {"n_states": 2, "n_inputs": 0, "n_params": 1, "param_values": [9.81],
           "rhs": [ref(1), ["mul", ["neg", ref(2)], ["sin", ref(0)]]],
           "energy": ["add", ["mul", const(0.5), ["mul", ref(1), ref(1)]], ["mul", ref(2), ["sub", const(1), ["cos", ref(0)]]]]}

    def f(t, x):
        return np.array([x[1], -9.81 * np.sin(x[0])])

    return doc, f
