// Scoped carving over fixture databases: which ranges of which pages each
// scope scans, how pages are labelled, where the hit cap stops the request,
// and which table owns each leaf page.
#include "carve/carve.h"
#include "carve/page_owners.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cpp/carve/carve_reference.h"
#include "database/database.h"
#include "fixture/carve_pages.h"
#include "fixture/database_builder.h"
#include "fixture/entries.h"
#include "fixture/open_bytes.h"
#include "fixture/page_builder.h"
#include "fixture/temp_file.h"

namespace pellumo {
namespace {

using fixture::BuiltDatabase;
using fixture::ByteVector;
using fixture::Format;
using fixture::PageBuilder;
using fixture::utf16le_text;

constexpr CarveScope kScopes[] = {CarveScope::Slack, CarveScope::All, CarveScope::TagData, CarveScope::LvAll,
                                  CarveScope::LvSlack};

const Format kFormats[] = {
    {4096, 0x620, 0x14},   // 40-byte header, 13-bit tag fields
    {32768, 0x620, 0x14},  // 80-byte header, 15-bit tag fields, tag count capped by the free space
    {8192, 0x620, 0x09},   // the oldest header layout
    {16384, 0x621, 0x00},  // 80-byte header with 13-bit tag fields
};

std::string format_name(const Format& f) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "page %u, v 0x%x, r 0x%x", f.page_size, f.format_version, f.format_revision);
  return buf;
}

std::unique_ptr<Database> open_or_die(const ByteVector& bytes) {
  auto db = fixture::open_bytes(bytes);
  if (!db) {
    ADD_FAILURE() << "open failed: " << db.error().message();
    return nullptr;
  }
  return std::move(db).value();
}

std::vector<CarvedString> carve(const Database& db, CarveScope scope, std::optional<std::string> needle = std::nullopt,
                                std::size_t min_chars = 6, std::size_t max_hits = 100000) {
  auto hits = db.carve_utf16le_strings_scoped(scope, needle, min_chars, max_hits);
  EXPECT_TRUE(hits.ok());
  return hits ? std::move(hits).value() : std::vector<CarvedString>{};
}

std::vector<std::string> texts(const std::vector<CarvedString>& hits) {
  std::vector<std::string> out;
  for (const CarvedString& h : hits) out.push_back(h.text);
  return out;
}

TEST(CarveScopeTest, Names) {
  for (const CarveScope s : kScopes) EXPECT_EQ(carve_scope_from_name(carve_scope_name(s)), s);
  for (const char* bad : {"Slack", " slack", "slack ", "", "lv-all", "ALL"}) {
    EXPECT_FALSE(carve_scope_from_name(bad).has_value()) << bad;
  }
  const struct {
    std::uint32_t flags;
    const char* type;
  } types[] = {{0x82, "long_value"}, {0xE2, "long_value"}, {0x22, "space_tree"}, {0x62, "space_tree"},
               {0x42, "index"},      {0x02, "leaf"},       {0x03, "leaf"},       {0x00, "branch"},
               {0x05, "branch"},     {0x40, "index"}};
  for (const auto& t : types) EXPECT_EQ(carve_page_type(t.flags), t.type) << t.flags;
}

