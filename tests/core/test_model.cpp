// Loading model documents (messages in check order, strict JSON, nesting) and evaluating
// loaded models at a point; every document in examples/ must load and be self-consistent.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "zarel/model.hpp"

namespace {

using zarel::Json;
using zarel::Model;
using zarel::Scratch;

constexpr double kInf = std::numeric_limits<double>::infinity();

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

Model load(const std::string& text) {
    auto m = Model::from_text(text);
    if (!m) {
        ADD_FAILURE() << m.error().display() << "\n" << text.substr(0, 300);
        return Model{};
    }
    return std::move(*m);
}

std::string load_error(const std::string& text) {
    auto m = Model::from_text(text);
    if (m) return "(loaded)";
    EXPECT_EQ(m.error().kind(), 0u);
    return m.error().display();
}

// A complete, valid document (two states, one input, one parameter) with members replaced,
// added (value text given) or removed (value text empty).
std::string doc(std::vector<std::pair<std::string, std::string>> changes = {}) {
    std::vector<std::pair<std::string, std::string>> members = {
        {"n_states", "2"},
        {"n_inputs", "1"},
        {"n_params", "1"},
        {"param_values", "[0.5]"},
        {"rhs", R"([["ref", 1], ["sub", ["ref", 2], ["mul", ["ref", 3], ["ref", 0]]]])"},
        {"energy", R"(["mul", ["const", 0.5], ["add", ["mul", ["ref", 0], ["ref", 0]], ["mul", ["ref", 1], ["ref", 1]]]])"},
        {"grad_H", R"([["ref", 0], ["ref", 1]])"},
        {"port_outputs", R"([["ref", 1]])"},
        {"port_values", R"([["ref", 2]])"},
        {"outputs", R"([["ref", 0]])"},
        {"output_names", R"(["q"])"},
    };
    for (auto& [key, value] : changes) {
        auto it = std::find_if(members.begin(), members.end(), [&](auto& kv) { return kv.first == key; });
        if (it == members.end()) members.emplace_back(key, value);
        else it->second = value;
    }
    std::string out = "{";
    for (auto& [key, value] : members) {
        if (value.empty()) continue;
        if (out.size() > 1) out += ", ";
        out += "\"" + key + "\": " + value;
    }
    return out + "}";
}

const std::string kPrefix = "malformed model: ";

// ---------------------------------------------------------------------------------------------
// Loader messages, in the order the loader checks them

struct BadDoc {
    const char* label;
    std::string text;
    std::string message;  // without the prefix
};

void PrintTo(const BadDoc& c, std::ostream* os) { *os << c.label; }

class LoadErrorTest : public testing::TestWithParam<BadDoc> {};

TEST_P(LoadErrorTest, Message) {
    EXPECT_EQ(load_error(GetParam().text), kPrefix + GetParam().message) << GetParam().text;
}

#define NAME(Suite) [](const testing::TestParamInfo<BadDoc>& info) { return std::string(info.param.label); }

INSTANTIATE_TEST_SUITE_P(
    Sizes, LoadErrorTest,
    testing::Values(
        BadDoc{"array_document", "[1, 2]", "missing integer n_states"},
        BadDoc{"empty_object", "{}", "missing integer n_states"},
        BadDoc{"number_document", "5", "missing integer n_states"},
        BadDoc{"null_document", "null", "missing integer n_states"},
        BadDoc{"states_missing", doc({{"n_states", ""}}), "missing integer n_states"},
        BadDoc{"states_float", doc({{"n_states", "2.0"}}), "missing integer n_states"},
        BadDoc{"states_exponent", doc({{"n_states", "2e0"}}), "missing integer n_states"},
        BadDoc{"states_negative", doc({{"n_states", "-1"}}), "missing integer n_states"},
        BadDoc{"states_string", doc({{"n_states", "\"2\""}}), "missing integer n_states"},
        BadDoc{"states_null", doc({{"n_states", "null"}}), "missing integer n_states"},
        BadDoc{"states_above_u64", doc({{"n_states", "18446744073709551616"}}), "missing integer n_states"},
        BadDoc{"states_before_inputs", doc({{"n_states", "-1"}, {"n_inputs", "-1"}}), "missing integer n_states"},
        BadDoc{"inputs_missing", doc({{"n_inputs", ""}}), "missing integer n_inputs"},
        BadDoc{"inputs_negative", doc({{"n_inputs", "-1"}}), "missing integer n_inputs"},
        BadDoc{"inputs_before_params", doc({{"n_inputs", "1.5"}, {"n_params", "\"x\""}}), "missing integer n_inputs"},
        BadDoc{"params_missing", doc({{"n_params", ""}}), "missing integer n_params"},
        BadDoc{"params_float", doc({{"n_params", "1.0"}}), "missing integer n_params"},
        BadDoc{"params_before_param_values", doc({{"n_params", "true"}, {"param_values", ""}}),
               "missing integer n_params"},
        BadDoc{"slot_count_overflows",
               R"({"n_states": 1, "n_inputs": 18446744073709551615, "n_params": 0, "param_values": [],
                   "rhs": [["ref", 0]]})",
               "n_states + n_inputs + n_params is too large"},
        BadDoc{"slot_count_would_overflow",
               R"({"n_states": 0, "n_inputs": 18446744073709551615, "n_params": 0, "param_values": [], "rhs": []})",
               "n_states + n_inputs + n_params is too large"},
        BadDoc{"slot_count_overflows_with_params",
               R"({"n_states": 1, "n_inputs": 9223372036854775808, "n_params": 9223372036854775807,
                   "param_values": [], "rhs": [["ref", 0]]})",
               "n_states + n_inputs + n_params is too large"}),
    NAME(Sizes));

