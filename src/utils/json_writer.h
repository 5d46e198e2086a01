// The JSON text of the JSON Lines export, written byte for byte by hand:
// no general JSON library promises these exact bytes (float layout, escapes,
// hex buffers, GUID text, member order).
//
// Three layers:
//   - value appenders (namespace json) that append one JSON value to a
//     caller-owned std::string; with a reused string they allocate nothing
//     once its capacity has grown;
//   - JsonLineWriter, which turns one record — a sequence of (column-name
//     bytes, value) members — into one line: members sorted by the decoded
//     name's bytes, a repeated decoded name keeping the later value;
//   - JsonlFile, a bounded buffered writer over a POSIX descriptor whose
//     errors carry the exact texts the export raises.
//
// An export drives them like this, one record at a time, serialising each
// line straight into the file's buffer:
//
//   PELLUMO_TRY(JsonlFile file, JsonlFile::create(path));
//   JsonLineWriter lines;
//   for each record r from the cursor:
//     PELLUMO_CHECK(file.append([&](std::string& buf) { lines.append_record(buf, r); }));
//   PELLUMO_CHECK(file.close());
//
// A failure part-way just returns: the file's destructor writes out the lines
// already buffered and closes the descriptor.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error/ese_error.h"
#include "types/column_value.h"

namespace pellumo {
namespace json {

// Longest text format_double writes: sign, 17 digits, "0.0000" or an
// exponent part, with room to spare.
inline constexpr std::size_t kMaxDoubleChars = 32;
inline constexpr std::size_t kGuidChars = 36;

// Writes the JSON number for `value` into out[0, kMaxDoubleChars) and returns
// its length. Finite values use the shortest digits that read back to the same
// double: no exponent for a leading-digit exponent E in [-5, 15] ("1.0",
// "0.00001", "1000000000000000.0", "12.5"), otherwise "1e+16", "1.5e-7".
// Zero is "0.0", negative zero "-0.0"; NaN and infinities are "0".
std::size_t format_double(double value, char* out);

// The 36-character lower-case GUID text of 16 stored bytes: bytes 3,2,1,0 -
// 5,4 - 7,6 - 8,9 - 10..15. Writes exactly kGuidChars bytes to out.
void format_guid(std::span<const std::uint8_t, 16> guid, char* out);

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

// The quoted GUID text (see format_guid).
void append_guid_string(std::string& out, std::span<const std::uint8_t, 16> guid);

// Appends `bytes` decoded as UTF-8 with each maximal invalid subsequence
// replaced by U+FFFD (EF BF BD), as the Unicode Standard recommends; the
// result is what Python's bytes.decode("utf-8", "replace") gives. No escaping.
void append_utf8_lossy(std::string& out, std::string_view bytes);

bool is_valid_utf8(std::string_view bytes);

// One column value as JSON: Null -> null, Boolean -> true/false, the signed
// integers with their sign, the unsigned ones and DateTime/Currency as
// unsigned decimals, floats as above (non-finite -> 0), Guid as its quoted
// text, Text as a string, Binary/MultiValue/LongValue as quoted hex.
void append_column_value(std::string& out, const ColumnValue& value);

}  // namespace json

// Serialises records as JSON Lines.
//
// Every record of one table has the same names in the same order, so the
// member layout (decoded names, sort order, which duplicates survive, and the
// rendered `"name":` text) is computed once and reused for as long as the
// names match; a record with other names rebuilds it. Reusing one writer
// across records therefore costs one name comparison per column, and nothing
// is allocated per record once `out` has grown.
class JsonLineWriter {
 public:
  // Appends one record as `{...}` and a line feed to `out`; an empty record
  // gives "{}\n". `Record` is record-like: size(), name(i) (the raw column-name
  // bytes, convertible to std::string_view) and value(i) (a ColumnValue), in
  // record order — the shape of the record decoder's Record.
  template <class Record>
  void append_record(std::string& out, const Record& record) {
    append_members(
        out, record.size(), [&](std::size_t i) { return std::string_view(record.name(i)); },
        [&](std::string& o, std::size_t i) { json::append_column_value(o, record.value(i)); });
  }

