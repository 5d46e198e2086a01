// A whole carving request over a damaged file: the input is a database
// file, opened through the ordinary path (a memfd stands in for the file),
// then carved in all five scopes. On small files each request is held
// against the step-by-step request and the owners computed once against
// the search per page; any difference aborts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "../cpp/database/carve_reference.h"
#include "database/carve.h"
#include "database/database.h"
#include "open_memory.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto opened = pellumo::fuzz::open_memory(data, size);
  if (!opened) return 0;
  const pellumo::Database& db = **opened;
  const bool small = db.total_pages() <= 64;
  const pellumo::CarveScope scopes[] = {pellumo::CarveScope::Slack, pellumo::CarveScope::All,
                                        pellumo::CarveScope::TagData, pellumo::CarveScope::LvAll,
                                        pellumo::CarveScope::LvSlack};
  for (const pellumo::CarveScope scope : scopes) {
    for (const auto& [min_chars, max_hits] : {std::pair<std::size_t, std::size_t>{0, 0}, {4, 50}, {2, 100000}}) {
      auto hits = db.carve_utf16le_strings_scoped(scope, std::nullopt, min_chars, max_hits);
      if (!hits) std::abort();  // the request never fails
      if (small && *hits != pellumo::carve_reference::carve_request(db, scope, std::nullopt, min_chars, max_hits)) {
        std::abort();
      }
    }
  }
  if (small) {
    const auto owners = pellumo::PageOwners::compute(db);
    const auto sparse = pellumo::PageOwners::compute(db, pellumo::PageOwners::Storage::Sparse);
    for (std::uint32_t n = 0; n <= db.total_pages(); ++n) {
      const auto want = pellumo::find_page_owner(db, n);
      if (owners.owner(n) != want || sparse.owner(n) != want) std::abort();
    }
  }
  return 0;
}
