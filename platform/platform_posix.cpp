// POSIX backend. Streams do not translate here: bytes are read and written as stored.
// Code pages come from the C library's locale.
#include <fcntl.h>
#include <langinfo.h>
#include <sched.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <clocale>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/block_room.h"
#include "platform/platform.h"
#include "platform/search.h"

extern char** environ;

namespace platform {

namespace {

// Reading ahead: block n of the rest of a regular file is the input_block_bytes at
// base + n * input_block_bytes, read with pread by whichever of two threads (a helper and
// the caller of next_block) claims it first. Blocks are claimed in order and handed out in
// order. Each thread reads into rooms of its own: a room that the other processor's cache
// holds would have to be taken from it line by line before the kernel could write to it.
// A room is busy from its claim until the caller has moved past its block.
constexpr std::size_t rooms_per_thread = 3;
constexpr std::size_t ahead_window = 2 * rooms_per_thread;  // blocks in memory at most
enum Reader : std::size_t { caller_thread = 0, helper_thread = 1 };

struct Claim {
  BlockRoom* room;
  bool* busy;
  bool done;
  std::ptrdiff_t result;
  int error;
  std::size_t first_hit;  // of the key in the fresh bytes, or result when there is none
};

struct ReadAhead {
  int fd;
  off_t base;
  std::string key;  // searched for in each block by the thread that read it
  std::mutex mutex;
  std::uint64_t wanted = 0;   // the block the caller takes next; it holds the one before
  std::uint64_t claimed = 0;  // blocks below this one are claimed
  bool* held = nullptr;       // busy flag of the room of the block the caller holds
  // A short block (the end of the data as it stood, or a read error) ends reading ahead:
  // no block from stop_at on is handed out, and plain reading goes on at resume_at.
  std::uint64_t stop_at = UINT64_MAX;
  off_t resume_at = 0;
  bool quit = false;
  // The caller waits only for a block that the helper is reading, a matter of some tens of
  // microseconds: it watches reads_done before it sleeps, since being woken costs more.
  // The helper waits for free rooms of its own, which may take long when output is slow:
  // it sleeps at once and is woken only once two rooms are free, not for every block.
  std::atomic<std::uint64_t> reads_done{0};
  bool caller_sleeps = false;
  bool helper_sleeps = false;
  std::condition_variable caller_wake;
  std::condition_variable helper_wake;
  Claim claims[ahead_window];  // block n's at n % ahead_window
  bool busy[2][rooms_per_thread] = {};
  BlockRoom rooms[2][rooms_per_thread];
  std::thread helper;
};

}  // namespace

struct InputFile {
  int fd;
  bool regular;
  std::unique_ptr<BlockRoom> room;  // blocks read in the caller's thread
  std::unique_ptr<ReadAhead> ahead;
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
  const bool regular = S_ISREG(st.st_mode);
  if (regular) ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return new InputFile{fd, regular, nullptr, nullptr};
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

namespace {

void pause_briefly() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#else
  std::this_thread::yield();
#endif
}

// Reads the whole block at offset, short only at the end of the data. Returns the count,
// or -1 with the error in error.
std::ptrdiff_t read_block_at(int fd, off_t offset, char* data, int& error) {
  std::size_t got = 0;
  while (got < input_block_bytes) {
    const ssize_t n =
        ::pread(fd, data + got, input_block_bytes - got, offset + static_cast<off_t>(got));
    if (n == 0) break;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = errno;
      return -1;
    }
    got += static_cast<std::size_t>(n);
  }
  return static_cast<std::ptrdiff_t>(got);
}

// The index of a free room of reader's, or rooms_per_thread when all are busy.
std::size_t free_room(const ReadAhead& ahead, Reader reader) {
  std::size_t r = 0;
  while (r < rooms_per_thread && ahead.busy[reader][r]) ++r;
  return r;
}

std::size_t free_rooms(const ReadAhead& ahead, Reader reader) {
  std::size_t free = 0;
  for (const bool busy : ahead.busy[reader]) free += busy ? 0 : 1;
  return free;
}

// Called with the lock held, after a room was freed or quit was set.
void wake_helper(ReadAhead& ahead) {
  if (ahead.helper_sleeps &&
      (ahead.quit || (ahead.claimed < ahead.stop_at && free_rooms(ahead, helper_thread) >= 2)))
    ahead.helper_wake.notify_one();
}

// Called with the lock held, by the caller: waits until one more read has finished.
void wait_for_read(ReadAhead& ahead, std::unique_lock<std::mutex>& lock) {
  const std::uint64_t seen = ahead.reads_done.load(std::memory_order_relaxed);
  lock.unlock();
  for (int i = 0; i < 1000 && ahead.reads_done.load(std::memory_order_acquire) == seen; ++i)
    pause_briefly();
  lock.lock();
  ahead.caller_sleeps = true;
  ahead.caller_wake.wait(lock,
                         [&] { return ahead.reads_done.load(std::memory_order_relaxed) != seen; });
  ahead.caller_sleeps = false;
}

bool may_claim(const ReadAhead& ahead, Reader reader) {
  return !ahead.quit && ahead.claimed < ahead.stop_at && free_rooms(ahead, reader) > 0;
}

// Claims the next block and reads it into a room of reader's, the lock released while
// reading. Every busy room holds a block from the one the caller holds on, so the blocks
// of the busy rooms lie within ahead_window of each other and their claims do not collide.
void read_claimed(ReadAhead& ahead, std::unique_lock<std::mutex>& lock, Reader reader) {
  const std::uint64_t n = ahead.claimed++;
  const std::size_t r = free_room(ahead, reader);
  ahead.busy[reader][r] = true;
  Claim& claim = ahead.claims[n % ahead_window];
  claim = {&ahead.rooms[reader][r], &ahead.busy[reader][r], false, 0, 0, 0};
  const off_t offset = ahead.base + static_cast<off_t>(n * input_block_bytes);
  lock.unlock();
  int error = 0;
  char* fresh = claim.room->bytes + BlockRoom::fresh_offset;
  const std::ptrdiff_t got = read_block_at(ahead.fd, offset, fresh, error);
  // Searched while the bytes are in this processor's cache.
  const char* hit =
      ahead.key.empty() || got <= 0 ? nullptr : search::find_bytes(fresh, fresh + got, ahead.key);
  lock.lock();
  claim.first_hit =
      hit ? static_cast<std::size_t>(hit - fresh) : static_cast<std::size_t>(got > 0 ? got : 0);
  claim.done = true;
  claim.result = got;
  claim.error = error;
  if (got != static_cast<std::ptrdiff_t>(input_block_bytes) && n < ahead.stop_at) {
    ahead.stop_at = n + 1;
    ahead.resume_at = offset + (got > 0 ? static_cast<off_t>(got) : 0);
  }
  ahead.reads_done.fetch_add(1, std::memory_order_release);
  if (ahead.caller_sleeps) ahead.caller_wake.notify_one();
}

void read_ahead_loop(ReadAhead* ahead) {
  std::unique_lock<std::mutex> lock(ahead->mutex);
  for (;;) {
    while (!ahead->quit && !may_claim(*ahead, helper_thread)) {
      ahead->helper_sleeps = true;
      ahead->helper_wake.wait(lock);
      ahead->helper_sleeps = false;
    }
    if (ahead->quit) return;
    read_claimed(*ahead, lock, helper_thread);
  }
}

void stop_reading_ahead(InputFile* file) {
  ReadAhead& ahead = *file->ahead;
  {
    std::lock_guard<std::mutex> lock(ahead.mutex);
    ahead.quit = true;
    wake_helper(ahead);
  }
  ahead.helper.join();
}

// Hands out the block the caller wants next once it is read; the caller reads blocks
// itself rather than wait. False when the data ended short of it: reading ahead is over.
bool take_block_ahead(ReadAhead& ahead, std::span<const char> keep, InputBlock& block) {
  std::unique_lock<std::mutex> lock(ahead.mutex);
  const std::uint64_t n = ahead.wanted;
  if (n >= ahead.stop_at) return false;
  const Claim& claim = ahead.claims[n % ahead_window];
  while (!(n < ahead.claimed && claim.done)) {
    if (may_claim(ahead, caller_thread))
      read_claimed(ahead, lock, caller_thread);
    else
      wait_for_read(ahead, lock);
  }
  char* start = keep_in_front(*claim.room, keep, keep.size());
  if (claim.result < 0) {
    last_errno = claim.error;
    block = {start, keep.size(), -1};
    return true;
  }
  // keep is copied: the room of the block the caller held is free again.
  if (ahead.held) *ahead.held = false;
  ahead.held = claim.busy;
  ahead.wanted = n + 1;
  wake_helper(ahead);
  block = {start, keep.size() + static_cast<std::size_t>(claim.result), claim.result, keep.size(),
           keep.size() + claim.first_hit};
  return true;
}

unsigned usable_processors() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  return static_cast<unsigned>(CPU_COUNT(&set));
}

}  // namespace