  // The same for any sequence of n members: name_at(i) gives a view of the
  // raw name bytes of member i (the bytes must outlive the call), and
  // append_value_at(out, i) appends the JSON of its value.
  template <class NameAt, class AppendValueAt>
  void append_members(std::string& out, std::size_t n, NameAt&& name_at, AppendValueAt&& append_value_at) {
    if (!layout_matches(n, name_at)) {
      names_scratch_.clear();
      for (std::size_t i = 0; i < n; ++i) names_scratch_.emplace_back(name_at(i));
      build_layout(names_scratch_);
      names_scratch_.clear();
    }
    if (members_.empty()) {
      out.append("{}\n", 3);
      return;
    }
    for (const Member& m : members_) {
      out.append(prefixes_.data() + m.prefix_offset, m.prefix_size);
      append_value_at(out, m.record_index);
    }
    out.append("}\n", 2);
  }

  // The record positions written, in output order (for tests and callers that
  // want the layout itself). Valid after append_record or prepare.
  std::vector<std::size_t> member_order() const;

  // Builds the layout for a record whose names are `names`, in record order.
  void prepare(std::span<const std::string_view> names);

 private:
  struct Member {
    std::size_t record_index;
    std::size_t prefix_offset;  // into prefixes_: `{"name":` or `,"name":`
    std::size_t prefix_size;
  };

  template <class NameAt>
  bool layout_matches(std::size_t n, NameAt&& name_at) const {
    if (!has_layout_ || n != raw_name_ends_.size()) return false;
    std::size_t begin = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const std::string_view name = name_at(i);
      const std::size_t end = raw_name_ends_[i];
      if (name != std::string_view(raw_names_).substr(begin, end - begin)) return false;
      begin = end;
    }
    return true;
  }

  void build_layout(std::span<const std::string_view> names);

  bool has_layout_ = false;
  std::string raw_names_;                   // the names of the cached layout, concatenated
  std::vector<std::size_t> raw_name_ends_;  // end offset of each name in raw_names_
  std::string prefixes_;
  std::vector<Member> members_;
  std::vector<std::string_view> names_scratch_;
};

// An output file written through a bounded user-space buffer.
//
// Errors are EseError::io_text values whose text is exactly what the export
// raises as IOError: "Failed to create output file: {}" and "Write error: {}",
// `{}` being the system's text as in "No such file or directory (os error 2)".
// (Read them with io_description(); the Python layer's mapping of Io errors
// raises that text unchanged.)
//
// The destructor writes out whatever is still buffered (ignoring failures —
// call close() to see them) and closes the descriptor, so every exit path
// leaves the file holding every complete line handed to it, unless a write
// failed. After a failed write nothing more is written.
class JsonlFile {
 public:
  // Once the buffer holds this many bytes it is written out.
  static constexpr std::size_t kBufferSize = 64 * 1024;

  // Creates or truncates `path` for writing, permission bits 0666 before the
  // umask.
  static Result<JsonlFile> create(const std::string& path);

  JsonlFile(JsonlFile&& other) noexcept;
  JsonlFile& operator=(JsonlFile&& other) noexcept;
  JsonlFile(const JsonlFile&) = delete;
  JsonlFile& operator=(const JsonlFile&) = delete;
  ~JsonlFile();

  // Appends bytes; writes the buffer out once it reaches kBufferSize.
  Result<void> write(std::string_view bytes);

  // Lets `fill(std::string&)` append straight into the buffer (saving a copy
  // of each line), then writes the buffer out once it reaches kBufferSize.
  template <class Fill>
  Result<void> append(Fill&& fill) {
    if (failed_) return failed_error();
    fill(buffer_);
    if (buffer_.size() >= kBufferSize) return flush();
    return Ok{};
  }

  // Writes out everything buffered.
  Result<void> flush();

  // Flushes and closes the descriptor, returning the first failure (an
  // earlier failed write included). A second call does nothing.
  Result<void> close();

  bool is_open() const { return fd_ >= 0; }

 private:
  explicit JsonlFile(int fd);
  static EseError write_error(int errno_value);
  EseError failed_error() const { return write_error(failed_errno_); }
  Result<void> write_all(const char* data, std::size_t size);
  void release();

  int fd_ = -1;
  bool failed_ = false;
  int failed_errno_ = 0;
  std::string buffer_;
};

}  // namespace pellumo
