// Reading the catalog tree into table descriptions.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "catalog/entry.h"
#include "catalog/table_info.h"
#include "error/ese_error.h"
#include "page/page.h"
#include "utils/bytes.h"

namespace pellumo {

// Gives the parsed page N, or InvalidPageNumber / the page parse error.
using PageLoader = std::function<Result<Page>(std::uint32_t)>;

inline constexpr std::uint32_t kCatalogRootPage = 4;

class CatalogParser {
 public:
  // Decodes one catalog record. A table is registered at once; everything
  // else is appended to `pending`. On error nothing has been added.
  static Result<void> process_catalog_entry(Bytes data, TableMap& tables, ObjectNameMap& object_names,
                                            std::vector<PendingEntry>& pending);

  // Walks the subtree rooted at `page_number`, depth first, children in tag
  // order. Ends with a Parse error on a branch that leads back to a page on
  // the current path or on a tree deeper than kMaxCatalogDepth; a page met
  // a second time elsewhere in the tree is not walked again.
  static Result<void> parse_catalog_page(const PageLoader& load, std::uint32_t format_version,
                                         std::uint32_t format_revision, std::uint32_t page_size,
                                         std::uint32_t page_number, TableMap& tables, ObjectNameMap& object_names,
                                         std::vector<PendingEntry>& pending);

  // Walks the whole catalog from page 4 and attaches the pending entries.
  static Result<TableMap> parse_catalog(const PageLoader& load, std::uint32_t format_version,
                                        std::uint32_t format_revision, std::uint32_t page_size);

  static void attach_pending(std::vector<PendingEntry>& pending, TableMap& tables, const ObjectNameMap& object_names);
};

inline constexpr int kMaxCatalogDepth = 64;

}  // namespace pellumo
