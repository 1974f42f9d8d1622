// linesift run from outside on fixture files: exact output bytes and exit statuses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "support.h"

namespace {

using support::text;

const std::string usage =
    "[usage] linesift (keyword) (path)\n"
    "[usage] linesift (keyword) (path) (num)\n";
const std::string not_found_cp932 =
    " \x82\xAA\x8C\xA9\x82\xC2\x82\xA9\x82\xE8\x82\xDC\x82\xB9\x82\xF1\n";
const std::string bom = "\xFF\xFE";

// Environment settings for the native build; the Windows build runs in Wine's own locale.
std::vector<std::string> native_env(std::vector<std::string> env) {
  return support::windows_build() ? std::vector<std::string>{} : env;
}

support::Result sift(const std::vector<std::string>& args, const support::Options& options = {}) {
  return support::run(support::linesift_path(), args, options);
}

// UTF-16LE bytes of text given as code units.
std::string utf16(std::u16string_view units) {
  std::string bytes;
  for (char16_t u : units) {
    bytes += static_cast<char>(u & 0xFF);
    bytes += static_cast<char>(u >> 8);
  }
  return bytes;
}

struct Case {
  const char* name;
  std::string file;
  std::vector<std::string> args;  // after keyword and path: the num, if any
  std::string keyword;
  std::string out;
  int status;
};

void expect_cases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    const std::string path = support::fixture(std::string("case-") + c.name, c.file);
    std::vector<std::string> args{c.keyword, path};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto r = sift(args);
    EXPECT_EQ(r.out, c.out) << c.name;
    EXPECT_EQ(r.status, c.status) << c.name;
    EXPECT_EQ(r.err, "") << c.name;
  }
}

TEST(LinesiftCommandLine, UsageForAWrongArgumentCount) {
  const std::vector<std::vector<std::string>> counts = {
      {}, {"k"}, {"k", "p", "1", "x"}, {"k", "p", "1", "x", "y"}};
  for (const auto& args : counts) {
    const auto r = sift(args);
    EXPECT_EQ(r.out, text(usage)) << args.size();
    EXPECT_EQ(r.status, 2) << args.size();
  }
}

TEST(LinesiftCommandLine, OpenFailureNamesThePathInCodePage932) {
  const std::string missing = support::temp_dir() + "/no such.log";
  auto r = sift({"x", missing});
  EXPECT_EQ(r.out, text(missing + not_found_cp932));
  EXPECT_EQ(r.status, 3);

  r = sift({"x", support::temp_dir()});
  EXPECT_EQ(r.out, text(support::temp_dir() + not_found_cp932));
  EXPECT_EQ(r.status, 3);
}

TEST(LinesiftSelection, WhatEachNumSelects) {
  const std::string log = "a x\nb\nc x\r\nd";
  const std::string all = "a x\nc x\r\n";
  const std::string inverted = "b\nd";
  expect_cases({
      {"all", log, {}, "x", text(all), 0},
      {"first", log, {"1"}, "x", text("a x\n"), 0},
      {"second", log, {"2"}, "x", text("c x\r\n"), 0},
      {"past-the-last", log, {"3"}, "x", "", 1},
      {"zero", log, {"0"}, "x", text(inverted), 0},
      {"negative", log, {"-1"}, "x", "", 1},
      {"abc", log, {"abc"}, "x", text(inverted), 0},
      {"2x", log, {"2x"}, "x", text("c x\r\n"), 0},
      {"space-plus", log, {" +2"}, "x", text("c x\r\n"), 0},
      {"minus-zero", log, {"-0"}, "x", text(inverted), 0},
      {"2^32", log, {"4294967296"}, "x", text(inverted), 0},
      {"2^32+1", log, {"4294967297"}, "x", text("a x\n"), 0},
      {"int-max", log, {"2147483647"}, "x", text(all), 0},
      {"int-max+1", log, {"2147483648"}, "x", "", 1},
      {"empty-keyword", log, {}, "", text(log), 0},
      {"empty-keyword-inverted", log, {"0"}, "", "", 0},
      {"last-line-unterminated", "q\nx end", {}, "x", "x end", 0},
      {"one-byte", "x", {"1"}, "x", "x", 0},
  });
}

