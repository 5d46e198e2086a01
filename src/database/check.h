// An integrity report of a whole file: the header, then every tree the
// catalog names (the catalog itself, each table, its long values and its
// indexes) walked as every reader walks it, with what each walk refused or
// could not read.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tree/tree_walker.h"

namespace pellumo {

class Database;

struct TreeCheck {
  std::string kind;   // "catalog", "table", "long_value" or "index"
  std::string name;   // the table's, index's or long-value tree's name
  std::string table;  // the table it belongs to (the catalog: "MSysObjects")
  std::uint32_t root_page = 0;
  std::uint32_t object_id = 0;
  std::size_t pages_visited = 0;
  std::vector<RefusedPage> refused;
  std::size_t deleted_nodes = 0;         // entries whose tag is flagged deleted
  std::size_t unreadable_tags = 0;       // tags or entries that could not be read
  std::size_t undecodable_records = 0;   // records too short for their own header
  std::size_t unresolved_long_values = 0;
  std::optional<std::string> error;      // the walk could not start (root refused)

  bool damaged() const {
    return !refused.empty() || unreadable_tags != 0 || undecodable_records != 0 || unresolved_long_values != 0 ||
           error.has_value();
  }
};

struct CheckReport {
  std::uint32_t format_version = 0;
  std::uint32_t format_revision = 0;
  std::uint32_t page_size = 0;
  std::uint32_t total_pages = 0;
  std::uint32_t state = 0;
  std::string state_name;
  bool shadow_header_matches = false;
  std::vector<TreeCheck> trees;
  // Pages no walk reached.
  std::size_t unreached_pages = 0;
  // Of those, pages that look like live pages of a tree the catalog names
  // (its owner, entries, not flagged empty): records a walk could not reach.
  std::vector<std::uint32_t> orphan_pages;

  bool damaged() const;
};

// Walks every tree of `db`. Stops early, returning what it has, when
// `interrupted` (if given) returns true; never fails otherwise.
CheckReport check_database(const Database& db, const std::function<bool()>& interrupted = {});

}  // namespace pellumo
