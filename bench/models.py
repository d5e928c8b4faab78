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


def add_tree(terms):
    """The same sum as add_all, grouped as a balanced tree so that long sums stay shallow."""
    if len(terms) == 1:
        return terms[0]
    mid = len(terms) // 2
    return ["add", add_tree(terms[:mid]), add_tree(terms[mid:])]


def mass_chain(n, k=1.0, c=0.05, m=1.0, shallow_energy=False):
    """n unit masses joined by springs, the first tied to a wall; states q_0..q_{n-1}, p_0..p_{n-1}.
    shallow_energy sums the energy as a balanced tree, which keeps the document within the loader's
    nesting limit for large n."""
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
           "jacobian": [const(v) for row in jac for v in row],
           "energy": (add_tree if shallow_energy else add_all)(springs + kinetic)}
    A = np.array(jac)

    def f(t, x):
        return A @ x

    return doc, f, A


def cubic_chain(n, k=1.0, kc=0.5, c=0.05, m=1.0):
    """n unit masses joined by cubic-stiffening springs, the first tied to a wall. Spring i pulls
    with F_i = k d_i + kc ((d_i d_i) d_i) on its stretch d_i = q_i - q_{i-1} (d_0 = q_0), and each
    force is written out in full in both rows it acts on, as model compilers write shared terms:
    q_i' = (1/m) p_i, p_i' = (F_{i+1} - F_i) - (c/m) p_i, the last row (-F_i) - (c/m) p_i.
    The energy is summed as a balanced tree, so large n stays within the loader's nesting limit."""
    q = lambda i: ref(i)  # noqa: E731
    p = lambda i: ref(n + i)  # noqa: E731
    stretch = [["sub", q(i), q(i - 1)] if i else q(0) for i in range(n)]
    force = [["add", ["mul", const(k), d], ["mul", const(kc), ["mul", ["mul", d, d], d]]] for d in stretch]
    stiffness = [["add", const(k), ["mul", const(3.0 * kc), ["mul", d, d]]] for d in stretch]
    rhs = [["mul", const(1.0 / m), p(i)] for i in range(n)]
    for i in range(n):
        pull = ["sub", force[i + 1], force[i]] if i + 1 < n else ["neg", force[i]]
        rhs.append(["sub", pull, ["mul", const(c / m), p(i)]])
    jac = [[const(0.0)] * (2 * n) for _ in range(2 * n)]
    for i in range(n):
        jac[i][n + i] = const(1.0 / m)
        jac[n + i][n + i] = const(-c / m)
        jac[n + i][i] = ["neg", ["add", stiffness[i + 1], stiffness[i]] if i + 1 < n else stiffness[i]]
        if i > 0:
            jac[n + i][i - 1] = stiffness[i]
        if i + 1 < n:
            jac[n + i][i + 1] = stiffness[i + 1]
    springs = [["add", ["mul", const(0.5 * k), ["mul", d, d]], ["mul", const(0.25 * kc), ["mul", ["mul", d, d], ["mul", d, d]]]]
               for d in stretch]
    kinetic = [["mul", const(0.5 / m), ["mul", p(i), p(i)]] for i in range(n)]
    doc = {"n_states": 2 * n, "n_inputs": 0, "n_params": 0, "param_values": [], "rhs": rhs,
           "jacobian": [e for row in jac for e in row], "energy": add_tree(springs + kinetic)}

    def f(t, x):
        qs, ps = x[:n], x[n:]
        d = qs.copy()
        d[1:] = qs[1:] - qs[:-1]
        F = k * d + kc * ((d * d) * d)
        out = np.empty(2 * n)
        out[:n] = (1.0 / m) * ps
        out[n:-1] = (F[1:] - F[:-1]) - (c / m) * ps[:-1]
        out[-1] = (-F[-1]) - (c / m) * ps[-1]
        return out

    return doc, f


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


def pwl(t, knots_t, knots_u):
    """The piecewise-linear input through (knots_t, knots_u), held constant outside the knots."""
    return np.interp(t, knots_t, knots_u)


def rlc_series(knots_t, knots_u, R=1.0, L=0.5, C=0.02):
    """Series RLC circuit driven by a piecewise-linear source voltage u(t) through the knots
    (knots_t, knots_u). States q (capacitor charge) and phi (inductor flux); slots 0 q, 1 phi, 2 u,
    3 R, 4 L, 5 C, 6 t. q' = phi/L, phi' = (u - R (phi/L)) - q/C."""
    q, phi, u, r, ell, c = ref(0), ref(1), ref(2), ref(3), ref(4), ref(5)
    doc = {"n_states": 2, "n_inputs": 1, "n_params": 3, "param_values": [float(R), float(L), float(C)],
           "rhs": [["div", phi, ell],
                   ["sub", ["sub", u, ["mul", r, ["div", phi, ell]]], ["div", q, c]]],
           "jacobian": [const(0), ["div", const(1), ell],
                        ["neg", ["div", const(1), c]], ["neg", ["div", r, ell]]],
           "energy": ["add", ["div", ["mul", q, q], ["mul", const(2), c]],
                      ["div", ["mul", phi, phi], ["mul", const(2), ell]]],
           "port_outputs": [["div", phi, ell]], "port_values": [u]}
    kt, ku = np.asarray(knots_t, float), np.asarray(knots_u, float)

    def f(t, x):
        uu = float(np.interp(t, kt, ku))
        return np.array([x[1] / L, (uu - R * (x[1] / L)) - x[0] / C])

    jac = np.array([[0.0, 1.0 / L], [-(1.0 / C), -(R / L)]])
    return doc, f, jac


