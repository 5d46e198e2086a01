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

// Output is written through a pointer, with room for decoded_size_bound()
// of the input; each decoder returns the position after what it wrote.

char* decode_windows1252(Bytes b, char* p) {
  const std::size_t ascii = ascii_prefix(b);
  (void)copy_bytes(b, 0, p, ascii);  // the usual case: all of it
  p += ascii;
  for (std::size_t i = ascii; i < b.size(); ++i) {
    const std::uint8_t c = b[i];
    if (c < 0x80) {
      *p++ = static_cast<char>(c);
    } else {
      p = put_utf8(p, c < 0xA0 ? kWindows1252High[c - 0x80] : c);
    }
  }
  return p;
}

// The Encoding Standard's UTF-16 decoder in replacement mode: an unpaired
// surrogate is one U+FFFD, and so is a dangling byte or lead surrogate at
// the end (together, only one).
char* decode_utf16(Bytes b, bool big_endian, char* p) {
  const std::size_t units = b.size() / 2;
  const int hi = big_endian ? 0 : 1, lo = big_endian ? 1 : 0;
  char16_t lead_surrogate = 0;
  std::size_t k = 0;
  while (k < units) {
    // Runs of ASCII whole: the common text of Windows databases.
    if (!big_endian && lead_surrogate == 0) {
      const Bytes rest = b.subspan(2 * k);
      const std::size_t ascii = narrow_ascii_prefix(rest, p);
      if (ascii != 0) {
        p += ascii;
        k += ascii;
        continue;
      }
    }
    const char16_t unit = static_cast<char16_t>((b[2 * k + hi] << 8) | b[2 * k + lo]);
    ++k;
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
  return p;
}

}  // namespace

bool decode_string_to(Bytes b, std::uint32_t codepage, char* out, std::size_t& written) {
  if (!is_known_codepage(codepage)) return false;
  char* end;
  if (b.size() >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
    end = out + write_utf8_lossy(as_chars(b.subspan(3)), out);
  } else if (b.size() >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
    end = decode_utf16(b.subspan(2), false, out);
  } else if (b.size() >= 2 && b[0] == 0xFE && b[1] == 0xFF) {
    end = decode_utf16(b.subspan(2), true, out);
  } else if (codepage == kCodepageUtf16) {
    end = decode_utf16(b, false, out);
  } else {
    end = decode_windows1252(b, out);
  }
  written = static_cast<std::size_t>(end - out);
  return true;
}

bool decode_string_into(Bytes b, std::uint32_t codepage, std::string& out) {
  if (!is_known_codepage(codepage)) return false;
  // Plain ASCII in a single-byte code page (which no byte-order mark
  // starts: their bytes are all above 0x7F) is its own UTF-8, and needs no
  // room for the worst case.
  if (codepage != kCodepageUtf16 && ascii_prefix(b) == b.size()) {
    out.assign(as_chars(b));
    return true;
  }
  out.resize(decoded_size_bound(b.size()));
  std::size_t written = 0;
  decode_string_to(b, codepage, out.data(), written);
  out.resize(written);
  return true;
}

Result<std::string> decode_string(Bytes bytes, std::uint32_t codepage) {
  std::string out;
  if (!decode_string_into(bytes, codepage, out)) return EseError::unknown_codepage(codepage);
  return out;
}

}  // namespace pellumo
