// Services the two programs need from the system: file input, standard output and error,
// code pages, starting a command and pausing. One backend per system implements them.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// An input file read front to back. Opened as a text stream: on systems whose text streams
// translate (Windows), CR LF arrives as LF and 0x1A ends a disk file's data; elsewhere the
// bytes arrive as stored. Other processes keep read, write and delete access to the file.
struct InputFile;

// nullptr when the path cannot be opened or is not a file that can be read (a directory).
InputFile* open_input(const char* path);
// Reads at most data.size() bytes into data. Returns the count, 0 at the end of the data,
// -1 on a read error (error_text() names it). Blocks only until some bytes are there.
std::ptrdiff_t read_input(InputFile* file, std::span<char> data);
// From now on the file's bytes arrive exactly as stored.
void set_input_binary(InputFile* file);
void close_input(InputFile* file);

// Reading a file to its end in blocks handed out in place. A block is the bytes the caller
// keeps of the block before it (the start of a line that block cut) followed by up to
// input_block_bytes fresh bytes of the file.
constexpr std::size_t input_block_bytes = 256 * 1024;
constexpr std::size_t input_keep_bytes = 4096;

struct InputBlock {
  char* data;  // the kept bytes, then the fresh ones; one byte more may be written after them
  std::size_t size;
  std::ptrdiff_t fresh;  // bytes read: 0 at the end of the data, -1 on a read error
  // No occurrence of read_ahead's key begins in data[clear_begin, clear_end): the thread
  // that read the fresh bytes searched them. Empty when nothing was searched.
  std::size_t clear_begin = 0;
  std::size_t clear_end = 0;
};

// The next block, keep (at most input_keep_bytes, possibly inside the previous block) in
// front. A block stays valid until the next call or close_input. It starts at an even
// address unless read_ahead was called. On a read error the block holds just keep.
InputBlock next_block(InputFile* file, std::span<const char> keep);
// The rest of the file will be read with next_block alone. A backend may then read blocks
// ahead of the caller, on another processor and into a fixed number of buffers, and search
// their fresh bytes for key (unless empty) there; what the caller gets is the same as
// without, but for the clear range.
void read_ahead(InputFile* file, std::span<const char> key);

// Writes all of data to standard output; false when that failed (error_text() names it).
// Standard output starts as a text stream: on Windows each LF goes out as CR LF.
bool write_output(std::string_view data);
// From now on bytes written to standard output arrive unchanged.
void set_output_binary();
// Writes one message line to standard error; failures there are ignored.
void write_error(std::string_view line);
// The system's description of the last failed call of this layer.
std::string error_text();

// Fixes the character set of arguments and keywords; called once, first thing.
void init_code_page();
// The keyword converted to UTF-16 (no terminating zero), through the code page that
// linesift uses for UTF-16 files. Characters that do not convert become U+FFFD.
std::vector<char16_t> keyword_to_utf16(const char* keyword);

// Which bytes begin a double-byte character in the current code page. All false for
// single-byte code pages and UTF-8, where every search is a plain byte search.
struct LeadBytes {
  bool lead[256];
};
LeadBytes current_lead_bytes();
// Lead-byte ranges of the double-byte code pages 932, 936, 949, 950 and 1361; all false
// for any other number.
LeadBytes lead_bytes_of_code_page(unsigned code_page);

// Character-aware searches in text that starts at a character boundary: a match never
// begins at the second byte of a double-byte character.
// The last position where c begins a character, or npos.
std::size_t mbs_rfind(std::string_view text, char c, const LeadBytes& lead);
// The first character boundary where key's bytes begin, or npos. An
// empty key is found at 0 when text is not empty.
std::size_t mbs_find(std::string_view text, std::string_view key, const LeadBytes& lead);

// The path of the settings file named name in the directory of the program invoked as
// argv0 (the running executable's directory when argv0 names no directory).
std::string file_beside_program(const char* argv0, std::string_view name);

// Starts command_line as a program of its own that runs on by itself: not waited for,
// not attached to this program's input or output. False when it could not be started.
bool start_command(const char* command_line);

void pause_milliseconds(unsigned milliseconds);

}  // namespace platform
