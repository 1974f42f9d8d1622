// hitjump run from outside: each case runs a copy of the program in a folder of its own
// with its own hitjump.ini, and a recorder script as the command shows what was started.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support.h"

namespace {

namespace fs = std::filesystem;
using support::text;

const std::string usage = "[usage] hitjump path#keyword\n";

// A folder with a copy of hitjump, an optional hitjump.ini and a recorder that writes its
// arguments, each in brackets, to record.out in the same folder.
struct Install {
  std::string dir;
  std::string program;
  std::string recorder;
  std::string record() const { return support::wait_for_file(dir + "/record.out"); }
};

Install install(const std::string& name, const std::string* settings) {
  Install in;
  in.dir = support::temp_dir() + "/" + name;
  fs::create_directories(in.dir);
  const fs::path built = support::hitjump_path();
  in.program = in.dir + "/" + built.filename().string();
  fs::copy_file(built, in.program, fs::copy_options::overwrite_existing);
  if (settings) support::fixture(name + "/hitjump.ini", *settings);
  if (support::windows_build()) {
    // recorder.exe is built beside the Windows programs.
    in.recorder = in.dir + "/rec.exe";
    fs::copy_file(built.parent_path() / "recorder.exe", in.recorder,
                  fs::copy_options::overwrite_existing);
    return in;
  }
  in.recorder = in.dir + "/rec";
  support::fixture(name + "/rec",
                   "#!/bin/sh\n"
                   "d=$(dirname \"$0\")\n"
                   "for a in \"$@\"; do printf '[%s]' \"$a\"; done > \"$d/record.tmp\"\n"
                   "mv \"$d/record.tmp\" \"$d/record.out\"\n");
  fs::permissions(in.recorder, fs::perms::owner_all);
  return in;
}

Install install_with(const std::string& name, const std::string& settings) {
  return install(name, &settings);
}

support::Result jump(const Install& in, const std::vector<std::string>& args,
                     const support::Options& options = {}) {
  return support::run(in.program, args, options);
}

const std::string log_text = "alpha\nbeta key\ngamma key\n";

TEST(HitjumpCommandLine, UsageAfterThePause) {
  const Install in = install("usage", nullptr);
  const std::vector<std::vector<std::string>> wrong = {{}, {"a#b", "c"}, {"no-hash"}};
  for (const auto& args : wrong) {
    const auto started = std::chrono::steady_clock::now();
    const auto r = jump(in, args);
    const auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(r.out, text(usage));
    EXPECT_EQ(r.status, 2);
    EXPECT_GE(elapsed, std::chrono::milliseconds(450));
  }
}

TEST(HitjumpCommandLine, MissingFileAndMissingOrEmptySettings) {
  const std::string log = support::fixture("hj.log", log_text);
  const Install none = install("no-settings", nullptr);
  auto r = jump(none, {log + "#key"});
  EXPECT_EQ(r.out, text("not found hitjump.ini\n"));
  EXPECT_EQ(r.status, 4);

  const std::string missing = support::temp_dir() + "/missing.log";
  r = jump(none, {missing + "#key"});
  EXPECT_EQ(r.out, text("not found " + missing + "\n"));
  EXPECT_EQ(r.status, 3);

  const Install empty = install_with("empty-settings", "");
  r = jump(empty, {log + "#key"});
  EXPECT_EQ(r.out, text("no command in hitjump.ini\n"));
  EXPECT_EQ(r.status, 4);
  EXPECT_FALSE(fs::exists(empty.dir + "/record.out"));
}

struct LineCase {
  const char* name;
  std::string file;
  std::string keyword;
  int line;
};

TEST(HitjumpSearch, LineOfTheFirstMatch) {
  const std::string a1023(1023, 'a');
  const std::vector<LineCase> cases = {
      {"second", log_text, "key", 2},
      {"absent", log_text, "nothing", 1},
      {"empty-keyword", log_text, "", 1},
      {"last-line-unterminated", "a\nb\nlast", "last", 3},
      {"case-distinguished", "KEY\nkey\n", "key", 2},
      // A line of 1023 + 4 bytes is two lines: the keyword sits in the second piece.
      {"pieces", "s\n" + a1023 + "key\nkey\n", "key", 3},
      // A keyword cut by a piece boundary is not found there.
      {"spanning", "s\n" + std::string(1021, 'a') + "key\n", "key", 1},
      {"after-zero-byte", std::string("a\0key\nkey\n", 10), "key", 2},
  };
  const Install in = install("search", nullptr);
  support::fixture("search/hitjump.ini", in.recorder + " %d");
  for (const LineCase& c : cases) {
    fs::remove(in.dir + "/record.out");
    const std::string path = support::fixture(std::string("line-") + c.name, c.file);
    const auto r = jump(in, {path + "#" + c.keyword});
    EXPECT_EQ(r.status, 0) << c.name;
    const std::string line = std::to_string(c.line);
    EXPECT_EQ(in.record(), "[" + line + "]") << c.name;
  }
}

// A locale whose codeset is code page 932, made for this test run.
std::vector<std::string> cp932_locale() {
  const std::string dir = support::temp_dir() + "/locales";
  if (!fs::exists(dir + "/ja_JP.WINDOWS-31J")) {
    fs::create_directories(dir);
    const std::string make = "localedef -i ja_JP -f WINDOWS-31J " + dir + "/ja_JP.WINDOWS-31J";
    EXPECT_EQ(std::system(make.c_str()), 0) << make;
  }
  return {"LOCPATH=" + dir, "LC_ALL=ja_JP.WINDOWS-31J"};
}

TEST(HitjumpSearch, NoMatchAtATrailByteUnderCodePage932) {
  // 0x83 0x41 is one character whose second byte is 'A'; the first 'A' of its own is line 3.
  const std::string path = support::fixture("cp932.log", "\x83\x41\nB\nxA\n");
  const Install in = install("cp932", nullptr);
  support::fixture("cp932/hitjump.ini", in.recorder + " %d");
  support::Options options;
  if (!support::windows_build()) options.env = cp932_locale();
  EXPECT_EQ(jump(in, {path + "#A"}, options).status, 0);
  EXPECT_EQ(in.record(), "[3]");
}

TEST(HitjumpSearch, SplitsAtTheLastHash) {
  fs::create_directories(support::temp_dir() + "/a#b");
  const std::string path = support::fixture("a#b/x#y.txt", "one\ntwo key\n");
  const Install in = install_with("split", "");
  support::fixture("split/hitjump.ini", in.recorder + " %s %d");
  const auto r = jump(in, {path + "#key"});
  EXPECT_EQ(r.out, in.recorder + " " + path + " 2");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(in.record(), "[" + path + "][2]");
}

struct TemplateCase {
  const char* name;
  std::string pattern;  // with R for the recorder, P for the path
  std::string echo;     // with R and P as above
  std::string record;
};

// One pass, so that an R or P inside the filled-in paths stays as it is.
std::string fill(const std::string& s, const Install& in, const std::string& path) {
  std::string filled;
  for (char c : s) {
    if (c == 'R')
      filled.append(in.recorder);
    else if (c == 'P')
      filled.append(path);
    else
      filled.push_back(c);
  }
  return filled;
}

TEST(HitjumpLaunch, TemplatesFillPathAndLineInTheirOrder) {
  const std::string path = support::fixture("tpl.log", log_text);
  const std::vector<TemplateCase> cases = {
      {"s-then-d", "R %s %d\n", "R P 2\n", "[P][2]"},
      {"d-then-s", "R -n%d %s\n", "R -n2 P\n", "[-n2][P]"},
      {"only-d", "R +%d\n", "R +2\n", "[+2]"},
      {"only-s", "R %s\n", "R P\n", "[P]"},
      {"neither", "R fixed\n", "R fixed\n", "[fixed]"},
      {"percent", "R 50%%s %d %x%\n", "R 50%s 2 %x%\n", "[50%s][2][%x%]"},
      {"no-line-feed", "R %d", "R 2", "[2]"},
      {"only-first-line", "R %d\nR second\n", "R 2\n", "[2]"},
      {"crlf", "R %s %d\r\n", "R P 2\r\n", "[P][2]"},
      {"quoted", "R \"%s x\" \"a\\\"b\" \\\\\\\"c\n", "R \"P x\" \"a\\\"b\" \\\\\\\"c\n",
       "[P x][a\"b][\\\"c]"},
  };
  for (const TemplateCase& c : cases) {
    const Install in = install(std::string("tpl-") + c.name, nullptr);
    support::fixture(std::string("tpl-") + c.name + "/hitjump.ini", fill(c.pattern, in, path));
    const auto r = jump(in, {path + "#key"});
    EXPECT_EQ(r.out, text(fill(c.echo, in, path))) << c.name;
    EXPECT_EQ(r.status, 0) << c.name;
    std::string record = fill(c.record, in, path);
    // On Windows the command line keeps the template's line feed, in its last argument; on
    // POSIX a line end separates arguments like a blank.
    const std::string first_line = c.pattern.substr(0, c.pattern.find('\n') + 1);
    if (support::windows_build() && first_line.ends_with('\n'))
      record.insert(record.size() - 1, "\n");
    EXPECT_EQ(in.record(), record) << c.name;
  }
}

TEST(HitjumpLaunch, APathWithSpacesStaysOneArgumentWhenQuoted) {
  const std::string path = support::fixture("my log.txt", "x\nkey\n");
  const Install in = install("quoted-path", nullptr);
  support::fixture("quoted-path/hitjump.ini", in.recorder + " \"%s\" %d");
  EXPECT_EQ(jump(in, {path + "#key"}).status, 0);
  EXPECT_EQ(in.record(), "[" + path + "][2]");
}

TEST(HitjumpLaunch, NothingInThePathRunsAsACommand) {
  if (support::windows_build()) GTEST_SKIP() << "these file names and the shell are POSIX";
  const std::string name = "semi;$(touch pwned);`touch pwned2`;'q\"x.log";
  const std::string path = support::fixture(name, "key\n");
  const Install in = install("no-shell", nullptr);
  support::fixture("no-shell/hitjump.ini", in.recorder + " %s %d\n");
  EXPECT_EQ(jump(in, {path + "#key"}, {{}, "/dev/null", "", in.dir}).status, 0);
  EXPECT_NE(in.record(), "");
  EXPECT_FALSE(fs::exists(in.dir + "/pwned"));
  EXPECT_FALSE(fs::exists(in.dir + "/pwned2"));
}

TEST(HitjumpLaunch, ALongRunningCommandHoldsNeitherHitjumpNorItsCaller) {
  if (support::windows_build()) GTEST_SKIP() << "checks the POSIX start; WinExec never waits";
  const std::string path = support::fixture("sleep.log", "key\n");
  const Install in = install_with("sleep", "sleep 5\n");
  // The caller reads hitjump's output through a pipe: it must see the end at once.
  const auto started = std::chrono::steady_clock::now();
  const auto r = support::run("/bin/sh", {"-c", "\"$0\" \"$1\" | cat", in.program, path + "#key"});
  const auto elapsed = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(r.out, text("sleep 5\n"));
  EXPECT_EQ(r.status, 0);
  EXPECT_LT(elapsed, std::chrono::milliseconds(4000));
}

TEST(HitjumpLaunch, FailuresToStartAreReported) {
  const std::string path = support::fixture("fail.log", "key\n");
  const Install missing = install_with("unstartable", "/nonexistent/editor %s\n");
  auto r = jump(missing, {path + "#key"});
  EXPECT_EQ(r.out, text("/nonexistent/editor " + path + "\ncannot start the command\n"));
  EXPECT_EQ(r.status, 5);

  const Install blank = install_with("blank-command", "  \n");
  r = jump(blank, {path + "#key"});
  EXPECT_EQ(r.out, text("  \ncannot start the command\n"));
  EXPECT_EQ(r.status, 5);

  // 1023 bytes, line feed included, is the limit of the expanded command.
  for (const std::size_t size : {1023, 1024, 1030}) {
    const std::string name = "limit-" + std::to_string(size);
    const Install in = install(name, nullptr);
    const std::string prefix = in.recorder + " ";
    support::fixture(name + "/hitjump.ini",
                     prefix + std::string(size - prefix.size() - path.size() - 1, 'x') + "%s\n");
    r = jump(in, {path + "#key"});
    EXPECT_EQ(r.status, size <= 1023 ? 0 : 5) << size;
    const std::string expected = size > 1023 ? text("command too long\n") : text(in.recorder + " ");
    EXPECT_EQ(r.out.substr(0, expected.size()), expected) << size;
  }
}

TEST(HitjumpLaunch, SettingsFileBesideTheProgramFoundThroughPath) {
  const std::string path = support::fixture("via-path.log", "a\nkey\n");
  const Install in = install("via-path", nullptr);
  support::fixture("via-path/hitjump.ini", in.recorder + " %d");
  const std::string name = fs::path(in.program).filename().string();
  // Started by its bare name: argument 0 has no directory.
  const auto r =
      support::windows_build()
          ? support::run(name, {path + "#key"}, {{}, "/dev/null", "", in.dir})
          : support::run("/usr/bin/env", {"PATH=" + in.dir + ":/usr/bin:/bin", name, path + "#key"},
                         {{}, "/dev/null", "", support::temp_dir()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(in.record(), "[2]");
}

}  // namespace