INSTANTIATE_TEST_SUITE_P(
    ParamValues, LoadErrorTest,
    testing::Values(
        BadDoc{"missing", doc({{"param_values", ""}}), "missing param_values"},
        BadDoc{"object", doc({{"param_values", "{}"}}), "missing param_values"},
        BadDoc{"null", doc({{"param_values", "null"}}), "missing param_values"},
        BadDoc{"number", doc({{"param_values", "0.5"}}), "missing param_values"},
        BadDoc{"too_short", doc({{"param_values", "[]"}}), "param_values length differs from n_params"},
        BadDoc{"too_long", doc({{"param_values", "[1, 2]"}}), "param_values length differs from n_params"},
        BadDoc{"before_rhs", doc({{"param_values", "[]"}, {"rhs", "5"}}), "param_values length differs from n_params"}),
    NAME(ParamValues));

INSTANTIATE_TEST_SUITE_P(
    Rhs, LoadErrorTest,
    testing::Values(
        BadDoc{"missing", doc({{"rhs", ""}}), "missing list rhs"},
        BadDoc{"null", doc({{"rhs", "null"}}), "missing list rhs"},
        BadDoc{"object", doc({{"rhs", "{}"}}), "missing list rhs"},
        BadDoc{"single_node", doc({{"rhs", R"(["ref", 0])"}}), "expected a list, got \"ref\""},
        BadDoc{"one_too_many", doc({{"rhs", R"([["ref", 0], ["ref", 1], ["ref", 2]])"}}),
               "rhs length differs from n_states"},
        BadDoc{"one_too_few", doc({{"rhs", R"([["ref", 0]])"}}), "rhs length differs from n_states"},
        BadDoc{"bad_node_before_count", doc({{"rhs", R"([["ref", 0], ["ref", 1], ["foo"]])"}}), "unknown operator foo"},
        BadDoc{"first_bad_node", doc({{"rhs", R"([["const", "a"], ["foo"]])"}}), "const without a number"},
        BadDoc{"before_jacobian", doc({{"rhs", "[]"}, {"jacobian", "5"}}), "rhs length differs from n_states"}),
    NAME(Rhs));

INSTANTIATE_TEST_SUITE_P(
    Jacobian, LoadErrorTest,
    testing::Values(
        BadDoc{"number", doc({{"jacobian", "5"}}), "missing list jacobian"},
        BadDoc{"object", doc({{"jacobian", "{}"}}), "missing list jacobian"},
        BadDoc{"n_long", doc({{"jacobian", R"([["const", 0], ["const", 1]])"}}), "jacobian is not n_states^2 long"},
        BadDoc{"empty", doc({{"jacobian", "[]"}}), "jacobian is not n_states^2 long"},
        BadDoc{"bad_node_before_count", doc({{"jacobian", R"([["const", 0], ["ref"]])"}}),
               "ref expects 1 operand(s), got 0"},
        BadDoc{"before_energy", doc({{"jacobian", "[]"}, {"energy", "5"}}), "jacobian is not n_states^2 long"}),
    NAME(Jacobian));

INSTANTIATE_TEST_SUITE_P(
    Energy, LoadErrorTest,
    testing::Values(
        BadDoc{"number", doc({{"energy", "5"}}), "expected a list, got 5"},
        BadDoc{"object", doc({{"energy", R"({"b": [], "a": 1})"}}), R"(expected a list, got {"a":1,"b":[]})"},
        BadDoc{"list_of_nodes", doc({{"energy", R"([["ref", 0]])"}}), "expression node without an operator"},
        BadDoc{"bad_node", doc({{"energy", R"(["sym", "H"])"}}),
               "expression still contains a named symbol; lower it first"},
        BadDoc{"before_grad_h", doc({{"energy", "5"}, {"grad_H", "5"}}), "expected a list, got 5"}),
    NAME(Energy));

INSTANTIATE_TEST_SUITE_P(
    Lists, LoadErrorTest,
    testing::Values(
        BadDoc{"grad_h_number", doc({{"grad_H", "5"}}), "missing list grad_H"},
        BadDoc{"grad_h_object", doc({{"grad_H", "{}"}}), "missing list grad_H"},
        BadDoc{"grad_h_bad_node", doc({{"grad_H", R"([["ref", 0], "x"])"}}), "expected a list, got \"x\""},
        BadDoc{"grad_h_before_ports", doc({{"grad_H", "5"}, {"port_outputs", "5"}}), "missing list grad_H"},
        BadDoc{"port_outputs_number", doc({{"port_outputs", "5"}}), "missing list port_outputs"},
        BadDoc{"port_outputs_before_values", doc({{"port_outputs", "5"}, {"port_values", "5"}}),
               "missing list port_outputs"},
        BadDoc{"port_values_string", doc({{"port_values", "\"x\""}}), "missing list port_values"},
        BadDoc{"port_values_bad_node", doc({{"port_values", R"([["nope"]])"}}), "unknown operator nope"},
        BadDoc{"port_values_missing", doc({{"port_values", ""}}), "port_values and port_outputs differ in length"},
        BadDoc{"port_outputs_missing", doc({{"port_outputs", ""}}), "port_values and port_outputs differ in length"},
        BadDoc{"port_values_null", doc({{"port_values", "null"}}), "port_values and port_outputs differ in length"},
        BadDoc{"port_values_longer", doc({{"port_values", R"([["ref", 2], ["ref", 2]])"}}),
               "port_values and port_outputs differ in length"},
        BadDoc{"port_lengths_before_outputs", doc({{"port_values", "[]"}, {"outputs", "5"}}),
               "port_values and port_outputs differ in length"},
        BadDoc{"outputs_number", doc({{"outputs", "5"}}), "missing list outputs"},
        BadDoc{"outputs_bad_node", doc({{"outputs", R"([["ref", -1]])"}}), "ref without an index"},
        BadDoc{"outputs_before_names", doc({{"outputs", "5"}, {"output_names", "[]"}}), "missing list outputs"}),
    NAME(Lists));

