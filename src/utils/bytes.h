// The one way to the bytes of the file: bounds-checked little/big-endian
// reads over borrowed byte views.
//
//   - ByteReader reads fields one after another from a position it keeps,
//     as LLVM's DataExtractor::Cursor does: the first read that does not fit
//     fails the reader, and every later read gives 0 without moving, so a run
//     of reads is checked once, at its end (`if (!r) ...`).
//   - read_* read one field at an offset: nullopt when it does not fit.
//   - slice is the sub-view [off, off + len), or nullopt; copy_bytes copies
//     such a range out, find_byte and matches_at search in one.
//
// Nothing outside this header indexes the file's bytes by pointer.
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

namespace bytes_detail {

// Unchecked loads: callers in this header have checked the range first.
inline std::uint16_t load_u16_le(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t load_u32_le(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint64_t load_u64_le(const std::uint8_t* p) {
  return static_cast<std::uint64_t>(load_u32_le(p)) | (static_cast<std::uint64_t>(load_u32_le(p + 4)) << 32);
}
inline std::uint32_t load_u32_be(const std::uint8_t* p) {
  return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
         (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}

}  // namespace bytes_detail

inline std::optional<std::uint8_t> read_u8(Bytes b, std::size_t off) {
  if (!in_bounds(b, off, 1)) return std::nullopt;
  return b[off];
}
inline std::optional<std::uint16_t> read_u16_le(Bytes b, std::size_t off) {
  if (!in_bounds(b, off, 2)) return std::nullopt;
  return bytes_detail::load_u16_le(b.data() + off);
}
inline std::optional<std::uint32_t> read_u32_le(Bytes b, std::size_t off) {
  if (!in_bounds(b, off, 4)) return std::nullopt;
  return bytes_detail::load_u32_le(b.data() + off);
}
inline std::optional<std::uint64_t> read_u64_le(Bytes b, std::size_t off) {
  if (!in_bounds(b, off, 8)) return std::nullopt;
  return bytes_detail::load_u64_le(b.data() + off);
}
inline std::optional<std::uint32_t> read_u32_be(Bytes b, std::size_t off) {
  if (!in_bounds(b, off, 4)) return std::nullopt;
  return bytes_detail::load_u32_be(b.data() + off);
}

// An unsigned little-endian integer of `width` bytes (0 to 8) at `off`.
inline std::optional<std::uint64_t> read_uint_le(Bytes b, std::size_t off, std::size_t width) {
  if (width > 8 || !in_bounds(b, off, width)) return std::nullopt;
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < width; ++i) v |= static_cast<std::uint64_t>(b[off + i]) << (8 * i);
  return v;
}

// The sub-view [off, off + len), or nullopt when it does not lie inside b.
// The XOR of the little-endian 32-bit words of `b`; a trailing part word is
// ignored. Reads only inside `b`, eight bytes at a time (page checksums).
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
  if (b.size() % 8 >= 4) folded ^= bytes_detail::load_u32_le(b.data() + 8 * pairs);
  return folded;
}

inline std::optional<Bytes> slice(Bytes b, std::size_t off, std::size_t len) {
  if (!in_bounds(b, off, len)) return std::nullopt;
  return b.subspan(off, len);
}

// The sub-view from `off` to the end, or nullopt when off lies past it.
inline std::optional<Bytes> slice_from(Bytes b, std::size_t off) {
  if (off > b.size()) return std::nullopt;
  return b.subspan(off);
}

// Copies [off, off + len) of b to `out`; false, copying nothing, when the
// range does not lie inside b.
inline bool copy_bytes(Bytes b, std::size_t off, void* out, std::size_t len) {
  if (!in_bounds(b, off, len)) return false;
  if (len != 0) std::memcpy(out, b.data() + off, len);
  return true;
}

// The offset of the first byte `value` at or after `from`, or b.size().
inline std::size_t find_byte(Bytes b, std::size_t from, std::uint8_t value) {
  if (from >= b.size()) return b.size();
  const void* at = std::memchr(b.data() + from, value, b.size() - from);
  return at == nullptr ? b.size() : static_cast<std::size_t>(static_cast<const std::uint8_t*>(at) - b.data());
}

// Whether `pattern` lies in b at `off`.
inline bool matches_at(Bytes b, std::size_t off, std::string_view pattern) {
  return in_bounds(b, off, pattern.size()) &&
         (pattern.empty() || std::memcmp(b.data() + off, pattern.data(), pattern.size()) == 0);
}

// ASCII text reads alike in every code page the library knows, and is its
// own UTF-8: text decoders take these runs whole.
namespace bytes_detail {
inline constexpr std::uint64_t kHighBitOfEachByte = 0x8080808080808080ull;
// A UTF-16LE unit of 0x80 or more, in each of four units.
inline constexpr std::uint64_t kNonAsciiUnits = 0xFF80FF80FF80FF80ull;
}  // namespace bytes_detail

// The length of the run of bytes below 0x80 that starts `b`, eight bytes
// at a time.
inline std::size_t ascii_prefix(Bytes b) {
  const std::size_t n = b.size();
  std::size_t i = 0;
  while (i + 8 <= n && (bytes_detail::load_u64_le(b.data() + i) & bytes_detail::kHighBitOfEachByte) == 0) i += 8;
  while (i < n && b[i] < 0x80) ++i;
  return i;
}

// Writes the low byte of each UTF-16LE unit that starts `b` at `out`, for
// as long as the units are below 0x80 (whole units only, four at a time),
// and returns how many were: the UTF-8 of that ASCII prefix. `out` needs
// room for b.size() / 2 bytes.
inline std::size_t narrow_ascii_prefix(Bytes b, char* out) {
  const std::size_t units = b.size() / 2;
  std::size_t k = 0;
  while (k + 4 <= units) {
    std::uint64_t x = bytes_detail::load_u64_le(b.data() + 2 * k);
    if ((x & bytes_detail::kNonAsciiUnits) != 0) break;
    // Units in bytes 0, 2, 4 and 6, their high bytes zero: gathered into
    // the low four bytes.
    x = (x | (x >> 8)) & 0x0000FFFF0000FFFFull;
    x = (x | (x >> 16)) & 0x00000000FFFFFFFFull;
    out[k] = static_cast<char>(x);
    out[k + 1] = static_cast<char>(x >> 8);
    out[k + 2] = static_cast<char>(x >> 16);
    out[k + 3] = static_cast<char>(x >> 24);
    k += 4;
  }
  while (k < units && b[2 * k] < 0x80 && b[2 * k + 1] == 0) {
    out[k] = static_cast<char>(b[2 * k]);
    ++k;
  }
  return k;
}

// Sequential reads from a position (see the top of this header). Borrows
// the view: must not outlive it.
class ByteReader {
 public:
  // A reader at `offset`; an offset past the end fails it at once.
  explicit ByteReader(Bytes data, std::size_t offset = 0)
      : data_(data), offset_(offset), ok_(offset <= data.size()) {}

