// The range scanner: every kernel against the step-by-step scanner, on
// hand-made ranges and on random and adversarial bytes.
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cpp/carve/carve_reference.h"
#include "carve/carve.h"

namespace pellumo {
namespace {

using carve_detail::Kernel;

void carve_step_by_step(std::uint32_t page, Bytes b, std::size_t start, std::size_t end,
                        const std::optional<std::string>& table, const std::optional<std::string>& needle,
                        std::size_t min_chars, std::size_t max_hits, std::vector<CarvedString>& hits) {
  carve_reference::carve_range(page, b, start, end, "slack", 0x82, "long_value", table, needle, min_chars, max_hits,
                               hits);
}

std::vector<Kernel> kernels() {
  std::vector<Kernel> out{Kernel::Portable};
  if (carve_detail::kernel_available(Kernel::Sse2)) out.push_back(Kernel::Sse2);
  return out;
}

const char* kernel_name(Kernel k) { return k == Kernel::Sse2 ? "sse2" : "portable"; }

void carve_with(Kernel k, Bytes b, std::size_t start, std::size_t end, const std::optional<std::string>& needle,
                std::size_t min_chars, std::size_t max_hits, std::vector<CarvedString>& hits,
                const std::optional<std::string>& table = std::nullopt) {
  carve_detail::carve_range_with(k, 7, b, start, end, "slack", 0x82, "long_value", table, needle, min_chars, max_hits,
                                 hits);
}

// Writes `text` as UTF-16LE at `at`.
void put_utf16(std::vector<std::uint8_t>& page, std::size_t at, std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    page[at + 2 * i] = static_cast<std::uint8_t>(text[i]);
    page[at + 2 * i + 1] = 0;
  }
}
void put_unit(std::vector<std::uint8_t>& page, std::size_t at, std::uint16_t unit) {
  page[at] = static_cast<std::uint8_t>(unit);
  page[at + 1] = static_cast<std::uint8_t>(unit >> 8);
}

struct Expect {
  std::uint64_t offset;
  std::string text;
};

TEST(CarveRangeTest, Rules) {
  // A page of 0xFF bytes (code unit 0xFFFF: never a character) with strings placed in it.
  auto page_with = [](std::initializer_list<std::pair<std::size_t, std::string_view>> strings) {
    std::vector<std::uint8_t> page(512, 0xFF);
    for (const auto& [at, text] : strings) put_utf16(page, at, text);
    return page;
  };
  std::vector<std::uint8_t> tabbed = page_with({{100, "abc"}, {108, "UVWXYZ"}});
  put_unit(tabbed, 106, 0x0009);
  std::vector<std::uint8_t> af_zero = page_with({{100, "ABCDEF"}});
  put_unit(af_zero, 112, 0x0000);
  std::vector<std::uint8_t> odd_ascii(512, 0xFF);
  for (std::size_t i = 0; i < 8; ++i) {  // "HELLOABC" in UTF-16LE from the odd offset 101
    odd_ascii[101 + 2 * i] = static_cast<std::uint8_t>("HELLOABC"[i]);
    odd_ascii[102 + 2 * i] = 0;
  }
  std::vector<std::uint8_t> five_runs = page_with({{0, "aaa"}, {10, "bbb"}, {20, "ccc"}, {30, "ddd"}, {40, "eee"}});
  std::vector<std::uint8_t> edge_units = page_with({{100, "~  "}});
  put_unit(edge_units, 106, 0x007F);
  put_utf16(edge_units, 108, "x~");
  put_unit(edge_units, 112, 0x00E9);  // é ends a run
  put_utf16(edge_units, 114, " }");
  put_unit(edge_units, 118, 0x1F);

  const struct {
    const char* name;
    std::vector<std::uint8_t> page;
    std::size_t start, end;
    std::optional<std::string> needle;
    std::size_t min_chars, max_hits, already;
    std::vector<Expect> expect;
  } cases[] = {
      {"empty range", page_with({{100, "ABCDEF"}}), 100, 100, std::nullopt, 2, 10, 0, {}},
      {"start after end", page_with({{100, "ABCDEF"}}), 110, 100, std::nullopt, 2, 10, 0, {}},
      {"one byte", page_with({{100, "AB"}}), 100, 101, std::nullopt, 1, 10, 0, {}},
      {"odd start, one byte left", page_with({{6, "AB"}}), 5, 7, std::nullopt, 1, 10, 0, {}},
      {"odd start moves up", page_with({{6, "AB"}}), 5, 10, std::nullopt, 2, 10, 0, {{6, "AB"}}},
      {"six letters", af_zero, 100, 120, std::nullopt, 6, 10, 0, {{100, "ABCDEF"}}},
      {"six letters, min 7", af_zero, 100, 120, std::nullopt, 7, 10, 0, {}},
      {"tab splits", tabbed, 100, 140, std::nullopt, 6, 10, 0, {{108, "UVWXYZ"}}},
      {"spaces count", page_with({{100, "      "}}), 100, 120, std::nullopt, 6, 10, 0, {{100, "      "}}},
      {"run cut by range end", page_with({{100, "ABCDEFGH"}}), 100, 112, std::nullopt, 6, 10, 0, {{100, "ABCDEF"}}},
      {"odd range end", page_with({{100, "ABCDEFGH"}}), 100, 113, std::nullopt, 6, 10, 0, {{100, "ABCDEF"}}},
      {"split range, first half", page_with({{100, "ABCDEFGH"}}), 100, 108, std::nullopt, 4, 10, 0, {{100, "ABCD"}}},
      {"split range, second half", page_with({{100, "ABCDEFGH"}}), 108, 116, std::nullopt, 4, 10, 0, {{108, "EFGH"}}},
      {"split range, too short", page_with({{100, "ABCDEFGH"}}), 108, 114, std::nullopt, 4, 10, 0, {}},
      {"needle inside", af_zero, 100, 120, "BCD", 2, 10, 0, {{100, "ABCDEF"}}},
      {"needle is case-sensitive", af_zero, 100, 120, "bcd", 2, 10, 0, {}},
      {"empty needle", af_zero, 100, 120, "", 2, 10, 0, {{100, "ABCDEF"}}},
      {"needle equal to run", af_zero, 100, 120, "ABCDEF", 2, 10, 0, {{100, "ABCDEF"}}},
      {"needle longer than run", af_zero, 100, 120, "ABCDEFG", 2, 10, 0, {}},
      {"needle with a tab", af_zero, 100, 120, "B\tC", 2, 10, 0, {}},
      {"needle beyond ASCII", af_zero, 100, 120, "AB\xC3\xA9", 2, 10, 0, {}},
      {"needle across the range end", page_with({{100, "ABCDEFGH"}}), 100, 110, "EFG", 2, 10, 0, {}},
      {"cap of 3", five_runs, 0, 60, std::nullopt, 3, 3, 0, {{0, "aaa"}, {10, "bbb"}, {20, "ccc"}}},
      {"cap already reached", five_runs, 0, 60, std::nullopt, 3, 3, 3, {}},
      {"cap counts earlier hits", five_runs, 0, 60, std::nullopt, 3, 3, 2, {{0, "aaa"}}},
      {"needle skips runs", five_runs, 0, 60, "d", 3, 1, 0, {{30, "ddd"}}},
      {"string at an odd offset", odd_ascii, 0, 512, std::nullopt, 2, 10, 0, {}},
      {"character bounds", edge_units, 100, 120, std::nullopt, 2, 10, 0, {{100, "~  "}, {108, "x~"}, {114, " }"}}},
      {"exactly min_chars", page_with({{100, "xy"}}), 100, 104, std::nullopt, 2, 10, 0, {{100, "xy"}}},
  };
  for (const Kernel k : kernels()) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(kernel_name(k)) + ": " + c.name);
      std::vector<CarvedString> hits(c.already);
      carve_with(k, c.page, c.start, c.end, c.needle, c.min_chars, c.max_hits, hits);
      ASSERT_EQ(hits.size(), c.already + c.expect.size());
      for (std::size_t i = 0; i < c.expect.size(); ++i) {
        const CarvedString& h = hits[c.already + i];
        EXPECT_EQ(h.offset, c.expect[i].offset);
        EXPECT_EQ(h.text, c.expect[i].text);
        EXPECT_EQ(h.slack_start, c.start);
        EXPECT_EQ(h.slack_end, c.end);
      }
      // The plain scanner agrees on every case.
      std::vector<CarvedString> plain(c.already);
      carve_step_by_step(7, c.page, c.start, c.end, std::nullopt, c.needle, c.min_chars, c.max_hits, plain);
      ASSERT_EQ(plain.size(), hits.size());
      for (std::size_t i = c.already; i < hits.size(); ++i) {
        EXPECT_EQ(plain[i].offset, hits[i].offset);
        EXPECT_EQ(plain[i].text, hits[i].text);
      }
    }
  }
}

