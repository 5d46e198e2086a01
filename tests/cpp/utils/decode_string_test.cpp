#include "utils/decode_string.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pellumo {
namespace {

struct DecodeCase {
  const char* what;
  std::uint32_t codepage;
  std::vector<std::uint8_t> bytes;
  std::string expected;  // UTF-8
};

TEST(DecodeString, DecodesByCodePageAndByteOrderMark) {
  const std::vector<DecodeCase> cases = {
      {"empty UTF-16", 1200, {}, ""},
      {"empty 1252", 1252, {}, ""},
      {"empty 20127", 20127, {}, ""},
      {"UTF-16LE", 1200, {0x41, 0x00, 0x42, 0x00}, "AB"},
      {"trailing NUL kept", 1200, {0x41, 0x00, 0x42, 0x00, 0x00, 0x00}, std::string("AB\0", 3)},
      {"odd final byte", 1200, {0x41}, "\xEF\xBF\xBD"},
      {"lone high surrogate", 1200, {0x3D, 0xD8}, "\xEF\xBF\xBD"},
      {"lone low surrogate", 1200, {0x00, 0xDC, 0x41, 0x00}, "\xEF\xBF\xBD" "A"},
      {"high surrogate then letter", 1200, {0x3D, 0xD8, 0x41, 0x00}, "\xEF\xBF\xBD" "A"},
      {"high surrogate then odd byte: one replacement", 1200, {0x3D, 0xD8, 0x41}, "\xEF\xBF\xBD"},
      {"surrogate pair", 1200, {0x3E, 0xD8, 0x8A, 0xDD}, "\xF0\x9F\xA6\x8A"},
      {"euro sign", 1252, {0x80}, "\xE2\x82\xAC"},
      {"undefined 1252 bytes map to C1 controls", 1252, {0x81, 0x8D, 0x8F, 0x90, 0x9D},
       "\xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D"},
      {"1252 quotes and letters", 1252, {0x93, 0x9F, 0xFF}, "\xE2\x80\x9C\xC5\xB8\xC3\xBF"},
      {"ASCII", 1252, {0x48, 0x69}, "Hi"},
      {"20127 decodes high bytes like 1252", 20127, {0xE9, 0x80}, "\xC3\xA9\xE2\x82\xAC"},
      {"UTF-8 mark overrides 1252", 1252, {0xEF, 0xBB, 0xBF, 0x41}, "A"},
      {"UTF-8 mark overrides 1200", 1200, {0xEF, 0xBB, 0xBF, 0xC3, 0xA9}, "\xC3\xA9"},
      {"UTF-16BE mark", 1200, {0xFE, 0xFF, 0x00, 0x41}, "A"},
      {"UTF-16LE mark in a 1252 column", 1252, {0xFF, 0xFE, 0x41, 0x00}, "A"},
      {"mark only at the start", 1252, {0x41, 0xFF, 0xFE}, "A\xC3\xBF\xC3\xBE"},
      {"UTF-8 truncated sequence", 1252, {0xEF, 0xBB, 0xBF, 0xE2, 0x82}, "\xEF\xBF\xBD"},
      {"UTF-8 invalid continuation restarts", 1252, {0xEF, 0xBB, 0xBF, 0xE2, 0x41}, "\xEF\xBF\xBD" "A"},
      {"UTF-8 overlong and surrogate forms", 1252, {0xEF, 0xBB, 0xBF, 0xC0, 0xAF, 0xED, 0xA0, 0x80},
       "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"UTF-8 four bytes", 1252, {0xEF, 0xBB, 0xBF, 0xF0, 0x9F, 0xA6, 0x8A}, "\xF0\x9F\xA6\x8A"},
  };
  for (const auto& c : cases) {
    auto got = decode_string(Bytes(c.bytes.data(), c.bytes.size()), c.codepage);
    ASSERT_TRUE(got.ok()) << c.what;
    EXPECT_EQ(*got, c.expected) << c.what;
  }
}

TEST(DecodeString, RefusesOtherCodePagesBeforeLookingAtBytes) {
  const std::vector<std::uint8_t> marked = {0xEF, 0xBB, 0xBF, 0x41};
  for (std::uint32_t cp : {0u, 65001u, 1251u, 437u}) {
    auto got = decode_string(Bytes(marked.data(), marked.size()), cp);
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().kind(), EseError::Kind::UnknownCodepage);
    EXPECT_EQ(got.error().message(), "Unknown codepage: " + std::to_string(cp));
  }
  std::string out = "kept";
  EXPECT_FALSE(decode_string_into({}, 0, out));
  EXPECT_EQ(out, "kept");
}

}  // namespace
}  // namespace pellumo