INSTANTIATE_TEST_SUITE_P(
    OutputNames, LoadErrorTest,
    testing::Values(
        BadDoc{"string_with_one_output", doc({{"output_names", "\"x\""}}), "output_names and outputs differ in length"},
        BadDoc{"missing_with_one_output", doc({{"output_names", ""}}), "output_names and outputs differ in length"},
        BadDoc{"null_with_one_output", doc({{"output_names", "null"}}), "output_names and outputs differ in length"},
        BadDoc{"too_many", doc({{"output_names", R"(["a", "b"])"}}), "output_names and outputs differ in length"},
        BadDoc{"names_without_outputs", doc({{"outputs", ""}}), "output_names and outputs differ in length"},
        BadDoc{"before_slot_check", doc({{"output_names", "[]"}, {"rhs", R"([["ref", 99], ["ref", 0]])"}}),
               "output_names and outputs differ in length"}),
    NAME(OutputNames));

// n_states 2, n_inputs 1, n_params 1: slots 0..4, so 5 entries.
INSTANTIATE_TEST_SUITE_P(
    Slots, LoadErrorTest,
    testing::Values(
        BadDoc{"rhs", doc({{"rhs", R"([["ref", 0], ["ref", 5]])"}}),
               "expression refers to table slot 5 but the table has 5 entries"},
        BadDoc{"highest_in_program", doc({{"rhs", R"([["ref", 0], ["add", ["ref", 9], ["ref", 6]]])"}}),
               "expression refers to table slot 9 but the table has 5 entries"},
        BadDoc{"first_program_in_list", doc({{"rhs", R"([["ref", 7], ["ref", 9]])"}}),
               "expression refers to table slot 7 but the table has 5 entries"},
        BadDoc{"huge", doc({{"outputs", R"([["ref", 18446744073709551615]])"}}),
               "expression refers to table slot 18446744073709551615 but the table has 5 entries"},
        BadDoc{"time_slot_is_last", doc({{"rhs", R"([["ref", 4], ["ref", 5]])"}}),
               "expression refers to table slot 5 but the table has 5 entries"}),
    NAME(Slots));

#undef NAME

TEST(LoadError, SlotCheckVisitsProgramsInDocumentOrder) {
    // every list has a bad slot of its own; removing them front to back names the next one
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"rhs", R"([["ref", 0], ["ref", 10]])"},
        {"jacobian", R"([["const", 0], ["const", 0], ["const", 0], ["ref", 11]])"},
        {"energy", R"(["ref", 12])"},
        {"grad_H", R"([["ref", 13]])"},
        {"port_outputs", R"([["ref", 14]])"},
        {"port_values", R"([["ref", 15]])"},
        {"outputs", R"([["ref", 16]])"},
    };
    const std::vector<std::pair<std::string, std::string>> good = {
        {"rhs", R"([["ref", 0], ["ref", 1]])"}, {"jacobian", "null"}, {"energy", "null"},
        {"grad_H", "[]"}, {"port_outputs", R"([["ref", 0]])"}, {"port_values", R"([["ref", 0]])"}, {"outputs", "[]"},
    };
    for (std::size_t first = 0; first < bad.size(); ++first) {
        std::vector<std::pair<std::string, std::string>> changes(good.begin(), good.begin() + first);
        changes.insert(changes.end(), bad.begin() + first, bad.end());
        changes.emplace_back("output_names", R"(["y"])");
        EXPECT_EQ(load_error(doc(changes)),
                  kPrefix + "expression refers to table slot " + std::to_string(10 + first) +
                      " but the table has 5 entries")
            << "first bad list: " << bad[first].first;
    }
}

TEST(Load, TimeSlotAcceptedNextSlotRejected) {
    const std::string base = R"({"n_states": 2, "n_inputs": 1, "n_params": 0, "param_values": [], "rhs": [["ref", 0], )";
    EXPECT_EQ(load(base + R"(["ref", 3]]})").n_states, 2u);
    EXPECT_EQ(load_error(base + R"(["ref", 4]]})"),
              kPrefix + "expression refers to table slot 4 but the table has 4 entries");
}

// ---------------------------------------------------------------------------------------------
// What a successful load keeps

TEST(Load, ExampleDocument) {
    const Model m = load(doc());
    EXPECT_EQ(m.n_states, 2u);
    EXPECT_EQ(m.n_inputs, 1u);
    EXPECT_EQ(m.n_params, 1u);
    EXPECT_EQ(m.params, (std::vector<double>{0.5}));
    EXPECT_EQ(m.rhs_programs.size(), 2u);
    EXPECT_FALSE(m.has_jacobian());
    EXPECT_EQ(m.grad_h_programs.size(), 2u);
    EXPECT_EQ(m.port_output_programs.size(), 1u);
    EXPECT_EQ(m.port_value_programs.size(), 1u);
    EXPECT_EQ(m.output_programs.size(), 1u);
    EXPECT_EQ(m.output_names, (std::vector<std::string>{"q"}));
    EXPECT_EQ(m.env_size(), 5u);
}

TEST(Load, NonNumericParameterBecomesNaN) {
    const Model m = load(doc({{"n_params", "3"}, {"param_values", R"([1, "a", 18446744073709551615])"}}));
    ASSERT_EQ(m.params.size(), 3u);
    EXPECT_EQ(m.params[0], 1.0);
    EXPECT_TRUE(std::isnan(m.params[1]));
    EXPECT_EQ(m.params[2], 18446744073709551615.0);
}

