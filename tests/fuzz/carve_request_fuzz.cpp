// A whole carving request over a damaged file: the input is a database
// file, opened through the ordinary path (a memfd stands in for the file),
// then carved in all five scopes. On small files each request is held
// against the step-by-step request and the owners computed once against
// the search per page; any difference aborts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "../cpp/carve/carve_reference.h"
#include "carve/carve.h"
#include "carve/page_owners.h"
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
    const auto owners = pellumo::PageOwners::compute(db, db.tables());
    pellumo::page_owner_detail::SparseMarks sparse;
    pellumo::page_owner_detail::mark_page_owners(db, db.tables(), sparse);
    for (std::uint32_t n = 0; n <= db.total_pages(); ++n) {
      const auto want = pellumo::carve_reference::find_page_owner(db, n);
      const auto mark = sparse.get(n);
      const auto sparse_owner =
          mark.owner == pellumo::page_owner_detail::kNone ? std::nullopt : std::optional<std::size_t>(mark.owner);
      if (owners.owner(n) != want || sparse_owner != want) std::abort();
    }
  }
  return 0;
}
