// Text of text columns: bytes in the column's code page turned into UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "error/ese_error.h"
#include "utils/bytes.h"

namespace pellumo {

inline constexpr std::uint32_t kCodepageUtf16 = 1200;
inline constexpr std::uint32_t kCodepageWestern = 1252;
inline constexpr std::uint32_t kCodepageAscii = 20127;

// True for the code pages decode_string accepts (1200, 1252, 20127).
constexpr bool is_known_codepage(std::uint32_t codepage) {
  return codepage == kCodepageUtf16 || codepage == kCodepageWestern || codepage == kCodepageAscii;
}

// Decodes `bytes` as text of `codepage`: 1200 is UTF-16LE, 1252 and 20127
// are windows-1252. A byte-order mark at the very start (EF BB BF, FF FE,
// FE FF) overrides the code page and is removed. Malformed input becomes
// U+FFFD; nothing is trimmed. Fails only with UnknownCodepage, before any
// byte is looked at.
Result<std::string> decode_string(Bytes bytes, std::uint32_t codepage);

// The same decoding into `out` (replaced, its capacity reused). Returns
// false, leaving `out` unchanged, for an unknown code page.
bool decode_string_into(Bytes bytes, std::uint32_t codepage, std::string& out);

// The most bytes decode_string_to writes for `n` bytes of input: a
// windows-1252 byte gives at most 3 bytes of UTF-8, so does a UTF-16 unit
// (a surrogate pair 4 for its two) and an invalid UTF-8 byte (one U+FFFD),
// plus one U+FFFD for a dangling UTF-16 byte or lead surrogate.
constexpr std::size_t decoded_size_bound(std::size_t n) { return 3 * n + 3; }

// The same decoding written at `out`, which has room for
// decoded_size_bound(bytes.size()) bytes: what writes text straight into
// a caller's buffer. Returns the bytes written; false for an unknown code
// page (nothing written).
bool decode_string_to(Bytes bytes, std::uint32_t codepage, char* out, std::size_t& written);

}  // namespace pellumo
