// The expression compiler (messages, code, tables, slots, depth) and the evaluator's arithmetic.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "zarel/expr.hpp"

namespace {

using zarel::Json;
using zarel::Op;
using zarel::Program;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

Program compile(const std::string& text) {
    auto p = zarel::from_json(Json::parse(text));
    if (!p) ADD_FAILURE() << text << " -> " << p.error().display();
    return p ? std::move(*p) : zarel::constant();
}

double evaluate(const std::string& text, const std::vector<double>& env = {0.0}) {
    const Program p = compile(text);
    std::vector<double> stack;
    return zarel::eval(p, env.data(), stack);
}

// Same bits, or both NaN when NaN is expected.
testing::AssertionResult same_double(double expected, double got) {
    if (std::isnan(expected) ? std::isnan(got) : bits(expected) == bits(got)) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "expected " << expected << " (bits " << std::hex << bits(expected)
                                       << "), got " << got << " (bits " << bits(got) << ")";
}

// ---------------------------------------------------------------------------------------------
// Compiler messages, in the order the compiler checks them

struct BadNode {
    const char* label;
    std::string json;
    std::string message;  // without the "malformed model: " prefix
};

void PrintTo(const BadNode& c, std::ostream* os) { *os << c.label; }

class CompileErrorTest : public testing::TestWithParam<BadNode> {};

TEST_P(CompileErrorTest, Message) {
    const BadNode& c = GetParam();
    auto p = zarel::from_json(Json::parse(c.json));
    ASSERT_FALSE(p.has_value()) << c.json;
    EXPECT_EQ(p.error().kind(), 0u);
    EXPECT_EQ(p.error().display(), "malformed model: " + c.message);
}

#define X "[\"ref\", 0]"

INSTANTIATE_TEST_SUITE_P(
    NotAList, CompileErrorTest,
    testing::Values(
        BadNode{"string", R"("abc")", R"(expected a list, got "abc")"},
        BadNode{"escaped_string", R"("a\"b\\c")", R"(expected a list, got "a\"b\\c")"},
        BadNode{"integer", "5", "expected a list, got 5"},
        BadNode{"negative_integer", "-12", "expected a list, got -12"},
        BadNode{"null", "null", "expected a list, got null"},
        BadNode{"boolean", "true", "expected a list, got true"},
        BadNode{"object_sorted", R"({"b": 1, "a": 2})", R"(expected a list, got {"a":2,"b":1})"},
        BadNode{"nested_object_sorted", R"({"z": [1, 2, {"y": null, "x": "s"}], "a": {}})",
                R"(expected a list, got {"a":{},"z":[1,2,{"x":"s","y":null}]})"},
        BadNode{"operand_of_unary", R"(["neg", 5])", "expected a list, got 5"},
        BadNode{"second_operand", R"(["add", ["const", 1], {"k": [ 1 , 2 ]}])", R"(expected a list, got {"k":[1,2]})"},
        BadNode{"where_condition", R"(["where", "c", ["const", 1], ["const", 2]])", R"(expected a list, got "c")"}),
    [](const testing::TestParamInfo<BadNode>& info) { return std::string(info.param.label); });

INSTANTIATE_TEST_SUITE_P(
    Operator, CompileErrorTest,
    testing::Values(
        BadNode{"empty", "[]", "expression node without an operator"},
        BadNode{"number_first", "[1, 2]", "expression node without an operator"},
        BadNode{"null_first", "[null]", "expression node without an operator"},
        BadNode{"list_first", R"([["const", 1]])", "expression node without an operator"},
        BadNode{"empty_operand", R"(["neg", []])", "expression node without an operator"},
        BadNode{"sym_no_operand", R"(["sym"])", "expression still contains a named symbol; lower it first"},
        BadNode{"sym_one_operand", R"(["sym", "x"])", "expression still contains a named symbol; lower it first"},
        BadNode{"sym_many_operands", R"(["sym", 1, 2, 3, 4])",
                "expression still contains a named symbol; lower it first"},
        BadNode{"sym_inside", R"(["add", ["const", 1], ["sym", "p"]])",
                "expression still contains a named symbol; lower it first"},
        BadNode{"upper_case", R"(["SIN", ["const", 1]])", "unknown operator SIN"},
        BadNode{"unknown", R"(["foo"])", "unknown operator foo"},
        BadNode{"empty_name", R"(["", 1])", "unknown operator "},
        BadNode{"name_with_space", R"([" add", 1, 2])", "unknown operator  add"},
        BadNode{"unknown_before_arity", R"(["Sym", 1, 2])", "unknown operator Sym"}),
    [](const testing::TestParamInfo<BadNode>& info) { return std::string(info.param.label); });

INSTANTIATE_TEST_SUITE_P(
    Arity, CompileErrorTest,
    testing::Values(
        BadNode{"sqrt_two", R"(["sqrt", )" X ", " X "]", "sqrt expects 1 operand(s), got 2"},
        BadNode{"add_one", R"(["add", ["const", 1]])", "add expects 2 operand(s), got 1"},
        BadNode{"add_three", R"(["add", 1, 2, 3])", "add expects 2 operand(s), got 3"},
        BadNode{"const_none", R"(["const"])", "const expects 1 operand(s), got 0"},
        BadNode{"const_two", R"(["const", 1, 2])", "const expects 1 operand(s), got 2"},
        BadNode{"ref_none", R"(["ref"])", "ref expects 1 operand(s), got 0"},
        BadNode{"neg_none", R"(["neg"])", "neg expects 1 operand(s), got 0"},
        BadNode{"gt_one", R"(["gt", 1])", "gt expects 2 operand(s), got 1"},
        BadNode{"where_two", R"(["where", )" X ", " X "]", "where expects 3 operand(s), got 2"},
        BadNode{"where_four", R"(["where", 1, 2, 3, 4])", "where expects 3 operand(s), got 4"},
        BadNode{"pw_two", R"(["pw", )" X R"(, [0, 1]])", "pw expects 3 operand(s), got 2"},
        // the operands are not looked at before the count is right
        BadNode{"arity_before_operands", R"(["sqrt", "bad", "bad"])", "sqrt expects 1 operand(s), got 2"}),
    [](const testing::TestParamInfo<BadNode>& info) { return std::string(info.param.label); });

INSTANTIATE_TEST_SUITE_P(
    Leaves, CompileErrorTest,
    testing::Values(
        BadNode{"const_string", R"(["const", "1"])", "const without a number"},
        BadNode{"const_null", R"(["const", null])", "const without a number"},
        BadNode{"const_bool", R"(["const", true])", "const without a number"},
        BadNode{"const_list", R"(["const", [1]])", "const without a number"},
        BadNode{"ref_float", R"(["ref", 2.0])", "ref without an index"},
        BadNode{"ref_exponent", R"(["ref", 1e2])", "ref without an index"},
        BadNode{"ref_negative", R"(["ref", -1])", "ref without an index"},
        BadNode{"ref_string", R"(["ref", "x"])", "ref without an index"},
        BadNode{"ref_node", R"(["ref", ["const", 0]])", "ref without an index"},
        BadNode{"ref_above_u64", R"(["ref", 18446744073709551616])", "ref without an index"}),
    [](const testing::TestParamInfo<BadNode>& info) { return std::string(info.param.label); });

INSTANTIATE_TEST_SUITE_P(
    OperandOrder, CompileErrorTest,
    testing::Values(
        BadNode{"left_first", R"(["add", ["foo"], ["bar"]])", "unknown operator foo"},
        BadNode{"right_after_valid_left", R"(["mul", ["const", 1], ["bar"]])", "unknown operator bar"},
        BadNode{"where_middle", R"(["where", ["const", 1], ["ref", -1], ["const", "x"]])", "ref without an index"},
        BadNode{"where_last", R"(["where", ["const", 1], ["const", 2], ["nope"]])", "unknown operator nope"},
        BadNode{"deep_left", R"(["sub", ["neg", ["exp", ["const", "1"]]], ["foo"]])", "const without a number"}),
    [](const testing::TestParamInfo<BadNode>& info) { return std::string(info.param.label); });

INSTANTIATE_TEST_SUITE_P(
    Piecewise, CompileErrorTest,
    testing::Values(
        BadNode{"argument_first", R"(["pw", ["bad"], 5, 5])", "unknown operator bad"},
        BadNode{"inner_pw_first", R"(["pw", ["pw", )" X R"(, [0, 0], [[0, 0, 0]]], 5, 5])", "pw knots must increase"},
        BadNode{"knots_not_list", R"(["pw", )" X R"(, 5, [[0, 0, 0]]])", "pw knots must be a list"},
        BadNode{"knots_object", R"(["pw", )" X R"(, {"0": 1}, [[0, 0, 0]]])", "pw knots must be a list"},
        BadNode{"knot_string", R"(["pw", )" X R"(, [0, "1"], [[0, 0, 0]]])", "pw knot"},
        BadNode{"knot_null", R"(["pw", )" X R"(, [0, null], [[0, 0, 0]]])", "pw knot"},
        BadNode{"knot_before_coefs", R"(["pw", )" X R"(, [0, "a"], 5])", "pw knot"},
        BadNode{"coefs_not_list", R"(["pw", )" X R"(, [0, 1], 5])", "pw coefs must be a list"},
        BadNode{"coefs_before_count", R"(["pw", )" X R"(, [0], "c"])", "pw coefs must be a list"},
        BadNode{"pair", R"(["pw", )" X R"(, [0, 1], [[1, 2]]])", "pw coef triple"},
        BadNode{"quadruple", R"(["pw", )" X R"(, [0, 1], [[1, 2, 3, 4]]])", "pw coef triple"},
        BadNode{"number_triple", R"(["pw", )" X R"(, [0, 1], [5]])", "pw coef triple"},
        BadNode{"object_triple", R"(["pw", )" X R"(, [0, 1], [{"a": 1, "b": 2, "c": 3}]])", "pw coef triple"},
        BadNode{"triple_before_count", R"(["pw", )" X R"(, [0, 1], [[1, 2, 3], [1, 2]]])", "pw coef triple"},
        BadNode{"triple_before_increase", R"(["pw", )" X R"(, [1, 0], [[1, 2]]])", "pw coef triple"},
        BadNode{"too_many_triples", R"(["pw", )" X R"(, [0, 1], [[1, 2, 3], [1, 2, 3]]])",
                "pw needs n+1 knots and n coefficient triples"},
        BadNode{"too_few_triples", R"(["pw", )" X R"(, [0, 1, 2], [[1, 2, 3]]])",
                "pw needs n+1 knots and n coefficient triples"},
        BadNode{"single_knot", R"(["pw", )" X R"(, [0], []])", "pw needs n+1 knots and n coefficient triples"},
        BadNode{"no_knots", R"(["pw", )" X R"(, [], []])", "pw needs n+1 knots and n coefficient triples"},
        BadNode{"count_before_increase", R"(["pw", )" X R"(, [1, 0], [[1, 2, 3], [1, 2, 3]]])",
                "pw needs n+1 knots and n coefficient triples"},
        BadNode{"equal_knots", R"(["pw", )" X R"(, [0, 0], [[1, 2, 3]]])", "pw knots must increase"},
        BadNode{"decreasing_knots", R"(["pw", )" X R"(, [1, 0], [[1, 2, 3]]])", "pw knots must increase"},
        BadNode{"equal_last_knots", R"(["pw", )" X R"(, [0, 1, 1], [[1, 2, 3], [1, 2, 3]]])",
                "pw knots must increase"},
        BadNode{"integer_float_equal", R"(["pw", )" X R"(, [0, 1, 1.0], [[1, 2, 3], [1, 2, 3]]])",
                "pw knots must increase"}),
    [](const testing::TestParamInfo<BadNode>& info) { return std::string(info.param.label); });

#undef X

TEST(CompileError, FloatInsideMessageReadsBack) {
    // the spelling of a non-integer number is free, but it must read back to the same value
    auto p = zarel::from_json(Json::parse(R"({"v": [0.1, -2.5e-300]})"));
    ASSERT_FALSE(p.has_value());
    const std::string prefix = "malformed model: expected a list, got ";
    const std::string text = p.error().display();
    ASSERT_EQ(text.substr(0, prefix.size()), prefix);
    const Json back = Json::parse(text.substr(prefix.size()));
    ASSERT_EQ(back["v"].size(), 2u);
    EXPECT_EQ(back["v"][0].get<double>(), 0.1);
    EXPECT_EQ(back["v"][1].get<double>(), -2.5e-300);
}

// ---------------------------------------------------------------------------------------------
// Compiled code, tables, slots and depth

TEST(Compile, PostfixCodeWithOperands) {
    const Program p = compile(R"(["where", ["gt", ["ref", 3], ["const", -1]], ["sqrt", ["ref", 1]], ["const", 7]])");
    const std::vector<Op> ops = {Op::Ref, Op::Const, Op::Gt, Op::Ref, Op::Sqrt, Op::Const, Op::Where};
    ASSERT_EQ(p.code.size(), ops.size());
    for (std::size_t k = 0; k < ops.size(); ++k) EXPECT_EQ(p.code[k].op, ops[k]) << k;
    EXPECT_EQ(p.code[0].index, 3u);
    EXPECT_EQ(p.code[1].value, -1.0);
    EXPECT_EQ(p.code[3].index, 1u);
    EXPECT_EQ(p.code[5].value, 7.0);
    EXPECT_TRUE(p.tables.empty());
}

TEST(Compile, EveryOperatorNameMapsToItsKind) {
    const std::pair<const char*, Op> unary[] = {{"neg", Op::Neg}, {"sqrt", Op::Sqrt}, {"exp", Op::Exp},
                                                {"log", Op::Log}, {"abs", Op::Abs},   {"tanh", Op::Tanh},
                                                {"sin", Op::Sin}, {"cos", Op::Cos},   {"sign", Op::Sign}};
    for (auto [name, op] : unary) {
        const Program p = compile(std::string(R"([")") + name + R"(", ["const", 1]])");
        ASSERT_EQ(p.code.size(), 2u) << name;
        EXPECT_EQ(p.code[1].op, op) << name;
    }
    const std::pair<const char*, Op> binary[] = {{"add", Op::Add}, {"sub", Op::Sub}, {"mul", Op::Mul},
                                                 {"div", Op::Div}, {"pow", Op::Pow}, {"max", Op::Max},
                                                 {"min", Op::Min}, {"gt", Op::Gt}};
    for (auto [name, op] : binary) {
        const Program p = compile(std::string(R"([")") + name + R"(", ["const", 1], ["const", 2]])");
        ASSERT_EQ(p.code.size(), 3u) << name;
        EXPECT_EQ(p.code[2].op, op) << name;
    }
}

struct ConstCase {
    std::string json;
    double value;
};

void PrintTo(const ConstCase& c, std::ostream* os) { *os << c.json; }

class ConstTest : public testing::TestWithParam<ConstCase> {};

TEST_P(ConstTest, Value) {
    const Program p = compile(R"(["const", )" + GetParam().json + "]");
    ASSERT_EQ(p.code.size(), 1u);
    EXPECT_EQ(p.code[0].op, Op::Const);
    EXPECT_TRUE(same_double(GetParam().value, p.code[0].value));
    EXPECT_FALSE(p.max_ref.has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, ConstTest,
    testing::Values(ConstCase{"3", 3.0}, ConstCase{"-5", -5.0}, ConstCase{"2.5", 2.5}, ConstCase{"-0.0", -0.0},
                    ConstCase{"0", 0.0}, ConstCase{"1e-300", 1e-300},
                    ConstCase{"18446744073709551615", 18446744073709551615.0},
                    ConstCase{"-9223372036854775808", -9223372036854775808.0},
                    ConstCase{"9007199254740993", 9007199254740992.0}));

struct MaxRefCase {
    std::string json;
    std::optional<std::uint64_t> max_ref;
};

void PrintTo(const MaxRefCase& c, std::ostream* os) { *os << c.json; }

class MaxRefTest : public testing::TestWithParam<MaxRefCase> {};

TEST_P(MaxRefTest, HighestSlot) {
    EXPECT_EQ(compile(GetParam().json).max_ref, GetParam().max_ref);
}

INSTANTIATE_TEST_SUITE_P(
    Slots, MaxRefTest,
    testing::Values(MaxRefCase{R"(["ref", 7])", 7}, MaxRefCase{R"(["ref", 0])", 0},
                    MaxRefCase{R"(["add", ["ref", 2], ["ref", 5]])", 5},
                    MaxRefCase{R"(["add", ["ref", 5], ["ref", 2]])", 5},
                    MaxRefCase{R"(["where", ["ref", 1], ["ref", 9], ["ref", 4]])", 9},
                    MaxRefCase{R"(["pw", ["ref", 6], [0, 1], [[0, 0, 0]]])", 6},
                    MaxRefCase{R"(["ref", 18446744073709551615])", 18446744073709551615ull},
                    MaxRefCase{R"(["const", 7])", std::nullopt},
                    MaxRefCase{R"(["pw", ["const", 7], [0, 8], [[0, 9, 0]]])", std::nullopt}));

TEST(Compile, TablesInCompletionOrder) {
    // siblings: left first
    const Program siblings = compile(
        R"(["add", ["pw", ["ref", 0], [0, 1], [[1, 0, 0]]], ["pw", ["ref", 0], [10, 11, 12], [[2, 0, 0], [3, 0, 0]]]])");
    ASSERT_EQ(siblings.tables.size(), 2u);
    EXPECT_EQ(siblings.tables[0].knots, (std::vector<double>{0, 1}));
    EXPECT_EQ(siblings.tables[1].knots, (std::vector<double>{10, 11, 12}));
    ASSERT_EQ(siblings.code.size(), 5u);
    EXPECT_EQ(siblings.code[1].op, Op::Pw);
    EXPECT_EQ(siblings.code[1].index, 0u);
    EXPECT_EQ(siblings.code[3].op, Op::Pw);
    EXPECT_EQ(siblings.code[3].index, 1u);

    // nesting: the pw inside the argument of another completes first
    const Program nested =
        compile(R"(["pw", ["pw", ["ref", 0], [5, 6], [[7, 0, 0]]], [0, 1, 2], [[1, 0, 0], [2, 0, 0]]])");
    ASSERT_EQ(nested.tables.size(), 2u);
    EXPECT_EQ(nested.tables[0].knots, (std::vector<double>{5, 6}));
    EXPECT_EQ(nested.tables[1].knots, (std::vector<double>{0, 1, 2}));
    ASSERT_EQ(nested.code.size(), 3u);
    EXPECT_EQ(nested.code[1].index, 0u);
    EXPECT_EQ(nested.code[2].index, 1u);
    // inner table maps x to 7, the outer one maps 7 (beyond its last knot) to 2
    const double env[] = {5.5};
    std::vector<double> stack;
    EXPECT_EQ(zarel::eval(nested, env, stack), 2.0);
}

TEST(Compile, CoefficientThatIsNotANumberBecomesNaN) {
    const Program p = compile(R"(["pw", ["ref", 0], [0, 1], [[1, "a", 3]]])");
    ASSERT_EQ(p.tables.size(), 1u);
    const auto& c = p.tables[0].coefs.at(0);
    EXPECT_EQ(c[0], 1.0);
    EXPECT_TRUE(std::isnan(c[1]));
    EXPECT_EQ(c[2], 3.0);
    const Program q = compile(R"(["pw", ["ref", 0], [0, 1], [[null, [1], {}]]])");
    for (double v : q.tables.at(0).coefs.at(0)) EXPECT_TRUE(std::isnan(v));
}

TEST(Compile, ConstantProgramIsPositiveZero) {
    const Program p = zarel::constant();
    ASSERT_EQ(p.code.size(), 1u);
    EXPECT_EQ(p.code[0].op, Op::Const);
    EXPECT_EQ(bits(p.code[0].value), bits(0.0));
    EXPECT_TRUE(p.tables.empty());
    EXPECT_FALSE(p.max_ref.has_value());
    std::vector<double> stack;
    const double env[] = {1.0};
    EXPECT_EQ(bits(zarel::eval(p, env, stack)), bits(0.0));
}

TEST(Compile, FailedCompilationLeavesNoProgram) {
    // the first operand compiled and produced code and a table before the second failed
    auto p = zarel::from_json(Json::parse(R"(["add", ["pw", ["ref", 0], [0, 1], [[0, 0, 0]]], ["const", "x"]])"));
    ASSERT_FALSE(p.has_value());
    EXPECT_EQ(p.error().display(), "malformed model: const without a number");
}

struct DepthCase {
    std::string json;
    std::size_t depth;
};

void PrintTo(const DepthCase& c, std::ostream* os) { *os << c.json; }

class DepthTest : public testing::TestWithParam<DepthCase> {};

TEST_P(DepthTest, LargestStackDepth) {
    EXPECT_EQ(compile(GetParam().json).depth, GetParam().depth);
}

#define C "[\"const\", 1]"

INSTANTIATE_TEST_SUITE_P(
    Programs, DepthTest,
    testing::Values(DepthCase{C, 1}, DepthCase{R"(["neg", ["sqrt", )" C "]]", 1},
                    DepthCase{R"(["add", )" C ", " C "]", 2},
                    DepthCase{R"(["add", ["add", ["add", )" C ", " C "], " C "], " C "]", 2},
                    DepthCase{R"(["add", )" C R"(, ["add", )" C R"(, ["add", )" C ", " C "]]]", 4},
                    DepthCase{R"(["where", )" C ", " C ", " C "]", 3},
                    DepthCase{R"(["where", )" C ", " C R"(, ["mul", )" C ", " C "]]", 4},
                    DepthCase{R"(["pw", )" C R"(, [0, 1], [[0, 0, 0]]])", 1},
                    DepthCase{R"(["sub", )" C R"(, ["pw", ["add", )" C ", " C R"(], [0, 1], [[0, 0, 0]]]])", 3}));

#undef C

// ---------------------------------------------------------------------------------------------
// Evaluator arithmetic
//
// Environment used by every case: slot 0 NaN, 1 -0.0, 2 +inf, 3 1e-300, 4 -3, 5 5, 6 2 (an
// exponent of exactly two read at run time), 7 0.1.

const std::vector<double> kEnv = {kNaN, -0.0, kInf, 1e-300, -3.0, 5.0, 2.0, 0.1};

struct ArithCase {
    const char* label;
    std::string json;
    double expected;
};

void PrintTo(const ArithCase& c, std::ostream* os) { *os << c.label; }

class ArithmeticTest : public testing::TestWithParam<ArithCase> {};

TEST_P(ArithmeticTest, Value) {
    EXPECT_TRUE(same_double(GetParam().expected, evaluate(GetParam().json, kEnv))) << GetParam().json;
}

#define NAN_ R"(["ref", 0])"
#define NZ R"(["ref", 1])"
#define INF R"(["ref", 2])"
#define TINY R"(["ref", 3])"
#define M3 R"(["ref", 4])"
#define FIVE R"(["ref", 5])"
#define TWO R"(["ref", 6])"
#define TENTH R"(["ref", 7])"

INSTANTIATE_TEST_SUITE_P(
    Basic, ArithmeticTest,
    testing::Values(
        ArithCase{"sub_order", R"(["sub", ["const", 5], ["const", 3]])", 2.0},
        ArithCase{"div_order", R"(["div", ["const", 1], ["const", 4]])", 0.25},
        ArithCase{"add", R"(["add", )" TENTH R"(, ["const", 0.2]])", 0.1 + 0.2},
        ArithCase{"mul", R"(["mul", )" TENTH ", " TENTH "]", 0.1 * 0.1},
        ArithCase{"div_by_zero", R"(["div", ["const", 1], ["const", 0]])", kInf},
        ArithCase{"div_by_negative_zero", R"(["div", ["const", 1], )" NZ "]", -kInf},
        ArithCase{"zero_by_zero", R"(["div", ["const", 0], ["const", 0]])", kNaN},
        ArithCase{"ref_reads_slot", M3, -3.0},
        ArithCase{"nested_stack", R"(["sub", ["const", 1], ["div", ["const", 8], ["where", ["const", 0], ["const", 1], ["const", 2]]]])", -3.0},
        ArithCase{"sub_chain", R"(["sub", ["sub", ["const", 10], ["const", 3]], ["sub", ["const", 2], ["const", 7]]])", 12.0}),
    [](const testing::TestParamInfo<ArithCase>& info) { return std::string(info.param.label); });

INSTANTIATE_TEST_SUITE_P(
    Unary, ArithmeticTest,
    testing::Values(
        ArithCase{"neg_zero", R"(["neg", ["const", 0]])", -0.0},
        ArithCase{"neg_negative_zero", R"(["neg", )" NZ "]", 0.0},
        ArithCase{"neg_value", R"(["neg", )" M3 "]", 3.0},
        ArithCase{"abs_negative_zero", R"(["abs", )" NZ "]", 0.0},
        ArithCase{"abs_negative", R"(["abs", )" M3 "]", 3.0},
        ArithCase{"sqrt_negative_zero", R"(["sqrt", )" NZ "]", -0.0},
        ArithCase{"sqrt_negative", R"(["sqrt", )" M3 "]", kNaN},
        ArithCase{"sqrt_value", R"(["sqrt", ["const", 2]])", std::sqrt(2.0)},
        ArithCase{"exp", R"(["exp", ["const", 1]])", std::exp(1.0)},
        ArithCase{"exp_overflow", R"(["exp", ["const", 1000]])", kInf},
        ArithCase{"log", R"(["log", ["const", 10]])", std::log(10.0)},
        ArithCase{"log_zero", R"(["log", ["const", 0]])", -kInf},
        ArithCase{"log_negative", R"(["log", )" M3 "]", kNaN},
        ArithCase{"tanh", R"(["tanh", ["const", 0.5]])", std::tanh(0.5)},
        ArithCase{"tanh_large", R"(["tanh", )" INF "]", 1.0},
        ArithCase{"sin", R"(["sin", ["const", 1.25]])", std::sin(1.25)},
        ArithCase{"cos", R"(["cos", ["const", 1.25]])", std::cos(1.25)},
        ArithCase{"sin_infinity", R"(["sin", )" INF "]", kNaN},
        ArithCase{"sign_negative_zero", R"(["sign", )" NZ "]", 0.0},
        ArithCase{"sign_zero", R"(["sign", ["const", 0]])", 0.0},
        ArithCase{"sign_negative", R"(["sign", )" M3 "]", -1.0},
        ArithCase{"sign_positive", R"(["sign", )" FIVE "]", 1.0},
        ArithCase{"sign_tiny", R"(["sign", )" TINY "]", 1.0},
        ArithCase{"sign_negative_tiny", R"(["sign", ["neg", )" TINY "]]", -1.0},
        ArithCase{"sign_infinity", R"(["sign", ["neg", )" INF "]]", -1.0},
        ArithCase{"sign_nan", R"(["sign", )" NAN_ "]", kNaN}),
    [](const testing::TestParamInfo<ArithCase>& info) { return std::string(info.param.label); });

INSTANTIATE_TEST_SUITE_P(
    Pow, ArithmeticTest,
    testing::Values(
        ArithCase{"square_const", R"(["pow", )" TENTH R"(, ["const", 2]])", 0.1 * 0.1},
        ArithCase{"square_negative", R"(["pow", )" M3 R"(, ["const", 2]])", 9.0},
        ArithCase{"square_runtime_exponent", R"(["pow", )" TENTH ", " TWO "]", 0.1 * 0.1},
        ArithCase{"square_negative_zero", R"(["pow", )" NZ ", " TWO "]", 0.0},
        ArithCase{"square_nan", R"(["pow", )" NAN_ ", " TWO "]", kNaN},
        ArithCase{"square_overflow", R"(["pow", ["const", 1e200], )" TWO "]", kInf},
        ArithCase{"negative_base_fraction", R"(["pow", ["const", -8], ["const", 0.5]])", kNaN},
        ArithCase{"cube_negative", R"(["pow", ["const", -2], ["const", 3]])", -8.0},
        ArithCase{"half", R"(["pow", ["const", 2], ["const", 0.5]])", std::pow(2.0, 0.5)},
        ArithCase{"near_two", R"(["pow", )" TENTH R"(, ["const", 2.0000000000000004]])", std::pow(0.1, 2.0000000000000004)},
        ArithCase{"zero_negative_exponent", R"(["pow", ["const", 0], ["const", -1]])", kInf},
        ArithCase{"negative_zero_odd_negative", R"(["pow", )" NZ R"(, ["const", -1]])", -kInf},
        ArithCase{"nan_to_zero", R"(["pow", )" NAN_ R"(, ["const", 0]])", 1.0},
        ArithCase{"one_to_nan", R"(["pow", ["const", 1], )" NAN_ "]", 1.0},
        ArithCase{"minus_one_to_infinity", R"(["pow", ["const", -1], )" INF "]", 1.0}),
    [](const testing::TestParamInfo<ArithCase>& info) { return std::string(info.param.label); });

INSTANTIATE_TEST_SUITE_P(
    Comparisons, ArithmeticTest,
    testing::Values(
        ArithCase{"max_plain", R"(["max", ["const", 1], ["const", 2]])", 2.0},
        ArithCase{"max_plain_swapped", R"(["max", ["const", 2], ["const", 1]])", 2.0},
        ArithCase{"max_nan_first", R"(["max", )" NAN_ R"(, ["const", 1]])", 1.0},
        ArithCase{"max_nan_second", R"(["max", ["const", 1], )" NAN_ "]", kNaN},
        ArithCase{"max_zero_tie", R"(["max", ["const", 0], )" NZ "]", 0.0},
        ArithCase{"max_negative_zero_tie", R"(["max", )" NZ R"(, ["const", 0]])", -0.0},
        ArithCase{"min_plain", R"(["min", ["const", 1], ["const", 2]])", 1.0},
        ArithCase{"min_plain_swapped", R"(["min", ["const", 2], ["const", 1]])", 1.0},
        ArithCase{"min_nan_first", R"(["min", )" NAN_ R"(, ["const", 1]])", 1.0},
        ArithCase{"min_nan_second", R"(["min", ["const", 1], )" NAN_ "]", kNaN},
        ArithCase{"min_zero_tie", R"(["min", ["const", 0], )" NZ "]", 0.0},
        ArithCase{"min_negative_zero_tie", R"(["min", )" NZ R"(, ["const", 0]])", -0.0},
        ArithCase{"gt_true", R"(["gt", ["const", 2], ["const", 1]])", 1.0},
        ArithCase{"gt_false", R"(["gt", ["const", 1], ["const", 2]])", 0.0},
        ArithCase{"gt_tie", R"(["gt", ["const", 1], ["const", 1]])", 0.0},
        ArithCase{"gt_zeros", R"(["gt", ["const", 0], )" NZ "]", 0.0},
        ArithCase{"gt_nan_first", R"(["gt", )" NAN_ R"(, ["const", 1]])", 0.0},
        ArithCase{"gt_nan_second", R"(["gt", ["const", 1], )" NAN_ "]", 0.0},
        ArithCase{"gt_infinity", R"(["gt", )" INF ", " FIVE "]", 1.0}),
    [](const testing::TestParamInfo<ArithCase>& info) { return std::string(info.param.label); });

INSTANTIATE_TEST_SUITE_P(
    Where, ArithmeticTest,
    testing::Values(
        ArithCase{"zero", R"(["where", ["const", 0], ["const", 10], ["const", 20]])", 20.0},
        ArithCase{"negative_zero", R"(["where", )" NZ R"(, ["const", 10], ["const", 20]])", 20.0},
        ArithCase{"nan", R"(["where", )" NAN_ R"(, ["const", 10], ["const", 20]])", 10.0},
        ArithCase{"tiny", R"(["where", )" TINY R"(, ["const", 10], ["const", 20]])", 10.0},
        ArithCase{"negative", R"(["where", )" M3 R"(, ["const", 10], ["const", 20]])", 10.0},
        ArithCase{"infinity", R"(["where", )" INF R"(, ["const", 10], ["const", 20]])", 10.0},
        ArithCase{"values_keep_sign", R"(["where", ["const", 1], )" NZ R"(, ["const", 20]])", -0.0},
        ArithCase{"from_gt", R"(["where", ["gt", )" FIVE ", " M3 R"(], ["sub", )" FIVE ", " M3 R"(], ["sub", )" M3 ", " FIVE "]]", 8.0},
        ArithCase{"inside_binary", R"(["sub", ["const", 100], ["where", ["const", 0], ["const", 1], ["mul", ["const", 3], )" FIVE "]]]", 85.0}),
    [](const testing::TestParamInfo<ArithCase>& info) { return std::string(info.param.label); });

#undef NAN_
#undef NZ
#undef INF
#undef TINY
#undef M3
#undef FIVE
#undef TWO
#undef TENTH

TEST(Evaluate, NegAndAbsOnlyTouchTheSignBit) {
    const double payload = std::bit_cast<double>(0x7ff8000000012345ull);
    const std::vector<double> env = {payload};
    std::vector<double> stack;
    const Program neg = compile(R"(["neg", ["ref", 0]])");
    EXPECT_EQ(bits(zarel::eval(neg, env.data(), stack)), 0xfff8000000012345ull);
    const Program abs = compile(R"(["abs", ["neg", ["ref", 0]]])");
    EXPECT_EQ(bits(zarel::eval(abs, env.data(), stack)), 0x7ff8000000012345ull);
}

// ---------------------------------------------------------------------------------------------
// Piecewise tables

const char* const kPw = R"(["pw", ["ref", 0], [0, 1, 2], [[0, 1, 0], [1, 0, -0.5]]])";

class PiecewiseExampleTest : public testing::TestWithParam<std::pair<double, double>> {};

TEST_P(PiecewiseExampleTest, Value) {
    const auto [x, expected] = GetParam();
    EXPECT_TRUE(same_double(expected, evaluate(kPw, {x}))) << "x = " << x;
}

INSTANTIATE_TEST_SUITE_P(
    Table, PiecewiseExampleTest,
    testing::Values(std::pair{-1.0, -1.0},  // below the first knot: first segment extended
                    std::pair{0.0, 0.0}, std::pair{0.5, 0.5},
                    std::pair{1.0, 1.0},    // an interior knot starts its segment
                    std::pair{1.5, 0.875},
                    std::pair{2.0, 0.5},    // the last knot stays on the last segment, d = 1
                    std::pair{3.0, -1.0}));  // beyond the last knot: last segment extended

TEST(Piecewise, KnotSelectsTheSegmentStartingThere) {
    // 17 uneven knots; segment i is 100*i + d so the value names the segment and d
    std::vector<double> knots;
    for (int i = 0; i <= 16; ++i) knots.push_back(i * i * 0.5 - 3.0);
    Json coefs = Json::array();
    for (int i = 0; i < 16; ++i) coefs.push_back(Json::array({100.0 * i, 1.0, 0.0}));
    const Json node = Json::array({"pw", Json::array({"ref", 0u}), knots, coefs});
    auto p = zarel::from_json(node);
    ASSERT_TRUE(p.has_value()) << node.dump() << " " << p.error().display();
    std::vector<double> stack;
    auto at = [&](double x) { return zarel::eval(*p, &x, stack); };
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(at(knots[i]), 100.0 * i) << "knot " << i;
        const double mid = (knots[i] + knots[i + 1]) / 2;
        EXPECT_EQ(at(mid), 100.0 * i + (mid - knots[i])) << "middle of segment " << i;
        const double below = std::nextafter(knots[i + 1], -kInf);
        EXPECT_EQ(at(below), 100.0 * i + (below - knots[i])) << "just below knot " << i + 1;
    }
    EXPECT_EQ(at(knots[16]), 1500.0 + (knots[16] - knots[15]));
    EXPECT_EQ(at(1000.0), 1500.0 + (1000.0 - knots[15]));
    EXPECT_EQ(at(-1000.0), -1000.0 - knots[0]);
    EXPECT_TRUE(std::isnan(at(kNaN)));
}

TEST(Piecewise, TwoKnotsOneSegment) {
    const char* node = R"(["pw", ["ref", 0], [1, 3], [[2, 3, 4]]])";
    for (double x : {-5.0, 1.0, 2.0, 3.0, 7.5}) {
        const double d = x - 1.0;
        EXPECT_EQ(evaluate(node, {x}), (4.0 * d + 3.0) * d + 2.0) << x;
    }
}

TEST(Piecewise, HornerOrder) {
    // random coefficients and abscissae: a different association rounds differently on some
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> coef(-3.0, 3.0), x(-1.0, 4.0);
    const double c0 = coef(rng), c1 = coef(rng), c2 = coef(rng), e0 = coef(rng), e1 = coef(rng), e2 = coef(rng);
    const Json node = Json::array({"pw", Json::array({"ref", 0u}), Json::array({0.0, 1.5, 3.0}),
                                   Json::array({Json::array({c0, c1, c2}), Json::array({e0, e1, e2})})});
    auto p = zarel::from_json(node);
    ASSERT_TRUE(p.has_value()) << node.dump() << " " << p.error().display();
    std::vector<double> stack;
    for (int k = 0; k < 2000; ++k) {
        double v = x(rng);
        const double got = zarel::eval(*p, &v, stack);
        const double expected = v < 1.5 ? (c2 * (v - 0.0) + c1) * (v - 0.0) + c0
                                         : (e2 * (v - 1.5) + e1) * (v - 1.5) + e0;
        ASSERT_EQ(bits(got), bits(expected)) << "x = " << v;
    }
}

// ---------------------------------------------------------------------------------------------
// The evaluation stack

std::string right_nested_sum(int terms) {
    std::string s = R"(["const", 1])";
    for (int k = 1; k < terms; ++k) s = R"(["add", ["const", 1], )" + s + "]";
    return s;
}

TEST(Stack, DoesNotReallocateAfterFirstEvaluation) {
    const Program deep = compile(right_nested_sum(100));
    ASSERT_EQ(deep.depth, 100u);
    const Program shallow = compile(R"(["mul", ["ref", 0], ["ref", 0]])");
    const double env[] = {3.0};
    std::vector<double> stack;
    EXPECT_EQ(zarel::eval(deep, env, stack), 100.0);
    const double* data = stack.data();
    const std::size_t capacity = stack.capacity();
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(zarel::eval(shallow, env, stack), 9.0);
        EXPECT_EQ(zarel::eval(deep, env, stack), 100.0);
        EXPECT_EQ(stack.data(), data);
        EXPECT_EQ(stack.capacity(), capacity);
    }
}

TEST(Stack, ReservedRoomIsUsedWithoutReallocation) {
    const Program p = compile(right_nested_sum(64));
    std::vector<double> stack;
    stack.reserve(64);
    const double* data = stack.data();
    const double env[] = {0.0};
    EXPECT_EQ(zarel::eval(p, env, stack), 64.0);
    EXPECT_EQ(stack.data(), data);
    EXPECT_EQ(stack.capacity(), 64u);
}

TEST(Stack, LeftoverContentDoesNotLeakIntoTheResult) {
    const Program p = compile(R"(["sub", ["ref", 0], ["const", 1]])");
    std::vector<double> stack(10, 123.0);
    const double env[] = {5.0};
    EXPECT_EQ(zarel::eval(p, env, stack), 4.0);
    EXPECT_EQ(zarel::eval(p, env, stack), 4.0);
}

TEST(Evaluate, RepeatedEvaluationIsBitIdentical) {
    const Program p = compile(
        R"(["add", ["mul", ["sin", ["ref", 0]], ["exp", ["neg", ["ref", 1]]]], ["pow", ["tanh", ["ref", 0]], ["const", 1.7]]])");
    const double env[] = {0.7, 1.3};
    std::vector<double> a, b;
    const double first = zarel::eval(p, env, a);
    for (int k = 0; k < 5; ++k) {
        EXPECT_EQ(bits(zarel::eval(p, env, a)), bits(first));
        EXPECT_EQ(bits(zarel::eval(p, env, b)), bits(first));
    }
}

}  // namespace

// ---- kernels: the folded code computes what the program's own postfix code computes

namespace {

// A direct reading of the instruction table over a program's postfix code, kept apart from
// the evaluator so that the folded kernels are checked against an independent interpreter.
double reference_eval(const Program& p, const std::vector<double>& env) {
    std::vector<double> st;
    auto pop = [&] { double v = st.back(); st.pop_back(); return v; };
    for (const zarel::Instr& in : p.code) {
        switch (in.op) {
        case Op::Const: st.push_back(in.value); break;
        case Op::Ref: st.push_back(env[in.index]); break;
        case Op::Neg: st.back() = -st.back(); break;
        case Op::Sqrt: st.back() = std::sqrt(st.back()); break;
        case Op::Exp: st.back() = std::exp(st.back()); break;
        case Op::Log: st.back() = std::log(st.back()); break;
        case Op::Abs: st.back() = std::fabs(st.back()); break;
        case Op::Tanh: st.back() = std::tanh(st.back()); break;
        case Op::Sin: st.back() = std::sin(st.back()); break;
        case Op::Cos: st.back() = std::cos(st.back()); break;
        case Op::Sign: { double v = st.back(); st.back() = v == 0 ? 0.0 : std::isnan(v) ? v : std::copysign(1.0, v); break; }
        case Op::Pw: st.back() = p.tables[in.index].at(st.back()); break;
        case Op::Where: { double b = pop(), a = pop(), c = pop(); st.push_back(c != 0.0 ? a : b); break; }
        default: {
            double b = pop(), a = pop();
            double r = 0;
            switch (in.op) {
            case Op::Add: r = a + b; break;
            case Op::Sub: r = a - b; break;
            case Op::Mul: r = a * b; break;
            case Op::Div: r = a / b; break;
            case Op::Pow: r = b == 2.0 ? a * a : std::pow(a, b); break;
            case Op::Max: r = b <= a ? a : b; break;
            case Op::Min: r = a <= b ? a : b; break;
            case Op::Gt: r = a > b ? 1.0 : 0.0; break;
            default: ADD_FAILURE() << "unexpected kind"; break;
            }
            st.push_back(r);
        }
        }
    }
    return st.back();
}

Json random_tree(std::mt19937_64& rng, int depth, int slots) {
    static const char* unary[] = {"neg", "sqrt", "exp", "log", "abs", "tanh", "sin", "cos", "sign"};
    static const char* binary[] = {"add", "sub", "mul", "div", "pow", "max", "min", "gt"};
    std::uniform_int_distribution<int> pick(0, 99);
    const int r = pick(rng);
    if (depth == 0 || r < 30) {
        if (r % 2) return Json::array({"ref", static_cast<int>(rng() % static_cast<unsigned>(slots))});
        const double consts[] = {2.0, -1.5, 0.0, -0.0, 0.5, 3.0, 1e300};
        return Json::array({"const", consts[rng() % 7]});
    }
    if (r < 45) return Json::array({unary[rng() % 9], random_tree(rng, depth - 1, slots)});
    if (r < 92) return Json::array({binary[rng() % 8], random_tree(rng, depth - 1, slots), random_tree(rng, depth - 1, slots)});
    if (r < 96)
        return Json::array({"where", random_tree(rng, depth - 1, slots), random_tree(rng, depth - 1, slots),
                            random_tree(rng, depth - 1, slots)});
    return Json::array({"pw", random_tree(rng, depth - 1, slots), Json::array({-1, 0, 2}),
                        Json::array({Json::array({1, 2, 3}), Json::array({-1, 0.5, 0.25})})});
}

bool same_value(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) || std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

}  // namespace

TEST(Kernel, FoldedCodeMatchesThePostfixCodeOnRandomTrees) {
    std::mt19937_64 rng(12345);
    const std::vector<std::vector<double>> envs = {
        {0.5, -2.0, 3.25, 0.0}, {-0.0, 1e-300, -7.0, 2.0},
        {std::numeric_limits<double>::quiet_NaN(), 1.0, -1.0, std::numeric_limits<double>::infinity()}};
    std::vector<Program> programs;
    for (int trial = 0; trial < 3000; ++trial) {
        auto p = zarel::from_json(random_tree(rng, 1 + trial % 7, 4));
        ASSERT_TRUE(p.has_value());
        ASSERT_LE(p->kernel.depth, p->depth);
        for (const auto& env : envs) {
            std::vector<double> stack;
            const double expected = reference_eval(*p, env);
            const double got = zarel::eval(*p, env.data(), stack);
            ASSERT_TRUE(same_value(expected, got)) << random_tree(rng, 0, 1).dump() << " trial " << trial;
        }
        if (programs.size() < 40) programs.push_back(std::move(*p));
    }
    // the fused list writes every program's value in order
    const zarel::Kernel fused = zarel::fuse(programs);
    for (const auto& env : envs) {
        std::vector<double> stack(fused.depth), out(programs.size());
        zarel::run(fused, env.data(), stack.data(), out.data());
        for (std::size_t k = 0; k < programs.size(); ++k)
            EXPECT_TRUE(same_value(out[k], reference_eval(programs[k], env))) << k;
    }
}

TEST(Kernel, LeafOperandsFoldIntoTheirOperation) {
    auto p = zarel::from_json(Json::parse(R"(["add", ["mul", ["const", 2], ["ref", 0]], ["pow", ["ref", 1], ["const", 2]]])"));
    ASSERT_TRUE(p.has_value());
    std::vector<Op> ops;
    for (const auto& in : p->kernel.code) ops.push_back(in.op);
    EXPECT_EQ(ops, (std::vector<Op>{Op::MulCR, Op::Ref, Op::Square, Op::Add, Op::End}));
    EXPECT_EQ(p->code.size(), 7u);  // the program's own code keeps the plain form
}

TEST(Kernel, ConstantProgramsOfAListAreWrittenDirectly) {
    std::vector<Program> list;
    for (const char* text : {R"(["const", -0.0])", R"(["ref", 0])", R"(["const", 2.5])"})
        list.push_back(*zarel::from_json(Json::parse(text)));
    const zarel::Kernel fused = zarel::fuse(list);
    std::vector<Op> ops;
    for (const auto& in : fused.code) ops.push_back(in.op);
    EXPECT_EQ(ops, (std::vector<Op>{Op::Put, Op::Ref, Op::Store, Op::Put, Op::End}));
    const double env[] = {7.0};
    std::vector<double> stack(fused.depth), out(3, 1.0);
    zarel::run(fused, env, stack.data(), out.data());
    EXPECT_TRUE(std::signbit(out[0]) && out[0] == 0.0);
    EXPECT_EQ(out[1], 7.0);
    EXPECT_EQ(out[2], 2.5);
}
