// The operators of expression programs, listed once. Each entry is
//   X(Name, "name", tree operands, stack operands, family, scalar body)
// and from the list come the Op enumeration, the names and arities the parser accepts, the
// evaluator's cases and its label table, value numbering's folding, and the machine-code
// emitter's choice of emitter family. The body is the operator's arithmetic over the operands
// a, b, c (in program order) and, for a table lookup, `table`: the evaluator, folding and, through
// them, the machine code compute exactly this. Reordering the list is harmless; adding an
// operator is one line here plus, if its family's emitter has no case for it, one there.
//
// Families (the machine code's emitters): Leaf (a slot or a constant), Arithmetic (one IEEE
// instruction), InPlace (a sign-bit mask or sqrt), Select (compare masks and blends), Call (the
// same C function the evaluator calls, once per lane in packed code).
#pragma once

#define ZAREL_OPERATORS(X)                                                                        \
    X(Const, "const", 1, 0, Leaf, a)                                                              \
    X(Ref, "ref", 1, 0, Leaf, a)                                                                  \
    X(Neg, "neg", 1, 1, InPlace, -a)                                                              \
    X(Sqrt, "sqrt", 1, 1, InPlace, std::sqrt(a))                                                  \
    X(Exp, "exp", 1, 1, Call, std::exp(a))                                                        \
    X(Log, "log", 1, 1, Call, std::log(a))                                                        \
    X(Abs, "abs", 1, 1, InPlace, std::fabs(a))                                                    \
    X(Tanh, "tanh", 1, 1, Call, std::tanh(a))                                                     \
    X(Sin, "sin", 1, 1, Call, std::sin(a))                                                        \
    X(Cos, "cos", 1, 1, Call, std::cos(a))                                                        \
    X(Sign, "sign", 1, 1, Select, a == 0.0 ? 0.0 : std::isnan(a) ? a : std::copysign(1.0, a))     \
    X(Add, "add", 2, 2, Arithmetic, a + b)                                                        \
    X(Sub, "sub", 2, 2, Arithmetic, a - b)                                                        \
    X(Mul, "mul", 2, 2, Arithmetic, a * b)                                                        \
    X(Div, "div", 2, 2, Arithmetic, a / b)                                                        \
    X(Pow, "pow", 2, 2, Call, b == 2.0 ? a * a : std::pow(a, b))                                  \
    X(Max, "max", 2, 2, Select, b <= a ? a : b)                                                   \
    X(Min, "min", 2, 2, Select, a <= b ? a : b)                                                   \
    X(Gt, "gt", 2, 2, Select, a > b ? 1.0 : 0.0)                                                  \
    X(Where, "where", 3, 3, Select, a != 0.0 ? b : c)                                             \
    X(Pw, "pw", 3, 1, Call, table->at(a))

// Kernel-only forms, made from the operators above when a program is compiled for evaluation:
// a binary arithmetic operation with one operand taken from the environment (R) or a constant
// (C), on the right (AddR: top + env[i]) or on the left (RAdd: env[i] + top); both operands
// leaves, the result pushed: a from env[index] or the constant, b from env[aux] or the constant
// (AddRR: env[index] + env[aux]; SubRC: env[aux] - value; MulCR: value * env[aux]); Square, pow
// with the constant exponent 2; Store pops the top into out[index], ending one program of a fused
// list; Put writes out[aux] = value, a whole program that is one constant (most Jacobian
// entries); End, the last instruction of every kernel. Each group of four follows the order of
// Add, Sub, Mul, Div, which the kernel writer relies on (checked where it does).
#define ZAREL_KERNEL_FORMS(X)                                                                     \
    X(AddR) X(SubR) X(MulR) X(DivR) X(AddC) X(SubC) X(MulC) X(DivC)                               \
    X(RAdd) X(RSub) X(RMul) X(RDiv) X(CAdd) X(CSub) X(CMul) X(CDiv)                               \
    X(AddRR) X(SubRR) X(MulRR) X(DivRR) X(AddRC) X(SubRC) X(MulRC) X(DivRC)                       \
    X(AddCR) X(SubCR) X(MulCR) X(DivCR)                                                           \
    X(Square) X(Store) X(Put) X(End)
