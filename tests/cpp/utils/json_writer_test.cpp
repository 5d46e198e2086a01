#include "utils/json_writer.h"

#include "catalog/table_info.h"
#include "fixture/temp_file.h"
#include "record/record.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace pellumo {
namespace {

using namespace std::string_literals;

std::string json_double(double v) {
  std::string out;
  json::append_double(out, v);
  return out;
}

// Expected texts: the digits of Python's repr() of the same double (the
// shortest round-trip digits), laid out by the export's rules.
TEST(JsonWriterTest, DoubleLayout) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    double value;
    const char* text;
  } cases[] = {
      // zero and its sign
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      // non-finite values become the number 0, whatever their sign
      {nan, "0"},
      {-nan, "0"},
      {inf, "0"},
      {-inf, "0"},
      // no fractional digits: zeros up to the point, then ".0"
      {1.0, "1.0"},
      {-1.0, "-1.0"},
      {100.0, "100.0"},
      {1e15, "1000000000000000.0"},          // E = 15, the last plain exponent
      {9007199254740992.0, "9007199254740992.0"},
      // the point after the first E+1 digits
      {12.5, "12.5"},
      {-12.5, "-12.5"},
      {123456789012345.6, "123456789012345.6"},
      {999999999999999.9, "999999999999999.9"},
      {1234567890123456.8, "1234567890123456.8"},  // 17 digits, E = 15
      {0.30000000000000004, "0.30000000000000004"},
      // E < 0: "0.", -E-1 zeros, the digits
      {0.5, "0.5"},
      {0.1, "0.1"},
      {0.001, "0.001"},
      {1e-5, "0.00001"},  // E = -5, the last plain exponent (repr: 1e-05)
      {1.2345e-5, "0.000012345"},
      {-0.00001, "-0.00001"},
      // exponent form: always a sign, as few exponent digits as needed
      {1e16, "1e+16"},
      {-1e16, "-1e+16"},
      {9.999999999999998e16, "9.999999999999998e+16"},
      {1e21, "1e+21"},
      {1e22, "1e+22"},
      {2.5e100, "2.5e+100"},
      {1e-6, "1e-6"},  // E = -6 (repr: 1e-06)
      {1.2345e-6, "1.2345e-6"},
      {1.5e-7, "1.5e-7"},
      {-2.5e-10, "-2.5e-10"},
      {-1e-300, "-1e-300"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {2.2250738585072014e-308, "2.2250738585072014e-308"},
      {5e-324, "5e-324"},  // smallest subnormal
      {1.5e-323, "1.5e-323"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string text = json_double(c.value);
    EXPECT_EQ(text, c.text);
    if (std::isfinite(c.value)) {
      // The text reads back to the very same double, sign of zero included.
      const double back = std::strtod(text.c_str(), nullptr);
      EXPECT_EQ(std::memcmp(&back, &c.value, sizeof back), 0);
    }
  }
}

TEST(JsonWriterTest, Float32IsWidenedExactly) {
  const struct {
    float value;
    const char* text;
  } cases[] = {
      {0.1f, "0.10000000149011612"},
      {1.0f / 3.0f, "0.3333333432674408"},
      {1.0f, "1.0"},
      {16777216.0f, "16777216.0"},
      {-0.0f, "-0.0"},
      {std::numeric_limits<float>::max(), "3.4028234663852886e+38"},
      {std::numeric_limits<float>::denorm_min(), "1.401298464324817e-45"},
      {std::numeric_limits<float>::quiet_NaN(), "0"},
      {-std::numeric_limits<float>::infinity(), "0"},
  };
  for (const auto& c : cases) {
    std::string out;
    json::append_float32(out, c.value);
    EXPECT_EQ(out, c.text);
  }
}

TEST(JsonWriterTest, ScalarsAppendToExistingText) {
  std::string out = "[";
  json::append_int(out, std::numeric_limits<std::int64_t>::min());
  out += ',';
  json::append_int(out, -1);
  out += ',';
  json::append_int(out, 0);
  out += ',';
  json::append_int(out, std::numeric_limits<std::int64_t>::max());
  out += ',';
  json::append_uint(out, std::numeric_limits<std::uint64_t>::max());
  out += ',';
  json::append_uint(out, 0);
  out += ',';
  json::append_bool(out, true);
  out += ',';
  json::append_bool(out, false);
  out += ',';
  json::append_null(out);
  EXPECT_EQ(out, "[-9223372036854775808,-1,0,9223372036854775807,18446744073709551615,0,true,false,null");
}

TEST(JsonWriterTest, EveryControlByteIsEscaped) {
  const char* const expected[0x20] = {
      "\\u0000", "\\u0001", "\\u0002", "\\u0003", "\\u0004", "\\u0005", "\\u0006", "\\u0007",
      "\\b",     "\\t",     "\\n",     "\\u000b", "\\f",     "\\r",     "\\u000e", "\\u000f",
      "\\u0010", "\\u0011", "\\u0012", "\\u0013", "\\u0014", "\\u0015", "\\u0016", "\\u0017",
      "\\u0018", "\\u0019", "\\u001a", "\\u001b", "\\u001c", "\\u001d", "\\u001e", "\\u001f",
  };
  for (int c = 0; c < 0x20; ++c) {
    SCOPED_TRACE(c);
    std::string out;
    // Between other bytes, so the copied runs around the escape are checked too.
    json::append_string(out, "x"s + static_cast<char>(c) + "y");
    EXPECT_EQ(out, "\"x"s + expected[c] + "y\"");
  }
}

TEST(JsonWriterTest, StringEscapes) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"", "\"\""},
      {"plain text", "\"plain text\""},
      {"say \"hi\"", "\"say \\\"hi\\\"\""},
      {"C:\\Windows\\", "\"C:\\\\Windows\\\\\""},
      {"a/b", "\"a/b\""},                       // the slash is not escaped
      {"\x7F", "\"\x7F\""},                     // DEL is copied
      {"\x20~", "\"\x20~\""},
      {"caf\xC3\xA9", "\"caf\xC3\xA9\""},       // é copied as its UTF-8 bytes
      {"\xE2\x82\xAC 5", "\"\xE2\x82\xAC 5\""},  // €
      {"\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},  // U+1F600, four bytes
      {"\xEF\xBF\xBF\xF4\x8F\xBF\xBF", "\"\xEF\xBF\xBF\xF4\x8F\xBF\xBF\""},  // U+FFFF, U+10FFFF
      {"\"\\\n\"", "\"\\\"\\\\\\n\\\"\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    std::string out;
    json::append_string(out, c.in);
    EXPECT_EQ(out, c.out);
  }
}

