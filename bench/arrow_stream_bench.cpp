// The Arrow stream of the library alone, without Python or a consumer:
// every batch of a table built, then released at once (as a consumer that
// writes batches out does) or kept until the pass ends (as pyarrow.table()
// does), in rounds; optionally several streams on as many threads, each
// over its own Database, to show what they cost one another.
//
//   pellumo_arrow_bench <database> [table] [--runs N] [--keep] [--threads N]
//                       [--engine] [--profile]
//
// Prints the best pass, its processor time per record (user and kernel) and
// the leaf pages the table holds, so the figures compare with
// pellumo_read_bench's cursor walk of the same table. Profilers attach to
// this program rather than to the Python one, whose interpreter start-up
// and pyarrow's own work would otherwise fill the profile; --profile leaves
// out the cursor walk that counts the leaf pages, so that only the stream
// is in it.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "arrow/stream.h"
#include "database/database.h"

namespace {

struct Pass {
  std::size_t records = 0;
  std::size_t batches = 0;
};

struct Usage {
  double wall = 0, user = 0, system = 0;
};

double seconds_of(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6; }

Usage usage_now() {
  rusage r{};
  getrusage(RUSAGE_SELF, &r);
  Usage u;
  u.wall = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
  u.user = seconds_of(r.ru_utime);
  u.system = seconds_of(r.ru_stime);
  return u;
}

bool read_once(const pellumo::arrow::TableExport& source, bool keep, Pass& pass) {
  ArrowArrayStream stream{};
  if (!source.export_stream(&stream)) return false;
  std::vector<ArrowArray> kept;
  pass = Pass{};
  bool ok = true;
  while (true) {
    ArrowArray batch{};
    if (stream.get_next(&stream, &batch) != 0) {
      const char* why = stream.get_last_error(&stream);
      std::fprintf(stderr, "stream failed: %s\n", why ? why : "?");
      ok = false;
      break;
    }
    if (batch.release == nullptr) break;
    pass.records += static_cast<std::size_t>(batch.length);
    ++pass.batches;
    if (keep) {
      kept.push_back(batch);
    } else {
      batch.release(&batch);
    }
  }
  for (auto& batch : kept) batch.release(&batch);
  stream.release(&stream);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 5;
  int threads = 1;
  bool keep = false;
  bool engine = false;
  bool profile = false;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--threads" && i + 1 < argc) {
      threads = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--keep") {
      keep = true;
    } else if (arg == "--engine") {
      engine = true;
    } else if (arg == "--profile") {
      profile = true;
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.empty() || positional.size() > 2) {
    std::fprintf(stderr,
                 "usage: pellumo_arrow_bench <database> [table] [--runs N] [--keep] [--threads N] [--engine] "
                 "[--profile]\n");
    return 2;
  }
  const std::string path = positional[0];
  const std::string table = positional.size() == 2 ? positional[1] : "bench";

  std::vector<pellumo::arrow::TableExport> sources;
  std::shared_ptr<const pellumo::Database> first;
  for (int t = 0; t < threads; ++t) {
    auto db = pellumo::Database::open(path);
    if (!db) {
      std::fprintf(stderr, "cannot open %s: %s\n", path.c_str(), db.error().message().c_str());
      return 1;
    }
    std::shared_ptr<const pellumo::Database> shared(std::move(*db));
    if (!first) first = shared;
    pellumo::arrow::ExportOptions options;
    if (engine) options.profile = pellumo::arrow::ValueProfile::Engine;
    auto made = pellumo::arrow::TableExport::make(shared, table, options);
    if (!made) {
      std::fprintf(stderr, "table %s: %s\n", table.c_str(), made.error().message().c_str());
      return 1;
    }
    sources.push_back(*made);
  }

  Usage best{1e30, 0, 0};
  Pass last;
  for (int r = 0; r < runs; ++r) {
    const Usage before = usage_now();
    std::vector<Pass> passes(static_cast<std::size_t>(threads));
    std::vector<char> ok(static_cast<std::size_t>(threads), 0);
    if (threads == 1) {
      // On this thread: starting one would be most of a small table's time.
      ok[0] = read_once(sources[0], keep, passes[0]);
    } else {
      std::vector<std::thread> workers;
      for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
          ok[static_cast<std::size_t>(t)] =
              read_once(sources[static_cast<std::size_t>(t)], keep, passes[static_cast<std::size_t>(t)]);
        });
      }
      for (auto& w : workers) w.join();
    }
    const Usage after = usage_now();
    if (std::find(ok.begin(), ok.end(), 0) != ok.end()) return 1;
    const Usage used{after.wall - before.wall, after.user - before.user, after.system - before.system};
    if (used.wall < best.wall) best = used;
    last = passes[0];
  }
  // Leaf pages, counted by a cursor walk (outside the timing).
  std::size_t leaf_pages = 0;
  if (!profile) {
    auto cursor = first->open_table(table);
    if (!cursor) return 1;
    std::uint32_t page = 0;
    std::size_t seen = 0;
    while (true) {
      auto more = cursor->advance();
      if (!more || !*more) break;
      if (seen++ == 0 || cursor->page_number() != page) {
        page = cursor->page_number();
        ++leaf_pages;
      }
    }
  }
  const double records = static_cast<double>(last.records) * threads;
  std::printf("table %s: %zu records in %zu batches, %s, %d thread(s), %s values\n", table.c_str(), last.records,
              last.batches, keep ? "batches kept to the end" : "each batch released at once", threads,
              engine ? "engine" : "raw");
  std::printf("best: %.6f s per pass, %.1f ns of processor time per record (kernel %.1f%%)\n", best.wall,
              (best.user + best.system) / records * 1e9, 100.0 * best.system / (best.user + best.system));
  std::printf("leaf pages: %zu of %u bytes, %.0f MB/s\n", leaf_pages, first->page_size(),
              static_cast<double>(leaf_pages) * first->page_size() * threads / best.wall / 1e6);
  return 0;
}
