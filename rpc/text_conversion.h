// Text-to-number conversions for the texts of the robot's RPC replies. They read like the standard
// string-to-int and string-to-double conversions (leading white space skipped, the longest leading
// number read, anything after it ignored) and fail with the same exception types, but with texts
// that name the conversion, so a log line or a user's exception says what went wrong.
// Stateless; any thread may call in.
#pragma once

#include <cstdint>
#include <string>

namespace korvan::tyr_impl {

inline constexpr char kInvalidStoiArgument[] = "invalid stoi argument";
inline constexpr char kStoiArgumentOutOfRange[] = "stoi argument out of range";
inline constexpr char kInvalidStodArgument[] = "invalid stod argument";
inline constexpr char kStodArgumentOutOfRange[] = "stod argument out of range";

// Decimal integer with an optional sign. Throws std::invalid_argument (kInvalidStoiArgument) when
// no digits follow the white space, std::out_of_range (kStoiArgumentOutOfRange) when the number
// does not fit 32 bits.
int32_t StringToInt(const std::string& text);

// Floating-point number in the standard library's syntax (also hexadecimal, "inf" and "nan").
// Throws std::invalid_argument (kInvalidStodArgument) when nothing reads as a number,
// std::out_of_range (kStodArgumentOutOfRange) when the value overflows or underflows a double.
double StringToDouble(const std::string& text);

}  // namespace korvan::tyr_impl
