// Long-value fuzzing: the input is a database file. Every table is read to
// its end through the cursor (which resolves long values through its
// index), and for each table the index must answer a range of ids exactly
// as a scan of the tree from its leftmost leaf does.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "../cpp/cursor/long_value_reference.h"
#include "cursor/long_value.h"
#include "cursor/table_cursor.h"
#include "database/database.h"
#include "open_memory.h"

namespace {

void check_index(const pellumo::Database& db, const pellumo::TableInfo& table) {
  const pellumo::LongValueIndex index = pellumo::LongValueIndex::build(db, table);
  std::string got;
  for (std::uint64_t lid = 0; lid < 24; ++lid) {
    for (int width : {4, 8, 3}) {
      std::uint8_t ref[8];
      for (int i = 0; i < 8; ++i) ref[i] = static_cast<std::uint8_t>(lid >> (8 * i));
      if (width == 8) ref[7] |= 0x80;
      const pellumo::Bytes reference(ref, static_cast<std::size_t>(width));
      const auto expected = pellumo::long_value_reference::fetch_by_scan(db, table, reference);
      const bool ok = index.fetch(reference, got);
      if (ok != expected.has_value() || (ok && got != *expected)) std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto db = pellumo::fuzz::open_memory(data, size);
  if (!db) return 0;
  const pellumo::Database& d = **db;
  for (const auto& [name, table] : d.tables()) {
    if (!table.long_values.empty()) check_index(d, table);
    auto cursor = d.open_table(name);
    if (!cursor) continue;
    // Every chain ends; the bound only keeps one input's run short.
    for (int n = 0; n < 100000; ++n) {
      auto more = cursor->advance();
      if (!more || !*more) break;
    }
  }
  return 0;
}
