// UTF-8 checking and repair. Text that leaves the library (names, values,
// JSON) is valid UTF-8: bytes that are not become U+FFFD, one per maximal
// invalid subsequence, as the Unicode Standard recommends. The result is
// what Python's bytes.decode("utf-8", "replace") gives.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pellumo {

inline constexpr char kUtf8Replacement[] = "\xEF\xBF\xBD";  // U+FFFD

// At `p[0]` (a byte of 0x80 or above, `avail` >= 1 bytes readable): the
// length (2 to 4) of the well-formed sequence that starts there, or 0 with
// `bad` set to the length (1 to 3) of the maximal subpart found there, which
// one U+FFFD replaces.
std::size_t utf8_sequence(const unsigned char* p, std::size_t avail, std::size_t& bad);

// The first maximal invalid subsequence at or after `from`: its offset and
// length (1 to 3), or {bytes.size(), 0} when the rest is well-formed.
struct Utf8Fault {
  std::size_t offset;
  std::size_t length;
};
Utf8Fault find_utf8_fault(std::string_view bytes, std::size_t from = 0);

inline bool is_valid_utf8(std::string_view bytes) { return find_utf8_fault(bytes).length == 0; }

// Appends `bytes` with each maximal invalid subsequence replaced by U+FFFD.
void append_utf8_lossy(std::string& out, std::string_view bytes);
// The same written at `out`, which has room for 3 * bytes.size() bytes (a
// U+FFFD for every byte at worst); returns the number of bytes written.
std::size_t write_utf8_lossy(std::string_view bytes, char* out);

inline std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  append_utf8_lossy(out, bytes);
  return out;
}

}  // namespace pellumo
