// Win32 backend. Files are read through the Win32 API with the C run-time's text-stream
// rules applied here; standard output is the run-time's descriptor 1, a text stream until
// it is switched to binary. Arguments and paths are bytes of the ANSI code page.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/block_room.h"
#include "platform/platform.h"

namespace platform {

struct InputFile {
  HANDLE handle;
  bool text;
  bool disk;   // 0x1A ends the data of a disk file read as text
  bool ended;  // a 0x1A was met: the data has ended
  std::size_t raw_pos;
  std::size_t raw_len;
  char raw[64 * 1024];  // bytes as stored, not yet handed out
  BlockRoom* room;      // for next_block, made at its first call
};

namespace {

std::string last_error;

void set_win32_error() {
  char text[512] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 GetLastError(), 0, text, sizeof text, nullptr);
  std::size_t n = std::strlen(text);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ')) --n;
  last_error.assign(text, n);
}

// Reads what is there, up to size bytes. A closed pipe is the end of the data.
std::ptrdiff_t read_raw(InputFile* file, char* data, std::size_t size) {
  DWORD got = 0;
  const DWORD want = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
  if (ReadFile(file->handle, data, want, &got, nullptr)) return got;
  if (GetLastError() == ERROR_BROKEN_PIPE || GetLastError() == ERROR_HANDLE_EOF) return 0;
  set_win32_error();
  return -1;
}

bool refill(InputFile* file, std::size_t keep_from) {
  const std::size_t kept = file->raw_len - keep_from;
  std::memmove(file->raw, file->raw + keep_from, kept);
  file->raw_pos = 0;
  file->raw_len = kept;
  const std::ptrdiff_t got = read_raw(file, file->raw + kept, sizeof file->raw - kept);
  if (got > 0) file->raw_len += static_cast<std::size_t>(got);
  return got >= 0;
}

// The text-stream rules: CR LF arrives as LF (also when a read ends between the two), a
// lone CR stays, and a 0x1A in a disk file ends the data.
std::ptrdiff_t read_text(InputFile* file, std::span<char> data) {
  std::size_t out = 0;
  while (out < data.size() && !file->ended) {
    if (file->raw_pos == file->raw_len) {
      if (out > 0) break;  // hand out what is there rather than wait for more
      if (!refill(file, file->raw_pos)) return -1;
      if (file->raw_len == 0) break;
    }
    const char c = file->raw[file->raw_pos];
    if (c == 0x1A && file->disk) {
      file->ended = true;
      break;
    }
    if (c == '\r' && file->raw_pos + 1 == file->raw_len) {
      if (out > 0) break;  // decide at the next read, with the byte after it
      if (!refill(file, file->raw_pos)) return -1;
      if (file->raw_len == 1) {  // a CR at the very end stays
        data[out++] = '\r';
        file->raw_pos = 1;
      }
      continue;
    }
    if (c == '\r' && file->raw[file->raw_pos + 1] == '\n') {
      ++file->raw_pos;
      continue;
    }
    data[out++] = c;
    ++file->raw_pos;
  }
  return static_cast<std::ptrdiff_t>(out);
}

std::ptrdiff_t read_binary(InputFile* file, std::span<char> data) {
  if (file->raw_pos < file->raw_len) {
    const std::size_t n = std::min(data.size(), file->raw_len - file->raw_pos);
    std::memcpy(data.data(), file->raw + file->raw_pos, n);
    file->raw_pos += n;
    return static_cast<std::ptrdiff_t>(n);
  }
  return read_raw(file, data.data(), data.size());
}

}  // namespace

InputFile* open_input(const char* path) {
  // Other processes keep every access: a log that is still being written can be read.
  const HANDLE handle = CreateFileA(
      path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    set_win32_error();
    return nullptr;
  }
  InputFile* file = new InputFile;
  file->handle = handle;
  file->text = true;
  file->disk = GetFileType(handle) == FILE_TYPE_DISK;
  file->ended = false;
  file->raw_pos = 0;
  file->raw_len = 0;
  file->room = nullptr;
  return file;
}

std::ptrdiff_t read_input(InputFile* file, std::span<char> data) {
  return file->text ? read_text(file, data) : read_binary(file, data);
}

