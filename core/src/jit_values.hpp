// The values a kernel computes, numbered so that an operation repeated anywhere in a fused list
// is computed once: the input of the machine-code emitter.
#pragma once

#include <cstdint>
#include <vector>

#include "zarel/expr.hpp"
#include "zarel/jit.hpp"

namespace zarel::jit {

// One value: an environment slot (Ref: bits is the slot), a constant (Const: bits is the
// double's bits) or an operation on earlier values a, b, c (Pw: bits is the table number).
struct Value {
    Op op;
    std::uint32_t a = 0, b = 0, c = 0;
    std::uint64_t bits = 0;

    bool operator==(const Value&) const = default;
};

// One step of the code, in order: compute a value, write it to out[slot], or return it.
struct Step {
    enum Kind : std::uint8_t { Compute, Store, Return };
    Kind kind;
    std::uint32_t value;
    std::uint64_t slot = 0;
};

struct Graph {
    std::vector<Value> values;
    std::vector<Step> steps;  // ends with the one Return
    std::vector<const PwTable*> tables;
};

// What `source` computes: repeated operations merged, operations on constants folded by the
// evaluator's own arithmetic, values that no result needs dropped.
Graph build_graph(const NativeSource& source);

// The evaluator's arithmetic for one operation, as folding uses it.
double apply(Op op, double a, double b, double c, const PwTable* table);

// Operations done by a call into C (the math library or a table lookup).
bool is_call(Op op);

}  // namespace zarel::jit