ARENSTORF_MU = 0.012277471
ARENSTORF_X0 = [0.994, 0.0, 0.0, -2.00158510637908252240537862224]
ARENSTORF_PERIOD = 17.0652165601579625588917206249


def arenstorf(mu=ARENSTORF_MU):
    """Restricted three-body problem (Arenstorf orbit): states x, y, x', y'; parameters mu and
    mu' = 1 - mu. D1 = ((x+mu)^2 + y^2)^1.5, D2 = ((x-mu')^2 + y^2)^1.5,
    x'' = ((x + 2y') - mu'(x+mu)/D1) - mu(x-mu')/D2, y'' = ((y - 2x') - mu' y/D1) - mu y/D2."""
    mup = 1.0 - mu
    x, y, vx, vy, m1, m2 = ref(0), ref(1), ref(2), ref(3), ref(4), ref(5)
    xa, xb = ["add", x, m1], ["sub", x, m2]
    d1 = ["pow", ["add", ["mul", xa, xa], ["mul", y, y]], const(1.5)]
    d2 = ["pow", ["add", ["mul", xb, xb], ["mul", y, y]], const(1.5)]
    doc = {"n_states": 4, "n_inputs": 0, "n_params": 2, "param_values": [float(mu), float(mup)],
           "rhs": [vx, vy,
                   ["sub", ["sub", ["add", x, ["mul", const(2), vy]], ["div", ["mul", m2, xa], d1]],
                    ["div", ["mul", m1, xb], d2]],
                   ["sub", ["sub", ["sub", y, ["mul", const(2), vx]], ["div", ["mul", m2, y], d1]],
                    ["div", ["mul", m1, y], d2]]]}

    def f(t, s):
        x_, y_, vx_, vy_ = s
        a, b = x_ + mu, x_ - mup
        D1 = (a * a + y_ * y_) ** 1.5
        D2 = (b * b + y_ * y_) ** 1.5
        return np.array([vx_, vy_,
                         ((x_ + 2.0 * vy_) - (mup * a) / D1) - (mu * b) / D2,
                         ((y_ - 2.0 * vx_) - (mup * y_) / D1) - (mu * y_) / D2])

    return doc, f


def rc_ladder(n, R=1.0, C=1.0, vs=1.0):
    """n RC sections in a row fed by a source voltage vs (parameter 0) through the first resistor;
    states are the capacitor voltages. v_i' = g ((v_{i-1} - v_i) - (v_i - v_{i+1})) with g = 1/(RC),
    v_{-1} = vs and no right-hand current at the last node."""
    g = 1.0 / (R * C)
    src = ref(n)
    rhs = []
    for i in range(n):
        left = ["sub", src if i == 0 else ref(i - 1), ref(i)]
        rhs.append(["mul", const(g), ["sub", left, ["sub", ref(i), ref(i + 1)]] if i + 1 < n else left])
    A = np.zeros((n, n))
    for i in range(n):
        A[i, i] = -2.0 * g if i + 1 < n else -g
        if i > 0:
            A[i, i - 1] = g
        if i + 1 < n:
            A[i, i + 1] = g
    doc = {"n_states": n, "n_inputs": 0, "n_params": 1, "param_values": [float(vs)], "rhs": rhs,
           "jacobian": [const(v) for v in A.ravel()],
           "energy": add_all([["mul", const(0.5 * C), ["mul", ref(i), ref(i)]] for i in range(n)])}

    def f(t, v):
        left = np.empty(n)
        left[0] = vs - v[0]
        left[1:] = v[:-1] - v[1:]
        out = left.copy()
        out[:-1] = left[:-1] - (v[:-1] - v[1:])
        return g * out

    return doc, f, A


def robertson(k1=0.04, k2=3e7, k3=1e4):
    """Robertson's chemical kinetics: y1' = (-k1) y1 + (k3 y2) y3,
    y2' = (k1 y1 - (k3 y2) y3) - k2 (y2 y2), y3' = k2 (y2 y2); parameters k1, k2, k3."""
    y1, y2, y3, a, b, c = ref(0), ref(1), ref(2), ref(3), ref(4), ref(5)
    fast = ["mul", ["mul", c, y2], y3]
    sq = ["mul", b, ["mul", y2, y2]]
    doc = {"n_states": 3, "n_inputs": 0, "n_params": 3, "param_values": [float(k1), float(k2), float(k3)],
           "rhs": [["add", ["mul", ["neg", a], y1], fast],
                   ["sub", ["sub", ["mul", a, y1], fast], sq],
                   sq],
           "jacobian": [["neg", a], ["mul", c, y3], ["mul", c, y2],
                        a, ["sub", ["neg", ["mul", c, y3]], ["mul", ["mul", const(2), b], y2]], ["neg", ["mul", c, y2]],
                        const(0), ["mul", ["mul", const(2), b], y2], const(0)]}

    def f(t, y):
        fa = (k3 * y[1]) * y[2]
        sq_ = k2 * (y[1] * y[1])
        return np.array([(-k1) * y[0] + fa, (k1 * y[0] - fa) - sq_, sq_])

    def jac(t, y):
        return np.array([[-k1, k3 * y[2], k3 * y[1]],
                         [k1, -(k3 * y[2]) - (2 * k2) * y[1], -(k3 * y[1])],
                         [0.0, (2 * k2) * y[1], 0.0]])

    return doc, f, jac


def van_der_pol_jac(mu):
    """NumPy Jacobian matching van_der_pol(mu)'s document."""
    def jac(t, x):
        return np.array([[0.0, 1.0], [(-2 * mu) * (x[0] * x[1]) - 1.0, mu * (1 - x[0] * x[0])]])
    return jac
