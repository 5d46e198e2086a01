#include "record/multi_value.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pellumo {
namespace {

struct Expected {
  std::string data;
  bool compressed;
  bool separated;
};

TEST(SplitMultiValue, ReadsEachLayoutAndRefusesInconsistentOnes) {
  struct Case {
    const char* what;
    std::vector<std::uint8_t> value;
    std::uint8_t flags;
    bool ok;
    std::vector<Expected> expected;
  } cases[] = {
      {"offset array of three", {6, 0, 7, 0, 9, 0, 'a', 'b', 'c', 'd', 'e'}, 0x08, true,
       {{"a", false, false}, {"bc", false, false}, {"de", false, false}}},
      {"empty instances", {6, 0, 6, 0, 8, 0, 'x', 'y'}, 0x08, true,
       {{"", false, false}, {"xy", false, false}, {"", false, false}}},
      {"separated instances carry bit 15", {4, 0x80, 8, 0, 1, 0, 0, 0, 'z'}, 0x09, true,
       {{std::string("\x01\0\0\0", 4), false, true}, {"z", false, false}}},
      {"only the first instance is compressed", {4, 0, 6, 0, 0x10, 'p', 'q'}, 0x0B, true,
       {{"\x10p", true, false}, {"q", false, false}}},
      {"two values: length of the first, then both", {2, 'a', 'b', 'c'}, 0x18, true,
       {{"ab", false, false}, {"c", false, false}}},
      {"two values, first empty", {0, 'c'}, 0x18, true, {{"", false, false}, {"c", false, false}}},
      {"two values, first too long", {5, 'a', 'b'}, 0x18, false, {}},
      {"two values, nothing stored", {}, 0x18, false, {}},
      {"array size odd", {3, 0, 4, 0, 'a'}, 0x08, false, {}},
      {"array size zero", {0, 0, 'a'}, 0x08, false, {}},
      {"array past the value", {8, 0, 4, 0}, 0x08, false, {}},
      {"offset inside the array", {4, 0, 2, 0, 'a'}, 0x08, false, {}},
      {"offsets going backwards", {6, 0, 8, 0, 7, 0, 'a', 'b', 'c'}, 0x08, false, {}},
      {"one byte", {4}, 0x08, false, {}},
  };
  std::vector<MultiValueInstance> out;
  for (const Case& c : cases) {
    const bool ok = split_multi_value(Bytes(c.value.data(), c.value.size()), c.flags, out);
    EXPECT_EQ(ok, c.ok) << c.what;
    if (!ok) {
      EXPECT_TRUE(out.empty()) << c.what;
      continue;
    }
    ASSERT_EQ(out.size(), c.expected.size()) << c.what;
    for (std::size_t i = 0; i < out.size(); ++i) {
      EXPECT_EQ(to_byte_string(out[i].data), c.expected[i].data) << c.what << ", instance " << i;
      EXPECT_EQ(out[i].compressed, c.expected[i].compressed) << c.what << ", instance " << i;
      EXPECT_EQ(out[i].separated, c.expected[i].separated) << c.what << ", instance " << i;
    }
  }
}

}  // namespace
}  // namespace pellumo