InputBlock next_block(InputFile* file, std::span<const char> keep) {
  InputBlock block;
  if (file->ahead && take_block_ahead(*file->ahead, keep, block)) return block;
  if (file->ahead) {
    // The data ended short of a block: plain reads from there see what has been added since.
    stop_reading_ahead(file);
    ::lseek(file->fd, file->ahead->resume_at, SEEK_SET);
  }
  if (!file->room) file->room.reset(new BlockRoom);
  block = read_block(file, *file->room, keep);  // keep may lie in a room of ahead: freed after
  file->ahead.reset();
  return block;
}

void read_ahead(InputFile* file, std::span<const char> key) {
  if (!file->regular || file->ahead || usable_processors() < 2) return;
  struct stat st;
  const off_t base = ::lseek(file->fd, 0, SEEK_CUR);
  // A file of a few blocks is read before a second thread would have started.
  if (base < 0 || ::fstat(file->fd, &st) != 0 ||
      st.st_size - base < static_cast<off_t>(4 * input_block_bytes))
    return;
  std::unique_ptr<ReadAhead> ahead(new ReadAhead);  // default-initialized: buffers not cleared
  ahead->fd = file->fd;
  ahead->base = base;
  ahead->key.assign(key.begin(), key.end());
  try {
    ahead->helper = std::thread(read_ahead_loop, ahead.get());
  } catch (const std::system_error&) {
    return;  // no thread: blocks are read as the caller asks for them
  }
  file->ahead = std::move(ahead);
}

void close_input(InputFile* file) {
  if (file->ahead) stop_reading_ahead(file);
  ::close(file->fd);
  delete file;
}

bool write_output(std::string_view data) {
  // Large output into a pipe: a pipe of the usual 64 KiB wakes its reader and this program
  // in turn for every 64 KiB, which costs more than the copying. 1 MiB is what the system
  // grants any process; when it does not, the pipe stays as it is.
  static bool pipe_grown = false;
  if (!pipe_grown && data.size() >= 64 * 1024) {
    pipe_grown = true;
    const int size = ::fcntl(1, F_GETPIPE_SZ);
    if (size > 0 && size < (1 << 20)) ::fcntl(1, F_SETPIPE_SZ, 1 << 20);
  }
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
