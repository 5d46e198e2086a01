// Record recovery on whole files: what it finds, how fast, and how often
// its schema check takes stray bytes for a record.
//
//   pellumo_recover_bench <database>... [--runs N]
//
// For each file: every table read with the cursor and then recovered, best
// of N runs each, and the recoveries counted per source and status; then
// the false-positive measure: the schema check run at every offset inside
// every live record (offset 0 excluded), with the rest of the record as
// the room, counting the offsets it accepts. Then the same across tables,
// as a dropped table's pages are read with the layout of a live table they
// may not belong to: every table's check at every offset of every live
// record of each other table, offset 0 checked as a whole record, as a
// node's record is. A table whose columns (ids and types) are all among
// another's has records that are that other's too: such pairs are left out.
//
// Built with -DPELLUMO_BUILD_BENCH=ON (a Release build gives the figures that
// count).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "database/database.h"
#include "recovery/recover.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::size_t touch(const pellumo::Record& row) {
  std::size_t sum = 0;
  for (std::size_t i = 0; i < row.size(); ++i) {
    const pellumo::ColumnValue& v = row.value(i);
    sum += static_cast<std::size_t>(v.kind()) + v.as_unsigned() + v.bytes().size();
  }
  return sum;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 3;
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else {
      paths.push_back(arg);
    }
  }
  if (paths.empty()) {
    std::fprintf(stderr, "usage: pellumo_recover_bench <database>... [--runs N]\n");
    return 2;
  }
  std::uint64_t all_trials = 0, all_accepted = 0, all_cross_trials = 0, all_cross_accepted = 0;
  std::uint64_t all_whole_trials = 0, all_whole_accepted = 0;
  std::size_t checksum = 0;
  for (const std::string& path : paths) {
    auto opened = pellumo::Database::open(path);
    if (!opened) {
      std::fprintf(stderr, "%s: %s\n", path.c_str(), opened.error().message().c_str());
      return 1;
    }
    const pellumo::Database& db = **opened;
    double read_best = 1e300, recover_best = 1e300;
    std::size_t live = 0;
    std::map<std::string, std::size_t> counts;  // "table source status" -> records
    std::map<std::string, pellumo::RecoveryStats> stats;
    for (int run = 0; run < runs; ++run) {
      auto start = Clock::now();
      live = 0;
      for (const auto& [name, table] : db.tables()) {
        auto cursor = db.open_table(name);
        if (!cursor) continue;
        while (true) {
          auto more = cursor->advance();
          if (!more || !*more) break;
          checksum += touch(cursor->current());
          ++live;
        }
      }
      read_best = std::min(read_best, seconds_since(start));
      start = Clock::now();
      counts.clear();
      for (const auto& [name, table] : db.tables()) {
        auto scanner = pellumo::RecoveryScanner::open(db, name);
        if (!scanner) continue;
        while ((*scanner)->advance()) {
          checksum += touch((*scanner)->record());
          const pellumo::RecoveredRecord& r = (*scanner)->current();
          ++counts[name + "  " + pellumo::recovery_source_name(r.source) + "  " +
                   pellumo::recovery_status_name(r.status)];
        }
        stats[name] = (*scanner)->stats();
      }
      recover_best = std::min(recover_best, seconds_since(start));
    }
    // Each table's check, and its live records.
    struct Live {
      std::string name;
      std::vector<std::pair<std::uint32_t, pellumo::ColumnType>> columns;
      std::unique_ptr<pellumo::RecoveryScanner> scanner;
      std::vector<pellumo::Bytes> records;
    };
    std::vector<Live> all;
    for (const auto& [name, table] : db.tables()) {
      auto scanner = pellumo::RecoveryScanner::open(db, name);
      if (!scanner) continue;
      Live l{name, {}, std::move(*scanner), {}};
      for (const auto& [column_name, column] : table.columns) l.columns.emplace_back(column.id, column.column_type);
      std::sort(l.columns.begin(), l.columns.end());
      l.records = l.scanner->live_records();
      all.push_back(std::move(l));
    }
    std::uint64_t trials = 0, accepted = 0;
    for (const Live& t : all) {
      for (pellumo::Bytes record : t.records) {
        for (std::size_t at = 1; at + 4 <= record.size(); ++at) {
          ++trials;
          if (t.scanner->check().check(record.subspan(at), false)) ++accepted;
        }
      }
    }
    all_trials += trials;
    all_accepted += accepted;

    // Across tables: each table's check on the records of the others.
    std::uint64_t cross_trials = 0, cross_accepted = 0, whole_trials = 0, whole_accepted = 0, alike = 0;
    std::vector<std::string> pair_lines;  // the pairs where whole records fit
    for (const Live& t : all) {
      const pellumo::RecordCheck& check = t.scanner->check();
      for (const Live& u : all) {
        if (&t == &u) continue;
        // Every column of u a column of t (same id, same type): u's records
        // are records of t, its other columns null. No false positive.
        if (std::includes(t.columns.begin(), t.columns.end(), u.columns.begin(), u.columns.end())) {
          ++alike;
          continue;
        }
        std::uint64_t pair_whole = 0;
        for (pellumo::Bytes record : u.records) {
          ++whole_trials;
          if (check.check(record, true)) ++pair_whole;
          for (std::size_t at = 1; at + 4 <= record.size(); ++at) {
            ++cross_trials;
            if (check.check(record.subspan(at), false)) ++cross_accepted;
          }
        }
        whole_accepted += pair_whole;
        if (pair_whole) {
          pair_lines.push_back("      " + std::to_string(pair_whole) + " of " + std::to_string(u.records.size()) +
                               " records of " + u.name + " fit " + t.name);
        }
      }
    }
    all_cross_trials += cross_trials;
    all_cross_accepted += cross_accepted;
    all_whole_trials += whole_trials;
    all_whole_accepted += whole_accepted;
    std::size_t recovered = 0;
    for (const auto& [what, n] : counts) recovered += n;
    std::printf("%s: %zu tables, %zu live records, read %.4f s; %zu recovered, recover %.4f s (%.2fx read)\n",
                path.c_str(), db.tables().size(), live, read_best, recovered, recover_best,
                read_best > 0 ? recover_best / read_best : 0.0);
    for (const auto& [what, n] : counts) std::printf("    %-70s %zu\n", what.c_str(), n);
    for (const auto& [name, s] : stats) {
      if (s.candidates == 0) continue;
      std::printf("    %s: %llu pages scanned, %llu candidates, %llu rejected, %llu live copies, %llu duplicates\n",
                  name.c_str(), static_cast<unsigned long long>(s.pages_scanned),
                  static_cast<unsigned long long>(s.candidates), static_cast<unsigned long long>(s.rejected),
                  static_cast<unsigned long long>(s.live_copies), static_cast<unsigned long long>(s.duplicates));
    }
    std::printf("    false positives: %llu of %llu offsets inside live records pass the schema check\n",
                static_cast<unsigned long long>(accepted), static_cast<unsigned long long>(trials));
    std::printf("    across tables: %llu of %llu offsets inside other tables' live records pass a table's check; "
                "whole records: %llu of %llu; %llu pairs skipped, one's columns among the other's\n",
                static_cast<unsigned long long>(cross_accepted), static_cast<unsigned long long>(cross_trials),
                static_cast<unsigned long long>(whole_accepted), static_cast<unsigned long long>(whole_trials),
                static_cast<unsigned long long>(alike));
    for (const std::string& line : pair_lines) std::printf("%s\n", line.c_str());
  }
  std::printf("all files: %llu of %llu offsets accepted (%.3g)\n", static_cast<unsigned long long>(all_accepted),
              static_cast<unsigned long long>(all_trials),
              all_trials ? static_cast<double>(all_accepted) / static_cast<double>(all_trials) : 0.0);
  auto rate = [](std::uint64_t n, std::uint64_t of) { return of ? static_cast<double>(n) / static_cast<double>(of) : 0.0; };
  std::printf("all files, across tables: %llu of %llu offsets inside records accepted (%.3g); "
              "%llu of %llu whole records (%.3g)\n",
              static_cast<unsigned long long>(all_cross_accepted), static_cast<unsigned long long>(all_cross_trials),
              rate(all_cross_accepted, all_cross_trials), static_cast<unsigned long long>(all_whole_accepted),
              static_cast<unsigned long long>(all_whole_trials), rate(all_whole_accepted, all_whole_trials));
  return checksum == 42 ? 3 : 0;
}
