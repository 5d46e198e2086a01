// An opened ESE database: the read-only mapping of the whole file, the
// header's format numbers and the catalog. Immutable once opened. Its pages
// are read through the PageSource it is; the cursor and the carving request
// are opened on it.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "carve/carve.h"
#include "catalog/table_info.h"
#include "cursor/table_cursor.h"
#include "error/ese_error.h"
#include "page/page.h"
#include "page/page_source.h"
#include "tree/read_damage.h"
#include "tree/tree_walker.h"
#include "utils/bytes.h"

namespace pellumo {

inline constexpr std::uint32_t kDatabaseSignature = 0x89ABCDEF;
inline constexpr std::size_t kMinimumFileSize = 4096;
inline constexpr std::size_t kHeaderCopySize = 660;

class Database : public PageSource {
 public:
  // Maps `path` read-only, checks the header and reads the catalog. The file
  // descriptor is closed before returning; on failure nothing is left behind.
  static Result<std::unique_ptr<Database>> open(const std::string& path);

  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // Carves printable UTF-16LE strings from every readable page in page
  // order, scanning the ranges `scope` selects; min_chars below 2 acts as
  // 2 and max_hits 0 as 1. Damaged pages and tags are skipped: the list
  // found so far is always returned, never an error. `interrupted`, when
  // given, is asked every few thousand pages; true ends the scan there.
  Result<std::vector<CarvedString>> carve_utf16le_strings_scoped(
      CarveScope scope, const std::optional<std::string>& needle, std::size_t min_chars, std::size_t max_hits,
      const std::function<bool()>& interrupted = {}) const;

  // A cursor on the first record of the table called `name` (raw bytes).
  // Fails with TableNotFound, or with the error of the descent to the
  // table's first leaf page.
  Result<TableCursor> open_table(const std::string& name) const;


  const TableMap& tables() const { return tables_; }
  // What reading the catalog could not read: a table listed on a refused
  // catalog page is missing from tables(), and only this says so.
  const ReadDamage& catalog_damage() const { return catalog_damage_; }
  // The header's database state (u32 at offset 52): 1 just created, 2 dirty
  // shutdown, 3 clean shutdown, 4 being converted, 5 force detach.
  std::uint32_t database_state() const;
  const std::array<std::uint8_t, kHeaderCopySize>& header() const { return header_; }
  // How tree walks read this file's pages.
  TreeSource tree_source() const { return make_tree_source(*this); }
  // "new", "dirty", "clean", "being_converted", "force_detach" or "unknown".
  static const char* database_state_name(std::uint32_t state);
  // Whether the shadow copy of the header (the file's second page-size
  // block) holds the same bytes as the header; false when it is missing.
  bool shadow_header_matches() const;
  // Set once a read ran into bytes the file no longer has (it was cut
  // while open): those bytes read as zeros from then on, and the caller
  // must not trust any result it got since.
  bool size_changed() const;

 private:
  Database() = default;

  TableMap tables_;
  ReadDamage catalog_damage_;
  const std::uint8_t* base_ = nullptr;
  std::size_t length_ = 0;         // file length
  std::size_t mapped_length_ = 0;  // at least 1, what munmap is given
  std::array<std::uint8_t, kHeaderCopySize> header_{};
  int guard_slot_ = -1;  // this mapping's place in the truncation guard
};

}  // namespace pellumo
