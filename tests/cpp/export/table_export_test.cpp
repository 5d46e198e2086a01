#include "export/table_export.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "database/database.h"
#include "fixture/database_builder.h"
#include "fixture/open_bytes.h"
#include "fixture/scenarios.h"
#include "fixture/scenarios_export.h"
#include "fixture/temp_file.h"

namespace pellumo {
namespace {

const fixture::Format kFormat{4096, 0x620, 0x14};

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// The names in `dir`, sorted.
std::vector<std::string> list_dir(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

std::unique_ptr<Database> open_names(const std::vector<std::string>& names) {
  auto db = fixture::open_bytes(fixture::export_names_database(names, kFormat).bytes());
  EXPECT_TRUE(db.ok()) << db.error().message();
  return std::move(db).value();
}

std::unique_ptr<Database> open_scenario(const char* name) {
  auto db = fixture::open_bytes(fixture::find_scenario(name)->build(kFormat));
  EXPECT_TRUE(db.ok()) << db.error().message();
  return std::move(db).value();
}

// The text an export error raises (the Python layer raises io_description()
// of Io errors and message() of the others).
std::string error_text(const EseError& e) {
  return e.kind() == EseError::Kind::Io ? e.io_description() : e.message();
}

TEST(ExportTest, JoinOutputPath) {
  const struct {
    const char* dir;
    const char* file;
    const char* joined;
  } cases[] = {
      {"out", "T.jsonl", "out/T.jsonl"},
      {"out/", "T.jsonl", "out/T.jsonl"},   // no second slash
      {"", "T.jsonl", "T.jsonl"},           // the working directory
      {"/", "T.jsonl", "/T.jsonl"},
      {"out", "/abs/x.jsonl", "/abs/x.jsonl"},  // an absolute name replaces the directory
      {"out", "a/b.jsonl", "out/a/b.jsonl"},
      {"out//", "T.jsonl", "out//T.jsonl"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(join_output_path(c.dir, c.file), c.joined) << c.dir << " + " << c.file;
  }
}

TEST(ExportTest, SafeExportNames) {
  const struct {
    std::string name;
    bool safe;
  } cases[] = {
      {"Users", true},
      {"", true},            // ".jsonl"
      {"..", true},          // "...jsonl", a plain file name
      {"...", true},
      {"a..b", true},
      {"sub/inner", true},   // a subdirectory of the output directory
      {"./x", true},
      {"a//b", true},
      {"a/..", true},        // "a/...jsonl"
      {"../evil", false},
      {"/abs/x", false},
      {"/", false},
      {"a/../b", false},     // inside only if "a" is a real directory: refused
      {"a/../../x", false},
      {"../", false},        // "../.jsonl"
      {"x/../..", false},
      {std::string("..\0/x", 5), true},  // "..\0" is no "..": the NUL stops the file's creation instead
  };
  for (const auto& c : cases) EXPECT_EQ(is_safe_export_name(c.name), c.safe) << c.name;
}

TEST(ExportTest, CreateOutputDirectory) {
  fixture::TempDir tmp;
  const std::string file = tmp.write("file", {'x'});
  const mode_t old_mask = ::umask(022);
  const struct {
    std::string dir;
    std::string error;  // empty: success
  } cases[] = {
      {tmp.file("a/b/c"), ""},  // missing parents
      {tmp.file("a/b/c"), ""},  // all there already
      {tmp.file("a/b/c/"), ""},
      {tmp.file("d//e///"), ""},
      {tmp.path(), ""},
      {"/", ""},
      {file, "Failed to create output directory: File exists (os error 17)"},
      {file + "/sub", "Failed to create output directory: Not a directory (os error 20)"},
      {std::string("a\0b", 3), "Failed to create output directory: Invalid argument (os error 22)"},
  };
  for (const auto& c : cases) {
    Result<void> r = create_output_directory(c.dir);
    if (c.error.empty()) {
      EXPECT_TRUE(r.ok()) << c.dir << ": " << error_text(r.error());
    } else {
      ASSERT_FALSE(r.ok()) << c.dir;
      EXPECT_EQ(r.error().kind(), EseError::Kind::Io);
      EXPECT_EQ(r.error().io_description(), c.error) << c.dir;
    }
  }
  ::umask(old_mask);
  struct stat st {};
  ASSERT_EQ(::stat(tmp.file("a/b").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);  // 0777 less the umask
  // Empty: nothing to make, nothing made.
  EXPECT_TRUE(create_output_directory("").ok());
}

TEST(ExportTest, ExportTableWritesSortedLinesAndFailsCleanly) {
  fixture::TempDir tmp;
  auto db = open_scenario("export-json");
  ASSERT_TRUE(export_table_jsonl(*db, "Members", tmp.file("m.jsonl")).ok());
  EXPECT_EQ(read_file(tmp.file("m.jsonl")), "{\"C\":-3,\"a\":2,\"b\":1}\n");
  ASSERT_TRUE(export_table_jsonl(*db, "NoColumns", tmp.file("n.jsonl")).ok());
  EXPECT_EQ(read_file(tmp.file("n.jsonl")), "{}\n{}\n");

  // An unknown table is the cursor's own error, and no file appears.
  Result<void> missing = export_table_jsonl(*db, "members", tmp.file("missing.jsonl"));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind(), EseError::Kind::TableNotFound);
  EXPECT_FALSE(exists(tmp.file("missing.jsonl")));

  // A leaf chain leaving the file after four records: those four stay.
  auto broken = open_scenario("python-broken-chain");
  Result<void> chained = export_table_jsonl(*broken, "Chained", tmp.file("chained.jsonl"));
  ASSERT_FALSE(chained.ok());
  EXPECT_EQ(error_text(chained.error()), "Error reading record: Invalid page number: 16777215");
  EXPECT_EQ(read_file(tmp.file("chained.jsonl")), "{\"Id\":1}\n{\"Id\":2}\n{\"Id\":3}\n{\"Id\":4}\n");

  const struct {
    std::string path;
    std::string error;
  } failures[] = {
      {tmp.file("no/such/dir/t.jsonl"), "Failed to create output file: No such file or directory (os error 2)"},
      {tmp.path(), "Failed to create output file: Is a directory (os error 21)"},
      {"/dev/full", "Write error: No space left on device (os error 28)"},
  };
  for (const auto& f : failures) {
    Result<void> r = export_table_jsonl(*db, "Floats", f.path);
    ASSERT_FALSE(r.ok()) << f.path;
    EXPECT_EQ(r.error().kind(), EseError::Kind::Io);
    EXPECT_EQ(r.error().io_description(), f.error);
  }
}

TEST(ExportTest, ExportAllStopsAtTheFirstFailure) {
  struct Case {
    const char* what;
    std::vector<std::string> names;
    std::vector<std::string> written;  // files expected in the output directory afterwards
    std::string error;                 // empty: success
  };
  const Case cases[] = {
      {"every table", {"A", "B", ".."}, {"...jsonl", "A.jsonl", "B.jsonl"}, ""},
      {"a parent reference", {"A", "../evil", "B"}, {"A.jsonl"}, "Unsafe table name for export: ../evil"},
      {"an absolute name", {"/abs/x", "B"}, {}, "Unsafe table name for export: /abs/x"},
      {"a climb that starts inside", {"A", "a/../../x"}, {"A.jsonl"}, "Unsafe table name for export: a/../../x"},
      {"a subdirectory that does not exist", {"A", "sub/x", "B"}, {"A.jsonl"},
       "Failed to create output file: No such file or directory (os error 2)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fixture::TempDir tmp;
    auto db = open_names(c.names);
    const std::string out = tmp.file("out/nested");
    Result<void> r = export_all_jsonl(*db, out);
    if (c.error.empty()) {
      EXPECT_TRUE(r.ok()) << error_text(r.error());
    } else {
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(error_text(r.error()), c.error);
    }
    // Exactly the files listed, and nothing next to the directory.
    EXPECT_EQ(list_dir(out), c.written);
    EXPECT_EQ(list_dir(tmp.file("out")), std::vector<std::string>{"nested"});
    EXPECT_FALSE(exists(tmp.file("x.jsonl")));
    EXPECT_FALSE(exists("/abs"));
  }
}

TEST(ExportTest, ExportAllJoinsDecodedNames) {
  fixture::TempDir tmp;
  // The name is decoded with U+FFFD, and that text is what gets looked up:
  // the stored bytes differ, so the table is not found.
  auto db = open_scenario("odd-names");
  Result<void> r = export_all_jsonl(*db, tmp.file("out"));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), EseError::Kind::TableNotFound);
  EXPECT_EQ(r.error().text(), "Bad\xEF\xBF\xBDName");
  EXPECT_TRUE(exists(tmp.file("out/MSysObjects.jsonl")));
  EXPECT_TRUE(exists(tmp.file("out/Users.jsonl")));
  EXPECT_FALSE(exists(tmp.file("out/Bad\xEF\xBF\xBDName.jsonl")));

  // A directory whose name is not UTF-8 is made, but no file is joined to it.
  auto names = open_names({"A"});
  Result<void> bad = export_all_jsonl(*names, tmp.file("bad\xff"));
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(error_text(bad.error()), "Invalid UTF-8 in output path");
  EXPECT_TRUE(exists(tmp.file("bad\xff")));
  EXPECT_FALSE(exists(tmp.file("bad\xff/A.jsonl")));
}

}  // namespace
}  // namespace pellumo
