#include "utils/bytes.h"

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace pellumo {
namespace {

constexpr std::array<std::uint8_t, 11> kData = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B};
const Bytes kBytes(kData);

TEST(ByteReaderTest, ReadsFieldsInOrder) {
  ByteReader r(kBytes);
  EXPECT_EQ(r.u8(), 0x01);
  EXPECT_EQ(r.u16_le(), 0x0302);
  EXPECT_EQ(r.u32_be(), 0x04050607u);
  EXPECT_EQ(r.offset(), 7u);
  EXPECT_EQ(r.remaining(), 4u);
  EXPECT_EQ(r.u32_le(), 0x0B0A0908u);
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.remaining(), 0u);
  // Reading exactly to the end is fine; one byte more is not.
  EXPECT_EQ(r.u8(), 0);
  EXPECT_FALSE(r);
}

TEST(ByteReaderTest, TheFirstFailureSticks) {
  const struct {
    const char* name;
    std::size_t start;
    std::size_t fail_at;  // offset() once failed: where the failing read began
  } cases[] = {{"u64 at 4 of 11", 4, 4}, {"u64 at 0, then u64 at 8", 0, 8}, {"start past the end", 12, 12}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ByteReader r(kBytes, c.start);
    if (c.start == 0) {
      EXPECT_EQ(r.u64_le(), 0x0807060504030201u);
    }
    EXPECT_EQ(r.u64_le(), 0u);
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.offset(), c.fail_at);
    // Later reads, even ones that would fit, give 0 and do not move.
    EXPECT_EQ(r.u8(), 0);
    EXPECT_TRUE(r.bytes(0).empty());
    EXPECT_TRUE(r.rest().empty());
    EXPECT_EQ(r.remaining(), 0u);
    EXPECT_EQ(r.offset(), c.fail_at);
  }
}

TEST(ByteReaderTest, ViewsBorrowTheData) {
  ByteReader r(kBytes, 2);
  const Bytes two = r.bytes(2);
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(two.data(), kBytes.data() + 2);
  r.skip(3);
  const Bytes rest = r.rest();
  EXPECT_EQ(rest.data(), kBytes.data() + 7);
  EXPECT_EQ(rest.size(), 4u);
  EXPECT_TRUE(r.ok());
  // A view longer than what is left fails without a partial view.
  ByteReader s(kBytes, 9);
  EXPECT_TRUE(s.bytes(3).empty());
  EXPECT_FALSE(s);
  // A huge length cannot wrap around.
  ByteReader t(kBytes, 1);
  t.skip(std::numeric_limits<std::size_t>::max());
  EXPECT_FALSE(t);
}

TEST(BytesTest, OffsetReadsCheckTheirRange) {
  const std::size_t huge = std::numeric_limits<std::size_t>::max();
  EXPECT_EQ(read_u8(kBytes, 10), 0x0B);
  EXPECT_EQ(read_u8(kBytes, 11), std::nullopt);
  EXPECT_EQ(read_u16_le(kBytes, 9), 0x0B0A);
  EXPECT_EQ(read_u16_le(kBytes, 10), std::nullopt);
  EXPECT_EQ(read_u32_le(kBytes, 7), 0x0B0A0908u);
  EXPECT_EQ(read_u32_le(kBytes, huge), std::nullopt);
  EXPECT_EQ(read_u64_le(kBytes, 3), 0x0B0A090807060504u);
  EXPECT_EQ(read_u64_le(kBytes, 4), std::nullopt);
  EXPECT_EQ(read_u32_be(kBytes, 0), 0x01020304u);
  EXPECT_EQ(read_uint_le(kBytes, 1, 3), 0x040302u);
  EXPECT_EQ(read_uint_le(kBytes, 0, 0), 0u);
  EXPECT_EQ(read_uint_le(kBytes, 0, 9), std::nullopt);  // wider than any integer
  EXPECT_EQ(read_uint_le(kBytes, 10, 2), std::nullopt);
  EXPECT_EQ(slice(kBytes, 11, 0)->size(), 0u);
  EXPECT_EQ(slice(kBytes, 5, huge), std::nullopt);
  EXPECT_EQ(slice_from(kBytes, 11)->size(), 0u);
  EXPECT_EQ(slice_from(kBytes, 12), std::nullopt);
}

TEST(BytesTest, CopiesAndSearchesStayInside) {
  std::array<std::uint8_t, 4> out{0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_TRUE(copy_bytes(kBytes, 7, out.data(), 4));
  EXPECT_EQ(out, (std::array<std::uint8_t, 4>{0x08, 0x09, 0x0A, 0x0B}));
  out.fill(0xEE);
  EXPECT_FALSE(copy_bytes(kBytes, 8, out.data(), 4));
  EXPECT_EQ(out[0], 0xEE);  // nothing copied

  EXPECT_EQ(find_byte(kBytes, 0, 0x05), 4u);
  EXPECT_EQ(find_byte(kBytes, 5, 0x05), kBytes.size());
  EXPECT_EQ(find_byte(kBytes, 99, 0x05), kBytes.size());
  EXPECT_TRUE(matches_at(kBytes, 9, std::string("\x0A\x0B")));
  EXPECT_FALSE(matches_at(kBytes, 10, std::string("\x0B\x0C")));
  EXPECT_TRUE(matches_at(kBytes, 11, ""));
  EXPECT_FALSE(matches_at(kBytes, 12, ""));
}

TEST(BytesTest, AsciiPrefixesOfUtf16AreNarrowedWholeUnitsOnly) {
  // Text as UTF-16LE units; where the first unit that is not ASCII falls
  // relative to the four-unit steps matters, and so does a dangling byte.
  struct Case {
    std::u16string units;
    bool dangling_byte;
    std::size_t ascii;
  };
  const Case cases[] = {
      {u"", false, 0},
      {u"abc", false, 3},
      {u"abcd", false, 4},
      {u"abcdefghi", true, 9},        // the odd byte is no unit
      {u"abcdefgh\u00e9z", false, 8},  // stops after two whole steps
      {u"ab\u00e9cdefgh", false, 2},   // inside the first step
      {u"abcdef\u0100", false, 6},     // a high byte, low byte ASCII
      {u"\u0080", false, 0},
      {u"abcd\u007f", false, 5},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> bytes;
    for (char16_t u : c.units) {
      bytes.push_back(static_cast<std::uint8_t>(u & 0xFF));
      bytes.push_back(static_cast<std::uint8_t>(u >> 8));
    }
    if (c.dangling_byte) bytes.push_back('x');
    std::string out(c.units.size() + 1, '#');
    const std::size_t n = narrow_ascii_prefix(Bytes(bytes), out.data());
    EXPECT_EQ(n, c.ascii) << c.units.size();
    for (std::size_t k = 0; k < n; ++k) EXPECT_EQ(out[k], static_cast<char>(c.units[k])) << k;
    EXPECT_EQ(out[c.units.size()], '#');  // nothing written past the units
  }
}

}  // namespace
}  // namespace pellumo
