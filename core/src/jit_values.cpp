// Value numbering over a kernel: the kernel's stack code is run symbolically, each operation
// becomes a value keyed by its kind and operand numbers, and a key seen before is the value seen
// before. Only folds that perform the evaluator's own operation are made, so no bit changes.
#include "jit_values.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>
#include <unordered_map>

#include "dop853.hpp"
#include "dormand_prince.hpp"
#include "rk4.hpp"

namespace zarel::jit {

double apply(Op op, [[maybe_unused]] double a, [[maybe_unused]] double b, [[maybe_unused]] double c,
             [[maybe_unused]] const PwTable* table) {
    switch (op) {
#define ZAREL_OP_APPLY(Name, name, tree, stack, fam, body) case Op::Name: return body;
        ZAREL_OPERATORS(ZAREL_OP_APPLY)
#undef ZAREL_OP_APPLY
    default: return a;
    }
}

bool is_call(Op op) { return family(op) == OpFamily::Call; }

namespace {

struct ValueHash {
    std::size_t operator()(const Value& v) const {
        std::uint64_t h = static_cast<std::uint64_t>(v.op) * 0x9E3779B97F4A7C15ull;
        for (std::uint64_t x : {std::uint64_t{v.a}, std::uint64_t{v.b}, std::uint64_t{v.c}, v.bits})
            h = (h ^ x) * 0xFF51AFD7ED558CCDull + (h >> 29);
        return static_cast<std::size_t>(h ^ (h >> 32));
    }
};

class Builder {
public:
    std::uint32_t constant(double v) {
        // most constant entries of a Jacobian repeat the one before (zeros, mostly)
        const auto bits = std::bit_cast<std::uint64_t>(v);
        if (last_constant_ && graph_.values[*last_constant_].bits == bits) return *last_constant_;
        last_constant_ = intern({Op::Const, 0, 0, 0, bits});
        return *last_constant_;
    }
    std::uint32_t ref(std::uint64_t slot) {
        if (slot < stage_env_.size()) return stage_env_[slot];
        return intern({Op::Ref, 0, 0, 0, slot});
    }

    std::uint32_t op(Op kind, std::uint32_t a, std::uint32_t b = 0, std::uint32_t c = 0, std::uint64_t bits = 0) {
        const int n = consumed(kind);
        const bool folds = is_const(a) && (n < 2 || is_const(b)) && (n < 3 || is_const(c));
        if (folds)
            return constant(apply(kind, value(a), value(b), value(c), kind == Op::Pw ? graph_.tables[bits] : nullptr));
        // a known condition selects one operand: what the evaluator's select yields, unchanged
        if (kind == Op::Where && is_const(a)) return value(a) != 0.0 ? b : c;
        // the evaluator squares for the exponent 2: a known exponent 2 is that multiplication
        if (kind == Op::Pow && is_const(b) && value(b) == 2.0) return op(Op::Mul, a, a);
        const std::size_t before = graph_.values.size();
        const std::uint32_t v = intern({kind, a, b, c, bits});
        if (graph_.values.size() != before) graph_.steps.push_back({Step::Compute, v});
        return v;
    }

    std::uint64_t table(const PwTable& t) {
        for (std::size_t k = 0; k < graph_.tables.size(); ++k)
            if (graph_.tables[k]->knots == t.knots && graph_.tables[k]->coefs == t.coefs) return k;
        graph_.tables.push_back(&t);
        return graph_.tables.size() - 1;
    }

    void store(std::uint32_t v, std::uint64_t slot) {
        if (derivative_) {
            if (slot >= derivative_->size()) throw std::length_error("a right-hand side entry beyond its states");
            (*derivative_)[slot] = v;
            return;
        }
        graph_.steps.push_back({Step::Store, v, slot});
    }

    // A stage of a step: until the next call, the kernel's slot j reads env[j] (a value of the
    // step) and its stores land in derivative instead of out.
    void stage(std::vector<std::uint32_t> env, std::vector<std::uint32_t>* derivative) {
        stage_env_ = std::move(env);
        derivative_ = derivative;
    }

