// The expression compiler (JSON trees to postfix programs) and the evaluator that runs them.
#include "zarel/expr.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
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
#define ZAREL_OP_INFO(Name, name, tree, stack, fam, body) {name, Op::Name, tree},
    ZAREL_OPERATORS(ZAREL_OP_INFO)
#undef ZAREL_OP_INFO
};

Status parse_pw(const Json& node, std::vector<Instr>& code, std::vector<PwTable>& tables) {
    if (auto st = parse_into(node[1], code, tables); !st) return st;
    PwTable table;
    const Json& knots = node[2];
    if (!knots.is_array()) return malformed("pw knots must be a list");
    for (const Json& k : knots) {
        if (!k.is_number()) return malformed("pw knot");
        table.knots.push_back(number_or_nan(k));
    }
    const Json& coefs = node[3];
    if (!coefs.is_array()) return malformed("pw coefs must be a list");
    for (const Json& triple : coefs) {
        if (!triple.is_array() || triple.size() != 3) return malformed("pw coef triple");
        std::array<double, 3> c;
        for (std::size_t k = 0; k < 3; ++k)
            c[k] = number_or_nan(triple[k]);
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

double number_or_nan(const Json& v) {
    if (v.is_number_unsigned()) return static_cast<double>(v.get<std::uint64_t>());
    if (v.is_number_integer()) return static_cast<double>(v.get<std::int64_t>());
    if (v.is_number_float()) return v.get<double>();
    return std::numeric_limits<double>::quiet_NaN();
}

std::optional<std::uint64_t> index_value(const Json& v) {
    if (v.is_number_unsigned()) return v.get<std::uint64_t>();
    if (v.is_number_integer() && v.get<std::int64_t>() >= 0) return static_cast<std::uint64_t>(v.get<std::int64_t>());
    return std::nullopt;
}

int consumed(Op op) {
    switch (op) {
#define ZAREL_OP_CONSUMED(Name, name, tree, stack, fam, body) case Op::Name: return stack;
        ZAREL_OPERATORS(ZAREL_OP_CONSUMED)
#undef ZAREL_OP_CONSUMED
    default: return 1;  // a kernel form replaces the top
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
        code.push_back(Instr::constant(number_or_nan(node[1])));
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

int arithmetic_index(Op op) { return op == Op::Add ? 0 : op == Op::Sub ? 1 : op == Op::Mul ? 2 : 3; }

// The kernel forms come in groups of four in the order of add, sub, mul, div, found by offset.
constexpr bool in_arithmetic_order(Op add, Op sub, Op mul, Op div) {
    return static_cast<int>(sub) == static_cast<int>(add) + 1 && static_cast<int>(mul) == static_cast<int>(add) + 2 &&
           static_cast<int>(div) == static_cast<int>(add) + 3;
}
static_assert(in_arithmetic_order(Op::AddR, Op::SubR, Op::MulR, Op::DivR) &&
              in_arithmetic_order(Op::AddC, Op::SubC, Op::MulC, Op::DivC) &&
              in_arithmetic_order(Op::RAdd, Op::RSub, Op::RMul, Op::RDiv) &&
              in_arithmetic_order(Op::CAdd, Op::CSub, Op::CMul, Op::CDiv) &&
              in_arithmetic_order(Op::AddRR, Op::SubRR, Op::MulRR, Op::DivRR) &&
              in_arithmetic_order(Op::AddRC, Op::SubRC, Op::MulRC, Op::DivRC) &&
              in_arithmetic_order(Op::AddCR, Op::SubCR, Op::MulCR, Op::DivCR));
// kernel_depth reads the two-leaf forms and the one-in-one-out forms as ranges
static_assert(Op::AddR < Op::DivCR && Op::DivCR < Op::Square && Op::Square < Op::Store &&
              static_cast<int>(Op::AddRR) == static_cast<int>(Op::CDiv) + 1 &&
              static_cast<int>(Op::Square) == static_cast<int>(Op::DivCR) + 1);

// The kernel form of `op` with its right (b) or left (a) operand folded in from a leaf.
Op folded(Op op, bool right, bool from_env) {
    const int k = arithmetic_index(op);
    const int base = right ? (from_env ? static_cast<int>(Op::AddR) : static_cast<int>(Op::AddC))
                           : (from_env ? static_cast<int>(Op::RAdd) : static_cast<int>(Op::CAdd));
    return static_cast<Op>(base + k);
}

Instr leaf_operand(Op op, const Instr& leaf) {
    Instr i = leaf;
    i.op = op;
    return i;
}

// One instruction for an arithmetic operation on two leaves, when their slots fit the
// instruction; two constants are left alone.
std::optional<Instr> leaf_pair(Op op, const Instr& a, const Instr& b) {
    const auto fits = [](const Instr& leaf) { return leaf.op != Op::Ref || leaf.index <= UINT32_MAX; };
    if (!fits(a) || !fits(b) || (a.op == Op::Const && b.op == Op::Const)) return std::nullopt;
    const int k = arithmetic_index(op);
    Instr i{};
    if (a.op == Op::Ref && b.op == Op::Ref) {
        i.op = static_cast<Op>(static_cast<int>(Op::AddRR) + k);
        i.index = a.index;
        i.aux = static_cast<std::uint32_t>(b.index);
    } else if (a.op == Op::Ref) {
        i.op = static_cast<Op>(static_cast<int>(Op::AddRC) + k);
        i.value = b.value;
        i.aux = static_cast<std::uint32_t>(a.index);
    } else {
        i.op = static_cast<Op>(static_cast<int>(Op::AddCR) + k);
        i.value = a.value;
        i.aux = static_cast<std::uint32_t>(b.index);
    }
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
        std::optional<Instr> pair;
        if (arithmetic && is_leaf(code_[a].op) && is_leaf(code_[b].op))
            pair = leaf_pair(in.op, code_[a], code_[b]);
        if (pair) {
            out_.push_back(*pair);
        } else if (in.op == Op::Pow && code_[b].op == Op::Const && code_[b].value == 2.0) {
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
        if (in.op == Op::End) {
            break;
        } else if (in.op == Op::Put) {
            // touches no stack
        } else if (in.op == Op::Store) {
            --depth;
        } else if (in.op >= Op::AddRR && in.op <= Op::DivCR) {
            ++depth;
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
    k.code.push_back(Instr::plain(Op::End));
    k.tables = program.tables;
    k.depth = kernel_depth(k.code);
    return k;
}

Kernel fuse(const std::vector<Program>& programs) {
    Kernel k;
    for (std::size_t j = 0; j < programs.size(); ++j) {
        const std::vector<Instr>& code = programs[j].code;
        if (code.size() == 1 && code[0].op == Op::Const && j <= UINT32_MAX) {
            Instr put = code[0];
            put.op = Op::Put;
            put.aux = static_cast<std::uint32_t>(j);
            k.code.push_back(put);
            continue;
        }
        KernelWriter(code, k.tables.size(), k.code).emit_root();
        k.code.push_back(Instr::with_index(Op::Store, j));
        k.tables.insert(k.tables.end(), programs[j].tables.begin(), programs[j].tables.end());
    }
    k.code.push_back(Instr::plain(Op::End));
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

// The folded forms' arithmetic; the operators' own comes from the operator table.
inline double add(double a, double b) { return a + b; }
inline double sub(double a, double b) { return a - b; }
inline double mul(double a, double b) { return a * b; }
inline double div(double a, double b) { return a / b; }

// The evaluator. What keeps it fast:
// - the compiler has proven the code well formed and measured its stack depth, so the loop
//   runs on a raw stack pointer with no bounds or growth checks;
// - leaf operands are folded into the operations that use them, and a list of programs runs
//   as one stream, so most instructions neither push nor pop;
// - the top of the stack lives in a local (`top`), so unary and folded operations touch no
//   stack memory at all; sp points one past the values below it;
// - dispatch is direct threading (one indirect jump per instruction, no range check) where
//   the compiler offers labels as values, a plain switch otherwise; the same bodies serve both;
// - no calls but the math library and the piecewise tables.
// A push spills `top`, so the first push of a program spills a meaningless value; the stack
// needs room for `depth` values, which the kernel's depth already counts.
#if defined(__GNUC__)
#define ZAREL_THREADED 1
#endif

#if ZAREL_THREADED
#define VM_DISPATCH() goto* labels[static_cast<int>((++ip)->op)]
#define VM_CASE(kind) L_##kind:
#define VM_NEXT() VM_DISPATCH()
#else
#define VM_CASE(kind) case Op::kind:
#define VM_NEXT() break
#endif

double run(const Kernel& kernel, const double* env, double* stack, double* out) {
    double* sp = stack;
    double top = 0.0;
    const PwTable* tables = kernel.tables.data();
    if (kernel.code.empty()) return top;  // a kernel that was never built
    const Instr* ip = kernel.code.data();
#if ZAREL_THREADED
    // one label per kind, in the order of the enumeration
#define ZAREL_OP_LABEL(Name, ...) &&L_##Name,
    static void* const labels[] = {ZAREL_OPERATORS(ZAREL_OP_LABEL) ZAREL_KERNEL_FORMS(ZAREL_OP_LABEL)};
#undef ZAREL_OP_LABEL
    static_assert(sizeof labels / sizeof labels[0] == static_cast<int>(Op::End) + 1);
    --ip;
    VM_DISPATCH();
    {
        {
#else
    --ip;
    for (;;) {
        switch ((++ip)->op) {
#endif
        VM_CASE(Const) *sp++ = top; top = ip->value; VM_NEXT();
        VM_CASE(Ref) *sp++ = top; top = env[ip->index]; VM_NEXT();
        // every other operator from the table: its operands popped in program order, its body
#define ZAREL_OP_CASE(Name, name, tree, stack, fam, body) ZAREL_OP_CASE_##stack(Name, body)
#define ZAREL_OP_CASE_0(Name, body)
#define ZAREL_OP_CASE_1(Name, body)                                                      \
        VM_CASE(Name) {                                                                  \
            const double a = top;                                                        \
            [[maybe_unused]] const PwTable* table = tables + ip->index;                  \
            top = (body);                                                                \
            VM_NEXT();                                                                   \
        }
#define ZAREL_OP_CASE_2(Name, body)                                                      \
        VM_CASE(Name) {                                                                  \
            const double b = top, a = *--sp;                                             \
            top = (body);                                                                \
            VM_NEXT();                                                                   \
        }
#define ZAREL_OP_CASE_3(Name, body)                                                      \
        VM_CASE(Name) {                                                                  \
            sp -= 2;                                                                     \
            const double a = sp[0], b = sp[1], c = top;                                  \
            top = (body);                                                                \
            VM_NEXT();                                                                   \
        }
        ZAREL_OPERATORS(ZAREL_OP_CASE)
#undef ZAREL_OP_CASE
#undef ZAREL_OP_CASE_0
#undef ZAREL_OP_CASE_1
#undef ZAREL_OP_CASE_2
#undef ZAREL_OP_CASE_3
        VM_CASE(AddR) top = add(top, env[ip->index]); VM_NEXT();
        VM_CASE(SubR) top = sub(top, env[ip->index]); VM_NEXT();
        VM_CASE(MulR) top = mul(top, env[ip->index]); VM_NEXT();
        VM_CASE(DivR) top = div(top, env[ip->index]); VM_NEXT();
        VM_CASE(AddC) top = add(top, ip->value); VM_NEXT();
        VM_CASE(SubC) top = sub(top, ip->value); VM_NEXT();
        VM_CASE(MulC) top = mul(top, ip->value); VM_NEXT();
        VM_CASE(DivC) top = div(top, ip->value); VM_NEXT();
        VM_CASE(RAdd) top = add(env[ip->index], top); VM_NEXT();
        VM_CASE(RSub) top = sub(env[ip->index], top); VM_NEXT();
        VM_CASE(RMul) top = mul(env[ip->index], top); VM_NEXT();
        VM_CASE(RDiv) top = div(env[ip->index], top); VM_NEXT();
        VM_CASE(CAdd) top = add(ip->value, top); VM_NEXT();
        VM_CASE(CSub) top = sub(ip->value, top); VM_NEXT();
        VM_CASE(CMul) top = mul(ip->value, top); VM_NEXT();
        VM_CASE(CDiv) top = div(ip->value, top); VM_NEXT();
        VM_CASE(AddRR) *sp++ = top; top = add(env[ip->index], env[ip->aux]); VM_NEXT();
        VM_CASE(SubRR) *sp++ = top; top = sub(env[ip->index], env[ip->aux]); VM_NEXT();
        VM_CASE(MulRR) *sp++ = top; top = mul(env[ip->index], env[ip->aux]); VM_NEXT();
        VM_CASE(DivRR) *sp++ = top; top = div(env[ip->index], env[ip->aux]); VM_NEXT();
        VM_CASE(AddRC) *sp++ = top; top = add(env[ip->aux], ip->value); VM_NEXT();
        VM_CASE(SubRC) *sp++ = top; top = sub(env[ip->aux], ip->value); VM_NEXT();
        VM_CASE(MulRC) *sp++ = top; top = mul(env[ip->aux], ip->value); VM_NEXT();
        VM_CASE(DivRC) *sp++ = top; top = div(env[ip->aux], ip->value); VM_NEXT();
        VM_CASE(AddCR) *sp++ = top; top = add(ip->value, env[ip->aux]); VM_NEXT();
        VM_CASE(SubCR) *sp++ = top; top = sub(ip->value, env[ip->aux]); VM_NEXT();
        VM_CASE(MulCR) *sp++ = top; top = mul(ip->value, env[ip->aux]); VM_NEXT();
        VM_CASE(DivCR) *sp++ = top; top = div(ip->value, env[ip->aux]); VM_NEXT();
        VM_CASE(Square) top = mul(top, top); VM_NEXT();
        VM_CASE(Store) out[ip->index] = top; top = *--sp; VM_NEXT();
        VM_CASE(Put) out[ip->aux] = ip->value; VM_NEXT();
        VM_CASE(End) return top;
        }
    }
}

#undef VM_DISPATCH
#undef VM_CASE
#undef VM_NEXT

double run(const Program& program, const double* env, double* stack) {
    return run(program.kernel, env, stack, nullptr);
}

double eval(const Program& program, const double* env, std::vector<double>& stack) {
    if (stack.size() < program.depth) stack.resize(std::max(program.depth, 2 * stack.size()));
    return run(program, env, stack.data());
}

}  // namespace zarel