// The "carve" database, in every format: what each scope finds, hit by hit
// where the pages were built for it.
TEST(CarveScopedTest, CarveDatabase) {
  for (const Format& format : kFormats) {
    SCOPED_TRACE(format_name(format));
    const BuiltDatabase built = fixture::carve_database(format);
    auto db = open_or_die(built.bytes());
    ASSERT_TRUE(db);
    const std::size_t h = format.page_header_size();
    const std::uint32_t alpha_leaf = built.table("Alpha")->data.levels.front().front();

    const auto slack = carve(*db, CarveScope::Slack);
    EXPECT_EQ(texts(slack), (std::vector<std::string>{"stale alpha slack", "orphan leaf slack", "lv page slack",
                                                      "space tree slack", "branch page slack", "page without tags",
                                                      "past the end slack"}));
    if (slack.size() == 7) {
      EXPECT_EQ(slack[0].page, alpha_leaf);
      EXPECT_EQ(slack[0].table, "Alpha");
      EXPECT_EQ(slack[0].page_type, "leaf");
      EXPECT_EQ(slack[1].table, std::nullopt);  // a leaf no table's chain reaches
      EXPECT_EQ(slack[2].page_type, "long_value");
      EXPECT_EQ(slack[2].page_flags, 0x82u);
      EXPECT_EQ(slack[3].page_type, "space_tree");
      EXPECT_EQ(slack[4].page_type, "branch");
      // A page without tags: the gap runs from the header to the page end.
      EXPECT_EQ(slack[5].offset, h);
      EXPECT_EQ(slack[5].slack_start, h);
      EXPECT_EQ(slack[5].slack_end, format.page_size);
      // A tag whose value would run past the page covers nothing.
      EXPECT_EQ(slack[6].slack_start, h);
      for (const CarvedString& hit : slack) EXPECT_EQ(hit.region_kind, "slack");
    }

    const auto tag_data = carve(*db, CarveScope::TagData);
    std::vector<std::string> found = texts(tag_data);
    for (const char* want : {"alpha record 1", "alpha record 8", "beta record 4", "orphan record", "long value tag",
                             "index key text", "counted tag text"}) {
      EXPECT_NE(std::find(found.begin(), found.end(), want), found.end()) << want;
    }
    for (const CarvedString& hit : tag_data) {
      EXPECT_EQ(hit.region_kind, "tag_data");
      EXPECT_EQ(hit.text.find("slack"), std::string::npos) << hit.text;
      if (hit.text.rfind("alpha record", 0) == 0) {
        EXPECT_EQ(hit.table, "Alpha");
      }
      if (hit.text.rfind("beta record", 0) == 0) {
        EXPECT_EQ(hit.table, "Beta");
      }
      if (hit.text == "index key text") {
        EXPECT_EQ(hit.page_type, "index");
        EXPECT_EQ(hit.table, std::nullopt);
      }
    }

    const auto all = carve(*db, CarveScope::All);
    found = texts(all);
    for (const char* want : {"stale alpha slack", "alpha record 3", "page without tags", "long value tag"}) {
      EXPECT_NE(std::find(found.begin(), found.end(), want), found.end()) << want;
    }
    for (const CarvedString& hit : all) {
      EXPECT_EQ(hit.region_kind, "all");
      EXPECT_EQ(hit.slack_start, 0u);
      EXPECT_EQ(hit.slack_end, format.page_size);
      EXPECT_NE(hit.text, "odd offset text");  // strings at odd offsets are never found
    }

    // Long-value scopes: the long-value tree's pages and the 0x82 page only.
    const auto lv_all = carve(*db, CarveScope::LvAll);
    EXPECT_FALSE(lv_all.empty());
    for (const CarvedString& hit : lv_all) {
      EXPECT_EQ(hit.region_kind, "all");
      EXPECT_EQ(hit.page_type, "long_value");
      EXPECT_NE(hit.page_flags & 0x80, 0u);
    }
    found = texts(lv_all);
    EXPECT_NE(std::find(found.begin(), found.end(), "lv page slack"), found.end());
    EXPECT_EQ(std::find(found.begin(), found.end(), "stale alpha slack"), found.end());
    const auto lv_slack = carve(*db, CarveScope::LvSlack);
    EXPECT_EQ(texts(lv_slack), std::vector<std::string>{"lv page slack"});
    for (const CarvedString& hit : lv_slack) EXPECT_EQ(hit.page_type, "long_value");

    // And the whole request agrees with the step-by-step one, hit for hit.
    for (const CarveScope scope : kScopes) {
      EXPECT_EQ(carve(*db, scope, std::nullopt, 2), carve_reference::carve_request(*db, scope, std::nullopt, 2, 100000))
          << carve_scope_name(scope);
    }
  }
}

