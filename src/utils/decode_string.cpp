#include "utils/decode_string.h"

#include <cstring>
#include <string_view>

#include "utils/utf8.h"

namespace pellumo {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// windows-1252 bytes 0x80-0x9F; every other byte is its own code point.
constexpr char16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// Writes the UTF-8 form of `cp` at `p`; returns the position after it.
char* put_utf8(char* p, char32_t cp) {
  if (cp < 0x80) {
    *p++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *p++ = static_cast<char>(0xC0 | (cp >> 6));
    *p++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *p++ = static_cast<char>(0xE0 | (cp >> 12));
    *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *p++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *p++ = static_cast<char>(0xF0 | (cp >> 18));
    *p++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *p++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return p;
}

// Output is written through a pointer into `out`, sized first for the
// longest result the input can give and cut to what was written.
void decode_windows1252(Bytes b, std::string& out) {
  std::size_t ascii = 0;
  while (ascii < b.size() && b[ascii] < 0x80) ++ascii;
  if (ascii == b.size()) {  // the usual case: plain ASCII
    out.assign(as_chars(b));
    return;
  }
  out.resize(3 * b.size());
  char* const start = out.data();
  (void)copy_bytes(b, 0, start, ascii);
  char* p = start + ascii;
  for (std::size_t i = ascii; i < b.size(); ++i) {
    const std::uint8_t c = b[i];
    if (c < 0x80) {
      *p++ = static_cast<char>(c);
    } else {
      p = put_utf8(p, c < 0xA0 ? kWindows1252High[c - 0x80] : c);
    }
  }
  out.resize(static_cast<std::size_t>(p - start));
}

// The Encoding Standard's UTF-16 decoder in replacement mode: an unpaired
// surrogate is one U+FFFD, and so is a dangling byte or lead surrogate at
// the end (together, only one).
void decode_utf16(Bytes b, bool big_endian, std::string& out) {
  const std::size_t units = b.size() / 2;
  // At most 3 bytes per unit (a pair gives 4 for 2 units), plus a final U+FFFD.
  out.resize(3 * units + 3);
  char* const start = out.data();
  char* p = start;
  const int hi = big_endian ? 0 : 1, lo = big_endian ? 1 : 0;
  char16_t lead_surrogate = 0;
  for (std::size_t k = 0; k < units; ++k) {
    const char16_t unit = static_cast<char16_t>((b[2 * k + hi] << 8) | b[2 * k + lo]);
    if (unit < 0x80 && lead_surrogate == 0) {
      *p++ = static_cast<char>(unit);
      continue;
    }
    if (lead_surrogate != 0) {
      const char16_t lead = lead_surrogate;
      lead_surrogate = 0;
      if (unit >= 0xDC00 && unit <= 0xDFFF) {
        p = put_utf8(p, 0x10000 + ((static_cast<char32_t>(lead) - 0xD800) << 10) + (unit - 0xDC00));
        continue;
      }
      // The unit that broke the pair is read again on its own.
      p = put_utf8(p, kReplacement);
    }
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      lead_surrogate = unit;
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      p = put_utf8(p, kReplacement);
    } else {
      p = put_utf8(p, unit);
    }
  }
  if (lead_surrogate != 0 || b.size() % 2 != 0) p = put_utf8(p, kReplacement);
  out.resize(static_cast<std::size_t>(p - start));
}

}  // namespace

bool decode_string_into(Bytes b, std::uint32_t codepage, std::string& out) {
  if (!is_known_codepage(codepage)) return false;
  out.clear();
  if (b.size() >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
    append_utf8_lossy(out, as_chars(b.subspan(3)));
  } else if (b.size() >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
    decode_utf16(b.subspan(2), false, out);
  } else if (b.size() >= 2 && b[0] == 0xFE && b[1] == 0xFF) {
    decode_utf16(b.subspan(2), true, out);
  } else if (codepage == kCodepageUtf16) {
    decode_utf16(b, false, out);
  } else {
    decode_windows1252(b, out);
  }
  return true;
}

Result<std::string> decode_string(Bytes bytes, std::uint32_t codepage) {
  std::string out;
  if (!decode_string_into(bytes, codepage, out)) return EseError::unknown_codepage(codepage);
  return out;
}

}  // namespace pellumo
