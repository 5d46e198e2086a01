// JSON Lines export: every record of a table as one JSON object per line,
// streamed from the table cursor to the file one record at a time.
//
// Errors carry the exact texts the Python methods raise. A table that cannot
// be opened fails with the cursor's own error (TableNotFound, a bad page...);
// a record that cannot be read with the cursor's error too, its message led
// by "Error reading record: " (its kind kept); every other failure is an Io
// error made with EseError::io_text, whose io_description() is the whole
// text ("Failed to create output file: ...", "Write error: ...", "Failed to
// create output directory: ...", "Invalid UTF-8 in output path", "Unsafe
// table name for export: ...").
#pragma once

#include <cstdint>
#include <optional>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "cursor/engine_record.h"
#include "cursor/table_cursor.h"
#include "error/ese_error.h"
#include "export/json_line.h"

namespace pellumo {

class Database;

// Writes the table called `table_name` (raw bytes, compared exactly) to
// `output_path`, created or truncated with permission bits 0666 before the
// umask. The cursor is opened first, so a table that cannot be opened leaves
// nothing on disk. A failure part-way leaves the lines written before it in
// the file; the file is closed on every path and never removed.
//
// `interrupted`, when given, is asked every few thousand records; once it
// returns true the export ends with "Interrupted", the file closed.
// `damage`, when given, receives what the reading could not read (also
// when the export fails part-way: what was met until then).
Result<void> export_table_jsonl(const Database& db, const std::string& table_name, const std::string& output_path,
                                const std::function<bool()>& interrupted = {}, ReadDamage* damage = nullptr);

// Writes the records of `cursor` from where it stands to `out`, one line
// each, stopping after `limit` records when one is given; returns the count
// written. `append_line(buffer, record)` appends the line of one record.
// `out` is a buffered writer: append(fill), where fill(std::string&)
// appends bytes to its buffer, and flush(), both returning Result<void>
// (JsonlFile is one). A record that cannot be read ends the writing with
// "Error reading record: ..." once the lines before it are flushed; a
// failure to flush them is secondary to that error. The final flush is the
// caller's.
//
// `interrupted`, when given, is asked every few thousand records; once it
// returns true the writing ends with "Interrupted", nothing more written.
template <class Output, class AppendLine>
Result<std::uint64_t> write_lines_jsonl(TableCursor& cursor, Output& out, std::optional<std::uint64_t> limit,
                                        const std::function<bool()>& interrupted, AppendLine&& append_line) {
  std::uint64_t written = 0;
  while (!limit || written < *limit) {
    // Nothing more is written once interrupted: the caller reports it.
    if (interrupted && written % 4096 == 4095 && interrupted()) return EseError::io_text("Interrupted");
    Result<bool> more = cursor.advance();
    if (!more) {
      Result<void> flushed = out.flush();
      (void)flushed;
      return std::move(more).error().with_context(std::string(kErrorReadingRecord));
    }
    if (!more.value()) break;
    const Record& row = cursor.current();
    PELLUMO_CHECK(out.append([&](std::string& buffer) { append_line(buffer, row); }));
    ++written;
  }
  return written;
}

// The records with their stored values (write_lines_jsonl).
template <class Output>
Result<std::uint64_t> write_records_jsonl(TableCursor& cursor, Output& out, std::optional<std::uint64_t> limit,
                                          const std::function<bool()>& interrupted = {}) {
  // One writer for the whole table: the member layout (sorted, decoded,
  // escaped names) is built from the first record and reused.
  JsonLineWriter lines;
  return write_lines_jsonl(cursor, out, limit, interrupted,
                           [&](std::string& buffer, const Record& row) { lines.append_record(buffer, row); });
}

// The records with the values the database engine returns
// (types/engine_value.h), written by json::append_engine_value; the cursor
// is set to pass over records flagged deleted, as the engine does. Columns
// a record does not hold take their defaults.
template <class Output>
Result<std::uint64_t> write_engine_records_jsonl(TableCursor& cursor, Output& out,
                                                 std::optional<std::uint64_t> limit,
                                                 const std::function<bool()>& interrupted = {}) {
  cursor.set_skip_deleted(true);
  EngineRecordBuilder builder(cursor.shared_layout());
  const RecordLayout& layout = cursor.layout();
  std::vector<EngineValue> values;
  auto fetch = [&cursor](Bytes reference, std::string& bytes) { return cursor.fetch_long_value(reference, bytes); };
  const LongValueFetch fetch_long_value(fetch);
  JsonLineWriter lines;
  return write_lines_jsonl(cursor, out, limit, interrupted, [&](std::string& buffer, const Record& row) {
    builder.build(row, fetch_long_value, values);
    lines.append_members(
        buffer, values.size(), [&](std::size_t i) { return std::string_view(layout.name(i)); },
        [&](std::string& o, std::size_t i) { json::append_engine_value(o, values[i]); });
  });
}

// Creates `output_dir` and its missing parents (0777 before the umask), then
// exports every table in catalog order to `<output_dir>/<name>.jsonl`, the
// name decoded as UTF-8 with U+FFFD for invalid bytes; that decoded name is
// also the one looked up, so a table whose stored name is not valid UTF-8
// fails with TableNotFound. The first failure ends the export: files already
// written stay, later tables are not written. A table whose file would land
// outside `output_dir` (see is_safe_export_name) is refused before anything
// is written for it. An empty `output_dir` creates nothing and writes into
// the working directory.
//
// `on_table`, when given, is told of each table written: its name as
// looked up, and what its reading could not read.
using TableDamageHandler = std::function<void(const std::string& name, const ReadDamage& damage)>;
Result<void> export_all_jsonl(const Database& db, const std::string& output_dir,
                              const std::function<bool()>& interrupted = {}, const TableDamageHandler& on_table = {});

// mkdir -p: each missing directory with bits 0777 before the umask; a
// component that already exists as a directory is accepted. Empty: nothing.
// A file already in the place of `dir` fails as "File exists".
Result<void> create_output_directory(const std::string& dir);

// POSIX joining: "/" goes between the two unless `dir` is empty or already
// ends in "/"; a `file_name` starting with "/" replaces `dir`.
std::string join_output_path(std::string_view dir, std::string_view file_name);

// Whether the file `<table_name>.jsonl` joined to a directory stays inside
// it, judged on the text alone: not when it is absolute, and not when any of
// its "/"-separated components is "..". A name such as "a/../b" would stay
// inside lexically, but only if "a" is a real directory and not a link, so
// every ".." is refused. Other names with "/" ("sub/x") are accepted: their
// files go into existing subdirectories of the output directory.
bool is_safe_export_name(std::string_view table_name);

}  // namespace pellumo