// One page, built for each case, at a page number that an extra table
// "Owner" names as its root: a table leaf there belongs to Owner.
constexpr std::uint32_t kCasePage = 60;

struct PageCase {
  const char* name;
  std::function<void(PageBuilder&, std::size_t header, std::size_t length)> build;
  CarveScope scope;
  struct Hit {
    std::uint64_t offset, slack_start, slack_end;
    std::string text;
  };
  std::vector<Hit> hits;  // on kCasePage
  const char* page_type = "leaf";
  std::optional<std::string> table = "Owner";
};

std::unique_ptr<Database> database_with_case_page(const Format& format, const PageCase& c) {
  fixture::DatabaseBuilder builder(format);
  fixture::TableSpec owner;
  owner.name = "Owner";
  owner.root_page = kCasePage;
  owner.build_data_tree = false;
  builder.add_table(std::move(owner));
  BuiltDatabase built = builder.build();
  PageBuilder& page = built.file.page(kCasePage);
  page.set_flags(fixture::kPageLeaf);
  c.build(page, format.page_header_size(), format.page_size);
  return open_or_die(built.bytes());
}

TEST(CarveScopedTest, PageRanges) {
  const Format format{4096, 0x620, 0x14};
  const std::size_t h = 40, L = 4096;
  auto text_at = [](PageBuilder& p, std::size_t at, std::string_view s) { p.patch(at, utf16le_text(s)); };
  // Raw tags: a slot of `size` bytes at page offset `at`.
  auto raw = [&](PageBuilder& p, std::size_t at, std::size_t size) {
    p.add_raw_tag(static_cast<std::uint32_t>(size), static_cast<std::uint32_t>(at - h));
  };
  const PageCase cases[] = {
      {"no tags: one gap from the header to the end",
       [&](PageBuilder& p, std::size_t, std::size_t) {
         text_at(p, h, "first string");
         text_at(p, L - 24, "last string");
       },
       CarveScope::Slack,
       {{h, h, L, "first string"}, {L - 24, h, L, "last string"}}},
      {"values fill the page: no slack",
       [&](PageBuilder& p, std::size_t, std::size_t) {
         ByteVector data = utf16le_text("inside the value");
         data.resize(L - h - 8, 0);
         p.add_tag(0, {}).add_tag(0, data);
       },
       CarveScope::Slack,
       {}},
      {"values fill the page: tag data",
       [&](PageBuilder& p, std::size_t, std::size_t) {
         ByteVector data = utf16le_text("inside the value");
         data.resize(L - h - 8, 0);
         p.add_tag(0, {}).add_tag(0, data);
       },
       CarveScope::TagData,
       {{h, h, L - 8, "inside the value"}}},
      {"an empty tag splits no gap",
       [&](PageBuilder& p, std::size_t, std::size_t) {
         text_at(p, 100, "across an empty tag");
         raw(p, 110, 0);
       },
       CarveScope::Slack,
       {{100, h, L - 4, "across an empty tag"}}},
      {"an empty tag is no tag-data range",
       [&](PageBuilder& p, std::size_t, std::size_t) {
         text_at(p, 100, "across an empty tag");
         raw(p, 110, 0);
       },
       CarveScope::TagData,
       {}},
      {"touching and overlapping values merge; the hole between them is slack",
       [&](PageBuilder& p, std::size_t, std::size_t) {
         text_at(p, 60, "under values");  // ends at 84
         raw(p, 50, 20);                  // [50, 70)
         raw(p, 70, 10);                  // [70, 80), touching
         raw(p, 76, 24);                  // [76, 100), overlapping
         text_at(p, 100, "in the hole");  // [100, 122)
         raw(p, 124, 8);                  // [124, 132)
       },
       CarveScope::Slack,
       {{100, 100, 124, "in the hole"}}},
      {"tag data in tag order, overlaps reported for each tag",
       [&](PageBuilder& p, std::size_t, std::size_t) {
         text_at(p, 200, "second place");  // [200, 224)
         text_at(p, 100, "first place");   // [100, 122)
         raw(p, 196, 32);                  // tag 0: [196, 228)
         raw(p, 100, 22);                  // tag 1: [100, 122)
         raw(p, 200, 24);                  // tag 2: the same string as tag 0
       },
       CarveScope::TagData,
       {{200, 196, 228, "second place"}, {100, 100, 122, "first place"}, {200, 200, 224, "second place"}}},
      {"a value past the page end is slack; its slot still is not",
       [&](PageBuilder& p, std::size_t, std::size_t) {
         text_at(p, 300, "under a bad tag");
         raw(p, 290, 0x1FFF);  // [290, 290 + 8191) runs past the page
       },
       CarveScope::Slack,
       {{300, h, L - 4, "under a bad tag"}}},
      {"a value past the page end is no tag-data range",
       [&](PageBuilder& p, std::size_t, std::size_t) {
         text_at(p, 300, "under a bad tag");
         raw(p, 290, 0x1FFF);
       },
       CarveScope::TagData,
       {}},
      {"a gap starting at an odd offset",
       [&](PageBuilder& p, std::size_t, std::size_t) {
         raw(p, h, 61);  // [40, 101)
         text_at(p, 102, "after an odd end");
       },
       CarveScope::Slack,
       {{102, 101, L - 4, "after an odd end"}}},
      {"a run touching the tag array ends there",
       [&](PageBuilder& p, std::size_t, std::size_t) {
         // The slot bytes 20 00 20 00 read as code units are two spaces.
         raw(p, h + 0x20, 0x20);              // [72, 104)
         text_at(p, L - 4 - 16, "eightchr");  // the last 16 bytes before the array
       },
       CarveScope::Slack,
       {{L - 20, 104, L - 4, "eightchr"}}},
      {"tag count 0x0FFF: slots outside the page are skipped, the array covers the page",
       [&](PageBuilder& p, std::size_t, std::size_t) {
         p.add_tag(0, utf16le_text("the one real tag"));
         text_at(p, 400, "no slack left");
         p.set_tag_count_word(0xFFFF).set_available_data_size(0);
       },
       CarveScope::Slack,
       {}},
      {"tag count 0x0FFF under tag data: the slots inside the page are read",
       [&](PageBuilder& p, std::size_t, std::size_t) {
         p.add_tag(0, utf16le_text("the one real tag"));
         // The header words read as slots give no value with a string in it.
         p.set_tag_count_word(0xFFFF).set_available_data_size(0);
       },
       CarveScope::TagData,
       {{h, h, h + 32, "the one real tag"}}},
      {"the reserved-tag bits do not count as tags",
       [&](PageBuilder& p, std::size_t, std::size_t) {
         text_at(p, 200, "between values");
         raw(p, 100, 20);
         // Count 1 with reserved bits set: only tag 0 is a tag, the rest of the array is free.
         p.set_tag_count_word(0x7001);
         text_at(p, L - 40, "near the end");
       },
       CarveScope::Slack,
       {{200, 120, L - 4, "between values"}, {L - 40, 120, L - 4, "near the end"}}},
      {"flags 0x82: long value, no owner",
       [&](PageBuilder& p, std::size_t, std::size_t) {
         p.set_flags(0x82);
         text_at(p, 100, "long value page");
       },
       CarveScope::LvSlack,
       {{100, h, L, "long value page"}},
       "long_value",
       std::nullopt},
      {"flags 0x82 under lv_all",
       [&](PageBuilder& p, std::size_t, std::size_t) {
         p.set_flags(0x82);
         text_at(p, 100, "long value page");
       },
       CarveScope::LvAll,
       {{100, 0, L, "long value page"}},
       "long_value",
       std::nullopt},
      {"lv scopes skip a table leaf",
       [&](PageBuilder& p, std::size_t, std::size_t) { text_at(p, 100, "table leaf page"); },
       CarveScope::LvAll,
       {}},
      {"flags 0x42: index, no owner",
       [&](PageBuilder& p, std::size_t, std::size_t) {
         p.set_flags(0x42);
         text_at(p, 100, "index page text");
       },
       CarveScope::All,
       {{100, 0, L, "index page text"}},
       "index",
       std::nullopt},
      {"a table leaf gets its owner",
       [&](PageBuilder& p, std::size_t, std::size_t) { text_at(p, 100, "owned leaf text"); },
       CarveScope::All,
       {{100, 0, L, "owned leaf text"}}},
  };
  for (const PageCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto db = database_with_case_page(format, c);
    ASSERT_TRUE(db);
    std::vector<CarvedString> on_page;
    for (CarvedString& hit : carve(*db, c.scope)) {
      if (hit.page == kCasePage) on_page.push_back(std::move(hit));
    }
    ASSERT_EQ(on_page.size(), c.hits.size());
    for (std::size_t i = 0; i < c.hits.size(); ++i) {
      EXPECT_EQ(on_page[i].offset, c.hits[i].offset) << i;
      EXPECT_EQ(on_page[i].slack_start, c.hits[i].slack_start) << i;
      EXPECT_EQ(on_page[i].slack_end, c.hits[i].slack_end) << i;
      EXPECT_EQ(on_page[i].text, c.hits[i].text) << i;
      EXPECT_EQ(on_page[i].page_type, c.page_type) << i;
      EXPECT_EQ(on_page[i].table, c.table) << i;
    }
  }
}

