// Expression programs: compilation of JSON expression trees into postfix code, and evaluation.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include <nlohmann/json.hpp>

#include "zarel/error.hpp"

namespace zarel {

using Json = nlohmann::json;

enum class Op : std::uint8_t {
    Const, Ref, Neg, Sqrt, Exp, Log, Abs, Tanh, Sin, Cos, Sign,
    Add, Sub, Mul, Div, Pow, Max, Min, Gt, Where, Pw,
};

// One instruction: plain data, 16 bytes, stored contiguously in a program.
struct Instr {
    Op op;
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

struct Program {
    std::vector<Instr> code;
    std::vector<PwTable> tables;
    std::optional<std::uint64_t> max_ref;
    std::size_t depth = 0;  // the largest stack depth the code reaches
};

// A JSON integer that is not negative, as a slot or a size; text always parses such numbers as
// unsigned, a tree built in C++ may hold them signed.
std::optional<std::uint64_t> index_value(const Json& v);

// Number of stack values an instruction of this kind consumes (it always pushes one).
int consumed(Op op);

Result<Program> from_json(const Json& node);
Status parse_into(const Json& node, std::vector<Instr>& code, std::vector<PwTable>& tables);
Program constant();

// Evaluates a program accepted by from_json against an environment holding every slot it
// reads. The stack grows only when it is smaller than the program's depth.
double eval(const Program& program, const double* env, std::vector<double>& stack);
// The evaluation loop itself, on a stack with room for at least program.depth values.
double run(const Program& program, const double* env, double* stack);

}  // namespace zarel
