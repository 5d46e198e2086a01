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

}  // namespace
}  // namespace pellumo
