#include "catalog/parser.h"

#include <algorithm>
#include <string>
#include <optional>

#include "catalog/column_default.h"
#include "page/branch.h"
#include "page/leaf.h"
#include "page/tag.h"
#include "record/layout.h"
#include "tree/tree_walker.h"

namespace pellumo {
namespace {

constexpr std::size_t kCommonFieldsSize = 14;
constexpr std::size_t kTableRecordSize = 22;
constexpr std::size_t kColumnRecordSize = 30;

// The record's name: the first variable column. A record whose last
// variable column id is below 128 has no name column and is refused, as is
// one whose name is NULL or runs past the record.
Result<std::string> read_name(Bytes data) {
  const RecordView record(data);
  if (record.last_variable() < kFirstVariableColumn) return EseError::invalid_catalog_entry();
  const std::optional<Bytes> name = record.variable_value(0);
  if (!name) return EseError::invalid_catalog_entry();
  return to_byte_string(*name);
}

// Reads the catalog records of every leaf of the tree rooted at `root`.
// Pages are checked as in every tree walk; a refused page is skipped.
Result<void> walk_catalog(const PageLoader& load, std::uint32_t format_version, std::uint32_t format_revision,
                          std::uint32_t page_size, std::uint32_t root, std::optional<std::uint32_t> object_id,
                          TableMap& tables, ObjectNameMap& object_names, std::vector<PendingEntry>& pending,
                          ReadDamage* damage = nullptr) {
  const TreeSource source{load, format_version, format_revision, page_size};
  TreeWalker::Options options;
  options.kind = TreeKind::Table;
  options.object_id = object_id;
  if (damage != nullptr) {
    options.on_refused = [damage](const RefusedPage& r) { damage->refuse(r.page, r.reason); };
    options.on_bad_entry = [damage](std::uint32_t, std::uint16_t) { ++damage->entries_skipped; };
  }
  PELLUMO_TRY(TreeWalker walker, TreeWalker::open(source, root, std::move(options)));
  ByteVector scratch;
  while (auto leaf = walker.next_leaf()) {
    const Page& page = leaf->page;
    if (!page.is_table_leaf()) continue;
    const TagExtractor tags(page, format_version, format_revision, page_size);
    const std::uint16_t count = tags.tag_count();
    const std::uint16_t first_entry = page.first_entry_tag();
    // An entry tag that cannot be read is skipped, never fatal, and counted
    // as a table cursor counts it: what it held is missing from the maps.
    // Tag 0 below the first entry tag is the page's own header: not counted.
    auto skipped = [&](std::uint16_t i) {
      if (damage != nullptr && i >= first_entry) ++damage->entries_skipped;
    };
    for (std::uint16_t i = 0; i < count; ++i) {
      if (i != 0 && i < first_entry) continue;  // reserved tags hold no entries
      auto tag = tags.read_entry_tag(i, scratch);
      if (!tag || tag->data.empty()) {
        skipped(i);
        continue;
      }
      if (tag->flags & kTagFlagDeleted) continue;
      auto entry = LeafEntryView::parse(tag->flags, tag->data);
      if (!entry) {
        skipped(i);
        continue;
      }
      auto processed = CatalogParser::process_catalog_entry(entry->data, tables, object_names, pending);
      if (!processed) {
        if (page_size <= 8192) return std::move(processed).error();
        skipped(i);  // larger pages: the record is passed over
      }
    }
  }
  return Ok{};
}

}  // namespace

Result<void> CatalogParser::process_catalog_entry(Bytes data, TableMap& tables, ObjectNameMap& object_names,
                                                  std::vector<PendingEntry>& pending) {
  if (data.size() < kRecordHeaderSize) return Ok{};
  if (data.size() < kCommonFieldsSize) return EseError::invalid_catalog_entry();
  // The fixed columns in order: the owning table's object id at 4, the
  // type at 8, the object's own id at 10, then the type's fields from 14.
  ByteReader r(data, kRecordHeaderSize);
  CatalogDataDefinitionEntry entry;
  entry.table_object_id = r.u32_le();
  const std::uint16_t type = r.u16_le();
  entry.identifier = r.u32_le();
  // Types the reader has no use for (0, the obsolete streaming-file types 6
  // and 7, anything newer) are passed over on every page size.
  if (type < 1 || type > 5) return Ok{};

  entry.catalog_type = type;
  switch (static_cast<CatalogType>(type)) {
    case CatalogType::Table:
    case CatalogType::LongValue: {
      if (data.size() < kTableRecordSize) return EseError::invalid_catalog_entry();
      const std::uint32_t root = r.u32_le();
      const std::uint32_t space = r.u32_le();
      if (type == 1) {
        entry.details = TableDetails{root, space};
      } else {
        entry.details = LongValueDetails{root, space};
      }
      break;
    }
    case CatalogType::Column: {
      if (data.size() < kColumnRecordSize) return EseError::invalid_catalog_entry();
      const std::uint32_t column_type = r.u32_le();
      if (column_type > kMaxColumnType) return EseError::unsupported_column_type(column_type);
      const std::uint32_t space = r.u32_le();
      const std::uint32_t flags = r.u32_le();
      const std::uint32_t codepage = r.u32_le();
      entry.details = ColumnDetails{space, flags, codepage, column_type, read_column_default(data)};
      break;
    }
    case CatalogType::Index: {
      if (data.size() < kColumnRecordSize) return EseError::invalid_catalog_entry();
      const std::uint32_t root = r.u32_le();
      const std::uint32_t space = r.u32_le();
      const std::uint32_t flags = r.u32_le();
      const std::uint32_t locale = r.u32_le();
      entry.details = IndexDetails{root, space, flags, locale};
      break;
    }
    case CatalogType::Callback:
      return EseError::callback_catalog_type();
  }
  PELLUMO_TRY(std::string name, read_name(data));

  if (const auto* table = std::get_if<TableDetails>(&entry.details)) {
    object_names.insert_or_assign(entry.identifier, name);
    tables.insert_or_assign(name, TableInfo::make(name, table->root_page, table->space_usage));
  } else {
    const std::uint32_t owner = entry.table_object_id;
    pending.push_back(PendingEntry{owner, std::move(name), std::move(entry)});
  }
  return Ok{};
}

Result<void> CatalogParser::parse_catalog_page(const PageLoader& load, std::uint32_t format_version,
                                               std::uint32_t format_revision, std::uint32_t page_size,
                                               std::uint32_t page_number, TableMap& tables,
                                               ObjectNameMap& object_names, std::vector<PendingEntry>& pending) {
  return walk_catalog(load, format_version, format_revision, page_size, page_number, std::nullopt, tables,
                      object_names, pending);
}

void CatalogParser::attach_pending(std::vector<PendingEntry>& pending, TableMap& tables,
                                   const ObjectNameMap& object_names) {
  for (PendingEntry& p : pending) {
    const std::string* table_name = object_names.find(p.table_object_id);
    if (!table_name) continue;  // no table record registered this object id
    TableInfo* table = tables.find(*table_name);
    if (!table) continue;
    const auto& details = p.entry.details;
    if (const auto* c = std::get_if<ColumnDetails>(&details)) {
      ColumnInfo info;
      info.name = p.name;
      info.codepage = c->codepage;
      info.column_type = static_cast<ColumnType>(c->column_type);
      info.id = p.entry.identifier;
      info.space_usage = c->space_usage;
      info.flags = c->flags;
      info.default_value = c->default_value;
      table->columns.insert_or_assign(std::move(p.name), std::move(info));
    } else if (const auto* x = std::get_if<IndexDetails>(&details)) {
      table->indexes.insert_or_assign(p.name, IndexInfo{p.name, x->root_page, x->space_usage, x->flags, x->locale});
    } else if (const auto* l = std::get_if<LongValueDetails>(&details)) {
      table->long_values.insert_or_assign(p.name, LongValueInfo{p.name, l->root_page, l->space_usage});
    }
  }
}

Result<TableMap> CatalogParser::parse_catalog(const PageLoader& load, std::uint32_t format_version,
                                              std::uint32_t format_revision, std::uint32_t page_size,
                                              ReadDamage* damage) {
  // The walk insists that page 4 belongs to the catalog: a temporary
  // database, for one, has none, and its page 4 would otherwise be read as
  // catalog records. It is refused as a corrupt structure instead.
  TableMap tables;
  ObjectNameMap object_names;
  std::vector<PendingEntry> pending;
  PELLUMO_CHECK(walk_catalog(load, format_version, format_revision, page_size, kCatalogRootPage, kCatalogObjectId,
                             tables, object_names, pending, damage));
  attach_pending(pending, tables, object_names);
  return tables;
}

const char* column_type_name(ColumnType type) {
  static const char* const kNames[] = {"NULL",          "Boolean",        "Unsigned byte", "Signed short",
                                       "Signed long",   "Currency",       "Single precision FP",
                                       "Double precision FP", "DateTime", "Binary",        "Text",
                                       "Long Binary",   "Long Text",      "Obsolete",      "Unsigned long",
                                       "Long long",     "GUID",           "Unsigned short", "Max"};
  const auto code = static_cast<std::uint32_t>(type);
  return code <= kMaxColumnType ? kNames[code] : "Unknown";
}

}  // namespace pellumo
