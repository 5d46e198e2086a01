// JSON values written byte for byte by hand: no general JSON library
// promises these exact bytes (float layout, escapes, hex buffers, GUID text).
// Each appender adds one JSON value to a caller-owned std::string; with a
// reused string they allocate nothing once its capacity has grown.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace pellumo::json {

// Longest text format_double writes: sign, 17 digits, "0.0000" or an
// exponent part, with room to spare.
inline constexpr std::size_t kMaxDoubleChars = 32;

// Writes the JSON number for `value` into out[0, kMaxDoubleChars) and returns
// its length. Finite values use the shortest digits that read back to the same
// double: no exponent for a leading-digit exponent E in [-5, 15] ("1.0",
// "0.00001", "1000000000000000.0", "12.5"), otherwise "1e+16", "1.5e-7".
// Zero is "0.0", negative zero "-0.0"; NaN and infinities are "0".
std::size_t format_double(double value, char* out);

void append_null(std::string& out);
void append_bool(std::string& out, bool value);
void append_int(std::string& out, std::int64_t value);
void append_uint(std::string& out, std::uint64_t value);
void append_double(std::string& out, double value);
// A single-precision value is widened exactly, then written as a double
// (a stored 0.1f is written 0.10000000149011612).
void append_float32(std::string& out, float value);

// A quoted JSON string. '"' and '\\' get a backslash; 0x08, 0x09, 0x0A, 0x0C
// and 0x0D become \b \t \n \f \r; every other byte below 0x20 becomes \u00xx
// (lower-case hex). 0x7F, '/' and all other characters are copied unchanged.
// Bytes that are not well-formed UTF-8 are replaced by U+FFFD, one per maximal
// invalid subsequence, so the output is always valid UTF-8; well-formed input
// is copied byte for byte.
void append_string(std::string& out, std::string_view utf8);

// A quoted string of two lower-case hex digits per byte, in byte order.
void append_hex_string(std::string& out, std::span<const std::uint8_t> bytes);

// The quoted GUID text (see write_guid_text in utils/hex.h).
void append_guid_string(std::string& out, std::span<const std::uint8_t, 16> guid);

}  // namespace pellumo::json