TEST(CarveScopedTest, LargePageTags) {
  // 15-bit tag fields reach past 8 KiB, and the free-space field caps the count.
  const Format format{32768, 0x620, 0x14};
  const std::size_t h = 80;
  PageCase c{"large", [&](PageBuilder& p, std::size_t, std::size_t) {
               p.patch(20000, utf16le_text("far into the page"));
               p.add_raw_tag(34, static_cast<std::uint32_t>(20000 - h));
               p.patch(30000, utf16le_text("in the free space"));
               p.set_tag_count_word(5);
               // Used bytes 32768 - 32760 = 8: room for two slots only.
               p.set_available_data_size(32760);
             },
             CarveScope::TagData, {}};
  auto db = database_with_case_page(format, c);
  ASSERT_TRUE(db);
  std::vector<std::string> tag_texts, slack_texts;
  for (const CarvedString& hit : carve(*db, CarveScope::TagData)) {
    if (hit.page == kCasePage) tag_texts.push_back(hit.text);
  }
  std::vector<CarvedString> slack;
  for (CarvedString& hit : carve(*db, CarveScope::Slack)) {
    if (hit.page == kCasePage) slack.push_back(std::move(hit));
  }
  EXPECT_EQ(tag_texts, std::vector<std::string>{"far into the page"});
  ASSERT_EQ(slack.size(), 1u);
  EXPECT_EQ(slack[0].text, "in the free space");
  EXPECT_EQ(slack[0].slack_start, 20034u);
  EXPECT_EQ(slack[0].slack_end, 32768u - 8);  // two slots
}

