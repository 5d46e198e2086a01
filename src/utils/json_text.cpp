#include "utils/json_text.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

#include "utils/hex.h"
#include "utils/utf8.h"

namespace pellumo::json {
namespace {

// Per byte: 0 copies it, kNonAscii starts a multi-byte check, 'u' writes
// \u00xx, any other letter is written after a backslash.
constexpr char kNonAscii = 1;
constexpr std::array<char, 256> make_escape_table() {
  std::array<char, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = 'u';
  t[0x08] = 'b';
  t[0x09] = 't';
  t[0x0A] = 'n';
  t[0x0C] = 'f';
  t[0x0D] = 'r';
  t['"'] = '"';
  t['\\'] = '\\';
  for (int c = 0x80; c < 0x100; ++c) t[c] = kNonAscii;
  return t;
}
constexpr std::array<char, 256> kEscape = make_escape_table();

inline void append_chars(std::string& out, const char* begin, const char* end) {
  out.append(begin, static_cast<std::size_t>(end - begin));
}

}  // namespace

std::size_t format_double(double value, char* out) {
  if (!std::isfinite(value)) {
    out[0] = '0';
    return 1;
  }
  // Shortest round-trip digits in scientific form: [-]d[.ddd]e(+|-)xx.
  char sci[kMaxDoubleChars];
  const auto res = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
  const char* p = sci;
  const char* const end = res.ptr;

  char* o = out;
  if (*p == '-') {
    *o++ = '-';
    ++p;
  }
  char digits[20];
  std::size_t n = 0;
  digits[n++] = *p++;
  if (*p == '.') {
    ++p;
    while (*p != 'e') digits[n++] = *p++;
  }
  ++p;  // 'e'
  const bool exp_negative = *p == '-';
  ++p;
  int exp = 0;
  while (p != end) exp = exp * 10 + (*p++ - '0');
  if (exp_negative) exp = -exp;

  if (exp >= -5 && exp <= 15) {
    if (exp < 0) {
      *o++ = '0';
      *o++ = '.';
      for (int i = 0; i < -exp - 1; ++i) *o++ = '0';
      std::memcpy(o, digits, n);
      o += n;
    } else {
      const std::size_t int_digits = static_cast<std::size_t>(exp) + 1;
      if (n <= int_digits) {
        std::memcpy(o, digits, n);
        o += n;
        for (std::size_t i = n; i < int_digits; ++i) *o++ = '0';
        *o++ = '.';
        *o++ = '0';
      } else {
        std::memcpy(o, digits, int_digits);
        o += int_digits;
        *o++ = '.';
        std::memcpy(o, digits + int_digits, n - int_digits);
        o += n - int_digits;
      }
    }
  } else {
    *o++ = digits[0];
    if (n > 1) {
      *o++ = '.';
      std::memcpy(o, digits + 1, n - 1);
      o += n - 1;
    }
    *o++ = 'e';
    *o++ = exp < 0 ? '-' : '+';
    o = std::to_chars(o, out + kMaxDoubleChars, exp < 0 ? -exp : exp).ptr;
  }
  return static_cast<std::size_t>(o - out);
}

void append_null(std::string& out) { out.append("null", 4); }

void append_bool(std::string& out, bool value) {
  if (value) {
    out.append("true", 4);
  } else {
    out.append("false", 5);
  }
}

void append_int(std::string& out, std::int64_t value) {
  char buf[24];
  append_chars(out, buf, std::to_chars(buf, buf + sizeof buf, value).ptr);
}

void append_uint(std::string& out, std::uint64_t value) {
  char buf[24];
  append_chars(out, buf, std::to_chars(buf, buf + sizeof buf, value).ptr);
}

void append_double(std::string& out, double value) {
  char buf[kMaxDoubleChars];
  out.append(buf, format_double(value, buf));
}

void append_float32(std::string& out, float value) { append_double(out, static_cast<double>(value)); }

void append_string(std::string& out, std::string_view utf8) {
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  const std::size_t n = utf8.size();
  out.push_back('"');
  std::size_t run = 0;  // start of the bytes still to copy unchanged
  std::size_t i = 0;
  while (i < n) {
    const char kind = kEscape[p[i]];
    if (kind == 0) {
      ++i;
      continue;
    }
    if (kind == kNonAscii) {
      std::size_t bad = 0;
      const std::size_t len = utf8_sequence(p + i, n - i, bad);
      if (len != 0) {
        i += len;
        continue;
      }
      out.append(utf8.data() + run, i - run);
      out.append(kUtf8Replacement, 3);
      i += bad;
      run = i;
      continue;
    }
    out.append(utf8.data() + run, i - run);
    if (kind == 'u') {
      char esc[6] = {'\\', 'u', '0', '0'};
      write_hex_byte(esc + 4, p[i]);
      out.append(esc, 6);
    } else {
      const char esc[2] = {'\\', kind};
      out.append(esc, 2);
    }
    ++i;
    run = i;
  }
  out.append(utf8.data() + run, n - run);
  out.push_back('"');
}

void append_hex_string(std::string& out, std::span<const std::uint8_t> bytes) {
  const std::size_t start = out.size();
  out.resize(start + 2 * bytes.size() + 2);
  char* o = out.data() + start;
  *o++ = '"';
  o = write_hex(o, bytes);
  *o = '"';
}

void append_guid_string(std::string& out, std::span<const std::uint8_t, 16> guid) {
  char buf[kGuidTextSize + 2];
  buf[0] = '"';
  write_guid_text(guid, buf + 1);
  buf[kGuidTextSize + 1] = '"';
  out.append(buf, sizeof buf);
}

}  // namespace pellumo::json
