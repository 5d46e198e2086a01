// Bounds-checked little/big-endian readers over borrowed byte views.
// Every read of file bytes goes through these: `read_*` checks and returns
// nullopt when the bytes are not there; `get_*` requires the caller to have
// checked with in_bounds first (the span's own indexing asserts it in
// builds with _GLIBCXX_ASSERTIONS).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pellumo {

using Bytes = std::span<const std::uint8_t>;
using ByteVector = std::vector<std::uint8_t>;

// [off, off + len) lies inside b. Written so that off + len cannot overflow.
constexpr bool in_bounds(Bytes b, std::size_t off, std::size_t len) {
  return off <= b.size() && len <= b.size() - off;
}

inline std::uint16_t get_u16_le(Bytes b, std::size_t off) {
  return static_cast<std::uint16_t>(b[off] | (b[off + 1] << 8));
}
inline std::uint32_t get_u32_le(Bytes b, std::size_t off) {
  return static_cast<std::uint32_t>(b[off]) | (static_cast<std::uint32_t>(b[off + 1]) << 8) |
         (static_cast<std::uint32_t>(b[off + 2]) << 16) | (static_cast<std::uint32_t>(b[off + 3]) << 24);
}
inline std::uint64_t get_u64_le(Bytes b, std::size_t off) {
  return static_cast<std::uint64_t>(get_u32_le(b, off)) | (static_cast<std::uint64_t>(get_u32_le(b, off + 4)) << 32);
}
// The XOR of the little-endian 32-bit words of `b`; a trailing part word is
// ignored. Reads only inside `b`, eight bytes at a time.
inline std::uint32_t xor_u32_le_words(Bytes b) {
  const std::size_t pairs = b.size() / 8;
  std::uint64_t acc = 0;
  for (std::size_t i = 0; i < pairs; ++i) {
    std::uint64_t v;
    std::memcpy(&v, b.data() + 8 * i, sizeof v);
    acc ^= v;
  }
  std::uint32_t folded = static_cast<std::uint32_t>(acc) ^ static_cast<std::uint32_t>(acc >> 32);
  if constexpr (std::endian::native == std::endian::big) folded = __builtin_bswap32(folded);
  if (b.size() % 8 >= 4) folded ^= get_u32_le(b, 8 * pairs);
  return folded;
}
inline std::uint32_t get_u32_be(Bytes b, std::size_t off) {
  return (static_cast<std::uint32_t>(b[off]) << 24) | (static_cast<std::uint32_t>(b[off + 1]) << 16) |
         (static_cast<std::uint32_t>(b[off + 2]) << 8) | static_cast<std::uint32_t>(b[off + 3]);
}

inline std::optional<std::uint8_t> read_u8(Bytes b, std::size_t off) {
  if (!in_bounds(b, off, 1)) return std::nullopt;
  return b[off];
}
inline std::optional<std::uint16_t> read_u16_le(Bytes b, std::size_t off) {
  if (!in_bounds(b, off, 2)) return std::nullopt;
  return get_u16_le(b, off);
}
inline std::optional<std::uint32_t> read_u32_le(Bytes b, std::size_t off) {
  if (!in_bounds(b, off, 4)) return std::nullopt;
  return get_u32_le(b, off);
}
inline std::optional<std::uint64_t> read_u64_le(Bytes b, std::size_t off) {
  if (!in_bounds(b, off, 8)) return std::nullopt;
  return get_u64_le(b, off);
}
inline std::optional<std::uint32_t> read_u32_be(Bytes b, std::size_t off) {
  if (!in_bounds(b, off, 4)) return std::nullopt;
  return get_u32_be(b, off);
}

// The sub-view [off, off + len), or nullopt when it does not lie inside b.
inline std::optional<Bytes> slice(Bytes b, std::size_t off, std::size_t len) {
  if (!in_bounds(b, off, len)) return std::nullopt;
  return b.subspan(off, len);
}

// Names and other raw byte strings are held in std::string: hashable,
// comparable byte for byte, and never decoded by the library.
inline std::string to_byte_string(Bytes b) {
  return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}
inline Bytes as_bytes(std::string_view s) {
  return Bytes(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

}  // namespace pellumo
