#include "line_extract/linesift.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/search.h"

namespace linesift {

namespace search = platform::search;

static_assert(std::endian::native == std::endian::little, "UTF-16LE units are read in place");

namespace {

// A line is cut into pieces of at most 4095 bytes (byte text) or 2047 units (UTF-16LE), and
// each piece is tested and written as a line of its own. Input comes in blocks that begin
// at a piece start and are searched as a whole; piece bounds are worked out only around a
// match and where lines are written.
constexpr std::size_t byte_piece_units = 4095;
constexpr std::size_t wide_piece_units = 2047;
// Output is gathered up to the size of an input block.
constexpr std::size_t output_bytes = platform::input_block_bytes;

constexpr char16_t byte_order_mark = 0xFEFF;

struct Output {
  char data[output_bytes];
  std::size_t used = 0;
  bool failed = false;
};

Output output;

bool flush_output() {
  if (output.used > 0 && !output.failed)
    output.failed = !platform::write_output({output.data, output.used});
  output.used = 0;
  return !output.failed;
}

void put_bytes(const char* data, std::size_t size) {
  if (output.failed) return;
  if (size > sizeof output.data - output.used && !flush_output()) return;
  if (size > sizeof output.data) {
    output.failed = !platform::write_output({data, size});
    return;
  }
  std::memcpy(output.data + output.used, data, size);
  output.used += size;
}

template <class Unit>
void put_units(const Unit* begin, const Unit* end) {
  put_bytes(reinterpret_cast<const char*>(begin),
            static_cast<std::size_t>(end - begin) * sizeof(Unit));
}

// One piece of a line: [begin, end) as read, [text_begin, text_end) what is searched and
// written (without a leading U+FEFF on the UTF-16 path, and up to the first zero unit).
template <class Unit>
struct Piece {
  const Unit* begin;
  const Unit* end;
  const Unit* text_begin;
  const Unit* text_end;
};

// A block being scanned. Positions only move forward: base is a piece start with no line
// feed in [base, scanned), so the piece of any later position follows from the line feeds
// after scanned alone.
template <class Unit>
struct Block {
  const Unit* limit;  // end of the complete pieces
  std::size_t piece_units;
  const Unit* base;
  const Unit* scanned;
  const Unit* clear_begin;  // no keyword begins in [clear_begin, clear_end)
  const Unit* clear_end;
};

template <class Unit>
Piece<Unit> piece_at(Block<Unit>& block, const Unit* at) {
  if (at > block.scanned) {
    if (const Unit* lf = search::rfind_unit(block.scanned, at, Unit{'\n'})) block.base = lf + 1;
    block.scanned = at;
  }
  const std::size_t offset = static_cast<std::size_t>(at - block.base);
  const Unit* begin = block.base + offset / block.piece_units * block.piece_units;
  const Unit* cap =
      begin + std::min(block.piece_units, static_cast<std::size_t>(block.limit - begin));
  const Unit* lf = search::find_unit(at, cap, Unit{'\n'});
  const Unit* end = lf ? lf + 1 : cap;

  const Unit* text_begin = begin;
  if constexpr (sizeof(Unit) == 2) {
    if (begin < end && *begin == byte_order_mark) ++text_begin;
  }
  const Unit* zero = search::find_unit(text_begin, end, Unit{0});
  return {begin, end, text_begin, zero ? zero : end};
}

// Whether the keyword found at hit lies in the piece's text. An empty keyword is in every
// line of byte text, and in every UTF-16 line whose text is not empty.
template <class Unit>
bool piece_holds(const Piece<Unit>& piece, const Unit* hit, std::size_t key_units) {
  if (key_units == 0) return sizeof(Unit) == 1 || piece.text_end > piece.text_begin;
  return hit >= piece.text_begin && hit <= piece.text_end &&
         static_cast<std::size_t>(piece.text_end - hit) >= key_units;
}

// Writes the text of every piece in [from, to), both piece starts.
template <class Unit>
void put_pieces(const Block<Unit>& block, const Unit* from, const Unit* to) {
  while (from < to) {
    if constexpr (sizeof(Unit) == 1) {
      // Byte text without a zero byte is written as it stands, many lines in one go.
      const Unit* zero = search::find_unit(from, to, Unit{0});
      if (!zero) return put_units(from, to);
    }
    Block<Unit> local{block.limit, block.piece_units, from, from, from, from};
    const Piece<Unit> piece = piece_at(local, from);
    put_units(piece.text_begin, piece.text_end);
    from = piece.end;
  }
}

enum class Scan { more, stop };

// Runs the selection over the complete pieces of one block.
template <class Unit>
Scan scan_block(Block<Unit>& block, std::span<const Unit> key, Selection& selection) {
  const Unit* pos = block.base;
  const Unit* unwritten = block.base;  // inverted selection: first piece not yet written
  while (pos < block.limit) {
    const Unit* hit =
        search::find_key_around(pos, block.limit, key, block.clear_begin, block.clear_end);
    if (!hit) break;
    const Piece<Unit> piece = piece_at(block, hit);
    if (hit < piece.text_begin) {  // the keyword began with the dropped U+FEFF
      pos = piece.text_begin;
      continue;
    }
    // A later hit in the same piece would run past the text's end just the same.
    pos = piece.end;
    if (!piece_holds(piece, hit, key.size())) continue;
    if (selection.inverted) {
      put_pieces(block, unwritten, piece.begin);
      unwritten = piece.end;
      continue;
    }
    const Step step = select_line(selection, true);
    if (step != Step::skip) put_units(piece.text_begin, piece.text_end);
    if (step == Step::write_and_stop || output.failed) return Scan::stop;
  }
  if (selection.inverted) put_pieces(block, unwritten, block.limit);
  return output.failed ? Scan::stop : Scan::more;
}

enum class Outcome { finished, read_failed, write_failed };

// Reads the file block by block from where it stands, first (bytes already read) in front.
// The incomplete piece at a block's end is kept in front of the next block; output is
// flushed before every read, so a slow writer's lines come out as they arrive.
template <class Unit>
Outcome sift(platform::InputFile* file, std::span<const char> first, std::span<const Unit> key,
             std::size_t piece_units, Selection& selection) {
  std::span<const char> keep = first;
  for (;;) {
    if (!flush_output()) return Outcome::write_failed;
    const platform::InputBlock input = platform::next_block(file, keep);
    if (input.fresh < 0) return Outcome::read_failed;
    std::size_t held = input.size;
    const bool at_end = input.fresh == 0;
    if (at_end && held % sizeof(Unit) != 0) input.data[held++] = 0;  // odd last byte: high byte 0

    // UTF-16 blocks start at an even address: the file is not read ahead on that path.
    const Unit* units = reinterpret_cast<const Unit*>(input.data);
    const Unit* end = units + held / sizeof(Unit);
    // The clear range is in bytes; it is empty on the UTF-16 path, which is not read ahead.
    Block<Unit> block{end,
                      piece_units,
                      units,
                      units,
                      units + input.clear_begin / sizeof(Unit),
                      units + input.clear_end / sizeof(Unit)};
    if (!at_end) block.limit = search::complete_pieces_end<Unit>(units, end, piece_units);
    if (scan_block(block, key, selection) == Scan::stop || at_end) break;

    const std::size_t used = static_cast<std::size_t>(block.limit - units) * sizeof(Unit);
    keep = {input.data + used, held - used};
  }
  return flush_output() ? Outcome::finished : Outcome::write_failed;
}

// Reads the first two bytes, looping so that a pipe that delivers them one by one is
// read the same as a file. Returns the count, or -1 on a read error.
std::ptrdiff_t read_mark(platform::InputFile* file, char* bytes) {
  std::size_t held = 0;
  while (held < 2) {
    const std::ptrdiff_t got = platform::read_input(file, {bytes + held, 2 - held});
    if (got <= 0) return got < 0 ? -1 : static_cast<std::ptrdiff_t>(held);
    held += static_cast<std::size_t>(got);
  }
  return 2;
}

Outcome sift_utf16(platform::InputFile* file, const char* keyword, Selection& selection) {
  platform::set_input_binary(file);
  put_bytes("\xFF\xFE", 2);
  const std::vector<char16_t> key = platform::keyword_to_utf16(keyword);
  platform::set_output_binary();
  if (selection.counter < 0) return flush_output() ? Outcome::finished : Outcome::write_failed;
  return sift<char16_t>(file, {}, key, wide_piece_units, selection);
}

Outcome sift_file(platform::InputFile* file, const char* keyword, Selection& selection) {
  char mark[2];
  const std::ptrdiff_t got = read_mark(file, mark);
  if (got < 0) return Outcome::read_failed;
  if (got == 2 && mark[0] == '\xFF' && mark[1] == '\xFE')
    return sift_utf16(file, keyword, selection);
  // A negative counter never reaches a match that is written.
  if (selection.counter < 0) return Outcome::finished;
  const std::span<const char> key(keyword, std::strlen(keyword));
  platform::read_ahead(file, key);
  return sift<char>(file, {mark, static_cast<std::size_t>(got)}, key, byte_piece_units, selection);
}

void write_usage() {
  platform::write_output(
      "[usage] linesift (keyword) (path)\n"
      "[usage] linesift (keyword) (path) (num)\n");
}

// "<path> が見つかりません" in code page 932, whatever the system's code page: callers parse
// these bytes.
void write_not_found(const char* path) {
  std::string message = path;
  message += " \x82\xAA\x8C\xA9\x82\xC2\x82\xA9\x82\xE8\x82\xDC\x82\xB9\x82\xF1\n";
  platform::write_output(message);
}

}  // namespace

std::int32_t parse_num(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::uint32_t value = 0;  // unsigned, so that wrapping is defined
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
    value = value * 10u + static_cast<std::uint32_t>(text[i] - '0');
  if (negative) value = 0u - value;
  return static_cast<std::int32_t>(value);
}

Selection make_selection(std::int32_t counter) {
  return {counter, counter == 0};
}

Step select_line(Selection& selection, bool contains) {
  if (selection.inverted) return contains ? Step::skip : Step::write;
  if (!contains || selection.counter < 0) return Step::skip;
  --selection.counter;
  if (selection.counter == 0) return Step::write_and_stop;
  if (selection.counter == unbounded - 1) {
    selection.counter = unbounded;
    return Step::write;
  }
  return Step::skip;
}

ExitStatus status_of(const Selection& selection) {
  return selection.counter == 0 || selection.counter == unbounded ? exit_ok : exit_too_few;
}

int run(int argc, char** argv) {
  platform::init_code_page();
  if (argc != 3 && argc != 4) {
    write_usage();
    return exit_usage;
  }
  Selection selection = make_selection(argc == 4 ? parse_num(argv[3]) : unbounded);
  platform::InputFile* file = platform::open_input(argv[2]);
  if (!file) {
    write_not_found(argv[2]);
    return exit_cannot_open;
  }
  const Outcome outcome = sift_file(file, argv[1], selection);
  const std::string error = platform::error_text();
  platform::close_input(file);

  // Standard output may be the broken stream or hold UTF-16: errors go to standard error.
  if (outcome == Outcome::read_failed) {
    platform::write_error(std::string("linesift: cannot read ") + argv[2] + ": " + error + "\n");
    return exit_io_error;
  }
  if (outcome == Outcome::write_failed) {
    platform::write_error("linesift: cannot write to standard output: " + error + "\n");
    return exit_io_error;
  }
  return status_of(selection);
}

}  // namespace linesift
