// Times Database::carve_utf16le_strings_scoped for the scopes "all" and
// "slack" against one plain pass over the same mapped bytes (a memmem for
// eight bytes that never occur), in the same run.
//
// Usage: carve_bench <database> [runs]
// Build with -DPELLUMO_BUILD_BENCH=ON (Release); write a database with
//   pellumo_fixture_tool carve-bench /tmp/carve-bench.edb --size 1073741824
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "carve/carve.h"
#include "database/database.h"

namespace {

using Clock = std::chrono::steady_clock;

double median_seconds(int runs, const std::function<void()>& body) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    body();
    times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// Keeps results alive so the optimiser cannot drop the work.
volatile std::size_t g_sink;

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: carve_bench <database> [runs]\n");
    return 2;
  }
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  auto opened = pellumo::Database::open(argv[1]);
  if (!opened) {
    std::fprintf(stderr, "cannot open %s: %s\n", argv[1], opened.error().message().c_str());
    return 1;
  }
  const pellumo::Database& db = **opened;
  const pellumo::Bytes file = db.mapped();
  const double page_bytes = static_cast<double>(db.total_pages()) * db.page_size();
  static const char kNever[] = "\x01\x02\x03\x04\x05\x06\x07\x08";
  // A printable needle absent from the file: every run is still tested.
  const std::optional<std::string> needle = std::string("qzxjvqzxjv");

  auto plain_pass = [&] { g_sink = ::memmem(file.data(), file.size(), kNever, 8) != nullptr; };
  auto carve_scope = [&](pellumo::CarveScope scope) {
    auto r = db.carve_utf16le_strings_scoped(scope, needle, 6, 1000);
    g_sink = r ? r->size() : 0;
  };
  plain_pass();  // fault the mapping in
  std::printf("file: %s, %.1f MiB, %u pages of %u bytes, %zu tables\n", argv[1], file.size() / 1048576.0,
              db.total_pages(), db.page_size(), db.tables().size());

  // Rounds of plain pass, "all" and "slack" one after the other, so that
  // other load on the machine falls on all three alike; medians.
  std::vector<double> plain, all, slack;
  for (int i = 0; i < runs; ++i) {
    plain.push_back(median_seconds(1, plain_pass));
    all.push_back(median_seconds(1, [&] { carve_scope(pellumo::CarveScope::All); }));
    slack.push_back(median_seconds(1, [&] { carve_scope(pellumo::CarveScope::Slack); }));
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  const double plain_s = median(plain);
  std::printf("plain pass (memmem, 8 bytes, no match):  %8.1f ms  %6.2f GB/s\n", plain_s * 1e3,
              file.size() / plain_s / 1e9);
  for (const auto& [name, times] : {std::pair<const char*, const std::vector<double>*>{"all", &all}, {"slack", &slack}}) {
    const double t = median(*times);
    std::printf("carve %-5s (needle never found):       %8.1f ms  %6.2f GB/s of pages  ratio to plain pass %.2f\n",
                name, t * 1e3, page_bytes / t / 1e9, t / plain_s);
  }
  const double plain_t = plain_s;

  // The bare range scanner over whole pages, per kernel.
  for (const auto kernel : {pellumo::carve_detail::Kernel::Portable, pellumo::carve_detail::Kernel::Sse2}) {
    if (!pellumo::carve_detail::kernel_available(kernel)) continue;
    const double t = median_seconds(runs, [&] {
      std::vector<pellumo::CarvedString> hits;
      for (std::uint32_t n = 1; n <= db.total_pages(); ++n) {
        auto bytes = db.page_bytes(n);
        if (!bytes) continue;
        pellumo::carve_detail::carve_range_with(kernel, n, *bytes, 0, bytes->size(), "all", 0, "branch",
                                                std::nullopt, needle, 6, 1000, hits);
      }
      g_sink = hits.size();
    });
    std::printf("range scan only, %-8s kernel:          %8.1f ms  %6.2f GB/s of pages  ratio to plain pass %.2f\n",
                kernel == pellumo::carve_detail::Kernel::Sse2 ? "sse2" : "portable", t * 1e3, page_bytes / t / 1e9,
                t / plain_t);
  }
  // A request that stops at its cap: how soon the first hits come.
  const double capped = median_seconds(runs, [&] {
    auto r = db.carve_utf16le_strings_scoped(pellumo::CarveScope::All, std::nullopt, 6, 1000);
    g_sink = r ? r->size() : 0;
  });
  std::printf("carve all, no needle, first 1000 hits:     %8.1f ms\n", capped * 1e3);
  return 0;
}
