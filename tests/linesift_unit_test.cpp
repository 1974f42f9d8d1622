#include <gtest/gtest.h>

#include "line_extract/linesift.h"

namespace {

using linesift::Step;

TEST(ParseNum, ConvertsLikeTheCLibraryWithWrapping) {
  const struct {
    const char* text;
    std::int32_t value;
  } cases[] = {
      {"2", 2},
      {"abc", 0},
      {"2x", 2},
      {" +2", 2},
      {"\t\n\v\f\r 7", 7},
      {"-0", 0},
      {"-1", -1},
      {"+-1", 0},
      {"", 0},
      {"4294967296", 0},
      {"4294967297", 1},
      {"2147483647", 2147483647},
      {"2147483648", -2147483647 - 1},
      {"-2147483649", 2147483647},
      {"99999999999999999999", 1661992959},
  };
  for (const auto& c : cases) EXPECT_EQ(linesift::parse_num(c.text), c.value) << c.text;
}

TEST(SelectLine, CountsDownToTheNthMatch) {
  auto selection = linesift::make_selection(2);
  EXPECT_EQ(linesift::select_line(selection, false), Step::skip);
  EXPECT_EQ(linesift::select_line(selection, true), Step::skip);
  EXPECT_EQ(linesift::select_line(selection, true), Step::write_and_stop);
  EXPECT_EQ(linesift::status_of(selection), linesift::exit_ok);
}

TEST(SelectLine, UnboundedWritesEveryMatchAndStaysUnbounded) {
  auto selection = linesift::make_selection(linesift::unbounded);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(linesift::select_line(selection, true), Step::write);
  EXPECT_EQ(selection.counter, linesift::unbounded);
  EXPECT_EQ(linesift::status_of(selection), linesift::exit_ok);
}

TEST(SelectLine, NegativeCounterNeverMovesSoItCannotWrap) {
  auto selection = linesift::make_selection(-2147483647 - 1);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(linesift::select_line(selection, true), Step::skip);
  EXPECT_EQ(selection.counter, -2147483647 - 1);
  EXPECT_EQ(linesift::status_of(selection), linesift::exit_too_few);
}

TEST(SelectLine, ZeroInvertsAndNeverCounts) {
  auto selection = linesift::make_selection(0);
  EXPECT_EQ(linesift::select_line(selection, true), Step::skip);
  EXPECT_EQ(linesift::select_line(selection, false), Step::write);
  EXPECT_EQ(linesift::status_of(selection), linesift::exit_ok);
}

}  // namespace
