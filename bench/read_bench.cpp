// Cursor throughput of the library alone: every record of a table decoded
// (long values resolved) and every value touched, in rounds.
//
//   pellumo_read_bench <database> [table] [--runs N]
//
// Prints the median and the best pass, and the leaf pages the walk read
// (pages that held at least one record), whose bytes are what the Arrow
// benchmarks divide by to give MB/s.
//
// Built with -DPELLUMO_BUILD_BENCH=ON (a Release build gives the figures that
// count). The database: pellumo_fixture_tool bench-million <path>.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "database/database.h"

namespace {

struct Pass {
  std::size_t records = 0;
  std::size_t leaf_pages = 0;
  std::size_t checksum = 0;  // keeps the value reads from being optimised away
  double seconds = 0;
};

pellumo::Result<Pass> read_once(const pellumo::Database& db, const std::string& table) {
  const auto start = std::chrono::steady_clock::now();
  PELLUMO_TRY(pellumo::TableCursor cursor, db.open_table(table));
  Pass pass;
  std::uint32_t page = 0;
  while (true) {
    PELLUMO_TRY(bool more, cursor.advance());
    if (!more) break;
    if (pass.records == 0 || cursor.page_number() != page) {
      page = cursor.page_number();
      ++pass.leaf_pages;
    }
    const pellumo::Record& row = cursor.current();
    for (std::size_t i = 0; i < row.size(); ++i) {
      const pellumo::ColumnValue& v = row.value(i);
      pass.checksum += static_cast<std::size_t>(v.kind()) + v.as_unsigned() + v.bytes().size();
    }
    ++pass.records;
  }
  pass.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return pass;
}

}  // namespace

int main(int argc, char** argv) {
  std::string path, table = "bench";
  int runs = 3;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.empty() || positional.size() > 2) {
    std::fprintf(stderr, "usage: pellumo_read_bench <database> [table] [--runs N]\n");
    return 2;
  }
  path = positional[0];
  if (positional.size() == 2) table = positional[1];

  auto db = pellumo::Database::open(path);
  if (!db) {
    std::fprintf(stderr, "cannot open %s: %s\n", path.c_str(), db.error().message().c_str());
    return 1;
  }
  std::vector<double> seconds;
  Pass last;
  for (int r = 0; r < runs; ++r) {
    auto pass = read_once(**db, table);
    if (!pass) {
      std::fprintf(stderr, "reading %s: %s\n", table.c_str(), pass.error().message().c_str());
      return 1;
    }
    last = *pass;
    seconds.push_back(pass->seconds);
  }
  std::sort(seconds.begin(), seconds.end());
  const double median = seconds[seconds.size() / 2];
  std::printf("table %s: %zu records, %zu columns\n", table.c_str(), last.records,
              (*db)->tables().find(table)->columns.size());
  std::printf("cursor: %.3f s per pass (median of %d), %.0f records/s  [checksum %zx]\n", median, runs,
              last.records / median, last.checksum);
  std::printf("best: %.6f s per pass\n", seconds.front());
  std::printf("leaf pages: %zu of %u bytes\n", last.leaf_pages, (*db)->page_size());
  return 0;
}
