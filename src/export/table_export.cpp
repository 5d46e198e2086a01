#include "export/table_export.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "database/database.h"
#include "export/json_line.h"
#include "export/jsonl_file.h"
#include "utils/utf8.h"

namespace pellumo {
namespace {

constexpr std::string_view kJsonlSuffix = ".jsonl";

EseError directory_error(int errno_value) {
  return EseError::io_text("Failed to create output directory: " + EseError::io(errno_value).io_description());
}

}  // namespace

Result<void> export_table_jsonl(const Database& db, const std::string& table_name, const std::string& output_path,
                                const std::function<bool()>& interrupted, ReadDamage* damage) {
  // The cursor comes first: a table that cannot be opened creates no file.
  PELLUMO_TRY(TableCursor cursor, db.open_table(table_name));
  PELLUMO_TRY(JsonlFile file, JsonlFile::create(output_path));
  auto written = write_records_jsonl(cursor, file, std::nullopt, interrupted);
  if (damage) *damage = cursor.damage();
  if (!written) return std::move(written).error();
  return file.close();
}

Result<void> create_output_directory(const std::string& dir) {
  if (dir.empty()) return Ok{};
  // The system cannot be handed a name with a NUL byte at all.
  if (dir.find('\0') != std::string::npos) return directory_error(EINVAL);
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (!ec) return Ok{};
  // A file in the place of the directory itself is reported as mkdir
  // reports it: the name exists.
  std::error_code probe;
  const auto status = std::filesystem::status(dir, probe);
  if (!probe && std::filesystem::exists(status) && !std::filesystem::is_directory(status)) {
    return directory_error(EEXIST);
  }
  return directory_error(ec.value());
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
                              const std::function<bool()>& interrupted, const TableDamageHandler& on_table) {
  PELLUMO_CHECK(create_output_directory(output_dir));
  std::string name;
  std::string file_name;
  for (const auto& [raw_name, table] : db.tables()) {
    if (interrupted && interrupted()) return EseError::io_text("Interrupted");
    // The name as Python sees it; the lookup below uses those bytes too.
    name.clear();
    append_utf8_lossy(name, raw_name);
    file_name.assign(name).append(kJsonlSuffix);
    const std::string path = join_output_path(output_dir, file_name);
    if (!is_valid_utf8(path)) return EseError::io_text("Invalid UTF-8 in output path");
    // Names come from the file, which may be hostile: a name that would put
    // its file outside output_dir is refused before anything is written.
    if (!is_safe_export_name(name)) return EseError::io_text("Unsafe table name for export: " + name);
    ReadDamage damage;
    PELLUMO_CHECK(export_table_jsonl(db, name, path, interrupted, &damage));
    if (on_table) on_table(name, damage);
  }
  return Ok{};
}

}  // namespace pellumo