constexpr const char* kFFFD = "\xEF\xBF\xBD";

// Expected texts agree with Python's bytes.decode("utf-8", "replace").
TEST(JsonWriterTest, InvalidUtf8BecomesOneReplacementPerMaximalSubpart) {
  const std::string R = kFFFD;
  const struct {
    std::string in;
    std::string decoded;
  } cases[] = {
      {"\x80", R},                                  // lone continuation byte
      {"\xBF\x80", R + R},                          // two of them
      {"\xC0\xAF", R + R},                          // C0 never starts a sequence
      {"\xC1\xBF", R + R},
      {"\xC2", R},                                  // truncated at the end
      {"\xC2" "A", R + "A"},                        // truncated before ASCII
      {"\xE2\x82", R},                              // two of three bytes: one replacement
      {"\xE2\x82" "A", R + "A"},
      {"\xE0\x80\x80", R + R + R},                  // overlong: E0 needs A0..BF next
      {"\xE0\xA0", R},                              // a valid prefix of a 3-byte form
      {"\xED\xA0\x80", R + R + R},                  // a surrogate
      {"\xED\x9F\xBF", "\xED\x9F\xBF"},             // U+D7FF, just below them, is valid
      {"\xF0\x80\x80\x80", R + R + R + R},          // overlong 4-byte form
      {"\xF0\x9F\x98", R},                          // three of four bytes
      {"\xF0\x90\x80", R},
      {"\xF4\x90\x80\x80", R + R + R + R},          // above U+10FFFF
      {"\xF5\x80", R + R},                          // F5..FF start nothing
      {"\xFF", R},
      {"\xFE\xFF", R + R},
      // The Unicode Standard's worked example.
      {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64", "a" + R + R + R + "b" + R + "c" + R + R + "d"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.in));
    std::string decoded;
    json::append_utf8_lossy(decoded, c.in);
    EXPECT_EQ(decoded, c.decoded);
    EXPECT_EQ(json::is_valid_utf8(c.in), c.decoded == c.in);
    // Strings written as JSON get the same replacement.
    std::string quoted;
    json::append_string(quoted, c.in);
    EXPECT_EQ(quoted, "\"" + c.decoded + "\"");
  }
  // Replacement and escaping side by side.
  std::string out;
  json::append_string(out, "\x80\n\xC3\xA9\x01\xFF\"");
  EXPECT_EQ(out, "\"" + R + "\\n\xC3\xA9\\u0001" + R + "\\\"\"");
}

TEST(JsonWriterTest, HexAndGuidAreLowerCase) {
  const struct {
    std::vector<std::uint8_t> bytes;
    const char* text;
  } hex_cases[] = {
      {{}, "\"\""},
      {{0x00, 0xAB}, "\"00ab\""},
      {{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xFF}, "\"0123456789abcdefff\""},
  };
  for (const auto& c : hex_cases) {
    std::string out = "x";
    json::append_hex_string(out, c.bytes);
    EXPECT_EQ(out, "x"s + c.text);
  }

  const struct {
    std::array<std::uint8_t, 16> bytes;
    const char* text;
  } guid_cases[] = {
      {{0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F},
       "03020100-0504-0706-0809-0a0b0c0d0e0f"},
      {{0xEF, 0xBE, 0xAD, 0xDE, 0xFE, 0xCA, 0xBE, 0xBA, 0xF0, 0x0D, 0xC0, 0xFF, 0xEE, 0x12, 0x34, 0x56},
       "deadbeef-cafe-babe-f00d-c0ffee123456"},
      {{}, "00000000-0000-0000-0000-000000000000"},
  };
  for (const auto& c : guid_cases) {
    char text[json::kGuidChars];
    json::format_guid(c.bytes, text);
    EXPECT_EQ(std::string(text, sizeof text), c.text);
    std::string out;
    json::append_guid_string(out, c.bytes);
    EXPECT_EQ(out, "\""s + c.text + "\"");
  }
}

using TestRecord = std::vector<std::pair<std::string, std::int64_t>>;

std::string write_line(JsonLineWriter& writer, const TestRecord& record) {
  std::string out;
  writer.append_members(
      out, record.size(), [&](std::size_t i) { return std::string_view(record[i].first); },
      [&](std::string& o, std::size_t i) { json::append_int(o, record[i].second); });
  return out;
}

TEST(JsonLineWriterTest, MembersSortedByDecodedNameBytes) {
  const struct {
    const char* what;
    TestRecord record;
    std::string line;
  } cases[] = {
      {"empty record", {}, "{}\n"},
      {"one member", {{"a", 1}}, "{\"a\":1}\n"},
      {"capitals sort before small letters", {{"b", 1}, {"a", 2}, {"C", 3}}, "{\"C\":3,\"a\":2,\"b\":1}\n"},
      {"a prefix sorts first", {{"ab", 1}, {"a", 2}, {"a\x01", 3}}, "{\"a\":2,\"a\\u0001\":3,\"ab\":1}\n"},
      {"later duplicate wins", {{"x", 1}, {"y", 2}, {"x", 3}}, "{\"x\":3,\"y\":2}\n"},
      {"three equal names keep the last", {{"k", 1}, {"k", 2}, {"k", 3}}, "{\"k\":3}\n"},
      // Names are compared as UTF-8 bytes: é (C3 A9) after z, U+FF61 (EF BD A1)
      // before U+1F600 (F0 ..), although UTF-16 order would put U+1F600 first.
      {"byte order of UTF-8",
       {{"\xF0\x9F\x98\x80", 1}, {"\xEF\xBD\xA1", 2}, {"\xC3\xA9", 3}, {"z", 4}},
       "{\"z\":4,\"\xC3\xA9\":3,\"\xEF\xBD\xA1\":2,\"\xF0\x9F\x98\x80\":1}\n"},
      // Invalid bytes decode to U+FFFD before sorting, so these three are one name.
      {"names equal after decoding",
       {{"\xFF", 1}, {"a", 2}, {"\xEF\xBF\xBD", 3}, {"\xFE", 4}},
       "{\"a\":2,\"\xEF\xBF\xBD\":4}\n"},
      {"invalid bytes inside a name", {{"ab\xC3(", 7}}, "{\"ab\xEF\xBF\xBD(\":7}\n"},
      {"names are escaped", {{"q\"\\\n", 1}}, "{\"q\\\"\\\\\\n\":1}\n"},
      {"empty name", {{"", 1}, {" ", 2}}, "{\"\":1,\" \":2}\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    JsonLineWriter fresh;
    EXPECT_EQ(write_line(fresh, c.record), c.line);
  }
  // One writer across records of different shapes: the cached layout is
  // rebuilt whenever the names change (same count and lengths included).
  JsonLineWriter shared;
  for (int round = 0; round < 2; ++round) {
    for (const auto& c : cases) {
      SCOPED_TRACE(c.what);
      EXPECT_EQ(write_line(shared, c.record), c.line);
    }
  }
  EXPECT_EQ(write_line(shared, {{"b", 1}, {"a", 2}}), "{\"a\":2,\"b\":1}\n");
  EXPECT_EQ(write_line(shared, {{"a", 1}, {"b", 2}}), "{\"a\":1,\"b\":2}\n");
  EXPECT_EQ(write_line(shared, {{"a", 1}, {"b", 2}}), "{\"a\":1,\"b\":2}\n");
}

TEST(JsonLineWriterTest, MemberOrderNamesRecordPositions) {
  JsonLineWriter writer;
  const std::vector<std::string_view> names = {"b", "x", "a", "x"};
  writer.prepare(names);
  EXPECT_EQ(writer.member_order(), (std::vector<std::size_t>{2, 0, 3}));
}

ColumnInfo column(std::string name, std::uint32_t id) {
  ColumnInfo c;
  c.name = std::move(name);
  c.id = id;
  return c;
}

TEST(JsonLineWriterTest, DecodedRecordLine) {
  // Column ids give the record order; names are chosen so the sorted order
  // differs from it.
  TableInfo table = TableInfo::make("t", 10, 0);
  const char* const names[] = {"n",  "bool", "i8",  "u8",  "i16",  "u16",  "i32", "u32", "i64", "u64",
                               "f32", "f64", "dt", "cur", "guid", "bin", "text", "mv",  "lv",  "nan"};
  std::uint32_t id = 1;
  for (const char* name : names) table.columns.insert_or_assign(name, column(name, id++));
  Record record(std::make_shared<const RecordLayout>(table));
  ASSERT_EQ(record.size(), std::size(names));
  const std::uint8_t raw[] = {0x00, 0xAB, 0x10};
  const GuidBytes guid = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                          0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
  std::size_t i = 0;
  record.value(i++) = ColumnValue::null();
  record.value(i++) = ColumnValue::boolean(true);
  record.value(i++) = ColumnValue::int8(-8);
  record.value(i++) = ColumnValue::uint8(255);
  record.value(i++) = ColumnValue::int16(-32768);
  record.value(i++) = ColumnValue::uint16(65535);
  record.value(i++) = ColumnValue::int32(-2147483647 - 1);
  record.value(i++) = ColumnValue::uint32(4294967295u);
  record.value(i++) = ColumnValue::int64(std::numeric_limits<std::int64_t>::min());
  record.value(i++) = ColumnValue::uint64(std::numeric_limits<std::uint64_t>::max());
  record.value(i++) = ColumnValue::float32(0.1f);
  record.value(i++) = ColumnValue::float64(1e16);
  record.value(i++) = ColumnValue::date_time(0x01D0000000000000ull);
  record.value(i++) = ColumnValue::currency(0xFFFFFFFFFFFFFFFFull);
  record.value(i++) = ColumnValue::guid(guid);
  record.value(i++) = ColumnValue::binary(raw);
  record.value(i++) = ColumnValue::text("tab\there \xC3\xA9");
  record.value(i++) = ColumnValue::multi_value(raw);
  record.value(i++) = ColumnValue::long_value(Bytes(raw, 1));
  record.value(i++) = ColumnValue::float64(std::numeric_limits<double>::quiet_NaN());

  JsonLineWriter writer;
  std::string out;
  writer.append_record(out, record);
  const std::string expected =
      "{\"bin\":\"00ab10\",\"bool\":true,\"cur\":18446744073709551615,\"dt\":130604389193744384,"
      "\"f32\":0.10000000149011612,\"f64\":1e+16,"
      "\"guid\":\"03020100-0504-0706-0809-0a0b0c0d0e0f\",\"i16\":-32768,\"i32\":-2147483648,"
      "\"i64\":-9223372036854775808,\"i8\":-8,\"lv\":\"00\",\"mv\":\"00ab10\",\"n\":null,\"nan\":0,"
      "\"text\":\"tab\\there \xC3\xA9\",\"u16\":65535,\"u32\":4294967295,\"u64\":18446744073709551615,"
      "\"u8\":255}\n";
  EXPECT_EQ(out, expected);
  // The next record of the same table reuses the layout and appends after the first line.
  record.value(1) = ColumnValue::boolean(false);
  writer.append_record(out, record);
  const std::string second = "{\"bin\":\"00ab10\",\"bool\":false,";
  EXPECT_EQ(out.substr(expected.size(), second.size()), second);
  EXPECT_EQ(out.size(), 2 * expected.size() + 1);
}

// ---- JsonlFile ----

using fixture::TempDir;

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

int open_descriptors() {
  int n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (::readdir(d) != nullptr) ++n;
    ::closedir(d);
  }
  return n;
}

std::string error_text(const EseError& e) {
  EXPECT_EQ(e.kind(), EseError::Kind::Io);
  return e.io_description();
}

TEST(JsonlFileTest, WritesLinesAndTruncates) {
  TempDir dir;
  const std::string path = dir.path() + "/out.jsonl";
  {
    std::ofstream(path) << "old content that is longer than the new one\n";
  }
  const mode_t old_mask = ::umask(022);
  {
    auto file = JsonlFile::create(path);
    ASSERT_TRUE(file.ok()) << file.error().message();
    ASSERT_TRUE(file->write("{\"a\":1}\n").ok());
    ASSERT_TRUE(file->append([](std::string& out) { out += "{}\n"; }).ok());
    ASSERT_TRUE(file->close().ok());
    EXPECT_TRUE(file->close().ok());  // a second close does nothing
  }
  ::umask(old_mask);
  EXPECT_EQ(read_file(path), "{\"a\":1}\n{}\n");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);  // 0666 less the umask
}

