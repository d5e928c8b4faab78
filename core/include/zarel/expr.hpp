// Expression programs: compilation of JSON expression trees into postfix code, and evaluation.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include <nlohmann/json.hpp>

#include "zarel/error.hpp"
#include "zarel/operators.hpp"

namespace zarel {

using Json = nlohmann::json;

#define ZAREL_OP_NAME(Name, ...) Name,
enum class Op : std::uint8_t { ZAREL_OPERATORS(ZAREL_OP_NAME) ZAREL_KERNEL_FORMS(ZAREL_OP_NAME) };
#undef ZAREL_OP_NAME

enum class OpFamily : std::uint8_t { Leaf, Arithmetic, InPlace, Select, Call, KernelForm };

// What the operator table says of an operation.
constexpr OpFamily family(Op op) {
    switch (op) {
#define ZAREL_OP_FAMILY(Name, name, tree, stack, fam, body) case Op::Name: return OpFamily::fam;
        ZAREL_OPERATORS(ZAREL_OP_FAMILY)
#undef ZAREL_OP_FAMILY
    default: return OpFamily::KernelForm;
    }
}
constexpr bool is_operator(Op op) { return family(op) != OpFamily::KernelForm; }

// One instruction: plain data, 16 bytes, stored contiguously in a program.
struct Instr {
    Op op;
    std::uint32_t aux = 0;  // kernels only: the second slot of a two-leaf operation
    union {
        double value;         // Const
        std::uint64_t index;  // Ref: environment slot; Pw: table index
    };

    static Instr constant(double v) { Instr i{}; i.op = Op::Const; i.value = v; return i; }
    static Instr with_index(Op op, std::uint64_t k) { Instr i{}; i.op = op; i.index = k; return i; }
    static Instr plain(Op op) { Instr i{}; i.op = op; i.index = 0; return i; }
};

// A piecewise-quadratic function: segment g covers [knots[g], knots[g+1]) and has the value
// (c2*d + c1)*d + c0 at distance d from its left knot.
struct PwTable {
    std::vector<double> knots;
    std::vector<std::array<double, 3>> coefs;

    double at(double x) const;
};

// What the evaluator runs: code in which leaf operands are folded into their operations, so
// most instructions do their arithmetic without a push. Built once from verified programs; it
// computes exactly what the program's own code computes, operation for operation.
struct Kernel {
    std::vector<Instr> code;
    std::vector<PwTable> tables;
    std::size_t depth = 0;
};

struct Program {
    std::vector<Instr> code;
    std::vector<PwTable> tables;
    std::optional<std::uint64_t> max_ref;
    std::size_t depth = 0;  // the largest stack depth the code reaches
    Kernel kernel;
};

// A JSON integer that is not negative, as a slot or a size; text always parses such numbers as
// unsigned, a tree built in C++ may hold them signed.
std::optional<std::uint64_t> index_value(const Json& v);

// A JSON number as a double (integers to the nearest double); anything else is NaN.
double number_or_nan(const Json& v);

// Number of stack values an instruction of this kind consumes (it always pushes one).
int consumed(Op op);

Result<Program> from_json(const Json& node);
Status parse_into(const Json& node, std::vector<Instr>& code, std::vector<PwTable>& tables);
Program constant();

// The kernel of one verified program, and of a list of them evaluated in order into out[k].
Kernel kernel_of(const Program& program);
Kernel fuse(const std::vector<Program>& programs);

// Evaluates a program accepted by from_json against an environment holding every slot it
// reads. The stack grows only when it is smaller than the program's depth.
double eval(const Program& program, const double* env, std::vector<double>& stack);
// The evaluation loop itself, on a stack with room for at least program.depth values.
double run(const Program& program, const double* env, double* stack);
// Runs a kernel; a fused list writes its values to out and returns nothing meaningful.
double run(const Kernel& kernel, const double* env, double* stack, double* out);

}  // namespace zarel