TEST(CarveRangeTest, LabelsAreCopied) {
  std::vector<std::uint8_t> page(64, 0);
  put_utf16(page, 10, "Hello");
  const struct {
    std::optional<std::string> table;
  } cases[] = {{std::nullopt}, {std::string()}, {std::string("Table \xE2\x82\xAC")}};
  for (const auto& c : cases) {
    std::vector<CarvedString> hits;
    carve_utf16le_from_range(42, page, 9, 21, "tag_data", 0x40002, "index", c.table, std::nullopt, 2, 5, hits);
    ASSERT_EQ(hits.size(), 1u);
    const CarvedString want{42, 10, 9, 21, "tag_data", 0x40002, "index", c.table, "Hello"};
    EXPECT_EQ(hits[0], want);
  }
}

// Random pages from a mix of generators that make runs likely: printable
// units, code units just outside the printable span, zero units, random
// bytes and shifts by one byte, so that runs start and end everywhere
// relative to the 64-byte blocks and to the range bounds.
std::vector<std::uint8_t> random_page(std::mt19937_64& rng, std::size_t size) {
  std::vector<std::uint8_t> page(size);
  std::size_t i = 0;
  static const std::uint16_t kBorders[] = {0x0000, 0x0009, 0x000A, 0x001F, 0x0020, 0x007E, 0x007F, 0x0080,
                                           0x0120, 0x2041, 0xD800, 0xFF41, 0x4100};
  while (i < size) {
    const std::size_t len = std::min<std::size_t>(size - i, 1 + rng() % 90);
    switch (rng() % 6) {
      case 0:
      case 1:  // printable UTF-16LE
        for (std::size_t k = 0; k < len; ++k) page[i + k] = (k % 2 == 0) ? static_cast<std::uint8_t>(0x20 + rng() % 95) : 0;
        break;
      case 2:  // code units around the edges of the span
        for (std::size_t k = 0; k + 1 < len; k += 2) {
          const std::uint16_t u = kBorders[rng() % std::size(kBorders)];
          page[i + k] = static_cast<std::uint8_t>(u);
          page[i + k + 1] = static_cast<std::uint8_t>(u >> 8);
        }
        break;
      case 3:  // ASCII text, one byte per character
        for (std::size_t k = 0; k < len; ++k) page[i + k] = static_cast<std::uint8_t>(0x20 + rng() % 95);
        break;
      case 4:  // zeros
        break;
      default:  // random bytes
        for (std::size_t k = 0; k < len; ++k) page[i + k] = static_cast<std::uint8_t>(rng());
        break;
    }
    i += len;
  }
  return page;
}

