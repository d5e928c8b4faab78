// Random expression programs from fuzzer input, shared by the machine-code targets: every
// operator, deep and wide trees, shared subtrees, and numbers drawn from NaN, infinities, signed
// zeros, subnormals, small values and arbitrary bits.
#pragma once

#include <bit>
#include <cstdint>
#include <iterator>
#include <limits>
#include <utility>
#include <vector>

#include "zarel/expr.hpp"

namespace fuzz {

using zarel::Json;

constexpr double kSpecial[] = {
    std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN(), 0.0, -0.0,
    std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(), 4.9e-324, -2.2e-308, 1.0,
    -1.0, 2.0, 0.5, 3.0, -7.25, 1e300, 1e-300};
constexpr const char* kUnary[] = {"neg", "sqrt", "exp", "log", "abs", "tanh", "sin", "cos", "sign"};
constexpr const char* kBinary[] = {"add", "sub", "mul", "div", "pow", "max", "min", "gt"};
constexpr const char* kExactBinary[] = {"sub", "div", "pow", "max", "min", "gt"};

// The input as bytes; past its end, zeros, or, when `extend` is set, bytes of a generator seeded
// by the input, so that a short input still draws varied values (libFuzzer starts with short
// inputs and lengthens them slowly). empty() tells whether the input itself is used up.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size, bool extend = false)
        : data_(data), size_(size), extend_(extend) {
        for (std::size_t k = 0; k < size; ++k) state_ = (state_ ^ data[k]) * 0x100000001B3ull;
    }
    bool empty() const { return pos_ >= size_; }
    std::uint8_t byte() {
        if (!empty()) return data_[pos_++];
        if (!extend_) return 0;
        // splitmix64
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return static_cast<std::uint8_t>(z ^ (z >> 31));
    }
    std::uint64_t word() {
        std::uint64_t w = 0;
        for (int k = 0; k < 8; ++k) w = w << 8 | byte();
        return w;
    }
    // a special value, a small number or any bits at all
    double number() {
        const std::uint8_t k = byte();
        if (k < 128) return kSpecial[k % std::size(kSpecial)];
        if (k < 200) return static_cast<double>(static_cast<std::int8_t>(byte())) / 8.0;
        return std::bit_cast<double>(word());
    }

private:
    const std::uint8_t* data_;
    std::size_t size_, pos_ = 0;
    bool extend_;
    std::uint64_t state_ = 0xCBF29CE484222325ull;
};

class Generator {
public:
    Generator(Reader& r, int slots, bool exact) : r_(r), slots_(slots), exact_(exact) {}

    Json tree(int depth) {
        const std::uint8_t k = r_.byte();
        if (depth <= 0 || r_.empty() || k < 40 || nodes_ > kMaxNodes) return leaf(k);
        Json t;
        if (k < 70 && !shared_.empty()) {
            const auto& [shared, size] = shared_[r_.byte() % shared_.size()];
            nodes_ += size;
            return shared;
        }
        const std::size_t before = nodes_++;
        if (k < 120) t = Json::array({kUnary[k % std::size(kUnary)], tree(depth - 1)});
        else if (k < 230) t = Json::array({exact_ ? kExactBinary[k % std::size(kExactBinary)] : kBinary[k % std::size(kBinary)],
                                           tree(depth - 1), tree(depth - 1)});
        else if (k < 245) t = Json::array({"where", tree(depth - 1), tree(depth - 1), tree(depth - 1)});
        else t = table(tree(depth - 1));
        if (shared_.size() < 64) shared_.emplace_back(t, nodes_ - before);
        return t;
    }

private:
    Json leaf(std::uint8_t k) {
        if (k % 3) return Json::array({"ref", r_.byte() % slots_});
        const double v = r_.number();
        // a const 2 makes pow a multiplication; make it common
        return Json::array({"const", k % 7 == 0 ? 2.0 : v});
    }

    Json table(Json x) {
        const int n = 1 + r_.byte() % 4;
        Json knots = Json::array(), coefs = Json::array();
        double at = static_cast<double>(static_cast<std::int8_t>(r_.byte()));
        knots.push_back(at);
        for (int g = 0; g < n; ++g) {
            at += 0.25 + r_.byte() % 8;
            knots.push_back(at);
            coefs.push_back(Json::array({r_.number(), r_.number(), r_.number()}));
        }
        return Json::array({"pw", std::move(x), std::move(knots), std::move(coefs)});
    }

    // shared subtrees can double a tree at every level: a budget keeps inputs small
    static constexpr std::size_t kMaxNodes = 4000;

    Reader& r_;
    int slots_;
    bool exact_;
    std::size_t nodes_ = 0;
    std::vector<std::pair<Json, std::size_t>> shared_;  // a subtree and its node count
};

}  // namespace fuzz
