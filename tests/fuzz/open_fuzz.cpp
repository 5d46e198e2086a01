// Whole-file fuzzing: the input is a database file. It is opened through
// the ordinary path (a memfd stands in for the file), then every page is
// read and every tag of every page is extracted and decoded as an entry.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "catalog/table_info.h"
#include "database/database.h"
#include "open_memory.h"
#include "page/branch.h"
#include "page/leaf.h"
#include "page/tag.h"

namespace {

void read_all_tags(const pellumo::Database& db, const pellumo::Page& page) {
  pellumo::TagExtractor tags(page, db.format_version(), db.format_revision(), db.page_size());
  pellumo::ByteVector scratch;
  for (std::uint32_t i = 0; i <= tags.tag_count(); ++i) {
    const auto index = static_cast<std::uint16_t>(i);
    auto stored = tags.extract_tag(index);
    auto entry = tags.read_entry_tag(index, scratch);
    if (!entry) continue;
    auto leaf = pellumo::LeafEntry::parse(entry->flags, entry->data);
    auto branch = pellumo::BranchEntry::parse(entry->flags, entry->data);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto db = pellumo::fuzz::open_memory(data, size);
  if (!db) {
    (void)db.error().message();
    return 0;
  }
  const pellumo::Database& d = **db;
  for (const auto& [name, table] : d.tables()) {
    for (const auto& [column_name, column] : table.columns) (void)pellumo::column_type_name(column.column_type);
  }
  // Page 0 and the first page past the end are read too: both must answer.
  const std::uint32_t last = std::min<std::uint32_t>(d.total_pages(), 1u << 20);
  for (std::uint32_t n = 0; n <= last + 1; ++n) {
    auto page = d.read_page(n);
    if (!page) continue;
    read_all_tags(d, *page);
  }
  return 0;
}