TEST(LinesiftSelection, EmptyFile) {
  expect_cases({
      {"empty", "", {}, "x", "", 0},
      {"empty-1", "", {"1"}, "x", "", 1},
      {"empty-0", "", {"0"}, "x", "", 0},
  });
}

TEST(LinesiftByteText, ZeroByteEndsALinesText) {
  const std::string log = std::string("ab\0cd x\nx\0tail\n", 15) + "q\n";
  expect_cases({
      // Text after the zero is neither searched nor written, nor is the line feed.
      {"after-zero", log, {}, "x", "x", 0},
      {"inverted", log, {"0"}, "x", text("abq\n"), 0},
  });
}

TEST(LinesiftByteText, LongLinesAreCutInto4095BytePieces) {
  const std::string a4095(4095, 'a');
  expect_cases({
      // The line feed after 4095 bytes is a piece of its own.
      {"lf-piece", a4095 + "\n", {}, "\n", text("\n"), 0},
      {"second-piece", a4095 + "b\n", {}, "b", text("b\n"), 0},
      {"spanning", a4095 + "b\n", {}, "ab", "", 0},
      {"one-line-two-matches", a4095 + "ab\n", {"2"}, "a", text("ab\n"), 0},
      {"inverted-pieces", a4095 + "b\n", {"0"}, "b", a4095, 0},
      {"exactly-4095", std::string(4094, 'a') + "\nb\n", {"2"}, "", text("b\n"), 0},
  });
}

TEST(LinesiftByteText, MarksOtherThanFFFEAreText) {
  expect_cases({
      // The mark's bytes are part of the first line; the 0 selection writes them back.
      {"fe-ff",
       "\xFE\xFF"
       "ab\nc\n",
       {"0"},
       "c",
       text("\xFE\xFF"
            "ab\n"),
       0},
      {"utf8-bom", "\xEF\xBB\xBFx\ny\n", {"1"}, "x", text("\xEF\xBB\xBFx\n"), 0},
      // Byte text knows nothing of double-byte characters: 'A' matches the trail of 0x83 0x41.
      {"trail-byte", "\x83\x41\nB\n", {}, "A", text("\x83\x41\n"), 0},
  });
}

TEST(LinesiftByteText, TextStreamRulesOfEachPlatform) {
  // Windows reads CR LF as LF and stops a disk file at 0x1A; Linux reads bytes as stored.
  const std::string log = "a x\nb\rx\r\nc x\x1A d x\n";
  const std::string path = support::fixture("text-rules.log", log);
  auto r = sift({"x", path});
  EXPECT_EQ(r.out, support::windows_build() ? "a x\r\nb\rx\r\nc x" : "a x\nb\rx\r\nc x\x1A d x\n");
  EXPECT_EQ(r.status, 0);

  // A Japanese keyword selects the lines of a CP932 log. On Windows it is typed in the
  // terminal's UTF-8 and arrives in the ANSI code page; on Linux the bytes are taken as given.
  const std::string error_cp932 = "\x83\x47\x83\x89\x81\x5B";
  const std::string sjis = support::fixture("sjis.log", "ok\r\n" + error_cp932 + " 1\r\nok\r\n");
  const std::string keyword =
      support::windows_build() ? "\xE3\x82\xA8\xE3\x83\xA9\xE3\x83\xBC" : error_cp932;
  r = sift({keyword, sjis});
  EXPECT_EQ(r.out, text(error_cp932 + " 1\r\n"));
  EXPECT_EQ(r.status, 0);
}