TEST(JsonlFileTest, LinesAroundTheBufferSizeArriveInOrder) {
  TempDir dir;
  const std::string path = dir.path() + "/big.jsonl";
  std::string expected;
  const int before = open_descriptors();
  {
    auto file = JsonlFile::create(path);
    ASSERT_TRUE(file.ok());
    // Small lines, lines near the buffer size and lines larger than it.
    const std::size_t sizes[] = {10, 100, JsonlFile::kBufferSize - 1, 7, JsonlFile::kBufferSize,
                                 3 * JsonlFile::kBufferSize, 1, 40000, 40000, 40000, 20 * JsonlFile::kBufferSize, 5};
    char fill = 'a';
    for (const std::size_t size : sizes) {
      std::string line(size, fill++);
      line += '\n';
      expected += line;
      if (size % 2 == 0) {
        ASSERT_TRUE(file->write(line).ok());
      } else {
        ASSERT_TRUE(file->append([&](std::string& out) { out += line; }).ok());
      }
    }
    // No close: leaving the scope writes the rest out.
  }
  EXPECT_EQ(open_descriptors(), before);
  EXPECT_EQ(read_file(path), expected);
}

TEST(JsonlFileTest, CreateFailuresCarryTheSystemText) {
  TempDir dir;
  const struct {
    std::string path;
    const char* text;
  } cases[] = {
      {dir.path(), "Failed to create output file: Is a directory (os error 21)"},
      {dir.path() + "/missing/out.jsonl", "Failed to create output file: No such file or directory (os error 2)"},
      {"/dev/null/out.jsonl", "Failed to create output file: Not a directory (os error 20)"},
      {"", "Failed to create output file: No such file or directory (os error 2)"},
      {dir.path() + "/a\0b"s, "Failed to create output file: Invalid argument (os error 22)"},
  };
  const int before = open_descriptors();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    auto file = JsonlFile::create(c.path);
    ASSERT_FALSE(file.ok());
    EXPECT_EQ(error_text(file.error()), c.text);
  }
  EXPECT_EQ(open_descriptors(), before);
}