// Many strings on a few pages: caps reached between pages, between gaps
// and inside a range; min_chars and max_hits clamped.
TEST(CarveScopedTest, CapsAndClamps) {
  const Format format{4096, 0x620, 0x14};
  fixture::DatabaseBuilder builder(format);
  BuiltDatabase built = builder.build();
  std::vector<std::uint32_t> pages;
  for (int k = 0; k < 3; ++k) {
    const std::uint32_t n = built.file.allocate_page();
    pages.push_back(n);
    PageBuilder& p = built.file.page(n);
    p.set_flags(0).add_tag(0, {}).add_raw_tag(100, 1000);  // used [1040, 1140): two gaps
    for (int s = 0; s < 3; ++s) {
      p.patch(100 + 40 * s, utf16le_text("p" + std::to_string(k) + " gap1 s" + std::to_string(s)));
      p.patch(2000 + 40 * s, utf16le_text("p" + std::to_string(k) + " gap2 s" + std::to_string(s)));
    }
    p.patch(3000, utf16le_text("ab"));  // two characters
    p.patch(3010, utf16le_text("x"));   // one
  }
  auto db = open_or_die(built.bytes());
  ASSERT_TRUE(db);
  const auto every = carve(*db, CarveScope::Slack, std::nullopt, 6, 1000);
  ASSERT_EQ(every.size(), 18u);
  const struct {
    const char* name;
    std::optional<std::string> needle;
    std::size_t min_chars, max_hits;
    std::vector<std::string> want;
  } cases[] = {
      {"cap inside the first range", std::nullopt, 6, 2, {"p0 gap1 s0", "p0 gap1 s1"}},
      {"cap at the end of a gap", std::nullopt, 6, 3, {"p0 gap1 s0", "p0 gap1 s1", "p0 gap1 s2"}},
      {"cap in the second gap", std::nullopt, 6, 4, {"p0 gap1 s0", "p0 gap1 s1", "p0 gap1 s2", "p0 gap2 s0"}},
      {"max_hits 0 acts as 1", std::nullopt, 6, 0, {"p0 gap1 s0"}},
      {"cap with a needle", "s2", 6, 2, {"p0 gap1 s2", "p0 gap2 s2"}},
      {"needle across pages", "p2 gap2", 6, 100, {"p2 gap2 s0", "p2 gap2 s1", "p2 gap2 s2"}},
      {"min_chars 0 acts as 2", "ab", 0, 100, {"ab", "ab", "ab"}},
      {"min_chars 1 acts as 2", "x", 1, 100, {}},
      {"min_chars 3", "ab", 3, 100, {}},
      {"min_chars beyond every run", std::nullopt, 11, 100, {}},
      {"a needle with a non-printable character", "p0\tgap", 2, 100, {}},
      {"largest min_chars", std::nullopt, SIZE_MAX, SIZE_MAX, {}},
      {"largest max_hits", "s1", 6, SIZE_MAX, {"p0 gap1 s1", "p0 gap2 s1", "p1 gap1 s1", "p1 gap2 s1", "p2 gap1 s1",
                                               "p2 gap2 s1"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto hits = carve(*db, CarveScope::Slack, c.needle, c.min_chars, c.max_hits);
    EXPECT_EQ(texts(hits), c.want);
    EXPECT_EQ(hits, carve_reference::carve_request(*db, CarveScope::Slack, c.needle, c.min_chars, c.max_hits));
  }
  // Hits of a page come before any of the next page, gap by gap.
  EXPECT_EQ(every[3].text, "p0 gap2 s0");
  EXPECT_EQ(every[3].slack_start, 1140u);
  EXPECT_EQ(every[6].page, pages[1]);
}

// ---- Owners ----------------------------------------------------------------

// The owners marked into each of the two stores.
class OwnerMarks {
 public:
  explicit OwnerMarks(const Database& db) : dense_(db.total_pages()) {
    page_owner_detail::mark_page_owners(db, db.tables(), dense_);
    page_owner_detail::mark_page_owners(db, db.tables(), sparse_);
  }
  std::optional<std::size_t> dense_owner(std::uint32_t n) const { return owner(dense_.get(n)); }
  std::optional<std::size_t> sparse_owner(std::uint32_t n) const { return owner(sparse_.get(n)); }

 private:
  static std::optional<std::size_t> owner(page_owner_detail::Mark mark) {
    if (mark.owner == page_owner_detail::kNone) return std::nullopt;
    return mark.owner;
  }
  page_owner_detail::DenseMarks dense_;
  page_owner_detail::SparseMarks sparse_;
};

std::optional<std::string> owner_name(const Database& db, std::optional<std::size_t> index) {
  if (!index) return std::nullopt;
  return db.tables()[*index].first;
}

TEST(CarveOwnerTest, OnceForAllPagesEqualsSearchPerPage) {
  for (const Format& format : kFormats) {
    SCOPED_TRACE(format_name(format));
    const BuiltDatabase built = fixture::owner_maze_database(format);
    auto db = open_or_die(built.bytes());
    ASSERT_TRUE(db);
    const OwnerMarks marks(*db);
    const PageOwners automatic = PageOwners::compute(*db, db->tables());
    for (std::uint32_t n = 0; n <= db->total_pages() + 2; ++n) {
      const auto want = carve_reference::find_page_owner(*db, n);
      ASSERT_EQ(marks.dense_owner(n), want) << "page " << n;
      ASSERT_EQ(marks.sparse_owner(n), want) << "page " << n;
      ASSERT_EQ(automatic.owner(n), want) << "page " << n;
    }
    for (const std::uint32_t n : {99998u, 99999u, 100000u, 0xFFFFFFFFu}) EXPECT_EQ(automatic.owner(n), std::nullopt);

    // What the maze was built to show.
    const std::uint32_t b = fixture::kOwnerMazeBase;
    const auto& main_leaves = built.table("Main")->data.levels.front();
    const std::vector<std::pair<std::uint32_t, std::optional<std::string>>> expected = {
        {main_leaves[0], "Main"},     {main_leaves[1], "Main"},
        {main_leaves[2], "Partial"},  // reached by both: the first table in catalog order wins
        {main_leaves[4], "Partial"},  {built.table("Main")->root_page, std::nullopt},
        {b + 2, "Loop"},              {b + 3, "Loop"},
        {b + 4, "Loop"},              {b + 5, "Cycle"},  // the descent's cycle ends where it repeats; the walk starts there
        {b + 6, std::nullopt},        {b + 7, "Cycle"},
        {b + 8, "Leaving"},           {b + 9, "Stub"},
        {b + 10, "Stub"},             {b + 11, std::nullopt},  // the walk starts at the child
        {b + 12, "Reserved"},         {b + 13, std::nullopt},
        {b + 1, std::nullopt},        {b + 0, std::nullopt},
    };
    for (const auto& [page, name] : expected) EXPECT_EQ(owner_name(*db, automatic.owner(page)), name) << "page " << page;
    // The catalog's leaves belong to MSysObjects.
    EXPECT_EQ(owner_name(*db, automatic.owner(built.catalog.levels.front().front())), "MSysObjects");

    // The request labels leaf pages the same way.
    for (const CarveScope scope : {CarveScope::All, CarveScope::Slack}) {
      EXPECT_EQ(carve(*db, scope, std::nullopt, 2),
                carve_reference::carve_request(*db, scope, std::nullopt, 2, 100000));
    }
  }
}

TEST(CarveOwnerTest, RandomChains) {
  // Leaf pages whose next-page links and table roots are drawn at random:
  // chains that merge, loop, leave the file and end at page 0.
  std::mt19937 rng(7);
  for (int round = 0; round < 40; ++round) {
    const Format format{4096, 0x620, 0x14};
    fixture::DatabaseBuilder builder(format);
    constexpr std::uint32_t kFirst = 100, kCount = 40;
    const int tables = 1 + static_cast<int>(rng() % 6);
    for (int t = 0; t < tables; ++t) {
      fixture::TableSpec declared;
      declared.name = "T" + std::to_string(t);
      declared.root_page = rng() % 8 == 0 ? 5000 : kFirst + rng() % kCount;
      declared.build_data_tree = false;
      builder.add_table(std::move(declared));
    }
    BuiltDatabase built = builder.build();
    for (std::uint32_t n = kFirst; n < kFirst + kCount; ++n) {
      PageBuilder& p = built.file.page(n);
      const std::uint32_t pick = rng() % 10;
      const std::uint32_t next = pick == 0 ? 0 : pick == 1 ? 7000 : kFirst + rng() % kCount;
      if (rng() % 5 == 0) {
        // A branch page: its first child is another page of the set.
        p.set_flags(0).set_next_page(next).add_tag(0, {}).add_tag(
            fixture::branch_tag(fixture::sequential_key(1), kFirst + rng() % kCount));
      } else {
        p.set_flags(fixture::kPageLeaf).set_next_page(next).add_tag(0, {});
      }
    }
    auto db = open_or_die(built.bytes());
    ASSERT_TRUE(db);
    const OwnerMarks marks(*db);
    for (std::uint32_t n = 0; n <= db->total_pages(); ++n) {
      const auto want = carve_reference::find_page_owner(*db, n);
      ASSERT_EQ(marks.dense_owner(n), want) << "round " << round << " page " << n;
      ASSERT_EQ(marks.sparse_owner(n), want) << "round " << round << " page " << n;
    }
  }
}

// ---- Samples ---------------------------------------------------------------

class SampleFiles {
 public:
  SampleFiles() {
    const std::filesystem::path dir(PELLUMO_SAMPLES_DIR);
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec)) return;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
      const std::string name = entry.path().filename().string();
      if (name.size() < 4 || name.substr(name.size() - 3) != ".gz") continue;
      const std::string out = temp_.file(name.substr(0, name.size() - 3));
      const std::string command = "gzip -dc '" + entry.path().string() + "' > '" + out + "'";
      if (std::system(command.c_str()) == 0) paths_.push_back(out);
    }
    std::sort(paths_.begin(), paths_.end());
  }
  const std::vector<std::string>& paths() const { return paths_; }

 private:
  fixture::TempDir temp_;
  std::vector<std::string> paths_;
};