TEST(Load, OptionalMembers) {
    const Model null_jacobian = load(doc({{"jacobian", "null"}}));
    EXPECT_FALSE(null_jacobian.has_jacobian());

    const Model with_jacobian =
        load(doc({{"jacobian", R"([["const", 0], ["const", 1], ["neg", ["ref", 3]], ["const", 0]])"}}));
    ASSERT_TRUE(with_jacobian.has_jacobian());
    EXPECT_EQ(with_jacobian.jacobian_programs->size(), 4u);

    const Model empty_jacobian = load(R"({"n_states": 0, "n_inputs": 0, "n_params": 0, "param_values": [],
                                          "rhs": [], "jacobian": []})");
    EXPECT_TRUE(empty_jacobian.has_jacobian());
    EXPECT_TRUE(empty_jacobian.jacobian_programs->empty());

    const Model minimal = load(R"({"n_states": 1, "n_inputs": 0, "n_params": 0, "param_values": [], "rhs": [["ref", 0]],
                                   "energy": null, "grad_H": null, "port_outputs": null, "port_values": null,
                                   "outputs": null, "output_names": null, "unknown member": [1, {}]})");
    EXPECT_TRUE(minimal.grad_h_programs.empty());
    EXPECT_TRUE(minimal.port_output_programs.empty());
    EXPECT_TRUE(minimal.output_programs.empty());
    EXPECT_TRUE(minimal.output_names.empty());
    ASSERT_EQ(minimal.energy_program.code.size(), 1u);
    EXPECT_EQ(bits(minimal.energy_program.code[0].value), bits(0.0));

    const Model three_gradients = load(doc({{"grad_H", R"([["ref", 0], ["ref", 1], ["const", 3]])"}}));
    EXPECT_EQ(three_gradients.grad_h_programs.size(), 3u);

    const Model string_names_no_outputs = load(doc({{"outputs", ""}, {"output_names", "\"x\""}}));
    EXPECT_TRUE(string_names_no_outputs.output_names.empty());

    const Model odd_names = load(doc({{"outputs", R"([["ref", 0], ["ref", 1], ["ref", 2]])"},
                                      {"output_names", R"([1, null, "é"])"}}));
    EXPECT_EQ(odd_names.output_names, (std::vector<std::string>{"", "", "é"}));
}

TEST(Load, RepeatedKeyKeepsLastValue) {
    const Model m = load(R"({"n_states": 5, "n_states": 1, "n_inputs": 0, "n_params": 0, "param_values": [],
                             "rhs": ["bad"], "rhs": [["const", 2]]})");
    EXPECT_EQ(m.n_states, 1u);
    ASSERT_EQ(m.rhs_programs.size(), 1u);
    EXPECT_EQ(load_error(R"({"n_states": 1, "n_states": -1})"), kPrefix + "missing integer n_states");
}

// ---------------------------------------------------------------------------------------------
// Text that is not one strict JSON document

struct NotJson {
    const char* label;
    std::string text;
    int line;
};

void PrintTo(const NotJson& c, std::ostream* os) { *os << c.label; }

class NotJsonTest : public testing::TestWithParam<NotJson> {};

TEST_P(NotJsonTest, ReportsLineAndColumn) {
    const std::string text = load_error(GetParam().text);
    const std::string head = kPrefix + "not JSON: ";
    ASSERT_EQ(text.substr(0, head.size()), head) << text;
    EXPECT_NE(text.find("line " + std::to_string(GetParam().line)), std::string::npos) << text;
    EXPECT_NE(text.find("column "), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, NotJsonTest,
    testing::Values(NotJson{"empty", "", 1}, NotJson{"blank", "  \n ", 2}, NotJson{"unclosed", "{", 1},
                    NotJson{"trailing_comma_object", doc().substr(0, doc().size() - 1) + ",}", 1},
                    NotJson{"trailing_comma_array", "{\"n_states\": [1,]}", 1},
                    NotJson{"second_document", doc() + " {}", 1},
                    NotJson{"second_document_next_line", doc() + "\n\n" + doc(), 3},
                    NotJson{"trailing_garbage", doc() + " x", 1},
                    NotJson{"comment", "{\"n_states\": 1 // states\n}", 1},
                    NotJson{"single_quotes", "{'n_states': 1}", 1},
                    NotJson{"nan_literal", "{\"n_states\": NaN}", 1},
                    NotJson{"leading_zero", "{\"n_states\": 01}", 1},
                    NotJson{"plus_sign", "{\"n_states\": +1}", 1},
                    NotJson{"bad_utf8", "{\"n_states\": \"\xff\"}", 1},
                    NotJson{"control_in_string", "{\"a\": \"x\ty\"}", 1},
                    NotJson{"error_on_third_line", "{\n  \"n_states\": 1,\n  \"n_inputs\": ]\n}", 3},
                    NotJson{"number_out_of_range", "{\"n_states\": 1,\n \"param_values\": [1e400]}", 2}),
    [](const testing::TestParamInfo<NotJson>& info) { return std::string(info.param.label); });

TEST(Load, TrailingWhitespaceAccepted) {
    for (const char* tail : {" ", "\n", "  \r\n\t ", "\n\n\n"}) {
        auto m = Model::from_text(doc() + tail);
        EXPECT_TRUE(m.has_value()) << (m ? "" : m.error().display());
    }
    EXPECT_TRUE(Model::from_text(" \n\t" + doc()).has_value());
}

// ---------------------------------------------------------------------------------------------
// Nesting: at most 127 levels of arrays and objects, the document counting as the first

// k nested expression nodes: k - 1 "neg" around ["ref", 0]
std::string nested_nodes(int k) {
    std::string s = R"(["ref", 0])";
    for (int i = 1; i < k; ++i) s = R"(["neg", )" + s + "]";
    return s;
}

std::string one_state(const std::string& rhs_node, const std::string& energy = "null") {
    return R"({"n_states": 1, "n_inputs": 0, "n_params": 0, "param_values": [], "rhs": [)" + rhs_node +
           R"(], "energy": )" + energy + "}";
}

// 1-based column of the first bracket that opens level 128 in a one-line text
std::size_t column_of_level_128(const std::string& text) {
    int depth = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\') ++i;
            else if (c == '"') in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth == 128) return i + 1;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return 0;
}