TEST(LinesiftUtf16, LinesComeOutByteForByteBehindFFFE) {
  const std::string crlf = utf16(u"a x\r\nb\r\nx c\r\n");
  expect_cases({
      {"bom-only", bom, {}, "x", bom, 0},
      {"bom-only-1", bom, {"1"}, "x", bom, 1},
      {"crlf", bom + crlf, {}, "x", bom + utf16(u"a x\r\nx c\r\n"), 0},
      {"crlf-second", bom + crlf, {"2"}, "x", bom + utf16(u"x c\r\n"), 0},
      {"crlf-inverted", bom + crlf, {"0"}, "x", bom + utf16(u"b\r\n"), 0},
      {"negative", bom + crlf, {"-3"}, "x", bom, 1},
      // Half a unit is never a line feed: U+4E0A is 0A 4E, U+0A41 is 41 0A.
      {"lf-halves",
       bom + utf16(u"\u4E0A\u0A41x\ny\n"),
       {"1"},
       "x",
       bom + utf16(u"\u4E0A\u0A41x\n"),
       0},
      {"ff1a-0a0d",
       bom + utf16(u"\uFF1A\u0A0D\nx\n"),
       {"0"},
       "x",
       bom + utf16(u"\uFF1A\u0A0D\n"),
       0},
      // A line that begins with U+FEFF loses the mark, as two files joined end to end.
      {"joined", bom + utf16(u"a\n\uFEFFbx\n"), {}, "b", bom + utf16(u"bx\n"), 0},
      // An odd last byte is a unit with high byte 0, and is written that way.
      {"odd-length", bom + utf16(u"ab") + "x", {}, "x", bom + utf16(u"abx"), 0},
      {"odd-lf", bom + utf16(u"ab") + "\n", {}, "a", bom + utf16(u"ab\n"), 0},
      {"zero-unit",
       bom + utf16(u"ab") + std::string(2, '\0') + utf16(u"x\n"),
       {},
       "a",
       bom + utf16(u"ab"),
       0},
      {"zero-unit-hides",
       bom + utf16(u"ab") + std::string(2, '\0') + utf16(u"x\n"),
       {},
       "x",
       bom,
       0},
      // The empty keyword selects the lines whose text is not empty.
      {"empty-keyword",
       bom + utf16(u"a\n") + std::string(2, '\0') + utf16(u"\nb"),
       {},
       "",
       bom + utf16(u"a\nb"),
       0},
      // Bytes 41 00 stand at an odd offset only (units 4130 3000): no match.
      {"odd-offset", bom + std::string("\x30\x41\x00\x30\n\x00", 6), {"1"}, "A", bom, 1},
  });
}

TEST(LinesiftUtf16, LongLinesAreCutInto2047UnitPieces) {
  const std::u16string a2047(2047, u'a');
  expect_cases({
      {"second-piece", bom + utf16(a2047 + u"b\n"), {}, "b", bom + utf16(u"b\n"), 0},
      {"spanning", bom + utf16(a2047 + u"b\n"), {}, "ab", bom, 0},
      {"lf-piece", bom + utf16(a2047 + u"\n"), {"2"}, "", bom + utf16(u"\n"), 0},
  });
}

TEST(LinesiftUtf16, KeywordsConvertFromTheLocale) {
  const std::string log = bom + utf16(u"info \u958B\u59CB\r\n\u30A8\u30E9\u30FC \u767A\u751F\r\n");
  const std::string path = support::fixture("ja-utf16.log", log);
  const auto r =
      sift({"\xE3\x82\xA8\xE3\x83\xA9\xE3\x83\xBC", path}, {native_env({"LC_ALL=C.UTF-8"})});
  EXPECT_EQ(r.out, bom + utf16(u"\u30A8\u30E9\u30FC \u767A\u751F\r\n"));
  EXPECT_EQ(r.status, 0);

  // A keyword far beyond 255 units converts whole and still matches.
  const std::u16string long_line(3000, u'k');
  const std::string long_path =
      support::fixture("long-keyword.log", bom + utf16(u"x\n" + long_line + u"\n"));
  const auto l = sift({std::string(1000, 'k'), long_path, "1"});
  EXPECT_EQ(l.out, bom + utf16(long_line.substr(0, 2047)));
  EXPECT_EQ(l.status, 0);
}

