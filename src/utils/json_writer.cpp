#include "utils/json_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>
#include <numeric>

namespace pellumo {
namespace json {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

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

// At a byte of 0x80 or above: the length (2 to 4) of the well-formed UTF-8
// sequence that starts there, or 0 with `bad` set to the length (1 to 3) of
// the maximal subpart of a well-formed sequence found there, which one U+FFFD
// replaces.
inline std::size_t utf8_sequence(const unsigned char* p, std::size_t avail, std::size_t& bad) {
  const unsigned char b0 = p[0];
  std::size_t need;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 2;
  } else if (b0 == 0xE0) {
    need = 3;
    lo = 0xA0;  // no overlong forms
  } else if (b0 == 0xED) {
    need = 3;
    hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xE1 && b0 <= 0xEF) {
    need = 3;
  } else if (b0 == 0xF0) {
    need = 4;
    lo = 0x90;  // no overlong forms
  } else if (b0 >= 0xF1 && b0 <= 0xF3) {
    need = 4;
  } else if (b0 == 0xF4) {
    need = 4;
    hi = 0x8F;  // nothing above U+10FFFF
  } else {
    bad = 1;  // a continuation byte, C0, C1 or F5..FF starts nothing
    return 0;
  }
  std::size_t i = 1;
  for (; i < need && i < avail; ++i) {
    const unsigned char c = p[i];
    const bool ok = i == 1 ? (c >= lo && c <= hi) : (c >= 0x80 && c <= 0xBF);
    if (!ok) break;
  }
  if (i == need) return need;
  bad = i;
  return 0;
}

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

void format_guid(std::span<const std::uint8_t, 16> guid, char* out) {
  // Byte order of the text: the first three groups are little-endian fields.
  static constexpr int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  char* o = out;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) *o++ = '-';
    const std::uint8_t b = guid[kOrder[i]];
    *o++ = kHexDigits[b >> 4];
    *o++ = kHexDigits[b & 0xF];
  }
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
      out.append(kReplacement, 3);
      i += bad;
      run = i;
      continue;
    }
    out.append(utf8.data() + run, i - run);
    if (kind == 'u') {
      const char esc[6] = {'\\', 'u', '0', '0', kHexDigits[p[i] >> 4], kHexDigits[p[i] & 0xF]};
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
  for (const std::uint8_t b : bytes) {
    *o++ = kHexDigits[b >> 4];
    *o++ = kHexDigits[b & 0xF];
  }
  *o = '"';
}

void append_guid_string(std::string& out, std::span<const std::uint8_t, 16> guid) {
  char buf[kGuidChars + 2];
  buf[0] = '"';
  format_guid(guid, buf + 1);
  buf[kGuidChars + 1] = '"';
  out.append(buf, sizeof buf);
}

void append_utf8_lossy(std::string& out, std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t run = 0;
  std::size_t i = 0;
  while (i < n) {
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    std::size_t bad = 0;
    const std::size_t len = utf8_sequence(p + i, n - i, bad);
    if (len != 0) {
      i += len;
      continue;
    }
    out.append(bytes.data() + run, i - run);
    out.append(kReplacement, 3);
    i += bad;
    run = i;
  }
  out.append(bytes.data() + run, n - run);
}

bool is_valid_utf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    std::size_t bad = 0;
    const std::size_t len = utf8_sequence(p + i, n - i, bad);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

void append_column_value(std::string& out, const ColumnValue& value) {
  switch (value.kind()) {
    case ValueKind::Null: append_null(out); return;
    case ValueKind::Boolean: append_bool(out, value.as_bool()); return;
    case ValueKind::Int8:
    case ValueKind::Int16:
    case ValueKind::Int32:
    case ValueKind::Int64: append_int(out, value.as_signed()); return;
    case ValueKind::UInt8:
    case ValueKind::UInt16:
    case ValueKind::UInt32:
    case ValueKind::UInt64:
    case ValueKind::DateTime:
    case ValueKind::Currency: append_uint(out, value.as_unsigned()); return;
    case ValueKind::Float32: append_float32(out, value.as_float32()); return;
    case ValueKind::Float64: append_double(out, value.as_float64()); return;
    case ValueKind::Guid: append_guid_string(out, value.as_guid()); return;
    case ValueKind::Text: append_string(out, value.text()); return;
    case ValueKind::Binary:
    case ValueKind::MultiValue:
    case ValueKind::LongValue: append_hex_string(out, value.bytes()); return;
  }
  append_null(out);  // not reached: every kind is handled above
}

}  // namespace json

// ---- JsonLineWriter ----

void JsonLineWriter::prepare(std::span<const std::string_view> names) {
  if (!layout_matches(names.size(), [&](std::size_t i) { return names[i]; })) build_layout(names);
}

