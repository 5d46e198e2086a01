#include "utils/json_text.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "utils/hex.h"
#include "utils/utf8.h"

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
    append_utf8_lossy(decoded, c.in);
    EXPECT_EQ(decoded, c.decoded);
    EXPECT_EQ(is_valid_utf8(c.in), c.decoded == c.in);
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
    char text[kGuidTextSize];
    write_guid_text(c.bytes, text);
    EXPECT_EQ(std::string(text, sizeof text), c.text);
    std::string out;
    json::append_guid_string(out, c.bytes);
    EXPECT_EQ(out, "\""s + c.text + "\"");
  }
}

TEST(Utf8Test, LossyCopiesValidTextAndReplacesTheRest) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"plain", "plain"},
      {"caf\xC3\xA9", "caf\xC3\xA9"},
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
      {"a\xFFz", "a\xEF\xBF\xBDz"},
      {"\xC3", "\xEF\xBF\xBD"},                              // cut sequence
      {"\xE2\x82", "\xEF\xBF\xBD"},                          // a cut prefix is one replacement
      {"\xE2\x82z", "\xEF\xBF\xBDz"},
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},              // overlong: each byte
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // a surrogate
      {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // above U+10FFFF
      {std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const auto& c : cases) EXPECT_EQ(utf8_lossy(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace pellumo
