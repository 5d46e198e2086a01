// Tables the catalog no longer lists. Dropping a table deletes its catalog
// records (the table, its columns, indexes and long-value tree) and gives
// its pages back to the database's space, but the engine does not wipe
// them: until they are reused, each still carries the dropped object's id
// in its header, and its records, and the deleted catalog records still
// stand in the catalog's pages where recovery finds them.
//
// A dropped table is an object id that owns leaf pages of table data
// (emptied or not) and is no table, index or long-value tree of the live
// catalog, nor one of the objects every database has (the database
// itself, the catalog, its shadow and the catalog's indexes: 1 to 5). Its
// records are read with the column definitions recovered for it when there
// are any, else with the layout of the live table that every one of its
// records fits.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "catalog/table_info.h"
#include "recovery/primary_key.h"
#include "tree/read_damage.h"

namespace pellumo {

class Database;

enum class DroppedSchema : std::uint8_t {
  None,     // no definitions recovered and no live table fits: not readable
  Catalog,  // its own column definitions, recovered from deleted catalog records
  Fitted,   // the layout of a live table
};

struct DroppedTable {
  std::uint32_t objid = 0;
  // Leaf pages it owns, emptied or not: those of its data, and of the
  // index and long-value trees recovered catalog records tie to it.
  std::uint32_t pages = 0;
  std::optional<std::string> name;  // from a recovered table record
  DroppedSchema schema = DroppedSchema::None;
  std::string fitted;  // the live table whose layout it is read with (Fitted)
  // How many records recovery gives; counted only when asked for.
  std::optional<std::uint64_t> records;

  // What its records are read with: the columns of its schema (no columns
  // for None), its long-value tree where a recovered record names one.
  std::shared_ptr<const TableInfo> table;
  // The object id of that long-value tree, as its catalog record gives it.
  std::optional<std::uint32_t> long_value_objid;
  // Its primary index where it is over fixed columns: node keys must match.
  std::optional<PrimaryKey> key;
};

// The dropped tables of one file. Built once; immutable afterwards.
class DroppedTables {
 public:
  // Finds them. Never fails: damage only leaves less to find. With
  // count_records, every table's `records` is counted (a full recovery of
  // each).
  static std::shared_ptr<const DroppedTables> find(const Database& db, bool count_records);

  // By object id, ascending.
  const std::vector<DroppedTable>& tables() const { return tables_; }
  const DroppedTable* by_objid(std::uint32_t objid) const;
  // Those whose records belong to the live table `name`: recovered
  // definitions under that name, or its layout fitted.
  std::vector<const DroppedTable*> twins_of(const std::string& name) const;

  // Recovered catalog records that describe dropped objects, for tools.
  std::size_t definitions() const { return definitions_; }

  // What the reads of the catalog (its live records, and the walks of its
  // trees that recovery makes) could not read. A live object the catalog
  // lists on a page it could not read may be taken for a dropped one.
  const ReadDamage& damage() const { return damage_; }

 private:
  std::vector<DroppedTable> tables_;
  std::size_t definitions_ = 0;
  ReadDamage damage_;
};

// "catalog", the live table's name, or "" for None.
std::string dropped_schema_text(const DroppedTable& table);

}  // namespace pellumo