    // Ends the code with `result` returned and drops every computation no result reads.
    Graph finish(std::uint32_t result) {
        graph_.steps.push_back({Step::Return, result});
        std::vector<char> live(graph_.values.size(), 0);
        for (const Step& s : graph_.steps)
            if (s.kind != Step::Compute) live[s.value] = 1;
        for (std::size_t k = graph_.values.size(); k-- > 0;) {
            if (!live[k]) continue;
            const Value& v = graph_.values[k];
            const int n = consumed(v.op);
            if (n >= 1) live[v.a] = 1;
            if (n >= 2) live[v.b] = 1;
            if (n >= 3) live[v.c] = 1;
        }
        std::erase_if(graph_.steps, [&](const Step& s) { return s.kind == Step::Compute && !live[s.value]; });
        return std::move(graph_);
    }

private:
    bool is_const(std::uint32_t v) const { return graph_.values[v].op == Op::Const; }
    double value(std::uint32_t v) const { return std::bit_cast<double>(graph_.values[v].bits); }

    std::uint32_t intern(const Value& key) {
        auto [it, inserted] = index_.try_emplace(key, static_cast<std::uint32_t>(graph_.values.size()));
        if (inserted) graph_.values.push_back(key);
        return it->second;
    }

    Graph graph_;
    std::unordered_map<Value, std::uint32_t, ValueHash> index_;
    std::optional<std::uint32_t> last_constant_;
    std::vector<std::uint32_t> stage_env_;
    std::vector<std::uint32_t>* derivative_ = nullptr;
};

// The kind of arithmetic behind a folded kernel form (AddR, RMul, SubRC, ...).
static_assert(static_cast<int>(Op::Sub) == static_cast<int>(Op::Add) + 1 &&
              static_cast<int>(Op::Mul) == static_cast<int>(Op::Add) + 2 &&
              static_cast<int>(Op::Div) == static_cast<int>(Op::Add) + 3,
              "the folded forms map to add, sub, mul and div by offset");
Op arithmetic(Op folded, Op first) {
    return static_cast<Op>(static_cast<int>(Op::Add) + (static_cast<int>(folded) - static_cast<int>(first)) % 4);
}

// Runs kernel code on a stack of value numbers, as run() runs it on a stack of doubles; returns
// the value run() would return.
std::uint32_t trace(const Kernel& kernel, Builder& b) {
    std::vector<std::uint32_t> stack;
    std::uint32_t top = b.constant(0.0);
    const auto pop = [&] {
        const std::uint32_t v = stack.back();
        stack.pop_back();
        return v;
    };
    for (const Instr& in : kernel.code) {
        const Op op = in.op;
        if (op == Op::Const || op == Op::Ref) {
            stack.push_back(top);
            top = op == Op::Const ? b.constant(in.value) : b.ref(in.index);
        } else if (op == Op::Pw) {
            top = b.op(Op::Pw, top, 0, 0, b.table(kernel.tables[in.index]));
        } else if (op == Op::Where) {
            const std::uint32_t a = pop(), c = pop();
            top = b.op(Op::Where, c, a, top);
        } else if (is_operator(op) && consumed(op) == 2) {
            top = b.op(op, pop(), top);
        } else if (is_operator(op) && consumed(op) == 1) {
            top = b.op(op, top);
        } else if (op >= Op::AddR && op <= Op::DivR) {
            top = b.op(arithmetic(op, Op::AddR), top, b.ref(in.index));
        } else if (op >= Op::AddC && op <= Op::DivC) {
            top = b.op(arithmetic(op, Op::AddC), top, b.constant(in.value));
        } else if (op >= Op::RAdd && op <= Op::RDiv) {
            top = b.op(arithmetic(op, Op::RAdd), b.ref(in.index), top);
        } else if (op >= Op::CAdd && op <= Op::CDiv) {
            top = b.op(arithmetic(op, Op::CAdd), b.constant(in.value), top);
        } else if (op >= Op::AddRR && op <= Op::DivCR) {
            stack.push_back(top);
            if (op <= Op::DivRR)
                top = b.op(arithmetic(op, Op::AddRR), b.ref(in.index), b.ref(in.aux));
            else if (op <= Op::DivRC)
                top = b.op(arithmetic(op, Op::AddRC), b.ref(in.aux), b.constant(in.value));
            else
                top = b.op(arithmetic(op, Op::AddCR), b.constant(in.value), b.ref(in.aux));
        } else if (op == Op::Square) {
            top = b.op(Op::Mul, top, top);
        } else if (op == Op::Store) {
            b.store(top, in.index);
            top = pop();
        } else if (op == Op::Put) {
            b.store(b.constant(in.value), in.aux);
        } else if (op == Op::End) {
            break;
        }
    }
    return top;
}

}  // namespace

namespace {

// Stages 1..6 of a Dormand-Prince attempt from x with step h and the first stage's derivative in
// the environment, each stage at its own time and input: stage_state's sums, then the sums of
// advance_with_error for the fifth-order solution and the error, in the same order.
template <class F>
Graph dormand_prince_stages(const std::vector<std::uint32_t>& x, std::uint32_t h, const StepLayout& at, F&& f,
                            Builder& b) {
    using namespace dormand_prince;
    const std::size_t n = at.n_states;
    std::vector<std::vector<std::uint32_t>> k(kStages, std::vector<std::uint32_t>(n));
    for (std::size_t i = 0; i < n; ++i) k[0][i] = b.ref(at.k0() + i);
    for (int s = 1; s < kStages; ++s) {
        std::vector<std::uint32_t> xs(n);
        for (std::size_t i = 0; i < n; ++i) {
            std::uint32_t acc = x[i];
            for (int j = 0; j < s; ++j)
                if (kA[s][j] != 0.0) acc = b.op(Op::Add, acc, b.op(Op::Mul, b.op(Op::Mul, b.constant(kA[s][j]), h), k[j][i]));
            xs[i] = acc;
        }
        k[s] = f(xs, at.stage_u(s), b.ref(at.stage_time(s)));
    }
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t next = x[i], err = b.constant(0.0);
        for (int j = 0; j < kStages; ++j) {
            if (kB[j] != 0.0) next = b.op(Op::Add, next, b.op(Op::Mul, b.op(Op::Mul, b.constant(kB[j]), h), k[j][i]));
            if (kE[j] != 0.0) err = b.op(Op::Add, err, b.op(Op::Mul, b.op(Op::Mul, b.constant(kE[j]), h), k[j][i]));
        }
        for (int s = 1; s < kStages; ++s) b.store(k[s][i], (s - 1) * n + i);
        b.store(next, 6 * n + i);
        b.store(err, 7 * n + i);
    }
    return b.finish(b.constant(0.0));
}

// The sum of row[j] k_j as dop853's weighted() takes it: a balanced tree over the stages whose
// coefficient is not zero, halves first.
template <class Row, int count, int lo, int hi>
std::uint32_t tree_sum(const std::vector<std::vector<std::uint32_t>>& k, std::size_t i, Builder& b) {
    constexpr auto& list = dop853::Terms<Row, count>::kList.first;
    if constexpr (hi - lo == 1) {
        return b.op(Op::Mul, b.constant(Row::kRow[list[lo]]), k[list[lo]][i]);
    } else {
        constexpr int mid = (lo + hi) / 2;
        const std::uint32_t left = tree_sum<Row, count, lo, mid>(k, i, b);
        return b.op(Op::Add, left, tree_sum<Row, count, mid, hi>(k, i, b));
    }
}

template <class Row, int count>
std::uint32_t weighted(const std::vector<std::vector<std::uint32_t>>& k, std::size_t i, Builder& b) {
    return tree_sum<Row, count, 0, dop853::Terms<Row, count>::kList.second>(k, i, b);
}

// Stages 1..12 of a DOP853 attempt (the twelfth at the eighth-order solution), as dop853's
// stage_state and error_norms compute them, each stage at its own time and input.
template <class F>
Graph dop853_stages(const std::vector<std::uint32_t>& x, std::uint32_t h, const StepLayout& at, F&& f, Builder& b) {
    using namespace dop853;
    const std::size_t n = at.n_states;
    std::vector<std::vector<std::uint32_t>> k(kFsal + 1, std::vector<std::uint32_t>(n));
    for (std::size_t i = 0; i < n; ++i) k[0][i] = b.ref(at.k0() + i);
    std::vector<std::uint32_t> xn(n);
    for_stages<1, kFsal + 1>([&](auto s) {
        std::vector<std::uint32_t> xs(n);
        for (std::size_t i = 0; i < n; ++i)
            xs[i] = b.op(Op::Add, x[i], b.op(Op::Mul, h, weighted<StageRow<s()>, s()>(k, i, b)));
        if (s() == kFsal) xn = xs;
        k[s()] = f(xs, at.stage_u(s()), b.ref(at.stage_time(s())));
    });
    for (std::size_t i = 0; i < n; ++i) {
        for (int s = 1; s <= kFsal; ++s) b.store(k[s][i], (s - 1) * n + i);
        b.store(xn[i], 15 * n + i);
        b.store(weighted<Error5Row, kStages>(k, i, b), 16 * n + i);
        b.store(weighted<Error3Row, kStages>(k, i, b), 17 * n + i);
    }
    return b.finish(b.constant(0.0));
}

// A value of the graph being built whose arithmetic adds the operation to it: rk4.hpp's steps,
// run on these, trace themselves.
struct Traced {
    std::uint32_t id = 0;
    Builder* b = nullptr;
};
Traced operator+(Traced x, Traced y) { return {x.b->op(Op::Add, x.id, y.id), x.b}; }
Traced operator*(Traced x, Traced y) { return {x.b->op(Op::Mul, x.id, y.id), x.b}; }
Traced operator*(double c, Traced y) { return {y.b->op(Op::Mul, y.b->constant(c), y.id), y.b}; }
Traced operator/(Traced x, double c) { return {x.b->op(Op::Div, x.id, x.b->constant(c)), x.b}; }

// One step of euler_step or rk4_step with the right-hand side traced at every stage: rk4.hpp's
// own step, the inputs read from the slots where the step's caller writes them.
Graph build_step(const Kernel& rhs, StepForm form, const StepLayout& at, Builder& b) {
    const std::size_t n = at.n_states, m = at.n_inputs, time = at.model - 1;
    std::vector<std::uint32_t> model_env(at.model);
    for (std::size_t j = 0; j < at.model; ++j) model_env[j] = b.ref(j);
    const std::uint32_t h = b.ref(at.h());
    const auto invalid = std::numeric_limits<std::uint32_t>::max();
    // the right-hand side at the stage state xs, inputs from slot u0 on, and time ts
    const auto f = [&](const std::vector<std::uint32_t>& xs, std::size_t u0, std::uint32_t ts) {
        std::vector<std::uint32_t> env = model_env, k(n, invalid);
        std::copy(xs.begin(), xs.end(), env.begin());
        for (std::size_t j = 0; j < m; ++j) env[n + j] = b.ref(u0 + j);
        env[time] = ts;
        b.stage(std::move(env), &k);
        trace(rhs, b);
        b.stage({}, nullptr);
        if (std::find(k.begin(), k.end(), invalid) != k.end())
            throw std::length_error("a right-hand side that leaves a state's derivative unwritten");
        return k;
    };
    const std::vector<std::uint32_t> x0(model_env.begin(), model_env.begin() + static_cast<std::ptrdiff_t>(n));
    if (form == StepForm::DormandPrince) return dormand_prince_stages(x0, h, at, f, b);
    if (form == StepForm::Dop853) return dop853_stages(x0, h, at, f, b);
    std::size_t u0 = n;
    const auto take = [&](double fraction) { u0 = rk4::input_slot(at, fraction); };
    const auto traced = [&](const Traced* xs, Traced ts, Traced* k) {
        std::vector<std::uint32_t> ids(n);
        for (std::size_t i = 0; i < n; ++i) ids[i] = xs[i].id;
        const std::vector<std::uint32_t> d = f(ids, u0, ts.id);
        for (std::size_t i = 0; i < n; ++i) k[i] = {d[i], &b};
    };
    std::vector<Traced> x(n), xs(n), k1(n), k2(n), k3(n), k4(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = {x0[i], &b};
    const Traced t{model_env[time], &b}, step{h, &b};
    if (form == StepForm::Euler) {
        rk4::euler(n, x.data(), t, step, take, traced, k1.data());
    } else {
        rk4::rk4(n, x.data(), t, step, take, traced, xs.data(), k1.data(), k2.data(), k3.data(), k4.data());
    }
    // the stores come last, after every read of the environment: the step may update it in place
    for (std::size_t i = 0; i < n; ++i) b.store(x[i].id, i);
    return b.finish(b.constant(0.0));
}

}  // namespace

Graph build_graph(const NativeSource& source) {
    Builder b;
    if (source.step != StepForm::None) return build_step(*source.kernel, source.step, source.layout, b);
    if (source.kernel) return b.finish(trace(*source.kernel, b));
    std::uint32_t power = b.constant(0.0);
    const std::size_t m = std::min(source.port_outputs->size(), source.port_values->size());
    for (std::size_t k = 0; k < m; ++k) {
        const std::uint32_t y = trace((*source.port_outputs)[k].kernel, b);
        const std::uint32_t v = trace((*source.port_values)[k].kernel, b);
        power = b.op(Op::Add, power, b.op(Op::Mul, y, v));
    }
    return b.finish(power);
}

}  // namespace zarel::jit
