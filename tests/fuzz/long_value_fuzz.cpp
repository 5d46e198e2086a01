// Long-value fuzzing: the input is a database file. Every table is read to
// its end through the cursor (which resolves long values through its
// index), and for each table the index must answer a range of ids exactly
// as a scan of the tree from its leftmost leaf does.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "cursor/long_value.h"
#include "cursor/table_cursor.h"
#include "database/database.h"

namespace {

bool write_all(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void check_index(const pellumo::Database& db, const pellumo::TableInfo& table) {
  const pellumo::LongValueIndex index = pellumo::LongValueIndex::build(db, table);
  std::string got;
  for (std::uint64_t lid = 0; lid < 24; ++lid) {
    for (int width : {4, 8, 3}) {
      std::uint8_t ref[8];
      for (int i = 0; i < 8; ++i) ref[i] = static_cast<std::uint8_t>(lid >> (8 * i));
      if (width == 8) ref[7] |= 0x80;
      const pellumo::Bytes reference(ref, static_cast<std::size_t>(width));
      const auto expected = pellumo::fetch_long_value_by_scan(db, table, reference);
      const bool ok = index.fetch(reference, got);
      if (ok != expected.has_value() || (ok && got != *expected)) std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int fd = ::memfd_create("pellumo-long-value-fuzz", MFD_CLOEXEC);
  if (fd < 0) return 0;
  const bool written = write_all(fd, data, size);
  auto db = written ? pellumo::Database::open("/proc/self/fd/" + std::to_string(fd))
                    : pellumo::Result<std::unique_ptr<pellumo::Database>>(pellumo::EseError::invalid_header());
  ::close(fd);
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