void expect_too_deep(const std::string& text, int line, std::size_t column) {
    const std::string error = load_error(text);
    EXPECT_EQ(error.substr(0, kPrefix.size() + 10), kPrefix + "not JSON: ") << error.substr(0, 200);
    EXPECT_NE(error.find("line " + std::to_string(line) + ", column " + std::to_string(column)), std::string::npos)
        << error.substr(0, 200);
}

TEST(Nesting, ExpressionInAListUpTo125Nodes) {
    const Model m = load(one_state(nested_nodes(125)));
    ASSERT_EQ(m.rhs_programs.size(), 1u);
    EXPECT_EQ(m.rhs_programs[0].code.size(), 125u);
    const double x[] = {1.5};
    EXPECT_EQ(m.rhs(x, nullptr, 0.0)[0], 1.5);  // an even number of negations

    const std::string deeper = one_state(nested_nodes(126));
    expect_too_deep(deeper, 1, column_of_level_128(deeper));
}

TEST(Nesting, EnergyUpTo126Nodes) {
    EXPECT_EQ(load(one_state(R"(["ref", 0])", nested_nodes(126))).energy_program.code.size(), 126u);
    const std::string deeper = one_state(R"(["ref", 0])", nested_nodes(127));
    expect_too_deep(deeper, 1, column_of_level_128(deeper));
}

TEST(Nesting, PiecewiseListsCountAsLevels) {
    const auto with_pw = [](int negs) {
        std::string s = R"(["pw", ["ref", 0], [0, 1], [[0, 1, 0]]])";
        for (int i = 0; i < negs; ++i) s = R"(["neg", )" + s + "]";
        return one_state(s);
    };
    EXPECT_EQ(load(with_pw(122)).rhs_programs.size(), 1u);  // the triple sits at level 127
    const std::string deeper = with_pw(123);
    expect_too_deep(deeper, 1, column_of_level_128(deeper));
}

TEST(Nesting, PlainArraysAndObjects) {
    const std::string arrays127 = std::string(127, '[') + std::string(127, ']');
    EXPECT_EQ(load_error(arrays127), kPrefix + "missing integer n_states");  // parsed, then rejected
    expect_too_deep(std::string(128, '[') + std::string(128, ']'), 1, 128);

    std::string objects127, objects128;
    for (int i = 0; i < 126; ++i) objects127 += R"({"a": )";
    objects127 += "{}" + std::string(126, '}');
    EXPECT_EQ(load_error(objects127), kPrefix + "missing integer n_states");
    for (int i = 0; i < 127; ++i) objects128 += R"({"a": )";
    objects128 += "{}" + std::string(127, '}');
    expect_too_deep(objects128, 1, column_of_level_128(objects128));
}

TEST(Nesting, PositionSkipsBracketsInStringsAndCountsLines) {
    const std::string text = "{\"s\": \"[[{\\\"[\",\n \"t\": [\"]]]\"],\n \"x\": " + std::string(130, '[');
    // level 1 is the document, so the 127th bracket on the last line (columns 7 on) opens level 128
    expect_too_deep(text, 3, 6 + 127);
}

TEST(Nesting, HundredThousandLevelsFailCleanly) {
    const std::string open(100000, '[');
    expect_too_deep(open, 1, 128);
    expect_too_deep(open + std::string(100000, ']'), 1, 128);
    std::string objects;
    for (int i = 0; i < 100000; ++i) objects += "{\"k\":";
    expect_too_deep(objects, 1, column_of_level_128(objects));
}

// ---------------------------------------------------------------------------------------------
// Evaluation

// One state, one input, one parameter: dx/dt = -p x + u, H = x^2/2, port y = x, value u.
const std::string kOneState =
    R"({"n_states": 1, "n_inputs": 1, "n_params": 1, "param_values": [0.5],
        "rhs": [["add", ["mul", ["neg", ["ref", 2]], ["ref", 0]], ["ref", 1]]],
        "energy": ["mul", ["const", 0.5], ["mul", ["ref", 0], ["ref", 0]]],
        "grad_H": [["ref", 0]], "port_outputs": [["ref", 0]], "port_values": [["ref", 1]],
        "outputs": [["ref", 0]], "output_names": ["x"]})";

TEST(Evaluate, OneStateExample) {
    const Model m = load(kOneState);
    Scratch scratch = Scratch::for_model(m);
    const double x[] = {2.0};
    const double u1[] = {1.0}, u3[] = {3.0};
    EXPECT_EQ(m.rhs(x, u1, 0.0), (std::vector<double>{0.0}));
    EXPECT_EQ(m.energy(x, scratch), 2.0);
    EXPECT_EQ(m.supplied_power(x, u3, 0.0, scratch), 6.0);
    EXPECT_EQ(m.outputs(x, u1, 0.0), (std::vector<double>{2.0}));
    EXPECT_EQ(m.port_outputs(x, u1, 0.0), (std::vector<double>{2.0}));
    EXPECT_EQ(m.grad_h(x, scratch), (std::vector<double>{2.0}));
    EXPECT_EQ(m.jacobian(x, u1, 0.0).size(), 1u);
}

TEST(Evaluate, ScratchForModel) {
    const Model m = load(doc());
    const Scratch s = Scratch::for_model(m);
    EXPECT_EQ(s.env, std::vector<double>(m.scratch_size(), 0.0));
    EXPECT_GE(s.stack.capacity(), 64u);
    // a model with many inputs gets no compiled steps, whose layout repeats the inputs per stage:
    // its scratch holds its own slots, and it loads without tracing a stage per input
    const Model wide = load(R"({"n_states": 1, "n_inputs": 200000, "n_params": 0, "param_values": [],
                                "rhs": [["ref", 0]]})");
    EXPECT_EQ(wide.native.rk4_step, nullptr);
    EXPECT_EQ(Scratch::for_model(wide).env.size(), wide.env_size());
}

