#include "search_launch/hitjump.h"

#include <cstring>
#include <span>
#include <string>

#include "platform/search.h"

namespace hitjump {

namespace {

constexpr unsigned pause_ms = 500;
constexpr char settings_name[] = "hitjump.ini";

// Counts pieces from a piece start forward. at only ever moves forward, so the file is
// walked once whatever the number of hits.
struct Walk {
  const char* at;
  std::int64_t pieces;  // pieces before at
};

// Moves the walk to the start of the piece that holds pos, counting the pieces passed.
void walk_to(Walk& walk, const char* pos) {
  walk.at = platform::search::count_pieces(walk.at, pos, piece_bytes, walk.pieces);
}

// Searches [walk.at, limit), whole pieces. On a match the walk stands at its piece's start
// and true is returned; otherwise the walk stands at limit.
bool search_block(Walk& walk, const char* limit, std::string_view keyword,
                  const platform::LeadBytes& lead) {
  const std::span<const char> key(keyword.data(), keyword.size());
  const char* pos = walk.at;
  while (pos < limit) {
    const char* hit = platform::search::find_bytes(pos, limit, key);
    if (!hit) break;
    walk_to(walk, hit);
    const char* begin = walk.at;
    const char* cap = begin + std::min(piece_bytes, static_cast<std::size_t>(limit - begin));
    const char* lf = platform::search::find_unit(hit, cap, '\n');
    const char* end = lf ? lf + 1 : cap;
    const char* zero = platform::search::find_unit(begin, end, '\0');
    const std::string_view text(begin, static_cast<std::size_t>((zero ? zero : end) - begin));
    // The character-aware search decides, over the piece's text alone.
    const std::size_t found = platform::mbs_find(text, keyword, lead);
    if (found != std::string_view::npos) {
      walk.at = begin;
      return true;
    }
    pos = end;
  }
  walk_to(walk, limit);
  return false;
}

// Reads the first line of the settings file: up to and including its first line feed, at
// most piece_bytes bytes. Returns its text (up to a zero byte), or nullopt when the file
// holds not a byte.
std::optional<std::string_view> read_first_line(platform::InputFile* file,
                                                char (&line)[piece_bytes + 1]) {
  std::size_t held = 0;
  while (held < piece_bytes && std::memchr(line, '\n', held) == nullptr) {
    const std::ptrdiff_t got = platform::read_input(file, {line + held, piece_bytes - held});
    if (got <= 0) break;
    held += static_cast<std::size_t>(got);
  }
  if (held == 0) return std::nullopt;
  const char* lf = static_cast<const char*>(std::memchr(line, '\n', held));
  if (lf) held = static_cast<std::size_t>(lf + 1 - line);
  line[held] = '\0';
  return std::string_view(line, std::strlen(line));
}

int finish(std::string_view message, int status) {
  platform::write_output(message);
  platform::pause_milliseconds(pause_ms);
  return status;
}

}  // namespace

std::int64_t find_line(platform::InputFile* file, std::string_view keyword,
                       const platform::LeadBytes& lead) {
  // Blocks begin at a piece start: the incomplete piece at a block's end is kept in front of
  // the next one.
  platform::read_ahead(file, {});  // every byte is counted here anyway
  std::int64_t before = 0;         // pieces in earlier blocks
  std::span<const char> keep;
  for (;;) {
    const platform::InputBlock input = platform::next_block(file, keep);
    // A read error ends the search like the end of the file.
    const bool at_end = input.fresh <= 0;
    const char* begin = input.data;
    const char* end = begin + input.size;
    const char* limit =
        at_end ? end : platform::search::complete_pieces_end(begin, end, piece_bytes);
    Walk walk{begin, 0};
    if (search_block(walk, limit, keyword, lead)) return before + walk.pieces + 1;
    if (at_end) return 0;
    before += walk.pieces;
    keep = {limit, static_cast<std::size_t>(end - limit)};
  }
}

std::optional<std::string_view> expand(std::string_view pattern, std::string_view path,
                                       std::int64_t line, char (&command)[command_limit + 1]) {
  const std::string number = std::to_string(line);
  std::size_t size = 0;
  auto append = [&](std::string_view part) {
    if (part.size() > command_limit - size) return false;
    std::memcpy(command + size, part.data(), part.size());
    size += part.size();
    return true;
  };
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    std::string_view part = pattern.substr(i, 1);
    if (pattern[i] == '%' && i + 1 < pattern.size()) {
      const char conversion = pattern[i + 1];
      if (conversion == 's') part = path;
      if (conversion == 'd') part = number;
      if (conversion == '%') part = "%";
      if (conversion == 's' || conversion == 'd' || conversion == '%') ++i;
    }
    if (!append(part)) return std::nullopt;
  }
  command[size] = '\0';
  return std::string_view(command, size);
}

int run(int argc, char** argv) {
  platform::init_code_page();
  const platform::LeadBytes lead = platform::current_lead_bytes();
  constexpr std::string_view usage = "[usage] hitjump path#keyword\n";
  if (argc != 2) return finish(usage, exit_usage);
  const std::size_t hash = platform::mbs_rfind(argv[1], '#', lead);
  if (hash == std::string_view::npos) return finish(usage, exit_usage);
  argv[1][hash] = '\0';
  const char* path = argv[1];
  const std::string_view keyword = argv[1] + hash + 1;

  platform::InputFile* file = platform::open_input(path);
  if (!file) return finish(std::string("not found ") + path + "\n", exit_cannot_open);
  std::int64_t line = find_line(file, keyword, lead);
  platform::close_input(file);
  if (line == 0) line = 1;

  const std::string settings_path = platform::file_beside_program(argv[0], settings_name);
  platform::InputFile* settings = platform::open_input(settings_path.c_str());
  if (!settings) return finish("not found hitjump.ini\n", exit_no_settings);
  char first_line[piece_bytes + 1];
  const std::optional<std::string_view> pattern = read_first_line(settings, first_line);
  platform::close_input(settings);
  if (!pattern) return finish("no command in hitjump.ini\n", exit_no_settings);

  char command[command_limit + 1];
  const std::optional<std::string_view> expanded = expand(*pattern, path, line, command);
  if (!expanded) return finish("command too long\n", exit_cannot_start);

  // Started first, echoed second, as the command stands.
  const bool started = platform::start_command(command);
  platform::write_output(*expanded);
  if (!started) return finish("cannot start the command\n", exit_cannot_start);
  return finish("", exit_started);
}

}  // namespace hitjump
