// The expression compiler (JSON trees to postfix programs) and the evaluator that runs them.
#include "zarel/expr.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>

namespace zarel {

namespace {

struct OpInfo {
    std::string_view name;
    Op op;
    int arity;
};

constexpr OpInfo kOperators[] = {
    {"const", Op::Const, 1}, {"ref", Op::Ref, 1},   {"neg", Op::Neg, 1},   {"sqrt", Op::Sqrt, 1},
    {"exp", Op::Exp, 1},     {"log", Op::Log, 1},   {"abs", Op::Abs, 1},   {"tanh", Op::Tanh, 1},
    {"sin", Op::Sin, 1},     {"cos", Op::Cos, 1},   {"sign", Op::Sign, 1}, {"add", Op::Add, 2},
    {"sub", Op::Sub, 2},     {"mul", Op::Mul, 2},   {"div", Op::Div, 2},   {"pow", Op::Pow, 2},
    {"max", Op::Max, 2},     {"min", Op::Min, 2},   {"gt", Op::Gt, 2},     {"where", Op::Where, 3},
    {"pw", Op::Pw, 3},
};

double number_of(const Json& v) {
    if (v.is_number_unsigned()) return static_cast<double>(v.get<std::uint64_t>());
    if (v.is_number_integer()) return static_cast<double>(v.get<std::int64_t>());
    return v.get<double>();
}

Status parse_pw(const Json& node, std::vector<Instr>& code, std::vector<PwTable>& tables) {
    if (auto st = parse_into(node[1], code, tables); !st) return st;
    PwTable table;
    const Json& knots = node[2];
    if (!knots.is_array()) return malformed("pw knots must be a list");
    for (const Json& k : knots) {
        if (!k.is_number()) return malformed("pw knot");
        table.knots.push_back(number_of(k));
    }
    const Json& coefs = node[3];
    if (!coefs.is_array()) return malformed("pw coefs must be a list");
    for (const Json& triple : coefs) {
        if (!triple.is_array() || triple.size() != 3) return malformed("pw coef triple");
        std::array<double, 3> c;
        for (std::size_t k = 0; k < 3; ++k)
            c[k] = triple[k].is_number() ? number_of(triple[k]) : std::numeric_limits<double>::quiet_NaN();
        table.coefs.push_back(c);
    }
    if (table.knots.size() < 2 || table.coefs.size() + 1 != table.knots.size())
        return malformed("pw needs n+1 knots and n coefficient triples");
    for (std::size_t k = 0; k + 1 < table.knots.size(); ++k)
        if (!(table.knots[k] < table.knots[k + 1])) return malformed("pw knots must increase");
    tables.push_back(std::move(table));
    code.push_back(Instr::with_index(Op::Pw, tables.size() - 1));
    return {};
}

}  // namespace

std::optional<std::uint64_t> index_value(const Json& v) {
    if (v.is_number_unsigned()) return v.get<std::uint64_t>();
    if (v.is_number_integer() && v.get<std::int64_t>() >= 0) return static_cast<std::uint64_t>(v.get<std::int64_t>());
    return std::nullopt;
}

int consumed(Op op) {
    switch (op) {
    case Op::Const: case Op::Ref: return 0;
    case Op::Add: case Op::Sub: case Op::Mul: case Op::Div: case Op::Pow:
    case Op::Max: case Op::Min: case Op::Gt: return 2;
    case Op::Where: return 3;
    default: return 1;
    }
}

Status parse_into(const Json& node, std::vector<Instr>& code, std::vector<PwTable>& tables) {
    if (!node.is_array()) return malformed("expected a list, got " + node.dump());
    if (node.empty() || !node[0].is_string()) return malformed("expression node without an operator");
    const std::string& name = node[0].get_ref<const std::string&>();
    if (name == "sym") return malformed("expression still contains a named symbol; lower it first");
    const OpInfo* info = nullptr;
    for (const OpInfo& o : kOperators)
        if (o.name == name) info = &o;
    if (!info) return malformed("unknown operator " + name);
    const std::size_t operands = node.size() - 1;
    if (operands != static_cast<std::size_t>(info->arity))
        return malformed(name + " expects " + std::to_string(info->arity) + " operand(s), got " +
                         std::to_string(operands));
    switch (info->op) {
    case Op::Const:
        if (!node[1].is_number()) return malformed("const without a number");
        code.push_back(Instr::constant(number_of(node[1])));
        return {};
    case Op::Ref: {
        const auto slot = index_value(node[1]);
        if (!slot) return malformed("ref without an index");
        code.push_back(Instr::with_index(Op::Ref, *slot));
        return {};
    }
    case Op::Pw:
        return parse_pw(node, code, tables);
    default:
        for (std::size_t k = 1; k <= operands; ++k)
            if (auto st = parse_into(node[k], code, tables); !st) return st;
        code.push_back(Instr::plain(info->op));
        return {};
    }
}

Result<Program> from_json(const Json& node) {
    Program p;
    if (auto st = parse_into(node, p.code, p.tables); !st) return fail(st.error());
    std::size_t depth = 0;
    for (const Instr& in : p.code) {
        const auto need = static_cast<std::size_t>(consumed(in.op));
        if (depth < need) return malformed("stack underflow in expression");
        depth = depth - need + 1;
        p.depth = std::max(p.depth, depth);
        if (in.op == Op::Ref) p.max_ref = std::max(p.max_ref.value_or(0), in.index);
    }
    if (depth != 1) return malformed("expression does not reduce to one value");
    p.kernel = kernel_of(p);
    return p;
}

Program constant() {
    Program p;
    p.code.push_back(Instr::constant(0.0));
    p.depth = 1;
    p.kernel = kernel_of(p);
    return p;
}

namespace {

constexpr bool is_leaf(Op op) { return op == Op::Const || op == Op::Ref; }

// The kernel form of `op` with its right (b) or left (a) operand folded in from a leaf.
Op folded(Op op, bool right, bool from_env) {
    const int k = op == Op::Add ? 0 : op == Op::Sub ? 1 : op == Op::Mul ? 2 : 3;
    const int base = right ? (from_env ? static_cast<int>(Op::AddR) : static_cast<int>(Op::AddC))
                           : (from_env ? static_cast<int>(Op::RAdd) : static_cast<int>(Op::CAdd));
    return static_cast<Op>(base + k);
}

Instr leaf_operand(Op op, const Instr& leaf) {
    Instr i = leaf;
    i.op = op;
    return i;
}

// Rewrites verified postfix code into kernel code. start[k] is the first instruction of the
// subtree whose root is instruction k, so every operand's code is a known range.
class KernelWriter {
public:
    KernelWriter(const std::vector<Instr>& code, std::size_t table_offset, std::vector<Instr>& out)
        : code_(code), offset_(table_offset), out_(out), start_(code.size()) {
        std::vector<std::size_t> roots;
        for (std::size_t k = 0; k < code.size(); ++k) {
            std::size_t s = k;
            for (int c = consumed(code[k].op); c > 0; --c) {
                s = roots.back();
                roots.pop_back();
            }
            start_[k] = s;
            roots.push_back(s);
        }
    }

