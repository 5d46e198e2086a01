#include "database/export.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <vector>

#include "cursor/table_cursor.h"
#include "database/database.h"
#include "utils/json_writer.h"

namespace pellumo {
namespace {

constexpr std::string_view kJsonlSuffix = ".jsonl";

EseError directory_error(int errno_value) {
  return EseError::io_text("Failed to create output directory: " + EseError::io(errno_value).io_description());
}

bool is_directory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The directory that holds `path` ("a/b/" -> "a", "/a" -> "/", "a" -> "").
std::string parent_of(std::string_view path) {
  std::size_t end = path.size();
  while (end > 0 && path[end - 1] == '/') --end;
  const std::size_t slash = path.substr(0, end).rfind('/');
  if (slash == std::string_view::npos) return {};
  std::size_t parent_end = slash;
  while (parent_end > 0 && path[parent_end - 1] == '/') --parent_end;
  if (parent_end == 0) return "/";
  return std::string(path.substr(0, parent_end));
}

// 0, or the errno of the first directory that could not be made. Walks up
// while a parent is missing, then back down; each step is a strictly shorter
// path, so the walk ends.
int make_directories(const std::string& path) {
  if (is_directory(path)) return 0;
  std::vector<std::string> pending{path};
  while (!pending.empty()) {
    const std::string& dir = pending.back();
    if (::mkdir(dir.c_str(), 0777) == 0) {
      pending.pop_back();
      continue;
    }
    const int err = errno;
    if (err == ENOENT) {
      std::string parent = parent_of(dir);
      if (!parent.empty() && parent.size() < dir.size()) {
        pending.push_back(std::move(parent));
        continue;
      }
    }
    // Already there (made by someone else meanwhile, or "/"): accepted if it
    // is a directory.
    if (is_directory(dir)) {
      pending.pop_back();
      continue;
    }
    return err;
  }
  return 0;
}

}  // namespace

Result<void> export_table_jsonl(const Database& db, const std::string& table_name, const std::string& output_path,
                                const std::function<bool()>& interrupted) {
  // The cursor comes first: a table that cannot be opened creates no file.
  PELLUMO_TRY(TableCursor cursor, db.open_table(table_name));
  PELLUMO_TRY(JsonlFile file, JsonlFile::create(output_path));
  // One writer for the whole table: the member layout (sorted, decoded,
  // escaped names) is built from the first record and reused.
  JsonLineWriter lines;
  for (std::size_t n = 1;; ++n) {
    if (interrupted && n % 4096 == 0 && interrupted()) {
      Result<void> closed = file.close();
      (void)closed;
      return EseError::io_text("Interrupted");
    }
    Result<bool> more = cursor.advance();
    if (!more) {
      // The lines serialised so far reach the file before the error is
      // reported; a failure to write them is secondary to the read error.
      Result<void> closed = file.close();
      (void)closed;
      return EseError::io_text("Error reading record: " + more.error().message());
    }
    if (!more.value()) break;
    const Record& row = cursor.current();
    PELLUMO_CHECK(file.append([&](std::string& buffer) { lines.append_record(buffer, row); }));
  }
  return file.close();
}

Result<void> create_output_directory(const std::string& dir) {
  if (dir.empty()) return Ok{};
  // The system cannot be handed a name with a NUL byte at all.
  if (dir.find('\0') != std::string::npos) return directory_error(EINVAL);
  const int err = make_directories(dir);
  if (err != 0) return directory_error(err);
  return Ok{};
}

std::string join_output_path(std::string_view dir, std::string_view file_name) {
  if (!file_name.empty() && file_name.front() == '/') return std::string(file_name);
  std::string path(dir);
  if (!path.empty() && path.back() != '/') path.push_back('/');
  path.append(file_name);
  return path;
}

bool is_safe_export_name(std::string_view table_name) {
  if (!table_name.empty() && table_name.front() == '/') return false;
  // The last component gets ".jsonl" appended and so is never "..": only
  // the components before the last "/" can climb.
  std::size_t begin = 0;
  while (true) {
    const std::size_t slash = table_name.find('/', begin);
    if (slash == std::string_view::npos) return true;
    if (table_name.substr(begin, slash - begin) == "..") return false;
    begin = slash + 1;
  }
}

Result<void> export_all_jsonl(const Database& db, const std::string& output_dir,
                              const std::function<bool()>& interrupted) {
  PELLUMO_CHECK(create_output_directory(output_dir));
  std::string name;
  std::string file_name;
  for (const auto& [raw_name, table] : db.tables()) {
    // The name as Python sees it; the lookup below uses those bytes too.
    name.clear();
    json::append_utf8_lossy(name, raw_name);
    file_name.assign(name).append(kJsonlSuffix);
    const std::string path = join_output_path(output_dir, file_name);
    if (!json::is_valid_utf8(path)) return EseError::io_text("Invalid UTF-8 in output path");
    // Names come from the file, which may be hostile: a name that would put
    // its file outside output_dir is refused before anything is written.
    if (!is_safe_export_name(name)) return EseError::io_text("Unsafe table name for export: " + name);
    PELLUMO_CHECK(export_table_jsonl(db, name, path, interrupted));
  }
  return Ok{};
}

}  // namespace pellumo
