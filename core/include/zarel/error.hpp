// The engine's single error type and the number formats its messages use.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <variant>

namespace zarel {

struct Malformed { std::string message; };
struct InvalidArgument { std::string message; };
struct StepFailed { double t; std::string message; };
struct NonFinite { std::string what; double t; };
struct UnknownOption { std::string message; };

// One error of the engine; the variant's index (0 to 4, in the order above) picks the
// Python exception class.
class EngineError {
public:
    using Variant = std::variant<Malformed, InvalidArgument, StepFailed, NonFinite, UnknownOption>;

    EngineError(Malformed e) : v_(std::move(e)) {}
    EngineError(InvalidArgument e) : v_(std::move(e)) {}
    EngineError(StepFailed e) : v_(std::move(e)) {}
    EngineError(NonFinite e) : v_(std::move(e)) {}
    EngineError(UnknownOption e) : v_(std::move(e)) {}

    std::size_t kind() const noexcept { return v_.index(); }
    const Variant& variant() const noexcept { return v_; }
    std::string display() const;

private:
    Variant v_;
};

template <class T>
using Result = std::expected<T, EngineError>;
using Status = std::expected<void, EngineError>;

inline std::unexpected<EngineError> fail(EngineError e) { return std::unexpected(std::move(e)); }
inline std::unexpected<EngineError> malformed(std::string m) { return fail(Malformed{std::move(m)}); }
inline std::unexpected<EngineError> invalid(std::string m) { return fail(InvalidArgument{std::move(m)}); }

// The shortest decimal digits that read back to the same double, laid out without exponent
// (2 -> "2", 1e-7 -> "0.0000001", -0.0 -> "-0", NaN -> "NaN", infinities "inf"/"-inf").
std::string format_number(double v);
// Exponent form with a fixed number of digits after the point and a plain exponent
// (0.5 with 3 digits -> "5.000e-1", 1e-10 with 1 digit -> "1.0e-10").
std::string format_exponent(double v, int digits);
// A name as a double-quoted literal with backslash escapes, for messages about unknown names.
std::string quoted_literal(std::string_view s);

}  // namespace zarel