    void emit_root() { emit(code_.size() - 1); }

private:
    void emit(std::size_t k) {
        const Instr& in = code_[k];
        const int c = consumed(in.op);
        if (c == 0) {
            out_.push_back(in);
            return;
        }
        if (c == 1) {
            emit(k - 1);
            out_.push_back(in.op == Op::Pw ? Instr::with_index(Op::Pw, in.index + offset_) : in);
            return;
        }
        const std::size_t b = k - 1;
        const std::size_t a = start_[b] - 1;
        if (c == 3) {
            emit(start_[a] - 1);
            emit(a);
            emit(b);
            out_.push_back(in);
            return;
        }
        const bool arithmetic = in.op == Op::Add || in.op == Op::Sub || in.op == Op::Mul || in.op == Op::Div;
        if (in.op == Op::Pow && code_[b].op == Op::Const && code_[b].value == 2.0) {
            emit(a);
            out_.push_back(Instr::plain(Op::Square));
        } else if (arithmetic && is_leaf(code_[b].op)) {
            emit(a);
            out_.push_back(leaf_operand(folded(in.op, true, code_[b].op == Op::Ref), code_[b]));
        } else if (arithmetic && is_leaf(code_[a].op)) {
            emit(b);
            out_.push_back(leaf_operand(folded(in.op, false, code_[a].op == Op::Ref), code_[a]));
        } else {
            emit(a);
            emit(b);
            out_.push_back(in);
        }
    }