void set_input_binary(InputFile* file) {
  file->text = false;
}

// Blocks go through the text-stream rules, so they are read one at a time as asked for.
InputBlock next_block(InputFile* file, std::span<const char> keep) {
  if (!file->room) file->room = new BlockRoom;
  return read_block(file, *file->room, keep);
}

void read_ahead(InputFile*, std::span<const char>) {}

void close_input(InputFile* file) {
  CloseHandle(file->handle);
  delete file->room;
  delete file;
}

bool write_output(std::string_view data) {
  // _write translates LF to CR LF while descriptor 1 is in text mode.
  while (!data.empty()) {
    const unsigned chunk =
        data.size() > 0x10000000 ? 0x10000000u : static_cast<unsigned>(data.size());
    const int n = _write(1, data.data(), chunk);
    if (n <= 0) {
      last_error = std::strerror(errno);
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

void set_output_binary() {
  _setmode(_fileno(stdout), _O_BINARY);
}

void write_error(std::string_view line) {
  _write(2, line.data(), static_cast<unsigned>(line.size()));
}

std::string error_text() {
  return last_error;
}

// Arguments arrive as ANSI code page bytes; the searches read the code page when asked.
void init_code_page() {}

std::vector<char16_t> keyword_to_utf16(const char* keyword) {
  const int units = MultiByteToWideChar(CP_OEMCP, MB_PRECOMPOSED, keyword, -1, nullptr, 0);
  std::vector<wchar_t> wide(units > 0 ? static_cast<std::size_t>(units) : 1, L'\0');
  MultiByteToWideChar(CP_OEMCP, MB_PRECOMPOSED, keyword, -1, wide.data(), units);
  std::vector<char16_t> key;
  for (wchar_t w : wide) {
    if (w == L'\0') break;
    key.push_back(static_cast<char16_t>(w));
  }
  return key;
}

LeadBytes current_lead_bytes() {
  const UINT code_page = GetACP();
  LeadBytes lead = lead_bytes_of_code_page(code_page);
  CPINFO info;
  if (code_page == 932 || code_page == 936 || code_page == 949 || code_page == 950 ||
      code_page == 1361 || !GetCPInfo(code_page, &info) || info.MaxCharSize < 2)
    return lead;
  for (int i = 0; i + 1 < MAX_LEADBYTES && info.LeadByte[i] != 0; i += 2)
    for (unsigned b = info.LeadByte[i]; b <= info.LeadByte[i + 1]; ++b) lead.lead[b] = true;
  return lead;
}

std::string file_beside_program(const char* argv0, std::string_view name) {
  const LeadBytes lead = current_lead_bytes();
  std::string dir = argv0;
  const std::size_t back = mbs_rfind(dir, '\\', lead);
  const std::size_t slash = mbs_rfind(dir, '/', lead);
  std::size_t cut = std::string::npos;
  if (back != std::string::npos) cut = back;
  if (slash != std::string::npos && (cut == std::string::npos || slash > cut)) cut = slash;
  if (cut != std::string::npos) {
    dir.resize(cut + 1);
  } else {
    // Started by a bare name: the directory of the running executable.
    wchar_t exe[32768];
    const DWORD units = GetModuleFileNameW(nullptr, exe, 32768);
    const int bytes =
        WideCharToMultiByte(CP_ACP, 0, exe, static_cast<int>(units), nullptr, 0, nullptr, nullptr);
    dir.assign(bytes > 0 ? static_cast<std::size_t>(bytes) : 0, '\0');
    WideCharToMultiByte(CP_ACP, 0, exe, static_cast<int>(units), dir.data(), bytes, nullptr,
                        nullptr);
    const std::size_t last = mbs_rfind(dir, '\\', lead);
    dir.resize(last == std::string::npos ? 0 : last + 1);
  }
  return dir.append(name);
}

bool start_command(const char* command_line) {
  const UINT result = WinExec(command_line, SW_SHOWNORMAL);
  if (result > 31) return true;
  last_error = "WinExec failed with " + std::to_string(result);
  return false;
}

void pause_milliseconds(unsigned milliseconds) {
  Sleep(milliseconds);
}

}  // namespace platform