void JsonLineWriter::build_layout(std::span<const std::string_view> names) {
  const std::size_t n = names.size();
  raw_names_.clear();
  raw_name_ends_.clear();
  for (const std::string_view name : names) {
    raw_names_.append(name);
    raw_name_ends_.push_back(raw_names_.size());
  }

  // Names are compared after decoding, so two different byte strings that
  // decode to the same text (say, two invalid bytes) are the same member.
  std::vector<std::string> keys(n);
  for (std::size_t i = 0; i < n; ++i) json::append_utf8_lossy(keys[i], names[i]);
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  // std::string compares bytes as unsigned char: byte order of the UTF-8 text.
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });

  members_.clear();
  prefixes_.clear();
  for (std::size_t k = 0; k < n; ++k) {
    // Equal keys sit together in record order: only the last one is written.
    if (k + 1 < n && keys[order[k]] == keys[order[k + 1]]) continue;
    Member m{order[k], prefixes_.size(), 0};
    prefixes_.push_back(members_.empty() ? '{' : ',');
    json::append_string(prefixes_, keys[order[k]]);
    prefixes_.push_back(':');
    m.prefix_size = prefixes_.size() - m.prefix_offset;
    members_.push_back(m);
  }
  has_layout_ = true;
}

std::vector<std::size_t> JsonLineWriter::member_order() const {
  std::vector<std::size_t> out;
  out.reserve(members_.size());
  for (const Member& m : members_) out.push_back(m.record_index);
  return out;
}

// ---- JsonlFile ----

namespace {
// A buffer that grew around one very long line is given back afterwards.
constexpr std::size_t kMaxKeptCapacity = 16 * JsonlFile::kBufferSize;
}  // namespace

JsonlFile::JsonlFile(int fd) : fd_(fd) { buffer_.reserve(kBufferSize); }

JsonlFile::JsonlFile(JsonlFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      failed_(other.failed_),
      failed_errno_(other.failed_errno_),
      buffer_(std::move(other.buffer_)) {
  other.buffer_.clear();
}

JsonlFile& JsonlFile::operator=(JsonlFile&& other) noexcept {
  if (this != &other) {
    release();
    fd_ = std::exchange(other.fd_, -1);
    failed_ = other.failed_;
    failed_errno_ = other.failed_errno_;
    buffer_ = std::move(other.buffer_);
    other.buffer_.clear();
  }
  return *this;
}

JsonlFile::~JsonlFile() { release(); }

void JsonlFile::release() {
  if (fd_ < 0) return;
  if (!failed_ && !buffer_.empty()) (void)write_all(buffer_.data(), buffer_.size());
  buffer_.clear();
  ::close(fd_);  // the descriptor is gone even when close reports EINTR
  fd_ = -1;
}

Result<JsonlFile> JsonlFile::create(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    // The system cannot be handed such a name at all; say what it would say
    // of a malformed argument.
    return EseError::io_text("Failed to create output file: " + EseError::io(EINVAL).io_description());
  }
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return EseError::io_text("Failed to create output file: " + EseError::io(errno).io_description());
  return JsonlFile(fd);
}

EseError JsonlFile::write_error(int errno_value) {
  return EseError::io_text("Write error: " + EseError::io(errno_value).io_description());
}

Result<void> JsonlFile::write_all(const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t w = ::write(fd_, data, std::min<std::size_t>(size, SSIZE_MAX));
    if (w < 0) {
      if (errno == EINTR) continue;
      failed_ = true;
      failed_errno_ = errno;
      return write_error(failed_errno_);
    }
    if (w == 0) {  // no progress and no reason given: do not spin
      failed_ = true;
      failed_errno_ = EIO;
      return write_error(failed_errno_);
    }
    data += w;
    size -= static_cast<std::size_t>(w);
  }
  return Ok{};
}

Result<void> JsonlFile::write(std::string_view bytes) {
  if (failed_) return failed_error();
  if (fd_ < 0) return write_error(EBADF);
  if (buffer_.size() + bytes.size() < kBufferSize) {
    buffer_.append(bytes);
    return Ok{};
  }
  PELLUMO_CHECK(flush());
  if (bytes.size() >= kBufferSize) return write_all(bytes.data(), bytes.size());
  buffer_.append(bytes);
  return Ok{};
}

Result<void> JsonlFile::flush() {
  if (failed_) return failed_error();
  if (fd_ < 0) return write_error(EBADF);
  if (buffer_.empty()) return Ok{};
  Result<void> r = write_all(buffer_.data(), buffer_.size());
  buffer_.clear();  // after a failure the rest is dropped: nothing more is written
  if (buffer_.capacity() > kMaxKeptCapacity) {
    std::string().swap(buffer_);
    buffer_.reserve(kBufferSize);
  }
  return r;
}

Result<void> JsonlFile::close() {
  if (fd_ < 0) return Ok{};
  Result<void> r = flush();
  if (::close(fd_) != 0 && errno != EINTR && r.ok()) r = write_error(errno);
  fd_ = -1;
  buffer_.clear();
  return r;
}

}  // namespace pellumo
