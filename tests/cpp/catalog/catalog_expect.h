// Compares a catalog read by the library with the declarations a fixture
// database was built from.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "catalog/table_info.h"
#include "fixture/database_builder.h"

namespace pellumo::testing {

// The tables a reader must list for `builder`, in catalog order, with
// MSysObjects first when the builder includes it.
inline std::vector<fixture::TableSpec> expected_tables(const fixture::DatabaseBuilder& builder) {
  std::vector<fixture::TableSpec> out;
  if (builder.catalog().include_msysobjects) out.push_back(fixture::msysobjects_table());
  out.insert(out.end(), builder.tables().begin(), builder.tables().end());
  return out;
}

// Every table, column, index and long-value tree of `builder`, with the
// numbers the catalog records carry, and nothing else.
inline void expect_catalog(const TableMap& tables, const fixture::DatabaseBuilder& builder,
                           const fixture::BuiltDatabase& built) {
  const std::vector<fixture::TableSpec> expected = expected_tables(builder);
  ASSERT_EQ(tables.size(), expected.size());
  for (std::size_t t = 0; t < expected.size(); ++t) {
    const fixture::TableSpec& want = expected[t];
    const fixture::TableLayout* layout = built.table(want.name);
    ASSERT_NE(layout, nullptr) << want.name;
    const auto& [name, info] = tables[t];
    SCOPED_TRACE("table " + want.name);
    EXPECT_EQ(name, want.name);
    EXPECT_EQ(info.name, want.name);
    EXPECT_EQ(info.root_page, layout->root_page);
    EXPECT_EQ(info.space_usage, want.space_usage);

    // The catalog keeps columns in id order, as its key does.
    std::vector<fixture::ColumnSpec> columns = want.columns;
    std::stable_sort(columns.begin(), columns.end(),
                     [](const fixture::ColumnSpec& a, const fixture::ColumnSpec& b) { return a.id < b.id; });
    ASSERT_EQ(info.columns.size(), columns.size());
    for (std::size_t c = 0; c < columns.size(); ++c) {
      const auto& [column_name, column] = info.columns[c];
      SCOPED_TRACE("column " + columns[c].name);
      EXPECT_EQ(column_name, columns[c].name);
      EXPECT_EQ(column.name, columns[c].name);
      EXPECT_EQ(column.id, columns[c].id);
      EXPECT_EQ(static_cast<std::uint32_t>(column.column_type), columns[c].type);
      EXPECT_EQ(column.space_usage, columns[c].space_usage);
      EXPECT_EQ(column.flags, columns[c].flags);
      EXPECT_EQ(column.codepage, std::optional<std::uint32_t>(columns[c].codepage));
    }

    ASSERT_EQ(info.indexes.size(), want.indexes.size());
    for (std::size_t i = 0; i < want.indexes.size(); ++i) {
      const auto& [index_name, index] = info.indexes[i];
      EXPECT_EQ(index_name, want.indexes[i].name);
      EXPECT_EQ(index.name, want.indexes[i].name);
      EXPECT_EQ(index.root_page, layout->indexes[i].root_page);
      EXPECT_EQ(index.space_usage, want.indexes[i].space_usage);
      EXPECT_EQ(index.flags, want.indexes[i].flags);
      EXPECT_EQ(index.locale, want.indexes[i].locale);
    }
    ASSERT_EQ(info.long_values.size(), want.long_values.size());
    for (std::size_t i = 0; i < want.long_values.size(); ++i) {
      const auto& [lv_name, lv] = info.long_values[i];
      EXPECT_EQ(lv_name, want.long_values[i].name);
      EXPECT_EQ(lv.root_page, layout->long_values[i].root_page);
      EXPECT_EQ(lv.space_usage, want.long_values[i].space_usage);
    }
  }
}

}  // namespace pellumo::testing
