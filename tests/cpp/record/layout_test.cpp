#include "record/layout.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "fixture/record_builder.h"

namespace pellumo {
namespace {

using fixture::ByteVector;
using fixture::RecordBuilder;

const fixture::Format kSmall{4096, 0x620, 0x14};
const fixture::Format kLarge{32768, 0x620, 0x14};

Bytes view(const ByteVector& b) { return Bytes(b.data(), b.size()); }
ByteVector copy(std::optional<Bytes> b) { return b ? ByteVector(b->begin(), b->end()) : ByteVector{0xEE, 0xEE}; }

// Where the header puts each part, for records built by the fixture writer
// and for headers whose fields point outside the record.
TEST(RecordView, PartsOfTheRecord) {
  struct Case {
    const char* what;
    ByteVector record;
    std::uint32_t last_fixed, last_variable;
    std::size_t variable_count, variable_data, tagged_start;
  };
  const ByteVector fixed_only = RecordBuilder(kSmall).fixed(1, fixture::le_u32(9)).fixed(2, {1}).encode();
  const ByteVector with_variable =
      RecordBuilder(kSmall).fixed(1, {7}).variable(128, {1, 2, 3}).variable(130, {4}).tagged(256, {5}).encode();
  ByteVector variable_past_end = with_variable;
  variable_past_end[1] = 0xFF;  // 128 offset entries: D lies far past the record
  ByteVector last_offset_past_end = RecordBuilder(kSmall).variable(128, {1, 2}).encode();
  last_offset_past_end[4] = 0x40;  // the only entry ends 64 bytes into 2 bytes of data
  ByteVector low_variable_byte = fixed_only;
  low_variable_byte[1] = 5;  // below 127: no variable columns either
  const std::vector<Case> cases = {
      {"no header", {1, 0x80, 4}, 0, 0, 0, 0, 3},
      {"empty", {}, 0, 0, 0, 0, 0},
      {"fixed columns only: T is P", fixed_only, 2, 127, 0, 10, 10},
      {"fixed, variable and tagged", with_variable, 1, 130, 3, 12, 16},
      {"variable data past the record", variable_past_end, 1, 255, 128, 6 + 256, with_variable.size()},
      {"last variable offset past the record", last_offset_past_end, 0, 128, 1, 6,
       last_offset_past_end.size()},
      {"V below 127", low_variable_byte, 2, 5, 0, 10, 10},
      {"P past the record", {0, 127, 0xFF, 0x00, 1, 2}, 0, 127, 0, 255, 6},
  };
  for (const auto& c : cases) {
    const RecordView r(view(c.record));
    EXPECT_EQ(r.last_fixed(), c.last_fixed) << c.what;
    EXPECT_EQ(r.last_variable(), c.last_variable) << c.what;
    EXPECT_EQ(r.variable_count(), c.variable_count) << c.what;
    EXPECT_EQ(r.variable_data(), c.variable_data) << c.what;
    EXPECT_EQ(r.tagged_start(), c.tagged_start) << c.what;
    EXPECT_LE(r.tagged_start(), r.size()) << c.what;
  }
}

TEST(RecordView, FixedNullBitmapAndFields) {
  // Columns 1..9 of one byte each, 2 and 9 NULL: the bitmap takes two bytes.
  RecordBuilder b(kSmall);
  for (std::uint32_t id = 1; id <= 9; ++id) {
    if (id == 2 || id == 9) {
      b.fixed_null(id, 1);
    } else {
      b.fixed(id, {static_cast<std::uint8_t>(id)});
    }
  }
  const ByteVector record = b.encode();
  const RecordView r(view(record));
  for (std::uint32_t id = 0; id <= 12; ++id) {
    EXPECT_EQ(r.fixed_null(id), id == 2 || id == 9) << "column " << id;
  }
  EXPECT_EQ(copy(r.field(4, 1)), ByteVector{1});
  EXPECT_EQ(copy(r.field(4 + 8, 1)), ByteVector{'*'});  // column 9's filler
  EXPECT_EQ(copy(r.field(record.size(), 0)), ByteVector{});
  EXPECT_FALSE(r.field(record.size(), 1));
  EXPECT_FALSE(r.field(2, ~std::uint64_t{0}));
  EXPECT_FALSE(r.field(~std::uint64_t{0}, 1));

  // A bitmap that cannot sit before P marks nothing NULL.
  ByteVector no_room = record;
  no_room[2] = 1;
  no_room[3] = 0;
  EXPECT_FALSE(RecordView(view(no_room)).fixed_null(2));
  ByteVector past = record;
  past[3] = 0x10;
  EXPECT_FALSE(RecordView(view(past)).fixed_null(9));
}

TEST(RecordView, VariableColumns) {
  ByteVector record = RecordBuilder(kSmall)
                          .variable(128, {1, 2})
                          .variable_null(129)
                          .variable(130, {3})
                          .variable(131, {})
                          .variable(132, {4, 5})
                          .encode();
  const RecordView r(view(record));
  ASSERT_EQ(r.variable_count(), 5u);
  struct Case {
    std::size_t i;
    std::optional<ByteVector> value;
  };
  // A NULL column's entry repeats the previous end, so the next starts there.
  const std::vector<Case> cases = {{0, ByteVector{1, 2}}, {1, std::nullopt}, {2, ByteVector{3}},
                                   {3, ByteVector{}},     {4, ByteVector{4, 5}}, {5, std::nullopt}};
  for (const auto& c : cases) {
    const auto got = r.variable_value(c.i);
    ASSERT_EQ(got.has_value(), c.value.has_value()) << "column " << c.i;
    if (got) {
      EXPECT_EQ(copy(got), *c.value) << "column " << c.i;
    }
  }
  const auto entry = r.variable_entry(1);
  ASSERT_TRUE(entry);
  EXPECT_TRUE(entry->null);
  EXPECT_EQ(entry->end, 2u);

  // Inverted span (entry 4 ends before entry 3) and a span past the record.
  ByteVector inverted = record;
  inverted[4 + 8] = 0;
  EXPECT_FALSE(RecordView(view(inverted)).variable_value(4));
  ByteVector beyond = record;
  beyond[4 + 8] = 0x60;
  EXPECT_FALSE(RecordView(view(beyond)).variable_value(4));
  EXPECT_EQ(copy(RecordView(view(beyond)).variable_value(0)), (ByteVector{1, 2}));
}

struct ItemExpect {
  std::uint32_t id;
  std::size_t offset;
  bool flag_byte, null;
  std::optional<ByteVector> data;
};

void expect_directory(const ByteVector& record, bool large, std::size_t declared, const std::vector<ItemExpect>& items,
                      const char* what) {
  const TaggedDirectory d(RecordView(view(record)), large);
  EXPECT_EQ(d.declared_size(), declared) << what;
  ASSERT_EQ(d.count(), items.size()) << what;
  for (std::size_t k = 0; k < items.size(); ++k) {
    const TaggedItem item = d.item(k);
    EXPECT_EQ(item.id, items[k].id) << what << ", item " << k;
    EXPECT_EQ(item.offset, items[k].offset) << what << ", item " << k;
    EXPECT_EQ(item.flag_byte, items[k].flag_byte) << what << ", item " << k;
    EXPECT_EQ(item.null, items[k].null) << what << ", item " << k;
    const auto data = d.data(k);
    ASSERT_EQ(data.has_value(), items[k].data.has_value()) << what << ", item " << k;
    if (data) {
      EXPECT_EQ(copy(data), *items[k].data) << what << ", item " << k;
    }
  }
}

TEST(TaggedDirectory, ItemsOfBothFormats) {
  const ByteVector small = RecordBuilder(kSmall).tagged(256, {1, 2}).tagged(257, {3}, 0x01).tagged_null(300).encode();
  expect_directory(small, false, 12,
                   {{256, 12, false, false, ByteVector{1, 2}},
                    {257, 14, true, false, ByteVector{1, 3}},
                    {300, 16, false, true, ByteVector{}}},
                   "small pages");
  const ByteVector large = RecordBuilder(kLarge).tagged(256, {1, 2}).tagged_null(257).encode();
  expect_directory(large, true, 8,
                   {{256, 8, true, false, ByteVector{0, 1, 2}}, {257, 11, true, false, ByteVector{0x20}}},
                   "large pages: NULL is a flag bit");
  // The same words read in the other format: bit 14 is part of the offset
  // on large pages, the top bits of a 15-bit offset flags on small ones.
  ByteVector wide = RecordBuilder(kLarge).tagged(256, ByteVector(0x2000, 7)).tagged(257, {9}).encode();
  const TaggedDirectory as_large(RecordView(view(wide)), true);
  ASSERT_EQ(as_large.count(), 2u);
  EXPECT_EQ(as_large.item(1).offset, 8u + 1 + 0x2000);
  const TaggedDirectory as_small(RecordView(view(wide)), false);
  EXPECT_EQ(as_small.item(1).offset, (8u + 1 + 0x2000) & 0x1FFF);
  EXPECT_TRUE(as_small.item(1).null);
}

TEST(TaggedDirectory, DamagedDirectories) {
  const ByteVector base = RecordBuilder(kSmall).tagged(256, {1, 2}).tagged(257, {3}).tagged(258, {4, 5}).encode();
  // base: 4 header bytes, T = 4, items at 4, 8, 12, data from offset 12.
  struct Case {
    const char* what;
    std::size_t at;
    std::uint8_t byte;
    std::size_t declared;
    std::size_t count;
  };
  const std::vector<Case> cases = {
      {"declared size 0: no items", 4 + 2, 0, 0, 0},
      {"declared size not a multiple of 4 reads the partial item", 4 + 2, 5, 5, 2},
      {"declared size past the record: as many items as fit", 4 + 3, 0x10, 0x100C, 4},
  };
  for (const auto& c : cases) {
    ByteVector record = base;
    record[c.at] = c.byte;
    const TaggedDirectory d(RecordView(view(record)), false);
    EXPECT_EQ(d.declared_size(), c.declared) << c.what;
    EXPECT_EQ(d.count(), c.count) << c.what;
  }
  // Item 1 starting past item 2, and item 2 past the record's end.
  ByteVector crossed = base;
  crossed[4 + 4 + 2] = 20;
  const TaggedDirectory d(RecordView(view(crossed)), false);
  EXPECT_FALSE(d.data(0));
  EXPECT_FALSE(d.data(1));
  EXPECT_EQ(copy(d.data(2)), (ByteVector{4, 5}));
  ByteVector last_past = base;
  last_past[4 + 8 + 2] = 40;
  EXPECT_FALSE(TaggedDirectory(RecordView(view(last_past)), false).data(2));
  // Bit 15 on small pages is reserved: reported, not part of the offset.
  ByteVector reserved = base;
  reserved[4 + 4 + 3] |= 0x80;
  const TaggedItem item = TaggedDirectory(RecordView(view(reserved)), false).item(1);
  EXPECT_TRUE(item.reserved);
  EXPECT_EQ(item.offset, 14u);
  // Too short for one item.
  EXPECT_EQ(TaggedDirectory(RecordView(view(ByteVector{0, 127, 4, 0, 1, 1, 4})), false).count(), 0u);
}

TEST(RecordLayoutFacts, FlagByteSplitAndTypeWidths) {
  const ByteVector data = {0x04, 1, 2};
  EXPECT_EQ(split_flag_byte(view(data), true).flags, 0x04);
  EXPECT_EQ(split_flag_byte(view(data), true).value.size(), 2u);
  EXPECT_EQ(split_flag_byte(view(data), false).flags, 0);
  EXPECT_EQ(split_flag_byte(view(data), false).value.size(), 3u);
  EXPECT_TRUE(split_flag_byte(Bytes(), true).value.empty());

  struct Width {
    ColumnType type;
    std::uint32_t width;
  };
  using T = ColumnType;
  for (const Width& w : {Width{T::Boolean, 1}, Width{T::UnsignedByte, 1}, Width{T::SignedShort, 2},
                         Width{T::UnsignedShort, 2}, Width{T::SignedLong, 4}, Width{T::UnsignedLong, 4},
                         Width{T::Float32, 4}, Width{T::Currency, 8}, Width{T::Float64, 8}, Width{T::DateTime, 8},
                         Width{T::LongLong, 8}, Width{T::Guid, 16}, Width{T::Text, 0}, Width{T::Binary, 0},
                         Width{T::LongText, 0}, Width{T::LongBinary, 0}, Width{T::Null, 0}}) {
    EXPECT_EQ(fixed_type_width(w.type), w.width) << static_cast<int>(w.type);
  }
}

}  // namespace
}  // namespace pellumo