TEST(Evaluate, EnvironmentLayout) {
    // states, inputs, parameters, t; every slot rewritten on every fill
    const Model m = load(R"({"n_states": 2, "n_inputs": 3, "n_params": 2, "param_values": [7, 8],
                             "rhs": [["ref", 0], ["ref", 1]]})");
    std::vector<double> env(8, -99.0);
    const double x[] = {1, 2}, u[] = {3, 4, 5};
    m.fill_env(x, u, 6.5, env.data());
    EXPECT_EQ(env, (std::vector<double>{1, 2, 3, 4, 5, 7, 8, 6.5}));

    Model changed = m;
    changed.params = {-7, -8};
    const double x2[] = {0, 0};
    changed.fill_env(x2, u, 0.25, env.data());
    EXPECT_EQ(env, (std::vector<double>{0, 0, 3, 4, 5, -7, -8, 0.25}));
    EXPECT_EQ(m.params, (std::vector<double>{7, 8}));  // the copy is independent
}

TEST(Evaluate, EachSlotReachesItsExpression) {
    const Model m = load(R"({"n_states": 2, "n_inputs": 1, "n_params": 2, "param_values": [10, 20],
        "rhs": [["sub", ["ref", 0], ["ref", 1]], ["div", ["ref", 2], ["ref", 5]]],
        "outputs": [["ref", 3], ["ref", 4], ["ref", 5], ["mul", ["ref", 0], ["ref", 2]]],
        "output_names": ["p0", "p1", "t", "xu"], "port_outputs": [["ref", 5]], "port_values": [["ref", 3]]})");
    const double x[] = {3, 1}, u[] = {8};
    EXPECT_EQ(m.rhs(x, u, 4.0), (std::vector<double>{2, 2}));
    EXPECT_EQ(m.outputs(x, u, 4.0), (std::vector<double>{10, 20, 4, 24}));
    EXPECT_EQ(m.port_outputs(x, u, 4.0), (std::vector<double>{4}));
    Scratch s = Scratch::for_model(m);
    EXPECT_EQ(m.supplied_power(x, u, 4.0, s), 40.0);
}

TEST(Evaluate, EnergyIgnoresInputsAndTime) {
    // H = 1000 u0 + 100 u1 + 10 t + p + x
    const Model m = load(R"({"n_states": 1, "n_inputs": 2, "n_params": 1, "param_values": [3], "rhs": [["ref", 0]],
        "energy": ["add", ["add", ["mul", ["const", 1000], ["ref", 1]], ["mul", ["const", 100], ["ref", 2]]],
                          ["add", ["mul", ["const", 10], ["ref", 4]], ["add", ["ref", 3], ["ref", 0]]]],
        "grad_H": [["add", ["ref", 1], ["ref", 4]], ["ref", 3]]})");
    Scratch s = Scratch::for_model(m);
    std::fill(s.env.begin(), s.env.end(), 55.0);
    const double x[] = {0.5}, u[] = {1, 2};
    EXPECT_EQ(m.energy(x, s), 3.5);
    EXPECT_EQ(m.grad_h(x, s), (std::vector<double>{0, 3}));
    // a previous evaluation with inputs and t on the same scratch leaves no trace
    EXPECT_EQ(m.rhs(x, u, 9.0), (std::vector<double>{0.5}));
    m.supplied_power(x, u, 9.0, s);
    EXPECT_EQ(m.energy(x, s), 3.5);
}

TEST(Evaluate, TimeSlotEnergyIsZero) {
    const Model m = load(R"({"n_states": 1, "n_inputs": 0, "n_params": 0, "param_values": [], "rhs": [["ref", 1]],
                             "energy": ["ref", 1]})");
    Scratch s = Scratch::for_model(m);
    const double x[] = {2.0};
    EXPECT_EQ(m.rhs(x, nullptr, 7.0), (std::vector<double>{7.0}));  // no inputs: u is never read
    EXPECT_EQ(m.energy(x, s), 0.0);
}

TEST(Evaluate, ModelWithoutEnergyOrPorts) {
    const Model m = load(R"({"n_states": 1, "n_inputs": 1, "n_params": 0, "param_values": [], "rhs": [["ref", 1]]})");
    Scratch s = Scratch::for_model(m);
    const double x[] = {2.0}, u[] = {5.0};
    EXPECT_EQ(bits(m.energy(x, s)), bits(0.0));
    EXPECT_EQ(bits(m.supplied_power(x, u, 1.0, s)), bits(0.0));
    EXPECT_TRUE(m.outputs(x, u, 0.0).empty());
    EXPECT_TRUE(m.port_outputs(x, u, 0.0).empty());
    EXPECT_TRUE(m.grad_h(x, s).empty());
}

TEST(Evaluate, SuppliedPowerSumsLeftToRightFromPositiveZero) {
    // products 1, 1e16, -1e16: left to right the 1 is absorbed, any other order keeps it
    const Model m = load(R"({"n_states": 1, "n_inputs": 0, "n_params": 0, "param_values": [], "rhs": [["ref", 0]],
        "port_outputs": [["const", 1], ["const", 1e8], ["const", -1e8]],
        "port_values": [["const", 1], ["const", 1e8], ["const", 1e8]]})");
    Scratch s = Scratch::for_model(m);
    const double x[] = {0.0};
    EXPECT_EQ(m.supplied_power(x, nullptr, 0.0, s), ((0.0 + 1.0) + 1e16) + -1e16);
    EXPECT_EQ(m.supplied_power(x, nullptr, 0.0, s), 0.0);

    // a single product of -0 added to the starting +0 gives +0
    const Model z = load(R"({"n_states": 1, "n_inputs": 0, "n_params": 0, "param_values": [], "rhs": [["ref", 0]],
        "port_outputs": [["neg", ["const", 0]]], "port_values": [["const", 1]]})");
    EXPECT_EQ(bits(z.supplied_power(x, nullptr, 0.0, s)), bits(0.0));
}

