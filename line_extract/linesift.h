// linesift: writes the lines of a file that contain a keyword, only the N-th of them, or
// (N = 0) the lines without it. Byte text is matched byte for byte; a file that starts
// with FF FE is read as UTF-16LE and answered in UTF-16LE behind FF FE.
#pragma once

#include <cstdint>
#include <string_view>

namespace linesift {

enum ExitStatus : int {
  exit_ok = 0,           // finished; in counting mode the N-th match was written
  exit_too_few = 1,      // counting mode ended without an N-th match (or N was negative)
  exit_usage = 2,        // wrong number of arguments
  exit_cannot_open = 3,  // the file cannot be opened
  exit_io_error = 4,     // reading the file or writing standard output failed
};

// The selection counter's value when no num is given: every match is written.
constexpr std::int32_t unbounded = 2147483647;

// num as text to the counter: leading white space, one sign, digits up to the first other
// character, wrapping in 32 bits. "abc" gives 0, "3x" 3, "4294967297" 1.
std::int32_t parse_num(std::string_view text);

struct Selection {
  std::int32_t counter;
  bool inverted;  // num was 0: write the lines without the keyword
};

Selection make_selection(std::int32_t counter);

enum class Step { skip, write, write_and_stop };

// The decision for one line. A negative counter is never decremented, so it cannot wrap.
Step select_line(Selection& selection, bool contains);

ExitStatus status_of(const Selection& selection);

int run(int argc, char** argv);

}  // namespace linesift