TEST(CarveSamplesTest, EveryScopeOnEverySample) {
  SampleFiles samples;
  if (samples.paths().empty()) GTEST_SKIP() << "no sample databases at " << PELLUMO_SAMPLES_DIR;
  std::size_t found_anywhere = 0;
  for (const std::string& path : samples.paths()) {
    SCOPED_TRACE(path);
    auto opened = Database::open(path);
    ASSERT_TRUE(opened.ok()) << opened.error().message();
    const Database& db = **opened;
    // The step-by-step request searches owners page by page: kept to the small files.
    const bool small = db.total_pages() <= 400;
    for (const CarveScope scope : kScopes) {
      SCOPED_TRACE(carve_scope_name(scope));
      const auto hits = carve(db, scope, std::nullopt, 4, 5000);
      EXPECT_LE(hits.size(), 5000u);
      found_anywhere += hits.size();
      std::uint32_t last_page = 0;
      for (const CarvedString& h : hits) {
        ASSERT_GE(h.page, last_page);
        last_page = h.page;
        ASSERT_GE(h.page, 1u);
        ASSERT_LE(h.page, db.total_pages());
        ASSERT_EQ(h.offset % 2, 0u);
        ASSERT_GE(h.offset, h.slack_start);
        ASSERT_LE(h.offset + 2 * h.text.size(), h.slack_end);
        ASSERT_LE(h.slack_end, db.page_size());
        ASSERT_GE(h.text.size(), 4u);
        for (const char ch : h.text) ASSERT_TRUE(ch >= 0x20 && ch <= 0x7E);
        ASSERT_EQ(std::string(carve_page_type(h.page_flags)), h.page_type);
        if (h.table) {
          ASSERT_EQ(h.page_type, "leaf");
        }
        if (scope == CarveScope::LvAll || scope == CarveScope::LvSlack) {
          ASSERT_EQ(h.page_type, "long_value");
        }
        const bool whole = scope == CarveScope::All || scope == CarveScope::LvAll;
        ASSERT_EQ(h.region_kind, whole ? "all" : scope == CarveScope::TagData ? "tag_data" : "slack");
        if (whole) {
          ASSERT_EQ(h.slack_start, 0u);
        }
      }
      if (small) {
        EXPECT_EQ(hits, carve_reference::carve_request(db, scope, std::nullopt, 4, 5000));
      }
    }
    // Owners of every page: once for all against one search per page.
    {
      const PageOwners owners = PageOwners::compute(db, db.tables());
      for (std::uint32_t n = 1; n <= db.total_pages(); ++n) {
        ASSERT_EQ(owners.owner(n), carve_reference::find_page_owner(db, n)) << n;
      }
    }
  }
  // The samples hold text: record values and stale strings are found.
  EXPECT_GT(found_anywhere, 0u);
}

}  // namespace
}  // namespace pellumo