TEST(LinesiftStreams, NonSeekableInputAndEarlyStopOnAFifo) {
  if (support::windows_build()) GTEST_SKIP() << "FIFOs are POSIX";
  // The writer keeps the FIFO open: linesift must answer from the lines it has.
  const std::string fifo = support::temp_dir() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const pid_t pid = support::start(support::linesift_path(), {"x", fifo, "2"}, {});
  const int fd = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const std::string lines = "x1\nb\nx2\n";
  ASSERT_EQ(write(fd, lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
  const auto r = support::finish(pid, 10000);
  close(fd);
  EXPECT_EQ(r.out, text("x2\n"));
  EXPECT_EQ(r.status, 0);

  // The UTF-16 mark is found without seeking back, even when it arrives a byte at a time.
  unlink(fifo.c_str());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const pid_t reader = support::start(support::linesift_path(), {"x", fifo}, {});
  const int wfd = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
  const std::string wide = utf16(u"a\nx\n");
  ASSERT_EQ(write(wfd, "\xFF", 1), 1);
  usleep(50000);
  ASSERT_EQ(write(wfd, "\xFE", 1), 1);
  ASSERT_EQ(write(wfd, wide.data(), wide.size()), static_cast<ssize_t>(wide.size()));
  close(wfd);
  const auto w = support::finish(reader, 10000);
  EXPECT_EQ(w.out, bom + utf16(u"x\n"));
  EXPECT_EQ(w.status, 0);
}

TEST(LinesiftStreams, LargeOutputIntoAPipeArrivesWhole) {
  if (support::windows_build()) GTEST_SKIP() << "FIFOs are POSIX";
  // Input of several blocks, read ahead; half its lines go into a pipe that is read in small
  // pieces, so that linesift waits on the pipe again and again.
  std::string log;
  std::string want;
  for (int i = 0; i < 40000; ++i) {
    const std::string line = (i % 2 ? "keep " : "drop ") + std::to_string(i) +
                             std::string(static_cast<std::size_t>(i % 97), '.') + "\n";
    log += line;
    if (i % 2) want += line;
  }
  const std::string path = support::fixture("large-output.log", log);
  const std::string fifo = support::temp_dir() + "/out-fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Opened for reading first, without waiting for a writer: the program's start opens it
  // for writing and would wait for this side.
  const int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const pid_t pid =
      support::start(support::linesift_path(), {"keep", path}, {{}, "/dev/null", fifo, ""});
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  std::string got;
  char buffer[4096];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
    got.append(buffer, static_cast<std::size_t>(n));
  close(fd);
  const auto r = support::finish(pid, 30000);
  unlink(fifo.c_str());
  EXPECT_EQ(got.size(), want.size());
  EXPECT_TRUE(got == want);
  EXPECT_EQ(r.status, 0);
}

TEST(LinesiftStreams, FailedWriteIsAnErrorNotSuccess) {
  const std::string path = support::fixture("full.log", "x\n");
  for (const char* num : {"", "1", "0"}) {
    std::vector<std::string> args{num[0] == '0' ? "y" : "x", path};
    if (*num) args.push_back(num);
    const auto r = sift(args, {{}, "/dev/null", "/dev/full", ""});
    EXPECT_EQ(r.status, 4) << num;
    EXPECT_NE(r.err.find("linesift: "), std::string::npos) << num;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
  }
}

// The selection rules applied line by line, as the program must behave: the model
// against which randomly made files are checked, over block and piece boundaries.
std::string model_bytes(std::string file, const std::string& key, std::int32_t counter) {
  if (support::windows_build()) {  // a text stream reads CR LF as LF
    for (std::size_t at = 0; (at = file.find("\r\n", at)) != std::string::npos;) file.erase(at, 1);
  }
  const bool inverted = counter == 0;
  std::string out;
  for (std::size_t pos = 0; pos < file.size();) {
    std::size_t end = std::min(pos + 4095, file.size());
    const std::size_t lf = file.find('\n', pos);
    if (lf != std::string::npos && lf < end) end = lf + 1;
    const std::string piece = file.substr(pos, end - pos);
    const std::string line_text = piece.substr(0, piece.find('\0'));
    const bool holds = line_text.find(key) != std::string::npos;
    pos = end;
    if (inverted) {
      if (!holds) out += line_text;
    } else if (holds && counter > 0) {
      if (--counter == 0) return out + line_text;
      if (counter == 2147483646) out += line_text, counter = 2147483647;
    }
  }
  return out;
}

std::string model_utf16(const std::u16string& units, const std::u16string& key,
                        std::int32_t counter) {
  const bool inverted = counter == 0;
  std::u16string out;
  for (std::size_t pos = 0; pos < units.size();) {
    std::size_t end = std::min(pos + 2047, units.size());
    const std::size_t lf = units.find(u'\n', pos);
    if (lf != std::u16string::npos && lf < end) end = lf + 1;
    std::u16string piece = units.substr(pos, end - pos);
    pos = end;
    if (piece[0] == 0xFEFF) piece.erase(0, 1);
    const std::u16string line_text = piece.substr(0, piece.find(u'\0'));
    const bool holds =
        key.empty() ? !line_text.empty() : line_text.find(key) != std::u16string::npos;
    if (inverted) {
      if (!holds) out += line_text;
    } else if (holds && counter > 0) {
      if (--counter == 0) return utf16(out + line_text);
      if (counter == 2147483646) out += line_text, counter = 2147483647;
    }
  }
  return utf16(out);
}

TEST(LinesiftModel, RandomFilesOverBlockAndPieceBoundaries) {
  std::mt19937 rng(12345);
  const char alphabet[] = {'a', 'b', 'k', '\n', '\r', '\0'};
  for (int round = 0; round < 6; ++round) {
    // Mostly short lines, now and then one of thousands of bytes, across several blocks.
    std::string file;
    while (file.size() < 700000) {
      const std::size_t len = rng() % 50 == 0 ? rng() % 9000 : rng() % 40;
      for (std::size_t i = 0; i < len; ++i) file += alphabet[rng() % (round % 2 ? 5 : 6)];
      file += '\n';
    }
    const std::string path = support::fixture("model.log", file);
    for (const char* key : {"ab", "k", "kab\n", ""}) {
      for (std::int32_t num : {2147483647, 0, 3, 5000}) {
        const auto r = sift({key, path, std::to_string(num)});
        ASSERT_EQ(r.out, support::as_written(model_bytes(file, key, num)))
            << round << " " << key << " " << num << " status " << r.status << " " << r.err;
      }
    }
  }
  for (int round = 0; round < 4; ++round) {
    const char16_t alphabet16[] = {u'a', u'k', u'\n', u'\u4E0A', u'\uFEFF', u'\0', u'\u0A6B'};
    std::u16string units;
    while (units.size() < 300000) {
      const std::size_t len = rng() % 40 == 0 ? rng() % 5000 : rng() % 30;
      for (std::size_t i = 0; i < len; ++i) units += alphabet16[rng() % 7];
      units += u'\n';
    }
    const std::string path = support::fixture("model16.log", bom + utf16(units));
    for (const char* key : {"k", "ka", ""}) {
      const std::u16string key16(key, key + std::string_view(key).size());
      for (std::int32_t num : {2147483647, 0, 7}) {
        const auto r = sift({key, path, std::to_string(num)});
        ASSERT_EQ(r.out, bom + model_utf16(units, key16, num))
            << round << " " << key << " " << num << " status " << r.status << " " << r.err;
      }
    }
  }
}

}  // namespace