// rhs = [sin(x0)*x1 + u0, x0*x0*x1 - t]
const std::string kNonlinear =
    R"({"n_states": 2, "n_inputs": 1, "n_params": 0, "param_values": [],
        "rhs": [["add", ["mul", ["sin", ["ref", 0]], ["ref", 1]], ["ref", 2]],
                ["sub", ["mul", ["mul", ["ref", 0], ["ref", 0]], ["ref", 1]], ["ref", 3]]]})";

std::vector<double> nonlinear_rhs(const double* x, double u, double t) {
    return {std::sin(x[0]) * x[1] + u, x[0] * x[0] * x[1] - t};
}

// Forward differences with h = (|x_j| + 1) * 1e-7 and the divisor h itself
std::vector<double> expected_fd(const double* x, double u, double t) {
    const auto f0 = nonlinear_rhs(x, u, t);
    std::vector<double> out(4);
    for (int j = 0; j < 2; ++j) {
        const double h = (std::fabs(x[j]) + 1.0) * 1e-7;
        double xp[] = {x[0], x[1]};
        xp[j] = x[j] + h;
        const auto f1 = nonlinear_rhs(xp, u, t);
        for (int i = 0; i < 2; ++i) out[i * 2 + j] = (f1[i] - f0[i]) / h;
    }
    return out;
}

class FiniteDifferenceTest : public testing::TestWithParam<std::vector<double>> {};

TEST_P(FiniteDifferenceTest, ExactlyTheForwardDifferenceFormula) {
    const Model m = load(kNonlinear);
    const std::vector<double>& p = GetParam();  // x0, x1, u, t
    const double x[] = {p[0], p[1]}, u[] = {p[2]};
    const auto expected = expected_fd(x, p[2], p[3]);
    const auto got = m.jacobian(x, u, p[3]);
    ASSERT_EQ(got.size(), 4u);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(bits(got[k]), bits(expected[k])) << "entry " << k;
}

INSTANTIATE_TEST_SUITE_P(
    Points, FiniteDifferenceTest,
    testing::Values(std::vector<double>{1.0, 2.0, 0.0, 0.0}, std::vector<double>{-0.3, 4.5, 1.5, 2.0},
                    std::vector<double>{12345.678, -0.001, -2.0, 1e3},  // x0 + h - x0 differs from h
                    std::vector<double>{0.0, -0.0, 0.0, 0.0}, std::vector<double>{-1e-9, 1e9, 0.5, -3.0}));

TEST(Jacobian, ProductExample) {
    const Model m = load(R"({"n_states": 2, "n_inputs": 0, "n_params": 0, "param_values": [],
                             "rhs": [["mul", ["ref", 0], ["ref", 1]], ["ref", 0]]})");
    const double x[] = {1.0, 2.0};
    const auto j = m.jacobian(x, nullptr, 0.0);
    const double h0 = (1.0 + 1.0) * 1e-7, h1 = (2.0 + 1.0) * 1e-7;
    const std::vector<double> expected = {((1.0 + h0) * 2.0 - 1.0 * 2.0) / h0, (1.0 * (2.0 + h1) - 1.0 * 2.0) / h1,
                                          ((1.0 + h0) - 1.0) / h0, (1.0 - 1.0) / h1};
    EXPECT_EQ(j, expected);
    EXPECT_NEAR(j[0], 2.0, 1e-6);
    EXPECT_NEAR(j[1], 1.0, 1e-6);
    EXPECT_NEAR(j[2], 1.0, 1e-6);
    EXPECT_EQ(j[3], 0.0);
}

const std::string kAnalytic =
    R"({"n_states": 2, "n_inputs": 1, "n_params": 0, "param_values": [],
        "rhs": [["add", ["mul", ["sin", ["ref", 0]], ["ref", 1]], ["ref", 2]],
                ["sub", ["mul", ["mul", ["ref", 0], ["ref", 0]], ["ref", 1]], ["ref", 3]]],
        "jacobian": [["div", ["const", 1], ["ref", 0]], ["const", 42],
                     ["div", ["ref", 0], ["ref", 0]], ["neg", ["sqrt", ["ref", 2]]]]})";

TEST(Jacobian, FiniteAnalyticValuesAreTheResult) {
    const Model m = load(kAnalytic);
    const double x[] = {0.5, 3.0}, u[] = {1.0};
    EXPECT_EQ(m.jacobian(x, u, 0.0), (std::vector<double>{2.0, 42.0, 1.0, -1.0}));
}

TEST(Jacobian, NonFiniteAnalyticEntryFallsBackToFiniteDifferences) {
    const Model m = load(kAnalytic);
    // x0 = 0: 1/0 is infinite and 0/0 NaN; u = -1 alone: only the last entry is NaN
    for (auto [x0, u0] : {std::pair{0.0, 1.0}, std::pair{-0.0, 1.0}, std::pair{0.5, -1.0}}) {
        const double x[] = {x0, 3.0}, u[] = {u0};
        const auto expected = expected_fd(x, u0, 2.0);
        // every element is overwritten, the finite analytic ones too
        std::vector<double> out(4, 123.0);
        Scratch s = Scratch::for_model(m);
        m.jacobian_into(x, u, 2.0, out.data(), s);
        for (int k = 0; k < 4; ++k) EXPECT_EQ(bits(out[k]), bits(expected[k])) << "x0 " << x0 << " entry " << k;
        EXPECT_EQ(m.jacobian(x, u, 2.0), out);
    }
}

TEST(Jacobian, ZeroStates) {
    for (const char* jac : {"null", "[]"}) {
        const Model m = load(std::string(R"({"n_states": 0, "n_inputs": 1, "n_params": 1, "param_values": [1],
            "rhs": [], "jacobian": )") + jac + R"(, "energy": ["ref", 1], "outputs": [["ref", 0]], "output_names": ["u"]})");
        const double u[] = {4.0};
        EXPECT_TRUE(m.jacobian(nullptr, u, 0.0).empty()) << jac;
        EXPECT_TRUE(m.rhs(nullptr, u, 0.0).empty()) << jac;
        EXPECT_EQ(m.outputs(nullptr, u, 0.0), (std::vector<double>{4.0}));
        Scratch s = Scratch::for_model(m);
        EXPECT_EQ(m.energy(nullptr, s), 1.0);
        m.jacobian_into(nullptr, u, 0.0, nullptr, s);
    }
}

