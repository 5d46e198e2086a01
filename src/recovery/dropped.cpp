#include "recovery/dropped.h"

#include <algorithm>
#include <map>
#include <set>
#include <string_view>
#include <unordered_set>

#include "cursor/table_cursor.h"
#include "database/database.h"
#include "recovery/recover.h"
#include "recovery/record_check.h"
#include "tree/checksum.h"
#include "tree/tree_walker.h"

namespace pellumo {
namespace {

// Catalog record types.
constexpr std::int64_t kCatalogTable = 1;
constexpr std::int64_t kCatalogColumn = 2;
constexpr std::int64_t kCatalogIndex = 3;
constexpr std::int64_t kCatalogLongValue = 4;
// The objects the engine makes with every database: the database itself
// (its space trees, 1), the catalog (2), its shadow (3) and the catalog's
// two indexes (4, 5). None of them is ever a dropped table, even where the
// catalog is too damaged to list itself.
constexpr std::uint32_t kSystemObjects = 5;
constexpr const char* kCatalogNames[] = {"MSysObjects", "MSysObjectsShadow"};

// One catalog record, the fields a dropped table is rebuilt from.
struct Definition {
  std::int64_t type = 0;
  std::uint32_t table = 0;  // ObjidTable
  std::uint32_t id = 0;     // object id, or column id
  std::uint32_t coltyp_or_root = 0;
  std::uint32_t space_usage = 0;
  std::uint32_t flags = 0;
  std::uint32_t pages_or_locale = 0;
  std::string name;
  std::string key_columns;
};

std::uint32_t u32_of(const ColumnValue* v) {
  return v && !v->is_null() ? static_cast<std::uint32_t>(v->as_signed()) : 0;
}

std::optional<Definition> definition_of(const Record& row) {
  const ColumnValue* type = row.find("Type");
  const ColumnValue* table = row.find("ObjidTable");
  const ColumnValue* id = row.find("Id");
  if (!type || !table || !id || type->is_null() || table->is_null() || id->is_null()) return std::nullopt;
  Definition d;
  d.type = type->as_signed();
  d.table = u32_of(table);
  d.id = u32_of(id);
  d.coltyp_or_root = u32_of(row.find("ColtypOrPgnoFDP"));
  d.space_usage = u32_of(row.find("SpaceUsage"));
  d.flags = u32_of(row.find("Flags"));
  d.pages_or_locale = u32_of(row.find("PagesOrLocale"));
  if (const ColumnValue* name = row.find("Name"); name && !name->is_null()) {
    d.name = name->kind() == ValueKind::Text ? std::string(name->text()) : to_byte_string(name->bytes());
  }
  if (const ColumnValue* keys = row.find("KeyFldIDs"); keys && keys->kind() == ValueKind::Binary) {
    d.key_columns = to_byte_string(keys->bytes());
  }
  return d;
}

// Calls `fn` with each definition the live records of catalog table `name`
// hold (nodes flagged deleted are not live); what the walk could not read
// goes to `damage`.
template <typename Fn>
void for_each_live_definition(const Database& db, const char* name, ReadDamage& damage, Fn&& fn) {
  const TableInfo* catalog = db.tables().find(name);
  if (!catalog) return;
  auto cursor = TableCursor::open(db, *catalog);
  if (!cursor) return;
  cursor->set_skip_deleted(true);
  while (true) {
    auto more = cursor->advance();
    if (!more || !*more) break;
    if (auto d = definition_of(cursor->current())) fn(std::move(*d));
  }
  damage.add(cursor->damage());
}

// The object ids of the live catalog: every table, index and long-value
// tree its records list (nodes flagged deleted are not live), and the
// owners of the roots the catalog read at open, should a catalog record
// be unreadable.
std::unordered_set<std::uint32_t> live_objects(const Database& db, ReadDamage& damage) {
  std::unordered_set<std::uint32_t> live;
  for (std::uint32_t objid = 1; objid <= kSystemObjects; ++objid) live.insert(objid);
  auto owner_of = [&](std::uint32_t page) {
    auto bytes = db.page_bytes(page);
    if (bytes && bytes->size() >= kPageHeaderSize) live.insert(read_u32_le(*bytes, kOffsetObjectId).value_or(0));
  };
  for (const auto& [name, table] : db.tables()) {
    owner_of(table.root_page);
    for (const auto& [index_name, index] : table.indexes) owner_of(index.root_page);
    for (const auto& [lv_name, lv] : table.long_values) owner_of(lv.root_page);
  }
  for_each_live_definition(db, kCatalogNames[0], damage, [&](Definition d) {
    live.insert(d.table);
    if (d.type == kCatalogTable || d.type == kCatalogIndex || d.type == kCatalogLongValue) live.insert(d.id);
  });
  return live;
}

// The catalog records recovery finds (in the catalog and its shadow) that
// describe objects the live catalog does not list, each once.
std::vector<Definition> recovered_definitions(const Database& db, const std::unordered_set<std::uint32_t>& live,
                                              ReadDamage& damage) {
  std::vector<Definition> out;
  std::set<std::tuple<std::int64_t, std::uint32_t, std::uint32_t>> seen;
  auto keep = [&](Definition d) {
    // The first version found of each definition stands.
    if (live.count(d.table) || !seen.insert({d.type, d.table, d.id}).second) return;
    out.push_back(std::move(d));
  };
  for (const char* name : kCatalogNames) {
    if (!db.tables().find(name)) continue;
    // The shadow's live records first: a copy of the catalog, they still
    // name the tables a lost or torn catalog page took out of the catalog.
    // That walk counts what it could not read, as the catalog's own walk
    // does: the scan below reads torn pages on purpose and counts no
    // checksum failure, and what else it refuses the walk refused first.
    if (std::string_view(name) != kCatalogNames[0]) for_each_live_definition(db, name, damage, keep);
    auto scanner = RecoveryScanner::open(db, name);
    if (!scanner) continue;
    while ((*scanner)->advance()) {
      if (auto d = definition_of((*scanner)->record())) keep(std::move(*d));
    }
  }
  return out;
}

// What the pages of one object are: leaves of table data, and the other
// leaves (index or long-value trees) that a tie may count.
struct Owned {
  std::vector<std::uint32_t> data_pages;
  std::uint32_t other_leaves = 0;
  bool sound = false;  // one of its data pages passes its checksum (or has none)
};

std::map<std::uint32_t, Owned> page_owners(const Database& db) {
  std::map<std::uint32_t, Owned> owners;
  for (std::uint32_t n = 1; n <= db.total_pages(); ++n) {
    auto bytes = db.page_bytes(n);
    if (!bytes || bytes->size() < kPageHeaderSize) continue;
    const std::uint32_t flags = read_u32_le(*bytes, kOffsetPageFlags).value_or(0);
    if (!(flags & kPageFlagLeaf) || (flags & kPageFlagSpaceTree)) continue;
    const std::uint32_t objid = read_u32_le(*bytes, kOffsetObjectId).value_or(0);
    if (objid == 0) continue;  // no object has id 0: a page never written
    Owned& o = owners[objid];
    if ((flags & kTableLeafMask) != kPageFlagLeaf) {
      ++o.other_leaves;
      continue;
    }
    o.data_pages.push_back(n);
    if (verify_page_checksum(*bytes, n, db.page_size()) != ChecksumState::Bad) o.sound = true;
  }
  return owners;
}

// The columns of the recovered column definitions, by id; nullptr when
// none were recovered.
std::shared_ptr<TableInfo> catalog_table(const std::vector<const Definition*>& defs, const std::string& name,
                                         std::uint32_t root) {
  std::map<std::uint32_t, const Definition*> by_id;
  for (const Definition* d : defs) {
    if (d->type == kCatalogColumn && d->coltyp_or_root <= kMaxColumnType) by_id.emplace(d->id, d);
  }
  if (by_id.empty()) return nullptr;
  auto table = std::make_shared<TableInfo>(TableInfo::make(name, root, 0));
  for (const auto& [id, d] : by_id) {
    ColumnInfo c;
    c.name = d->name;
    c.id = id;
    c.column_type = static_cast<ColumnType>(d->coltyp_or_root);
    c.space_usage = d->space_usage;
    c.flags = d->flags;
    c.codepage = d->pages_or_locale;
    // Two columns under one name: the first (by id) keeps it.
    if (!table->columns.find(c.name)) table->columns.insert_or_assign(c.name, c);
  }
  return table;
}

// The primary index of the live table `table` where it is over fixed
// columns, as positions in `layout`.
std::optional<PrimaryKey> live_key(const Database& db, const TableInfo& table, const RecordLayout& layout) {
  auto root = db.page_bytes(table.root_page);
  if (!root || root->size() < kPageHeaderSize) return std::nullopt;
  return find_fixed_primary_key(db, read_u32_le(*root, kOffsetObjectId).value_or(0), table.root_page, layout);
}

bool fits_all(const NodeFit& f) { return f.nodes > 0 && f.fitting == f.nodes; }

// The live table whose layout every node record of `pages` passes: among
// several, one named `name`, else the one with the fewest columns (the
// tightest layout that explains them), else the first by name.
const TableInfo* fitted_table(const Database& db, const std::vector<std::uint32_t>& pages,
                              const std::optional<std::string>& name) {
  const TableInfo* best = nullptr;
  auto better = [&](const TableInfo& t) {
    if (!best) return true;
    const bool named = name && t.name == *name, best_named = name && best->name == *name;
    if (named != best_named) return named;
    if (t.columns.size() != best->columns.size()) return t.columns.size() < best->columns.size();
    return t.name < best->name;
  };
  for (const auto& [table_name, table] : db.tables()) {
    if (table.columns.empty() || !better(table)) continue;
    const RecordLayout layout(table);
    if (fits_all(fit_nodes(db, pages, layout, live_key(db, table, layout)))) best = &table;
  }
  return best;
}

}  // namespace

std::shared_ptr<const DroppedTables> DroppedTables::find(const Database& db, bool count_records) {
  auto out = std::make_shared<DroppedTables>();
  out->damage_.file_pages = db.total_pages();
  const std::unordered_set<std::uint32_t> live = live_objects(db, out->damage_);
  const std::vector<Definition> defs = recovered_definitions(db, live, out->damage_);
  out->definitions_ = defs.size();
  std::map<std::uint32_t, std::vector<const Definition*>> by_table;
  for (const Definition& d : defs) by_table[d.table].push_back(&d);
  const std::map<std::uint32_t, Owned> owners = page_owners(db);

  for (const auto& [objid, owned] : owners) {
    if (owned.data_pages.empty() || live.count(objid)) continue;
    auto defs_of = by_table.find(objid);
    const bool defined = defs_of != by_table.end();
    // A page of stray bytes can carry any number where the owner stands:
    // an object is only taken for a table when one of its pages is sound
    // or the catalog remembers it.
    if (!owned.sound && !defined) continue;
    DroppedTable t;
    t.objid = objid;
    t.pages = static_cast<std::uint32_t>(owned.data_pages.size());
    std::uint32_t root = 0;
    const Definition* primary = nullptr;
    const Definition* long_values = nullptr;
    if (defined) {
      for (const Definition* d : defs_of->second) {
        if (d->type == kCatalogTable && d->id == objid) {
          t.name = d->name;
          root = d->coltyp_or_root;
        } else if (d->type == kCatalogIndex || d->type == kCatalogLongValue) {
          if (d->type == kCatalogLongValue && !long_values) long_values = d;
          if (d->type == kCatalogIndex && (d->flags & kIndexFlagPrimary) && !primary) primary = d;
          // The leaves of its own index and long-value trees are its pages.
          if (d->id != objid) {
            if (auto other = owners.find(d->id); other != owners.end()) t.pages += other->second.other_leaves;
          }
        }
      }
    }
    std::shared_ptr<TableInfo> table = defined ? catalog_table(defs_of->second, t.name.value_or(""), root) : nullptr;
    const TableInfo* fitted = nullptr;
    if (table) {
      const RecordLayout layout(*table);
      if (primary) t.key = parse_fixed_key_segments(as_bytes(primary->key_columns), primary->flags, layout);
      const NodeFit own = fit_nodes(db, owned.data_pages, layout, t.key);
      // Definitions recovered in part can turn away records that a live
      // table's layout reads whole.
      if (own.nodes != 0 && own.fitting != own.nodes) fitted = fitted_table(db, owned.data_pages, t.name);
    } else {
      fitted = fitted_table(db, owned.data_pages, t.name);
    }
    if (fitted) {
      t.schema = DroppedSchema::Fitted;
      t.fitted = fitted->name;
      table = std::make_shared<TableInfo>(*fitted);
      // Its own trees are not the dropped table's.
      table->long_values = decltype(table->long_values)();
      table->indexes = decltype(table->indexes)();
      // Its key is the live table's where that is over fixed columns.
      const RecordLayout layout(*table);
      t.key = live_key(db, *fitted, layout);
    } else if (table) {
      t.schema = DroppedSchema::Catalog;
    } else {
      table = std::make_shared<TableInfo>(TableInfo::make(t.name.value_or(""), root, 0));
    }
    if (long_values && long_values->coltyp_or_root != 0) {
      LongValueInfo lv;
      lv.name = long_values->name;
      lv.root_page = long_values->coltyp_or_root;
      table->long_values.insert_or_assign(lv.name, lv);
      t.long_value_objid = long_values->id;
    }
    t.table = std::move(table);
    out->tables_.push_back(std::move(t));
  }
  if (count_records) {
    for (DroppedTable& t : out->tables_) {
      std::uint64_t n = 0;
      auto scanner = RecoveryScanner::open_dropped(db, out, t);
      while (scanner->advance()) ++n;
      t.records = n;
    }
  }
  return out;
}

const DroppedTable* DroppedTables::by_objid(std::uint32_t objid) const {
  auto it = std::lower_bound(tables_.begin(), tables_.end(), objid,
                             [](const DroppedTable& t, std::uint32_t v) { return t.objid < v; });
  return it != tables_.end() && it->objid == objid ? &*it : nullptr;
}

std::vector<const DroppedTable*> DroppedTables::twins_of(const std::string& name) const {
  std::vector<const DroppedTable*> out;
  for (const DroppedTable& t : tables_) {
    const bool same_name = t.schema == DroppedSchema::Catalog && t.name && *t.name == name;
    const bool fitted = t.schema == DroppedSchema::Fitted && t.fitted == name;
    if (same_name || fitted) out.push_back(&t);
  }
  return out;
}

std::string dropped_schema_text(const DroppedTable& table) {
  switch (table.schema) {
    case DroppedSchema::None: return "";
    case DroppedSchema::Catalog: return "catalog";
    case DroppedSchema::Fitted: return table.fitted;
  }
  return "";
}

}  // namespace pellumo
