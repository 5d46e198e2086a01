// Reading the catalog tree into table descriptions.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "catalog/entry.h"
#include "catalog/table_info.h"
#include "error/ese_error.h"
#include "page/page.h"
#include "tree/read_damage.h"
#include "tree/tree_walker.h"
#include "utils/bytes.h"

namespace pellumo {

inline constexpr std::uint32_t kCatalogRootPage = 4;
// The catalog's object id: every page of its tree carries it.
inline constexpr std::uint32_t kCatalogObjectId = 2;

class CatalogParser {
 public:
  // Decodes one catalog record. A table is registered at once; everything
  // else is appended to `pending`; a record of a type the reader does not
  // use is passed over. On error nothing has been added.
  static Result<void> process_catalog_entry(Bytes data, TableMap& tables, ObjectNameMap& object_names,
                                            std::vector<PendingEntry>& pending);

  // Reads the records of every leaf of the tree rooted at `page_number`, in
  // key order, with the checks of every tree walk (pages owned by the
  // root's object, a refused page skipped). Records of deleted nodes are
  // skipped. Fails when the root itself is refused or, on pages of 8 KiB or
  // less, on a malformed record.
  static Result<void> parse_catalog_page(const PageLoader& load, std::uint32_t format_version,
                                         std::uint32_t format_revision, std::uint32_t page_size,
                                         std::uint32_t page_number, TableMap& tables, ObjectNameMap& object_names,
                                         std::vector<PendingEntry>& pending);

  // Walks the whole catalog from page 4 (which must belong to object 2) and
  // attaches the pending entries. `damage`, when given, counts the catalog
  // pages the walk refused and the branch entries it could not read: the
  // tables they listed are missing from the map.
  static Result<TableMap> parse_catalog(const PageLoader& load, std::uint32_t format_version,
                                        std::uint32_t format_revision, std::uint32_t page_size,
                                        ReadDamage* damage = nullptr);

  static void attach_pending(std::vector<PendingEntry>& pending, TableMap& tables, const ObjectNameMap& object_names);
};

}  // namespace pellumo