TEST(JsonlFileTest, PermissionDenied) {
  TempDir dir;
  const std::string locked = dir.path() + "/locked";
  ASSERT_EQ(::mkdir(locked.c_str(), 0555), 0);
  const std::string path = locked + "/out.jsonl";
  const std::string expected = "Failed to create output file: Permission denied (os error 13)";
  if (::geteuid() != 0) {
    auto file = JsonlFile::create(path);
    ASSERT_FALSE(file.ok());
    EXPECT_EQ(error_text(file.error()), expected);
    return;
  }
  // Root writes anywhere; a child that gives up root sees the refusal.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    auto file = JsonlFile::create(path);
    ::_exit(!file.ok() && file.error().io_description() == expected ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "cannot drop root privileges here";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the child did not get: " << expected;
}

TEST(JsonlFileTest, FullDeviceReportsWriteErrorAndStops) {
  if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "/dev/full is not available";
  const std::string full = "Write error: No space left on device (os error 28)";
  const int before = open_descriptors();
  {
    // A short line waits in the buffer; the failure shows when it is flushed.
    auto file = JsonlFile::create("/dev/full");
    ASSERT_TRUE(file.ok()) << file.error().message();
    ASSERT_TRUE(file->write("{}\n").ok());
    auto flushed = file->flush();
    ASSERT_FALSE(flushed.ok());
    EXPECT_EQ(error_text(flushed.error()), full);
    // Nothing more is attempted, and every later call reports the failure.
    auto again = file->write("{}\n");
    ASSERT_FALSE(again.ok());
    EXPECT_EQ(error_text(again.error()), full);
    auto appended = file->append([](std::string& out) { out += "{}\n"; });
    ASSERT_FALSE(appended.ok());
    EXPECT_EQ(error_text(appended.error()), full);
    auto closed = file->close();
    ASSERT_FALSE(closed.ok());
    EXPECT_EQ(error_text(closed.error()), full);
    EXPECT_FALSE(file->is_open());
  }
  {
    // Once the buffer fills, the write that fills it fails.
    auto file = JsonlFile::create("/dev/full");
    ASSERT_TRUE(file.ok());
    Result<void> r = Ok{};
    std::size_t lines = 0;
    const std::string line(1000, 'x');
    while (r.ok() && lines < 1000) {
      r = file->write(line);
      ++lines;
    }
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(lines, JsonlFile::kBufferSize / line.size() + 1);
    EXPECT_EQ(error_text(r.error()), full);
  }
  {
    // A line longer than the buffer goes straight to the file and fails there;
    // the destructor alone closes the descriptor.
    auto file = JsonlFile::create("/dev/full");
    ASSERT_TRUE(file.ok());
    auto r = file->write(std::string(2 * JsonlFile::kBufferSize, 'y'));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(error_text(r.error()), full);
  }
  EXPECT_EQ(open_descriptors(), before);
}

TEST(JsonlFileTest, MovedFileKeepsItsBuffer) {
  TempDir dir;
  const std::string path = dir.path() + "/moved.jsonl";
  const std::string other_path = dir.path() + "/other.jsonl";
  const int before = open_descriptors();
  {
    auto made = JsonlFile::create(path);
    ASSERT_TRUE(made.ok());
    ASSERT_TRUE(made->write("1\n").ok());
    JsonlFile file = std::move(*made);
    EXPECT_FALSE(made->is_open());
    ASSERT_TRUE(file.write("2\n").ok());
    auto other = JsonlFile::create(other_path);
    ASSERT_TRUE(other.ok());
    ASSERT_TRUE(other->write("x\n").ok());
    // Assigning over an open file finishes that file first.
    *other = std::move(file);
    ASSERT_TRUE(other->write("3\n").ok());
    ASSERT_TRUE(other->close().ok());
  }
  EXPECT_EQ(open_descriptors(), before);
  EXPECT_EQ(read_file(path), "1\n2\n3\n");
  EXPECT_EQ(read_file(other_path), "x\n");
}

}  // namespace
}  // namespace pellumo
