// Recovery fuzzing: the input is a database file. Every table is recovered
// from every source; each record must lie inside the file and no bytes may
// come back twice.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <unordered_set>

#include "database/database.h"
#include "open_memory.h"
#include "recovery/recover.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto db = pellumo::fuzz::open_memory(data, size);
  if (!db) return 0;
  const pellumo::Database& d = **db;
  for (const auto& [name, table] : d.tables()) {
    auto scanner = pellumo::RecoveryScanner::open(d, name);
    if (!scanner) continue;
    std::unordered_set<std::uint64_t> offsets;
    // Every scan ends; the bound only keeps one input's run short.
    for (int n = 0; n < 100000 && (*scanner)->advance(); ++n) {
      const pellumo::RecoveredRecord& r = (*scanner)->current();
      if (r.offset + r.size > size || r.size < 4) std::abort();
      if (!offsets.insert(r.offset).second) std::abort();
      if ((*scanner)->record().size() != (*scanner)->layout().size()) std::abort();
    }
  }
  return 0;
}