TEST(Evaluate, RepeatedEvaluationsAreBitIdentical) {
    const Model m = load(kNonlinear);
    const double x[] = {0.7, -1.3}, u[] = {0.2};
    Scratch reused = Scratch::for_model(m);
    const auto rhs = m.rhs(x, u, 0.4);
    const auto jac = m.jacobian(x, u, 0.4);
    std::vector<double> out(4), f(2);
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(m.rhs(x, u, 0.4), rhs);
        m.rhs_into(x, u, 0.4, f.data(), reused);
        EXPECT_EQ(f, rhs);
        m.jacobian_into(x, u, 0.4, out.data(), reused);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(bits(out[i]), bits(jac[i]));
    }
    const Model one = load(kOneState);
    Scratch a = Scratch::for_model(one), b = Scratch::for_model(one);
    const double y[] = {0.1}, v[] = {0.3};
    EXPECT_EQ(bits(one.energy(y, a)), bits(one.energy(y, b)));
    EXPECT_EQ(bits(one.supplied_power(y, v, 0.0, a)), bits(one.supplied_power(y, v, 0.0, a)));
}

TEST(Evaluate, ParameterReplacementIsSeen) {
    Model m = load(kOneState);
    const double x[] = {2.0}, u[] = {0.0};
    EXPECT_EQ(m.rhs(x, u, 0.0), (std::vector<double>{-1.0}));
    m.params = {2.0};
    EXPECT_EQ(m.rhs(x, u, 0.0), (std::vector<double>{-4.0}));
}

// ---------------------------------------------------------------------------------------------
// Example documents shipped in examples/

std::vector<std::filesystem::path> example_files() {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(ZAREL_EXAMPLES_DIR))
        if (entry.path().extension() == ".json") files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TEST(Examples, EveryDocumentLoadsAndIsConsistent) {
    const auto files = example_files();
    ASSERT_GE(files.size(), 3u);
    int with_jacobian = 0;
    for (const auto& path : files) {
        SCOPED_TRACE(path.filename().string());
        auto loaded = Model::from_text(read_file(path));
        ASSERT_TRUE(loaded.has_value()) << loaded.error().display();
        const Model& m = *loaded;
        const std::size_t n = m.n_states;
        EXPECT_EQ(m.grad_h_programs.size(), n);
        EXPECT_FALSE(m.port_output_programs.empty());
        EXPECT_FALSE(m.output_programs.empty());
        for (const auto& name : m.output_names) EXPECT_FALSE(name.empty());
        with_jacobian += m.has_jacobian();

        Scratch s = Scratch::for_model(m);
        for (int point = 0; point < 4; ++point) {
            std::vector<double> x(n), u(m.n_inputs);
            for (std::size_t i = 0; i < n; ++i) x[i] = 0.3 * (point + 1) * (i % 2 ? -1.0 : 1.0) + 0.1 * i;
            for (std::size_t i = 0; i < u.size(); ++i) u[i] = 0.5 - 0.4 * point + 0.2 * i;

            // grad_H agrees with central differences of the energy
            const auto grad = m.grad_h(x.data(), s);
            for (std::size_t j = 0; j < n; ++j) {
                const double h = 1e-6 * (std::fabs(x[j]) + 1.0);
                auto xp = x, xm = x;
                xp[j] += h;
                xm[j] -= h;
                const double ep = m.energy(xp.data(), s), em = m.energy(xm.data(), s);
                const double slope = (ep - em) / (2 * h);
                // the truncation error, and the rounding of a large total energy (a model of many
                // parts) divided by the small step
                const double rounding = 4 * std::numeric_limits<double>::epsilon() * (std::fabs(ep) + std::fabs(em)) / (2 * h);
                EXPECT_NEAR(grad[j], slope, 1e-6 * (1.0 + std::fabs(slope)) + rounding) << "grad_H " << j;
            }

            // an analytic Jacobian agrees with forward differences
            if (m.has_jacobian()) {
                std::vector<double> analytic(n * n);
                m.fill_env(x.data(), u.data(), 0.0, s.env.data());
                Model::eval_into(*m.jacobian_programs, s, analytic.data());
                Model fd_model = m;
                fd_model.jacobian_programs.reset();
                const auto fd = fd_model.jacobian(x.data(), u.data(), 0.0);
                for (std::size_t k = 0; k < n * n; ++k)
                    EXPECT_NEAR(analytic[k], fd[k], 1e-5 * (1.0 + std::fabs(fd[k]))) << "jacobian " << k;
            }

            // passivity: the stored energy never grows faster than the power supplied
            const auto f = m.rhs(x.data(), u.data(), 0.0);
            double dhdt = 0.0;
            for (std::size_t j = 0; j < n; ++j) dhdt += grad[j] * f[j];
            const double power = m.supplied_power(x.data(), u.data(), 0.0, s);
            EXPECT_LE(dhdt, power + 1e-9 * (1.0 + std::fabs(power)));
        }
    }
    EXPECT_GE(with_jacobian, 2);
}

}  // namespace

TEST(Load, NulByteIsNotJson) {
    const std::string cases[] = {std::string("{\"n_states\": 0}\0junk", 20), std::string("[1,\0 2]", 7),
                                 std::string("{\"a\": \"x\0\"}", 11)};
    for (const std::string& text : cases) {
        auto m = Model::from_text(text);
        ASSERT_FALSE(m.has_value());
        EXPECT_EQ(m.error().display().rfind("malformed model: not JSON: parse error at line 1, column ", 0), 0u)
            << m.error().display();
    }
}
