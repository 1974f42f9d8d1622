// hitjump PATH#KEYWORD: finds the first line of PATH that holds KEYWORD (line 1 when none
// does) and starts the editor command from hitjump.ini beside the program with the path
// and the line number filled in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/platform.h"

namespace hitjump {

enum ExitStatus : int {
  exit_started = 0,       // the command was started
  exit_usage = 2,         // not exactly one argument, or no '#' in it
  exit_cannot_open = 3,   // the file at path cannot be opened
  exit_no_settings = 4,   // hitjump.ini cannot be opened or holds no line
  exit_cannot_start = 5,  // the command is too long or could not be started
};

// Lines are read in pieces of at most this many bytes; each piece counts as a line.
constexpr std::size_t piece_bytes = 1023;
// The expanded command holds at most this many bytes.
constexpr std::size_t command_limit = 1023;

// The number of the first line (piece) whose text holds the keyword at a character
// boundary, or 0 when none does or the file cannot be read on.
std::int64_t find_line(platform::InputFile* file, std::string_view keyword,
                       const platform::LeadBytes& lead);

// Fills the template into command: "%s" the path, "%d" the line number, "%%" a '%'; any
// other '%' stays as it is. Returns the command, zero-terminated in command, or nullopt when
// it would exceed command_limit bytes.
std::optional<std::string_view> expand(std::string_view pattern, std::string_view path,
                                       std::int64_t line, char (&command)[command_limit + 1]);

int run(int argc, char** argv);

}  // namespace hitjump
