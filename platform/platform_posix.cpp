// POSIX backend. Streams do not translate here: bytes are read and written as stored.
// Code pages come from the C library's locale.
#include <fcntl.h>
#include <langinfo.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstring>
#include <ctime>
#include <cwchar>

#include "platform/platform.h"

extern char** environ;

namespace platform {

struct InputFile {
  int fd;
};

namespace {

int last_errno = 0;

bool is_utf8_locale() {
  const char* codeset = nl_langinfo(CODESET);
  return std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "utf8") == 0;
}

// The C and POSIX locales report ASCII ("ANSI_X3.4-1968"); keywords there are UTF-8.
bool is_c_locale() {
  return MB_CUR_MAX == 1 && std::strstr(nl_langinfo(CODESET), "ANSI") != nullptr;
}

void append_utf16(std::vector<char16_t>& out, char32_t c) {
  if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
  if (c < 0x10000) {
    out.push_back(static_cast<char16_t>(c));
    return;
  }
  c -= 0x10000;
  out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
  out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
}

// UTF-8 decoding for the C locale, where the C library would only take ASCII.
void utf8_to_utf16(std::string_view s, std::vector<char16_t>& out) {
  std::size_t i = 0;
  while (i < s.size()) {
    const unsigned char b = static_cast<unsigned char>(s[i]);
    std::size_t len = b < 0x80                ? 1
                      : b >= 0xC2 && b < 0xE0 ? 2
                      : b >= 0xE0 && b < 0xF0 ? 3
                      : b >= 0xF0 && b < 0xF5 ? 4
                                              : 0;
    char32_t c = len == 1 ? b : len == 2 ? b & 0x1F : len == 3 ? b & 0x0F : b & 0x07;
    bool ok = len != 0 && i + len <= s.size();
    for (std::size_t k = 1; ok && k < len; ++k) {
      const unsigned char t = static_cast<unsigned char>(s[i + k]);
      ok = (t & 0xC0) == 0x80;
      c = (c << 6) | (t & 0x3F);
    }
    // Overlong forms and surrogates are not characters.
    ok = ok && !(len == 3 && c < 0x800) && !(len == 4 && (c < 0x10000 || c > 0x10FFFF));
    append_utf16(out, ok ? c : 0xFFFD);
    i += ok ? len : 1;
  }
}

void locale_to_utf16(std::string_view s, std::vector<char16_t>& out) {
  std::mbstate_t state{};
  std::size_t i = 0;
  while (i < s.size()) {
    wchar_t wc = 0;
    const std::size_t n = std::mbrtowc(&wc, s.data() + i, s.size() - i, &state);
    if (n == static_cast<std::size_t>(-1) || n == static_cast<std::size_t>(-2)) {
      append_utf16(out, 0xFFFD);
      state = std::mbstate_t{};
      ++i;
      continue;
    }
    append_utf16(out, static_cast<char32_t>(wc));
    i += n == 0 ? 1 : n;
  }
}

struct NamedCodePage {
  const char* codeset;
  unsigned code_page;
};

constexpr NamedCodePage known_codesets[] = {
    {"SHIFT_JIS", 932}, {"SJIS", 932},    {"WINDOWS-31J", 932}, {"CP932", 932},  {"GBK", 936},
    {"GB2312", 936},    {"GB18030", 936}, {"CP936", 936},       {"EUC-KR", 949}, {"UHC", 949},
    {"CP949", 949},     {"BIG5", 950},    {"BIG5-HKSCS", 950},  {"CP950", 950},  {"JOHAB", 1361},
};

// Lead bytes of a multibyte codeset the table does not know: the bytes that the C library
// calls an incomplete character on their own.
LeadBytes probe_lead_bytes() {
  LeadBytes lead{};
  for (unsigned b = 0x80; b < 256; ++b) {
    std::mbstate_t state{};
    const char c = static_cast<char>(b);
    lead.lead[b] = std::mbrlen(&c, 1, &state) == static_cast<std::size_t>(-2);
  }
  return lead;
}

bool write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      last_errno = errno;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

InputFile* open_input(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    last_errno = errno;
    return nullptr;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    last_errno = S_ISDIR(st.st_mode) ? EISDIR : errno;
    ::close(fd);
    return nullptr;
  }
  if (S_ISREG(st.st_mode)) ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return new InputFile{fd};
}