    const std::vector<Instr>& code_;
    std::size_t offset_;
    std::vector<Instr>& out_;
    std::vector<std::size_t> start_;
};

// Stack depth reached by kernel code, counting each kind's pops and its push.
std::size_t kernel_depth(const std::vector<Instr>& code) {
    std::size_t depth = 0, deepest = 0;
    for (const Instr& in : code) {
        if (in.op == Op::Store) {
            --depth;
        } else if (in.op >= Op::AddR && in.op <= Op::Square) {
            // one value in, one out
        } else {
            depth = depth - static_cast<std::size_t>(consumed(in.op)) + 1;
        }
        deepest = std::max(deepest, depth);
    }
    return deepest;
}

}  // namespace

Kernel kernel_of(const Program& program) {
    Kernel k;
    KernelWriter(program.code, 0, k.code).emit_root();
    k.tables = program.tables;
    k.depth = kernel_depth(k.code);
    return k;
}

Kernel fuse(const std::vector<Program>& programs) {
    Kernel k;
    for (std::size_t j = 0; j < programs.size(); ++j) {
        KernelWriter(programs[j].code, k.tables.size(), k.code).emit_root();
        k.code.push_back(Instr::with_index(Op::Store, j));
        k.tables.insert(k.tables.end(), programs[j].tables.begin(), programs[j].tables.end());
    }
    k.depth = kernel_depth(k.code);
    return k;
}

double PwTable::at(double x) const {
    const std::size_t n = coefs.size();
    std::size_t g;
    if (x >= knots[n]) {
        g = n - 1;
    } else if (x < knots[1]) {
        g = 0;
    } else {
        // the last knot k[g] <= x among k[1..n-1]; a NaN x lands on some segment, harmlessly
        g = static_cast<std::size_t>(std::upper_bound(knots.begin() + 1, knots.begin() + static_cast<std::ptrdiff_t>(n), x) -
                                     knots.begin()) - 1;
    }
    const double d = x - knots[g];
    const auto& c = coefs[g];
    return (c[2] * d + c[1]) * d + c[0];
}

// Each operator's arithmetic, written once for the plain and the folded forms.
inline double add(double a, double b) { return a + b; }
inline double sub(double a, double b) { return a - b; }
inline double mul(double a, double b) { return a * b; }
inline double div(double a, double b) { return a / b; }

// The evaluator. What keeps it fast: the compiler has proven the code well formed and
// measured its stack depth, so the loop runs on a raw stack pointer with no bounds or growth
// checks; leaf operands are folded into the operations that use them, so most instructions
// neither push nor pop; a list of programs runs as one stream; every operand is in the
// instruction itself; one switch, no calls except the math library and the piecewise tables.
// sp points one past the top of the stack.
double run(const Kernel& kernel, const double* env, double* stack, double* out) {
    double* sp = stack;
    const PwTable* tables = kernel.tables.data();
    for (const Instr& in : kernel.code) {
        switch (in.op) {
        case Op::Const: *sp++ = in.value; break;
        case Op::Ref: *sp++ = env[in.index]; break;
        case Op::Neg: sp[-1] = -sp[-1]; break;
        case Op::Sqrt: sp[-1] = std::sqrt(sp[-1]); break;
        case Op::Exp: sp[-1] = std::exp(sp[-1]); break;
        case Op::Log: sp[-1] = std::log(sp[-1]); break;
        case Op::Abs: sp[-1] = std::fabs(sp[-1]); break;
        case Op::Tanh: sp[-1] = std::tanh(sp[-1]); break;
        case Op::Sin: sp[-1] = std::sin(sp[-1]); break;
        case Op::Cos: sp[-1] = std::cos(sp[-1]); break;
        case Op::Sign: {
            const double v = sp[-1];
            sp[-1] = v == 0.0 ? 0.0 : std::isnan(v) ? v : std::copysign(1.0, v);
            break;
        }
        case Op::Add: --sp; sp[-1] = add(sp[-1], sp[0]); break;
        case Op::Sub: --sp; sp[-1] = sub(sp[-1], sp[0]); break;
        case Op::Mul: --sp; sp[-1] = mul(sp[-1], sp[0]); break;
        case Op::Div: --sp; sp[-1] = div(sp[-1], sp[0]); break;
        case Op::Pow: {
            --sp;
            const double a = sp[-1], b = sp[0];
            sp[-1] = b == 2.0 ? a * a : std::pow(a, b);
            break;
        }
        case Op::Max: --sp; sp[-1] = sp[0] <= sp[-1] ? sp[-1] : sp[0]; break;
        case Op::Min: --sp; sp[-1] = sp[-1] <= sp[0] ? sp[-1] : sp[0]; break;
        case Op::Gt: --sp; sp[-1] = sp[-1] > sp[0] ? 1.0 : 0.0; break;
        case Op::Where: sp -= 2; sp[-1] = sp[-1] != 0.0 ? sp[0] : sp[1]; break;
        case Op::Pw: sp[-1] = tables[in.index].at(sp[-1]); break;
        case Op::AddR: sp[-1] = add(sp[-1], env[in.index]); break;
        case Op::SubR: sp[-1] = sub(sp[-1], env[in.index]); break;
        case Op::MulR: sp[-1] = mul(sp[-1], env[in.index]); break;
        case Op::DivR: sp[-1] = div(sp[-1], env[in.index]); break;
        case Op::AddC: sp[-1] = add(sp[-1], in.value); break;
        case Op::SubC: sp[-1] = sub(sp[-1], in.value); break;
        case Op::MulC: sp[-1] = mul(sp[-1], in.value); break;
        case Op::DivC: sp[-1] = div(sp[-1], in.value); break;
        case Op::RAdd: sp[-1] = add(env[in.index], sp[-1]); break;
        case Op::RSub: sp[-1] = sub(env[in.index], sp[-1]); break;
        case Op::RMul: sp[-1] = mul(env[in.index], sp[-1]); break;
        case Op::RDiv: sp[-1] = div(env[in.index], sp[-1]); break;
        case Op::CAdd: sp[-1] = add(in.value, sp[-1]); break;
        case Op::CSub: sp[-1] = sub(in.value, sp[-1]); break;
        case Op::CMul: sp[-1] = mul(in.value, sp[-1]); break;
        case Op::CDiv: sp[-1] = div(in.value, sp[-1]); break;
        case Op::Square: sp[-1] = mul(sp[-1], sp[-1]); break;
        case Op::Store: out[in.index] = *--sp; break;
        }
    }
    return sp == stack ? 0.0 : sp[-1];
}

double run(const Program& program, const double* env, double* stack) {
    return run(program.kernel, env, stack, nullptr);
}

double eval(const Program& program, const double* env, std::vector<double>& stack) {
    if (stack.size() < program.depth) stack.resize(std::max(program.depth, 2 * stack.size()));
    return run(program, env, stack.data());
}

}  // namespace zarel
