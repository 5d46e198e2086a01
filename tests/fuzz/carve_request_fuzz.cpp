// A whole carving request over a damaged file: the input is a database
// file, opened through the ordinary path (a memfd stands in for the file),
// then carved in all five scopes. On small files each request is held
// against the step-by-step request and the owners computed once against
// the search per page; any difference aborts.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "../cpp/database/carve_reference.h"
#include "database/carve.h"
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int fd = ::memfd_create("pellumo-carve-fuzz", MFD_CLOEXEC);
  if (fd < 0) return 0;
  const bool written = write_all(fd, data, size);
  auto opened = written ? pellumo::Database::open("/proc/self/fd/" + std::to_string(fd))
                        : pellumo::Result<std::unique_ptr<pellumo::Database>>(pellumo::EseError::invalid_header());
  ::close(fd);
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
