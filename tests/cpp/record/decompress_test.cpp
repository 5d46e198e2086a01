#include "record/decompress.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fixture/record_builder.h"

namespace pellumo {
namespace {

using fixture::ByteVector;

Bytes view(const ByteVector& b) { return Bytes(b.data(), b.size()); }
std::string str(const ByteVector& b) { return std::string(b.begin(), b.end()); }

ByteVector mixed_data(std::size_t n) {
  ByteVector out;
  const std::string words = "long value text with repeats, ";
  for (std::size_t i = 0; out.size() < n; ++i) {
    if (i % 7 == 3) {
      out.push_back(static_cast<std::uint8_t>(i * 31));
    } else {
      out.insert(out.end(), words.begin(), words.end());
    }
  }
  out.resize(n);
  return out;
}

TEST(Decompress, RoundTripsEverySchemeTheWriterProduces) {
  const std::string text = "Max long compressed ASCII text that can be a bit longer " + std::string(900, 'a');
  struct Case {
    const char* what;
    ByteVector compressed;
    std::string expected;
  };
  const ByteVector big = mixed_data(40000);
  const std::vector<Case> cases = {
      {"7-bit ASCII", fixture::compress_seven_bit(text), text},
      {"7-bit ASCII, 8 characters fill 7 bytes", fixture::compress_seven_bit("abcdefgh"), "abcdefgh"},
      {"7-bit ASCII, one character", fixture::compress_seven_bit("Z"), "Z"},
      {"7-bit Unicode", fixture::compress_seven_bit_unicode("Tiny c"), str(fixture::utf16_of("Tiny c"))},
      {"Xpress, long runs", fixture::compress_xpress(fixture::bytes_of(text)), text},
      {"Xpress, mixed data over many flag groups", fixture::compress_xpress(big), str(big)},
      {"Xpress, a match longer than 280 bytes", fixture::compress_xpress(ByteVector(5000, 'q')),
       std::string(5000, 'q')},
      {"LZ4", fixture::compress_lz4(big), str(big)},
  };
  for (const auto& c : cases) {
    std::string out;
    ASSERT_TRUE(decompress_value(view(c.compressed), out)) << c.what;
    EXPECT_EQ(out, c.expected) << c.what;
  }
}

TEST(Decompress, SevenBitCountsCharactersFromTheHeader) {
  // 0x0B: scheme 1, 4 bits used in the last byte: ((3 - 2) * 8 + 4) / 7 = 1 character.
  std::string out;
  const ByteVector v = {0x0B, 0x41, 0x00};
  ASSERT_TRUE(decompress_value(view(v), out));
  EXPECT_EQ(out, "A");
  // 0x17: scheme 2, all 8 bits of the last byte used: (1 * 8 + 8) / 7 = 2 characters, each (ch, 0).
  const ByteVector w = {0x17, 0xC1, 0x20};
  ASSERT_TRUE(decompress_value(view(w), out));
  EXPECT_EQ(out, std::string("A\0A\0", 4));
  // A header alone holds no characters.
  const ByteVector h = {0x0F};
  ASSERT_TRUE(decompress_value(view(h), out));
  EXPECT_EQ(out, "");
}

TEST(Decompress, SevenBitUnpackingMatchesBitByBitReading) {
  // Every count around the eight-character groups, with the input whole,
  // one byte short and empty, narrow and wide, against reading the bits
  // one at a time.
  auto reference = [](const ByteVector& packed, std::size_t count, bool wide) {
    std::string out;
    for (std::size_t c = 0; c < count; ++c) {
      if ((c + 1) * 7 > packed.size() * 8 + 7 || (c * 7 + 6) / 8 >= packed.size()) break;
      unsigned ch = 0;
      for (unsigned b = 0; b < 7; ++b) {
        const std::size_t bit = c * 7 + b;
        ch |= static_cast<unsigned>((packed[bit / 8] >> (bit % 8)) & 1u) << b;
      }
      out.push_back(static_cast<char>(ch));
      if (wide) out.push_back('\0');
    }
    return out;
  };
  ByteVector bytes;
  for (std::size_t i = 0; i < 40; ++i) bytes.push_back(static_cast<std::uint8_t>(i * 37 + 11));
  std::string out;
  for (std::size_t count = 0; count <= 40; ++count) {
    const std::size_t need = (count * 7 + 7) / 8;
    for (std::size_t have : {need, need == 0 ? 0 : need - 1, std::size_t{0}}) {
      const ByteVector packed(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(have));
      for (bool wide : {false, true}) {
        unpack_seven_bit(view(packed), count, wide, out);
        EXPECT_EQ(out, reference(packed, count, wide)) << count << " characters from " << have << " bytes";
      }
    }
  }
}

TEST(Decompress, RefusesUnknownSchemesAndDamagedStreams) {
  ByteVector xpress = fixture::compress_xpress(fixture::bytes_of(std::string(300, 'x') + "tail"));
  ByteVector declared_too_big = xpress;
  declared_too_big[1] = static_cast<std::uint8_t>(declared_too_big[1] + 1);
  ByteVector declared_too_small = xpress;
  declared_too_small[1] = static_cast<std::uint8_t>(declared_too_small[1] - 1);
  ByteVector cut = xpress;
  cut.resize(cut.size() - 2);
  // A match reaching back before the start of the output.
  ByteVector back_reference = {0x18, 0x08, 0x00, 0x00, 0x00, 0x00, 0x80, 0x08, 0x00};
  ByteVector lz4 = fixture::compress_lz4(mixed_data(3000));
  ByteVector lz4_wrong_size = lz4;
  lz4_wrong_size[1] = static_cast<std::uint8_t>(lz4_wrong_size[1] + 1);
  ByteVector lz4_garbage = {0x38, 0x10, 0x00, 0xFF, 0xFF, 0xFF};

  const std::vector<std::pair<const char*, ByteVector>> cases = {
      {"empty", {}},
      {"scheme 0", {0x00, 0x41}},
      {"scrubbed", {0x20, 0x41, 0x42}},
      {"Xpress9", {0x28, 0x41, 0x42, 0x43}},
      {"Xpress10", {0x30, 0x41, 0x42, 0x43}},
      {"Xpress without its size", {0x18, 0x01}},
      {"Xpress declaring more than the stream gives", declared_too_big},
      {"Xpress with its stream cut", cut},
      {"Xpress back-reference before the output", back_reference},
      {"LZ4 declaring another size", lz4_wrong_size},
      {"LZ4 garbage", lz4_garbage},
  };
  for (const auto& [what, value] : cases) {
    std::string out;
    EXPECT_FALSE(decompress_value(view(value), out)) << what;
  }
  // Declaring fewer bytes than the stream holds stops at the declared size.
  std::string out;
  ASSERT_TRUE(decompress_value(view(declared_too_small), out));
  EXPECT_EQ(out, std::string(300, 'x') + "tai");
}

}  // namespace
}  // namespace pellumo
