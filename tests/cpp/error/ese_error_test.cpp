#include "error/ese_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace pellumo {
namespace {

struct MessageCase {
  EseError::Kind kind;
  EseError error;
  std::string message;
};

TEST(EseError, EveryVariantRendersItsMessage) {
  std::vector<MessageCase> cases;
  auto add = [&](EseError e, std::string m) {
    const EseError::Kind k = e.kind();
    cases.push_back(MessageCase{k, std::move(e), std::move(m)});
  };
  add(EseError::invalid_header(), "Invalid database header");
  add(EseError::invalid_signature(0), "Invalid signature, expected 0x89ABCDEF, got 0x0");
  add(EseError::invalid_signature(0xAB), "Invalid signature, expected 0x89ABCDEF, got 0xab");
  add(EseError::invalid_signature(0x89ABCDEE), "Invalid signature, expected 0x89ABCDEF, got 0x89abcdee");
  add(EseError::unsupported_version(0x620, 0x14), "Unsupported database version: 0x620, revision: 0x14");
  add(EseError::invalid_page_number(4294967295u), "Invalid page number: 4294967295");
  add(EseError::invalid_tag_number(65535), "Invalid tag number: 65535");
  add(EseError::table_not_found("\xff"), "Table not found: [255]");
  add(EseError::table_not_found("AB"), "Table not found: [65, 66]");
  add(EseError::table_not_found(""), "Table not found: []");
  add(EseError::column_not_found(std::string("\0x", 2)), "Column not found: [0, 120]");
  add(EseError::unsupported_catalog_type(6), "Unsupported catalog type: 6");
  add(EseError::unsupported_column_type(4294967295u), "Unsupported column type: 4294967295");
  add(EseError::compressed_data_unsupported(), "Compressed tagged data is not supported");
  add(EseError::long_value_unsupported(), "Long value data is not yet supported");
  add(EseError::multi_value_unsupported(), "Multi-value data is not fully supported");
  add(EseError::callback_catalog_type(), "Callback catalog type is not supported");
  add(EseError::invalid_data_definition_header(), "Invalid data definition header");
  add(EseError::invalid_catalog_entry(), "Invalid catalog entry");
  add(EseError::page_data_too_short(40, 12), "Page data too short, expected at least 40 bytes, got 12");
  add(EseError::tag_offset_out_of_bounds(8000, 300, 4096), "Tag offset out of bounds: offset=8000, size=300, page_size=4096");
  add(EseError::unknown_codepage(0), "Unknown codepage: 0");
  add(EseError::string_decode("bad byte 0x81"), "String decode error: bad byte 0x81");
  add(EseError::io(ENOENT), "IO error: No such file or directory (os error 2)");
  add(EseError::io(EISDIR), "IO error: Is a directory (os error 21)");
  add(EseError::io_text("memory map length overflows isize"), "IO error: memory map length overflows isize");
  add(EseError::parse("Leaf entry too short"), "Parse error: Leaf entry too short");
  add(EseError::alignment("odd offset"), "Alignment error: odd offset");

  std::vector<bool> seen(22, false);
  for (const MessageCase& c : cases) {
    EXPECT_EQ(c.error.message(), c.message);
    seen[static_cast<std::size_t>(c.kind)] = true;
  }
  for (std::size_t k = 0; k < seen.size(); ++k) EXPECT_TRUE(seen[k]) << "variant " << k << " has no case";
}

TEST(EseError, PayloadTextsAreKeptAsGiven) {
  // Messages of the text-carrying variants are not escaped or trimmed.
  const std::string odd("a\nb\0c", 5);
  EXPECT_EQ(EseError::parse(odd).message(), "Parse error: " + odd);
  EXPECT_EQ(EseError::parse(odd).text(), odd);
  EXPECT_EQ(EseError::io(ENOENT).io_description(), "No such file or directory (os error 2)");
}

TEST(EseError, ResultCarriesValueOrError) {
  Result<int> good = 7;
  ASSERT_TRUE(good.ok());
  EXPECT_EQ(*good, 7);
  Result<int> bad = EseError::invalid_tag_number(3);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().kind(), EseError::Kind::InvalidTagNumber);

  auto twice = [](Result<int> r) -> Result<int> {
    PELLUMO_TRY(int v, std::move(r));
    return v * 2;
  };
  EXPECT_EQ(*twice(21), 42);
  EXPECT_EQ(twice(EseError::invalid_header()).error().message(), "Invalid database header");

  auto check = [](Result<void> r) -> Result<int> {
    PELLUMO_CHECK(std::move(r));
    return 1;
  };
  EXPECT_TRUE(check(Ok{}).ok());
  EXPECT_EQ(check(EseError::invalid_catalog_entry()).error().kind(), EseError::Kind::InvalidCatalogEntry);
}

}  // namespace
}  // namespace pellumo
