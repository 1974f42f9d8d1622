#include <gtest/gtest.h>

#include "platform/platform.h"

namespace {

constexpr auto npos = std::string_view::npos;

TEST(CharacterAwareSearch, NeverMatchesAtATrailByte) {
  const auto cp932 = platform::lead_bytes_of_code_page(932);
  // 0x83 0x41 is one character; the 'A' after it is the first real 'A'.
  EXPECT_EQ(platform::mbs_find("\x83\x41xA", "A", cp932), 3u);
  EXPECT_EQ(platform::mbs_find("\x83\x41x", "A", cp932), npos);
  EXPECT_EQ(platform::mbs_find("\x83\x41x", "A", platform::LeadBytes{}), 1u);
  // A trail byte 0x5C is not a backslash, nor 0x23... as a '#' after a lead byte.
  EXPECT_EQ(platform::mbs_rfind("a\\\x95\\b", '\\', cp932), 1u);
  EXPECT_EQ(platform::mbs_rfind("\x81#", '#', cp932), npos);
  EXPECT_EQ(platform::mbs_rfind("a#b#c", '#', cp932), 3u);
  // A lead byte at the very end stands alone.
  EXPECT_EQ(platform::mbs_find("ab\x83", "\x83", cp932), 2u);
}

TEST(CharacterAwareSearch, EmptyKeywordIsFoundOnlyInNonEmptyText) {
  const auto cp932 = platform::lead_bytes_of_code_page(932);
  EXPECT_EQ(platform::mbs_find("abc", "", cp932), 0u);
  EXPECT_EQ(platform::mbs_find("", "", cp932), npos);
  EXPECT_EQ(platform::mbs_find("", "", platform::LeadBytes{}), npos);
}

TEST(CharacterAwareSearch, LeadByteRangesOfTheDoubleByteCodePages) {
  const struct {
    unsigned code_page;
    unsigned char lead, not_lead;
  } cases[] = {{932, 0x81, 0xA0}, {932, 0xFC, 0xFD},  {936, 0xFE, 0x80}, {949, 0x81, 0xFF},
               {950, 0xA4, 0x40}, {1361, 0xD8, 0xD4}, {1361, 0xF9, 0xDF}};
  for (const auto& c : cases) {
    const auto lead = platform::lead_bytes_of_code_page(c.code_page);
    EXPECT_TRUE(lead.lead[c.lead]) << c.code_page;
    EXPECT_FALSE(lead.lead[c.not_lead]) << c.code_page;
  }
  for (bool b : platform::lead_bytes_of_code_page(1252).lead) EXPECT_FALSE(b);
}

}  // namespace
