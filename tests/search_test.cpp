#include "platform/search.h"

#include <gtest/gtest.h>

#include <iterator>
#include <random>
#include <string>

namespace {

using platform::search::count_pieces;
using platform::search::find_bytes;
using platform::search::find_pairs;

TEST(FindBytes, FindsTheFirstOccurrenceAtEveryOffset) {
  // The keyword at each offset of texts longer and shorter than one vector step, with near
  // misses (first and last byte right, middle wrong) before it; both the search as a whole
  // and its vector part, which it goes on with where the rare-byte search gives up.
  for (auto* find : {&find_bytes, &find_pairs}) {
    for (std::size_t size = 1; size < 140; ++size) {
      for (std::size_t at = 0; at + 3 <= size; ++at) {
        std::string text(size, 'a');
        if (at >= 3) text.replace(0, 3, "kxy");
        text.replace(at, 3, "key");
        const std::string key = "key";
        const char* hit = find(text.data(), text.data() + text.size(), key);
        ASSERT_EQ(hit, text.data() + at) << size << " " << at;
        ASSERT_EQ(find(text.data(), text.data() + at + 2, key), nullptr) << size << " " << at;
      }
    }
  }
  const std::string text = "abc";
  EXPECT_EQ(find_bytes(text.data(), text.data() + 3, std::string_view("")), text.data());
  EXPECT_EQ(find_bytes(text.data(), text.data() + 3, std::string_view("c")), text.data() + 2);
  EXPECT_EQ(find_bytes(text.data(), text.data() + 3, std::string_view("abcd")), nullptr);
  EXPECT_EQ(find_bytes(text.data() + 2, text.data() + 1, std::string_view("ab")), nullptr);
}

TEST(FindBytes, KeywordWhoseRareByteIsCommonInTheText) {
  // Every byte of the text is a candidate of the rare-byte search, which gives up early.
  for (const std::size_t at : {0, 5, 100, 4000}) {
    std::string text(5000, 'Z');
    text.replace(at, 3, "ZQZ");
    const char* hit = find_bytes(text.data(), text.data() + text.size(), std::string_view("ZQZ"));
    EXPECT_EQ(hit, text.data() + at) << at;
  }
  const std::string text(5000, 'Z');
  EXPECT_EQ(find_bytes(text.data(), text.data() + text.size(), std::string_view("ZQ")), nullptr);
}

TEST(CountPieces, LineFeedsAndLongLines) {
  const struct {
    std::string text;
    std::int64_t pieces;
    std::size_t piece_start;  // where the walk stands after the text
  } cases[] = {
      {"", 0, 0},
      {"a\nb\n", 2, 4},
      {"a\nbc", 1, 2},
      {std::string(10, 'x') + "\n", 4, 11},   // 3 + 3 + 3 + 2 bytes
      {std::string(9, 'x') + "\nab", 4, 10},  // the line feed is a fourth piece
      {std::string(7, 'x'), 2, 6},            // two full pieces, the third has begun
      {std::string(40, '\n'), 40, 40},
      {std::string(20, 'x') + "\n" + std::string(30, 'y') + "\n", 7 + 11, 52},
  };
  for (const auto& c : cases) {
    std::int64_t pieces = 0;
    const char* begin = c.text.data();
    const char* at = count_pieces(begin, begin + c.text.size(), 3, pieces);
    EXPECT_EQ(pieces, c.pieces) << c.text;
    EXPECT_EQ(static_cast<std::size_t>(at - begin), c.piece_start) << c.text;
  }
}

TEST(CountPieces, AgreesWithLineByLineCountingOnLongTexts) {
  // Lines around the lengths where the chunked count changes its mind: chunks without a line
  // feed, lines of exactly one piece and one byte more, long runs of short lines.
  std::mt19937 random(7);
  const std::size_t lengths[] = {1, 2, 60, 120, 511, 512, 513, 1022, 1023, 1024, 2047, 5000};
  for (const std::size_t piece_bytes : {std::size_t{1023}, std::size_t{4095}, std::size_t{200}}) {
    for (int round = 0; round < 20; ++round) {
      std::string text;
      while (text.size() < 60000) {
        const std::size_t length = lengths[random() % std::size(lengths)];
        text.append(length - 1, 'x');
        text += '\n';
      }
      text.resize(text.size() - random() % 3000);  // end inside a line
      // Line by line: a line of n bytes with its line feed is (n - 1) / piece_bytes + 1 pieces.
      std::int64_t want = 0;
      std::size_t line = 0;
      for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\n') continue;
        want += static_cast<std::int64_t>((i - line) / piece_bytes + 1);
        line = i + 1;
      }
      want += static_cast<std::int64_t>((text.size() - line) / piece_bytes);
      const std::size_t start = line + (text.size() - line) / piece_bytes * piece_bytes;

      std::int64_t pieces = 0;
      const char* begin = text.data();
      const char* at = count_pieces(begin, begin + text.size(), piece_bytes, pieces);
      ASSERT_EQ(pieces, want) << piece_bytes << " " << round;
      ASSERT_EQ(static_cast<std::size_t>(at - begin), start) << piece_bytes << " " << round;
    }
  }
}

}  // namespace
