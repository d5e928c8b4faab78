// Display texts of engine errors and the number formats used inside them.
#include "zarel/error.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace zarel {

namespace {

template <class... F>
struct Overloaded : F... { using F::operator()...; };
template <class... F>
Overloaded(F...) -> Overloaded<F...>;  // for compilers without aggregate deduction

// Splits the shortest round-trip form of a finite, non-zero |v| into its digits and the
// decimal exponent of the first digit (1.25e-7 -> "125", -7).
std::pair<std::string, int> shortest_digits(double v) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::string_view text(buf, static_cast<std::size_t>(end - buf));
    std::size_t e = text.find('e');
    std::string digits;
    for (char c : text.substr(0, e))
        if (c != '.') digits.push_back(c);
    int exponent = std::atoi(std::string(text.substr(e + 1)).c_str());
    return {digits, exponent};
}

bool printable(char32_t c) {
    if (c < 0x20 || (c >= 0x7f && c < 0xa0)) return false;
    switch (c) {
    case 0xad: case 0x61c: case 0x180e: case 0xfeff: case 0xfffe: case 0xffff: return false;
    default: break;
    }
    if ((c >= 0x200b && c <= 0x200f) || (c >= 0x2028 && c <= 0x202e) || (c >= 0x2060 && c <= 0x206f))
        return false;
    if ((c >= 0xd800 && c <= 0xdfff) || (c >= 0xe000 && c <= 0xf8ff) || (c >= 0xfff9 && c <= 0xfffb))
        return false;
    return c <= 0x10ffff && c < 0xf0000;
}

// Decodes one UTF-8 sequence at s[i]; invalid bytes come back as themselves, never printable.
char32_t next_code_point(std::string_view s, std::size_t& i, bool& valid) {
    auto b = static_cast<unsigned char>(s[i]);
    int len = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xe ? 3 : (b >> 3) == 0x1e ? 4 : 0;
    valid = len > 0 && i + static_cast<std::size_t>(len) <= s.size();
    if (!valid) { ++i; return b; }
    char32_t c = len == 1 ? b : len == 2 ? (b & 0x1f) : len == 3 ? (b & 0x0f) : (b & 0x07);
    for (int k = 1; k < len; ++k) {
        auto cont = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
        if ((cont >> 6) != 0x2) { valid = false; ++i; return b; }
        c = (c << 6) | (cont & 0x3f);
    }
    i += static_cast<std::size_t>(len);
    return c;
}

}  // namespace

std::string format_number(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    std::string out = std::signbit(v) ? "-" : "";
    if (v == 0) return out + "0";
    auto [digits, exponent] = shortest_digits(std::fabs(v));
    const int n = static_cast<int>(digits.size());
    if (exponent < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out += digits;
    } else if (exponent + 1 >= n) {
        out += digits;
        out.append(static_cast<std::size_t>(exponent + 1 - n), '0');
    } else {
        out += digits.substr(0, static_cast<std::size_t>(exponent + 1));
        out += '.';
        out += digits.substr(static_cast<std::size_t>(exponent + 1));
    }
    return out;
}

std::string format_exponent(double v, int digits) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, digits);
    std::string_view text(buf, static_cast<std::size_t>(end - buf));
    std::size_t e = text.find('e');
    std::string out(text.substr(0, e + 1));
    out += std::to_string(std::atoi(std::string(text.substr(e + 1)).c_str()));
    return out;
}

std::string quoted_literal(std::string_view s) {
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size();) {
        std::size_t start = i;
        bool valid = true;
        char32_t c = next_code_point(s, i, valid);
        switch (c) {
        case '"': out += "\\\""; continue;
        case '\\': out += "\\\\"; continue;
        case '\0': out += "\\0"; continue;
        case '\t': out += "\\t"; continue;
        case '\r': out += "\\r"; continue;
        case '\n': out += "\\n"; continue;
        default: break;
        }
        if (valid && printable(c)) {
            out.append(s.substr(start, i - start));
        } else {
            char hex[16];
            auto [end, ec] = std::to_chars(hex, hex + sizeof hex, static_cast<std::uint32_t>(c), 16);
            out += "\\u{";
            out.append(hex, end);
            out += '}';
        }
    }
    out += '"';
    return out;
}

std::string EngineError::display() const {
    return std::visit(
        Overloaded{
            [](const Malformed& e) { return "malformed model: " + e.message; },
            [](const InvalidArgument& e) { return e.message; },
            [](const StepFailed& e) {
                return "the implicit step at t = " + format_number(e.t) + " did not converge: " + e.message;
            },
            [](const NonFinite& e) { return e.what + " became non-finite at t = " + format_number(e.t); },
            [](const UnknownOption& e) { return e.message; },
        },
        v_);
}

}  // namespace zarel
