// Hex text of bytes, and the text form of a GUID.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace pellumo {

inline constexpr char kHexDigits[] = "0123456789abcdef";

// Writes the two lower-case hex digits of `b` at out[0..2); returns out + 2.
inline char* write_hex_byte(char* out, std::uint8_t b) {
  out[0] = kHexDigits[b >> 4];
  out[1] = kHexDigits[b & 0xF];
  return out + 2;
}

// Writes two digits per byte, in byte order; returns the end.
inline char* write_hex(char* out, std::span<const std::uint8_t> bytes) {
  for (const std::uint8_t b : bytes) out = write_hex_byte(out, b);
  return out;
}

// A stored GUID is a u32 and two u16, little-endian, then eight bytes; a
// UUID holds the same fields big-endian. UUID byte i is stored byte
// kGuidUuidOrder[i].
inline constexpr std::array<std::uint8_t, 16> kGuidUuidOrder = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};

// The 16 bytes of a stored GUID in UUID order.
inline std::array<std::uint8_t, 16> guid_uuid_bytes(std::span<const std::uint8_t, 16> guid) {
  std::array<std::uint8_t, 16> out;
  for (std::size_t i = 0; i < 16; ++i) out[i] = guid[kGuidUuidOrder[i]];
  return out;
}

inline constexpr std::size_t kGuidTextSize = 36;

// The 36-character lower-case text of 16 stored GUID bytes: its UUID bytes
// in hex, grouped 4-2-2-2-6. Writes exactly kGuidTextSize bytes to out.
inline void write_guid_text(std::span<const std::uint8_t, 16> guid, char* out) {
  for (std::size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) *out++ = '-';
    out = write_hex_byte(out, guid[kGuidUuidOrder[i]]);
  }
}

}  // namespace pellumo