std::ptrdiff_t read_input(InputFile* file, std::span<char> data) {
  for (;;) {
    const ssize_t n = ::read(file->fd, data.data(), data.size());
    if (n >= 0) return n;
    if (errno != EINTR) {
      last_errno = errno;
      return -1;
    }
  }
}

void set_input_binary(InputFile*) {}

void close_input(InputFile* file) {
  ::close(file->fd);
  delete file;
}

bool write_output(std::string_view data) {
  return write_all(1, data.data(), data.size());
}

void set_output_binary() {}

void write_error(std::string_view line) {
  const int saved = last_errno;
  write_all(2, line.data(), line.size());
  last_errno = saved;
}

std::string error_text() {
  return std::strerror(last_errno);
}

void init_code_page() {
  std::setlocale(LC_CTYPE, "");
}

std::vector<char16_t> keyword_to_utf16(const char* keyword) {
  std::vector<char16_t> out;
  if (is_utf8_locale() || is_c_locale())
    utf8_to_utf16(keyword, out);
  else
    locale_to_utf16(keyword, out);
  return out;
}

LeadBytes current_lead_bytes() {
  if (MB_CUR_MAX == 1 || is_utf8_locale()) return LeadBytes{};
  const char* codeset = nl_langinfo(CODESET);
  for (const NamedCodePage& known : known_codesets)
    if (strcasecmp(codeset, known.codeset) == 0) return lead_bytes_of_code_page(known.code_page);
  return probe_lead_bytes();
}

std::string file_beside_program(const char* argv0, std::string_view name) {
  std::string dir = argv0;
  const std::size_t slash = dir.rfind('/');
  if (slash != std::string::npos) {
    dir.resize(slash + 1);
  } else {
    // Found through PATH: the directory of the running executable.
    std::string exe(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", exe.data(), exe.size());
    exe.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    dir = exe.substr(0, exe.rfind('/') + 1);
  }
  return dir.append(name);
}

namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Splits a command line by the Windows rules: blanks separate arguments, double quotes
// group, 2n backslashes before a quote give n backslashes and a grouping quote, 2n+1 give
// n backslashes and a literal quote, "" inside quotes gives a literal quote.
std::vector<std::string> split_command_line(std::string_view line) {
  std::vector<std::string> args;
  std::size_t i = 0;
  for (;;) {
    while (i < line.size() && is_blank(line[i])) ++i;
    if (i == line.size()) return args;
    std::string arg;
    bool quoted = false;
    while (i < line.size() && (quoted || !is_blank(line[i]))) {
      std::size_t slashes = 0;
      while (i < line.size() && line[i] == '\\') ++slashes, ++i;
      if (i < line.size() && line[i] == '"') {
        arg.append(slashes / 2, '\\');
        if (slashes % 2 == 1) {
          arg += '"';
        } else if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
          arg += '"';
          ++i;
        } else {
          quoted = !quoted;
        }
        ++i;
      } else {
        arg.append(slashes, '\\');
        if (slashes == 0) arg += line[i++];
      }
    }
    args.push_back(std::move(arg));
  }
}

}  // namespace

bool start_command(const char* command_line) {
  std::vector<std::string> args = split_command_line(command_line);
  if (args.empty()) return false;
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  // No shell: the arguments go to the program as they are. The program gets a session of
  // its own and /dev/null for its standard streams, so it outlives hitjump and holds no
  // pipe of hitjump's caller open.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) last_errno = rc;
  return rc == 0;
}

void pause_milliseconds(unsigned milliseconds) {
  timespec left{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace platform