  std::uint8_t u8() {
    const std::uint8_t* p = take(1);
    return p ? p[0] : 0;
  }
  std::uint16_t u16_le() {
    const std::uint8_t* p = take(2);
    return p ? bytes_detail::load_u16_le(p) : 0;
  }
  std::uint32_t u32_le() {
    const std::uint8_t* p = take(4);
    return p ? bytes_detail::load_u32_le(p) : 0;
  }
  std::uint64_t u64_le() {
    const std::uint8_t* p = take(8);
    return p ? bytes_detail::load_u64_le(p) : 0;
  }
  std::uint32_t u32_be() {
    const std::uint8_t* p = take(4);
    return p ? bytes_detail::load_u32_be(p) : 0;
  }
  // The next n bytes as a view; empty (and the reader failed) when they are
  // not all there.
  Bytes bytes(std::size_t n) {
    const std::uint8_t* p = take(n);
    return p ? Bytes(p, n) : Bytes();
  }
  // Everything from the position to the end.
  Bytes rest() {
    if (!ok_) return Bytes();
    return bytes(data_.size() - offset_);
  }
  void skip(std::size_t n) { (void)take(n); }

  // The position of the next read; after a failure, that of the read that
  // failed.
  std::size_t offset() const { return offset_; }
  std::size_t remaining() const { return ok_ ? data_.size() - offset_ : 0; }
  bool ok() const { return ok_; }
  explicit operator bool() const { return ok_; }

 private:
  const std::uint8_t* take(std::size_t n) {
    if (!ok_ || n > data_.size() - offset_) {
      ok_ = false;
      return nullptr;
    }
    const std::uint8_t* p = data_.data() + offset_;
    offset_ += n;
    return p;
  }

  Bytes data_;
  std::size_t offset_;
  bool ok_;
};

// Names and other raw byte strings are held in std::string: hashable,
// comparable byte for byte, and never decoded by the library.
inline std::string to_byte_string(Bytes b) {
  return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}
// The bytes as characters, for text routines that take std::string_view.
inline std::string_view as_chars(Bytes b) { return std::string_view(reinterpret_cast<const char*>(b.data()), b.size()); }
inline void append_bytes(std::string& out, Bytes b) { out.append(reinterpret_cast<const char*>(b.data()), b.size()); }
inline Bytes as_bytes(std::string_view s) {
  return Bytes(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

}  // namespace pellumo