TEST(CarveRangeTest, KernelsMatchPlainScanOnRandomRanges) {
  std::mt19937_64 rng(0x5eed);
  const std::optional<std::string> table = "T";
  for (int round = 0; round < 3000; ++round) {
    const std::size_t size = 1 + rng() % 700;
    const std::vector<std::uint8_t> page = random_page(rng, size);
    std::size_t start = rng() % (size + 1);
    std::size_t end = rng() % (size + 1);
    if (rng() % 4 == 0) std::swap(start, end);
    if (rng() % 3 == 0) {
      start = 0;
      end = size;
    }
    const std::size_t min_chars = 1 + rng() % 8;
    const std::size_t max_hits = 1 + rng() % 12;
    const std::size_t already = rng() % 3;
    std::optional<std::string> needle;
    switch (rng() % 4) {
      case 0:
        break;
      case 1:
        needle = std::string();
        break;
      case 2:  // a piece of a printable stretch of the page, so it often matches
        needle = std::string(1 + rng() % 3, static_cast<char>(0x20 + rng() % 95));
        break;
      default:
        needle = std::string(1, static_cast<char>(0x20 + rng() % 95));
        break;
    }
    std::vector<CarvedString> want(already);
    carve_step_by_step(7, page, start, end, table, needle, min_chars, max_hits, want);
    for (const Kernel k : kernels()) {
      std::vector<CarvedString> got(already);
      carve_with(k, page, start, end, needle, min_chars, max_hits, got, table);
      ASSERT_EQ(got, want) << kernel_name(k) << " round " << round << " [" << start << ", " << end << ") min "
                           << min_chars << " cap " << max_hits;
    }
  }
}

TEST(CarveRangeTest, KernelsMatchOnBlockBoundaries) {
  // One run of every length 1..70 at every even start 0..130 in a 256-byte
  // range, bounded by zero units: runs that begin, end or fill a 64-byte
  // block exactly, and runs cut by the range end.
  for (std::size_t len = 1; len <= 70; ++len) {
    for (std::size_t at = 0; at <= 130; at += 2) {
      std::vector<std::uint8_t> page(256, 0);
      for (std::size_t k = 0; k < len && at + 2 * k + 1 < page.size(); ++k) page[at + 2 * k] = 'a' + k % 26;
      for (const std::size_t end : {std::size_t{256}, at + 2 * len - 1, at + 2 * len}) {
        if (end > page.size()) continue;
        std::vector<CarvedString> want;
        carve_step_by_step(7, page, 0, end, std::nullopt, std::nullopt, 2, 100, want);
        for (const Kernel k : kernels()) {
          std::vector<CarvedString> got;
          carve_with(k, page, 0, end, std::nullopt, 2, 100, got);
          ASSERT_EQ(got, want) << kernel_name(k) << " len " << len << " at " << at << " end " << end;
        }
      }
    }
  }
}

TEST(CarveRangeTest, EndBeyondThePageIsCut) {
  std::vector<std::uint8_t> page(32, 0);
  put_utf16(page, 24, "abcd");
  std::vector<CarvedString> hits;
  carve_utf16le_from_range(1, page, 0, 1000, "all", 0, "branch", std::nullopt, std::nullopt, 2, 10, hits);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].text, "abcd");
  EXPECT_EQ(hits[0].slack_end, 32u);
}

}  // namespace
}  // namespace pellumo
