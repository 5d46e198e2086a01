#include "error/ese_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace pellumo {
namespace {

TEST(EseError, MessagesCarryTheirNumbersAndNames) {
  struct Case {
    EseError error;
    std::string message;
  };
  Case cases[] = {
      {EseError::invalid_header(), "Invalid database header"},
      {EseError::invalid_signature(0), "Invalid signature, expected 0x89ABCDEF, got 0x0"},
      {EseError::invalid_signature(0xAB), "Invalid signature, expected 0x89ABCDEF, got 0xab"},
      {EseError::invalid_signature(0x89ABCDEE), "Invalid signature, expected 0x89ABCDEF, got 0x89abcdee"},
      {EseError::invalid_page_number(4294967295u), "Invalid page number: 4294967295"},
      {EseError::invalid_tag_number(65535), "Invalid tag number: 65535"},
      {EseError::table_not_found("\xff"), "Table not found: [255]"},
      {EseError::table_not_found("AB"), "Table not found: [65, 66]"},
      {EseError::table_not_found(""), "Table not found: []"},
      {EseError::column_not_found(std::string("\0x", 2)), "Column not found: [0, 120]"},
      {EseError::unsupported_column_type(4294967295u), "Unsupported column type: 4294967295"},
      {EseError::callback_catalog_type(), "Callback catalog type is not supported"},
      {EseError::invalid_catalog_entry(), "Invalid catalog entry"},
      {EseError::page_data_too_short(40, 12), "Page data too short, expected at least 40 bytes, got 12"},
      {EseError::tag_offset_out_of_bounds(8000, 300, 4096),
       "Tag offset out of bounds: offset=8000, size=300, page_size=4096"},
      {EseError::unknown_codepage(0), "Unknown codepage: 0"},
      {EseError::io(ENOENT), "IO error: No such file or directory (os error 2)"},
      {EseError::io(EISDIR), "IO error: Is a directory (os error 21)"},
      {EseError::io_text("memory map length overflows isize"), "IO error: memory map length overflows isize"},
      {EseError::parse("Leaf entry too short"), "Parse error: Leaf entry too short"},
      {EseError::corrupt_structure(4294967295u, "wrong_tree_type"),
       "Corrupt structure: page 4294967295 refused (wrong_tree_type)"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.error.message(), c.message);
}

TEST(EseError, CorruptStructureKeepsPageAndReason) {
  const EseError e = EseError::corrupt_structure(17, "checksum");
  EXPECT_EQ(e.kind(), EseError::Kind::CorruptStructure);
  EXPECT_EQ(e.number(0), 17u);
  EXPECT_EQ(e.text(), "checksum");
}

TEST(EseError, ContextLeadsTheMessageAndKeepsTheKind) {
  EseError e = EseError::invalid_page_number(9).with_context("Error reading record: ");
  EXPECT_EQ(e.kind(), EseError::Kind::InvalidPageNumber);
  EXPECT_EQ(e.number(0), 9u);
  EXPECT_EQ(e.message(), "Error reading record: Invalid page number: 9");
  // An outer context goes in front of an inner one.
  EseError twice = std::move(e).with_context("table T: ");
  EXPECT_EQ(twice.message(), "table T: Error reading record: Invalid page number: 9");
  EXPECT_EQ(twice.context(), "table T: Error reading record: ");
  // An Io error's description stays the system's text alone.
  const EseError io = EseError::io(ENOENT).with_context("x: ");
  EXPECT_EQ(io.io_description(), "No such file or directory (os error 2)");
  EXPECT_EQ(io.message(), "x: IO error: No such file or directory (os error 2)");
  EXPECT_EQ(EseError::invalid_header().context(), "");
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
